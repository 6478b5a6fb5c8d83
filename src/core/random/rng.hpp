// The session random stream and its distributions.
//
// SessionRng is a xoshiro256++ state held by value (four words, nothing else),
// seeded with SplitMix64. Every sampler below consumes generator outputs in a
// fixed order and some return early without drawing at all; later draws of a
// session depend on both, so the order of every draw here is part of the model.
//
// Samplers that can fail return an RngResult: the drawn value, or one of the
// fixed messages below. It carries no heap data, so drawing never allocates.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>

#include "core/util/error.hpp"

namespace qorin {

struct SessionRng {
  uint64_t s0 = 0;
  uint64_t s1 = 0;
  uint64_t s2 = 0;
  uint64_t s3 = 0;

  friend bool operator==(const SessionRng&, const SessionRng&) = default;
};

// Messages of the samplers' failures.
namespace rng_msg {
inline constexpr const char* kGammaShape = "positive gamma shape must be valid";
inline constexpr const char* kPoissonLambda = "positive lambda must be valid";
inline constexpr const char* kBinomialP = "clamped binomial parameters must be valid";
inline constexpr const char* kContinuousBinomial = "continuous_binomial(): n and p must be finite";
inline constexpr const char* kContinuousPoisson = "continuous_poisson(): lambda must be finite";
inline constexpr const char* kEmptyRange = "cannot sample empty range";
}  // namespace rng_msg

// A drawn value or a failure message (a static string). Usable like
// Result<T>: is_ok(), value(), operator*, error(), and QORIN_TRY.
template <class T>
struct [[nodiscard]] RngOutcome {
  T val{};
  const char* msg = nullptr;

  static RngOutcome ok(T v) { return {v, nullptr}; }
  static RngOutcome fail(const char* m) { return {T{}, m}; }

