// Test hooks for the hook program: reading, callback splicing, event execution
// on caller-supplied state, and the ecology write context's commit.
#include <string>
#include <vector>

#include "core/hooks/eco_ctx.hpp"
#include "core/hooks/interpreter.hpp"
#include "core/hooks/program.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/hooks.hpp"
#include "python/testing.hpp"
#include "python/guard.hpp"

namespace qorin::py::testing {

namespace {

PyObject* list_of(const std::vector<int64_t>& v) {
  PyObject* l = PyList_New(static_cast<Py_ssize_t>(v.size()));
  if (!l) return nullptr;
  for (size_t i = 0; i < v.size(); ++i) {
    PyObject* x = PyLong_FromLongLong(v[i]);
    if (!x) {
      Py_DECREF(l);
      return nullptr;
    }
    PyList_SET_ITEM(l, static_cast<Py_ssize_t>(i), x);
  }
  return l;
}

PyObject* list_of(const std::vector<double>& v) {
  PyObject* l = PyList_New(static_cast<Py_ssize_t>(v.size()));
  if (!l) return nullptr;
  for (size_t i = 0; i < v.size(); ++i) {
    PyObject* x = PyFloat_FromDouble(v[i]);
    if (!x) {
      Py_DECREF(l);
      return nullptr;
    }
    PyList_SET_ITEM(l, static_cast<Py_ssize_t>(i), x);
  }
  return l;
}

PyObject* list_of(const std::vector<bool>& v) {
  PyObject* l = PyList_New(static_cast<Py_ssize_t>(v.size()));
  if (!l) return nullptr;
  for (size_t i = 0; i < v.size(); ++i) {
    PyObject* x = PyBool_FromLong(v[i] ? 1 : 0);
    PyList_SET_ITEM(l, static_cast<Py_ssize_t>(i), x);
  }
  return l;
}

// Sets d[key] = value, stealing value; false on failure.
bool put(PyObject* d, const char* key, PyObject* value) {
  if (!value) return false;
  const int rc = PyDict_SetItemString(d, key, value);
  Py_DECREF(value);
  return rc == 0;
}

PyObject* program_dict(const HookProgram& p) {
  Ref d(PyDict_New());
  if (!d) return nullptr;
  PyObject* o = d.get();
  bool ok = put(o, "n_hooks", PyLong_FromLongLong(p.n_hooks)) && put(o, "n_events", PyLong_FromLongLong(p.n_events)) &&
            put(o, "has_set_param", PyBool_FromLong(p.has_set_param)) &&
            put(o, "has_callback_lists", PyBool_FromLong(p.has_callback_lists)) &&
            put(o, "hook_offsets", list_of(p.hook_offsets)) && put(o, "op_offsets", list_of(p.op_offsets)) &&
            put(o, "deme_selector_types", list_of(p.deme_selector_types)) &&
            put(o, "deme_selector_offsets", list_of(p.deme_selector_offsets)) &&
            put(o, "deme_selector_data", list_of(p.deme_selector_data)) &&
            put(o, "python_callback_slots", list_of(p.python_callback_slots)) &&
            put(o, "op_types_data", list_of(p.op_types_data)) && put(o, "params_data", list_of(p.params_data)) &&
            put(o, "sex_masks_data", list_of(p.sex_masks_data)) &&
            put(o, "age_offsets_data", list_of(p.age_offsets_data)) && put(o, "age_data", list_of(p.age_data)) &&
            put(o, "zidx_offsets_data", list_of(p.zidx_offsets_data)) && put(o, "zidx_data", list_of(p.zidx_data)) &&
            put(o, "condition_offsets_data", list_of(p.condition_offsets_data)) &&
            put(o, "condition_types_data", list_of(p.condition_types_data)) &&
            put(o, "condition_params_data", list_of(p.condition_params_data)) &&
            put(o, "sp_param_ids", list_of(p.sp_param_ids)) && put(o, "sp_every", list_of(p.sp_every)) &&
            put(o, "sp_start", list_of(p.sp_start)) && put(o, "rpn_offsets", list_of(p.rpn_offsets)) &&
            put(o, "rpn_kinds", list_of(p.rpn_kinds)) && put(o, "rpn_payload", list_of(p.rpn_payload)) &&
            put(o, "sp_literals", list_of(p.sp_literals)) &&
            put(o, "convert_offsets", list_of(p.convert_offsets)) &&
            put(o, "convert_source_coords", list_of(p.convert_source_coords)) &&
            put(o, "convert_target_coords", list_of(p.convert_target_coords)) &&
            put(o, "convert_source_z", list_of(p.convert_source_z)) &&
            put(o, "convert_target_z", list_of(p.convert_target_z)) &&
            put(o, "clear_offsets", list_of(p.clear_offsets)) && put(o, "clear_coords", list_of(p.clear_coords));
  if (!ok) return nullptr;
  std::vector<int64_t> counts;
  for (const CallbackList& l : p.callback_lists) counts.push_back(static_cast<int64_t>(l.size()));
  if (!put(o, "callback_counts", list_of(counts))) return nullptr;
  return d.release();
}

// A registered "callable" of the tests: it returns a fixed stop code.
struct CodeHandle : CallbackHandle {
  explicit CodeHandle(int32_t c) : code(c) {}
  int32_t code;
};

// Builds per-event lists of CodeHandles from a sequence of sequences of ints.
bool handles_from(PyObject* seq, std::vector<CallbackList>* out) {
  Ref outer(sequence_items(seq, "callbacks must be a sequence of sequences of ints"));
  if (!outer) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(outer.get());
  for (Py_ssize_t e = 0; e < n; ++e) {
    Ref inner(sequence_items(PyTuple_GET_ITEM(outer.get(), e), "callbacks must hold sequences of ints"));
    if (!inner) return false;
    CallbackList list;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(inner.get()); ++k) {
      long v = PyLong_AsLong(PyTuple_GET_ITEM(inner.get(), k));
      if (v == -1 && PyErr_Occurred()) return false;
      list.push_back(std::make_shared<CodeHandle>(static_cast<int32_t>(v)));
    }
    out->push_back(std::move(list));
  }
  return true;
}

// Records every callback call: (event, slot, staged scalars at the call).
struct RecordingHost : CallbackHost {
  std::vector<std::vector<double>> staged_seen;
  std::vector<std::pair<int64_t, int64_t>> calls;
  Result<int32_t> run(const CallbackCall& call) override {
    calls.emplace_back(call.event, call.slot);
    staged_seen.emplace_back(call.staged_scalars.begin(), call.staged_scalars.end());
    return static_cast<const CodeHandle*>(call.callable)->code;
  }
};

bool words_from(PyObject* seq, SessionRng* rng) {
  Ref fast(sequence_items(seq, "words must be a sequence of 4 integers"));
  if (!fast) return false;
  if (PyTuple_GET_SIZE(fast.get()) != 4) {
    PyErr_SetString(PyExc_ValueError, "words must contain 4 state words");
    return false;
  }
  uint64_t w[4];
  for (int i = 0; i < 4; ++i) {
    if (!to_u64(PyTuple_GET_ITEM(fast.get(), i), &w[i])) return false;
  }
  *rng = SessionRng{w[0], w[1], w[2], w[3]};
  return true;
}

PyObject* words_to(const SessionRng& r) {
  return Py_BuildValue("[KKKK]", static_cast<unsigned long long>(r.s0), static_cast<unsigned long long>(r.s1),
                       static_cast<unsigned long long>(r.s2), static_cast<unsigned long long>(r.s3));
}

bool mode_from(const char* name, bool* stochastic, bool* continuous) {
  const std::string m(name);
  if (m == "deterministic") {
    *stochastic = false;
    *continuous = false;
  } else if (m == "stochastic") {
    *stochastic = true;
    *continuous = false;
  } else if (m == "continuous") {
    *stochastic = true;
    *continuous = true;
  } else {
    PyErr_SetString(PyExc_ValueError, "mode must be deterministic, stochastic or continuous");
    return false;
  }
  return true;
}

bool floats_from(PyObject* seq, std::vector<double>* out) {
  Ref fast(sequence_items(seq, "expected a sequence of floats"));
  if (!fast) return false;
  out->clear();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fast.get()); ++i) {
    double v;
    if (!to_f64(PyTuple_GET_ITEM(fast.get(), i), &v)) return false;
    out->push_back(v);
  }
  return true;
}

