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
// grown to the call's sizes); the plain forms allocate their result.
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

class WorkerPool;

// Work buffers of the kernels, reused across calls: the graph turned around
// (who sends to each deme), one lane of buffers per thread, and
// the stochastic kernel's record window. Nothing is allocated once they have
// grown to the call's sizes.
struct MigrationScratch {
  // Sources of destination t: entries in_ptr[t] .. in_ptr[t+1] of in_src /
  // in_edge, by ascending source and, within a source, ascending entry (the
  // entry's offset within its source's row).
  std::vector<size_t> in_ptr, in_src, in_edge;
  struct Lane {
    std::vector<double> row;    // one unit's flows along its whole row
    std::vector<double> probs;  // the row's weights renormalised (stochastic)
    // The units of one cell (a female cell's unmated part and stored-sperm
    // classes, or an age's male cells): their counts, rate times count, what
    // they send along the row, their flows to the current destination (entry
    // by entry) and what stays home.
    std::vector<double> x, f, placed, v, stay;
    // Deterministic kernel: the blocks of the destination being filled.
    std::vector<double> dest_ind, dest_sperm;
    // Stochastic kernel: set-ups of the lane's binomial draws.
    SamplerMemo memo;
  };
  std::vector<Lane> lanes;
  // Deterministic kernel: per source deme, at unmated_stride intervals, its
  // unmated parts (n_ages, n_ztypes); and at flag_stride intervals its flags:
  // bit a set when age a stores sperm, bit n_ages when its units may skip the
  // settling pass (kept apart and dense: every destination reads them first).
  std::vector<double> unmated;
  size_t unmated_stride = 0;
  std::vector<uint64_t> flags;
  size_t flag_stride = 0;
  // Stochastic kernel: per-deme records of a window of source demes (each
  // unit that sends anything: its number, what stays home, then its flow
  // along every entry of the row), the window's streams as they were before
  // it drew, and per-deme outcomes.
  std::vector<double> records;
  std::vector<size_t> record_base, record_count;
  std::vector<SessionRng> saved_streams;
  std::vector<Status> outcomes;
  std::vector<size_t> cursor;   // per destination: next entry of in_src not yet pulled
  std::vector<size_t> stamp;    // per destination: last window that touched it
  std::vector<size_t> touched;  // destinations a window sends to
  // Set by an owner whose graph arrays never change while they stay where
  // they are (a session's blueprint): the graph is then checked and turned
  // around once, and later calls passing the same arrays reuse that.
  bool graph_fixed = false;
  struct GraphKey {
    const int64_t* indptr = nullptr;
    size_t n_indptr = 0;
    const int64_t* dest_idx = nullptr;
    size_t n_dest_idx = 0;
    const double* weights = nullptr;
    size_t n_weights = 0;
  } graph_key;
  size_t graph_longest = 0;
  bool graph_ready = false;
  // Bytes of records a window may hold; 0 picks a quarter of the stacked
  // state within [8 MiB, 64 MiB] (tests set small windows).
  size_t window_bytes = 0;
  // Deterministic outputs of at least this many bytes are written around the
  // caches; 0 picks 32 MiB (tests set small sizes).
  size_t stream_bytes = 0;
  // Fewer demes (or destinations) than this run on the calling thread.
  size_t min_parallel = 32;
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
// they hold no meaningful values. With a pool, destinations are filled in
// parallel; every output cell still sums its inflows in source order, so the
// result does not depend on the pool or its thread count.
// A deterministic call first prepares every source deme (its unmated parts,
// and whether its flows may skip the settling pass) unless the caller did:
// sources_prepared = true promises prepare_migration_source(in, d, scratch)
// for every deme d after begin_migration_sources(in, scratch) succeeded, with
// these very inputs. (A caller that walks the demes in parallel anyway
// prepares each one while its data is at hand.)
Status migrate_csr_deterministic_into(const MigrationInputs& in, std::span<double> out_ind,
                                      std::span<double> out_sperm, MigrationScratch& scratch,
                                      WorkerPool* pool = nullptr, bool sources_prepared = false);
// Checks the inputs as the kernel does and sizes the scratch for preparing.
Status begin_migration_sources(const MigrationInputs& in, MigrationScratch& scratch);
// Prepares source deme d; demes may be prepared concurrently.
void prepare_migration_source(const MigrationInputs& in, size_t d, MigrationScratch& scratch);
// The same from the deme's blocks held elsewhere (the same values as its
// blocks of `in` will hold).
void prepare_migration_source(const MigrationInputs& in, size_t d, const double* ind, const double* sperm,
                              MigrationScratch& scratch);

// Stochastic migration with one stream per deme: the number leaving a cell is
// drawn from rngs[d] of its source deme d, then split among the row by a
// multinomial draw on the row's weights. With a pool, demes draw in parallel
// (each from its own stream) a window at a time and destinations then pull
// the window's flows in source order: the same numbers as one thread. When a
// draw fails, the streams stand as if the demes had drawn one after another
// up to the failure (later demes untouched); the outputs are meaningless.
Status migrate_csr_stochastic_into(std::span<SessionRng> rngs, bool continuous, const MigrationInputs& in,
                                   std::span<double> out_ind, std::span<double> out_sperm,
                                   MigrationScratch& scratch, WorkerPool* pool = nullptr);

// Allocating forms.
Result<MigrationResult> migrate_csr_deterministic(const MigrationInputs& in);
// Fresh streams, stream d seeded with seed ^ d.
Result<MigrationResult> migrate_csr_stochastic(const MigrationInputs& in, uint64_t seed, bool continuous);
Result<MigrationResult> migrate_csr_stochastic_rngs(std::span<SessionRng> rngs, const MigrationInputs& in,
                                                    bool continuous);

}  // namespace qorin
