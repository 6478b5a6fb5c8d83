// What every session shares, for one deme or a landscape of many: the
// stacked state with one random stream per deme, the blueprint and the
// ecology columns, the execution state machine, one journal whose rows carry
// their deme, journal routing, history binding and recording, one checkpoint
// store, and the run loop. A session class adds its constructor, its tick
// (handed to `run` and `tick_once` as a step) and its own surface.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/hooks/eco_ctx.hpp"
#include "core/hooks/interpreter.hpp"
#include "core/hooks/program.hpp"
#include "core/model/blueprint.hpp"
#include "core/model/ecology.hpp"
#include "core/output/history.hpp"
#include "core/random/rng.hpp"
#include "core/sessions/checkpoint.hpp"
#include "core/sessions/execution_state.hpp"
#include "core/util/error.hpp"
#include "core/util/function_ref.hpp"

namespace qorin {

struct Totals {
  double total = 0.0;
  double female = 0.0;
  double male = 0.0;
};

// Parameter writes at tick boundaries (a landscape's schedules): called with
// tick t at every boundary a run visits before it is recorded and
// checkpointed, so that the boundary holds the values in force for tick t.
// An error ends the run at that boundary, as a boundary's error does.
struct BoundaryWriter {
  virtual ~BoundaryWriter() = default;
  virtual Status write(int64_t tick, EcoCtx& ctx) = 0;
};

// What a run is asked to do.
struct RunRequest {
  int64_t n_ticks = 0;
  int64_t record_interval = 0;
  // Private history only: record observations through this mask instead of raw rows.
  const std::vector<double>* observation_mask = nullptr;
  int64_t checkpoint_every = 0;
  // Private raw history only: where the rows go, at least `planned_rows` rows
  // of `raw_row_width` values. When empty the run allocates them itself.
  std::span<double> row_buffer;
  // Rows go to the bound history only: a due boundary without one is the
  // error "History is not initialized" (a landscape's run_steps).
  bool bound_history_only = false;
  // The caller's boundary writes (none when null), after the session's own.
  BoundaryWriter* at_boundary = nullptr;
};

struct RunResult {
  int64_t final_tick = 0;
  // Private history rows, oldest first (empty with a bound history). When the
  // caller lent a row buffer the rows are there instead and `rows` stays empty.
  std::vector<double> rows;
  size_t n_rows = 0;
  size_t width = 0;
  bool stopped = false;
  // Set when the monitor ended the run at a tick boundary: the session is
  // Ready there and the rows of the completed ticks are kept.
  std::optional<Error> interruption;
};

// Between ticks a run checks in with its caller (about every 50 ms of work),
// telling it the boundary reached; an error from `poll` ends the run there.
struct RunMonitor {
  virtual ~RunMonitor() = default;
  virtual Status poll(int64_t tick) = 0;
  // Asked from inside a long tick, on the thread that started the run, about
  // every 50 ms: an error asks the tick to undo its work (a tick that can
  // reports so through SessionCore::undo_tick) and the run then ends at the
  // boundary the tick started from, with that error as its interruption.
  virtual Status interrupt_requested() { return Status::ok(); }
  // Whether a tick's error is Ctrl-C landing inside a Python callback (a
  // tick that kept what it needs then undoes itself, as above).
  virtual bool is_interrupt(const Error&) { return false; }
};

// One tick of a session's model at tick `tick`. Returns the stop code (0: the
// tick completed). `ctx` is the run's ecology context: a single population's
// ticks commit into it; a landscape's tick leaves there its merged journal
// rows (each with its deme) and, in ctx.stage, its phase cursor. `staged` is
// the run's staged scalars (empty for a landscape, which stages per deme).
using TickStep = FunctionRef<Result<int32_t>(int64_t tick, EcoCtx& ctx, std::span<double> staged)>;

// A failure inside a tick surfaces as a runtime error, except a pending
// Python exception and running out of memory, which keep their kind.
Error tick_error(Error e);
// The same for a landscape's demes, where the bounds gate of staged parameter
// writes is a value error.
Error landscape_tick_error(Error e);

// The error of a private history too large to allocate: how many rows of
// how many values, and the bytes they need.
Error private_history_too_large(uint64_t rows, uint64_t width);

// Rows a run records at most: the boundaries tick .. tick + n_ticks that are
// multiples of record_interval (none when the interval is not positive).
uint64_t planned_rows(int64_t tick, int64_t n_ticks, int64_t record_interval);

// Where a landscape's semantics differ from a single population's.
struct SessionPolicy {
  CheckpointPolicy checkpoints;
  // Journal rows reach a bound history's per-deme logs (by their deme; rows of
  // a deme without a log are dropped) rather than its primary log.
  bool per_deme_logs = false;
  // A single tick routes its journal rows to a bound history as a run does
  // (otherwise they wait in the journal).
  bool tick_routes_journal = false;
  // record_history drops the checkpoints older than the history's oldest row.
  bool record_prunes_checkpoints = false;
  // A run is a sequence of single ticks with a recorded boundary between
  // them: Ready and the tick limit are checked as each tick starts, the
  // session is Ready again after each completed tick, a recorded boundary is
  // stamped with that state, and an error at a boundary leaves the session
  // there as it stands instead of Failed. Otherwise the session is Running
  // for the whole run and any error fails it.
  bool ticks_one_by_one = false;
  // The error of a failed tick or event.
  Error (*tick_failure)(Error) = tick_error;
};

inline constexpr SessionPolicy kSinglePopulationPolicy{};
inline constexpr SessionPolicy kLandscapePolicy{CheckpointPolicy{true, true}, true, true, true, true,
                                                landscape_tick_error};

class SessionCore {
 public:
  virtual ~SessionCore() = default;
  SessionCore(SessionCore&&) = default;
  SessionCore& operator=(SessionCore&&) = default;
  // ---- execution state ----
  void stop() { state_ = ExecState::Stopped; }
  ExecState state() const { return state_; }
  uint64_t phase_cursor() const { return phase_; }
  int64_t current_tick() const { return tick_; }

