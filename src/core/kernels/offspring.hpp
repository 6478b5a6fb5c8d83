// Offspring tensor: composes a meiosis table with a gamete-fusion table.
#pragma once

#include <cstddef>
#include <vector>

namespace qorin {

// meiosis: [sex(2), Z, G] row-major; fusion: [G, G, Z] row-major.
// Returns Z*Z*Z entries, row-major over [female ztype, male ztype, zygote].
std::vector<double> compute_offspring_tensor(const double* meiosis, const double* fusion,
                                             size_t n_ztypes, size_t n_gtypes);

}  // namespace qorin
