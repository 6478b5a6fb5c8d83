#include "core/model/genetics.hpp"

#include <optional>
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
  const std::optional<Field> f = find_field(name, FieldGroup::Genetics);
  return f ? static_cast<int>(group_index(*f)) : -1;
}

bool GeneticsTensors::is_genetics_tensor(std::string_view name) { return index_of(name) >= 0; }

Result<size_t> GeneticsTensors::expected_len(const Blueprint& bp, std::string_view name) {
  const int i = index_of(name);
  if (i < 0) return unknown_tensor(name);
  return field_info(kGeneticsFields[static_cast<size_t>(i)])
      .shape.extent(FieldDims{bp.n_ages, bp.n_ztypes, bp.n_gtypes});
}

#define QORIN_FIELD(name, group, ...) QORIN_GENETICS_ADDRESS_##group(name)
#define QORIN_GENETICS_ADDRESS_EcologyScalar(name)
#define QORIN_GENETICS_ADDRESS_EcologyTensor(name)
#define QORIN_GENETICS_ADDRESS_Genetics(name) &name,

std::array<const std::vector<double>*, GeneticsTensors::kCount> GeneticsTensors::tensors() const {
  return {
#include "qorin/_fields.def"
  };
}

std::array<std::vector<double>*, GeneticsTensors::kCount> GeneticsTensors::tensors() {
  return {
#include "qorin/_fields.def"
  };
}

#undef QORIN_FIELD
#undef QORIN_GENETICS_ADDRESS_EcologyScalar
#undef QORIN_GENETICS_ADDRESS_EcologyTensor
#undef QORIN_GENETICS_ADDRESS_Genetics

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
