#!/usr/bin/env python3
"""Checks that the product calls no elementary function of the C library.

The C libraries round exp, log, pow, erfc, lgamma, hypot, the trigonometric
functions and their kin differently from one another (and one library
differently on machines with and without fused multiply-add), so the program
uses its own (estimation/base/elementary.hpp, namespace elem) and only sqrt,
fabs, floor, ceil and the like, which IEEE arithmetic defines exactly. Prints
each call of another as FILE:LINE and exits 1.

Usage: elementary_calls.py [ROOT]       check the tree at ROOT (default: the repository)
       elementary_calls.py --self-test  plant calls and check they are caught
"""
import os
import re
import sys
import tempfile

from include_order import product_files

FUNCTIONS = ("exp", "exp2", "expm1", "log", "log2", "log10", "log1p", "pow", "erf", "erfc",
             "lgamma", "tgamma", "hypot", "cbrt", "sin", "cos", "tan", "asin", "acos", "atan",
             "atan2", "sinh", "cosh", "tanh", "asinh", "acosh", "atanh", "fma")
# A call written std::name(, ::name( or a bare name( (not a member, not elem::name).
CALL = re.compile(r"(?:\bstd::|(?<![\w.:>]))(%s)(?:f|l)?\s*\(" % "|".join(FUNCTIONS))
# The program's own functions and their kernels are the one place allowed.
OWN = ("estimation/base/elementary", "estimation/base/double_double")


def code_of(line):
    """The line without its // comment and string literals."""
    line = re.sub(r'"(?:\\.|[^"\\])*"', '""', line)
    return line.split("//", 1)[0]


def faults(root):
    found = []
    for path in product_files(root):
        if path.startswith(OWN):
            continue
        in_block = False
        with open(os.path.join(root, path), encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                if in_block:
                    if "*/" not in line:
                        continue
                    line = line.split("*/", 1)[1]
                    in_block = False
                if "/*" in line and "*/" not in line:
                    line = line.split("/*", 1)[0]
                    in_block = True
                for m in CALL.finditer(code_of(line)):
                    found.append(f"{path}:{number}: {m.group(1)}() of the C library; "
                                 f"use elem::{m.group(1)} (estimation/base/elementary.hpp)")
    return found


def self_test():
    planted = {
        "estimation/method/a.cpp": "double f(double x) { return std::exp(x) + log(x); }\n",
        "estimation/output/b.cpp": "// exp(beta x) in a comment\nauto s = \"exp(x)\";\n"
                                   "double g(double x) { return elem::exp(x) + p.log(x); }\n",
        "estimation/pooling/c.cpp": "/* atan2(y, x)\n sin(t) */ double h(double t) "
                                    "{ return std::atan2(t, 1.0); }\n",
        "estimation/base/elementary.cpp": "double exp(double x) { return std::exp(x); }\n",
    }
    with tempfile.TemporaryDirectory() as root:
        for path, text in planted.items():
            os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
            with open(os.path.join(root, path), "w", encoding="utf-8") as f:
                f.write(text)
        found = faults(root)
    expected = ["estimation/method/a.cpp:1: exp", "estimation/method/a.cpp:1: log",
                "estimation/pooling/c.cpp:2: atan2"]
    got = [f.split("()")[0] for f in found]
    if got != expected:
        print("self-test failed: found", found)
        return 1
    print("self-test passed: the planted calls were found, comments and strings ignored")
    return 0


def main(argv):
    if argv[1:2] == ["--self-test"]:
        return self_test()
    root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                      "..")
    found = faults(root)
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
