// CSR migration kernels.
//
// Both kernels visit source demes in ascending order and, within a deme, the
// females age by age and ztype by ztype (the unmated part first, then each
// stored-sperm class), then the males. Every unit's flows go to the row's
// destinations in CSR order and its remainder back home, all by accumulation
// into zeroed outputs; that order fixes the rounding of every output cell and,
// in the stochastic kernel, which numbers each deme's stream produces.
#include "core/kernels/migration.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>

#include "core/kernels/lifecycle.hpp"
#include "core/util/format.hpp"

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

// Amounts leaving one cell: scratch.flows[0..row_len) are its flows along the
// row, `placed` their total. Caps what leaves at what the cell holds and
// returns what stays home. A cell holding x > 0 never sends more than x: a
// surplus (an integer draw on a count rounded up, weights summing above one,
// rounding) is taken back by scaling the flows by x / placed, and the remainder
// is kept from turning negative by the rounding of that scaling. Cells that
// send no more than they hold keep x - placed exactly.
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

// The shared walk over source demes and cells. `move(d, row_start, row_len, x,
// r, flows, &placed, &status)` fills flows[0..row_len) for a unit holding x at
// rate r in source deme d, sets `placed` to their total and returns true, or
// sets `status` to a sampler failure and returns false.
template <class Move>
Status migrate_walk(const MigrationInputs& in, std::span<double> out_ind, std::span<double> out_sperm,
                    MigrationScratch& scratch, Move&& move) {
  Status failure;
  const size_t A = in.n_ages, Z = in.n_ztypes;
  const size_t ind_block = 2 * A * Z;  // fits: in.ind was validated against D * 2 * A * Z
  const size_t sperm_block = A * Z * Z;
  std::fill(out_ind.begin(), out_ind.end(), 0.0);
  std::fill(out_sperm.begin(), out_sperm.end(), 0.0);
  double* const flows = scratch.flows.data();

  for (size_t d = 0; d < in.n_demes; ++d) {
    const size_t row_start = static_cast<size_t>(in.indptr[d]);
    const size_t row_len = static_cast<size_t>(in.indptr[d + 1]) - row_start;
    const int64_t* const dest = in.dest_idx.data() + row_start;
    const double* const rate = in.rate.data() + d * 2 * A;
    const double* const ind = in.ind.data() + d * ind_block;
    const double* const sperm = in.sperm.data() + d * sperm_block;
    double* const home_ind = out_ind.data() + d * ind_block;
    double* const home_sperm = out_sperm.data() + d * sperm_block;

    // Females: the unmated part, then each stored-sperm class; a stored-sperm
    // class moves with its females, so it counts towards the female cell too.
    for (size_t a = 0; a < A; ++a) {
      const double r = rate[a];
      for (size_t zf = 0; zf < Z; ++zf) {
        const size_t cell = a * Z + zf;
        const double* const stored = sperm + cell * Z;
        double stored_total = 0.0;
        for (size_t zm = 0; zm < Z; ++zm) stored_total += stored[zm];
        double u = ind[cell] - stored_total;
        if (std::fabs(u) < kUnmatedClamp && u < 0.0) u = 0.0;

        double placed = 0.0;
        if (!move(d, row_start, row_len, u, r, flows, &placed, &failure)) return failure;
        const double stay = settle(u, placed, flows, row_len);
        for (size_t e = 0; e < row_len; ++e) {
          out_ind[static_cast<size_t>(dest[e]) * ind_block + cell] += flows[e];
        }
        home_ind[cell] += stay;

        for (size_t zm = 0; zm < Z; ++zm) {
          const double s = stored[zm];
          const size_t sperm_cell = cell * Z + zm;
          double sent = 0.0;
          if (!move(d, row_start, row_len, s, r, flows, &sent, &failure)) return failure;
          const double keep = settle(s, sent, flows, row_len);
          for (size_t e = 0; e < row_len; ++e) {
            const size_t to = static_cast<size_t>(dest[e]);
            out_sperm[to * sperm_block + sperm_cell] += flows[e];
            out_ind[to * ind_block + cell] += flows[e];
          }
          home_sperm[sperm_cell] += keep;
          home_ind[cell] += keep;
        }
      }
    }

    // Males.
    for (size_t a = 0; a < A; ++a) {
      const double r = rate[A + a];
      for (size_t z = 0; z < Z; ++z) {
        const size_t cell = (A + a) * Z + z;
        const double n = ind[cell];
        double placed = 0.0;
        if (!move(d, row_start, row_len, n, r, flows, &placed, &failure)) return failure;
        const double stay = settle(n, placed, flows, row_len);
        for (size_t e = 0; e < row_len; ++e) {
          out_ind[static_cast<size_t>(dest[e]) * ind_block + cell] += flows[e];
        }
        home_ind[cell] += stay;
      }
    }
  }
  return Status::ok();
}

