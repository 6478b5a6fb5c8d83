#include "core/kernels/equilibrium.hpp"

#include <vector>

namespace qorin {

namespace {

// Entry i of a slice, 0 outside it.
double at(std::span<const double> v, size_t i) { return i < v.size() ? v[i] : 0.0; }

// clamp(x, 0, 1) with NaN passing through unchanged.
double clamp01(double x) { return x < 0.0 ? 0.0 : (x > 1.0 ? 1.0 : x); }

// Block d of a column with per-deme extent `ext`, cut to what the column holds.
std::span<const double> block(const std::vector<double>& col, size_t d, size_t ext) {
  size_t begin = 0;
  if (__builtin_mul_overflow(d, ext, &begin) || begin >= col.size()) return {};
  const size_t n = col.size() - begin < ext ? col.size() - begin : ext;
  return std::span<const double>(col.data() + begin, n);
}

double entry(const std::vector<double>& col, size_t d, double missing) {
  return d < col.size() ? col[d] : missing;
}

}  // namespace

EquilibriumMetrics equilibrium_core(const EquilibriumInputs& in) {
  const size_t A = in.n_ages;
  const size_t start = in.new_adult_age;
  const double K = in.carrying_capacity;
  const double e = in.female_fraction;
  // survival[sex, age]
  auto surv = [&](size_t sex, size_t age) { return age < A ? at(in.survival, sex * A + age) : 0.0; };

  // 1. Reproduction rates, clamped to [0, 1], zero below the first adult age.
  std::vector<double> r(A, 0.0);
  for (size_t a = start; a < A; ++a) r[a] = clamp01(at(in.reproduction, a));

  // 2. Male fraction.
  const double o = 1.0 - e;

  // 3. Equilibrium age distribution and the reference count R.
  std::vector<double> lf(A, 0.0), lm(A, 0.0);
  double R;
  if (in.has_declared) {
    for (size_t a = 0; a < A; ++a) {
      lf[a] = at(in.declared, a);
      lm[a] = at(in.declared, A + a);
    }
    R = (A > 1 ? lf[1] : 0.0) + (A > 1 ? lm[1] : 0.0);
  } else {
    R = K;
    const double sf = surv(0, 0);
    const double sm = surv(1, 0);
    const double E = e * sf + o * sm;
    double f1, m1;
    if (sf != sm && E > 0.0) {
      f1 = K * ((e * sf) / E);
      m1 = K * ((o * sm) / E);
    } else {
      f1 = K * e;
      m1 = K * o;
    }
    if (A > 1) {
      lf[1] = f1;
      lm[1] = m1;
    }
    for (size_t a = 2; a < A; ++a) {
      lf[a] = lf[a - 1] * surv(0, a - 1);
      lm[a] = lm[a - 1] * surv(1, a - 1);
    }
  }

  // 4. Expected eggs per tick at equilibrium.
  double Q = 0.0;
  for (size_t a = start; a < A; ++a) {
    if (in.discrete_generation) {
      Q += in.eggs_per_female * (lf[a] * r[a]);
    } else {
      Q += in.eggs_per_female * ((lf[a] * r[a]) * clamp01(at(in.fertility, a)));
    }
  }

  // 5. Competition strength: eggs weighted by the age-0 weight, plus the
  //    juveniles of ages 1 .. start-1.
  EquilibriumMetrics out;
  double strength = Q * at(in.competition, 0);
  for (size_t i = 1; i < start && i < A; ++i) {
    strength += (lf[i] + lm[i]) * at(in.competition, i);
  }
  out.expected_competition_strength = strength;

  // 6. Recruitment ratio.
  const double F = in.external_expected_eggs >= 0.0 ? in.external_expected_eggs : Q;
  if (F > 0.0) {
    const double e2 = e * surv(0, 0) + o * surv(1, 0);
    out.expected_survival_rate = e2 > 1e-10 ? R / (F * e2) : 1.0;
  } else {
    out.expected_survival_rate = 1.0;
  }
  return out;
}

EquilibriumMetrics equilibrium_metrics(const Blueprint& bp, const EcologyParams& eco, size_t deme) {
  const size_t d = eco.n_demes == 0 ? 0 : (deme < eco.n_demes ? deme : eco.n_demes - 1);
  const size_t A = bp.n_ages;
  size_t two_a = 0;
  if (__builtin_mul_overflow(size_t{2}, A, &two_a)) two_a = 0;

  EquilibriumInputs in;
  in.n_ages = A;
  in.new_adult_age = bp.new_adult_age;
  in.discrete_generation = bp.discrete_generation;
  in.survival = block(eco.survival_rates, d, two_a);
  in.reproduction = block(eco.reproduction_rates, d, A);
  in.fertility = block(eco.fertility, d, A);
  in.competition = block(eco.competition_weights, d, A);
  in.carrying_capacity = entry(eco.carrying_capacity, d, 0.0);
  in.eggs_per_female = entry(eco.eggs_per_female, d, 0.0);
  in.female_fraction = bp.has_sex_chromosomes ? 0.5 : entry(eco.sex_ratio, d, 0.0);
  in.external_expected_eggs = entry(eco.external_expected_eggs, d, -1.0);
  const bool declared = d < eco.equilibrium_declared.size() && eco.equilibrium_declared[d] == 1;
  if (declared) {
    in.has_declared = true;
    in.declared = block(eco.equilibrium_distribution, d, two_a);
  }
  return equilibrium_core(in);
}

}  // namespace qorin
