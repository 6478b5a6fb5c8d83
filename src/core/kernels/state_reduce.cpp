#include "core/kernels/state_reduce.hpp"

namespace qorin {

double numpy_pairwise_sum(const double* a, size_t n) {
  if (n < 8) {
    double res = 0.0;
    for (size_t i = 0; i < n; ++i) res += a[i];
    return res;
  }
  if (n <= 128) {
    double r[8];
    for (size_t j = 0; j < 8; ++j) r[j] = a[j];
    const size_t end = n - (n % 8);
    size_t i = 8;
    for (; i < end; i += 8) {
      for (size_t j = 0; j < 8; ++j) r[j] += a[i + j];
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
  size_t m = n / 2;
  m -= m % 8;
  return numpy_pairwise_sum(a, m) + numpy_pairwise_sum(a + m, n - m);
}

}  // namespace qorin
