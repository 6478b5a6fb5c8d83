// Module functions migrate_csr_deterministic and migrate_csr_stochastic: CSR
// migration of a stacked state handed in as NumPy arrays, returning new arrays.
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "core/kernels/migration.hpp"
#include "core/util/format.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"

namespace qorin::py {

namespace {

bool bool_arg(PyObject* v, const char* argname, bool* out) { return to_bool(v, out) || name_argument(argname); }
bool u64_arg(PyObject* v, const char* argname, uint64_t* out) { return to_u64(v, out) || name_argument(argname); }

// A one-dimensional int64 array argument, read in place during the call.
PyArrayObject* i64_array_view(PyObject* v, const char* argname) {
  if (!PyArray_Check(v)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a numpy.ndarray of dtype int64, got %s", argname,
                 Py_TYPE(v)->tp_name);
    return nullptr;
  }
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(v);
  if (!PyArray_EquivTypenums(PyArray_TYPE(a), NPY_INT64) || !PyArray_ISNOTSWAPPED(a)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected an array of dtype int64, got dtype %c%d", argname,
                 PyArray_DESCR(a)->kind, static_cast<int>(PyArray_ITEMSIZE(a) * 8));
    return nullptr;
  }
  if (PyArray_NDIM(a) != 1) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a 1-dimensional array, got %d dimensions", argname,
                 PyArray_NDIM(a));
    return nullptr;
  }
  return a;
}

// The C-contiguous array's elements in place, or a copy when its data is not
// aligned for reading T directly.
template <class T>
std::span<const T> elements(PyArrayObject* a, std::vector<T>* holder) {
  const size_t n = static_cast<size_t>(PyArray_SIZE(a));
  if (n == 0) return {};
  if (PyArray_ISALIGNED(a)) return {static_cast<const T*>(PyArray_DATA(a)), n};
  holder->resize(n);
  std::memcpy(holder->data(), PyArray_DATA(a), n * sizeof(T));
  return {holder->data(), n};
}

// Counts must be finite and not negative (negative zero passes). A
// branch-free scan first; the offending value is looked up only on failure.
bool check_counts(std::span<const double> values, const char* argname) {
  bool ok = true;
  for (const double x : values) ok &= (x >= 0.0) & (x <= std::numeric_limits<double>::max());
  if (ok) return true;
  for (const double x : values) {
    if (!std::isfinite(x) || x < 0.0) {
      raise(Error::value(std::string(argname) + " must contain finite nonnegative counts, got " +
                         format_number(x)));
      return false;
    }
  }
  return true;
}

// The arguments shared by both functions, converted and checked.
struct StackedArgs {
  PyArrayObject* ind = nullptr;
  PyArrayObject* sperm = nullptr;
  PyArrayObject* indptr = nullptr;
  PyArrayObject* dest_idx = nullptr;
  PyArrayObject* weights = nullptr;
  PyArrayObject* rate = nullptr;
  std::vector<double> held_f64[4];
  std::vector<int64_t> held_i64[2];
  MigrationInputs in;
};

// Converts the six arrays in signature order (TypeError naming the argument).
bool convert_arrays(PyObject* const objs[6], StackedArgs* args) {
  args->ind = f64_array_view(objs[0], "individual_count_all", 4);
  if (!args->ind) return false;
  args->sperm = f64_array_view(objs[1], "sperm_storage_all", 4);
  if (!args->sperm) return false;
  args->indptr = i64_array_view(objs[2], "indptr");
  if (!args->indptr) return false;
  args->dest_idx = i64_array_view(objs[3], "dest_idx");
  if (!args->dest_idx) return false;
  args->weights = f64_array_view(objs[4], "weights", 1);
  if (!args->weights) return false;
  args->rate = f64_array_view(objs[5], "rate", 1);
  return args->rate != nullptr;
}

