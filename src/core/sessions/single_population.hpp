// What the two single-population sessions add to the core: the genetics of
// their one deme, the model checks of their constructors, the context that
// lends deme 0's ecology and genetics to a tick, explicit events, and the
// state methods of the single-population surface (install, memory snapshots).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/model/genetics.hpp"
#include "core/sessions/session_core.hpp"

namespace qorin {

class SinglePopulation : public SessionCore {
 public:
  GeneticsTensors& genetics() { return gen_; }
  const GeneticsTensors& genetics() const { return gen_; }
  const SessionRng& rng() const { return rngs_[0]; }
  // Pairwise totals of the females, the males and all counts.
  Totals counts() const;

  // One hook event on the owned state; the tick never advances.
  Result<int32_t> trigger_event(int64_t event_id, size_t deme_id, CallbackHost* host);
  // Installs a full live state (the sperm part must be empty for a session
  // that keeps no sperm storage).
  Status set_state(std::span<const double> ind, std::span<const double> sperm, int64_t tick);
  // Checks a state about to be restored (lengths, then values); nothing changes.
  Status check_restorable(std::span<const double> ind, std::span<const double> sperm, int64_t tick) const;
  // Installs a checked state, stream and ecology section; Ready at phase 0.
  void install(std::span<const double> ind, std::span<const double> sperm, int64_t tick, const SessionRng& rng,
               EcologyParams ecology);

 protected:
  SinglePopulation() : SessionCore(kSinglePopulationPolicy) {}
  // The checks every constructor makes, in this order: blueprint, ecology,
  // genetics, the session's own layout check (`layout`, may be null), then
  // the values every write checks.
  static Status validate_model(const Blueprint& bp, const EcologyParams& eco, const GeneticsTensors& gen,
                               Status (*layout)(const Blueprint&));
  // Installs validated contracts, the blueprint's initial state (stored sperm
  // only when the session keeps it) and a stream seeded from `seed`.
  void init(Blueprint bp, EcologyParams eco, GeneticsTensors gen, uint64_t seed, bool keeps_sperm);

  // The run loop and a single tick of the core with `step`, on a context that
  // lends deme 0's ecology and genetics and on deme 0's staged scalars;
  // genetics a callback transaction replaced are installed afterwards,
  // whatever the outcome.
  // Ctrl-C lands inside a Python callback as its KeyboardInterrupt, part way
  // through a tick: with callbacks and a monitor to tell it from other
  // errors, each tick keeps what it may change, and one cut short so puts it
  // back and ends at its starting boundary, Ready.
  Result<RunResult> run_model(const RunRequest& request, TickStep step, RunMonitor* monitor);
  Result<int32_t> tick_model(TickStep step, RunMonitor* monitor = nullptr);
  // `step`; with callbacks and a monitor, keeping the state, stream, ecology,
  // staged scalars, genetics and journal rows of its tick, all put back when
  // the monitor calls its error Ctrl-C (the step then returns undo_tick's
  // error).
  Result<int32_t> undoable_step(TickStep step, RunMonitor* monitor, int64_t t, EcoCtx& c, std::span<double> st);

  EcoCtx open_context();
  // Replacement genetics a context carries back.
  void absorb_genetics(EcoCtx& ctx);

  GeneticsTensors gen_;
};

}  // namespace qorin
