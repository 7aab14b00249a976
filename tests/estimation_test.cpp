#include "estimation/app/help.hpp"
#include "estimation/app/option_list.hpp"
#include "estimation/app/options.hpp"
#include "estimation/base/format.hpp"
#include "estimation/input/dose_range.hpp"
#include "estimation/input/input_checks.hpp"
#include "estimation/input/number.hpp"
#include "estimation/input/setting_file.hpp"
#include "estimation/input/table_file.hpp"
#include "estimation/input/table_header.hpp"
#include "estimation/method/fitted_counts.hpp"
#include "estimation/method/trend.hpp"
#include "estimation/output/report.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using namespace morvex;

// A case-control study with a reference and three exposed categories, whose fitted counts and
// trend are known; with "CI" on line 2 it is a cohort study.
const std::string cc_example = "Example study of one exposure in four categories\nCC\n4\n"
                               "120 80 95 110\n300 190 210 220\n0 1.5 4 10\n"
                               "1 1.10 1.35 1.70\n1 0.75 0.92 1.15\n1 1.61 1.98 2.51\n";
const std::string ci_example = "Cohort\nCI" + cc_example.substr(cc_example.find("\n4\n"));
// With person-time in thousands of years, below the numbers of cases.
const std::string ir_example = "Rates\nIR person-years\n4\n120 80 95 110\n30 19 21 22\n"
                               "0 1.5 4 10\n1 1.10 1.35 1.70\n1 0.75 0.92 1.15\n1 1.61 1.98 2.51\n";

std::string with_line2(const std::string& line2) {
    return "T\n" + line2 + cc_example.substr(cc_example.find("\n4\n"));
}

TEST(ParseSettingFile, Line2SelectsTheDesign) {
    const study_design cc = study_design::case_control, ci = study_design::cohort,
                       ir = study_design::incidence_rate;
    const std::pair<const char*, study_design> lines[] = {{"CC", cc},      {"cc anything", cc},
                                                          {"cCx", cc},     {" CC", ci},
                                                          {"IR", ir},      {"ir", ir},
                                                          {"Ir\tpy", ir},  {"IR person-years", ir},
                                                          {"Iranian", ci}, {"IRR", ci},
                                                          {" IR", ci},     {"I R", ci},
                                                          {"Cohort", ci},  {"", ci}};
    for (const auto& [line2, design] : lines) {
        EXPECT_EQ(parse_setting_file(with_line2(line2)).design, design) << line2;
    }
    // Person-time may be below the cases, but never 0.
    EXPECT_NO_THROW(parse_setting_file(ir_example));
    EXPECT_THROW(parse_setting_file(std::regex_replace(ir_example, std::regex("\n30 "), "\n0 ")),
                 setting_error);
}

// Escaped text reads back to one text only: a tab and the two characters \t differ.
TEST(Printable, EscapesControlCharactersBytesNotUtf8AndDoublesBackslashes) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"a\tb", "a\\tb"},
        {"a\\tb", "a\\\\tb"},
        {"\\", "\\\\"},
        {"x\x01\ny\r\x1f\x7f", "x\\x01\\x0ay\\x0d\\x1f\\x7f"},
        {"\\x01", "\\\\x01"},
        {"M\xc3\xbcller \"1999\" ~", "M\xc3\xbcller \"1999\" ~"},
        // Valid UTF-8 of two, three and four bytes stands; any other byte is escaped.
        {"\xe2\x89\xa5"
         "30 \xf0\x9f\x8d\xba",
         "\xe2\x89\xa5"
         "30 \xf0\x9f\x8d\xba"},
        {"a\xe9"
         "b\x1a\x9b",
         "a\\xe9"
         "b\\x1a\\x9b"},                                       // Latin-1, a CSI byte
        {"\xc0\xaf\xe0\x80\xaf", "\\xc0\\xaf\\xe0\\x80\\xaf"}, // overlong forms
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},                   // a surrogate
        {"\xf4\x90\x80\x80\xf5", "\\xf4\\x90\\x80\\x80\\xf5"}, // above U+10FFFF
        {"\xe2\x89", "\\xe2\\x89"},                            // cut short
        {"\xc3\xbc\xc3", "\xc3\xbc\\xc3"},
        {"", ""}};
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(printable(text), shown);
        EXPECT_EQ(quoted(text), '"' + std::string(shown) + '"');
    }
}

