// Test hooks for the spatial session's run: a monitor that asks a tick to
// stop at a chosen check, so that undoing a tick is tested without timing.
#include <chrono>
#include <optional>
#include <string>

#include "core/sessions/spatial.hpp"
#include "python/callback_host.hpp"
#include "python/class_support.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/session_binding.hpp"
#include "python/spatial_session.hpp"
#include "python/testing.hpp"

namespace qorin::py::testing {

namespace {

// Answers every check inside a tick with "go on" until the stop-th, which
// asks the tick to stop; the checks between ticks always go on.
class StopAtCheck final : public RunMonitor {
 public:
  explicit StopAtCheck(int64_t stop) : stop_(stop) {}
  Status poll(int64_t) override { return Status::ok(); }
  Status interrupt_requested() override {
    if (++checks_ == stop_) return Error::value("stopped by the test at check " + std::to_string(stop_));
    return Status::ok();
  }
  int64_t checks() const { return checks_; }

 private:
  int64_t stop_;
  int64_t checks_ = 0;
};

// The spatial session of this module that `self` is, or nullptr with TypeError.
SpatialSession* spatial_of(PyObject* self) {
  Ref type(spatial_session_type());
  if (!type) return nullptr;
  if (Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(type.get())) {
    PyErr_SetString(PyExc_TypeError, "expected this module's HeterogeneousSpatialEngineSession");
    return nullptr;
  }
  return &static_cast<SpatialSession&>(session_core(self));
}

// spatial_set_interrupt_interval(session, seconds): how often its ticks ask
// whether to stop (0: after every deme).
PyObject* spatial_set_interrupt_interval(PyObject*, PyObject* args) {
  PyObject* self;
  double seconds;
  if (!PyArg_ParseTuple(args, "Od:spatial_set_interrupt_interval", &self, &seconds)) return nullptr;
  if (!(seconds >= 0.0 && seconds <= 3600.0)) return raise(Error::value("seconds must be in [0, 3600]"));
  QORIN_SESSION_MUT(self);
  SpatialSession* s = spatial_of(self);
  if (!s) return nullptr;
  s->set_interrupt_interval(std::chrono::nanoseconds(static_cast<int64_t>(seconds * 1e9)));
  Py_RETURN_NONE;
}

// spatial_set_stream_bytes(session, n): outputs of at least n bytes are
// written around the caches (0: the default).
PyObject* spatial_set_stream_bytes(PyObject*, PyObject* args) {
  PyObject* self;
  unsigned long long bytes;
  if (!PyArg_ParseTuple(args, "OK:spatial_set_stream_bytes", &self, &bytes)) return nullptr;
  QORIN_SESSION_MUT(self);
  SpatialSession* s = spatial_of(self);
  if (!s) return nullptr;
  s->set_stream_bytes(static_cast<size_t>(bytes));
  Py_RETURN_NONE;
}

// spatial_run_stopped(session, n_ticks, stop) -> (final tick, the run's
// interruption message or None, checks asked).
PyObject* spatial_run_stopped(PyObject*, PyObject* args) {
  PyObject* self;
  long long n_ticks, stop;
  if (!PyArg_ParseTuple(args, "OLL:spatial_run_stopped", &self, &n_ticks, &stop)) return nullptr;
  QORIN_SESSION_MUT(self);
  SpatialSession* s = spatial_of(self);
  if (!s) return nullptr;
  RunRequest request;
  request.n_ticks = n_ticks;
  StopAtCheck monitor(stop);
  Result<RunResult> r = s->run(request, nullptr, &monitor);
  if (!r) return raise(r.error());
  Ref why(r->interruption ? PyUnicode_FromString(r->interruption->message.c_str()) : Py_NewRef(Py_None));
  if (!why) return nullptr;
  return Py_BuildValue("(LOL)", static_cast<long long>(r->final_tick), why.get(),
                       static_cast<long long>(monitor.checks()));
}

// spatial_tick_stopped(session, stop) -> (tick after, the tick's error
// message or None, checks asked): one run_tick with that monitor.
PyObject* spatial_tick_stopped(PyObject*, PyObject* args) {
  PyObject* self;
  long long stop;
  if (!PyArg_ParseTuple(args, "OL:spatial_tick_stopped", &self, &stop)) return nullptr;
  QORIN_SESSION_MUT(self);
  SpatialSession* s = spatial_of(self);
  if (!s) return nullptr;
  StopAtCheck monitor(stop);
  Result<int64_t> r = s->run_tick(nullptr, nullptr, &monitor);
  Ref why(r ? Py_NewRef(Py_None) : PyUnicode_FromString(r.error().message.c_str()));
  if (!why) return nullptr;
  return Py_BuildValue("(LOL)", static_cast<long long>(s->current_tick()), why.get(),
                       static_cast<long long>(monitor.checks()));
}

// spatial_run_in_place(session, n_ticks) -> final tick: a run without a
// monitor, whose ticks are never undoable (the demes tick in place), holding
// the interpreter lock for any callbacks; a reference for the undoable ticks.
PyObject* spatial_run_in_place(PyObject*, PyObject* args) {
  PyObject* self;
  long long n_ticks;
  if (!PyArg_ParseTuple(args, "OL:spatial_run_in_place", &self, &n_ticks)) return nullptr;
  QORIN_SESSION_MUT(self);
  SpatialSession* s = spatial_of(self);
  if (!s) return nullptr;
  RunRequest request;
  request.n_ticks = n_ticks;
  PyCallbackHost host(s->blueprint());
  Result<RunResult> r = s->run(request, s->has_callbacks() ? &host : nullptr, nullptr);
  if (!r) return raise(r.error());
  return PyLong_FromLongLong(static_cast<long long>(r->final_tick));
}

}  // namespace

PyMethodDef kSpatialMethods[] = {
    {"spatial_run_in_place", spatial_run_in_place, METH_VARARGS,
     "spatial_run_in_place(session, n_ticks)\n--\n\nA run whose demes tick in place (no monitor); the final "
     "tick."},
    {"spatial_tick_stopped", spatial_tick_stopped, METH_VARARGS,
     "spatial_tick_stopped(session, stop)\n--\n\nOne run_tick with a monitor that stops it at its stop-th check; "
     "(tick after, error or None, checks)."},
    {"spatial_set_interrupt_interval", spatial_set_interrupt_interval, METH_VARARGS,
     "spatial_set_interrupt_interval(session, seconds)\n--\n\nHow often the session's ticks ask whether to stop "
     "(0: after every deme)."},
    {"spatial_set_stream_bytes", spatial_set_stream_bytes, METH_VARARGS,
     "spatial_set_stream_bytes(session, n)\n--\n\nOutputs of at least n bytes are written around the caches "
     "(0: the default)."},
    {"spatial_run_stopped", spatial_run_stopped, METH_VARARGS,
     "spatial_run_stopped(session, n_ticks, stop)\n--\n\nRun with a monitor that stops the tick at its stop-th "
     "check; (final tick, interruption or None, checks)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace qorin::py::testing
