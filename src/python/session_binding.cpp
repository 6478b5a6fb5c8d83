#include "python/session_binding.hpp"

#include <structmember.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/output/observation.hpp"
#include "python/callback_host.hpp"
#include "python/class_support.hpp"
#include "python/guard.hpp"
#include "python/contracts.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/history_store.hpp"
#include "python/hooks.hpp"
#include "python/rng_words.hpp"

namespace qorin::py {

// ---- object lifetime and the garbage collector ----

PyMemberDef kSessionMembers[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(SessionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

void session_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  SessionObject* o = session_object(self);
  if (o->weakrefs) PyObject_ClearWeakRefs(self);
  if (o->core) o->destroy(o->core);
  o->core = nullptr;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

int session_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  SessionObject* o = session_object(self);
  if (o->core) return visit_callbacks(o->core->program(), visit, arg);
  return 0;
}

int session_clear(PyObject* self) {
  SessionObject* o = session_object(self);
  if (o->core) clear_callback_refs(o->core->program());
  return 0;
}

PyObject* stop_code_or_raise(const Result<int32_t>& code) {
  if (!code) return raise(code.error());
  return PyLong_FromLong(*code);
}

namespace {

PyObject* totals_tuple(const Totals& t) { return Py_BuildValue("(ddd)", t.total, t.female, t.male); }

// ---- execution ----

PyObject* m_stop(PyObject* self, PyObject*) {
  QORIN_SESSION_MUT(self);
  session_core(self).stop();
  Py_RETURN_NONE;
}

PyObject* m_execution_state(PyObject* self, PyObject*) {
  QORIN_SESSION_READ(self);
  const SessionCore& s = session_core(self);
  return Py_BuildValue("(sK)", exec_state_name(s.state()), static_cast<unsigned long long>(s.phase_cursor()));
}

PyObject* m_current_tick(PyObject* self, PyObject*) {
  QORIN_SESSION_READ(self);
  return PyLong_FromLongLong(session_core(self).current_tick());
}

PyObject* m_counts(PyObject* self, PyObject*) {
  QORIN_SESSION_READ(self);
  return totals_tuple(single_population(self).counts());
}

PyObject* m_trigger_event(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"event", "deme_id", nullptr};
  PyObject *event_obj, *deme_obj = nullptr;
  if (!parse_args(args, kwargs, "O|O:trigger_event", kwlist, &event_obj, &deme_obj)) return nullptr;
  int64_t event_id = 0;
  uint64_t deme = 0;
  if (!to_i64(event_obj, &event_id)) return nullptr;
  if (deme_obj && !to_u64(deme_obj, &deme)) return nullptr;
  SinglePopulation& s = single_population(self);
  PyCallbackHost host(s.blueprint());
  return stop_code_or_raise(s.trigger_event(event_id, static_cast<size_t>(deme), &host));
}

// ---- parameters ----

PyObject* m_apply(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"writes", nullptr};
  PyObject* writes_obj;
  if (!parse_args(args, kwargs, "O:apply", kwlist, &writes_obj)) return nullptr;
  std::vector<std::pair<std::string, double>> writes;
  if (!to_named_f64_dict(writes_obj, "writes", &writes)) return nullptr;
  return none_or_raise(session_core(self).ecology().apply(writes));
}

PyObject* m_get_scalar(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_READ(self);
  static const char* kwlist[] = {"name", nullptr};
  PyObject* name_obj;
  if (!parse_args(args, kwargs, "O:get_scalar", kwlist, &name_obj)) return nullptr;
  std::string name;
  if (!str_arg(name_obj, "name", &name)) return nullptr;
  Result<double> v = session_core(self).ecology().get_scalar(name);
  if (!v) return raise(v.error());
  return PyFloat_FromDouble(*v);
}

PyObject* m_get_tensor(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_READ(self);
  static const char* kwlist[] = {"name", nullptr};
  PyObject* name_obj;
  if (!parse_args(args, kwargs, "O:get_tensor", kwlist, &name_obj)) return nullptr;
  std::string name;
  if (!str_arg(name_obj, "name", &name)) return nullptr;
  const SinglePopulation& s = single_population(self);
  Result<std::vector<double>> v = s.ecology().session_get_tensor(s.genetics(), name);
  if (!v) return raise(v.error());
  return new_f64_array(v->data(), v->size());
}

PyObject* m_tensor_write(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"field", "values", nullptr};
  PyObject *field_obj, *values_obj;
  if (!parse_args(args, kwargs, "OO:tensor_write", kwlist, &field_obj, &values_obj)) return nullptr;
  std::string field;
  std::vector<double> values;
  if (!str_arg(field_obj, "field", &field) || !to_f64_sequence(values_obj, "values", &values)) return nullptr;
  SinglePopulation& s = single_population(self);
  if (GeneticsTensors::is_genetics_tensor(field)) {
    return none_or_raise(s.genetics().tensor_write(s.blueprint(), field, values));
  }
  return none_or_raise(s.ecology().tensor_write(s.blueprint().n_ages, field, values));
}