// The pictures' one rule for p-values, at and around each of its boundaries.
TEST(JournalP, BelowAThousandthThenTwoSignificantDigitsAtMostThreeDecimals) {
    const std::pair<double, const char*> cases[] = {
        {1.55e-06, "p < 0.001"},   {0.0, "p < 0.001"},     {0.000999, "p < 0.001"},
        {0.001, "p = 0.001"},      {0.00124, "p = 0.001"}, {0.00996, "p = 0.010"},
        {0.01758, "p = 0.018"},    {0.0496, "p = 0.050"},  {0.0994, "p = 0.099"},
        {0.0996, "p = 0.10"},      {0.3443, "p = 0.34"},   {0.05, "p = 0.050"},
        {0.994, "p = 0.99"},       {0.995, "p > 0.99"},    {1.0, "p > 0.99"},
        {std::nan(""), "p = n/a"}, {-0.5, "p = n/a"}};
    for (const auto& [p, text] : cases) {
        EXPECT_EQ(journal_p(p), text) << p;
    }
}

TEST(Numbers, WholeDecimalTokensAndTheLeadingIntegerOfALine) {
    const number_status ok = number_status::ok, bad = number_status::not_a_number;
    const number_status huge = number_status::out_of_range;
    const std::tuple<const char*, number_status, double> numbers[] = {
        {"1", ok, 1.0},     {"-2.5", ok, -2.5}, {"+3", ok, 3.0},  {"1e3", ok, 1000.0},
        {"1E-3", ok, 1e-3}, {".5", ok, 0.5},    {"5.", ok, 5.0},  {"", bad, 0.0},
        {"inf", bad, 0.0},  {"nan", bad, 0.0},  {"1e", bad, 0.0}, {"e5", bad, 0.0},
        {".", bad, 0.0},    {"+", bad, 0.0},    {"1 ", bad, 0.0}, {"-1e999", huge, 0}};
    for (const auto& [token, status, value] : numbers) {
        const parsed<double> got = parse_number(token);
        EXPECT_EQ(std::make_pair(got.status, got.value), std::make_pair(status, value)) << token;
    }
    // Read as "%d" reads it; `text` is what a refusal quotes.
    const std::tuple<const char*, number_status, long long, const char*> integers[] = {
        {"  +4 categories", ok, 4, "+4"},
        {"-3", ok, -3, "-3"},
        {"abc", bad, 0, ""},
        {"9999999999999999999", huge, 0, "9999999999999999999"}};
    for (const auto& [line, status, value, quoted] : integers) {
        std::string_view text;
        const parsed<long long> got = parse_leading_integer(line, text);
        EXPECT_EQ(std::make_tuple(got.status, got.value, std::string(text)),
                  std::make_tuple(status, value, std::string(quoted)));
    }
}

TEST(ParseSettingFile, LineEndsVariancesAndTruncation) {
    const std::string crlf = std::regex_replace(cc_example, std::regex("\n"), "\r\n");
    const std::string cr = std::regex_replace(cc_example, std::regex("\n"), "\r");
    const std::string mixed = std::regex_replace(crlf, std::regex("\r\n4\r\n"), "\r4\n");
    const double lower[] = {0.75, 0.92, 1.15}, upper[] = {1.61, 1.98, 2.51};
    const std::string title = "Example study of one exposure in four categories";
    const std::string untitled = crlf.substr(title.size()); // an empty first line, CRLF
    for (const auto& [text, want] : {std::pair{cc_example, title},
                                     {crlf, title},
                                     {cr, title},
                                     {mixed, title},
                                     {untitled, ""}}) {
        const study s = parse_setting_file(text);
        EXPECT_EQ(s.title, want);
        for (Matrix::size_type i = 0; i < 3; ++i) {
            // Tight enough to tell a divisor of 1.96 from 1.959964.
            const double v = std::pow((std::log(upper[i]) - std::log(lower[i])) / 1.96 / 2, 2);
            EXPECT_NEAR(s.v(i, 0), v, 1e-12 * v);
        }
    }
    // The count of complete lines goes into the message.
    const std::pair<std::string, int> short_files[] = {
        {cc_example.substr(0, cc_example.rfind("1 1.61")), 8}, {"", 0}, {"\r", 1}};
    for (const auto& [text, lines_read] : short_files) {
        try {
            parse_setting_file(text);
            ADD_FAILURE() << lines_read;
        } catch (const truncated_setting_file& e) {
            EXPECT_EQ(e.lines_read(), lines_read);
        }
    }
}

// Line 2 starting with IR selects the incidence-rate design, never a case-control slip.
TEST(ParseSettingFile, WarnsOfDesignLinesThatReadLikeCaseControl) {
    const std::pair<const char*, bool> designs[] = {
        {"Case-control", true},     {"case control", true}, {" CC", true},     {"Design: cc", true},
        {"CaseControl", true},      {"CC", false},          {"Cohort", false}, {"CI", false},
        {"IR case-control", false}, {"case series", false}, {"", false},       {"ccc", false}};
    const std::string rest = ci_example.substr(ci_example.find("\n4\n"));
    for (const auto& [design, warns] : designs) {
        const study s = parse_setting_file(std::string("T\n") + design + rest);
        EXPECT_EQ(s.warnings.size(), warns ? 1U : 0U) << design;
    }
}

