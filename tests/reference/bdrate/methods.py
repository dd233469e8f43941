#!/usr/bin/env python3
# Makes methods.txt: the BD-rate of a handful of RD curve pairs by the `bjontegaard` package
# (methods pchip, akima and cubic: its bd_rate with require_matching_points=False) and by AWCY's
# arithmetic (PCHIP of ln(rate) against quality, points in the order of rate, the mean difference
# at 5000 samples stepping from the larger lowest quality), worked here with SciPy and NumPy.
# Each line: case|method|anchor points|test points|percent, or "none" where the method gives no
# value; points are "rate,quality" joined by ';', in the order of quality.
# The cubic fit is ill-conditioned near a ceiling (the powers of qualities near 99 are almost
# dependent): its lines carry the least-squares cubic solved in exact rational arithmetic (with
# log10 of the rates to 50 digits), and a sixth field with the package's value where it strays
# from that by more than 1e-9.
# The package fits its cubic through fewer than four points too (NumPy's least-norm solution, which
# depends on scaling); vidqual gives no value there, and so its lines here say none.
# Needs: the bjontegaard package (pip install bjontegaard, or PYTHONPATH at its source), SciPy, NumPy.
# Usage: methods.py > methods.txt
import math
import sys
from decimal import Decimal, getcontext
from fractions import Fraction
import types
import warnings

import numpy as np
import scipy.interpolate

# The package imports matplotlib for its plots, which are not used here.
if "matplotlib" not in sys.modules:
    try:
        import matplotlib.pyplot  # noqa: F401
    except ImportError:
        stub = types.ModuleType("matplotlib")
        stub.pyplot = types.ModuleType("matplotlib.pyplot")
        sys.modules["matplotlib"] = stub
        sys.modules["matplotlib.pyplot"] = stub.pyplot
import bjontegaard  # noqa: E402

# Name -> (anchor, test): lists of (rate, quality).
CASES = {
    # Four PSNR points each, the test a little better throughout.
    "psnr4": ([(1000, 32.1), (2000, 35.0), (4000, 37.6), (8000, 40.0)],
              [(900, 32.5), (1750, 35.3), (3600, 37.9), (7000, 40.4)]),
    # Six points of AOM's published results: BoxingPractice, random access, PSNR Y, v1.0.0
    # against v12.0.0.
    "aom6": ([(351.665565, 31.467536), (740.165680, 34.732981), (1543.794052, 37.709652),
              (3134.470453, 39.929037), (7288.596942, 41.355545), (19260.375317, 42.256138)],
             [(294.473526, 32.415755), (635.372013, 35.573079), (1323.793745, 38.282681),
              (2744.686698, 40.302305), (6621.971260, 41.571398), (18689.672174, 42.396851)]),
    # Unequal counts and a partial overlap.
    "unequal": ([(400, 30.0), (800, 33.2), (1600, 36.1), (3200, 38.7), (6400, 41.0)],
                [(700, 33.9), (1500, 37.0), (3000, 39.6), (6000, 41.9)]),
    # Three points: the fewest AWCY's PCHIP takes.
    "three": ([(1000, 34.0), (2500, 37.5), (6000, 40.2)],
              [(800, 33.6), (2000, 37.1), (5000, 40.0)]),
    # Two points: every interpolant is the line.
    "two": ([(1000, 34.0), (4000, 39.0)], [(900, 34.5), (3500, 39.2)]),
    # VMAF near its ceiling: the cubic fit swings, PCHIP and Akima keep to the points.
    "vmaf_flat": ([(2000, 93.1), (4000, 97.2), (8000, 99.1), (16000, 99.6)],
                  [(1800, 94.0), (3500, 97.9), (7000, 99.3), (14000, 99.65)]),
    # Qualities that do not overlap.
    "apart": ([(1000, 30.0), (2000, 33.0), (4000, 36.0)],
              [(1000, 37.0), (2000, 39.0), (4000, 41.0)]),
}


def package(method, anchor, test):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        v = bjontegaard.bd_rate([p[0] for p in anchor], [p[1] for p in anchor],
                                [p[0] for p in test], [p[1] for p in test], method=method,
                                require_matching_points=False)
    return None if math.isnan(v) else v


def exact_cubic(anchor, test):
    getcontext().prec = 50
    lo = Fraction(max(anchor[0][1], test[0][1]))
    hi = Fraction(min(anchor[-1][1], test[-1][1]))
    if not hi > lo:
        return None
    integral = []
    for points in (anchor, test):
        rows = [[Fraction(q) ** k for k in range(4)] for _, q in points]
        y = [Fraction(Decimal(r).ln() / Decimal(10).ln()) for r, _ in points]
        # The normal equations, solved by elimination: exact in rationals.
        m = [[sum(r[i] * r[j] for r in rows) for j in range(4)] +
             [sum(r[i] * v for r, v in zip(rows, y))] for i in range(4)]
        for k in range(4):
            for i in range(k + 1, 4):
                f = m[i][k] / m[k][k]
                m[i] = [a - f * b for a, b in zip(m[i], m[k])]
        c = [Fraction(0)] * 4
        for k in reversed(range(4)):
            c[k] = (m[k][4] - sum(m[k][j] * c[j] for j in range(k + 1, 4))) / m[k][k]
        g = lambda x: sum(c[k] * x ** (k + 1) / (k + 1) for k in range(4))
        integral.append(g(hi) - g(lo))
    return (10 ** float((integral[1] - integral[0]) / (hi - lo)) - 1) * 100


def awcy(anchor, test):
    curves = []
    for points in (anchor, test):
        points = sorted(points)
        q = np.array([p[1] for p in points])
        if len(q) < 3 or np.any(np.diff(q) <= 0):
            return None
        curves.append((q, np.log([p[0] for p in points])))
    lo = max(curves[0][0][0], curves[1][0][0])
    hi = min(curves[0][0][-1], curves[1][0][-1])
    if not hi > lo:
        return None
    s = np.arange(lo, hi, abs(hi - lo) / 5000.0)
    a = scipy.interpolate.PchipInterpolator(*curves[0])(s)
    b = scipy.interpolate.PchipInterpolator(*curves[1])(s)
    v = 100 * (math.exp(np.mean(b - a)) - 1)
    return v if abs(v) <= 1000 else None


def text(points):
    return ";".join("%r,%r" % p for p in sorted(points, key=lambda p: p[1]))


for name, (anchor, test) in CASES.items():
    anchor = sorted(anchor, key=lambda p: p[1])
    test = sorted(test, key=lambda p: p[1])
    for method in ("pchip", "akima", "cubic", "awcy"):
        if method == "awcy":
            v = awcy(anchor, test)
        elif method == "cubic" and min(len(anchor), len(test)) < 4:
            v = None
        else:
            v = package(method, anchor, test)
        strays = ""
        if method == "cubic" and v is not None:
            exact = exact_cubic(anchor, test)
            if abs(exact - v) > 1e-9:
                strays = "|%r" % v
            v = exact
        print("%s|%s|%s|%s|%s%s" % (name, method, text(anchor), text(test),
                                    "none" if v is None else repr(v), strays))
