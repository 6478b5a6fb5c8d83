// The numeric gates every write into parameters or population state passes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/model/fields.hpp"
#include "core/util/error.hpp"

namespace qorin {

struct Blueprint;
struct EcologyParams;
struct GeneticsTensors;

// The bounded ecology scalars (the staged parameters of the field table), by
// parameter id; the staged scalar vector of a tick holds them in this order.
inline constexpr int kNumBoundedScalars = static_cast<int>(kParamFields.size());
inline constexpr auto kBoundedScalarNames = field_table::names_of(kParamFields);
inline constexpr auto kBoundedScalarLo = []() {
  std::array<double, kParamFields.size()> lo{};
  for (size_t i = 0; i < lo.size(); ++i) lo[i] = field_info(kParamFields[i]).lower;
  return lo;
}();
inline constexpr auto kBoundedScalarHi = []() {
  std::array<double, kParamFields.size()> hi{};
  for (size_t i = 0; i < hi.size(); ++i) hi[i] = field_info(kParamFields[i]).upper;
  return hi;
}();

// Parameter id of a bounded scalar, or -1.
int bounded_scalar_id(std::string_view name);

// Guards a write of one ecology scalar.
Status validate_scalar_value(std::string_view name, double value);
// Guards a whole-tensor write: every element finite and not negative.
Status validate_tensor_values(std::string_view name, std::span<const double> values);
// Guards an installed population state.
Status validate_state_values(std::span<const double> ind, std::span<const double> sperm,
                             int64_t tick);

// The values of a freshly read model, checked at construction with the gates
// every later write passes, so a model that could never tick is refused where
// it is built: the five bounded scalars of every deme (column by column), the
// ecology tensors (tensor order) and the genetics tensors (declaration order)
// finite and not negative, then the initial state as it will be installed
// (the sperm storage only when it has the full length; otherwise it is
// replaced by zeros). Structure (lengths, dimensions) is validate()'s job and
// is assumed checked.
Status validate_model_values(const Blueprint& bp, const EcologyParams& eco, const GeneticsTensors& gen);

}  // namespace qorin
