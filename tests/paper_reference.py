#!/usr/bin/env python3
"""Independent reference for the analyses a paper reports beside the trend: highest versus
lowest, meta-regression, trim-and-fill, Begg's rank test, goodness of fit and the test that
subgroup curves differ. Plain Python and mpmath written from the methods' descriptions, no
code shared with the C++.

REML maxima (pooled and residual tau^2) are found by a different maximiser than the program's
(the restricted log-likelihood itself on a dense log grid, every local maximum of the grid and
the boundary tau^2 = 0 refined by golden section), from each start. Kendall's exact null
distribution is counted with integers (the product of 1 + x + ... + x^(j-1)) and checked against
all permutations for small k. Goodness of fit takes each study's covariance from the table by
curve_reference.py's plain-Python fit. Runs every published table (with seeded moderator
columns added) and seeded random sets written as log-RR tables; every figure must agree to 1e-6
relative, trim-and-fill's k0 and side exactly.

    python3 paper_reference.py MORVEX TABLE_FOLDER
"""
import csv
import io
import itertools
import json
import math
import os
import random
import subprocess
import sys
import tempfile

from mpmath import mp, mpf, betainc, erfc, gammainc, log, matrix, sqrt

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import curve_reference as curves  # noqa: E402  (plain-Python covariances, bases, GLS)

mp.dps = 30
Z = mpf("1.959963984540054")
REL = 1e-6


class Checker:
    def __init__(self):
        self.failures, self.compared = [], 0

    def same(self, got, want, what, scale=0.0, rel=REL):
        self.compared += 1
        if got is None or want is None:
            ok = got is None and want is None
        else:
            ok = math.isclose(float(got), float(want), rel_tol=rel, abs_tol=max(1e-300, rel * float(scale)))
        if not ok:
            self.failures.append(f"{what}: Morvex {got}, independent {want}")

    def equal(self, got, want, what):
        self.compared += 1
        if got != want:
            self.failures.append(f"{what}: Morvex {got!r}, independent {want!r}")


# ---- distributions ----
def chi2_upper(x, df):
    return gammainc(mpf(df) / 2, mpf(x) / 2, mp.inf, regularized=True) if x > 0 else mpf(1)


def t_two_sided(t, df):
    t, df = mpf(t), mpf(df)
    return betainc(df / 2, mpf(1) / 2, 0, df / (df + t * t), regularized=True)


def t_quantile(df):
    lo, hi = mpf(0), mpf(1000)
    for _ in range(200):
        mid = (lo + hi) / 2
        lo, hi = (mid, hi) if t_two_sided(mid, df) > mpf("0.05") else (lo, mid)
    return (lo + hi) / 2


def f_upper(f, d1, d2):
    return betainc(mpf(d2) / 2, mpf(d1) / 2, 0, mpf(d2) / (d2 + d1 * mpf(f)), regularized=True)


def normal_p(z):
    return erfc(abs(mpf(z)) / sqrt(2))


# ---- weighted least squares and the restricted likelihood ----
def wls(b, v, X, tau2):
    k, m = len(b), len(X[0])
    w = [1 / (mpf(x) + tau2) for x in v]
    A = matrix(m, m)
    c = matrix(m, 1)
    for i in range(k):
        for a in range(m):
            c[a] += w[i] * X[i][a] * b[i]
            for d in range(m):
                A[a, d] += w[i] * X[i][a] * X[i][d]
    H = A ** -1
    beta = H * c
    res = [b[i] - sum(X[i][a] * beta[a] for a in range(m)) for i in range(k)]
    quad = sum(w[i] * res[i] ** 2 for i in range(k))
    return w, A, H, beta, quad


def restricted_loglik(b, v, X, tau2):
    w, A, H, beta, quad = wls(b, v, X, tau2)
    return -(sum(log(mpf(x) + tau2) for x in v) + log(mp.det(A)) + quad) / 2


def golden(f, lo, hi, rounds=200):
    g = (math.sqrt(5) - 1) / 2 if isinstance(lo, float) else (sqrt(5) - 1) / 2
    a, b = lo, hi
    for _ in range(rounds):
        x1, x2 = b - g * (b - a), a + g * (b - a)
        if f(x1) >= f(x2):
            b = x2
        else:
            a = x1
    return (a + b) / 2


