"""Pure-Python model of hook-program execution: event walk, deme selectors,
tick conditions, every opcode, expressions, Op.set_param scheduling, both forms
of Op.convert, Op.clear_sperm, stop codes, the ecology commit with its journal,
and the callback splice. It draws from the pure-Python stream model, so the
engine's results can be compared with it draw for draw.

Programs are plain dicts of Python lists (the shape `hook_program_read`
returns); `program_columns` turns a qorin.hooks.HookProgram into one."""
import math

from model_util import clamp01, round_count, round_half_away
from model_util import format_number as fmt
from rng_model import PyRng

NAN = math.nan
INF = math.inf

SCALAR_NAMES = ("carrying_capacity", "eggs_per_female", "sex_ratio", "sperm_displacement_rate",
                "low_density_growth_rate")
SCALAR_LO = (0.0, 0.0, 0.0, 0.0, 1.0)
SCALAR_HI = (1e12, 1e6, 1.0, 1.0, 1e6)

INT_COLUMNS = (
    "hook_offsets", "op_offsets", "deme_selector_types", "deme_selector_offsets", "deme_selector_data",
    "python_callback_slots", "op_types_data", "age_offsets_data", "age_data", "zidx_offsets_data", "zidx_data",
    "condition_offsets_data", "condition_types_data", "condition_params_data", "sp_param_ids", "sp_every",
    "sp_start", "rpn_offsets", "rpn_kinds", "rpn_payload", "convert_offsets", "convert_source_coords",
    "convert_target_coords", "convert_source_z", "convert_target_z", "clear_offsets", "clear_coords",
)


class HookError(Exception):
    """An event that ends with an error message."""


def program_columns(prog):
    d = {"n_hooks": int(prog.n_hooks), "n_events": int(prog.n_events)}
    for name in INT_COLUMNS:
        d[name] = [int(v) for v in getattr(prog, name)]
    d["params_data"] = [float(v) for v in prog.params_data]
    d["sp_literals"] = [float(v) for v in prog.sp_literals]
    d["sex_masks_data"] = [bool(v) for v in prog.sex_masks_data]
    return d


# ------------------------------------------------------------------ numbers
def max0(x):
    """max(x, 0) ignoring a NaN operand."""
    if x != x:
        return 0.0
    return x if x > 0.0 else 0.0


def fmin(a, b):
    if a != a:
        return b
    if b != b:
        return a
    return a if a < b else b


def fsum(values):
    """Sum in index order, starting at 0.0 (not Python's compensated sum)."""
    s = 0.0
    for v in values:
        s += v
    return s


# ------------------------------------------------------------------ samplers
def binomial(rng, n, p):
    if n < 1 or p <= 0.0:
        return 0.0
    if p >= 1.0:
        return float(n)
    if p != p:
        raise HookError("clamped binomial parameters must be valid")
    return float(rng.binomial(n, p))


def continuous_binomial(rng, n, p):
    if not (math.isfinite(n) and math.isfinite(p)):
        raise HookError("continuous_binomial(): n and p must be finite")
    if p <= 1e-10:
        return 0.0
    if p >= 0.9999999999:
        return n
    if n <= 1.0000000001:
        return n * p
    a = rng.gamma(max(p * (n - 1.0), 1e-10))
    b = rng.gamma(max((n - 1.0) * (1.0 - p), 1e-10))
    if a == 0.0:
        return 0.0
    return n * (a / (a + b))


def convert_count(rng, count, p, stochastic, continuous):
    if count <= 0.0:
        return 0.0
    if not stochastic:
        return count * p
    if not continuous:
        return binomial(rng, round_count(count), p)
    return continuous_binomial(rng, count, p)


# ------------------------------------------------------------------ commit
class Ecology:
    """Five scalar values per deme, as the test context builds them."""

    def __init__(self, values, n_demes):
        vals = [float(values[i]) if i < len(values) else 0.0 for i in range(5)]
        self.demes = [list(vals) for _ in range(n_demes)]


