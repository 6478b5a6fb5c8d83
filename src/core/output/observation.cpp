#include "core/output/observation.hpp"

#include "core/util/memory.hpp"

namespace qorin {

namespace {

bool checked_mul(uint64_t a, uint64_t b, uint64_t* out) { return !__builtin_mul_overflow(a, b, out); }

}  // namespace

Result<std::vector<double>> project(std::span<const double> ind, std::span<const double> mask,
                                    const std::array<uint64_t, 4>& dimensions,
                                    std::span<const uint64_t> selected, bool collapse_age,
                                    bool aggregate) {
  const Error layout = Error::value(
      "Observation dimensions or deme selection do not match the population layout");
  const uint64_t n_demes = dimensions[0];
  const uint64_t n_sexes = dimensions[1];
  const uint64_t n_ages = dimensions[2];
  const uint64_t n_ztypes = dimensions[3];

  uint64_t row_sa = 0, S = 0, expected_ind = 0;
  if (!checked_mul(n_sexes, n_ages, &row_sa) || !checked_mul(row_sa, n_ztypes, &S) || S == 0)
    return layout;
  if (!checked_mul(S, n_demes, &expected_ind) || ind.size() != expected_ind) return layout;
  if (selected.empty() || mask.size() % S != 0) return layout;
  for (uint64_t d : selected) {
    if (d >= n_demes) return layout;
  }

  const uint64_t T = mask.size() / S;
  const uint64_t G = aggregate ? 1 : selected.size();
  const uint64_t P = collapse_age ? 1 : n_ages;
  // T*G*n_sexes*P can exceed what the inputs hold by far (a long mask times a
  // long selection): its size is checked before anything is allocated.
  uint64_t out_len = 0;
  if (!checked_mul(T, G, &out_len) || !checked_mul(out_len, n_sexes, &out_len) ||
      !checked_mul(out_len, P, &out_len))
    return out_of_memory("the observation", std::nullopt);
  std::vector<double> out;
  QORIN_TRY(allocate(&out, out_len, 0.0, "the observation"));

  auto dot = [&](uint64_t d, uint64_t s, uint64_t a, uint64_t k) {
    const double* row = ind.data() + ((d * n_sexes + s) * n_ages + a) * n_ztypes;
    const double* w = mask.data() + ((k * n_sexes + s) * n_ages + a) * n_ztypes;
    double acc = 0.0;
    for (uint64_t z = 0; z < n_ztypes; ++z) acc += row[z] * w[z];
    return acc;
  };

  for (uint64_t k = 0; k < T; ++k) {
    for (uint64_t l = 0; l < G; ++l) {
      const size_t first = aggregate ? 0 : l;
      const size_t last = aggregate ? selected.size() : l + 1;
      for (uint64_t s = 0; s < n_sexes; ++s) {
        double* dst = out.data() + ((k * G + l) * n_sexes + s) * P;
        if (!collapse_age) {
          for (uint64_t a = 0; a < n_ages; ++a) {
            double acc = 0.0;
            for (size_t g = first; g < last; ++g) acc += dot(selected[g], s, a, k);
            dst[a] = acc;
          }
        } else {
          double acc = 0.0;
          for (size_t g = first; g < last; ++g) {
            double deme_total = 0.0;
            for (uint64_t a = 0; a < n_ages; ++a) deme_total += dot(selected[g], s, a, k);
            acc += deme_total;
          }
          dst[0] = acc;
        }
      }
    }
  }
  return out;
}

}  // namespace qorin
