#include "python/engine_session.hpp"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/sessions/age_structured.hpp"
#include "python/borrow.hpp"
#include "python/class_support.hpp"
#include "python/contracts.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "core/output/observation.hpp"
#include "python/history_store.hpp"
#include "python/hooks.hpp"
#include "python/rng_words.hpp"

namespace qorin::py {

namespace {

struct EngineSessionObject {
  PyObject_HEAD
  AgeStructuredSession* core;
  BorrowFlag flag;
};

AgeStructuredSession& core_of(PyObject* self) {
  return *reinterpret_cast<EngineSessionObject*>(self)->core;
}
BorrowFlag& flag_of(PyObject* self) { return reinterpret_cast<EngineSessionObject*>(self)->flag; }

#define QORIN_MUT(self) QORIN_MUT_GUARD(flag_of(self))
#define QORIN_READ(self) QORIN_READ_GUARD(flag_of(self))

PyObject* totals_tuple(const Totals& t) { return Py_BuildValue("(ddd)", t.total, t.female, t.male); }

// ---- construction ----

PyObject* session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"blueprint", "params", "seed", nullptr};
  PyObject *bp_obj, *params_obj, *seed_obj = nullptr;
  if (!parse_args(args, kwargs, "OO|O:EngineSession", kwlist, &bp_obj, &params_obj, &seed_obj)) return nullptr;
  uint64_t seed = 0;
  if (seed_obj && !to_u64(seed_obj, &seed)) return nullptr;
  Blueprint bp;
  EcologyParams eco;
  GeneticsTensors gen;
  if (!blueprint_from_python(bp_obj, &bp) || !ecology_from_python(params_obj, &eco) ||
      !genetics_from_python(params_obj, &gen))
    return nullptr;
  Result<AgeStructuredSession> made =
      AgeStructuredSession::create(std::move(bp), std::move(eco), std::move(gen), seed);
  if (!made) return raise(made.error());
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  auto* obj = reinterpret_cast<EngineSessionObject*>(self);
  obj->flag = BorrowFlag{};
  obj->core = new AgeStructuredSession(std::move(made).value());
  return self;
}

