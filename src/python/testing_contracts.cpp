// Test hooks for the model contracts: a Contracts object owning a Blueprint,
// an EcologyParams and a GeneticsTensors built from (blueprint, params), with
// every contract operation exposed as a method, and the custom-slot round trip.
#include <bit>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/kernels/equilibrium.hpp"
#include "core/model/blueprint.hpp"
#include "core/model/ecology.hpp"
#include "core/model/codes.hpp"
#include "core/model/fields.hpp"
#include "core/model/genetics.hpp"
#include "python/contracts.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/testing.hpp"
#include "python/guard.hpp"

namespace qorin::py::testing {

namespace {

struct ContractsObject {
  PyObject_HEAD
  Blueprint* bp;
  EcologyParams* eco;
  GeneticsTensors* gen;
};

PyTypeObject* contracts_type();

ContractsObject* as_contracts(PyObject* self) { return reinterpret_cast<ContractsObject*>(self); }

PyObject* new_contracts(Blueprint bp, EcologyParams eco, GeneticsTensors gen) {
  PyTypeObject* type = contracts_type();
  if (!type) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  ContractsObject* c = as_contracts(self);
  c->bp = new Blueprint(std::move(bp));
  c->eco = new EcologyParams(std::move(eco));
  c->gen = new GeneticsTensors(std::move(gen));
  return self;
}

void contracts_dealloc(PyObject* self) {
  ContractsObject* c = as_contracts(self);
  delete c->bp;
  delete c->eco;
  delete c->gen;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* ok_none(const Status& s) {
  if (!s) return raise(s.error());
  Py_RETURN_NONE;
}

bool str_arg(PyObject* v, std::string* out) {
  if (!PyUnicode_Check(v)) {
    PyErr_Format(PyExc_TypeError, "expected str, got %s", Py_TYPE(v)->tp_name);
    return false;
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(v, &n);
  if (!s) return false;
  *out = std::string(s, static_cast<size_t>(n));
  return true;
}

PyObject* f64_list(const std::vector<double>& v) { return new_f64_array(v.data(), v.size()); }

// ---- construction ----

// contracts(blueprint, params): reads and validates the three contracts.
PyObject* contracts_build(PyObject*, PyObject* args) {
  PyObject *bp_obj, *params_obj;
  if (!PyArg_ParseTuple(args, "OO:contracts", &bp_obj, &params_obj)) return nullptr;
  Blueprint bp;
  EcologyParams eco;
  GeneticsTensors gen;
  if (!blueprint_from_python(bp_obj, &bp)) return nullptr;
  if (!ecology_from_python(params_obj, &eco)) return nullptr;
  if (!genetics_from_python(params_obj, &gen)) return nullptr;
  if (Status s = bp.validate(); !s) return raise(s.error());
  if (Status s = eco.validate(bp.n_ages); !s) return raise(s.error());
  if (Status s = gen.validate(bp); !s) return raise(s.error());
  return new_contracts(std::move(bp), std::move(eco), std::move(gen));
}

// validate_blueprint(blueprint): the blueprint's own checks only.
PyObject* validate_blueprint(PyObject*, PyObject* obj) {
  Blueprint bp;
  if (!blueprint_from_python(obj, &bp)) return nullptr;
  return ok_none(bp.validate());
}

PyObject* read_blueprint(PyObject*, PyObject* obj) {
  Blueprint bp;
  if (!blueprint_from_python(obj, &bp)) return nullptr;
  Ref names(PyList_New(0)), gnames(PyList_New(0));
  if (!names || !gnames) return nullptr;
  for (const auto& s : bp.ztype_names) {
    Ref u(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
    if (!u || PyList_Append(names.get(), u.get()) < 0) return nullptr;
  }
  for (const auto& s : bp.gtype_names) {
    Ref u(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
    if (!u || PyList_Append(gnames.get(), u.get()) < 0) return nullptr;
  }
  Ref fem(PyList_New(0)), mal(PyList_New(0));
  if (!fem || !mal) return nullptr;
  for (bool b : bp.female_only_by_sex_chrom) PyList_Append(fem.get(), b ? Py_True : Py_False);
  for (bool b : bp.male_only_by_sex_chrom) PyList_Append(mal.get(), b ? Py_True : Py_False);
  const std::string_view sampling = kSamplerLabels[static_cast<size_t>(code_of(bp.sampling))];
  return Py_BuildValue(
      "{s:N,s:n,s:n,s:n,s:n,s:n,s:n,s:O,s:O,s:O,s:O,s:O,s:L,s:O,s:O,s:O,s:O,s:N,s:N,s:n,s:N,s:N,s:N,s:s#}",
      "adult_ages", new_i64_array(bp.adult_ages.data(), bp.adult_ages.size()),
      "n_sexes", static_cast<Py_ssize_t>(bp.n_sexes), "n_ages", static_cast<Py_ssize_t>(bp.n_ages),
      "n_ztypes", static_cast<Py_ssize_t>(bp.n_ztypes), "n_gtypes", static_cast<Py_ssize_t>(bp.n_gtypes),
      "n_glabs", static_cast<Py_ssize_t>(bp.n_glabs),
      "new_adult_age", static_cast<Py_ssize_t>(bp.new_adult_age),
      "stochastic", bp.stochastic ? Py_True : Py_False,
      "continuous_sampling", bp.continuous_sampling ? Py_True : Py_False,
      "fixed_egg_count", bp.fixed_egg_count ? Py_True : Py_False,
      "has_sex_chromosomes", bp.has_sex_chromosomes ? Py_True : Py_False,
      "discrete_generation", bp.discrete_generation ? Py_True : Py_False,
      "extreme_speed_mode", static_cast<long long>(bp.extreme_speed_mode),
      "ztype_names", names.get(), "gtype_names", gnames.get(),
      "female_only_by_sex_chrom", fem.get(), "male_only_by_sex_chrom", mal.get(),
      "initial_individual_count", f64_list(bp.initial_individual_count),
      "initial_sperm_storage", f64_list(bp.initial_sperm_storage),
      "n_demes", static_cast<Py_ssize_t>(bp.n_demes),
      "migration_indptr", new_i64_array(bp.migration_indptr.data(), bp.migration_indptr.size()),
      "migration_dest_idx", new_i64_array(bp.migration_dest_idx.data(), bp.migration_dest_idx.size()),
      "migration_weights", f64_list(bp.migration_weights),
      "sampling", sampling.data(), static_cast<Py_ssize_t>(sampling.size()));
}

PyObject* custom_slots_roundtrip(PyObject*, PyObject* obj) {
  CustomSlotMap slots;
  if (!custom_slots_from_python(obj, &slots)) return nullptr;
  return custom_slots_to_python(slots);
}

// ---- methods ----

// Every column of every deme, for before/after comparisons.
PyObject* m_columns(PyObject* self, PyObject*) {
  const EcologyParams& e = *as_contracts(self)->eco;
  Ref d(PyDict_New());
  if (!d) return nullptr;
  for (Field f : kEcologyScalarFields) {
    const std::vector<double>* col = e.real_column(f);
    Ref v = col ? Ref(f64_list(*col)) : Ref(new_i64_array(e.growth_mode.data(), e.growth_mode.size()));
    if (!v || PyDict_SetItemString(d.get(), std::string(field_info(f).name).c_str(), v.get()) < 0)
      return nullptr;
  }
  for (std::string_view name : EcologyParams::kTensorNames) {
    Ref v(f64_list(*e.tensor_column(name)));
    if (!v || PyDict_SetItemString(d.get(), std::string(name).c_str(), v.get()) < 0) return nullptr;
  }
  Ref flags(PyList_New(0)), slots(PyList_New(0));
  if (!flags || !slots) return nullptr;
  for (uint8_t f : e.equilibrium_declared) PyList_Append(flags.get(), f ? Py_True : Py_False);
  for (const CustomSlotMap& m : e.custom_slots) {
    Ref s(custom_slots_to_python(m));
    if (!s || PyList_Append(slots.get(), s.get()) < 0) return nullptr;
  }
  Ref gen(genetics_to_python(*as_contracts(self)->gen));
  Ref nd(PyLong_FromSize_t(e.n_demes));
  if (!gen || !nd) return nullptr;
  if (PyDict_SetItemString(d.get(), "equilibrium_declared", flags.get()) < 0 ||
      PyDict_SetItemString(d.get(), "custom_slots", slots.get()) < 0 ||
      PyDict_SetItemString(d.get(), "genetics", gen.get()) < 0 ||
      PyDict_SetItemString(d.get(), "n_demes", nd.get()) < 0)
    return nullptr;
  return d.release();
}

PyObject* m_validate(PyObject* self, PyObject*) {
  ContractsObject* c = as_contracts(self);
  if (Status s = c->eco->validate(c->bp->n_ages); !s) return raise(s.error());
  return ok_none(c->gen->validate(*c->bp));
}

PyObject* m_ecology_snapshot(PyObject* self, PyObject*) { return ecology_snapshot(*as_contracts(self)->eco); }

PyObject* m_restore_ecology(PyObject* self, PyObject* dict) {
  ContractsObject* c = as_contracts(self);
  if (!restore_ecology(c->eco, c->bp->n_ages, dict)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* m_get_scalar(PyObject* self, PyObject* arg) {
  std::string name;
  if (!str_arg(arg, &name)) return nullptr;
  Result<double> v = as_contracts(self)->eco->get_scalar(name);
  if (!v) return raise(v.error());
  return PyFloat_FromDouble(*v);
}

PyObject* m_get_tensor(PyObject* self, PyObject* arg) {
  std::string name;
  if (!str_arg(arg, &name)) return nullptr;
  Result<std::vector<double>> v = as_contracts(self)->eco->get_tensor(name);
  if (!v) return raise(v.error());
  return f64_list(*v);
}

PyObject* m_session_get_tensor(PyObject* self, PyObject* arg) {
  std::string name;
  if (!str_arg(arg, &name)) return nullptr;
  ContractsObject* c = as_contracts(self);
  Result<std::vector<double>> v = c->eco->session_get_tensor(*c->gen, name);
  if (!v) return raise(v.error());
  return f64_list(*v);
}

PyObject* m_eco_value(PyObject* self, PyObject* args) {
  Py_ssize_t id, deme;
  if (!PyArg_ParseTuple(args, "nn:eco_value", &id, &deme)) return nullptr;
  if (id < 0 || deme < 0) return raise(Error::value("negative index"));
  return PyFloat_FromDouble(as_contracts(self)->eco->eco_value(static_cast<size_t>(id), static_cast<size_t>(deme)));
}

PyObject* m_set_eco_value(PyObject* self, PyObject* args) {
  Py_ssize_t id, deme;
  double value;
  if (!PyArg_ParseTuple(args, "nnd:set_eco_value", &id, &deme, &value)) return nullptr;
  if (id < 0 || deme < 0) return raise(Error::value("negative index"));
  as_contracts(self)->eco->set_eco_value(static_cast<size_t>(id), static_cast<size_t>(deme), value);
  Py_RETURN_NONE;
}

PyObject* m_per_deme_len(PyObject* self, PyObject* arg) {
  std::string name;
  if (!str_arg(arg, &name)) return nullptr;
  Result<size_t> n = EcologyParams::per_deme_len(as_contracts(self)->bp->n_ages, name);
  if (!n) return raise(n.error());
  return PyLong_FromSize_t(*n);
}

// scalar_ref(name, deme): resolves the entry and returns (kind, current value).
PyObject* m_scalar_ref(PyObject* self, PyObject* args) {
  const char* name;
  Py_ssize_t deme;
  if (!PyArg_ParseTuple(args, "sn:scalar_ref", &name, &deme)) return nullptr;
  if (deme < 0) return raise(Error::value("negative index"));
  Result<ScalarRef> r = as_contracts(self)->eco->scalar_ref(name, static_cast<size_t>(deme));
  if (!r) return raise(r.error());
  return Py_BuildValue("(sd)", r->kind == ScalarRef::Kind::Int ? "int" : "float", r->get());
}

// apply(writes): a dict name -> number, entries in dict order.
PyObject* m_apply(PyObject* self, PyObject* dict) {
  if (!PyDict_Check(dict)) {
    PyErr_SetString(PyExc_TypeError, "apply expects a dict");
    return nullptr;
  }
  std::vector<std::pair<std::string, double>> writes;
  Ref pairs(dict_items(dict));
  if (!pairs) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
    PyObject* k = PyTuple_GET_ITEM(PyList_GET_ITEM(pairs.get(), i), 0);
    PyObject* v = PyTuple_GET_ITEM(PyList_GET_ITEM(pairs.get(), i), 1);
    std::string name;
    double x;
    if (!str_arg(k, &name) || !to_f64(v, &x)) return nullptr;
    writes.emplace_back(std::move(name), x);
  }
  return ok_none(as_contracts(self)->eco->apply(writes));
}

PyObject* m_tensor_write(PyObject* self, PyObject* args) {
  const char* name;
  PyObject* arr;
  if (!PyArg_ParseTuple(args, "sO:tensor_write", &name, &arr)) return nullptr;
  std::vector<double> values;
  if (!to_f64_vec(arr, &values)) return nullptr;
  ContractsObject* c = as_contracts(self);
  return ok_none(c->eco->tensor_write(c->bp->n_ages, name, values));
}

PyObject* m_genetics_tensor_write(PyObject* self, PyObject* args) {
  const char* name;
  PyObject* arr;
  if (!PyArg_ParseTuple(args, "sO:genetics_tensor_write", &name, &arr)) return nullptr;
  std::vector<double> values;
  if (!to_f64_vec(arr, &values)) return nullptr;
  ContractsObject* c = as_contracts(self);
  return ok_none(c->gen->tensor_write(*c->bp, name, values));
}

PyObject* m_genetics_expected_len(PyObject* self, PyObject* arg) {
  std::string name;
  if (!str_arg(arg, &name)) return nullptr;
  Result<size_t> n = GeneticsTensors::expected_len(*as_contracts(self)->bp, name);
  if (!n) return raise(n.error());
  return PyLong_FromSize_t(*n);
}

// pull_fields(deme, fields, source, with_genetics=True)
PyObject* m_pull_fields(PyObject* self, PyObject* args) {
  Py_ssize_t deme;
  PyObject *fields_obj, *source;
  int with_genetics = 1;
  if (!PyArg_ParseTuple(args, "nOO|p:pull_fields", &deme, &fields_obj, &source, &with_genetics))
    return nullptr;
  if (deme < 0) return raise(Error::value("negative index"));
  std::vector<std::string> fields;
  if (!to_string_vec(fields_obj, &fields)) return nullptr;
  ContractsObject* c = as_contracts(self);
  PyFieldSource src(source);
  return ok_none(c->eco->pull_fields(*c->bp, static_cast<size_t>(deme), fields, src,
                                     with_genetics ? c->gen : nullptr));
}

PyObject* m_get_custom_slots(PyObject* self, PyObject*) {
  const EcologyParams& e = *as_contracts(self)->eco;
  if (e.custom_slots.empty()) return raise(Error::value("params column is empty (n_demes == 0)"));
  return custom_slots_to_python(e.custom_slots[0]);
}

PyObject* m_set_custom_slots(PyObject* self, PyObject* values) {
  CustomSlotMap slots;
  if (!custom_slots_from_python(values, &slots)) return nullptr;
  EcologyParams& e = *as_contracts(self)->eco;
  if (e.custom_slots.empty()) return raise(Error::value("params column is empty (n_demes == 0)"));
  e.custom_slots[0] = std::move(slots);
  Py_RETURN_NONE;
}

// snapshot_words() -> (list of 7 ints, list of 7 arrays)
PyObject* m_snapshot_words(PyObject* self, PyObject*) {
  Result<EcologyParams::SnapshotWords> w = as_contracts(self)->eco->ecology_snapshot_words();
  if (!w) return raise(w.error());
  Ref words(PyList_New(0)), tensors(PyList_New(0));
  if (!words || !tensors) return nullptr;
  for (uint64_t x : w->words) {
    Ref i(PyLong_FromUnsignedLongLong(x));
    if (!i || PyList_Append(words.get(), i.get()) < 0) return nullptr;
  }
  for (const auto& t : w->tensors) {
    Ref a(f64_list(t));
    if (!a || PyList_Append(tensors.get(), a.get()) < 0) return nullptr;
  }
  return Py_BuildValue("(OO)", words.get(), tensors.get());
}

PyObject* m_restore_words(PyObject* self, PyObject* args) {
  PyObject *words_obj, *tensors_obj;
  if (!PyArg_ParseTuple(args, "OO:restore_words", &words_obj, &tensors_obj)) return nullptr;
  Ref ws(sequence_items(words_obj, "words must be a sequence"));
  Ref ts = ws ? sequence_items(tensors_obj, "tensors must be a sequence") : Ref();
  if (!ws || !ts) return nullptr;
  std::vector<uint64_t> words;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(ws.get()); ++i) {
    uint64_t x;
    if (!to_u64(PyTuple_GET_ITEM(ws.get(), i), &x)) return nullptr;
    words.push_back(x);
  }
  std::vector<std::vector<double>> tensors;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(ts.get()); ++i) {
    std::vector<double> t;
    if (!to_f64_vec(PyTuple_GET_ITEM(ts.get(), i), &t)) return nullptr;
    tensors.push_back(std::move(t));
  }
  ContractsObject* c = as_contracts(self);
  return ok_none(c->eco->ecology_restore_words(c->bp->n_ages, words, tensors));
}

// tile(n): a new Contracts whose ecology repeats deme 0 n times (columns
// assembled block by block, as the spatial session assembles them).
PyObject* m_tile(PyObject* self, PyObject* arg) {
  Py_ssize_t n = PyLong_AsSsize_t(arg);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  if (n < 1) return raise(Error::value("tile needs at least one deme"));
  ContractsObject* c = as_contracts(self);
  Result<EcologyParams> one = c->eco->single_deme(c->bp->n_ages, 0);
  if (!one) return raise(one.error());
  EcologyParams out;
  out.n_demes = static_cast<size_t>(n);
  for (Py_ssize_t d = 0; d < n; ++d) {
    auto append = [](std::vector<double>& col, const std::vector<double>& block) {
      std::vector<double> b = EcologyParams::tile_vec(block);
      col.insert(col.end(), b.begin(), b.end());
    };
    EcologyParams::visit_columns(
        [](Field f, auto& col, const auto& block) {
          if (!field_info(f).is_tensor()) col.push_back(block[0]);
        },
        out, *one);
    for (std::string_view name : EcologyParams::kTensorNames) append(*out.tensor_column(name), *one->tensor_column(name));
    out.equilibrium_declared.push_back(one->equilibrium_declared[0]);
    out.custom_slots.push_back(one->custom_slots[0]);
  }
  for (std::string_view name : EcologyParams::kTensorNames) {
    const size_t ext = *EcologyParams::per_deme_len(c->bp->n_ages, name);
    const std::vector<double>& col = *out.tensor_column(name);
    if (col.empty()) continue;
    if (Status s = EcologyParams::expect_column_len(name, col.size(), ext * out.n_demes); !s)
      return raise(s.error());
  }
  Blueprint bp = *c->bp;
  bp.n_demes = out.n_demes;
  return new_contracts(std::move(bp), std::move(out), *c->gen);
}

PyObject* m_single_deme(PyObject* self, PyObject* arg) {
  Py_ssize_t d = PyLong_AsSsize_t(arg);
  if (d == -1 && PyErr_Occurred()) return nullptr;
  if (d < 0) return raise(Error::value("negative index"));
  ContractsObject* c = as_contracts(self);
  Result<EcologyParams> one = c->eco->single_deme(c->bp->n_ages, static_cast<size_t>(d));
  if (!one) return raise(one.error());
  Blueprint bp = *c->bp;
  bp.n_demes = 1;
  return new_contracts(std::move(bp), std::move(*one), *c->gen);
}

PyObject* m_replace_deme(PyObject* self, PyObject* args) {
  Py_ssize_t d;
  PyObject* other;
  if (!PyArg_ParseTuple(args, "nO!:replace_deme", &d, contracts_type(), &other)) return nullptr;
  if (d < 0) return raise(Error::value("negative index"));
  ContractsObject* c = as_contracts(self);
  return ok_none(c->eco->replace_deme(c->bp->n_ages, static_cast<size_t>(d), *as_contracts(other)->eco));
}

// raw_set(name, value): unchecked column surgery to build invalid states for
// the validate() tests. Scalars/tensors take float64 arrays; growth_mode an
// int64 array; equilibrium_declared a list of bools; custom_slots a list of
// dicts; n_demes an int.
PyObject* m_raw_set(PyObject* self, PyObject* args) {
  const char* cname;
  PyObject* value;
  if (!PyArg_ParseTuple(args, "sO:raw_set", &cname, &value)) return nullptr;
  std::string name(cname);
  EcologyParams& e = *as_contracts(self)->eco;
  if (name == "n_demes") {
    uint64_t n;
    if (!to_u64(value, &n)) return nullptr;
    e.n_demes = static_cast<size_t>(n);
    Py_RETURN_NONE;
  }
  if (name == "growth_mode") {
    if (!to_i64_vec(value, &e.growth_mode)) return nullptr;
    Py_RETURN_NONE;
  }
  if (name == "equilibrium_declared") {
    std::vector<bool> flags;
    if (!to_bool_vec(value, &flags)) return nullptr;
    e.equilibrium_declared.assign(flags.begin(), flags.end());
    Py_RETURN_NONE;
  }
  if (name == "custom_slots") {
    Ref seq(sequence_items(value, "custom_slots must be a sequence of dicts"));
    if (!seq) return nullptr;
    std::vector<CustomSlotMap> maps;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.get()); ++i) {
      CustomSlotMap m;
      if (!custom_slots_from_python(PyTuple_GET_ITEM(seq.get(), i), &m)) return nullptr;
      maps.push_back(std::move(m));
    }
    e.custom_slots = std::move(maps);
    Py_RETURN_NONE;
  }
  const std::optional<Field> field = find_field(name);
  std::vector<double>* col = field && field_info(*field).group != FieldGroup::Genetics ? e.real_column(*field) : nullptr;
  if (!col) return raise(Error::key("unknown column " + name));
  if (!to_f64_vec(value, col)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* m_equilibrium(PyObject* self, PyObject* arg) {
  Py_ssize_t d = PyLong_AsSsize_t(arg);
  if (d == -1 && PyErr_Occurred()) return nullptr;
  if (d < 0) return raise(Error::value("negative index"));
  ContractsObject* c = as_contracts(self);
  EquilibriumMetrics m = equilibrium_metrics(*c->bp, *c->eco, static_cast<size_t>(d));
  return Py_BuildValue("(dd)", m.expected_competition_strength, m.expected_survival_rate);
}

PyObject* m_genetics_equal(PyObject* self, PyObject* other) {
  if (!PyObject_TypeCheck(other, contracts_type())) {
    PyErr_SetString(PyExc_TypeError, "expected a Contracts object");
    return nullptr;
  }
  return PyBool_FromLong(*as_contracts(self)->gen == *as_contracts(other)->gen);
}

PyObject* m_ecology_same(PyObject* self, PyObject* other) {
  if (!PyObject_TypeCheck(other, contracts_type())) {
    PyErr_SetString(PyExc_TypeError, "expected a Contracts object");
    return nullptr;
  }
  return PyBool_FromLong(as_contracts(self)->eco->same_as(*as_contracts(other)->eco));
}

PyObject* m_copy(PyObject* self, PyObject*) {
  ContractsObject* c = as_contracts(self);
  return new_contracts(*c->bp, *c->eco, *c->gen);
}

#define M(name, fn, flags) {name, QORIN_GUARDED(fn), flags, nullptr}
PyMethodDef kContractsObjectMethods[] = {
    M("columns", m_columns, METH_NOARGS),
    M("validate", m_validate, METH_NOARGS),
    M("ecology_snapshot", m_ecology_snapshot, METH_NOARGS),
    M("restore_ecology", m_restore_ecology, METH_O),
    M("get_scalar", m_get_scalar, METH_O),
    M("get_tensor", m_get_tensor, METH_O),
    M("session_get_tensor", m_session_get_tensor, METH_O),
    M("eco_value", m_eco_value, METH_VARARGS),
    M("set_eco_value", m_set_eco_value, METH_VARARGS),
    M("per_deme_len", m_per_deme_len, METH_O),
    M("scalar_ref", m_scalar_ref, METH_VARARGS),
    M("apply", m_apply, METH_O),
    M("tensor_write", m_tensor_write, METH_VARARGS),
    M("genetics_tensor_write", m_genetics_tensor_write, METH_VARARGS),
    M("genetics_expected_len", m_genetics_expected_len, METH_O),
    M("pull_fields", m_pull_fields, METH_VARARGS),
    M("get_custom_slots", m_get_custom_slots, METH_NOARGS),
    M("set_custom_slots", m_set_custom_slots, METH_O),
    M("snapshot_words", m_snapshot_words, METH_NOARGS),
    M("restore_words", m_restore_words, METH_VARARGS),
    M("tile", m_tile, METH_O),
    M("single_deme", m_single_deme, METH_O),
    M("replace_deme", m_replace_deme, METH_VARARGS),
    M("raw_set", m_raw_set, METH_VARARGS),
    M("equilibrium", m_equilibrium, METH_O),
    M("genetics_equal", m_genetics_equal, METH_O),
    M("ecology_same", m_ecology_same, METH_O),
    M("copy", m_copy, METH_NOARGS),
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot kContractsSlots[] = {
    {Py_tp_doc, const_cast<char*>("Model contracts built from (blueprint, params), for tests.")},
    {Py_tp_methods, kContractsObjectMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(contracts_dealloc)},
    {0, nullptr}};

PyType_Spec kContractsSpec = {"qorin._engine_testing.Contracts", sizeof(ContractsObject), 0,
                              Py_TPFLAGS_DEFAULT, kContractsSlots};

PyTypeObject* contracts_type() {
  static PyObject* type = nullptr;  // created once, on first use
  if (!type) type = PyType_FromSpec(&kContractsSpec);
  return reinterpret_cast<PyTypeObject*>(type);
}

// field_table(n_ages, n_ztypes, n_gtypes): the field table as compiled, one
// tuple (name, group, param_id, kind, extent, lower, upper, absent, optional,
// per_deme) per field in table order; extent is one block's length for the
// given dimensions.
PyObject* compiled_field_table(PyObject*, PyObject* args) {
  Py_ssize_t a = 0, z = 0, g = 0;
  if (!PyArg_ParseTuple(args, "nnn:field_table", &a, &z, &g)) return nullptr;
  if (a < 0 || z < 0 || g < 0) return raise(Error::value("negative dimension"));
  static constexpr const char* kGroups[] = {"EcologyScalar", "EcologyTensor", "Genetics"};
  static constexpr const char* kKinds[] = {"Real", "Integer"};
  const FieldDims dims{static_cast<size_t>(a), static_cast<size_t>(z), static_cast<size_t>(g)};
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (const FieldInfo& f : field_table::kFields) {
    Ref row(Py_BuildValue("(s#sisKdddNN)", f.name.data(), static_cast<Py_ssize_t>(f.name.size()),
                          kGroups[static_cast<size_t>(f.group)], f.param_id, kKinds[static_cast<size_t>(f.kind)],
                          static_cast<unsigned long long>(f.shape.extent(dims)), f.lower, f.upper, f.absent,
                          PyBool_FromLong(f.optional()), PyBool_FromLong(f.per_deme())));
    if (!row || PyList_Append(list.get(), row.get()) < 0) return nullptr;
  }
  return list.release();
}

// code_table(): the codes as compiled, one tuple (family, name, value, label)
// per entry; the value is read back from the C++ enumerator.
PyObject* compiled_code_table(PyObject*, PyObject*) {
  struct Code {
    const char* family;
    const char* name;
    int64_t value;
    const char* label;
  };
  static const Code kCodes[] = {
#define QORIN_CODE(family, name, value, label) {#family, #name, code_of(family::name), label},
#include "qorin/_codes.def"
#undef QORIN_CODE
  };
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (const Code& c : kCodes) {
    Ref row(Py_BuildValue("(ssLs)", c.family, c.name, static_cast<long long>(c.value), c.label));
    if (!row || PyList_Append(list.get(), row.get()) < 0) return nullptr;
  }
  return list.release();
}

}  // namespace

PyMethodDef kContractsMethods[] = {
    {"field_table", QORIN_GUARDED(compiled_field_table), METH_VARARGS,
     "field_table(n_ages, n_ztypes, n_gtypes)\n--\n\nThe compiled field table with block extents for the dimensions."},
    {"code_table", QORIN_GUARDED(compiled_code_table), METH_NOARGS,
     "code_table()\n--\n\nThe compiled hook and stage codes."},
    {"contracts", QORIN_GUARDED(contracts_build), METH_VARARGS,
     "contracts(blueprint, params)\n--\n\nBuild and validate Blueprint, EcologyParams and GeneticsTensors."},
    {"validate_blueprint", QORIN_GUARDED(validate_blueprint), METH_O,
     "validate_blueprint(blueprint)\n--\n\nRead and validate a blueprint object."},
    {"read_blueprint", QORIN_GUARDED(read_blueprint), METH_O,
     "read_blueprint(blueprint)\n--\n\nRead a blueprint object (no checks) into a dict."},
    {"custom_slots_roundtrip", QORIN_GUARDED(custom_slots_roundtrip), METH_O,
     "custom_slots_roundtrip(values)\n--\n\nConvert a dict to custom slots and back."},
    {nullptr, nullptr, 0, nullptr}};
#undef M

}  // namespace qorin::py::testing
