// Reading the host package's CSR hook-program object into the native program.
#pragma once

#include "core/hooks/program.hpp"
#include "python/np.hpp"

namespace qorin::py {

// Reads `obj` attribute by attribute. On failure returns false with a Python
// exception set and leaves `out` untouched.
bool hook_program_from_python(PyObject* obj, HookProgram* out);

}  // namespace qorin::py
