"""Pure-Python model of the session random stream: xoshiro256++ seeded by
SplitMix64, the float conversions and the samplers, written from the
algorithms' descriptions and used as an independent oracle by the tests."""
import math
import struct

from qorin import _engine_testing as t

M64 = (1 << 64) - 1


# ---------------------------------------------------------------------------
# Pure-Python model of the stream (an independent oracle)
# ---------------------------------------------------------------------------
def splitmix_words(seed):
    x, out = seed, []
    for _ in range(4):
        x = (x + 0x9E3779B97F4A7C15) & M64
        z = x
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
        out.append(z ^ (z >> 31))
    return out


def rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & M64


def bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


class PyRng:
    def __init__(self, words):
        self.s = list(words)

    def u64(self):
        s = self.s
        out = (rotl((s[0] + s[3]) & M64, 23) + s[0]) & M64
        t1 = (s[1] << 17) & M64
        s[2] ^= s[0]; s[3] ^= s[1]; s[1] ^= s[2]; s[0] ^= s[3]; s[2] ^= t1
        s[3] = rotl(s[3], 45)
        return out

    def uniform01(self):
        return (self.u64() >> 11) * 2.0**-53

    def open01(self):
        return bits((self.u64() >> 12) | 0x3FF0000000000000) - (1 - 2.0**-53)

    def normal(self):
        nx, nf, R = TABLES["normal_x"], TABLES["normal_f"], 3.654152885361009
        while True:
            x = self.u64()
            i = x & 0xFF
            u = bits((x >> 12) | 0x4000000000000000) - 3.0
            z = u * nx[i]
            if abs(z) < nx[i + 1]:
                return z
            if i == 0:
                while True:
                    xt = math.log(self.open01()) / R
                    yt = math.log(self.open01())
                    if not (-2 * yt < xt * xt):
                        return xt - R if u < 0 else R - xt
            if nf[i + 1] + self.uniform01() * (nf[i] - nf[i + 1]) < math.exp(-z * z / 2):
                return z

    def exponential(self):
        ex, ef = TABLES["exp_x"], TABLES["exp_f"]
        while True:
            x = self.u64()
            i = x & 0xFF
            z = (bits((x >> 12) | 0x3FF0000000000000) - (1 - 2.0**-53)) * ex[i]
            if z < ex[i + 1]:
                return z
            if i == 0:
                u = self.uniform01()
                return math.inf if u == 0 else 7.69711747013105 - math.log(u)
            if ef[i + 1] + self.uniform01() * (ef[i] - ef[i + 1]) < math.exp(-z):
                return z

    def gamma(self, a):
        if a >= 2.0**104:
            return a
        if a >= 1e8:
            return max(a + math.sqrt(a) * self.normal(), 0.0)
        if a <= 1e-10:
            return 0.0
        if a == 1:
            return self.exponential()
        u0 = self.open01() if a < 1 else None
        d = (a + 1) - 1 / 3 if a < 1 else a + -0.3333333333333333
        c = 1 / math.sqrt(9 * d)
        while True:
            z = self.normal()
            tt = 1 + c * z
            if tt <= 0:
                continue
            v = tt * tt * tt
            u = self.open01()
            if u < 1 - (0.0331 * (z * z)) * (z * z) or math.log(u) < 0.5 * (z * z) + d * (1 - v + math.log(v)):
                break
        return d * (u0 ** (1 / a) * v) if a < 1 else d * v

    def knuth(self, lam):
        e, p, k = math.exp(-lam), self.uniform01(), 1
        while p > e:
            p *= self.uniform01()
            k += 1
        return k - 1

    def poisson(self, lam):
        if lam <= 1e-10:
            return 0
        if lam < 12:
            return self.knuth(lam)
        b1 = (1 / 24) / lam
        b2 = 0.3 * b1 * b1
        c3 = (1 / 7) * b1 * b2
        c2, c1, c0 = b2 - 15 * c3, b1 - 6 * b2 + 45 * c3, 1 - b1 + 3 * b2 - 15 * c3
        s, D, L = math.sqrt(lam), 6 * (lam * lam), math.floor(lam - 1.1484)
        c, omega = 0.1069 / lam, 0.3989422804014327 / s
        A = [-0.5000000002, 0.3333333343, -0.2499998565, 0.1999997049, -0.1666848753,
             0.1428833286, -0.1241963125, 0.1101687109, -0.1142650302, 0.1055093006]

        def F(k):
            if k < 10:
                px, py = -lam, lam ** float(k) / math.factorial(k)
            else:
                delta = 1 / (12 * k)
                delta = delta - 4.8 * (delta * delta * delta)
                v = (lam - k) / k
                if abs(v) <= 0.25:
                    acc = 0.0
                    for a in reversed(A):
                        acc = acc * v + a
                    px = k * (v * v) * acc - delta
                else:
                    px = k * math.log(1 + v) - (lam - k) - delta
                py = 0.3989422804014327 / math.sqrt(k)
            x = (k - lam + 0.5) / s
            return px, py, -0.5 * x * x, omega * (((c3 * (x * x) + c2) * (x * x) + c1) * (x * x) + c0)

        g = lam + s * self.normal()
        if g >= 0:
            k = math.floor(g)
            if k >= L:
                return k
            u = self.uniform01()
            if D * u >= (lam - k) * (lam - k) * (lam - k):
                return k
            px, py, fx, fy = F(k)
            if fy * (1 - u) <= py * math.exp(px - fx):
                return k
        while True:
            e = self.exponential()
            u = 2 * self.uniform01() - 1
            tt = 1.8 + math.copysign(e, u)
            if tt <= -0.6744:
                continue
            k = math.floor(lam + s * tt)
            px, py, fx, fy = F(k)
            if c * abs(u) <= py * math.exp(px + e) - fy * math.exp(fx + e):
                return k

    def binomial(self, n, p):
        if n < 1 or p <= 0:
            return 0
        if p >= 1:
            return n
        flip = p > 0.5
        pp = 1 - p if flip else p
        q = 1 - pp
        np_ = n * pp
        if np_ < 10 and q == 1:
            return self.knuth(np_)
        if np_ < 10:
            r0, s = q ** float(n), pp / q
            a = (n + 1) * s
            u, x, r = self.uniform01(), 0, r0
            while u > r:
                if x == 110:
                    u, x, r = self.uniform01(), 0, r0
                    continue
                x += 1
                u -= r
                r *= a / x - s
            return n - x if flip else x
        y = self._btpe(n, pp, q, np_)
        return n - y if flip else y

    def _btpe(self, n, p, q, np_):
        npq = np_ * q
        p1 = math.floor(2.195 * math.sqrt(npq) - 4.6 * q) + 0.5
        m = int(np_ + p)
        xm = m + 0.5
        xl, xr = xm - p1, xm + p1
        c = 0.134 + 20.5 / (15.3 + m)
        fm = np_ + p
        lam = lambda a: a * (1 + 0.5 * a)  # noqa: E731
        ll, lr = lam((fm - xl) / (fm - xl * p)), lam((xr - fm) / (xr * q))
        p2 = p1 * (1 + 2 * c)
        p3 = p2 + c / ll
        p4 = p3 + c / lr
        unit = lambda: bits((self.u64() >> 12) | 0x3FF0000000000000) - 1.0  # noqa: E731
        stir = lambda a: (13860 - (462 - (132 - (99 - 140 / (a * a)) / (a * a)) / (a * a)) / (a * a)) / a / 166320  # noqa
        while True:
            u = unit() * p4
            v = unit()
            if u <= p1:
                return int((xm - p1 * v) + u)
            if u <= p2:
                x = xl + (u - p1) / c
                v = v * c + 1 - abs(x - xm) / p1
                if v > 1:
                    continue
                y = int(x)
            elif u <= p3:
                w = xl + math.log(v) / ll if v > 0 else -math.inf
                if w < 0:
                    continue
                y = int(w)
                v = v * ((u - p2) * ll)
            else:
                if v == 0:
                    continue
                y = int(max(xr - math.log(v) / lr, 0.0))
                if y > n:
                    continue
                v = v * ((u - p3) * lr)
            k = abs(y - m)
            if not (k > 20 and k < 0.5 * npq - 1):
                f, s = 1.0, p / q
                a = s * (n + 1)
                for i in range(m + 1, y + 1):
                    f = f * (a / i - s)
                for i in range(y + 1, m + 1):
                    f = f / (a / i - s)
                if v <= f:
                    return y
                continue
            rho = (k / npq) * ((k * (k / 3 + 0.625) + 1 / 6) / npq + 0.5)
            tt = -0.5 * k * k / npq
            alpha = math.log(v)
            if alpha < tt - rho:
                return y
            if alpha > tt + rho:
                continue
            x1, f1, z, w = y + 1, m + 1, n + 1 - m, n - y + 1
            bound = (xm * math.log(f1 / x1) + ((n - m) + 0.5) * math.log(z / w)
                     + (y - m) * math.log(w * p / (x1 * q)) + stir(f1) + stir(z) - stir(x1) - stir(w))
            if alpha <= bound:
                return y


TABLES = {name: t.rng_table(name).tolist() for name in ("normal_x", "normal_f", "exp_x", "exp_f")}