  bool is_ok() const { return msg == nullptr; }
  explicit operator bool() const { return is_ok(); }
  T value() const { return val; }
  T operator*() const { return val; }
  Error error() const { return Error::runtime(msg); }
  Status status() const { return is_ok() ? Status() : Status(error()); }
  operator Result<T>() const {  // NOLINT: implicit by design
    if (is_ok()) return Result<T>(val);
    return Result<T>(error());
  }
};
using RngResult = RngOutcome<double>;

// ---- saturating float-to-integer conversions (truncation toward zero) ----
// NaN and values below zero give 0; values at or beyond the type's range give
// its maximum.
inline uint64_t saturate_u64(double x) {
  if (!(x > 0.0)) return 0;
  if (x >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(x);
}

// ---- ziggurat tables (ziggurat_tables.cpp) ----
namespace ziggurat {
extern const double normal_x[257];
extern const double normal_f[257];
extern const double exp_x[257];
extern const double exp_f[257];
inline constexpr double kNormalR = 3.654152885361009;
inline constexpr double kExpR = 7.69711747013105;
}  // namespace ziggurat

// ---- generator step and seeding ----
inline uint64_t rotl64(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

// xoshiro256++: the output comes from the state before the update.
inline uint64_t next_u64(SessionRng& r) {
  const uint64_t out = rotl64(r.s0 + r.s3, 23) + r.s0;
  const uint64_t t = r.s1 << 17;
  r.s2 ^= r.s0;
  r.s3 ^= r.s1;
  r.s1 ^= r.s2;
  r.s0 ^= r.s3;
  r.s2 ^= t;
  r.s3 = rotl64(r.s3, 45);
  return out;
}

// SplitMix64: s0..s3 are its first four outputs from `seed`.
inline SessionRng new_rng(uint64_t seed) {
  uint64_t x = seed;
  uint64_t w[4];
  for (uint64_t& s : w) {
    x += 0x9E3779B97F4A7C15ULL;
    uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    s = z ^ (z >> 31);
  }
  return SessionRng{w[0], w[1], w[2], w[3]};
}

// ---- float conversions of one output ----
inline double bits_to_double(uint64_t b) {
  double d;
  std::memcpy(&d, &b, sizeof d);
  return d;
}
// (x >> 12) as the mantissa of a double in [1, 2).
inline double mantissa_1_2(uint64_t x) { return bits_to_double((x >> 12) | 0x3FF0000000000000ULL); }
// (x >> 12) as the mantissa of a double in [2, 4).
inline double mantissa_2_4(uint64_t x) { return bits_to_double((x >> 12) | 0x4000000000000000ULL); }

// [0, 1) with 53 random bits.
inline double uniform01_from(uint64_t x) { return static_cast<double>(x >> 11) * 0x1p-53; }
// (0, 1) with 52 random bits.
inline double open01_from(uint64_t x) { return mantissa_1_2(x) - (1.0 - 0x1p-53); }
// [-1, 1) with 52 random bits (the normal ziggurat's layer coordinate).
inline double symmetric_from(uint64_t x) { return mantissa_2_4(x) - 3.0; }

inline double uniform01(SessionRng& r) { return uniform01_from(next_u64(r)); }
inline double open01(SessionRng& r) { return open01_from(next_u64(r)); }

// ---- ziggurats ----
namespace detail {
// The draws after a first candidate fell outside its layer's core: tail or
// wedge test, and further candidates until one is accepted.
double standard_normal_slow(SessionRng& r, uint64_t i, double u, double z);
double standard_exponential_slow(SessionRng& r, uint64_t i, double z);
}  // namespace detail

inline double standard_normal(SessionRng& r) {
  const uint64_t x = next_u64(r);
  const uint64_t i = x & 0xFF;
  const double u = symmetric_from(x);
  const double z = u * ziggurat::normal_x[i];
  if (std::fabs(z) < ziggurat::normal_x[i + 1]) return z;
  return detail::standard_normal_slow(r, i, u, z);
}

inline double standard_exponential(SessionRng& r) {
  const uint64_t x = next_u64(r);
  const uint64_t i = x & 0xFF;
  const double z = open01_from(x) * ziggurat::exp_x[i];
  if (z < ziggurat::exp_x[i + 1]) return z;
  return detail::standard_exponential_slow(r, i, z);
}

// ---- integers ----
// Uniform integer in [low, high): one draw, a second one when the first falls
// in the biased zone of the widening multiply.
inline RngOutcome<int64_t> random_range(SessionRng& r, int64_t low, int64_t high) {
  if (!(low < high)) return RngOutcome<int64_t>::fail(rng_msg::kEmptyRange);
  const uint64_t range = static_cast<uint64_t>(high) - static_cast<uint64_t>(low);
  const unsigned __int128 m = static_cast<unsigned __int128>(next_u64(r)) * range;
  uint64_t hi = static_cast<uint64_t>(m >> 64);
  const uint64_t lo = static_cast<uint64_t>(m);
  if (lo > (0 - range)) {
    const unsigned __int128 m2 = static_cast<unsigned __int128>(next_u64(r)) * range;
    const uint64_t hi2 = static_cast<uint64_t>(m2 >> 64);
    if (lo + hi2 < lo) hi += 1;
  }
  return RngOutcome<int64_t>::ok(static_cast<int64_t>(static_cast<uint64_t>(low) + hi));
}

// ---- binomial and Poisson ----
// The costly part of the set-up of a BTPE binomial draw (n·p' >= 10,
// p' = min(p, 1 - p), q = 1 - p'): the mode, the triangle's half-width, the
// parallelograms' slope, the tails' rates and the region selector's scale.
struct BtpeCore {
  uint64_t m = 0;
  double p1 = 0.0, c = 0.0, lambda_l = 0.0, lambda_r = 0.0, scale = 0.0;
  static BtpeCore make(int64_t n, double p_small, double q);
};

// Everything the BTPE loop reads besides n, p' and q: the core and the
// values that follow from it in a few operations.
struct BtpeSetup {
  BtpeCore core;
  double npq = 0.0, p2 = 0.0, p3 = 0.0, x_m = 0.0, x_l = 0.0, x_r = 0.0;
  double s = 0.0, a = 0.0;  // p'/q and (n + 1)·p'/q
  static BtpeSetup from(const BtpeCore& core, int64_t n, double p_small, double q);
  static BtpeSetup make(int64_t n, double p_small, double q) {
    return from(BtpeCore::make(n, p_small, q), n, p_small, q);
  }
};

// The set-up of a binomial draw for fixed (n, p), computed without drawing.
// binomial(r, n, p) is BinomialSampler(n, p).sample(r); kernels that draw many
// times with the same parameters can keep the sampler.
class BinomialSampler {
 public:
  BinomialSampler() = default;  // draws 0
  BinomialSampler(int64_t n, double p);
  // The count drawn (at most n), or the failure of a NaN p.
  RngOutcome<int64_t> sample_count(SessionRng& r) const;
  RngResult sample(SessionRng& r) const {
    const RngOutcome<int64_t> k = sample_count(r);
    if (!k) return RngResult::fail(k.msg);
    return RngResult::ok(static_cast<double>(k.val));
  }

 private:
  enum class Method : uint8_t { Fixed, Invalid, Knuth, Inversion, Btpe };
  // q^n by the library pow.
  static double inversion_start(double q, int64_t n);

  Method method_ = Method::Fixed;
  bool flipped_ = false;
  int64_t n_ = 0;
  int64_t fixed_ = 0;  // the answer of Method::Fixed
  double p_ = 0.0;     // p' = min(p, 1 - p)
  double q_ = 0.0;
  // Knuth: e = exp(-np). Inversion: r0 = q^n, s = p'/q, a = (n + 1)·s.
  double e_ = 0.0;
  double r0_ = 0.0, s_ = 0.0, a_ = 0.0;
  BtpeSetup btpe_;
};

// Set-ups of recent binomial and Poisson draws, kept under the exact values
// of their parameters (n and the bits of p, the bits of lambda) so that a
// repeated set-up is not computed again: the same arithmetic made a kept
// set-up, so it draws exactly as a fresh one, and what a memo holds never
// changes a draw. Whoever draws owns one (as a generator owns its sampler
// state): a session's kernel work buffers, a migration lane. It serves one
// thread at a time. Its tables (672 KiB, zeroed pages that the system maps
// as they fill) are allocated by reserve(), which owners call before they
// draw, or else on the first draw that keeps a set-up; without them (a copy,
// a moved-from memo, or no memory) draws compute their set-ups.
class SamplerMemo {
 public:
  SamplerMemo() noexcept = default;
  ~SamplerMemo();
  // A copy starts empty; assignment keeps what the memo holds.
  SamplerMemo(const SamplerMemo&) noexcept {}
  SamplerMemo& operator=(const SamplerMemo&) noexcept { return *this; }
  SamplerMemo(SamplerMemo&& other) noexcept;
  SamplerMemo& operator=(SamplerMemo&& other) noexcept;

  // Allocates the tables unless they are; false when they cannot be.
  bool reserve() noexcept { return tables() != nullptr; }

  struct Tables;
  // The tables, allocated on first use; null when they cannot be.
  Tables* tables() noexcept;

 private:
  void* block_ = nullptr;     // the allocation
  Tables* tables_ = nullptr;  // within it, on a cache line
};

// A binomial count: BinomialSampler(n, p).sample_count(r), with the set-up
// taken from `memo`.
RngOutcome<int64_t> binomial_count(SessionRng& r, int64_t n, double p, SamplerMemo& memo);

inline RngResult binomial(SessionRng& r, int64_t n, double p, SamplerMemo& memo) {
  const RngOutcome<int64_t> k = binomial_count(r, n, p, memo);
  if (!k) return RngResult::fail(k.msg);
  return RngResult::ok(static_cast<double>(k.val));
}

// The same draw with its set-up computed here (for callers drawing once).
inline RngResult binomial(SessionRng& r, int64_t n, double p) { return BinomialSampler(n, p).sample(r); }

// The set-up of a Poisson draw for a fixed lambda, computed without drawing.
class PoissonSampler {
 public:
  PoissonSampler() = default;  // draws 0
  explicit PoissonSampler(double lambda);
  RngResult sample(SessionRng& r) const;

 private:
  enum class Method : uint8_t { Zero, Identity, Invalid, Knuth, Pd };
  struct Ftuple {
    double px, py, fx, fy;
  };
  Ftuple f_step(uint64_t k) const;
  double pd(SessionRng& r) const;

  Method method_ = Method::Zero;
  double lambda_ = 0.0;
  double e_ = 0.0;  // Knuth: exp(-lambda)
  // PD set-up.
  double s_ = 0.0, d_ = 0.0, c_ = 0.0, omega_ = 0.0;
  double c0_ = 0.0, c1_ = 0.0, c2_ = 0.0, c3_ = 0.0;
  uint64_t l_ = 0;
};

inline RngResult poisson(SessionRng& r, double lambda) { return PoissonSampler(lambda).sample(r); }
// The same draw with the set-up of a recent lambda taken from `memo`.
RngResult poisson(SessionRng& r, double lambda, SamplerMemo& memo);

// Knuth's multiplication method for a Poisson count with e = exp(-lambda).
inline uint64_t poisson_knuth(SessionRng& r, double e) {
  double p = uniform01(r);
  uint64_t k = 1;
  while (p > e) {
    p = p * uniform01(r);
    k += 1;
  }
  return k - 1;
}

// ---- gamma and the continuous analogues ----
RngResult gamma(SessionRng& r, double shape);

// Sequential conditional binomials: out[i] receives the count of category i;
// the last category takes whatever remains of n. Without a memo each
// binomial computes its set-up.
Status multinomial(SessionRng& r, int64_t n, std::span<const double> probs, std::span<double> out,
                   SamplerMemo& memo);
Status multinomial(SessionRng& r, int64_t n, std::span<const double> probs, std::span<double> out);

// Real-valued analogue of binomial(n, p): n times a beta-distributed fraction.
RngResult continuous_binomial(SessionRng& r, double n, double p);
// Real-valued analogue of poisson(lambda): a gamma draw of shape lambda.
RngResult continuous_poisson(SessionRng& r, double lambda);
// Real-valued analogue of multinomial(total, probs): a gamma split of total.
Status continuous_multinomial(SessionRng& r, double total, std::span<const double> probs, std::span<double> out);

}  // namespace qorin
