#include "core/model/validation.hpp"

#include <cmath>
#include <string>

#include "core/model/blueprint.hpp"
#include "core/model/ecology.hpp"
#include "core/model/genetics.hpp"
#include "core/util/format.hpp"

namespace qorin {

int bounded_scalar_id(std::string_view name) {
  for (int i = 0; i < kNumBoundedScalars; ++i) {
    if (kBoundedScalarNames[i] == name) return i;
  }
  return -1;
}

Status validate_scalar_value(std::string_view name, double value) {
  int id = bounded_scalar_id(name);
  if (id >= 0) {
    double lo = kBoundedScalarLo[id];
    double hi = kBoundedScalarHi[id];
    if (std::isfinite(value) && lo <= value && value <= hi) return Status::ok();
    return Error::value("'" + std::string(name) + "' requires a value in [" + format_number(lo) +
                        ", " + format_number(hi) + "], got " + format_number(value));
  }
  bool ok;
  if (name == "growth_mode") {
    ok = std::isfinite(value) && value == std::floor(value) && value >= 0.0 && value <= 4.0;
  } else if (name == "external_expected_eggs") {
    ok = std::isfinite(value) && (value >= 0.0 || value == -1.0);
  } else {
    ok = std::isfinite(value);
  }
  if (ok) return Status::ok();
  return Error::value("Invalid value for " + std::string(name) + ": " + format_number(value));
}

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
  const std::vector<double>* bounded[kNumBoundedScalars] = {
      &eco.carrying_capacity, &eco.eggs_per_female, &eco.sex_ratio, &eco.sperm_displacement_rate,
      &eco.low_density_growth_rate};
  for (int id = 0; id < kNumBoundedScalars; ++id) {
    for (double v : *bounded[id]) QORIN_TRY(validate_scalar_value(kBoundedScalarNames[id], v));
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
