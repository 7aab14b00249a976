#!/usr/bin/env python3
"""Independent reference for the curve analysis (--trend): plain Python written from the
method's description, sharing no code with the C++.

Per study: the fitted counts and covariance (imported from independent_reference.py, itself
plain Python), the centred design of the dose functions, the p-coefficient GLS. Then the
two-stage fixed effect, the matrix method of moments, REML maximised by Nelder-Mead from many
starts over the Cholesky factor followed by Newton steps on finite-difference derivatives of
the log-likelihood (no analytic gradient, unlike the program), the one-stage REML the same
way over all exposed categories, Q, I^2, the Wald tests and the predictions.

    python3 curve_reference.py MORVEX TABLE_FOLDER
"""
import csv
import io
import json
import math
import os
import subprocess
import sys
import tempfile

import mpmath

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from independent_reference import fit  # noqa: E402  (fitted counts, plain Python)

Z = 1.959963984540054
PERCENTILES = {3: [10, 50, 90], 4: [5, 35, 65, 95], 5: [5, 27.5, 50, 72.5, 95],
               6: [5, 23, 41, 59, 77, 95], 7: [2.5, 18.33, 34.17, 50, 65.83, 81.67, 97.5]}


# ---- small dense linear algebra on lists ----
def mat(r, c, v=0.0):
    return [[v] * c for _ in range(r)]


def mul(a, b):
    return [[sum(a[i][k] * b[k][j] for k in range(len(b))) for j in range(len(b[0]))]
            for i in range(len(a))]


def tr(a):
    return [list(r) for r in zip(*a)]


def add(a, b, s=1.0):
    return [[a[i][j] + s * b[i][j] for j in range(len(a[0]))] for i in range(len(a))]


def inv(m):
    n = len(m)
    a = [row[:] + [1.0 if i == j else 0.0 for j in range(n)] for i, row in enumerate(m)]
    for c in range(n):
        p = max(range(c, n), key=lambda r: abs(a[r][c]))
        a[c], a[p] = a[p], a[c]
        piv = a[c][c]
        a[c] = [x / piv for x in a[c]]
        for r in range(n):
            if r != c and a[r][c] != 0.0:
                f = a[r][c]
                a[r] = [x - f * y for x, y in zip(a[r], a[c])]
    return [row[n:] for row in a]


def logdet(m):
    n = len(m)
    a = [row[:] for row in m]
    s = 0.0
    for c in range(n):
        p = max(range(c, n), key=lambda r: abs(a[r][c]))
        a[c], a[p] = a[p], a[c]
        if a[c][c] <= 0 and p == c and False:
            pass
        s += math.log(abs(a[c][c]))
        for r in range(c + 1, n):
            f = a[r][c] / a[c][c]
            for k in range(c, n):
                a[r][k] -= f * a[c][k]
    return s


def col(v):
    return [[x] for x in v]


def chi2_upper(x, df):
    return float(mpmath.gammainc(df / 2.0, x / 2.0, mpmath.inf, regularized=True))


# ---- studies ----
def covariance(design, a0, a, n0, n, logrr, v):
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
    return [[v[i] if i == j else common / math.sqrt(s2[i] * s2[j]) * math.sqrt(v[i] * v[j])
             for j in range(k)] for i in range(k)]


def study_rows(rows):
    """Per study, in order of first appearance: its id, its rows, whether they give log
    RRs, and its reference row."""
    order, by = [], {}
    for r in rows:
        by.setdefault(r["id"], []).append(r)
        if r["id"] not in order:
            order.append(r["id"])
    for sid in order:
        rs = by[sid]
        logscale = "logrr" in rs[0]
        yield sid, rs, logscale, [r for r in rs if (r["se"] if logscale else r["lb"]) in ("", "NA")][0]


def read_table(path):
    with open(path, newline="", encoding="utf-8-sig") as f:
        rows = list(csv.DictReader(f))
    out = []
    for sid, rs, logscale, ref in study_rows(rows):
        ex = [r for r in rs if r is not ref]
        if logscale:
            y = [float(r["logrr"]) for r in ex]
            v = [float(r["se"]) ** 2 for r in ex]
        else:
            y = [math.log(float(r["rr"])) for r in ex]
            v = [((math.log(float(r["ub"])) - math.log(float(r["lb"]))) / 1.96 / 2) ** 2 for r in ex]
        S = covariance(rs[0]["type"], float(ref["cases"]), [float(r["cases"]) for r in ex],
                       float(ref["n"]), [float(r["n"]) for r in ex], y, v)
        out.append({"id": sid, "x0": float(ref["dose"]), "x": [float(r["dose"]) for r in ex],
                    "y": y, "S": S})
    return out