// Each notice points where the caller's layout puts the value: here row 10 * category + field.
TEST(CheckValues, FindsSlipsInCategoryOrderAtTheLinesOfTheLayout) {
    const auto row = [](study_value value, int category) {
        return 10 * category + static_cast<int>(value);
    };
    const std::pair<const char*, std::vector<int>> cases[] = {
        {"0 1.5 4 10\n1 0.75 1.35 2.51\n1 0.75 0.92 1.15\n1 1.61 1.98 2.51\n", {}},
        {"0 1.5 4 10\n1 1.10 2.35 1.70\n1 0.75 1.98 1.15\n1 1.61 0.92 2.51\n", {22, 21}},
        {"0 0 0 0\n1 1.10 1.35 3\n1 0.75 0.92 1.15\n1 1.61 1.98 2.51\n", {31, 10}},
        {"0 0 0 1\n1 1.10 1.35 1.70\n1 1.1 0.92 1.15\n1 1.1 1.98 2.51\n", {12}},
        {"0 1.5 4 10\n1 0.5 1.35 1.70\n1 0.75 0.92 1.15\n1 1.61 1.98 2.51\n", {11}}};
    const std::string head = cc_example.substr(0, cc_example.find("0 1.5"));
    for (const auto& [values, lines] : cases) {
        std::vector<int> got;
        for (const notice& found : check_values(parse_setting_file(head + values), row)) {
            got.push_back(found.line);
        }
        EXPECT_EQ(got, lines) << values;
    }
}

// Counts from 1 to 1e8 keep the absolute tolerance; smaller counts need a relative one, and
// larger ones pass at the precision a double holds.
TEST(CorrectionPasses, EveryCorrectionMustBeFiniteAndSmallForItsCount) {
    using values = std::vector<double>;
    const std::tuple<values, values, bool> cases[] = {{{1e-06, 5.0}, {1, 1}, false},
                                                      {{-0.5, 1e-06}, {1, 1}, false},
                                                      {{9e-06, -9e-06}, {1, 1e8}, true},
                                                      {{1e-05}, {50}, false},
                                                      {{0.0, -1e-05}, {1, 1e7}, false},
                                                      {{NAN, 0.0}, {1, 1}, false},
                                                      {{0.0, HUGE_VAL}, {1, 1}, false},
                                                      {{-HUGE_VAL}, {HUGE_VAL}, false},
                                                      {{0.0, 0.0, 0.0}, {1, 2, 3}, true},
                                                      {{4e-06}, {0.5}, true},
                                                      {{6e-06}, {0.5}, false},
                                                      {{9e-10, -9e-10}, {1e-4, 1e-4}, true},
                                                      {{1.1e-09}, {1e-4}, false},
                                                      {{1e-04, -0.09}, {1e12, 1e12}, true},
                                                      {{0.2}, {1e12}, false},
                                                      {{0.0}, {-1.0}, false},
                                                      {{1e-06}, {NAN}, false}};
    for (const auto& [steps, counts, passes] : cases) {
        Matrix delta(static_cast<Matrix::size_type>(steps.size()), 1);
        Matrix A(delta.row_count(), 1);
        for (Matrix::size_type i = 0; i < delta.row_count(); ++i) {
            delta(i, 0) = steps[i];
            A(i, 0) = counts[i];
        }
        EXPECT_EQ(correction_passes(delta, A), passes)
            << testing::PrintToString(steps) << testing::PrintToString(counts);
    }
}

// A reference cell far smaller than the others: the last step that is small for the exposed
// counts moves the reference count by 4e-3 of itself, so one more step is needed.
const std::string small_reference =
    "Small reference\nCC\n4\n0.003 40 60 79.9995\n1000 100 120 150\n"
    "0 1 2 3\n1 266666 399999 457142\n1 1e5 1.5e5 2.5e5\n"
    "1 7e5 1e6 8e5\n";

