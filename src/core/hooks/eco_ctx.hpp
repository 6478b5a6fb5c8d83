// The ecology write context: events stage scalar parameter writes in a small
// vector; after every event the context commits them through the bounds gate
// into the session's EcologyParams and journals every actual change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/model/codes.hpp"
#include "core/model/ecology.hpp"
#include "core/model/genetics.hpp"
#include "core/util/error.hpp"

namespace qorin {

// Number of scalar ecology parameters a staged vector can hold: the staged
// parameters of the field table, by parameter id.
inline constexpr size_t kNumStagedScalars = kParamFields.size();

struct JournalRow {
  int64_t tick = 0;
  uint32_t param_id = 0;
  double old_value = 0.0;
  double new_value = 0.0;
  int64_t stage = 0;
  // The deme the change belongs to (a landscape's rows; 0 for one population).
  size_t deme = 0;
};

struct EcoCtx {
  std::vector<JournalRow> journal;
  // Genetics committed by a callback transaction during this context's life;
  // when absent, `base_genetics` (the session's) is in force.
  std::optional<GeneticsTensors> genetics;
  const GeneticsTensors* base_genetics = nullptr;
  EcologyParams* ecology = nullptr;
  int64_t stage = 0;
  size_t deme = 0;
  int64_t tick = 0;

  // The genetics in force: the candidate when present, else the session's.
  const GeneticsTensors* genetics_in_force() const {
    return genetics ? &*genetics : base_genetics;
  }

  // Applies the staged scalars (param ids 0..n-1) to the deme. Fails without
  // writing anything when a value is outside its bounds or, for a partial
  // vector, when the deme's low_density_growth_rate is unusable.
  Status commit(std::span<const double> staged_scalars);
};

// The values the scalar vector of a tick starts from: the deme's current five.
std::vector<double> current_scalars(const EcologyParams& ecology, size_t deme);

// Where the stage kernels read their ecology when no context is lent.
struct EcoSources {
  const EcologyParams* ecology = nullptr;
  const GeneticsTensors* genetics = nullptr;
  size_t deme = 0;
  // Nonzero: the genetics at this address hold the same values for every
  // read made under this epoch (see DemeInputs::genetics_epoch).
  uint64_t genetics_epoch = 0;
};

struct StageView {
  const EcologyParams* ecology = nullptr;
  const GeneticsTensors* genetics = nullptr;
  size_t deme = 0;
  uint64_t genetics_epoch = 0;  // as EcoSources::genetics_epoch; 0 when unknown
};

// From the context when one is lent, else from the sources.
Result<StageView> stage_sources(const EcoCtx* ctx, const EcoSources* sources);

}  // namespace qorin
