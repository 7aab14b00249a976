#!/usr/bin/env python3
"""Tables of means (--measure=md|smd) against an independent computation written from the
method's description, sharing no code with the C++.

Seeded random tables of both measures (the reference marked, or the smallest dose; rows in
any order; groups of 2 to 2000 people): each study's differences, covariance, slope and SE by
GLS, and the fixed effect, DerSimonian-Laird and REML pooling (REML's tau^2 as the global
maximum of the restricted likelihood over a grid, refined by bisection of the score's sign
change, all in mpmath at 50 digits) must agree to 1e-9 relative. Then a restricted cubic
spline, two-stage and one-stage (the first stage, fixed effect and REML of
curve_reference.py, itself plain Python), and the predicted differences, to 1e-6. Highest
versus lowest pools each study's highest dose's difference, with its variance, as the slopes.

    python3 means_reference.py MORVEX
"""
import json
import math
import os
import random
import re
import subprocess
import sys
import tempfile

import mpmath

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import curve_reference  # noqa: E402  (the pooled curve, plain Python)
from curve_reference import analyse  # noqa: E402

mpmath.mp.dps = 50
Z = 1.959963984540054
REL = 1e-9


def make_table(rng, measure, k, path):
    """k studies; returns their rows as the independent side reads them."""
    studies, lines = [], ["id,dose,mean,sd,n,ref"]
    for s in range(k):
        C = rng.randint(2, 6)
        doses = sorted(rng.sample(range(0, 60), C))
        doses = [d + rng.choice([0, 0.5, 0.25]) for d in doses]
        base, slope = rng.uniform(20, 150), rng.gauss(0.3, 0.2)
        cats = []
        for d in doses:
            n = rng.choice([2, 3, rng.randint(10, 60), rng.randint(60, 2000)])
            sd = rng.uniform(0.5, 30)
            mean = base + slope * (d - doses[0]) + rng.gauss(0, sd / math.sqrt(n))
            cats.append([d, round(mean, 4), round(sd, 3), n])
        marked = rng.random() < 0.5
        order = list(range(C))
        rng.shuffle(order)
        for i in order:
            d, m, sd, n = cats[i]
            mark = "ref" if marked and i == 0 else ""
            lines.append(f"s{s},{d},{m},{sd},{n},{mark}")
        studies.append({"id": f"s{s}", "cats": cats})
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return studies


def differences(cats, measure):
    """y and S of the exposed categories against the first (the reference), in mpmath."""
    mp = mpmath.mpf
    d0, m0, s0, n0 = (mp(v) for v in cats[0])
    ex = [[mp(v) for v in c] for c in cats[1:]]
    if measure == "md":
        y = [m - m0 for _, m, _, _ in ex]
        S = [[(s * s / n if i == j else 0) + s0 * s0 / n0 for j in range(len(ex))]
             for i, (_, _, s, n) in enumerate(ex)]
        return y, S
    nu = sum(mp(c[3]) for c in cats) - len(cats)
    pooled = mpmath.sqrt(sum((mp(c[3]) - 1) * mp(c[2]) ** 2 for c in cats) / nu)
    J = 1 - mp(3) / (4 * nu - 1)
    y = [J * (m - m0) / pooled for _, m, _, _ in ex]
    S = [[(1 / ex[i][3] if i == j else 0) + 1 / n0 + y[i] * y[j] / (2 * nu) for j in range(len(ex))]
         for i in range(len(ex))]
    return y, S


def gls_slope(x, y, S):
    Sm = mpmath.matrix(S)
    Wx = mpmath.lu_solve(Sm, mpmath.matrix(x))
    q = sum(x[i] * Wx[i] for i in range(len(x)))
    b = sum(y[i] * Wx[i] for i in range(len(x))) / q
    return b, mpmath.sqrt(1 / q)


