#include "python/engine_session.hpp"

#include <utility>
#include <vector>

#include "core/sessions/age_structured.hpp"
#include "python/callback_host.hpp"
#include "python/class_support.hpp"
#include "python/guard.hpp"
#include "python/contracts.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/session_binding.hpp"

namespace qorin::py {

namespace {

AgeStructuredSession& core_of(PyObject* self) { return static_cast<AgeStructuredSession&>(session_core(self)); }

constexpr char kNewFormat[] = "OO|O:EngineSession";

PyObject* m_tick(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  static const char* kwlist[] = {"deme_id", nullptr};
  PyObject* deme_obj;
  if (!parse_args(args, kwargs, "O:tick", kwlist, &deme_obj)) return nullptr;
  uint64_t deme = 0;
  if (!to_u64(deme_obj, &deme)) return nullptr;
  AgeStructuredSession& s = core_of(self);
  PyCallbackHost host(s.blueprint());
  GilRelease held(false);  // callbacks run with the lock
  SignalMonitor monitor(held, nullptr);
  return stop_code_or_raise(s.tick(static_cast<size_t>(deme), &host, &monitor));
}

PyObject* run_stage(PyObject* self, int64_t stage_code) {
  QORIN_SESSION_MUT(self);
  return none_or_raise(core_of(self).run_stage(stage_code));
}
PyObject* m_reproduction(PyObject* self, PyObject*) { return run_stage(self, stage::kReproduction); }
PyObject* m_survival(PyObject* self, PyObject*) { return run_stage(self, stage::kSurvival); }
PyObject* m_aging(PyObject* self, PyObject*) { return run_stage(self, stage::kAging); }

PyObject* m_adult_counts(PyObject* self, PyObject*) {
  QORIN_SESSION_READ(self);
  const Totals t = core_of(self).adult_counts();
  return Py_BuildValue("(ddd)", t.total, t.female, t.male);
}

const std::vector<PyMethodDef>& methods() {
  static const std::vector<PyMethodDef> table = with_shared_methods({
      {"tick", QORIN_GUARDED(m_tick), METH_VARARGS | METH_KEYWORDS,
       "tick($self, deme_id)\n--\n\nRun one complete tick; returns 0 to continue or 1 when a hook requested a "
       "stop."},
      {"reproduction", QORIN_GUARDED(m_reproduction), METH_NOARGS,
       "reproduction($self)\n--\n\nRun the reproduction stage in place on the session-owned state."},
      {"survival", QORIN_GUARDED(m_survival), METH_NOARGS,
       "survival($self)\n--\n\nRun the survival stage in place on the session-owned state."},
      {"aging", QORIN_GUARDED(m_aging), METH_NOARGS, "aging($self)\n--\n\nRun the aging stage in place on the session-owned state."},
      {"adult_counts", QORIN_GUARDED(m_adult_counts), METH_NOARGS,
       "adult_counts($self)\n--\n\nReturn (total, female, male) counts over the adult ages."},
      {"run", QORIN_GUARDED(run_method<AgeStructuredSession>), METH_VARARGS | METH_KEYWORDS,
       "run($self, n_ticks, record_interval, observation_mask=None, checkpoint_every=0, *, progress=None)\n--\n\n"
       "Advance up to n_ticks ticks, recording every record_interval-th tick; returns "
       "(final_tick, history, was_stopped). progress(tick), when given, is called with the tick reached "
       "about every 50 ms; an exception it raises ends the run there (with partial_result set)."},
  }, StateLayout::WithSperm);
  return table;
}

}  // namespace

PyObject* engine_session_type() {
  static PyObject* type = nullptr;
  PyObject* t = session_class(&type, "qorin._engine_rs.EngineSession",
                        "EngineSession(blueprint, params, seed=0)\n--\n\n"
                        "The stateful engine of one age-structured population.",
                             QORIN_GUARDED_SLOT((single_population_new<AgeStructuredSession, kNewFormat>)), methods());
  Py_XINCREF(t);
  return t;
}

}  // namespace qorin::py
