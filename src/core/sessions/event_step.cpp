#include "core/sessions/event_step.hpp"

namespace qorin {

Result<int32_t> event_then_commit(int64_t event_id, SessionRng& rng, const Blueprint& bp,
                                  const HookProgram& program, std::span<double> ind,
                                  std::span<double> sperm, int64_t tick, size_t deme,
                                  std::span<double> staged, EcoCtx* ctx, CallbackHost* host) {
  EventInputs ev;
  ev.n_ages = bp.n_ages;
  ev.n_ztypes = bp.n_ztypes;
  ev.tick = tick;
  ev.stochastic = bp.stochastic;
  ev.continuous_sampling = bp.continuous_sampling;
  ev.deme = deme;
  Result<int32_t> code = execute_event(program, rng, event_id, ind, sperm, ev, staged, ctx, host);
  if (!code) return code;
  if (ctx) QORIN_TRY(ctx->commit(staged));
  return code;
}

}  // namespace qorin