PyObject* m_refresh_params(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"fields", "source", nullptr};
  PyObject *fields_obj, *source;
  if (!parse_args(args, kwargs, "OO:refresh_params", kwlist, &fields_obj, &source)) return nullptr;
  std::vector<std::string> fields;
  if (!to_string_vec(fields_obj, &fields)) return nullptr;
  SinglePopulation& s = single_population(self);
  PyFieldSource src(source);
  return none_or_raise(s.ecology().pull_fields(s.blueprint(), 0, fields, src, &s.genetics()));
}

PyObject* m_get_custom_slots(PyObject* self, PyObject*) {
  QORIN_SESSION_READ(self);
  const EcologyParams& e = session_core(self).ecology();
  if (e.custom_slots.empty()) return PyDict_New();
  return custom_slots_to_python(e.custom_slots[0]);
}

PyObject* m_set_custom_slots(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"values", nullptr};
  PyObject* values;
  if (!parse_args(args, kwargs, "O:set_custom_slots", kwlist, &values)) return nullptr;
  CustomSlotMap slots;
  if (!custom_slots_from_python(values, &slots)) return nullptr;
  EcologyParams& e = session_core(self).ecology();
  if (e.custom_slots.empty()) e.custom_slots.resize(1);
  e.custom_slots[0] = std::move(slots);
  Py_RETURN_NONE;
}

PyObject* m_drain_eco_journal(PyObject* self, PyObject*) {
  QORIN_SESSION_MUT(self);
  SessionCore& s = session_core(self);
  std::vector<JournalRow> rows = s.drain_journal();
  Ref list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) {
    s.journal() = std::move(rows);  // keep the rows when the list cannot be built
    return nullptr;
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    const JournalRow& r = rows[i];
    PyObject* t = Py_BuildValue("(LIdd)", static_cast<long long>(r.tick), static_cast<unsigned>(r.param_id),
                                r.old_value, r.new_value);
    if (!t) {
      s.journal() = std::move(rows);
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
  }
  return list.release();
}

PyObject* m_set_execution_flags(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"stochastic", "continuous_sampling", "fixed_egg_count",
                                 "extreme_speed_mode", nullptr};
  PyObject *st_obj, *cs_obj, *fe_obj, *esm_obj;
  if (!parse_args(args, kwargs, "OOOO:set_execution_flags", kwlist, &st_obj, &cs_obj, &fe_obj, &esm_obj))
    return nullptr;
  bool st, cs, fe;
  int64_t esm;
  if (!to_bool(st_obj, &st) || !to_bool(cs_obj, &cs) || !to_bool(fe_obj, &fe) || !to_i64(esm_obj, &esm))
    return nullptr;
  return none_or_raise(session_core(self).set_execution_flags(st, cs, fe, esm));
}

PyObject* m_reseed(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"seed", nullptr};
  PyObject* seed_obj;
  if (!parse_args(args, kwargs, "O:reseed", kwlist, &seed_obj)) return nullptr;
  uint64_t seed;
  if (!to_u64(seed_obj, &seed)) return nullptr;
  session_core(self).reseed(seed);
  Py_RETURN_NONE;
}

// ---- hooks and callbacks ----

PyObject* m_set_hook_program(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"program", nullptr};
  PyObject* program_obj;
  if (!parse_args(args, kwargs, "O:set_hook_program", kwlist, &program_obj)) return nullptr;
  HookProgram program;
  if (!hook_program_from_python(program_obj, &program)) return nullptr;
  session_core(self).set_program(std::move(program));
  Py_RETURN_NONE;
}

PyObject* m_clear_hook_program(PyObject* self, PyObject*) {
  QORIN_SESSION_MUT(self);
  session_core(self).set_program(HookProgram::empty());
  Py_RETURN_NONE;
}

