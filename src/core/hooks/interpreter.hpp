// Execution of one event of a hook program against one deme's state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/hooks/eco_ctx.hpp"
#include "core/hooks/program.hpp"
#include "core/random/rng.hpp"
#include "core/util/error.hpp"

namespace qorin {

// Everything a callback hook hands to the Python layer.
struct CallbackCall {
  const CallbackHandle* callable = nullptr;
  int64_t event = 0;
  int64_t slot = 0;
  std::span<double> ind;
  std::span<double> sperm;
  int64_t tick = 0;
  size_t deme = 0;
  std::span<double> staged_scalars;
  EcoCtx* eco_ctx = nullptr;  // may be null
  SessionRng* rng = nullptr;
  const HookProgram* program = nullptr;
};

// Runs registered callables. Implemented by the Python layer; returns the
// callable's stop code, or an error (a pending Python exception included).
struct CallbackHost {
  virtual ~CallbackHost() = default;
  virtual Result<int32_t> run(const CallbackCall& call) = 0;
};

struct EventInputs {
  size_t n_ages = 0;
  size_t n_ztypes = 0;
  int64_t tick = 0;
  bool stochastic = false;
  bool continuous_sampling = false;
  size_t deme = 0;
};

// Runs event `event` of `program`. Returns the stop code (0: continue) or an
// error; changes made before a stop or an error stay.
Result<int32_t> execute_event(const HookProgram& program, SessionRng& rng, int64_t event,
                              std::span<double> ind, std::span<double> sperm, const EventInputs& in,
                              std::span<double> staged_scalars, EcoCtx* eco_ctx,
                              CallbackHost* host = nullptr);

// How many of `count` individuals an event with per-individual probability p
// affects.
Result<double> convert_count(double count, double p, SessionRng& rng, bool stochastic,
                             bool continuous_sampling);

// Value of the expression tokens start .. end-1.
Result<double> eval_rpn_value(const HookProgram& program, int64_t start, int64_t end,
                              std::span<const double> staged_scalars);

}  // namespace qorin
