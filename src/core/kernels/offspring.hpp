// Offspring tensor: composes a meiosis table with a gamete-fusion table.
#pragma once

#include <cstddef>
#include <span>

namespace qorin {

// meiosis: [sex(2), Z, G] row-major; fusion: [G, G, Z] row-major.
// Writes Z*Z*Z entries into `out`, row-major over [female ztype, male ztype,
// zygote]; the caller allocates it (its size is known before any work).
void compute_offspring_tensor(const double* meiosis, const double* fusion, size_t n_ztypes,
                              size_t n_gtypes, std::span<double> out);

}  // namespace qorin