# ---- dose functions ----
def quantile7(values, q):
    s = sorted(values)
    h = (len(s) - 1) * q + 1
    lo = math.floor(h)
    if lo >= len(s):
        return s[-1]
    return s[lo - 1] + (h - lo) * (s[lo] - s[lo - 1])


def basis(shape, knots):
    def f(x):
        if shape == "linear":
            return [x]
        if shape == "quadratic":
            return [x, x * x]
        t = knots
        K = len(t)
        p3 = lambda u: max(u, 0.0) ** 3  # noqa: E731
        out = [x]
        for h in range(K - 2):
            out.append((p3(x - t[h]) - p3(x - t[K - 2]) * (t[K - 1] - t[h]) / (t[K - 1] - t[K - 2])
                        + p3(x - t[K - 1]) * (t[K - 2] - t[h]) / (t[K - 1] - t[K - 2]))
                       / (t[K - 1] - t[0]) ** 2)
        return out
    return f


def design(f, st):
    f0 = f(st["x0"])
    return [[a - b for a, b in zip(f(x), f0)] for x in st["x"]]


def rank(X):
    a = [r[:] for r in tr(X)]
    a = [[v / math.sqrt(sum(w * w for w in r)) if any(r) else 0.0 for v in r] for r in a]
    rk = 0
    rows = list(range(len(X)))
    for j in range(len(a)):
        best = max(rows, key=lambda i: abs(a[j][i]), default=None)
        if best is None or abs(a[j][best]) <= 1e-10:
            continue
        rows.remove(best)
        rk += 1
        for k in range(j + 1, len(a)):
            fct = a[k][best] / a[j][best]
            a[k] = [u - fct * w for u, w in zip(a[k], a[j])]
    return rk


# ---- the linear mixed model y_i ~ N(X_i beta, S_i + X_i Psi X_i') ----
def gls(units, psi):
    p = len(psi)
    A, c, ld, ws, XX = mat(p, p), mat(p, 1), 0.0, [], mat(p, p)
    for y, X, S in units:
        XX = add(XX, mul(tr(X), X))
        sig = add(S, mul(mul(X, psi), tr(X)))
        W = inv(sig)
        ld += logdet(sig)
        XtW = mul(tr(X), W)
        A = add(A, mul(XtW, X))
        c = add(c, mul(XtW, col(y)))
        ws.append(W)
    H = inv(A)
    beta = mul(H, c)
    quad = 0.0
    for (y, X, S), W in zip(units, ws):
        r = add(col(y), mul(X, beta), -1.0)
        quad += mul(mul(tr(r), W), r)[0][0]
    n = sum(len(u[0]) for u in units)
    # The likelihood of the error contrasts, with Harville's term log|X'X|.
    ll = -0.5 * ((n - p) * math.log(2 * math.pi) - logdet(XX) + ld + logdet(A) + quad)
    return [b[0] for b in beta], H, ll, quad


def psi_of(theta, p, d):
    L = mat(p, p)
    k = 0
    for j in range(p):
        for i in range(j, p):
            L[i][j] = theta[k] * d[i]
            k += 1
    return mul(L, tr(L))


def nelder_mead(fun, x0, step, iters=4000):
    n = len(x0)
    pts = [x0[:]] + [[x0[j] + (step if j == i else 0.0) for j in range(n)] for i in range(n)]
    vals = [fun(x) for x in pts]
    for _ in range(iters):
        order = sorted(range(n + 1), key=lambda i: vals[i])
        pts, vals = [pts[i] for i in order], [vals[i] for i in order]
        if abs(vals[-1] - vals[0]) < 1e-13 * (1 + abs(vals[0])):
            break
        cen = [sum(p[j] for p in pts[:-1]) / n for j in range(n)]
        xr = [cen[j] + (cen[j] - pts[-1][j]) for j in range(n)]
        fr = fun(xr)
        if fr < vals[0]:
            xe = [cen[j] + 2 * (cen[j] - pts[-1][j]) for j in range(n)]
            fe = fun(xe)
            pts[-1], vals[-1] = (xe, fe) if fe < fr else (xr, fr)
        elif fr < vals[-2]:
            pts[-1], vals[-1] = xr, fr
        else:
            xc = [cen[j] + 0.5 * (pts[-1][j] - cen[j]) for j in range(n)]
            fc = fun(xc)
            if fc < vals[-1]:
                pts[-1], vals[-1] = xc, fc
            else:
                for i in range(1, n + 1):
                    pts[i] = [pts[0][j] + 0.5 * (pts[i][j] - pts[0][j]) for j in range(n)]
                    vals[i] = fun(pts[i])
    i = min(range(n + 1), key=lambda i: vals[i])
    return pts[i], vals[i]


