// One hook event followed by the commit of its staged ecology writes: the step
// every tick driver takes at each event boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/hooks/eco_ctx.hpp"
#include "core/hooks/interpreter.hpp"
#include "core/hooks/program.hpp"
#include "core/model/blueprint.hpp"
#include "core/random/rng.hpp"

namespace qorin {

// Executes one hook event and, with a context lent, commits its staged writes.
// Returns the event's stop code, or the event's or the commit's error.
Result<int32_t> event_then_commit(int64_t event_id, SessionRng& rng, const Blueprint& bp,
                                  const HookProgram& program, std::span<double> ind,
                                  std::span<double> sperm, int64_t tick, size_t deme,
                                  std::span<double> staged, EcoCtx* ctx, CallbackHost* host);

// The staged tick both life cycles share: event first, the reproduction
// kernel (stage 1), event early, the survival kernel (stage 3), event late,
// aging (stage 5). With a context lent, its tick and stage fields are set and
// each event is followed by a commit; otherwise `sources` supplies the ecology
// the kernels read. A stop code or an error ends the tick at that boundary.
// `kernel(stage_code, view)` runs one stage kernel on the ecology and genetics
// of `view`; `age()` ages the deme.
template <class Kernel, class Age>
Result<int32_t> staged_tick(SessionRng& rng, const Blueprint& bp, const HookProgram& program,
                            std::span<double> ind, std::span<double> sperm, int64_t tick, size_t deme,
                            std::span<double> staged_scalars, EcoCtx* ctx, const EcoSources* sources,
                            CallbackHost* host, Kernel&& kernel, Age&& age) {
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
      QORIN_TRY(kernel(kKernelStages[step], *view));
    }
  }
  set_stage(stage::kAging);
  age();
  return 0;
}

}  // namespace qorin
