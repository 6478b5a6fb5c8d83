#include <cstring>

#include "core/kernels/lifecycle.hpp"

namespace qorin {

void OffspringIndex::sync(const double* tensor, size_t z) {
  const size_t n = z * z * z;
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
  built_ = true;
}

}  // namespace qorin
