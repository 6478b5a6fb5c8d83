// Discrete, non-overlapping generations: two age classes, age 0 (this
// generation's newborns) and age 1 (the breeding adults), no sperm storage.
// The staged kernels (reproduction, survival of the juveniles, aging) and the
// steps of the fused Wright-Fisher generation work in place on one deme's
// counts ind[sex, age, ztype] (4·Z entries).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/kernels/lifecycle.hpp"
#include "core/model/blueprint.hpp"
#include "core/random/rng.hpp"
#include "core/util/error.hpp"

namespace qorin {

// A discrete-generation model has exactly two age classes: ValueError
// "discrete blueprint must have n_ages == 2, got {n}" otherwise.
Status validate_discrete_shape(const Blueprint& bp);

namespace discrete {

// Adults of age 1 mate afresh (no sperm storage); their eggs become zygotes,
// daughters and sons, written into age 0 after zygote viability. Without adult
// females or available males nothing happens, age 0 included.
Status reproduction(SessionRng& rng, const LifeLayout& layout, const DemeInputs& in, std::span<double> ind,
                    KernelScratch& scratch);

// Density-regulated recruitment of the age-0 cohort (the density measure is
// the plain age-0 total), then survival of the juveniles. Adults are left
// alone.
Status survival(SessionRng& rng, const LifeLayout& layout, const DemeInputs& in, std::span<double> ind,
                KernelScratch& scratch);

// The surviving juveniles replace the adults; age 0 is cleared.
void aging(size_t n_ztypes, std::span<double> ind);

}  // namespace discrete

// The fused Wright-Fisher generation: expected newborns of the adults, zygote
// viability, density regulation, juvenile survival, sampling by
// extreme_speed_mode, and the newborns written as the next adults. Nothing is
// clamped here: every rate is used as stored. `daughters` and `sons` hold Z
// entries each.
namespace wf {

// extreme_speed_mode must be 1 (Wright-Fisher multinomial), 2 (Poisson per
// class) or 3 (expected values): "unrecognised extreme_speed_mode={m}".
Status check_speed_mode(int64_t extreme_speed_mode);

// Expected newborns by zygote type, before viability (overwrites both vectors).
void expected_newborns(const LifeLayout& layout, const DemeInputs& in, std::span<const double> ind,
                       double* daughters, double* sons, double* male_pool);

void zygote_viability(const DemeInputs& in, size_t Z, double* daughters, double* sons);

// Scales both vectors by the density factor of the deme's growth mode (modes
// 1 and up; an unknown mode or a missing calibration gives factor 1).
void density_regulation(const DemeInputs& in, size_t Z, double* daughters, double* sons);

void juvenile_survival(const DemeInputs& in, size_t Z, double* daughters, double* sons);

// Replaces the expected values by draws when `stochastic` is set: mode 1 one
// multinomial of the rounded total over the 2·Z classes, mode 2 a Poisson draw
// per class (daughter then son, type by type); mode 3 keeps them.
Status sample(SessionRng& rng, int64_t extreme_speed_mode, bool stochastic, size_t Z, double* daughters,
              double* sons, KernelScratch& scratch);

// Age 0 cleared, the newborns become the adults.
void write(size_t Z, const double* daughters, const double* sons, std::span<double> ind);

// All of the above, in order, on one deme's counts.
Status generation(SessionRng& rng, const LifeLayout& layout, const DemeInputs& in, int64_t extreme_speed_mode,
                  std::span<double> ind, KernelScratch& scratch);

}  // namespace wf

}  // namespace qorin
