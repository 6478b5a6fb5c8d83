// The stateful engine of one population with discrete, non-overlapping
// generations: two age classes, no sperm storage, staged or Wright-Fisher ticks.
#pragma once

#include <cstdint>

#include "core/kernels/lifecycle.hpp"
#include "core/sessions/single_population.hpp"

namespace qorin {

class DiscreteGenerationSession : public SinglePopulation {
 public:
  // Validates the contracts (blueprint, ecology, genetics in that order), the
  // two-age shape, then the values every write checks; installs the initial
  // state and a stream seeded from `seed`.
  static Result<DiscreteGenerationSession> create(Blueprint bp, EcologyParams eco, GeneticsTensors gen,
                                                  uint64_t seed);

  // Advances up to n_ticks ticks: Wright-Fisher ticks when `wf`, else staged ticks.
  Result<RunResult> run(const RunRequest& request, bool wf, CallbackHost* host, RunMonitor* monitor);

 private:
  DiscreteGenerationSession() = default;
  Result<int32_t> step(int64_t tick, bool wf, EcoCtx& ctx, std::span<double> staged, CallbackHost* host);

  KernelScratch scratch_;
};

}  // namespace qorin
