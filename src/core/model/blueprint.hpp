// The frozen structural contract of one population model: dimensions, adult
// age range, execution switches, genotype labels, initial state and the
// migration graph in CSR form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/model/codes.hpp"
#include "core/util/error.hpp"

namespace qorin {

struct Blueprint {
  // Fields in the order they are read from the host object.
  std::vector<int64_t> adult_ages;
  size_t n_sexes = 2;
  size_t n_ages = 0;    // A
  size_t n_ztypes = 0;  // Z
  size_t n_gtypes = 0;  // G
  size_t n_glabs = 0;
  size_t new_adult_age = 0;
  bool stochastic = false;
  bool continuous_sampling = false;
  bool fixed_egg_count = false;
  bool has_sex_chromosomes = false;
  bool discrete_generation = false;
  int64_t extreme_speed_mode = 0;
  std::vector<std::string> ztype_names;
  std::vector<std::string> gtype_names;
  std::vector<bool> female_only_by_sex_chrom;
  std::vector<bool> male_only_by_sex_chrom;
  std::vector<double> initial_individual_count;  // [sex, age, ztype]
  std::vector<double> initial_sperm_storage;     // [age, female ztype, male ztype] or empty
  size_t n_demes = 1;                            // D
  std::vector<int64_t> migration_indptr;         // D+1 entries, or empty for one deme
  std::vector<int64_t> migration_dest_idx;
  std::vector<double> migration_weights;
  // Sampler of the newborns in stochastic mode (the optional attribute
  // `sampling`, read last; "exact" when the host object has none).
  Sampler sampling = Sampler::Exact;

  // Structural checks, first failure reported (ValueError).
  Status validate() const;

  // Lengths of the state vectors (valid after validate()).
  size_t individual_count_len() const { return 2 * n_ages * n_ztypes; }
  size_t sperm_storage_len() const { return n_ages * n_ztypes * n_ztypes; }
  bool has_migration_graph() const { return !migration_indptr.empty(); }
};

// Converts a dimension read as a signed integer into a size. A negative value
// cannot describe a dimension: ValueError "Blueprint.{field} must be
// nonnegative, got {value}".
Status blueprint_dimension(const char* field, int64_t value, size_t* out);

}  // namespace qorin
