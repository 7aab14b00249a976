#!/usr/bin/env python3
"""Seeded randomized differential test of the pooling: random sets of slopes and standard
errors, the SEs of a set up to 1e6 apart, are written as `logrr`, `se` tables (rate studies
with one exposed category at dose 1, so each slope is its logrr and its SE the se) and pooled
by Morvex (--pool --format=json). REML's tau^2, estimate and SE must agree to 1e-6 relative
with the global maximum of the restricted likelihood found by independent_reference.py (a
dense grid of the log-likelihood refined by golden section; no code shared with the C++).
The sets include the two-peaked case of three studies whose local maximum at tau^2 = 0 is
not the global one, and sets built like it.

    python3 reml_differential.py MORVEX [SETS [SEED]]
"""
import json
import math
import os
import random
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import independent_reference as reference  # noqa: E402

REL = 1e-6
# Two peaks: Morvex once reported tau^2 = 0 here, estimate -0.0045, for the global
# maximum tau^2 = 2.5000038, estimate -0.90751, SE 0.92307.
TWO_PEAKS = ([-0.0054, -2.84, -0.0045], [0.0019, 0.42, 0.000005])


def spread(rng):
    """k studies, SEs log-uniform over up to 6 decades, a random between-study spread."""
    k = rng.randint(2, 8)
    decades = rng.uniform(0, 6)
    low = rng.uniform(-6, -decades)
    se = [10 ** (low + rng.uniform(0, decades)) for _ in range(k)]
    tau = 10 ** rng.uniform(-6, 0) if rng.random() < 0.8 else 0.0
    mu = rng.uniform(-1, 1)
    return [mu + tau * rng.gauss(0, 1) + s * rng.gauss(0, 1) for s in se], se


def two_clusters(rng):
    """Precise studies agreeing closely, and one or two imprecise ones far away: the
    restricted likelihood can peak at tau^2 = 0 and again near the squared distance."""
    precise = rng.randint(1, 4)
    far = rng.randint(1, 2)
    centre = rng.uniform(-0.5, 0.5)
    se = [10 ** rng.uniform(-6, -3) for _ in range(precise)]
    b = [centre + rng.uniform(-1, 1) * 10 ** rng.uniform(-4, -2) for _ in range(precise)]
    for _ in range(far):
        s = 10 ** rng.uniform(-1.5, 0)
        se.append(s)
        b.append(centre + rng.choice((-1, 1)) * rng.uniform(1, 3))
    order = list(range(len(b)))
    rng.shuffle(order)
    return [b[i] for i in order], [se[i] for i in order]


def table(b, se):
    """Counts that agree with the slopes, so that every study's fit converges."""
    rows = ["id,type,dose,cases,n,logrr,se"]
    for i, (bi, si) in enumerate(zip(b, se)):
        rows += [f"s{i},ir,0,100,100000,0,",
                 f"s{i},ir,1,{100 * math.exp(bi):.6g},100000,{bi!r},{si!r}"]
    return "\n".join(rows) + "\n"


def close(got, want, tolerance):
    return isinstance(got, (int, float)) and abs(got - want) <= tolerance


def check(morvex, folder, name, b, se):
    """The failures of one set, as lines."""
    path = os.path.join(folder, name + ".csv")
    with open(path, "w", encoding="utf-8") as f:
        f.write(table(b, se))
    run = subprocess.run([morvex, "--pool", "--format=json", path], capture_output=True)
    if run.returncode != 0:
        return [f"{name}: exit status {run.returncode}: {run.stderr.decode()}"]
    doc = json.loads(run.stdout)
    failures = []
    for s, bi, si in zip(doc["studies"], b, se):
        if not (close(s["beta"], bi, 1e-12 * abs(bi)) and close(s["se"], si, 1e-12 * si)):
            failures.append(f"{name} {s['id']}: slope {s['beta']} se {s['se']}, written {bi} {si}")
    v = [s * s for s in se]
    tau2 = reference.reml_global(b, v)
    w = [1 / (vi + tau2) for vi in v]
    estimate = math.fsum(wi * bi for wi, bi in zip(w, b)) / math.fsum(w)
    want = {"tau2": tau2, "estimate": estimate, "se": math.sqrt(1 / math.fsum(w))}
    # tau^2 = 0 on one side and a few 1e-13 of the smallest variance on the other are the
    # same maximum; an estimate near 0 is held to 1e-6 of its SE.
    tolerance = {"tau2": REL * tau2 + 1e-12 * min(v),
                 "estimate": REL * max(abs(estimate), want["se"]), "se": REL * want["se"]}
    reml = doc["pooled"]["reml"] or {}
    for field, value in want.items():
        if not close(reml.get(field), value, tolerance[field]):
            failures.append(f"{name} REML {field}: Morvex {reml.get(field)}, reference {value!r} "
                            f"(slopes {b}, SEs {se})")
    if reml.get("converged") is not True or "search" not in reml:
        failures.append(f"{name}: REML converged {reml.get('converged')}, search "
                        f"{reml.get('search')}")
    return failures


def main():
    morvex = sys.argv[1]
    sets = int(sys.argv[2]) if len(sys.argv) > 2 else 60
    rng = random.Random(int(sys.argv[3]) if len(sys.argv) > 3 else 14)
    cases = [("two-peaks", *TWO_PEAKS)]
    for i in range(sets):
        cases.append((f"set{i}", *(two_clusters if i % 2 else spread)(rng)))
    failures = []
    with tempfile.TemporaryDirectory() as folder:
        for name, b, se in cases:
            failures += check(morvex, folder, name, b, se)
    for f in failures:
        print("FAIL:", f)
    print(f"{len(cases)} sets, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
