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

namespace qorin::discrete {

// Advances one deme by one staged tick in place. Returns the stop code (0:
// the tick completed) or an error. With a context lent, its stage and tick
// fields are overwritten and each event is followed by a commit; otherwise
// `sources` supplies the ecology the kernels read.
Result<int32_t> run_tick(SessionRng& rng, const Blueprint& bp, const HookProgram& program, std::span<double> ind,
                         int64_t tick, size_t deme, std::span<double> staged_scalars, EcoCtx* ctx,
                         const EcoSources* sources, KernelScratch& scratch, CallbackHost* host);

// One fused Wright-Fisher tick: event first and its commit (a stop ends the
// tick there), then the generation sampled by the blueprint's
// extreme_speed_mode. A context must be lent.
Result<int32_t> run_wf_tick(SessionRng& rng, const Blueprint& bp, const HookProgram& program,
                            std::span<double> ind, int64_t tick, size_t deme, std::span<double> staged_scalars,
                            EcoCtx* ctx, KernelScratch& scratch, CallbackHost* host);

}  // namespace qorin::discrete
