#!/usr/bin/env python3
"""Seeded randomized differential test of the pooled curve (--trend): random tables (2 to 6
studies of 1 to 6 exposed categories, doses on three scales, counts over six decades, the three
designs) are pooled by Morvex (--format=json) as a quadratic or a spline of 3, 4 or 5 knots, in
two stages or one. From each study's log relative risks and covariance as Morvex printed them, an
independent computation in plain Python sharing no code with the C++ redoes the rest:

- the first stage and the method of moments in 50-digit arithmetic (mpmath; Gauss-Jordan
  inverses of the normal equations, which at 50 digits lose nothing that matters), the moments'
  equations in the n-space of every study;
- REML maximised differently from the program: Nelder-Mead over the log-Cholesky factor (inside
  the cone) and over p x r factors of every lower rank r (its boundary, Psi = 0 included), from
  many starts, the best refined by Newton steps on finite differences of the likelihood itself.

Morvex's REML log-likelihood must be at least the reference's; the coefficients and Psi of the
three methods agree to 1e-6 on the scale of each figure (relative, or relative to a coefficient's
standard error and Psi's within-study scale where the figure itself is near 0).

    python3 curve_differential.py MORVEX [CASES [SEED]]
"""
import json
import math
import os
import random
import subprocess
import sys
import tempfile

import mpmath

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from curve_reference import (PERCENTILES, add, basis, design, gls, inv, mat, moments,  # noqa: E402
                             mul, newton, quantile7, tr)

TOL = 1e-6
SHAPES = [("quadratic", None), ("spline", 3), ("spline", 4), ("spline", 5)]


def table(rng):
    """A random table and each study's doses as published, the reference's first."""
    m = rng.randint(3, 8)
    scale = rng.choice([0.01, 1.0, 1000.0])
    curve = [rng.uniform(-0.3, 0.5), rng.uniform(-0.05, 0.05)]
    lines, x0 = ["id,type,dose,cases,n,rr,lb,ub"], {}
    for k in range(m):
        sid, kind = "s%d" % (k + 1), rng.choice(["cc", "ci", "ir"])
        n = rng.randint(1, 6)
        ref = rng.choice([0.0, rng.uniform(0, 2)])
        doses = sorted(rng.uniform(ref, ref + 10) for _ in range(n))
        size = 10 ** rng.uniform(1.5, 7)
        a0, n0 = size, size * rng.uniform(3, 30)
        lines.append("%s,%s,%.6g,%d,%.10g,1,," % (sid, kind, ref * scale, round(a0), n0))
        x0[sid] = [float("%.6g" % (ref * scale))]
        shift = rng.gauss(0, 0.1)
        for x in doses:
            u = x - ref
            lrr = (curve[0] + shift) * u + curve[1] * u * u + rng.gauss(0, 0.05)
            a = max(3, round(a0 * math.exp(lrr) * rng.uniform(0.5, 1.5)))
            se = math.sqrt(1 / a + 1 / a0)
            rr = math.exp(lrr)
            x0[sid].append(float("%.6g" % (x * scale)))
            lines.append("%s,%s,%.6g,%d,%.10g,%.7g,%.7g,%.7g" % (
                sid, kind, x * scale, a, n0 * rng.uniform(0.5, 1.5), rr,
                rr * math.exp(-1.96 * se), rr * math.exp(1.96 * se)))
    return "\n".join(lines) + "\n", x0


def first_stage(X, y, S):
    """b and V by the normal equations in 50 digits; None when the design has rank below p."""
    mp = mpmath.mp
    Xm, ym, Sm = mpmath.matrix(X), mpmath.matrix(y), mpmath.matrix(S)
    p = Xm.cols
    if Xm.rows < p:
        return None
    W = Sm ** -1
    A = Xm.T * W * Xm
    # Rank on the whitened design with unit columns: the smallest singular value.
    scale = mpmath.diag([1 / mpmath.sqrt(A[j, j]) for j in range(p)])
    if min(mpmath.eigsy(scale * A * scale)[0]) < mp.mpf(10) ** -24:
        return None
    V = A ** -1
    b = V * Xm.T * W * ym
    return [b[i] for i in range(p)], [[V[i, j] for j in range(p)] for i in range(p)]


