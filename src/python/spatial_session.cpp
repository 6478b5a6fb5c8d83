#include "python/spatial_session.hpp"

#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/output/observation.hpp"
#include "core/sessions/spatial.hpp"
#include "core/util/format.hpp"
#include "python/callback_host.hpp"
#include "python/class_support.hpp"
#include "python/contracts.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/guard.hpp"
#include "python/parameter_log.hpp"
#include "python/session_binding.hpp"

namespace qorin::py {

namespace {

SpatialSession& core_of(PyObject* self) { return static_cast<SpatialSession&>(session_core(self)); }

// ---- construction readers ----

bool dict_type_error(PyObject* v, const char* argname) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'PyDict'", argname,
               Py_TYPE(v)->tp_name);
  return false;
}

bool key_to_string(PyObject* key, std::string* out) {
  Ref text(PyObject_Str(key));
  if (!text) return false;
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
  if (!utf8) return false;
  out->assign(utf8, static_cast<size_t>(len));
  return true;
}

bool read_columns(PyObject* obj, EcologyParams* eco) {
  if (!PyDict_Check(obj)) return dict_type_error(obj, "ecology_columns");
  Ref items(dict_items(obj));
  if (!items) return false;
  std::set<std::string> seen;
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    std::string name;
    if (!key_to_string(PyTuple_GET_ITEM(pair, 0), &name)) return false;
    if (!seen.insert(name).second) {
      raise(Error::value("duplicate ecology column " + quote_name(name)));
      return false;
    }
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    Status s;
    if (is_int_spatial_column(name)) {
      std::vector<int64_t> values;
      if (!to_i64_vec(value, &values)) return false;
      s = set_int_spatial_column(*eco, name, values);
    } else {
      std::vector<double> values;
      if (!to_f64_vec(value, &values)) return false;
      s = set_f64_spatial_column(*eco, name, std::move(values));
    }
    if (!s) {
      raise(s.error());
      return false;
    }
  }
  return true;
}

bool read_bank(PyObject* obj, const Blueprint& bp, std::vector<GeneticsTensors>* bank) {
  Ref entries(sequence_items(obj));
  if (!entries) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(entries.get());
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* entry = PyTuple_GET_ITEM(entries.get(), k);
    if (!PyDict_Check(entry)) return dict_type_error(entry, "tensor_bank");
    Ref items(dict_items(entry));
    if (!items) return false;
    GeneticsTensors gen;
    const Py_ssize_t m = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < m; ++i) {
      PyObject* pair = PyList_GET_ITEM(items.get(), i);
      std::string name;
      if (!key_to_string(PyTuple_GET_ITEM(pair, 0), &name)) return false;
      std::vector<double> values;
      if (!to_f64_vec(PyTuple_GET_ITEM(pair, 1), &values)) return false;
      Result<std::vector<double>*> slot = gen.tensor_mut(name);
      if (!slot) {
        raise(Error::key("unknown genetics tensor " + quote_name(name)));
        return false;
      }
      **slot = std::move(values);
    }
    if (Status s = validate_variant(bp, gen); !s) {
      raise(s.error());
      return false;
    }
    bank->push_back(std::move(gen));
  }
  return true;
}

