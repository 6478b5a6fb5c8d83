// Tick drivers of a discrete-generation deme: the staged tick (hook events
// first, early and late around reproduction and juvenile survival, then
// aging) and the fused Wright-Fisher tick (event first, then one generation).
// Events see an empty sperm array and two age classes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/hooks/eco_ctx.hpp"
#include "core/hooks/interpreter.hpp"
#include "core/hooks/program.hpp"
#include "core/kernels/lifecycle.hpp"
#include "core/model/blueprint.hpp"
#include "core/random/rng.hpp"
#include "core/sessions/event_step.hpp"

namespace qorin::discrete {

// Advances one deme by one staged tick in place. Returns the stop code (0:
// the tick completed) or an error. With a context lent, its stage and tick
// fields are overwritten and each event is followed by a commit. The tick's
// sperm slice is not used (events see an empty one).
Result<int32_t> run_tick(const DemeTick& t, KernelScratch& scratch);

// One fused Wright-Fisher tick: event first and its commit (a stop ends the
// tick there), then the generation sampled by the blueprint's
// extreme_speed_mode. A context must be lent.
Result<int32_t> run_wf_tick(const DemeTick& t, KernelScratch& scratch);

}  // namespace qorin::discrete
