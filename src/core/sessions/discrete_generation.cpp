#include "core/sessions/discrete_generation.hpp"

#include "core/kernels/discrete_generation.hpp"
#include "core/sessions/discrete_tick.hpp"

namespace qorin {

Result<DiscreteGenerationSession> DiscreteGenerationSession::create(Blueprint bp, EcologyParams eco,
                                                                    GeneticsTensors gen, uint64_t seed) {
  QORIN_TRY(validate_model(bp, eco, gen, validate_discrete_shape));
  DiscreteGenerationSession s;
  s.init(std::move(bp), std::move(eco), std::move(gen), seed, false);
  s.scratch_.ensure(s.bp_.n_ztypes);
  return s;
}

Result<int32_t> DiscreteGenerationSession::step(int64_t tick, bool wf, EcoCtx& ctx, std::span<double> staged,
                                                CallbackHost* host) {
  const DemeTick t{.rng = rngs_[0], .bp = bp_, .program = program_, .ind = ind_, .sperm = {}, .tick = tick,
                   .deme = 0, .staged = staged, .ecology = DemeEcology::lent(ctx), .host = host};
  return wf ? discrete::run_wf_tick(t, scratch_) : discrete::run_tick(t, scratch_);
}

Result<RunResult> DiscreteGenerationSession::run(const RunRequest& request, bool wf, CallbackHost* host,
                                                 RunMonitor* monitor) {
  return run_model(
      request,
      [&](int64_t t, EcoCtx& ctx, std::span<double> staged) { return step(t, wf, ctx, staged, host); },
      monitor);
}

}  // namespace qorin
