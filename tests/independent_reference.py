#!/usr/bin/env python3
"""Acceptance check from outside the program: every published table is pooled by Morvex
(--pool --increment=10 --format=json) and by an independent computation in plain Python,
written from the method's description and sharing no code with the C++: the fitted counts
by Newton steps to 1e-13, the covariance, the GLS slope, then the fixed effect, DerSimonian
and Laird, REML (the global maximum of the restricted log-likelihood by a dense grid of its
values refined by golden section at 40 digits, not the program's search of the score's sign
changes), Q, its p-value and I^2 (mpmath), the weights and RR per 10 units.
Every study's beta and se and every pooled figure must agree to 1e-6 relative.

    python3 independent_reference.py MORVEX TABLE_FOLDER
"""
import csv
import json
import math
import os
import subprocess
import sys

import mpmath

Z = 1.959963984540054
REL, ABS = 1e-6, 1e-14


def solve(m, b):
    n = len(m)
    a = [row[:] + [b[i]] for i, row in enumerate(m)]
    for c in range(n):
        p = max(range(c, n), key=lambda r: abs(a[r][c]))
        a[c], a[p] = a[p], a[c]
        for r in range(n):
            if r != c:
                f = a[r][c] / a[c][c]
                for k in range(c, n + 1):
                    a[r][k] -= f * a[c][k]
    return [a[i][n] / a[i][i] for i in range(n)]


def fit(design, a0, a, n0, n, logrr):
    m1 = a0 + sum(a)
    for _ in range(500):
        f0 = m1 - sum(a)
        if design == "cc":
            b0 = n0 - f0
            fitted = [math.log(a[i] * b0 / (f0 * (n[i] - a[i]))) for i in range(len(a))]
            c0, d = 1 / f0 + 1 / b0, [1 / a[i] + 1 / (n[i] - a[i]) for i in range(len(a))]
        else:
            fitted = [math.log(a[i] * n0 / (f0 * n[i])) for i in range(len(a))]
            c0, d = 1 / f0, [1 / x for x in a]
        e = [logrr[i] - fitted[i] for i in range(len(a))]
        c = [[c0 + (d[i] if i == j else 0) for j in range(len(a))] for i in range(len(a))]
        delta = solve(c, e)
        a = [a[i] + delta[i] for i in range(len(a))]
        if max(abs(x) for x in delta) < 1e-13 * max(a):
            break
    return m1 - sum(a), a


def slope(design, a0, a, n0, n, x, logrr, v):
    f0, a = fit(design, a0, a, n0, n, logrr)
    k = len(a)
    if design == "cc":
        b0 = n0 - f0
        s2 = [1 / a[i] + 1 / (n[i] - a[i]) + 1 / f0 + 1 / b0 for i in range(k)]
        common = 1 / f0 + 1 / b0
    elif design == "ci":
        s2 = [1 / a[i] + 1 / f0 - 1 / n[i] - 1 / n0 for i in range(k)]
        common = 1 / f0 - 1 / n0
    else:
        s2 = [1 / a[i] + 1 / f0 for i in range(k)]
        common = 1 / f0
    cov = [[v[i] if i == j else common / math.sqrt(s2[i] * s2[j]) * math.sqrt(v[i] * v[j])
            for j in range(k)] for i in range(k)]
    vx, vl = solve(cov, x), solve(cov, logrr)
    q = sum(x[i] * vx[i] for i in range(k))
    return sum(x[i] * vl[i] for i in range(k)) / q, math.sqrt(1 / q)


