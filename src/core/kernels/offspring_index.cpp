#include <cmath>
#include <cstring>

#include "core/kernels/lifecycle.hpp"

namespace qorin {

void OffspringIndex::sync(const double* tensor, size_t z, uint64_t epoch) {
  const size_t n = z * z * z;
  if (built_ && z_ == z && epoch != 0 && epoch == epoch_ && tensor == built_from_) return;
  built_from_ = tensor;
  epoch_ = epoch;
  if (built_ && z_ == z && (n == 0 || std::memcmp(source_.data(), tensor, n * sizeof(double)) == 0)) return;
  built_ = false;
  z_ = z;
  source_.assign(tensor, tensor + n);
  const size_t rows = z * z;
  start_.assign(rows + 1, 0);
  row_sum_.assign(rows, 0.0);
  size_t nonzero = 0;
  for (size_t t = 0; t < n; ++t) nonzero += tensor[t] != 0.0;
  zygote_.resize(nonzero);
  value_.resize(nonzero);
  size_t e = 0;
  for (size_t p = 0; p < rows; ++p) {
    const double* o = tensor + p * z;
    start_[p] = e;
    double s = 0.0;
    for (size_t k = 0; k < z; ++k) s += o[k];
    row_sum_[p] = s;
    for (size_t k = 0; k < z; ++k) {
      if (o[k] == 0.0) continue;
      zygote_[e] = static_cast<uint32_t>(k);
      value_[e] = o[k];
      ++e;
    }
  }
  start_[rows] = e;
  // The multinomial over row p / s: every category but the last one is drawn
  // with probs / remaining (clamped to [0, 1]) while the remainder and the
  // probability are positive; the remainder then drops by the probability. A
  // zero entry gives a probability of ±0 when 1/s is finite and non-zero (s
  // finite and positive), which draws nothing and leaves the remainder as it
  // is: it starts at 1.0 and a difference is -0.0 only when the minuend is.
  conditional_.resize(nonzero);
  for (size_t p = 0; p < rows; ++p) {
    const double inv = 1.0 / row_sum_[p];
    double remaining = 1.0;
    for (size_t f = start_[p]; f < start_[p + 1]; ++f) {
      if (zygote_[f] + 1 >= z) {
        conditional_[f] = kNoDraw;  // the last category takes what remains
        continue;
      }
      const double prob = inv * value_[f];
      double c = kNoDraw;
      if (remaining > 0.0 && prob > 0.0) {
        c = prob / remaining;
        if (c < 0.0) c = 0.0;
        if (c > 1.0) c = 1.0;
      }
      conditional_[f] = c;
      remaining = remaining - prob;
    }
  }
  column_start_.assign(z + 1, 0);
  column_row_.resize(nonzero);
  column_value_.resize(nonzero);
  all_finite_ = true;
  for (size_t t = 0; t < n; ++t) {
    if (!std::isfinite(tensor[t])) all_finite_ = false;
  }
  for (size_t f = 0; f < e; ++f) column_start_[zygote_[f] + 1] += 1;
  for (size_t k = 0; k < z; ++k) column_start_[k + 1] += column_start_[k];
  // Rows are visited in increasing order, so each column lists its rows in order.
  std::vector<size_t>& fill = start_scratch_;
  fill.assign(column_start_.begin(), column_start_.end() - 1);
  for (size_t p = 0; p < rows; ++p) {
    for (size_t f = start_[p]; f < start_[p + 1]; ++f) {
      const size_t slot = fill[zygote_[f]]++;
      column_row_[slot] = static_cast<uint32_t>(p);
      column_value_[slot] = value_[f];
    }
  }
  built_ = true;
}

}  // namespace qorin
