#include "python/contracts.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "python/convert.hpp"
#include "python/errors.hpp"

namespace qorin::py {

namespace {

// Reads a signed count; the sign is checked once every attribute has been read.
struct RawDim {
  const char* field;
  int64_t value = 0;
  size_t* target;
};

// The sampler named by the blueprint's optional `sampling` attribute: a
// sampler label, or None; an object without the attribute (or with None)
// takes the exact sampler.
bool sampler_from_python(PyObject* obj, Sampler* out) {
  Ref v(PyObject_GetAttrString(obj, "sampling"));
  if (!v) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    *out = Sampler::Exact;
    return true;
  }
  if (v.get() == Py_None) {
    *out = Sampler::Exact;
    return true;
  }
  if (!PyUnicode_Check(v.get())) {
    PyErr_Format(PyExc_TypeError, "Blueprint.sampling must be a str, got %s", Py_TYPE(v.get())->tp_name);
    return false;
  }
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(v.get(), &len);
  if (!text) return false;
  const std::string_view label(text, static_cast<size_t>(len));
  if (const std::optional<Sampler> s = sampler_of_label(label)) {
    *out = *s;
    return true;
  }
  std::string allowed;
  for (const std::string_view known : kSamplerLabels) {
    if (!allowed.empty()) allowed += ", ";
    allowed += "'";
    allowed += known;
    allowed += "'";
  }
  const std::string message =
      "Blueprint.sampling must be one of " + allowed + ", got '" + std::string(label) + "'";
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return false;
}

}  // namespace

bool blueprint_from_python(PyObject* obj, Blueprint* out) {
  Blueprint bp;
  RawDim dims[] = {{"n_sexes", 0, &bp.n_sexes},       {"n_ages", 0, &bp.n_ages},
                   {"n_ztypes", 0, &bp.n_ztypes},     {"n_gtypes", 0, &bp.n_gtypes},
                   {"n_glabs", 0, &bp.n_glabs},       {"new_adult_age", 0, &bp.new_adult_age},
                   {"n_demes", 0, &bp.n_demes}};
  if (!extract_i64_vec(obj, "adult_ages", &bp.adult_ages)) return false;
  for (int k = 0; k < 6; ++k) {
    if (!extract_i64(obj, dims[k].field, &dims[k].value)) return false;
  }
  if (!extract_bool(obj, "stochastic", &bp.stochastic) ||
      !extract_bool(obj, "continuous_sampling", &bp.continuous_sampling) ||
      !extract_bool(obj, "fixed_egg_count", &bp.fixed_egg_count) ||
      !extract_bool(obj, "has_sex_chromosomes", &bp.has_sex_chromosomes) ||
      !extract_bool(obj, "discrete_generation", &bp.discrete_generation) ||
      !extract_i64(obj, "extreme_speed_mode", &bp.extreme_speed_mode) ||
      !extract_string_vec(obj, "ztype_names", &bp.ztype_names) ||
      !extract_string_vec(obj, "gtype_names", &bp.gtype_names) ||
      !extract_bool_vec(obj, "female_only_by_sex_chrom", &bp.female_only_by_sex_chrom) ||
      !extract_bool_vec(obj, "male_only_by_sex_chrom", &bp.male_only_by_sex_chrom) ||
      !extract_f64_vec(obj, "initial_individual_count", &bp.initial_individual_count) ||
      !extract_f64_vec(obj, "initial_sperm_storage", &bp.initial_sperm_storage) ||
      !extract_i64(obj, "n_demes", &dims[6].value) ||
      !extract_i64_vec(obj, "migration_indptr", &bp.migration_indptr) ||
      !extract_i64_vec(obj, "migration_dest_idx", &bp.migration_dest_idx) ||
      !extract_f64_vec(obj, "migration_weights", &bp.migration_weights) ||
      !sampler_from_python(obj, &bp.sampling)) {
    return false;
  }
  // Counts are sizes; a negative one cannot be held as such.
  for (RawDim& d : dims) {
    Status s = blueprint_dimension(d.field, d.value, d.target);
    if (!s) {
      raise(s.error());
      return false;
    }
  }
  *out = std::move(bp);
  return true;
}

bool ecology_from_python(PyObject* params, EcologyParams* out) {
  EcologyParams eco;
  // Every ecology field in table order (the order of the reads): a tensor is
  // read flat, a scalar becomes a one-entry column (float, or int64 for an
  // Integer field).
  bool ok = true;
  eco.for_each_column([&](Field f, auto& col) {
    if (!ok) return;
    const FieldInfo& info = field_info(f);
    const std::string name(info.name);
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(col)>, std::vector<int64_t>>) {
      int64_t v = 0;
      ok = extract_i64(params, name.c_str(), &v);
      col = {v};
    } else if (info.is_tensor()) {
      ok = extract_f64_vec(params, name.c_str(), &col);
    } else {
      double v = 0.0;
      ok = extract_f64(params, name.c_str(), &v);
      col = {v};
    }
  });
  if (!ok) return false;
  CustomSlotMap slots;
  if (!extract_custom_slots(params, &slots)) return false;
  eco.n_demes = 1;
  eco.equilibrium_declared = {static_cast<uint8_t>(eco.equilibrium_distribution.empty() ? 0 : 1)};
  eco.custom_slots.push_back(std::move(slots));
  *out = std::move(eco);
  return true;
}

