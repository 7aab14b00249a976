#include "estimation/fitted_counts.hpp"
#include "estimation/input_checks.hpp"
#include "estimation/number.hpp"
#include "estimation/setting_file.hpp"
#include "estimation/trend.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>
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
    for (const std::string& text : {cc_example, crlf, cr, mixed}) {
        const study s = parse_setting_file(text);
        EXPECT_EQ(s.title, "Example study of one exposure in four categories");
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

// Passing on the last allowed iteration counts as converged. Converged counts must reproduce
// every reported log relative risk under the margins.
TEST(FitCounts, ConvergesToCountsThatReproduceTheRisks) {
    const std::tuple<const std::string*, int, bool, int> cases[] = {
        {&cc_example, 2, false, 2}, {&cc_example, 3, true, 3}, {&ci_example, 100, true, 4}};
    for (const auto& [text, limit, converged, iterations] : cases) {
        const study s = parse_setting_file(*text);
        const fitted_counts fit = fit_counts(s, limit);
        EXPECT_EQ(std::make_pair(fit.converged, fit.iterations),
                  std::make_pair(converged, iterations));
        const double A0 = s.M1 - fit.A(0, 0) - fit.A(1, 0) - fit.A(2, 0);
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
    for (const std::string& text : {cc_example, ci_example}) {
        const study s = parse_setting_file(text);
        const fitted_counts fit = fit_counts(s);
        const Matrix V = covariance(s, fit);
        const double A0 = fit.A0;
        const double c = s.is_case_control() ? 1 / A0 + 1 / (s.N0 - A0) : 1 / A0 - 1 / s.N0;
        const auto variance = [&](Matrix::size_type i) {
            const double Ai = fit.A(i, 0), Ni = s.N(i, 0);
            return s.is_case_control() ? 1 / Ai + 1 / (Ni - Ai) + c
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

} // namespace
