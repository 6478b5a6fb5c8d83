#include "python/convert.hpp"

#include <cstring>

#include "core/util/memory.hpp"
#include "python/errors.hpp"

namespace qorin::py {

namespace {

// Calls `v.item()`. When `v` has no `item` method, the exception that was
// pending before the fallback is re-raised instead, so a wrong type reads as
// the protocol's own TypeError.
PyObject* item_fallback(PyObject* v) {
  PyObject *t, *val, *tb;
  PyErr_Fetch(&t, &val, &tb);
  PyObject* item = PyObject_CallMethod(v, "item", nullptr);
  if (item) {
    Py_XDECREF(t);
    Py_XDECREF(val);
    Py_XDECREF(tb);
    return item;
  }
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_Restore(t, val, tb);
  } else {
    Py_XDECREF(t);
    Py_XDECREF(val);
    Py_XDECREF(tb);
  }
  return nullptr;
}

const char* type_name(PyObject* v) { return Py_TYPE(v)->tp_name; }

bool is_int64_type(int t) { return PyArray_EquivTypenums(t, NPY_INT64); }
bool is_int32_type(int t) { return PyArray_EquivTypenums(t, NPY_INT32); }

bool native_order(PyArrayObject* a) { return PyArray_ISNOTSWAPPED(a); }

bool contiguous(PyArrayObject* a) {
  return PyArray_IS_C_CONTIGUOUS(a) || PyArray_IS_F_CONTIGUOUS(a);
}

bool not_contiguous() {
  PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
  return false;
}

bool dtype_error(PyObject* v, const char* expected) {
  if (!PyArray_Check(v)) {
    PyErr_Format(PyExc_TypeError, "expected a numpy.ndarray of dtype %s, got %s", expected,
                 type_name(v));
  } else {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(v);
    PyErr_Format(PyExc_TypeError, "expected an array of dtype %s, got dtype %c%d", expected,
                 PyArray_DESCR(a)->kind, static_cast<int>(PyArray_ITEMSIZE(a) * 8));
  }
  return false;
}

template <class T>
void copy_memory_order(PyArrayObject* a, std::vector<T>* out) {
  npy_intp n = PyArray_SIZE(a);
  out->resize(static_cast<size_t>(n));
  if (n > 0) std::memcpy(out->data(), PyArray_DATA(a), static_cast<size_t>(n) * sizeof(T));
}

bool read_bool_bytes(PyArrayObject* a, std::vector<bool>* out) {
  npy_intp n = PyArray_SIZE(a);
  const unsigned char* p = static_cast<const unsigned char*>(PyArray_DATA(a));
  out->assign(static_cast<size_t>(n), false);
  for (npy_intp i = 0; i < n; ++i) (*out)[static_cast<size_t>(i)] = p[i] != 0;
  return true;
}

// Wrapper turning a value converter into an attribute reader.
template <class T, class F>
bool read_attr(PyObject* obj, const char* name, T* out, F convert) {
  Ref v(PyObject_GetAttrString(obj, name));
  if (!v) return false;  // AttributeError propagates unchanged
  return convert(v.get(), out);
}

}  // namespace

Ref sequence_items(PyObject* v, const char* type_error) {
  // Lists and tuples (subclasses included) are read from their own storage,
  // as PySequence_Fast reads them; a tuple is returned as it is.
  if (PyTuple_Check(v)) return Ref(PyTuple_GetSlice(v, 0, PyTuple_GET_SIZE(v)));
  if (PyList_Check(v)) return Ref(PyList_AsTuple(v));
  Ref it(PyObject_GetIter(v));
  if (!it) {
    if (type_error && PyErr_ExceptionMatches(PyExc_TypeError)) PyErr_SetString(PyExc_TypeError, type_error);
    return Ref();
  }
  return Ref(PySequence_Tuple(it.get()));
}

Ref dict_items(PyObject* dict) { return Ref(PyDict_Items(dict)); }

bool to_f64(PyObject* v, double* out) {
  if (PyFloat_Check(v)) {
    *out = PyFloat_AS_DOUBLE(v);
    return true;
  }
  double d = PyFloat_AsDouble(v);
  if (!(d == -1.0 && PyErr_Occurred())) {
    *out = d;
    return true;
  }
  Ref item(item_fallback(v));
  if (!item) return false;
  d = PyFloat_AsDouble(item.get());
  if (d == -1.0 && PyErr_Occurred()) return false;
  *out = d;
  return true;
}