PyObject* m_set_python_callbacks(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"first", "early", "late", "finish", nullptr};
  PyObject *first, *early, *late, *finish = Py_None;
  if (!parse_args(args, kwargs, "OOO|O:set_python_callbacks", kwlist, &first, &early, &late, &finish))
    return nullptr;
  std::vector<CallbackList> lists;
  if (!callback_lists_from_python(first, early, late, finish, &lists)) return nullptr;
  return none_or_raise(session_core(self).program().install_callback_lists(std::move(lists)));
}

PyObject* m_clear_python_callbacks(PyObject* self, PyObject*) {
  QORIN_SESSION_MUT(self);
  session_core(self).program().clear_callbacks();
  Py_RETURN_NONE;
}

// ---- recording ----

PyObject* m_bind_history(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"history", nullptr};
  PyObject* history_obj;
  if (!parse_args(args, kwargs, "O:bind_history", kwlist, &history_obj)) return nullptr;
  SharedHistory history;
  if (!history_store_storage(history_obj, "history", &history)) return nullptr;
  session_core(self).bind_history(std::move(history));
  Py_RETURN_NONE;
}

PyObject* m_record_history(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"continuation", nullptr};
  PyObject* cont_obj;
  if (!parse_args(args, kwargs, "O:record_history", kwlist, &cont_obj)) return nullptr;
  bool continuation = false;
  if (!to_bool(cont_obj, &continuation)) return nullptr;
  return none_or_raise(session_core(self).record_history(continuation));
}

PyObject* m_observe_current(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_READ(self);
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
  const SessionCore& s = session_core(self);
  const Blueprint& bp = s.blueprint();
  Result<std::vector<double>> out = project(s.individual_count(), mask, {1, bp.n_sexes, bp.n_ages, bp.n_ztypes},
                                            selected, collapse_age, aggregate);
  if (!out) return raise(out.error());
  Ref arr(new_f64_array(out->data(), out->size()));
  if (!arr) return nullptr;
  return Py_BuildValue("(LO)", static_cast<long long>(s.current_tick()), arr.get());
}

// ---- checkpoints ----

PyObject* m_restore_from_checkpoint(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"tick", nullptr};
  PyObject* tick_obj;
  if (!parse_args(args, kwargs, "O:restore_from_checkpoint", kwlist, &tick_obj)) return nullptr;
  int64_t tick = 0;
  if (!to_i64(tick_obj, &tick)) return nullptr;
  SessionCore& s = session_core(self);
  Result<bool> found = s.restore_from_checkpoint(tick);
  if (!found) return raise(found.error());
  if (!*found) Py_RETURN_NONE;
  Ref eco(ecology_snapshot(s.ecology()));
  if (!eco) return nullptr;
  return Py_BuildValue("(LO)", static_cast<long long>(s.current_tick()), eco.get());
}

PyObject* prune(PyObject* self, PyObject* args, PyObject* kwargs, const char* format, const char* name,
                void (CheckpointStore::*op)(int64_t)) {
  QORIN_SESSION_MUT(self);
  const char* kwlist[] = {name, nullptr};
  PyObject* tick_obj;
  if (!parse_args(args, kwargs, format, kwlist, &tick_obj)) return nullptr;
  int64_t tick = 0;
  if (!to_i64(tick_obj, &tick)) return nullptr;
  (session_core(self).checkpoints().*op)(tick);
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
  QORIN_SESSION_MUT(self);
  session_core(self).checkpoints().clear();
  Py_RETURN_NONE;
}

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

// ---- state methods of both layouts ----

template <bool kSperm>
PyObject* m_set_state(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  std::vector<double> ind, sperm;
  int64_t tick = 0;
  if constexpr (kSperm) {
    static const char* kwlist[] = {"ind_flat", "sperm_flat", "tick", nullptr};
    PyObject *ind_obj, *sperm_obj, *tick_obj;
    if (!parse_args(args, kwargs, "OOO:set_state", kwlist, &ind_obj, &sperm_obj, &tick_obj)) return nullptr;
    if (!to_f64_sequence(ind_obj, "ind_flat", &ind) || !to_f64_sequence(sperm_obj, "sperm_flat", &sperm) ||
        !to_i64(tick_obj, &tick))
      return nullptr;
  } else {
    static const char* kwlist[] = {"ind_flat", "tick", nullptr};
    PyObject *ind_obj, *tick_obj;
    if (!parse_args(args, kwargs, "OO:set_state", kwlist, &ind_obj, &tick_obj)) return nullptr;
    if (!to_f64_sequence(ind_obj, "ind_flat", &ind) || !to_i64(tick_obj, &tick)) return nullptr;
  }
  return none_or_raise(single_population(self).set_state(ind, sperm, tick));
}

