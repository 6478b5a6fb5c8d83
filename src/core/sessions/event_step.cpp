#include "core/sessions/event_step.hpp"

namespace qorin {

Result<int32_t> event_then_commit(const DemeTick& t, int64_t event_id) {
  EventInputs ev;
  ev.n_ages = t.bp.n_ages;
  ev.n_ztypes = t.bp.n_ztypes;
  ev.tick = t.tick;
  ev.stochastic = t.bp.stochastic;
  ev.continuous_sampling = t.bp.continuous_sampling;
  ev.deme = t.deme;
  EcoCtx* ctx = t.ecology.context();
  Result<int32_t> code = execute_event(t.program, t.rng, event_id, t.ind, t.sperm, ev, t.staged, ctx, t.host);
  if (!code) return code;
  if (ctx) QORIN_TRY(ctx->commit(t.staged));
  return code;
}

}  // namespace qorin