// One-deme-per-entry ecology whose five bounded scalars are `values` in every
// one of `n_demes` demes.
EcologyParams tiny_ecology(const std::vector<double>& values, size_t n_demes) {
  EcologyParams e;
  e.n_demes = n_demes;
  for (size_t i = 0; i < kParamFields.size(); ++i) {
    e.real_column(kParamFields[i])->assign(n_demes, i < values.size() ? values[i] : 0.0);
  }
  return e;
}

PyObject* journal_list(const std::vector<JournalRow>& rows) {
  PyObject* l = PyList_New(static_cast<Py_ssize_t>(rows.size()));
  if (!l) return nullptr;
  for (size_t i = 0; i < rows.size(); ++i) {
    const JournalRow& r = rows[i];
    PyObject* t = Py_BuildValue("(LIddL)", static_cast<long long>(r.tick), static_cast<unsigned>(r.param_id),
                                r.old_value, r.new_value, static_cast<long long>(r.stage));
    if (!t) {
      Py_DECREF(l);
      return nullptr;
    }
    PyList_SET_ITEM(l, static_cast<Py_ssize_t>(i), t);
  }
  return l;
}

PyObject* hook_program_read(PyObject*, PyObject* obj) {
  HookProgram p;
  if (!hook_program_from_python(obj, &p)) return nullptr;
  return program_dict(p);
}

