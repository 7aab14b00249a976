#!/usr/bin/env python3
"""Checks that the product's includes run one way only, down the stages:

    app -> output -> (input, pooling) -> method -> (matrix, base)

A file may include a file of its own stage or of a stage below it; input and
pooling stand side by side and never include each other, nor do matrix and
base. Prints each include that breaks this as FILE:LINE and exits 1.

Usage: include_order.py [ROOT]      check the tree at ROOT (default: the repository)
       include_order.py --self-test plant an upward include and check it is caught
"""
import os
import re
import sys
import tempfile

# Height of each stage; a file may include only its own stage or a lower one.
RANKS = {
    "matrix": 0,
    "estimation/base": 0,
    "estimation/method": 1,
    "estimation/input": 2,
    "estimation/pooling": 2,
    "estimation/output": 3,
    "estimation/app": 4,
    "web": 5,
}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def stage_of(path):
    """The stage a repository path belongs to, or None."""
    for stage in sorted(RANKS, key=len, reverse=True):
        if path == stage or path.startswith(stage + "/"):
            return stage
    return None


def allowed(source, target):
    return source == target or RANKS[target] < RANKS[source]


def product_files(root):
    for top in ("matrix", "estimation", "web"):
        for folder, _, names in sorted(os.walk(os.path.join(root, top))):
            for name in sorted(names):
                if name.endswith((".cpp", ".hpp", ".h")):
                    yield os.path.relpath(os.path.join(folder, name), root)


def faults(root):
    found = []
    for path in product_files(root):
        source = stage_of(path)
        if source is None:
            found.append(f"{path}: not in any stage folder ({', '.join(RANKS)})")
            continue
        with open(os.path.join(root, path), encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                target = stage_of(m.group(1))
                where = f"{path}:{number}: includes \"{m.group(1)}\""
                if target is None:
                    found.append(f"{where}, which is no product stage")
                elif not allowed(source, target):
                    found.append(f"{where}: {source} may not include {target} "
                                 "(includes run app -> output -> (input, pooling) -> method -> "
                                 "(matrix, base))")
    return found


def self_test():
    """A planted upward include (method -> output) and a sideways one (input ->
    pooling) must both be reported; a downward one must not."""
    with tempfile.TemporaryDirectory() as root:
        files = {
            "estimation/method/trend.hpp": '#include "estimation/output/report.hpp"\n',
            "estimation/input/table.cpp": '#include "estimation/pooling/pooling.hpp"\n',
            "estimation/output/report.hpp": '#include "estimation/method/study.hpp"\n',
        }
        for path, text in files.items():
            os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
            with open(os.path.join(root, path), "w", encoding="utf-8") as f:
                f.write(text)
        found = faults(root)
    expected = ["estimation/input/table.cpp:1:", "estimation/method/trend.hpp:1:"]
    got = sorted(line.split(" ")[0] for line in found)
    if got != expected:
        print("self-test failed: expected faults at", expected, "got", found)
        return 1
    print("self-test passed: the planted upward and sideways includes were caught")
    return 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    found = faults(root)
    for line in found:
        print(line)
    if found:
        print(f"{len(found)} include(s) against the order of the stages")
        return 1
    print("includes run one way: app -> output -> (input, pooling) -> method -> (matrix, base)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