def loglik_float(b, v, X, t):
    """The same likelihood in doubles, for the grid: Cholesky of X'WX by hand."""
    k, m = len(b), len(X[0])
    w = [1.0 / (vi + t) for vi in v]
    A = [[sum(w[i] * X[i][a] * X[i][c] for i in range(k)) for c in range(m)] for a in range(m)]
    c = [sum(w[i] * X[i][a] * b[i] for i in range(k)) for a in range(m)]
    L = [[0.0] * m for _ in range(m)]
    for i in range(m):
        for j in range(i + 1):
            s = A[i][j] - sum(L[i][q] * L[j][q] for q in range(j))
            L[i][j] = math.sqrt(s) if i == j else s / L[j][j]
    u = [0.0] * m
    for i in range(m):
        u[i] = (c[i] - sum(L[i][q] * u[q] for q in range(i))) / L[i][i]
    beta = [0.0] * m
    for i in reversed(range(m)):
        beta[i] = (u[i] - sum(L[q][i] * beta[q] for q in range(i + 1, m))) / L[i][i]
    quad = sum(w[i] * (b[i] - sum(X[i][a] * beta[a] for a in range(m))) ** 2 for i in range(k))
    logdet = 2 * sum(math.log(L[i][i]) for i in range(m))
    return -(sum(math.log(vi + t) for vi in v) + logdet + quad) / 2


def reml_tau2(b, v, X):
    """The global maximum: each local maximum of a dense log grid, and 0, refined by golden
    section (in doubles, then in mpmath about the best)."""
    bf, vf = [float(x) for x in b], [float(x) for x in v]
    Xf = [[float(a) for a in row] for row in X]
    span = max(bf) - min(bf)
    top = 100 * max(max(vf), span * span)
    bottom = min(vf) * 1e-10
    n = 600
    grid = [0.0] + [bottom * (top / bottom) ** (j / n) for j in range(n + 1)]
    f = lambda t: loglik_float(bf, vf, Xf, t)  # noqa: E731
    values = [f(t) for t in grid]
    best_t, best, bracket = 0.0, values[0], None
    for j in range(1, len(grid)):
        if values[j] >= values[j - 1] and (j + 1 == len(grid) or values[j] >= values[j + 1]):
            around = (grid[j - 1], grid[min(j + 1, len(grid) - 1)])
            t = golden(f, around[0], around[1], 120)
            if f(t) > best:
                best_t, best, bracket = t, f(t), around
    if bracket is None:
        return mpf(0)
    # The likelihood can be too flat for doubles to place its top: mpmath over the bracket.
    g = lambda t: restricted_loglik(b, v, X, t)  # noqa: E731
    t = golden(g, mpf(bracket[0]), mpf(bracket[1]), 110)
    return t if g(t) > g(mpf(0)) else mpf(0)


def pool(b, v):
    X = [[1] for _ in b]
    out = {}
    w0, _, _, mu0, Q = wls(b, v, X, 0)
    k = len(b)
    trp = sum(w0) - sum(x * x for x in w0) / sum(w0)
    dl = max(mpf(0), (Q - (k - 1)) / trp)
    for name, tau2 in (("fixed", mpf(0)), ("dl", dl), ("reml", reml_tau2(b, v, X))):
        w, _, H, beta, _ = wls(b, v, X, tau2)
        se = sqrt(H[0, 0])
        e = {"estimate": beta[0], "se": se, "lower": beta[0] - Z * se, "upper": beta[0] + Z * se,
             "z": beta[0] / se, "p": normal_p(beta[0] / se), "tau2": tau2}
        e["kh_se"] = sqrt(sum(wi * (bi - beta[0]) ** 2 for wi, bi in zip(w, b)) / ((k - 1) * sum(w)))
        out[name] = e
    out["Q"], out["df"] = Q, k - 1
    out["I2"] = max(mpf(0), (Q - (k - 1)) / Q) * 100
    return out