// Passing on the last allowed iteration counts as converged. Converged counts must reproduce
// every reported log relative risk under the margins, and the reference count is always the
// one that goes with the exposed counts.
TEST(FitCounts, ConvergesToCountsThatReproduceTheRisks) {
    const std::tuple<const std::string*, int, bool, int> cases[] = {
        {&cc_example, 2, false, 2},      {&cc_example, 3, true, 3},
        {&ci_example, 100, true, 4},     {&ir_example, 100, true, 4},
        {&small_reference, 3, false, 3}, {&small_reference, 100, true, 4}};
    for (const auto& [text, limit, converged, iterations] : cases) {
        const study s = parse_setting_file(*text);
        const fitted_counts fit = fit_counts(s, limit);
        EXPECT_EQ(std::make_pair(fit.converged, fit.iterations),
                  std::make_pair(converged, iterations));
        const double A0 = s.M1 - (fit.A(0, 0) + fit.A(1, 0) + fit.A(2, 0));
        EXPECT_EQ(fit.A0, A0);
        for (Matrix::size_type i = 0; converged && i < 3; ++i) {
            const double Ai = fit.A(i, 0), Ni = s.N(i, 0);
            EXPECT_NEAR(s.is_case_control() ? std::log(Ai * (s.N0 - A0) / (A0 * (Ni - Ai)))
                                            : std::log(Ai * s.N0 / (A0 * Ni)),
                        s.L(i, 0), 1e-7);
        }
    }
}

// A relative risk far beyond the counts makes the first step overshoot the reference cases.
// With one exposed category V is v_1 alone, whatever the counts.
TEST(EstimateTrend, StopsOutOfRangeAndReducesToOneCategory) {
    for (const std::string design : {"CC", "CI"}) {
        SCOPED_TRACE(design);
        const std::string head = "One\n" + design + "\n2\n";
        EXPECT_THROW(
            fit_counts(parse_setting_file(head + "10 10\n20 20\n0 1\n1 100\n1 50\n1 200\n")),
            estimation_error);
        const study s = parse_setting_file(head + "20 40\n1000 900\n0 -2.5\n1 1.4\n1 0.9\n1 2.2\n");
        const trend t = estimate_trend(s, fit_counts(s));
        const double beta = s.L(0, 0) / -2.5, se = std::sqrt(s.v(0, 0)) / 2.5;
        EXPECT_NEAR(t.beta, beta, 1e-12 * std::fabs(beta));
        EXPECT_NEAR(t.se, se, 1e-12 * se);
    }
}

// Off the diagonal V carries the correlation the fitted counts imply, with each category scaled
// by the standard deviation of its log relative risk.
TEST(Covariance, CarriesTheCorrelationOfTheFittedCounts) {
    // Published for the case-control study: categories (2, 1), (3, 1) and (3, 2).
    const double published_r[] = {0.407, 0.413, 0.429};
    for (const std::string& text : {cc_example, ci_example, ir_example}) {
        const study s = parse_setting_file(text);
        const fitted_counts fit = fit_counts(s);
        const Matrix V = covariance(s, fit);
        const double A0 = fit.A0;
        const bool rates = s.design == study_design::incidence_rate;
        const double c = s.is_case_control() ? 1 / A0 + 1 / (s.N0 - A0)
                         : rates             ? 1 / A0
                                             : 1 / A0 - 1 / s.N0;
        const auto variance = [&](Matrix::size_type i) {
            const double Ai = fit.A(i, 0), Ni = s.N(i, 0);
            return s.is_case_control() ? 1 / Ai + 1 / (Ni - Ai) + c
                   : rates             ? 1 / Ai + 1 / A0
                                       : 1 / Ai + 1 / A0 - 1 / Ni - 1 / s.N0;
        };
        for (Matrix::size_type i = 0, pair = 0; i < 3; ++i) {
            EXPECT_EQ(V(i, i), s.v(i, 0));
            for (Matrix::size_type j = 0; j < i; ++j, ++pair) {
                const double r = V(i, j) / std::sqrt(V(i, i) * V(j, j));
                EXPECT_EQ(V(i, j), V(j, i));
                EXPECT_NEAR(r, c / std::sqrt(variance(i) * variance(j)), 1e-12) << s.title << pair;
                if (s.is_case_control()) {
                    EXPECT_NEAR(r, published_r[pair], 5e-4) << pair;
                }
            }
        }
    }
}

