// Test hooks for the lifecycle kernels: run one stage on caller-supplied state.
#include <string>
#include <vector>

#include "core/kernels/deme_inputs.hpp"
#include "core/kernels/lifecycle.hpp"
#include "core/util/format.hpp"
#include "python/contracts.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/rng_words.hpp"
#include "python/testing.hpp"
#include "python/testing_kernels.hpp"
#include "python/guard.hpp"

namespace qorin::py::testing {

namespace {

PyObject* regulation_scaling_py(PyObject*, PyObject* args) {
  long long mode;
  double n, k, g, base;
  if (!PyArg_ParseTuple(args, "Ldddd:regulation_scaling", &mode, &n, &k, &g, &base)) return nullptr;
  auto r = regulation_scaling(mode, n, k, g, base);
  if (!r) return raise(r.error());
  return PyFloat_FromDouble(r.value());
}

bool dict_array(PyObject* d, const char* key, size_t expected, std::vector<double>* out) {
  PyObject* v = PyDict_GetItemString(d, key);  // borrowed
  if (!v) {
    PyErr_Format(PyExc_KeyError, "%s", key);
    return false;
  }
  if (!to_f64_vec(v, out)) return false;
  if (out->size() != expected) {
    PyErr_Format(PyExc_ValueError, "%s: expected %zu elements, got %zu", key, expected, out->size());
    return false;
  }
  return true;
}

bool dict_scalar(PyObject* d, const char* key, double* out) {
  PyObject* v = PyDict_GetItemString(d, key);
  if (!v) {
    PyErr_Format(PyExc_KeyError, "%s", key);
    return false;
  }
  return to_f64(v, out);
}

// lifecycle_stage(stage, ind, sperm, n_ages, n_ztypes, new_adult_age, mode, inputs, words,
//                 fixed_egg_count=False, female_only=None, male_only=None)
PyObject* lifecycle_stage(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"stage", "ind", "sperm", "n_ages", "n_ztypes", "new_adult_age", "mode",
                                 "inputs", "words", "fixed_egg_count", "female_only", "male_only",
                                 nullptr};
  const char* stage;
  PyObject *ind_obj, *sperm_obj, *inputs, *words, *fo_obj = Py_None, *mo_obj = Py_None;
  Py_ssize_t A, Z;
  long long new_adult_age;
  const char* mode_name;
  int fixed = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sOOnnLsO!O|pOO:lifecycle_stage",
                                   const_cast<char**>(kwlist), &stage, &ind_obj, &sperm_obj, &A, &Z,
                                   &new_adult_age, &mode_name, &PyDict_Type, &inputs, &words, &fixed,
                                   &fo_obj, &mo_obj))
    return nullptr;
  if (A < 0 || Z < 0 || A > 4096 || Z > 4096) {
    PyErr_SetString(PyExc_ValueError, "dimensions out of range");
    return nullptr;
  }
  const size_t a = static_cast<size_t>(A), z = static_cast<size_t>(Z);
  std::vector<double> ind, sperm;
  if (!to_f64_vec(ind_obj, &ind) || !to_f64_vec(sperm_obj, &sperm)) return nullptr;
  if (ind.size() != 2 * a * z || sperm.size() != a * z * z) {
    PyErr_SetString(PyExc_ValueError, "state lengths do not match the dimensions");
    return nullptr;
  }
  SessionRng rng;
  if (!rng_from_words(words, &rng)) return nullptr;

  KernelInputArrays arr;
  LifeLayout layout;
  DemeInputs in;
  if (!layout_from_args(a, z, new_adult_age, mode_name, fixed != 0, fo_obj, mo_obj, &arr, &layout) ||
      !deme_inputs_from_dict(inputs, a, z, &arr, &in))
    return nullptr;

  KernelScratch scratch;
  std::string s(stage);
  Status st;
  if (s == "reproduction") st = reproduction(rng, layout, in, ind, sperm, scratch);
  else if (s == "survival") st = survival(rng, layout, in, ind, sperm, scratch);
  else if (s == "aging") aging(a, z, ind, sperm);
  else {
    PyErr_SetString(PyExc_ValueError, "stage must be reproduction, survival or aging");
    return nullptr;
  }
  if (!st) return raise(st.error());
  Ref ind_out(new_f64_array(ind.data(), ind.size()));
  Ref sperm_out(new_f64_array(sperm.data(), sperm.size()));
  Ref w(rng_words_list(rng));
  if (!ind_out || !sperm_out || !w) return nullptr;
  return PyTuple_Pack(3, ind_out.get(), sperm_out.get(), w.get());
}