def commit(ecology, deme, tick, stage, staged, journal):
    n = len(staged)
    for i in range(n):
        v = staged[i]
        if not (math.isfinite(v) and SCALAR_LO[i] <= v <= SCALAR_HI[i]):
            raise HookError(f"set_param value out of bounds: '{SCALAR_NAMES[i]}' requires a value in "
                            f"[{fmt(SCALAR_LO[i])}, {fmt(SCALAR_HI[i])}], got {fmt(v)} (tick {tick})")
    if n < 5:
        g = ecology.demes[deme][4]
        if not (math.isfinite(g) and g >= 1.0):
            raise HookError("ValueError: low_density_growth_rate must be finite and at least 1.0")
    for i in range(n):
        old, new = ecology.demes[deme][i], staged[i]
        if old != new:
            journal.append((tick, i, old, new, stage))
        ecology.demes[deme][i] = new


# ------------------------------------------------------------------ splice
def install_callback_lists(p, lists):
    """Returns a new program dict with callback hooks for every callable."""
    p = {k: (list(v) if isinstance(v, list) else v) for k, v in p.items()}
    E = len(lists)
    nh, ne = p["n_hooks"], p["n_events"]

    def pad_repeat(col, n):
        last = col[-1] if col else 0
        col.extend([last] * (n - len(col)))

    if not p["op_offsets"]:
        p["op_offsets"].append(0)
    p["python_callback_slots"].extend([-1] * (nh - len(p["python_callback_slots"])))
    pad_repeat(p["deme_selector_offsets"], nh + 1)
    p["deme_selector_types"].extend([0] * (nh - len(p["deme_selector_types"])))
    pad_repeat(p["hook_offsets"], ne + 1)
    if E > ne:
        pad_repeat(p["hook_offsets"], E + 1)
        p["n_events"] = E
    slots = p["python_callback_slots"]
    for e in range(E):
        lo, hi = p["hook_offsets"][e], p["hook_offsets"][e + 1]
        have = sum(1 for h in range(lo, hi) if slots[h] >= 0)
        want = len(lists[e])
        if have < want:
            add = want - have
            sel_at, op_at = p["deme_selector_offsets"][hi], p["op_offsets"][hi]
            for k in range(add):
                slots.insert(hi + k, have + k)
                p["deme_selector_types"].insert(hi + k, 0)
                p["deme_selector_offsets"].insert(hi + k, sel_at)
                p["op_offsets"].insert(hi + k, op_at)
            for b in range(e + 1, len(p["hook_offsets"])):
                p["hook_offsets"][b] += add
            p["n_hooks"] += add
        elif have > want:
            for h in range(lo, hi):
                if slots[h] >= want:
                    slots[h] = -1
    p["callback_lists"] = [list(x) for x in lists]
    return p


def clear_callbacks(p):
    p = {k: (list(v) if isinstance(v, list) else v) for k, v in p.items()}
    if p["n_hooks"] >= 1 and not p["op_types_data"]:
        p = {k: ([] if isinstance(v, list) else v) for k, v in p.items()}
        p["n_hooks"] = p["n_events"] = 0
    else:
        p["python_callback_slots"] = [-1] * len(p["python_callback_slots"])
    p["callback_lists"] = [[], [], [], []]
    return p


