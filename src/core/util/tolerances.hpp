// The tolerances the kernels and the samplers share. They belong to the
// model: each decides which values count as zero or as one, so changing one
// changes results.
#pragma once

namespace qorin {

// A count, an expectation, a weight or a sampler parameter at or below this
// counts as zero: kernels skip the cell and samplers return 0 without
// drawing. It lies far below one individual and far above what rounding
// leaves of sums and products of counts (about 1e-16 relative), so it only
// removes arithmetic residue, never a real individual or a real chance.
inline constexpr double kNegligible = 1e-10;

// A probability at or above this counts as one (a binomial returns all n
// without drawing): kNegligible seen from the other side.
inline constexpr double kAlmostOne = 0.9999999999;

// The relative slack of the check that the parts of a continuous split add up
// to its total: summing the same draws in another order differs by rounding
// far below it, while a genuinely wrong split is far above.
inline constexpr double kSplitSumTolerance = 1e-6;

}  // namespace qorin
