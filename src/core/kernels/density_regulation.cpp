// Survival stage: density-regulated recruitment of the age-0 cohort, then
// survival of every class with the sperm stored by mated females.
#include <cstring>
#include <string>

#include "core/kernels/lifecycle.hpp"
#include "core/kernels/lifecycle_steps.hpp"
#include "core/util/format.hpp"
#include "core/util/reference_paths.hpp"

namespace qorin {

namespace {
}  // namespace

Result<double> regulation_scaling(int64_t mode, double n, double k, double g, double base) {
  switch (mode) {
    case 0:
      return 1.0;
    case 1:
      if (n > 0.0) {
        const double r = k / n;
        return r < 1.0 ? r : 1.0;
      }
      return 1.0;
    case 2:
    case 3:
    case 4: {
      if (!(k > 0.0)) return 0.0;
      const double x = n / k;
      if (mode == 2) {
        double v = g - x * (g - 1.0);
        return base * (v > 0.0 ? v : 0.0);
      }
      if (mode == 3) return (base * g) / (x * (g - 1.0) + 1.0);
      return base * std::pow(g, 1.0 - x);
    }
    default:
      return Error::value("unrecognized growth mode " + format_int(mode) +
                          " (built-ins are 0-4; ids >= 5 are reserved and have no registry)");
  }
}

Status recruit_cohort(SessionRng& rng, ExecMode mode, double h, size_t Z, double* female0, double* male0,
                      KernelScratch& scratch) {
  // J: daughters then sons, rounded in stochastic mode.
  const bool stochastic = mode == ExecMode::Stochastic;
  double S = 0.0;
  double* Jv = scratch.cohort.data();
  for (size_t z = 0; z < Z; ++z) Jv[z] = stochastic ? round_half_away(female0[z]) : female0[z];
  for (size_t z = 0; z < Z; ++z) Jv[Z + z] = stochastic ? round_half_away(male0[z]) : male0[z];
  for (size_t t = 0; t < 2 * Z; ++t) S += Jv[t];
  if (!(S > 0.0)) {
    for (size_t z = 0; z < Z; ++z) female0[z] = male0[z] = 0.0;
    return Status::ok();
  }
  double T = h * S;
  if (stochastic) T = round_half_away(T);
  if (!(T > 0.0)) {
    for (size_t z = 0; z < Z; ++z) female0[z] = male0[z] = 0.0;
  } else if (mode == ExecMode::Deterministic) {
    const double ratio = T / S;
    for (size_t z = 0; z < Z; ++z) female0[z] = ratio * Jv[z];
    for (size_t z = 0; z < Z; ++z) male0[z] = ratio * Jv[Z + z];
  } else {
    for (size_t t = 0; t < 2 * Z; ++t) Jv[t] = Jv[t] / S;
    std::span<const double> p(Jv, 2 * Z);
    std::span<double> drawn(scratch.cohort_draws.data(), 2 * Z);
    if (stochastic) {
      QORIN_TRY(multinomial(rng, round_count(T), p, drawn, scratch.memo));
    } else {
      QORIN_TRY(continuous_multinomial(rng, T, p, drawn));
    }
    for (size_t z = 0; z < Z; ++z) female0[z] = drawn[z];
    for (size_t z = 0; z < Z; ++z) male0[z] = drawn[Z + z];
  }
  return Status::ok();
}

Status survival(SessionRng& rng, const LifeLayout& layout, const DemeInputs& in,
                std::span<double> ind, std::span<double> sperm, KernelScratch& scratch) {
  const size_t A = layout.n_ages;
  const size_t Z = layout.n_ztypes;
  const ExecMode mode = layout.mode;
  scratch.ensure(Z);
  // Without age classes there is no cohort to regulate and no class to survive.
  if (A == 0) return Status::ok();
  double* female = ind.data();
  double* male = ind.data() + A * Z;

  // 1. Density factor. Only modes 1-4 regulate: any other mode is unknown to
  // regulation_scaling, whose error is dropped with h = 1, so neither the
  // density nor the equilibrium is computed for it (no error text is built
  // on every tick).
  double h = 1.0;
  const int64_t growth_mode = in.growth_mode;
  if (growth_mode == 1) {
    double nf = 0.0, nm = 0.0;
    for (size_t z = 0; z < Z; ++z) nf += female[z];
    for (size_t z = 0; z < Z; ++z) nm += male[z];
    h = regulation_scaling(1, nf + nm, in.carrying_capacity, in.low_density_growth_rate, 1.0).value();
  } else if (growth_mode >= 2 && growth_mode <= 4) {
    double density = 0.0;
    const size_t juvenile_end = layout.first_adult_age();
    for (size_t a = 0; a < juvenile_end; ++a) {
      double nf = 0.0, nm = 0.0;
      for (size_t z = 0; z < Z; ++z) nf += female[a * Z + z];
      for (size_t z = 0; z < Z; ++z) nm += male[a * Z + z];
      density += (nf + nm) * in.competition_weights[a];
    }
    EquilibriumPair eq;
    bool have_eq = false;
    if (in.equilibrium) {
      auto r = (*in.equilibrium)();
      if (r) {
        eq = *r;
        have_eq = true;
      }
    }
    if (have_eq) {
      auto factor = regulation_scaling(growth_mode, density, eq.competition_strength,
                                       in.low_density_growth_rate, eq.survival_rate);
      h = factor ? *factor : 1.0;
    }
  }

  // 2. Recruitment of the age-0 cohort.
  QORIN_TRY(recruit_cohort(rng, mode, h, Z, female, male, scratch));

  // 3. Survival of every class.
  const double* sr_f = in.survival_rates;
  const double* sr_m = in.survival_rates + A;
  const double* vf = in.viability_fitness;
  const double* vm = in.viability_fitness + A * Z;
  if (mode == ExecMode::Deterministic) {
    for (size_t a = 0; a < A; ++a) {
      for (size_t i = 0; i < Z; ++i) {
        const double s_f = vf[a * Z + i] * sr_f[a];
        const double s_m = vm[a * Z + i] * sr_m[a];
        female[a * Z + i] = s_f * female[a * Z + i];
        double* row = sperm.data() + (a * Z + i) * Z;
        for (size_t j = 0; j < Z; ++j) row[j] = s_f * row[j];
        male[a * Z + i] = s_m * male[a * Z + i];
      }
    }
    return Status::ok();
  }

  const bool stochastic = mode == ExecMode::Stochastic;
  SamplerMemo& memo = scratch.memo;
  auto survivors = [&](double count, double p) -> RngResult {
    if (stochastic) {
      const double x = round_half_away(count);
      if (!(x > kNegligible)) return RngResult::ok(0.0);
      return binomial(rng, round_count(x), p, memo);
    }
    if (!(count > kNegligible)) return RngResult::ok(0.0);
    return continuous_binomial(rng, count, p);
  };

  const bool fast = !reference_paths();
  double* const row_stored = scratch.row_stored.data();
  for (size_t a = 0; a < A; ++a) {
    // Row i of age a is only changed by its own females' survival, so all
    // rows of the age can be summed first (side by side, each in order).
    if (fast) row_sums(sperm.data() + a * Z * Z, Z, Z, row_stored);
    for (size_t i = 0; i < Z; ++i) {
      const double s_f = clamp01(vf[a * Z + i] * sr_f[a]);
      const double s_m = clamp01(vm[a * Z + i] * sr_m[a]);
      const double n_f = female[a * Z + i];
      double* row = sperm.data() + (a * Z + i) * Z;
      double stored = 0.0;
      if (fast) {
        stored = row_stored[i];
      } else {
        for (size_t j = 0; j < Z; ++j) stored += row[j];
      }
      if (sperm_exceeds_females(n_f, stored)) {
        return Error::runtime("Invalid state: n_virgins < 0 in sample_survival_with_sperm_storage (age=" +
                              format_uint(a) + ", g=" + format_uint(i) + ", n_f_raw=" +
                              format_number(n_f) + ", total_sperm=" + format_number(stored) + ")");
      }
      double virgins = n_f - stored;
      if (!(virgins > 0.0)) virgins = 0.0;
      double kept = 0.0;
      for (size_t j = 0; j < Z; ++j) {
        // No stored sperm of a type: none survives, nothing is drawn, and
        // adding the +0.0 would leave `kept` as it is.
        if (fast && row[j] == 0.0) {
          row[j] = 0.0;
          continue;
        }
        auto r = survivors(row[j], s_f);
        if (!r) return r.error();
        row[j] = *r;
        kept += *r;
      }
      auto v = survivors(virgins, s_f);
      if (!v) return v.error();
      female[a * Z + i] = kept + *v;
      auto m = survivors(male[a * Z + i], s_m);
      if (!m) return m.error();
      male[a * Z + i] = *m;
    }
  }
  return Status::ok();
}

void aging(size_t n_ages, size_t n_ztypes, std::span<double> ind, std::span<double> sperm) {
  const size_t A = n_ages, Z = n_ztypes;
  if (A == 0) return;
  // Every age moves up by one: ages 0 .. A-2 of each sex, and of the stored
  // sperm, are copied one age higher in a single block move each (the oldest
  // age is overwritten), then age 0 is cleared. Without genotypes the spans
  // may hold no storage at all, and there is nothing to move.
  for (size_t sex = 0; sex < 2; ++sex) {
    double* row = ind.data() + sex * A * Z;
    if (A > 1 && Z > 0) std::memmove(row + Z, row, (A - 1) * Z * sizeof(double));
    for (size_t z = 0; z < Z; ++z) row[z] = 0.0;
  }
  if (A > 1 && Z > 0) std::memmove(sperm.data() + Z * Z, sperm.data(), (A - 1) * Z * Z * sizeof(double));
  for (size_t t = 0; t < Z * Z; ++t) sperm[t] = 0.0;
}

}  // namespace qorin
