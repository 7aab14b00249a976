// The paper's analyses at their edges: the refusals and what they name, the
// two forms of the REML search against each other, Kendall's exact null
// distribution against every permutation. Their figures are checked against
// plain Python by paper_reference.py.
#include "estimation/app/study_columns.hpp"
#include "estimation/method/highest_category.hpp"
#include "estimation/pooling/meta_regression.hpp"
#include "estimation/pooling/reml.hpp"
#include "estimation/pooling/small_studies.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

using namespace morvex;

namespace {

study with_doses(const std::vector<double>& doses, double x0 = 0.0) {
    study s;
    renew(s, doses.size());
    s.x0 = x0;
    for (std::size_t i = 0; i < doses.size(); ++i) {
        s.dose(i, 0) = doses[i];
        s.L(i, 0) = 0.1 * static_cast<double>(i + 1);
        s.v(i, 0) = 0.01;
    }
    return s;
}

std::vector<slope_estimate> slopes(const std::vector<double>& b, const std::vector<double>& se) {
    std::vector<slope_estimate> s;
    for (std::size_t i = 0; i < b.size(); ++i) {
        s.push_back({"s" + std::to_string(i), b[i], se[i]});
    }
    return s;
}

} // namespace

TEST(HighestCategory, TakesTheHighestDoseAndNamesTiesByRowOrCategory) {
    const highest_category h = highest_of(with_doses({5, 20, 10}), {2, 3, 4, 5});
    EXPECT_EQ(h.dose, 20);
    EXPECT_DOUBLE_EQ(h.y, 0.2);
    EXPECT_EQ(h.line, 4);
    EXPECT_EQ(highest_of(with_doses({5, 20, 20}), {9, 3, 4, 5}).problem,
              "the rows on lines 4 and 5 share the highest dose, 20; highest versus lowest needs "
              "one category of the highest dose");
    EXPECT_EQ(highest_of(with_doses({30, 30, 30}), {}).problem.substr(0, 44),
              "categories 1, 2 and 3 share the highest dose");
    EXPECT_EQ(highest_of(with_doses({1, 2}, 5.0), {}).problem.substr(0, 37),
              "the reference has the highest dose (5");
}

TEST(StudyColumn, OneValuePerStudyEmptyRowsAsideAndDisagreementsNamed) {
    const table_file table(std::string("id,type,dose,cases,n,rr,lb,ub,year,where\n"
                                       "a,ci,0,10,100,1,,,1990,x\n"
                                       "a,ci,1,12,100,1.2,1,1.5,,x\n"
                                       "b,ci,0,10,100,1,,,NA,y\n"
                                       "b,ci,1,12,100,1.2,1,1.5,,z\n"),
                           false);
    const column_value a = study_column_value(table, 0, "year", "t.csv", "a");
    EXPECT_EQ(a.value, "1990");
    EXPECT_EQ(a.number, 1990);
    EXPECT_EQ(study_column_value(table, 1, "year", "t.csv", "b").missing,
              "no value of column \"year\"");
    EXPECT_EQ(study_column_value(table, 0, "nowhere", "t.csv", "a").missing,
              "the table has no column \"nowhere\"");
    EXPECT_EQ(study_column_value(table, 1, "where", "t.csv", "b").conflict.substr(0, 92),
              "t.csv:5: column where: study b: the rows on lines 4 and 5 give different values, "
              "\"y\" and \"z\"");
}

