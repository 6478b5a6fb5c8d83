// What every single-population session shares: the owned contracts, state and
// stream, the execution state machine, journal routing, history binding and
// recording, checkpoints and restores, and the run loop. A session class adds
// its tick (handed to `run` and `tick_once` as a step) and its constructor.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/hooks/eco_ctx.hpp"
#include "core/hooks/interpreter.hpp"
#include "core/hooks/program.hpp"
#include "core/model/blueprint.hpp"
#include "core/model/ecology.hpp"
#include "core/model/genetics.hpp"
#include "core/output/history.hpp"
#include "core/random/rng.hpp"
#include "core/sessions/checkpoint.hpp"
#include "core/util/error.hpp"
#include "core/util/function_ref.hpp"

namespace qorin {

enum class ExecState : uint8_t { Ready, Running, Stopped, Failed };
const char* exec_state_name(ExecState s);

struct Totals {
  double total = 0.0;
  double female = 0.0;
  double male = 0.0;
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

// Between ticks a run checks in with its caller (about every 50 ms of work);
// an error from `poll` ends the run at that boundary.
struct RunMonitor {
  virtual ~RunMonitor() = default;
  virtual Status poll() = 0;
};

// One tick of a session's model at tick `tick`, on the run's ecology context
// and staged scalars. Returns the stop code (0: the tick completed).
using TickStep = FunctionRef<Result<int32_t>(int64_t tick, EcoCtx& ctx, std::span<double> staged)>;

// A failure inside a tick surfaces as a runtime error, except a pending
// Python exception and running out of memory, which keep their kind.
Error tick_error(Error e);

// The error of a private history too large to allocate: how many rows of
// how many values, and the bytes they need.
Error private_history_too_large(uint64_t rows, uint64_t width);

// Rows a run records at most: the boundaries tick .. tick + n_ticks that are
// multiples of record_interval (none when the interval is not positive).
uint64_t planned_rows(int64_t tick, int64_t n_ticks, int64_t record_interval);

// What every session has, whatever its state layout: the execution state
// machine, the tick and phase cursor, the hook program with its callbacks and
// the bound history.
class SessionBase {
 public:
  void stop() { state_ = ExecState::Stopped; }
  ExecState state() const { return state_; }
  uint64_t phase_cursor() const { return phase_; }
  int64_t current_tick() const { return tick_; }

  // Replaces the hook program (callbacks and queued candidates go with it).
  void set_program(HookProgram program) { program_ = std::move(program); }
  HookProgram& program() { return program_; }
  const HookProgram& program() const { return program_; }
  // True when Python callables are registered (ticks then need the interpreter).
  bool has_callbacks() const;

  void bind_history(SharedHistory history) { history_ = std::move(history); }
  const SharedHistory& bound_history() const { return history_; }

 protected:
  SessionBase() = default;

  HookProgram program_;
  int64_t tick_ = 0;
  uint64_t phase_ = 0;
  ExecState state_ = ExecState::Ready;
  SharedHistory history_;
};

class SessionCore : public SessionBase {
 public:
  // The raw history row width: tick, counts, stored sperm.
  size_t raw_row_width() const { return 1 + ind_.size() + sperm_.size(); }

  // Advances up to n_ticks ticks with `step`, recording every
  // record_interval-th boundary into the bound history (or a private one) and
  // capturing checkpoints.
  Result<RunResult> run(const RunRequest& request, TickStep step, RunMonitor* monitor);
  // One tick with `step`: no recording, no checkpoints. Returns 0 or 1 (stop).
  Result<int32_t> tick_once(TickStep step);
  // One hook event on the owned state; the tick never advances.
  Result<int32_t> trigger_event(int64_t event_id, size_t deme_id, CallbackHost* host);

  Status record_history(bool continuation);

  // Installs a full live state (the sperm part must be empty for a session
  // that keeps no sperm storage).
  Status set_state(std::span<const double> ind, std::span<const double> sperm, int64_t tick);
  // Pairwise totals of the first half (females), second half (males) and all counts.
  Totals counts() const;

