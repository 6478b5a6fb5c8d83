#include "core/model/ecology.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

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

constexpr const FieldInfo& kGrowthRate = field_info(Field::low_density_growth_rate);
static_assert(kGrowthRate.lower == 1.0, "the growth-rate message states the lower bound");
const Error kGrowthRateError =
    Error::value("low_density_growth_rate must be finite and at least 1.0");

bool growth_rate_ok(double v) { return std::isfinite(v) && v >= kGrowthRate.lower; }

// Position of a name among the scalars (tensors) in table order, or -1.
int scalar_index(std::string_view name) {
  const std::optional<Field> f = find_field(name, FieldGroup::EcologyScalar);
  return f ? static_cast<int>(group_index(*f)) : -1;
}

int tensor_index(std::string_view name) {
  const std::optional<Field> f = find_field(name, FieldGroup::EcologyTensor);
  return f ? static_cast<int>(group_index(*f)) : -1;
}

bool is_optional_tensor(std::string_view name) {
  const std::optional<Field> f = find_field(name, FieldGroup::EcologyTensor);
  return f && field_info(*f).optional();
}

// Per-deme extent of tensor index i (tensor order).
size_t extent_of(size_t i, size_t n_ages) {
  return field_info(kEcologyTensorFields[i]).shape.extent(FieldDims{n_ages, 0, 0});
}

// Whether a column holds float64 values.
template <class Col>
constexpr bool is_real_column = std::is_same_v<std::remove_cvref_t<Col>, std::vector<double>>;

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
  const std::optional<Field> f = find_field(name, FieldGroup::EcologyTensor);
  return f ? real_column(*f) : nullptr;
}

const std::vector<double>* EcologyParams::real_column(Field f) const {
  return const_cast<EcologyParams*>(this)->real_column(f);
}

namespace {

// The float64 column of each field (null for growth_mode and the genetics
// fields), indexed by field: a lookup the staged parameters make at every
// stage of every tick.
constexpr auto kRealColumns = []() {
  std::array<std::vector<double> EcologyParams::*, kNumFields> members{};
#define QORIN_FIELD(name, group, id, kind, ...) QORIN_ECOLOGY_REAL_##group(name, kind)
#define QORIN_ECOLOGY_REAL_EcologyScalar(name, kind) QORIN_ECOLOGY_REAL_##kind(name)
#define QORIN_ECOLOGY_REAL_EcologyTensor(name, kind) QORIN_ECOLOGY_REAL_##kind(name)
#define QORIN_ECOLOGY_REAL_Genetics(name, kind)
#define QORIN_ECOLOGY_REAL_Real(name) members[static_cast<size_t>(Field::name)] = &EcologyParams::name;
#define QORIN_ECOLOGY_REAL_Integer(name)
#include "qorin/_fields.def"
#undef QORIN_FIELD
#undef QORIN_ECOLOGY_REAL_EcologyScalar
#undef QORIN_ECOLOGY_REAL_EcologyTensor
#undef QORIN_ECOLOGY_REAL_Genetics
#undef QORIN_ECOLOGY_REAL_Real
#undef QORIN_ECOLOGY_REAL_Integer
  return members;
}();

}  // namespace

