#include "core/sessions/age_structured_tick.hpp"

#include "core/kernels/deme_inputs.hpp"

namespace qorin {

Status run_stage_kernel(int64_t stage_code, SessionRng& rng, const Blueprint& bp, const StageView& view,
                        std::span<double> ind, std::span<double> sperm, KernelScratch& scratch) {
  const LifeLayout layout = life_layout(bp);
  const EquilibriumSource eq{&bp, view.ecology, view.deme};
  const DemeInputs in = deme_inputs(bp, *view.ecology, *view.genetics, view.deme, &eq, view.genetics_epoch);
  if (stage_code == stage::kReproduction) return reproduction(rng, layout, in, ind, sperm, scratch);
  return survival(rng, layout, in, ind, sperm, scratch);
}

Result<int32_t> run_tick(const DemeTick& t, KernelScratch& scratch) {
  return staged_tick(
      t,
      [&](int64_t stage_code, const StageView& view) {
        return run_stage_kernel(stage_code, t.rng, t.bp, view, t.ind, t.sperm, scratch);
      },
      [&] { aging(t.bp.n_ages, t.bp.n_ztypes, t.ind, t.sperm); });
}

}  // namespace qorin
