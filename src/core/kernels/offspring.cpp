#include "core/kernels/offspring.hpp"

namespace qorin {

void compute_offspring_tensor(const double* meiosis, const double* fusion, size_t n_ztypes,
                              size_t n_gtypes, std::span<double> result) {
  const size_t Z = n_ztypes;
  const size_t G = n_gtypes;
  const double* female_meiosis = meiosis;          // meiosis[0, ., .]
  const double* male_meiosis = meiosis + Z * G;    // meiosis[1, ., .]
  for (size_t i = 0; i < Z; ++i) {
    const double* fem_row = female_meiosis + i * G;
    for (size_t j = 0; j < Z; ++j) {
      const double* male_row = male_meiosis + j * G;
      double* out = result.data() + (i * Z + j) * Z;
      for (size_t k = 0; k < Z; ++k) {
        double total = 0.0;
        for (size_t f = 0; f < G; ++f) {
          const double a = fem_row[f];
          if (a == 0.0) continue;  // skipped: contributes nothing, even beside non-finite fusion
          for (size_t m = 0; m < G; ++m) {
            const double b = male_row[m];
            if (b == 0.0) continue;
            total = total + (a * b) * fusion[(f * G + m) * Z + k];
          }
        }
        out[k] = total;
      }
    }
  }
}

}  // namespace qorin
