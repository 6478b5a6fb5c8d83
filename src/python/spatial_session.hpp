// HeterogeneousSpatialEngineSession: the Python class of the spatial
// multi-deme session.
#pragma once

#include "python/np.hpp"

namespace qorin::py {

// The class object (new reference), created once.
PyObject* spatial_session_type();

}  // namespace qorin::py