bool genetics_from_python(PyObject* params, GeneticsTensors* out) {
  GeneticsTensors g;
  auto targets = g.tensors();
  for (size_t i = 0; i < GeneticsTensors::kCount; ++i) {
    const std::string name(GeneticsTensors::kNames[i]);
    if (!extract_f64_vec(params, name.c_str(), targets[i])) return false;
  }
  *out = std::move(g);
  return true;
}

// ---------------------------------------------------------------- custom slots

namespace {

// A float64 array of any layout, copied in row-major logical order.
bool array_slot(PyObject* key, PyObject* v, CustomSlot* out) {
  if (!PyArray_Check(v) || PyArray_TYPE(reinterpret_cast<PyArrayObject*>(v)) != NPY_DOUBLE ||
      !PyArray_ISNOTSWAPPED(reinterpret_cast<PyArrayObject*>(v))) {
    PyErr_Format(PyExc_TypeError,
                 "custom slot %R: expected bool, int, float or a float64 array, got %s", key,
                 Py_TYPE(v)->tp_name);
    return false;
  }
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(v);
  Ref c_order;
  if (!PyArray_IS_C_CONTIGUOUS(a)) {
    c_order = Ref(PyArray_NewCopy(a, NPY_CORDER));
    if (!c_order) return false;
    a = reinterpret_cast<PyArrayObject*>(c_order.get());
  }
  const npy_intp n = PyArray_SIZE(a);
  std::vector<double> values(static_cast<size_t>(n));
  if (n > 0) std::memcpy(values.data(), PyArray_DATA(a), static_cast<size_t>(n) * sizeof(double));
  std::vector<size_t> shape;
  for (int k = 0; k < PyArray_NDIM(a); ++k) shape.push_back(static_cast<size_t>(PyArray_DIM(a, k)));
  *out = CustomSlot::make_array(std::move(values), std::move(shape));
  return true;
}

}  // namespace

bool custom_slots_from_python(PyObject* obj, CustomSlotMap* out) {
  if (!PyDict_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "custom_slots must be a dict, got %s", Py_TYPE(obj)->tp_name);
    return false;
  }
  // Converting a value may run Python code (an array subclass's
  // __array_finalize__) that changes the dict; every key and value is held
  // until the whole map is built.
  Ref pairs(dict_items(obj));
  if (!pairs) return false;
  const Py_ssize_t n = PyList_GET_SIZE(pairs.get());
  std::vector<CustomSlotMap::Entry> entries;
  entries.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(pairs.get(), i);
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "custom slot names must be str, got %s", Py_TYPE(key)->tp_name);
      return false;
    }
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(key, &len);
    if (!s) return false;
    std::string name(s, static_cast<size_t>(len));
    CustomSlot slot;
    if (PyBool_Check(value)) {
      slot = CustomSlot::make_bool(value == Py_True);
    } else if (PyLong_Check(value)) {
      long long x = PyLong_AsLongLong(value);
      if (x == -1 && PyErr_Occurred()) return false;  // OverflowError outside 64 bits
      slot = CustomSlot::make_int(static_cast<int64_t>(x));
    } else if (PyFloat_Check(value)) {
      double x = PyFloat_AsDouble(value);
      if (x == -1.0 && PyErr_Occurred()) return false;
      slot = CustomSlot::make_float(x);
    } else if (!array_slot(key, value, &slot)) {
      return false;
    }
    entries.emplace_back(std::move(name), std::move(slot));
  }
  *out = CustomSlotMap::from_entries(std::move(entries));
  return true;
}