void session_dealloc(PyObject* self) {
  auto* obj = reinterpret_cast<EngineSessionObject*>(self);
  delete obj->core;
  obj->core = nullptr;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- running ----

PyObject* m_tick(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_MUT(self);
  static const char* kwlist[] = {"deme_id", nullptr};
  PyObject* deme_obj;
  if (!parse_args(args, kwargs, "O:tick", kwlist, &deme_obj)) return nullptr;
  uint64_t deme = 0;
  if (!to_u64(deme_obj, &deme)) return nullptr;
  Result<int32_t> code = core_of(self).tick(static_cast<size_t>(deme), nullptr);
  if (!code) return raise(code.error());
  return PyLong_FromLong(*code);
}

PyObject* run_stage(PyObject* self, int64_t stage_code) {
  QORIN_MUT(self);
  return none_or_raise(core_of(self).run_stage(stage_code));
}
PyObject* m_reproduction(PyObject* self, PyObject*) { return run_stage(self, stage::kReproduction); }
PyObject* m_survival(PyObject* self, PyObject*) { return run_stage(self, stage::kSurvival); }
PyObject* m_aging(PyObject* self, PyObject*) { return run_stage(self, stage::kAging); }

PyObject* m_trigger_event(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_MUT(self);
  static const char* kwlist[] = {"event", "deme_id", nullptr};
  PyObject *event_obj, *deme_obj = nullptr;
  if (!parse_args(args, kwargs, "O|O:trigger_event", kwlist, &event_obj, &deme_obj)) return nullptr;
  int64_t event_id = 0;
  uint64_t deme = 0;
  if (!to_i64(event_obj, &event_id)) return nullptr;
  if (deme_obj && !to_u64(deme_obj, &deme)) return nullptr;
  Result<int32_t> code = core_of(self).trigger_event(event_id, static_cast<size_t>(deme), nullptr);
  if (!code) return raise(code.error());
  return PyLong_FromLong(*code);
}

PyObject* m_stop(PyObject* self, PyObject*) {
  QORIN_MUT(self);
  core_of(self).stop();
  Py_RETURN_NONE;
}

PyObject* m_execution_state(PyObject* self, PyObject*) {
  QORIN_READ(self);
  const AgeStructuredSession& s = core_of(self);
  return Py_BuildValue("(sK)", exec_state_name(s.state()), static_cast<unsigned long long>(s.phase_cursor()));
}

PyObject* m_current_tick(PyObject* self, PyObject*) {
  QORIN_READ(self);
  return PyLong_FromLongLong(core_of(self).current_tick());
}

// ---- state access ----

PyObject* m_set_state(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_MUT(self);
  static const char* kwlist[] = {"ind_flat", "sperm_flat", "tick", nullptr};
  PyObject *ind_obj, *sperm_obj, *tick_obj;
  if (!parse_args(args, kwargs, "OOO:set_state", kwlist, &ind_obj, &sperm_obj, &tick_obj)) return nullptr;
  std::vector<double> ind, sperm;
  int64_t tick = 0;
  if (!to_f64_sequence(ind_obj, "ind_flat", &ind) || !to_f64_sequence(sperm_obj, "sperm_flat", &sperm) ||
      !to_i64(tick_obj, &tick))
    return nullptr;
  return none_or_raise(core_of(self).set_state(ind, sperm, tick));
}

PyObject* m_state_snapshot(PyObject* self, PyObject*) {
  QORIN_READ(self);
  const AgeStructuredSession& s = core_of(self);
  Ref ind(new_f64_array(s.individual_count().data(), s.individual_count().size()));
  Ref sperm(new_f64_array(s.sperm_storage().data(), s.sperm_storage().size()));
  if (!ind || !sperm) return nullptr;
  return Py_BuildValue("(LOO)", static_cast<long long>(s.current_tick()), ind.get(), sperm.get());
}

PyObject* m_counts(PyObject* self, PyObject*) {
  QORIN_READ(self);
  return totals_tuple(core_of(self).counts());
}

PyObject* m_adult_counts(PyObject* self, PyObject*) {
  QORIN_READ(self);
  return totals_tuple(core_of(self).adult_counts());
}

// ---- parameters ----

PyObject* m_apply(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_MUT(self);
  static const char* kwlist[] = {"writes", nullptr};
  PyObject* writes_obj;
  if (!parse_args(args, kwargs, "O:apply", kwlist, &writes_obj)) return nullptr;
  std::vector<std::pair<std::string, double>> writes;
  if (!to_named_f64_dict(writes_obj, "writes", &writes)) return nullptr;
  return none_or_raise(core_of(self).ecology().apply(writes));
}

PyObject* m_get_scalar(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_READ(self);
  static const char* kwlist[] = {"name", nullptr};
  PyObject* name_obj;
  if (!parse_args(args, kwargs, "O:get_scalar", kwlist, &name_obj)) return nullptr;
  std::string name;
  if (!str_arg(name_obj, "name", &name)) return nullptr;
  Result<double> v = core_of(self).ecology().get_scalar(name);
  if (!v) return raise(v.error());
  return PyFloat_FromDouble(*v);
}

PyObject* m_get_tensor(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_READ(self);
  static const char* kwlist[] = {"name", nullptr};
  PyObject* name_obj;
  if (!parse_args(args, kwargs, "O:get_tensor", kwlist, &name_obj)) return nullptr;
  std::string name;
  if (!str_arg(name_obj, "name", &name)) return nullptr;
  const AgeStructuredSession& s = core_of(self);
  Result<std::vector<double>> v = s.ecology().session_get_tensor(s.genetics(), name);
  if (!v) return raise(v.error());
  return new_f64_array(v->data(), v->size());
}

PyObject* m_tensor_write(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_MUT(self);
  static const char* kwlist[] = {"field", "values", nullptr};
  PyObject *field_obj, *values_obj;
  if (!parse_args(args, kwargs, "OO:tensor_write", kwlist, &field_obj, &values_obj)) return nullptr;
  std::string field;
  std::vector<double> values;
  if (!str_arg(field_obj, "field", &field) || !to_f64_sequence(values_obj, "values", &values)) return nullptr;
  AgeStructuredSession& s = core_of(self);
  if (GeneticsTensors::is_genetics_tensor(field)) {
    return none_or_raise(s.genetics().tensor_write(s.blueprint(), field, values));
  }
  return none_or_raise(s.ecology().tensor_write(s.blueprint().n_ages, field, values));
}

PyObject* m_refresh_params(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_MUT(self);
  static const char* kwlist[] = {"fields", "source", nullptr};
  PyObject *fields_obj, *source;
  if (!parse_args(args, kwargs, "OO:refresh_params", kwlist, &fields_obj, &source)) return nullptr;
  std::vector<std::string> fields;
  if (!to_string_vec(fields_obj, &fields)) return nullptr;
  AgeStructuredSession& s = core_of(self);
  PyFieldSource src(source);
  return none_or_raise(s.ecology().pull_fields(s.blueprint(), 0, fields, src, &s.genetics()));
}

PyObject* m_get_custom_slots(PyObject* self, PyObject*) {
  QORIN_READ(self);
  const EcologyParams& e = core_of(self).ecology();
  if (e.custom_slots.empty()) return PyDict_New();
  return custom_slots_to_python(e.custom_slots[0]);
}

PyObject* m_set_custom_slots(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_MUT(self);
  static const char* kwlist[] = {"values", nullptr};
  PyObject* values;
  if (!parse_args(args, kwargs, "O:set_custom_slots", kwlist, &values)) return nullptr;
  CustomSlotMap slots;
  if (!custom_slots_from_python(values, &slots)) return nullptr;
  EcologyParams& e = core_of(self).ecology();
  if (e.custom_slots.empty()) e.custom_slots.resize(1);
  e.custom_slots[0] = std::move(slots);
  Py_RETURN_NONE;
}

PyObject* m_drain_eco_journal(PyObject* self, PyObject*) {
  QORIN_MUT(self);
  std::vector<JournalRow> rows = core_of(self).drain_journal();
  Ref list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) {
    core_of(self).journal() = std::move(rows);  // keep the rows when the list cannot be built
    return nullptr;
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    const JournalRow& r = rows[i];
    PyObject* t = Py_BuildValue("(LIdd)", static_cast<long long>(r.tick), static_cast<unsigned>(r.param_id),
                                r.old_value, r.new_value);
    if (!t) {
      core_of(self).journal() = std::move(rows);
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
  }
  return list.release();
}

PyObject* m_set_execution_flags(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_MUT(self);
  static const char* kwlist[] = {"stochastic", "continuous_sampling", "fixed_egg_count",
                                 "extreme_speed_mode", nullptr};
  PyObject *st_obj, *cs_obj, *fe_obj, *esm_obj;
  if (!parse_args(args, kwargs, "OOOO:set_execution_flags", kwlist, &st_obj, &cs_obj, &fe_obj, &esm_obj))
    return nullptr;
  bool st, cs, fe;
  int64_t esm;
  if (!to_bool(st_obj, &st) || !to_bool(cs_obj, &cs) || !to_bool(fe_obj, &fe) || !to_i64(esm_obj, &esm))
    return nullptr;
  return none_or_raise(core_of(self).set_execution_flags(st, cs, fe, esm));
}

PyObject* m_reseed(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_MUT(self);
  static const char* kwlist[] = {"seed", nullptr};
  PyObject* seed_obj;
  if (!parse_args(args, kwargs, "O:reseed", kwlist, &seed_obj)) return nullptr;
  uint64_t seed;
  if (!to_u64(seed_obj, &seed)) return nullptr;
  core_of(self).reseed(seed);
  Py_RETURN_NONE;
}

// ---- hooks ----

PyObject* m_set_hook_program(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_MUT(self);
  static const char* kwlist[] = {"program", nullptr};
  PyObject* program_obj;
  if (!parse_args(args, kwargs, "O:set_hook_program", kwlist, &program_obj)) return nullptr;
  HookProgram program;
  if (!hook_program_from_python(program_obj, &program)) return nullptr;
  core_of(self).set_program(std::move(program));
  Py_RETURN_NONE;
}

PyObject* m_clear_hook_program(PyObject* self, PyObject*) {
  QORIN_MUT(self);
  core_of(self).set_program(HookProgram::empty());
  Py_RETURN_NONE;
}

// ---- run loop and recording ----

PyObject* m_run(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_MUT(self);
  static const char* kwlist[] = {"n_ticks", "record_interval", "observation_mask", "checkpoint_every", nullptr};
  PyObject *n_obj, *interval_obj, *mask_obj = Py_None, *every_obj = nullptr;
  if (!parse_args(args, kwargs, "OO|OO:run", kwlist, &n_obj, &interval_obj, &mask_obj, &every_obj)) return nullptr;
  int64_t n_ticks = 0, interval = 0, every = 0;
  if (!to_i64(n_obj, &n_ticks) || !to_i64(interval_obj, &interval)) return nullptr;
  if (every_obj && !to_i64(every_obj, &every)) return nullptr;
  std::vector<double> mask;
  const bool has_mask = mask_obj != Py_None;
  if (has_mask) {
    if (!PyArray_Check(mask_obj) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(mask_obj)) != 4) {
      PyErr_SetString(PyExc_TypeError,
                      "argument 'observation_mask': expected None or a four-dimensional float64 array");
      return nullptr;
    }
    if (!to_f64_vec(mask_obj, &mask)) return nullptr;
  }
  Result<RunResult> r = core_of(self).run(n_ticks, interval, has_mask ? &mask : nullptr, every, nullptr);
  if (!r) return raise(r.error());
  Ref rows(new_f64_array(r->rows.data(), std::vector<npy_intp>{static_cast<npy_intp>(r->n_rows),
                                                              static_cast<npy_intp>(r->width)}));
  if (!rows) return nullptr;
  return Py_BuildValue("(LOO)", static_cast<long long>(r->final_tick), rows.get(), r->stopped ? Py_True : Py_False);
}