// Shapes, contiguity and counts, then the kernel's view of the arrays.
bool check_arrays(StackedArgs* args) {
  const std::vector<int64_t> ishape = shape_of(args->ind);
  if (ishape[1] != 2) {
    raise(Error::value("individual_count_all must have shape (n_demes, 2, n_ages, n_ztypes), got " +
                       format_shape(ishape)));
    return false;
  }
  const int64_t D = ishape[0], A = ishape[2], Z = ishape[3];
  const std::vector<int64_t> sshape = shape_of(args->sperm);
  if (sshape[0] != D || sshape[1] != A || sshape[2] != Z || sshape[3] != Z) {
    raise(Error::value("sperm_storage_all must have shape (" + format_int(D) + ", " + format_int(A) + ", " +
                       format_int(Z) + ", " + format_int(Z) + "), got " + format_shape(sshape)));
    return false;
  }
  for (PyArrayObject* a : {args->ind, args->sperm, args->indptr, args->dest_idx, args->weights, args->rate}) {
    if (!PyArray_IS_C_CONTIGUOUS(a)) {
      raise(Error::value("The given array is not contiguous"));
      return false;
    }
  }
  MigrationInputs& in = args->in;
  in.ind = elements(args->ind, &args->held_f64[0]);
  in.sperm = elements(args->sperm, &args->held_f64[1]);
  in.indptr = elements(args->indptr, &args->held_i64[0]);
  in.dest_idx = elements(args->dest_idx, &args->held_i64[1]);
  in.weights = elements(args->weights, &args->held_f64[2]);
  in.rate = elements(args->rate, &args->held_f64[3]);
  in.n_demes = static_cast<size_t>(D);  // extents of an existing array: nonnegative
  in.n_ages = static_cast<size_t>(A);
  in.n_ztypes = static_cast<size_t>(Z);
  return check_counts(in.ind, "individual_count_all") && check_counts(in.sperm, "sperm_storage_all");
}

// The two result arrays, of the input shapes; the kernel writes every element.
struct Outputs {
  Ref ind, sperm;
  std::span<double> ind_data() const { return data(ind); }
  std::span<double> sperm_data() const { return data(sperm); }
  static std::span<double> data(const Ref& r) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(r.get());
    return {static_cast<double*>(PyArray_DATA(a)), static_cast<size_t>(PyArray_SIZE(a))};
  }
};

bool make_outputs(const StackedArgs& args, Outputs* out) {
  auto make = [](PyArrayObject* like) {
    return Ref(PyArray_SimpleNew(PyArray_NDIM(like), PyArray_DIMS(like), NPY_DOUBLE));
  };
  out->ind = make(args.ind);
  if (!out->ind) return false;
  out->sperm = make(args.sperm);
  return static_cast<bool>(out->sperm);
}

// (individual_count, sperm_storage), or the kernel's error.
PyObject* finish(Status s, Outputs* out) {
  if (!s) return raise(s.error());
  return PyTuple_Pack(2, out->ind.get(), out->sperm.get());
}

PyObject* migrate_csr_deterministic_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"individual_count_all", "sperm_storage_all", "indptr", "dest_idx", "weights",
                                 "rate", "stay_after", nullptr};
  PyObject* objs[6];
  PyObject* stay_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOO:migrate_csr_deterministic", const_cast<char**>(kwlist),
                                   &objs[0], &objs[1], &objs[2], &objs[3], &objs[4], &objs[5], &stay_obj))
    return nullptr;
  StackedArgs a;
  if (!convert_arrays(objs, &a)) return nullptr;
  // Validated as a bool; the result does not depend on it.
  bool stay_after = false;
  if (!bool_arg(stay_obj, "stay_after", &stay_after)) return nullptr;
  if (!check_arrays(&a)) return nullptr;
  Outputs out;
  if (!make_outputs(a, &out)) return nullptr;
  MigrationScratch scratch;
  return finish(migrate_csr_deterministic_into(a.in, out.ind_data(), out.sperm_data(), scratch), &out);
}

