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
  auto set_stage = [&](int64_t code) {
    if (ctx) ctx->stage = code;
  };
  if (ctx) ctx->tick = tick;
  set_stage(stage::kFirst);

  static constexpr int64_t kEvents[3] = {event::kFirst, event::kEarly, event::kLate};
  static constexpr int64_t kEventStages[3] = {stage::kFirst, stage::kEarly, stage::kLate};
  static constexpr int64_t kKernelStages[2] = {stage::kReproduction, stage::kSurvival};
  const std::span<double> no_sperm;

  for (int step = 0; step < 3; ++step) {
    set_stage(kEventStages[step]);
    Result<int32_t> code =
        event_then_commit(kEvents[step], rng, bp, program, ind, no_sperm, tick, deme, staged_scalars, ctx, host);
    if (!code) return code;
    if (*code != 0) return code;
    if (step < 2) {
      set_stage(kKernelStages[step]);
      Result<StageView> view = stage_sources(ctx, sources);
      if (!view) return view.error();
      QORIN_TRY(run_stage_kernel(kKernelStages[step], rng, bp, *view, ind, scratch));
    }
  }
  set_stage(stage::kAging);
  aging(bp.n_ztypes, ind);
  return 0;
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
