#!/usr/bin/env python3
"""Generates the polynomial tables of besselI0 (src/resample/dsp/bessel_i0_table.h).

Three pieces, each split into five rows, every row a polynomial in its own variable:
  small   x < 8.5:        t = (x/4)^2, row int(t), degree 12, value I0(x)
  middle  8.5 <= x < 12.5: f = x - int(x), row int(x) - 8, degree 13, value I0(x)
  large   x >= 12.5:      t = 60/x, row int(t), degree 8, value I0(x) e^-x / sqrt(t)
Each row interpolates its target exactly (rational arithmetic) at Chebyshev points of its
interval; the targets come from the power series of I0 summed to 60 digits. Row 0 of the small
piece keeps the series' own low coefficients 4^i/(i!)^2 and fits only the top ones. The script
then evaluates the rounded tables with Horner's rule in doubles, as the C++ code does, and fails
unless the relative error stays below 2e-15 on 0 <= x <= 22 and below 1e-14 up to 700.

Usage: gen_bessel_i0.py [--check]   (--check: compare with the committed header instead of
writing it). Standard library only.
"""
import math
import os
import sys
from decimal import Decimal, getcontext
from fractions import Fraction

getcontext().prec = 60
HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "src", "resample", "dsp", "bessel_i0_table.h")


def i0_exact(x):
    """I0(x) for a Fraction x, as a Decimal: sum of (x^2/4)^k / (k!)^2."""
    q = Decimal(x.numerator) / Decimal(x.denominator)
    q = q * q / 4
    term = Decimal(1)
    total = Decimal(1)
    k = 0
    while True:
        k += 1
        term = term * q / (k * k)
        total += term
        if term < total * Decimal("1e-58"):
            return total


def exp_exact(x):
    q = Decimal(x.numerator) / Decimal(x.denominator)
    return q.exp()


def to_fraction(d):
    return Fraction(d)  # Decimal -> exact Fraction


def solve(matrix, rhs):
    """Gaussian elimination in exact rational arithmetic."""
    n = len(rhs)
    m = [row[:] + [rhs[i]] for i, row in enumerate(matrix)]
    for col in range(n):
        pivot = next(r for r in range(col, n) if m[r][col] != 0)
        m[col], m[pivot] = m[pivot], m[col]
        for r in range(n):
            if r != col and m[r][col] != 0:
                factor = m[r][col] / m[col][col]
                m[r] = [a - factor * b for a, b in zip(m[r], m[col])]
    return [m[i][n] / m[i][i] for i in range(n)]


def chebyshev_points(lo, hi, count):
    pts = []
    for i in range(count):
        c = math.cos(math.pi * (2 * i + 1) / (2 * count))
        pts.append(Fraction(lo) + (Fraction(hi) - Fraction(lo)) * (1 + Fraction(c)) / 2)
    return pts


def fit(target, lo, hi, degree, fixed=()):
    """Monomial coefficients (lowest first) of the polynomial of the given degree whose first
    len(fixed) coefficients are fixed and which interpolates target at Chebyshev points."""
    free = degree + 1 - len(fixed)
    pts = chebyshev_points(lo, hi, free)
    matrix, rhs = [], []
    for p in pts:
        known = sum(c * p**i for i, c in enumerate(fixed))
        matrix.append([p ** (len(fixed) + i) for i in range(free)])
        rhs.append(target(p) - known)
    return list(fixed) + solve(matrix, rhs)


def small_target(t):
    return to_fraction(i0_exact(4 * sqrt_fraction(t)))


def sqrt_fraction(v):
    d = (Decimal(v.numerator) / Decimal(v.denominator)).sqrt()
    return to_fraction(d)


def large_target(t):
    x = Fraction(60) / t
    return to_fraction(i0_exact(x) / exp_exact(x) / (Decimal(t.numerator) / Decimal(t.denominator)).sqrt())


def build():
    small = []
    for r in range(5):
        hi = min(r + 1, Fraction(8.5) ** 2 / 16) if r == 4 else r + 1
        fixed = [Fraction(4**i, math.factorial(i) ** 2) for i in range(7)] if r == 0 else ()
        small.append(fit(small_target, r, hi, 12, fixed))
    middle = []
    for r in range(8, 13):
        middle.append(fit(lambda f, r=r: to_fraction(i0_exact(r + f)), 0, 1, 13))
    large = []
    for r in range(5):
        lo = Fraction(1, 1000) if r == 0 else r
        hi = Fraction(24, 5) if r == 4 else r + 1
        large.append(fit(large_target, lo, hi, 8))
    # Highest power first, rounded to the nearest double.
    return [[[float(c) for c in reversed(row)] for row in piece] for piece in (small, middle, large)]


def horner(coeffs, v):
    s = 0.0
    for c in coeffs:
        s = s * v + c
    return s


def evaluate(tables, x):
    small, middle, large = tables
    x = abs(x)
    if x < 8.5:
        t = x * x * 0.0625
        return horner(small[int(t)], t)
    if x < 12.5:
        r = int(x)
        return horner(middle[r - 8], x - r)
    t = 60.0 / x
    return math.sqrt(t) * horner(large[int(t)], t) * math.exp(x)


def worst_error(tables, lo, hi, steps):
    worst = 0.0
    for i in range(steps + 1):
        x = lo + (hi - lo) * i / steps
        ref = i0_exact(Fraction(x))
        err = abs((Decimal(evaluate(tables, x)) - ref) / ref)
        worst = max(worst, float(err))
    return worst


def render(tables):
    names = [("kBesselI0Small", 13), ("kBesselI0Middle", 14), ("kBesselI0Large", 9)]
    lines = [
        "#pragma once",
        "",
        "// Generated by tools/gen_bessel_i0.py; regenerate rather than edit.",
        "// Rows are polynomials, highest power first (see besselI0).",
        "",
        "namespace quillon::dsp::detail {",
        "",
        "// clang-format off",
    ]
    for (name, width), piece in zip(names, tables):
        lines.append(f"inline constexpr double {name}[5][{width}] = {{")
        for row in piece:
            lines.append("    {")
            for c in row:
                lines.append(f"        {c!r},")
            lines.append("    },")
        lines.append("};")
        lines.append("")
    lines.append("// clang-format on")
    lines.append("")
    lines.append("} // namespace quillon::dsp::detail")
    return "\n".join(lines) + "\n"


def main():
    tables = build()
    near = worst_error(tables, 0.0, 22.0, 4400)
    far = worst_error(tables, 22.0, 700.0, 2000)
    print(f"max relative error: {near:.3g} on [0, 22], {far:.3g} on [22, 700]", file=sys.stderr)
    if near >= 2e-15 or far >= 1e-14:
        sys.exit("fit not accurate enough")
    text = render(tables)
    if "--check" in sys.argv:
        with open(OUT) as f:
            if f.read() != text:
                sys.exit(f"{OUT} differs from the generated tables")
        print("tables match", file=sys.stderr)
    else:
        with open(OUT, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
