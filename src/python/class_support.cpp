#include "python/class_support.hpp"

#include <cstdarg>

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

namespace {

// The registry of class objects: qualified name -> list of the type objects made
// from that PyType_Spec, one per extension module that made it. Both modules reach it
// through the interpreter's own dict, which Python code cannot see, so only
// type objects created by cached_type ever enter it.
constexpr const char* kRegistryKey = "qorin._engine.type_registry";

// Borrowed; nullptr with an exception set on failure.
PyObject* registry() {
  PyObject* interp_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (!interp_dict) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "the interpreter has no state dict");
    return nullptr;
  }
  PyObject* reg = PyDict_GetItemString(interp_dict, kRegistryKey);
  if (reg) return reg;
  PyObject* fresh = PyDict_New();
  if (!fresh) return nullptr;
  const int rc = PyDict_SetItemString(interp_dict, kRegistryKey, fresh);
  Py_DECREF(fresh);  // the interpreter dict holds it
  return rc < 0 ? nullptr : fresh;
}

bool register_type(PyObject* type, const char* spec_name) {
  PyObject* reg = registry();
  if (!reg) return false;
  PyObject* list = PyDict_GetItemString(reg, spec_name);
  if (!list) {
    PyObject* fresh = PyList_New(0);
    if (!fresh) return false;
    const int rc = PyDict_SetItemString(reg, spec_name, fresh);
    Py_DECREF(fresh);
    if (rc < 0) return false;
    list = fresh;
  }
  return PyList_Append(list, type) == 0;
}

}  // namespace

PyObject* cached_type(PyObject** slot, PyType_Spec* type_spec) {
  if (!*slot) {
    PyObject* type = PyType_FromSpec(type_spec);
    if (!type) return nullptr;
    if (!register_type(type, type_spec->name)) {
      Py_DECREF(type);
      return nullptr;
    }
    *slot = type;
  }
  return *slot;
}

bool same_class(PyObject* obj, PyObject* type, const PyType_Spec& type_spec) {
  PyObject* actual = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  if (actual == type) return true;
  PyObject* reg = registry();
  if (!reg) {
    PyErr_Clear();
    return false;
  }
  PyObject* list = PyDict_GetItemString(reg, type_spec.name);
  if (!list || !PyList_Check(list)) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    if (PyList_GET_ITEM(list, i) == actual) return true;
  }
  return false;
}

}  // namespace qorin::py
