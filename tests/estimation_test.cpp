#include "estimation/fitted_counts.hpp"
#include "estimation/setting_file.hpp"
#include "estimation/trend.hpp"

#include "study_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using namespace morvex;
using morvex_test::worked_example;

const std::string cohort_example = morvex_test::with_line(worked_example, 2, "CI");

TEST(CorrectionPasses, EveryCorrectionMustBeFiniteAndBelowTheTolerance) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        std::vector<double> delta;
        bool passes;
    } cases[] = {{{1e-06, 5.0}, false}, {{-0.5, 1e-06}, false}, {{9e-06, -9e-06}, true},
                 {{1e-05}, false},      {{0.0, -1e-05}, false}, {{nan, 0.0}, false},
                 {{0.0, inf}, false},   {{-inf}, false},        {{0.0, 0.0, 0.0}, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        Matrix delta(static_cast<Matrix::size_type>(c.delta.size()), 1);
        for (Matrix::size_type i = 0; i < delta.row_count(); ++i) {
            delta(i, 0) = c.delta[i];
        }
        EXPECT_EQ(correction_passes(delta), c.passes);
    }
}

// Passing on the last allowed iteration counts as converged. Converged counts
// must reproduce every reported log relative risk under the margins.
TEST(FitCounts, WorkedExampleConvergesToCountsThatReproduceTheRisks) {
    const struct {
        const std::string& text;
        int limit;
        bool converged;
        int iterations;
    } cases[] = {{worked_example, max_iterations, true, 3},
                 {worked_example, 2, false, 2},
                 {worked_example, 3, true, 3},
                 {cohort_example, max_iterations, true, 4}};
    for (const auto& c : cases) {
        const study s = parse_setting_file(c.text);
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        const fitted_counts fit = fit_counts(s, c.limit);
        EXPECT_EQ(fit.converged, c.converged);
        EXPECT_EQ(fit.iterations, c.iterations);
        const double A0 = s.M1 - fit.A(0, 0) - fit.A(1, 0) - fit.A(2, 0);
        for (Matrix::size_type i = 0; c.converged && i < 3; ++i) {
            const double Ai = fit.A(i, 0);
            const double fitted = s.case_control
                                      ? std::log(Ai * (s.N0 - A0) / (A0 * (s.N(i, 0) - Ai)))
                                      : std::log(Ai * s.N0 / (A0 * s.N(i, 0)));
            EXPECT_NEAR(fitted, s.L(i, 0), 1e-7);
        }
    }
}

// A relative risk far beyond the counts makes the first step overshoot the reference cases.
TEST(FitCounts, StopsWhenACountLeavesItsRange) {
    for (const std::string design : {"CC", "CI"}) {
        SCOPED_TRACE(design);
        const study s = parse_setting_file("Overshoot\n" + design +
                                           "\n2\n10 10\n20 20\n0 1\n1 100\n1 50\n1 200\n");
        EXPECT_THROW(fit_counts(s), estimation_error);
    }
}

// With one exposed category V is v_1 alone, whatever the counts.
TEST(EstimateTrend, OneExposedCategoryIsTheRatioOfLogRiskToDose) {
    for (const char* text : {"One\nCC\n2\n50 30\n100 80\n0 -2\n1 1.4\n1 0.9\n1 2.2\n",
                             "One\nCI\n2\n20 40\n1000 900\n0 2.5\n1 0.6\n1 0.3\n1 1.2\n"}) {
        const study s = parse_setting_file(text);
        SCOPED_TRACE(s.case_control ? "case-control" : "cohort");
        const trend t = estimate_trend(s, fit_counts(s));
        const double beta = s.L(0, 0) / s.x(0, 0);
        const double se = std::sqrt(s.v(0, 0)) / std::fabs(s.x(0, 0));
        EXPECT_NEAR(t.beta, beta, 1e-12 * std::fabs(beta));
        EXPECT_NEAR(t.se, se, 1e-12 * se);
    }
}

// Off the diagonal V carries the correlation the fitted counts imply, with each
// category scaled by the standard deviation of its log relative risk.
TEST(Covariance, WorkedExampleCarriesTheCorrelationOfTheFittedCounts) {
    const double worked_r[3][3] = {{1, 0.407, 0.413}, {0.407, 1, 0.429}, {0.413, 0.429, 1}};
    for (const std::string& text : {worked_example, cohort_example}) {
        const study s = parse_setting_file(text);
        SCOPED_TRACE(s.case_control ? "case-control" : "cohort");
        const fitted_counts fit = fit_counts(s);
        const Matrix V = covariance(s, fit);
        const double A0 = fit.A0;
        const double c = s.case_control ? 1 / A0 + 1 / (s.N0 - A0) : 1 / A0 - 1 / s.N0;
        std::vector<double> scale;
        for (Matrix::size_type i = 0; i < 3; ++i) {
            const double Ai = fit.A(i, 0), Ni = s.N(i, 0);
            scale.push_back(std::sqrt(s.case_control ? 1 / Ai + 1 / (Ni - Ai) + c
                                                     : 1 / Ai + 1 / A0 - 1 / Ni - 1 / s.N0));
        }
        for (Matrix::size_type i = 0; i < 3; ++i) {
            EXPECT_EQ(V(i, i), s.v(i, 0));
            for (Matrix::size_type j = 0; j < i; ++j) {
                SCOPED_TRACE("V(" + std::to_string(i) + ", " + std::to_string(j) + ")");
                EXPECT_DOUBLE_EQ(V(i, j), V(j, i));
                const double r = V(i, j) / std::sqrt(V(i, i) * V(j, j));
                EXPECT_NEAR(r, c / (scale[i] * scale[j]), 1e-12);
                if (s.case_control) {
                    EXPECT_NEAR(r, worked_r[i][j], 5e-4);
                }
            }
        }
    }
}

} // namespace
