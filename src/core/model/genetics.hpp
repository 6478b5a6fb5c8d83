// The genetics section of a model's parameters: fitness tables, meiosis map,
// offspring tensor and compatibility vectors, each a flat row-major vector.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "core/model/blueprint.hpp"
#include "core/util/error.hpp"

namespace qorin {

struct GeneticsTensors {
  static constexpr size_t kCount = 8;
  static constexpr std::array<std::string_view, kCount> kNames = {
      "viability_fitness",          // [sex, age, ztype]          2·A·Z
      "fecundity_fitness",          // [sex, ztype]               2·Z
      "sexual_selection_fitness",   // [female ztype, male ztype] Z·Z
      "zygote_viability_fitness",   // [sex, ztype]               2·Z
      "offspring_tensor",           // [female, male, zygote]     Z·Z·Z
      "meiosis_map",                // [sex, ztype, gtype]        2·Z·G
      "female_ztype_compatibility", // [ztype]                    Z
      "male_ztype_compatibility",   // [ztype]                    Z
  };

  std::vector<double> viability_fitness;
  std::vector<double> fecundity_fitness;
  std::vector<double> sexual_selection_fitness;
  std::vector<double> zygote_viability_fitness;
  std::vector<double> offspring_tensor;
  std::vector<double> meiosis_map;
  std::vector<double> female_ztype_compatibility;
  std::vector<double> male_ztype_compatibility;

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
