#include "core/hooks/interpreter.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/util/numeric.hpp"
#include "core/util/format.hpp"

namespace qorin {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Error malformed(const std::string& what) { return Error::runtime("malformed hook program: " + what); }

// A half-open run [begin, end) of a pool column.
struct Run {
  size_t begin = 0;
  size_t end = 0;
};

// Run of item i from an offsets column; the run must lie inside a pool of
// `pool_len` entries.
Result<Run> run_of(const std::vector<int64_t>& offsets, const char* offsets_name, size_t i, size_t pool_len,
                   const char* pool_name) {
  if (i + 1 >= offsets.size()) {
    return malformed(std::string(offsets_name) + " has " + format_uint(offsets.size()) +
                     " entries; item " + format_uint(i) + " needs entry " + format_uint(i + 1));
  }
  const int64_t b = offsets[i];
  const int64_t e = offsets[i + 1];
  if (b < 0 || e < b || static_cast<uint64_t>(e) > pool_len) {
    return malformed(std::string(offsets_name) + " run " + format_int(b) + ".." + format_int(e) + " of item " +
                     format_uint(i) + " is not inside " + pool_name + " (" + format_uint(pool_len) +
                     " entries)");
  }
  return Run{static_cast<size_t>(b), static_cast<size_t>(e)};
}

template <class T>
Result<T> entry(const std::vector<T>& col, const char* name, size_t i) {
  if (i >= col.size()) {
    return malformed(std::string(name) + " has " + format_uint(col.size()) + " entries; entry " + format_uint(i) +
                     " is needed");
  }
  return T(col[i]);
}

// Signed column value as an index below `limit`, or SIZE_MAX when outside.
inline size_t as_index(int64_t v, size_t limit) {
  if (v < 0 || static_cast<uint64_t>(v) >= limit) return SIZE_MAX;
  return static_cast<size_t>(v);
}

inline double max0(double x) { return std::fmax(x, 0.0); }  // a NaN operand is ignored

// Everything an operation needs besides its index.
struct Exec {
  const HookProgram& prog;
  SessionRng& rng;
  std::span<double> ind;
  std::span<double> sperm;
  const EventInputs& in;
  std::span<double> staged;
  size_t A;
  size_t Z;

