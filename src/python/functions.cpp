#include "python/functions.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "core/kernels/offspring.hpp"
#include "core/output/observation.hpp"
#include "core/util/format.hpp"
#include "core/util/memory.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/guard.hpp"

namespace qorin::py {

namespace {

bool all_finite(const double* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (!std::isfinite(p[i])) return false;
  }
  return true;
}

// The data of a C-contiguous float64 array, read in place when it is aligned
// for doubles and through a copy otherwise.
const double* aligned_data(PyArrayObject* a, std::vector<double>* holder) {
  if (PyArray_ISALIGNED(a)) return static_cast<const double*>(PyArray_DATA(a));
  const size_t n = static_cast<size_t>(PyArray_SIZE(a));
  holder->resize(n);
  if (n > 0) std::memcpy(holder->data(), PyArray_DATA(a), n * sizeof(double));
  return holder->data();
}

PyObject* compute_offspring_tensor_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"meiosis", "fusion", nullptr};
  PyObject *meiosis_obj = nullptr, *fusion_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:compute_offspring_tensor",
                                   const_cast<char**>(kwlist), &meiosis_obj, &fusion_obj))
    return nullptr;
  PyArrayObject* meiosis = f64_array_view(meiosis_obj, "meiosis");
  if (!meiosis) return nullptr;
  PyArrayObject* fusion = f64_array_view(fusion_obj, "fusion");
  if (!fusion) return nullptr;

  const std::vector<int64_t> mshape = shape_of(meiosis);
  if (mshape.empty() || mshape[0] != 2) {
    return raise(Error::value("meiosis must have a leading sex axis of 2, got shape " +
                              format_shape(mshape)));
  }
  if (mshape.size() != 3) {
    return raise(Error::value("meiosis must have shape (2, Z, G), got shape " + format_shape(mshape)));
  }
  const int64_t Z = mshape[1];
  const int64_t G = mshape[2];
  const std::vector<int64_t> fshape = shape_of(fusion);
  if (fshape.size() != 3 || fshape[0] != G || fshape[1] != G || fshape[2] != Z) {
    return raise(Error::value("fusion shape must be (" + format_int(G) + ", " + format_int(G) + ", " +
                              format_int(Z) + "), got " + format_shape(fshape)));
  }
  if (!PyArray_IS_C_CONTIGUOUS(meiosis)) return raise(Error::value("meiosis must be C-contiguous"));
  if (!PyArray_IS_C_CONTIGUOUS(fusion)) return raise(Error::value("fusion must be C-contiguous"));
  std::vector<double> held_m, held_f;
  const double* m = aligned_data(meiosis, &held_m);
  const double* f = aligned_data(fusion, &held_f);
  if (!all_finite(m, static_cast<size_t>(2 * Z * G))) {
    return raise(Error::value("meiosis must contain finite values"));
  }
  // Z^3 entries, however few the inputs hold: sized before allocating.
  const uint64_t z = static_cast<uint64_t>(Z);
  uint64_t n = 0;
  if (__builtin_mul_overflow(z, z, &n) || __builtin_mul_overflow(n, z, &n)) {
    return raise(out_of_memory("the offspring tensor", std::nullopt));
  }
  Ref out(new_f64_array_for({n}, "the offspring tensor"));
  if (!out) return nullptr;
  double* dst = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
  compute_offspring_tensor(m, f, static_cast<size_t>(Z), static_cast<size_t>(G),
                           std::span<double>(dst, static_cast<size_t>(n)));
  return out.release();
}

PyObject* project_observation_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"ind", "mask", "dimensions", "selected", "collapse_age", "aggregate",
                                 nullptr};
  PyObject *ind_obj, *mask_obj, *dims_obj, *sel_obj, *collapse_obj, *aggregate_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO:project_observation",
                                   const_cast<char**>(kwlist), &ind_obj, &mask_obj, &dims_obj,
                                   &sel_obj, &collapse_obj, &aggregate_obj))
    return nullptr;
  std::vector<double> ind, mask;
  if (!arg_f64_1d(ind_obj, "ind", &ind)) return nullptr;
  if (!arg_f64_1d(mask_obj, "mask", &mask)) return nullptr;
  std::vector<uint64_t> dims, selected;
  if (!to_u64_list(dims_obj, "dimensions", &dims)) return nullptr;
  if (dims.size() != 4) {
    return raise(Error::value("dimensions must hold exactly 4 values (n_demes, n_sexes, n_ages, "
                              "n_ztypes), got " + format_uint(dims.size())));
  }
  if (!to_u64_list(sel_obj, "selected", &selected)) return nullptr;
  bool collapse_age = false, aggregate = false;
  if (!to_bool(collapse_obj, &collapse_age)) return nullptr;
  if (!to_bool(aggregate_obj, &aggregate)) return nullptr;

  Result<std::vector<double>> out =
      project(ind, mask, {dims[0], dims[1], dims[2], dims[3]}, selected, collapse_age, aggregate);
  if (!out) return raise(out.error());
  if (!all_finite(ind.data(), ind.size()) || !all_finite(mask.data(), mask.size())) {
    return raise(Error::value("ind and mask must contain finite values"));
  }
  return new_f64_array(out->data(), out->size());
}

}  // namespace

PyMethodDef kProjectObservationDef = {
    "project_observation", QORIN_GUARDED(project_observation_py),
    METH_VARARGS | METH_KEYWORDS,
    "project_observation(ind, mask, dimensions, selected, collapse_age, aggregate)\n--\n\n"
    "Apply the same native projection to a current-state snapshot."};

PyMethodDef kComputeOffspringTensorDef = {
    "compute_offspring_tensor",
    QORIN_GUARDED(compute_offspring_tensor_py),
    METH_VARARGS | METH_KEYWORDS,
    "compute_offspring_tensor(meiosis, fusion)\n--\n\n"
    "Compose a meiosis table (2, Z, G) with a fusion table (G, G, Z) into the offspring\n"
    "tensor: a flat array of Z**3 entries over [female ztype, male ztype, zygote]."};

}  // namespace qorin::py
