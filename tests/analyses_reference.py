#!/usr/bin/env python3
"""The analyses beside the pooled slope checked from outside, with mpmath at 40 digits and no
code shared with the C++: the prediction interval, Knapp-Hartung, leave-one-out (REML found by
a grid scan and golden-section search on the restricted log-likelihood, not Fisher scoring),
Egger's regression (normal equations solved by the 2x2 inverse), subgroups and the test for
their differences, and Student's t (tail from the regularised incomplete beta of mpmath,
quantile by bisection on it). Every figure must agree to 1e-6 relative (to 1e-6 of the
pooled SE for figures near 0).

    python3 analyses_reference.py ANALYSES_FIGURES        check the program
    python3 analyses_reference.py --print                 print Table 3's figures for the C++ test
"""
import json
import subprocess
import sys

from mpmath import mp, mpf, sqrt, log, erfc, betainc, gammainc

mp.dps = 40
Z = mpf("1.959963984540054")

# Greenland and Longnecker (1992), Table 3: slopes per g/day of alcohol and their SEs.
TABLE3 = [(".00434", ".00247"), (".0109", ".0041"), (".0284", ".00564"), (".118", ".0476"),
          (".0121", ".00429"), (".087", ".0232"), (".00311", ".00373"), ("0", ".0094"),
          (".00597", ".00658"), (".0479", ".0205"), (".0389", ".00768"), (".203", ".0946"),
          ("-.00673", ".00419"), (".0111", ".00481"), (".0148", ".00635"), ("-.000787", ".00867")]
# Groups for the subgroup test: two of several studies, one of one study, one study without.
TABLE3_GROUPS = ["cc", "cohort", "cc", "cc", "cohort", "cc", "cohort", "NA", "cc", "cohort",
                 "cc", "single", "cohort", "cc", "cohort", "cc"]
CASES = {
    "Table 3": (TABLE3, TABLE3_GROUPS),
    "three studies": ([("0.0108351", "0.0050867"), ("-0.0128983", "0.00429292"),
                       ("-0.00730635", "0.0349211")], ["a", "a", "b"]),
    "four, homogeneous": ([("0.05", "0.01"), ("0.06", "0.02"), ("0.04", "0.015"), ("0.055", "0.03")],
                          ["x", "y", "x", "NA"]),
}


def t_two_sided(t, df):
    t, df = mpf(t), mpf(df)
    return betainc(df / 2, mpf(1) / 2, 0, df / (df + t * t), regularized=True)


def t_upper(t, df):
    half = t_two_sided(t, df) / 2
    return half if t >= 0 else 1 - half


def t_quantile(p, df):
    lo, hi = mpf(-1e6), mpf(1e6)
    for _ in range(400):
        mid = (lo + hi) / 2
        lo, hi = (mid, hi) if 1 - t_upper(mid, df) < p else (lo, mid)
    return (lo + hi) / 2


def summary(b, v, tau2):
    w = [1 / (x + tau2) for x in v]
    mu = sum(a * c for a, c in zip(w, b)) / sum(w)
    se = sqrt(1 / sum(w))
    return {"estimate": mu, "se": se, "lower": mu - Z * se, "upper": mu + Z * se, "z": mu / se,
            "p": erfc(abs(mu / se) / sqrt(2)), "tau2": tau2}


def restricted_loglik(b, v, tau2):
    w = [1 / (x + tau2) for x in v]
    mu = sum(a * c for a, c in zip(w, b)) / sum(w)
    return -(sum(log(x + tau2) for x in v) + log(sum(w)) + sum(a * (c - mu) ** 2 for a, c in zip(w, b))) / 2


def reml_tau2(b, v):
    top = 10 * max(max(v), max((x - y) ** 2 for x in b for y in b))
    grid = [mpf(0)] + [top * mpf(10) ** (-k / mpf(8)) for k in range(160, -1, -1)]
    values = [restricted_loglik(b, v, g) for g in grid]
    i = max(range(len(grid)), key=lambda j: values[j])
    lo, hi = grid[max(i - 1, 0)], grid[min(i + 1, len(grid) - 1)]
    g = (sqrt(5) - 1) / 2
    for _ in range(300):
        x1, x2 = hi - g * (hi - lo), lo + g * (hi - lo)
        if restricted_loglik(b, v, x1) >= restricted_loglik(b, v, x2):
            hi = x2
        else:
            lo = x1
    best = (lo + hi) / 2
    return mpf(0) if restricted_loglik(b, v, 0) >= restricted_loglik(b, v, best) else best