template <bool kSperm>
PyObject* m_state_snapshot(PyObject* self, PyObject*) {
  QORIN_SESSION_READ(self);
  const SessionCore& s = session_core(self);
  Ref ind(new_f64_array(s.individual_count().data(), s.individual_count().size()));
  if (!ind) return nullptr;
  if constexpr (!kSperm) return Py_BuildValue("(LO)", static_cast<long long>(s.current_tick()), ind.get());
  Ref sperm(new_f64_array(s.sperm_storage().data(), s.sperm_storage().size()));
  if (!sperm) return nullptr;
  return Py_BuildValue("(LOO)", static_cast<long long>(s.current_tick()), ind.get(), sperm.get());
}

template <bool kSperm>
PyObject* m_snapshot_state(PyObject* self, PyObject*) {
  QORIN_SESSION_READ(self);
  const SinglePopulation& s = single_population(self);
  Ref ind(new_f64_array(s.individual_count().data(), s.individual_count().size()));
  Ref sperm(new_f64_array(s.sperm_storage().data(), s.sperm_storage().size()));
  Ref words(rng_words_list(s.rng()));
  Ref eco(ecology_snapshot(s.ecology()));
  if (!ind || !sperm || !words || !eco) return nullptr;
  if constexpr (!kSperm) {
    return Py_BuildValue("(LOOO)", static_cast<long long>(s.current_tick()), ind.get(), words.get(), eco.get());
  }
  return Py_BuildValue("(LOOOO)", static_cast<long long>(s.current_tick()), ind.get(), sperm.get(), words.get(),
                       eco.get());
}

template <bool kSperm>
PyObject* m_restore_state(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  PyObject *tick_obj, *ind_obj, *sperm_obj = nullptr, *words_obj, *eco_obj;
  if constexpr (kSperm) {
    static const char* kwlist[] = {"tick", "ind_flat", "sperm_flat", "rng_words", "ecology", nullptr};
    if (!parse_args(args, kwargs, "OOOOO:restore_state", kwlist, &tick_obj, &ind_obj, &sperm_obj, &words_obj,
                    &eco_obj))
      return nullptr;
  } else {
    static const char* kwlist[] = {"tick", "ind_flat", "rng_words", "ecology", nullptr};
    if (!parse_args(args, kwargs, "OOOO:restore_state", kwlist, &tick_obj, &ind_obj, &words_obj, &eco_obj))
      return nullptr;
  }
  int64_t tick = 0;
  if (!to_i64(tick_obj, &tick)) return nullptr;
  SessionRng rng;
  if (!rng_from_words(words_obj, &rng)) return nullptr;
  std::vector<double> ind, sperm;
  if (!restore_array(ind_obj, &ind)) return nullptr;
  if (sperm_obj && !restore_array(sperm_obj, &sperm)) return nullptr;
  SinglePopulation& s = single_population(self);
  if constexpr (!kSperm) {
    // A session without sperm storage restores one array: its message names one.
    if (ind.size() != s.individual_count().size()) {
      return raise(Error::value("checkpoint array does not match the live state size"));
    }
  }
  if (Status ok = s.check_restorable(ind, sperm, tick); !ok) return raise(ok.error());
  EcologyParams restored = s.ecology();
  if (!restore_ecology(&restored, s.blueprint().n_ages, eco_obj)) return nullptr;
  s.install(ind, sperm, tick, rng_from_saved_words({rng.s0, rng.s1, rng.s2, rng.s3}), std::move(restored));
  return PyLong_FromLongLong(tick);
}