def studies(path):
    with open(path, newline="", encoding="utf-8-sig") as f:
        rows = list(csv.DictReader(f))
    order, by = [], {}
    for r in rows:
        if r["id"] not in by:
            order.append(r["id"])
            by[r["id"]] = []
        by[r["id"]].append(r)
    for sid in order:
        rs = by[sid]
        logscale = "logrr" in rs[0]
        ref = [r for r in rs if (r["se"] if logscale else r["lb"]) in ("", "NA")][0]
        exposed = [r for r in rs if r is not ref]
        if logscale:
            logrr = [float(r["logrr"]) for r in exposed]
            v = [float(r["se"]) ** 2 for r in exposed]
        else:
            logrr = [math.log(float(r["rr"])) for r in exposed]
            v = [((math.log(float(r["ub"])) - math.log(float(r["lb"]))) / 1.96 / 2) ** 2 for r in exposed]
        x = [float(r["dose"]) - float(ref["dose"]) for r in exposed]
        yield sid, slope(rs[0]["type"], float(ref["cases"]), [float(r["cases"]) for r in exposed],
                         float(ref["n"]), [float(r["n"]) for r in exposed], x, logrr, v)


def restricted_loglik(b, v, t):
    """-1/2 [sum log(v_i + t) + log sum w + sum w_i (b_i - m)^2], w_i = 1 / (v_i + t), in the
    arithmetic of t: floats for the grid, mpmath numbers for the refinement."""
    lg = mpmath.log if isinstance(t, mpmath.mpf) else math.log
    w = [1 / (vi + t) for vi in v]
    sw = sum(w)
    m = sum(wi * bi for wi, bi in zip(w, b)) / sw
    return -(sum(lg(vi + t) for vi in v) + lg(sw) + sum(wi * (bi - m) ** 2 for wi, bi in zip(w, b))) / 2


def golden_section(f, lo, hi, absolute, rel=mpmath.mpf("1e-20")):
    """The maximum of f on [lo, hi], f unimodal there, to rel * hi or `absolute`."""
    g = (mpmath.sqrt(5) - 1) / 2
    x1, x2 = hi - g * (hi - lo), lo + g * (hi - lo)
    f1, f2 = f(x1), f(x2)
    while hi - lo > max(rel * hi, absolute):
        if f1 >= f2:
            hi, x2, f2 = x2, x1, f1
            x1 = hi - g * (hi - lo)
            f1 = f(x1)
        else:
            lo, x1, f1 = x1, x2, f2
            x2 = lo + g * (hi - lo)
            f2 = f(x2)
    return (lo + hi) / 2


def reml_global(b, v, per_decade=100, refined=3):
    """REML tau^2: the global maximum of the restricted log-likelihood on [0, inf).

    The log-likelihood is evaluated on 0 and a geometric grid (per_decade points a decade) from
    1e-6 min v to 1e3 (max v + R^2), R the range of the slopes; its score is negative beyond
    max(v) + 8 R^2, so every maximum lies inside. The best `refined` local maxima of the grid
    are refined by golden section between their neighbours at 40 digits, and the highest
    wins; tau^2 = 0 when no point near it is higher."""
    lo, hi = min(v) * 1e-6, 1e3 * (max(v) + (max(b) - min(b)) ** 2)
    n = math.ceil(math.log10(hi / lo) * per_decade)
    grid = [0.0] + [lo * (hi / lo) ** (i / n) for i in range(n + 1)]
    ll = [restricted_loglik(b, v, t) for t in grid]
    peaks = [j for j in range(len(grid))
             if (j == 0 or ll[j] >= ll[j - 1]) and (j == len(grid) - 1 or ll[j] >= ll[j + 1])]
    peaks = sorted(peaks, key=lambda j: -ll[j])[:refined]
    with mpmath.workdps(40):
        bm, vm = [mpmath.mpf(x) for x in b], [mpmath.mpf(x) for x in v]
        f = lambda t: restricted_loglik(bm, vm, t)
        best_t, best = mpmath.mpf(0), f(mpmath.mpf(0))
        for j in peaks:
            left = mpmath.mpf(grid[j - 1]) if j > 0 else mpmath.mpf(0)
            right = mpmath.mpf(grid[min(j + 1, len(grid) - 1)])
            t = golden_section(f, left, right, min(vm) * mpmath.mpf("1e-20"))
            if f(t) > best:
                best_t, best = t, f(t)
        return float(best_t)


