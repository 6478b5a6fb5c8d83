#include "core/kernels/equilibrium.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/util/numeric.hpp"
#include "core/util/reference_paths.hpp"
#include "core/util/tolerances.hpp"

namespace qorin {

namespace {

// Entry i of a slice, 0 outside it.
double at(std::span<const double> v, size_t i) { return i < v.size() ? v[i] : 0.0; }

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

// The calibration is a pure function of its inputs: each thread keeps the
// last result beside the exact bits of everything it was computed from, and
// returns it again only for bit-identical inputs (so NaN payloads and the sign
// of zero count too), so it can never be stale. The key buffers keep their
// capacity, so a steady run does not allocate.
struct CalibrationMemo {
  bool valid = false;
  std::vector<double> key, probe;
  EquilibriumMetrics value;
};

// A count kept by its bits (a conversion to double could merge large counts).
double count_bits(size_t n) { return std::bit_cast<double>(static_cast<uint64_t>(n)); }

void append(std::vector<double>& out, std::span<const double> v) {
  out.push_back(count_bits(v.size()));
  out.insert(out.end(), v.begin(), v.end());
}

void calibration_key(const EquilibriumInputs& in, std::vector<double>& out) {
  out.clear();
  out.push_back(in.carrying_capacity);
  out.push_back(in.eggs_per_female);
  out.push_back(in.female_fraction);
  out.push_back(in.external_expected_eggs);
  out.push_back(in.has_declared ? 1.0 : 0.0);
  out.push_back(in.discrete_generation ? 1.0 : 0.0);
  out.push_back(count_bits(in.new_adult_age));
  out.push_back(count_bits(in.n_ages));
  append(out, in.survival);
  append(out, in.reproduction);
  append(out, in.fertility);
  append(out, in.competition);
  if (in.has_declared) append(out, in.declared);
}

EquilibriumMetrics compute_equilibrium(const EquilibriumInputs& in);

}  // namespace

EquilibriumMetrics equilibrium_core(const EquilibriumInputs& in) {
  if (reference_paths()) return compute_equilibrium(in);
  thread_local CalibrationMemo memo;
  calibration_key(in, memo.probe);
  if (memo.valid && memo.probe.size() == memo.key.size() &&
      std::memcmp(memo.probe.data(), memo.key.data(), memo.key.size() * sizeof(double)) == 0) {
    return memo.value;
  }
  memo.valid = false;
  memo.value = compute_equilibrium(in);
  memo.key.swap(memo.probe);
  memo.valid = true;
  return memo.value;
}

namespace {

EquilibriumMetrics compute_equilibrium(const EquilibriumInputs& in) {
  const size_t A = in.n_ages;
  const size_t start = in.new_adult_age;
  const double K = in.carrying_capacity;
  const double e = in.female_fraction;
  // survival[sex, age]
  auto surv = [&](size_t sex, size_t age) { return age < A ? at(in.survival, sex * A + age) : 0.0; };

  // 1. Reproduction rates, clamped to [0, 1], zero below the first adult age.
  auto r = [&](size_t a) { return a >= start ? clamp01_keep_nan(at(in.reproduction, a)) : 0.0; };

  // 2. Male fraction.
  const double o = 1.0 - e;

  // 3. Equilibrium age distribution (female half lf, male half lm) and the
  //    reference count R. The distribution is walked age by age, so the
  //    calibration needs no buffers; each walk repeats the same operations.
  double R;
  double f1 = 0.0, m1 = 0.0;
  if (in.has_declared) {
    R = (A > 1 ? at(in.declared, 1) : 0.0) + (A > 1 ? at(in.declared, A + 1) : 0.0);
  } else {
    R = K;
    const double sf = surv(0, 0);
    const double sm = surv(1, 0);
    const double E = e * sf + o * sm;
    if (sf != sm && E > 0.0) {
      f1 = K * ((e * sf) / E);
      m1 = K * ((o * sm) / E);
    } else {
      f1 = K * e;
      m1 = K * o;
    }
  }
  // Calls visit(a, lf[a], lm[a]) for a = 0 .. A-1.
  auto walk = [&](auto&& visit) {
    double lf = 0.0, lm = 0.0;
    for (size_t a = 0; a < A; ++a) {
      if (in.has_declared) {
        lf = at(in.declared, a);
        lm = at(in.declared, A + a);
      } else if (a == 0) {
        lf = lm = 0.0;
      } else if (a == 1) {
        lf = f1;
        lm = m1;
      } else {
        lf = lf * surv(0, a - 1);
        lm = lm * surv(1, a - 1);
      }
      visit(a, lf, lm);
    }
  };

  // 4. Expected eggs per tick at equilibrium.
  double Q = 0.0;
  walk([&](size_t a, double lf, double) {
    if (a < start) return;
    if (in.discrete_generation) {
      Q += in.eggs_per_female * (lf * r(a));
    } else {
      Q += in.eggs_per_female * ((lf * r(a)) * clamp01_keep_nan(at(in.fertility, a)));
    }
  });

  // 5. Competition strength: eggs weighted by the age-0 weight, plus the
  //    juveniles of ages 1 .. start-1.
  EquilibriumMetrics out;
  double strength = Q * at(in.competition, 0);
  walk([&](size_t a, double lf, double lm) {
    if (a >= 1 && a < start) strength += (lf + lm) * at(in.competition, a);
  });
  out.expected_competition_strength = strength;

  // 6. Recruitment ratio.
  const double F = in.external_expected_eggs >= 0.0 ? in.external_expected_eggs : Q;
  if (F > 0.0) {
    const double e2 = e * surv(0, 0) + o * surv(1, 0);
    out.expected_survival_rate = e2 > kNegligible ? R / (F * e2) : 1.0;
  } else {
    out.expected_survival_rate = 1.0;
  }
  return out;
}

}  // namespace

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