# ------------------------------------------------------------------ execution
class _Event:
    def __init__(self, p, rng, ind, sperm, A, Z, tick, deme, staged, stochastic, continuous,
                 ecology, journal, stage, calls):
        self.p, self.rng, self.ind, self.sperm = p, rng, ind, sperm
        self.A, self.Z, self.tick, self.deme, self.staged = A, Z, tick, deme, staged
        self.stochastic, self.continuous = stochastic, continuous
        self.ecology, self.journal, self.stage, self.calls = ecology, journal, stage, calls

    def count(self, c, prob):
        return convert_count(self.rng, c, prob, self.stochastic, self.continuous)

    def moved(self, c, prob):
        """Individuals Op.convert moves: in the deterministic product a
        probability outside [0, 1] counts as 0 or 1, as it does for the
        samplers, and NaN is refused."""
        if not self.stochastic and c > 0.0:
            if prob != prob:
                raise HookError("Op.convert probability must be a number, got NaN")
            prob = min(max(prob, 0.0), 1.0)
        return self.count(c, prob)

    def cell(self, s, a, z):
        return (s * self.A + a) * self.Z + z

    def row(self, a, z):
        b = (a * self.Z + z) * self.Z
        return range(b, b + self.Z)

    # -- conditions
    def condition(self, i):
        p = self.p
        b, e = p["condition_offsets_data"][i], p["condition_offsets_data"][i + 1]
        if b == e:
            return True
        t, stack = self.tick, []
        for k in range(b, e):
            kind, q = p["condition_types_data"][k], p["condition_params_data"][k]
            if kind == 1:
                stack.append(t == q)
            elif kind == 2:
                stack.append(q > 0 and t % q == 0)
            elif kind == 3:
                stack.append(t >= q)
            elif kind == 4:
                stack.append(t < q)
            elif kind == 5:
                stack.append(t <= q)
            elif kind == 6:
                stack.append(t > q)
            elif kind <= 0:
                stack.append(True)
            elif kind in (100, 101):
                if len(stack) < 2:
                    return False
                right, left = stack.pop(), stack.pop()
                stack.append((left and right) if kind == 100 else (left or right))
            elif kind == 102:
                if not stack:
                    return False
                stack[-1] = not stack[-1]
            else:
                return False
        return len(stack) == 1 and stack[0]

    # -- selections
    def selection(self, i):
        p = self.p
        ages = p["age_data"][p["age_offsets_data"][i]:p["age_offsets_data"][i + 1]]
        zs = p["zidx_data"][p["zidx_offsets_data"][i]:p["zidx_offsets_data"][i + 1]]
        for s in (0, 1):
            if not p["sex_masks_data"][2 * i + s]:
                continue
            for a in ages:
                if not 0 <= a < self.A:
                    continue
                for z in zs:
                    if 0 <= z < self.Z:
                        yield s, a, z

    # -- cell operations
    @staticmethod
    def target(opcode, prm, old):
        if opcode == 0:
            return max0(prm * old)
        if opcode == 1:
            return max0(prm)
        if opcode == 2:
            return max0(old + prm)
        if opcode == 3:
            return max0(old - prm)
        if opcode == 4:
            return max0((1.0 - prm) * old)
        return fmin(old, max0(prm))

    def apply_cell(self, opcode, prm, s, a, z):
        ind, sperm = self.ind, self.sperm
        c = self.cell(s, a, z)
        old = ind[c]
        target = self.target(opcode, prm, old)
        integer_counts = self.stochastic and not self.continuous
        if s == 1 or not sperm:
            if integer_counts:
                old = round_half_away(old)
            if target >= old:
                ind[c] = target
            elif old <= 0.0:
                ind[c] = 0.0
            else:
                ind[c] = self.count(old, clamp01(target / old))
            return
        row = self.row(a, z)
        if not self.stochastic:
            if target >= old:
                ind[c] = target
            elif old <= 0.0:
                for r in row:
                    sperm[r] = 0.0
                ind[c] = 0.0
            else:
                f = clamp01(target / old)
                for r in row:
                    sperm[r] *= f
                ind[c] = target
            return
        if integer_counts:
            old = round_half_away(old)
        if target >= old:
            ind[c] = target
            return
        if old <= 0.0:
            for r in row:
                sperm[r] = 0.0
            ind[c] = 0.0
            return
        mated = fsum(sperm[r] for r in row)
        prob = clamp01(target / old)
        virgins = old - mated
        if old - mated < -(1e-10 * mated if mated > 1.0 else 1e-10):
            raise HookError("Invalid state: n_virgins < 0 in apply_target_with_sperm: n_virgins_raw="
                            f"{fmt(virgins)}, n_f_raw={fmt(old)}, total_sperm={fmt(mated)}")
        virgins = max0(virgins)
        if integer_counts:
            virgins = round_half_away(virgins)
        for r in row:
            x = sperm[r]
            if self.continuous:
                sperm[r] = continuous_binomial(self.rng, x, prob) if x > 0.0 else 0.0
            else:
                n = round_count(x)
                sperm[r] = binomial(self.rng, n, prob) if n > 0 else 0.0
        ind[c] = fsum(sperm[r] for r in row) + convert_count(self.rng, virgins, prob, True, self.continuous)

    # -- expressions
    def rpn(self, start, end):
        p = self.p
        if start >= end:
            return NAN
        stack = []
        for k in range(start, end):
            kind, payload = p["rpn_kinds"][k], p["rpn_payload"][k]
            if kind == 0:
                if not 0 <= payload < len(p["sp_literals"]):
                    raise HookError(f"malformed hook program: expression literal {payload} is outside "
                                    f"sp_literals ({len(p['sp_literals'])} entries)")
                stack.append(p["sp_literals"][payload])
                continue
            if kind == 1:
                if not 0 <= payload < len(self.staged):
                    raise HookError(f"malformed hook program: expression parameter {payload} is outside the "
                                    f"{len(self.staged)} staged scalars")
                stack.append(self.staged[payload])
                continue
            right = stack.pop() if stack else NAN
            left = stack.pop() if stack else NAN
            if kind == 2:
                v = left + right
            elif kind == 3:
                v = left - right
            elif kind == 4:
                v = left * right
            elif kind == 5:
                if right == 0.0:
                    v = INF if left > 0.0 else (-INF if left < 0.0 else NAN)
                else:
                    v = left / right
            else:
                v = NAN
            stack.append(v)
        return stack[0] if stack else NAN

    def set_param(self, i):
        p = self.p
        every, start = p["sp_every"][i], p["sp_start"][i]
        if every < 1:
            raise HookError(f"sp_every must be positive, got {every} at operation {i}")
        if not (self.tick >= start and (self.tick - start) % every == 0):
            return
        value = self.rpn(p["rpn_offsets"][i], p["rpn_offsets"][i + 1])
        pid = p["sp_param_ids"][i]
        if 0 <= pid < len(self.staged):
            self.staged[pid] = value

    # -- Op.convert
    def convert(self, i, prob):
        p = self.p
        off = p["convert_offsets"]
        if i + 1 < len(off) and off[i] < off[i + 1]:
            self.convert_pairs(off[i], off[i + 1], prob)
        else:
            self.convert_genotype(i, prob)

    def convert_pairs(self, start, end, prob):
        p, ind, sperm, A, Z = self.p, self.ind, self.sperm, self.A, self.Z
        ind0, sperm0 = list(ind), list(sperm)
        for k in range(start, end):
            ss, sa, sz = p["convert_source_coords"][3 * k:3 * k + 3]
            ts, ta, tz = p["convert_target_coords"][3 * k:3 * k + 3]
            inside = (0 <= sz < Z and 0 <= sa < A and 0 <= ss <= 1 and 0 <= ts <= 1 and 0 <= ta < A
                      and 0 <= tz < Z)
            if not inside:
                raise HookError("Op.convert selector mapping is outside state bounds")
            src, tgt = self.cell(ss, sa, sz), self.cell(ts, ta, tz)
            if src == tgt:
                continue
            # A source shared by several pairs never gives more than it still holds.
            if ss == 1 or not sperm:
                moved = min(self.moved(ind0[src], prob), max0(ind[src]))
            else:
                mated, moved = 0.0, 0.0
                srow, trow = self.row(sa, sz), self.row(ta, tz)
                for m in range(Z):
                    x = sperm0[srow[m]]
                    y = min(self.moved(x, prob), max0(sperm[srow[m]]))
                    mated += x
                    moved += y
                    sperm[srow[m]] -= y
                    if ts == 0:
                        sperm[trow[m]] += y
                v = self.moved(max0(ind0[src] - mated), prob)
                live_stored = 0.0
                for m in range(Z):
                    live_stored += sperm[srow[m]]
                moved += min(v, max0(ind[src] - moved - live_stored))
            ind[src] -= moved
            ind[tgt] += moved

    def convert_genotype(self, i, prob):
        p, ind, sperm, A, Z = self.p, self.ind, self.sperm, self.A, self.Z
        sz, tz = p["convert_source_z"][i], p["convert_target_z"][i]
        if A == 0 or not 0 <= sz < Z or not 0 <= tz < Z:
            return
        for a in range(A):
            src, tgt = self.cell(1, a, sz), self.cell(1, a, tz)
            m = self.moved(ind[src], prob)
            ind[src] -= m
            ind[tgt] += m
            src, tgt = self.cell(0, a, sz), self.cell(0, a, tz)
            if not sperm:
                moved = self.moved(ind[src], prob)
            else:
                rs, rt = self.row(a, sz), self.row(a, tz)
                mated = fsum(sperm[r] for r in rs)
                moved = 0.0
                for m in range(Z):
                    y = self.moved(sperm[rs[m]], prob)
                    sperm[rs[m]] -= y
                    sperm[rt[m]] += y
                    moved += y
                moved += self.moved(max0(ind[src] - mated), prob)
            ind[src] -= moved
            ind[tgt] += moved

    def clear_sperm(self, i):
        p = self.p
        off = p["clear_offsets"]
        if not self.sperm or i + 1 >= len(off) or off[i] == off[i + 1]:
            return
        for k in range(off[i], off[i + 1]):
            s, a, z = p["clear_coords"][3 * k:3 * k + 3]
            if s == 0 and 0 <= a < self.A and 0 <= z < self.Z:
                for r in self.row(a, z):
                    self.sperm[r] = 0.0

    # -- one operation; True requests a stop
    def operation(self, i):
        p = self.p
        opcode = p["op_types_data"][i]
        if opcode <= 5:
            prm = p["params_data"][i]
            for s, a, z in list(self.selection(i)):
                self.apply_cell(opcode, prm, s, a, z)
            return False
        if opcode <= 8:
            total = 0.0
            for s, a, z in self.selection(i):
                total += self.ind[self.cell(s, a, z)]
            if opcode == 6:
                return total <= 0.0
            if opcode == 7:
                return total < p["params_data"][i]
            return total > p["params_data"][i]
        if opcode == 9:
            return not self.ind or fsum(self.ind) <= 0.0
        if opcode == 10:
            self.set_param(i)
        elif opcode == 11:
            self.convert(i, p["params_data"][i])
        else:
            self.clear_sperm(i)
        return False

    def selects(self, h):
        p, d = self.p, self.deme
        kind = p["deme_selector_types"][h]
        data = p["deme_selector_data"]
        if kind == 1:
            r = p["deme_selector_offsets"][h]
            return 0 <= r < len(data) and data[r] == d
        if kind == 2:
            r = p["deme_selector_offsets"][h]
            return 0 <= r and r + 1 < len(data) and data[r] <= d < data[r + 1]
        if kind == 3:
            r, e = p["deme_selector_offsets"][h], p["deme_selector_offsets"][h + 1]
            return any(data[k] == d for k in range(max(r, 0), min(e, len(data))))
        return True

    def run(self, event):
        p = self.p
        for i, opcode in enumerate(p["op_types_data"]):
            if not 0 <= opcode <= 12:
                raise HookError(f"Unknown mutation opcode {opcode} at operation {i}")
        if event >= p["n_events"] or p["n_hooks"] == 0:
            return 0
        lists = p.get("callback_lists")
        for h in range(p["hook_offsets"][event], p["hook_offsets"][event + 1]):
            if h >= p["n_hooks"]:
                continue
            if not self.selects(h):
                continue
            slots = p["python_callback_slots"]
            s = slots[h] if h < len(slots) else -1
            if s >= 0:
                if self.ecology is not None:
                    commit(self.ecology, self.deme, self.tick, self.stage, self.staged, self.journal)
                if lists is None or event >= len(lists) or s >= len(lists[event]):
                    raise HookError(f"hook program references callback {s} of event {event}, "
                                    "but no such callback is registered")
                self.calls.append((event, s, list(self.staged)))
                code = lists[event][s]
                if code != 0:
                    return code
                continue
            for i in range(p["op_offsets"][h], p["op_offsets"][h + 1]):
                if self.condition(i) and self.operation(i):
                    return 1
        return 0


def run_event(p, event, ind, sperm, A, Z, tick, deme=0, staged=None, words=None, mode="deterministic",
              eco=None, callbacks=None, n_demes=0):
    """Mirrors `_engine_testing.run_event(..., keep_state_on_error=True)`."""
    if callbacks is not None:
        p = install_callback_lists(p, callbacks)
    rng = PyRng(words)
    ind, sperm = [float(v) for v in ind], [float(v) for v in sperm]
    staged = [float(v) for v in (staged or [])]
    ecology = Ecology(eco, n_demes if n_demes > 0 else deme + 1) if eco is not None else None
    journal, calls = [], []
    ev = _Event(p, rng, ind, sperm, A, Z, tick, deme, staged, mode != "deterministic", mode == "continuous",
                ecology, journal, 2 * event, calls)
    code, error = None, None
    try:
        code = ev.run(event)
    except HookError as e:
        error = str(e)
    return {"ind": ind, "sperm": sperm, "staged": staged, "words": list(rng.s), "code": code, "error": error,
            "journal": journal, "eco": list(ecology.demes[deme]) if ecology is not None else [],
            "calls": calls}
