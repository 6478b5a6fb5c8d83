// The stateful engine of one age-structured population.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/hooks/eco_ctx.hpp"
#include "core/hooks/interpreter.hpp"
#include "core/hooks/program.hpp"
#include "core/kernels/lifecycle.hpp"
#include "core/model/blueprint.hpp"
#include "core/model/ecology.hpp"
#include "core/model/genetics.hpp"
#include "core/output/history.hpp"
#include "core/random/rng.hpp"
#include "core/sessions/checkpoint.hpp"
#include "core/util/error.hpp"

namespace qorin {

enum class ExecState : uint8_t { Ready, Running, Stopped, Failed };
const char* exec_state_name(ExecState s);

struct RunResult {
  int64_t final_tick = 0;
  std::vector<double> rows;  // private history rows, oldest first (empty with a bound history)
  size_t n_rows = 0;
  size_t width = 0;
  bool stopped = false;
};

struct Totals {
  double total = 0.0;
  double female = 0.0;
  double male = 0.0;
};

class AgeStructuredSession {
 public:
  // Validates the contracts (blueprint, ecology, genetics in that order) and
  // installs the initial state and a stream seeded from `seed`.
  static Result<AgeStructuredSession> create(Blueprint bp, EcologyParams eco, GeneticsTensors gen,
                                             uint64_t seed);

  // One complete tick. Returns 0 when it completed, 1 when a hook stopped it.
  Result<int32_t> tick(size_t deme_id, CallbackHost* host);
  // One stage kernel in place (stage codes 1 reproduction, 3 survival, 5 aging);
  // execution state and tick are left alone.
  Status run_stage(int64_t stage_code);
  // One hook event on the owned state; the tick never advances.
  Result<int32_t> trigger_event(int64_t event_id, size_t deme_id, CallbackHost* host);
  void stop() { state_ = ExecState::Stopped; }

  // Advances up to n_ticks ticks, recording every record_interval-th boundary
  // into the bound history (or a private one: raw, or observed through
  // `observation_mask` when given) and capturing checkpoints.
  Result<RunResult> run(int64_t n_ticks, int64_t record_interval, const std::vector<double>* observation_mask,
                        int64_t checkpoint_every, CallbackHost* host);
  void bind_history(SharedHistory history) { history_ = std::move(history); }
  const SharedHistory& bound_history() const { return history_; }
  Status record_history(bool continuation);

  Status set_state(std::span<const double> ind, std::span<const double> sperm, int64_t tick);
  Totals counts() const;
  Totals adult_counts() const;

  Status set_execution_flags(bool stochastic, bool continuous_sampling, bool fixed_egg_count,
                             int64_t extreme_speed_mode);
  void reseed(uint64_t seed) { rng_ = new_rng(seed); }
  std::vector<JournalRow> drain_journal();

  // Replaces the hook program (callbacks and queued candidates go with it).
  void set_program(HookProgram program) { program_ = std::move(program); }

  const Blueprint& blueprint() const { return bp_; }
  EcologyParams& ecology() { return eco_; }
  const EcologyParams& ecology() const { return eco_; }
  GeneticsTensors& genetics() { return gen_; }
  const GeneticsTensors& genetics() const { return gen_; }
  HookProgram& program() { return program_; }
  const std::vector<double>& individual_count() const { return ind_; }
  const std::vector<double>& sperm_storage() const { return sperm_; }
  const SessionRng& rng() const { return rng_; }
  int64_t current_tick() const { return tick_; }
  uint64_t phase_cursor() const { return phase_; }
  ExecState state() const { return state_; }
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

 private:
  AgeStructuredSession() = default;
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
  HookProgram program_;
  std::vector<JournalRow> journal_;
  std::vector<double> ind_;
  std::vector<double> sperm_;
  SessionRng rng_;
  int64_t tick_ = 0;
  uint64_t phase_ = 0;
  ExecState state_ = ExecState::Ready;
  KernelScratch scratch_;
  CheckpointStore checkpoints_;
  SharedHistory history_;
};

template <class F>
Result<bool> AgeStructuredSession::restore_from_checkpoint(int64_t tick, F&& before_write) {
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
