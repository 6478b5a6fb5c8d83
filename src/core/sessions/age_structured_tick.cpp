#include "core/sessions/age_structured_tick.hpp"

#include "core/kernels/deme_inputs.hpp"

namespace qorin {

Status run_stage_kernel(int64_t stage_code, SessionRng& rng, const Blueprint& bp, const StageView& view,
                        std::span<double> ind, std::span<double> sperm, KernelScratch& scratch) {
  const LifeLayout layout = life_layout(bp);
  const EquilibriumSource eq{&bp, view.ecology, view.deme};
  const DemeInputs in = deme_inputs(bp, *view.ecology, *view.genetics, view.deme, &eq);
  if (stage_code == stage::kReproduction) return reproduction(rng, layout, in, ind, sperm, scratch);
  return survival(rng, layout, in, ind, sperm, scratch);
}

Result<int32_t> run_tick(SessionRng& rng, const Blueprint& bp, const HookProgram& program,
                         std::span<double> ind, std::span<double> sperm, int64_t tick, size_t deme,
                         std::span<double> staged_scalars, EcoCtx* ctx, const EcoSources* sources,
                         KernelScratch& scratch, CallbackHost* host) {
  auto set_stage = [&](int64_t code) {
    if (ctx) ctx->stage = code;
  };
  if (ctx) ctx->tick = tick;
  set_stage(stage::kFirst);

  static constexpr int64_t kEvents[3] = {event::kFirst, event::kEarly, event::kLate};
  static constexpr int64_t kEventStages[3] = {stage::kFirst, stage::kEarly, stage::kLate};
  static constexpr int64_t kKernelStages[2] = {stage::kReproduction, stage::kSurvival};

  for (int step = 0; step < 3; ++step) {
    set_stage(kEventStages[step]);
    Result<int32_t> code =
        event_then_commit(kEvents[step], rng, bp, program, ind, sperm, tick, deme, staged_scalars, ctx, host);
    if (!code) return code;
    if (*code != 0) return code;
    if (step < 2) {
      set_stage(kKernelStages[step]);
      Result<StageView> view = stage_sources(ctx, sources);
      if (!view) return view.error();
      QORIN_TRY(run_stage_kernel(kKernelStages[step], rng, bp, *view, ind, sperm, scratch));
    }
  }
  set_stage(stage::kAging);
  aging(bp.n_ages, bp.n_ztypes, ind, sperm);
  return 0;
}

}  // namespace qorin
