#!/usr/bin/env python3
"""Whole runs checked from outside: CSV and JSON parsed by Python's own modules,
incidence-rate slopes recomputed independently, and the table route compared
with the setting-file route digit for digit.

    python3 results_test.py MORVEX SOURCE_DIR
"""
import csv
import io
import json
import math
import os
import subprocess
import sys
import tempfile

MORVEX, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
TABLES = os.path.join(SOURCE, "tests", "e2e", "tables")
CASES = os.path.join(SOURCE, "tests", "e2e", "cases")
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def morvex(*args):
    return subprocess.run([MORVEX, *args], capture_output=True, cwd=CASES)


def significant_digits(text):
    mantissa = text.lower().split("e")[0].lstrip("-").replace(".", "").lstrip("0")
    return len(mantissa.rstrip("0")) or 1


def read_table(path):
    with open(path, newline="", encoding="utf-8-sig") as f:
        return list(csv.DictReader(f))


def studies_of(rows):
    order, groups = [], {}
    for row in rows:
        if row["id"] not in groups:
            order.append(row["id"])
            groups[row["id"]] = []
        groups[row["id"]].append(row)
    return [(i, groups[i]) for i in order]


def solve(matrix, vector):
    """Gaussian elimination with partial pivoting on plain lists."""
    n = len(vector)
    a = [row[:] + [vector[i]] for i, row in enumerate(matrix)]
    for k in range(n):
        p = max(range(k, n), key=lambda r: abs(a[r][k]))
        a[k], a[p] = a[p], a[k]
        for r in range(k + 1, n):
            f = a[r][k] / a[k][k]
            for c in range(k, n + 1):
                a[r][c] -= f * a[k][c]
    x = [0.0] * n
    for k in reversed(range(n)):
        x[k] = (a[k][n] - sum(a[k][c] * x[c] for c in range(k + 1, n))) / a[k][k]
    return x


def rate_study_slope(rows):
    """Incidence-rate trend: the fitted counts solve A_i/A_0 = RR_i N_i/N_0 with
    the cases' sum fixed, in closed form; Cov(L_i, L_j) = (1/A_0) / (s_i s_j)
    sqrt(v_i v_j) with s_i^2 = 1/A_i + 1/A_0."""
    ref = next(r for r in rows if r.get("se", r.get("lb")) in ("", "NA"))
    exposed = [r for r in rows if r is not ref]
    if "logrr" in ref:
        L = [float(r["logrr"]) for r in exposed]
        v = [float(r["se"]) ** 2 for r in exposed]
    else:
        L = [math.log(float(r["rr"])) for r in exposed]
        v = [((math.log(float(r["ub"])) - math.log(float(r["lb"]))) / 1.96 / 2) ** 2 for r in exposed]
    x = [float(r["dose"]) - float(ref["dose"]) for r in exposed]
    N0, N = float(ref["n"]), [float(r["n"]) for r in exposed]
    M1 = float(ref["cases"]) + sum(float(r["cases"]) for r in exposed)
    ratio = [math.exp(L[i]) * N[i] / N0 for i in range(len(L))]
    A0 = M1 / (1 + sum(ratio))
    A = [A0 * q for q in ratio]
    s = [math.sqrt(1 / a + 1 / A0) for a in A]
    n = len(L)
    V = [[v[i] if i == j else (1 / A0) / (s[i] * s[j]) * math.sqrt(v[i] * v[j]) for j in range(n)]
         for i in range(n)]
    Vx, VL = solve(V, x), solve(V, L)
    info = sum(x[i] * Vx[i] for i in range(n))
    return sum(x[i] * VL[i] for i in range(n)) / info, math.sqrt(1 / info)