def newton(fun, x, rounds=30):
    """Newton steps on central-difference derivatives of fun (to be minimised)."""
    n = len(x)
    fx = fun(x)
    for _ in range(rounds):
        h = [1e-4 * max(1.0, abs(v)) for v in x]
        hg = [1e-6 * max(1.0, abs(v)) for v in x]
        g = []
        H = mat(n, n)
        for i in range(n):
            e = x[:]
            e[i] += h[i]
            fp = fun(e)
            e[i] -= 2 * h[i]
            fm = fun(e)
            H[i][i] = (fp - 2 * fx + fm) / h[i] ** 2
            e = x[:]
            e[i] += hg[i]
            fp = fun(e)
            e[i] -= 2 * hg[i]
            g.append((fp - fun(e)) / (2 * hg[i]))
        for i in range(n):
            for j in range(i + 1, n):
                e = x[:]
                vals = []
                for si, sj in ((1, 1), (1, -1), (-1, 1), (-1, -1)):
                    e = x[:]
                    e[i] += si * h[i]
                    e[j] += sj * h[j]
                    vals.append(fun(e))
                H[i][j] = H[j][i] = (vals[0] - vals[1] - vals[2] + vals[3]) / (4 * h[i] * h[j])
        try:
            step = [s[0] for s in mul(inv(H), col(g))]
        except (ZeroDivisionError, ValueError):
            break
        t = 1.0
        while t > 1e-6:
            xn = [a - t * b for a, b in zip(x, step)]
            fn = fun(xn)
            if fn <= fx:
                break
            t /= 2
        else:
            break
        moved = max(abs(a - b) for a, b in zip(xn, x))
        x, fx = xn, fn
        if moved < 1e-11:
            break
    return x, fx


def reml(units, p, starts_psi=None):
    """Global REML: Nelder-Mead from a grid of starts over the scaled Cholesky factor, the best
    few refined by Newton on finite differences."""
    A0 = mat(p, p)
    for y, X, S in units:
        A0 = add(A0, mul(mul(tr(X), inv(S)), X))
    H0 = inv(A0)
    d = [math.sqrt(len(units) * H0[j][j]) for j in range(p)]
    q = p * (p + 1) // 2

    def fun(theta):
        try:
            return -gls(units, psi_of(theta, p, d))[2]
        except (ZeroDivisionError, ValueError):
            return float("inf")

    starts = []
    for scale in (0.03, 0.3, 1.0, 3.0):
        diag = []
        for j in range(p):
            for i in range(j, p):
                diag.append(scale if i == j else 0.0)
        starts.append(diag)
        for sign in (1.0, -1.0):
            starts.append([scale if k < p else sign * 0.5 * scale for k in range(q)])
    results = []
    for s in starts:
        x, fx = nelder_mead(fun, s, 0.2)
        x, fx = nelder_mead(fun, x, 0.02)
        results.append((fx, x))
    results.sort(key=lambda r: r[0])
    best = None
    for fx, x in results[:3]:
        x, fx = newton(fun, x)
        if best is None or fx < best[0]:
            best = (fx, x)
    psi = psi_of(best[1], p, d)
    beta, H, ll, _ = gls(units, psi)
    return {"beta": beta, "cov": H, "psi": psi, "loglik": ll}


