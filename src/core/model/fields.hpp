// The table of the model's fields: every ecology scalar, ecology tensor and
// genetics tensor with its name, parameter id, kind, shape rule, bounds,
// presence and scope. The entries live in qorin/_fields.def, a file shipped
// with the Python package that the host layer reads as well; this header turns
// them into constexpr data, so validation, the column readers and the binding
// all walk one list.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

// The element type of a field's column, by the table's kind token (for the
// X-macro expansions that declare the columns).
#define QORIN_FIELD_TYPE_Real double
#define QORIN_FIELD_TYPE_Integer int64_t

namespace qorin {

enum class FieldGroup : uint8_t { EcologyScalar, EcologyTensor, Genetics };
enum class FieldKind : uint8_t { Real, Integer };
enum class FieldPresence : uint8_t { Required, Optional };
enum class FieldScope : uint8_t { PerDeme, Shared };

// Every field, in table order.
enum class Field : uint8_t {
#define QORIN_FIELD(name, ...) name,
#include "qorin/_fields.def"
#undef QORIN_FIELD
};

inline constexpr size_t kNumFields = 0
#define QORIN_FIELD(...) +1
#include "qorin/_fields.def"
#undef QORIN_FIELD
    ;

// The dimensions a shape rule refers to.
struct FieldDims {
  size_t n_ages = 0;    // A
  size_t n_ztypes = 0;  // Z
  size_t n_gtypes = 0;  // G
};

// A layout: up to three axes, each the product of a constant and powers of A,
// Z and G, parsed from the table's text ("2,A", "Z*Z*Z", "" for a scalar).
struct ShapeRule {
  struct Axis {
    uint64_t factor = 1;
    uint8_t ages = 0, ztypes = 0, gtypes = 0;
  };
  static constexpr size_t kMaxRank = 3;
  std::array<Axis, kMaxRank> axes{};
  size_t rank = 0;

  // A malformed rule is a compile-time error (the throw is not a constant
  // expression).
  constexpr explicit ShapeRule(std::string_view text) {
    if (text.empty()) return;
    rank = 1;
    bool number = false;
    uint64_t value = 0;
    auto end_number = [&]() {
      if (number) axes[rank - 1].factor *= value;
      number = false;
      value = 0;
    };
    for (char c : text) {
      if (c >= '0' && c <= '9') {
        number = true;
        value = value * 10 + static_cast<uint64_t>(c - '0');
        continue;
      }
      end_number();
      Axis& axis = axes[rank - 1];
      switch (c) {
        case ',':
          if (rank == kMaxRank) throw "a shape rule has at most three axes";
          ++rank;
          break;
        case '*':
        case ' ': break;
        case 'A': ++axis.ages; break;
        case 'Z': ++axis.ztypes; break;
        case 'G': ++axis.gtypes; break;
        default: throw "a shape rule is made of 2, A, Z, G, '*' and ','";
      }
    }
    end_number();
  }

  // Number of elements of one block; SIZE_MAX when the product does not fit
  // (it then matches no length).
  size_t extent(const FieldDims& dims) const {
    size_t n = 1;
    for (size_t k = 0; k < rank; ++k) {
      const Axis& a = axes[k];
      n = times(n, a.factor);
      for (uint8_t i = 0; i < a.ages; ++i) n = times(n, dims.n_ages);
      for (uint8_t i = 0; i < a.ztypes; ++i) n = times(n, dims.n_ztypes);
      for (uint8_t i = 0; i < a.gtypes; ++i) n = times(n, dims.n_gtypes);
    }
    return n;
  }

 private:
  static size_t times(size_t a, uint64_t b) {
    size_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) return std::numeric_limits<size_t>::max();
    return r;
  }
};

struct FieldInfo {
  std::string_view name;
  FieldGroup group;
  int param_id;  // -1: not a staged parameter
  FieldKind kind;
  ShapeRule shape;
  double lower;
  double upper;
  double absent;  // the value meaning "not given", NaN when there is none
  FieldPresence presence;
  FieldScope scope;

