#include "core/model/genetics.hpp"

#include <string>

#include "core/model/validation.hpp"
#include "core/util/format.hpp"

namespace qorin {

namespace {
Error unknown_tensor(std::string_view name) {
  return Error::key("unknown genetics tensor " + quote_name(std::string(name)));
}
Error length_error(std::string_view name, size_t expected, size_t got) {
  return Error::value("genetics " + std::string(name) + ": expected " + format_uint(expected) +
                      " elements, got " + format_uint(got));
}
}  // namespace

int GeneticsTensors::index_of(std::string_view name) {
  for (size_t i = 0; i < kCount; ++i) {
    if (kNames[i] == name) return static_cast<int>(i);
  }
  return -1;
}

bool GeneticsTensors::is_genetics_tensor(std::string_view name) { return index_of(name) >= 0; }

Result<size_t> GeneticsTensors::expected_len(const Blueprint& bp, std::string_view name) {
  const size_t A = bp.n_ages, Z = bp.n_ztypes, G = bp.n_gtypes;
  switch (index_of(name)) {
    case 0: return 2 * A * Z;
    case 1: return 2 * Z;
    case 2: return Z * Z;
    case 3: return 2 * Z;
    case 4: return Z * Z * Z;
    case 5: return 2 * Z * G;
    case 6: return Z;
    case 7: return Z;
    default: return unknown_tensor(name);
  }
}

std::array<const std::vector<double>*, GeneticsTensors::kCount> GeneticsTensors::tensors() const {
  return {&viability_fitness, &fecundity_fitness, &sexual_selection_fitness,
          &zygote_viability_fitness, &offspring_tensor, &meiosis_map,
          &female_ztype_compatibility, &male_ztype_compatibility};
}

std::array<std::vector<double>*, GeneticsTensors::kCount> GeneticsTensors::tensors() {
  return {&viability_fitness, &fecundity_fitness, &sexual_selection_fitness,
          &zygote_viability_fitness, &offspring_tensor, &meiosis_map,
          &female_ztype_compatibility, &male_ztype_compatibility};
}

Status GeneticsTensors::validate(const Blueprint& bp) const {
  auto all = tensors();
  for (size_t i = 0; i < kCount; ++i) {
    size_t expected = *expected_len(bp, kNames[i]);
    if (all[i]->size() != expected) return length_error(kNames[i], expected, all[i]->size());
  }
  return Status::ok();
}

Result<std::span<const double>> GeneticsTensors::field_slice(std::string_view name) const {
  int i = index_of(name);
  if (i < 0) return unknown_tensor(name);
  const std::vector<double>& v = *tensors()[static_cast<size_t>(i)];
  return std::span<const double>(v.data(), v.size());
}

Result<std::vector<double>*> GeneticsTensors::tensor_mut(std::string_view name) {
  int i = index_of(name);
  if (i < 0) return unknown_tensor(name);
  return tensors()[static_cast<size_t>(i)];
}

Status GeneticsTensors::tensor_write(const Blueprint& bp, std::string_view name,
                                     std::span<const double> values) {
  QORIN_TRY(validate_tensor_values(name, values));
  Result<size_t> expected = expected_len(bp, name);
  if (!expected) return expected.error();
  if (values.size() != *expected) return length_error(name, *expected, values.size());
  std::vector<double>* target = *tensor_mut(name);
  target->assign(values.begin(), values.end());
  return Status::ok();
}

bool GeneticsTensors::operator==(const GeneticsTensors& other) const {
  auto a = tensors();
  auto b = other.tensors();
  for (size_t i = 0; i < kCount; ++i) {
    if (a[i]->size() != b[i]->size()) return false;
    for (size_t k = 0; k < a[i]->size(); ++k) {
      if (!((*a[i])[k] == (*b[i])[k])) return false;
    }
  }
  return true;
}

}  // namespace qorin