TEST(MetaRegression, RefusesTooFewStudiesOneValueAndCollinearColumns) {
    const auto four = slopes({0.1, 0.2, 0.3, 0.5}, {0.1, 0.1, 0.2, 0.2});
    const moderator_values year{"year", true, {1, 2, 3, 4}, {}};
    const moderator_values twice{"twice", true, {2, 4, 6, 8}, {}};
    const moderator_values same{"place", false, {}, {"x", "x", "x", "x"}};
    EXPECT_EQ(regress(four, {year, twice}, false).message,
              "a meta-regression with 3 coefficients needs 5 or more studies; 4 studies have "
              "every moderator's value");
    EXPECT_EQ(regress(four, {same}, false).message.substr(0, 25), "moderator \"place\" has one");
    const auto six = slopes({0.1, 0.2, 0.3, 0.5, 0.4, 0.2}, {0.1, 0.1, 0.2, 0.2, 0.1, 0.3});
    const moderator_values year6{"year", true, {1, 2, 3, 4, 5, 6}, {}};
    const moderator_values twice6{"twice", true, {2, 4, 6, 8, 10, 12}, {}};
    EXPECT_EQ(regress(six,
                      {moderator_values{"place", false, {}, {"x", "x", "x", "x", "x", "x"}}, year6},
                      false)
                  .message,
              "moderator \"place\" has one value (x) in every study of the meta-regression; it "
              "needs two or more");
    EXPECT_NE(regress(six, {year6, twice6}, false).message.find("collinear"), std::string::npos);
    const meta_regression r = regress(six, {year6}, true);
    EXPECT_TRUE(r.message.empty());
    EXPECT_EQ(r.df, 4);
    EXPECT_EQ(r.omnibus_df, 1);
}

TEST(RemlSearch, TheDesignFormAgreesWithTheInterceptForm) {
    // Variances six decades apart and a two-peaked set: both forms find the same maximum.
    for (const auto& [b, v] :
         {std::pair{std::vector<double>{-0.0054, -2.84, -0.0045},
                    std::vector<double>{0.0019 * 0.0019, 0.42 * 0.42, 0.000005 * 0.000005}},
          std::pair{std::vector<double>{0.1, 0.4, -0.2, 0.3, 0.05},
                    std::vector<double>{1e-6, 0.01, 0.02, 1.0, 0.005}}}) {
        const reml_maximum plain = maximise_restricted_likelihood(b, v);
        const reml_maximum design = maximise_restricted_likelihood(
            b, v, design_columns{std::vector<double>(b.size(), 1.0)});
        EXPECT_NEAR(design.tau2, plain.tau2, 1e-9 * plain.tau2);
        EXPECT_EQ(design.maxima, plain.maxima);
        EXPECT_TRUE(design.converged);
    }
}

TEST(RankTest, ExactNullDistributionCountsEveryPermutation) {
    for (int n = 1; n <= 7; ++n) {
        std::vector<int> order(static_cast<std::size_t>(n));
        std::iota(order.begin(), order.end(), 0);
        std::vector<double> counts(static_cast<std::size_t>(n * (n - 1) / 2 + 1), 0.0);
        double total = 0.0;
        do {
            int inversions = 0;
            for (int i = 0; i < n; ++i) {
                for (int j = i + 1; j < n; ++j) {
                    inversions += order[i] > order[j];
                }
            }
            counts[static_cast<std::size_t>(inversions)] += 1.0;
            total += 1.0;
        } while (std::next_permutation(order.begin(), order.end()));
        const std::vector<double> p = discordant_probabilities(n);
        ASSERT_EQ(p.size(), counts.size());
        for (std::size_t d = 0; d < p.size(); ++d) {
            EXPECT_NEAR(p[d], counts[d] / total, 1e-15) << "n = " << n << ", d = " << d;
        }
    }
}

TEST(RankTest, TiesOrFiftyStudiesTakeTheNormalApproximation) {
    EXPECT_TRUE(rank_test(slopes({0.1, 0.3, 0.2, 0.5}, {0.1, 0.2, 0.3, 0.4})).exact);
    EXPECT_FALSE(rank_test(slopes({0.1, 0.3, 0.2, 0.5}, {0.1, 0.2, 0.2, 0.4})).exact);
    std::vector<double> b(50);
    std::vector<double> se(50);
    for (std::size_t i = 0; i < 50; ++i) {
        b[i] = 0.01 * static_cast<double>((i * 7) % 13);
        se[i] = 0.1 + 0.01 * static_cast<double>(i);
    }
    const rank_correlation r = rank_test(slopes(b, se));
    EXPECT_FALSE(r.exact);
    EXPECT_TRUE(std::isfinite(r.z));
}