# 1. CSV and JSON of every bundled table: each study once, in order; numbers
#    that read back to the same double with no digit to spare; rate slopes as
#    recomputed above.
tables = [os.path.join(TABLES, f) for f in sorted(os.listdir(TABLES))]
tables.append(os.path.join(SOURCE, "examples", "alcohol-colorectal-cancer.csv"))
for path in tables:
    studies = studies_of(read_table(path))
    run_csv, run_json = morvex("--format=csv", path), morvex("--format=json", path)
    check(run_csv.returncode == 0 and run_json.returncode == 0, f"{path}: status")
    rows = list(csv.DictReader(io.StringIO(run_csv.stdout.decode(), newline="")))
    doc = json.loads(run_json.stdout)
    check([r["id"] for r in rows] == [i for i, _ in studies], f"{path}: CSV ids")
    check([s["id"] for s in doc["studies"]] == [i for i, _ in studies], f"{path}: JSON ids")
    for row, entry, (sid, table_rows) in zip(rows, doc["studies"], studies):
        check(row["status"] == entry["status"] == "complete", f"{path} {sid}: status")
        for field in ("beta", "se", "lower", "upper", "p"):
            text = row[field]
            check(float(text) == entry[field], f"{path} {sid}: {field} CSV {text} JSON {entry[field]}")
            check(significant_digits(repr(float(text))) == significant_digits(text),
                  f"{path} {sid}: {field} {text} is not the shortest round-trip text")
        check(entry["categories"] == len(table_rows) == len(entry["fitted"]), f"{path} {sid}: sizes")
        check(abs(entry["lower"] - (entry["beta"] - 1.959963984540054 * entry["se"])) < 1e-15, f"{sid}: lower")
        z = entry["beta"] / entry["se"]
        check(math.isclose(entry["p"], math.erfc(abs(z) / math.sqrt(2)), rel_tol=1e-12), f"{sid}: p")
        if entry["design"] == "ir":
            beta, se = rate_study_slope(table_rows)
            check(math.isclose(entry["beta"], beta, rel_tol=1e-7) and
                  math.isclose(entry["se"], se, rel_tol=1e-7),
                  f"{path} {sid}: rate slope {entry['beta']} {entry['se']}, recomputed {beta} {se}")

# 2. Strings: control characters and UTF-8 in ids and file names survive both formats.
with tempfile.TemporaryDirectory() as tmp:
    ids = ["Müller 2001 — Zürich", "tab\there", "bell\x07 and \x1f", 'quote " and \\', "line\nbreak"]
    text = "id,type,dose,cases,n,rr,lb,ub\r\n"
    for sid in ids:
        quoted = '"' + sid.replace('"', '""') + '"'
        text += f"{quoted},cc,0,120,300,1,,\r\n{quoted},cc,2,80,190,1.10,0.75,1.61\r\n"
    text += '"\x01bad",cc,0,5,10,1,,\r\n'  # one row only: refused, with its id in the message
    path = os.path.join(tmp, "ünïcode,name.csv")
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(text)
    run_csv, run_json = morvex("--format=csv", path), morvex("--format=json", path)
    check(run_csv.returncode == run_json.returncode == 4, "strings: status 4 with one refusal")
    doc = json.loads(run_json.stdout.decode("utf-8"))
    rows = list(csv.DictReader(io.StringIO(run_csv.stdout.decode("utf-8"), newline="")))
    check([s["id"] for s in doc["studies"]] == ids + ["\x01bad"], "strings: JSON ids")
    check([r["id"] for r in rows] == ids + ["\x01bad"], "strings: CSV ids")
    check(all(r["input"] == path for r in rows), "strings: CSV input names")
    check(doc["studies"][-1]["status"] == "refused" and "study \\x01bad" in rows[-1]["message"],
          "strings: refusal message")