  // ---- hooks ----
  // Replaces the hook program (callbacks and queued candidates go with it).
  void set_program(HookProgram program) { program_ = std::move(program); }
  HookProgram& program() { return program_; }
  const HookProgram& program() const { return program_; }
  // True when Python callables are registered (ticks then need the interpreter).
  bool has_callbacks() const;

  // ---- state ----
  const Blueprint& blueprint() const { return bp_; }
  EcologyParams& ecology() { return eco_; }
  const EcologyParams& ecology() const { return eco_; }
  // Stacked counts, row-major (deme, sex, age, ztype), and stored sperm
  // (deme, age, female ztype, male ztype).
  const std::vector<double>& individual_count() const { return ind_; }
  const std::vector<double>& sperm_storage() const { return sperm_; }
  // The stored sperm a history row holds: none for discrete generations.
  std::span<const double> recorded_sperm() const {
    return keeps_sperm_ ? std::span<const double>(sperm_) : std::span<const double>();
  }
  // The raw history row width: tick, counts, recorded sperm.
  size_t raw_row_width() const { return 1 + ind_.size() + recorded_sperm().size(); }
  // Number of demes of the stacked state (one stream each).
  size_t n_demes() const { return rngs_.size(); }
  const std::vector<SessionRng>& rngs() const { return rngs_; }
  uint64_t seed() const { return seed_; }
  // Block `deme` of each stacked vector ("deme {d} out of range for {n} demes").
  Result<std::pair<std::span<const double>, std::span<const double>>> deme_block(size_t deme) const;
  // Pairwise totals of a deme's females, males and all its counts.
  Result<Totals> counts(size_t deme) const;
  // Stream d becomes new_rng(seed ^ d); nothing else changes.
  void reseed(uint64_t seed);
  Status set_execution_flags(bool stochastic, bool continuous_sampling, bool fixed_egg_count,
                             int64_t extreme_speed_mode);