PyObject* migrate_csr_stochastic_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"individual_count_all", "sperm_storage_all", "indptr", "dest_idx", "weights",
                                 "rate", "seed", "continuous_sampling", nullptr};
  PyObject* objs[6];
  PyObject *seed_obj, *continuous_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOO:migrate_csr_stochastic", const_cast<char**>(kwlist),
                                   &objs[0], &objs[1], &objs[2], &objs[3], &objs[4], &objs[5], &seed_obj,
                                   &continuous_obj))
    return nullptr;
  StackedArgs a;
  if (!convert_arrays(objs, &a)) return nullptr;
  uint64_t seed = 0;
  bool continuous = false;
  if (!u64_arg(seed_obj, "seed", &seed) || !bool_arg(continuous_obj, "continuous_sampling", &continuous))
    return nullptr;
  if (!check_arrays(&a)) return nullptr;
  // The graph is checked before one stream per deme is made.
  if (Result<size_t> ok = validate_migration(a.in); !ok) return raise(ok.error());
  std::vector<SessionRng> rngs(a.in.n_demes);
  for (size_t d = 0; d < rngs.size(); ++d) rngs[d] = new_rng(seed ^ static_cast<uint64_t>(d));
  Outputs out;
  if (!make_outputs(a, &out)) return nullptr;
  MigrationScratch scratch;
  return finish(migrate_csr_stochastic_into(rngs, continuous, a.in, out.ind_data(), out.sperm_data(), scratch),
                &out);
}

}  // namespace

PyMethodDef kMigrateCsrDeterministicDef = {
    "migrate_csr_deterministic",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(migrate_csr_deterministic_py)),
    METH_VARARGS | METH_KEYWORDS,
    "migrate_csr_deterministic(individual_count_all, sperm_storage_all, indptr, dest_idx, weights, rate, "
    "stay_after)\n--\n\n"
    "Deterministic CSR migration of a stacked state: every cell sends the expected fraction\n"
    "rate * weight of itself to each destination of its deme's row.\n\n"
    "individual_count_all: float64 (n_demes, 2, n_ages, n_ztypes); sperm_storage_all: float64\n"
    "(n_demes, n_ages, n_ztypes, n_ztypes); indptr: int64 CSR row pointer with n_demes + 1\n"
    "entries; dest_idx: int64 destination deme per entry; weights: float64 normalized outbound\n"
    "weight per entry; rate: float64 flat (n_demes, 2, n_ages) migration-rate column of\n"
    "fractions in [0, 1]; stay_after: bool, accepted for compatibility (no effect).\n"
    "Returns (individual_count, sperm_storage) as new arrays; the inputs are not modified."};

PyMethodDef kMigrateCsrStochasticDef = {
    "migrate_csr_stochastic",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(migrate_csr_stochastic_py)),
    METH_VARARGS | METH_KEYWORDS,
    "migrate_csr_stochastic(individual_count_all, sperm_storage_all, indptr, dest_idx, weights, rate, seed, "
    "continuous_sampling)\n--\n\n"
    "Stochastic CSR migration of a stacked state: the number leaving each cell is drawn, then\n"
    "split among its deme's row by a multinomial draw on the row's weights, deme d drawing\n"
    "from a stream seeded with seed ^ d.\n\n"
    "individual_count_all: float64 (n_demes, 2, n_ages, n_ztypes); sperm_storage_all: float64\n"
    "(n_demes, n_ages, n_ztypes, n_ztypes); indptr: int64 CSR row pointer with n_demes + 1\n"
    "entries; dest_idx: int64 destination deme per entry; weights: float64 normalized outbound\n"
    "weight per entry; rate: float64 flat (n_demes, 2, n_ages) migration-rate column of\n"
    "fractions in [0, 1]; seed: unsigned 64-bit integer; continuous_sampling: bool, real-valued\n"
    "draws instead of integer ones.\n"
    "Returns (individual_count, sperm_storage) as new arrays; the inputs are not modified."};

}  // namespace qorin::py
