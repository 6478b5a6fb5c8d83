"""The model's fields and the engine's codes, as the engine declares them.

Every ecology scalar, ecology tensor and genetics tensor is described once, in
the file ``_fields.def`` shipped with this package; the engine is compiled from
the same file. This module reads it at import, so the names, parameter ids,
shapes and bounds used by ``Params``, hooks, scenario files and landscapes are
the engine's own::

    from qorin import fields
    fields.FIELDS["sex_ratio"].upper                     # 1.0
    fields.shape("survival_rates", n_ages=4)             # (2, 4)
    fields.ECOLOGY_SCALARS                                # names in table order

``CODES`` holds the codes of hook programs, of the tick's stages and of the
samplers of the newborns (from ``_codes.def``): ``CODES["Opcode"]["kill"]`` is
the opcode of a kill operation. ``qorin.hooks`` exposes the hook codes as named
constants, ``qorin.contracts.SAMPLERS`` the samplers' names.
"""

from __future__ import annotations

import math
import os
import re
from dataclasses import dataclass

__all__ = [
    "Field", "FIELDS", "ECOLOGY_SCALARS", "ECOLOGY_TENSORS", "GENETICS_TENSORS", "PARAM_IDS",
    "PARAM_NAMES", "CODES", "shape",
]

_HERE = os.path.dirname(os.path.abspath(__file__))


@dataclass(frozen=True)
class Field:
    """One field of a model's parameters.

    ``group`` is "EcologyScalar", "EcologyTensor" or "Genetics"; ``param_id``
    the id hooks use to stage and set it (-1: none); ``kind`` "Real" (float64)
    or "Integer" (int64, integral values); ``axes`` the layout of one deme's
    block, each axis a product of "2" (sex), "A" (ages), "Z" (genotypes) and
    "G" (gamete types), empty for a scalar; a value is allowed when it is
    finite and in ``[lower, upper]`` (integral for an Integer field) or equal to
    ``absent`` (the value meaning "not given", NaN when there is none);
    ``optional`` tensors may be empty; ``per_deme`` fields hold one entry or
    block per deme of a landscape, the others one per model.
    """

    name: str
    group: str
    param_id: int
    kind: str
    axes: tuple
    lower: float
    upper: float
    absent: float
    optional: bool
    per_deme: bool

    @property
    def is_scalar(self) -> bool:
        return self.group == "EcologyScalar"

    @property
    def integral(self) -> bool:
        return self.kind == "Integer"

    @property
    def has_absent(self) -> bool:
        return not math.isnan(self.absent)

    def admits(self, value: float) -> bool:
        """Whether the engine accepts `value` for this field (a scalar's gate;
        for a tensor, the bounds every element must keep)."""
        v = float(value)
        if not math.isfinite(v):
            return False
        if v == self.absent:
            return True
        if self.integral and v != math.floor(v):
            return False
        return self.lower <= v <= self.upper


_FIELD_LINE = re.compile(
    r'^QORIN_FIELD\(\s*(\w+)\s*,\s*(\w+)\s*,\s*(-?\d+)\s*,\s*(\w+)\s*,\s*"([^"]*)"\s*,'
    r'\s*([^,\s]+)\s*,\s*([^,\s]+)\s*,\s*([^,\s]+)\s*,\s*(\w+)\s*,\s*(\w+)\s*\)\s*$')
_CODE_LINE = re.compile(r'^QORIN_CODE\(\s*(\w+)\s*,\s*(\w+)\s*,\s*(-?\d+)\s*,\s*"([^"]*)"\s*\)\s*$')


def _entries(filename: str, pattern: re.Pattern, macro: str) -> list:
    """The matches of `pattern`, one per entry line of a table file (comments
    and blank lines skipped; any other line is an error)."""
    out = []
    with open(os.path.join(_HERE, filename), encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            text = line.strip()
            if not text or text.startswith("//"):
                continue
            m = pattern.match(text)
            if m is None or not text.startswith(macro + "("):
                raise RuntimeError(f"{filename}:{number}: not a {macro} entry: {text!r}")
            out.append(m.groups())
    return out


def _read_fields() -> dict:
    fields = {}
    for (name, group, pid, kind, axes, lower, upper, absent, presence,
         scope) in _entries("_fields.def", _FIELD_LINE, "QORIN_FIELD"):
        fields[name] = Field(
            name=name, group=group, param_id=int(pid), kind=kind,
            axes=tuple(a.strip() for a in axes.split(",")) if axes else (),
            lower=float(lower), upper=float(upper), absent=float(absent),
            optional=presence == "Optional", per_deme=scope == "PerDeme")
    return fields


def _read_codes() -> dict:
    codes: dict = {}
    for family, _name, value, label in _entries("_codes.def", _CODE_LINE, "QORIN_CODE"):
        codes.setdefault(family, {})[label] = int(value)
    return codes


#: Every field by name, in table order.
FIELDS: dict = _read_fields()
#: Names of each group, in table order (the order the engine walks them).
ECOLOGY_SCALARS = tuple(n for n, f in FIELDS.items() if f.group == "EcologyScalar")
ECOLOGY_TENSORS = tuple(n for n, f in FIELDS.items() if f.group == "EcologyTensor")
GENETICS_TENSORS = tuple(n for n, f in FIELDS.items() if f.group == "Genetics")
#: The scalars hooks may stage and set, by name and by id.
PARAM_IDS = {n: f.param_id for n, f in sorted(FIELDS.items(), key=lambda kv: kv[1].param_id)
             if f.param_id >= 0}
PARAM_NAMES = tuple(PARAM_IDS)
#: {family: {label: code}} for the families Event, Stage, Opcode, Condition,
#: Token, DemeSelector and Sampler.
CODES: dict = _read_codes()


def _axis_len(axis: str, dims: dict) -> int:
    n = 1
    for factor in axis.split("*"):
        factor = factor.strip()
        n *= int(factor) if factor.isdigit() else dims[factor]
    return n


def shape(name: str, n_ages: int = 0, n_ztypes: int = 0, n_gtypes: int = 0) -> tuple:
    """The layout of one deme's block of field `name` for the given dimensions
    (``()`` for a scalar); ``KeyError`` for a name that is not a field."""
    f = FIELDS[name]
    dims = {"A": int(n_ages), "Z": int(n_ztypes), "G": int(n_gtypes)}
    return tuple(_axis_len(axis, dims) for axis in f.axes)