def factor_psi(theta, p, r, d, log_diagonal):
    """Psi = D L L' D with L p x r lower trapezoidal from theta."""
    L, k = mat(p, r), 0
    for j in range(r):
        for i in range(j, p):
            L[i][j] = (math.exp(theta[k]) if log_diagonal and i == j else theta[k]) * d[i]
            k += 1
    return mul(L, tr(L))


def cholesky_theta(psi, p, r, d, inside):
    """Theta whose factor_psi is near psi (scaled by d), its first r columns; a ridge keeps it
    positive definite."""
    a = [[psi[i][j] / (d[i] * d[j]) + (1e-6 if i == j else 0.0) for j in range(p)]
         for i in range(p)]
    L = mat(p, p)
    for j in range(p):
        v = a[j][j] - sum(L[j][k] ** 2 for k in range(j))
        L[j][j] = math.sqrt(max(v, 1e-12))
        for i in range(j + 1, p):
            L[i][j] = (a[i][j] - sum(L[i][k] * L[j][k] for k in range(j))) / L[j][j]
    return [math.log(L[i][j]) if inside and i == j else L[i][j]
            for j in range(r) for i in range(j, p)]


def factor(a):
    """Cholesky factor of a symmetric matrix; ValueError where a pivot is lost in rounding."""
    n = len(a)
    C = mat(n, n)
    for j in range(n):
        v = a[j][j] - sum(C[j][k] ** 2 for k in range(j))
        if not v > 1e-12 * abs(a[j][j]):
            raise ValueError("not positive definite")
        C[j][j] = math.sqrt(v)
        for i in range(j + 1, n):
            C[i][j] = (a[i][j] - sum(C[i][k] * C[j][k] for k in range(j))) / C[j][j]
    return C


def safe(units, theta, p, r, d, inside):
    """-loglik at theta, infinite where the model cannot be evaluated (a Sigma_i that rounding
    makes singular among them)."""
    try:
        psi = factor_psi(theta, p, r, d, inside)
        for y, X, S in units:
            factor(add(S, mul(mul(X, psi), tr(X))))
        return -gls(units, psi)[2]
    except (ZeroDivisionError, ValueError, OverflowError):
        return float("inf")


def bfgs(fun, x, rounds=150):
    """Quasi-Newton descent on central-difference gradients with a backtracking line search."""
    n = len(x)

    def grad(x):
        g = []
        for i in range(n):
            h = 1e-6 * max(1.0, abs(x[i]))
            e = x[:]
            e[i] += h
            fp = fun(e)
            e[i] -= 2 * h
            g.append((fp - fun(e)) / (2 * h))
        return g

    fx, g = fun(x), grad(x)
    H = [[float(i == j) for j in range(n)] for i in range(n)]
    for _ in range(rounds):
        d = [-sum(H[i][j] * g[j] for j in range(n)) for i in range(n)]
        slope = sum(a * b for a, b in zip(d, g))
        if slope >= 0 or not math.isfinite(fx):
            H = [[float(i == j) for j in range(n)] for i in range(n)]
            d, slope = [-v for v in g], -sum(v * v for v in g)
        t = 1.0
        while t > 1e-12:
            xn = [a + t * b for a, b in zip(x, d)]
            fn = fun(xn)
            if fn <= fx + 1e-4 * t * slope:
                break
            t /= 2
        else:
            break
        gn = grad(xn)
        s_ = [a - b for a, b in zip(xn, x)]
        y_ = [a - b for a, b in zip(gn, g)]
        sy = sum(a * b for a, b in zip(s_, y_))
        done = abs(fx - fn) < 1e-15 * (1 + abs(fx))
        x, fx, g = xn, fn, gn
        if done or max(abs(v) for v in g) < 1e-9:
            break
        if sy > 1e-300:
            Hy = [sum(H[i][j] * y_[j] for j in range(n)) for i in range(n)]
            yHy = sum(a * b for a, b in zip(y_, Hy))
            H = [[H[i][j] + ((sy + yHy) * s_[i] * s_[j] / sy - Hy[i] * s_[j] - s_[i] * Hy[j]) / sy
                  for j in range(n)] for i in range(n)]
    return x, fx


