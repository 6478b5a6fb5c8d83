// EngineSession: the Python class around one age-structured session.
#pragma once

#include "python/np.hpp"

namespace qorin::py {

// The class object (created once, reused); nullptr with an exception on failure.
PyObject* engine_session_type();

}  // namespace qorin::py