namespace {
bool index_to_i64(PyObject* v, int64_t* out) {
  Ref idx(PyNumber_Index(v));
  if (!idx) return false;
  long long x = PyLong_AsLongLong(idx.get());
  if (x == -1 && PyErr_Occurred()) return false;
  *out = static_cast<int64_t>(x);
  return true;
}
bool index_to_u64(PyObject* v, uint64_t* out) {
  Ref idx(PyNumber_Index(v));
  if (!idx) return false;
  unsigned long long x = PyLong_AsUnsignedLongLong(idx.get());
  if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = static_cast<uint64_t>(x);
  return true;
}
template <class T, class F>
bool int_with_fallback(PyObject* v, T* out, F conv) {
  if (conv(v, out)) return true;
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;  // OverflowError stays
  Ref item(item_fallback(v));
  if (!item) return false;
  return conv(item.get(), out);
}
}  // namespace

bool to_i64(PyObject* v, int64_t* out) { return int_with_fallback(v, out, index_to_i64); }
bool to_u64(PyObject* v, uint64_t* out) { return int_with_fallback(v, out, index_to_u64); }

bool to_bool(PyObject* v, bool* out) {
  if (PyBool_Check(v)) {
    *out = (v == Py_True);
    return true;
  }
  if (PyArray_IsScalar(v, Bool)) {
    *out = PyArrayScalar_VAL(v, Bool) != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "expected a bool, got %s", type_name(v));
  return false;
}

bool to_f64_vec(PyObject* v, std::vector<double>* out) {
  if (!PyArray_Check(v)) return dtype_error(v, "float64");
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(v);
  if (PyArray_TYPE(a) != NPY_DOUBLE || !native_order(a)) return dtype_error(v, "float64");
  if (!contiguous(a)) return not_contiguous();
  copy_memory_order(a, out);
  return true;
}

bool to_i64_vec(PyObject* v, std::vector<int64_t>* out) {
  if (!PyArray_Check(v)) return dtype_error(v, "int64");
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(v);
  if (!is_int64_type(PyArray_TYPE(a)) || !native_order(a)) return dtype_error(v, "int64");
  if (!contiguous(a)) return not_contiguous();
  copy_memory_order(a, out);
  return true;
}

bool to_bool_vec(PyObject* v, std::vector<bool>* out) {
  if (!PyArray_Check(v)) return dtype_error(v, "bool");
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(v);
  if (PyArray_TYPE(a) != NPY_BOOL) return dtype_error(v, "bool");
  if (!contiguous(a)) return not_contiguous();
  return read_bool_bytes(a, out);
}

bool to_string_vec(PyObject* v, std::vector<std::string>* out) {
  if (PyUnicode_Check(v) || PyBytes_Check(v) || !PySequence_Check(v)) {
    PyErr_Format(PyExc_TypeError, "expected a sequence of str, got %s", type_name(v));
    return false;
  }
  Ref seq(sequence_items(v, "expected a sequence of str"));
  if (!seq) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
  std::vector<std::string> result;
  result.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(seq.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "expected a sequence of str, got an element of type %s",
                   type_name(item));
      return false;
    }
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(item, &len);
    if (!s) return false;
    result.emplace_back(s, static_cast<size_t>(len));
  }
  *out = std::move(result);
  return true;
}

bool extract_f64(PyObject* obj, const char* name, double* out) { return read_attr(obj, name, out, to_f64); }
bool extract_i64(PyObject* obj, const char* name, int64_t* out) { return read_attr(obj, name, out, to_i64); }
bool extract_bool(PyObject* obj, const char* name, bool* out) { return read_attr(obj, name, out, to_bool); }
bool extract_f64_vec(PyObject* obj, const char* name, std::vector<double>* out) {
  return read_attr(obj, name, out, to_f64_vec);
}
bool extract_i64_vec(PyObject* obj, const char* name, std::vector<int64_t>* out) {
  return read_attr(obj, name, out, to_i64_vec);
}
bool extract_bool_vec(PyObject* obj, const char* name, std::vector<bool>* out) {
  return read_attr(obj, name, out, to_bool_vec);
}
bool extract_string_vec(PyObject* obj, const char* name, std::vector<std::string>* out) {
  return read_attr(obj, name, out, to_string_vec);
}

bool extract_f64_array(PyObject* obj, const char* name, std::vector<double>* out) {
  return read_attr(obj, name, out, [](PyObject* v, std::vector<double>* o) {
    if (!PyArray_Check(v)) return dtype_error(v, "float64");
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(v);
    if (PyArray_TYPE(a) != NPY_DOUBLE || !native_order(a)) return dtype_error(v, "float64");
    if (PyArray_NDIM(a) != 1) {
      PyErr_Format(PyExc_TypeError, "expected a one-dimensional array, got %d dimensions",
                   PyArray_NDIM(a));
      return false;
    }
    if (!PyArray_IS_C_CONTIGUOUS(a)) return not_contiguous();
    copy_memory_order(a, o);
    return true;
  });
}