# 2b. Printed ids and names cannot be mistaken for one another: a control character is
#     escaped and a backslash doubled, once, in the reports, the messages and standard error.
with tempfile.TemporaryDirectory() as tmp:
    ids = ["a\tb", "a\\tb", "back\\slash", "x\x01y", "x\\x01y"]
    text = "id,type,dose,cases,n,rr,lb,ub\n"
    for sid in ids:
        text += f'"{sid}",cc,0,120,300,1,,\n"{sid}",cc,2,80,190,1.10,0.75,1.61\n'
    text += '"bad\\\x02",cc,0,5,10,1,,\n'  # one row only: refused
    path = os.path.join(tmp, "back\\slash\tname.csv")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    run = morvex(path)
    shown = [line[len("Study "):line.rindex(" (line")] for line in run.stdout.decode().split("\n")
             if line.startswith("Study ") and line.endswith(")")]
    want = ["a\\tb", "a\\\\tb", "back\\\\slash", "x\\x01y", "x\\\\x01y", "bad\\\\\\x02"]
    check(shown == want, f"escaping: report titles {shown}, want {want}")
    name = tmp + "/back\\\\slash\\tname.csv"
    message = f"{name}:12: study bad\\\\\\x02: a study needs from 2 to 1001 rows (the reference included), found 1"
    check(run.stderr.decode() == f"Morvex: {message}\n", f"escaping: standard error {run.stderr!r}")
    check(run.stdout.decode().endswith(f"Input file = '{name}'\nStudy bad\\\\\\x02 (line 12)\n"
                                       f"*** Refused: {message}\n"), "escaping: refused report")
    rows = list(csv.DictReader(io.StringIO(morvex("--format=csv", path).stdout.decode(), newline="")))
    check([r["id"] for r in rows] == ids + ["bad\\\x02"] and rows[-1]["message"] == message,
          f"escaping: CSV ids and message {rows[-1]['message']!r}")
    left_out = morvex("--pool", path).stdout.decode().split("Left out of the pooling:\n")[-1]
    check(left_out == f"  {name}: bad\\\\\\x02: refused: {message}\n", f"escaping: left out {left_out!r}")
    setting = os.path.join(tmp, "a\\b.txt")
    with open(setting, "w") as f:
        f.write("T\nCC\n3\n120 80 9\\5\n300 190 210\n0 1 2\n1 1.1 1.3\n1 0.8 0.9\n1 1.6 1.9\n")
    refusal = f"Morvex: {tmp}/a\\\\b.txt:4: number of cases of category 2 is not a number, got \"9\\\\5\"\n"
    check(morvex(setting).stderr.decode() == refusal, "escaping: a setting file's refusal")
    check(morvex(setting, setting).stderr.decode() == refusal * 2, "escaping: among several inputs")

# 3. The table route and the setting-file route print the same digits.
def report_body(text):
    return text.split("\n")[7:]

published = os.path.join(SOURCE, "tests", "e2e", "published")
reports = morvex(os.path.join(TABLES, "alcohol_cvd.csv")).stdout.decode().split("\n\n")
for report in reports:
    sid = report.split("\n")[6].split(" ")[1]
    name = next(f for f in os.listdir(published) if f.startswith(f"alcohol_cvd-{sid}-") and f.endswith(".out"))
    with open(os.path.join(published, name)) as f:
        check(report_body(report.rstrip("\n") + "\n") == report_body(f.read()), f"route: {name}")
atm = morvex(os.path.join(SOURCE, "examples", "alcohol-colorectal-cancer.csv")).stdout.decode()
setting = morvex("ir-person-years.txt").stdout.decode()
check(report_body(atm.split("\n\n")[0] + "\n") == report_body(setting), "route: rate study atm")

# 4. The CSV of studies holds study rows only (also with --pool), converged always true or
#    false, each study's RR per increment; the summary table's overall rows carry the figures
#    of JSON's "pooled" digit for digit, and every numeric field of it is a number or empty.
SUMMARY_TEXT = {"analysis", "subgroup", "left_out_input", "left_out_id", "model", "note"}
with tempfile.TemporaryDirectory() as tmp:
    for path in tables:
        summary = os.path.join(tmp, "summary.csv")
        run_csv = morvex("--pool", "--increment=10", "--format=csv", path)
        run_json = morvex("--pool", "--increment=10", "--format=json", "--leave-one-out", "--egger",
                          "--knapp-hartung", "--by=type", f"--summary={summary}", path)
        pooled = json.loads(run_json.stdout)["pooled"]
        doc_ids = [i for i, _ in studies_of(read_table(path))]
        rows = list(csv.DictReader(io.StringIO(run_csv.stdout.decode(), newline="")))
        check([r["id"] for r in rows] == doc_ids, f"{path}: study rows only")
        check(all(r["converged"] in ("true", "false") for r in rows), f"{path}: converged")
        for r in rows:
            beta, se = float(r["beta"]), float(r["se"])
            want = [10, math.exp(10 * beta), math.exp(10 * (beta - 1.959963984540054 * se)),
                    math.exp(10 * (beta + 1.959963984540054 * se))]
            got = [float(r[f]) for f in ("increment", "rr", "rr_lower", "rr_upper")]
            check(all(math.isclose(a, b, rel_tol=1e-14) for a, b in zip(got, want)),
                  f"{path} {r['id']}: RR per 10 {got} {want}")
        with open(summary, newline="", encoding="utf-8") as f:
            table = list(csv.DictReader(f))
        for row in table:
            for key, value in row.items():
                if key not in SUMMARY_TEXT and value != "":
                    try:
                        float(value)
                    except ValueError:
                        check(False, f"{path}: summary {key} = {value!r} is not a number")
        overall = [r for r in table if r["analysis"] == "overall"]
        check([r["model"] for r in overall] == ["fixed", "dl", "reml"], f"{path}: overall rows")
        for row in overall:
            method, het = pooled[row["model"]], pooled["heterogeneity"]
            want = {"estimate": method["estimate"], "se": method["se"], "lower": method["lower"],
                    "upper": method["upper"], "p": method["p"], "k": pooled["k"], "z": method["z"],
                    "Q": het["Q"], "df": het["df"], "p_Q": het["p"], "I2": het["I2"],
                    "increment": 10, "rr": method["rr"], "rr_lower": method["rr_lower"],
                    "rr_upper": method["rr_upper"]}
            if "tau2" in method:
                want["tau2"] = method["tau2"]
                want["pi_lower"] = method["prediction"]["lower"]
                want["pi_upper"] = method["prediction"]["upper"]
            got = {k: float(row[k]) for k in want}
            check(got == want, f"{path} {row['model']}: summary {got} JSON {want}")
        loo = [r for r in table if r["analysis"] == "leave-one-out"]
        check(len(loo) == 3 * len(pooled["leave_one_out"]), f"{path}: leave-one-out rows")
        for row, entry in zip(loo[2::3], pooled["leave_one_out"]):
            check(float(row["estimate"]) == entry["pooled"]["reml"]["estimate"] and
                  row["left_out_id"] == entry["id"], f"{path}: leave-one-out {entry['id']}")
        egger = [r for r in table if r["analysis"] == "egger"]
        check(len(egger) == 1 and float(egger[0]["estimate"]) ==
              pooled["egger"]["intercept"]["estimate"], f"{path}: Egger row")