PyObject* m_bind_history(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_MUT(self);
  static const char* kwlist[] = {"history", nullptr};
  PyObject* history_obj;
  if (!parse_args(args, kwargs, "O:bind_history", kwlist, &history_obj)) return nullptr;
  SharedHistory history;
  if (!history_store_storage(history_obj, "history", &history)) return nullptr;
  core_of(self).bind_history(std::move(history));
  Py_RETURN_NONE;
}

PyObject* m_record_history(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_MUT(self);
  static const char* kwlist[] = {"continuation", nullptr};
  PyObject* cont_obj;
  if (!parse_args(args, kwargs, "O:record_history", kwlist, &cont_obj)) return nullptr;
  bool continuation = false;
  if (!to_bool(cont_obj, &continuation)) return nullptr;
  return none_or_raise(core_of(self).record_history(continuation));
}

PyObject* m_observe_current(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_READ(self);
  static const char* kwlist[] = {"mask", "selected", "collapse_age", "aggregate", nullptr};
  PyObject *mask_obj, *sel_obj, *collapse_obj, *aggregate_obj;
  if (!parse_args(args, kwargs, "OOOO:observe_current", kwlist, &mask_obj, &sel_obj, &collapse_obj, &aggregate_obj))
    return nullptr;
  std::vector<double> mask;
  std::vector<uint64_t> selected;
  bool collapse_age = false, aggregate = false;
  if (!arg_f64_1d(mask_obj, "mask", &mask) || !to_u64_list(sel_obj, "selected", &selected) ||
      !to_bool(collapse_obj, &collapse_age) || !to_bool(aggregate_obj, &aggregate))
    return nullptr;
  const AgeStructuredSession& s = core_of(self);
  const Blueprint& bp = s.blueprint();
  Result<std::vector<double>> out = project(s.individual_count(), mask, {1, bp.n_sexes, bp.n_ages, bp.n_ztypes},
                                            selected, collapse_age, aggregate);
  if (!out) return raise(out.error());
  Ref arr(new_f64_array(out->data(), out->size()));
  if (!arr) return nullptr;
  return Py_BuildValue("(LO)", static_cast<long long>(s.current_tick()), arr.get());
}

