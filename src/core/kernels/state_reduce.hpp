// Totals of count slices, summed in NumPy's pairwise order so that results
// equal numpy.sum of the same float64 data bit for bit.
#pragma once

#include <cstddef>

namespace qorin {

double numpy_pairwise_sum(const double* a, size_t n);

}  // namespace qorin