def moments(units, p):
    """Matrix method of moments: Q = sum X_i' W_i e_i e_i' X_i with fixed-effect weights and
    residuals; its expectation is linear in Psi; the p^2 equations solved, the solution
    symmetrised and its negative eigenvalues set to 0."""
    Ws = [inv(S) for _, _, S in units]
    A = mat(p, p)
    for (y, X, S), W in zip(units, Ws):
        A = add(A, mul(mul(tr(X), W), X))
    H = inv(A)
    beta, _, _, _ = gls(units, mat(p, p))

    def expected(psi, with_s):
        # E[Q] for a given Psi (and S when with_s), from Cov(e) of e = y - X H X'W y.
        mid = mat(p, p)
        sig = []
        for (y, X, S), W in zip(units, Ws):
            s_i = mul(mul(X, psi), tr(X))
            if with_s:
                s_i = add(s_i, S)
            sig.append(s_i)
            XtW = mul(tr(X), W)
            mid = add(mid, mul(mul(XtW, s_i), tr(XtW)))
        total = mat(p, p)
        for (y, X, S), W, s_i in zip(units, Ws, sig):
            XtW = mul(tr(X), W)
            XH = mul(X, H)
            ee = add(add(s_i, mul(mul(s_i, tr(XtW)), tr(XH)), -1.0), mul(XH, mul(XtW, s_i)), -1.0)
            ee = add(ee, mul(mul(XH, mid), tr(XH)))
            total = add(total, mul(mul(XtW, ee), X))
        return total

    Q = mat(p, p)
    for (y, X, S), W in zip(units, Ws):
        e = add(col(y), mul(X, col(beta)), -1.0)
        XtWe = mul(mul(tr(X), W), e)
        Xte = mul(tr(X), e)
        Q = add(Q, mul(XtWe, tr(Xte)))
    base = expected(mat(p, p), True)
    B = mat(p * p, p * p)
    for a in range(p):
        for b in range(p):
            E = mat(p, p)
            E[a][b] = 1.0
            M = expected(E, False)
            for i in range(p):
                for j in range(p):
                    B[i * p + j][a * p + b] = M[i][j]
    rhs = [Q[i][j] - base[i][j] for i in range(p) for j in range(p)]
    sol = [s[0] for s in mul(inv(B), col(rhs))]
    psi = [[(sol[i * p + j] + sol[j * p + i]) / 2 for j in range(p)] for i in range(p)]
    pre = [r[:] for r in psi]
    # eigen-truncation by Jacobi rotations
    a = [r[:] for r in psi]
    V = [[1.0 if i == j else 0.0 for j in range(p)] for i in range(p)]
    for _ in range(100):
        off = sum(a[i][j] ** 2 for i in range(p) for j in range(p) if i != j)
        if off < 1e-300:
            break
        for i in range(p):
            for j in range(i + 1, p):
                if a[i][j] == 0.0:
                    continue
                th = 0.5 * math.atan2(2 * a[i][j], a[j][j] - a[i][i])
                c, s = math.cos(th), math.sin(th)
                for k in range(p):
                    aki, akj = a[k][i], a[k][j]
                    a[k][i], a[k][j] = c * aki - s * akj, s * aki + c * akj
                for k in range(p):
                    aik, ajk = a[i][k], a[j][k]
                    a[i][k], a[j][k] = c * aik - s * ajk, s * aik + c * ajk
                for k in range(p):
                    vki, vkj = V[k][i], V[k][j]
                    V[k][i], V[k][j] = c * vki - s * vkj, s * vki + c * vkj
    lam = [max(0.0, a[i][i]) for i in range(p)]
    psi = [[sum(V[i][k] * lam[k] * V[j][k] for k in range(p)) for j in range(p)] for i in range(p)]
    beta, Hm, ll, _ = gls(units, psi)
    return {"beta": beta, "cov": Hm, "psi": psi, "loglik": ll, "pre": pre}


def wald(beta, cov, idx):
    b = [[beta[i]] for i in idx]
    c = [[cov[i][j] for j in idx] for i in idx]
    return mul(mul(tr(b), inv(c)), b)[0][0]