  Status set_execution_flags(bool stochastic, bool continuous_sampling, bool fixed_egg_count,
                             int64_t extreme_speed_mode);
  void reseed(uint64_t seed) { rng_ = new_rng(seed); }
  std::vector<JournalRow> drain_journal();


  const Blueprint& blueprint() const { return bp_; }
  EcologyParams& ecology() { return eco_; }
  const EcologyParams& ecology() const { return eco_; }
  GeneticsTensors& genetics() { return gen_; }
  const GeneticsTensors& genetics() const { return gen_; }
  const std::vector<double>& individual_count() const { return ind_; }
  const std::vector<double>& sperm_storage() const { return sperm_; }
  const SessionRng& rng() const { return rng_; }
  std::vector<JournalRow>& journal() { return journal_; }
  CheckpointStore& checkpoints() { return checkpoints_; }

  // Checks a state about to be restored (lengths, then values); nothing changes.
  Status check_restorable(std::span<const double> ind, std::span<const double> sperm, int64_t tick) const;
  // Installs a checked state, stream and ecology section; Ready at phase 0.
  void install(std::span<const double> ind, std::span<const double> sperm, int64_t tick,
               const SessionRng& rng, EcologyParams ecology);
  // Rolls back to the checkpoint with exactly this tick. False when there is
  // none (nothing changes). `before_write` runs after the checkpoint is found
  // and checked, before anything is written (the bound history's timeline
  // cut); its failure changes nothing.
  template <class F>
  Result<bool> restore_from_checkpoint(int64_t tick, F&& before_write);

 protected:
  SessionCore() = default;
  // The checks every constructor makes, in this order: blueprint, ecology,
  // genetics, the session's own layout check (`layout`, may be null), then
  // the values every write checks.
  static Status validate_model(const Blueprint& bp, const EcologyParams& eco, const GeneticsTensors& gen,
                               Status (*layout)(const Blueprint&));
  // Installs validated contracts, the blueprint's initial state (stored sperm
  // only when the session keeps it) and a stream seeded from `seed`.
  void init(Blueprint bp, EcologyParams eco, GeneticsTensors gen, uint64_t seed, bool keeps_sperm);

  // A context lending the session's ecology and genetics to a tick or event.
  EcoCtx open_context();
  // Journal rows and replacement genetics that a context carries back.
  void absorb(EcoCtx& ctx);
  // Journal rows of a context: into the bound history's parameter log, else
  // into the eco journal.
  void route_journal(EcoCtx& ctx);
  // The outcome of a tick or an event: an error sets Failed, a stop request
  // Stopped (and reads 1); the state is left alone otherwise.
  Result<int32_t> settle(Result<int32_t> code);

  Blueprint bp_;
  EcologyParams eco_;
  GeneticsTensors gen_;
  std::vector<JournalRow> journal_;
  std::vector<double> ind_;
  std::vector<double> sperm_;
  SessionRng rng_;
  CheckpointStore checkpoints_;
};

template <class F>
Result<bool> SessionCore::restore_from_checkpoint(int64_t tick, F&& before_write) {
  const TickCheckpoint* found = checkpoints_.find(tick);
  if (!found) return false;
  const TickCheckpoint cp = *found;
  if (cp.individual_count().size() != ind_.size() || cp.sperm_storage().size() != sperm_.size()) {
    return Error::value("checkpoint arrays do not match the live state size");
  }
  QORIN_TRY(before_write());
  if (eco_.custom_slots.empty()) eco_.custom_slots.resize(1);
  eco_.custom_slots[0] = cp.custom_slots;
  std::copy(cp.individual_count().begin(), cp.individual_count().end(), ind_.begin());
  std::copy(cp.sperm_storage().begin(), cp.sperm_storage().end(), sperm_.begin());
  tick_ = cp.tick;
  phase_ = static_cast<uint64_t>(cp.phase);
  state_ = ExecState::Ready;
  rng_ = rng_from_saved_words(cp.rng_words);
  QORIN_TRY(eco_.ecology_restore_words(bp_.n_ages, cp.ecology_words, cp.ecology_tensors()));
  return true;
}

}  // namespace qorin