def reml(units, p, mm_psi):
    """The global maximum over the cone and its boundary (every lower rank, Psi = 0 included)
    by quasi-Newton descent on finite-difference gradients from several starts per rank, the
    best refined by Newton on finite differences."""
    A = mat(p, p)
    for y, X, S in units:
        A = add(A, mul(mul(tr(X), inv(S)), X))
    d = [math.sqrt(len(units) * inv(A)[j][j]) for j in range(p)]
    ident = [[d[i] * d[j] * (i == j) for j in range(p)] for i in range(p)]
    mm = [[float(v) for v in row] for row in mm_psi]
    runs = [(-gls(units, mat(p, p))[2], None, 0)]  # Psi = 0, the boundary's corner
    for r in range(p, 0, -1):
        inside = r == p

        def fun(theta, r=r, inside=inside):
            return safe(units, theta, p, r, d, inside)

        seeds = [mm] + [[[v * s for v in row] for row in ident] for s in (0.1, 1.0, 10.0)]
        seeds += [factor_psi(x, p, k, d, k == p) for _, x, k in sorted(runs[1:])[:2]]
        for seed in seeds:
            x, fx = bfgs(fun, cholesky_theta(seed, p, r, d, inside))
            runs.append((fx, x, r))
    runs.sort(key=lambda v: v[0])
    best = runs[0]
    for fx, x, r in runs[:3]:
        if x is None:
            continue
        inside = r == p
        x, fx = newton(lambda t, r=r, inside=inside: safe(units, t, p, r, d, inside), x)
        if fx < best[0]:
            best = (fx, x, r)
    fx, x, r = best
    psi = mat(p, p) if x is None else factor_psi(x, p, r, d, r == p)
    beta, H, ll, _ = gls(units, psi)
    return {"beta": beta, "cov": H, "psi": psi, "loglik": ll}


def close_vector(got, want, se):
    return all(abs(g - w) <= TOL * max(abs(w), s) for g, w, s in zip(got, want, se))


def close_psi(got, want, scale, tol=TOL):
    size = max([abs(want[i][i]) for i in range(len(want))] + [scale])
    return all(abs(got[i][j] - want[i][j]) <= tol * size
               for i in range(len(want)) for j in range(len(want)))


