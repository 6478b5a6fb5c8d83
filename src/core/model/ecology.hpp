// The mutable ecology section of a model's parameters, stored column-wise: every
// field holds one entry (or one per-deme block) for each of D demes, so one type
// serves a single population (D = 1) and the spatial per-deme ecology.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/model/blueprint.hpp"
#include "core/model/custom_fields.hpp"
#include "core/model/genetics.hpp"
#include "core/util/error.hpp"

namespace qorin {

// The writable location of one scalar entry.
struct ScalarRef {
  enum class Kind : uint8_t { Float, Int };
  Kind kind = Kind::Float;
  double* f = nullptr;   // Kind::Float
  int64_t* i = nullptr;  // Kind::Int (growth_mode)
  double get() const { return kind == Kind::Float ? *f : static_cast<double>(*i); }
};

// Where pull_fields reads the named fields from (the host's Params object). A
// failed read returns its error; for a Python source that is a pending Python
// exception.
class FieldSource {
 public:
  virtual ~FieldSource() = default;
  // A float through the float protocol (NumPy scalars and 0-d arrays allowed).
  virtual Status read_f64(const std::string& name, double* out) = 0;
  // A float64 array of any shape, elements in memory order.
  virtual Status read_f64_vec(const std::string& name, std::vector<double>* out) = 0;
  // The `custom_slots` attribute.
  virtual Status read_custom_slots(CustomSlotMap* out) = 0;
};

// Integer stored for a growth_mode value that already passed the scalar gate
// (finite, integral, 0..4). Truncates; saturates anything else instead of
// converting out of range.
int64_t growth_mode_from_f64(double value);

struct EcologyParams {
  static constexpr size_t kNumScalars = 7;
  static constexpr std::array<std::string_view, kNumScalars> kScalarNames = {
      "carrying_capacity",       "eggs_per_female",         "sex_ratio",
      "sperm_displacement_rate", "low_density_growth_rate", "growth_mode",
      "external_expected_eggs"};
  static constexpr size_t kNumTensors = 7;
  static constexpr std::array<std::string_view, kNumTensors> kTensorNames = {
      "survival_rates", "mating_rates",        "reproduction_rates",       "fertility",
      "competition_weights", "equilibrium_distribution", "migration_rate"};

  // Scalar columns, one entry per deme.
  std::vector<double> carrying_capacity;
  std::vector<double> eggs_per_female;
  std::vector<double> sex_ratio;
  std::vector<double> sperm_displacement_rate;
  std::vector<double> low_density_growth_rate;
  std::vector<int64_t> growth_mode;
  std::vector<double> external_expected_eggs;  // -1: none given
  // Tensor columns, one block per deme.
  std::vector<double> survival_rates;            // [sex, age], 2·A per deme
  std::vector<double> mating_rates;              // [sex, age], 2·A per deme
  std::vector<double> reproduction_rates;        // A per deme
  std::vector<double> fertility;                 // A per deme
  std::vector<double> competition_weights;       // A per deme
  std::vector<double> equilibrium_distribution;  // [sex, age], 2·A per deme, or empty
  std::vector<uint8_t> equilibrium_declared;     // 1 when the deme declares a distribution
  std::vector<double> migration_rate;            // [sex, age], 2·A per deme, or empty
  std::vector<CustomSlotMap> custom_slots;
  size_t n_demes = 0;

  // ---- names ----
  static bool is_scalar_field(std::string_view name);
  static bool is_ecology_tensor(std::string_view name);
  // Per-deme extent of an ecology tensor; KeyError "unknown params field {name}".
  static Result<size_t> per_deme_len(size_t n_ages, std::string_view name);

  // ---- structure ----
  Status validate(size_t n_ages) const;

  // ---- reads ----
  Result<double> get_scalar(std::string_view name) const;
  Result<std::vector<double>> get_tensor(std::string_view name) const;
  Result<std::vector<double>> session_get_tensor(const GeneticsTensors& genetics,
                                                 std::string_view name) const;
  // Scalar with parameter id 0..4 (ids above 4 read low_density_growth_rate) for
  // one deme. A deme past the column reads the last entry; an empty column 0.
  double eco_value(size_t param_id, size_t deme) const;

  // ---- writes ----
  // Batch of deme-0 scalar writes, in the given order; atomic.
  Status apply(const std::vector<std::pair<std::string, double>>& writes);
  // Replaces one whole tensor column; atomic.
  Status tensor_write(size_t n_ages, std::string_view name, std::span<const double> values);
  // Unchecked store of a gated value (param ids 0..4); out-of-range ignored.
  void set_eco_value(size_t param_id, size_t deme, double value);
  Result<ScalarRef> scalar_ref(std::string_view name, size_t deme);
  // Directed refresh of named fields of one deme from a source object. Stages
  // and checks everything first, then commits; nothing is written on failure.
  Status pull_fields(const Blueprint& bp, size_t deme, const std::vector<std::string>& fields,
                     FieldSource& source, GeneticsTensors* genetics);

  // ---- snapshot words ----
  struct SnapshotWords {
    std::array<uint64_t, kNumScalars> words{};
    std::vector<std::vector<double>> tensors;  // kNumTensors columns in tensor order
  };
  Result<SnapshotWords> ecology_snapshot_words() const;
  Status ecology_restore_words(size_t n_ages, std::span<const uint64_t> words,
                               const std::vector<std::vector<double>>& tensors);

  // ---- per-deme columns ----
  Result<EcologyParams> single_deme(size_t n_ages, size_t d) const;
  // single_deme for columns the caller has already validated (a spatial tick
  // validates once and then copies every deme); blocks are still bounds-checked.
  Result<EcologyParams> deme_copy(size_t n_ages, size_t d) const;
  Status replace_deme(size_t n_ages, size_t d, const EcologyParams& one);
  static Status expect_column_len(std::string_view name, size_t got, size_t expected);
  static std::vector<double> tile_vec(std::span<const double> values) {
    return std::vector<double>(values.begin(), values.end());
  }

  // Columns by name (nullptr for other names).
  const std::vector<double>* tensor_column(std::string_view name) const;
  std::vector<double>* tensor_column(std::string_view name);

  // Bitwise equality of every column (floats compared by bit pattern).
  bool same_as(const EcologyParams& other) const;
};

}  // namespace qorin