// Every argument list ends in a run, an answer or one refusal line; options may follow files.
TEST(CommandLine, ArgumentListsGiveRunsAnswersOrOneRefusal) {
    using args = std::vector<std::string>;
    const std::tuple<args, command, output_format, args, const char*> cases[] = {
        {{}, command::usage, output_format::text, {}, ""},
        {{"--format=csv"}, command::usage, output_format::csv, {}, ""},
        {{"a.txt"}, command::run, output_format::text, {"a.txt"}, ""},
        {{"a.txt", "--format=json", "b.csv"},
         command::run,
         output_format::json,
         {"a.txt", "b.csv"},
         ""},
        {{"--format", "csv", "a"}, command::run, output_format::csv, {"a"}, ""},
        {{"--form=text", "a"}, command::run, output_format::text, {"a"}, ""},
        {{"--", "-x", "--help"}, command::run, output_format::text, {"-x", "--help"}, ""},
        {{"-"}, command::run, output_format::text, {"-"}, ""},
        {{"a", "-h"}, command::help, output_format::text, {}, ""},
        {{"--help", "-x"}, command::help, output_format::text, {}, ""},
        {{"--version", "a"}, command::version, output_format::text, {}, ""},
        {{"--ver"}, command::version, output_format::text, {}, ""},
        {{"-x"},
         command::refuse,
         output_format::text,
         {},
         "Morvex: unknown option '-x'; see 'Morvex --help' (use '--' before a file name that "
         "starts with '-', or write ./-x)"},
        {{"a", "--poll"},
         command::refuse,
         output_format::text,
         {},
         "Morvex: unknown option '--poll'; see 'Morvex --help' (use '--' before a file name that "
         "starts with '-', or write ./--poll)"},
        {{"a", "--pool=dl"},
         command::refuse,
         output_format::text,
         {},
         "Morvex: option '--pool' takes no value; see 'Morvex --help'"},
        {{"--pool", "--increment=10", "a"}, command::run, output_format::text, {"a"}, ""},
        {{"--plot=f.svg", "--increment=10", "a"}, command::run, output_format::text, {"a"}, ""},
        {{"--increment=10", "a"}, command::run, output_format::text, {"a"}, ""},
        {{"--plot=x.png", "a"},
         command::refuse,
         output_format::text,
         {},
         "Morvex: option '--plot' writes SVG, so its file name must end in .svg, e.g. "
         "--plot=x.svg; for PNG or PDF convert that file afterwards, e.g. rsvg-convert -f png "
         "-o x.png x.svg (got 'x.png')"},
        {{"--funnel=dir.v2/funnel", "a"},
         command::refuse,
         output_format::text,
         {},
         "Morvex: option '--funnel' writes SVG, so its file name must end in .svg, e.g. "
         "--funnel=dir.v2/funnel.svg; for PNG or PDF convert that file afterwards, e.g. "
         "rsvg-convert -f png -o dir.v2/funnel.png dir.v2/funnel.svg (got 'dir.v2/funnel')"},
        {{"--summary=s.tsv", "a"},
         command::refuse,
         output_format::text,
         {},
         "Morvex: option '--summary' writes CSV, so its file name must end in .csv, e.g. "
         "--summary=s.csv (got 's.tsv')"},
        {{"--summary=S.CSV", "--plot=F.SVG", "--funnel=g.Svg", "a"},
         command::run,
         output_format::text,
         {"a"},
         ""},
        {{"--by=", "a"},
         command::refuse,
         output_format::text,
         {},
         "Morvex: option '--by' needs a column name, e.g. --by=type"},
        {{"a", "--by"},
         command::refuse,
         output_format::text,
         {},
         "Morvex: option '--by' needs a value, e.g. --by=type; see 'Morvex --help'"},
        {{"--model=random", "--plot=f.svg", "a"},
         command::refuse,
         output_format::text,
         {},
         "Morvex: unknown model 'random'; use --model=fixed, --model=dl, --model=reml or "
         "--model=all"},
        {{"--title=T", "a"},
         command::refuse,
         output_format::text,
         {},
         "Morvex: option '--title' applies to the pictures: add --plot=FILE.svg or "
         "--funnel=FILE.svg"},
        {{"--model=all", "--funnel=f.svg", "a"},
         command::refuse,
         output_format::text,
         {},
         "Morvex: option '--model' applies to the forest plot: add --plot=FILE.svg"},
        {{"--unit=g/day", "--increment=10", "a"},
         command::refuse,
         output_format::text,
         {},
         "Morvex: option '--unit' names the dose's unit in the pictures and the pooled figures: "
         "add --plot=FILE.svg, --funnel=FILE.svg, --pool or --trend"},
        {{"a", "--plot=", "--pool"},
         command::refuse,
         output_format::text,
         {},
         "Morvex: option '--plot' needs a file name, e.g. --plot=forest.svg"},
        {{"a", "--plot"},
         command::refuse,
         output_format::text,
         {},
         "Morvex: option '--plot' needs a value, e.g. --plot=forest.svg; see 'Morvex --help'"},
        {{"--format=xml", "a"},
         command::refuse,
         output_format::text,
         {},
         "Morvex: unknown format 'xml'; use --format=text, --format=csv or --format=json"},
        {{"--format=csvx", "a"},
         command::refuse,
         output_format::text,
         {},
         "Morvex: unknown format 'csvx'; use --format=text, --format=csv or --format=json"},
        {{"a", "--format"},
         command::refuse,
         output_format::text,
         {},
         "Morvex: option '--format' needs a value, e.g. --format=csv; see 'Morvex --help'"},
        {{"--version=2"},
         command::refuse,
         output_format::text,
         {},
         "Morvex: option '--version' takes no value; see 'Morvex --help'"}};
    for (const auto& [arguments, what, format, inputs, message] : cases) {
        const parsed_command_line got = parse_command_line(arguments);
        EXPECT_EQ(std::make_tuple(got.what, got.message),
                  std::make_tuple(what, std::string(message)))
            << testing::PrintToString(arguments);
        if (what == command::run || what == command::usage) {
            EXPECT_EQ(std::make_pair(got.opts.format, got.opts.inputs),
                      std::make_pair(format, inputs));
        }
    }
    // An increment is a finite number other than 0 in the strict grammar of the inputs.
    for (const char* bad : {"0", "-0.0", "1e999", "abc", " 5", "5 ", "inf", "nan", "0x10", "1,5"}) {
        const parsed_command_line got =
            parse_command_line({"--pool", std::string("--increment=") + bad, "a"});
        EXPECT_EQ(got.message, "Morvex: option '--increment' needs a finite number other than 0, "
                               "e.g. --increment=10 for the RR per 10 units of dose; got '" +
                                   std::string(bad) + "'");
    }
    // Threads: a whole number from 1 to the most; none given is 0, as available.
    for (const char* bad : {"0", "-1", "65", "1.5", "2x", "", " 2", "4294967298"}) {
        EXPECT_EQ(parse_command_line({std::string("--threads=") + bad, "a"}).message,
                  "Morvex: option '--threads' needs a whole number from 1 to 64, e.g. "
                  "--threads=2; got '" +
                      std::string(bad) + "'");
    }
    EXPECT_EQ(parse_command_line({"--threads=64", "a"}).opts.threads, 64U);
    EXPECT_EQ(parse_command_line({"a"}).opts.threads, 0U);
    const parsed_command_line all =
        parse_command_line({"a", "--plot=f.svg", "--increment=-2.5e-1", "--pool"});
    EXPECT_TRUE(all.opts.pool);
    EXPECT_EQ(all.opts.increment, -0.25);
    EXPECT_EQ(all.opts.plot, "f.svg");
    // Each analysis implies the pooling it follows.
    for (const char* analysis :
         {"--knapp-hartung", "--leave-one-out", "--egger", "--by=type", "--summary=s.csv"}) {
        EXPECT_TRUE(parse_command_line({analysis, "a"}).opts.pool) << analysis;
    }
    EXPECT_FALSE(parse_command_line({"--funnel=f.svg", "a"}).opts.pool);
    const options plot = parse_command_line({"--plot=f.svg", "--model=all", "--title=T", "--unit=U",
                                             "--funnel=g.svg", "--summary=s.csv", "a"})
                             .opts;
    EXPECT_EQ(std::make_tuple(plot.model, plot.title, plot.unit, plot.outputs().size()),
              std::make_tuple(plot_model::all, std::string("T"), std::string("U"), std::size_t{3}));
}