// ---- checkpoints and memory snapshots ----

// A state array handed back for a restore: float64, contiguous (ValueError
// "The given array is not contiguous" otherwise), flattened in memory order.
bool restore_array(PyObject* v, std::vector<double>* out) {
  if (PyArray_Check(v)) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(v);
    if (PyArray_TYPE(a) == NPY_DOUBLE && !PyArray_IS_C_CONTIGUOUS(a) && !PyArray_IS_F_CONTIGUOUS(a)) {
      PyErr_SetString(PyExc_ValueError, "The given array is not contiguous");
      return false;
    }
  }
  return to_f64_vec(v, out);
}

PyObject* m_snapshot_state(PyObject* self, PyObject*) {
  QORIN_READ(self);
  const AgeStructuredSession& s = core_of(self);
  Ref ind(new_f64_array(s.individual_count().data(), s.individual_count().size()));
  Ref sperm(new_f64_array(s.sperm_storage().data(), s.sperm_storage().size()));
  Ref words(rng_words_list(s.rng()));
  Ref eco(ecology_snapshot(s.ecology()));
  if (!ind || !sperm || !words || !eco) return nullptr;
  return Py_BuildValue("(LOOOO)", static_cast<long long>(s.current_tick()), ind.get(), sperm.get(),
                       words.get(), eco.get());
}

