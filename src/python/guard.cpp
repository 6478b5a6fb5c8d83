#include "python/guard.hpp"

namespace qorin::py::guard_detail {

void set_exception_from_current() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "internal error in the engine: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "internal error in the engine");
  }
}

}  // namespace qorin::py::guard_detail