// hook_splice(program, callbacks) -> dict
PyObject* hook_splice(PyObject*, PyObject* args) {
  PyObject *obj, *cbs;
  if (!PyArg_ParseTuple(args, "OO:hook_splice", &obj, &cbs)) return nullptr;
  HookProgram p;
  if (!hook_program_from_python(obj, &p)) return nullptr;
  std::vector<CallbackList> lists;
  if (!handles_from(cbs, &lists)) return nullptr;
  Status st = p.install_callback_lists(std::move(lists));
  if (!st) return raise(st.error());
  return program_dict(p);
}

// hook_clear_callbacks(program, callbacks=None) -> dict
PyObject* hook_clear_callbacks(PyObject*, PyObject* args) {
  PyObject *obj, *cbs = Py_None;
  if (!PyArg_ParseTuple(args, "O|O:hook_clear_callbacks", &obj, &cbs)) return nullptr;
  HookProgram p;
  if (!hook_program_from_python(obj, &p)) return nullptr;
  if (cbs != Py_None) {
    std::vector<CallbackList> lists;
    if (!handles_from(cbs, &lists)) return nullptr;
    Status st = p.install_callback_lists(std::move(lists));
    if (!st) return raise(st.error());
  }
  p.clear_callbacks();
  return program_dict(p);
}

