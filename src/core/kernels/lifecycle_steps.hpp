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
#include "core/util/tolerances.hpp"

namespace qorin {

// Daughter share of a zygote type whose sex is not fixed by sex chromosomes:
// fc / (fc + mc) clamped to [0, 1], or 0.5 when both compatibilities vanish.
inline double compatibility_share(double fc, double mc) {
  return (fc + mc <= kNegligible) ? 0.5 : clamp01(fc / (fc + mc));
}

// Adds a split of `count` over `probs` to dst: count·probs (deterministic),
// multinomial(round(count), probs) (stochastic) or continuous_multinomial
// (continuous). `draws` holds at least probs.size() entries.
Status distribute(SessionRng& rng, SamplerMemo& memo, ExecMode mode, double count, std::span<const double> probs,
                  std::span<double> draws, double* dst);

// Mating matrix: row i is sexual_selection_fitness[i, ·]·pool normalised to
// one, or all zero (row_has_mates[i] = 0) when its weights sum to a
// non-finite value or to at most kNegligible. `ssf` and `P` are Z·Z, row-major.
void mating_matrix(size_t Z, const double* ssf, const double* pool, double* P, uint8_t* row_has_mates);

// Where the two kernels count a pair type's eggs differently.
struct EggCountRule {
  // Reproduction certain (r at kAlmostOne or above), the stochastic count lays
  // for the pairs rounded to whole pairs (age-structured) or for the pairs
  // as given (discrete generations).
  bool whole_pairs_when_certain = true;
  // The expected eggs are floored at zero before they are drawn or rounded.
  bool floor_expected = false;
};

// The eggs of n pairs of one (female, male) type that each reproduce with
// probability r (clamped) and lay E eggs when they do. Deterministic:
// (r·n)·E. Stochastic: of round(n) pairs (none: no eggs, nothing drawn) a
// binomial number reproduce (all of them when r counts as one), E times that
// are expected, and the count is that rounded half away from zero with a fixed
// egg count, else a Poisson draw. Continuous: the same with the continuous
// binomial of n and the continuous Poisson, and the expectation itself with a
// fixed egg count.
inline RngResult egg_count(SessionRng& rng, SamplerMemo& memo, ExecMode mode, bool fixed_egg_count, double n,
                           double r, double E, EggCountRule rule) {
  if (mode == ExecMode::Deterministic) return RngResult::ok((r * n) * E);
  double pairs = n;
  if (mode == ExecMode::Stochastic) {
    const int64_t n_int = round_count(n);
    if (n_int <= 0) return RngResult::ok(0.0);
    if (r < kAlmostOne) {
      RngResult b = binomial(rng, n_int, r, memo);
      if (!b) return b;
      pairs = *b;
    } else if (rule.whole_pairs_when_certain) {
      pairs = static_cast<double>(n_int);
    }
  } else if (r < kAlmostOne) {
    RngResult b = continuous_binomial(rng, n, r);
    if (!b) return b;
    pairs = *b;
  }
  double expected = E * pairs;
  if (rule.floor_expected && expected < 0.0) expected = 0.0;
  if (mode == ExecMode::Stochastic) {
    return fixed_egg_count ? RngResult::ok(round_half_away(expected)) : poisson(rng, expected, memo);
  }
  return fixed_egg_count ? RngResult::ok(expected) : continuous_poisson(rng, expected);
}

// Eggs x of one (female, male) pair into zygotes over the offspring row o
// (Z entries), added to zyg. Nothing happens when x ≤ kNegligible. In the sampling
// modes an offspring row summing below one first thins the eggs. `probs` and
// `draws` are work buffers of Z entries.
Status add_zygotes(SessionRng& rng, SamplerMemo& memo, ExecMode mode, double x, const double* o, size_t Z,
                   double* probs, std::span<double> draws, double* zyg);

// Splits the zygotes into daughters and sons (Z each, overwritten; types
// without zygotes get 0), by the clamped sex ratio or the sex chromosomes.
Status allocate_sexes(SessionRng& rng, SamplerMemo& memo, const LifeLayout& layout, const DemeInputs& in,
                      const double* zyg, double* daughters, double* sons);

// Writes the newborns into age 0 of both sexes (female0, male0: Z each) and
// applies zygote viability (zygote_viability_fitness, 2·Z) type by type.
Status write_newborns(SessionRng& rng, SamplerMemo& memo, ExecMode mode, const double* zygote_viability, size_t Z,
                      const double* daughters, const double* sons, double* female0, double* male0);

// The aggregated sampler of the newborns (where the layout's
// aggregated_newborns_apply() holds).
//
// Given how many pairs of each (female, male) type reproduce, the exact
// sampler draws each pair type's eggs as a Poisson count around E·pairs,
// thins them by the offspring row's sum s when s < 1, splits them over the
// zygote types by a multinomial, splits each zygote type over the sexes by a
// binomial and thins each sex and type by zygote viability. Independent
// Poisson counts thinned and split this way are independent Poisson counts
// again, with the means multiplied by the probabilities, and sums of
// independent Poisson counts are Poisson counts of the summed means. So,
// conditional on the reproducing pairs, the surviving newborns of each sex
// and zygote type are independent Poisson counts with mean
//   sum over pairs of E·pairs·w[k] · share(sex, k) · viability(sex, k),
// w[k] = o[k] when s < 1 (thinning by s, then o[k]/s), o[k]/s otherwise.
// The aggregated sampler draws exactly those 2·Z counts. The number of pairs
// that reproduce is not a Poisson quantity (a binomial when the reproduction
// rate is below one), so it is still drawn pair type by pair type as the
// exact sampler draws it, and so are the matings, which the stored sperm
// keeps. The result has the joint distribution of the exact sampler's; the
// draws, and so the numbers of a seed, differ.
//
// aggregated_newborns draws the newborns from the expected eggs X[p] of every
// pair row p = i·Z + j (Z·Z entries; 0 for a pair type that lays none, which
// includes those whose expected eggs are at most kNegligible, as the exact
// Poisson draw gives them none), writing them into female0 and male0 (Z
// each, overwritten); lambda (Z) is a work buffer. It returns false, having
// drawn nothing, where an offspring row used or a mean is not finite, or a
// mean is too large for a whole count to be held exactly (2^53): the caller
// then restores its stream and draws the exact way.
Result<bool> aggregated_newborns(SessionRng& rng, SamplerMemo& memo, const LifeLayout& layout,
                                 const DemeInputs& in, const double* X, double* lambda, double* female0,
                                 double* male0);

// Recruitment of the age-0 cohort (female0, male0: Z each) under density
// factor h: the cohort of size S becomes h·S, split in proportion to its
// classes (rounded in stochastic mode, drawn in the sampling modes).
Status recruit_cohort(SessionRng& rng, ExecMode mode, double h, size_t Z, double* female0, double* male0,
                      KernelScratch& scratch);

}  // namespace qorin
