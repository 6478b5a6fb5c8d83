"""Small numeric helpers shared by the pure-Python models of the engine."""

import math
from decimal import Decimal


def round_half_away(x):
    """Nearest integer, halves away from zero (as C's round)."""
    if math.isnan(x) or math.isinf(x):
        return x
    a = abs(x)
    f = math.floor(a)
    r = float(f + 1) if a - f >= 0.5 else float(f)
    return math.copysign(r, x)


def round_count(x):
    """A count rounded for an integer draw; NaN and negatives give 0."""
    if not x > 0:
        return 0
    r = round_half_away(x)
    if r >= 9223372036854775807.0:
        return 9223372036854775807
    return int(r)


def clamp01(x):
    """Clamp to [0, 1]; NaN becomes 0."""
    if not x > 0:
        return 0.0
    return 1.0 if x >= 1 else x


def format_number(x):
    """Shortest round-trip decimal without exponent; integral values lose '.0'."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "-inf" if x < 0 else "inf"
    text = format(Decimal(repr(x)).normalize(), "f")
    return "-" + text if math.copysign(1.0, x) < 0 and not text.startswith("-") else text