def pooled(b, v):
    """Fixed effect, DerSimonian-Laird and REML of slopes b with variances v (mpmath)."""
    def at(t):
        w = [1 / (vi + t) for vi in v]
        mu = sum(wi * bi for wi, bi in zip(w, b)) / sum(w)
        return mu, mpmath.sqrt(1 / sum(w))
    k = len(b)
    w = [1 / vi for vi in v]
    mu_f, _ = at(0)
    Q = sum(wi * (bi - mu_f) ** 2 for wi, bi in zip(w, b))
    c = sum(w) - sum(wi * wi for wi in w) / sum(w)
    t_dl = max(mpmath.mpf(0), (Q - (k - 1)) / c)

    def loglik(t):
        wt = [1 / (vi + t) for vi in v]
        mu = sum(wi * bi for wi, bi in zip(wt, b)) / sum(wt)
        return -(sum(mpmath.log(vi + t) for vi in v) + mpmath.log(sum(wt))
                 + sum(wi * (bi - mu) ** 2 for wi, bi in zip(wt, b))) / 2

    def score(t):
        return mpmath.diff(loglik, t)

    spread = max(max(b) - min(b), mpmath.mpf(1e-300)) ** 2
    grid = [mpmath.mpf(0)] + [spread * mpmath.mpf(10) ** (e / 8) for e in range(-160, 40)]
    best = max(grid, key=loglik)
    t_reml = best
    # Refine between the grid neighbours by bisection of the score's sign change.
    i = grid.index(best)
    lo, hi = grid[max(i - 1, 0)], grid[min(i + 1, len(grid) - 1)]
    if i == 0 and score(mpmath.mpf(0)) <= 0:
        t_reml = mpmath.mpf(0)
    else:
        for _ in range(400):
            mid = (lo + hi) / 2
            if score(mid) > 0:
                lo = mid
            else:
                hi = mid
        t_reml = (lo + hi) / 2
    out = {}
    for name, t in (("fixed", 0), ("dl", t_dl), ("reml", t_reml)):
        mu, se = at(t)
        out[name] = {"estimate": mu, "se": se, "tau2": t}
    out["Q"] = Q
    out["I2"] = max(mpmath.mpf(0), (Q - (k - 1)) / Q) * 100 if Q > 0 else mpmath.mpf(0)
    return out


class Checker(curve_reference.Checker):
    """Figures of mpmath, to 1e-9 unless said otherwise."""

    def same(self, got, want, what, scale=0.0, rel=REL):
        super().same(got, float(want), what, scale, rel)


def run(morvex, *args):
    done = subprocess.run([morvex, *args], capture_output=True)
    if done.returncode != 0:
        raise RuntimeError(f"{args}: status {done.returncode}: {done.stderr.decode()}")
    return json.loads(done.stdout)


