#include "core/sessions/discrete_tick.hpp"

#include "core/sessions/event_step.hpp"
#include "core/kernels/deme_inputs.hpp"
#include "core/kernels/discrete_generation.hpp"

namespace qorin::discrete {

namespace {

// Runs reproduction (stage 1) or juvenile survival (stage 3) on the ecology
// and genetics of `view`.
Status run_stage_kernel(int64_t stage_code, SessionRng& rng, const Blueprint& bp, const StageView& view,
                        std::span<double> ind, KernelScratch& scratch) {
  const LifeLayout layout = life_layout(bp);
  const EquilibriumSource eq{&bp, view.ecology, view.deme};
  const DemeInputs in = deme_inputs(bp, *view.ecology, *view.genetics, view.deme, &eq);
  if (stage_code == stage::kReproduction) return reproduction(rng, layout, in, ind, scratch);
  return survival(rng, layout, in, ind, scratch);
}

// Discrete generations keep no stored sperm: events see an empty array.
DemeTick without_sperm(const DemeTick& t) {
  DemeTick out = t;
  out.sperm = std::span<double>();
  return out;
}

}  // namespace

Result<int32_t> run_tick(const DemeTick& tick, KernelScratch& scratch) {
  QORIN_TRY(validate_discrete_shape(tick.bp));
  const DemeTick t = without_sperm(tick);
  return staged_tick(
      t,
      [&](int64_t stage_code, const StageView& view) {
        return run_stage_kernel(stage_code, t.rng, t.bp, view, t.ind, scratch);
      },
      [&] { aging(t.bp.n_ztypes, t.ind); });
}

Result<int32_t> run_wf_tick(const DemeTick& tick, KernelScratch& scratch) {
  EcoCtx* ctx = tick.ecology.context();
  if (ctx == nullptr) return Error::runtime("wf tick lends an eco context");
  QORIN_TRY(validate_discrete_shape(tick.bp));
  const DemeTick t = without_sperm(tick);
  ctx->tick = t.tick;
  ctx->stage = stage::kFirst;
  Result<int32_t> code = event_then_commit(t, event::kFirst);
  if (!code) return code;
  if (*code != 0) return code;

  Result<StageView> view = t.ecology.view();
  if (!view) return view.error();
  const LifeLayout layout = life_layout(t.bp);
  const EquilibriumSource eq{&t.bp, view->ecology, view->deme};
  const DemeInputs in = deme_inputs(t.bp, *view->ecology, *view->genetics, view->deme, &eq);
  QORIN_TRY(wf::generation(t.rng, layout, in, t.bp.extreme_speed_mode, t.ind, scratch));
  return 0;
}

}  // namespace qorin::discrete
