// One deme's inputs to the lifecycle kernels (reproduction, survival, aging),
// resolved once per stage into flat views, and the kernels themselves.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/random/rng.hpp"
#include "core/util/error.hpp"
#include "core/util/function_ref.hpp"
#include "core/util/numeric.hpp"

namespace qorin {

enum class ExecMode { Deterministic, Stochastic, Continuous };

inline ExecMode exec_mode(bool stochastic, bool continuous_sampling) {
  if (!stochastic) return ExecMode::Deterministic;
  return continuous_sampling ? ExecMode::Continuous : ExecMode::Stochastic;
}

// Structure of the population a kernel works on (from the blueprint).
struct LifeLayout {
  size_t n_ages = 0;
  size_t n_ztypes = 0;
  // First adult age; the adult ages are new_adult_age .. n_ages-1 (empty when
  // new_adult_age >= n_ages).
  int64_t new_adult_age = 0;
  bool has_sex_chromosomes = false;
  const std::vector<bool>* female_only_by_sex_chrom = nullptr;  // Z entries
  const std::vector<bool>* male_only_by_sex_chrom = nullptr;    // Z entries
  ExecMode mode = ExecMode::Deterministic;
  bool fixed_egg_count = false;
  bool discrete_generation = false;
  // The blueprint asks for the aggregated sampler of the newborns; it acts
  // only where aggregated_newborns_apply() holds.
  bool aggregated_sampling = false;

  // Whether reproduction draws its newborns by the aggregated sampler:
  // stochastic integer draws with Poisson egg counts. With a fixed egg count
  // or in the other modes the newborns are drawn (or computed) the exact way.
  bool aggregated_newborns_apply() const {
    return aggregated_sampling && mode == ExecMode::Stochastic && !fixed_egg_count;
  }

  // First adult age clamped to the age axis.
  size_t first_adult_age() const {
    if (new_adult_age <= 0) return 0;
    return static_cast<uint64_t>(new_adult_age) >= n_ages ? n_ages : static_cast<size_t>(new_adult_age);
  }
};

// Expected competition strength and expected survival rate of a deme.
struct EquilibriumPair {
  double competition_strength = 0.0;
  double survival_rate = 1.0;
};

// One deme's ecology and genetics values as the kernels read them. Scalars are
// the live (possibly staged) values; arrays point into the session's storage.
struct DemeInputs {
  double carrying_capacity = 0.0;
  double eggs_per_female = 0.0;
  double sex_ratio = 0.5;
  double sperm_displacement_rate = 0.0;
  double low_density_growth_rate = 1.0;
  int64_t growth_mode = 0;

  const double* mating_rates = nullptr;         // (2, A)
  const double* reproduction_rates = nullptr;   // (A)
  const double* fertility = nullptr;            // (A)
  const double* survival_rates = nullptr;       // (2, A)
  const double* competition_weights = nullptr;  // (A)

  const double* viability_fitness = nullptr;          // (2, A, Z)
  const double* fecundity_fitness = nullptr;          // (2, Z)
  const double* sexual_selection_fitness = nullptr;   // (Z, Z)
  const double* zygote_viability_fitness = nullptr;   // (2, Z)
  const double* offspring_tensor = nullptr;           // (Z, Z, Z)
  const double* female_ztype_compatibility = nullptr; // (Z)
  const double* male_ztype_compatibility = nullptr;   // (Z)
  // Nonzero: the genetics arrays above hold the same values, at the same
  // addresses, for every DemeInputs made with this epoch, so views built
  // from them need not be checked against them again. 0: no such promise.
  uint64_t genetics_epoch = 0;

