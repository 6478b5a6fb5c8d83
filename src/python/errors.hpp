// The one place that turns engine errors into Python exceptions.
#pragma once

#include "core/util/error.hpp"
#include "python/np.hpp"

namespace qorin::py {

// Sets the Python exception for `e` and returns nullptr (for `return raise(e);`).
// A pending callback exception is restored unchanged.
PyObject* raise(const Error& e);
// Same, returning -1 (for tp_init and setters).
int raise_int(const Error& e);

// Exception type of an error kind.
PyObject* exception_type(ErrorKind kind);

// Python exception raised by a callback, held until the engine call that ran
// the callback unwinds to the Python boundary.
class PendingException {
 public:
  PendingException() = default;
  PendingException(const PendingException&) = delete;
  PendingException& operator=(const PendingException&) = delete;
  ~PendingException();
  // Takes the currently set Python exception (if any).
  void fetch();
  bool has() const { return type_ != nullptr; }
  // Whether the held exception is an instance of `kind` (the lock held).
  bool is(PyObject* kind) const { return type_ != nullptr && PyErr_GivenExceptionMatches(type_, kind); }
  // Re-raises the held exception; returns false if none was held.
  bool restore();
  void clear();

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* tb_ = nullptr;
};

// The per-thread slot holding the exception of the Python callback that failed
// last on this thread, until the engine call that ran it raises it.
PendingException& pending_callback_exception();

// Moves the currently set Python exception into this thread's pending slot
// and returns the error that carries it through the engine.
Error stash_python_error();

}  // namespace qorin::py