// run_event(program, event, ind, sperm, n_ages, n_ztypes, tick, deme=0, staged=None,
//           words=None, mode="deterministic", eco=None, callbacks=None, n_demes=None) -> dict
PyObject* run_event(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"program", "event", "ind", "sperm", "n_ages", "n_ztypes", "tick", "deme",
                                 "staged", "words", "mode", "eco", "callbacks", "n_demes",
                                 "keep_state_on_error", nullptr};
  PyObject *obj, *ind_obj, *sperm_obj, *staged_obj = Py_None, *words_obj = Py_None, *eco_obj = Py_None,
                                                   *cbs = Py_None;
  long long event, n_ages, n_ztypes, tick, deme = 0, n_demes = 0;
  int keep_state = 0;
  const char* mode = "deterministic";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OLOOLLL|LOOsOOLp:run_event", const_cast<char**>(kwlist), &obj,
                                   &event, &ind_obj, &sperm_obj, &n_ages, &n_ztypes, &tick, &deme, &staged_obj,
                                   &words_obj, &mode, &eco_obj, &cbs, &n_demes, &keep_state)) {
    return nullptr;
  }
  if (n_ages < 0 || n_ztypes < 0 || deme < 0 || n_demes < 0) {
    PyErr_SetString(PyExc_ValueError, "dimensions and deme must be nonnegative");
    return nullptr;
  }
  HookProgram p;
  if (!hook_program_from_python(obj, &p)) return nullptr;
  if (cbs != Py_None) {
    std::vector<CallbackList> lists;
    if (!handles_from(cbs, &lists)) return nullptr;
    Status st = p.install_callback_lists(std::move(lists));
    if (!st) return raise(st.error());
  }
  std::vector<double> ind, sperm, staged;
  if (!floats_from(ind_obj, &ind) || !floats_from(sperm_obj, &sperm)) return nullptr;
  if (staged_obj != Py_None && !floats_from(staged_obj, &staged)) return nullptr;
  SessionRng rng = new_rng(0);
  if (words_obj != Py_None && !words_from(words_obj, &rng)) return nullptr;
  EventInputs in;
  if (!mode_from(mode, &in.stochastic, &in.continuous_sampling)) return nullptr;
  in.n_ages = static_cast<size_t>(n_ages);
  in.n_ztypes = static_cast<size_t>(n_ztypes);
  in.tick = tick;
  in.deme = static_cast<size_t>(deme);

  EcologyParams ecology;
  GeneticsTensors genetics;
  EcoCtx ctx;
  EcoCtx* ctx_ptr = nullptr;
  if (eco_obj != Py_None) {
    std::vector<double> values;
    if (!floats_from(eco_obj, &values)) return nullptr;
    const size_t nd = n_demes > 0 ? static_cast<size_t>(n_demes) : static_cast<size_t>(deme) + 1;
    ecology = tiny_ecology(values, nd);
    ctx.ecology = &ecology;
    ctx.base_genetics = &genetics;
    ctx.deme = static_cast<size_t>(deme);
    ctx.tick = tick;
    ctx.stage = 2 * event;
    ctx_ptr = &ctx;
  }
  RecordingHost host;
  Result<int32_t> code = execute_event(p, rng, event, ind, sperm, in, staged, ctx_ptr, &host);
  if (!code && !keep_state) return raise(code.error());

  Ref d(PyDict_New());
  if (!d) return nullptr;
  PyObject* o = d.get();
  PyObject* calls = PyList_New(0);
  if (!calls) return nullptr;
  for (size_t k = 0; k < host.calls.size(); ++k) {
    PyObject* t = Py_BuildValue("(LLN)", static_cast<long long>(host.calls[k].first),
                                static_cast<long long>(host.calls[k].second), list_of(host.staged_seen[k]));
    if (!t || PyList_Append(calls, t) < 0) {
      Py_XDECREF(t);
      Py_DECREF(calls);
      return nullptr;
    }
    Py_DECREF(t);
  }
  std::vector<double> eco_now;
  if (ctx_ptr) eco_now = current_scalars(ecology, static_cast<size_t>(deme));
  bool ok = put(o, "ind", list_of(ind)) && put(o, "sperm", list_of(sperm)) && put(o, "staged", list_of(staged)) &&
            put(o, "words", words_to(rng)) &&
            put(o, "code", code ? PyLong_FromLong(*code) : Py_NewRef(Py_None)) &&
            put(o, "error", code ? Py_NewRef(Py_None) : PyUnicode_FromString(code.error().message.c_str())) &&
            put(o, "journal", journal_list(ctx.journal)) && put(o, "eco", list_of(eco_now)) &&
            put(o, "calls", calls);
  if (!ok) return nullptr;
  return d.release();
}