PyObject* m_restore_state(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_MUT(self);
  static const char* kwlist[] = {"tick", "ind_flat", "sperm_flat", "rng_words", "ecology", nullptr};
  PyObject *tick_obj, *ind_obj, *sperm_obj, *words_obj, *eco_obj;
  if (!parse_args(args, kwargs, "OOOOO:restore_state", kwlist, &tick_obj, &ind_obj, &sperm_obj, &words_obj,
             &eco_obj))
    return nullptr;
  int64_t tick = 0;
  if (!to_i64(tick_obj, &tick)) return nullptr;
  SessionRng rng;
  if (!rng_from_words(words_obj, &rng)) return nullptr;
  std::vector<double> ind, sperm;
  if (!restore_array(ind_obj, &ind) || !restore_array(sperm_obj, &sperm)) return nullptr;
  AgeStructuredSession& s = core_of(self);
  if (Status ok = s.check_restorable(ind, sperm, tick); !ok) return raise(ok.error());
  EcologyParams restored = s.ecology();
  if (!restore_ecology(&restored, s.blueprint().n_ages, eco_obj)) return nullptr;
  s.install(ind, sperm, tick, rng_from_saved_words({rng.s0, rng.s1, rng.s2, rng.s3}), std::move(restored));
  return PyLong_FromLongLong(tick);
}

PyObject* m_restore_from_checkpoint(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_MUT(self);
  static const char* kwlist[] = {"tick", nullptr};
  PyObject* tick_obj;
  if (!parse_args(args, kwargs, "O:restore_from_checkpoint", kwlist, &tick_obj)) return nullptr;
  int64_t tick = 0;
  if (!to_i64(tick_obj, &tick)) return nullptr;
  AgeStructuredSession& s = core_of(self);
  Result<bool> found = s.restore_from_checkpoint(tick, [&s, tick]() -> Status {
    if (!s.bound_history()) return Status::ok();
    return s.bound_history()->lock()->restore_timeline(tick);
  });
  if (!found) return raise(found.error());
  if (!*found) Py_RETURN_NONE;
  Ref eco(ecology_snapshot(s.ecology()));
  if (!eco) return nullptr;
  return Py_BuildValue("(LO)", static_cast<long long>(s.current_tick()), eco.get());
}

PyObject* prune(PyObject* self, PyObject* args, PyObject* kwargs, const char* format, const char* name,
                void (CheckpointStore::*op)(int64_t)) {
  QORIN_MUT(self);
  const char* kwlist[] = {name, nullptr};
  PyObject* tick_obj;
  if (!parse_args(args, kwargs, format, kwlist, &tick_obj)) return nullptr;
  int64_t tick = 0;
  if (!to_i64(tick_obj, &tick)) return nullptr;
  (core_of(self).checkpoints().*op)(tick);
  Py_RETURN_NONE;
}