// run_stages(blueprint, params, stages, seed=0): builds and validates the
// contracts, then runs the named stages in order on the initial state.
PyObject* run_stages(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"blueprint", "params", "stages", "seed", nullptr};
  PyObject *bp_obj, *params_obj, *stages_obj;
  unsigned long long seed = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|K:run_stages", const_cast<char**>(kwlist), &bp_obj,
                                   &params_obj, &stages_obj, &seed))
    return nullptr;
  std::vector<std::string> stages;
  if (!to_string_vec(stages_obj, &stages)) return nullptr;
  Blueprint bp;
  EcologyParams eco;
  GeneticsTensors gen;
  if (!contracts_from_python(bp_obj, params_obj, &bp, &eco, &gen)) return nullptr;
  std::vector<double> ind = bp.initial_individual_count;
  std::vector<double> sperm = bp.initial_sperm_storage;
  if (sperm.empty()) sperm.assign(bp.sperm_storage_len(), 0.0);
  SessionRng rng = new_rng(seed);
  const LifeLayout layout = life_layout(bp);
  const EquilibriumSource eq{&bp, &eco, 0};
  const DemeInputs in = deme_inputs(bp, eco, gen, 0, &eq);
  KernelScratch scratch;
  for (const std::string& st : stages) {
    Status s;
    if (st == "reproduction") s = reproduction(rng, layout, in, ind, sperm, scratch);
    else if (st == "survival") s = survival(rng, layout, in, ind, sperm, scratch);
    else if (st == "aging") aging(bp.n_ages, bp.n_ztypes, ind, sperm);
    else return raise(Error::value("unknown stage " + st));
    if (!s) return raise(s.error());
  }
  Ref ind_out(new_f64_array(ind.data(), ind.size()));
  Ref sperm_out(new_f64_array(sperm.data(), sperm.size()));
  Ref w(rng_words_list(rng));
  if (!ind_out || !sperm_out || !w) return nullptr;
  return PyTuple_Pack(3, ind_out.get(), sperm_out.get(), w.get());
}

}  // namespace

bool deme_inputs_from_dict(PyObject* inputs, size_t a, size_t z, KernelInputArrays* arr, DemeInputs* in) {
  if (!PyDict_Check(inputs)) {
    PyErr_SetString(PyExc_TypeError, "inputs must be a dict");
    return false;
  }
  double growth_mode = 0.0;
  if (!dict_array(inputs, "mating_rates", 2 * a, &arr->mating_rates) ||
      !dict_array(inputs, "reproduction_rates", a, &arr->reproduction_rates) ||
      !dict_array(inputs, "fertility", a, &arr->fertility) ||
      !dict_array(inputs, "survival_rates", 2 * a, &arr->survival_rates) ||
      !dict_array(inputs, "competition_weights", a, &arr->competition_weights) ||
      !dict_array(inputs, "viability_fitness", 2 * a * z, &arr->viability_fitness) ||
      !dict_array(inputs, "fecundity_fitness", 2 * z, &arr->fecundity_fitness) ||
      !dict_array(inputs, "sexual_selection_fitness", z * z, &arr->sexual_selection_fitness) ||
      !dict_array(inputs, "zygote_viability_fitness", 2 * z, &arr->zygote_viability_fitness) ||
      !dict_array(inputs, "offspring_tensor", z * z * z, &arr->offspring_tensor) ||
      !dict_array(inputs, "female_ztype_compatibility", z, &arr->female_compat) ||
      !dict_array(inputs, "male_ztype_compatibility", z, &arr->male_compat) ||
      !dict_scalar(inputs, "carrying_capacity", &in->carrying_capacity) ||
      !dict_scalar(inputs, "eggs_per_female", &in->eggs_per_female) ||
      !dict_scalar(inputs, "sex_ratio", &in->sex_ratio) ||
      !dict_scalar(inputs, "sperm_displacement_rate", &in->sperm_displacement_rate) ||
      !dict_scalar(inputs, "low_density_growth_rate", &in->low_density_growth_rate) ||
      !dict_scalar(inputs, "growth_mode", &growth_mode))
    return false;
  in->growth_mode = growth_mode_from_f64(growth_mode);  // saturating, as the ecology store does
  in->mating_rates = arr->mating_rates.data();
  in->reproduction_rates = arr->reproduction_rates.data();
  in->fertility = arr->fertility.data();
  in->survival_rates = arr->survival_rates.data();
  in->competition_weights = arr->competition_weights.data();
  in->viability_fitness = arr->viability_fitness.data();
  in->fecundity_fitness = arr->fecundity_fitness.data();
  in->sexual_selection_fitness = arr->sexual_selection_fitness.data();
  in->zygote_viability_fitness = arr->zygote_viability_fitness.data();
  in->offspring_tensor = arr->offspring_tensor.data();
  in->female_ztype_compatibility = arr->female_compat.data();
  in->male_ztype_compatibility = arr->male_compat.data();
  PyObject* eq_obj = PyDict_GetItemString(inputs, "equilibrium");  // borrowed
  if (eq_obj) {
    if (!PyArg_ParseTuple(eq_obj, "dd", &arr->equilibrium.pair.competition_strength,
                          &arr->equilibrium.pair.survival_rate))
      return false;
    in->equilibrium.emplace(arr->equilibrium);
  }
  return true;
}