# 5. The summary table of runs of 1, 2 and 3 studies, and of subgroups with one study and an NA
#    value: every numeric field a number or empty, and each analysis there or explained.
with tempfile.TemporaryDirectory() as tmp:
    summary = os.path.join(tmp, "s.csv")
    runs = {"one-exposed-category.txt": {("overall", ""): "no pooling: 1 study"},
            "table-study-faults.csv": {("egger", "ols"): "Egger's test needs 3 or more studies",
                                       ("leave-one-out", ""): "leave-one-out needs 3 or more"},
            "three-studies.csv": {("egger", "ols"): "with 3 studies Egger's test has little power"},
            "subgroups-region.csv": {("subgroup", "reml"): "one study: its own slope"}}
    for name, notes in runs.items():
        morvex("--leave-one-out", "--egger", "--knapp-hartung", "--by=region",
               f"--summary={summary}", name)
        with open(summary, newline="", encoding="utf-8") as f:
            table = list(csv.DictReader(f))
        for row in table:
            for key, value in row.items():
                if key not in SUMMARY_TEXT and value != "":
                    try:
                        float(value)
                    except ValueError:
                        check(False, f"{name}: summary {key} = {value!r} is not a number")
        for (analysis, model), note in notes.items():
            check(any(r["analysis"] == analysis and r["model"] == model and r["note"].startswith(note)
                      for r in table), f"{name}: {analysis} {model}: {note}")
    # With --trend the table gains its trend rows and columns, numbers only there too.
    for name in ("three-studies.csv", "table-study-faults.csv"):
        morvex("--trend=quadratic", f"--summary={summary}", name)
        with open(summary, newline="", encoding="utf-8") as f:
            trend = list(csv.DictReader(f))
        for row in trend:
            for key, value in row.items():
                if key not in SUMMARY_TEXT and value != "":
                    try:
                        float(value)
                    except ValueError:
                        check(False, f"{name} --trend: summary {key} = {value!r} is not a number")
        check([r["coefficient"] for r in trend if r["analysis"] == "trend"] == ["1", "2"] * 3,
              f"{name} --trend: a row per method and coefficient")
        check(sum(r["analysis"] == "trend-prediction" for r in trend) > 3, f"{name}: predictions")
    subgroups = [r for r in table if r["analysis"] == "subgroup"]
    check(sorted({r["subgroup"] for r in subgroups}) == ["America", "Asia", "Europe"],
          "subgroups: the NA study forms none")

for failure in failures:
    print("FAIL:", failure)
print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
