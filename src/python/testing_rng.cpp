// Test hooks for the session random stream (filled in with the stream).
#include "python/testing.hpp"

namespace qorin::py::testing {
PyMethodDef kRngMethods[] = {{nullptr, nullptr, 0, nullptr}};
}  // namespace qorin::py::testing