// The one list of options is what --help names, with the value forms of its synopsis, and each
// entry's example is a command line the program takes.
TEST(CommandLine, TheOptionListIsWhatHelpNamesAndItsExamplesRun) {
    const auto named = [](const std::string& text) {
        const std::regex option("--[a-z][a-z-]*");
        std::set<std::string> found;
        for (std::sregex_iterator m(text.begin(), text.end(), option), end; m != end; ++m) {
            found.insert(m->str());
        }
        return found;
    };
    std::set<std::string> listed;
    for (const option_entry& e : option_list()) {
        listed.insert(std::string("--") + e.name);
        if (*e.value != '\0') {
            const std::string form = *e.value == '[' ? std::string("--") + e.name + e.value
                                                     : std::string("--") + e.name + '=' + e.value;
            EXPECT_NE(std::string(synopsis_text).find(form), std::string::npos) << e.name;
        }
        // Options that qualify another need it beside them.
        const std::string code = e.name;
        std::vector<std::string> args{e.example, "a"};
        if (code == "model" || code == "title" || code == "unit") {
            args.emplace_back("--plot=f.svg");
        } else if (code == "knots" || code == "at" || code == "reference-dose") {
            args.emplace_back("--trend=spline");
        } else if (code == "bubble") {
            args.emplace_back("--moderator=year");
        }
        EXPECT_NE(parse_command_line(args).what, command::refuse) << e.example;
        EXPECT_EQ(find_option(e.name), &e);
    }
    EXPECT_EQ(named(synopsis_text), listed);
    EXPECT_EQ(named(help_text), listed);
    EXPECT_EQ(option_choices(*find_option("trend")),
              (std::vector<std::string>{"linear", "quadratic", "spline"}));
    EXPECT_TRUE(option_choices(*find_option("knots")).empty());
    EXPECT_TRUE(option_choices(*find_option("pool")).empty());
    EXPECT_NE(
        option_list_json().find("{\"name\": \"missing-counts\", \"value\": \"refuse|indep\", "
                                "\"choices\": [\"refuse\", \"indep\"], \"use\": \"analysis\""),
        std::string::npos);
}