# ---- meta-regression ----
def design(mods):
    """mods: list of (name, values); numbers give a column, texts a dummy per level but the first."""
    k = len(mods[0][1])
    X = [[mpf(1)] for _ in range(k)]
    names = ["intercept"]
    for name, values in mods:
        if all(isinstance(x, float) for x in values):
            for i in range(k):
                X[i].append(mpf(values[i]))
            names.append(name)
            continue
        levels = sorted(set(values), key=lambda s: s.encode())
        for level in levels[1:]:
            for i in range(k):
                X[i].append(mpf(1) if values[i] == level else mpf(0))
            names.append(f"{name}: {level}")
    return X, names


def meta_regression(b, v, mods, kh):
    X, names = design(mods)
    k, m = len(b), len(X[0])
    tau2 = reml_tau2(b, v, X)
    w, A, H, beta, quad = wls(b, v, X, tau2)
    _, _, _, _, QE = wls(b, v, X, 0)
    scale = quad / (k - m) if kh else mpf(1)
    cov = H * scale
    q = Z if not kh else t_quantile(k - m)
    terms = []
    for j in range(m):
        se = sqrt(cov[j, j])
        stat = beta[j] / se
        terms.append({"name": names[j], "estimate": beta[j], "se": se, "lower": beta[j] - q * se,
                      "upper": beta[j] + q * se, "stat": stat,
                      "p": t_two_sided(stat, k - m) if kh else normal_p(stat)})
    sub = matrix(m - 1, m - 1)
    bb = matrix(m - 1, 1)
    for i in range(1, m):
        bb[i - 1] = beta[i]
        for j in range(1, m):
            sub[i - 1, j - 1] = cov[i, j]
    QM = (bb.T * sub ** -1 * bb)[0]
    test = (QM / (m - 1), f_upper(QM / (m - 1), m - 1, k - m)) if kh else (QM, chi2_upper(QM, m - 1))
    tau0 = reml_tau2(b, v, [[1] for _ in b])
    R2 = max(mpf(0), 100 * (tau0 - tau2) / tau0) if tau0 > 0 else None
    return {"terms": terms, "test": test, "QE": QE, "QE_p": chi2_upper(QE, k - m), "df": k - m,
            "I2": max(mpf(0), 100 * (QE - (k - m)) / QE), "tau2": tau2, "tau0": tau0, "R2": R2,
            "cov": cov, "vmin": min(v)}


def compare_regression(ck, got, want, what):
    scale = max(float(abs(t["estimate"])) + float(t["se"]) for t in want["terms"])
    for g, t in zip(got["terms"], want["terms"]):
        ck.equal(g["name"], t["name"], f"{what} term")
        for key in ("estimate", "lower", "upper"):
            ck.same(g[key], t[key], f"{what} {t['name']} {key}", t["se"])
        ck.same(g["se"], t["se"], f"{what} {t['name']} se")
        ck.same(g["t" if "t" in g else "z"], t["stat"], f"{what} {t['name']} statistic", 1e-3)
        ck.same(g["p"], t["p"], f"{what} {t['name']} p", 1e-12)
    ck.same(got["test"]["value"], want["test"][0], f"{what} omnibus")
    ck.same(got["test"]["p"], want["test"][1], f"{what} omnibus p", 1e-12)
    ck.same(got["residual"]["Q"], want["QE"], f"{what} Q_E")
    ck.same(got["residual"]["p"], want["QE_p"], f"{what} Q_E p", 1e-12)
    ck.same(got["residual"]["I2"], want["I2"], f"{what} I2", 1e-3)
    # tau^2 near 0 is measured against the smallest within-study variance.
    ck.same(got["tau2"], want["tau2"], f"{what} tau2", 1e-6 * want["vmin"])
    ck.same(got["tau2_without"], want["tau0"], f"{what} tau2 without", 1e-6 * want["vmin"])
    ck.same(got["R2"], want["R2"], f"{what} R2", 1e-3)


