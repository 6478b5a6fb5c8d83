// The age-structured tick: hook events interleaved with reproduction,
// survival and aging, with the staged ecology writes committed after every
// event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/hooks/eco_ctx.hpp"
#include "core/hooks/interpreter.hpp"
#include "core/hooks/program.hpp"
#include "core/kernels/lifecycle.hpp"
#include "core/model/blueprint.hpp"
#include "core/sessions/event_step.hpp"
#include "core/random/rng.hpp"

namespace qorin {

// Runs one stage kernel ("reproduction" or "survival") of deme view.deme.
Status run_stage_kernel(int64_t stage_code, SessionRng& rng, const Blueprint& bp, const StageView& view,
                        std::span<double> ind, std::span<double> sperm, KernelScratch& scratch);

// Advances one deme by one tick in place. Returns the stop code (0: the tick
// completed) or an error. With a context lent, its stage and tick fields are
// overwritten and each event is followed by a commit.
Result<int32_t> run_tick(const DemeTick& t, KernelScratch& scratch);

}  // namespace qorin