bool extract_i64_array(PyObject* obj, const char* name, std::vector<int64_t>* out) {
  return read_attr(obj, name, out, [name](PyObject* v, std::vector<int64_t>* o) {
    if (PyArray_Check(v)) {
      PyArrayObject* a = reinterpret_cast<PyArrayObject*>(v);
      int t = PyArray_TYPE(a);
      if (PyArray_NDIM(a) == 1 && native_order(a) && (is_int64_type(t) || is_int32_type(t))) {
        if (!PyArray_IS_C_CONTIGUOUS(a)) return not_contiguous();
        if (is_int64_type(t)) {
          copy_memory_order(a, o);
        } else {
          npy_intp n = PyArray_SIZE(a);
          const int32_t* p = static_cast<const int32_t*>(PyArray_DATA(a));
          o->resize(static_cast<size_t>(n));
          for (npy_intp i = 0; i < n; ++i) (*o)[static_cast<size_t>(i)] = p[i];
        }
        return true;
      }
    }
    PyErr_Format(PyExc_ValueError, "%s must be an int32 or int64 array", name);
    return false;
  });
}

bool extract_bool_array(PyObject* obj, const char* name, std::vector<bool>* out) {
  return read_attr(obj, name, out, [name](PyObject* v, std::vector<bool>* o) {
    if (PyArray_Check(v)) {
      PyArrayObject* a = reinterpret_cast<PyArrayObject*>(v);
      if (PyArray_TYPE(a) == NPY_BOOL) {
        if (!contiguous(a)) return not_contiguous();
        return read_bool_bytes(a, o);
      }
      if (PyArray_TYPE(a) == NPY_DOUBLE && native_order(a)) {
        if (!contiguous(a)) return not_contiguous();
        std::vector<double> d;
        copy_memory_order(a, &d);
        o->assign(d.size(), false);
        // NaN != 0.0, so NaN reads as true.
        for (size_t i = 0; i < d.size(); ++i) (*o)[i] = d[i] != 0.0;
        return true;
      }
    }
    PyErr_Format(PyExc_ValueError, "%s must be a bool or float64 array", name);
    return false;
  });
}

bool extract_i64_scalar(PyObject* obj, const char* name, int64_t* out) {
  return read_attr(obj, name, out, to_i64);
}

bool arg_f64_1d(PyObject* v, const char* argname, std::vector<double>* out) {
  if (!PyArray_Check(v)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a numpy.ndarray of dtype float64, got %s",
                 argname, type_name(v));
    return false;
  }
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(v);
  if (PyArray_TYPE(a) != NPY_DOUBLE || !native_order(a)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected an array of dtype float64, got dtype %c%d",
                 argname, PyArray_DESCR(a)->kind, static_cast<int>(PyArray_ITEMSIZE(a) * 8));
    return false;
  }
  if (PyArray_NDIM(a) != 1) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a one-dimensional array, got %d dimensions",
                 argname, PyArray_NDIM(a));
    return false;
  }
  if (!PyArray_IS_C_CONTIGUOUS(a)) return not_contiguous();
  copy_memory_order(a, out);
  return true;
}

bool to_u64_list(PyObject* v, const char* argname, std::vector<uint64_t>* out) {
  if (PyUnicode_Check(v) || PyBytes_Check(v) || !PySequence_Check(v)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of integers, got %s", argname,
                 Py_TYPE(v)->tp_name);
    return false;
  }
  Ref seq(sequence_items(v, "expected a sequence"));
  if (!seq) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
  std::vector<uint64_t> result(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!to_u64(PyTuple_GET_ITEM(seq.get(), i), &result[static_cast<size_t>(i)])) return false;
  }
  *out = std::move(result);
  return true;
}

