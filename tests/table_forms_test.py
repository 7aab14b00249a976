#!/usr/bin/env python3
"""Every published table rewritten in the forms people save: column aliases in other
letter cases, semicolons with decimal commas, the reference marked by `ref` in the rr
column, by rr, lb and ub all 1, or by logrr 0 with se 0. Each variant must give every
study the same slope and SE as the clean table (1e-12 relative), under each covariance.

    python3 table_forms_test.py MORVEX TABLE_FOLDER
"""
import csv
import io
import os
import subprocess
import sys
import tempfile

ALIASES = {"id": "Study", "n": "Person_Years", "rr": "OR", "lb": "Lower", "ub": "UCI",
           "logrr": "logHR", "se": "SE"}


def results(program, path, covariance):
    out = subprocess.run([program, "--format=csv", "--covariance=" + covariance, path],
                         capture_output=True, text=True, check=False)
    rows = list(csv.DictReader(io.StringIO(out.stdout)))
    return {r["id"]: (r["status"], r["beta"], r["se"]) for r in rows}


def is_reference(row, log_scale):
    return row["se" if log_scale else "lb"].strip() in ("", "NA")


def variant(header, rows, form):
    log_scale = "se" in header and "lb" not in header
    names = [ALIASES.get(h, h) if form != "markers" else h for h in header]
    out = []
    for row in rows:
        row = dict(row)
        if form == "markers" and is_reference(row, log_scale):
            if log_scale:
                row["logrr"], row["se"] = "0", "0"
            elif sum(map(ord, row["id"])) % 2:
                row["rr"], row["lb"], row["ub"] = "1", "1", "1"
            else:
                row["rr"], row["lb"], row["ub"] = "Ref", "", ""
        out.append([row[h] for h in header])
    text = io.StringIO()
    if form == "semicolon":
        writer = csv.writer(text, delimiter=";", lineterminator="\n")
        writer.writerow(names)
        writer.writerows([[v.replace(".", ",") for v in r] for r in out])
    else:
        writer = csv.writer(text, lineterminator="\n")
        writer.writerow(names)
        writer.writerows(out)
    return text.getvalue()


def close(a, b):
    if a == b:
        return True
    try:
        x, y = float(a), float(b)
    except ValueError:
        return False
    return abs(x - y) <= 1e-12 * abs(y)


def main():
    program, folder = sys.argv[1], sys.argv[2]
    failures, compared = [], 0
    tables = sorted(f for f in os.listdir(folder) if f.endswith(".csv"))
    with tempfile.TemporaryDirectory() as work:
        for table in tables:
            path = os.path.join(folder, table)
            with open(path, newline="", encoding="utf-8-sig") as f:
                reader = csv.DictReader(f)
                header = [h.strip().lower() for h in reader.fieldnames]
                rows = [{k.strip().lower(): (v or "").strip() for k, v in r.items()} for r in reader]
            for covariance in ("gl", "hamling"):
                clean = results(program, path, covariance)
                for form in ("aliases", "semicolon", "markers"):
                    other = os.path.join(work, f"{form}-{table}")
                    with open(other, "w", encoding="utf-8") as f:
                        f.write(variant(header, rows, form))
                    got = results(program, other, covariance)
                    for sid, want in clean.items():
                        compared += 1
                        have = got.get(sid)
                        if have is None or have[0] != want[0] or not all(
                                close(a, b) for a, b in zip(have[1:], want[1:])):
                            failures.append(f"{table} {form} {covariance} {sid}: {have} != {want}")
    for failure in failures[:30]:
        print(failure)
    print(f"{compared} studies compared: {len(failures)} differ")
    sys.exit(1 if failures or compared == 0 else 0)


if __name__ == "__main__":
    main()
