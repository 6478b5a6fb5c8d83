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

}  // namespace

Result<int32_t> run_tick(SessionRng& rng, const Blueprint& bp, const HookProgram& program, std::span<double> ind,
                         int64_t tick, size_t deme, std::span<double> staged_scalars, EcoCtx* ctx,
                         const EcoSources* sources, KernelScratch& scratch, CallbackHost* host) {
  QORIN_TRY(validate_discrete_shape(bp));
  // Discrete generations keep no stored sperm: events see an empty array.
  return staged_tick(
      rng, bp, program, ind, std::span<double>(), tick, deme, staged_scalars, ctx, sources, host,
      [&](int64_t stage_code, const StageView& view) {
        return run_stage_kernel(stage_code, rng, bp, view, ind, scratch);
      },
      [&] { aging(bp.n_ztypes, ind); });
}

Result<int32_t> run_wf_tick(SessionRng& rng, const Blueprint& bp, const HookProgram& program,
                            std::span<double> ind, int64_t tick, size_t deme, std::span<double> staged_scalars,
                            EcoCtx* ctx, KernelScratch& scratch, CallbackHost* host) {
  if (ctx == nullptr) return Error::runtime("wf tick lends an eco context");
  QORIN_TRY(validate_discrete_shape(bp));
  ctx->tick = tick;
  ctx->stage = stage::kFirst;
  Result<int32_t> code =
      event_then_commit(event::kFirst, rng, bp, program, ind, std::span<double>(), tick, deme, staged_scalars,
                        ctx, host);
  if (!code) return code;
  if (*code != 0) return code;

  Result<StageView> view = stage_sources(ctx, nullptr);
  if (!view) return view.error();
  const LifeLayout layout = life_layout(bp);
  const EquilibriumSource eq{&bp, view->ecology, view->deme};
  const DemeInputs in = deme_inputs(bp, *view->ecology, *view->genetics, view->deme, &eq);
  QORIN_TRY(wf::generation(rng, layout, in, bp.extreme_speed_mode, ind, scratch));
  return 0;
}

}  // namespace qorin::discrete
