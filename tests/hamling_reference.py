#!/usr/bin/env python3
"""Hamling's pseudo-counts and the independent covariance, checked from outside the
program. Written again from the method's description, sharing no code with the C++: the
pseudo-counts of each exposed category in closed form, the reference's A0 and N0 solved by
mpmath's own multidimensional Newton (findroot, Jacobian by its numerical differentiation)
in the unknowns A0 and N0 themselves, at 40 digits, then the GLS slope.

For every study of every published table (every design: cc, ci, ir), Morvex's
--covariance=hamling JSON (pseudo-counts, slope, SE) and --covariance=indep JSON (slope,
SE) must agree to 1e-9 relative; the alcohol_crc figures of the method's acceptance must
hold to 1e-9; and a study whose equations have no root with positive pseudo-counts must
stop.

    python3 hamling_reference.py MORVEX TABLE_FOLDER
"""
import csv
import json
import os
import subprocess
import sys
import tempfile

import mpmath

mpmath.mp.dps = 40
REL = mpmath.mpf("1e-9")
failures = []


def check(what, got, want, rel=REL):
    if got is None or abs(mpmath.mpf(got) - want) > rel * abs(want):
        failures.append(f"{what}: Morvex {got}, reference {mpmath.nstr(want, 17)}")


def read_table(path):
    """The table's studies: design, reference (cases, total) and exposed categories."""
    with open(path, newline="", encoding="utf-8-sig") as f:
        rows = list(csv.DictReader(f))
    studies = {}
    for row in rows:
        row = {k.strip().lower(): (v or "").strip() for k, v in row.items()}
        studies.setdefault(row["id"], []).append(row)
    result = []
    for sid, rows in studies.items():
        logscale = "se" in rows[0] and "lb" not in rows[0]
        spread = "se" if logscale else "lb"
        ref = [r for r in rows if r[spread] in ("", "NA")][0]
        cats = []
        for r in rows:
            if r is ref:
                continue
            if logscale:
                y, v = mpmath.mpf(r["logrr"]), mpmath.mpf(r["se"]) ** 2
            else:
                lo, hi = mpmath.log(mpmath.mpf(r["lb"])), mpmath.log(mpmath.mpf(r["ub"]))
                y, v = mpmath.log(mpmath.mpf(r["rr"])), ((hi - lo) / (2 * mpmath.mpf("1.96"))) ** 2
            cats.append({"x": mpmath.mpf(r["dose"]) - mpmath.mpf(ref["dose"]), "y": y, "v": v,
                         "c": mpmath.mpf(r["cases"]), "n": mpmath.mpf(r["n"])})
        result.append((sid, ref["type"].lower(), mpmath.mpf(ref["cases"]), mpmath.mpf(ref["n"]), cats))
    return result


def exposed(design, A0, N0, cat):
    """(A_j, N_j, g_j) of an exposed category; N_j is the category's total."""
    R, v = mpmath.exp(cat["y"]), cat["v"]
    if design == "cc":
        B0 = N0 - A0
        g = v - 1 / A0 - 1 / B0
        A, B = (1 + R * A0 / B0) / g, (1 + B0 / (A0 * R)) / g
        return A, A + B, g
    if design == "ci":
        g = v - 1 / A0 + 1 / N0
        return (1 - R * A0 / N0) / g, (N0 / (A0 * R) - 1) / g, g
    g = v - 1 / A0
    return 1 / g, N0 / (A0 * R * g), g


def hamling(design, c0, n0, cats, starts=()):
    """A0, N0 and every category's pseudo-counts; None when no positive ones exist."""
    other = (lambda c, n: n - c) if design == "cc" else (lambda c, n: n)
    crude_other = [other(c0, n0)] + [other(k["c"], k["n"]) for k in cats]
    p0 = crude_other[0] / sum(crude_other)
    z0 = sum(crude_other) / (c0 + sum(k["c"] for k in cats))

    def equations(A0, N0):
        pairs = [exposed(design, A0, N0, k)[:2] for k in cats]
        SA = A0 + sum(a for a, _ in pairs)
        SO = other(A0, N0) + sum(other(a, n) for a, n in pairs)
        return [other(A0, N0) / SO - p0, SO / SA - z0]

    # From the crude counts, then from multiples of them, and from the counts Morvex
    # found (only a start: the root must satisfy the equations here, at 40 digits).
    for A0, N0 in [(c0 * 2 ** s, n0 * 2 ** s) for s in range(0, 40, 3)] + list(starts):
        try:
            A0, N0 = mpmath.findroot(equations, (A0, N0), solver="mdnewton", maxsteps=200)
        except (ValueError, ZeroDivisionError, TypeError):
            continue
        if max(abs(e) for e in equations(A0, N0)) > mpmath.mpf("1e-30"):
            continue
        cells = [exposed(design, A0, N0, k) for k in cats]
        counts = [A0, other(A0, N0)] + [x for a, n, _ in cells for x in (a, other(a, n))]
        if min(counts) > 0 and min(g for _, _, g in cells) > 0:
            return A0, N0, cells
    return None


