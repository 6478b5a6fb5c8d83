// CSR migration kernels.
//
// Every output cell is a sum over the units that send to it, taken in a fixed
// order: source demes ascending; within a source, the females age by age and
// ztype by ztype (the unmated part, then each stored-sperm class), then the
// males; within a unit, the row's entries in CSR order and, at home, what
// stays after them. That order fixes the rounding of every output, whichever
// thread computes it: each destination deme pulls its inflows from its
// sources in that order (the graph is turned around for this), so
// destinations can be filled in parallel. In the stochastic kernel the draws
// belong to the source's stream: a window of source demes draws in parallel,
// each deme recording its units' flows, then the destinations pull the
// window's records.
#include "core/kernels/migration.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "core/kernels/lifecycle.hpp"
#include "core/util/format.hpp"
#include "core/util/numeric.hpp"
#include "core/util/stream_store.hpp"
#include "core/util/vector_clones.hpp"
#include "core/util/worker_pool.hpp"

namespace qorin {

namespace {

// a * b, or nullopt when it does not fit in size_t.
std::optional<size_t> checked_mul(size_t a, size_t b) {
  size_t r = 0;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}

std::string format_size(std::optional<size_t> n) {
  return n ? format_uint(*n) : std::string("more than 18446744073709551615");
}

// An unmated part this close below zero is the rounding of count arithmetic.
constexpr double kUnmatedClamp = 1e-9;

// Amounts leaving one cell: flows[0..row_len) are its flows along the row,
// `placed` their total. Caps what leaves at what the cell holds and returns
// what stays home. A cell holding x > 0 never sends more than x: a surplus (an
// integer draw on a count rounded up, weights summing above one, rounding) is
// taken back by scaling the flows by x / placed, and the remainder is kept
// from turning negative by the rounding of that scaling. Cells that send no
// more than they hold keep x - placed exactly.
double settle(double x, double placed, double* flows, size_t row_len) {
  if (!(x > 0.0 && placed > x)) return x - placed;
  const double c = x / placed;
  double total = 0.0;
  for (size_t e = 0; e < row_len; ++e) {
    flows[e] = flows[e] * c;
    total += flows[e];
  }
  const double home = x - total;
  return home > 0.0 ? home : 0.0;
}

// The unmated part of a female cell: its count less its stored sperm (their
// sum taken from 0.0 in ztype order); a part this close below zero is the
// rounding of count arithmetic.
double unmated_part(double count, double stored_total) {
  const double u = count - stored_total;
  return std::fabs(u) < kUnmatedClamp && u < 0.0 ? 0.0 : u;
}

// The unmated parts of a deme's A·Z female cells (counts ind[0..A·Z), stored
// sperm rows of Z): each cell's stored total summed from 0.0 in ztype order,
// several cells' sums side by side (a cell at a time would wait on each add).
void unmated_parts(const double* ind, const double* sperm, size_t A, size_t Z, double* u) {
  row_sums(sperm, A * Z, Z, u);
  for (size_t cell = 0; cell < A * Z; ++cell) u[cell] = unmated_part(ind[cell], u[cell]);
}

// One call's inputs and outputs as raw blocks.
struct Call {
  const MigrationInputs& in;
  double* out_ind;
  double* out_sperm;
  size_t A, Z, ind_block, sperm_block;
  Call(const MigrationInputs& i, std::span<double> oi, std::span<double> os)
      : in(i), out_ind(oi.data()), out_sperm(os.data()), A(i.n_ages), Z(i.n_ztypes),
        ind_block(2 * i.n_ages * i.n_ztypes), sperm_block(i.n_ages * i.n_ztypes * i.n_ztypes) {}
  size_t row_start(size_t d) const { return static_cast<size_t>(in.indptr[d]); }
  size_t row_len(size_t d) const { return static_cast<size_t>(in.indptr[d + 1] - in.indptr[d]); }
  // Units of a deme: every female cell's unmated part and stored-sperm
  // classes, then the male cells.
  size_t units() const { return A * Z * (Z + 1) + A * Z; }
};

// Rates are fractions of a class.
Status check_rates(const MigrationInputs& in) {
  const size_t A = in.n_ages;
  for (size_t i = 0; i < in.rate.size(); ++i) {
    const double r = in.rate[i];
    if (!(r >= 0.0 && r <= 1.0)) {
      const size_t d = i / (2 * A), s = (i / A) % 2, a = i % A;
      return Error::value("migration rate of deme " + format_uint(d) + ", sex " + format_uint(s) + ", age " +
                          format_uint(a) + " must be a fraction in [0, 1], got " + format_number(r));
    }
  }
  return Status::ok();
}

// Whether the scratch has already checked and turned around this very graph
// (its owner promises that a graph it passes again unmoved is unchanged).
bool graph_known(const MigrationScratch& s, const MigrationInputs& in) {
  const MigrationScratch::GraphKey& k = s.graph_key;
  return s.graph_fixed && s.graph_ready && k.indptr == in.indptr.data() && k.n_indptr == in.indptr.size() &&
         k.dest_idx == in.dest_idx.data() && k.n_dest_idx == in.dest_idx.size() &&
         k.weights == in.weights.data() && k.n_weights == in.weights.size();
}

void remember_graph(MigrationScratch& s, const MigrationInputs& in, size_t longest) {
  if (!s.graph_fixed) return;
  s.graph_key = {in.indptr.data(), in.indptr.size(), in.dest_idx.data(), in.dest_idx.size(), in.weights.data(),
                 in.weights.size()};
  s.graph_longest = longest;
  s.graph_ready = true;
}

// Turns the graph around: the sources of each destination, by ascending source
// and entry (a counting sort over the entries in CSR order keeps that order).
void transpose(const Call& c, MigrationScratch& s) {
  const size_t D = c.in.n_demes, nnz = c.in.dest_idx.size();
  if (graph_known(s, c.in)) {
    s.cursor.assign(s.in_ptr.begin(), s.in_ptr.end() - 1);
    return;
  }
  s.in_ptr.assign(D + 1, 0);
  for (size_t e = 0; e < nnz; ++e) s.in_ptr[static_cast<size_t>(c.in.dest_idx[e]) + 1] += 1;
  for (size_t t = 0; t < D; ++t) s.in_ptr[t + 1] += s.in_ptr[t];
  s.in_src.resize(nnz);
  s.in_edge.resize(nnz);
  s.cursor.assign(s.in_ptr.begin(), s.in_ptr.end() - 1);
  for (size_t d = 0; d < D; ++d) {
    const size_t start = c.row_start(d), len = c.row_len(d);
    for (size_t e = 0; e < len; ++e) {
      const size_t t = static_cast<size_t>(c.in.dest_idx[start + e]);
      const size_t k = s.cursor[t]++;
      s.in_src[k] = d;
      s.in_edge[k] = e;
    }
  }
  // The cursors start over at each destination's first source.
  std::copy(s.in_ptr.begin(), s.in_ptr.end() - 1, s.cursor.begin());
}

// The smallest positive value of ordinary size: products of smaller positive
// values may round by more than their relative error.
constexpr double kSmallestOrdinary = 1e-290;

// Whether every value is either at most zero (or NaN) or of ordinary size.
bool all_ordinary(const double* x, size_t n) {
  // Both comparisons every time (no branch), so that the loop vectorises.
  uint64_t tiny = 0;
  for (size_t j = 0; j < n; ++j) {
    tiny |= static_cast<uint64_t>(x[j] > 0.0) & static_cast<uint64_t>(x[j] < kSmallestOrdinary);
  }
  return tiny == 0;
}

// A source deme's flags (MigrationScratch::flags): whether age a stores any
// sperm, and whether its units may skip the settling pass.
struct SourceFlags {
  const uint64_t* words;
  size_t A;
  bool stores(size_t a) const { return (words[a / 64] >> (a % 64)) & 1u; }
  bool ordinary() const { return (words[A / 64] >> (A % 64)) & 1u; }
};
SourceFlags flags_of(const Call& c, const MigrationScratch& s, size_t d) {
  return {s.flags.data() + d * s.flag_stride, c.A};
}

// A source deme's unmated parts; whether its flows may skip the settling
// pass: its largest rate times its row's weight sum stays below one by more
// than the rounding of the products, so no cell can send more than it holds,
// and every unit is of ordinary size (products of smaller positive values may
// round by more than their relative error); and which ages store sperm (an
// age without any sends and keeps nothing but its unmated parts: every other
// term is a zero, and adding a zero leaves a sum as it is).
QORIN_VECTOR_CLONES void prepare_source(const Call& c, size_t d, const double* ind, const double* sperm,
                                        MigrationScratch& s) {
  const size_t A = c.A, Z = c.Z, len = c.row_len(d);
  const double* const w = c.in.weights.data() + c.row_start(d);
  const double* const rate = c.in.rate.data() + d * 2 * A;
  double* const u = s.unmated.data() + d * s.unmated_stride;
  unmated_parts(ind, sperm, A, Z, u);
  double r_max = 0.0;
  for (size_t i = 0; i < 2 * A; ++i) r_max = std::max(r_max, rate[i]);
  double w_sum = 0.0;
  for (size_t e = 0; e < len; ++e) w_sum += w[e];
  // Rounding moves placed above r * x * w_sum by less than (3 len + 4) units
  // of 2^-53; the margin is 8 (len + 4) units.
  const bool bounded =
      len < (size_t{1} << 20) && r_max * w_sum < 1.0 - static_cast<double>(len + 4) * 0x1p-50;
  uint64_t* const flags = s.flags.data() + d * s.flag_stride;
  std::fill_n(flags, s.flag_stride, uint64_t{0});
  // One pass over the stored sperm: which ages store any, and whether every
  // class is of ordinary size.
  uint64_t tiny = 0;
  for (size_t a = 0; a < A; ++a) {
    // Every comparison made (no branch), so that the loop vectorises; NaN counts as stored.
    uint64_t any = 0;
    const double* const block = sperm + a * Z * Z;
    for (size_t i = 0; i < Z * Z; ++i) {
      any |= static_cast<uint64_t>(!(block[i] == 0.0));
      tiny |= static_cast<uint64_t>(block[i] > 0.0) & static_cast<uint64_t>(block[i] < kSmallestOrdinary);
    }
    flags[a / 64] |= static_cast<uint64_t>(any != 0) << (a % 64);
  }
  const bool ordinary = bounded && tiny == 0 && all_ordinary(u, A * Z) && all_ordinary(ind + A * Z, A * Z);
  flags[A / 64] |= static_cast<uint64_t>(ordinary) << (A % 64);
}

void size_sources(const MigrationInputs& in, MigrationScratch& s) {
  // Whole cache lines per deme: demes are prepared on different threads.
  constexpr size_t kLine = 64 / sizeof(double);
  s.unmated_stride = (in.n_ages * in.n_ztypes + kLine - 1) / kLine * kLine;
  s.unmated.resize(in.n_demes * s.unmated_stride);
  s.flag_stride = in.n_ages / 64 + 1;
  s.flags.resize(in.n_demes * s.flag_stride);
}

// Flows of n consecutive units holding x[0..n) into lane.v (entry k of the
// group, unit j at k * n + j) and what stays home into lane.stay[0..n).
// Deterministic flows are recomputed by each destination that receives them;
// units of a deme prepared as ordinary skip the settling pass (same products,
// same sums, several units side by side), others take the general path one
// by one.
class ComputedUnits {
 public:
  explicit ComputedUnits(const MigrationScratch& s) : s_(s) {}

