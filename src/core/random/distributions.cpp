// Distributions drawn from the session stream: the slow paths of the
// ziggurats, binomial (inversion and BTPE), Poisson (multiplication method and
// PD), gamma (Marsaglia-Tsang) and the multinomial splits.
//
// Formulas are evaluated left to right exactly as the model states them; a
// reassociated product or a reordered draw changes every later number of a run.
#include <algorithm>
#include <cmath>
#include <limits>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#include "core/random/rng.hpp"
#include "core/util/reference_paths.hpp"
#include "core/util/tolerances.hpp"

#include <bit>

namespace qorin {

// ---------------------------------------------------------------------------
// Ziggurat slow paths
// ---------------------------------------------------------------------------
namespace detail {

double standard_normal_slow(SessionRng& r, uint64_t i, double u, double z) {
  using ziggurat::normal_f;
  using ziggurat::normal_x;
  constexpr double R = ziggurat::kNormalR;
  for (;;) {
    if (i == 0) {
      // Base layer: sample the tail beyond R.
      double xt, yt;
      do {
        const double a = open01(r);
        const double b = open01(r);
        xt = std::log(a) / R;
        yt = std::log(b);
      } while (-2.0 * yt < xt * xt);
      return u < 0.0 ? xt - R : R - xt;
    }
    const double w = uniform01(r);
    if (normal_f[i + 1] + w * (normal_f[i] - normal_f[i + 1]) < std::exp(-z * z / 2.0)) return z;
    // Rejected in the wedge: a fresh candidate.
    const uint64_t x = next_u64(r);
    i = x & 0xFF;
    u = symmetric_from(x);
    z = u * normal_x[i];
    if (std::fabs(z) < normal_x[i + 1]) return z;
  }
}

double standard_exponential_slow(SessionRng& r, uint64_t i, double z) {
  using ziggurat::exp_f;
  using ziggurat::exp_x;
  for (;;) {
    // Base layer: the tail beyond R is R plus a fresh exponential. uniform01()
    // may be 0, which gives +inf; callers saturate before converting.
    if (i == 0) return ziggurat::kExpR - std::log(uniform01(r));
    const double w = uniform01(r);
    if (exp_f[i + 1] + w * (exp_f[i] - exp_f[i + 1]) < std::exp(-z)) return z;
    const uint64_t x = next_u64(r);
    i = x & 0xFF;
    z = open01_from(x) * exp_x[i];
    if (z < exp_x[i + 1]) return z;
  }
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Binomial
// ---------------------------------------------------------------------------
namespace {

// lambda(a) of the BTPE exponential tails.
inline double btpe_lambda(double a) { return a * (1.0 + 0.5 * a); }

// Stirling correction term of the BTPE final acceptance test.
inline double stirling(double a) {
  const double a2 = a * a;
  return (13860.0 - (462.0 - (132.0 - (99.0 - 140.0 / a2) / a2) / a2) / a2) / a / 166320.0;
}

constexpr int64_t kInversionMaxCount = 110;

// BINV: walk the probabilities r_x from x = 0 until u is used up; r0 = q^n,
// s = p'/q, a = (n + 1)·s. Returns the count before any flip.
inline int64_t inversion_walk(SessionRng& r, double r0, double s, double a, int64_t n) {
  double u = uniform01(r);
  int64_t x = 0;
  double rx = r0;
  while (u > rx) {
    if (x == kInversionMaxCount) {
      u = uniform01(r);
      x = 0;
      rx = r0;
      continue;
    }
    x += 1;
    u = u - rx;
    rx = rx * (a / static_cast<double>(x) - s);
  }
  // Rounding in the running sum can carry the walk past n when n is small;
  // such a count is impossible, so it is capped at n.
  return std::min(x, n);
}

int64_t btpe_count(SessionRng& r, const BtpeSetup& b, int64_t n_count, double p_, double q_);

}  // namespace

BinomialSampler::BinomialSampler(int64_t n, double p) : n_(n) {
  // Early answers draw nothing.
  if (n < 1 || p <= 0.0) {
    method_ = Method::Fixed;
    fixed_ = 0;
    return;
  }
  if (p >= 1.0) {
    method_ = Method::Fixed;
    fixed_ = n;
    return;
  }
  if (std::isnan(p)) {
    method_ = Method::Invalid;
    return;
  }
  flipped_ = p > 0.5;
  p_ = flipped_ ? 1.0 - p : p;
  q_ = 1.0 - p_;
  const double np = static_cast<double>(n) * p_;
  // n + 1 in unsigned arithmetic (n >= 1 here), then as a double.
  const double n_plus_1 = static_cast<double>(static_cast<uint64_t>(n) + 1);

  if (np < 10.0) {
    if (q_ == 1.0) {
      // p' below half an ulp of 1: the count is Poisson(np); never flipped.
      method_ = Method::Knuth;
      e_ = std::exp(-np);
      return;
    }
    method_ = Method::Inversion;
    r0_ = inversion_start(q_, n);
    s_ = p_ / q_;
    a_ = n_plus_1 * s_;
    return;
  }

  method_ = Method::Btpe;
  btpe_ = BtpeSetup::make(n, p_, q_);
}

// The cheap values of the set-up, each formed by one expression that the
// core's set-up shares, so that a set-up made from a kept core is the very
// set-up made afresh.
namespace {
inline double btpe_npq(int64_t n, double p_small, double q) { return (static_cast<double>(n) * p_small) * q; }
inline double btpe_x_m(uint64_t m) { return static_cast<double>(m) + 0.5; }
inline double btpe_p2(double p1, double c) { return p1 * (1.0 + 2.0 * c); }
}  // namespace

BtpeCore BtpeCore::make(int64_t n, double p_small, double q) {
  BtpeCore b;
  const double np = static_cast<double>(n) * p_small;
  const double npq = btpe_npq(n, p_small, q);
  b.p1 = std::floor(2.195 * std::sqrt(npq) - 4.6 * q) + 0.5;
  b.m = saturate_u64(np + p_small);
  const double x_m = btpe_x_m(b.m);
  const double x_l = x_m - b.p1;
  const double x_r = x_m + b.p1;
  b.c = 0.134 + 20.5 / (15.3 + static_cast<double>(b.m));
  const double f_m = np + p_small;
  b.lambda_l = btpe_lambda((f_m - x_l) / (f_m - x_l * p_small));
  b.lambda_r = btpe_lambda((x_r - f_m) / (x_r * q));
  const double p3 = btpe_p2(b.p1, b.c) + b.c / b.lambda_l;
  const double p4 = p3 + b.c / b.lambda_r;
  // The region selector is uniform on [0, p4): its scale is p4 lowered until
  // the largest sample stays below p4.
  b.scale = p4;
  while (b.scale * (1.0 - 0x1p-52) > p4) b.scale = std::nextafter(b.scale, -std::numeric_limits<double>::infinity());
  return b;
}

BtpeSetup BtpeSetup::from(const BtpeCore& core, int64_t n, double p_small, double q) {
  BtpeSetup b;
  b.core = core;
  b.npq = btpe_npq(n, p_small, q);
  b.x_m = btpe_x_m(core.m);
  b.x_l = b.x_m - core.p1;
  b.x_r = b.x_m + core.p1;
  b.p2 = btpe_p2(core.p1, core.c);
  b.p3 = b.p2 + core.c / core.lambda_l;
  b.s = p_small / q;
  // n + 1 in unsigned arithmetic (n >= 1 here), then as a double.
  b.a = b.s * static_cast<double>(static_cast<uint64_t>(n) + 1);
  return b;
}

RngOutcome<int64_t> BinomialSampler::sample_count(SessionRng& r) const {
  int64_t count = 0;
  switch (method_) {
    case Method::Fixed:
      return RngOutcome<int64_t>::ok(fixed_);
    case Method::Invalid:
      return RngOutcome<int64_t>::fail(rng_msg::kBinomialP);
    case Method::Knuth: {
      const uint64_t k = poisson_knuth(r, e_);
      // A Poisson count cannot exceed n in practice (n is astronomically
      // larger than np here); the cap keeps the count a valid one regardless.
      return RngOutcome<int64_t>::ok(k > static_cast<uint64_t>(n_) ? n_ : static_cast<int64_t>(k));
    }
    case Method::Inversion:
      count = inversion_walk(r, r0_, s_, a_, n_);
      break;
    case Method::Btpe:
      count = btpe_count(r, btpe_, n_, p_, q_);
      break;
  }
  return RngOutcome<int64_t>::ok(flipped_ ? n_ - count : count);
}

// ---------------------------------------------------------------------------
// The sampler memo
// ---------------------------------------------------------------------------
namespace {

// Kept set-ups, in sets of two ways (the one used last first) on whole cache
// lines. An empty way has n = 0 (lambda_bits = 0 for Poisson): a kept set-up
// always has n >= 1 (lambda > 0), so zeroed tables are empty.
struct InversionWay {
  int64_t n;
  uint64_t p_bits;
  double r0, s;  // q^n and p'/q; a = (n + 1)·s is formed as the set-up forms it
};
struct alignas(64) InversionSet {
  InversionWay way[2];
};
struct BtpeWay {
  int64_t n;
  uint64_t p_bits;
  BtpeSetup setup;  // whole: a kept set-up draws without another division
};
struct alignas(64) BtpeSet {
  BtpeWay way[2];
};
struct alignas(64) PoissonEntry {
  uint64_t lambda_bits;
  PoissonSampler sampler;
};

// Inversion set-ups recur most (small counts at a handful of rates), BTPE
// ones less (about half of a 16-age, 10-genotype population's BTPE draws find
// theirs with 512 sets, and a BTPE set-up costs most to make: as many sets as
// the inversion table), and the Poisson means of a tick are few.
constexpr size_t kInversionSetBits = 11;
constexpr size_t kBtpeSetBits = 11;
constexpr size_t kPoissonBits = 8;

inline uint64_t memo_hash(int64_t n, uint64_t bits) {
  return (static_cast<uint64_t>(n) * 0x9E3779B97F4A7C15ull) ^ (bits * 0xC2B2AE3D27D4EB4Full);
}

// The way of a set keyed (n, bits), moved to the front; on a miss the older
// way is dropped and `fill` completes the front one.
template <class Way, class Fill>
const Way& lookup(Way (&way)[2], int64_t n, uint64_t bits, Fill&& fill) {
  if (way[0].n == n && way[0].p_bits == bits) return way[0];
  if (way[1].n == n && way[1].p_bits == bits) {
    std::swap(way[0], way[1]);
    return way[0];
  }
  way[1] = way[0];
  way[0].n = n;
  way[0].p_bits = bits;
  fill(way[0]);
  return way[0];
}

}  // namespace

struct SamplerMemo::Tables {
  InversionSet inversion[size_t{1} << kInversionSetBits];
  BtpeSet btpe[size_t{1} << kBtpeSetBits];
  PoissonEntry poisson[size_t{1} << kPoissonBits];
};
static_assert(sizeof(InversionSet) == 64 && sizeof(BtpeSet) == 256, "ways on whole cache lines");
static_assert(sizeof(SamplerMemo::Tables) == 672 * 1024, "the size the memo's description gives");

SamplerMemo::~SamplerMemo() { std::free(block_); }

SamplerMemo::SamplerMemo(SamplerMemo&& other) noexcept : block_(other.block_), tables_(other.tables_) {
  other.block_ = nullptr;
  other.tables_ = nullptr;
}

SamplerMemo& SamplerMemo::operator=(SamplerMemo&& other) noexcept {
  if (this != &other) {
    std::free(block_);
    block_ = other.block_;
    tables_ = other.tables_;
    other.block_ = nullptr;
    other.tables_ = nullptr;
  }
  return *this;
}

SamplerMemo::Tables* SamplerMemo::tables() noexcept {
  if (tables_ == nullptr) {
    // Zeroed memory is empty tables (they are plain data), and the system
    // hands it over page by page as the tables fill.
    constexpr size_t kAlign = alignof(Tables);
    block_ = std::calloc(1, sizeof(Tables) + kAlign);
    if (block_ == nullptr) return nullptr;
    const uintptr_t at = (reinterpret_cast<uintptr_t>(block_) + kAlign - 1) / kAlign * kAlign;
    tables_ = std::launder(reinterpret_cast<Tables*>(at));
  }
  return tables_;
}

// A sampler made directly computes its power; binomial_count keeps whole
// inversion set-ups instead.
double BinomialSampler::inversion_start(double q, int64_t n) { return std::pow(q, static_cast<double>(n)); }

RngOutcome<int64_t> binomial_count(SessionRng& r, int64_t n, double p, SamplerMemo& memo) {
  // The early answers and a NaN p are made directly.
  if (n < 1 || !(p > 0.0) || p >= 1.0 || reference_paths()) return BinomialSampler(n, p).sample_count(r);
  SamplerMemo::Tables* const t = memo.tables();
  if (t == nullptr) return BinomialSampler(n, p).sample_count(r);
  const bool flipped = p > 0.5;
  const double p_small = flipped ? 1.0 - p : p;
  const double q = 1.0 - p_small;
  const uint64_t bits = std::bit_cast<uint64_t>(p);
  const uint64_t h = memo_hash(n, bits);
  int64_t count;
  if (static_cast<double>(n) * p_small < 10.0) {
    // p' below half an ulp of 1: the Poisson method of the constructor.
    if (q == 1.0) return BinomialSampler(n, p).sample_count(r);
    // The constructor's inversion set-up.
    const InversionWay& e =
        lookup(t->inversion[h >> (64 - kInversionSetBits)].way, n, bits, [&](InversionWay& w) {
          w.r0 = std::pow(q, static_cast<double>(n));
          w.s = p_small / q;
        });
    const double a = static_cast<double>(static_cast<uint64_t>(n) + 1) * e.s;
    count = inversion_walk(r, e.r0, e.s, a, n);
  } else {
    const BtpeWay& e = lookup(t->btpe[h >> (64 - kBtpeSetBits)].way, n, bits,
                              [&](BtpeWay& w) { w.setup = BtpeSetup::make(n, p_small, q); });
    count = btpe_count(r, e.setup, n, p_small, q);
  }
  return RngOutcome<int64_t>::ok(flipped ? n - count : count);
}

namespace {

// BTPE (Kachitvichyanukul and Schmeiser 1988): triangle, parallelograms and
// exponential tails around the mode m, then the exact or squeezed acceptance.
// The count before any flip.
int64_t btpe_count(SessionRng& r, const BtpeSetup& b, int64_t n_count, double p_, double q_) {
  const uint64_t n = static_cast<uint64_t>(n_count);
  const uint64_t m_ = b.core.m;
  const double npq_ = b.npq, p1_ = b.core.p1, p2_ = b.p2, p3_ = b.p3, scale_ = b.core.scale, x_m_ = b.x_m,
               x_l_ = b.x_l, x_r_ = b.x_r, c_ = b.core.c, lambda_l_ = b.core.lambda_l, lambda_r_ = b.core.lambda_r,
               s_ = b.s, a_ = b.a;
  for (;;) {
    const double u = (mantissa_1_2(next_u64(r)) - 1.0) * scale_;
    double v = mantissa_1_2(next_u64(r)) - 1.0;
    uint64_t y;
    if (u <= p1_) {
      // Region 1, the triangle: accepted at once.
      y = saturate_u64((x_m_ - p1_ * v) + u);
      return static_cast<int64_t>(y);
    }
    if (u <= p2_) {
      // Region 2, the parallelograms.
      const double x = x_l_ + (u - p1_) / c_;
      v = v * c_ + 1.0 - std::fabs(x - x_m_) / p1_;
      if (v > 1.0) continue;
      y = saturate_u64(x);
    } else if (u <= p3_) {
      // Region 3, the left exponential tail.
      const double w = x_l_ + std::log(v) / lambda_l_;
      if (w < 0.0) continue;
      y = saturate_u64(w);
      v = v * ((u - p2_) * lambda_l_);
    } else {
      // Region 4, the right exponential tail; v = 0 gives +inf, saturated.
      y = saturate_u64(x_r_ - std::log(v) / lambda_r_);
      if (y > n) continue;
      v = v * ((u - p3_) * lambda_r_);
    }

    const uint64_t kk = y > m_ ? y - m_ : m_ - y;
    const double k = static_cast<double>(kk);
    if (!(k > 20.0 && k < 0.5 * npq_ - 1.0)) {
      // Exact ratio f(y)/f(m) by the recurrence.
      double f = 1.0;
      if (m_ < y) {
        for (uint64_t i = m_ + 1; i <= y; ++i) f = f * (a_ / static_cast<double>(i) - s_);
      } else if (m_ > y) {
        for (uint64_t i = y + 1; i <= m_; ++i) f = f / (a_ / static_cast<double>(i) - s_);
      }
      if (v <= f) return static_cast<int64_t>(y);
      continue;
    }

    // Squeeze on ln f(y)/f(m), then the Stirling bound.
    const double rho = (k / npq_) * ((k * (k / 3.0 + 0.625) + 1.0 / 6.0) / npq_ + 0.5);
    const double t = -0.5 * k * k / npq_;
    const double alpha = std::log(v);
    if (alpha < t - rho) return static_cast<int64_t>(y);
    if (alpha > t + rho) continue;
    // y <= n and m <= n here, so these integer differences are exact.
    const double x1 = static_cast<double>(y + 1);
    const double f1 = static_cast<double>(m_ + 1);
    const double z = static_cast<double>(n + 1 - m_);
    const double w = static_cast<double>(n - y + 1);
    const double n_minus_m = static_cast<double>(n - m_);
    const double y_minus_m = static_cast<double>(static_cast<int64_t>(y) - static_cast<int64_t>(m_));
    const double bound = x_m_ * std::log(f1 / x1) + (n_minus_m + 0.5) * std::log(z / w) +
                         y_minus_m * std::log(w * p_ / (x1 * q_)) + stirling(f1) + stirling(z) - stirling(x1) -
                         stirling(w);
    if (alpha > bound) continue;
    return static_cast<int64_t>(y);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Poisson
// ---------------------------------------------------------------------------
namespace {

constexpr double kFactorial[10] = {1.0, 1.0, 2.0, 6.0, 24.0, 120.0, 720.0, 5040.0, 40320.0, 362880.0};
// Coefficients a0..a9 of the series of ln(1 + v) terms in the PD step F.
constexpr double kPdA[10] = {-0.5000000002, 0.3333333343,  -0.2499998565, 0.1999997049,  -0.1666848753,
                             0.1428833286,  -0.1241963125, 0.1101687109,  -0.1142650302, 0.1055093006};
constexpr double kInvSqrt2Pi = 0.3989422804014327;

}  // namespace

PoissonSampler::PoissonSampler(double lambda) : lambda_(lambda) {
  if (lambda <= kNegligible) {
    method_ = Method::Zero;
    return;
  }
  if (lambda >= 1.844e19) {
    method_ = Method::Identity;
    return;
  }
  if (!std::isfinite(lambda)) {
    method_ = Method::Invalid;
    return;
  }
  if (lambda < 12.0) {
    method_ = Method::Knuth;
    e_ = std::exp(-lambda);
    return;
  }
  method_ = Method::Pd;
  const double b1 = (1.0 / 24.0) / lambda;
  const double b2 = 0.3 * b1 * b1;
  c3_ = (1.0 / 7.0) * b1 * b2;
  c2_ = b2 - 15.0 * c3_;
  c1_ = b1 - 6.0 * b2 + 45.0 * c3_;
  c0_ = 1.0 - b1 + 3.0 * b2 - 15.0 * c3_;
  s_ = std::sqrt(lambda);
  d_ = 6.0 * (lambda * lambda);
  l_ = saturate_u64(std::floor(lambda - 1.1484));
  c_ = 0.1069 / lambda;
  omega_ = kInvSqrt2Pi / s_;
}

// Procedure F of PD: (px, py) for the Poisson probability of k, (fx, fy) for
// the normal density at k.
PoissonSampler::Ftuple PoissonSampler::f_step(uint64_t k) const {
  const double lambda = lambda_;
  const double kd = static_cast<double>(k);
  Ftuple f{};
  if (k < 10) {
    f.px = -lambda;
    f.py = std::pow(lambda, kd) / kFactorial[k];
  } else {
    double delta = 1.0 / (12.0 * kd);
    delta = delta - 4.8 * (delta * delta * delta);
    const double v = (lambda - kd) / kd;
    if (std::fabs(v) <= 0.25) {
      double acc = 0.0;
      for (int j = 9; j >= 0; --j) acc = acc * v + kPdA[j];
      f.px = kd * (v * v) * acc - delta;
    } else {
      f.px = kd * std::log(1.0 + v) - (lambda - kd) - delta;
    }
    f.py = kInvSqrt2Pi / std::sqrt(kd);
  }
  const double x = (kd - lambda + 0.5) / s_;
  const double x2 = x * x;
  f.fx = -0.5 * x * x;
  f.fy = omega_ * (((c3_ * x2 + c2_) * x2 + c1_) * x2 + c0_);
  return f;
}

// PD (Ahrens and Dieter 1982): a normal candidate first (step N), then the
// double-exponential rejection loop (step E).
double PoissonSampler::pd(SessionRng& r) const {
  const double lambda = lambda_;
  const double g = lambda + s_ * standard_normal(r);
  if (g >= 0.0) {
    const uint64_t k = saturate_u64(std::floor(g));
    if (k >= l_) return static_cast<double>(k);
    const double u = uniform01(r);
    const double diff = lambda - static_cast<double>(k);
    if (d_ * u >= diff * diff * diff) return static_cast<double>(k);
    const Ftuple f = f_step(k);
    if (f.fy * (1.0 - u) <= f.py * std::exp(f.px - f.fx)) return static_cast<double>(k);
  }
  for (;;) {
    const double e = standard_exponential(r);
    const double u = 2.0 * uniform01(r) - 1.0;
    const double t = 1.8 + (std::signbit(u) ? -e : e);
    if (t <= -0.6744) continue;
    const uint64_t k = saturate_u64(std::floor(lambda + s_ * t));
    const Ftuple f = f_step(k);
    if (c_ * std::fabs(u) <= f.py * std::exp(f.px + e) - f.fy * std::exp(f.fx + e)) return static_cast<double>(k);
  }
}

RngResult poisson(SessionRng& r, double lambda, SamplerMemo& memo) {
  // Only the set-ups that compute something are kept.
  if (!(lambda > kNegligible && lambda < 1.844e19) || reference_paths()) return PoissonSampler(lambda).sample(r);
  SamplerMemo::Tables* const t = memo.tables();
  if (t == nullptr) return PoissonSampler(lambda).sample(r);
  const uint64_t bits = std::bit_cast<uint64_t>(lambda);
  PoissonEntry& e = t->poisson[memo_hash(1, bits) >> (64 - kPoissonBits)];
  if (e.lambda_bits != bits) {
    e.sampler = PoissonSampler(lambda);
    e.lambda_bits = bits;
  }
  return e.sampler.sample(r);
}

RngResult PoissonSampler::sample(SessionRng& r) const {
  switch (method_) {
    case Method::Zero:
      return RngResult::ok(0.0);
    case Method::Identity:
      return RngResult::ok(lambda_);
    case Method::Invalid:
      return RngResult::fail(rng_msg::kPoissonLambda);
    case Method::Knuth:
      return RngResult::ok(static_cast<double>(poisson_knuth(r, e_)));
    case Method::Pd:
      return RngResult::ok(pd(r));
  }
  return RngResult::fail(rng_msg::kPoissonLambda);
}

// ---------------------------------------------------------------------------
// Gamma
// ---------------------------------------------------------------------------
namespace {

// Marsaglia and Tsang (2000): returns v; the variate is d·v.
double marsaglia_tsang_v(SessionRng& r, double d, double c) {
  for (;;) {
    const double z = standard_normal(r);
    const double t = 1.0 + c * z;
    if (t <= 0.0) continue;
    const double v = t * t * t;
    const double u = open01(r);
    const double z2 = z * z;
    if (u < 1.0 - (0.0331 * z2) * z2) return v;
    if (std::log(u) < 0.5 * z2 + d * (1.0 - v + std::log(v))) return v;
  }
}

}  // namespace

RngResult gamma(SessionRng& r, double shape) {
  if (shape >= 0x1p104) return RngResult::ok(shape);
  if (shape >= 1e8) {
    // Normal approximation for very large shapes.
    const double z = standard_normal(r);
    return RngResult::ok(std::max(shape + std::sqrt(shape) * z, 0.0));
  }
  if (shape <= kNegligible) return RngResult::ok(0.0);
  if (std::isnan(shape)) return RngResult::fail(rng_msg::kGammaShape);
  if (shape == 1.0) return RngResult::ok(standard_exponential(r));
  if (shape < 1.0) {
    // Boosted: Gamma(shape) = Gamma(shape + 1) · U^(1/shape); U is drawn first.
    const double u0 = open01(r);
    const double d = (shape + 1.0) - 1.0 / 3.0;
    const double c = 1.0 / std::sqrt(9.0 * d);
    const double v = marsaglia_tsang_v(r, d, c);
    return RngResult::ok(d * (std::pow(u0, 1.0 / shape) * v));
  }
  const double d = shape + -0.3333333333333333;
  const double c = 1.0 / std::sqrt(9.0 * d);
  return RngResult::ok(d * marsaglia_tsang_v(r, d, c));
}

// ---------------------------------------------------------------------------
// Multinomial splits and the continuous analogues
// ---------------------------------------------------------------------------
namespace {

// The sequential conditional binomials, each count drawn by draw(n, c).
template <class Draw>
Status multinomial_by(int64_t n, std::span<const double> probs, std::span<double> out, Draw&& draw) {
  if (out.size() < probs.size()) {
    return Error::runtime("multinomial(): output has fewer slots than probabilities");
  }
  std::fill(out.begin(), out.end(), 0.0);
  if (n < 1 || probs.empty()) return Status::ok();
  const size_t k_last = probs.size() - 1;
  double remaining = 1.0;
  for (size_t i = 0; i < k_last; ++i) {
    if (n < 1) break;
    if (remaining > 0.0 && probs[i] > 0.0) {
      double c = probs[i] / remaining;
      if (c < 0.0) c = 0.0;
      if (c > 1.0) c = 1.0;
      const RngOutcome<int64_t> x = draw(n, c);
      if (!x) return x.error();
      out[i] = static_cast<double>(x.val);
      n = n - x.val;
    }
    remaining = remaining - probs[i];
  }
  if (n > 0) out[k_last] = static_cast<double>(n);
  return Status::ok();
}

}  // namespace

Status multinomial(SessionRng& r, int64_t n, std::span<const double> probs, std::span<double> out,
                   SamplerMemo& memo) {
  return multinomial_by(n, probs, out, [&](int64_t k, double c) { return binomial_count(r, k, c, memo); });
}

Status multinomial(SessionRng& r, int64_t n, std::span<const double> probs, std::span<double> out) {
  return multinomial_by(n, probs, out,
                        [&](int64_t k, double c) { return BinomialSampler(k, c).sample_count(r); });
}

RngResult continuous_binomial(SessionRng& r, double n, double p) {
  if (!std::isfinite(n) || !std::isfinite(p)) return RngResult::fail(rng_msg::kContinuousBinomial);
  if (p <= kNegligible) return RngResult::ok(0.0);
  if (p >= kAlmostOne) return RngResult::ok(n);
  if (n <= 1.0000000001) return RngResult::ok(n * p);
  const RngResult a = gamma(r, std::max(p * (n - 1.0), kNegligible));
  if (!a) return a;
  const RngResult b = gamma(r, std::max((n - 1.0) * (1.0 - p), kNegligible));
  if (!b) return b;
  if (a.val == 0.0) return RngResult::ok(0.0);
  return RngResult::ok(n * (a.val / (a.val + b.val)));
}

RngResult continuous_poisson(SessionRng& r, double lambda) {
  if (!std::isfinite(lambda)) return RngResult::fail(rng_msg::kContinuousPoisson);
  if (lambda <= kNegligible) return RngResult::ok(0.0);
  return gamma(r, lambda);
}

Status continuous_multinomial(SessionRng& r, double total, std::span<const double> probs, std::span<double> out) {
  const size_t m = std::min(probs.size(), out.size());
  if (total <= 1.0000000001) {
    // Small totals are split deterministically, without a draw.
    for (size_t i = 0; i < m; ++i) out[i] = total * probs[i];
    return Status::ok();
  }
  double acc = 0.0;
  for (size_t i = 0; i < m; ++i) {
    const double shape = (total - 1.0) * probs[i];
    if (shape > kNegligible) {
      const RngResult g = gamma(r, shape);
      if (!g) return g.error();
      out[i] = g.val;
    } else {
      out[i] = 0.0;
    }
    acc = acc + out[i];
  }
  if (acc > kNegligible) {
    const double scale = total / acc;
    for (double& o : out) o = o * scale;
  } else {
    for (size_t i = 0; i < m; ++i) out[i] = total * probs[i];
  }
  if (!out.empty()) {
    double s = -0.0;
    for (const double o : out) s = s + o;
    if (s > kNegligible && std::fabs(s - total) > std::max(total, 1.0) * kSplitSumTolerance) {
      const double scale = total / s;
      for (double& o : out) o = o * scale;
    }
  }
  return Status::ok();
}

}  // namespace qorin