const PyMethodDef kStateWithSperm[] = {
    {"set_state", QORIN_GUARDED(m_set_state<true>), METH_VARARGS | METH_KEYWORDS,
     "set_state($self, ind_flat, sperm_flat, tick)\n--\n\nInstall a full live state."},
    {"state_snapshot", QORIN_GUARDED(m_state_snapshot<true>), METH_NOARGS,
     "state_snapshot($self)\n--\n\nReturn (tick, ind_flat, sperm_flat) as fresh copies."},
    {"snapshot_state", QORIN_GUARDED(m_snapshot_state<true>), METH_NOARGS,
     "snapshot_state($self)\n--\n\nReturn (tick, ind_flat, sperm_flat, rng_words, ecology)."},
    {"restore_state", QORIN_GUARDED(m_restore_state<true>), METH_VARARGS | METH_KEYWORDS,
     "restore_state($self, tick, ind_flat, sperm_flat, rng_words, ecology)\n--\n\n"
     "Install a memory snapshot (all or nothing); returns the restored tick."},
};

const PyMethodDef kStateWithoutSperm[] = {
    {"set_state", QORIN_GUARDED(m_set_state<false>), METH_VARARGS | METH_KEYWORDS,
     "set_state($self, ind_flat, tick)\n--\n\nInstall a full live state."},
    {"state_snapshot", QORIN_GUARDED(m_state_snapshot<false>), METH_NOARGS,
     "state_snapshot($self)\n--\n\nReturn (tick, ind_flat) as a fresh copy."},
    {"snapshot_state", QORIN_GUARDED(m_snapshot_state<false>), METH_NOARGS,
     "snapshot_state($self)\n--\n\nReturn (tick, ind_flat, rng_words, ecology)."},
    {"restore_state", QORIN_GUARDED(m_restore_state<false>), METH_VARARGS | METH_KEYWORDS,
     "restore_state($self, tick, ind_flat, rng_words, ecology)\n--\n\n"
     "Install a memory snapshot (all or nothing); returns the restored tick."},
};

const PyMethodDef kEverySession[] = {
    {"stop", QORIN_GUARDED(m_stop), METH_NOARGS, "stop($self)\n--\n\nMark the session as Stopped."},
    {"execution_state", QORIN_GUARDED(m_execution_state), METH_NOARGS,
     "execution_state($self)\n--\n\nReturn (state name, phase cursor)."},
    {"current_tick", QORIN_GUARDED(m_current_tick), METH_NOARGS, "current_tick($self)\n--\n\nReturn the current tick."},
    {"set_hook_program", QORIN_GUARDED(m_set_hook_program), METH_VARARGS | METH_KEYWORDS,
     "set_hook_program($self, program)\n--\n\nReplace the hook program."},
    {"clear_hook_program", QORIN_GUARDED(m_clear_hook_program), METH_NOARGS,
     "clear_hook_program($self)\n--\n\nReplace the hook program by the empty program."},
    {"set_python_callbacks", QORIN_GUARDED(m_set_python_callbacks), METH_VARARGS | METH_KEYWORDS,
     "set_python_callbacks($self, first, early, late, finish=None)\n--\n\n"
     "Register Python callables per event (sequences of callables; finish None means none). A callable is "
     "called as callable(ind, sperm, tick, deme_id) and returns a stop code, or, when its attribute "
     "__qorin_transaction__ is True, as callable(None, None, tick, deme_id, transaction)."},
    {"clear_python_callbacks", QORIN_GUARDED(m_clear_python_callbacks), METH_NOARGS,
     "clear_python_callbacks($self)\n--\n\nRemove the registered Python callables."},
    {"bind_history", QORIN_GUARDED(m_bind_history), METH_VARARGS | METH_KEYWORDS,
     "bind_history($self, history)\n--\n\nRecord into this HistoryStore from now on."},
};