  void begin(const Call& c, size_t d) {
    const size_t start = c.row_start(d);
    len_ = c.row_len(d);
    w_ = c.in.weights.data() + start;
    unmated_ = s_.unmated.data() + d * s_.unmated_stride;
    flags_ = flags_of(c, s_, d);
    ordinary_ = flags_.ordinary();
  }

  SourceFlags flags() const { return flags_; }

  bool ordinary() const { return ordinary_; }
  const double* weights() const { return w_; }
  double unmated(size_t cell) const { return unmated_[cell]; }
  const double* unmated_parts() const { return unmated_; }

  void fill(const double* x, size_t n, double r, const size_t* edges, size_t m, bool home,
            MigrationScratch::Lane& lane) const {
    double* const v = lane.v.data();
    double* const stay = lane.stay.data();
    if (ordinary_) {
      double* const f = lane.f.data();
      for (size_t j = 0; j < n; ++j) f[j] = r * x[j];
      for (size_t k = 0; k < m; ++k) {
        const double wk = w_[edges[k]];
        for (size_t j = 0; j < n; ++j) v[k * n + j] = f[j] * wk;
      }
      if (!home) return;
      double* const placed = lane.placed.data();
      std::fill_n(placed, n, 0.0);
      for (size_t e = 0; e < len_; ++e) {
        const double we = w_[e];
        for (size_t j = 0; j < n; ++j) placed[j] += f[j] * we;
      }
      for (size_t j = 0; j < n; ++j) stay[j] = x[j] - placed[j];
      return;
    }
    double* const row = lane.row.data();
    for (size_t j = 0; j < n; ++j) {
      const double fj = r * x[j];
      double placed = 0.0;
      for (size_t e = 0; e < len_; ++e) {
        row[e] = fj * w_[e];
        placed += row[e];
      }
      stay[j] = settle(x[j], placed, row, len_);
      for (size_t k = 0; k < m; ++k) v[k * n + j] = row[edges[k]];
    }
  }