def check(morvex, index, text, x0, shape, K, one):
    label = "case %d: %s%s %s" % (index, shape, "" if K is None else " K=%d" % K,
                                  "one-stage" if one else "two-stage")
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "t%d.csv" % index)
        with open(path, "w") as f:
            f.write(text)
        args = [morvex, "--trend=" + shape, "--format=json", path]
        args += (["--knots=%d" % K] if K else []) + (["--one-stage"] if one else [])
        got = json.loads(subprocess.run(args, capture_output=True, text=True).stdout)
    studies = [s for s in got["studies"] if s["status"] == "complete"]
    curve = got["curve"]
    if curve["message"]:
        return label + " (no pooled curve: %s)" % curve["message"], []
    knots = curve["knots"] or None
    alldoses = [v for s in studies for v in x0[s["id"]]]
    if shape == "spline":
        want = [quantile7(alldoses, q / 100) for q in PERCENTILES[K]]
        if any(abs(a - b) > 1e-12 * max(1.0, abs(b)) for a, b in zip(knots, want)):
            return label, ["knots %s, want %s" % (knots, want)]
    f = basis(shape, knots)
    p = len(f(0.0))
    units, search, faults = [], [], []
    identity = [[mpmath.mpf(i == j) for j in range(p)] for i in range(p)]
    for s in studies:
        X = design(f, {"x0": x0[s["id"]][0], "x": x0[s["id"]][1:]})
        y, S = s["logrr"], s["covariance"]
        fit = first_stage(X, y, S)
        if one:
            # REML's search takes a study whose design has full rank by its p coefficients,
            # whose likelihood differs from its categories' by a constant only, but is not
            # lost in the rounding of large sums as the latter can be.
            units.append((y, X, S))
            search.append((fit[0], identity, fit[1]) if fit else (y, X, S))
            continue
        mine = next(c for c in curve["studies"] if c["id"] == s["id"])
        if (fit is None) != (not mine["usable"]):
            faults.append("%s: usable %s, reference %s" % (s["id"], mine["usable"], fit is not None))
        if fit is None or not mine["usable"]:
            continue
        b, V = fit
        if not close_vector(mine["b"], b, [math.sqrt(V[j][j]) for j in range(p)]):
            faults.append("%s: b %s, reference %s" % (s["id"], mine["b"], [float(v) for v in b]))
        units.append((b, identity, V))
    if faults or len(units) < 2:
        return label, faults
    mpunits = [([mpmath.mpf(v) for v in y], [[mpmath.mpf(v) for v in r] for r in X],
                [[mpmath.mpf(v) for v in r] for r in S]) for y, X, S in units]
    fixed = gls(mpunits, mat(p, p))
    mm = moments(mpunits, p)
    # The moments' equations can be ill-conditioned: a plain double solution of them
    # (Gauss-Jordan) shows how many digits double precision can keep.
    plain = moments([tuple([[float(v) for v in r] if isinstance(r, list) else float(r) for r in part]
                           for part in unit) for unit in mpunits], p)["psi"]
    mm_tol = max(TOL, 10 * max(abs(plain[i][j] - float(mm["psi"][i][j])) for i in range(p)
                               for j in range(p)) / max(abs(float(mm["psi"][i][i])) for i in range(p)))
    well_posed = len(units) > p + 1
    def floats(units):
        return [([float(v) for v in y], [[float(v) for v in r] for r in X],
                 [[float(v) for v in r] for r in S]) for y, X, S in units]

    rm = reml(floats(search if one else units), p, mm["psi"])
    rm["beta"], rm["cov"], rm["loglik"], _ = gls(floats(units), rm["psi"])
    scale = min(float(fixed[1][j][j]) for j in range(p)) * len(units)
    for name, want in (("fixed", {"beta": fixed[0], "cov": fixed[1], "psi": mat(p, p),
                                  "loglik": fixed[2]}), ("moments", mm), ("reml", rm)):
        m = curve[name]
        if not m["available"]:
            # Refusing equations that double precision cannot solve (a plain solution
            # of them off by more than 1e-3) is sound; refusing others is not.
            if name != "moments" or mm_tol <= 1e-2:
                faults.append("%s: not available (%s; moments tolerance %.2g)" % (
                    name, m["message"], mm_tol))
            continue
        se = [math.sqrt(float(want["cov"][j][j])) for j in range(p)]
        tol = mm_tol if name == "moments" else TOL
        if name == "reml" and m["loglik"] < float(want["loglik"]) - 1e-8 * (1 + abs(m["loglik"])):
            faults.append("reml: loglik %.12g below the reference's %.12g" % (
                m["loglik"], float(want["loglik"])))
            continue
        if name == "reml" and m["loglik"] > float(want["loglik"]) + 1e-8 * (1 + abs(m["loglik"])):
            # The reference's search fell short: Morvex's maximum must then be what the
            # likelihood, evaluated here, gives at its Psi.
            beta, cov, ll, _ = gls(floats(units), m["psi"])
            if abs(ll - m["loglik"]) > 1e-8 * (1 + abs(ll)):
                faults.append("reml: loglik %.12g at its Psi is %.12g here (reference's "
                              "maximum %.12g)" % (m["loglik"], ll, float(want["loglik"])))
                continue
            want = {"beta": beta, "cov": cov, "psi": m["psi"], "loglik": ll}
        if name == "reml" and not well_posed:
            continue  # Psi of p(p+1)/2 figures from p + 1 studies or fewer: a flat maximum
        if not all(abs(g - w) <= tol * max(abs(w), s) for g, w, s in
                   zip(m["beta"], [float(v) for v in want["beta"]], se)):
            faults.append("%s: beta %s, reference %s" % (name, m["beta"],
                                                         [float(v) for v in want["beta"]]))
        if not close_psi(m["psi"], [[float(v) for v in r] for r in want["psi"]], scale, tol):
            faults.append("%s: psi %s, reference %s" % (name, m["psi"],
                                                        [[float(v) for v in r] for r in want["psi"]]))
        if name == "reml" and not m["converged"]:
            faults.append("reml: not converged (gradient %g)" % m["gradient"])
    return label, faults


def main():
    morvex = sys.argv[1]
    cases = int(sys.argv[2]) if len(sys.argv) > 2 else 24
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 27
    mpmath.mp.dps = 50
    failed = 0
    only = [int(v) for v in sys.argv[4].split(",")] if len(sys.argv) > 4 else range(cases)
    for index in only:
        rng = random.Random(seed * 1000 + index)
        text, x0 = table(rng)
        shape, K = SHAPES[index % len(SHAPES)]
        label, faults = check(morvex, index, text, x0, shape, K, index % 8 >= 4)
        print(("FAIL " if faults else "ok   ") + label, flush=True)
        for fault in faults:
            print("     " + fault)
        failed += bool(faults)
    print("%d of %d cases differ" % (failed, cases))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
