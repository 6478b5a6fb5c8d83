// Discrete-generation kernels and the fused Wright-Fisher generation.
#include "core/kernels/discrete_generation.hpp"

#include "core/kernels/lifecycle_steps.hpp"
#include "core/util/format.hpp"

namespace qorin {

namespace {


// Offsets of the four rows of a discrete state ind[sex, age, ztype], A = 2.
struct Rows {
  double* female0;
  double* female1;
  double* male0;
  double* male1;
};

Rows rows_of(std::span<double> ind, size_t Z) {
  double* p = ind.data();
  return {p, p + Z, p + 2 * Z, p + 3 * Z};
}

Error shape_error(size_t n_ages) {
  return Error::value("discrete blueprint must have n_ages == 2, got " + format_uint(n_ages));
}

// Two age classes and 4·Z counts, or the error that stops the kernel before
// it touches the state.
Status check_state(const LifeLayout& layout, size_t n_counts) {
  if (layout.n_ages != 2) return shape_error(layout.n_ages);
  if (n_counts != 4 * layout.n_ztypes) {
    return Error::runtime("discrete state must hold " + format_uint(4 * layout.n_ztypes) + " counts, got " +
                          format_uint(n_counts));
  }
  return Status::ok();
}

// max(x, 0) that lets NaN through (a NaN rate must fail the draw it feeds
// rather than pass as zero).
inline double floor0(double x) { return x < 0.0 ? 0.0 : x; }

// Eggs, zygotes, sexes and zygote viability of the discrete stage by the
// aggregated sampler, from the mated pairs M (Z·Z): the pairs that reproduce
// are drawn as egg_count draws them, their expected eggs (floored at zero)
// kept, and the newborns drawn from those. Returns false, with the stream as
// it was on entry, where the aggregated sampler cannot draw them.
Result<bool> aggregated_reproduction(SessionRng& rng, SamplerMemo& memo, const LifeLayout& layout,
                                     const DemeInputs& in, const double* M, KernelScratch& scratch,
                                     const Rows& st) {
  const size_t Z = layout.n_ztypes;
  const SessionRng entry = rng;
  const double r = clamp01(in.reproduction_rates[1]);
  const double eggs = in.eggs_per_female;  // used as stored
  const double* fec_f = in.fecundity_fitness;
  const double* fec_m = in.fecundity_fitness + Z;
  double* X = scratch.age_eggs.data();
  for (size_t i = 0; i < Z; ++i) {
    const double eggs_i = eggs * fec_f[i];
    for (size_t j = 0; j < Z; ++j) {
      const size_t p = i * Z + j;
      X[p] = 0.0;
      const double n = M[p];
      if (!(n > 0.0)) continue;
      const int64_t n_int = round_count(n);
      if (n_int <= 0) continue;
      double pairs = n;
      if (r < kAlmostOne) {
        const RngResult b = binomial(rng, n_int, r, memo);
        if (!b) return b.error();
        pairs = *b;
      }
      const double t = floor0(eggs_i * fec_m[j] * pairs);
      if (t <= kNegligible) continue;
      X[p] = t;
    }
  }
  const Result<bool> drawn =
      aggregated_newborns(rng, memo, layout, in, X, scratch.zygotes.data(), st.female0, st.male0);
  if (drawn && !*drawn) rng = entry;
  return drawn;
}

}  // namespace

Status validate_discrete_shape(const Blueprint& bp) {
  if (bp.n_ages != 2) return shape_error(bp.n_ages);
  return Status::ok();
}

namespace discrete {

Status reproduction(SessionRng& rng, const LifeLayout& layout, const DemeInputs& in, std::span<double> ind,
                    KernelScratch& scratch) {
  QORIN_TRY(check_state(layout, ind.size()));
  const size_t Z = layout.n_ztypes;
  const ExecMode mode = layout.mode;
  scratch.ensure(Z);
  const Rows st = rows_of(ind, Z);
  constexpr size_t A = 2;
  SamplerMemo& memo = scratch.memo;

  // 1. Male pool of the adults (availability used as stored) and the adult
  //    females; without either there is no mating and age 0 stays as it is.
  double* pool = scratch.male_pool.data();
  const double availability = in.mating_rates[A + 1];
  for (size_t j = 0; j < Z; ++j) pool[j] = availability * st.male1[j];
  double females = 0.0;
  for (size_t i = 0; i < Z; ++i) females += st.female1[i];
  double pool_total = 0.0;
  for (size_t j = 0; j < Z; ++j) pool_total += pool[j];
  if (females == 0.0 || pool_total == 0.0) return Status::ok();

  // 2. Mating matrix.
  double* P = scratch.mating.data();
  uint8_t* has_mates = scratch.row_has_mates.data();
  mating_matrix(Z, in.sexual_selection_fitness, pool, P, has_mates);

  // 3. Mated females of each type, split over the male types into pairs M.
  double* M = scratch.pairs.data();
  for (size_t t = 0; t < Z * Z; ++t) M[t] = 0.0;
  std::span<double> draws(scratch.draws.data(), Z);
  const double q = clamp01(in.mating_rates[1]);
  for (size_t i = 0; i < Z; ++i) {
    const double n = st.female1[i];
    if (!(n > 0.0)) continue;
    double mated = 0.0;
    if (mode == ExecMode::Deterministic) {
      mated = q * n;
    } else if (mode == ExecMode::Stochastic) {
      const int64_t n_int = round_count(n);
      if (n_int >= 1) {
        auto b = binomial(rng, n_int, q, memo);
        if (!b) return b.error();
        mated = *b;
      }
    } else {
      auto b = continuous_binomial(rng, n, q);
      if (!b) return b.error();
      mated = *b;
    }
    if (mated <= kNegligible) continue;
    // A female type that accepts none of the available males forms no pairs:
    // its row has nowhere to send them (and a multinomial over an all-zero row
    // would credit every one of them to the last male type).
    if (!has_mates[i]) continue;
    if (mode == ExecMode::Stochastic && round_count(mated) < 1) continue;
    QORIN_TRY(distribute(rng, memo, mode, mated, std::span<const double>(P + i * Z, Z), draws, M + i * Z));
  }

  // 4-5 by the aggregated sampler, where it applies: the reproducing pairs
  //    of every type as below, the newborns drawn from their expected eggs.
  if (layout.aggregated_newborns_apply()) {
    const Result<bool> drawn = aggregated_reproduction(rng, memo, layout, in, M, scratch, st);
    if (!drawn) return drawn.error();
    if (*drawn) return Status::ok();
  }

  // 4. Eggs of every pair, into zygotes (the rest of step 4.5 of the
  //    age-structured kernel).
  double* zyg = scratch.zygotes.data();
  for (size_t k = 0; k < Z; ++k) zyg[k] = 0.0;
  double* probs = scratch.probs.data();
  const double r = clamp01(in.reproduction_rates[1]);
  const double eggs = in.eggs_per_female;  // used as stored
  const double* fec_f = in.fecundity_fitness;
  const double* fec_m = in.fecundity_fitness + Z;
  for (size_t i = 0; i < Z; ++i) {
    for (size_t j = 0; j < Z; ++j) {
      const double n = M[i * Z + j];
      if (!(n > 0.0)) continue;
      const double E = (eggs * fec_f[i]) * fec_m[j];
      const RngResult eggs_laid =
          egg_count(rng, memo, mode, layout.fixed_egg_count, n, r, E,
                    EggCountRule{.whole_pairs_when_certain = false, .floor_expected = true});
      if (!eggs_laid) return eggs_laid.error();
      const double x = *eggs_laid;
      const double* offspring = in.offspring_tensor + (i * Z + j) * Z;
      QORIN_TRY(add_zygotes(rng, memo, mode, x, offspring, Z, probs, draws, zyg));
    }
  }

  // 5. Sex allocation, then the newborns into age 0 with zygote viability.
  double* daughters = scratch.daughters.data();
  double* sons = scratch.sons.data();
  QORIN_TRY(allocate_sexes(rng, memo, layout, in, zyg, daughters, sons));
  return write_newborns(rng, memo, mode, in.zygote_viability_fitness, Z, daughters, sons, st.female0, st.male0);
}

Status survival(SessionRng& rng, const LifeLayout& layout, const DemeInputs& in, std::span<double> ind,
                KernelScratch& scratch) {
  QORIN_TRY(check_state(layout, ind.size()));
  const size_t Z = layout.n_ztypes;
  const ExecMode mode = layout.mode;
  scratch.ensure(Z);
  const Rows st = rows_of(ind, Z);
  constexpr size_t A = 2;
  SamplerMemo& memo = scratch.memo;

  // 1. Density: the plain age-0 total.
  double N0 = 0.0;
  for (size_t z = 0; z < Z; ++z) N0 += (st.female0[z] + st.male0[z]);

  // 2. Density factor. Modes other than 1-4 are unknown to
  //    regulation_scaling and give 1.
  double h = 1.0;
  const int64_t growth_mode = in.growth_mode;
  if (growth_mode == 1) {
    h = regulation_scaling(1, N0, in.carrying_capacity, in.low_density_growth_rate, 1.0).value();
  } else if (growth_mode >= 2 && growth_mode <= 4 && in.equilibrium) {
    auto eq = (*in.equilibrium)();
    if (eq) {
      auto factor = regulation_scaling(growth_mode, N0, eq->competition_strength, in.low_density_growth_rate,
                                       eq->survival_rate);
      h = factor ? *factor : 1.0;
    }
  }

  // 3. Recruitment of the age-0 cohort.
  QORIN_TRY(recruit_cohort(rng, mode, h, Z, st.female0, st.male0, scratch));

  // 4. Juvenile survival (probabilities not clamped), daughters then sons
  //    type by type.
  const double sr_f = in.survival_rates[0];
  const double sr_m = in.survival_rates[A];
  const double* vf = in.viability_fitness;          // [0, 0, ·]
  const double* vm = in.viability_fitness + A * Z;  // [1, 0, ·]
  auto survive = [&](double* cell, double p) -> Status {
    const double n = *cell;
    if (mode == ExecMode::Deterministic) {
      *cell = n * p;
      return Status::ok();
    }
    double kept = 0.0;
    if (mode == ExecMode::Stochastic) {
      const int64_t n_int = round_count(n);
      if (n_int >= 1) {
        auto b = binomial(rng, n_int, p, memo);
        if (!b) return b.error();
        kept = *b;
      }
    } else if (n > 0.0) {
      auto b = continuous_binomial(rng, n, p);
      if (!b) return b.error();
      kept = *b;
    }
    *cell = kept;
    return Status::ok();
  };
  for (size_t z = 0; z < Z; ++z) {
    const double f = sr_f * vf[z];
    const double g = sr_m * vm[z];
    QORIN_TRY(survive(st.female0 + z, f));
    QORIN_TRY(survive(st.male0 + z, g));
  }
  return Status::ok();
}

void aging(size_t n_ztypes, std::span<double> ind) {
  const size_t Z = n_ztypes;
  if (ind.size() < 4 * Z) return;
  const Rows st = rows_of(ind, Z);
  for (size_t z = 0; z < Z; ++z) {
    st.female1[z] = st.female0[z];
    st.male1[z] = st.male0[z];
    st.female0[z] = 0.0;
    st.male0[z] = 0.0;
  }
}

}  // namespace discrete

namespace wf {

Status check_speed_mode(int64_t extreme_speed_mode) {
  if (extreme_speed_mode >= 1 && extreme_speed_mode <= 3) return Status::ok();
  return Error::runtime("unrecognised extreme_speed_mode=" + format_int(extreme_speed_mode));
}

void expected_newborns(const LifeLayout& layout, const DemeInputs& in, std::span<const double> ind,
                       double* daughters, double* sons, double* male_pool) {
  const size_t Z = layout.n_ztypes;
  constexpr size_t A = 2;
  const double* n_f = ind.data() + Z;      // ind[0, 1, ·]
  const double* n_m = ind.data() + 3 * Z;  // ind[1, 1, ·]
  const double q_f = in.mating_rates[1];
  const double q_m = in.mating_rates[A + 1];
  const double r = in.reproduction_rates[1];
  const double eggs = in.eggs_per_female;
  const double sr = in.sex_ratio;
  const double* fec_f = in.fecundity_fitness;
  const double* fec_m = in.fecundity_fitness + Z;
  for (size_t k = 0; k < Z; ++k) daughters[k] = sons[k] = 0.0;
  double* m = male_pool;
  for (size_t j = 0; j < Z; ++j) m[j] = q_m * n_m[j];

  for (size_t i = 0; i < Z; ++i) {
    const double w = q_f * (n_f[i] * fec_f[i]);
    const double* pref = in.sexual_selection_fitness + i * Z;
    double d = 0.0;
    for (size_t j = 0; j < Z; ++j) d += pref[j] * m[j];
    if (w <= 0.0 || d <= 0.0) continue;
    for (size_t j = 0; j < Z; ++j) {
      if (!(m[j] > 0.0)) continue;
      const double pairs = (w * (m[j] / d)) * pref[j];
      if (pairs <= 0.0) continue;
      const double* o_row = in.offspring_tensor + (i * Z + j) * Z;
      for (size_t k = 0; k < Z; ++k) {
        const double o = o_row[k];
        if (!(o > 0.0)) continue;
        const double x = (r * (eggs * (o * pairs))) * fec_m[j];
        if (!layout.has_sex_chromosomes) {
          daughters[k] += sr * x;
          sons[k] += (1.0 - sr) * x;
        } else if ((*layout.female_only_by_sex_chrom)[k]) {
          daughters[k] += x;
        } else if ((*layout.male_only_by_sex_chrom)[k]) {
          sons[k] += x;
        } else {
          const double p = compatibility_share(in.female_ztype_compatibility[k], in.male_ztype_compatibility[k]);
          daughters[k] += x * p;
          sons[k] += x * (1.0 - p);
        }
      }
    }
  }
}

void zygote_viability(const DemeInputs& in, size_t Z, double* daughters, double* sons) {
  const double* vf = in.zygote_viability_fitness;
  const double* vm = in.zygote_viability_fitness + Z;
  for (size_t k = 0; k < Z; ++k) {
    daughters[k] = daughters[k] * vf[k];
    sons[k] = sons[k] * vm[k];
  }
}

void density_regulation(const DemeInputs& in, size_t Z, double* daughters, double* sons) {
  const int64_t mode = in.growth_mode;
  if (mode < 1) return;
  double N = 0.0;
  for (size_t k = 0; k < Z; ++k) N += daughters[k];
  for (size_t k = 0; k < Z; ++k) N += sons[k];
  double h = 1.0;
  if (mode == 1) {
    h = regulation_scaling(1, N, in.carrying_capacity, in.low_density_growth_rate, 1.0).value();
  } else if (mode <= 4 && in.equilibrium) {
    // Unknown modes fail in regulation_scaling and give 1, so their
    // calibration is not computed.
    auto eq = (*in.equilibrium)();
    if (eq) {
      auto factor =
          regulation_scaling(mode, N, eq->competition_strength, in.low_density_growth_rate, eq->survival_rate);
      h = factor ? *factor : 1.0;
    }
  }
  for (size_t k = 0; k < Z; ++k) daughters[k] = daughters[k] * h;
  for (size_t k = 0; k < Z; ++k) sons[k] = sons[k] * h;
}

void juvenile_survival(const DemeInputs& in, size_t Z, double* daughters, double* sons) {
  constexpr size_t A = 2;
  const double sr_f = in.survival_rates[0];
  const double sr_m = in.survival_rates[A];
  const double* vf = in.viability_fitness;          // [0, 0, ·]
  const double* vm = in.viability_fitness + A * Z;  // [1, 0, ·]
  for (size_t k = 0; k < Z; ++k) {
    daughters[k] = (vf[k] * sr_f) * daughters[k];
    sons[k] = (vm[k] * sr_m) * sons[k];
  }
}

Status sample(SessionRng& rng, int64_t extreme_speed_mode, bool stochastic, size_t Z, double* daughters,
              double* sons, KernelScratch& scratch) {
  if (!stochastic) return Status::ok();
  SamplerMemo& memo = scratch.memo;
  if (extreme_speed_mode == 1) {
    double T = 0.0;
    for (size_t k = 0; k < Z; ++k) T += daughters[k];
    for (size_t k = 0; k < Z; ++k) T += sons[k];
    if (!(T > 0.0)) return Status::ok();
    double* p = scratch.cohort.data();
    for (size_t k = 0; k < Z; ++k) p[k] = daughters[k] / T;
    for (size_t k = 0; k < Z; ++k) p[Z + k] = sons[k] / T;
    std::span<double> drawn(scratch.cohort_draws.data(), 2 * Z);
    QORIN_TRY(multinomial(rng, round_count(T), std::span<const double>(p, 2 * Z), drawn, memo));
    for (size_t k = 0; k < Z; ++k) daughters[k] = drawn[k];
    for (size_t k = 0; k < Z; ++k) sons[k] = drawn[Z + k];
    return Status::ok();
  }
  if (extreme_speed_mode == 2) {
    for (size_t k = 0; k < Z; ++k) {
      auto d = poisson(rng, floor0(daughters[k]), memo);
      if (!d) return d.error();
      daughters[k] = *d;
      auto s = poisson(rng, floor0(sons[k]), memo);
      if (!s) return s.error();
      sons[k] = *s;
    }
  }
  return Status::ok();
}

void write(size_t Z, const double* daughters, const double* sons, std::span<double> ind) {
  if (ind.size() < 4 * Z) return;
  const Rows st = rows_of(ind, Z);
  for (size_t k = 0; k < Z; ++k) {
    st.female0[k] = 0.0;
    st.male0[k] = 0.0;
    st.female1[k] = daughters[k];
    st.male1[k] = sons[k];
  }
}

Status generation(SessionRng& rng, const LifeLayout& layout, const DemeInputs& in, int64_t extreme_speed_mode,
                  std::span<double> ind, KernelScratch& scratch) {
  QORIN_TRY(check_speed_mode(extreme_speed_mode));
  QORIN_TRY(check_state(layout, ind.size()));
  const size_t Z = layout.n_ztypes;
  scratch.ensure(Z);
  double* daughters = scratch.daughters.data();
  double* sons = scratch.sons.data();
  expected_newborns(layout, in, ind, daughters, sons, scratch.male_pool.data());
  zygote_viability(in, Z, daughters, sons);
  density_regulation(in, Z, daughters, sons);
  juvenile_survival(in, Z, daughters, sons);
  QORIN_TRY(sample(rng, extreme_speed_mode, layout.mode != ExecMode::Deterministic, Z, daughters, sons, scratch));
  write(Z, daughters, sons, ind);
  return Status::ok();
}

}  // namespace wf

}  // namespace qorin