// Rows are found across line ends of every kind and inside quotes; doses become relative to the
// reference wherever it stands; the rows of one id form one study even when apart. A byte-order
// mark is skipped; only a row without both limits is a reference.
TEST(TableFile, RecordsLinesAndGrouping) {
    const std::string text = "\xEF\xBB\xBF"
                             "ID,Type,dose,cases,n,rr,lb,ub,note\r"
                             "b,ci,5,10,100,1.5,1.1,2,\"two\nlines\"\r\n"
                             "a,ir,1,20,1000,1,,,\n"
                             "\n"
                             "b,ci,3,12,110,NA,NA,NA,\n"
                             "a,ir,3,30,900,2,1.5,3,x\n"
                             "b,ci,8,14,90,2.5,1.5,4.1,\n"
                             "c,ci,0,10,100,1,,2,\n"
                             "c,ci,2,12,100,1.2,1,1.5,\n";
    const table_file table(text, false);
    ASSERT_EQ(table.study_count(), 3U);
    EXPECT_EQ(table.read(2).message, "9: column lb: study c: missing value");
    const table_study b = table.read(0), a = table.read(1);
    EXPECT_EQ(std::make_tuple(b.id, b.first_line, a.id, a.first_line),
              std::make_tuple(std::string("b"), 2, std::string("a"), 4));
    ASSERT_TRUE(b.data && a.data) << b.message << a.message;
    EXPECT_EQ(std::make_tuple(b.data->n, b.data->x(0, 0), b.data->x(1, 0), b.data->A0, b.data->M1),
              std::make_tuple(2, 2.0, 5.0, 12.0, 36.0));
    EXPECT_EQ(a.data->design, study_design::incidence_rate);
    EXPECT_EQ(std::make_tuple(a.data->x(0, 0), a.data->L(0, 0)),
              std::make_tuple(2.0, std::log(2.0)));
    for (const char* name : {"a.csv", "B.TSV", "x.Csv"}) {
        EXPECT_TRUE(is_table_name(name)) << name;
    }
    for (const char* name : {"csv", "a.csv.txt", "a.tsvx", ".cs"}) {
        EXPECT_FALSE(is_table_name(name)) << name;
    }
    // File-level faults name their line.
    const std::pair<const char*, int> faults[] = {
        {"", 1},
        {"\n\n", 3},
        {"id,type,dose,cases,n,rr,lb\n", 1},
        {"\xEF\xBB\xBF"
         "id,ID\n",
         1},
        {"id,type,dose,cases,n,rr,lb,ub\n1,cc,\"0\"x,1,2,1,,\n", 2}};
    for (const auto& [content, line] : faults) {
        try {
            table_file bad(content, false);
            ADD_FAILURE() << content;
        } catch (const table_error& e) {
            EXPECT_EQ(e.line(), line) << content;
        }
    }
}

// A fit stopped before it converged is still reported, under its own heading. The figures come
// from two Newton steps, the reference count that goes with their counts, and the covariance,
// worked out independently of this code.
TEST(Report, PrintsTheFittedCountsAndTrendOfAFitThatDidNotConverge) {
    const study s = parse_setting_file(cc_example);
    const fitted_counts fit = fit_counts(s, 2);
    std::ostringstream out;
    print_fitted_counts(out, fit);
    print_result(out, estimate_trend(s, fit));
    EXPECT_EQ(out.str(), "*** Not converged.***\n"
                         "Category     #cases\n"
                         "       0    116.264\n"
                         "       1    77.9756\n"
                         "       2    96.7469\n"
                         "       3    114.013\n"
                         "---------------------------------------------------------\n"
                         "Estimated beta = 0.0531229\n"
                         "SE(beta)       = 0.0191159\n");
}

} // namespace