bool to_f64_sequence(PyObject* v, const char* argname, std::vector<double>* out) {
  if (PyArray_Check(v)) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(v);
    if (PyArray_NDIM(a) != 1 || !(PyArray_ISINTEGER(a) || PyArray_ISFLOAT(a) || PyArray_ISBOOL(a))) {
      PyErr_Format(PyExc_TypeError, "argument '%s': expected a one-dimensional numeric array", argname);
      return false;
    }
    Ref c(PyArray_FROM_OTF(v, NPY_DOUBLE, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
    if (!c) return false;
    copy_memory_order(reinterpret_cast<PyArrayObject*>(c.get()), out);
    return true;
  }
  if (PyUnicode_Check(v) || PyBytes_Check(v) || !PySequence_Check(v)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of numbers, got %s", argname,
                 type_name(v));
    return false;
  }
  Ref seq(sequence_items(v, "expected a sequence of numbers"));
  if (!seq) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
  std::vector<double> values(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!to_f64(PyTuple_GET_ITEM(seq.get(), i), &values[static_cast<size_t>(i)])) return false;
  }
  *out = std::move(values);
  return true;
}

bool to_named_f64_dict(PyObject* v, const char* argname,
                       std::vector<std::pair<std::string, double>>* out) {
  if (!PyDict_Check(v)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a dict, got %s", argname, type_name(v));
    return false;
  }
  // Converting a value may run Python code that changes the dict; the pairs
  // are held, so no key or value is freed while it is read.
  Ref pairs(dict_items(v));
  if (!pairs) return false;
  const Py_ssize_t n = PyList_GET_SIZE(pairs.get());
  std::vector<std::pair<std::string, double>> items;
  items.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(pairs.get(), i);
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "argument '%s': keys must be str, got %s", argname, type_name(key));
      return false;
    }
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(key, &len);
    if (!s) return false;
    double x;
    if (!to_f64(value, &x)) return false;
    items.emplace_back(std::string(s, static_cast<size_t>(len)), x);
  }
  *out = std::move(items);
  return true;
}

PyArrayObject* f64_array_view(PyObject* v, const char* argname, int required_ndim) {
  if (!PyArray_Check(v)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a numpy.ndarray of dtype float64, got %s",
                 argname, Py_TYPE(v)->tp_name);
    return nullptr;
  }
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(v);
  if (PyArray_TYPE(a) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(a)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected an array of dtype float64, got dtype %c%d",
                 argname, PyArray_DESCR(a)->kind, static_cast<int>(PyArray_ITEMSIZE(a) * 8));
    return nullptr;
  }
  if (required_ndim > 0 && PyArray_NDIM(a) != required_ndim) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a %d-dimensional array, got %d dimensions",
                 argname, required_ndim, PyArray_NDIM(a));
    return nullptr;
  }
  return a;
}

std::vector<int64_t> shape_of(PyArrayObject* a) {
  std::vector<int64_t> dims;
  for (int i = 0; i < PyArray_NDIM(a); ++i) dims.push_back(static_cast<int64_t>(PyArray_DIM(a, i)));
  return dims;
}

PyObject* new_f64_array(const double* data, size_t n) {
  return new_f64_array(data, std::vector<npy_intp>{static_cast<npy_intp>(n)});
}

PyObject* new_f64_array(const double* data, const std::vector<npy_intp>& shape) {
  PyObject* arr = PyArray_SimpleNew(static_cast<int>(shape.size()), const_cast<npy_intp*>(shape.data()),
                                    NPY_DOUBLE);
  if (!arr) return nullptr;
  npy_intp n = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(arr));
  if (n > 0) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)), data,
                         static_cast<size_t>(n) * sizeof(double));
  return arr;
}

PyObject* new_i64_array(const int64_t* data, size_t n) {
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyObject* arr = PyArray_SimpleNew(1, dims, NPY_INT64);
  if (!arr) return nullptr;
  if (n > 0) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)), data, n * sizeof(int64_t));
  return arr;
}

PyObject* new_f64_array_for(const std::vector<uint64_t>& shape, const char* what) {
  uint64_t n = 1;
  bool overflow = false;
  for (uint64_t d : shape) overflow = overflow || __builtin_mul_overflow(n, d, &n);
  const std::optional<uint64_t> bytes = overflow ? std::nullopt : bytes_for(n, sizeof(double));
  if (!bytes || *bytes > static_cast<uint64_t>(NPY_MAX_INTP)) return raise(out_of_memory(what, bytes));
  std::vector<npy_intp> dims(shape.begin(), shape.end());
  PyObject* arr = PyArray_SimpleNew(static_cast<int>(dims.size()), dims.data(), NPY_DOUBLE);
  if (!arr && PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    return raise(out_of_memory(what, bytes));
  }
  return arr;
}

bool name_argument(const char* argname) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  Ref text(v ? PyObject_Str(v) : nullptr);
  Py_XDECREF(t);
  Py_XDECREF(v);
  Py_XDECREF(tb);
  if (!text) return false;
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", argname, text.get());
  return false;
}

}  // namespace qorin::py