bool read_variant_ids(PyObject* obj, size_t n_variants, std::vector<size_t>* ids) {
  if (!PyArray_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument 'deme_variant_ids': expected a numpy.ndarray of dtype int64, got %s",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(obj);
  if (!PyArray_EquivTypenums(PyArray_TYPE(a), NPY_INT64) || !PyArray_ISNOTSWAPPED(a) || PyArray_NDIM(a) != 1) {
    PyErr_SetString(PyExc_TypeError, "argument 'deme_variant_ids': expected a one-dimensional int64 array");
    return false;
  }
  if (!PyArray_IS_C_CONTIGUOUS(a)) {
    PyErr_SetString(PyExc_ValueError, "The given array is not contiguous");
    return false;
  }
  std::vector<int64_t> raw;
  if (!to_i64_vec(obj, &raw)) return false;
  ids->resize(raw.size());
  for (size_t d = 0; d < raw.size(); ++d) {
    const uint64_t id = static_cast<uint64_t>(raw[d]);
    if (id >= n_variants) {
      raise(Error::value("deme " + format_uint(d) + " variant id " + format_uint(id) +
                         " out of range for a bank of " + format_uint(n_variants) + " entries"));
      return false;
    }
    (*ids)[d] = static_cast<size_t>(id);
  }
  return true;
}

// A stacked array: shape, contiguity, then values; copied.
bool read_stacked(PyObject* obj, const char* argname, const std::vector<int64_t>& expected, bool sperm,
                  std::vector<double>* out) {
  PyArrayObject* a = f64_array_view(obj, argname, 4);
  if (!a) return false;
  const std::vector<int64_t> shape = shape_of(a);
  if (shape != expected) {
    if (sperm) {
      raise(Error::value(std::string(argname) + " must have shape " + format_shape(expected) + ", got " +
                         format_shape(shape)));
    } else {
      raise(Error::value(std::string(argname) + " must have shape (" + format_int(expected[0]) + ", 2, " +
                         format_int(expected[2]) + ", " + format_int(expected[3]) + "), got " +
                         format_shape(shape)));
    }
    return false;
  }
  if (!PyArray_IS_C_CONTIGUOUS(a)) {
    PyErr_SetString(PyExc_ValueError, "The given array is not contiguous");
    return false;
  }
  if (!to_f64_vec(obj, out)) return false;
  if (Status s = check_stacked_values(argname, *out); !s) {
    raise(s.error());
    return false;
  }
  return true;
}

std::vector<int64_t> ind_shape(size_t n, const Blueprint& bp) {
  return {static_cast<int64_t>(n), 2, static_cast<int64_t>(bp.n_ages), static_cast<int64_t>(bp.n_ztypes)};
}
std::vector<int64_t> sperm_shape(size_t n, const Blueprint& bp) {
  return {static_cast<int64_t>(n), static_cast<int64_t>(bp.n_ages), static_cast<int64_t>(bp.n_ztypes),
          static_cast<int64_t>(bp.n_ztypes)};
}

PyObject* session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"blueprint", "ecology_columns", "tensor_bank", "deme_variant_ids",
                                 "individual_count_all", "sperm_storage_all", "tick", "model",
                                 "stay_after_send", "seed", nullptr};
  PyObject *bp_obj, *cols_obj, *bank_obj, *ids_obj, *ind_obj, *sperm_obj, *tick_obj;
  PyObject *model_obj = nullptr, *stay_obj = nullptr, *seed_obj = nullptr;
  if (!parse_args(args, kwargs, "OOOOOOO|OOO:HeterogeneousSpatialEngineSession", kwlist, &bp_obj, &cols_obj,
                  &bank_obj, &ids_obj, &ind_obj, &sperm_obj, &tick_obj, &model_obj, &stay_obj, &seed_obj))
    return nullptr;
  SpatialParts parts;
  std::string model = "age_structured";
  if (!to_i64(tick_obj, &parts.tick)) return nullptr;
  if (model_obj && !str_arg(model_obj, "model", &model)) return nullptr;
  if (stay_obj && !to_bool(stay_obj, &parts.stay_after_send)) return nullptr;
  if (seed_obj && !to_u64(seed_obj, &parts.seed)) return nullptr;

  // 1. The tick.
  if (parts.tick < 0) return raise(Error::value("state tick must be nonnegative"));
  // 2. The blueprint.
  Blueprint& bp = parts.blueprint;
  if (!blueprint_from_python(bp_obj, &bp)) return nullptr;
  if (Status s = bp.validate(); !s) return raise(s.error());
  // 3-5. The ecology columns.
  parts.ecology = default_spatial_columns(bp.n_demes);
  if (!read_columns(cols_obj, &parts.ecology)) return nullptr;
  if (Status s = validate_spatial_columns(parts.ecology, bp.n_ages); !s) return raise(s.error());
  // 6-7. The variant bank.
  if (!read_bank(bank_obj, bp, &parts.bank)) return nullptr;
  if (parts.bank.empty()) return raise(Error::value("tensor_bank must contain at least one genetics variant"));
  // 8. Variant ids.
  if (!read_variant_ids(ids_obj, parts.bank.size(), &parts.deme_variant_ids)) return nullptr;
  const size_t n = parts.deme_variant_ids.size();
  // 9. The model.
  Result<bool> discrete = parse_spatial_model(model);
  if (!discrete) return raise(discrete.error());
  parts.discrete = *discrete;
  // 10-11. The stacked state.
  if (!read_stacked(ind_obj, "individual_count_all", ind_shape(n, bp), false, &parts.individual_count_all) ||
      !read_stacked(sperm_obj, "sperm_storage_all", sperm_shape(n, bp), true, &parts.sperm_storage_all))
    return nullptr;
  // 12-14.
  Result<SpatialSession> made = SpatialSession::from_parts(std::move(parts));
  if (!made) return raise(made.error());
  return new_session_object(type, std::move(made).value());
}

// ---- argument helpers ----

bool deme_arg(PyObject* v, size_t* out) {
  uint64_t d = 0;
  if (!to_u64(v, &d)) return false;
  *out = static_cast<size_t>(d);
  return true;
}

PyObject* one_arg(PyObject* args, PyObject* kwargs, const char* format, const char* name, PyObject** out) {
  const char* kwlist[] = {name, nullptr};
  return parse_args(args, kwargs, format, kwlist, out) ? *out : nullptr;
}

PyObject* totals_tuple(const Totals& t) { return Py_BuildValue("(ddd)", t.total, t.female, t.male); }

// ---- ticking ----

// What an at_boundary callable returned for `tick`: None, or a dict from a
// schedulable parameter's name to one value for every deme or one per deme.
// Everything is read and checked before anything is written.
Status apply_boundary_values(SpatialSession& s, int64_t tick, PyObject* returned, EcoCtx& ctx) {
  if (returned == Py_None) return Status::ok();
  if (!PyDict_Check(returned)) {
    PyErr_Format(PyExc_TypeError, "at_boundary must return None or a dict of parameter values, got %.100s",
                 Py_TYPE(returned)->tp_name);
    return Error::runtime("at_boundary returned the wrong type");
  }
  Ref items(dict_items(returned));
  if (!items) return Error::runtime("at_boundary result unreadable");
  const size_t n = s.n_demes();
  std::vector<std::pair<Field, std::vector<double>>> writes;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    std::string name;
    if (!str_arg(PyTuple_GET_ITEM(pair, 0), "at_boundary key", &name)) return Error::runtime("bad key");
    Result<Field> field = schedulable_field(name);
    if (!field) return field.error();
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    std::vector<double> values;
    if (PyFloat_Check(value) || PyLong_Check(value) || PyArray_IsScalar(value, Number)) {
      double v = 0.0;
      if (!to_f64(value, &v)) return Error::runtime("bad value");
      values.assign(n, v);
    } else if (!to_f64_sequence(value, ("at_boundary value of " + name).c_str(), &values)) {
      return Error::runtime("bad values");
    }
    const std::string what = "schedule of " + name;
    QORIN_TRY(check_scheduled_values(*field, values, tick, s.ecology(), what));
    writes.emplace_back(*field, std::move(values));
  }
  for (auto& [field, values] : writes) write_scheduled_values(field, values, tick, s.ecology(), ctx.journal);
  return Status::ok();
}