TEST(TrimAndFill, MirrorsTheStudiesMissingOnOneSide) {
    // Small studies pushed to the right: the fill lands on the left of the centre.
    const auto s = slopes({0.0, 0.02, -0.01, 0.01, 0.3, 0.4, 0.5, 0.35},
                          {0.01, 0.02, 0.015, 0.012, 0.2, 0.25, 0.3, 0.22});
    const trim_and_fill t = fill_missing(s, fill_estimator::l0, tau2_method::fixed);
    ASSERT_TRUE(t.message.empty());
    EXPECT_FALSE(t.missing_right);
    EXPECT_GT(t.k0, 0);
    for (const filled_study& f : t.filled) {
        EXPECT_LT(f.b, t.centre);
        EXPECT_DOUBLE_EQ(f.b, 2.0 * t.centre - s[f.mirrored].b);
    }
    EXPECT_EQ(t.adjusted->studies.size(), s.size() + static_cast<std::size_t>(t.k0));
    EXPECT_NE(fill_missing(slopes({0.1, 0.2, 0.3}, {0.1, 0.1, 0.1}), fill_estimator::r0,
                           tau2_method::reml)
                  .message.find("cannot tell the side"),
              std::string::npos);
}

// mpmath and exact fractions (every permutation of six counted): x_i = (b_i -
// b_FE) / sqrt(v_i - v_FE) against v_i. Six studies without ties: S = 7,
// tau = 7/15, p = 2 P(S >= 7) = 49/180. Seven with tied SEs: S = 11, tau-b =
// 11 / sqrt(21 (21 - 4)), SD(S)^2 = (7*6*19 - 2*18 - 6*11) / 18, p = 0.08072.
TEST(RankTest, AgainstCountedAndTieCorrectedReferences) {
    const struct {
        std::vector<double> b, se;
        double S, tau, z, p;
        bool exact;
    } cases[] = {{{0.12, 0.30, 0.05, 0.41, 0.22, 0.60},
                  {0.05, 0.10, 0.08, 0.20, 0.15, 0.30},
                  7,
                  7.0 / 15.0,
                  NAN,
                  49.0 / 180.0,
                  true},
                 {{0.12, 0.30, 0.05, 0.41, 0.22, 0.60, 0.18},
                  {0.05, 0.10, 0.10, 0.20, 0.20, 0.20, 0.08},
                  11,
                  0.58218173642745945964,
                  1.7465452092823783789,
                  0.080716258431121093429,
                  false}};
    for (const auto& c : cases) {
        const rank_correlation r = rank_test(slopes(c.b, c.se));
        EXPECT_EQ(r.exact, c.exact);
        EXPECT_EQ(r.S, c.S);
        EXPECT_NEAR(r.tau, c.tau, 1e-15);
        EXPECT_NEAR(r.p, c.p, 1e-14);
        if (!c.exact) {
            EXPECT_NEAR(r.z, c.z, 1e-14);
        }
    }
}

// Identical slopes show no small-study effect whatever their SEs: every b_i -
// b_FE is 0 in exact arithmetic, so every pair is tied in x and none counts as
// concordant or discordant. (b = 0.1 pools to 0.09999999999999999 in double:
// the rounding must not decide the test, nor fill studies in.)
TEST(SmallStudies, IdenticalSlopesShowNoAsymmetry) {
    for (const double b : {0.1, 0.05, 0.123, 0.3}) {
        const auto s = slopes(std::vector<double>(5, b), {0.1, 0.2, 0.3, 0.4, 0.5});
        const rank_correlation r = rank_test(s);
        EXPECT_EQ(r.S, 0.0) << b;
        EXPECT_FALSE(r.p < 0.5) << b;
        for (const fill_estimator e : {fill_estimator::l0, fill_estimator::r0}) {
            const trim_and_fill t = fill_missing(s, e, tau2_method::reml);
            EXPECT_EQ(t.k0, 0) << b;
        }
    }
}