# ---- trim-and-fill ----
def trimfill(b, v, estimator, model):
    k = len(b)
    side_fit = regression_side(b, v, model)
    right = side_fit < 0
    s = -1 if right else 1
    order = sorted(range(k), key=lambda i: (s * b[i], i))
    y = [s * mpf(b[i]) for i in order]
    vv = [v[i] for i in order]
    k0, previous, centre = 0, -1, None
    while k0 != previous:
        previous = k0
        kept = k - k0
        centre = y[0] if kept == 1 else pool(y[:kept], vv[:kept])[model]["estimate"]
        d = [x - centre for x in y]
        ranks = sorted(range(k), key=lambda i: (abs(d[i]), i))
        rank_of = {i: r + 1 for r, i in enumerate(ranks)}
        if estimator == "L0":
            Sr = sum(rank_of[i] for i in range(k) if d[i] > 0)
            k0 = round((4 * Sr - k * (k + 1)) / mpf(2 * k - 1))
        else:
            run = 0
            while run < k and d[ranks[k - 1 - run]] > 0:
                run += 1
            k0 = run - 1
        k0 = min(max(0, int(k0)), k - 1)
    filled = [(s * (2 * centre - y[j]), vv[j]) for j in range(k - k0, k)]
    all_b = [mpf(x) for x in b] + [f[0] for f in filled]
    all_v = list(v) + [f[1] for f in filled]
    return {"k0": k0, "side": "right" if right else "left", "slope": side_fit, "filled": filled,
            "adjusted": pool(all_b, all_v), "centre": s * centre}


def regression_side(b, v, model):
    X = [[mpf(1), sqrt(mpf(x))] for x in v]
    if model == "fixed":
        tau2 = 0
    elif model == "dl":
        w, A, H, beta, QE = wls(b, v, X, 0)
        k = len(b)
        h = [w[i] * sum(X[i][a] * H[a, c] * X[i][c] for a in range(2) for c in range(2)) for i in range(k)]
        trace = sum(w[i] * (1 - h[i]) for i in range(k))
        tau2 = max(mpf(0), (QE - (k - 2)) / trace)
    else:
        tau2 = reml_tau2(b, v, X)
    return wls(b, v, X, tau2)[3][1]


# ---- Begg's rank test ----
def mahonian(n):
    counts = [1]
    for j in range(2, n + 1):
        nxt = [0] * (len(counts) + j - 1)
        for i, c in enumerate(counts):
            for step in range(j):
                nxt[i + step] += c
        counts = nxt
    return counts