PyObject* custom_slots_to_python(const CustomSlotMap& slots) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, slot] : slots) {
    Ref v;
    switch (slot.kind) {
      case CustomSlot::Kind::Bool: v = Ref(PyBool_FromLong(slot.b)); break;
      case CustomSlot::Kind::Int: v = Ref(PyLong_FromLongLong(slot.i)); break;
      case CustomSlot::Kind::Float: v = Ref(PyFloat_FromDouble(slot.f)); break;
      case CustomSlot::Kind::Array: {
        std::vector<npy_intp> shape;
        size_t n = 1;
        for (size_t d : slot.shape) {
          shape.push_back(static_cast<npy_intp>(d));
          n *= d;
        }
        if (n != slot.values.size()) {
          return raise(Error::runtime("custom slot " + name + " holds " +
                                      std::to_string(slot.values.size()) +
                                      " values for its shape of " + std::to_string(n)));
        }
        v = Ref(new_f64_array(slot.values.data(), shape));
        break;
      }
    }
    if (!v) return nullptr;
    // The whole name, embedded NUL characters included.
    Ref key(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!key || PyDict_SetItem(dict.get(), key.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

bool extract_custom_slots(PyObject* params, CustomSlotMap* out) {
  Ref v(PyObject_GetAttrString(params, "custom_slots"));
  if (!v) return false;
  return custom_slots_from_python(v.get(), out);
}

// ---------------------------------------------------------------- ecology dict

PyObject* ecology_snapshot(const EcologyParams& eco) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  for (std::string_view name : EcologyParams::kScalarNames) {
    Result<double> v = eco.get_scalar(name);
    if (!v) return raise(v.error());
    Ref f(PyFloat_FromDouble(*v));
    if (!f || PyDict_SetItemString(dict.get(), std::string(name).c_str(), f.get()) < 0) return nullptr;
  }
  for (std::string_view name : EcologyParams::kTensorNames) {
    const std::vector<double>& col = *eco.tensor_column(name);
    Ref a(new_f64_array(col.data(), col.size()));
    if (!a || PyDict_SetItemString(dict.get(), std::string(name).c_str(), a.get()) < 0) return nullptr;
  }
  if (eco.custom_slots.empty()) return raise(Error::value("params column is empty (n_demes == 0)"));
  Ref slots(custom_slots_to_python(eco.custom_slots[0]));
  if (!slots || PyDict_SetItemString(dict.get(), "custom_slots", slots.get()) < 0) return nullptr;
  return dict.release();
}

bool restore_ecology(EcologyParams* eco, size_t n_ages, PyObject* dict) {
  if (!PyDict_Check(dict)) {
    PyErr_Format(PyExc_TypeError, "argument 'ecology': expected a dict, got %s", Py_TYPE(dict)->tp_name);
    return false;
  }
  EcologyParams copy = *eco;
  for (std::string_view name : EcologyParams::kScalarNames) {
    const std::string key(name);
    Ref k(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
    if (!k) return false;
    Ref item(PyObject_GetItem(dict, k.get()));  // a missing key raises KeyError
    if (!item) return false;
    double v = PyFloat_AsDouble(item.get());
    if (v == -1.0 && PyErr_Occurred()) return false;
    Status s = copy.apply({{key, v}});
    if (!s) {
      raise(s.error());
      return false;
    }
  }
  for (std::string_view name : EcologyParams::kTensorNames) {
    const std::string key(name);
    Ref k(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
    if (!k) return false;
    Ref item(PyObject_GetItem(dict, k.get()));
    if (!item) return false;
    std::vector<double> values;
    if (!to_f64_vec(item.get(), &values)) return false;
    Status s = copy.tensor_write(n_ages, name, values);
    if (!s) {
      raise(s.error());
      return false;
    }
  }
  Ref k(PyUnicode_FromString("custom_slots"));
  if (!k) return false;
  Ref item(PyObject_GetItem(dict, k.get()));
  if (!item) return false;
  CustomSlotMap slots;
  if (!custom_slots_from_python(item.get(), &slots)) return false;
  if (copy.custom_slots.empty()) {
    raise(Error::value("params column is empty (n_demes == 0)"));
    return false;
  }
  copy.custom_slots[0] = std::move(slots);
  *eco = std::move(copy);
  return true;
}

PyObject* genetics_to_python(const GeneticsTensors& g) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  auto all = g.tensors();
  for (size_t i = 0; i < GeneticsTensors::kCount; ++i) {
    Ref a(new_f64_array(all[i]->data(), all[i]->size()));
    if (!a || PyDict_SetItemString(dict.get(), std::string(GeneticsTensors::kNames[i]).c_str(),
                                   a.get()) < 0)
      return nullptr;
  }
  return dict.release();
}

// ---------------------------------------------------------------- field source

Status PyFieldSource::read_f64(const std::string& name, double* out) {
  if (!extract_f64(obj_, name.c_str(), out)) return Error::callback_pending();
  return Status::ok();
}

Status PyFieldSource::read_f64_vec(const std::string& name, std::vector<double>* out) {
  if (!extract_f64_vec(obj_, name.c_str(), out)) return Error::callback_pending();
  return Status::ok();
}

Status PyFieldSource::read_custom_slots(CustomSlotMap* out) {
  if (!extract_custom_slots(obj_, out)) return Error::callback_pending();
  return Status::ok();
}

bool model_from_python(PyObject* blueprint, PyObject* params, Blueprint* bp, EcologyParams* eco,
                       GeneticsTensors* gen) {
  return blueprint_from_python(blueprint, bp) && ecology_from_python(params, eco) &&
         genetics_from_python(params, gen);
}

}  // namespace qorin::py
