#include "core/sessions/age_structured.hpp"

#include "core/kernels/state_reduce.hpp"
#include "core/sessions/age_structured_tick.hpp"

namespace qorin {

Result<AgeStructuredSession> AgeStructuredSession::create(Blueprint bp, EcologyParams eco,
                                                          GeneticsTensors gen, uint64_t seed) {
  QORIN_TRY(validate_model(bp, eco, gen, nullptr));
  AgeStructuredSession s;
  s.init(std::move(bp), std::move(eco), std::move(gen), seed, true);
  s.scratch_.ensure(s.bp_.n_ztypes);
  return s;
}

Result<int32_t> AgeStructuredSession::step(int64_t tick, size_t deme_id, EcoCtx& ctx, std::span<double> staged,
                                           CallbackHost* host) {
  const DemeTick t{.rng = rngs_[0], .bp = bp_, .program = program_, .ind = ind_, .sperm = sperm_, .tick = tick,
                   .deme = deme_id, .staged = staged, .ecology = DemeEcology::lent(ctx), .host = host};
  return run_tick(t, scratch_);
}

Result<RunResult> AgeStructuredSession::run(const RunRequest& request, CallbackHost* host, RunMonitor* monitor) {
  return run_model(
      request,
      [&](int64_t t, EcoCtx& ctx, std::span<double> staged) { return step(t, 0, ctx, staged, host); },
      monitor);
}

Result<int32_t> AgeStructuredSession::tick(size_t deme_id, CallbackHost* host, RunMonitor* monitor) {
  return tick_model(
      [&](int64_t t, EcoCtx& ctx, std::span<double> staged) { return step(t, deme_id, ctx, staged, host); },
      monitor);
}

Status AgeStructuredSession::run_stage(int64_t stage_code) {
  if (stage_code == stage::kAging) {
    aging(bp_.n_ages, bp_.n_ztypes, ind_, sperm_);
    return Status::ok();
  }
  const StageView view{&eco_, &gen_, 0};
  Status s = run_stage_kernel(stage_code, rngs_[0], bp_, view, ind_, sperm_, scratch_);
  if (!s) return tick_error(std::move(s).error());
  return s;
}

Totals AgeStructuredSession::adult_counts() const {
  const size_t A = bp_.n_ages, Z = bp_.n_ztypes;
  const size_t first = bp_.new_adult_age < A ? bp_.new_adult_age : A;
  const size_t len = (A - first) * Z;
  Totals t;
  t.female = numpy_pairwise_sum(ind_.data() + first * Z, len);
  t.male = numpy_pairwise_sum(ind_.data() + (A + first) * Z, len);
  t.total = t.female + t.male;
  return t;
}

}  // namespace qorin
