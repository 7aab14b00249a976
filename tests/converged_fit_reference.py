#!/usr/bin/env python3
"""The fitted counts and slopes of whole runs against the fully converged fit,
computed here in mpmath at 50 digits by another route than the program's Newton
steps: for a trial reference count A_0 each category's count follows in closed
form from its relative risk (A_i / B_i = RR_i A_0 / B_0 in a case-control study,
A_i = RR_i A_0 N_i / N_0 otherwise), and A_0 is found by bisection on the fixed
total of cases, A_0 + sum A_i(A_0) = M_1. Every fitted count, beta and se must
agree to 1e-6 relative, and the reported A_0 must be the one that goes with the
reported A_i. The small-reference-cell case holds studies whose reference cell
is 3 to 8 orders of magnitude below the others (2.5e-3 and 3e-8 cases), where a
fit one step short is far off.

    python3 converged_fit_reference.py MORVEX TABLE...
"""
import csv
import json
import subprocess
import sys

import mpmath

mpmath.mp.dps = 50
REL = 1e-6


def studies(path):
    with open(path, newline="", encoding="utf-8-sig") as f:
        rows = list(csv.DictReader(f))
    order, by_id = [], {}
    for row in rows:
        if row["id"] not in by_id:
            order.append(row["id"])
            by_id[row["id"]] = []
        by_id[row["id"]].append(row)
    for sid in order:
        yield sid, by_id[sid]


def study_values(rows):
    logscale = "logrr" in rows[0]
    ref = next(r for r in rows if r["se" if logscale else "lb"].strip() in ("", "NA"))
    exposed = [r for r in rows if r is not ref]
    num = lambda text: mpmath.mpf(float(text))  # the double the program reads
    if logscale:
        logrr = [num(r["logrr"]) for r in exposed]
        v = [num(r["se"]) ** 2 for r in exposed]
    else:
        logrr = [mpmath.log(num(r["rr"])) for r in exposed]
        v = [((mpmath.log(num(r["ub"])) - mpmath.log(num(r["lb"]))) / (2 * mpmath.mpf(1.96))) ** 2
             for r in exposed]
    return {"design": rows[0]["type"].strip().lower(), "a0": num(ref["cases"]),
            "a": [num(r["cases"]) for r in exposed], "n0": num(ref["n"]),
            "n": [num(r["n"]) for r in exposed], "logrr": logrr, "v": v,
            "x": [num(r["dose"]) - num(ref["dose"]) for r in exposed]}


def counts_for(s, a0):
    rr = [mpmath.exp(l) for l in s["logrr"]]
    if s["design"] == "cc":
        odds = [r * a0 / (s["n0"] - a0) for r in rr]
        return [n * o / (1 + o) for n, o in zip(s["n"], odds)]
    return [r * a0 * n / s["n0"] for r, n in zip(rr, s["n"])]


def converged_fit(s):
    m1 = s["a0"] + sum(s["a"])
    lo, hi = mpmath.mpf(0), min(m1, s["n0"]) if s["design"] == "cc" else m1
    for _ in range(300):  # the margin grows with A_0: bisect to far below 1e-50 of it
        mid = (lo + hi) / 2
        if mid + sum(counts_for(s, mid)) > m1:
            hi = mid
        else:
            lo = mid
    a0 = (lo + hi) / 2
    return a0, counts_for(s, a0)


def slope(s, a0, a):
    k, n0, n = len(a), s["n0"], s["n"]
    if s["design"] == "cc":
        shared = 1 / a0 + 1 / (n0 - a0)
        s2 = [1 / a[i] + 1 / (n[i] - a[i]) + shared for i in range(k)]
    elif s["design"] == "ci":
        shared = 1 / a0 - 1 / n0
        s2 = [1 / a[i] + 1 / a0 - 1 / n[i] - 1 / n0 for i in range(k)]
    else:
        shared = 1 / a0
        s2 = [1 / a[i] + 1 / a0 for i in range(k)]
    v = s["v"]
    cov = mpmath.matrix(k, k)
    for i in range(k):
        for j in range(k):
            cov[i, j] = v[i] if i == j else shared / mpmath.sqrt(s2[i] * s2[j]) * mpmath.sqrt(v[i] * v[j])
    inv = cov ** -1
    x, l = mpmath.matrix(s["x"]), mpmath.matrix(s["logrr"])
    info = (x.T * inv * x)[0]
    return (x.T * inv * l)[0] / info, mpmath.sqrt(1 / info)


def main():
    morvex, tables = sys.argv[1], sys.argv[2:]
    failures, compared = [], 0

    def same(got, want, what):
        nonlocal compared
        compared += 1
        if got is None or abs(got - want) > REL * abs(want):
            failures.append(f"{what}: Morvex {got}, converged {mpmath.nstr(want, 12)}")

    for path in tables:
        run = subprocess.run([morvex, "--format=json", path], capture_output=True)
        doc = json.loads(run.stdout)
        for entry, (sid, rows) in zip(doc["studies"], studies(path)):
            what = f"{path} {sid}"
            if entry["status"] != "complete":
                failures.append(f"{what}: status {entry['status']}: {entry['message']}")
                continue
            s = study_values(rows)
            a0, a = converged_fit(s)
            beta, se = slope(s, a0, a)
            same(entry["beta"], beta, f"{what} beta")
            same(entry["se"], se, f"{what} se")
            for i, (got, want) in enumerate(zip(entry["fitted"], [a0] + a)):
                same(got, want, f"{what} fitted count {i}")
            # The reported reference count goes with the reported exposed counts.
            m1 = float(s["a0"] + sum(s["a"]))
            total = entry["fitted"][0] + sum(entry["fitted"][1:])
            if abs(total - m1) > 1e-12 * m1:
                failures.append(f"{what}: fitted counts sum to {total}, the cases to {m1}")
    for f in failures:
        print("FAIL:", f)
    print(f"{compared} figures compared, {len(failures)} failures")
    return 1 if failures or not compared else 0


if __name__ == "__main__":
    sys.exit(main())
