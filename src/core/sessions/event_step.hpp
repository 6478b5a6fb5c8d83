// What one deme's tick works on, the step every tick driver takes at each
// event boundary (one hook event followed by the commit of its staged
// ecology writes), and the staged tick both life cycles share.
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

// Where a deme tick's kernels read the deme's ecology and genetics, and where
// its hook events commit: a lent context (a session's tick, or a landscape
// deme with hooks: the context holds the ecology, and every event's staged
// writes are committed into it), or the ecology columns read in place (a
// hook-free landscape deme: nothing is staged, committed or journaled).
class DemeEcology {
 public:
  static DemeEcology lent(EcoCtx& ctx) { return DemeEcology(&ctx, EcoSources{}); }
  static DemeEcology in_place(const EcoSources& sources) { return DemeEcology(nullptr, sources); }

  // The lent context, or null when the columns are read in place.
  EcoCtx* context() const { return ctx_; }
  // The ecology and genetics the stage kernels read now.
  Result<StageView> view() const { return stage_sources(ctx_, ctx_ ? nullptr : &sources_); }
  // Marks the boundary the tick is at (journal rows and the phase cursor read it).
  void at_stage(int64_t code) const {
    if (ctx_) ctx_->stage = code;
  }
  void at_tick(int64_t tick) const {
    if (ctx_) ctx_->tick = tick;
  }

 private:
  DemeEcology(EcoCtx* ctx, EcoSources sources) : ctx_(ctx), sources_(sources) {}
  EcoCtx* ctx_;
  EcoSources sources_;
};

// One deme's tick: its stream and state slices, the shared blueprint and
// hook program, the tick and deme index, the deme's staged scalars, its
// ecology and the host of Python callbacks (null when none may run).
struct DemeTick {
  SessionRng& rng;
  const Blueprint& bp;
  const HookProgram& program;
  std::span<double> ind;
  std::span<double> sperm;  // empty for discrete generations
  int64_t tick = 0;
  size_t deme = 0;
  std::span<double> staged;
  DemeEcology ecology;
  CallbackHost* host = nullptr;
};

// Executes one hook event and, with a context lent, commits its staged writes.
// Returns the event's stop code, or the event's or the commit's error.
Result<int32_t> event_then_commit(const DemeTick& t, int64_t event_id);

// The staged tick both life cycles share: event first, the reproduction
// kernel (stage 1), event early, the survival kernel (stage 3), event late,
// aging (stage 5). With a context lent, its tick and stage fields are set and
// each event is followed by a commit. A stop code or an error ends the tick
// at that boundary. `kernel(stage_code, view)` runs one stage kernel on the
// ecology and genetics of `view`; `age()` ages the deme.
template <class Kernel, class Age>
Result<int32_t> staged_tick(const DemeTick& t, Kernel&& kernel, Age&& age) {
  t.ecology.at_tick(t.tick);
  t.ecology.at_stage(stage::kFirst);

  static constexpr int64_t kEvents[3] = {event::kFirst, event::kEarly, event::kLate};
  static constexpr int64_t kEventStages[3] = {stage::kFirst, stage::kEarly, stage::kLate};
  static constexpr int64_t kKernelStages[2] = {stage::kReproduction, stage::kSurvival};

  for (int step = 0; step < 3; ++step) {
    t.ecology.at_stage(kEventStages[step]);
    Result<int32_t> code = event_then_commit(t, kEvents[step]);
    if (!code) return code;
    if (*code != 0) return code;
    if (step < 2) {
      t.ecology.at_stage(kKernelStages[step]);
      Result<StageView> view = t.ecology.view();
      if (!view) return view.error();
      QORIN_TRY(kernel(kKernelStages[step], *view));
    }
  }
  t.ecology.at_stage(stage::kAging);
  age();
  return 0;
}

}  // namespace qorin
