// Pieces every exported class of the binding shares: argument parsing, the
// borrow guards, the None-or-raise return, and the lazily created type object.
#pragma once

#include <string>

#include "core/util/error.hpp"
#include "python/borrow.hpp"
#include "python/np.hpp"

namespace qorin::py {

// PyArg_ParseTupleAndKeywords with a const keyword list.
bool parse_args(PyObject* args, PyObject* kwargs, const char* format, const char* const* kwlist, ...);

// None on success, else the mapped exception.
PyObject* none_or_raise(const Status& s);

// A str argument; TypeError naming the argument otherwise.
bool str_arg(PyObject* v, const char* argname, std::string* out);

// The class object of `type_spec`, created on first use and kept for the process
// (borrowed reference; nullptr with an exception when creation fails). Every
// class object made is recorded in the engine's type registry.
PyObject* cached_type(PyObject** slot, PyType_Spec* type_spec);

// True when `obj` is an instance of `type` or of the class made from the same
// PyType_Spec by the other extension module of this package (the internal test
// module links its own copy of every class). Classes are told apart by the
// identity of their type objects, never by name or size: a Python class
// dressed up with the same name and instance size is not accepted.
bool same_class(PyObject* obj, PyObject* type, const PyType_Spec& type_spec);

}  // namespace qorin::py

// One mutating call at a time; reading calls are refused during it. Taken
// before any argument is converted, so Python code run by a conversion that
// calls back into the same object meets the rule.
#define QORIN_MUT_GUARD(flag_expr)            \
  ::qorin::py::MutBorrow guard_((flag_expr)); \
  if (!guard_.ok()) return nullptr
#define QORIN_READ_GUARD(flag_expr)            \
  ::qorin::py::ReadBorrow guard_((flag_expr)); \
  if (!guard_.ok()) return nullptr
