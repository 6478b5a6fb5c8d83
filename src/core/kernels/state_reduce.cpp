#include "core/kernels/state_reduce.hpp"

namespace qorin {

namespace {

// The two sizes are NumPy's, and the sums equal numpy.sum only because they
// are: NumPy adds float64 data in eight interleaved running sums (an unrolled
// loop: a[0], a[8], ... into the first, a[1], a[9], ... into the second, and
// so on), combines the eight pairwise, and adds the leftover tail in order;
// blocks longer than 128 values are first halved (at a multiple of eight) and
// the two halves summed recursively. Other sizes would give other roundings.
constexpr size_t kUnroll = 8;        // running sums of the unrolled loop
constexpr size_t kBlockSize = 128;   // longest block summed without halving

}  // namespace

double numpy_pairwise_sum(const double* a, size_t n) {
  if (n < kUnroll) {
    double res = 0.0;
    for (size_t i = 0; i < n; ++i) res += a[i];
    return res;
  }
  if (n <= kBlockSize) {
    double r[kUnroll];
    for (size_t j = 0; j < kUnroll; ++j) r[j] = a[j];
    const size_t end = n - (n % kUnroll);
    size_t i = kUnroll;
    for (; i < end; i += kUnroll) {
      for (size_t j = 0; j < kUnroll; ++j) r[j] += a[i + j];
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
  size_t m = n / 2;
  m -= m % kUnroll;
  return numpy_pairwise_sum(a, m) + numpy_pairwise_sum(a + m, n - m);
}

}  // namespace qorin