// Doses as tables publish them: each form, and what must be refused rather than guessed.
TEST(DoseRange, ReadsEachFormAndRefusesTheRest) {
    using form = dose_range::form;
    const std::tuple<const char*, form, double, double> ranges[] = {
        {"10-19", form::closed, 10, 19},
        {"10\xE2\x80\x93"
         "19",
         form::closed, 10, 19},
        {" 10 to 19 ", form::closed, 10, 19},
        {"1e1-2e1", form::closed, 10, 20},
        {"<5", form::below, 5, 5},
        {"<=5", form::below, 5, 5},
        {"\xE2\x89\xA4"
         "5",
         form::below, 5, 5},
        {">=30", form::above, 30, 30},
        {">30", form::above, 30, 30},
        {"\xE2\x89\xA5"
         "30",
         form::above, 30, 30},
        {"30+", form::above, 30, 30}};
    for (const auto& [text, shape, lo, hi] : ranges) {
        const std::optional<dose_range> r = parse_dose_range(text);
        ASSERT_TRUE(r.has_value()) << text;
        EXPECT_EQ(r->shape, shape) << text;
        EXPECT_EQ(r->shape == form::below ? r->hi : r->lo, shape == form::below ? hi : lo) << text;
        EXPECT_EQ(r->hi, hi) << text;
        EXPECT_TRUE(looks_like_range(text)) << text;
    }
    for (const char* text : {"10-5", "-5-0", "5-5", "<0", "<-1", ">=-2", "+", "10-", "a-b", "x"}) {
        EXPECT_FALSE(parse_dose_range(text).has_value()) << text;
    }
}

TEST(DoseRange, AssignsMidpointsHalvesAndOpenWidths) {
    const auto range = [](int line, const char* text) {
        return ranged_dose{line, text, *parse_dose_range(text)};
    };
    const std::vector<ranged_dose> doses{range(2, "<5"), range(3, "5-9"), range(4, "20-29"),
                                         range(5, "30+")};
    const std::vector<dose_assignment> one = assign_doses(doses, 1.0);
    ASSERT_EQ(one.size(), 4U);
    EXPECT_EQ(one[0].dose, 2.5);
    EXPECT_EQ(one[1].dose, 7.0);
    EXPECT_EQ(one[3].dose, 34.5); // the closest closed range below, not the first
    EXPECT_NE(one[3].rule.find("on line 4"), std::string::npos);
    EXPECT_EQ(assign_doses(doses, 2.0)[3].dose, 39.0);
    EXPECT_THROW(assign_doses({range(2, "0-4"), range(3, ">=2")}, 1.0), table_error);
}

TEST(TableHeader, FindsAliasesAndRefusesTwoColumnsForOneValue) {
    const table_columns c = find_columns(
        {"Study", "TYPE", "dose", " cases ", "Person_Years", "OR", "LCI", "upper", "note"}, 1);
    EXPECT_EQ(c.id.index, 0);
    EXPECT_EQ(c.n.index, 4);
    EXPECT_EQ(c.rr.index, 5);
    EXPECT_EQ(c.lb.index, 6);
    EXPECT_EQ(c.ub.index, 7);
    EXPECT_EQ(c.cases.name, "cases");
    EXPECT_FALSE(c.log_scale);
    const auto message = [](const std::vector<std::string>& header) {
        try {
            find_columns(header, 1);
        } catch (const table_error& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    const std::vector<std::string> base{"id", "type", "dose", "cases", "n", "rr", "lb", "ub"};
    std::vector<std::string> twice = base;
    twice.emplace_back("HR");
    EXPECT_NE(message(twice).find("two columns for rr: \"rr\" (column 6) and \"HR\" (column 9)"),
              std::string::npos);
    twice.back() = "RR";
    EXPECT_NE(message(twice).find("names column rr twice"), std::string::npos);
    EXPECT_NE(message({"id", "type", "dose", "cases", "rr"}).find("n may also be called total"),
              std::string::npos);
    EXPECT_TRUE(message(base).empty());
}

TEST(TableHeader, TellsTablesFromSettingFilesBySeparatorAndId) {
    EXPECT_EQ(table_header_line("\n\nid,type,dose\n"), std::optional<bool>(false));
    EXPECT_EQ(table_header_line("Study\ttype\n"), std::optional<bool>(true));
    EXPECT_EQ(table_header_line("\xEF\xBB\xBFstudy;type;dose\n"), std::optional<bool>(false));
    EXPECT_FALSE(table_header_line("Alcohol and breast cancer, study id 3\nCC\n").has_value());
    EXPECT_FALSE(table_header_line("").has_value());
    EXPECT_EQ(table_separator("id;type;dose\n1;cc;2,5\n", false), ';');
    EXPECT_EQ(table_separator("id;type,dose\n", false), ',');
    EXPECT_EQ(table_separator("id;type\n", true), '\t');
}
