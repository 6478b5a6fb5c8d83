// The binding every session class shares: the object layout, the shared
// methods, garbage-collector support for registered callbacks, and the run
// driver (interpreter lock, Ctrl-C, private rows). A session class adds its
// constructor and the methods that differ.
#pragma once

#include <type_traits>
#include <vector>

#include "core/sessions/session_core.hpp"
#include "core/sessions/single_population.hpp"
#include "core/util/function_ref.hpp"
#include "python/borrow.hpp"
#include "python/class_support.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/np.hpp"

namespace qorin::py {

// Ctrl-C between ticks, then the caller's progress callable (when given)
// with the boundary reached: a pending KeyboardInterrupt or an exception the
// callable raises goes to this thread's slot and ends the run there. Inside a
// long tick only Ctrl-C is looked at (a tick that can undo itself asks).
class SignalMonitor final : public RunMonitor {
 public:
  SignalMonitor(GilRelease& gil, PyObject* progress) : gil_(gil), progress_(progress) {}
  Status poll(int64_t tick) override;
  Status interrupt_requested() override;
  bool is_interrupt(const Error& e) override;

 private:
  GilRelease& gil_;
  PyObject* progress_;
};

struct SessionObject {
  PyObject_HEAD
  SessionCore* core;
  void (*destroy)(SessionCore*);
  BorrowFlag flag;
  PyObject* weakrefs;
};

inline SessionObject* session_object(PyObject* self) { return reinterpret_cast<SessionObject*>(self); }
inline SessionCore& session_core(PyObject* self) { return *session_object(self)->core; }
// The single-population part of an EngineSession or DiscreteEngineSession.
inline SinglePopulation& single_population(PyObject* self) {
  return static_cast<SinglePopulation&>(session_core(self));
}
inline BorrowFlag& session_flag(PyObject* self) { return session_object(self)->flag; }

#define QORIN_SESSION_MUT(self) QORIN_MUT_GUARD(::qorin::py::session_flag(self))
#define QORIN_SESSION_READ(self) QORIN_READ_GUARD(::qorin::py::session_flag(self))

// Allocates a session object owning `core` (deleted through its own type).
template <class Core>
PyObject* new_session_object(PyTypeObject* type, Core core) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  SessionObject* o = session_object(self);
  o->flag = BorrowFlag{};
  o->weakrefs = nullptr;
  o->core = new Core(std::move(core));
  o->destroy = [](SessionCore* c) { delete static_cast<Core*>(c); };
  return self;
}

// tp_new of a single-population session class "(blueprint, params, seed=0)":
// reads the contracts, builds Core with Core::create and wraps it. kFormat is
// the argument format ending in the class name, as "OO|O:EngineSession".
bool read_session_arguments(PyObject* args, PyObject* kwargs, const char* format, Blueprint* bp,
                            EcologyParams* eco, GeneticsTensors* gen, uint64_t* seed);
template <class Core, const char* kFormat>
PyObject* single_population_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Blueprint bp;
  EcologyParams eco;
  GeneticsTensors gen;
  uint64_t seed = 0;
  if (!read_session_arguments(args, kwargs, kFormat, &bp, &eco, &gen, &seed)) return nullptr;
  Result<Core> made = Core::create(std::move(bp), std::move(eco), std::move(gen), seed);
  if (!made) return raise(made.error());
  return new_session_object(type, std::move(made).value());
}

// Garbage-collector and lifetime slots of every session class.
void session_dealloc(PyObject* self);
int session_traverse(PyObject* self, visitproc visit, void* arg);
int session_clear(PyObject* self);

// Which state methods a session class has: the stacked spatial layout has its
// own; the single-population classes share set_state, state_snapshot,
// snapshot_state and restore_state, with or without stored sperm.
enum class StateLayout { Spatial, WithSperm, WithoutSperm };

// A class's own method entries followed by the methods every session shares
// (execution state, hook program and callbacks, history binding) and, for a
// single-population layout, those of the single-population surface; the
// result ends with the sentinel entry.
std::vector<PyMethodDef> with_shared_methods(std::initializer_list<PyMethodDef> own, StateLayout layout);

// The class object of a session class (borrowed reference, created on first
// use into *cache): qualified name and docstring (string literals), tp_new,
// and its method table, which must outlive the class.
PyObject* session_class(PyObject** cache, const char* name, const char* doc, void* tp_new,
                        const std::vector<PyMethodDef>& methods);

// The arguments every run shares, converted; false with an exception set.
bool run_request_from_python(PyObject* n_obj, PyObject* interval_obj, PyObject* mask_obj, PyObject* every_obj,
                             RunRequest* out, std::vector<double>* mask_storage);

