// Small numeric helpers shared by the kernels and the hook interpreter.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/util/tolerances.hpp"

namespace qorin {

// Rounds to the nearest integer, halves away from zero.
inline double round_half_away(double x) { return std::round(x); }

// A count rounded for an integer draw: NaN and negative values give 0, values
// beyond the 64-bit range saturate.
inline int64_t round_count(double x) {
  if (!(x > 0.0)) return 0;
  double r = std::round(x);
  if (r >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(r);
}

// Adds to acc[0..W) the values of W consecutive rows of length z, each row
// in index order onto its own accumulator; the W chains only run together.
template <size_t W>
void add_row_group(const double* rows, size_t z, double* acc) {
  double s[W];
  for (size_t w = 0; w < W; ++w) s[w] = acc[w];
  for (size_t j = 0; j < z; ++j) {
    for (size_t w = 0; w < W; ++w) s[w] += rows[w * z + j];
  }
  for (size_t w = 0; w < W; ++w) acc[w] = s[w];
}

// acc[i] += row i's values in index order, for n consecutive rows of length
// z, up to eight rows side by side (a row at a time would wait on each add).
inline void add_row_sums(const double* rows, size_t n, size_t z, double* acc) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) add_row_group<8>(rows + i * z, z, acc + i);
  if (i + 4 <= n) {
    add_row_group<4>(rows + i * z, z, acc + i);
    i += 4;
  }
  if (i + 2 <= n) {
    add_row_group<2>(rows + i * z, z, acc + i);
    i += 2;
  }
  if (i < n) add_row_group<1>(rows + i * z, z, acc + i);
}

// Sums of n consecutive rows of length z, each from 0.0 in index order.
inline void row_sums(const double* rows, size_t n, size_t z, double* out) {
  for (size_t i = 0; i < n; ++i) out[i] = 0.0;
  add_row_sums(rows, n, z, out);
}

// A probability clamped to [0, 1]; NaN becomes 0.
inline double clamp01(double x) {
  if (!(x > 0.0)) return 0.0;
  return x >= 1.0 ? 1.0 : x;
}

// clamp(x, 0, 1) with NaN passing through unchanged (the calibration lets a
// NaN input show in its result instead of hiding it).
inline double clamp01_keep_nan(double x) { return x < 0.0 ? 0.0 : (x > 1.0 ? 1.0 : x); }

// True when stored sperm exceeds the females carrying it by more than the
// rounding of count arithmetic can explain: kNegligible for counts up to one,
// and kNegligible relative to the stored count above that (sums of large counts differ
// in their last bits, which is no invalid state).
inline bool sperm_exceeds_females(double n_f, double stored) {
  const double tolerance = kNegligible * (stored > 1.0 ? stored : 1.0);
  return n_f - stored < -tolerance;
}

}  // namespace qorin
