// Observation projection: mask-weighted sums of counts over genotypes, per
// observation group, deme group, sex and age slot.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/util/error.hpp"

namespace qorin {

// dimensions = (n_demes, n_sexes, n_ages, n_ztypes). Output row-major over
// (observation group, deme group, sex, age slot).
Result<std::vector<double>> project(std::span<const double> ind, std::span<const double> mask,
                                    const std::array<uint64_t, 4>& dimensions,
                                    std::span<const uint64_t> selected, bool collapse_age,
                                    bool aggregate);

}  // namespace qorin
