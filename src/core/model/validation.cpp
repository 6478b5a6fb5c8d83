#include "core/model/validation.hpp"

#include <cmath>
#include <optional>
#include <string>

#include "core/model/blueprint.hpp"
#include "core/model/ecology.hpp"
#include "core/model/genetics.hpp"
#include "core/util/format.hpp"

namespace qorin {

int bounded_scalar_id(std::string_view name) {
  const std::optional<Field> f = find_field(name, FieldGroup::EcologyScalar);
  return f ? field_info(*f).param_id : -1;
}

Status validate_scalar_value(std::string_view name, double value) {
  const std::optional<Field> f = find_field(name, FieldGroup::EcologyScalar);
  // A name outside the table only has to be a number.
  if (f ? field_info(*f).admits(value) : std::isfinite(value)) return Status::ok();
  if (f && field_info(*f).param_id >= 0) {
    const FieldInfo& info = field_info(*f);
    return Error::value("'" + std::string(name) + "' requires a value in [" + format_number(info.lower) +
                        ", " + format_number(info.upper) + "], got " + format_number(value));
  }
  return Error::value("Invalid value for " + std::string(name) + ": " + format_number(value));
}

// The tensor gate checks what every tensor of the table has in common: finite
// values not below 0. (migration_rate's upper bound applies where migration
// reads it: the spatial columns.)
static_assert([]() {
  for (const FieldInfo& f : field_table::kFields) {
    if (f.is_tensor() && f.lower != 0.0) return false;
  }
  return true;
}());

Status validate_tensor_values(std::string_view name, std::span<const double> values) {
  for (double v : values) {
    // -0.0 compares equal to 0.0 and passes.
    if (!std::isfinite(v) || v < 0.0) {
      return Error::value(std::string(name) + " requires finite nonnegative values");
    }
  }
  return Status::ok();
}

Status validate_state_values(std::span<const double> ind, std::span<const double> sperm,
                             int64_t tick) {
  if (tick < 0) return Error::value("tick must be nonnegative");
  for (auto part : {ind, sperm}) {
    for (double v : part) {
      if (!std::isfinite(v) || v < 0.0) {
        return Error::value("state counts must be finite and nonnegative");
      }
    }
  }
  return Status::ok();
}

Status validate_model_values(const Blueprint& bp, const EcologyParams& eco, const GeneticsTensors& gen) {
  for (size_t id = 0; id < kParamFields.size(); ++id) {
    for (double v : *eco.real_column(kParamFields[id])) QORIN_TRY(validate_scalar_value(kBoundedScalarNames[id], v));
  }
  for (std::string_view name : EcologyParams::kTensorNames) {
    QORIN_TRY(validate_tensor_values(name, *eco.tensor_column(name)));
  }
  const auto tensors = gen.tensors();
  for (size_t i = 0; i < GeneticsTensors::kCount; ++i) {
    QORIN_TRY(validate_tensor_values(GeneticsTensors::kNames[i], *tensors[i]));
  }
  std::span<const double> sperm;
  if (bp.initial_sperm_storage.size() == bp.sperm_storage_len()) sperm = bp.initial_sperm_storage;
  return validate_state_values(bp.initial_individual_count, sperm, 0);
}

}  // namespace qorin
