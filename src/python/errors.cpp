#include "python/errors.hpp"

namespace qorin::py {

PyObject* exception_type(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Value: return PyExc_ValueError;
    case ErrorKind::Key: return PyExc_KeyError;
    case ErrorKind::Type: return PyExc_TypeError;
    case ErrorKind::Overflow: return PyExc_OverflowError;
    case ErrorKind::Memory: return PyExc_MemoryError;
    case ErrorKind::Interrupted: return PyExc_KeyboardInterrupt;
    case ErrorKind::Runtime:
    case ErrorKind::CallbackPending: return PyExc_RuntimeError;
  }
  return PyExc_RuntimeError;
}

PyObject* raise(const Error& e) {
  if (e.kind == ErrorKind::CallbackPending) {
    // The callback's own exception, unchanged: from this thread's slot, or
    // already set by the caller.
    if (pending_callback_exception().restore()) return nullptr;
    if (PyErr_Occurred()) return nullptr;
    PyErr_SetString(PyExc_RuntimeError,
                    e.message.empty() ? "python callback transaction failed" : e.message.c_str());
    return nullptr;
  }
  if (e.kind == ErrorKind::Interrupted) {
    // A loop stopped for Ctrl-C; the handler's own exception wins when set.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  }
  if (e.kind == ErrorKind::Key) {
    // KeyError carries the message as its single argument.
    PyObject* msg = PyUnicode_FromStringAndSize(e.message.data(), static_cast<Py_ssize_t>(e.message.size()));
    if (msg) {
      PyErr_SetObject(PyExc_KeyError, msg);
      Py_DECREF(msg);
    }
    return nullptr;
  }
  PyErr_SetString(exception_type(e.kind), e.message.c_str());
  return nullptr;
}

int raise_int(const Error& e) {
  raise(e);
  return -1;
}

PendingException& pending_callback_exception() {
  static thread_local PendingException slot;
  return slot;
}

Error stash_python_error() {
  pending_callback_exception().fetch();
  Error e = Error::callback_pending();
  e.message = "python callback transaction failed";
  return e;
}

PendingException::~PendingException() { clear(); }

void PendingException::fetch() {
  clear();
  PyErr_Fetch(&type_, &value_, &tb_);
}

bool PendingException::restore() {
  if (!type_) return false;
  PyErr_Restore(type_, value_, tb_);
  type_ = value_ = tb_ = nullptr;
  return true;
}

void PendingException::clear() {
  Py_CLEAR(type_);
  Py_CLEAR(value_);
  Py_CLEAR(tb_);
}

}  // namespace qorin::py