  // ---- journal ----
  std::vector<JournalRow>& journal() { return journal_; }
  std::vector<JournalRow> drain_journal();
  // Moves the journal's rows into `log` as entries (name, event label, deme),
  // in commit order.
  void drain_journal_into(ParameterLogData& log);

  // ---- runs, recording, checkpoints ----
  void bind_history(SharedHistory history) { history_ = std::move(history); }
  const SharedHistory& bound_history() const { return history_; }
  // Advances up to n_ticks ticks with `step`, recording every
  // record_interval-th boundary into the bound history (or a private one),
  // capturing checkpoints and routing journal rows. `ctx` and `staged` are
  // lent to every tick; replacement genetics a tick leaves in `ctx` stay
  // there for the caller.
  Result<RunResult> run(const RunRequest& request, EcoCtx& ctx, std::span<double> staged, TickStep step,
                        RunMonitor* monitor);
  // One tick with `step`, with the boundary writes (the session's own, then
  // `at_boundary`'s) at the boundary it starts from and the one it reaches:
  // no recording, no checkpoints. Returns 0, or 1 when a hook stopped it; a
  // step that undid itself (undo_tick) returns the monitor's request, Ready.
  Result<int32_t> tick_once(EcoCtx& ctx, std::span<double> staged, TickStep step,
                            BoundaryWriter* at_boundary = nullptr);
  // Records the current boundary into the bound history.
  Status record_history(bool continuation);
  CheckpointStore& checkpoints() { return checkpoints_; }
  // Captures the current boundary.
  Status capture_checkpoint() { return capture_boundary(tick_); }
  // Rolls back to the newest checkpoint of exactly this tick, cutting the
  // bound history's timeline first. False when there is none (nothing changes).
  Result<bool> restore_from_checkpoint(int64_t tick);

 protected:
  // The session's own parameter writes at boundary `tick` (none by default;
  // a landscape writes its schedules' values).
  virtual Status write_boundary(int64_t tick, EcoCtx& ctx);
  // Its own writes, then the caller's; rows go to ctx.journal.
  Status boundary_writes(int64_t tick, EcoCtx& ctx, BoundaryWriter* caller);

  explicit SessionCore(const SessionPolicy& policy) : policy_(policy), checkpoints_(policy.checkpoints) {}

  // Installs the stacked state and one stream per deme (seed ^ d); Ready.
  void init_state(std::vector<double> ind, std::vector<double> sperm, bool keeps_sperm, size_t n_demes,
                  uint64_t seed, int64_t tick);
  // Installs a checked state: Ready at phase 0.
  void install_state(std::span<const double> ind, std::span<const double> sperm, int64_t tick);
  // Journal rows: into the bound history's logs, else into the eco journal.
  void route_journal(std::vector<JournalRow>& rows);
  // The outcome of a tick or an event: an error sets Failed, a stop request
  // Stopped (and reads 1); the state is left alone otherwise.
  Result<int32_t> settle(Result<int32_t> code);
  // Captures a boundary at `tick` (the run loop's, before the tick is stored).
  Status capture_boundary(int64_t tick);
  // For a step that has undone all it did on the monitor's request: keeps
  // the request and returns the error the step returns. The run loop then
  // ends at the tick's starting boundary instead of failing.
  Error undo_tick(Error request);

  SessionPolicy policy_;
  Blueprint bp_;
  EcologyParams eco_;
  std::vector<double> ind_;
  std::vector<double> sperm_;
  bool keeps_sperm_ = true;
  std::vector<SessionRng> rngs_;
  uint64_t seed_ = 0;
  std::vector<JournalRow> journal_;
  CheckpointStore checkpoints_;
  HookProgram program_;
  int64_t tick_ = 0;
  uint64_t phase_ = 0;
  ExecState state_ = ExecState::Ready;
  SharedHistory history_;
  // The monitor's request that made the current step undo itself.
  std::optional<Error> undone_;
};

}  // namespace qorin
