#include "python/discrete_session.hpp"

#include <utility>
#include <vector>

#include "core/sessions/discrete_generation.hpp"
#include "python/class_support.hpp"
#include "python/guard.hpp"
#include "python/contracts.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/session_binding.hpp"

namespace qorin::py {

namespace {

DiscreteGenerationSession& core_of(PyObject* self) {
  return static_cast<DiscreteGenerationSession&>(session_core(self));
}

constexpr char kNewFormat[] = "OO|O:DiscreteEngineSession";

PyObject* run(PyObject* self, RunRequest request, bool wf, const RunHooks& hooks = {}) {
  DiscreteGenerationSession& s = core_of(self);
  return run_session(
      self, request,
      [&s, wf](const RunRequest& req, CallbackHost* host, RunMonitor* monitor) {
        return s.run(req, wf, host, monitor);
      },
      hooks);
}

PyObject* m_tick(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"wf", nullptr};
  PyObject* wf_obj;
  if (!parse_args(args, kwargs, "O:tick", kwlist, &wf_obj)) return nullptr;
  bool wf = false;
  if (!to_bool(wf_obj, &wf)) return nullptr;
  RunRequest request;
  request.n_ticks = 1;
  Ref result(run(self, request, wf));
  if (!result) return nullptr;
  // (final_tick, history, was_stopped) -> the stop code
  return PyLong_FromLong(PyTuple_GET_ITEM(result.get(), 2) == Py_True ? 1 : 0);
}

PyObject* m_run(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"n_ticks", "record_interval", "wf", "observation_mask", "checkpoint_every",
                                 "progress", nullptr};
  PyObject *n_obj, *interval_obj, *wf_obj, *mask_obj = Py_None, *every_obj = nullptr;
  RunHooks hooks;
  if (!parse_args(args, kwargs, "OOO|OO$O:run", kwlist, &n_obj, &interval_obj, &wf_obj, &mask_obj, &every_obj,
                  &hooks.progress))
    return nullptr;
  if (!callable_or_none(hooks.progress, "progress")) return nullptr;
  RunRequest request;
  std::vector<double> mask;
  bool wf = false;
  if (!run_request_from_python(n_obj, interval_obj, mask_obj, every_obj, &request, &mask) || !to_bool(wf_obj, &wf))
    return nullptr;
  return run(self, request, wf, hooks);
}

const std::vector<PyMethodDef>& methods() {
  static const std::vector<PyMethodDef> table = with_shared_methods({
      {"tick", QORIN_GUARDED(m_tick), METH_VARARGS | METH_KEYWORDS,
       "tick($self, wf)\n--\n\nRun one tick (a Wright-Fisher generation when wf is True, else a staged tick); "
       "returns 0 to continue or 1 when a hook requested a stop."},
      {"run", QORIN_GUARDED(m_run), METH_VARARGS | METH_KEYWORDS,
       "run($self, n_ticks, record_interval, wf, observation_mask=None, checkpoint_every=0, *, progress=None)\n--\n\n"
       "Advance up to n_ticks ticks, recording every record_interval-th tick; returns "
       "(final_tick, history, was_stopped). progress(tick), when given, is called with the tick reached "
       "about every 50 ms; an exception it raises ends the run there (with partial_result set)."},
  }, StateLayout::WithoutSperm);
  return table;
}

}  // namespace

PyObject* discrete_session_type() {
  static PyObject* type = nullptr;
  PyObject* t = session_class(&type, "qorin._engine_rs.DiscreteEngineSession",
                        "DiscreteEngineSession(blueprint, params, seed=0)\n--\n\n"
                        "The stateful engine of one population with discrete generations.",
                             QORIN_GUARDED_SLOT((single_population_new<DiscreteGenerationSession, kNewFormat>)), methods());
  Py_XINCREF(t);
  return t;
}

}  // namespace qorin::py