def analyse(studies, shape, K=3, knots=None, one_stage=False, at=None, ref_dose=None):
    alldoses = [d for s in studies for d in [s["x0"]] + s["x"]]
    if shape == "spline" and knots is None:
        knots = [quantile7(alldoses, q / 100) for q in PERCENTILES[K]]
    f = basis(shape, knots)
    p = len(f(0.0))
    fits, left = [], []
    for st in studies:
        X = design(f, st)
        if len(X) < p or rank(X) < p:
            left.append(st["id"])
            fits.append(None)
            continue
        W = inv(st["S"])
        V = inv(mul(mul(tr(X), W), X))
        b = [r[0] for r in mul(mul(mul(V, tr(X)), W), col(st["y"]))]
        fits.append((b, V))
    if one_stage:
        units = [(st["y"], design(f, st), st["S"]) for st in studies]
    else:
        units = [(b, [[1.0 if i == j else 0.0 for j in range(p)] for i in range(p)], V)
                 for b, V in (x for x in fits if x)]
    out = {"knots": knots, "p": p, "fits": fits, "left_out": left}
    beta, H, ll, quad = gls(units, mat(p, p))
    out["fixed"] = {"beta": beta, "cov": H, "psi": mat(p, p), "loglik": ll}
    m = len(units)
    n_obs = sum(len(u[0]) for u in units)
    Q = quad
    df = (n_obs - p)
    out["het"] = {"Q": Q, "df": df, "p": chi2_upper(Q, df), "I2": max(0.0, (Q - df) / Q) * 100}
    out["mm"] = moments(units, p)
    out["reml"] = reml(units, p)
    lo, hi = min(alldoses), max(alldoses)
    xr = lo if ref_dose is None else ref_dose
    if at is None:
        at = sorted(set([xr] + (knots or []) + [lo + (hi - lo) * k / 9 for k in range(9)] + [hi]))
    for meth in ("fixed", "mm", "reml"):
        r = out[meth]
        r["wald_overall"] = wald(r["beta"], r["cov"], range(p))
        r["wald_nonlinear"] = wald(r["beta"], r["cov"], range(1, p)) if p > 1 else None
        preds = []
        for x in at:
            z = [a - b for a, b in zip(f(x), f(xr))]
            lr = sum(a * b for a, b in zip(z, r["beta"]))
            se = math.sqrt(max(0.0, sum(z[i] * r["cov"][i][j] * z[j] for i in range(p) for j in range(p))))
            preds.append((x, math.exp(lr), math.exp(lr - Z * se), math.exp(lr + Z * se)))
        r["predictions"] = preds
    out["m"] = m
    out["reference_dose"] = xr
    return out


SUMMARY_TEXT = {"analysis", "subgroup", "left_out_input", "left_out_id", "model", "note"}


def number(value):
    return None if value == "" else float(value)


def check_study_csv(ck, what, text, studies, want):
    """The study rows of --format=csv: one per study in input order, read by Python's csv, with
    each study's b and the upper triangle of V as columns (empty, with a note, where none)."""
    rows = list(csv.DictReader(io.StringIO(text, newline="")))
    if [r["id"] for r in rows] != [st["id"] for st in studies]:
        ck.failures.append(f"{what} CSV: ids {[r['id'] for r in rows]}")
        return
    p = want["p"]
    for row, fitted in zip(rows, want["fits"]):
        if fitted is None:
            if any(row[f"b{i + 1}"] != "" for i in range(p)) or not row["trend_note"]:
                ck.failures.append(f"{what} CSV {row['id']}: coefficients without a fit: {row}")
            continue
        b, V = fitted
        for i in range(p):
            ck.same(number(row[f"b{i + 1}"]), b[i], f"{what} CSV {row['id']} b{i + 1}", math.sqrt(V[i][i]))
            for j in range(i, p):
                ck.same(number(row[f"V{i + 1}{j + 1}"]), V[i][j], f"{what} CSV {row['id']} V{i + 1}{j + 1}",
                        math.sqrt(V[i][i] * V[j][j]))


