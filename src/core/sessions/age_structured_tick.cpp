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
  return staged_tick(
      rng, bp, program, ind, sperm, tick, deme, staged_scalars, ctx, sources, host,
      [&](int64_t stage_code, const StageView& view) {
        return run_stage_kernel(stage_code, rng, bp, view, ind, sperm, scratch);
      },
      [&] { aging(bp.n_ages, bp.n_ztypes, ind, sperm); });
}

}  // namespace qorin
