#include "core/model/ecology.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/model/validation.hpp"
#include "core/util/format.hpp"

namespace qorin {

namespace {

// a·b, or SIZE_MAX when the product does not fit (it then matches no length).
size_t mul_or_max(size_t a, size_t b) {
  size_t r = 0;
  if (__builtin_mul_overflow(a, b, &r)) return std::numeric_limits<size_t>::max();
  return r;
}

std::string q(std::string_view name) { return quote_name(std::string(name)); }

Error deme_out_of_range(size_t deme, size_t n_demes) {
  return Error::value("deme " + format_uint(deme) + " out of range for " + format_uint(n_demes) +
                      " ecology columns");
}

const Error kGrowthRateError =
    Error::value("low_density_growth_rate must be finite and at least 1.0");

bool growth_rate_ok(double v) { return std::isfinite(v) && v >= 1.0; }

int scalar_index(std::string_view name) {
  for (size_t i = 0; i < EcologyParams::kNumScalars; ++i) {
    if (EcologyParams::kScalarNames[i] == name) return static_cast<int>(i);
  }
  return -1;
}

int tensor_index(std::string_view name) {
  for (size_t i = 0; i < EcologyParams::kNumTensors; ++i) {
    if (EcologyParams::kTensorNames[i] == name) return static_cast<int>(i);
  }
  return -1;
}

bool is_optional_tensor(std::string_view name) {
  return name == "equilibrium_distribution" || name == "migration_rate";
}

// Per-deme extent of tensor index i (tensor order).
size_t extent_of(size_t i, size_t n_ages) {
  // survival, mating, equilibrium and migration are [sex, age]; the rest [age].
  return (i == 0 || i == 1 || i == 5 || i == 6) ? mul_or_max(2, n_ages) : n_ages;
}

// Copy of block d (extent `ext`) of a column, bounds-checked.
Result<std::vector<double>> column_block(std::string_view name, const std::vector<double>& col,
                                         size_t n_demes, size_t d, size_t ext) {
  size_t begin = mul_or_max(d, ext);
  size_t end = begin == std::numeric_limits<size_t>::max() ? begin : begin + ext;
  if (end < begin || end > col.size()) {
    QORIN_TRY(EcologyParams::expect_column_len(name, col.size(), mul_or_max(n_demes, ext)));
    return Error::value("ecology column " + std::string(name) + ": block " + format_uint(d) +
                        " out of range");
  }
  return std::vector<double>(col.begin() + static_cast<ptrdiff_t>(begin),
                             col.begin() + static_cast<ptrdiff_t>(end));
}

}  // namespace

int64_t growth_mode_from_f64(double value) {
  if (!(value > 0.0)) return 0;  // NaN and nonpositive values
  if (value >= 9.2e18) return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(value);  // truncation toward zero
}

// ---------------------------------------------------------------- names

bool EcologyParams::is_scalar_field(std::string_view name) { return scalar_index(name) >= 0; }
bool EcologyParams::is_ecology_tensor(std::string_view name) { return tensor_index(name) >= 0; }

Result<size_t> EcologyParams::per_deme_len(size_t n_ages, std::string_view name) {
  int i = tensor_index(name);
  if (i < 0) return Error::key("unknown params field " + q(name));
  return extent_of(static_cast<size_t>(i), n_ages);
}

const std::vector<double>* EcologyParams::tensor_column(std::string_view name) const {
  return const_cast<EcologyParams*>(this)->tensor_column(name);
}

std::vector<double>* EcologyParams::tensor_column(std::string_view name) {
  switch (tensor_index(name)) {
    case 0: return &survival_rates;
    case 1: return &mating_rates;
    case 2: return &reproduction_rates;
    case 3: return &fertility;
    case 4: return &competition_weights;
    case 5: return &equilibrium_distribution;
    case 6: return &migration_rate;
    default: return nullptr;
  }
}

// ---------------------------------------------------------------- structure

Status EcologyParams::validate(size_t n_ages) const {
  const size_t D = n_demes;
  // 1. Declarations match the equilibrium column.
  bool declared_ok = equilibrium_declared.size() == D;
  if (declared_ok && equilibrium_distribution.empty()) {
    for (uint8_t f : equilibrium_declared) declared_ok = declared_ok && f == 0;
  }
  if (!declared_ok) return Error::value("equilibrium declaration presence does not match its columns");
  // 2. Custom slots.
  if (custom_slots.size() != D) return Error::value("custom-slot column must have one entry per deme");
  // 3. Scalar columns.
  const size_t lens[kNumScalars] = {carrying_capacity.size(),       eggs_per_female.size(),
                                    sex_ratio.size(),               sperm_displacement_rate.size(),
                                    low_density_growth_rate.size(), growth_mode.size(),
                                    external_expected_eggs.size()};
  for (size_t i = 0; i < kNumScalars; ++i) {
    if (lens[i] != D) {
      return Error::value("Params." + std::string(kScalarNames[i]) + ": expected " + format_uint(D) +
                          " column entries, got " + format_uint(lens[i]));
    }
  }
  // 4. Growth rates.
  for (double v : low_density_growth_rate) {
    if (!growth_rate_ok(v)) return kGrowthRateError;
  }
  // 5. Tensor columns.
  for (size_t i = 0; i < kNumTensors; ++i) {
    const std::vector<double>& col = *tensor_column(kTensorNames[i]);
    const size_t expected = mul_or_max(D, extent_of(i, n_ages));
    if (col.size() == expected) continue;
    if (col.empty() && is_optional_tensor(kTensorNames[i])) continue;
    return Error::value("Params." + std::string(kTensorNames[i]) + ": expected " +
                        format_uint(expected) + " elements, got " + format_uint(col.size()));
  }
  return Status::ok();
}

// ---------------------------------------------------------------- reads

Result<double> EcologyParams::get_scalar(std::string_view name) const {
  const int i = scalar_index(name);
  if (i < 0) return Error::key("unknown or non-scalar params field " + q(name));
  const Error empty = Error::value("params column is empty (n_demes == 0)");
  if (name == "growth_mode") {
    if (growth_mode.empty()) return empty;
    return static_cast<double>(growth_mode[0]);
  }
  const std::vector<double>* cols[kNumScalars] = {&carrying_capacity, &eggs_per_female, &sex_ratio,
                                                  &sperm_displacement_rate, &low_density_growth_rate,
                                                  nullptr, &external_expected_eggs};
  const std::vector<double>& col = *cols[i];
  if (col.empty()) return empty;
  return col[0];
}

Result<std::vector<double>> EcologyParams::get_tensor(std::string_view name) const {
  if (GeneticsTensors::is_genetics_tensor(name)) {
    return Error::key(q(name) + " is a genetics tensor; read it from the session genetics bank");
  }
  const std::vector<double>* col = tensor_column(name);
  if (!col) return Error::key("unknown or non-tensor params field " + q(name));
  return *col;
}

Result<std::vector<double>> EcologyParams::session_get_tensor(const GeneticsTensors& genetics,
                                                              std::string_view name) const {
  if (GeneticsTensors::is_genetics_tensor(name)) {
    std::span<const double> s = *genetics.field_slice(name);
    return std::vector<double>(s.begin(), s.end());
  }
  return get_tensor(name);
}

double EcologyParams::eco_value(size_t param_id, size_t deme) const {
  const std::vector<double>* cols[kNumBoundedScalars] = {
      &carrying_capacity, &eggs_per_female, &sex_ratio, &sperm_displacement_rate,
      &low_density_growth_rate};
  const std::vector<double>& col = *cols[param_id < 4 ? param_id : 4];
  if (col.empty()) return 0.0;
  return col[deme < col.size() ? deme : col.size() - 1];
}

// ---------------------------------------------------------------- writes

Result<ScalarRef> EcologyParams::scalar_ref(std::string_view name, size_t deme) {
  if (deme >= n_demes) return deme_out_of_range(deme, n_demes);
  const int i = scalar_index(name);
  if (i < 0) {
    if (is_ecology_tensor(name) || GeneticsTensors::is_genetics_tensor(name)) {
      return Error::value(q(name) + " is a tensor field; use tensor_write");
    }
    return Error::key("unknown params field " + q(name));
  }
  ScalarRef ref;
  if (name == "growth_mode") {
    if (deme >= growth_mode.size()) return deme_out_of_range(deme, growth_mode.size());
    ref.kind = ScalarRef::Kind::Int;
    ref.i = &growth_mode[deme];
    return ref;
  }
  std::vector<double>* cols[kNumScalars] = {&carrying_capacity, &eggs_per_female, &sex_ratio,
                                            &sperm_displacement_rate, &low_density_growth_rate,
                                            nullptr, &external_expected_eggs};
  std::vector<double>& col = *cols[i];
  if (deme >= col.size()) return deme_out_of_range(deme, col.size());
  ref.f = &col[deme];
  return ref;
}

namespace {
void store(const ScalarRef& ref, double value) {
  if (ref.kind == ScalarRef::Kind::Float) {
    *ref.f = value;
  } else {
    *ref.i = growth_mode_from_f64(value);
  }
}
}  // namespace

Status EcologyParams::apply(const std::vector<std::pair<std::string, double>>& writes) {
  // 1. Resolve and gate every entry before anything is written.
  std::vector<ScalarRef> refs;
  refs.reserve(writes.size());
  const double* written_growth_rate = nullptr;
  for (const auto& [name, value] : writes) {
    Result<ScalarRef> ref = scalar_ref(name, 0);
    if (!ref) return ref.error();
    QORIN_TRY(validate_scalar_value(name, value));
    refs.push_back(*ref);
    if (name == "low_density_growth_rate") written_growth_rate = &value;
  }
  // 2. The growth rate in effect after the batch.
  double growth_rate;
  if (written_growth_rate) {
    growth_rate = *written_growth_rate;
  } else {
    Result<double> current = get_scalar("low_density_growth_rate");
    if (!current) return current.error();
    growth_rate = *current;
  }
  if (!growth_rate_ok(growth_rate)) return kGrowthRateError;
  // 3. Write.
  for (size_t k = 0; k < writes.size(); ++k) store(refs[k], writes[k].second);
  return Status::ok();
}

Status EcologyParams::tensor_write(size_t n_ages, std::string_view name,
                                   std::span<const double> values) {
  QORIN_TRY(validate_tensor_values(name, values));
  if (GeneticsTensors::is_genetics_tensor(name)) {
    return Error::key(q(name) + " is a genetics tensor; route it to the session genetics bank");
  }
  std::vector<double>* col = tensor_column(name);
  if (!col) return Error::key("unknown params field " + q(name));
  const size_t expected = mul_or_max(n_demes, *per_deme_len(n_ages, name));
  bool length_ok = values.size() == expected;
  if (name == "migration_rate" && col->empty() && values.empty()) length_ok = true;
  if (name == "equilibrium_distribution" && values.empty()) length_ok = true;
  if (!length_ok) {
    return Error::value("Params." + std::string(name) + ": expected " + format_uint(expected) +
                        " elements, got " + format_uint(values.size()));
  }
  col->assign(values.begin(), values.end());
  if (name == "equilibrium_distribution") {
    const uint8_t flag = values.empty() ? 0 : 1;
    for (uint8_t& f : equilibrium_declared) f = flag;
  }
  return Status::ok();
}

void EcologyParams::set_eco_value(size_t param_id, size_t deme, double value) {
  std::vector<double>* cols[kNumBoundedScalars] = {
      &carrying_capacity, &eggs_per_female, &sex_ratio, &sperm_displacement_rate,
      &low_density_growth_rate};
  if (param_id >= static_cast<size_t>(kNumBoundedScalars)) return;
  std::vector<double>& col = *cols[param_id];
  if (deme < col.size()) col[deme] = value;
}

Status EcologyParams::pull_fields(const Blueprint& bp, size_t deme,
                                  const std::vector<std::string>& fields, FieldSource& source,
                                  GeneticsTensors* genetics) {
  const size_t A = bp.n_ages;
  struct StagedScalar {
    std::string name;
    double value;
  };
  struct StagedTensor {
    std::string name;
    bool is_genetics;
    std::vector<double> values;
  };
  std::vector<StagedScalar> scalars;
  std::vector<StagedTensor> tensors;
  bool refresh_custom = false;

  // Staging, step 1: resolve each name and read its attribute.
  for (const std::string& name : fields) {
    if (name == "custom_slots") {
      if (deme >= n_demes) return deme_out_of_range(deme, n_demes);
      refresh_custom = true;
    } else if (GeneticsTensors::is_genetics_tensor(name)) {
      if (!genetics) {
        return Error::key(name + " is a genetics tensor; this channel carries ecology only");
      }
      StagedTensor t{name, true, {}};
      QORIN_TRY(source.read_f64_vec(name, &t.values));
      const size_t expected = *GeneticsTensors::expected_len(bp, name);
      if (t.values.size() != expected) {
        return Error::value("genetics " + name + ": expected " + format_uint(expected) +
                            " elements, got " + format_uint(t.values.size()));
      }
      tensors.push_back(std::move(t));
    } else if (is_ecology_tensor(name)) {
      StagedTensor t{name, false, {}};
      QORIN_TRY(source.read_f64_vec(name, &t.values));
      const size_t extent = *per_deme_len(A, name);
      const bool ok = t.values.size() == extent || (t.values.empty() && is_optional_tensor(name));
      if (!ok) {
        return Error::value("Params." + name + ": expected " + format_uint(extent) +
                            " elements, got " + format_uint(t.values.size()));
      }
      tensors.push_back(std::move(t));
    } else {
      Result<ScalarRef> ref = scalar_ref(name, deme);
      if (!ref) return ref.error();
      StagedScalar s{name, 0.0};
      QORIN_TRY(source.read_f64(name, &s.value));
      scalars.push_back(std::move(s));
    }
  }
  // Step 2: custom slots.
  CustomSlotMap new_slots;
  if (refresh_custom) QORIN_TRY(source.read_custom_slots(&new_slots));
  // Step 3: values.
  for (const StagedScalar& s : scalars) QORIN_TRY(validate_scalar_value(s.name, s.value));
  for (const StagedTensor& t : tensors) QORIN_TRY(validate_tensor_values(t.name, t.values));
  // Re-checked after the reads: reading a source attribute runs Python code.
  if (refresh_custom && deme >= custom_slots.size()) return deme_out_of_range(deme, n_demes);
  // Where each ecology block goes; a block for one deme of a column that was
  // never declared has nowhere to go. Checked here so that a failing call
  // writes nothing at all.
  for (const StagedTensor& t : tensors) {
    if (t.is_genetics) continue;
    const std::vector<double>& col = *tensor_column(t.name);
    const size_t extent = *per_deme_len(A, t.name);
    const size_t full = mul_or_max(n_demes, extent);
    if (deme >= n_demes) return deme_out_of_range(deme, n_demes);
    if (t.values.empty()) {
      if (t.name == "equilibrium_distribution" && deme >= equilibrium_declared.size())
        return deme_out_of_range(deme, equilibrium_declared.size());
      continue;
    }
    if (col.size() == full || (col.empty() && n_demes == 1)) {
      if (t.name == "equilibrium_distribution" && deme >= equilibrium_declared.size())
        return deme_out_of_range(deme, equilibrium_declared.size());
      continue;
    }
    return Error::value("Params." + t.name + ": column holds " + format_uint(col.size()) +
                        " elements, expected " + format_uint(full) +
                        "; cannot write one deme of an undeclared column \xE2\x80\x94 declare " +
                        t.name + " at build time to enable per-deme writes");
  }

  std::vector<ScalarRef> refs;
  refs.reserve(scalars.size());
  for (const StagedScalar& s : scalars) {
    Result<ScalarRef> ref = scalar_ref(s.name, deme);
    if (!ref) return ref.error();
    refs.push_back(*ref);
  }

  // Commit, step 1: scalars.
  for (size_t k = 0; k < scalars.size(); ++k) store(refs[k], scalars[k].value);
  // Step 2: ecology tensors.
  for (StagedTensor& t : tensors) {
    if (t.is_genetics) continue;
    std::vector<double>& col = *tensor_column(t.name);
    const size_t extent = t.values.size();
    const bool equilibrium = t.name == "equilibrium_distribution";
    if (t.values.empty()) {
      if (equilibrium) {
        equilibrium_declared[deme] = 0;
        bool any = false;
        for (uint8_t f : equilibrium_declared) any = any || f != 0;
        if (!any) col.clear();
      }
      continue;
    }
    if (col.empty()) {
      col = std::move(t.values);  // one deme: the block is the whole column
    } else {
      std::memcpy(col.data() + deme * extent, t.values.data(), extent * sizeof(double));
    }
    if (equilibrium) equilibrium_declared[deme] = 1;
  }
  // Step 3: genetics tensors (already checked for length and values).
  for (StagedTensor& t : tensors) {
    if (!t.is_genetics) continue;
    **genetics->tensor_mut(t.name) = std::move(t.values);
  }
  // Step 4: custom slots.
  if (refresh_custom) custom_slots[deme] = std::move(new_slots);
  return Status::ok();
}

// ---------------------------------------------------------------- snapshot words

Result<EcologyParams::SnapshotWords> EcologyParams::ecology_snapshot_words() const {
  SnapshotWords out;
  for (size_t i = 0; i < kNumScalars; ++i) {
    Result<double> v = get_scalar(kScalarNames[i]);
    if (!v) return v.error();
    out.words[i] = std::bit_cast<uint64_t>(*v);
  }
  out.tensors.reserve(kNumTensors);
  for (size_t i = 0; i < kNumTensors; ++i) out.tensors.push_back(*tensor_column(kTensorNames[i]));
  return out;
}

Status EcologyParams::ecology_restore_words(size_t n_ages, std::span<const uint64_t> words,
                                            const std::vector<std::vector<double>>& tensors) {
  EcologyParams copy = *this;
  for (size_t i = 0; i < words.size() && i < kNumScalars; ++i) {
    QORIN_TRY(copy.apply({{std::string(kScalarNames[i]), std::bit_cast<double>(words[i])}}));
  }
  for (size_t i = 0; i < tensors.size() && i < kNumTensors; ++i) {
    QORIN_TRY(copy.tensor_write(n_ages, kTensorNames[i], tensors[i]));
  }
  *this = std::move(copy);
  return Status::ok();
}

// ---------------------------------------------------------------- per-deme columns

Status EcologyParams::expect_column_len(std::string_view name, size_t got, size_t expected) {
  if (got == expected) return Status::ok();
  return Error::value("ecology column " + std::string(name) + ": expected " +
                      format_uint(expected) + " entries, got " + format_uint(got));
}

Result<EcologyParams> EcologyParams::single_deme(size_t n_ages, size_t d) const {
  if (d >= n_demes) return deme_out_of_range(d, n_demes);
  QORIN_TRY(validate(n_ages));
  return deme_copy(n_ages, d);
}

Result<EcologyParams> EcologyParams::deme_copy(size_t n_ages, size_t d) const {
  if (d >= n_demes || d >= carrying_capacity.size() || d >= eggs_per_female.size() || d >= sex_ratio.size() ||
      d >= sperm_displacement_rate.size() || d >= low_density_growth_rate.size() || d >= growth_mode.size() ||
      d >= external_expected_eggs.size() || d >= equilibrium_declared.size() || d >= custom_slots.size()) {
    return deme_out_of_range(d, n_demes);
  }
  EcologyParams one;
  one.n_demes = 1;
  one.carrying_capacity = {carrying_capacity[d]};
  one.eggs_per_female = {eggs_per_female[d]};
  one.sex_ratio = {sex_ratio[d]};
  one.sperm_displacement_rate = {sperm_displacement_rate[d]};
  one.low_density_growth_rate = {low_density_growth_rate[d]};
  one.growth_mode = {growth_mode[d]};
  one.external_expected_eggs = {external_expected_eggs[d]};
  for (size_t i = 0; i < kNumTensors; ++i) {
    const std::string_view name = kTensorNames[i];
    const std::vector<double>& col = *tensor_column(name);
    const bool take = name == "equilibrium_distribution" ? equilibrium_declared[d] != 0
                      : name == "migration_rate"         ? !col.empty()
                                                         : true;
    if (!take) continue;
    Result<std::vector<double>> block = column_block(name, col, n_demes, d, extent_of(i, n_ages));
    if (!block) return block.error();
    *one.tensor_column(name) = std::move(*block);
  }
  one.equilibrium_declared = {equilibrium_declared[d]};
  one.custom_slots = {custom_slots[d]};
  return one;
}

Status EcologyParams::replace_deme(size_t n_ages, size_t d, const EcologyParams& one) {
  if (d >= n_demes) return deme_out_of_range(d, n_demes);
  QORIN_TRY(expect_column_len("n_demes", one.n_demes, 1));
  QORIN_TRY(validate(n_ages));
  QORIN_TRY(one.validate(n_ages));

  carrying_capacity[d] = one.carrying_capacity[0];
  eggs_per_female[d] = one.eggs_per_female[0];
  sex_ratio[d] = one.sex_ratio[0];
  sperm_displacement_rate[d] = one.sperm_displacement_rate[0];
  low_density_growth_rate[d] = one.low_density_growth_rate[0];
  growth_mode[d] = one.growth_mode[0];
  external_expected_eggs[d] = one.external_expected_eggs[0];
  auto copy_block = [&](std::vector<double>& col, const std::vector<double>& block, size_t ext) {
    if (col.empty()) col.assign(mul_or_max(n_demes, ext), 0.0);
    if (ext == 0) return;
    std::memcpy(col.data() + d * ext, block.data(), ext * sizeof(double));
  };
  for (size_t i = 0; i < 5; ++i) {
    const std::string_view name = kTensorNames[i];
    copy_block(*tensor_column(name), *one.tensor_column(name), extent_of(i, n_ages));
  }
  equilibrium_declared[d] = one.equilibrium_declared[0];
  if (one.equilibrium_declared[0] != 0) {
    copy_block(equilibrium_distribution, one.equilibrium_distribution, extent_of(5, n_ages));
  }
  bool any = false;
  for (uint8_t f : equilibrium_declared) any = any || f != 0;
  if (!any) equilibrium_distribution.clear();
  if (!one.migration_rate.empty()) {
    copy_block(migration_rate, one.migration_rate, extent_of(6, n_ages));
  }
  custom_slots[d] = one.custom_slots[0];
  return Status::ok();
}

// ---------------------------------------------------------------- equality

namespace {
template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}
}  // namespace

