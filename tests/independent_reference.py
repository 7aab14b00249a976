#!/usr/bin/env python3
"""Acceptance check from outside the program: every published table is pooled by Morvex
(--pool --increment=10 --format=json) and by an independent computation in plain Python,
written from the method's description and sharing no code with the C++: the fitted counts
by Newton steps to 1e-13, the covariance, the GLS slope, then the fixed effect, DerSimonian
and Laird, REML (a fixed-point iteration on tau^2, converged to 1e-14, not the program's
Fisher scoring), Q, its p-value and I^2 (mpmath), the weights and RR per 10 units.
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


def pool(b, se):
    k = len(b)
    w = [1 / s ** 2 for s in se]
    sw = sum(w)
    fe = sum(wi * bi for wi, bi in zip(w, b)) / sw
    q = sum(wi * (bi - fe) ** 2 for wi, bi in zip(w, b))
    t_dl = max(0.0, (q - (k - 1)) / (sw - sum(wi * wi for wi in w) / sw))
    t = t_dl
    for _ in range(100000):  # REML fixed point: tau^2 = sum w^2 ((b - m)^2 - v) / sum w^2 + 1 / sum w
        ww = [1 / (s ** 2 + t) for s in se]
        m = sum(a * c for a, c in zip(ww, b)) / sum(ww)
        tn = max(0.0, sum(a * a * ((c - m) ** 2 - s ** 2) for a, c, s in zip(ww, b, se))
                 / sum(a * a for a in ww) + 1 / sum(ww))
        done = abs(tn - t) <= 1e-14 * max(1e-300, tn)
        t = tn
        if done:
            break

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