const PyMethodDef kSinglePopulation[] = {
    {"counts", QORIN_GUARDED(m_counts), METH_NOARGS, "counts($self)\n--\n\nReturn (total, female, male) population counts."},
    {"trigger_event", QORIN_GUARDED(m_trigger_event), METH_VARARGS | METH_KEYWORDS,
     "trigger_event($self, event, deme_id=0)\n--\n\nExecute one hook event (0 first, 1 early, 2 late, 3 finish) "
     "on the session-owned state; returns 0 or 1."},
    {"apply", QORIN_GUARDED(m_apply), METH_VARARGS | METH_KEYWORDS,
     "apply($self, writes)\n--\n\nAtomically write ecology scalars from a dict of name to value."},
    {"get_scalar", QORIN_GUARDED(m_get_scalar), METH_VARARGS | METH_KEYWORDS,
     "get_scalar($self, name)\n--\n\nReturn one ecology scalar."},
    {"get_tensor", QORIN_GUARDED(m_get_tensor), METH_VARARGS | METH_KEYWORDS,
     "get_tensor($self, name)\n--\n\nReturn a fresh copy of an ecology or genetics tensor."},
    {"tensor_write", QORIN_GUARDED(m_tensor_write), METH_VARARGS | METH_KEYWORDS,
     "tensor_write($self, field, values)\n--\n\nReplace a whole ecology or genetics tensor."},
    {"refresh_params", QORIN_GUARDED(m_refresh_params), METH_VARARGS | METH_KEYWORDS,
     "refresh_params($self, fields, source)\n--\n\nPull the named fields from a Params object."},
    {"get_custom_slots", QORIN_GUARDED(m_get_custom_slots), METH_NOARGS,
     "get_custom_slots($self)\n--\n\nReturn the custom slots as a dict."},
    {"set_custom_slots", QORIN_GUARDED(m_set_custom_slots), METH_VARARGS | METH_KEYWORDS,
     "set_custom_slots($self, values)\n--\n\nAtomically replace the custom slots."},
    {"drain_eco_journal", QORIN_GUARDED(m_drain_eco_journal), METH_NOARGS,
     "drain_eco_journal($self)\n--\n\nReturn and clear the (tick, param_id, old, new) rows of committed "
     "parameter changes."},
    {"set_execution_flags", QORIN_GUARDED(m_set_execution_flags), METH_VARARGS | METH_KEYWORDS,
     "set_execution_flags($self, stochastic, continuous_sampling, fixed_egg_count, extreme_speed_mode)\n--\n\n"
     "Replace the execution switches."},
    {"reseed", QORIN_GUARDED(m_reseed), METH_VARARGS | METH_KEYWORDS,
     "reseed($self, seed)\n--\n\nRe-derive the random stream from a seed."},
    {"record_history", QORIN_GUARDED(m_record_history), METH_VARARGS | METH_KEYWORDS,
     "record_history($self, continuation)\n--\n\nRecord the current boundary into the bound history."},
    {"observe_current", QORIN_GUARDED(m_observe_current), METH_VARARGS | METH_KEYWORDS,
     "observe_current($self, mask, selected, collapse_age, aggregate)\n--\n\n"
     "Project the current counts; returns (tick, observation)."},
    {"restore_from_checkpoint", QORIN_GUARDED(m_restore_from_checkpoint), METH_VARARGS | METH_KEYWORDS,
     "restore_from_checkpoint($self, tick)\n--\n\n"
     "Roll back to the checkpoint of exactly this tick; returns (tick, ecology) or None."},
    {"retain_checkpoints_from", QORIN_GUARDED(m_retain_checkpoints_from), METH_VARARGS | METH_KEYWORDS,
     "retain_checkpoints_from($self, from_tick)\n--\n\nDrop checkpoints before from_tick."},
    {"truncate_checkpoints", QORIN_GUARDED(m_truncate_checkpoints), METH_VARARGS | METH_KEYWORDS,
     "truncate_checkpoints($self, retain_until_tick)\n--\n\nDrop checkpoints after retain_until_tick."},
    {"clear_checkpoints", QORIN_GUARDED(m_clear_checkpoints), METH_NOARGS, "clear_checkpoints($self)\n--\n\nDrop all checkpoints."},
};

// ---- the run driver ----

// The array a private raw history is recorded into, sized for every row the
// run may record.
bool allocate_rows(const SessionCore& s, const RunRequest& req, Ref* out) {
  const uint64_t rows = planned_rows(s.current_tick(), req.n_ticks, req.record_interval);
  const uint64_t width = s.raw_row_width();
  uint64_t values = 0, bytes = 0;
  if (__builtin_mul_overflow(rows, width, &values) || __builtin_mul_overflow(values, 8, &bytes) ||
      bytes > static_cast<uint64_t>(NPY_MAX_INTP)) {
    raise(private_history_too_large(rows, width));
    return false;
  }
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(width)};
  PyObject* arr = PyArray_SimpleNew(2, dims, NPY_DOUBLE);
  if (!arr) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
      PyErr_Clear();
      raise(private_history_too_large(rows, width));
    }
    return false;
  }
  *out = Ref(arr);
  return true;
}