struct ScheduleBoundary {
  static Status apply(SpatialSession& s, int64_t tick, PyObject* returned, EcoCtx& ctx) {
    return apply_boundary_values(s, tick, returned, ctx);
  }
};

// One tick; the interpreter lock is released while the demes run unless a
// Python callback needs it. `at_boundary` (borrowed, or null) is called at the
// boundary the tick starts from and at the one it reaches. Ctrl-C stopping a
// long tick leaves the session at the boundary it started from.
Result<int64_t> tick_once(SpatialSession& s, PyObject* at_boundary) {
  auto write = [&s](int64_t tick, PyObject* returned, EcoCtx& ctx) {
    return apply_boundary_values(s, tick, returned, ctx);
  };
  const BoundaryApply apply = write;  // refers to `write`, which outlives it
  if (s.has_callbacks()) {
    PyCallbackHost host(s.blueprint());
    std::optional<PyBoundaryWriter> writer;
    if (at_boundary) writer.emplace(at_boundary, apply, nullptr);
    GilRelease held(false);  // the callbacks need the lock throughout
    SignalMonitor monitor(held, nullptr);
    return s.run_tick(&host, writer ? &*writer : nullptr, &monitor);
  }
  Result<int64_t> r = Error::runtime("tick did not run");
  GilRelease gil(true);
  std::optional<PyBoundaryWriter> writer;
  if (at_boundary) writer.emplace(at_boundary, apply, &gil);
  // Ctrl-C may stop a long tick, which then undoes itself.
  SignalMonitor monitor(gil, nullptr);
  try {
    r = s.run_tick(nullptr, writer ? &*writer : nullptr, &monitor);
  } catch (const std::bad_alloc&) {
    r = Error::memory("out of memory during the spatial tick");
  } catch (const std::length_error&) {
    r = Error::memory("out of memory during the spatial tick");
  } catch (...) {
    r = Error::runtime("internal failure during the spatial tick");
  }
  return r;
}

PyObject* m_run_tick(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"at_boundary", nullptr};
  PyObject* at_boundary = Py_None;
  if (!parse_args(args, kwargs, "|$O:run_tick", kwlist, &at_boundary)) return nullptr;
  if (!callable_or_none(at_boundary, "at_boundary")) return nullptr;
  Result<int64_t> r = tick_once(core_of(self), at_boundary == Py_None ? nullptr : at_boundary);
  if (!r) return raise(r.error());
  return PyLong_FromLongLong(*r);
}

PyObject* m_run_steps(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"n_ticks", "record_interval", nullptr};
  PyObject *n_obj, *interval_obj;
  if (!parse_args(args, kwargs, "OO:run_steps", kwlist, &n_obj, &interval_obj)) return nullptr;
  RunRequest request;
  if (!to_i64(n_obj, &request.n_ticks) || !to_i64(interval_obj, &request.record_interval)) return nullptr;
  if (request.n_ticks < 0) return raise(Error::value("n_steps must be >= 0"));
  request.bound_history_only = true;
  SpatialSession& s = core_of(self);
  return run_session_without_rows(self, request, [&s](const RunRequest& req, CallbackHost* host, RunMonitor* monitor) {
    return s.run(req, host, monitor);
  });
}

// ---- schedules ----

// set_schedules(schedules): a sequence of (name, table, start, repeat, base)
// with `table` a (rows, 1 or n_demes) float array and `base` None or one
// value per deme (a relative schedule).
PyObject* m_set_schedules(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"schedules", nullptr};
  PyObject* obj;
  if (!parse_args(args, kwargs, "O:set_schedules", kwlist, &obj)) return nullptr;
  Ref items(sequence_items(obj, "schedules must be a sequence of (name, table, start, repeat, base)"));
  if (!items) return nullptr;
  std::vector<ParameterSchedule> schedules;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    Ref entry(sequence_items(PyTuple_GET_ITEM(items.get(), i), "a schedule must be a tuple"));
    if (!entry) return nullptr;
    if (PyTuple_GET_SIZE(entry.get()) != 5) {
      PyErr_SetString(PyExc_ValueError, "a schedule is (name, table, start, repeat, base)");
      return nullptr;
    }
    std::string name;
    if (!str_arg(PyTuple_GET_ITEM(entry.get(), 0), "name", &name)) return nullptr;
    Result<Field> field = schedulable_field(name);
    if (!field) return raise(field.error());
    ParameterSchedule sch;
    sch.field = *field;
    PyArrayObject* table = f64_array_view(PyTuple_GET_ITEM(entry.get(), 1), "table", 2);
    if (!table) return nullptr;
    sch.n_rows = static_cast<size_t>(PyArray_DIM(table, 0));
    sch.width = static_cast<size_t>(PyArray_DIM(table, 1));
    if (!to_f64_vec(reinterpret_cast<PyObject*>(table), &sch.table)) return nullptr;
    if (!to_i64(PyTuple_GET_ITEM(entry.get(), 2), &sch.start)) return nullptr;
    if (!to_bool(PyTuple_GET_ITEM(entry.get(), 3), &sch.repeat)) return nullptr;
    PyObject* base = PyTuple_GET_ITEM(entry.get(), 4);
    if (base != Py_None && !to_f64_sequence(base, "base", &sch.base)) return nullptr;
    if (base != Py_None && sch.base.empty()) {
      PyErr_SetString(PyExc_ValueError, "base must hold one value per deme");
      return nullptr;
    }
    schedules.push_back(std::move(sch));
  }
  return none_or_raise(core_of(self).set_schedules(std::move(schedules)));
}