def shared_term(design, A0, N0):
    return {"cc": 1 / A0 + 1 / (N0 - A0), "ci": 1 / A0 - 1 / N0}.get(design, 1 / A0)


def gls(cats, offdiag):
    n = len(cats)
    V = mpmath.matrix(n, n)
    for i in range(n):
        for j in range(n):
            V[i, j] = cats[i]["v"] if i == j else offdiag
    W = V ** -1
    x = mpmath.matrix([k["x"] for k in cats])
    y = mpmath.matrix([k["y"] for k in cats])
    info = (x.T * W * x)[0]
    return (x.T * W * y)[0] / info, mpmath.sqrt(1 / info)


def morvex(program, covariance, path):
    out = subprocess.run([program, "--covariance=" + covariance, "--format=json", path],
                         capture_output=True, text=True, check=False)
    return {s["id"]: s for s in json.loads(out.stdout)["studies"]}


def check_table(program, path):
    name = os.path.basename(path)
    studies = read_table(path)
    ham, ind = morvex(program, "hamling", path), morvex(program, "indep", path)
    slopes = {}
    for sid, design, c0, n0, cats in studies:
        label = f"{name} {sid} ({design})"
        got = ham[sid]
        hint = [(mpmath.mpf(got["pseudo_cases"][0]), mpmath.mpf(got["pseudo_totals"][0]))] \
            if got.get("pseudo_cases") else []
        solved = hamling(design, c0, n0, cats, hint)
        if solved is None:
            if ham[sid]["status"] != "stopped":
                failures.append(f"{label}: no positive pseudo-counts, Morvex {ham[sid]['status']}")
            continue
        A0, N0, cells = solved
        got = ham[sid]
        check(label + " A0", got["pseudo_cases"][0], A0)
        check(label + " N0", got["pseudo_totals"][0], N0)
        for j, (a, n, _) in enumerate(cells, 1):
            check(f"{label} A_{j}", got["pseudo_cases"][j], a)
            check(f"{label} N_{j}", got["pseudo_totals"][j], n)
        beta, se = gls(cats, shared_term(design, A0, N0))
        check(label + " hamling beta", got["beta"], beta)
        check(label + " hamling se", got["se"], se)
        slopes[sid] = (beta, se, A0, N0)
        beta, se = gls(cats, 0)
        check(label + " indep beta", ind[sid]["beta"], beta)
        check(label + " indep se", ind[sid]["se"], se)
    return slopes


def fixed_effect(slopes):
    w = [1 / se ** 2 for _, se, _, _ in slopes]
    b = sum(wi * s[0] for wi, s in zip(w, slopes)) / sum(w)
    q = sum(wi * (s[0] - b) ** 2 for wi, s in zip(w, slopes))
    return b, mpmath.sqrt(1 / sum(w)), q


def check_alcohol_crc(slopes):
    """The acceptance figures; REML's tau^2 is 0 here (Q below its df), so REML is the
    fixed-effect summary, which is recomputed from the reference's own slopes."""
    atm = slopes["atm"]
    for what, got, want in [("A0", atm[2], "26.477749504271"), ("N0", atm[3], "21706.799541901"),
                            ("slope", atm[0], "6.334815153029e-3"), ("se", atm[1], "3.928958220046e-3")]:
        check("alcohol_crc atm " + what + " (stated)", mpmath.nstr(got, 20), mpmath.mpf(want), 1e-12)
    b, se, q = fixed_effect(list(slopes.values()))
    if q >= len(slopes) - 1:
        failures.append("alcohol_crc: Q is not below its df, so tau^2 is not 0")
    for what, got, want in [("pooled", b, "6.4012777020824e-3"), ("pooled se", se, "1.3565115038290e-3"),
                            ("Q", q, "4.6800748902574")]:
        check("alcohol_crc " + what + " (stated)", mpmath.nstr(got, 20), mpmath.mpf(want), 1e-12)


def check_morvex_pooling(program, folder):
    """Morvex's pooled REML on alcohol_crc under each covariance, against the stated figures."""
    path = os.path.join(folder, "alcohol_crc.csv")
    for covariance, estimate, se in [("hamling", "6.4012777020824e-3", "1.3565115038290e-3"),
                                     ("indep", "3.8839885900752e-3", None)]:
        out = subprocess.run([program, "--covariance=" + covariance, "--pool", "--format=json", path],
                             capture_output=True, text=True, check=False)
        reml = json.loads(out.stdout)["pooled"]["reml"]
        check(f"alcohol_crc {covariance} pooled REML", reml["estimate"], mpmath.mpf(estimate))
        if se:
            check(f"alcohol_crc {covariance} pooled REML se", reml["se"], mpmath.mpf(se))


