#!/usr/bin/env python3
"""Plants one small, plausible fault at a time in the program and checks that
the test suite fails on it.

Each mutant replaces a piece of text that must occur exactly once in its file;
when the text is no longer found the mutant is reported as stale, so that the
list keeps up with the code. The tracked files of the working tree (with any
uncommitted edits) are copied to a folder of their own; the user's files are
never changed. The copy is configured once with the README's test
configuration, and every mutant then rebuilds only what its edit touches and
runs ctest.

    tools/mutation_test.py                  all mutants
    tools/mutation_test.py NAME...          a subset (shell patterns allowed)
    tools/mutation_test.py --list           names and descriptions
"""
import argparse
import fnmatch
import os
import shutil
import subprocess
import sys
import time
from typing import NamedTuple, Optional


class Mutant(NamedTuple):
    name: str
    path: str
    original: str
    replacement: str
    description: str
    # Why the change cannot alter any behaviour, for a mutant no test can kill.
    equivalent: Optional[str] = None


MUTANTS = [
    # The matrix: copy-on-write, bounds, inversion.
    Mutant("cow-set-identity", "matrix/matrix.hpp",
           "    void set_identity() {\n        unshare();\n", "    void set_identity() {\n",
           "set_identity writes through storage another copy shares"),
    Mutant("cow-element", "matrix/matrix.hpp",
           "        check_index(i, j);\n        unshare();\n        return rec_->row[i][j];",
           "        check_index(i, j);\n        return rec_->row[i][j];",
           "non-const element access does not unshare"),
    Mutant("cow-scale", "matrix/matrix.hpp",
           "        const T factor = s;\n        unshare();\n", "        const T factor = s;\n",
           "*= by a scalar writes through shared storage"),
    Mutant("cow-combine", "matrix/matrix.hpp",
           "            throw matrix_error(size_message);\n        }\n        unshare();\n",
           "            throw matrix_error(size_message);\n        }\n",
           "+= and -= write through shared storage"),
    Mutant("resize-same-size", "matrix/matrix.hpp",
           "if (rows == r0 && cols == c0 && rows == rec_->alloc_rows && cols == rec_->alloc_cols)",
           "if (rows == r0 && cols == c0)",
           "resize to the current size keeps a record that set_identity shrank",
           equivalent="the shrunk record still frees every allocated row, unshare copies only the "
           "current size and any later resize builds a fresh record: nothing can observe the "
           "difference"),
    Mutant("index-bound", "matrix/matrix.hpp",
           "if (i >= rec_->rows || j >= rec_->cols)", "if (i > rec_->rows || j >= rec_->cols)",
           "row index equal to the row count accepted"),
    Mutant("pivot-tie", "matrix/gauss_jordan.hpp",
           "if (a > best && a != T(0))", "if (a >= best && a != T(0))",
           "a tie between pivot candidates picks the lower row"),
    Mutant("pivot-only-at-zero", "matrix/gauss_jordan.hpp",
           "const std::uint32_t p = pivot_row(w, s, n);",
           "const std::uint32_t p = w[s][s] != T(0) ? s : pivot_row(w, s, n);",
           "rows exchanged only when the diagonal element is zero"),
    Mutant("pivot-signed", "matrix/gauss_jordan.hpp",
           "const T a = std::fabs(w[k][i]);", "const T a = w[k][i];",
           "pivot chosen by value rather than absolute value"),
    Mutant("block-deferred-columns", "matrix/gauss_jordan.hpp",
           "                subtract_multiple(wj + i1, pw + i1, f, n - i1);\n", "",
           "a block's deferred updates skip the columns after the block"),
    Mutant("singular-nan", "matrix/gauss_jordan.hpp",
           "if (w[p][s] == T(0) || std::isnan(w[p][s]))", "if (w[p][s] == T(0))",
           "a NaN pivot is not reported as singular"),
    # The readers: line 3 bounds, value checks, line ends, variances.
    Mutant("line3-upper-bound", "estimation/input/setting_file.cpp",
           "count.value > max_categories", "count.value >= max_categories",
           "1001 categories refused"),
    Mutant("line3-lower-bound", "estimation/input/setting_file.cpp",
           "count.value < min_categories ||", "count.value <= min_categories ||",
           "2 categories refused"),
    Mutant("lone-cr", "estimation/input/setting_file.cpp",
           "std::min(content.find_first_of(\"\\r\\n\", pos), content.size())",
           "std::min(content.find('\\n', pos), content.size())",
           "a lone CR does not end a line, and a CRLF's CR stays in the line"),
    Mutant("positive-allows-zero", "estimation/input/setting_file.cpp",
           "        if (!(value > 0.0)) {\n            throw value_error(",
           "        if (value < 0.0) {\n            throw value_error(",
           "a value of 0 passes the greater-than-0 checks"),
    Mutant("total-equal-cases", "estimation/input/setting_file.cpp",
           "if (!(total > a[i])) {", "if (total < a[i]) {",
           "a total equal to its cases is accepted"),
    Mutant("exponent-sign", "estimation/input/number.cpp",
           "const std::size_t exp_begin = skip_sign(s, i + 1);",
           "const std::size_t exp_begin = i + 1;",
           "a signed exponent is not a number"),
    Mutant("variance-z", "estimation/method/study.hpp",
           "(1.0 / 1.96) * 0.5", "(1.0 / 1.959964) * 0.5",
           "the variance divides by the exact normal quantile, not 1.96"),
    Mutant("design-one-letter", "estimation/input/setting_file.cpp",
           "return text.size() >= 2 && is_c(text[0]) && is_c(text[1]);",
           "return !text.empty() && is_c(text[0]);",
           "one C selects a case-control study"),
    Mutant("m1-without-reference", "estimation/input/setting_file.cpp",
           "    s.M1 = a[0];\n", "    s.M1 = 0.0;\n",
           "the reference cases left out of M1"),
    # The method: fitted counts, convergence, covariance, slope.
    Mutant("cc-residual-totals", "estimation/method/fitted_counts.cpp",
           "L(i, 0) + log_A0 + elem::log(Bi) - elem::log(Ai) - log_rest;",
           "L(i, 0) + log_A0 + elem::log(N(i, 0)) - elem::log(Ai) - elem::log(s.N0);",
           "case-control residual uses the cohort formula"),
    Mutant("cc-common-term", "estimation/method/fitted_counts.cpp",
           "const double c0 = s.is_case_control() ? 1 / A0 + 1 / B0 : 1 / A0;",
           "const double c0 = 1 / A0;",
           "case-control common term lacks 1/B_0"),
    Mutant("ci-diagonal-term", "estimation/method/fitted_counts.cpp",
           "d(i, 0) = 1 / Ai;", "d(i, 0) = 1 / Ai - 1 / N(i, 0);",
           "cohort diagonal term subtracts 1/N_i"),
    Mutant("convergence-not-strict", "estimation/method/fitted_counts.cpp",
           "step < tolerance * std::fmin(1.0, count)", "step <= tolerance * std::fmin(1.0, count)",
           "a correction equal to the tolerance passes"),
    Mutant("convergence-scale", "estimation/method/fitted_counts.cpp",
           "step < tolerance * std::fmin(1.0, count)", "step < tolerance * std::fmax(1.0, count)",
           "large counts converge on a looser test instead of small ones on a tighter"),
    Mutant("convergence-floor", "estimation/method/fitted_counts.cpp",
           "step <= relative_floor * count", "step <= relative_floor",
           "the floor of the convergence test is absolute, not relative to the count"),
    Mutant("reference-change-untested", "estimation/method/fitted_counts.cpp",
           "correction_passes(buffers.delta, fit.A) && change_passes(fit.A0 - A0, fit.A0)",
           "correction_passes(buffers.delta, fit.A)",
           "the reference count's change is not tested: a small reference cell stops a step short"),
    Mutant("iteration-limit", "estimation/method/fitted_counts.cpp",
           "while (fit.iterations < iteration_limit && !fit.converged)",
           "while (fit.iterations <= iteration_limit && !fit.converged)",
           "one iteration more than the limit"),
    Mutant("tolerance", "estimation/method/fitted_counts.hpp",
           "constexpr double tolerance = 1e-05;", "constexpr double tolerance = 1e-04;",
           "tolerance 1e-04"),
    Mutant("final-check-cohort", "estimation/method/fitted_counts.cpp",
           "check_counts(s, fit.A0, fit.A, s.design != study_design::incidence_rate,",
           "check_counts(s, fit.A0, fit.A, s.design == study_design::case_control,",
           "fitted cohort cases may exceed the persons"),
    Mutant("ci-variance", "estimation/method/trend.cpp",
           "radicand = 1 / Ai + 1 / A0 - 1 / s.N(i, 0) - 1 / s.N0;",
           "radicand = 1 / Ai + 1 / A0 - 1 / s.N(i, 0);",
           "cohort variance of L_i without -1/N_0"),
    Mutant("ci-shared", "estimation/method/trend.cpp",
           "shared = 1 / A0 - 1 / s.N0;", "shared = 1 / A0;",
           "cohort covariance term without -1/N_0"),
    Mutant("ir-variance", "estimation/method/trend.cpp",
           "double radicand = 1 / Ai + 1 / A0;",
           "double radicand = 1 / Ai + 1 / A0 - 1 / s.N(i, 0) - 1 / s.N0;",
           "rate study's variance of L_i takes person-time as binomial totals"),
    Mutant("ir-shared", "estimation/method/trend.cpp",
           "double shared = 1 / A0;", "double shared = 1 / A0 - 1 / s.N0;",
           "rate study's covariance term takes person-time as a binomial total"),
    Mutant("cc-variance", "estimation/method/trend.cpp",
           "radicand = 1 / Ai + 1 / Bi + 1 / A0 + 1 / B0;",
           "radicand = 1 / Ai + 1 / Bi + 1 / A0 - 1 / B0;",
           "case-control variance of L_i subtracts 1/B_0"),
    Mutant("cc-shared", "estimation/method/trend.cpp",
           "shared = 1 / A0 + 1 / B0;", "shared = 1 / A0;",
           "case-control covariance term without 1/B_0"),
    Mutant("gls-slope", "estimation/method/trend.cpp",
           "scale_into(variance, b.xt, b.weights);",
           "scale_into(1.0, b.xt, b.weights);",
           "slope without the factor Var(beta)"),
    Mutant("gls-se", "estimation/method/trend.cpp",
           "t.se = std::sqrt(variance);", "t.se = 1 / std::sqrt(variance);",
           "standard error from x'V^-1x instead of its inverse"),
    # Pooling of slopes.
    Mutant("pool-dl-tau2", "estimation/pooling/pooling.cpp",
           "std::fmax(0.0, (r.het.Q - r.het.df) / trace_p(w))",
           "std::fmax(0.0, (r.het.Q - r.het.df) / std::accumulate(w.begin(), w.end(), 0.0))",
           "DerSimonian-Laird divides by sum w, not sum w - sum w^2 / sum w"),
    Mutant("pool-i2", "estimation/pooling/pooling.cpp",
           "100.0 * (r.het.Q - r.het.df) / r.het.Q", "100.0 * (r.het.Q - r.het.df) / r.het.df",
           "I^2 relative to the degrees of freedom instead of Q"),
    Mutant("pool-df", "estimation/pooling/pooling.cpp",
           "r.het.df = static_cast<int>(b.size()) - 1;", "r.het.df = static_cast<int>(b.size());",
           "heterogeneity on k rather than k - 1 degrees of freedom"),
    # The report.
    Mutant("heading-not-converged", "estimation/output/report.cpp",
           "\"*** Not converged.***\\n\"", "\"*** Not converged. ***\\n\"",
           "changed heading of a fit that did not converge"),
    Mutant("result-rule", "estimation/output/report.cpp",
           "std::string lines = rule;\n    lines += \"Estimated beta", "std::string lines;\n    lines += \"Estimated beta",
           "no rule above the result"),
    Mutant("limits-swapped", "estimation/output/report.cpp",
           "append_general(lines, elem::exp(s.lo(i, 0)), 6);\n        lines += ' ';\n        append_general(lines, elem::exp(s.hi(i, 0)), 6);",
           "append_general(lines, elem::exp(s.hi(i, 0)), 6);\n        lines += ' ';\n        append_general(lines, elem::exp(s.lo(i, 0)), 6);",
           "LCI and UCI columns exchanged"),
    # Exit statuses.
    Mutant("status-refused", "estimation/app/run.cpp",
           "        case study_status::refused:\n            return exit_refused;",
           "        case study_status::refused:\n            return exit_stopped;",
           "a refused setting file exits 3"),
    Mutant("status-stopped", "estimation/app/run.cpp",
           "        case study_status::stopped:\n            return exit_stopped;",
           "        case study_status::stopped:\n            return exit_refused;",
           "a stopped estimation exits 1"),
    Mutant("status-partial", "estimation/app/run.cpp",
           "all_estimated_ && r.status != study_status::refused && r.status != study_status::stopped;",
           "all_estimated_ && r.status != study_status::stopped;",
           "a run of several inputs with a refused one exits 0"),
    Mutant("status-out-of-memory", "estimation/app/run.cpp",
           "return classic ? exit_stopped : exit_partial;",
           "return classic ? exit_refused : exit_partial;",
           "out of memory exits 1"),
    Mutant("out-of-memory-uncaught", "estimation/app/run.cpp",
           "catch (const std::bad_alloc&)", "catch (const std::length_error&)",
           "out of memory ends in std::terminate"),
    Mutant("status-unwritable", "estimation/app/main.cpp",
           "        return morvex::exit_stopped;", "        return morvex::exit_refused;",
           "an unwritable standard output exits 1"),
    Mutant("unwritable-no-flush", "estimation/app/main.cpp",
           "    std::cout.flush();\n", "",
           "--help and --version not flushed before the stream is checked"),
    # Tables of published studies.
    Mutant("table-reference-na", "estimation/input/table_file.cpp",
           "is_missing(r.raw(spread)) && (log_scale_ || is_missing(r.raw(ub_)))",
           "r.raw(spread).empty() && (log_scale_ || r.raw(ub_).empty())",
           "NA limits (or se) do not mark the reference row, only empty ones"),
    Mutant("table-reference-one-limit", "estimation/input/table_file.cpp",
           "is_missing(r.raw(spread)) && (log_scale_ || is_missing(r.raw(ub_)))",
           "is_missing(r.raw(spread))",
           "an empty lower limit alone marks the reference row"),
    Mutant("table-absolute-doses", "estimation/input/table_file.cpp",
           "s.x(i, 0) = c.dose - ref.dose;", "s.x(i, 0) = c.dose;",
           "doses taken as given, not relative to the reference dose"),
    Mutant("table-adjacent-rows", "estimation/input/row_index.cpp",
           "    std::uint32_t& study = slot(id);\n    if (study == none) {",
           "    std::uint32_t fresh = none;\n    std::uint32_t& study = fresh;\n    if (study == none) {",
           "only adjacent rows of one id form a study"),
    Mutant("table-controls-as-total", "estimation/input/table_file.cpp",
           "c.total = c.cases + r.positive(controls_);", "c.total = r.positive(controls_);",
           "the controls column taken as the total"),
    Mutant("table-se-as-variance", "estimation/input/table_file.cpp",
           "c.v = se * se;", "c.v = se;",
           "the standard error taken as the variance"),
    Mutant("table-doubled-quote", "estimation/input/table_records.cpp",
           "                    copies_ += '\"';\n                }\n                ++pos_;\n                continue;",
           "                    copies_ += '\"';\n                }\n                continue;",
           "a doubled quote inside quotes keeps its second quote as a closing one"),
    Mutant("table-bom-length", "estimation/input/table_file.cpp",
           "start = 3; // a UTF-8", "start = 2; // a UTF-8",
           "the byte-order mark is skipped one byte short"),
    Mutant("table-cr-in-field", "estimation/input/table_records.cpp",
           "while (stop < text_.size() && text_[stop] != sep_ && text_[stop] != '\\n' &&\n"
           "                   text_[stop] != '\\r') {",
           "while (stop < text_.size() && text_[stop] != sep_ && text_[stop] != '\\n') {",
           "a CR does not end an unquoted field, so a CRLF's CR stays in the last value"),
    Mutant("table-fault-ends-file", "estimation/app/run.cpp",
           "            r.message = printable(name) + ':' + t.message;\n",
           "            r.message = printable(name) + ':' + t.message;\n            emit(r);\n"
           "            return;\n",
           "a refused study ends the file: the studies after it are lost"),
    # Output formats.
    Mutant("csv-comma-unquoted", "estimation/output/csv.cpp",
           "text.find_first_of(\",\\\"\\r\\n\")", "text.find_first_of(\"\\\"\\r\\n\")",
           "a field holding a comma is not quoted"),
    Mutant("csv-quote-not-doubled", "estimation/output/csv.cpp",
           "        out << c;\n        if (c == '\"') {\n            out << '\"';\n        }\n",
           "        out << c;\n",
           "a quote inside a quoted field is not doubled"),
    Mutant("backslash-unescaped", "estimation/base/format.cpp",
           "if (c == '\\\\') {", "if (c == '\\0') {",
           "a backslash prints as it is, so the five characters a\\tb read as a tab"),
    Mutant("message-escaped-twice", "estimation/app/run.cpp",
           "err << \"Morvex: \" << r.message << '\\n';",
           "err << \"Morvex: \" << printable(r.message) << '\\n';",
           "a message made printable is escaped again: backslashes double twice"),
    Mutant("number-precision-15", "estimation/base/format.cpp",
           "std::to_chars(text, text + number_chars, value).ptr - text);",
           "std::to_chars(text, text + number_chars, value, std::chars_format::general, 15).ptr - text);",
           "numbers written to 15 significant digits instead of the shortest round trip"),
    Mutant("json-control-raw", "estimation/output/json.cpp",
           "if (c != '\"' && c != '\\\\' && byte >= 0x20 && byte != 0x7f) {", "if (c != '\"' && c != '\\\\' && byte != 0x7f) {",
           "control characters other than LF, CR and tab written raw into JSON strings"),
    Mutant("json-nan", "estimation/output/json.cpp",
           "out.write(\"null\", 4);\n    } else {", "out.write(\"NaN\", 3);\n    } else {",
           "a number not computed written as NaN, which JSON lacks"),
    # The command line.
    Mutant("options-stop-at-file", "estimation/app/options.cpp",
           "getopt_long(argc, argv.data(), \":h\"", "getopt_long(argc, argv.data(), \"+:h\"",
           "options after the first file name taken as file names"),
    Mutant("increment-zero", "estimation/app/options.cpp",
           "d.status != number_status::ok || d.value == 0.0", "d.status != number_status::ok",
           "--increment=0 accepted"),
    Mutant("format-prefix", "estimation/app/options.cpp",
           "std::strcmp(optarg, \"csv\") == 0", "std::strncmp(optarg, \"csv\", 3) == 0",
           "a --format value that starts with csv taken as csv"),
    # Pooling and its distributions.
    Mutant("reml-information", "estimation/pooling/reml.cpp",
           "t += diagonal * diagonal + squares[i] * other_squares[i] / (s * s);",
           "t += diagonal * diagonal;",
           "the Newton step's tr PP without P's off-diagonal elements"),
    Mutant("reml-first-maximum", "estimation/pooling/reml.cpp",
           "if (previous.score > 0.0 && current.score <= 0.0) {",
           "if (r.maxima == 0 && previous.score > 0.0 && current.score <= 0.0) {",
           "REML stops at the first maximum of the restricted likelihood"),
    Mutant("reml-zero-not-compared", "estimation/pooling/reml.cpp",
           "double best = previous.loglik;", "double best = -HUGE_VAL;",
           "tau^2 = 0 left out of the comparison of the maxima"),
    Mutant("reml-bracket-side", "estimation/pooling/reml.cpp",
           "(p.score > 0.0 ? low : high) = tau2;", "(p.score > 0.0 ? high : low) = tau2;",
           "the bracket of a maximum narrowed from the wrong side"),
    Mutant("reml-absolute-precision", "estimation/pooling/reml.cpp",
           "std::fabs(step) <= relative_precision * tau2", "std::fabs(step) <= relative_precision",
           "a maximum solved to an absolute change instead of one relative to tau^2"),
    Mutant("weights-fraction", "estimation/pooling/pooling.cpp",
           "100.0 * wi / sw", "wi / sw",
           "weights as fractions, not percent"),
    Mutant("gamma-switch", "estimation/base/distributions.cpp",
           "if (x < a + 1.0) {", "if (x < a) {",
           "the series used only below a, the continued fraction from a on",
           equivalent="between a and a + 1 both expansions converge and Q is near 1/2, so the "
           "subtraction loses no digits: for df 1 to 200 and x in that range both agree with "
           "mpmath to 2e-13 relative, the accuracy of lgamma; only the number of terms changes"),
    Mutant("normal-p-argument", "estimation/base/distributions.cpp",
           "elem::erfc(std::fabs(z) / std::sqrt(2.0))", "elem::erfc(std::fabs(z) / 2.0)",
           "two-sided p from erfc(|z| / 2) instead of erfc(|z| / sqrt 2)"),
    Mutant("pool-not-converged", "estimation/pooling/meta_analysis.cpp",
           "if (s.status == study_status::complete) {",
           "if (s.status == study_status::complete || s.status == study_status::not_converged) {",
           "studies whose fit did not converge are pooled"),
    # Pictures and the files they are written to.
    Mutant("svg-reference-at-one", "estimation/output/svg/forest_plot.cpp",
           "const double reference = a.pixel(0.0);",
           "const double reference = a.pixel(plot.increment ? 1.0 : 0.0);",
           "the no-effect line of an RR axis drawn at a log RR of 1"),
    Mutant("svg-less-than-raw", "estimation/output/svg/canvas.cpp",
           "                out += \"&lt;\";\n", "                out += \"<\";\n",
           "'<' in a label not escaped"),
    Mutant("svg-square-unclipped", "estimation/output/svg/forest_plot.cpp",
           "if (!std::isnan(r.estimate) && !a.below(e) && !a.above(e)) {",
           "if (!std::isnan(r.estimate)) {",
           "a study's square drawn outside the axis when its estimate is off the scale"),
    Mutant("atomic-temporary-kept", "estimation/output/atomic_file.cpp",
           "        ::unlink(temporary.c_str());\n", "",
           "the temporary file left behind when writing fails"),
    Mutant("atomic-temporary-in-cwd", "estimation/output/atomic_file.cpp",
           "std::string pattern = folder + \".\" + base", "std::string pattern = \".\" + base",
           "the temporary file made in the working folder, not beside the target"),
    Mutant("plot-same-file", "estimation/app/output_files.cpp",
           "return in == name || same_file(in, name);", "return in == name;",
           "--plot naming an input by another path overwrites it"),
    # Warnings and the design line.
    Mutant("warn-rr-outside-lower", "estimation/input/input_checks.cpp",
           "s.L(i, 0) < std::fmin(s.lo(i, 0), s.hi(i, 0))", "s.L(i, 0) < s.lo(i, 0)",
           "with swapped limits a relative risk between them is said to lie outside"),
    Mutant("warn-doses-last-only", "estimation/input/input_checks.cpp",
           "all_doses_zero = all_doses_zero && s.x(i, 0) == 0.0;", "all_doses_zero = s.x(i, 0) == 0.0;",
           "all doses called 0 when only the last one is"),
    Mutant("ir-prefix", "estimation/input/setting_file.cpp",
           "is(0, 'I') && is(1, 'R') && (line2.size() == 2 || line2[2] == ' ' || line2[2] == '\\t')",
           "is(0, 'I') && is(1, 'R')",
           "a design line starting with IR (\"Iranian cohort\") read as incidence rate"),
]