// ---- state ----

PyObject* m_set_state(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"individual_count_all", "sperm_storage_all", "tick", nullptr};
  PyObject *ind_obj, *sperm_obj, *tick_obj;
  if (!parse_args(args, kwargs, "OOO:set_state", kwlist, &ind_obj, &sperm_obj, &tick_obj)) return nullptr;
  int64_t tick = 0;
  if (!to_i64(tick_obj, &tick)) return nullptr;
  if (tick < 0) return raise(Error::value("state tick must be nonnegative"));
  SpatialSession& s = core_of(self);
  const size_t n = s.n_demes();
  std::vector<double> ind, sperm;
  if (!read_stacked(ind_obj, "individual_count_all", ind_shape(n, s.blueprint()), false, &ind) ||
      !read_stacked(sperm_obj, "sperm_storage_all", sperm_shape(n, s.blueprint()), true, &sperm))
    return nullptr;
  return none_or_raise(s.set_state(ind, sperm, tick));
}

PyObject* m_state_snapshot(PyObject* self, PyObject*) {
  QORIN_SESSION_READ(self);
  const SpatialSession& s = core_of(self);
  Ref ind(new_f64_array(s.individual_count().data(), s.individual_count().size()));
  if (!ind) return nullptr;
  Ref sperm(new_f64_array(s.sperm_storage().data(), s.sperm_storage().size()));
  if (!sperm) return nullptr;
  return Py_BuildValue("(LOO)", static_cast<long long>(s.current_tick()), ind.get(), sperm.get());
}

PyObject* m_state_snapshot_deme(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_READ(self);
  PyObject* deme_obj;
  if (!one_arg(args, kwargs, "O:state_snapshot_deme", "deme", &deme_obj)) return nullptr;
  size_t deme = 0;
  if (!deme_arg(deme_obj, &deme)) return nullptr;
  const SpatialSession& s = core_of(self);
  auto block = s.deme_block(deme);
  if (!block) return raise(block.error());
  Ref ind(new_f64_array(block->first.data(), block->first.size()));
  if (!ind) return nullptr;
  Ref sperm(new_f64_array(block->second.data(), block->second.size()));
  if (!sperm) return nullptr;
  return Py_BuildValue("(LOO)", static_cast<long long>(s.current_tick()), ind.get(), sperm.get());
}

PyObject* m_counts(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_READ(self);
  PyObject* deme_obj;
  if (!one_arg(args, kwargs, "O:counts", "deme", &deme_obj)) return nullptr;
  size_t deme = 0;
  if (!deme_arg(deme_obj, &deme)) return nullptr;
  Result<Totals> t = core_of(self).counts(deme);
  if (!t) return raise(t.error());
  return totals_tuple(*t);
}

PyObject* m_reseed(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  PyObject* seed_obj;
  if (!one_arg(args, kwargs, "O:reseed", "seed", &seed_obj)) return nullptr;
  uint64_t seed = 0;
  if (!to_u64(seed_obj, &seed)) return nullptr;
  core_of(self).reseed(seed);
  Py_RETURN_NONE;
}

// ---- bank ----

PyObject* m_n_variants(PyObject* self, PyObject*) {
  QORIN_SESSION_READ(self);
  return PyLong_FromSize_t(core_of(self).n_variants());
}

PyObject* m_fork_variant(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  PyObject* deme_obj;
  if (!one_arg(args, kwargs, "O:fork_variant", "deme", &deme_obj)) return nullptr;
  size_t deme = 0;
  if (!deme_arg(deme_obj, &deme)) return nullptr;
  Result<size_t> id = core_of(self).fork_variant(deme);
  if (!id) return raise(id.error());
  return PyLong_FromSize_t(*id);
}

PyObject* m_tensor_write_deme(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"deme", "name", "values", nullptr};
  PyObject *deme_obj, *name_obj, *values_obj;
  if (!parse_args(args, kwargs, "OOO:tensor_write_deme", kwlist, &deme_obj, &name_obj, &values_obj)) return nullptr;
  size_t deme = 0;
  std::string name;
  std::vector<double> values;
  if (!deme_arg(deme_obj, &deme) || !str_arg(name_obj, "name", &name) ||
      !to_f64_sequence(values_obj, "values", &values))
    return nullptr;
  return none_or_raise(core_of(self).tensor_write_deme(deme, name, values));
}

