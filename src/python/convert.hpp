// Readers that turn attributes of the host package's contract objects and
// NumPy arrays into native values, and helpers that build returned arrays.
// Every reader returns false with a Python exception set on failure.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "python/np.hpp"

namespace qorin::py {

// Owning reference to a Python object.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* o) : o_(o) {}  // steals
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& r) noexcept : o_(r.o_) { r.o_ = nullptr; }
  Ref& operator=(Ref&& r) noexcept {
    if (this != &r) {
      Py_XDECREF(o_);
      o_ = r.o_;
      r.o_ = nullptr;
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(o_); }
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return Ref(o);
  }
  PyObject* get() const { return o_; }
  PyObject* release() {
    PyObject* o = o_;
    o_ = nullptr;
    return o;
  }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  PyObject* o_ = nullptr;
};

// ---- holding what is read ----
// The items of an iterable as a new tuple that holds every item for the whole
// read. Converting an item may run Python code (__float__, __index__) that
// changes or empties the original list; the tuple cannot change, so readers
// walk it instead of the original. When `type_error` is given, a TypeError
// raised because `v` is not iterable is replaced by that message.
Ref sequence_items(PyObject* v, const char* type_error = nullptr);
// The (key, value) pairs of a dict (or dict subclass) as a new list of
// tuples, holding every key and value for the whole read.
Ref dict_items(PyObject* dict);

// ---- value converters (no attribute access) ----
// float: a Python float directly; else the float protocol; else `item()`.
bool to_f64(PyObject* v, double* out);
// integer protocol, else `item()`; OverflowError outside 64 bits.
bool to_i64(PyObject* v, int64_t* out);
// nonnegative integer (OverflowError for negative or too large values).
bool to_u64(PyObject* v, uint64_t* out);
// a Python bool or a NumPy bool scalar.
bool to_bool(PyObject* v, bool* out);
// float64/int64/bool arrays of any dimensionality, C- or F-contiguous; flat
// copy in memory order.
bool to_f64_vec(PyObject* v, std::vector<double>* out);
bool to_i64_vec(PyObject* v, std::vector<int64_t>* out);
bool to_bool_vec(PyObject* v, std::vector<bool>* out);
// a sequence of str; a plain str is refused.
bool to_string_vec(PyObject* v, std::vector<std::string>* out);

// ---- contract attribute readers: read `name` from `obj`, then convert ----
bool extract_f64(PyObject* obj, const char* name, double* out);
bool extract_i64(PyObject* obj, const char* name, int64_t* out);
bool extract_bool(PyObject* obj, const char* name, bool* out);
bool extract_f64_vec(PyObject* obj, const char* name, std::vector<double>* out);
bool extract_i64_vec(PyObject* obj, const char* name, std::vector<int64_t>* out);
bool extract_bool_vec(PyObject* obj, const char* name, std::vector<bool>* out);
bool extract_string_vec(PyObject* obj, const char* name, std::vector<std::string>* out);

// ---- hook-program column readers ----
// one-dimensional contiguous float64 array
bool extract_f64_array(PyObject* obj, const char* name, std::vector<double>* out);
// one-dimensional contiguous int64 array, or int32 widened to 64 bits
bool extract_i64_array(PyObject* obj, const char* name, std::vector<int64_t>* out);
// contiguous bool array, or float64 array read as (x != 0.0)
bool extract_bool_array(PyObject* obj, const char* name, std::vector<bool>* out);
bool extract_i64_scalar(PyObject* obj, const char* name, int64_t* out);

// ---- argument helpers for module functions and methods ----
// Prefixes a pending TypeError with the argument's name; other exceptions
// (OverflowError) stay as they are. Always returns false.
bool name_argument(const char* argname);
// A one-dimensional contiguous float64 array argument, copied. Wrong type,
// dtype or dimensionality: TypeError naming the argument; non-contiguous:
// TypeError "The given array is not contiguous".
bool arg_f64_1d(PyObject* v, const char* argname, std::vector<double>* out);

// A float-vector argument: any Python sequence of numbers or a one-dimensional
// numeric NumPy array (any layout), copied as float64.
bool to_f64_sequence(PyObject* v, const char* argname, std::vector<double>* out);
// A sequence of unsigned 64-bit integers (a str is refused).
bool to_u64_list(PyObject* v, const char* argname, std::vector<uint64_t>* out);
// A dict from str to float, in dict order.
bool to_named_f64_dict(PyObject* v, const char* argname,
                       std::vector<std::pair<std::string, double>>* out);

// A float64 array argument of any layout, read in place during the call
// (borrowed). TypeError naming the argument for another type or dtype, or
// for another number of dimensions when required_ndim > 0.
PyArrayObject* f64_array_view(PyObject* v, const char* argname, int required_ndim = 0);
// The shape of an array.
std::vector<int64_t> shape_of(PyArrayObject* a);

// ---- returned arrays: fresh, owning their data ----
PyObject* new_f64_array(const double* data, size_t n);
PyObject* new_f64_array(const double* data, const std::vector<npy_intp>& shape);
PyObject* new_i64_array(const int64_t* data, size_t n);
// A new float64 array of this shape, left uninitialised for the caller to
// fill. Its size is checked before anything is allocated: a result that
// cannot be allocated raises MemoryError saying how much memory `what` needs.
PyObject* new_f64_array_for(const std::vector<uint64_t>& shape, const char* what);

}  // namespace qorin::py