def pooling(b, se):
    v = [s * s for s in se]
    k = len(b)
    w = [1 / x for x in v]
    fe = summary(b, v, 0)
    del fe["tau2"]  # the fixed effect has none
    q = sum(a * (c - fe["estimate"]) ** 2 for a, c in zip(w, b))
    dl_tau2 = max(mpf(0), (q - (k - 1)) / (sum(w) - sum(a * a for a in w) / sum(w)))
    return {"fixed": fe, "dl": summary(b, v, dl_tau2), "reml": summary(b, v, reml_tau2(b, v)),
            "heterogeneity": {"Q": q, "df": k - 1,
                              "p": gammainc(mpf(k - 1) / 2, q / 2, mp.inf, regularized=True),
                              "I2": max(mpf(0), (q - (k - 1)) / q) * 100 if q > 0 else mpf(0)}}


def knapp_hartung(b, se, e):
    k = len(b)
    w = [1 / (s * s + e["tau2"]) for s in se]
    s_kh = sqrt(sum(a * (c - e["estimate"]) ** 2 for a, c in zip(w, b)) / ((k - 1) * sum(w)))
    q = t_quantile(mpf("0.975"), k - 1)
    t = e["estimate"] / s_kh
    return {"estimate": e["estimate"], "se": s_kh, "lower": e["estimate"] - q * s_kh,
            "upper": e["estimate"] + q * s_kh, "t": t, "p": t_two_sided(t, k - 1), "df": k - 1}


def egger(b, se):
    x = [1 / s for s in se]
    y = [c / s for c, s in zip(b, se)]
    n = len(b)
    sx, sxx = sum(x), sum(a * a for a in x)
    sy, sxy = sum(y), sum(a * c for a, c in zip(x, y))
    det = n * sxx - sx * sx
    inv00 = sxx / det
    intercept = (sxx * sy - sx * sxy) / det
    slope = (n * sxy - sx * sy) / det
    rss = sum((c - intercept - slope * a) ** 2 for a, c in zip(x, y))
    s = sqrt(rss / (n - 2) * inv00)
    q = t_quantile(mpf("0.975"), n - 2)
    t = intercept / s
    return {"intercept": {"estimate": intercept, "se": s, "lower": intercept - q * s,
                          "upper": intercept + q * s, "t": t, "p": t_two_sided(t, n - 2), "df": n - 2},
            "slope": slope}


def expected(pairs, groups):
    b = [mpf(x) for x, _ in pairs]
    se = [mpf(s) for _, s in pairs]
    k = len(b)
    r = pooling(b, se)
    for model in ("dl", "reml"):
        e = r[model]
        half = t_quantile(mpf("0.975"), k - 2) * sqrt(e["tau2"] + e["se"] ** 2)
        e["prediction"] = {"lower": e["estimate"] - half, "upper": e["estimate"] + half, "df": k - 2}
    r["knapp_hartung"] = {m: knapp_hartung(b, se, r[m]) for m in ("dl", "reml")}
    r["leave_one_out"] = []
    for i in range(k):
        others = pooling(b[:i] + b[i + 1:], se[:i] + se[i + 1:])
        r["leave_one_out"].append({"id": str(i + 1), "pooled": others})
    r["egger"] = egger(b, se)
    order = []
    for g in groups:
        if g != "NA" and g not in order:
            order.append(g)
    subgroups = []
    for g in order:
        idx = [i for i in range(k) if groups[i] == g]
        if len(idx) == 1:
            one = summary([b[idx[0]]], [se[idx[0]] ** 2], 0)
            del one["tau2"]
            entry = {"value": g, "k": 1, "fixed": one, "dl": one, "reml": one}
        else:
            entry = {"value": g, "k": len(idx), **pooling([b[i] for i in idx], [se[i] for i in idx])}
        subgroups.append(entry)
    difference = {}
    for model in ("fixed", "dl", "reml"):
        m = [s[model]["estimate"] for s in subgroups]
        w = [1 / s[model]["se"] ** 2 for s in subgroups]
        mean = sum(a * c for a, c in zip(w, m)) / sum(w)
        q = sum(a * (c - mean) ** 2 for a, c in zip(w, m))
        difference[model] = {"Q": q, "df": len(m) - 1,
                             "p": gammainc(mpf(len(m) - 1) / 2, q / 2, mp.inf, regularized=True)}
    r["subgroups"] = {"groups": subgroups, "difference": difference,
                      "left_out": [{"id": str(i + 1)} for i in range(k) if groups[i] == "NA"]}
    return r