def begg(b, v):
    k = len(b)
    w = [1 / mpf(x) for x in v]
    fe = sum(wi * bi for wi, bi in zip(w, b)) / sum(w)
    vfe = 1 / sum(w)
    x = [(mpf(b[i]) - fe) / sqrt(mpf(v[i]) - vfe) for i in range(k)]
    y = [mpf(t) for t in v]
    sign = lambda a: (a > 0) - (a < 0)  # noqa: E731
    S = sum(sign(x[i] - x[j]) * sign(y[i] - y[j]) for i in range(k) for j in range(i + 1, k))
    tx = [len(list(g)) for _, g in itertools.groupby(sorted(x))]
    ty = [len(list(g)) for _, g in itertools.groupby(sorted(y))]
    n0 = k * (k - 1) // 2
    n1 = sum(t * (t - 1) // 2 for t in tx)
    n2 = sum(t * (t - 1) // 2 for t in ty)
    tau = S / sqrt(mpf((n0 - n1) * (n0 - n2)))
    if k < 50 and n1 == 0 and n2 == 0:
        counts = mahonian(k)
        total = math.factorial(k)
        D = (n0 - S) // 2
        lower = mpf(sum(counts[:D + 1])) / total
        upper = mpf(sum(counts[D:])) / total
        return {"tau": tau, "S": S, "p": min(mpf(1), 2 * min(lower, upper)), "exact": True}
    var = (mpf(k * (k - 1) * (2 * k + 5)) - sum(t * (t - 1) * (2 * t + 5) for t in tx)
           - sum(t * (t - 1) * (2 * t + 5) for t in ty)) / 18
    var += mpf(sum(t * (t - 1) for t in tx)) * sum(t * (t - 1) for t in ty) / (2 * k * (k - 1))
    var += mpf(sum(t * (t - 1) * (t - 2) for t in tx)) * sum(t * (t - 1) * (t - 2) for t in ty) / (
        9 * k * (k - 1) * (k - 2))
    z = S / sqrt(var)
    return {"tau": tau, "S": S, "z": z, "p": normal_p(z), "exact": False}


def check_mahonian(ck):
    for n in range(1, 8):
        counts = [0] * (n * (n - 1) // 2 + 1)
        for perm in itertools.permutations(range(n)):
            counts[sum(perm[i] > perm[j] for i in range(n) for j in range(i + 1, n))] += 1
        ck.equal(mahonian(n), counts, f"Mahonian numbers n={n}")


# ---- the inputs ----
def read_rows(path):
    with open(path, newline="", encoding="utf-8-sig") as f:
        return list(csv.DictReader(f))


def highest(rows):
    """Per study (in order of first appearance): the highest dose's log RR and variance."""
    out = []
    for _, rs, logscale, ref in curves.study_rows(rows):
        top = max((r for r in rs if r is not ref), key=lambda r: float(r["dose"]))
        if logscale:
            out.append((mpf(top["logrr"]), mpf(top["se"]) ** 2))
        else:
            out.append((log(mpf(top["rr"])), ((log(mpf(top["ub"])) - log(mpf(top["lb"]))) / mpf("1.96") / 2) ** 2))
    return out


def with_moderators(rows, rng):
    """Adds `year` (a number, on one row of some studies only) and `region` (text)."""
    ids = list(dict.fromkeys(r["id"] for r in rows))
    year = {i: float(rng.randint(1975, 2015)) for i in ids}
    region = {i: rng.choice(["Asia", "Europe", "USA", "europe"]) for i in ids}
    one_row = {i: rng.random() < 0.3 for i in ids}
    seen = set()
    out = []
    for r in rows:
        r = dict(r)
        first = r["id"] not in seen
        seen.add(r["id"])
        r["year"] = ("%g" % year[r["id"]]) if first or not one_row[r["id"]] else ""
        r["region"] = region[r["id"]]
        out.append(r)
    return out, year, region


def write_rows(path, rows):
    with open(path, "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=list(rows[0].keys()))
        w.writeheader()
        w.writerows(rows)


def run(morvex, args):
    done = subprocess.run([morvex, "--format=json"] + args, capture_output=True, text=True)
    if done.returncode not in (0, 4):
        raise SystemExit(f"Morvex {' '.join(args)} ended with {done.returncode}: {done.stderr}")
    return json.loads(done.stdout)


def compare_pool(ck, got, want, what, rr=False):
    for name in ("fixed", "dl", "reml"):
        g, e = got[name], want[name]
        for key in ("estimate", "lower", "upper"):
            ck.same(g[key], e[key], f"{what} {name} {key}", e["se"])
        ck.same(g["se"], e["se"], f"{what} {name} se")
        ck.same(g["p"], e["p"], f"{what} {name} p", 1e-12)
        if name != "fixed":
            ck.same(g["tau2"], e["tau2"], f"{what} {name} tau2", 1e-9 * float(e["se"]) ** 2)
        if rr:
            ck.same(g["rr"], mp.exp(e["estimate"]), f"{what} {name} rr")
    ck.same(got["heterogeneity"]["Q"], want["Q"], f"{what} Q")


def check_table(ck, morvex, path, rng, tmp):
    name = os.path.basename(path)
    rows, year, region = with_moderators(read_rows(path), rng)
    table = os.path.join(tmp, name)
    write_rows(table, rows)
    for variant, extra in (("", []), ("kh, R0, DL", ["--knapp-hartung", "--trim-and-fill=R0", "--model=dl"]),
                           ("fixed", ["--trim-and-fill", "--model=fixed"])):
        args = ["--highest-vs-lowest", "--moderator=year", "--moderator=region", "--trim-and-fill",
                "--rank-test", "--goodness-of-fit"] + extra + [table]
        doc = run(morvex, args)
        what = f"{name} {variant}".strip()
        studies = [s for s in doc["studies"] if s["status"] == "complete"]
        b = [mpf(s["beta"]) for s in studies]
        v = [mpf(s["se"]) ** 2 for s in studies]
        kh = "--knapp-hartung" in extra
        if not extra:
            top = highest(rows)
            got = doc["pooled"]["highest_vs_lowest"]
            want = pool([t[0] for t in top], [t[1] for t in top])
            compare_pool(ck, got["models"], want, f"{what} highest vs lowest", True)
            check_fit(ck, doc["goodness_of_fit"], table, what)
        reg = doc["pooled"]["meta_regression"]
        mods = [("year", [year[s["id"]] for s in studies]), ("region", [region[s["id"]] for s in studies])]
        compare_regression(ck, reg, meta_regression(b, v, mods, kh), f"{what} meta-regression")
        model = "dl" if "--model=dl" in extra else "fixed" if "--model=fixed" in extra else "reml"
        estimator = "R0" if "--trim-and-fill=R0" in extra else "L0"
        check_fill(ck, doc["pooled"]["trim_and_fill"], trimfill(b, v, estimator, model), what)
        check_rank(ck, doc["pooled"]["rank_test"], begg(b, v), what)


SEEN = {"k0 > 0": 0, "missing right": 0, "exact rank test": 0, "normal rank test": 0}


def check_fill(ck, got, want, what):
    SEEN["k0 > 0"] += want["k0"] > 0
    SEEN["missing right"] += want["side"] == "right"
    ck.equal(got["k0"], want["k0"], f"{what} trim-and-fill k0")
    ck.equal(got["side"], want["side"], f"{what} trim-and-fill side")
    for g, (fb, fv) in zip(got["filled"], want["filled"]):
        ck.same(g["estimate"], fb, f"{what} filled estimate", sqrt(fv))
    compare_pool(ck, got["adjusted"], want["adjusted"], f"{what} trim-and-fill adjusted")


def check_rank(ck, got, want, what):
    SEEN["exact rank test" if want["exact"] else "normal rank test"] += 1
    ck.same(got["tau"], want["tau"], f"{what} Kendall tau", 1e-12)
    ck.equal(got["exact"], want["exact"], f"{what} rank test exact")
    ck.same(got["p"], want["p"], f"{what} rank test p", 1e-15)


def check_fit(ck, got, table, what):
    studies = curves.read_table(table)
    f = curves.basis("linear", None)
    units = [(st["y"], curves.design(f, st), st["S"]) for st in studies]
    beta, H, ll, quad = curves.gls(units, curves.mat(1, 1))
    total = 0.0
    for y, X, S in units:
        total += curves.mul(curves.mul(curves.tr(curves.col(y)), curves.inv(S)), curves.col(y))[0][0]
    ck.same(got["deviance"], quad, f"{what} deviance")
    ck.same(got["R2"], 1 - quad / total, f"{what} R2")
    n = sum(len(u[0]) for u in units)
    ck.equal(got["df"], n - 1, f"{what} deviance df")
    for g, (y, X, S) in zip(got["residuals"], units):
        L = mp.cholesky(matrix(S))
        r = matrix([y[i] - X[i][0] * beta[0] for i in range(len(y))])
        e = mp.lu_solve(L, r)
        for i in range(len(y)):
            ck.same(g["residuals"][i], e[i], f"{what} residual {g['id']}:{i + 1}", 1e-6)


# ---- seeded random sets: one exposed category per study, so each slope is its log RR ----
def random_table(rng, k, decades, ties):
    se = [10 ** (-3 + rng.uniform(0, decades)) for _ in range(k)]
    if ties:
        se[1] = se[0]
    tau = 10 ** rng.uniform(-4, -1) if rng.random() < 0.8 else 0.0
    shift = rng.uniform(-0.02, 0.02)
    b = [shift + tau * rng.gauss(0, 1) + s * rng.gauss(0, 1) + (0.5 * s if rng.random() < 0.4 else 0)
         for s in se]
    mods = [rng.choice(["a", "b", "c"]) for _ in range(k)]
    years = [float(rng.randint(1980, 2020)) for _ in range(k)]
    lines = ["id,type,dose,cases,n,logrr,se,group,year"]
    for i in range(k):
        lines.append(f"s{i},ir,0,100,100000,,,{mods[i]},{years[i]:g}")
        lines.append(f"s{i},ir,1,{100 * math.exp(b[i]):.6f},100000,{b[i]!r},{se[i]!r},{mods[i]},{years[i]:g}")
    return "\n".join(lines) + "\n", mods, years


def check_random(ck, morvex, rng, tmp, sets):
    for n in range(sets):
        k = rng.randint(5, 60)
        text, groups, years = random_table(rng, k, rng.uniform(0, 4), n % 5 == 0)
        path = os.path.join(tmp, f"random{n}.csv")
        with open(path, "w") as f:
            f.write(text)
        estimator = "R0" if n % 2 else "L0"
        model = ("reml", "dl", "fixed")[n % 3]
        kh = n % 4 == 1
        args = ["--moderator=year", "--moderator=group", f"--trim-and-fill={estimator}", f"--model={model}",
                "--rank-test"] + (["--knapp-hartung"] if kh else []) + [path]
        doc = run(morvex, args)
        studies = doc["studies"]
        b = [mpf(s["beta"]) for s in studies]
        v = [mpf(s["se"]) ** 2 for s in studies]
        what = f"random set {n} (k = {k})"
        mods = [("year", years), ("group", groups)]
        compare_regression(ck, doc["pooled"]["meta_regression"], meta_regression(b, v, mods, kh), what)
        check_fill(ck, doc["pooled"]["trim_and_fill"], trimfill(b, v, estimator, model), what)
        check_rank(ck, doc["pooled"]["rank_test"], begg(b, v), what)


def check_curve_subgroups(ck, morvex, folder, tmp):
    """The subgroups' quadratic curves by type: each against curve_reference's two-stage fit
    with the whole analysis's knots (here none), and Q_b from those fits."""
    path = os.path.join(folder, "coffee_mort.csv")
    doc = run(morvex, ["--trend=quadratic", "--by=type", path])
    rows = read_rows(path)
    types = {r["id"]: r["type"] for r in rows}
    studies = curves.read_table(path)
    got = doc["curve_subgroups"]
    fits = []
    for g in got["groups"]:
        own = [s for s in studies if types[s["id"]] == g["value"]]
        want = curves.analyse(own, "quadratic", at=[], ref_dose=0.0)
        for name, key in (("fixed", "fixed"), ("moments", "mm")):
            for i in range(2):
                se = math.sqrt(want[key]["cov"][i][i])
                ck.same(g["curve"][name]["beta"][i], want[key]["beta"][i], f"subgroup {g['value']} {name} b{i}", se)
        fits.append(want["fixed"])
    p = 2
    info = curves.mat(p, p)
    weighted = curves.mat(p, 1)
    for f in fits:
        W = curves.inv(f["cov"])
        info = curves.add(info, W)
        weighted = curves.add(weighted, curves.mul(W, curves.col(f["beta"])))
    combined = curves.mul(curves.inv(info), weighted)
    Q = 0.0
    for f in fits:
        e = curves.add(curves.col(f["beta"]), combined, -1.0)
        Q += curves.mul(curves.mul(curves.tr(e), curves.inv(f["cov"])), e)[0][0]
    test = [t for t in got["tests"] if t["method"] == "fixed"][0]
    ck.same(test["Q"], Q, "curve subgroups Q_b (fixed)")
    ck.equal(test["df"], p * (len(fits) - 1), "curve subgroups df")


def main():
    morvex, folder = sys.argv[1], sys.argv[2]
    ck = Checker()
    check_mahonian(ck)
    rng = random.Random(29)
    tables = sorted(f for f in os.listdir(folder) if f.endswith(".csv"))
    if not tables:
        raise SystemExit(f"no tables in {folder}")
    with tempfile.TemporaryDirectory() as tmp:
        for t in tables:
            check_table(ck, morvex, os.path.join(folder, t), rng, tmp)
        check_random(ck, morvex, rng, tmp, int(sys.argv[3]) if len(sys.argv) > 3 else 40)
        check_curve_subgroups(ck, morvex, folder, tmp)
    for f in ck.failures[:40]:
        print("FAIL", f)
    print(f"{ck.compared} figures compared, {len(ck.failures)} differ; cases seen: {SEEN}")
    sys.exit(1 if ck.failures else 0)


if __name__ == "__main__":
    main()