 private:
  const MigrationScratch& s_;
  const double* w_ = nullptr;
  const double* unmated_ = nullptr;
  SourceFlags flags_{nullptr, 0};
  size_t len_ = 0;
  bool ordinary_ = false;
};

// The cache lines the next destination will read (its sources' counts,
// stored sperm of the ages that store any, and prepared values), asked for
// a few at a time while the current destination is filled: asked for all at
// once, they would hold up the loads of the current one. A random graph sends
// to demes far apart in the stacked state, whose blocks would otherwise
// arrive a line at a time. The small values a source's pull starts from (its
// row of weights and its rates) are asked for at once, and the flags and row
// bounds of the sources of the destination after that (`after`), which this
// planning would otherwise wait for when it comes to it. A source the current
// destination (`current`) reads as well is at hand already and is not asked
// for again (on a ring, two of a destination's three sources): asking would
// only push lines out of the first-level cache.
class Prefetcher {
 public:
  void plan(const Call& c, const MigrationScratch& s, size_t t, size_t after, size_t current) {
    n_ = 0;
    range_ = 0;
    if (after < c.in.n_demes) {
      for (size_t k = s.in_ptr[after]; k < s.in_ptr[after + 1]; ++k) {
        const size_t d = s.in_src[k];
        touch(s.flags.data() + d * s.flag_stride, 1);
        touch(c.in.indptr.data() + d, 2);
      }
    }
    auto source = [&](size_t d) {
      touch(c.in.weights.data() + c.row_start(d), c.row_len(d));
      touch(c.in.rate.data() + d * 2 * c.A, 2 * c.A);
      if (read_by(s, d, current)) return;
      add(s.unmated.data() + d * s.unmated_stride, s.unmated_stride);
      const SourceFlags flags = flags_of(c, s, d);
      add(c.in.ind.data() + d * c.ind_block, c.ind_block);
      const double* const sperm = c.in.sperm.data() + d * c.sperm_block;
      // Runs of consecutive ages that store sperm.
      for (size_t a = 0; a < c.A;) {
        if (!flags.stores(a)) {
          ++a;
          continue;
        }
        size_t b = a + 1;
        while (b < c.A && flags.stores(b)) ++b;
        add(sperm + a * c.Z * c.Z, (b - a) * c.Z * c.Z);
        a = b;
      }
    };
    source(t);
    size_t last = t;
    size_t lines = 0;
    for (size_t k = s.in_ptr[t]; k < s.in_ptr[t + 1]; ++k) {
      const size_t d = s.in_src[k];
      if (d == last || d == t) continue;
      last = d;
      source(d);
    }
    for (size_t i = 0; i < n_; ++i) lines += lines_[i];
    // Spread over the steps of filling a destination: an age or the males of
    // each of its sources.
    const size_t groups = s.in_ptr[t + 1] - s.in_ptr[t] + 1;
    per_step_ = lines / (groups * (c.A + 1)) + 1;
  }

  void step() {
    size_t left = per_step_;
    while (left > 0 && range_ < n_) {
      const size_t k = std::min(left, lines_[range_]);
      for (size_t i = 0; i < k; ++i) {
        __builtin_prefetch(reinterpret_cast<const void*>(begin_[range_] + i * kLine), 0, 3);
      }
      begin_[range_] += k * kLine;
      lines_[range_] -= k;
      left -= k;
      if (lines_[range_] == 0) ++range_;
    }
  }