def pool(b, se):
    k = len(b)
    w = [1 / s ** 2 for s in se]
    sw = sum(w)
    fe = sum(wi * bi for wi, bi in zip(w, b)) / sw
    q = sum(wi * (bi - fe) ** 2 for wi, bi in zip(w, b))
    t_dl = max(0.0, (q - (k - 1)) / (sw - sum(wi * wi for wi in w) / sw))
    t = reml_global(b, [s * s for s in se])

    def summary(tau2):
        ww = [1 / (s ** 2 + tau2) for s in se]
        est = sum(a * c for a, c in zip(ww, b)) / sum(ww)
        s = math.sqrt(1 / sum(ww))
        z = est / s
        return {"estimate": est, "se": s, "lower": est - Z * s, "upper": est + Z * s, "z": z,
                "p": float(mpmath.erfc(abs(z) / mpmath.sqrt(2))), "tau2": tau2,
                "rr": math.exp(10 * est), "rr_lower": math.exp(10 * (est - Z * s)),
                "rr_upper": math.exp(10 * (est + Z * s)),
                "weights": [100 * a / sum(ww) for a in ww]}

    return {"fixed": summary(0.0), "dl": summary(t_dl), "reml": summary(t),
            "heterogeneity": {"Q": q, "df": k - 1,
                              "p": float(mpmath.gammainc((k - 1) / 2, q / 2, mpmath.inf, regularized=True)),
                              "I2": max(0.0, (q - (k - 1)) / q) * 100 if q > 0 else 0.0}}


def main():
    morvex, folder = sys.argv[1], sys.argv[2]
    if not os.path.isdir(folder):
        print(f"FAIL: the published tables are missing: no folder {folder} (a copy of shared/ "
              "must sit beside the repository)")
        return 1
    tables = sorted(f for f in os.listdir(folder) if f.endswith(".csv"))
    failures, compared = [], 0

    def same(got, want, what, scale=0.0):
        # A limit near 0 is the difference of two figures: held to 1e-6 of its se.
        nonlocal compared
        compared += 1
        if got is None or not math.isclose(got, want, rel_tol=REL, abs_tol=max(ABS, REL * scale)):
            failures.append(f"{what}: Morvex {got}, independent {want}")

    for name in tables:
        path = os.path.join(folder, name)
        run = subprocess.run([morvex, "--pool", "--increment=10", "--format=json", path],
                             capture_output=True)
        if run.returncode != 0:
            failures.append(f"{name}: exit status {run.returncode}: {run.stderr.decode()}")
            continue
        doc = json.loads(run.stdout)
        ref = list(studies(path))
        if [s["id"] for s in doc["studies"]] != [sid for sid, _ in ref]:
            failures.append(f"{name}: studies differ")
            continue
        for entry, (sid, (beta, se)) in zip(doc["studies"], ref):
            same(entry["beta"], beta, f"{name} {sid} beta")
            same(entry["se"], se, f"{name} {sid} se")
        pooled, want = doc["pooled"], pool([r[1][0] for r in ref], [r[1][1] for r in ref])
        if pooled["k"] != len(ref) or pooled["excluded"] or not pooled["reml"]["converged"]:
            failures.append(f"{name}: k {pooled['k']}, excluded {pooled['excluded']}, REML "
                            f"converged {pooled['reml']['converged']}")
        for method in ("fixed", "dl", "reml"):
            for field in ("estimate", "se", "lower", "upper", "z", "p", "rr", "rr_lower", "rr_upper"):
                same(pooled[method][field], want[method][field], f"{name} {method} {field}",
                     want[method]["se"] if field in ("lower", "upper") else 0.0)
            if method != "fixed":
                same(pooled[method]["tau2"], want[method]["tau2"], f"{name} {method} tau2")
            for i, w in enumerate(pooled["weights"]):
                same(w[method], want[method]["weights"][i], f"{name} {method} weight {i}")
        for field in ("Q", "df", "p", "I2"):
            same(pooled["heterogeneity"][field], want["heterogeneity"][field], f"{name} {field}")
    for f in failures:
        print("FAIL:", f)
    print(f"{len(tables)} tables, {compared} figures compared, {len(failures)} failures")
    return 1 if failures or not tables else 0


if __name__ == "__main__":
    sys.exit(main())
