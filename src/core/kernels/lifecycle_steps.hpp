// Steps of the lifecycle kernels that the age-structured and the
// discrete-generation kernels share: the mating matrix, eggs into zygotes,
// sex allocation, newborns with zygote viability, and the recruitment of the
// age-0 cohort. Each step draws in the order its kernel states.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/kernels/lifecycle.hpp"
#include "core/random/rng.hpp"
#include "core/util/error.hpp"

namespace qorin {

// A quantity at or below this counts as zero; a probability at or above kOne
// counts as one.
inline constexpr double kLifeZero = 1e-10;
inline constexpr double kLifeOne = 0.9999999999;

// Daughter share of a zygote type whose sex is not fixed by sex chromosomes:
// fc / (fc + mc) clamped to [0, 1], or 0.5 when both compatibilities vanish.
inline double compatibility_share(double fc, double mc) {
  return (fc + mc <= kLifeZero) ? 0.5 : clamp01(fc / (fc + mc));
}

// Adds a split of `count` over `probs` to dst: count·probs (deterministic),
// multinomial(round(count), probs) (stochastic) or continuous_multinomial
// (continuous). `draws` holds at least probs.size() entries.
Status distribute(SessionRng& rng, ExecMode mode, double count, std::span<const double> probs,
                  std::span<double> draws, double* dst);

// Mating matrix: row i is sexual_selection_fitness[i, ·]·pool normalised to
// one, or all zero (row_has_mates[i] = 0) when its weights sum to a
// non-finite value or to at most 1e-10. `ssf` and `P` are Z·Z, row-major.
void mating_matrix(size_t Z, const double* ssf, const double* pool, double* P, uint8_t* row_has_mates);

// Eggs x of one (female, male) pair into zygotes over the offspring row o
// (Z entries), added to zyg. Nothing happens when x ≤ 1e-10. In the sampling
// modes an offspring row summing below one first thins the eggs. `probs` and
// `draws` are work buffers of Z entries.
Status add_zygotes(SessionRng& rng, ExecMode mode, double x, const double* o, size_t Z, double* probs,
                   std::span<double> draws, double* zyg);

// Splits the zygotes into daughters and sons (Z each, overwritten; types
// without zygotes get 0), by the clamped sex ratio or the sex chromosomes.
Status allocate_sexes(SessionRng& rng, const LifeLayout& layout, const DemeInputs& in, const double* zyg,
                      double* daughters, double* sons);

// Writes the newborns into age 0 of both sexes (female0, male0: Z each) and
// applies zygote viability (zygote_viability_fitness, 2·Z) type by type.
Status write_newborns(SessionRng& rng, ExecMode mode, const double* zygote_viability, size_t Z,
                      const double* daughters, const double* sons, double* female0, double* male0);

// Recruitment of the age-0 cohort (female0, male0: Z each) under density
// factor h: the cohort of size S becomes h·S, split in proportion to its
// classes (rounded in stochastic mode, drawn in the sampling modes).
Status recruit_cohort(SessionRng& rng, ExecMode mode, double h, size_t Z, double* female0, double* male0,
                      KernelScratch& scratch);

}  // namespace qorin