failures, compared = [], 0


def compare(got, want, path, scale):
    global compared
    if isinstance(want, dict):
        for key, value in want.items():
            if key not in got:
                failures.append(f"{path}.{key}: missing")
            else:
                compare(got[key], value, f"{path}.{key}", scale)
    elif isinstance(want, list):
        if len(got) != len(want):
            failures.append(f"{path}: {len(got)} entries, want {len(want)}")
        for i, (g, w) in enumerate(zip(got, want)):
            compare(g, w, f"{path}[{i}]", scale)
    elif isinstance(want, str):
        if got != want:
            failures.append(f"{path}: {got!r}, want {want!r}")
    else:
        compared += 1
        want = mpf(want)
        tolerance = mpf("1e-6") * max(abs(want), scale)
        if got is None or abs(mpf(got) - want) > tolerance:
            failures.append(f"{path}: got {got}, want {mp.nstr(want, 17)}")


def check_t(program):
    tails = [(0, 1), (1, 1), (2.5, 1), (-2, 3), (3, 5), (0.1, 10), (10, 4), (40, 3), (1e-8, 5),
             (6, 100), (2, 0.5), (50, 30), (-7, 2), (300, 1)]
    quantiles = [(0.975, 1), (0.975, 2), (0.975, 3), (0.975, 5), (0.975, 14), (0.975, 30),
                 (0.025, 7), (0.995, 2), (0.9, 1000), (0.975, 0.5), (0.5, 4), (0.6, 3)]
    lines = [f"tail {t!r} {df!r}" for t, df in tails] + [f"quantile {p!r} {df!r}" for p, df in quantiles]
    out = subprocess.run([program, "t"], input="\n".join(lines) + "\n", capture_output=True,
                         text=True, check=True).stdout.split()
    global compared
    for line, got in zip(lines, out):
        kind, x, df = line.split()
        want = t_upper(mpf(x), mpf(df)) if kind == "tail" else t_quantile(mpf(x), mpf(df))
        compared += 1
        if abs(mpf(got) - want) > mpf("1e-12") * abs(want) + mpf("1e-15"):
            failures.append(f"t {line}: got {got}, want {mp.nstr(want, 17)}")


def main():
    if sys.argv[1:] == ["--print"]:
        r = expected(*CASES["Table 3"])
        dump = lambda d: {k: (float(v) if not isinstance(v, (dict, list, str)) else v) for k, v in d.items()}
        for model in ("dl", "reml"):
            print(model, "prediction", dump(r[model]["prediction"]))
            print(model, "knapp-hartung", dump(r["knapp_hartung"][model]))
        print("egger", dump(r["egger"]["intercept"]), float(r["egger"]["slope"]))
        for i in (0, 3, 15):
            print("without", i + 1, {m: dump(r["leave_one_out"][i]["pooled"][m]) for m in ("fixed", "dl", "reml")},
                  dump(r["leave_one_out"][i]["pooled"]["heterogeneity"]))
        print("difference", {m: dump(v) for m, v in r["subgroups"]["difference"].items()})
        for g in r["subgroups"]["groups"]:
            print("subgroup", g["value"], float(g["reml"]["estimate"]), float(g["reml"]["se"]))
        return 0
    program = sys.argv[1]
    check_t(program)
    for name, (pairs, groups) in CASES.items():
        text = "".join(f"{b} {s} {g}\n" for (b, s), g in zip(pairs, groups))
        doc = json.loads(subprocess.run([program], input=text, capture_output=True, text=True,
                                        check=True).stdout)["pooled"]
        want = expected(pairs, groups)
        scale = float(want["fixed"]["se"])
        compare(doc, want, name, scale)
    for failure in failures:
        print("FAIL:", failure)
    print(f"{compared} figures compared, {len(failures)} differ")
    return 1 if failures else 0


sys.exit(main())
