// Every entry point of the binding runs behind Guard: a C++ exception must
// never unwind into the interpreter (that ends the process). An allocation
// that fails (std::bad_alloc, or std::length_error for a size no container
// can hold) becomes MemoryError; any other std::exception, which only an
// internal fault can raise, becomes SystemError with its text.
//
//     {"row", QORIN_GUARDED(m_row), METH_VARARGS | METH_KEYWORDS, "..."}
//     {Py_tp_new, QORIN_GUARDED_SLOT(store_new)}
//
// Writes behind a guard are made exception-safe where they can be cut short
// (build the new value first, then install it with moves and swaps), so a
// MemoryError leaves the object as it was.
#pragma once

#include <exception>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "python/np.hpp"

namespace qorin::py {

namespace guard_detail {

// The failure value of an entry point: nullptr for objects, -1 for ints.
template <class R>
R failure() {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return static_cast<R>(-1);
  }
}

// Sets the exception for the exception being handled.
void set_exception_from_current() noexcept;

}  // namespace guard_detail

template <auto F>
struct Guard;

template <class R, class... A, R (*F)(A...)>
struct Guard<F> {
  static R call(A... args) noexcept {
    try {
      return F(args...);
    } catch (...) {
      guard_detail::set_exception_from_current();
    }
    return guard_detail::failure<R>();
  }
};

}  // namespace qorin::py

// The guarded function as a method-table entry (any calling convention).
#define QORIN_GUARDED(f) \
  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&::qorin::py::Guard<f>::call))
// The guarded function as a type slot (tp_new, setters, ...).
#define QORIN_GUARDED_SLOT(f) reinterpret_cast<void*>(&::qorin::py::Guard<f>::call)
