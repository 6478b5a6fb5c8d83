// The stateful engine of one age-structured population.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/kernels/lifecycle.hpp"
#include "core/sessions/single_population.hpp"

namespace qorin {

class AgeStructuredSession : public SinglePopulation {
 public:
  // Validates the contracts (blueprint, ecology, genetics in that order, then
  // the values every write checks) and installs the initial state and a
  // stream seeded from `seed`.
  static Result<AgeStructuredSession> create(Blueprint bp, EcologyParams eco, GeneticsTensors gen,
                                             uint64_t seed);

  // One complete tick. Returns 0 when it completed, 1 when a hook stopped it.
  // `monitor`, when given, tells Ctrl-C in a callback from other errors: the
  // tick is then undone.
  Result<int32_t> tick(size_t deme_id, CallbackHost* host, RunMonitor* monitor = nullptr);
  // One stage kernel in place (stage codes 1 reproduction, 3 survival, 5 aging);
  // execution state and tick are left alone.
  Status run_stage(int64_t stage_code);
  // Advances up to n_ticks ticks (see SessionCore::run).
  Result<RunResult> run(const RunRequest& request, CallbackHost* host, RunMonitor* monitor);

  Totals adult_counts() const;

 private:
  AgeStructuredSession() = default;
  Result<int32_t> step(int64_t tick, size_t deme_id, EcoCtx& ctx, std::span<double> staged, CallbackHost* host);

  KernelScratch scratch_;
};

}  // namespace qorin