  Result<double> count(double c, double p) const {
    return convert_count(c, p, rng, in.stochastic, in.continuous_sampling);
  }
  // Individuals of a cell that Op.convert moves. Its probability comes straight
  // from the program; the samplers treat p >= 1 as "everyone" and p <= 0 as
  // "nobody", and the deterministic product must do the same, or a cell would
  // give away more than it holds (or take individuals back from the target).
  Result<double> moved(double c, double p) const {
    if (!in.stochastic && c > 0.0) {
      if (std::isnan(p)) return Error::runtime("Op.convert probability must be a number, got NaN");
      p = std::clamp(p, 0.0, 1.0);
    }
    return count(c, p);
  }
  size_t cell(size_t sex, size_t age, size_t z) const { return (sex * A + age) * Z + z; }
  std::span<double> sperm_row(size_t age, size_t z) const { return sperm.subspan((age * Z + z) * Z, Z); }
};

// ---- conditions ----

Result<bool> condition_holds(const HookProgram& p, size_t i, int64_t t) {
  Result<Run> r = run_of(p.condition_offsets_data, "condition_offsets_data", i, p.condition_types_data.size(),
                         "condition_types_data");
  if (!r) return r.error();
  const Run run = *r;
  if (run.begin == run.end) return true;
  if (run.end > p.condition_params_data.size()) {
    return malformed("condition_params_data is shorter than condition_types_data");
  }
  std::vector<bool> stack;
  stack.reserve(run.end - run.begin);
  for (size_t k = run.begin; k < run.end; ++k) {
    const int64_t kind = p.condition_types_data[k];
    const int64_t q = p.condition_params_data[k];
    switch (static_cast<Condition>(kind)) {
      case Condition::TickEquals: stack.push_back(t == q); break;
      case Condition::Every: stack.push_back(q > 0 && t % q == 0); break;
      case Condition::FromTick: stack.push_back(t >= q); break;
      case Condition::Before: stack.push_back(t < q); break;
      case Condition::Until: stack.push_back(t <= q); break;
      case Condition::After: stack.push_back(t > q); break;
      case Condition::And:
      case Condition::Or: {
        if (stack.size() < 2) return false;
        const bool b = stack.back();
        stack.pop_back();
        const bool a = stack.back();
        stack.back() = kind == code_of(Condition::And) ? (a && b) : (a || b);
        break;
      }
      case Condition::Not:
        if (stack.empty()) return false;
        stack.back() = !stack.back();
        break;
      default:
        // Condition::Always and every other kind <= 0 hold.
        if (kind <= code_of(Condition::Always)) {
          stack.push_back(true);
        } else {
          return false;  // unknown token kind
        }
    }
  }
  return stack.size() == 1 && stack[0];
}

// ---- selections ----

struct Selection {
  Run ages;
  Run zs;
  bool sex[2] = {false, false};
};

Result<Selection> selection_of(const HookProgram& p, size_t i) {
  Selection s;
  if (2 * i + 1 >= p.sex_masks_data.size()) {
    return malformed("sex_masks_data has " + format_uint(p.sex_masks_data.size()) + " entries; operation " +
                     format_uint(i) + " needs entries " + format_uint(2 * i) + " and " + format_uint(2 * i + 1));
  }
  s.sex[0] = p.sex_masks_data[2 * i];
  s.sex[1] = p.sex_masks_data[2 * i + 1];
  Result<Run> a = run_of(p.age_offsets_data, "age_offsets_data", i, p.age_data.size(), "age_data");
  if (!a) return a.error();
  Result<Run> z = run_of(p.zidx_offsets_data, "zidx_offsets_data", i, p.zidx_data.size(), "zidx_data");
  if (!z) return z.error();
  s.ages = *a;
  s.zs = *z;
  return s;
}

// Calls f(sex, age, z) for every selected cell, in selection order.
template <class F>
Status for_each_cell(const Exec& x, const Selection& s, F&& f) {
  for (size_t sex = 0; sex < 2; ++sex) {
    if (!s.sex[sex]) continue;
    for (size_t ka = s.ages.begin; ka < s.ages.end; ++ka) {
      const size_t age = as_index(x.prog.age_data[ka], x.A);
      if (age == SIZE_MAX) continue;
      for (size_t kz = s.zs.begin; kz < s.zs.end; ++kz) {
        const size_t z = as_index(x.prog.zidx_data[kz], x.Z);
        if (z == SIZE_MAX) continue;
        QORIN_TRY(f(sex, age, z));
      }
    }
  }
  return {};
}

// ---- cell operations ----

double cell_target(int64_t opcode, double param, double old) {
  switch (static_cast<Opcode>(opcode)) {
    case Opcode::Scale: return max0(param * old);
    case Opcode::SetCount: return max0(param);
    case Opcode::Add: return max0(old + param);
    case Opcode::Subtract: return max0(old - param);
    case Opcode::Kill: return max0((1.0 - param) * old);
    default: return std::fmin(old, max0(param));  // Opcode::Cap
  }
}

Status apply_cell(const Exec& x, int64_t opcode, double param, size_t sex, size_t age, size_t z) {
  const size_t c = x.cell(sex, age, z);
  double old = x.ind[c];
  const double target = cell_target(opcode, param, old);  // from the unrounded count
  const bool stochastic = x.in.stochastic;
  const bool continuous = x.in.continuous_sampling;
  const bool integer_counts = stochastic && !continuous;

  if (sex == 1 || x.sperm.empty()) {
    if (integer_counts) old = round_half_away(old);
    if (target >= old) {
      x.ind[c] = target;  // increases are deterministic
    } else if (old <= 0.0) {
      x.ind[c] = 0.0;
    } else {
      Result<double> n = x.count(old, clamp01(target / old));
      if (!n) return n.error();
      x.ind[c] = *n;
    }
    return {};
  }

  // A female cell: its sperm row follows its females.
  std::span<double> row = x.sperm_row(age, z);
  if (!stochastic) {
    if (target >= old) {
      x.ind[c] = target;  // added females are virgins
    } else if (old <= 0.0) {
      for (double& v : row) v = 0.0;
      x.ind[c] = 0.0;
    } else {
      const double f = clamp01(target / old);
      for (double& v : row) v *= f;
      x.ind[c] = target;
    }
    return {};
  }

  if (integer_counts) old = round_half_away(old);
  if (target >= old) {
    x.ind[c] = target;
    return {};
  }
  if (old <= 0.0) {
    for (double& v : row) v = 0.0;
    x.ind[c] = 0.0;
    return {};
  }
  double mated = 0.0;
  for (double v : row) mated += v;
  const double p = clamp01(target / old);
  double virgins = old - mated;
  if (sperm_exceeds_females(old, mated)) {
    return Error::runtime("Invalid state: n_virgins < 0 in apply_target_with_sperm: n_virgins_raw=" +
                          format_number(virgins) + ", n_f_raw=" + format_number(old) +
                          ", total_sperm=" + format_number(mated));
  }
  virgins = max0(virgins);
  if (integer_counts) virgins = round_half_away(virgins);
  for (double& v : row) {
    if (continuous) {
      if (v > 0.0) {
        RngResult d = continuous_binomial(x.rng, v, p);
        if (!d) return d.error();
        v = *d;
      } else {
        v = 0.0;
      }
    } else {
      const int64_t r = round_count(v);
      if (r > 0) {
        RngResult d = binomial(x.rng, r, p);
        if (!d) return d.error();
        v = *d;
      } else {
        v = 0.0;
      }
    }
  }
  double kept = 0.0;
  for (double v : row) kept += v;
  Result<double> kept_virgins = convert_count(virgins, p, x.rng, true, continuous);
  if (!kept_virgins) return kept_virgins.error();
  x.ind[c] = kept + *kept_virgins;
  return {};
}

// ---- Op.set_param ----

Result<bool> set_param(const Exec& x, size_t i) {
  const HookProgram& p = x.prog;
  Result<int64_t> every = entry(p.sp_every, "sp_every", i);
  if (!every) return every.error();
  if (*every < 1) {
    return Error::runtime("sp_every must be positive, got " + format_int(*every) + " at operation " +
                          format_uint(i));
  }
  Result<int64_t> start = entry(p.sp_start, "sp_start", i);
  if (!start) return start.error();
  const int64_t t = x.in.tick;
  if (t < *start) return false;
  // t >= start, so the difference fits in 64 unsigned bits.
  const uint64_t since = static_cast<uint64_t>(t) - static_cast<uint64_t>(*start);
  if (since % static_cast<uint64_t>(*every) != 0) return false;
  Result<Run> r = run_of(p.rpn_offsets, "rpn_offsets", i, p.rpn_kinds.size(), "rpn_kinds");
  if (!r) return r.error();
  Result<double> value = eval_rpn_value(p, static_cast<int64_t>(r->begin), static_cast<int64_t>(r->end), x.staged);
  if (!value) return value.error();
  Result<int64_t> id = entry(p.sp_param_ids, "sp_param_ids", i);
  if (!id) return id.error();
  const size_t slot = as_index(*id, x.staged.size());
  if (slot != SIZE_MAX) x.staged[slot] = *value;
  return false;
}

// ---- Op.convert ----

bool outside_state(const Exec& x, const int64_t* s, const int64_t* t) {
  auto u = [](int64_t v) { return static_cast<uint64_t>(v); };
  return u(s[2]) >= x.Z || u(s[1]) >= x.A || u(s[0]) > 1 || u(t[0]) > 1 || u(t[1]) >= x.A || u(t[2]) >= x.Z;
}

Status convert_pairs(const Exec& x, size_t i, Run pairs, double p) {
  const HookProgram& prog = x.prog;
  const size_t pool = std::min(prog.convert_source_coords.size(), prog.convert_target_coords.size()) / 3;
  if (pairs.end > pool) {
    return malformed("convert_offsets run of operation " + format_uint(i) + " ends at pair " +
                     format_uint(pairs.end) + ", but the coordinate columns hold " + format_uint(pool) + " pairs");
  }
  // Reads come from the state before the operation, writes go to the live state.
  const std::vector<double> ind0(x.ind.begin(), x.ind.end());
  const std::vector<double> sperm0(x.sperm.begin(), x.sperm.end());
  for (size_t k = pairs.begin; k < pairs.end; ++k) {
    const int64_t* s = &prog.convert_source_coords[3 * k];
    const int64_t* t = &prog.convert_target_coords[3 * k];
    if (outside_state(x, s, t)) return Error::runtime("Op.convert selector mapping is outside state bounds");
    const size_t ss = static_cast<size_t>(s[0]), sa = static_cast<size_t>(s[1]), sz = static_cast<size_t>(s[2]);
    const size_t ts = static_cast<size_t>(t[0]), ta = static_cast<size_t>(t[1]), tz = static_cast<size_t>(t[2]);
    const size_t src = x.cell(ss, sa, sz);
    const size_t tgt = x.cell(ts, ta, tz);
    if (src == tgt) continue;
    // Counts come from the state before the operation; a source shared by
    // several pairs never gives more than it still holds, so no cell turns
    // negative (the draws themselves are unchanged).
    double moved = 0.0;
    if (ss == 1 || x.sperm.empty()) {
      Result<double> m = x.moved(ind0[src], p);
      if (!m) return m.error();
      moved = std::min(*m, max0(x.ind[src]));
    } else {
      const size_t src_row = (sa * x.Z + sz) * x.Z;
      const size_t tgt_row = (ta * x.Z + tz) * x.Z;
      double mated = 0.0;
      for (size_t m = 0; m < x.Z; ++m) {
        const double v = sperm0[src_row + m];
        Result<double> y = x.moved(v, p);
        if (!y) return y.error();
        const double taken = std::min(*y, max0(x.sperm[src_row + m]));
        mated += v;
        moved += taken;
        x.sperm[src_row + m] -= taken;
        if (ts == 0) x.sperm[tgt_row + m] += taken;  // a male target drops the sperm
      }
      Result<double> v = x.moved(max0(ind0[src] - mated), p);
      if (!v) return v.error();
      double live_stored = 0.0;
      for (size_t m = 0; m < x.Z; ++m) live_stored += x.sperm[src_row + m];
      moved += std::min(*v, max0(x.ind[src] - moved - live_stored));
    }
    x.ind[src] -= moved;
    x.ind[tgt] += moved;
  }
  return {};
}

Status convert_genotype(const Exec& x, size_t i, double p) {
  Result<int64_t> sz_r = entry(x.prog.convert_source_z, "convert_source_z", i);
  if (!sz_r) return sz_r.error();
  Result<int64_t> tz_r = entry(x.prog.convert_target_z, "convert_target_z", i);
  if (!tz_r) return tz_r.error();
  const size_t sz = as_index(*sz_r, x.Z);
  const size_t tz = as_index(*tz_r, x.Z);
  if (x.A == 0 || sz == SIZE_MAX || tz == SIZE_MAX) return {};
  for (size_t a = 0; a < x.A; ++a) {
    {  // males
      const size_t src = x.cell(1, a, sz), tgt = x.cell(1, a, tz);
      Result<double> m = x.moved(x.ind[src], p);
      if (!m) return m.error();
      x.ind[src] -= *m;
      x.ind[tgt] += *m;
    }
    const size_t src = x.cell(0, a, sz), tgt = x.cell(0, a, tz);
    double moved = 0.0;
    if (x.sperm.empty()) {
      Result<double> m = x.moved(x.ind[src], p);
      if (!m) return m.error();
      moved = *m;
    } else {
      std::span<double> rs = x.sperm_row(a, sz);
      std::span<double> rt = x.sperm_row(a, tz);
      double mated = 0.0;
      for (double v : rs) mated += v;
      for (size_t m = 0; m < x.Z; ++m) {
        Result<double> y = x.moved(rs[m], p);
        if (!y) return y.error();
        rs[m] -= *y;
        rt[m] += *y;
        moved += *y;
      }
      Result<double> v = x.moved(max0(x.ind[src] - mated), p);
      if (!v) return v.error();
      moved += *v;
    }
    x.ind[src] -= moved;
    x.ind[tgt] += moved;
  }
  return {};
}

Status convert(const Exec& x, size_t i, double p) {
  const std::vector<int64_t>& off = x.prog.convert_offsets;
  if (i + 1 < off.size()) {
    const int64_t b = off[i];
    const int64_t e = off[i + 1];
    if (b < 0 || e < b) {
      return malformed("convert_offsets run " + format_int(b) + ".." + format_int(e) + " of operation " +
                       format_uint(i) + " is not a run");
    }
    if (b < e) return convert_pairs(x, i, Run{static_cast<size_t>(b), static_cast<size_t>(e)}, p);
  }
  return convert_genotype(x, i, p);
}

// ---- Op.clear_sperm ----

Status clear_sperm(const Exec& x, size_t i) {
  const std::vector<int64_t>& off = x.prog.clear_offsets;
  if (x.sperm.empty() || i + 1 >= off.size()) return {};
  const int64_t b = off[i];
  const int64_t e = off[i + 1];
  if (b == e) return {};
  const size_t pool = x.prog.clear_coords.size() / 3;
  if (b < 0 || e < b || static_cast<uint64_t>(e) > pool) {
    return malformed("clear_offsets run " + format_int(b) + ".." + format_int(e) + " of operation " +
                     format_uint(i) + " is not inside clear_coords (" + format_uint(pool) + " cells)");
  }
  for (size_t k = static_cast<size_t>(b); k < static_cast<size_t>(e); ++k) {
    const int64_t* t = &x.prog.clear_coords[3 * k];
    const size_t age = as_index(t[1], x.A);
    const size_t z = as_index(t[2], x.Z);
    if (t[0] != 0 || age == SIZE_MAX || z == SIZE_MAX) continue;
    for (double& v : x.sperm_row(age, z)) v = 0.0;
  }
  return {};
}

// ---- one operation ----

// Returns true when the operation requests a stop.
Result<bool> run_operation(const Exec& x, size_t i) {
  const HookProgram& p = x.prog;
  const int64_t opcode = p.op_types_data[i];
  auto param = [&]() { return entry(p.params_data, "params_data", i); };
  switch (static_cast<Opcode>(opcode)) {
    case Opcode::Scale:
    case Opcode::SetCount:
    case Opcode::Add:
    case Opcode::Subtract:
    case Opcode::Kill:
    case Opcode::Cap: {
      Result<double> prm = param();
      if (!prm) return prm.error();
      Result<Selection> sel = selection_of(p, i);
      if (!sel) return sel.error();
      const double v = *prm;
      QORIN_TRY(for_each_cell(x, *sel, [&](size_t s, size_t a, size_t z) { return apply_cell(x, opcode, v, s, a, z); }));
      return false;
    }
    case Opcode::StopIfEmpty:
    case Opcode::StopIfBelow:
    case Opcode::StopIfAbove: {
      double threshold = 0.0;
      if (opcode != code_of(Opcode::StopIfEmpty)) {
        Result<double> prm = param();
        if (!prm) return prm.error();
        threshold = *prm;
      }
      Result<Selection> sel = selection_of(p, i);
      if (!sel) return sel.error();
      double total = 0.0;
      QORIN_TRY(for_each_cell(x, *sel, [&](size_t s, size_t a, size_t z) {
        total += x.ind[x.cell(s, a, z)];
        return Status();
      }));
      if (opcode == code_of(Opcode::StopIfEmpty)) return total <= 0.0;
      if (opcode == code_of(Opcode::StopIfBelow)) return total < threshold;
      return total > threshold;
    }
    case Opcode::StopIfExtinct: {
      if (x.ind.empty()) return true;
      double total = 0.0;
      for (double v : x.ind) total += v;
      return total <= 0.0;
    }
    case Opcode::SetParam:
      return set_param(x, i);
    case Opcode::Convert: {
      Result<double> prm = param();
      if (!prm) return prm.error();
      QORIN_TRY(convert(x, i, *prm));
      return false;
    }
    case Opcode::ClearSperm:
    default:  // opcodes were checked before the event ran
      QORIN_TRY(clear_sperm(x, i));
      return false;
  }
}

// Whether hook h runs in deme d.
Result<bool> selects_deme(const HookProgram& p, size_t h, size_t d) {
  Result<int64_t> type = entry(p.deme_selector_types, "deme_selector_types", h);
  if (!type) return type.error();
  const DemeSelector selector = static_cast<DemeSelector>(*type);
  if (selector != DemeSelector::One && selector != DemeSelector::Range && selector != DemeSelector::List) {
    return true;  // DemeSelector::All, and any other type
  }
  Result<int64_t> r = entry(p.deme_selector_offsets, "deme_selector_offsets", h);
  if (!r) return r.error();
  const std::vector<int64_t>& data = p.deme_selector_data;
  const int64_t dd = static_cast<int64_t>(d);
  const int64_t n = static_cast<int64_t>(data.size());
  const int64_t at = *r;
  if (selector == DemeSelector::One) return at >= 0 && at < n && data[static_cast<size_t>(at)] == dd;
  if (selector == DemeSelector::Range) {
    if (at < 0 || at >= n - 1) return false;
    return data[static_cast<size_t>(at)] <= dd && dd < data[static_cast<size_t>(at) + 1];
  }
  Result<int64_t> end = entry(p.deme_selector_offsets, "deme_selector_offsets", h + 1);
  if (!end) return end.error();
  for (int64_t k = at < 0 ? 0 : at; k < *end && k < n; ++k) {
    if (data[static_cast<size_t>(k)] == dd) return true;
  }
  return false;
}

bool checked_mul(size_t a, size_t b, size_t* out) { return !__builtin_mul_overflow(a, b, out); }

}  // namespace