bool EcologyParams::same_as(const EcologyParams& o) const {
  if (n_demes != o.n_demes || custom_slots.size() != o.custom_slots.size()) return false;
  for (size_t d = 0; d < custom_slots.size(); ++d) {
    if (!custom_slots[d].same_as(o.custom_slots[d])) return false;
  }
  return same_bits(carrying_capacity, o.carrying_capacity) &&
         same_bits(eggs_per_female, o.eggs_per_female) && same_bits(sex_ratio, o.sex_ratio) &&
         same_bits(sperm_displacement_rate, o.sperm_displacement_rate) &&
         same_bits(low_density_growth_rate, o.low_density_growth_rate) &&
         same_bits(growth_mode, o.growth_mode) &&
         same_bits(external_expected_eggs, o.external_expected_eggs) &&
         same_bits(survival_rates, o.survival_rates) && same_bits(mating_rates, o.mating_rates) &&
         same_bits(reproduction_rates, o.reproduction_rates) && same_bits(fertility, o.fertility) &&
         same_bits(competition_weights, o.competition_weights) &&
         same_bits(equilibrium_distribution, o.equilibrium_distribution) &&
         same_bits(equilibrium_declared, o.equilibrium_declared) &&
         same_bits(migration_rate, o.migration_rate);
}

}  // namespace qorin