PyObject* m_retain_checkpoints_from(PyObject* self, PyObject* args, PyObject* kwargs) {
  return prune(self, args, kwargs, "O:retain_checkpoints_from", "from_tick", &CheckpointStore::retain_from);
}

PyObject* m_truncate_checkpoints(PyObject* self, PyObject* args, PyObject* kwargs) {
  return prune(self, args, kwargs, "O:truncate_checkpoints", "retain_until_tick",
               &CheckpointStore::truncate_after);
}

PyObject* m_clear_checkpoints(PyObject* self, PyObject*) {
  QORIN_MUT(self);
  core_of(self).checkpoints().clear();
  Py_RETURN_NONE;
}

template <class F>
PyCFunction kw(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kMethods[] = {
    {"tick", kw(m_tick), METH_VARARGS | METH_KEYWORDS,
     "tick($self, deme_id)\n--\n\nRun one complete tick; returns 0 to continue or 1 when a hook requested a stop."},
    {"reproduction", m_reproduction, METH_NOARGS,
     "reproduction($self)\n--\n\nRun the reproduction stage in place on the session-owned state."},
    {"survival", m_survival, METH_NOARGS,
     "survival($self)\n--\n\nRun the survival stage in place on the session-owned state."},
    {"aging", m_aging, METH_NOARGS, "aging($self)\n--\n\nRun the aging stage in place on the session-owned state."},
    {"trigger_event", kw(m_trigger_event), METH_VARARGS | METH_KEYWORDS,
     "trigger_event($self, event, deme_id=0)\n--\n\nExecute one hook event (0 first, 1 early, 2 late, 3 finish) "
     "on the session-owned state; returns 0 or 1."},
    {"stop", m_stop, METH_NOARGS, "stop($self)\n--\n\nMark the session as Stopped."},
    {"execution_state", m_execution_state, METH_NOARGS,
     "execution_state($self)\n--\n\nReturn (state name, phase cursor)."},
    {"current_tick", m_current_tick, METH_NOARGS, "current_tick($self)\n--\n\nReturn the current tick."},
    {"set_state", kw(m_set_state), METH_VARARGS | METH_KEYWORDS,
     "set_state($self, ind_flat, sperm_flat, tick)\n--\n\nInstall a full live state."},
    {"state_snapshot", m_state_snapshot, METH_NOARGS,
     "state_snapshot($self)\n--\n\nReturn (tick, ind_flat, sperm_flat) as fresh copies."},
    {"counts", m_counts, METH_NOARGS, "counts($self)\n--\n\nReturn (total, female, male) population counts."},
    {"adult_counts", m_adult_counts, METH_NOARGS,
     "adult_counts($self)\n--\n\nReturn (total, female, male) counts over the adult ages."},
    {"apply", kw(m_apply), METH_VARARGS | METH_KEYWORDS,
     "apply($self, writes)\n--\n\nAtomically write ecology scalars from a dict of name to value."},
    {"get_scalar", kw(m_get_scalar), METH_VARARGS | METH_KEYWORDS,
     "get_scalar($self, name)\n--\n\nReturn one ecology scalar."},
    {"get_tensor", kw(m_get_tensor), METH_VARARGS | METH_KEYWORDS,
     "get_tensor($self, name)\n--\n\nReturn a fresh copy of an ecology or genetics tensor."},
    {"tensor_write", kw(m_tensor_write), METH_VARARGS | METH_KEYWORDS,
     "tensor_write($self, field, values)\n--\n\nReplace a whole ecology or genetics tensor."},
    {"refresh_params", kw(m_refresh_params), METH_VARARGS | METH_KEYWORDS,
     "refresh_params($self, fields, source)\n--\n\nPull the named fields from a Params object."},
    {"get_custom_slots", m_get_custom_slots, METH_NOARGS,
     "get_custom_slots($self)\n--\n\nReturn the custom slots as a dict."},
    {"set_custom_slots", kw(m_set_custom_slots), METH_VARARGS | METH_KEYWORDS,
     "set_custom_slots($self, values)\n--\n\nAtomically replace the custom slots."},
    {"drain_eco_journal", m_drain_eco_journal, METH_NOARGS,
     "drain_eco_journal($self)\n--\n\nReturn and clear the (tick, param_id, old, new) rows of committed "
     "parameter changes."},
    {"set_execution_flags", kw(m_set_execution_flags), METH_VARARGS | METH_KEYWORDS,
     "set_execution_flags($self, stochastic, continuous_sampling, fixed_egg_count, extreme_speed_mode)\n--\n\n"
     "Replace the execution switches."},
    {"reseed", kw(m_reseed), METH_VARARGS | METH_KEYWORDS,
     "reseed($self, seed)\n--\n\nRe-derive the random stream from a seed."},
    {"set_hook_program", kw(m_set_hook_program), METH_VARARGS | METH_KEYWORDS,
     "set_hook_program($self, program)\n--\n\nReplace the hook program."},
    {"clear_hook_program", m_clear_hook_program, METH_NOARGS,
     "clear_hook_program($self)\n--\n\nReplace the hook program by the empty program."},
    {"run", kw(m_run), METH_VARARGS | METH_KEYWORDS,
     "run($self, n_ticks, record_interval, observation_mask=None, checkpoint_every=0)\n--\n\n"
     "Advance up to n_ticks ticks, recording every record_interval-th tick; returns "
     "(final_tick, history, was_stopped)."},
    {"bind_history", kw(m_bind_history), METH_VARARGS | METH_KEYWORDS,
     "bind_history($self, history)\n--\n\nRecord into this HistoryStore from now on."},
    {"record_history", kw(m_record_history), METH_VARARGS | METH_KEYWORDS,
     "record_history($self, continuation)\n--\n\nRecord the current boundary into the bound history."},
    {"observe_current", kw(m_observe_current), METH_VARARGS | METH_KEYWORDS,
     "observe_current($self, mask, selected, collapse_age, aggregate)\n--\n\n"
     "Project the current counts; returns (tick, observation)."},
    {"snapshot_state", m_snapshot_state, METH_NOARGS,
     "snapshot_state($self)\n--\n\nReturn (tick, ind_flat, sperm_flat, rng_words, ecology)."},
    {"restore_state", kw(m_restore_state), METH_VARARGS | METH_KEYWORDS,
     "restore_state($self, tick, ind_flat, sperm_flat, rng_words, ecology)\n--\n\n"
     "Install a memory snapshot (all or nothing); returns the restored tick."},
    {"restore_from_checkpoint", kw(m_restore_from_checkpoint), METH_VARARGS | METH_KEYWORDS,
     "restore_from_checkpoint($self, tick)\n--\n\n"
     "Roll back to the checkpoint of exactly this tick; returns (tick, ecology) or None."},
    {"retain_checkpoints_from", kw(m_retain_checkpoints_from), METH_VARARGS | METH_KEYWORDS,
     "retain_checkpoints_from($self, from_tick)\n--\n\nDrop checkpoints before from_tick."},
    {"truncate_checkpoints", kw(m_truncate_checkpoints), METH_VARARGS | METH_KEYWORDS,
     "truncate_checkpoints($self, retain_until_tick)\n--\n\nDrop checkpoints after retain_until_tick."},
    {"clear_checkpoints", m_clear_checkpoints, METH_NOARGS, "clear_checkpoints($self)\n--\n\nDrop all checkpoints."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("EngineSession(blueprint, params, seed=0)\n--\n\n"
                                  "The stateful engine of one age-structured population.")},
    {Py_tp_new, reinterpret_cast<void*>(session_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(session_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr}};

PyType_Spec kSpec = {"qorin._engine_rs.EngineSession", sizeof(EngineSessionObject), 0, Py_TPFLAGS_DEFAULT,
                     kSlots};

}  // namespace

PyObject* engine_session_type() {
  static PyObject* type = nullptr;
  PyObject* t = cached_type(&type, &kSpec);
  Py_XINCREF(t);
  return t;
}

}  // namespace qorin::py
