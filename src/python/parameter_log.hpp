// ParameterLog: the Python class around a shared parameter-log storage.
#pragma once

#include "core/output/parameter_log.hpp"
#include "python/np.hpp"

namespace qorin::py {

// The class object (created once, reused); nullptr with an exception on failure.
PyObject* parameter_log_type();

// The shared storage of a ParameterLog object; TypeError naming `argname`
// when `obj` is not one.
bool parameter_log_storage(PyObject* obj, const char* argname, SharedParameterLog* out);

}  // namespace qorin::py
