// Migration of individuals and their stored sperm between the demes of a
// stacked spatial state, along a directed graph in compressed-sparse-row form.
//
// Stacked layout (row-major float64):
//   ind   (n_demes, 2, n_ages, n_ztypes)         sex 0 female, 1 male
//   sperm (n_demes, n_ages, n_ztypes, n_ztypes)  [female ztype, male ztype]
// Graph: the entries of source deme d are indptr[d] .. indptr[d+1] (half-open);
// entry e sends to dest_idx[e] with weight weights[e].
// Rates: (n_demes, 2, n_ages), the fraction of a sex and age class that leaves
// per tick; females use their rate for their stored sperm as well.
//
// Unmated females (count minus stored sperm) and each stored-sperm class move
// as separate units, so a female that leaves takes her stored sperm along.
// What leaves a cell never exceeds what the cell holds: a surplus created by
// rounding a fractional count up for an integer draw, by weights that sum above
// one, or by floating-point rounding is taken back by scaling the cell's flows
// down, and the remainder at home never turns negative.
//
// Two forms of each kernel: the `_into` forms write into caller-owned output
// buffers and reuse a MigrationScratch (no allocation once the scratch has
// grown to the graph's longest row); the plain forms allocate their result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/random/rng.hpp"
#include "core/util/error.hpp"

namespace qorin {

// The stacked state and migration inputs of one call (flat row-major views).
struct MigrationInputs {
  std::span<const double> ind;        // n_demes * 2 * n_ages * n_ztypes
  std::span<const double> sperm;      // n_demes * n_ages * n_ztypes * n_ztypes
  std::span<const int64_t> indptr;    // n_demes + 1
  std::span<const int64_t> dest_idx;  // indptr[n_demes] entries
  std::span<const double> weights;    // indptr[n_demes] entries
  std::span<const double> rate;       // n_demes * 2 * n_ages
  size_t n_demes = 0;
  size_t n_ages = 0;
  size_t n_ztypes = 0;
};

// Work buffers of the kernels, sized to the longest row of the graph and reused
// across cells and calls.
struct MigrationScratch {
  std::vector<double> flows;  // per-entry amounts of the current cell
  std::vector<double> probs;  // the row's weights renormalised (stochastic)
  void ensure(size_t longest_row) {
    const size_t n = longest_row > 0 ? longest_row : 1;
    if (flows.size() < n) flows.assign(n, 0.0);
    if (probs.size() < n) probs.assign(n, 0.0);
  }
};

struct MigrationResult {
  std::vector<double> ind;
  std::vector<double> sperm;
};

// Checks the lengths, the graph and the rates of a call. Length mismatches of
// indptr and rate are runtime errors with the kernels' fixed messages; a
// malformed graph (indptr not starting at 0 or decreasing, entry counts that
// disagree with indptr, destinations out of range, weights that are negative
// or not finite) and rates outside [0, 1] are value errors. Linear in
// n_demes + entries + rates. Returns the longest row on success.
Result<size_t> validate_migration(const MigrationInputs& in);

// How many of n leave at probability p: binomial(round(n), p), or its
// continuous analogue. n <= 0 or p <= 0 draws nothing and gives 0; p >= 1
// draws nothing and gives n.
RngResult sample_outbound(SessionRng& rng, bool continuous, double n, double p);

// Splits `moved` among the row's entries weights[start .. start+len) after
// renormalising them by their sum: scratch[0..len) receives the amounts, the
// result is their total (summed in entry order). probs needs len slots.
Result<double> distribute_csr_outbound(SessionRng& rng, std::span<const double> weights, size_t row_start,
                                       size_t row_len, bool continuous, std::span<double> scratch,
                                       double moved, std::span<double> probs);

// Deterministic migration: every cell sends rate * weight of itself to each
// destination. out_ind and out_sperm must have the sizes of in.ind and
// in.sperm and must not overlap the inputs; they are overwritten. On error
// they hold no meaningful values.
Status migrate_csr_deterministic_into(const MigrationInputs& in, std::span<double> out_ind,
                                      std::span<double> out_sperm, MigrationScratch& scratch);

// Stochastic migration with one stream per deme: the number leaving a cell is
// drawn from rngs[d] of its source deme d, then split among the row by a
// multinomial draw on the row's weights. Streams advance even when the call
// fails part-way (a sampler failure); the outputs are then meaningless.
Status migrate_csr_stochastic_into(std::span<SessionRng> rngs, bool continuous, const MigrationInputs& in,
                                   std::span<double> out_ind, std::span<double> out_sperm,
                                   MigrationScratch& scratch);

// Allocating forms.
Result<MigrationResult> migrate_csr_deterministic(const MigrationInputs& in);
// Fresh streams, stream d seeded with seed ^ d.
Result<MigrationResult> migrate_csr_stochastic(const MigrationInputs& in, uint64_t seed, bool continuous);
Result<MigrationResult> migrate_csr_stochastic_rngs(std::span<SessionRng> rngs, const MigrationInputs& in,
                                                    bool continuous);

}  // namespace qorin
