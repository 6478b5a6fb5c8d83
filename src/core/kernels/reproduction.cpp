// Reproduction stage: mating pool, mating with sperm displacement, eggs and
// zygotes, sex allocation, zygote viability. Works in place on one deme.
#include "core/kernels/lifecycle.hpp"
#include "core/kernels/lifecycle_steps.hpp"
#include "core/util/reference_paths.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qorin {

namespace {


// Eggs of every pair of one age: (r * n) * (fert * pair_eggs) where the pair
// holds sperm (n > 0) and the product is not at most kNegligible, else 0. The
// product is formed for every pair and then selected, so the loop has no
// branches (and vectorises; each lane is the same product); the kept values
// are the same products. Returns false when a kept value is not finite:
// v - v is +0.0 for a finite v and NaN otherwise, and sums of +0.0 stay +0.0.
bool age_egg_counts(const double* __restrict stored, const double* __restrict pair_eggs, double r, double fert,
                    size_t m, double* __restrict out) {
  // Eight lanes side by side (the pass and the check vectorise); each lane
  // keeps its own finiteness sum.
  double c[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  size_t p = 0;
  for (; p + 8 <= m; p += 8) {
    for (size_t l = 0; l < 8; ++l) {
      const double n = stored[p + l];
      const double x = (r * n) * (fert * pair_eggs[p + l]);
      const bool keep = (n > 0.0) & !(x <= kNegligible);
      const double v = keep ? x : 0.0;
      out[p + l] = v;
      c[l] += v - v;
    }
  }
  for (; p < m; ++p) {
    const double n = stored[p];
    const double x = (r * n) * (fert * pair_eggs[p]);
    const bool keep = (n > 0.0) & !(x <= kNegligible);
    const double v = keep ? x : 0.0;
    out[p] = v;
    c[0] += v - v;
  }
  bool finite = true;
  for (const double v : c) finite &= v == 0.0;
  return finite;
}

// zyg[k] += x * o[k] for every k; lanes are independent, so this vectorises
// without changing any element's rounding.
void add_scaled(double* __restrict zyg, const double* __restrict o, double x, size_t z) {
  for (size_t k = 0; k < z; ++k) zyg[k] += x * o[k];
}

}  // namespace

Status distribute(SessionRng& rng, SamplerMemo& memo, ExecMode mode, double count, std::span<const double> probs,
                  std::span<double> draws, double* dst) {
  const size_t z = probs.size();
  if (mode == ExecMode::Deterministic) {
    for (size_t k = 0; k < z; ++k) dst[k] += count * probs[k];
    return Status::ok();
  }
  if (mode == ExecMode::Stochastic) {
    QORIN_TRY(multinomial(rng, round_count(count), probs, draws, memo));
  } else {
    QORIN_TRY(continuous_multinomial(rng, count, probs, draws));
  }
  for (size_t k = 0; k < z; ++k) dst[k] += draws[k];
  return Status::ok();
}

void mating_matrix(size_t Z, const double* ssf, const double* pool, double* P, uint8_t* row_has_mates) {
  for (size_t i = 0; i < Z; ++i) {
    double* prow = P + i * Z;
    const double* pref = ssf + i * Z;
    double s = 0.0;
    for (size_t j = 0; j < Z; ++j) {
      prow[j] = pref[j] * pool[j];
      s += prow[j];
    }
    if (!std::isfinite(s) || s <= kNegligible) {
      for (size_t j = 0; j < Z; ++j) prow[j] = 0.0;
      row_has_mates[i] = 0;
    } else {
      for (size_t j = 0; j < Z; ++j) prow[j] = prow[j] / s;
      row_has_mates[i] = 1;
    }
  }
}

namespace {

// The sampling modes' split of x eggs over the offspring row o whose sum is s:
// a row summing below one first thins the eggs.
Status sample_zygotes(SessionRng& rng, SamplerMemo& memo, ExecMode mode, double x, double s, const double* o,
                      size_t Z, double* probs, std::span<double> draws, double* zyg) {
  if (s <= kNegligible) return Status::ok();
  if (s < kAlmostOne) {
    auto viable = mode == ExecMode::Stochastic ? binomial(rng, round_count(x), s, memo)
                                               : continuous_binomial(rng, x, s);
    if (!viable) return viable.error();
    x = *viable;
    if (x <= kNegligible) return Status::ok();
  }
  const double inv = 1.0 / s;
  for (size_t k = 0; k < Z; ++k) probs[k] = inv * o[k];
  return distribute(rng, memo, mode, x, std::span<const double>(probs, Z), draws, zyg);
}

// The stochastic split of x eggs over row p of the offspring tensor by the
// index's non-zero entries, for a row whose sum s is finite: the draws of
// sample_zygotes and multinomial in the same order with the same arguments.
// A zero entry has probability ±0 and draws nothing, and its count of 0 would
// add +0.0 to a zygote count that is never -0.0; the last category still
// takes whatever remains.
Status sample_zygotes_sparse(SessionRng& rng, SamplerMemo& memo, double x, const OffspringIndex& index, size_t p,
                             size_t Z, double* zyg) {
  const double s = index.row_sum(p);
  if (s <= kNegligible) return Status::ok();
  if (s < kAlmostOne) {
    auto viable = binomial(rng, round_count(x), s, memo);
    if (!viable) return viable.error();
    x = *viable;
    if (x <= kNegligible) return Status::ok();
  }
  int64_t n = round_count(x);
  const size_t last = Z - 1;
  const uint32_t* ks = index.zygote();
  const double* cs = index.conditional();
  for (size_t e = index.row_begin(p), end = index.row_end(p); e < end; ++e) {
    if (n < 1 || ks[e] >= last) break;
    const double c = cs[e];
    if (c == OffspringIndex::kNoDraw) continue;
    const RngOutcome<int64_t> k = binomial_count(rng, n, c, memo);
    if (!k) return k.error();
    zyg[ks[e]] += static_cast<double>(k.val);
    n = n - k.val;
  }
  if (n > 0) zyg[last] += static_cast<double>(n);
  return Status::ok();
}

// The continuous split of x eggs over row p of the offspring tensor by the
// index's non-zero entries, for a row whose sum s is finite: the draws and
// the arithmetic of sample_zygotes and continuous_multinomial in the same
// order. 1/s is finite and non-zero, so a zero entry has probability ±0: with
// a finite total its shape is ±0 (no draw), its share is ±0 or 0·scale = ±0
// for every finite scale, and adding ±0 changes neither the running sums
// (which hold +0.0 or more once anything was added) nor a zygote count; the
// check sum may differ in the sign of a zero only, which no comparison sees.
// The shares are kept in `draws` (a row has at most Z non-zero entries).
Status split_continuous_sparse(SessionRng& rng, SamplerMemo& memo, double x, const OffspringIndex& index, size_t p,
                               const double* o, size_t Z, double* probs, std::span<double> draws, double* zyg) {
  const double s = index.row_sum(p);
  if (s <= kNegligible) return Status::ok();
  if (s < kAlmostOne) {
    auto viable = continuous_binomial(rng, x, s);
    if (!viable) return viable.error();
    x = *viable;
    if (x <= kNegligible) return Status::ok();
  }
  const double inv = 1.0 / s;
  const double total = x;
  if (!std::isfinite(total)) {
    // inf·0 is NaN: every category takes part.
    for (size_t k = 0; k < Z; ++k) probs[k] = inv * o[k];
    return distribute(rng, memo, ExecMode::Continuous, total, std::span<const double>(probs, Z), draws, zyg);
  }
  const uint32_t* ks = index.zygote();
  const double* vs = index.value();
  const size_t b = index.row_begin(p), end = index.row_end(p);
  if (total <= 1.0000000001) {
    for (size_t e = b; e < end; ++e) zyg[ks[e]] += total * (inv * vs[e]);
    return Status::ok();
  }
  double* tmp = draws.data();
  double acc = 0.0;
  for (size_t e = b; e < end; ++e) {
    const double shape = (total - 1.0) * (inv * vs[e]);
    double g = 0.0;
    if (shape > kNegligible) {
      const RngResult d = gamma(rng, shape);
      if (!d) return d.error();
      g = d.val;
    }
    tmp[e - b] = g;
    acc = acc + g;
  }
  const size_t m = end - b;
  if (acc > kNegligible) {
    const double scale = total / acc;
    for (size_t t = 0; t < m; ++t) tmp[t] = tmp[t] * scale;
  } else {
    for (size_t t = 0; t < m; ++t) tmp[t] = total * (inv * vs[b + t]);
  }
  double check = -0.0;
  for (size_t t = 0; t < m; ++t) check = check + tmp[t];
  if (check > kNegligible && std::fabs(check - total) > std::max(total, 1.0) * kSplitSumTolerance) {
    const double scale = total / check;
    for (size_t t = 0; t < m; ++t) tmp[t] = tmp[t] * scale;
  }
  for (size_t t = 0; t < m; ++t) zyg[ks[b + t]] += tmp[t];
  return Status::ok();
}

// add_zygotes for row p of an offspring tensor described by `index`.
Status add_zygotes_indexed(SessionRng& rng, SamplerMemo& memo, ExecMode mode, double x, const OffspringIndex& index,
                           size_t p, const double* o, size_t Z, double* probs, std::span<double> draws,
                           double* zyg) {
  if (x <= kNegligible) return Status::ok();
  if (mode == ExecMode::Stochastic && std::isfinite(index.row_sum(p))) {
    return sample_zygotes_sparse(rng, memo, x, index, p, Z, zyg);
  }
  if (mode == ExecMode::Continuous && std::isfinite(index.row_sum(p))) {
    return split_continuous_sparse(rng, memo, x, index, p, o, Z, probs, draws, zyg);
  }
  if (mode == ExecMode::Deterministic) {
    if (std::isfinite(x)) {
      // x is finite and positive, so a zero entry would add x·(±0) = ±0. Every
      // zyg[k] starts at +0.0 and a sum of doubles is -0.0 only when both terms
      // are, so zyg[k] is never -0.0 and adding ±0 leaves it unchanged (NaN and
      // infinities included): the non-zero entries alone give the same sums.
      const uint32_t* ks = index.zygote();
      const double* vs = index.value();
      for (size_t e = index.row_begin(p), end = index.row_end(p); e < end; ++e) zyg[ks[e]] += x * vs[e];
    } else {
      // inf·0 is NaN: an infinite or NaN x keeps every term.
      add_scaled(zyg, o, x, Z);
    }
    return Status::ok();
  }
  return sample_zygotes(rng, memo, mode, x, index.row_sum(p), o, Z, probs, draws, zyg);
}

// Columns k0 .. k0 + W - 1 of contract_columns side by side: the shortest
// column's length in lockstep, then each column's rest on its own.
template <size_t W>
void contract_column_group(const OffspringIndex& index, const double* X, size_t k0, double* zyg) {
  const uint32_t* rows = index.column_row();
  const double* vals = index.column_value();
  size_t e[W], n[W];
  double s[W];
  size_t common = static_cast<size_t>(-1);
  for (size_t w = 0; w < W; ++w) {
    e[w] = index.column_begin(k0 + w);
    n[w] = index.column_end(k0 + w) - e[w];
    common = n[w] < common ? n[w] : common;
    s[w] = zyg[k0 + w];
  }
  for (size_t t = 0; t < common; ++t) {
    for (size_t w = 0; w < W; ++w) s[w] += X[rows[e[w] + t]] * vals[e[w] + t];
  }
  for (size_t w = 0; w < W; ++w) {
    for (size_t f = e[w] + common, end = e[w] + n[w]; f < end; ++f) s[w] += X[rows[f]] * vals[f];
    zyg[k0 + w] = s[w];
  }
}

// zyg[k] += X[p]·o[p, k] over the non-zero entries of every column k, rows in
// increasing order: the sums of add_zygotes over the rows p in order, when
// every X[p] and every entry is finite (a row that adds nothing has X[p] = 0,
// whose terms are ±0 and leave a sum that is never -0.0 unchanged). Up to
// eight columns run side by side; each is still one chain in row order.
void contract_columns(const OffspringIndex& index, const double* X, size_t z, double* zyg) {
  size_t k = 0;
  for (; k + 8 <= z; k += 8) contract_column_group<8>(index, X, k, zyg);
  if (k + 4 <= z) {
    contract_column_group<4>(index, X, k, zyg);
    k += 4;
  }
  if (k + 2 <= z) {
    contract_column_group<2>(index, X, k, zyg);
    k += 2;
  }
  if (k < z) contract_column_group<1>(index, X, k, zyg);
}

// Largest mean of a newborn count the aggregated sampler draws: up to 2^53 a
// whole count is held exactly by a double.
constexpr double kLargestAggregatedMean = 9007199254740992.0;

// Expected zygotes of up to eight pair rows: rows[w] is the offspring row of
// a pair type whose eggs are eggs[w]. Each row is summed in index order from
// 0.0 (the rows side by side), as the exact sampler sums it; a row summing to
// at most kNegligible makes no zygotes, one summing to at least kAlmostOne
// splits the eggs by the row over its sum, and a lower one thins them by its
// sum first, which leaves the row itself. Returns false where a row's sum is
// not finite.
bool add_expected_zygotes(const double* const* rows, const double* eggs, size_t n, size_t z, double* lambda) {
  double s[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  for (size_t k = 0; k < z; ++k) {
    for (size_t w = 0; w < n; ++w) s[w] += rows[w][k];
  }
  for (size_t w = 0; w < n; ++w) {
    if (!std::isfinite(s[w])) return false;
    if (s[w] <= kNegligible) continue;
    const double x = s[w] < kAlmostOne ? eggs[w] : eggs[w] * (1.0 / s[w]);
    const double* o = rows[w];
    for (size_t k = 0; k < z; ++k) lambda[k] += x * o[k];
  }
  return true;
}

}  // namespace

Result<bool> aggregated_newborns(SessionRng& rng, SamplerMemo& memo, const LifeLayout& layout,
                                 const DemeInputs& in, const double* X, double* lambda, double* female0,
                                 double* male0) {
  const size_t Z = layout.n_ztypes;
  // Expected zygotes of every type: the pair rows that lay eggs, eight at a
  // time in row order.
  for (size_t k = 0; k < Z; ++k) lambda[k] = 0.0;
  const double* rows[8];
  double eggs[8];
  size_t n = 0;
  for (size_t p = 0; p < Z * Z; ++p) {
    if (X[p] == 0.0) continue;
    rows[n] = in.offspring_tensor + p * Z;
    eggs[n] = X[p];
    if (++n == 8) {
      if (!add_expected_zygotes(rows, eggs, n, Z, lambda)) return false;
      n = 0;
    }
  }
  if (n > 0 && !add_expected_zygotes(rows, eggs, n, Z, lambda)) return false;
  for (size_t k = 0; k < Z; ++k) {
    if (!(lambda[k] < kLargestAggregatedMean)) return false;
  }
  const double sex_ratio = clamp01(in.sex_ratio);
  const double* vf = in.zygote_viability_fitness;
  const double* vm = in.zygote_viability_fitness + Z;
  for (size_t k = 0; k < Z; ++k) {
    female0[k] = male0[k] = 0.0;
    const double zygotes = lambda[k];
    if (!(zygotes > 0.0)) continue;
    // The daughter share of the exact sex allocation.
    double p;
    if (!layout.has_sex_chromosomes) {
      p = sex_ratio;
    } else if ((*layout.female_only_by_sex_chrom)[k]) {
      p = 1.0;
    } else if ((*layout.male_only_by_sex_chrom)[k]) {
      p = 0.0;
    } else {
      p = compatibility_share(in.female_ztype_compatibility[k], in.male_ztype_compatibility[k]);
    }
    const RngResult d = poisson(rng, (zygotes * p) * clamp01(vf[k]), memo);
    if (!d) return d.error();
    const RngResult m = poisson(rng, (zygotes * (1.0 - p)) * clamp01(vm[k]), memo);
    if (!m) return m.error();
    female0[k] = *d;
    male0[k] = *m;
  }
  return true;
}

Status add_zygotes(SessionRng& rng, SamplerMemo& memo, ExecMode mode, double x, const double* o, size_t Z,
                   double* probs, std::span<double> draws, double* zyg) {
  if (x <= kNegligible) return Status::ok();
  if (mode == ExecMode::Deterministic) {
    add_scaled(zyg, o, x, Z);
    return Status::ok();
  }
  double s = 0.0;
  for (size_t k = 0; k < Z; ++k) s += o[k];
  return sample_zygotes(rng, memo, mode, x, s, o, Z, probs, draws, zyg);
}

Status allocate_sexes(SessionRng& rng, SamplerMemo& memo, const LifeLayout& layout, const DemeInputs& in,
                      const double* zyg, double* daughters, double* sons) {
  const size_t Z = layout.n_ztypes;
  const ExecMode mode = layout.mode;
  for (size_t k = 0; k < Z; ++k) daughters[k] = sons[k] = 0.0;
  double zyg_total = 0.0;
  for (size_t k = 0; k < Z; ++k) zyg_total += zyg[k];
  if (!(zyg_total > kNegligible)) return Status::ok();
  const double sex_ratio = clamp01(in.sex_ratio);
  for (size_t k = 0; k < Z; ++k) {
    if (!(zyg[k] > kNegligible)) continue;
    double p;
    if (!layout.has_sex_chromosomes) {
      p = sex_ratio;
    } else if ((*layout.female_only_by_sex_chrom)[k]) {
      daughters[k] = zyg[k];
      sons[k] = 0.0;
      continue;
    } else if ((*layout.male_only_by_sex_chrom)[k]) {
      daughters[k] = 0.0;
      sons[k] = zyg[k];
      continue;
    } else {
      p = compatibility_share(in.female_ztype_compatibility[k], in.male_ztype_compatibility[k]);
    }
    double d;
    if (mode == ExecMode::Deterministic) {
      d = zyg[k] * p;
    } else {
      auto b = mode == ExecMode::Stochastic ? binomial(rng, round_count(zyg[k]), p, memo)
                                            : continuous_binomial(rng, zyg[k], p);
      if (!b) return b.error();
      d = *b;
    }
    daughters[k] = d;
    sons[k] = zyg[k] - d;
  }
  return Status::ok();
}

Status write_newborns(SessionRng& rng, SamplerMemo& memo, ExecMode mode, const double* zygote_viability, size_t Z,
                      const double* daughters, const double* sons, double* female0, double* male0) {
  for (size_t k = 0; k < Z; ++k) {
    female0[k] = daughters[k];
    male0[k] = sons[k];
  }
  const double* vf = zygote_viability;
  const double* vm = zygote_viability + Z;
  for (size_t k = 0; k < Z; ++k) {
    if (mode == ExecMode::Deterministic) {
      female0[k] = vf[k] * female0[k];
      male0[k] = vm[k] * male0[k];
    } else if (mode == ExecMode::Stochastic) {
      double d = 0.0, s = 0.0;
      const int64_t nf = round_count(female0[k]);
      if (nf >= 1) {
        auto b = binomial(rng, nf, vf[k], memo);
        if (!b) return b.error();
        d = *b;
      }
      const int64_t nm = round_count(male0[k]);
      if (nm >= 1) {
        auto b = binomial(rng, nm, vm[k], memo);
        if (!b) return b.error();
        s = *b;
      }
      female0[k] = d;
      male0[k] = s;
    } else {
      double d = 0.0, s = 0.0;
      if (female0[k] > 0.0) {
        auto b = continuous_binomial(rng, female0[k], vf[k]);
        if (!b) return b.error();
        d = *b;
      }
      if (male0[k] > 0.0) {
        auto b = continuous_binomial(rng, male0[k], vm[k]);
        if (!b) return b.error();
        s = *b;
      }
      female0[k] = d;
      male0[k] = s;
    }
  }
  return Status::ok();
}

namespace {

// Eggs, zygotes, sexes and zygote viability of the age-structured stage by
// the aggregated sampler: the reproducing pairs of every adult age and pair
// type are drawn as the exact sampler draws them, their expected eggs summed
// over the ages, and the newborns drawn from those sums. Returns false, with
// the stream as it was on entry, where the aggregated sampler cannot draw
// them (the caller then draws the exact way).
Result<bool> aggregated_reproduction(SessionRng& rng, SamplerMemo& memo, const LifeLayout& layout,
                                     const DemeInputs& in, std::span<const double> sperm, KernelScratch& scratch,
                                     double* female, double* male) {
  const size_t A = layout.n_ages;
  const size_t Z = layout.n_ztypes;
  const SessionRng entry = rng;
  double eggs = in.eggs_per_female;
  if (!(eggs > 0.0)) eggs = 0.0;
  const double* fec_f = in.fecundity_fitness;
  const double* fec_m = in.fecundity_fitness + Z;
  double* pair_eggs = scratch.pair_eggs.data();
  for (size_t i = 0; i < Z; ++i) {
    const double eggs_i = eggs * fec_f[i];
    for (size_t j = 0; j < Z; ++j) pair_eggs[i * Z + j] = eggs_i * fec_m[j];
  }
  double* X = scratch.age_eggs.data();
  for (size_t p = 0; p < Z * Z; ++p) X[p] = 0.0;
  for (size_t a = layout.first_adult_age(); a < A; ++a) {
    const double r = clamp01(in.reproduction_rates[a]);
    const double fert = clamp01(in.fertility[a]);
    const double* stored = sperm.data() + a * Z * Z;
    for (size_t p = 0; p < Z * Z; ++p) {
      const double n = stored[p];
      if (!(n > 0.0)) continue;
      const int64_t n_int = round_count(n);
      if (n_int <= 0) continue;
      double pairs = static_cast<double>(n_int);
      if (r < kAlmostOne) {
        const RngResult b = binomial(rng, n_int, r, memo);
        if (!b) return b.error();
        pairs = *b;
      }
      const double t = (fert * pair_eggs[p]) * pairs;
      if (t <= kNegligible) continue;
      X[p] += t;
    }
  }
  const Result<bool> drawn = aggregated_newborns(rng, memo, layout, in, X, scratch.zygotes.data(), female, male);
  if (drawn && !*drawn) rng = entry;
  return drawn;
}

}  // namespace

Status reproduction(SessionRng& rng, const LifeLayout& layout, const DemeInputs& in,
                    std::span<double> ind, std::span<double> sperm, KernelScratch& scratch) {
  const size_t A = layout.n_ages;
  const size_t Z = layout.n_ztypes;
  const ExecMode mode = layout.mode;
  const size_t first_adult = layout.first_adult_age();
  scratch.ensure(Z);
  double* female = ind.data();          // ind[0, a, z]
  double* male = ind.data() + A * Z;    // ind[1, a, z]

  // Step 1: male mating pool over the adult ages.
  double* pool = scratch.male_pool.data();
  for (size_t j = 0; j < Z; ++j) pool[j] = 0.0;
  for (size_t a = first_adult; a < A; ++a) {
    const double availability = in.mating_rates[A + a];  // used as stored
    const double* row = male + a * Z;
    for (size_t j = 0; j < Z; ++j) pool[j] += row[j] * availability;
  }
  double total_pool = 0.0;
  for (size_t j = 0; j < Z; ++j) total_pool += pool[j];
  if (total_pool == 0.0) return Status::ok();

  // Step 2: mating matrix; a row whose preference weights vanish gets no mates.
  double* P = scratch.mating.data();
  mating_matrix(Z, in.sexual_selection_fitness, pool, P, scratch.row_has_mates.data());

  // Step 3: mating of virgins, remating with sperm displacement.
  const bool fast = !reference_paths();
  SamplerMemo& memo = scratch.memo;
  const double displacement = clamp01(in.sperm_displacement_rate);
  std::span<double> draws(scratch.draws.data(), Z);
  double* row_stored = scratch.row_stored.data();
  for (size_t a = first_adult; a < A; ++a) {
    const double m_a = clamp01(in.mating_rates[a]);
    const double q = displacement * m_a;
    const double q1 = q < 1.0 ? q : 1.0;
    // Row i of age a is only ever changed while female type i is mated, so all
    // rows of the age can be summed before the first one is.
    if (fast) row_sums(sperm.data() + a * Z * Z, Z, Z, row_stored);
    for (size_t i = 0; i < Z; ++i) {
      double* stored_row = sperm.data() + (a * Z + i) * Z;
      double stored = 0.0;
      if (fast) {
        stored = row_stored[i];
      } else {
        for (size_t j = 0; j < Z; ++j) stored += stored_row[j];
      }
      double virgins = female[a * Z + i] - stored;
      if (!(virgins > 0.0)) virgins = 0.0;

      double total = 0.0;
      if (fast && mode == ExecMode::Deterministic) {
        // The remating displacement and the split of the matings over the
        // row, element by element in one pass: each element is displaced,
        // then credited, with the same operations as the two passes below.
        const double fresh = m_a * virgins;
        const double remate = q * stored;
        const bool displace = stored > kNegligible && remate > kNegligible;
        double f = 0.0;
        if (displace) {
          f = remate / stored;
          if (f > 1.0) f = 1.0;
        }
        total = fresh + remate;
        const bool credit = !(total <= kNegligible) && scratch.row_has_mates[i];
        const double* prow = P + i * Z;
        if (displace && credit) {
          for (size_t j = 0; j < Z; ++j) {
            const double left = stored_row[j] - stored_row[j] * f;
            stored_row[j] = left + total * prow[j];
          }
        } else if (displace) {
          for (size_t j = 0; j < Z; ++j) stored_row[j] = stored_row[j] - stored_row[j] * f;
        } else if (credit) {
          for (size_t j = 0; j < Z; ++j) stored_row[j] += total * prow[j];
        }
        continue;
      }
      if (mode == ExecMode::Deterministic) {
        const double fresh = m_a * virgins;
        const double remate = q * stored;
        if (stored > kNegligible && remate > kNegligible) {
          double f = remate / stored;
          if (f > 1.0) f = 1.0;
          for (size_t j = 0; j < Z; ++j) stored_row[j] = stored_row[j] - stored_row[j] * f;
        }
        total = fresh + remate;
      } else if (mode == ExecMode::Stochastic) {
        auto fresh = binomial(rng, round_count(virgins), m_a, memo);
        if (!fresh) return fresh.error();
        total = *fresh;
        if (q > kNegligible && stored > kNegligible) {
          double remate = 0.0;
          for (size_t j = 0; j < Z; ++j) {
            if (stored_row[j] > kNegligible) {
              auto k = binomial(rng, round_count(stored_row[j]), q, memo);
              if (!k) return k.error();
              double left = stored_row[j] - *k;
              stored_row[j] = left > 0.0 ? left : 0.0;
              remate += *k;
            }
          }
          total = total + remate;
        }
      } else {
        auto fresh = continuous_binomial(rng, virgins, m_a);
        if (!fresh) return fresh.error();
        total = *fresh;
        if (q > kNegligible && stored > kNegligible) {
          for (size_t j = 0; j < Z; ++j) stored_row[j] = stored_row[j] - q1 * stored_row[j];
          total = total + q1 * stored;
        }
      }

      if (total <= kNegligible) continue;
      // An all-zero preference row has nowhere to send its matings: skipping it
      // keeps the multinomial's remainder rule from crediting the last male type.
      if (!scratch.row_has_mates[i]) continue;
      std::span<const double> prow(P + i * Z, Z);
      if (mode == ExecMode::Stochastic && round_count(total) < 1) continue;
      QORIN_TRY(distribute(rng, memo, mode, total, prow, draws, stored_row));
    }
  }

  // Steps 4 to 6 by the aggregated sampler, where it applies.
  if (layout.aggregated_newborns_apply()) {
    const Result<bool> drawn = aggregated_reproduction(rng, memo, layout, in, sperm, scratch, female, male);
    if (!drawn) return drawn.error();
    if (*drawn) return Status::ok();
  }

  // Step 4: eggs and zygotes.
  double* zyg = scratch.zygotes.data();
  for (size_t k = 0; k < Z; ++k) zyg[k] = 0.0;
  double eggs = in.eggs_per_female;
  if (!(eggs > 0.0)) eggs = 0.0;
  double* probs = scratch.probs.data();
  const double* fec_f = in.fecundity_fitness;
  const double* fec_m = in.fecundity_fitness + Z;
  double* pair_eggs = scratch.pair_eggs.data();
  if (fast && first_adult < A) {
    // Per-pair egg factors, the same products for every adult age.
    for (size_t i = 0; i < Z; ++i) {
      const double eggs_i = eggs * fec_f[i];
      for (size_t j = 0; j < Z; ++j) pair_eggs[i * Z + j] = eggs_i * fec_m[j];
    }
    scratch.offspring.sync(in.offspring_tensor, Z, in.genetics_epoch);
  }
  const bool by_columns = fast && mode == ExecMode::Deterministic && scratch.offspring.all_finite();
  double* age_eggs = scratch.age_eggs.data();
  for (size_t a = first_adult; a < A; ++a) {
    const double r = clamp01(in.reproduction_rates[a]);
    const double fert = clamp01(in.fertility[a]);
    if (by_columns) {
      // Eggs of every pair of this age (0 for a pair that adds nothing), then
      // all pairs at once by zygote type; a non-finite egg count takes the
      // pairs one by one.
      if (age_egg_counts(sperm.data() + a * Z * Z, pair_eggs, r, fert, Z * Z, age_eggs)) {
        contract_columns(scratch.offspring, age_eggs, Z, zyg);
      } else {
        for (size_t p = 0; p < Z * Z; ++p) {
          if (age_eggs[p] == 0.0) continue;
          QORIN_TRY(add_zygotes_indexed(rng, memo, mode, age_eggs[p], scratch.offspring, p, in.offspring_tensor + p * Z,
                                        Z, probs, draws, zyg));
        }
      }
      continue;
    }
    for (size_t i = 0; i < Z; ++i) {
      const double* stored_row = sperm.data() + (a * Z + i) * Z;
      for (size_t j = 0; j < Z; ++j) {
        const double n = stored_row[j];
        if (!(n > 0.0)) continue;
        const double E = fert * (fast ? pair_eggs[i * Z + j] : (eggs * fec_f[i]) * fec_m[j]);
        const RngResult eggs_laid = egg_count(rng, memo, mode, layout.fixed_egg_count, n, r, E, EggCountRule{});
        if (!eggs_laid) return eggs_laid.error();
        const double x = *eggs_laid;
        const double* o = in.offspring_tensor + (i * Z + j) * Z;
        if (fast) {
          QORIN_TRY(add_zygotes_indexed(rng, memo, mode, x, scratch.offspring, i * Z + j, o, Z, probs, draws, zyg));
        } else {
          QORIN_TRY(add_zygotes(rng, memo, mode, x, o, Z, probs, draws, zyg));
        }
      }
    }
  }

  // Step 5: sex allocation.
  double* daughters = scratch.daughters.data();
  double* sons = scratch.sons.data();
  QORIN_TRY(allocate_sexes(rng, memo, layout, in, zyg, daughters, sons));

  // Step 6: newborns into age 0, then zygote viability.
  return write_newborns(rng, memo, mode, in.zygote_viability_fitness, Z, daughters, sons, female, male);
}

}  // namespace qorin