std::vector<double>* EcologyParams::real_column(Field f) {
  std::vector<double> EcologyParams::*member = kRealColumns[static_cast<size_t>(f)];
  return member ? &(this->*member) : nullptr;
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
  // 3. Scalar columns, in table order.
  std::optional<Error> short_column;
  for_each_column([&](Field f, const auto& col) {
    const FieldInfo& info = field_info(f);
    if (short_column || info.is_tensor() || col.size() == D) return;
    short_column = Error::value("Params." + std::string(info.name) + ": expected " + format_uint(D) +
                                " column entries, got " + format_uint(col.size()));
  });
  if (short_column) return *short_column;
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

Result<double> EcologyParams::get_scalar(std::string_view name, size_t deme) const {
  const int i = scalar_index(name);
  if (i < 0) return Error::key("unknown or non-scalar params field " + q(name));
  const Field field = kEcologyScalarFields[static_cast<size_t>(i)];
  std::optional<double> value;
  size_t length = 0;
  for_each_column([&](Field f, const auto& col) {
    if (f != field) return;
    length = col.size();
    if (deme < col.size()) value = static_cast<double>(col[deme]);  // growth_mode as a float
  });
  if (!value) {
    if (length == 0) return Error::value("params column is empty (n_demes == 0)");
    return deme_out_of_range(deme, length);
  }
  return *value;
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
  // Ids past the last parameter read the last one (low_density_growth_rate).
  const size_t last = kParamFields.size() - 1;
  const std::vector<double>& col = *real_column(kParamFields[param_id < last ? param_id : last]);
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
  const Field field = kEcologyScalarFields[static_cast<size_t>(i)];
  ScalarRef ref;
  size_t column_len = 0;
  for_each_column([&](Field f, auto& col) {
    if (f != field) return;
    column_len = col.size();
    if (deme >= col.size()) return;
    if constexpr (is_real_column<decltype(col)>) {
      ref.f = &col[deme];
    } else {
      ref.kind = ScalarRef::Kind::Int;  // growth_mode
      ref.i = &col[deme];
    }
  });
  if (deme >= column_len) return deme_out_of_range(deme, column_len);
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

Status EcologyParams::apply(const std::vector<std::pair<std::string, double>>& writes, size_t deme) {
  // 1. Resolve and gate every entry before anything is written.
  std::vector<ScalarRef> refs;
  refs.reserve(writes.size());
  const double* written_growth_rate = nullptr;
  for (const auto& [name, value] : writes) {
    Result<ScalarRef> ref = scalar_ref(name, deme);
    if (!ref) return ref.error();
    QORIN_TRY(validate_scalar_value(name, value));
    refs.push_back(*ref);
    if (name == kGrowthRate.name) written_growth_rate = &value;
  }
  // 2. The growth rate in effect after the batch.
  double growth_rate;
  if (written_growth_rate) {
    growth_rate = *written_growth_rate;
  } else {
    Result<ScalarRef> current = scalar_ref(kGrowthRate.name, deme);
    if (!current) return current.error();
    growth_rate = *current->f;
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
  if (param_id >= kParamFields.size()) return;
  std::vector<double>& col = *real_column(kParamFields[param_id]);
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
  bool scalars_short = false;
  for_each_column([&](Field f, const auto& col) {
    if (!field_info(f).is_tensor()) scalars_short = scalars_short || d >= col.size();
  });
  if (d >= n_demes || scalars_short || d >= equilibrium_declared.size() || d >= custom_slots.size()) {
    return deme_out_of_range(d, n_demes);
  }
  EcologyParams one;
  one.n_demes = 1;
  visit_columns(
      [&](Field f, auto& mine, const auto& all) {
        if (!field_info(f).is_tensor()) mine = {all[d]};
      },
      one, *this);
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

  visit_columns(
      [&](Field f, auto& all, const auto& mine) {
        if (!field_info(f).is_tensor()) all[d] = mine[0];
      },
      *this, one);
  auto copy_block = [&](std::vector<double>& col, const std::vector<double>& block, size_t ext) {
    if (col.empty()) col.assign(mul_or_max(n_demes, ext), 0.0);
    if (ext == 0) return;
    std::memcpy(col.data() + d * ext, block.data(), ext * sizeof(double));
  };
  for (size_t i = 0; i < kNumTensors; ++i) {
    if (field_info(kEcologyTensorFields[i]).optional()) continue;  // below
    const std::string_view name = kTensorNames[i];
    copy_block(*tensor_column(name), *one.tensor_column(name), extent_of(i, n_ages));
  }
  equilibrium_declared[d] = one.equilibrium_declared[0];
  if (one.equilibrium_declared[0] != 0) {
    copy_block(equilibrium_distribution, one.equilibrium_distribution,
               extent_of(group_index(Field::equilibrium_distribution), n_ages));
  }
  bool any = false;
  for (uint8_t f : equilibrium_declared) any = any || f != 0;
  if (!any) equilibrium_distribution.clear();
  if (!one.migration_rate.empty()) {
    copy_block(migration_rate, one.migration_rate, extent_of(group_index(Field::migration_rate), n_ages));
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
  bool same = same_bits(equilibrium_declared, o.equilibrium_declared);
  visit_columns([&](Field, const auto& a, const auto& b) { same = same && same_bits(a, b); }, *this, o);
  return same;
}

}  // namespace qorin