  constexpr bool optional() const { return presence == FieldPresence::Optional; }
  constexpr bool per_deme() const { return scope == FieldScope::PerDeme; }
  constexpr bool is_tensor() const { return group != FieldGroup::EcologyScalar; }

  // Whether a value may be stored: finite, and inside [lower, upper] (integral
  // for an integer field) or equal to the "not given" value.
  bool admits(double v) const {
    if (!std::isfinite(v)) return false;
    if (v == absent) return true;
    if (kind == FieldKind::Integer && v != std::floor(v)) return false;
    return lower <= v && v <= upper;
  }
};

namespace field_table {
inline constexpr double inf = std::numeric_limits<double>::infinity();
inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();

inline constexpr std::array<FieldInfo, kNumFields> kFields = {{
#define QORIN_FIELD(name, group, id, kind, shape, lower, upper, absent, presence, scope)        \
  FieldInfo{#name,          FieldGroup::group, id, FieldKind::kind, ShapeRule(shape), lower, \
            upper,          absent,            FieldPresence::presence, FieldScope::scope},
#include "qorin/_fields.def"
#undef QORIN_FIELD
}};

template <FieldGroup G>
constexpr size_t count_of() {
  size_t n = 0;
  for (const FieldInfo& f : kFields) n += f.group == G ? 1 : 0;
  return n;
}

template <FieldGroup G>
constexpr std::array<Field, count_of<G>()> fields_of() {
  std::array<Field, count_of<G>()> out{};
  size_t k = 0;
  for (size_t i = 0; i < kNumFields; ++i) {
    if (kFields[i].group == G) out[k++] = static_cast<Field>(i);
  }
  return out;
}

constexpr size_t count_params() {
  size_t n = 0;
  for (const FieldInfo& f : kFields) n += f.param_id >= 0 ? 1 : 0;
  return n;
}

// The staged parameters by id; ids must run 0..n-1.
constexpr std::array<Field, count_params()> params_by_id() {
  std::array<Field, count_params()> out{};
  std::array<bool, count_params()> seen{};
  for (size_t i = 0; i < kNumFields; ++i) {
    const int id = kFields[i].param_id;
    if (id < 0) continue;
    if (static_cast<size_t>(id) >= out.size() || seen[static_cast<size_t>(id)]) {
      throw "parameter ids must be 0..n-1, each once";
    }
    seen[static_cast<size_t>(id)] = true;
    out[static_cast<size_t>(id)] = static_cast<Field>(i);
  }
  return out;
}

template <size_t N>
constexpr std::array<std::string_view, N> names_of(const std::array<Field, N>& fields) {
  std::array<std::string_view, N> out{};
  for (size_t i = 0; i < N; ++i) out[i] = kFields[static_cast<size_t>(fields[i])].name;
  return out;
}
}  // namespace field_table

constexpr const FieldInfo& field_info(Field f) { return field_table::kFields[static_cast<size_t>(f)]; }

// The fields of each group, in table order.
inline constexpr auto kEcologyScalarFields = field_table::fields_of<FieldGroup::EcologyScalar>();
inline constexpr auto kEcologyTensorFields = field_table::fields_of<FieldGroup::EcologyTensor>();
inline constexpr auto kGeneticsFields = field_table::fields_of<FieldGroup::Genetics>();
// The staged parameters (the scalars hooks may set), indexed by parameter id.
inline constexpr auto kParamFields = field_table::params_by_id();

// The field of that name.
constexpr std::optional<Field> find_field(std::string_view name) {
  for (size_t i = 0; i < kNumFields; ++i) {
    if (field_table::kFields[i].name == name) return static_cast<Field>(i);
  }
  return std::nullopt;
}

// The field of that name when it belongs to the group.
constexpr std::optional<Field> find_field(std::string_view name, FieldGroup group) {
  std::optional<Field> f = find_field(name);
  if (f && field_info(*f).group != group) return std::nullopt;
  return f;
}

// Position of a field among the fields of its group (table order).
constexpr size_t group_index(Field f) {
  size_t k = 0;
  for (size_t i = 0; i < static_cast<size_t>(f); ++i) {
    k += field_table::kFields[i].group == field_info(f).group ? 1 : 0;
  }
  return k;
}

}  // namespace qorin