// Cuts the recorded rows array down to the rows actually written.
bool shrink_rows(Ref& rows, size_t n_rows, size_t width) {
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(rows.get());
  if (static_cast<size_t>(PyArray_DIM(a, 0)) == n_rows) return true;
  npy_intp dims[2] = {static_cast<npy_intp>(n_rows), static_cast<npy_intp>(width)};
  PyArray_Dims shape = {dims, 2};
  Ref resized(PyArray_Resize(a, &shape, 0, NPY_CORDER));
  return static_cast<bool>(resized);
}

// Attaches the completed part of an interrupted run to the pending exception.
void attach_partial_result(PyObject* result) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value && PyObject_SetAttrString(value, "partial_result", result) < 0) PyErr_Clear();
  PyErr_Restore(type, value, tb);
}

}  // namespace

Status SignalMonitor::poll(int64_t tick) {
  return gil_.with_gil([&]() -> Status {
    if (PyErr_CheckSignals() < 0) return stash_python_error();
    if (progress_) {
      Ref done(PyObject_CallFunction(progress_, "L", static_cast<long long>(tick)));
      if (!done) return stash_python_error();
    }
    return Status::ok();
  });
}

Status SignalMonitor::interrupt_requested() {
  return gil_.with_gil([&]() -> Status { return PyErr_CheckSignals() < 0 ? stash_python_error() : Status::ok(); });
}

bool SignalMonitor::is_interrupt(const Error& e) {
  if (e.kind != ErrorKind::CallbackPending) return false;
  return gil_.with_gil([&] { return pending_callback_exception().is(PyExc_KeyboardInterrupt); });
}

bool read_session_arguments(PyObject* args, PyObject* kwargs, const char* format, Blueprint* bp,
                            EcologyParams* eco, GeneticsTensors* gen, uint64_t* seed) {
  static const char* kwlist[] = {"blueprint", "params", "seed", nullptr};
  PyObject *bp_obj, *params_obj, *seed_obj = nullptr;
  if (!parse_args(args, kwargs, format, kwlist, &bp_obj, &params_obj, &seed_obj)) return false;
  if (seed_obj && !to_u64(seed_obj, seed)) return false;
  return model_from_python(bp_obj, params_obj, bp, eco, gen);
}