def check_table(ck, morvex, path, measure, studies):
    doc = run(morvex, "--format=json", "--pool", "--highest-vs-lowest", f"--measure={measure}", path)
    slopes, variances, highest, highest_v = [], [], [], []
    for st, got in zip(studies, doc["studies"]):
        what = f"{measure} {os.path.basename(path)} {st['id']}"
        if got["id"] != st["id"] or got["measure"] != measure or got["status"] != "complete":
            ck.failures.append(f"{what}: {got['id']} {got.get('measure')} {got['status']} {got['message']}")
            continue
        x = [mpmath.mpf(c[0]) - mpmath.mpf(st["cats"][0][0]) for c in st["cats"][1:]]
        y, S = differences(st["cats"], measure)
        # The table lists the rows in any order; Morvex keeps it, the reference apart.
        perm = sorted(range(len(y)), key=lambda i: got["doses"][i])
        for i, yi in enumerate(y):
            ck.same(got[measure][perm[i]], yi, f"{what} y{i + 1}", math.sqrt(float(S[i][i])))
            for j in range(len(y)):
                ck.same(got["covariance"][perm[i]][perm[j]], S[i][j], f"{what} S{i + 1}{j + 1}")
        b, se = gls_slope(x, y, S)
        ck.same(got["beta"], b, f"{what} beta", float(se))
        ck.same(got["se"], se, f"{what} se")
        slopes.append(b)
        variances.append(se * se)
        # Highest versus lowest: the highest dose's difference and its variance.
        highest.append(y[-1])
        highest_v.append(S[-1][-1])
    for got, b, v, what in ((doc["pooled"], slopes, variances, "slope"),
                            (doc["pooled"]["highest_vs_lowest"]["models"], highest, highest_v,
                             "highest vs lowest")):
        want = pooled(b, v)
        scale = float(want["fixed"]["se"])
        for name in ("fixed", "dl", "reml"):
            ck.same(got[name]["estimate"], want[name]["estimate"], f"{measure} {path} {what} {name}", scale)
            ck.same(got[name]["se"], want[name]["se"], f"{measure} {path} {what} {name} se")
            if name != "fixed":
                ck.same(got[name]["tau2"], want[name]["tau2"], f"{measure} {path} {what} {name} tau2",
                        scale * scale)
        ck.same(got["heterogeneity"]["Q"], want["Q"], f"{measure} {path} {what} Q")
        ck.same(got["heterogeneity"]["I2"], want["I2"], f"{measure} {path} {what} I2", 1.0)
    for st, y, v in zip(doc["pooled"]["highest_vs_lowest"]["studies"], highest, highest_v):
        ck.same(st[measure], y, f"{measure} {path} highest of {st['id']}", math.sqrt(float(v)))
        ck.same(st["se"], mpmath.sqrt(v), f"{measure} {path} highest of {st['id']} se")


def check_curve(ck, morvex, path, measure, studies, one_stage):
    args = ["--format=json", "--trend=spline", f"--measure={measure}", path]
    doc = run(morvex, *(["--one-stage"] if one_stage else []), *args)
    curve = doc["curve"]
    units = []
    for st in studies:
        y, S = differences(st["cats"], measure)
        units.append({"id": st["id"], "x0": st["cats"][0][0], "x": [c[0] for c in st["cats"][1:]],
                      "y": [float(v) for v in y], "S": [[float(v) for v in r] for r in S]})
    want = analyse(units, "spline", 3, one_stage=one_stage)
    what = f"{measure} curve {'one' if one_stage else 'two'}-stage"
    if curve.get("measure") != measure:
        ck.failures.append(f"{what}: measure {curve.get('measure')}")
    for k, v in enumerate(want["knots"]):
        ck.same(curve["knots"][k], v, f"{what} knot {k + 1}", 1.0, 1e-6)
    for name, key in (("fixed", "fixed"), ("reml", "reml")):
        w, g = want[key], curve[name]
        for i in range(want["p"]):
            se = math.sqrt(w["cov"][i][i])
            ck.same(g["beta"][i], w["beta"][i], f"{what} {name} beta{i + 1}", se, 1e-6)
            ck.same(math.sqrt(g["cov"][i][i]), se, f"{what} {name} se{i + 1}", 0.0, 1e-6)
        for pr in g["predictions"]:
            z = [a - b for a, b in zip(spline_row(pr["dose"], want["knots"]),
                                       spline_row(curve["reference_dose"], want["knots"]))]
            md = sum(a * b for a, b in zip(z, w["beta"]))
            se = math.sqrt(max(0.0, sum(z[i] * w["cov"][i][j] * z[j] for i in range(2) for j in range(2))))
            scale = max(se, 1e-12)
            ck.same(pr[measure], md, f"{what} {name} {measure} at {pr['dose']}", scale, 1e-6)
            ck.same(pr["lower"], md - Z * se, f"{what} {name} lower at {pr['dose']}", scale, 1e-6)
            ck.same(pr["upper"], md + Z * se, f"{what} {name} upper at {pr['dose']}", scale, 1e-6)
            if "rr" in pr or "log_rr" in pr:
                ck.failures.append(f"{what}: a relative risk in a prediction of means: {pr}")


RATIO_WORDS = re.compile(r"\b(rr|RR|logrr|log_rr|rr_lower|rr_upper)\b|[Rr]elative risk|exp\(")


