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

}  // namespace qorin
