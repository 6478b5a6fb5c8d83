// Equilibrium calibration of density regulation: the competition-weighted
// juvenile density expected at equilibrium and the recruitment ratio that makes
// a population at its equilibrium exactly self-replacing.
#pragma once

#include <cstddef>
#include <span>

#include "core/model/blueprint.hpp"
#include "core/model/ecology.hpp"

namespace qorin {

struct EquilibriumInputs {
  std::span<const double> survival;      // [sex, age], 2·A
  std::span<const double> reproduction;  // A
  std::span<const double> fertility;     // A
  std::span<const double> competition;   // A
  double carrying_capacity = 0.0;
  double eggs_per_female = 0.0;
  double female_fraction = 0.5;          // 0.5 with sex chromosomes, else sex_ratio
  double external_expected_eggs = -1.0;  // negative: none given
  bool has_declared = false;             // a declared distribution replaces the computed one
  std::span<const double> declared;      // [sex, age], 2·A
  size_t new_adult_age = 0;
  size_t n_ages = 0;
  bool discrete_generation = false;
};

struct EquilibriumMetrics {
  double expected_competition_strength = 0.0;
  double expected_survival_rate = 1.0;
};

// The calculation itself. Ages outside the age axis (and entries past the end
// of a shorter input) read as 0.
EquilibriumMetrics equilibrium_core(const EquilibriumInputs& in);

// Kernel form: one deme's columns (the deme index is clamped to the last deme).
EquilibriumMetrics equilibrium_metrics(const Blueprint& bp, const EcologyParams& eco, size_t deme);

}  // namespace qorin