Result<double> convert_count(double count, double p, SessionRng& rng, bool stochastic, bool continuous_sampling) {
  if (count <= 0.0) return 0.0;
  if (!stochastic) return count * p;
  if (!continuous_sampling) {
    RngResult d = binomial(rng, round_count(count), p);
    if (!d) return d.error();
    return *d;
  }
  RngResult d = continuous_binomial(rng, count, p);
  if (!d) return d.error();
  return *d;
}

Result<double> eval_rpn_value(const HookProgram& p, int64_t start, int64_t end,
                              std::span<const double> staged) {
  if (start >= end) return kNaN;
  if (start < 0 || static_cast<uint64_t>(end) > p.rpn_kinds.size() ||
      static_cast<uint64_t>(end) > p.rpn_payload.size()) {
    return malformed("expression tokens " + format_int(start) + ".." + format_int(end) +
                     " are not inside rpn_kinds/rpn_payload");
  }
  std::vector<double> stack;
  stack.reserve(static_cast<size_t>(end - start));
  auto pop = [&stack]() {
    if (stack.empty()) return kNaN;
    const double v = stack.back();
    stack.pop_back();
    return v;
  };
  for (size_t k = static_cast<size_t>(start); k < static_cast<size_t>(end); ++k) {
    const int64_t kind = p.rpn_kinds[k];
    const int64_t payload = p.rpn_payload[k];
    if (kind == code_of(Token::Literal)) {
      const size_t at = as_index(payload, p.sp_literals.size());
      if (at == SIZE_MAX) {
        return malformed("expression literal " + format_int(payload) + " is outside sp_literals (" +
                         format_uint(p.sp_literals.size()) + " entries)");
      }
      stack.push_back(p.sp_literals[at]);
      continue;
    }
    if (kind == code_of(Token::Param)) {
      const size_t at = as_index(payload, staged.size());
      if (at == SIZE_MAX) {
        return malformed("expression parameter " + format_int(payload) + " is outside the " +
                         format_uint(staged.size()) + " staged scalars");
      }
      stack.push_back(staged[at]);
      continue;
    }
    const double right = pop();
    const double left = pop();
    double v;
    switch (static_cast<Token>(kind)) {
      case Token::Add: v = left + right; break;
      case Token::Subtract: v = left - right; break;
      case Token::Multiply: v = left * right; break;
      case Token::Divide:
        if (right == 0.0) {
          v = left > 0.0 ? kInf : (left < 0.0 ? -kInf : kNaN);
        } else {
          v = left / right;
        }
        break;
      default: v = kNaN;
    }
    stack.push_back(v);
  }
  return stack.empty() ? kNaN : stack.front();
}

