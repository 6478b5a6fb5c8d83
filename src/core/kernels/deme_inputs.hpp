// Resolves one deme's lifecycle inputs from the model contracts.
#pragma once

#include <cstddef>

#include "core/kernels/lifecycle.hpp"
#include "core/model/blueprint.hpp"
#include "core/model/ecology.hpp"
#include "core/model/genetics.hpp"

namespace qorin {

LifeLayout life_layout(const Blueprint& bp);

// Where a deme's equilibrium calibration is computed from; must outlive the
// DemeInputs that point to it.
struct EquilibriumSource {
  const Blueprint* blueprint = nullptr;
  const EcologyParams* ecology = nullptr;
  size_t deme = 0;

  // The deme's expected competition strength and survival rate.
  Result<EquilibriumPair> operator()() const;
};

// Views into the contracts for deme `deme` (clamped to the last deme). The
// contracts must not be resized while the views are in use. `genetics_epoch`
// as DemeInputs::genetics_epoch.
DemeInputs deme_inputs(const Blueprint& bp, const EcologyParams& eco, const GeneticsTensors& gen,
                       size_t deme, const EquilibriumSource* equilibrium, uint64_t genetics_epoch = 0);

}  // namespace qorin