PyObject* m_refresh_variant_tensors(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"variant_id", "fields", "source", nullptr};
  PyObject *id_obj, *fields_obj, *source;
  if (!parse_args(args, kwargs, "OOO:refresh_variant_tensors", kwlist, &id_obj, &fields_obj, &source))
    return nullptr;
  size_t id = 0;
  std::vector<std::string> fields;
  if (!deme_arg(id_obj, &id) || !to_string_vec(fields_obj, &fields)) return nullptr;
  PyFieldSource src(source);
  return none_or_raise(core_of(self).refresh_variant_tensors(id, fields, src));
}

// ---- per-deme parameters ----

PyObject* m_apply_deme(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"deme", "writes", nullptr};
  PyObject *deme_obj, *writes_obj;
  if (!parse_args(args, kwargs, "OO:apply_deme", kwlist, &deme_obj, &writes_obj)) return nullptr;
  size_t deme = 0;
  std::vector<std::pair<std::string, double>> writes;
  if (!deme_arg(deme_obj, &deme) || !to_named_f64_dict(writes_obj, "writes", &writes)) return nullptr;
  return none_or_raise(core_of(self).apply_deme(deme, writes));
}

PyObject* m_get_deme_scalar(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_READ(self);
  static const char* kwlist[] = {"deme", "name", nullptr};
  PyObject *deme_obj, *name_obj;
  if (!parse_args(args, kwargs, "OO:get_deme_scalar", kwlist, &deme_obj, &name_obj)) return nullptr;
  size_t deme = 0;
  std::string name;
  if (!deme_arg(deme_obj, &deme) || !str_arg(name_obj, "name", &name)) return nullptr;
  Result<double> v = core_of(self).get_deme_scalar(deme, name);
  if (!v) return raise(v.error());
  return PyFloat_FromDouble(*v);
}

PyObject* m_get_deme_tensor(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_READ(self);
  static const char* kwlist[] = {"deme", "name", nullptr};
  PyObject *deme_obj, *name_obj;
  if (!parse_args(args, kwargs, "OO:get_deme_tensor", kwlist, &deme_obj, &name_obj)) return nullptr;
  size_t deme = 0;
  std::string name;
  if (!deme_arg(deme_obj, &deme) || !str_arg(name_obj, "name", &name)) return nullptr;
  Result<std::vector<double>> v = core_of(self).get_deme_tensor(deme, name);
  if (!v) return raise(v.error());
  return new_f64_array(v->data(), v->size());
}

PyObject* refresh(PyObject* self, PyObject* args, PyObject* kwargs, const char* format, bool parameters) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"deme", "fields", "source", nullptr};
  PyObject *deme_obj, *fields_obj, *source;
  if (!parse_args(args, kwargs, format, kwlist, &deme_obj, &fields_obj, &source)) return nullptr;
  size_t deme = 0;
  std::vector<std::string> fields;
  if (!deme_arg(deme_obj, &deme) || !to_string_vec(fields_obj, &fields)) return nullptr;
  PyFieldSource src(source);
  SpatialSession& s = core_of(self);
  return none_or_raise(parameters ? s.refresh_deme_parameters(deme, fields, src)
                                  : s.refresh_deme_ecology(deme, fields, src));
}

PyObject* m_refresh_deme_ecology(PyObject* self, PyObject* args, PyObject* kwargs) {
  return refresh(self, args, kwargs, "OOO:refresh_deme_ecology", false);
}

PyObject* m_refresh_deme_parameters(PyObject* self, PyObject* args, PyObject* kwargs) {
  return refresh(self, args, kwargs, "OOO:refresh_deme_parameters", true);
}

PyObject* m_get_deme_custom_slots(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_READ(self);
  PyObject* deme_obj;
  if (!one_arg(args, kwargs, "O:get_deme_custom_slots", "deme", &deme_obj)) return nullptr;
  size_t deme = 0;
  if (!deme_arg(deme_obj, &deme)) return nullptr;
  Result<const CustomSlotMap*> slots = core_of(self).deme_custom_slots(deme);
  if (!slots) return raise(slots.error());
  return custom_slots_to_python(**slots);
}

PyObject* m_set_deme_custom_slots(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"deme", "source", nullptr};
  PyObject *deme_obj, *source;
  if (!parse_args(args, kwargs, "OO:set_deme_custom_slots", kwlist, &deme_obj, &source)) return nullptr;
  size_t deme = 0;
  if (!deme_arg(deme_obj, &deme)) return nullptr;
  SpatialSession& s = core_of(self);
  if (Result<const CustomSlotMap*> cur = s.deme_custom_slots(deme); !cur) return raise(cur.error());
  CustomSlotMap slots;
  if (!custom_slots_from_python(source, &slots)) return nullptr;
  return none_or_raise(s.set_deme_custom_slots(deme, std::move(slots)));
}

PyObject* m_set_migration_rate(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  PyObject* values_obj;
  if (!one_arg(args, kwargs, "O:set_migration_rate", "values", &values_obj)) return nullptr;
  PyArrayObject* a = f64_array_view(values_obj, "values", 1);
  if (!a) return nullptr;
  if (!PyArray_IS_C_CONTIGUOUS(a)) return raise(Error::value("The given array is not contiguous"));
  std::vector<double> values;
  if (!to_f64_vec(values_obj, &values)) return nullptr;
  return none_or_raise(core_of(self).set_migration_rate(values));
}

