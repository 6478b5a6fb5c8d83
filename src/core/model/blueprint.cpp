#include "core/model/blueprint.hpp"

#include <cstdint>
#include <string>

#include "core/util/format.hpp"

namespace qorin {

namespace {

// Largest element count any column derived from the dimensions may have: a
// vector of that many doubles must be addressable.
constexpr size_t kMaxElements = static_cast<size_t>(PTRDIFF_MAX) / sizeof(double);

bool product_fits(std::initializer_list<size_t> factors) {
  size_t acc = 1;
  for (size_t f : factors) {
    if (__builtin_mul_overflow(acc, f, &acc)) return false;
  }
  return acc <= kMaxElements;
}

// Lists longer than this are abbreviated in messages so that an absurd age
// axis cannot make the message itself exhaust memory.
constexpr size_t kMaxListedAges = 4096;

std::string format_age_list_range(size_t start, size_t stop) {
  std::string out = "[";
  size_t n = stop > start ? stop - start : 0;
  for (size_t k = 0; k < n; ++k) {
    if (n > kMaxListedAges && k == kMaxListedAges / 2) {
      out += ", ...";
      k = n - kMaxListedAges / 2;
    }
    if (k) out += ", ";
    out += format_uint(start + k);
  }
  return out + "]";
}

std::string format_age_list(const std::vector<int64_t>& v) {
  std::string out = "[";
  size_t n = v.size();
  for (size_t k = 0; k < n; ++k) {
    if (n > kMaxListedAges && k == kMaxListedAges / 2) {
      out += ", ...";
      k = n - kMaxListedAges / 2;
    }
    if (k) out += ", ";
    out += format_int(v[k]);
  }
  return out + "]";
}

Error length_error(const char* field, size_t expected, size_t actual) {
  return Error::value(std::string("Blueprint.") + field + ": expected " + format_uint(expected) +
                      " elements, got " + format_uint(actual));
}

}  // namespace

Status blueprint_dimension(const char* field, int64_t value, size_t* out) {
  if (value < 0) {
    return Error::value(std::string("Blueprint.") + field + " must be nonnegative, got " +
                        format_int(value));
  }
  *out = static_cast<size_t>(value);
  return Status::ok();
}

Status Blueprint::validate() const {
  const size_t A = n_ages, Z = n_ztypes, G = n_gtypes, D = n_demes;

  // Every derived column length must be representable before anything is
  // multiplied out below or by the other contracts.
  if (!product_fits({2, A, Z}) || !product_fits({A, Z, Z}) || !product_fits({Z, Z, Z}) ||
      !product_fits({2, Z, G}) || !product_fits({D, 2, A}) || !product_fits({D, 1}) ||
      D == SIZE_MAX) {
    return Error::value("Blueprint dimensions are too large: n_ages " + format_uint(A) +
                        ", n_ztypes " + format_uint(Z) + ", n_gtypes " + format_uint(G) +
                        ", n_demes " + format_uint(D));
  }

  // 1. Adult ages: exactly new_adult_age, new_adult_age+1, ..., A-1.
  {
    const size_t start = new_adult_age;
    const size_t n_expected = start < A ? A - start : 0;
    bool same = adult_ages.size() == n_expected;
    for (size_t k = 0; same && k < n_expected; ++k) {
      same = adult_ages[k] >= 0 && static_cast<uint64_t>(adult_ages[k]) == start + k;
    }
    if (!same) {
      return Error::value("Blueprint.adult_ages: expected " + format_age_list_range(start, A) +
                          ", got " + format_age_list(adult_ages));
    }
  }

  // 2. Lengths.
  if (ztype_names.size() != Z) return length_error("ztype_names", Z, ztype_names.size());
  if (gtype_names.size() != G) return length_error("gtype_names", G, gtype_names.size());
  if (female_only_by_sex_chrom.size() != Z)
    return length_error("female_only_by_sex_chrom", Z, female_only_by_sex_chrom.size());
  if (male_only_by_sex_chrom.size() != Z)
    return length_error("male_only_by_sex_chrom", Z, male_only_by_sex_chrom.size());
  if (initial_individual_count.size() != 2 * A * Z)
    return length_error("initial_individual_count", 2 * A * Z, initial_individual_count.size());
  if (!initial_sperm_storage.empty() && initial_sperm_storage.size() != A * Z * Z)
    return length_error("initial_sperm_storage", A * Z * Z, initial_sperm_storage.size());

  // 3. Migration CSR.
  const size_t n = migration_indptr.size();
  if (D == 1 && n == 0) {
    // No graph: a single deme without migration arrays.
    if (migration_dest_idx.empty()) return Status::ok();
    return length_error("migration_indptr", 2, 0);
  }
  if (n != D + 1) return length_error("migration_indptr", D + 1, n);
  if (migration_indptr[0] != 0) {
    return Error::value("Blueprint.migration_indptr must start at 0");
  }
  for (size_t k = 0; k + 1 < n; ++k) {
    const int64_t a = migration_indptr[k], b = migration_indptr[k + 1];
    if (b < a) {
      return Error::value("Blueprint.migration_indptr must be non-decreasing (" + format_int(a) +
                          " > " + format_int(b) + ")");
    }
  }
  // Non-decreasing from 0, so the last entry is the nonnegative entry count.
  const int64_t nnz = migration_indptr[n - 1];
  if (static_cast<uint64_t>(nnz) != migration_dest_idx.size() ||
      static_cast<uint64_t>(nnz) != migration_weights.size()) {
    return Error::value("Blueprint.migration CSR: indptr ends at " + format_int(nnz) +
                        " but dest_idx has " + format_uint(migration_dest_idx.size()) +
                        " and weights " + format_uint(migration_weights.size()) + " entries");
  }
  for (int64_t d : migration_dest_idx) {
    if (d < 0 || static_cast<uint64_t>(d) >= D) {
      return Error::value("Blueprint.migration_dest_idx: destination " + format_int(d) +
                          " out of range for " + format_uint(D) + " demes");
    }
  }
  return Status::ok();
}

}  // namespace qorin
