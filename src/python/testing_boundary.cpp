// Test hooks for the module boundary: readers, gates, formatting, error
// mapping, the borrow guard and the pairwise sum.
#include <cstring>
#include <string>
#include <vector>

#include "core/kernels/state_reduce.hpp"
#include "core/model/validation.hpp"
#include "core/util/format.hpp"
#include "python/borrow.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/testing.hpp"
#include "python/guard.hpp"

namespace qorin::py::testing {

namespace {

PyObject* list_of_bools(const std::vector<bool>& v) {
  PyObject* l = PyList_New(static_cast<Py_ssize_t>(v.size()));
  if (!l) return nullptr;
  for (size_t i = 0; i < v.size(); ++i) {
    PyObject* b = v[i] ? Py_True : Py_False;
    Py_INCREF(b);
    PyList_SET_ITEM(l, static_cast<Py_ssize_t>(i), b);
  }
  return l;
}

// read_attr(kind, obj, name): runs one contract or hook-column reader on
// obj.name and returns the native value converted back to Python.
PyObject* read_attr(PyObject*, PyObject* args) {
  const char* kind;
  PyObject* obj;
  const char* name;
  if (!PyArg_ParseTuple(args, "sOs:read_attr", &kind, &obj, &name)) return nullptr;
  std::string k(kind);
  if (k == "f64") {
    double x;
    if (!extract_f64(obj, name, &x)) return nullptr;
    return PyFloat_FromDouble(x);
  }
  if (k == "i64" || k == "i64_scalar") {
    int64_t x;
    if (!(k == "i64" ? extract_i64(obj, name, &x) : extract_i64_scalar(obj, name, &x))) return nullptr;
    return PyLong_FromLongLong(x);
  }
  if (k == "bool") {
    bool x;
    if (!extract_bool(obj, name, &x)) return nullptr;
    return PyBool_FromLong(x);
  }
  if (k == "f64_vec" || k == "f64_array") {
    std::vector<double> v;
    if (!(k == "f64_vec" ? extract_f64_vec(obj, name, &v) : extract_f64_array(obj, name, &v)))
      return nullptr;
    return new_f64_array(v.data(), v.size());
  }
  if (k == "i64_vec" || k == "i64_array") {
    std::vector<int64_t> v;
    if (!(k == "i64_vec" ? extract_i64_vec(obj, name, &v) : extract_i64_array(obj, name, &v)))
      return nullptr;
    return new_i64_array(v.data(), v.size());
  }
  if (k == "bool_vec" || k == "bool_array") {
    std::vector<bool> v;
    if (!(k == "bool_vec" ? extract_bool_vec(obj, name, &v) : extract_bool_array(obj, name, &v)))
      return nullptr;
    return list_of_bools(v);
  }
  if (k == "string_vec") {
    std::vector<std::string> v;
    if (!extract_string_vec(obj, name, &v)) return nullptr;
    PyObject* l = PyList_New(static_cast<Py_ssize_t>(v.size()));
    if (!l) return nullptr;
    for (size_t i = 0; i < v.size(); ++i) {
      PyObject* s = PyUnicode_FromStringAndSize(v[i].data(), static_cast<Py_ssize_t>(v[i].size()));
      if (!s) {
        Py_DECREF(l);
        return nullptr;
      }
      PyList_SET_ITEM(l, static_cast<Py_ssize_t>(i), s);
    }
    return l;
  }
  PyErr_Format(PyExc_ValueError, "unknown reader kind %s", kind);
  return nullptr;
}

PyObject* gate_scalar(PyObject*, PyObject* args) {
  const char* name;
  double value;
  if (!PyArg_ParseTuple(args, "sd:gate_scalar", &name, &value)) return nullptr;
  Status s = validate_scalar_value(name, value);
  if (!s) return raise(s.error());
  Py_RETURN_NONE;
}

PyObject* gate_tensor(PyObject*, PyObject* args) {
  const char* name;
  PyObject* arr;
  if (!PyArg_ParseTuple(args, "sO:gate_tensor", &name, &arr)) return nullptr;
  std::vector<double> v;
  if (!to_f64_vec(arr, &v)) return nullptr;
  Status s = validate_tensor_values(name, v);
  if (!s) return raise(s.error());
  Py_RETURN_NONE;
}

PyObject* gate_state(PyObject*, PyObject* args) {
  PyObject *ind_obj, *sperm_obj;
  long long tick;
  if (!PyArg_ParseTuple(args, "OOL:gate_state", &ind_obj, &sperm_obj, &tick)) return nullptr;
  std::vector<double> ind, sperm;
  if (!to_f64_vec(ind_obj, &ind) || !to_f64_vec(sperm_obj, &sperm)) return nullptr;
  Status s = validate_state_values(ind, sperm, tick);
  if (!s) return raise(s.error());
  Py_RETURN_NONE;
}

PyObject* format_number_py(PyObject*, PyObject* arg) {
  double x = PyFloat_AsDouble(arg);
  if (x == -1.0 && PyErr_Occurred()) return nullptr;
  std::string s = format_number(x);
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* quote_name_py(PyObject*, PyObject* arg) {
  Py_ssize_t len;
  const char* s = PyUnicode_AsUTF8AndSize(arg, &len);
  if (!s) return nullptr;
  std::string q = quote_name(std::string(s, static_cast<size_t>(len)));
  return PyUnicode_FromStringAndSize(q.data(), static_cast<Py_ssize_t>(q.size()));
}

// raise_error(kind, message): raises the exception the engine maps `kind` to.
PyObject* raise_error(PyObject*, PyObject* args) {
  const char* kind;
  const char* message;
  if (!PyArg_ParseTuple(args, "ss:raise_error", &kind, &message)) return nullptr;
  std::string k(kind);
  ErrorKind ek;
  if (k == "value") ek = ErrorKind::Value;
  else if (k == "key") ek = ErrorKind::Key;
  else if (k == "type") ek = ErrorKind::Type;
  else if (k == "runtime") ek = ErrorKind::Runtime;
  else if (k == "overflow") ek = ErrorKind::Overflow;
  else if (k == "callback") ek = ErrorKind::CallbackPending;
  else {
    PyErr_SetString(PyExc_ValueError, "unknown error kind");
    return nullptr;
  }
  return raise(Error{ek, message});
}

PyObject* pairwise_sum(PyObject*, PyObject* arg) {
  if (!PyArray_Check(arg)) {
    PyErr_SetString(PyExc_TypeError, "pairwise_sum expects a one-dimensional float64 array");
    return nullptr;
  }
  std::vector<double> v;
  if (!arg_f64_1d(arg, "array", &v)) return nullptr;
  return PyFloat_FromDouble(numpy_pairwise_sum(v.data(), v.size()));
}

// ---- BorrowProbe: an object carrying a borrow flag, for re-entrancy tests ----
struct BorrowProbe {
  PyObject_HEAD
  BorrowFlag flag;
};

PyObject* probe_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self) reinterpret_cast<BorrowProbe*>(self)->flag = BorrowFlag{};
  return self;
}

PyObject* probe_mutate(PyObject* self, PyObject* fn) {
  MutBorrow guard(reinterpret_cast<BorrowProbe*>(self)->flag);
  if (!guard.ok()) return nullptr;
  return PyObject_CallNoArgs(fn);
}

PyObject* probe_read(PyObject* self, PyObject* fn) {
  ReadBorrow guard(reinterpret_cast<BorrowProbe*>(self)->flag);
  if (!guard.ok()) return nullptr;
  return PyObject_CallNoArgs(fn);
}

PyObject* probe_state(PyObject* self, PyObject*) {
  return PyLong_FromLong(reinterpret_cast<BorrowProbe*>(self)->flag.state);
}

PyMethodDef kProbeMethods[] = {
    {"mutate", QORIN_GUARDED(probe_mutate), METH_O, "mutate($self, fn)\n--\n\nCall fn under a mutable borrow."},
    {"read", QORIN_GUARDED(probe_read), METH_O, "read($self, fn)\n--\n\nCall fn under a shared borrow."},
    {"state", QORIN_GUARDED(probe_state), METH_NOARGS, "state($self)\n--\n\nThe raw borrow flag."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot kProbeSlots[] = {
    {Py_tp_doc, const_cast<char*>("BorrowProbe()\n--\n\nCarries a borrow flag.")},
    {Py_tp_methods, kProbeMethods},
    {Py_tp_new, QORIN_GUARDED_SLOT(probe_new)},
    {0, nullptr}};

PyType_Spec kProbeSpec = {"qorin._engine_testing.BorrowProbe", sizeof(BorrowProbe), 0,
                          Py_TPFLAGS_DEFAULT, kProbeSlots};

}  // namespace

bool add_boundary_types(PyObject* module) {
  PyObject* type = PyType_FromSpec(&kProbeSpec);
  if (!type) return false;
  if (PyModule_AddObject(module, "BorrowProbe", type) < 0) {
    Py_DECREF(type);
    return false;
  }
  return true;
}

PyMethodDef kBoundaryMethods[] = {
    {"read_attr", QORIN_GUARDED(read_attr), METH_VARARGS, "read_attr(kind, obj, name)\n--\n\nRun one reader."},
    {"gate_scalar", QORIN_GUARDED(gate_scalar), METH_VARARGS, "gate_scalar(name, value)\n--\n\nScalar write gate."},
    {"gate_tensor", QORIN_GUARDED(gate_tensor), METH_VARARGS, "gate_tensor(name, values)\n--\n\nTensor write gate."},
    {"gate_state", QORIN_GUARDED(gate_state), METH_VARARGS, "gate_state(ind, sperm, tick)\n--\n\nState gate."},
    {"format_number", QORIN_GUARDED(format_number_py), METH_O, "format_number(x)\n--\n\nMessage number format."},
    {"quote_name", QORIN_GUARDED(quote_name_py), METH_O, "quote_name(name)\n--\n\nQuoted name as in messages."},
    {"raise_error", QORIN_GUARDED(raise_error), METH_VARARGS, "raise_error(kind, message)\n--\n\nMap an error."},
    {"pairwise_sum", QORIN_GUARDED(pairwise_sum), METH_O, "pairwise_sum(array)\n--\n\nNumPy-order pairwise sum."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace qorin::py::testing