PyObject* m_ecology_columns_snapshot(PyObject* self, PyObject*) {
  QORIN_SESSION_READ(self);
  const EcologyParams& e = core_of(self).ecology();
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  auto put = [&](const char* key, PyObject* value) {
    if (!value) return false;
    const int rc = PyDict_SetItemString(dict.get(), key, value);
    Py_DECREF(value);
    return rc == 0;
  };
  std::vector<int64_t> declared(e.equilibrium_declared.begin(), e.equilibrium_declared.end());
  // The scalar columns in table order (the declaration flags follow
  // growth_mode), then the tensor columns.
  bool ok = true;
  for (const bool tensors : {false, true}) {
    e.for_each_column([&](Field f, const auto& col) {
      const FieldInfo& info = field_info(f);
      if (!ok || info.is_tensor() != tensors) return;
      const std::string key(info.name);
      if constexpr (std::is_same_v<std::remove_cvref_t<decltype(col)>, std::vector<int64_t>>) {
        ok = put(key.c_str(), new_i64_array(col.data(), col.size()));
      } else {
        ok = put(key.c_str(), new_f64_array(col.data(), col.size()));
      }
      if (ok && f == Field::growth_mode) ok = put("equilibrium_declared", new_i64_array(declared.data(), declared.size()));
    });
  }
  if (!ok) return nullptr;
  return dict.release();
}

PyObject* m_drain_journal_into(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"log", nullptr};
  PyObject* log_obj;
  if (!parse_args(args, kwargs, "O:drain_journal_into", kwlist, &log_obj)) return nullptr;
  SharedParameterLog log;
  if (!parameter_log_storage(log_obj, "log", &log)) return nullptr;
  core_of(self).drain_journal_into(*log);
  Py_RETURN_NONE;
}

PyObject* m_drain_eco_journal(PyObject* self, PyObject*) {
  QORIN_SESSION_MUT(self);
  SpatialSession& s = core_of(self);
  const std::vector<JournalRow>& rows = s.journal();
  Ref list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < rows.size(); ++i) {
    const JournalRow& r = rows[i];
    PyObject* t = Py_BuildValue("(nLndd)", static_cast<Py_ssize_t>(r.deme), static_cast<long long>(r.tick),
                                static_cast<Py_ssize_t>(r.param_id), r.old_value, r.new_value);
    if (!t) return nullptr;  // the rows stay in the journal
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
  }
  s.drain_journal();
  return list.release();
}

// ---- events ----

PyObject* m_trigger_deme_event(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"deme", "event", nullptr};
  PyObject *deme_obj, *event_obj;
  if (!parse_args(args, kwargs, "OO:trigger_deme_event", kwlist, &deme_obj, &event_obj)) return nullptr;
  size_t deme = 0;
  int64_t event = 0;
  if (!deme_arg(deme_obj, &deme) || !to_i64(event_obj, &event)) return nullptr;
  SpatialSession& s = core_of(self);
  PyCallbackHost host(s.blueprint());
  return stop_code_or_raise(s.trigger_deme_event(deme, event, &host));
}

// ---- checkpoints, history, observation ----

PyObject* m_capture_checkpoint(PyObject* self, PyObject*) {
  QORIN_SESSION_MUT(self);
  SpatialSession& s = core_of(self);
  if (Status st = s.capture_checkpoint(); !st) return raise(st.error());
  return PyLong_FromLongLong(s.current_tick());
}

PyObject* m_restore_from_checkpoint(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  PyObject* tick_obj;
  if (!one_arg(args, kwargs, "O:restore_from_checkpoint", "tick", &tick_obj)) return nullptr;
  int64_t tick = 0;
  if (!to_i64(tick_obj, &tick)) return nullptr;
  Result<std::optional<int64_t>> r = core_of(self).restore_checkpoint(tick);
  if (!r) return raise(r.error());
  if (!*r) Py_RETURN_NONE;
  return PyLong_FromLongLong(**r);
}

PyObject* prune(PyObject* self, PyObject* args, PyObject* kwargs, const char* format, const char* name,
                void (CheckpointStore::*op)(int64_t)) {
  QORIN_SESSION_MUT(self);
  PyObject* tick_obj;
  if (!one_arg(args, kwargs, format, name, &tick_obj)) return nullptr;
  int64_t tick = 0;
  if (!to_i64(tick_obj, &tick)) return nullptr;
  (core_of(self).checkpoints().*op)(tick);
  Py_RETURN_NONE;
}

PyObject* m_truncate_checkpoints(PyObject* self, PyObject* args, PyObject* kwargs) {
  return prune(self, args, kwargs, "O:truncate_checkpoints", "retain_until_tick",
               &CheckpointStore::truncate_after);
}

PyObject* m_retain_checkpoints_from(PyObject* self, PyObject* args, PyObject* kwargs) {
  return prune(self, args, kwargs, "O:retain_checkpoints_from", "from_tick", &CheckpointStore::retain_from);
}

PyObject* m_clear_checkpoints(PyObject* self, PyObject*) {
  QORIN_SESSION_MUT(self);
  core_of(self).checkpoints().clear();
  Py_RETURN_NONE;
}

