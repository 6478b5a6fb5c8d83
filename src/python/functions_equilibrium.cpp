// Module functions equilibrium_metrics and equilibrium_metrics_flat.
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "core/kernels/equilibrium.hpp"
#include "core/util/format.hpp"
#include "python/contracts.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/guard.hpp"
#include "python/functions.hpp"

namespace qorin::py {

namespace {

bool f64_arg(PyObject* v, const char* argname, double* out) {
  return to_f64(v, out) || name_argument(argname);
}
bool i64_arg(PyObject* v, const char* argname, int64_t* out) {
  return to_i64(v, out) || name_argument(argname);
}
bool bool_arg(PyObject* v, const char* argname, bool* out) {
  return to_bool(v, out) || name_argument(argname);
}

bool is_pair_shape(PyArrayObject* a, int64_t n_ages) {
  return PyArray_NDIM(a) == 2 && PyArray_DIM(a, 0) == 2 && PyArray_DIM(a, 1) == n_ages;
}

// The array's data in place, or a copy when the data is not aligned for
// reading doubles directly.
std::span<const double> view(PyArrayObject* a, std::vector<double>* holder) {
  const size_t n = static_cast<size_t>(PyArray_SIZE(a));
  if (n == 0) return {};
  if (PyArray_ISALIGNED(a)) return {static_cast<const double*>(PyArray_DATA(a)), n};
  holder->resize(n);
  std::memcpy(holder->data(), PyArray_DATA(a), n * sizeof(double));
  return {holder->data(), n};
}

PyObject* metrics_tuple(const EquilibriumMetrics& m) {
  return Py_BuildValue("(dd)", m.expected_competition_strength, m.expected_survival_rate);
}

PyObject* equilibrium_metrics_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"blueprint", "params", nullptr};
  PyObject *bp_obj, *params_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:equilibrium_metrics", const_cast<char**>(kwlist),
                                   &bp_obj, &params_obj))
    return nullptr;
  Blueprint bp;
  EcologyParams eco;
  if (!blueprint_from_python(bp_obj, &bp)) return nullptr;
  if (!ecology_from_python(params_obj, &eco)) return nullptr;
  if (Status s = bp.validate(); !s) return raise(s.error());
  if (Status s = eco.validate(bp.n_ages); !s) return raise(s.error());
  return metrics_tuple(equilibrium_metrics(bp, eco, 0));
}