  // Equilibrium calibration of the deme, computed on demand from its live
  // values (density regulation of growth modes 2-4); absent when the deme
  // has none. The callable it refers to must outlive these inputs.
  std::optional<FunctionRef<Result<EquilibriumPair>()>> equilibrium;
};

// Sparse view of an offspring tensor (Z·Z rows of Z zygote types): for every
// (female, male) row the non-zero entries in zygote order, and every row's sum
// taken over all Z entries in index order from 0.0. The view keeps a bitwise
// copy of the tensor it was built from and is rebuilt whenever the tensor
// differs from it in any bit, so it never describes another tensor.
class OffspringIndex {
 public:
  // Brings the view up to date with `tensor` (z·z·z entries). A nonzero
  // `epoch` promises that the tensor at this address holds the same values
  // for every sync with that epoch (DemeInputs::genetics_epoch): a view built
  // from it under the same epoch is kept without comparing.
  void sync(const double* tensor, size_t z, uint64_t epoch = 0);
  // Non-zero entries of row p = i·Z + j: zygote types and values.
  size_t row_begin(size_t p) const { return start_[p]; }
  size_t row_end(size_t p) const { return start_[p + 1]; }
  const uint32_t* zygote() const { return zygote_.data(); }
  const double* value() const { return value_.data(); }
  double row_sum(size_t p) const { return row_sum_[p]; }
  // The same entries by zygote type (column k: rows in increasing order).
  size_t column_begin(size_t k) const { return column_start_[k]; }
  size_t column_end(size_t k) const { return column_start_[k + 1]; }
  const uint32_t* column_row() const { return column_row_.data(); }
  const double* column_value() const { return column_value_.data(); }
  // Whether every entry of the tensor is finite.
  bool all_finite() const { return all_finite_; }
  // Per non-zero entry: the conditional probability with which a multinomial
  // over row p / row_sum(p) draws that entry's category (the running
  // remainder taken over the row in order), or kNoDraw where it draws
  // nothing. Meaningful for rows whose sum is finite and positive.
  const double* conditional() const { return conditional_.data(); }
  static constexpr double kNoDraw = -1.0;

 private:
  bool all_finite_ = false;
  bool built_ = false;
  size_t z_ = 0;
  const double* built_from_ = nullptr;  // the address and epoch of the last sync
  uint64_t epoch_ = 0;
  std::vector<double> source_;
  std::vector<size_t> start_;
  std::vector<uint32_t> zygote_;
  std::vector<double> value_;
  std::vector<double> row_sum_;
  std::vector<double> conditional_;
  std::vector<size_t> column_start_;
  std::vector<uint32_t> column_row_;
  std::vector<double> column_value_;
  std::vector<size_t> start_scratch_;
};

// Work buffers reused across calls so that ticks do not allocate.
// Aligned to a cache line: the scratches of different threads sit side by side.
struct alignas(64) KernelScratch {
  std::vector<double> male_pool, mating, zygotes, daughters, sons, draws, probs;
  std::vector<double> pairs;                 // Z*Z: mated pairs [female, male] (discrete generations)
  std::vector<double> cohort, cohort_draws;  // 2*Z: daughters then sons
  std::vector<uint8_t> row_has_mates;
  std::vector<double> pair_eggs;    // Z*Z: eggs·fecundity of both partners per (female, male) pair
  std::vector<double> age_eggs;     // Z*Z: eggs of every pair of one age
  std::vector<double> row_stored;   // Z: stored sperm per female type of one age
  OffspringIndex offspring;
  // Set-ups of the binomial and Poisson draws of the ticks these buffers
  // serve (the stochastic kernels pass it to every sampler that keeps one).
  SamplerMemo memo;
  void ensure(size_t z) {
    memo.reserve();  // here, so that drawing never allocates
    if (male_pool.size() == z && mating.size() == z * z && cohort.size() == 2 * z) return;
    pair_eggs.assign(z * z, 0.0);
    age_eggs.assign(z * z, 0.0);
    row_stored.assign(z, 0.0);
    male_pool.assign(z, 0.0);
    mating.assign(z * z, 0.0);
    pairs.assign(z * z, 0.0);
    zygotes.assign(z, 0.0);
    daughters.assign(z, 0.0);
    sons.assign(z, 0.0);
    draws.assign(z, 0.0);
    probs.assign(z, 0.0);
    cohort.assign(2 * z, 0.0);
    cohort_draws.assign(2 * z, 0.0);
    row_has_mates.assign(z, 0);
  }
};

// Density factor of the built-in growth modes 0-4.
Result<double> regulation_scaling(int64_t mode, double n, double k, double g, double base);

Status reproduction(SessionRng& rng, const LifeLayout& layout, const DemeInputs& in,
                    std::span<double> ind, std::span<double> sperm, KernelScratch& scratch);

Status survival(SessionRng& rng, const LifeLayout& layout, const DemeInputs& in,
                std::span<double> ind, std::span<double> sperm, KernelScratch& scratch);

// Shifts every cohort one age up; the last age class is dropped and age 0 cleared.
void aging(size_t n_ages, size_t n_ztypes, std::span<double> ind, std::span<double> sperm);

}  // namespace qorin