// eco_commit(current, staged, tick=0, stage=0, deme=0, n_demes=1) -> (journal, values)
PyObject* eco_commit(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"current", "staged", "tick", "stage", "deme", "n_demes", nullptr};
  PyObject *cur_obj, *staged_obj;
  long long tick = 0, stage_code = 0, deme = 0, n_demes = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|LLLL:eco_commit", const_cast<char**>(kwlist), &cur_obj,
                                   &staged_obj, &tick, &stage_code, &deme, &n_demes)) {
    return nullptr;
  }
  if (deme < 0 || n_demes < 1) {
    PyErr_SetString(PyExc_ValueError, "deme must be nonnegative and n_demes positive");
    return nullptr;
  }
  std::vector<double> cur, staged;
  if (!floats_from(cur_obj, &cur) || !floats_from(staged_obj, &staged)) return nullptr;
  EcologyParams ecology = tiny_ecology(cur, static_cast<size_t>(n_demes));
  GeneticsTensors genetics;
  EcoCtx ctx;
  ctx.ecology = &ecology;
  ctx.base_genetics = &genetics;
  ctx.tick = tick;
  ctx.stage = stage_code;
  ctx.deme = static_cast<size_t>(deme);
  Status st = ctx.commit(staged);
  if (!st) return raise(st.error());
  return Py_BuildValue("(NN)", journal_list(ctx.journal), list_of(current_scalars(ecology, ctx.deme)));
}

// convert_count(count, p, words, mode) -> (value, words)
PyObject* convert_count_py(PyObject*, PyObject* args) {
  double count, p;
  PyObject* words;
  const char* mode;
  if (!PyArg_ParseTuple(args, "ddOs:convert_count", &count, &p, &words, &mode)) return nullptr;
  SessionRng rng;
  bool stochastic, continuous;
  if (!words_from(words, &rng) || !mode_from(mode, &stochastic, &continuous)) return nullptr;
  Result<double> r = convert_count(count, p, rng, stochastic, continuous);
  if (!r) return raise(r.error());
  return Py_BuildValue("(dN)", *r, words_to(rng));
}

// stage_sources_missing() -> raises the error of a tick with neither context nor sources
PyObject* stage_sources_missing(PyObject*, PyObject*) {
  Result<StageView> v = stage_sources(nullptr, nullptr);
  if (!v) return raise(v.error());
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef kHookMethods[] = {
    {"hook_program_read", QORIN_GUARDED(hook_program_read), METH_O,
     "hook_program_read(program)\n--\n\nRead a hook program object; returns its columns as a dict."},
    {"hook_splice", QORIN_GUARDED(hook_splice), METH_VARARGS,
     "hook_splice(program, callbacks)\n--\n\nRead a program and install callback lists given as per-event "
     "lists of stop codes; returns the columns."},
    {"hook_clear_callbacks", QORIN_GUARDED(hook_clear_callbacks), METH_VARARGS,
     "hook_clear_callbacks(program, callbacks=None)\n--\n\nRead, optionally install callbacks, then clear them."},
    {"run_event", QORIN_GUARDED(run_event),
     METH_VARARGS | METH_KEYWORDS,
     "run_event(program, event, ind, sperm, n_ages, n_ztypes, tick, deme=0, staged=None, words=None, "
     "mode='deterministic', eco=None, callbacks=None, n_demes=0, keep_state_on_error=False)\n--\n\n"
     "Execute one event on copies of the given state. With keep_state_on_error a failure is reported under "
     "'error' together with the state as the failure left it."},
    {"eco_commit", QORIN_GUARDED(eco_commit),
     METH_VARARGS | METH_KEYWORDS,
     "eco_commit(current, staged, tick=0, stage=0, deme=0, n_demes=1)\n--\n\nCommit staged scalars into a "
     "tiny ecology; returns (journal, values)."},
    {"convert_count", QORIN_GUARDED(convert_count_py), METH_VARARGS,
     "convert_count(count, p, words, mode)\n--\n\nAffected individuals of a cell; returns (value, words)."},
    {"stage_sources_missing", QORIN_GUARDED(stage_sources_missing), METH_NOARGS,
     "stage_sources_missing()\n--\n\nStage sources without context or sources (raises)."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace qorin::py::testing