# A cohort whose reference holds 3 cases of 6 persons beside 124 of 248 exposed with a
# risk ratio of exp(-0.9) = 0.41 (se 0.05): a pseudo-table with the crude reference share
# (6 of 254 persons) and half its persons cases would need a reference risk of
# 0.5 / (0.0236 + 0.9764 * 0.41) = 1.17, so no positive pseudo-counts exist (outside
# them the variance equation's g_j or a count turns negative).
NO_PSEUDO_COUNTS = """id,type,dose,cases,n,logrr,se
risky,ci,0,3,6,,
risky,ci,1,124,248,-0.9,0.05
"""


def check_no_pseudo_counts(program):
    study = read_table_text(NO_PSEUDO_COUNTS)
    if hamling(*study[1:]) is not None:
        failures.append("risky: the reference finds positive pseudo-counts")
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "risky.csv")
        with open(path, "w", encoding="utf-8") as f:
            f.write(NO_PSEUDO_COUNTS)
        out = subprocess.run([program, "--covariance=hamling", "--format=csv", path],
                             capture_output=True, text=True, check=False)
    if out.returncode != 4 or ",stopped," not in out.stdout or "no Hamling pseudo-counts" not in out.stderr:
        failures.append(f"risky: Morvex status {out.returncode}, {out.stdout!r} {out.stderr!r}")


def check_random(program, count=120, seed=16):
    """Seeded random studies of every design, some with narrow intervals: where Morvex
    finds pseudo-counts the reference finds the same; where it finds none, so does the
    reference; where it finds several roots, the reference finds one at least."""
    import random
    rng = random.Random(seed)
    lines = ["id,type,dose,cases,n,logrr,se"]
    for k in range(count):
        design = rng.choice(["cc", "ci", "ir"])
        c0 = rng.choice([3, 10, 50, 200])
        lines.append(f"r{k},{design},0,{c0},{c0 * rng.choice([2, 3, 10, 100])},,")
        for j in range(rng.randint(1, 4)):
            c = rng.randint(2, 300)
            se = rng.choice([0.01, 0.05, 0.1, 0.3, 1])
            lines.append(f"r{k},{design},{j + 1},{c},{c * rng.choice([2, 3, 10, 100])},"
                         f"{rng.uniform(-1, 1):.3f},{se}")
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "random.csv")
        with open(path, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        got = morvex(program, "hamling", path)
        studies = read_table(path)
    outcomes = {}
    for sid, design, c0, n0, cats in studies:
        r = got[sid]
        hint = [(mpmath.mpf(r["pseudo_cases"][0]), mpmath.mpf(r["pseudo_totals"][0]))] \
            if r.get("pseudo_cases") else []
        solved = hamling(design, c0, n0, cats, hint)
        if r["status"] == "complete":
            outcome = "found"
            if solved is None:
                failures.append(f"random {sid}: Morvex finds pseudo-counts, the reference none")
            else:
                check(f"random {sid} A0", r["pseudo_cases"][0], solved[0])
                check(f"random {sid} N0", r["pseudo_totals"][0], solved[1])
                beta, se = gls(cats, shared_term(design, solved[0], solved[1]))
                check(f"random {sid} beta", r["beta"], beta)
                check(f"random {sid} se", r["se"], se)
        elif "several" in r["message"]:
            outcome = "several"
            if solved is None:
                failures.append(f"random {sid}: Morvex finds several roots, the reference none")
        else:
            outcome = "none"
            if solved is not None:
                failures.append(f"random {sid}: Morvex stops ({r['message']}), the reference "
                                f"finds A0 {mpmath.nstr(solved[0], 12)}")
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
    return outcomes


def read_table_text(text):
    with tempfile.NamedTemporaryFile("w", suffix=".csv", delete=False, encoding="utf-8") as f:
        f.write(text)
    try:
        return read_table(f.name)[0]
    finally:
        os.unlink(f.name)


def main():
    program, folder = sys.argv[1], sys.argv[2]
    tables = sorted(f for f in os.listdir(folder) if f.endswith(".csv"))
    if not tables:
        sys.exit(f"no tables in {folder}")
    count = 0
    for table in tables:
        slopes = check_table(program, os.path.join(folder, table))
        count += len(slopes)
        if table == "alcohol_crc.csv":
            check_alcohol_crc(slopes)
    check_morvex_pooling(program, folder)
    check_no_pseudo_counts(program)
    print("random studies:", check_random(program))
    for failure in failures[:40]:
        print(failure)
    print(f"{count} studies of {len(tables)} tables: {len(failures)} disagreements")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
