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
#include "core/model/fields.hpp"
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
  // The ecology fields of the field table (core/model/fields.hpp), by group in
  // table order.
  static constexpr size_t kNumScalars = kEcologyScalarFields.size();
  static constexpr std::array<std::string_view, kNumScalars> kScalarNames =
      field_table::names_of(kEcologyScalarFields);
  static constexpr size_t kNumTensors = kEcologyTensorFields.size();
  static constexpr std::array<std::string_view, kNumTensors> kTensorNames =
      field_table::names_of(kEcologyTensorFields);

  // One column per ecology field, named as the field: a scalar holds one entry
  // per deme, a tensor one block of its shape per deme ([sex, age] is 2·A, [age]
  // is A); an optional tensor may be empty (absent). Real fields are float64,
  // growth_mode (Integer) is int64; external_expected_eggs -1 means none given.
#define QORIN_FIELD(name, group, id, kind, ...) QORIN_ECOLOGY_COLUMN_##group(name, kind)
#define QORIN_ECOLOGY_COLUMN_EcologyScalar(name, kind) std::vector<QORIN_FIELD_TYPE_##kind> name;
#define QORIN_ECOLOGY_COLUMN_EcologyTensor(name, kind) std::vector<QORIN_FIELD_TYPE_##kind> name;
#define QORIN_ECOLOGY_COLUMN_Genetics(name, kind)
#include "qorin/_fields.def"
#undef QORIN_FIELD
#undef QORIN_ECOLOGY_COLUMN_EcologyScalar
#undef QORIN_ECOLOGY_COLUMN_EcologyTensor
#undef QORIN_ECOLOGY_COLUMN_Genetics
  std::vector<uint8_t> equilibrium_declared;  // 1 when the deme declares a distribution
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
  // A scalar of one deme (deme 0 of a single population).
  Result<double> get_scalar(std::string_view name, size_t deme = 0) const;
  Result<std::vector<double>> get_tensor(std::string_view name) const;
  Result<std::vector<double>> session_get_tensor(const GeneticsTensors& genetics,
                                                 std::string_view name) const;
  // Scalar with parameter id 0..4 (ids above 4 read low_density_growth_rate) for
  // one deme. A deme past the column reads the last entry; an empty column 0.
  double eco_value(size_t param_id, size_t deme) const;

  // ---- writes ----
  // Batch of scalar writes to one deme (deme 0 of a single population), in
  // the given order; atomic. Costs the writes, not the number of demes.
  Status apply(const std::vector<std::pair<std::string, double>>& writes, size_t deme = 0);
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
  // The float64 column of an ecology field (nullptr for growth_mode and the
  // genetics fields).
  const std::vector<double>* real_column(Field f) const;
  std::vector<double>* real_column(Field f);

  // Calls f(field, column) for every ecology column in table order; the
  // column is a std::vector<double> or, for an Integer field, std::vector<int64_t>.
  template <class F>
  void for_each_column(F&& f) {
    visit_columns(f, *this);
  }
  template <class F>
  void for_each_column(F&& f) const {
    visit_columns(f, *this);
  }

  // Bitwise equality of every column (floats compared by bit pattern).
  bool same_as(const EcologyParams& other) const;

  // f(field, the column of each of `selves`...) for every ecology field, in
  // table order.
  template <class F, class... Self>
  static void visit_columns(F&& f, Self&... selves) {
#define QORIN_FIELD(name, group, ...) QORIN_ECOLOGY_VISIT_##group(name)
#define QORIN_ECOLOGY_VISIT_EcologyScalar(name) f(Field::name, selves.name...);
#define QORIN_ECOLOGY_VISIT_EcologyTensor(name) f(Field::name, selves.name...);
#define QORIN_ECOLOGY_VISIT_Genetics(name)
#include "qorin/_fields.def"
#undef QORIN_FIELD
#undef QORIN_ECOLOGY_VISIT_EcologyScalar
#undef QORIN_ECOLOGY_VISIT_EcologyTensor
#undef QORIN_ECOLOGY_VISIT_Genetics
  }
};

}  // namespace qorin
