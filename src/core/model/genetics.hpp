// The genetics section of a model's parameters: fitness tables, meiosis map,
// offspring tensor and compatibility vectors, each a flat row-major vector.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "core/model/blueprint.hpp"
#include "core/model/fields.hpp"
#include "core/util/error.hpp"

namespace qorin {

struct GeneticsTensors {
  // The genetics fields of the field table (core/model/fields.hpp), in table
  // order; shapes there ([sex, age, ztype] is 2·A·Z, ...).
  static constexpr size_t kCount = kGeneticsFields.size();
  static constexpr std::array<std::string_view, kCount> kNames = field_table::names_of(kGeneticsFields);

  // One flat row-major float64 vector per genetics field, named as the field.
#define QORIN_FIELD(name, group, ...) QORIN_GENETICS_TENSOR_##group(name)
#define QORIN_GENETICS_TENSOR_EcologyScalar(name)
#define QORIN_GENETICS_TENSOR_EcologyTensor(name)
#define QORIN_GENETICS_TENSOR_Genetics(name) std::vector<double> name;
#include "qorin/_fields.def"
#undef QORIN_FIELD
#undef QORIN_GENETICS_TENSOR_EcologyScalar
#undef QORIN_GENETICS_TENSOR_EcologyTensor
#undef QORIN_GENETICS_TENSOR_Genetics

  static bool is_genetics_tensor(std::string_view name);
  // Index of a tensor name in kNames, or -1.
  static int index_of(std::string_view name);
  // Expected length from the blueprint's dimensions; KeyError for other names.
  static Result<size_t> expected_len(const Blueprint& bp, std::string_view name);

  // Each tensor's length must equal expected_len, in table order.
  Status validate(const Blueprint& bp) const;

  Result<std::span<const double>> field_slice(std::string_view name) const;
  Result<std::vector<double>*> tensor_mut(std::string_view name);
  // Replaces one tensor after checking values, name and length; atomic.
  Status tensor_write(const Blueprint& bp, std::string_view name, std::span<const double> values);

  // The eight tensors in table order.
  std::array<const std::vector<double>*, kCount> tensors() const;
  std::array<std::vector<double>*, kCount> tensors();

  // Compares the eight vectors by length, then element by element with float
  // equality: 0.0 equals -0.0, a NaN never equals anything.
  bool operator==(const GeneticsTensors& other) const;
};

}  // namespace qorin
