// Argument helpers of the lifecycle-kernel test hooks, shared by the
// age-structured and the discrete-generation entry points.
#pragma once

#include <cstddef>
#include <vector>

#include "core/kernels/lifecycle.hpp"
#include "core/model/blueprint.hpp"
#include "core/model/ecology.hpp"
#include "core/model/genetics.hpp"
#include "python/np.hpp"

namespace qorin::py::testing {

// The arrays a DemeInputs read from an inputs dict points into.
struct KernelInputArrays {
  std::vector<double> mating_rates, reproduction_rates, fertility, survival_rates, competition_weights,
      viability_fitness, fecundity_fitness, sexual_selection_fitness, zygote_viability_fitness,
      offspring_tensor, female_compat, male_compat;
  std::vector<bool> female_only, male_only;
  // A fixed equilibrium calibration (the kernels call it on demand).
  struct FixedEquilibrium {
    EquilibriumPair pair;
    Result<EquilibriumPair> operator()() const { return pair; }
  } equilibrium;
};

// Kernel inputs for A ages and Z ztypes from a dict holding the ecology and
// genetics arrays (flat), the five scalars, "growth_mode" and optionally
// "equilibrium" = (competition strength, survival rate). `in` points into
// `arr`, which must outlive it.
bool deme_inputs_from_dict(PyObject* inputs, size_t A, size_t Z, KernelInputArrays* arr, DemeInputs* in);

// Layout of A ages and Z ztypes in the named mode ("deterministic",
// "stochastic", "continuous"); sex chromosomes when either flag vector is
// given. The flag vectors are kept in `arr`.
bool layout_from_args(size_t A, size_t Z, long long new_adult_age, const char* mode, bool fixed_egg_count,
                      PyObject* female_only, PyObject* male_only, KernelInputArrays* arr, LifeLayout* layout);

// Builds the three contracts from a blueprint and a Params object and
// validates them (blueprint, ecology, genetics).
bool contracts_from_python(PyObject* blueprint, PyObject* params, Blueprint* bp, EcologyParams* eco,
                           GeneticsTensors* gen);

}  // namespace qorin::py::testing