PyObject* session_class(PyObject** cache, const char* name, const char* doc, void* tp_new,
                        const std::vector<PyMethodDef>& methods) {
  if (*cache) return *cache;
  PyType_Slot slots[] = {{Py_tp_doc, const_cast<char*>(doc)},
                         {Py_tp_new, tp_new},
                         {Py_tp_dealloc, reinterpret_cast<void*>(session_dealloc)},
                         {Py_tp_traverse, reinterpret_cast<void*>(session_traverse)},
                         {Py_tp_clear, reinterpret_cast<void*>(session_clear)},
                         {Py_tp_members, kSessionMembers},
                         {Py_tp_methods, const_cast<PyMethodDef*>(methods.data())},
                         {0, nullptr}};
  PyType_Spec type_spec = {name, sizeof(SessionObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
  return cached_type(cache, &type_spec);
}

std::vector<PyMethodDef> with_shared_methods(std::initializer_list<PyMethodDef> own, StateLayout layout) {
  std::vector<PyMethodDef> methods(own);
  methods.insert(methods.end(), std::begin(kEverySession), std::end(kEverySession));
  if (layout != StateLayout::Spatial) {
    methods.insert(methods.end(), std::begin(kSinglePopulation), std::end(kSinglePopulation));
    if (layout == StateLayout::WithSperm) {
      methods.insert(methods.end(), std::begin(kStateWithSperm), std::end(kStateWithSperm));
    } else {
      methods.insert(methods.end(), std::begin(kStateWithoutSperm), std::end(kStateWithoutSperm));
    }
  }
  methods.push_back({nullptr, nullptr, 0, nullptr});
  return methods;
}

bool run_request_from_python(PyObject* n_obj, PyObject* interval_obj, PyObject* mask_obj, PyObject* every_obj,
                             RunRequest* out, std::vector<double>* mask_storage) {
  int64_t n_ticks = 0, interval = 0, every = 0;
  if (!to_i64(n_obj, &n_ticks) || !to_i64(interval_obj, &interval)) return false;
  if (every_obj && !to_i64(every_obj, &every)) return false;
  const bool has_mask = mask_obj && mask_obj != Py_None;
  if (has_mask) {
    if (!PyArray_Check(mask_obj) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(mask_obj)) != 4) {
      PyErr_SetString(PyExc_TypeError,
                      "argument 'observation_mask': expected None or a four-dimensional float64 array");
      return false;
    }
    if (!to_f64_vec(mask_obj, mask_storage)) return false;
  }
  out->n_ticks = n_ticks;
  out->record_interval = interval;
  out->checkpoint_every = every;
  out->observation_mask = has_mask ? mask_storage : nullptr;
  return true;
}

namespace {

// An optional callable argument: null for None or absent.
PyObject* given(PyObject* obj) { return obj && obj != Py_None ? obj : nullptr; }

// Runs `call` with the interpreter lock released when no Python callback is
// installed (other threads run while this session ticks; its borrow flag
// keeps them out of it), checking for Ctrl-C between ticks.
Result<RunResult> drive(SessionCore& s, RunRequest request, RunCall call, const RunHooks& hooks) {
  const bool callbacks = s.has_callbacks();
  PyCallbackHost host(s.blueprint());
  Result<RunResult> r = Error::runtime("run did not start");
  GilRelease gil(!callbacks);
  SignalMonitor monitor(gil, given(hooks.progress));
  std::optional<PyBoundaryWriter> writer;
  if (given(hooks.at_boundary) && hooks.apply_boundary_values) {
    writer.emplace(hooks.at_boundary, *hooks.apply_boundary_values, &gil);
    request.at_boundary = &*writer;
  }
  try {
    r = call(request, callbacks ? &host : nullptr, &monitor);
  } catch (const std::bad_alloc&) {
    r = Error::memory("out of memory");
  }
  return r;
}

// Returns `result`, or raises the run's interruption with `result` attached.
PyObject* finish(Ref result, const RunResult& r) {
  if (!result) return nullptr;
  if (r.interruption) {
    raise(*r.interruption);
    attach_partial_result(result.get());
    return nullptr;
  }
  return result.release();
}

}  // namespace

PyObject* run_session(PyObject* self, RunRequest request, RunCall call, const RunHooks& hooks) {
  SessionCore& s = session_core(self);
  // A private raw history goes straight into the array the caller receives.
  Ref rows;
  const bool private_raw = !s.bound_history() && request.observation_mask == nullptr;
  if (private_raw && s.state() == ExecState::Ready) {
    if (!allocate_rows(s, request, &rows)) return nullptr;
    request.row_buffer = std::span<double>(
        static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(rows.get()))),
        static_cast<size_t>(PyArray_SIZE(reinterpret_cast<PyArrayObject*>(rows.get()))));
  }
  Result<RunResult> r = drive(s, request, call, hooks);
  if (!r) return raise(r.error());
  if (private_raw && rows) {
    if (!shrink_rows(rows, r->n_rows, r->width)) return nullptr;
  } else {
    npy_intp n = static_cast<npy_intp>(r->n_rows), w = static_cast<npy_intp>(r->width);
    rows = Ref(new_f64_array(r->rows.data(), std::vector<npy_intp>{n, w}));
    if (!rows) return nullptr;
  }
  return finish(Ref(Py_BuildValue("(LOO)", static_cast<long long>(r->final_tick), rows.get(),
                                  r->stopped ? Py_True : Py_False)),
                *r);
}

PyObject* run_session_without_rows(PyObject* self, RunRequest request, RunCall call, const RunHooks& hooks) {
  Result<RunResult> r = drive(session_core(self), request, call, hooks);
  if (!r) return raise(r.error());
  return finish(Ref(Py_BuildValue("(LO)", static_cast<long long>(r->final_tick), r->stopped ? Py_True : Py_False)),
                *r);
}

bool callable_or_none(PyObject* obj, const char* what) {
  if (!obj || obj == Py_None || PyCallable_Check(obj)) return true;
  PyErr_Format(PyExc_TypeError, "%s must be None or a callable, got %.100s", what, Py_TYPE(obj)->tp_name);
  return false;
}

Status PyBoundaryWriter::write(int64_t tick, EcoCtx& ctx) {
  auto call = [&]() -> Status {
    Ref returned(PyObject_CallFunction(callable_, "L", static_cast<long long>(tick)));
    if (!returned) return stash_python_error();
    Status applied = apply_(tick, returned.get(), ctx);
    if (!applied && PyErr_Occurred()) return stash_python_error();
    return applied;
  };
  return gil_ ? gil_->with_gil(call) : call();
}

}  // namespace qorin::py