Status check_outputs(const MigrationInputs& in, std::span<double> out_ind, std::span<double> out_sperm) {
  if (out_ind.size() != in.ind.size() || out_sperm.size() != in.sperm.size()) {
    return Error::runtime("migration output length mismatch: ind " + format_uint(out_ind.size()) +
                          " for " + format_uint(in.ind.size()) + ", sperm " + format_uint(out_sperm.size()) +
                          " for " + format_uint(in.sperm.size()));
  }
  return Status::ok();
}

Result<size_t> validate(const MigrationInputs& in, std::optional<size_t> n_streams) {
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

  // Rates are fractions of a class.
  for (size_t i = 0; i < in.rate.size(); ++i) {
    const double r = in.rate[i];
    if (!(r >= 0.0 && r <= 1.0)) {
      const size_t d = i / (2 * A), s = (i / A) % 2, a = i % A;
      return Error::value("migration rate of deme " + format_uint(d) + ", sex " + format_uint(s) + ", age " +
                          format_uint(a) + " must be a fraction in [0, 1], got " + format_number(r));
    }
  }
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
  double sum = 0.0;
  for (size_t i = 0; i < row_len; ++i) {
    probs[i] = weights[row_start + i];
    sum += probs[i];
  }
  if (sum <= 0.0) return 0.0;
  // The reciprocal of a subnormal sum overflows (and w * inf is no
  // probability); such a row is normalized by division instead.
  const double inv = 1.0 / sum;
  if (std::isfinite(inv)) {
    for (size_t i = 0; i < row_len; ++i) probs[i] = probs[i] * inv;
  } else {
    for (size_t i = 0; i < row_len; ++i) probs[i] = probs[i] / sum;
  }
  const std::span<const double> p(probs.data(), row_len);
  const std::span<double> out(scratch.data(), row_len);
  QORIN_TRY(continuous ? continuous_multinomial(rng, moved, p, out)
                       : multinomial(rng, round_count(moved), p, out));
  double placed = 0.0;
  for (size_t i = 0; i < row_len; ++i) placed += out[i];
  return placed;
}

Status migrate_csr_deterministic_into(const MigrationInputs& in, std::span<double> out_ind,
                                      std::span<double> out_sperm, MigrationScratch& scratch) {
  Result<size_t> longest = validate(in, std::nullopt);
  if (!longest) return longest.error();
  QORIN_TRY(check_outputs(in, out_ind, out_sperm));
  scratch.ensure(*longest);
  return migrate_walk(in, out_ind, out_sperm, scratch,
                      [&](size_t, size_t row_start, size_t row_len, double x, double r, double* flows,
                          double* placed, Status*) {
                        const double* const w = in.weights.data() + row_start;
                        const double f = r * x;
                        double total = 0.0;
                        for (size_t e = 0; e < row_len; ++e) {
                          flows[e] = f * w[e];
                          total += flows[e];
                        }
                        *placed = total;
                        return true;
                      });
}

Status migrate_csr_stochastic_into(std::span<SessionRng> rngs, bool continuous, const MigrationInputs& in,
                                   std::span<double> out_ind, std::span<double> out_sperm,
                                   MigrationScratch& scratch) {
  Result<size_t> longest = validate(in, rngs.size());
  if (!longest) return longest.error();
  QORIN_TRY(check_outputs(in, out_ind, out_sperm));
  scratch.ensure(*longest);
  const std::span<double> flows_span(scratch.flows);
  const std::span<double> probs_span(scratch.probs);
  return migrate_walk(in, out_ind, out_sperm, scratch,
                      [&](size_t d, size_t row_start, size_t row_len, double x, double r, double*,
                          double* placed, Status* failure) {
                        SessionRng& rng = rngs[d];
                        const RngResult k = sample_outbound(rng, continuous, x, r);
                        if (!k) {
                          *failure = k.error();
                          return false;
                        }
                        Result<double> sent = distribute_csr_outbound(rng, in.weights, row_start, row_len,
                                                                      continuous, flows_span, *k, probs_span);
                        if (!sent) {
                          *failure = std::move(sent).error();
                          return false;
                        }
                        *placed = *sent;
                        return true;
                      });
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