PyObject* m_record_history(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  PyObject* cont_obj;
  if (!one_arg(args, kwargs, "O:record_history", "continuation", &cont_obj)) return nullptr;
  bool continuation = false;
  if (!to_bool(cont_obj, &continuation)) return nullptr;
  return none_or_raise(core_of(self).record_history(continuation));
}

PyObject* m_observe_current(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_READ(self);
  static const char* kwlist[] = {"mask", "selected", "collapse_age", "aggregate", nullptr};
  PyObject *mask_obj, *sel_obj, *collapse_obj, *aggregate_obj;
  if (!parse_args(args, kwargs, "OOOO:observe_current", kwlist, &mask_obj, &sel_obj, &collapse_obj,
                  &aggregate_obj))
    return nullptr;
  std::vector<double> mask;
  std::vector<uint64_t> selected;
  bool collapse = false, aggregate = false;
  if (!arg_f64_1d(mask_obj, "mask", &mask) || !to_u64_list(sel_obj, "selected", &selected) ||
      !to_bool(collapse_obj, &collapse) || !to_bool(aggregate_obj, &aggregate))
    return nullptr;
  const SpatialSession& s = core_of(self);
  const Blueprint& bp = s.blueprint();
  const std::array<uint64_t, 4> dims = {bp.n_demes, bp.n_sexes, bp.n_ages, bp.n_ztypes};
  Result<std::vector<double>> obs = project(s.individual_count(), mask, dims, selected, collapse, aggregate);
  if (!obs) return raise(obs.error());
  Ref arr(new_f64_array(obs->data(), obs->size()));
  if (!arr) return nullptr;
  return Py_BuildValue("(LO)", static_cast<long long>(s.current_tick()), arr.get());
}

#define KW METH_VARARGS | METH_KEYWORDS