// What a run's Python caller lends it besides the request (borrowed; null or
// None: not given). `progress(tick)` is called with the boundary reached
// about every 50 ms of work; an exception it raises ends the run there, as
// Ctrl-C does. `at_boundary(tick)` is called at every boundary a run visits and
// `apply_boundary_values` writes what it returned into the session (the interpreter
// lock is held for both); an error ends the run at that boundary.
using BoundaryApply = FunctionRef<Status(int64_t tick, PyObject* returned, EcoCtx& ctx)>;
struct RunHooks {
  PyObject* progress = nullptr;
  PyObject* at_boundary = nullptr;
  const BoundaryApply* apply_boundary_values = nullptr;
};
// Whether a progress or at_boundary argument is None or callable
// (TypeError naming `what` otherwise).
bool callable_or_none(PyObject* obj, const char* what);

// Runs `call` on the session: with the interpreter lock released when no
// Python callback is installed, checking for Ctrl-C between ticks, recording
// a private raw history straight into the returned array. Returns the run's
// (final_tick, history, was_stopped), or raises. An interrupted run raises
// KeyboardInterrupt with `partial_result` set to that tuple for the ticks that
// completed (so does an exception from `progress`).
using RunCall = FunctionRef<Result<RunResult>(const RunRequest&, CallbackHost*, RunMonitor*)>;
PyObject* run_session(PyObject* self, RunRequest request, RunCall call, const RunHooks& hooks = {});
// `run(n_ticks, record_interval, observation_mask=None, checkpoint_every=0,
// *, progress=None)` of a session whose core is a `Session` (its own
// `run(request, host, monitor)`): the method of the age-structured and the
// spatial session. With `Starts` (a type with a static
// `Status apply(Session&, int64_t tick, PyObject* returned, EcoCtx&)`) the
// method also takes `at_boundary`, whose returns that function writes.
template <class Session, class Boundary = void>
PyObject* run_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_SESSION_MUT(self);
  constexpr bool kBoundary = !std::is_void_v<Boundary>;
  // Without boundary writes the list ends before "at_boundary".
  static const char* kwlist[] = {"n_ticks",  "record_interval",           "observation_mask", "checkpoint_every",
                                 "progress", kBoundary ? "at_boundary" : nullptr, nullptr};
  PyObject *n_obj, *interval_obj, *mask_obj = Py_None, *every_obj = nullptr;
  RunHooks hooks;
  const char* format = kBoundary ? "OO|OO$OO:run" : "OO|OO$O:run";
  if (!parse_args(args, kwargs, format, kwlist, &n_obj, &interval_obj, &mask_obj, &every_obj, &hooks.progress,
                  &hooks.at_boundary)) {
    return nullptr;
  }
  if (!callable_or_none(hooks.progress, "progress") || !callable_or_none(hooks.at_boundary, "at_boundary")) {
    return nullptr;
  }
  RunRequest request;
  std::vector<double> mask;
  if (!run_request_from_python(n_obj, interval_obj, mask_obj, every_obj, &request, &mask)) return nullptr;
  Session& s = static_cast<Session&>(session_core(self));
  auto write = [&s](int64_t tick, PyObject* returned, EcoCtx& ctx) -> Status {
    if constexpr (kBoundary) return Boundary::apply(s, tick, returned, ctx);
    return Status::ok();
  };
  const BoundaryApply apply = write;  // refers to `write`, which outlives it
  hooks.apply_boundary_values = &apply;
  return run_session(
      self, request,
      [&s](const RunRequest& req, CallbackHost* host, RunMonitor* monitor) { return s.run(req, host, monitor); },
      hooks);
}
// The same run for a caller that takes no rows (a landscape's run_steps):
// returns (final_tick, was_stopped); an interrupted run raises
// KeyboardInterrupt with that pair as `partial_result`.
PyObject* run_session_without_rows(PyObject* self, RunRequest request, RunCall call, const RunHooks& hooks = {});

// Boundary writes calling `at_boundary(tick)` with the interpreter lock held
// (taken back for the call when `gil` released it) and applying its result.
class PyBoundaryWriter final : public BoundaryWriter {
 public:
  PyBoundaryWriter(PyObject* callable, const BoundaryApply& apply, GilRelease* gil)
      : callable_(callable), apply_(apply), gil_(gil) {}
  Status write(int64_t tick, EcoCtx& ctx) override;

 private:
  PyObject* callable_;
  const BoundaryApply& apply_;
  GilRelease* gil_;
};

// A tick or event outcome as a Python int, or the raised error.
PyObject* stop_code_or_raise(const Result<int32_t>& code);

}  // namespace qorin::py
