#include "python/class_support.hpp"

#include <cstdarg>
#include <cstring>

#include "python/errors.hpp"

namespace qorin::py {

bool parse_args(PyObject* args, PyObject* kwargs, const char* format, const char* const* kwlist, ...) {
  va_list va;
  va_start(va, kwlist);
  int ok = PyArg_VaParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), va);
  va_end(va);
  return ok != 0;
}

PyObject* none_or_raise(const Status& s) {
  if (!s) return raise(s.error());
  Py_RETURN_NONE;
}

bool str_arg(PyObject* v, const char* argname, std::string* out) {
  if (!PyUnicode_Check(v)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got %s", argname, Py_TYPE(v)->tp_name);
    return false;
  }
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(v, &len);
  if (!s) return false;
  out->assign(s, static_cast<size_t>(len));
  return true;
}

PyObject* cached_type(PyObject** slot, PyType_Spec* type_spec) {
  if (!*slot) *slot = PyType_FromSpec(type_spec);
  return *slot;
}

bool same_class(PyObject* obj, PyObject* type, const PyType_Spec& type_spec) {
  return PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type)) ||
         (std::strcmp(Py_TYPE(obj)->tp_name, type_spec.name) == 0 &&
          Py_TYPE(obj)->tp_basicsize == static_cast<Py_ssize_t>(type_spec.basicsize));
}

}  // namespace qorin::py