def check_summary_rows(ck, what, table, want):
    """The summary table's trend rows: every numeric field a number or empty; per method one row
    per coefficient, the Wald tests, the heterogeneity and one row per prediction."""
    for row in table:
        for key, value in row.items():
            if key not in SUMMARY_TEXT and value != "":
                try:
                    float(value)
                except ValueError:
                    ck.failures.append(f"{what} summary {key} = {value!r} is not a number")
    p = want["p"]
    het = [r for r in table if r["analysis"] == "trend-heterogeneity"]
    if len(het) != 1:
        ck.failures.append(f"{what} summary: {len(het)} heterogeneity rows")
    for row in het[:1]:
        for key, name in (("Q", "Q"), ("df", "df"), ("p_Q", "p"), ("I2", "I2")):
            ck.same(number(row[key]), want["het"][name], f"{what} summary {key}", 1.0 if key == "I2" else 0.0)
    for name, key in (("fixed", "fixed"), ("moments", "mm"), ("reml", "reml")):
        w = want[key]
        mine = [r for r in table if r["model"] == name]
        coef = [r for r in mine if r["analysis"] == "trend"]
        if [number(r["coefficient"]) for r in coef] != list(range(1, p + 1)):
            ck.failures.append(f"{what} summary {name}: coefficient rows {coef}")
            continue
        for i, row in enumerate(coef):
            se = math.sqrt(w["cov"][i][i])
            ck.same(number(row["estimate"]), w["beta"][i], f"{what} summary {name} b{i + 1}", se)
            ck.same(number(row["se"]), se, f"{what} summary {name} se{i + 1}")
            ck.same(number(row["lower"]), w["beta"][i] - Z * se, f"{what} summary {name} lower{i + 1}", se)
            if name == "fixed":
                if row["tau2"] != "":
                    ck.failures.append(f"{what} summary fixed: tau2 {row['tau2']}")
            else:
                ck.same(number(row["tau2"]), w["psi"][i][i], f"{what} summary {name} psi{i + 1}{i + 1}",
                        max(abs(w["psi"][i][i]), 1e-8 * w["cov"][i][i]), 1e-5)
        tests = {r["analysis"]: r for r in mine if r["analysis"] in ("trend-overall", "trend-nonlinearity")}
        ck.same(number(tests["trend-overall"]["chi2"]), w["wald_overall"], f"{what} summary {name} wald")
        ck.same(number(tests["trend-overall"]["chi2_df"]), p, f"{what} summary {name} wald df")
        if p > 1:
            ck.same(number(tests["trend-nonlinearity"]["chi2"]), w["wald_nonlinear"],
                    f"{what} summary {name} nonlinear")
            ck.same(number(tests["trend-nonlinearity"]["chi2_df"]), p - 1, f"{what} summary {name} nonlinear df")
        elif "trend-nonlinearity" in tests:
            ck.failures.append(f"{what} summary {name}: a non-linearity test of a straight line")
        preds = [r for r in mine if r["analysis"] == "trend-prediction"]
        if len(preds) != len(w["predictions"]):
            ck.failures.append(f"{what} summary {name}: {len(preds)} predictions, want {len(w['predictions'])}")
        for row, (x, rr, lo, hi) in zip(preds, w["predictions"]):
            ck.same(number(row["dose"]), x, f"{what} summary {name} dose")
            ck.same(number(row["reference_dose"]), want["reference_dose"], f"{what} summary {name} reference")
            for key, value in (("rr", rr), ("rr_lower", lo), ("rr_upper", hi)):
                ck.same(number(row[key]), value, f"{what} summary {name} {key} at {x}")
            ck.same(number(row["estimate"]), math.log(rr), f"{what} summary {name} log rr at {x}", 1.0)


def check_files(ck, args, what, studies, want):
    """The same run written as the study CSV and the summary table."""
    with tempfile.TemporaryDirectory() as tmp:
        summary = os.path.join(tmp, "summary.csv")
        run = subprocess.run(args[:1] + ["--format=csv", f"--summary={summary}"] + args[2:], capture_output=True)
        if run.returncode != 0:
            ck.failures.append(f"{what} CSV: exit status {run.returncode}: {run.stderr.decode()}")
            return
        check_study_csv(ck, what, run.stdout.decode(), studies, want)
        with open(summary, newline="", encoding="utf-8") as f:
            check_summary_rows(ck, what, list(csv.DictReader(f)), want)


# (table, trend, knots, one stage)
CASES = [("alcohol_esoph.csv", "quadratic", 3, False),
         ("alcohol_crc.csv", "spline", 3, False),
         ("alcohol_crc.csv", "spline", 3, True),
         ("alcohol_cvd.csv", "linear", 3, False),
         ("alcohol_cvd.csv", "quadratic", 3, True),
         ("coffee_mort.csv", "spline", 4, False),
         ("bmi_rc.csv", "spline", 3, False),
         ("fish_ra.csv", "quadratic", 3, False),
         ("sim_os.csv", "quadratic", 3, False),
         ("sim_os.csv", "quadratic", 3, True)]

# The issue's figures: alcohol_esoph quadratic REML and alcohol_crc spline REML.
ESOPH = {"beta": [0.039392419473678, -1.0790694002613e-4], "se": [0.010352631195919, 3.4187728890446e-5],
         "psi": [1.3899987896397e-3, -4.5435379270261e-6, 1.4866520722049e-8], "loglik": 105.59997}
CRC = {"knots": [0, 14.25, 57.179999541], "beta": [-1.3658131328952e-3, 2.0974364144717e-2],
       "se": [4.1425506535872e-3, 1.0258536681638e-2],
       "psi": [3.6936609203475e-5, -8.7991286687873e-5, 2.0961497820052e-4], "Q": 14.588606663832,
       "Q_p": 0.40684155975377, "I2": 4.0347010334539, "nonlinear": 4.1802935112148,
       "nonlinear_p": 0.040896617502200, "rr": [1.2399039086822, 1.0994535631512, 1.3982961666513]}