def with_moderators(path, out):
    """The table with a numeric and a text column of study-level values: `year` for the
    meta-regression, `region` (two subgroups of several studies) for curves by subgroup."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    rows = [lines[0] + ",year,region"]
    for line in lines[1:]:
        s = int(line.split(",")[0][1:])
        rows.append(f"{line},{1990 + s * 7 % 23},{'north' if s % 2 else 'south'}")
    with open(out, "w", encoding="utf-8") as f:
        f.write("\n".join(rows) + "\n")


def check_words(ck, morvex, path, measure):
    """Nothing of a relative risk in any output of a run of means: reports, CSV, JSON, the
    summary table and every picture, with every analysis asked for: those beside the slope,
    then also highest vs lowest (its forest in place of the slopes'), the meta-regression and
    its bubble plot, trim-and-fill (its funnel), the rank test, the goodness of fit and its
    residuals, and curves by subgroup."""
    with tempfile.TemporaryDirectory() as tmp:
        table = os.path.join(tmp, "moderated.csv")
        with_moderators(path, table)
        for fmt in ("text", "csv", "json"):
            for trend in ([], ["--trend=spline"]):
                for paper in (False, True):
                    names = ["s.csv", "p.svg", "f.svg"] + (["b.svg", "r.svg"] if paper else [])
                    files = [os.path.join(tmp, n) for n in names]
                    more = (["--highest-vs-lowest", "--moderator=year", f"--bubble={files[3]}",
                             "--trim-and-fill", "--rank-test", "--goodness-of-fit",
                             f"--residuals={files[4]}", "--by=region"] if paper else ["--by=id"])
                    done = subprocess.run([morvex, f"--format={fmt}", f"--measure={measure}",
                                           "--increment=5", "--knapp-hartung", "--leave-one-out",
                                           "--egger", f"--summary={files[0]}", f"--plot={files[1]}",
                                           f"--funnel={files[2]}", *more, *trend, table],
                                          capture_output=True, text=True)
                    texts = [done.stdout, done.stderr]
                    for name in files:
                        if not os.path.exists(name):
                            ck.failures.append(f"{measure} {fmt} {trend} {more}: no {name}: "
                                               f"{done.stderr}")
                            continue
                        with open(name, encoding="utf-8") as f:
                            texts.append(f.read())
                        os.remove(name)
                    for text in texts:
                        found = RATIO_WORDS.search(text)
                        if found:
                            ck.failures.append(f"{measure} {fmt} {trend} {more}: {found.group(0)!r} in "
                                               f"...{text[max(0, found.start() - 60):found.end() + 20]}...")
                    ck.compared += 1


def spline_row(x, t):
    p3 = lambda u: max(u, 0.0) ** 3  # noqa: E731
    return [x, (p3(x - t[0]) - p3(x - t[1]) * (t[2] - t[0]) / (t[2] - t[1])
                + p3(x - t[2]) * (t[1] - t[0]) / (t[2] - t[1])) / (t[2] - t[0]) ** 2]


def main():
    morvex = sys.argv[1]
    rng = random.Random(30)
    ck = Checker()
    tables = 0
    with tempfile.TemporaryDirectory() as tmp:
        for measure in ("md", "smd"):
            for t in range(8):
                path = os.path.join(tmp, f"{measure}{t}.csv")
                studies = make_table(rng, measure, rng.randint(2, 12), path)
                check_table(ck, morvex, path, measure, studies)
                tables += 1
            path = os.path.join(tmp, f"{measure}-curve.csv")
            studies = make_table(rng, measure, 10, path)
            for one_stage in (False, True):
                check_curve(ck, morvex, path, measure, studies, one_stage)
            check_words(ck, morvex, path, measure)
    for f in ck.failures:
        print("FAIL:", f)
    print(f"{tables} tables and 4 curves, {ck.compared} figures compared, {len(ck.failures)} failures")
    return 1 if ck.failures else 0


if __name__ == "__main__":
    sys.exit(main())