// Equal SEs 0.1 (w = 100) make the fixed-effect fit ordinary least squares of
// b = (0.1, 0.2, 0.3, 0.5) on year 1..4: slope Sxy / Sxx = 0.65 / 5 = 0.13,
// intercept 0.275 - 2.5 * 0.13 = -0.05, var(slope) = 1 / (100 * 5), var(intercept)
// = (1/4 + 2.5^2 / 5) / 100; residuals (0.02, -0.01, -0.04, 0.03), Q_E = 100 *
// 0.003 = 0.3 on 2 df; the omnibus test is z^2 = 8.45.
TEST(MetaRegression, FixedEffectIsWeightedLeastSquares) {
    const meta_regression r =
        regress(slopes({0.1, 0.2, 0.3, 0.5}, std::vector<double>(4, 0.1)),
                {moderator_values{"year", true, {1, 2, 3, 4}, {}}}, false, tau2_method::fixed);
    ASSERT_TRUE(r.message.empty()) << r.message;
    ASSERT_EQ(r.terms.size(), 2u);
    EXPECT_EQ(r.terms[0].name, "intercept");
    EXPECT_EQ(r.terms[1].name, "year");
    EXPECT_NEAR(r.terms[0].estimate, -0.05, 1e-14);
    EXPECT_NEAR(r.terms[1].estimate, 0.13, 1e-14);
    EXPECT_NEAR(r.terms[0].se, std::sqrt(0.015), 1e-14);
    EXPECT_NEAR(r.terms[1].se, std::sqrt(0.002), 1e-14);
    EXPECT_NEAR(r.terms[1].lower, 0.13 - 1.959963984540054 * std::sqrt(0.002), 1e-12);
    EXPECT_NEAR(r.omnibus, 8.45, 1e-12);
    EXPECT_EQ(r.omnibus_df, 1);
    EXPECT_NEAR(r.residual.Q, 0.3, 1e-13);
    EXPECT_EQ(r.tau2, 0.0);
    for (const double w : r.weights) {
        EXPECT_NEAR(w, 100.0, 1e-12);
    }
}

// A text moderator whose levels follow a numeric one is the same column
// (rank deficient); identical slopes leave no between-study variance at all,
// so R^2, a share of it, is not a number rather than 0 or 100.
TEST(MetaRegression, RefusesADummyCopyOfANumericColumnAndMeetsTauSquaredZero) {
    const auto six = slopes({0.1, 0.2, 0.3, 0.5, 0.4, 0.2}, {0.1, 0.1, 0.2, 0.2, 0.1, 0.3});
    const moderator_values late{"late", true, {0, 0, 0, 1, 1, 1}, {}};
    const moderator_values era{"era", false, {}, {"old", "old", "old", "new", "new", "new"}};
    EXPECT_NE(regress(six, {late, era}, false).message.find("collinear"), std::string::npos);
    const meta_regression flat =
        regress(slopes(std::vector<double>(6, 0.25), {0.1, 0.1, 0.2, 0.2, 0.1, 0.3}),
                {moderator_values{"year", true, {1, 2, 3, 4, 5, 6}, {}}}, false);
    ASSERT_TRUE(flat.message.empty()) << flat.message;
    EXPECT_EQ(flat.tau2, 0.0);
    EXPECT_EQ(flat.tau2_without, 0.0);
    EXPECT_NEAR(flat.terms[0].estimate, 0.25, 1e-14);
    EXPECT_NEAR(flat.terms[1].estimate, 0.0, 1e-14);
    EXPECT_NEAR(flat.residual.Q, 0.0, 1e-20);
    EXPECT_TRUE(std::isnan(flat.R2));
}