class Checker:
    def __init__(self):
        self.failures, self.compared = [], 0

    def same(self, got, want, what, scale=0.0, rel=1e-6):
        self.compared += 1
        if got is None or want is None or not math.isclose(got, want, rel_tol=rel, abs_tol=max(1e-300, rel * scale)):
            self.failures.append(f"{what}: Morvex {got}, independent {want}")


def compare_method(ck, name, got, want, p):
    scale = [math.sqrt(max(want["cov"][i][i], 0.0)) for i in range(p)]
    pscale = [math.sqrt(max(want["psi"][i][i], 0.0)) for i in range(p)]
    for i in range(p):
        ck.same(got["beta"][i], want["beta"][i], f"{name} beta{i + 1}", scale[i])
        for j in range(p):
            ck.same(got["cov"][i][j], want["cov"][i][j], f"{name} cov{i + 1}{j + 1}", scale[i] * scale[j])
            ck.same(got["psi"][i][j], want["psi"][i][j], f"{name} psi{i + 1}{j + 1}",
                    max(pscale[i] * pscale[j], 1e-8 * scale[i] * scale[j]), 1e-5)
    ck.same(got["loglik"], want["loglik"], f"{name} loglik", 1.0)
    ck.same(got["wald_overall"]["chi2"], want["wald_overall"], f"{name} wald")
    if p > 1:
        ck.same(got["wald_nonlinear"]["chi2"], want["wald_nonlinear"], f"{name} nonlinear")
        # A small p-value moves by chi^2/2 times the statistic's relative change.
        ck.same(got["wald_nonlinear"]["p"], chi2_upper(want["wald_nonlinear"], p - 1), f"{name} nonlinear p",
                rel=1e-5)
    for g, (x, rr, lo, hi) in zip(got["predictions"], want["predictions"]):
        ck.same(g["dose"], x, f"{name} dose")
        for key, value in (("rr", rr), ("lower", lo), ("upper", hi)):
            ck.same(g[key], value, f"{name} {key} at {x}")


def run_case(ck, morvex, folder, table, shape, K, one, cache):
    path = os.path.join(folder, table)
    args = [morvex, "--format=json", f"--trend={shape}", path]
    if shape == "spline":
        args.insert(2, f"--knots={K}")
    if one:
        args.insert(2, "--one-stage")
    run = subprocess.run(args, capture_output=True)
    what = f"{table} {shape} {'one' if one else 'two'}-stage"
    if run.returncode != 0:
        ck.failures.append(f"{what}: exit status {run.returncode}: {run.stderr.decode()}")
        return None
    curve = json.loads(run.stdout)["curve"]
    studies = cache.setdefault(table, read_table(path))
    want = analyse(studies, shape, K, one_stage=one)
    p = want["p"]
    if shape == "spline":
        for k, (g, w) in enumerate(zip(curve["knots"], want["knots"])):
            ck.same(g, w, f"{what} knot {k + 1}")
    for st, fitted in zip(curve["studies"], want["fits"]):
        if (fitted is not None) != st["usable"]:
            ck.failures.append(f"{what} {st['id']}: usable {st['usable']}")
            continue
        if fitted:
            b, V = fitted
            for i in range(p):
                ck.same(st["b"][i], b[i], f"{what} {st['id']} b{i + 1}", math.sqrt(V[i][i]))
                for j in range(p):
                    ck.same(st["V"][i][j], V[i][j], f"{what} {st['id']} V{i + 1}{j + 1}",
                            math.sqrt(V[i][i] * V[j][j]))
    if [e["id"] for e in curve["excluded"]] != ([] if one else want["left_out"]):
        ck.failures.append(f"{what}: left out {curve['excluded']}, independent {want['left_out']}")
    het = curve["heterogeneity"]
    ck.same(het["Q"], want["het"]["Q"], f"{what} Q")
    ck.same(het["df"], want["het"]["df"], f"{what} df")
    ck.same(het["p"], want["het"]["p"], f"{what} Q p")
    ck.same(het["I2"], want["het"]["I2"], f"{what} I2", 1.0)
    for name, key in (("fixed", "fixed"), ("moments", "mm"), ("reml", "reml")):
        compare_method(ck, f"{what} {name}", curve[name], want[key], p)
    if not curve["reml"]["converged"]:
        ck.failures.append(f"{what}: REML not converged")
    check_files(ck, args, what, studies, want)
    return curve