bool layout_from_args(size_t a, size_t z, long long new_adult_age, const char* mode_name, bool fixed_egg_count,
                      PyObject* fo_obj, PyObject* mo_obj, KernelInputArrays* arr, LifeLayout* layout) {
  layout->n_ages = a;
  layout->n_ztypes = z;
  layout->new_adult_age = new_adult_age;
  layout->fixed_egg_count = fixed_egg_count;
  const std::string m(mode_name);
  if (m == "deterministic") layout->mode = ExecMode::Deterministic;
  else if (m == "stochastic") layout->mode = ExecMode::Stochastic;
  else if (m == "continuous") layout->mode = ExecMode::Continuous;
  else {
    PyErr_SetString(PyExc_ValueError, "mode must be deterministic, stochastic or continuous");
    return false;
  }
  arr->female_only.assign(z, false);
  arr->male_only.assign(z, false);
  if (fo_obj != Py_None || mo_obj != Py_None) {
    layout->has_sex_chromosomes = true;
    if ((fo_obj != Py_None && !to_bool_vec(fo_obj, &arr->female_only)) ||
        (mo_obj != Py_None && !to_bool_vec(mo_obj, &arr->male_only)))
      return false;
    if (arr->female_only.size() != z || arr->male_only.size() != z) {
      PyErr_SetString(PyExc_ValueError, "sex-chromosome flags need one entry per ztype");
      return false;
    }
  }
  layout->female_only_by_sex_chrom = &arr->female_only;
  layout->male_only_by_sex_chrom = &arr->male_only;
  return true;
}

bool contracts_from_python(PyObject* bp_obj, PyObject* params_obj, Blueprint* bp, EcologyParams* eco,
                           GeneticsTensors* gen) {
  if (!model_from_python(bp_obj, params_obj, bp, eco, gen)) return false;
  Status s = bp->validate();
  if (s) s = eco->validate(bp->n_ages);
  if (s) s = gen->validate(*bp);
  if (s) return true;
  raise(s.error());
  return false;
}

PyMethodDef kKernelMethods[] = {
    {"regulation_scaling", QORIN_GUARDED(regulation_scaling_py), METH_VARARGS,
     "regulation_scaling(mode, n, k, g, base)\n--\n\nDensity factor of a growth mode."},
    {"lifecycle_stage", QORIN_GUARDED(lifecycle_stage),
     METH_VARARGS | METH_KEYWORDS,
     "lifecycle_stage(stage, ind, sperm, n_ages, n_ztypes, new_adult_age, mode, inputs, words, "
     "fixed_egg_count=False, female_only=None, male_only=None)\n--\n\n"
     "Run one lifecycle stage on copies of the given state; returns (ind, sperm, words)."},
    {"run_stages", QORIN_GUARDED(run_stages),
     METH_VARARGS | METH_KEYWORDS,
     "run_stages(blueprint, params, stages, seed=0)\n--\n\n"
     "Run lifecycle stages on a model's initial state; returns (ind, sperm, words)."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace qorin::py::testing