Result<int32_t> execute_event(const HookProgram& p, SessionRng& rng, int64_t event, std::span<double> ind,
                              std::span<double> sperm, const EventInputs& in, std::span<double> staged,
                              EcoCtx* eco_ctx, CallbackHost* host) {
  // 1. Every opcode of the program, at every call.
  for (size_t i = 0; i < p.op_types_data.size(); ++i) {
    if (static_cast<uint64_t>(p.op_types_data[i]) > static_cast<uint64_t>(kMaxOpcode)) {
      return Error::runtime("Unknown mutation opcode " + format_int(p.op_types_data[i]) + " at operation " +
                            format_uint(i));
    }
  }
  // 2. Nothing to run.
  if (event < 0 || event >= p.n_events || p.n_hooks == 0) return 0;

  const size_t A = in.n_ages, Z = in.n_ztypes;
  size_t az = 0, n_ind = 0, n_sperm = 0;
  if (!checked_mul(A, Z, &az) || !checked_mul(az, 2, &n_ind) || !checked_mul(az, Z, &n_sperm)) {
    return Error::runtime("hook event state dimensions overflow");
  }
  if (ind.size() != n_ind || (!sperm.empty() && sperm.size() != n_sperm)) {
    return Error::runtime("hook event state has " + format_uint(ind.size()) + " counts and " +
                          format_uint(sperm.size()) + " sperm entries, expected " + format_uint(n_ind) +
                          " and " + format_uint(n_sperm) + " (or none)");
  }

  const size_t e = static_cast<size_t>(event);
  if (e + 1 >= p.hook_offsets.size()) {
    return malformed("hook_offsets has " + format_uint(p.hook_offsets.size()) + " entries; event " +
                     format_uint(e) + " needs entry " + format_uint(e + 1));
  }
  const int64_t h_begin = p.hook_offsets[e];
  const int64_t h_end = p.hook_offsets[e + 1];
  if (h_begin < 0 || h_end < h_begin) {
    return malformed("hook_offsets run " + format_int(h_begin) + ".." + format_int(h_end) + " of event " +
                     format_uint(e) + " is not a run of hooks");
  }
  // Hooks at or past n_hooks are skipped.
  const int64_t h_stop = h_end < p.n_hooks ? h_end : p.n_hooks;

  const Exec x{p, rng, ind, sperm, in, staged, A, Z};
  for (int64_t hh = h_begin; hh < h_stop; ++hh) {
    const size_t h = static_cast<size_t>(hh);
    Result<bool> here = selects_deme(p, h, in.deme);
    if (!here) return here.error();
    if (!*here) continue;

    const int64_t slot = h < p.python_callback_slots.size() ? p.python_callback_slots[h] : -1;
    if (slot >= 0) {
      if (eco_ctx != nullptr) QORIN_TRY(eco_ctx->commit(staged));
      const bool registered = p.has_callback_lists && e < p.callback_lists.size() &&
                              static_cast<uint64_t>(slot) < p.callback_lists[e].size() &&
                              p.callback_lists[e][static_cast<size_t>(slot)] != nullptr;
      if (!registered || host == nullptr) {
        return Error::runtime("hook program references callback " + format_int(slot) + " of event " +
                              format_int(event) + ", but no such callback is registered");
      }
      CallbackCall call;
      call.callable = p.callback_lists[e][static_cast<size_t>(slot)].get();
      call.event = event;
      call.slot = slot;
      call.ind = ind;
      call.sperm = sperm;
      call.tick = in.tick;
      call.deme = in.deme;
      call.staged_scalars = staged;
      call.eco_ctx = eco_ctx;
      call.rng = &rng;
      call.program = &p;
      Result<int32_t> code = host->run(call);
      if (!code) return code.error();
      if (*code != 0) return *code;
      continue;
    }

    Result<Run> ops = run_of(p.op_offsets, "op_offsets", h, p.op_types_data.size(), "op_types_data");
    if (!ops) return ops.error();
    for (size_t i = ops->begin; i < ops->end; ++i) {
      Result<bool> holds = condition_holds(p, i, in.tick);
      if (!holds) return holds.error();
      if (!*holds) continue;
      Result<bool> stop = run_operation(x, i);
      if (!stop) return stop.error();
      if (*stop) return 1;
    }
  }
  return 0;
}

}  // namespace qorin