PyObject* equilibrium_metrics_flat_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"carrying_capacity", "eggs_per_female", "sex_ratio",
                                 "survival_rates", "reproduction_rates", "fertility",
                                 "competition_weights", "new_adult_age", "n_ages",
                                 "has_sex_chromosomes", "discrete_generation",
                                 "declared_distribution", "external_expected_eggs", nullptr};
  PyObject *cc_o, *eggs_o, *sr_o, *surv_o, *repr_o, *fert_o, *comp_o, *start_o, *n_ages_o, *sexchr_o,
      *discrete_o;
  PyObject *declared_o = Py_None, *ext_o = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOOOOO|OO:equilibrium_metrics_flat",
                                   const_cast<char**>(kwlist), &cc_o, &eggs_o, &sr_o, &surv_o,
                                   &repr_o, &fert_o, &comp_o, &start_o, &n_ages_o, &sexchr_o,
                                   &discrete_o, &declared_o, &ext_o))
    return nullptr;

  double K, eggs, sex_ratio;
  int64_t start, n_ages;
  bool sex_chromosomes, discrete;
  if (!f64_arg(cc_o, "carrying_capacity", &K) || !f64_arg(eggs_o, "eggs_per_female", &eggs) ||
      !f64_arg(sr_o, "sex_ratio", &sex_ratio))
    return nullptr;
  PyArrayObject* surv = f64_array_view(surv_o, "survival_rates", 0);
  if (!surv) return nullptr;
  PyArrayObject* repr = f64_array_view(repr_o, "reproduction_rates", 1);
  if (!repr) return nullptr;
  PyArrayObject* fert = f64_array_view(fert_o, "fertility", 1);
  if (!fert) return nullptr;
  PyArrayObject* comp = f64_array_view(comp_o, "competition_weights", 1);
  if (!comp) return nullptr;
  if (!i64_arg(start_o, "new_adult_age", &start) || !i64_arg(n_ages_o, "n_ages", &n_ages) ||
      !bool_arg(sexchr_o, "has_sex_chromosomes", &sex_chromosomes) ||
      !bool_arg(discrete_o, "discrete_generation", &discrete))
    return nullptr;
  PyArrayObject* declared = nullptr;
  if (declared_o != Py_None) {
    declared = f64_array_view(declared_o, "declared_distribution", 0);
    if (!declared) return nullptr;
  }
  double external = -1.0;
  if (ext_o != Py_None && !f64_arg(ext_o, "external_expected_eggs", &external)) return nullptr;

  // 1. Survival shape.
  if (!is_pair_shape(surv, n_ages)) {
    return raise(Error::value("survival_rates shape must be (2, " + format_int(n_ages) + "), got " +
                              format_shape(shape_of(surv))));
  }
  // 2. Lengths.
  const std::pair<const char*, PyArrayObject*> per_age[] = {
      {"reproduction_rates", repr}, {"fertility", fert}, {"competition_weights", comp}};
  for (const auto& [name, a] : per_age) {
    if (PyArray_DIM(a, 0) != n_ages) {
      return raise(Error::value(std::string(name) + " must have length " + format_int(n_ages) +
                                ", got " + format_int(PyArray_DIM(a, 0))));
    }
  }
  // 3. Contiguity.
  if (!PyArray_IS_C_CONTIGUOUS(surv)) return raise(Error::value("survival_rates must be C-contiguous"));
  for (const auto& [name, a] : per_age) {
    if (!PyArray_IS_C_CONTIGUOUS(a)) return raise(Error::value(std::string(name) + " must be C-contiguous"));
  }
  // 4. Declared distribution; an empty array counts as absent.
  if (declared && PyArray_SIZE(declared) == 0) declared = nullptr;
  if (declared) {
    if (!is_pair_shape(declared, n_ages)) {
      return raise(Error::value("declared_distribution shape must be (2, " + format_int(n_ages) +
                                "), got " + format_shape(shape_of(declared))));
    }
    if (!PyArray_IS_C_CONTIGUOUS(declared)) {
      return raise(Error::value("declared_distribution must be C-contiguous"));
    }
  }

  std::vector<double> held[5];
  EquilibriumInputs in;
  in.survival = view(surv, &held[0]);
  in.reproduction = view(repr, &held[1]);
  in.fertility = view(fert, &held[2]);
  in.competition = view(comp, &held[3]);
  in.carrying_capacity = K;
  in.eggs_per_female = eggs;
  in.female_fraction = sex_chromosomes ? 0.5 : sex_ratio;
  in.external_expected_eggs = external;
  if (declared) {
    in.has_declared = true;
    in.declared = view(declared, &held[4]);
  }
  // A negative first adult age makes every age adult.
  in.new_adult_age = start < 0 ? 0 : static_cast<size_t>(start);
  in.n_ages = static_cast<size_t>(n_ages);  // matched an array dimension, so >= 0
  in.discrete_generation = discrete;
  return metrics_tuple(equilibrium_core(in));
}

}  // namespace

PyMethodDef kEquilibriumMetricsDef = {
    "equilibrium_metrics",
    QORIN_GUARDED(equilibrium_metrics_py),
    METH_VARARGS | METH_KEYWORDS,
    "equilibrium_metrics(blueprint, params)\n--\n\n"
    "Equilibrium calibration of density regulation for a model's first deme:\n"
    "(expected_competition_strength, expected_survival_rate)."};

PyMethodDef kEquilibriumMetricsFlatDef = {
    "equilibrium_metrics_flat",
    QORIN_GUARDED(equilibrium_metrics_flat_py),
    METH_VARARGS | METH_KEYWORDS,
    "equilibrium_metrics_flat(carrying_capacity, eggs_per_female, sex_ratio, survival_rates, "
    "reproduction_rates, fertility, competition_weights, new_adult_age, n_ages, "
    "has_sex_chromosomes, discrete_generation, declared_distribution=None, "
    "external_expected_eggs=None)\n--\n\n"
    "The equilibrium calibration from plain values and float64 arrays, without building\n"
    "contracts: (expected_competition_strength, expected_survival_rate)."};

}  // namespace qorin::py