 private:
  static constexpr size_t kLine = 64;
  static constexpr size_t kRanges = 64;
  // Whether destination t (if any) reads source d: its home or one of its
  // sources (ascending).
  static bool read_by(const MigrationScratch& s, size_t d, size_t t) {
    if (t == SIZE_MAX) return false;
    if (d == t) return true;
    for (size_t k = s.in_ptr[t], end = s.in_ptr[t + 1]; k < end && s.in_src[k] <= d; ++k) {
      if (s.in_src[k] == d) return true;
    }
    return false;
  }
  // Asks for the lines holding p[0..n) now.
  template <class T>
  static void touch(const T* p, size_t n) {
    if (n == 0) return;
    const uintptr_t end = reinterpret_cast<uintptr_t>(p + n);
    for (uintptr_t a = reinterpret_cast<uintptr_t>(p) / kLine * kLine; a < end; a += kLine) {
      __builtin_prefetch(reinterpret_cast<const void*>(a), 0, 3);
    }
  }
  // The lines holding p[0..n).
  void add(const double* p, size_t n) {
    if (n_ == kRanges || n == 0) return;  // the rest arrives unasked
    const uintptr_t first = reinterpret_cast<uintptr_t>(p) / kLine * kLine;
    const uintptr_t end = reinterpret_cast<uintptr_t>(p + n);
    begin_[n_] = first;
    lines_[n_] = (end - first + kLine - 1) / kLine;
    ++n_;
  }
  uintptr_t begin_[kRanges];
  size_t lines_[kRanges];
  size_t n_ = 0, range_ = 0, per_step_ = 1;
};

// The common cases of a deme of ordinary units: one entry to another deme
// (wk >= 0, its weight), or home without self-loops (wk < 0). Same products
// and sums as the general path; eight units side by side, their running sums
// kept in registers. Adds into the destination's blocks out_ind and
// out_sperm. An age that stores no sperm adds only its unmated parts (its
// stored-sperm classes would add zeros) and its stored sperm is not read.
QORIN_VECTOR_CLONES void pull_ordinary(const Call& c, size_t d, const double* unm, SourceFlags flags, double wk,
                                       bool first, double* out_ind, double* out_sperm, MigrationScratch::Lane& lane,
                                       Prefetcher& ahead) {
  const size_t A = c.A, Z = c.Z, AZ = A * Z, len = c.row_len(d);
  const double* const w = c.in.weights.data() + c.row_start(d);
  const double* const rate = c.in.rate.data() + d * 2 * A;
  const double* const ind = c.in.ind.data() + d * c.ind_block;
  const double* const sperm = c.in.sperm.data() + d * c.sperm_block;
  double* const x = lane.x.data();
  double* const val = lane.v.data();
  constexpr size_t W = 8;

  // What units xs[0..k) at rate r send along the entry, or keep at home
  // (each unit's flows along the row summed in entry order).
  auto amounts = [&](const double* xs, size_t k, double r, double* out) {
    if (wk >= 0.0) {
      for (size_t j = 0; j < k; ++j) out[j] = r * xs[j] * wk;
      return;
    }
    size_t j = 0;
    for (; j + W <= k; j += W) {
      double f[W], placed[W];
      for (size_t l = 0; l < W; ++l) {
        f[l] = r * xs[j + l];
        placed[l] = 0.0;
      }
      for (size_t e = 0; e < len; ++e) {
        const double we = w[e];
        for (size_t l = 0; l < W; ++l) placed[l] += f[l] * we;
      }
      for (size_t l = 0; l < W; ++l) out[j + l] = xs[j + l] - placed[l];
    }
    for (; j < k; ++j) {
      const double f = r * xs[j];
      double placed = 0.0;
      for (size_t e = 0; e < len; ++e) placed += f * w[e];
      out[j] = xs[j] - placed;
    }
  };

  // The destination's first group starts its sums (0.0 + term, the very sum
  // an add to a zeroed cell makes: +0.0 for a term of -0.0), so that its
  // blocks need no zeroing pass; later groups add.
  auto put = [first](double* to, const double* terms, size_t n) {
    if (first) {
      for (size_t i = 0; i < n; ++i) to[i] = 0.0 + terms[i];
    } else {
      for (size_t i = 0; i < n; ++i) to[i] += terms[i];
    }
  };

  // Females, an age at a time: the unmated parts and the stored-sperm
  // classes. A female cell takes its unmated part, then its stored-sperm
  // classes in ztype order.
  const size_t ZZ = Z * Z;
  for (size_t a = 0; a < A; ++a) {
    ahead.step();
    double* const acc_out = out_ind + a * Z;
    double* const xa = x + a * Z;
    double* const to_sperm = out_sperm + a * ZZ;
    amounts(unm + a * Z, Z, rate[a], xa);
    put(acc_out, xa, Z);
    if (!flags.stores(a)) {
      if (first) std::fill_n(to_sperm, ZZ, 0.0);
      continue;
    }
    amounts(sperm + a * ZZ, ZZ, rate[a], val);
    put(to_sperm, val, ZZ);
    // Each cell its unmated part (above), then its classes in ztype order.
    add_row_sums(val, Z, Z, acc_out);
  }
  // Males.
  ahead.step();
  for (size_t a = 0; a < A; ++a) amounts(ind + AZ + a * Z, Z, rate[A + a], val + a * Z);
  put(out_ind + AZ, val, AZ);
}

// Zeroes a destination's blocks, for sums that a group adds to.
void zero_blocks(const Call& c, double* out_ind, double* out_sperm) {
  std::fill_n(out_ind, c.ind_block, 0.0);
  std::fill_n(out_sperm, c.sperm_block, 0.0);
}

// Adds what source d sends to a destination along the entries edges[0..m)
// (and, when d is that destination, what stays home) to the destination's
// blocks out_ind and out_sperm, deterministic flows. Each output cell takes
// its units in walk order, each unit's entries in row order, then what stays.
void pull_group(const Call& c, size_t d, const size_t* edges, size_t m, bool home, bool first, ComputedUnits& units,
                double* out_ind, double* out_sperm, MigrationScratch::Lane& lane, Prefetcher& ahead) {
  const size_t A = c.A, Z = c.Z;
  units.begin(c, d);
  const double* const v = lane.v.data();
  const double* const stay = lane.stay.data();
  double* const x = lane.x.data();
  const double* const rate = c.in.rate.data() + d * 2 * A;
  const double* const ind = c.in.ind.data() + d * c.ind_block;
  const double* const sperm = c.in.sperm.data() + d * c.sperm_block;
  if (units.ordinary() && ((m == 1 && !home) || (m == 0 && home))) {
    pull_ordinary(c, d, units.unmated_parts(), units.flags(), home ? -1.0 : units.weights()[edges[0]], first,
                  out_ind, out_sperm, lane, ahead);
    return;
  }
  if (first) zero_blocks(c, out_ind, out_sperm);

  // Females: per cell, the unmated part, then each stored-sperm class, which
  // counts towards the female cell as well.
  const size_t n = Z + 1;
  for (size_t a = 0; a < A; ++a) {
    ahead.step();
    const double r = rate[a];
    for (size_t zf = 0; zf < Z; ++zf) {
      const size_t cell = a * Z + zf;
      const double* const stored = sperm + cell * Z;
      x[0] = units.unmated(cell);
      std::copy_n(stored, Z, x + 1);
      units.fill(x, n, r, edges, m, home, lane);
      double acc = out_ind[cell];
      for (size_t j = 0; j < n; ++j) {
        for (size_t k = 0; k < m; ++k) acc += v[k * n + j];
        if (home) acc += stay[j];
      }
      out_ind[cell] = acc;
      double* const to_sperm = out_sperm + cell * Z;
      for (size_t k = 0; k < m; ++k) {
        for (size_t zm = 0; zm < Z; ++zm) to_sperm[zm] += v[k * n + 1 + zm];
      }
      if (home) {
        for (size_t zm = 0; zm < Z; ++zm) to_sperm[zm] += stay[1 + zm];
      }
    }
  }

  // Males, an age at a time.
  ahead.step();
  for (size_t a = 0; a < A; ++a) {
    const double* const xs = ind + (A + a) * Z;
    units.fill(xs, Z, rate[A + a], edges, m, home, lane);
    double* const to = out_ind + (A + a) * Z;
    for (size_t k = 0; k < m; ++k) {
      for (size_t z = 0; z < Z; ++z) to[z] += v[k * Z + z];
    }
    if (home) {
      for (size_t z = 0; z < Z; ++z) to[z] += stay[z];
    }
  }
}

// Pulls into destination t what the sources before `source_end` (and from
// its cursor on) send it: group(d, edges, m, home) for each source in
// ascending order, t's own group (what stays home, with any self-loops) in
// its place when t lies in [source_first, source_end).
template <class Group>
void pull_destination(MigrationScratch& s, size_t t, size_t source_first, size_t source_end, Group&& group) {
  size_t k = s.cursor[t];
  const size_t k_end = s.in_ptr[t + 1];
  bool home_pending = t >= source_first && t < source_end;
  for (;;) {
    size_t d = k < k_end ? s.in_src[k] : SIZE_MAX;
    if (d >= source_end) d = SIZE_MAX;
    const bool home = home_pending && t <= d;
    if (home) {
      d = t;
      home_pending = false;
    } else if (d == SIZE_MAX) {
      break;
    }
    const size_t k0 = k;
    while (k < k_end && s.in_src[k] == d) ++k;
    group(d, s.in_edge.data() + k0, k - k0, home);
  }
  s.cursor[t] = k;
}

// Buffers of `lanes` work items for rows up to `longest` entries.
void ensure_lanes(MigrationScratch& s, size_t lanes, size_t longest, size_t n_ages, size_t n_ztypes) {
  const size_t n = longest > 0 ? longest : 1;
  const size_t units = n_ztypes + 1;
  // An age's stored-sperm classes side by side.
  const size_t age_units = std::max(units, n_ztypes * n_ztypes);
  // A deme's stored-sperm classes (and male cells) side by side.
  const size_t cells = n_ages * n_ztypes;
  const size_t v_units = std::max(std::max(n, n_ztypes) * units, std::max(cells * n_ztypes, cells));
  // Lanes run on different threads at once: each buffer ends with a cache
  // line of its own, so that no two lanes write to one line.
  constexpr size_t kPad = 64 / sizeof(double);
  auto ensure = [](std::vector<double>& b, size_t size) {
    if (b.size() < size + kPad) b.assign(size + kPad, 0.0);
  };
  if (s.lanes.size() < lanes) s.lanes.resize(lanes);
  for (MigrationScratch::Lane& l : s.lanes) {
    ensure(l.row, n);
    ensure(l.probs, n);
    ensure(l.v, std::max(v_units, cells * (units + 1)));  // a deme's units (what stays home)
    ensure(l.x, std::max(units, cells));
    ensure(l.stay, units);
    ensure(l.f, age_units);
    ensure(l.placed, age_units);
    ensure(l.dest_ind, 2 * cells);
    ensure(l.dest_sperm, cells * n_ztypes);
  }
}

// Threads of a call: one lane of buffers each.
size_t lane_count(WorkerPool* pool) { return pool ? std::max<size_t>(1, pool->threads()) : 1; }

// Work items for n independent pieces: many small ones per thread (so that
// the threads finish together), or one without a pool or when too few pieces
// make waking the workers not worth it.
size_t work_items(WorkerPool* pool, size_t n, const MigrationScratch& s) {
  if (!pool || n < 2 || n < s.min_parallel) return 1;
  return std::min(n, lane_count(pool) * 64);
}

// Runs body(item, lane) for every item; a lane is used by one thread at a time.
void run_items(WorkerPool* pool, size_t items, size_t lanes, FunctionRef<void(size_t, size_t)> body) {
  if (pool && items > 1) {
    pool->parallel_for_slots(items, lanes, body);
  } else {
    for (size_t i = 0; i < items; ++i) body(i, 0);
  }
}

// The records of a window's source demes. Deme j of the window writes from
// base[j] on; each record is one unit that sends something: its number in
// walk order, what stays home, then its flow along every entry of the row.
// Units without a record keep all they hold at home.
// A deme's block of the window: its unmated parts (A·Z), then its records.
struct Records {
  MigrationScratch& s;
  size_t first;  // the window's first deme
  size_t cells;  // A·Z
  static size_t block(size_t cells, size_t units, size_t len) { return cells + units * (2 + len); }
  const double* unmated(size_t d) const { return s.records.data() + s.record_base[d - first]; }
  const double* begin(size_t d) const { return unmated(d) + cells; }
  const double* end(size_t d, size_t len) const { return begin(d) + s.record_count[d - first] * (2 + len); }
};

// A row's weights renormalised by their sum into probs[0..len), as the
// multinomial split takes them (the sum left to right, then the reciprocal,
// or a division when the reciprocal of a subnormal sum overflows). False when
// the row places nothing (no entries, or weights summing to zero).
bool normalise_row(const double* w, size_t len, double* probs) {
  if (len == 0) return false;
  double sum = 0.0;
  for (size_t i = 0; i < len; ++i) {
    probs[i] = w[i];
    sum += probs[i];
  }
  if (sum <= 0.0) return false;
  // The reciprocal of a subnormal sum overflows (and w * inf is no
  // probability); such a row is normalised by division instead.
  const double inv = 1.0 / sum;
  if (std::isfinite(inv)) {
    for (size_t i = 0; i < len; ++i) probs[i] = probs[i] * inv;
  } else {
    for (size_t i = 0; i < len; ++i) probs[i] = probs[i] / sum;
  }
  return true;
}

// Draws every unit of deme d from its stream, in walk order: how many leave
// (binomial), how they split among the row (multinomial), settled against
// what the unit holds. Records the units that send anything; returns the
// number of records.
//
// The draws are those of sample_outbound and distribute_csr_outbound unit by
// unit; only the work around them is cut. The row is renormalised once. A
// unit holding nothing, or at a rate of zero, draws nothing and keeps what it
// holds (x - 0.0 is x), so it is passed over without a record, and an age
// class whose rate is zero is passed over whole; likewise a unit of which
// nothing leaves, or whose row places nothing, keeps all it holds once its
// number has been drawn. Flows are drawn straight into the record slot.
Result<size_t> record_deme(const Call& c, size_t d, SessionRng& rng, bool continuous, MigrationScratch::Lane& lane,
                           double* unm, double* rec) {
  const size_t A = c.A, Z = c.Z;
  const size_t start = c.row_start(d), len = c.row_len(d);
  const double* const rate = c.in.rate.data() + d * 2 * A;
  const double* const ind = c.in.ind.data() + d * c.ind_block;
  const double* const sperm = c.in.sperm.data() + d * c.sperm_block;
  SamplerMemo& memo = lane.memo;
  double* const probs = lane.probs.data();
  const bool splits = normalise_row(c.in.weights.data() + start, len, probs);
  unmated_parts(ind, sperm, A, Z, unm);
  const std::span<const double> p(probs, len);
  size_t count = 0;
  // Unit `unit` holding x (not <= 0) at rate 0 < r <= 1.
  auto one = [&](size_t unit, double x, double r) -> Status {
    double k = x;
    if (r < 1.0) {
      const RngResult drawn = continuous ? continuous_binomial(rng, x, r) : binomial(rng, round_count(x), r, memo);
      if (!drawn) return drawn.error();
      k = drawn.val;
    }
    if (k <= 0.0 || !splits) return Status::ok();
    double* const row = rec + 2;
    const std::span<double> out(row, len);
    QORIN_TRY(continuous ? continuous_multinomial(rng, k, p, out) : multinomial(rng, round_count(k), p, out, memo));
    double placed = 0.0;
    for (size_t e = 0; e < len; ++e) placed += row[e];
    const double stay = settle(x, placed, row, len);
    bool moved = std::memcmp(&stay, &x, sizeof(double)) != 0;
    for (size_t e = 0; e < len; ++e) moved |= row[e] != 0.0;
    if (moved) {
      rec[0] = static_cast<double>(unit);
      rec[1] = stay;
      rec += 2 + len;
      ++count;
    }
    return Status::ok();
  };
  const size_t n = Z + 1;
  for (size_t a = 0; a < A; ++a) {
    const double r = rate[a];
    if (r <= 0.0) continue;
    for (size_t zf = 0; zf < Z; ++zf) {
      const size_t cell = a * Z + zf;
      const double* const stored = sperm + cell * Z;
      const double x = unm[cell];
      if (!(x <= 0.0)) QORIN_TRY(one(cell * n, x, r));
      for (size_t zm = 0; zm < Z; ++zm) {
        if (!(stored[zm] <= 0.0)) QORIN_TRY(one(cell * n + 1 + zm, stored[zm], r));
      }
    }
  }
  const size_t female_units = A * Z * n;
  for (size_t a = 0; a < A; ++a) {
    const double r = rate[A + a];
    if (r <= 0.0) continue;
    for (size_t z = 0; z < Z; ++z) {
      const double x = ind[(A + a) * Z + z];
      if (!(x <= 0.0)) QORIN_TRY(one(female_units + a * Z + z, x, r));
    }
  }
  return count;
}

// What a deme without self-loops keeps at home, added to its own output
// blocks: each unit's stay where it has a record (records[0..end), in unit
// order), else all it holds, each output cell's terms in walk order, as
// pull_recorded adds them one by one. Units holding zero, which that walk
// passes over, add a zero here: a sum that starts at +0.0 is never -0.0 (of
// additions only -0 + -0 gives it), and adding a zero of either sign leaves
// such a sum as it is. v holds a deme's units.
QORIN_VECTOR_CLONES void keep_home(const Call& c, const double* ind, const double* sperm, const double* unm,
                                   const double* rec, const double* rec_end, size_t stride, double* out_ind,
                                   double* out_sperm, double* v) {
  const size_t A = c.A, Z = c.Z, n = Z + 1, AZ = A * Z;
  // The units in walk order: per female cell its unmated part and stored
  // classes, then the male cells; then what the recorded ones keep.
  for (size_t cell = 0; cell < AZ; ++cell) {
    v[cell * n] = unm[cell];
    std::copy_n(sperm + cell * Z, Z, v + cell * n + 1);
  }
  std::copy_n(ind + AZ, AZ, v + AZ * n);
  for (; rec != rec_end; rec += stride) v[static_cast<size_t>(rec[0])] = rec[1];
  // Stored classes into the sperm block; female cells take their unmated
  // part, then their classes in ztype order, several cells side by side.
  for (size_t cell = 0; cell < AZ; ++cell) {
    double* const to = out_sperm + cell * Z;
    const double* const from = v + cell * n + 1;
    for (size_t zm = 0; zm < Z; ++zm) to[zm] += from[zm];
  }
  add_row_sums(v, AZ, n, out_ind);
  for (size_t i = 0; i < AZ; ++i) out_ind[AZ + i] += v[AZ * n + i];
}

// Adds what source d recorded for destination t (entries edges[0..m), and
// what stays home when d is t) to t's output blocks. Each output cell takes
// its units in walk order, each unit's entries in row order, then what stays;
// skipping units that send nothing adds no term that could change a sum (the
// sums start at +0.0 and adding a zero leaves them as they are).
void pull_recorded(const Call& c, const Records& r, size_t t, size_t d, const size_t* edges, size_t m, bool home,
                   MigrationScratch::Lane& lane) {
  const size_t A = c.A, Z = c.Z, n = Z + 1, female_units = A * Z * n, len = c.row_len(d);
  const size_t stride = 2 + len;
  double* const out_ind = c.out_ind + t * c.ind_block;
  double* const out_sperm = c.out_sperm + t * c.sperm_block;
  const double* rec = r.begin(d);
  const double* const rec_end = r.end(d, len);
  if (!home) {
    for (; rec != rec_end; rec += stride) {
      const size_t u = static_cast<size_t>(rec[0]);
      const double* const flows = rec + 2;
      if (u < female_units) {
        const size_t cell = u / n, j = u % n;
        double acc = out_ind[cell];
        if (j == 0) {
          for (size_t k = 0; k < m; ++k) acc += flows[edges[k]];
        } else {
          double sp = out_sperm[cell * Z + j - 1];
          for (size_t k = 0; k < m; ++k) {
            sp += flows[edges[k]];
            acc += flows[edges[k]];
          }
          out_sperm[cell * Z + j - 1] = sp;
        }
        out_ind[cell] = acc;
      } else {
        const size_t cell = A * Z + (u - female_units);
        for (size_t k = 0; k < m; ++k) out_ind[cell] += flows[edges[k]];
      }
    }
    return;
  }

  // Home: every unit keeps what it did not send.
  const double* const ind = c.in.ind.data() + d * c.ind_block;
  const double* const sperm = c.in.sperm.data() + d * c.sperm_block;
  const double* const unm = r.unmated(d);
  if (m == 0) {
    keep_home(c, ind, sperm, unm, rec, rec_end, stride, out_ind, out_sperm, lane.v.data());
    return;
  }
  size_t u = 0;
  // Adds unit u holding x to the sums it belongs to. A unit holding zero
  // sent nothing (it has no record) and adds nothing.
  auto add = [&](double x, double& acc, double* sp) {
    if (rec != rec_end && static_cast<size_t>(rec[0]) == u) {
      const double* const flows = rec + 2;
      for (size_t k = 0; k < m; ++k) {
        if (sp) *sp += flows[edges[k]];
        acc += flows[edges[k]];
      }
      x = rec[1];
      rec += stride;
    } else if (x == 0.0) {
      ++u;
      return;
    }
    if (sp) *sp += x;
    acc += x;
    ++u;
  };
  for (size_t cell = 0; cell < A * Z; ++cell) {
    const double* const stored = sperm + cell * Z;
    double acc = out_ind[cell];
    add(unm[cell], acc, nullptr);
    for (size_t zm = 0; zm < Z; ++zm) add(stored[zm], acc, out_sperm + cell * Z + zm);
    out_ind[cell] = acc;
  }
  for (size_t cell = A * Z; cell < 2 * A * Z; ++cell) add(ind[cell], out_ind[cell], nullptr);
}

// Doubles of records a window may hold (always at least one deme's).
size_t window_budget(const MigrationInputs& in, const MigrationScratch& s) {
  if (s.window_bytes > 0) return std::max<size_t>(1, s.window_bytes / sizeof(double));
  const size_t state = (in.ind.size() + in.sperm.size()) * sizeof(double);
  return std::clamp<size_t>(state / 4, size_t{8} << 20, size_t{64} << 20) / sizeof(double);
}

Status check_outputs(const MigrationInputs& in, std::span<double> out_ind, std::span<double> out_sperm) {
  if (out_ind.size() != in.ind.size() || out_sperm.size() != in.sperm.size()) {
    return Error::runtime("migration output length mismatch: ind " + format_uint(out_ind.size()) +
                          " for " + format_uint(in.ind.size()) + ", sperm " + format_uint(out_sperm.size()) +
                          " for " + format_uint(in.sperm.size()));
  }
  return Status::ok();
}

// Checks a call's inputs (the graph only when `known` holds it already);
// returns the longest row.
Result<size_t> validate(const MigrationInputs& in, std::optional<size_t> n_streams,
                        const MigrationScratch* known = nullptr) {
  const size_t D = in.n_demes, A = in.n_ages, Z = in.n_ztypes;

  // Lengths.
  if (D == SIZE_MAX || in.indptr.size() != D + 1) {
    return Error::runtime("migration indptr length " + format_uint(in.indptr.size()) +
                          " does not match n_demes + 1 (" +
                          (D == SIZE_MAX ? format_size(std::nullopt) : format_uint(D + 1)) + ")");
  }
  std::optional<size_t> n_rate = checked_mul(D, A);
  if (n_rate) n_rate = checked_mul(*n_rate, 2);
  if (!n_rate || in.rate.size() != *n_rate) {
    return Error::runtime("migration rate length " + format_uint(in.rate.size()) +
                          " does not match (n_demes, 2, n_ages) = " + format_size(n_rate));
  }
  if (n_streams && *n_streams != D) {
    return Error::runtime("migration requires " + format_uint(D) + " per-deme RNG streams, got " +
                          format_uint(*n_streams));
  }
  std::optional<size_t> n_ind = checked_mul(*n_rate, Z);
  std::optional<size_t> n_sperm = checked_mul(D, A);
  if (n_sperm) n_sperm = checked_mul(*n_sperm, Z);
  if (n_sperm) n_sperm = checked_mul(*n_sperm, Z);
  if (!n_ind || !n_sperm || in.ind.size() != *n_ind || in.sperm.size() != *n_sperm) {
    return Error::runtime("migration state length mismatch: ind has " + format_uint(in.ind.size()) +
                          " values for " + format_size(n_ind) + ", sperm has " + format_uint(in.sperm.size()) +
                          " values for " + format_size(n_sperm));
  }

  if (known && graph_known(*known, in)) {
    QORIN_TRY(check_rates(in));
    return known->graph_longest;
  }

  // The graph: row pointers, entry counts, destinations, weights.
  if (in.indptr[0] != 0) {
    return Error::value("migration indptr must start at 0, got " + format_int(in.indptr[0]));
  }
  size_t longest = 0;
  for (size_t k = 0; k < D; ++k) {
    const int64_t a = in.indptr[k], b = in.indptr[k + 1];
    if (b < a) {
      return Error::value("migration indptr must be non-decreasing (indptr[" + format_uint(k) + "] = " +
                          format_int(a) + " > indptr[" + format_uint(k + 1) + "] = " + format_int(b) + ")");
    }
    longest = std::max(longest, static_cast<size_t>(b - a));
  }
  const int64_t nnz = in.indptr[D];  // non-decreasing from 0, so nonnegative
  if (static_cast<uint64_t>(nnz) != in.dest_idx.size() || static_cast<uint64_t>(nnz) != in.weights.size()) {
    return Error::value("migration indptr ends at " + format_int(nnz) + " but dest_idx has " +
                        format_uint(in.dest_idx.size()) + " and weights " + format_uint(in.weights.size()) +
                        " entries");
  }
  for (size_t e = 0; e < in.dest_idx.size(); ++e) {
    const int64_t to = in.dest_idx[e];
    if (to < 0 || static_cast<uint64_t>(to) >= D) {
      return Error::value("migration dest_idx[" + format_uint(e) + "] = " + format_int(to) +
                          " is out of range for " + format_uint(D) + " demes");
    }
  }
  for (size_t e = 0; e < in.weights.size(); ++e) {
    const double w = in.weights[e];
    if (!std::isfinite(w) || w < 0.0) {
      return Error::value("migration weights[" + format_uint(e) + "] must be finite and nonnegative, got " +
                          format_number(w));
    }
  }

  QORIN_TRY(check_rates(in));
  return longest;
}

}  // namespace

Result<size_t> validate_migration(const MigrationInputs& in) { return validate(in, std::nullopt); }

RngResult sample_outbound(SessionRng& rng, bool continuous, double n, double p) {
  if (n <= 0.0 || p <= 0.0) return RngResult::ok(0.0);
  if (p >= 1.0) return RngResult::ok(n);
  if (!continuous) return binomial(rng, round_count(n), p);
  return continuous_binomial(rng, n, p);
}

Result<double> distribute_csr_outbound(SessionRng& rng, std::span<const double> weights, size_t row_start,
                                       size_t row_len, bool continuous, std::span<double> scratch, double moved,
                                       std::span<double> probs) {
  // Only the row's slots are ever read back, so only they are cleared.
  std::fill(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(row_len), 0.0);
  if (moved <= 0.0 || row_len == 0) return 0.0;
  if (!normalise_row(weights.data() + row_start, row_len, probs.data())) return 0.0;
  const std::span<const double> p(probs.data(), row_len);
  const std::span<double> out(scratch.data(), row_len);
  QORIN_TRY(continuous ? continuous_multinomial(rng, moved, p, out)
                       : multinomial(rng, round_count(moved), p, out));
  double placed = 0.0;
  for (size_t i = 0; i < row_len; ++i) placed += out[i];
  return placed;
}

Status begin_migration_sources(const MigrationInputs& in, MigrationScratch& scratch) {
  Result<size_t> longest = validate(in, std::nullopt, &scratch);
  if (!longest) return longest.error();
  size_sources(in, scratch);
  return Status::ok();
}

void prepare_migration_source(const MigrationInputs& in, size_t d, MigrationScratch& scratch) {
  const Call c(in, {}, {});
  prepare_source(c, d, in.ind.data() + d * c.ind_block, in.sperm.data() + d * c.sperm_block, scratch);
}

void prepare_migration_source(const MigrationInputs& in, size_t d, const double* ind, const double* sperm,
                              MigrationScratch& scratch) {
  const Call c(in, {}, {});
  prepare_source(c, d, ind, sperm, scratch);
}

namespace {

// Checks the inputs, turns the graph around and sizes the scratch for `lanes`
// threads.
Status begin_pulls(const MigrationInputs& in, std::span<double> out_ind, std::span<double> out_sperm,
                   MigrationScratch& scratch, size_t lanes) {
  Result<size_t> longest = validate(in, std::nullopt, &scratch);
  if (!longest) return longest.error();
  QORIN_TRY(check_outputs(in, out_ind, out_sperm));
  const Call c(in, out_ind, out_sperm);
  transpose(c, scratch);
  remember_graph(scratch, in, *longest);
  ensure_lanes(scratch, std::max<size_t>(1, lanes), *longest, in.n_ages, in.n_ztypes);
  size_sources(in, scratch);
  return Status::ok();
}

// Fills destination t's output blocks from its prepared sources. Streamed
// blocks are summed in the lane (where they stay in cache), then stored;
// others in place.
void pull_deterministic(const Call& c, size_t t, size_t next, size_t after, MigrationScratch& scratch,
                        MigrationScratch::Lane& lane, bool stream) {
  ComputedUnits units(scratch);
  Prefetcher ahead;
  if (next < c.in.n_demes) ahead.plan(c, scratch, next, after, t);
  double* const dest_ind = stream ? lane.dest_ind.data() : c.out_ind + t * c.ind_block;
  double* const dest_sperm = stream ? lane.dest_sperm.data() : c.out_sperm + t * c.sperm_block;
  // Every destination has a group (what stays home); the first one starts
  // the blocks' sums.
  bool first = true;
  pull_destination(scratch, t, 0, c.in.n_demes, [&](size_t d, const size_t* edges, size_t m, bool home) {
    pull_group(c, d, edges, m, home, first, units, dest_ind, dest_sperm, lane, ahead);
    first = false;
  });
  if (first) zero_blocks(c, dest_ind, dest_sperm);
  if (stream) {
    store_block(dest_ind, c.out_ind + t * c.ind_block, c.ind_block);
    store_block(dest_sperm, c.out_sperm + t * c.sperm_block, c.sperm_block);
  }
}

}  // namespace

Status migrate_csr_deterministic_into(const MigrationInputs& in, std::span<double> out_ind,
                                      std::span<double> out_sperm, MigrationScratch& scratch, WorkerPool* pool,
                                      bool sources_prepared) {
  const size_t lanes = lane_count(pool);
  QORIN_TRY(begin_pulls(in, out_ind, out_sperm, scratch, lanes));
  const Call c(in, out_ind, out_sperm);
  const size_t D = in.n_demes;
  const size_t items = work_items(pool, D, scratch);
  // An output larger than the caches is written around them: the next tick
  // reads it from memory anyway, and its old contents need not be fetched.
  const size_t stream_bytes = scratch.stream_bytes > 0 ? scratch.stream_bytes : kStreamBytes;
  const bool stream = (out_ind.size() + out_sperm.size()) * sizeof(double) >= stream_bytes;
  if (!sources_prepared) {
    run_items(pool, items, lanes, [&](size_t i, size_t) {
      for (size_t d = i * D / items, end = (i + 1) * D / items; d < end; ++d) {
        prepare_source(c, d, in.ind.data() + d * c.ind_block, in.sperm.data() + d * c.sperm_block, scratch);
      }
    });
  }
  run_items(pool, items, lanes, [&](size_t i, size_t l) {
    for (size_t t = i * D / items, end = (i + 1) * D / items; t < end; ++t) {
      pull_deterministic(c, t, t + 1 < end ? t + 1 : SIZE_MAX, t + 2 < end ? t + 2 : SIZE_MAX, scratch,
                         scratch.lanes[l], stream);
    }
    streams_done(stream);
  });
  return Status::ok();
}

Status migrate_csr_stochastic_into(std::span<SessionRng> rngs, bool continuous, const MigrationInputs& in,
                                   std::span<double> out_ind, std::span<double> out_sperm,
                                   MigrationScratch& scratch, WorkerPool* pool) {
  Result<size_t> longest = validate(in, rngs.size(), &scratch);
  if (!longest) return longest.error();
  QORIN_TRY(check_outputs(in, out_ind, out_sperm));
  const Call c(in, out_ind, out_sperm);
  const size_t D = in.n_demes;
  std::fill(out_ind.begin(), out_ind.end(), 0.0);
  std::fill(out_sperm.begin(), out_sperm.end(), 0.0);
  transpose(c, scratch);
  remember_graph(scratch, in, *longest);
  const size_t lanes = lane_count(pool);
  ensure_lanes(scratch, lanes, *longest, in.n_ages, in.n_ztypes);
  for (MigrationScratch::Lane& lane : scratch.lanes) lane.memo.reserve();  // drawing never allocates
  scratch.stamp.assign(D, SIZE_MAX);
  const size_t budget = window_budget(in, scratch);
  const size_t units = c.units();

  for (size_t first = 0, window = 0; first < D; ++window) {
    // The window: consecutive source demes whose records fit the budget.
    size_t end = first;
    size_t size = 0;
    scratch.record_base.clear();
    while (end < D) {
      const size_t need = Records::block(c.A * c.Z, units, c.row_len(end));
      if (end > first && size + need > budget) break;
      scratch.record_base.push_back(size);
      size += need;
      ++end;
    }
    if (scratch.records.size() < size) scratch.records.resize(size);
    const size_t n = end - first;
    scratch.saved_streams.assign(rngs.begin() + static_cast<std::ptrdiff_t>(first),
                                 rngs.begin() + static_cast<std::ptrdiff_t>(end));
    scratch.outcomes.assign(n, Status::ok());
    scratch.record_count.assign(n, 0);

    // Each deme draws from its own stream.
    const size_t draw_items = work_items(pool, n, scratch);
    run_items(pool, draw_items, lanes, [&](size_t i, size_t l) {
      MigrationScratch::Lane& lane = scratch.lanes[l];
      for (size_t j = i * n / draw_items, stop = (i + 1) * n / draw_items; j < stop; ++j) {
        const size_t d = first + j;
        double* const block = scratch.records.data() + scratch.record_base[j];
        Result<size_t> count = record_deme(c, d, rngs[d], continuous, lane, block, block + c.A * c.Z);
        if (count) {
          scratch.record_count[j] = *count;
        } else {
          scratch.outcomes[j] = std::move(count).error();
        }
      }
    });
    for (size_t j = 0; j < n; ++j) {
      if (scratch.outcomes[j]) continue;
      // Demes after the failing one would not have drawn.
      for (size_t later = j + 1; later < n; ++later) rngs[first + later] = scratch.saved_streams[later];
      return std::move(scratch.outcomes[j]);
    }

    // The destinations the window sends to pull its records.
    scratch.touched.clear();
    for (size_t d = first; d < end; ++d) {
      const size_t start = c.row_start(d), len = c.row_len(d);
      for (size_t e = 0; e <= len; ++e) {
        const size_t t = e < len ? static_cast<size_t>(in.dest_idx[start + e]) : d;
        if (scratch.stamp[t] == window) continue;
        scratch.stamp[t] = window;
        scratch.touched.push_back(t);
      }
    }
    const size_t m = scratch.touched.size();
    const size_t pull_items = work_items(pool, m, scratch);
    const Records records{scratch, first, c.A * c.Z};
    run_items(pool, pull_items, lanes, [&](size_t i, size_t l) {
      for (size_t j = i * m / pull_items, stop = (i + 1) * m / pull_items; j < stop; ++j) {
        const size_t t = scratch.touched[j];
        pull_destination(scratch, t, first, end, [&](size_t d, const size_t* edges, size_t k, bool home) {
          pull_recorded(c, records, t, d, edges, k, home, scratch.lanes[l]);
        });
      }
    });
    first = end;
  }
  return Status::ok();
}

Result<MigrationResult> migrate_csr_deterministic(const MigrationInputs& in) {
  MigrationResult out;
  out.ind.assign(in.ind.size(), 0.0);
  out.sperm.assign(in.sperm.size(), 0.0);
  MigrationScratch scratch;
  QORIN_TRY(migrate_csr_deterministic_into(in, out.ind, out.sperm, scratch));
  return out;
}

Result<MigrationResult> migrate_csr_stochastic_rngs(std::span<SessionRng> rngs, const MigrationInputs& in,
                                                    bool continuous) {
  MigrationResult out;
  out.ind.assign(in.ind.size(), 0.0);
  out.sperm.assign(in.sperm.size(), 0.0);
  MigrationScratch scratch;
  QORIN_TRY(migrate_csr_stochastic_into(rngs, continuous, in, out.ind, out.sperm, scratch));
  return out;
}

Result<MigrationResult> migrate_csr_stochastic(const MigrationInputs& in, uint64_t seed, bool continuous) {
  // Validated before the streams are made, so that their number is known to
  // match the graph.
  Result<size_t> longest = validate(in, std::nullopt);
  if (!longest) return longest.error();
  std::vector<SessionRng> rngs;
  rngs.reserve(in.n_demes);
  for (size_t d = 0; d < in.n_demes; ++d) rngs.push_back(new_rng(seed ^ static_cast<uint64_t>(d)));
  return migrate_csr_stochastic_rngs(rngs, in, continuous);
}

}  // namespace qorin