def check_issue_figures(ck, esoph, crc_two, crc_one):
    r = esoph["reml"]
    for i in range(2):
        ck.same(r["beta"][i], ESOPH["beta"][i], f"issue esoph beta{i + 1}", rel=1e-6)
        ck.same(math.sqrt(r["cov"][i][i]), ESOPH["se"][i], f"issue esoph se{i + 1}", rel=1e-6)
    for k, (i, j) in enumerate(((0, 0), (0, 1), (1, 1))):
        ck.same(r["psi"][i][j], ESOPH["psi"][k], f"issue esoph psi{i + 1}{j + 1}", rel=1e-5)
    ck.same(r["loglik"], ESOPH["loglik"], "issue esoph loglik", rel=1e-7)
    if all(s["at_optimum"] for s in r["starts"]):
        ck.failures.append("esoph: no REML start ended at the other maximum (104.78558)")
    r = crc_two["reml"]
    for k, v in enumerate(CRC["knots"]):
        ck.same(crc_two["knots"][k], v, f"issue crc knot {k + 1}", 1.0)
    for i in range(2):
        ck.same(r["beta"][i], CRC["beta"][i], f"issue crc beta{i + 1}", CRC["se"][i])
        ck.same(math.sqrt(r["cov"][i][i]), CRC["se"][i], f"issue crc se{i + 1}")
    for k, (i, j) in enumerate(((0, 0), (0, 1), (1, 1))):
        ck.same(r["psi"][i][j], CRC["psi"][k], f"issue crc psi{i + 1}{j + 1}", rel=1e-5)
    het = crc_two["heterogeneity"]
    ck.same(het["Q"], CRC["Q"], "issue crc Q")
    ck.same(het["p"], CRC["Q_p"], "issue crc Q p")
    ck.same(het["I2"], CRC["I2"], "issue crc I2")
    ck.same(r["wald_nonlinear"]["chi2"], CRC["nonlinear"], "issue crc nonlinear")
    ck.same(r["wald_nonlinear"]["p"], CRC["nonlinear_p"], "issue crc nonlinear p")
    at = [pr for pr in r["predictions"] if abs(pr["dose"] - 40.39999898) < 1e-6][0]
    for key, v in zip(("rr", "lower", "upper"), CRC["rr"]):
        ck.same(at[key], v, f"issue crc {key} at 40.4")
    # One stage over the same studies: the same optimum, the likelihood apart by a constant.
    for i in range(2):
        ck.same(crc_one["reml"]["beta"][i], r["beta"][i], f"one=two-stage beta{i + 1}", CRC["se"][i], 1e-7)
        for j in range(2):
            ck.same(crc_one["reml"]["psi"][i][j], r["psi"][i][j], f"one=two-stage psi{i + 1}{j + 1}", 1e-4, 1e-6)


def main():
    morvex, folder = sys.argv[1], sys.argv[2]
    if not os.path.isdir(folder):
        print(f"FAIL: the published tables are missing: no folder {folder}")
        return 1
    ck, cache, got = Checker(), {}, {}
    for table, shape, K, one in CASES:
        got[(table, shape, one)] = run_case(ck, morvex, folder, table, shape, K, one, cache)
    esoph, two, one = (got[("alcohol_esoph.csv", "quadratic", False)],
                       got[("alcohol_crc.csv", "spline", False)], got[("alcohol_crc.csv", "spline", True)])
    if esoph and two and one:
        check_issue_figures(ck, esoph, two, one)
    # A linear trend pools as the slopes do: moments = DerSimonian-Laird, REML = REML.
    run = subprocess.run([morvex, "--format=json", "--pool", "--trend=linear",
                          os.path.join(folder, "coffee_cvd.csv")], capture_output=True)
    doc = json.loads(run.stdout)
    for name, key in (("fixed", "fixed"), ("moments", "dl"), ("reml", "reml")):
        ck.same(doc["curve"][name]["beta"][0], doc["pooled"][key]["estimate"], f"linear {name}", rel=1e-8)
        ck.same(math.sqrt(doc["curve"][name]["cov"][0][0]), doc["pooled"][key]["se"], f"linear {name} se", rel=1e-8)
    for f in ck.failures:
        print("FAIL:", f)
    print(f"{len(CASES)} analyses, {ck.compared} figures compared, {len(ck.failures)} failures")
    return 1 if ck.failures else 0


if __name__ == "__main__":
    sys.exit(main())
