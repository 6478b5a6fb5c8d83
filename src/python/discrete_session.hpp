// DiscreteEngineSession: the Python class of a discrete-generation population.
#pragma once

#include "python/np.hpp"

namespace qorin::py {

// The class object (new reference), created once.
PyObject* discrete_session_type();

}  // namespace qorin::py