def git_files(root):
    out = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                         cwd=root, check=True, capture_output=True).stdout
    return [f for f in out.decode().split("\0") if f and os.path.isfile(os.path.join(root, f))]


def sync_tree(root, src):
    """Copies the project's files into src, touching only files that differ, so
    that an incremental build redoes only what changed since the last run."""
    wanted = set(git_files(root))
    for dirpath, _, names in os.walk(src):
        for name in names:
            rel = os.path.relpath(os.path.join(dirpath, name), src)
            if rel not in wanted:
                os.remove(os.path.join(dirpath, name))
    for rel in wanted:
        a, b = os.path.join(root, rel), os.path.join(src, rel)
        with open(a, "rb") as f:
            data = f.read()
        if os.path.exists(b):
            with open(b, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(b), exist_ok=True)
        with open(b, "wb") as f:
            f.write(data)
        shutil.copymode(a, b)


def build_and_test(build, jobs, timeout):
    """'build-failed', 'killed' (a test failed) or 'survived'."""
    built = subprocess.run(["cmake", "--build", build, "-j%d" % jobs],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if built.returncode != 0:
        return "build-failed"
    tested = subprocess.run(["ctest", "--test-dir", build, "-j%d" % jobs, "--stop-on-failure",
                             "--timeout", str(timeout)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return "killed" if tested.returncode != 0 else "survived"


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("names", nargs="*", help="mutants to run (shell patterns); default all")
    parser.add_argument("--list", action="store_true", help="list the mutants and exit")
    parser.add_argument("--work", default=os.path.join(root, "build-mutation"),
                        help="folder for the copy and its build (reused between runs)")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--timeout", type=int, default=300, help="seconds per test")
    args = parser.parse_args()

    chosen = [m for m in MUTANTS
              if not args.names or any(fnmatch.fnmatch(m.name, p) for p in args.names)]
    if args.list:
        for m in chosen:
            note = "  [equivalent]" if m.equivalent else ""
            print("%-24s %-30s %s%s" % (m.name, m.path, m.description, note))
        return 0
    if not chosen:
        print("no mutant matches", " ".join(args.names), file=sys.stderr)
        return 2

    src, build = os.path.join(args.work, "src"), os.path.join(args.work, "build")
    os.makedirs(src, exist_ok=True)
    sync_tree(root, src)
    # Some tests read the shared data that sits beside the repository.
    shared, link = os.path.join(os.path.dirname(root), "shared"), os.path.join(args.work, "shared")
    if os.path.isdir(shared) and not os.path.lexists(link):
        os.symlink(shared, link)
    start = time.monotonic()
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", src, "-B", build, "-DMORVEX_WERROR=ON", "-DMORVEX_TESTS=ON"], check=True,
                       stdout=subprocess.DEVNULL)
    if build_and_test(build, args.jobs, args.timeout) != "survived":
        print("the unmutated suite does not build and pass in %s: nothing to measure" % build,
              file=sys.stderr)
        return 2

    results = {}
    for m in chosen:
        path = os.path.join(src, m.path)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        began = time.monotonic()
        found = text.count(m.original)
        if found != 1:
            status = "stale" if found == 0 else "ambiguous"
        else:
            try:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text.replace(m.original, m.replacement))
                status = build_and_test(build, args.jobs, args.timeout)
            finally:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text)
        results[m.name] = status
        print("%-12s %-24s %5.0f s  %s%s" % (status, m.name, time.monotonic() - began,
                                              m.description,
                                              "  [equivalent]" if m.equivalent else ""),
              flush=True)

    counted = [m for m in chosen if not m.equivalent and results[m.name] in ("killed", "survived")]
    killed = [m for m in counted if results[m.name] == "killed"]
    survivors = [m for m in counted if results[m.name] == "survived"]
    broken = [m for m in chosen if results[m.name] not in ("killed", "survived")]
    wrongly_equivalent = [m for m in chosen if m.equivalent and results[m.name] == "killed"]
    print()
    if counted:
        print("mutation score: %d of %d non-equivalent mutants killed (%.0f%%) in %.0f s"
              % (len(killed), len(counted), 100.0 * len(killed) / len(counted),
                 time.monotonic() - start))
    for m in survivors:
        print("survived: %s (%s: %s)" % (m.name, m.path, m.description))
    for m in broken:
        print("%s: %s (%s): fix or update the mutant" % (results[m.name], m.name, m.path))
    for m in wrongly_equivalent:
        print("killed although marked equivalent: %s" % m.name)
    return 1 if survivors or broken or wrongly_equivalent else 0


if __name__ == "__main__":
    sys.exit(main())