const std::vector<PyMethodDef>& methods() {
  static const std::vector<PyMethodDef> table = with_shared_methods({
      {"run_tick", QORIN_GUARDED(m_run_tick), KW,
       "run_tick($self, *, at_boundary=None)\n--\n\nRun one tick of every deme, then migration; returns the tick "
       "after the call (unchanged when a hook or callback stopped it). The schedules, then at_boundary(tick) "
       "when given, write their values at the boundary the tick starts from and at the one it reaches."},
      {"run_steps", QORIN_GUARDED(m_run_steps), KW,
       "run_steps($self, n_ticks, record_interval)\n--\n\nRun up to n_ticks ticks, recording every "
       "record_interval-th boundary into the bound history; returns (final tick, was_stopped)."},
      {"run", QORIN_GUARDED((run_method<SpatialSession, ScheduleBoundary>)), KW,
       "run($self, n_ticks, record_interval, observation_mask=None, checkpoint_every=0, *, progress=None, "
       "at_boundary=None)\n--\n\n"
       "Run up to n_ticks ticks, recording every record_interval-th boundary into the bound history or a "
       "private one; returns (final_tick, history, was_stopped) as EngineSession.run does. progress(tick) is "
       "called about every 50 ms. At every boundary the run visits, before it is recorded, the schedules and "
       "then at_boundary(tick) write the values in force for that tick: at_boundary returns None or a dict "
       "from a scheduled parameter's name to one value or one per deme (journaled as 'schedule')."},
      {"set_schedules", QORIN_GUARDED(m_set_schedules), KW,
       "set_schedules($self, schedules)\n--\n\nReplace the parameter schedules: (name, table, start, repeat, "
       "base) tuples, table of shape (rows, 1 or n_demes), row k in force at tick start + k (after the last "
       "row the last stays, or the table starts over with repeat), base None or per-deme values the entries "
       "multiply. The current tick's values are written at once, then every boundary's, journaled as "
       "'schedule'."},
      {"set_state", QORIN_GUARDED(m_set_state), KW,
       "set_state($self, individual_count_all, sperm_storage_all, tick)\n--\n\nInstall a full stacked state."},
      {"state_snapshot", QORIN_GUARDED(m_state_snapshot), METH_NOARGS,
       "state_snapshot($self)\n--\n\nReturn (tick, ind_flat, sperm_flat) as fresh copies of the stacked state."},
      {"state_snapshot_deme", QORIN_GUARDED(m_state_snapshot_deme), KW,
       "state_snapshot_deme($self, deme)\n--\n\nReturn (tick, ind, sperm) copies of one deme's block."},
      {"counts", QORIN_GUARDED(m_counts), KW,
       "counts($self, deme)\n--\n\nReturn (total, female, male) counts of one deme."},
      {"reseed", QORIN_GUARDED(m_reseed), KW,
       "reseed($self, seed)\n--\n\nRe-derive every deme stream from a seed (stream d from seed ^ d)."},
      {"n_variants", QORIN_GUARDED(m_n_variants), METH_NOARGS,
       "n_variants($self)\n--\n\nNumber of genetics variants in the bank (read-only introspection)."},
      {"fork_variant", QORIN_GUARDED(m_fork_variant), KW,
       "fork_variant($self, deme)\n--\n\nFork the genetics variant of one deme into a private bank entry."},
      {"tensor_write_deme", QORIN_GUARDED(m_tensor_write_deme), KW,
       "tensor_write_deme($self, deme, name, values)\n--\n\n"
       "Commit a validated whole tensor, forking only changed genetic values."},
      {"refresh_variant_tensors", QORIN_GUARDED(m_refresh_variant_tensors), KW,
       "refresh_variant_tensors($self, variant_id, fields, source)\n--\n\n"
       "Pull exactly the named genetics tensors for one bank variant."},
      {"apply_deme", QORIN_GUARDED(m_apply_deme), KW,
       "apply_deme($self, deme, writes)\n--\n\nAtomically write ecology scalars of one deme."},
      {"get_deme_scalar", QORIN_GUARDED(m_get_deme_scalar), KW,
       "get_deme_scalar($self, deme, name)\n--\n\nReturn one ecology scalar of one deme."},
      {"get_deme_tensor", QORIN_GUARDED(m_get_deme_tensor), KW,
       "get_deme_tensor($self, deme, name)\n--\n\nReturn a copy of one deme's ecology block or genetics tensor."},
      {"refresh_deme_ecology", QORIN_GUARDED(m_refresh_deme_ecology), KW,
       "refresh_deme_ecology($self, deme, fields, source)\n--\n\nPull named ecology fields of one deme."},
      {"refresh_deme_parameters", QORIN_GUARDED(m_refresh_deme_parameters), KW,
       "refresh_deme_parameters($self, deme, fields, source)\n--\n\n"
       "Validate and atomically merge an explicit compiled deme update."},
      {"get_deme_custom_slots", QORIN_GUARDED(m_get_deme_custom_slots), KW,
       "get_deme_custom_slots($self, deme)\n--\n\nReturn one deme's custom slots as a dict."},
      {"set_deme_custom_slots", QORIN_GUARDED(m_set_deme_custom_slots), KW,
       "set_deme_custom_slots($self, deme, source)\n--\n\nAtomically replace one deme's custom slots."},
      {"set_migration_rate", QORIN_GUARDED(m_set_migration_rate), KW,
       "set_migration_rate($self, values)\n--\n\nReplace the (n_demes, 2, n_ages) migration-rate column."},
      {"ecology_columns_snapshot", QORIN_GUARDED(m_ecology_columns_snapshot), METH_NOARGS,
       "ecology_columns_snapshot($self)\n--\n\nReturn the ecology columns as a dict of fresh arrays."},
      {"drain_journal_into", QORIN_GUARDED(m_drain_journal_into), KW,
       "drain_journal_into($self, log)\n--\n\nMove the committed parameter changes waiting in the session's "
       "journal into a ParameterLog (tick, name, old, new, event, deme), in commit order."},
      {"drain_eco_journal", QORIN_GUARDED(m_drain_eco_journal), METH_NOARGS,
       "drain_eco_journal($self)\n--\n\nReturn and clear the (deme, tick, param_id, old, new) rows of committed "
       "parameter changes."},
      {"trigger_deme_event", QORIN_GUARDED(m_trigger_deme_event), KW,
       "trigger_deme_event($self, deme, event)\n--\n\n"
       "Execute one explicit event against a managed deme's native state."},
      {"capture_checkpoint", QORIN_GUARDED(m_capture_checkpoint), METH_NOARGS,
       "capture_checkpoint($self)\n--\n\nCapture the current boundary; returns its tick."},
      {"restore_from_checkpoint", QORIN_GUARDED(m_restore_from_checkpoint), KW,
       "restore_from_checkpoint($self, tick)\n--\n\n"
       "Roll back to the checkpoint of exactly this tick; returns the tick or None."},
      {"truncate_checkpoints", QORIN_GUARDED(m_truncate_checkpoints), KW,
       "truncate_checkpoints($self, retain_until_tick)\n--\n\nDrop checkpoints after retain_until_tick."},
      {"retain_checkpoints_from", QORIN_GUARDED(m_retain_checkpoints_from), KW,
       "retain_checkpoints_from($self, from_tick)\n--\n\nDrop checkpoints before from_tick."},
      {"clear_checkpoints", QORIN_GUARDED(m_clear_checkpoints), METH_NOARGS,
       "clear_checkpoints($self)\n--\n\nDrop all checkpoints."},
      {"record_history", QORIN_GUARDED(m_record_history), KW,
       "record_history($self, continuation)\n--\n\nRecord the current boundary into the bound history."},
      {"observe_current", QORIN_GUARDED(m_observe_current), KW,
       "observe_current($self, mask, selected, collapse_age, aggregate)\n--\n\n"
       "Project the current stacked counts; returns (tick, observation)."},
  }, StateLayout::Spatial);
  return table;
}

#undef KW

}  // namespace

PyObject* spatial_session_type() {
  static PyObject* type = nullptr;
  PyObject* t = session_class(
      &type, "qorin._engine_rs.HeterogeneousSpatialEngineSession",
      "HeterogeneousSpatialEngineSession(blueprint, ecology_columns, tensor_bank, deme_variant_ids, "
      "individual_count_all, sperm_storage_all, tick, model=..., stay_after_send=False, seed=0)\n--\n\n"
      "Many demes stacked in one state: per-deme ecology columns, a bank of genetics variants, "
      "parallel deme ticks and migration between demes.",
      QORIN_GUARDED_SLOT(session_new), methods());
  Py_XINCREF(t);
  return t;
}

}  // namespace qorin::py
