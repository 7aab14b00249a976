// A table of means as the trend takes it: differences from the reference, their
// variances and limits, and the covariance the shared reference group makes;
// and how a figure on the model's scale is shown for each measure.
#include "estimation/method/mean_difference.hpp"
#include "estimation/method/measure.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace morvex;

namespace {

// Reference: 50 people, mean 10, SD 2; exposed: (40, 11, 3) and (30, 13.5, 2.5).
study three_groups(outcome_measure measure) {
    study s;
    renew(s, 2);
    s.measure = measure;
    s.n = 2;
    s.N0 = 50;
    s.mean0 = 10;
    s.sd0 = 2;
    const double groups[2][3] = {{40, 11, 3}, {30, 13.5, 2.5}};
    for (std::size_t i = 0; i < 2; ++i) {
        s.N(i, 0) = groups[i][0];
        s.mean(i, 0) = groups[i][1];
        s.sd(i, 0) = groups[i][2];
    }
    return s;
}

} // namespace

// mpmath at 30 digits from the formulas as published: MD var = sd^2/n + sd0^2/n0;
// SMD with nu = 120 - 3 = 117, s^2 = (49*4 + 39*9 + 29*6.25) / 117, J = 1 - 3/467,
// d = J (m - m0) / s, var = 1/n + 1/n0 + d^2/(2 nu), cov = 1/n0 + d1 d2/(2 nu).
TEST(MeanDifferences, AgainstThePublishedFormulas) {
    const struct {
        outcome_measure measure;
        double y[2], v[2], covariance;
    } cases[] = {
        {outcome_measure::mean_difference, {1, 3.5}, {0.305, 0.28833333333333333333}, 0.08},
        {outcome_measure::standardised_mean_difference,
         {0.39824816575570154958, 1.3938685801449554235},
         {0.045677784621913592891, 0.061636194951774846242},
         0.022372246176697575117}};
    for (const auto& c : cases) {
        study s = three_groups(c.measure);
        mean_differences(s);
        const Matrix V = mean_difference_covariance(s);
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_NEAR(s.L(i, 0), c.y[i], 1e-14 * std::fabs(c.y[i]));
            EXPECT_NEAR(s.v(i, 0), c.v[i], 1e-14 * c.v[i]);
            EXPECT_NEAR(s.lo(i, 0), s.L(i, 0) - 1.96 * std::sqrt(c.v[i]), 1e-14);
            EXPECT_NEAR(s.hi(i, 0), s.L(i, 0) + 1.96 * std::sqrt(c.v[i]), 1e-14);
            EXPECT_EQ(V(i, i), s.v(i, 0));
        }
        EXPECT_NEAR(V(0, 1), c.covariance, 1e-15);
        EXPECT_EQ(V(0, 1), V(1, 0));
    }
    study md = three_groups(outcome_measure::mean_difference);
    mean_differences(md);
    EXPECT_NEAR(md.lo(0, 0), -0.082445379684351555873, 1e-15);
    EXPECT_NEAR(md.hi(1, 0), 4.5524549079810181271, 1e-14);
    const pooled_sd p = standardiser(three_groups(outcome_measure::standardised_mean_difference));
    EXPECT_EQ(p.df, 117);
    EXPECT_NEAR(p.s, 2.4948665243573601565, 1e-15);
    EXPECT_NEAR(p.J, 0.99357601713062098501, 1e-16);
}

// A slope per D units as shown: exp(D b) for a relative risk, D b for a
// difference, the limits lowest first when D is negative.
TEST(Measure, ShowsSlopesPerIncrementLowestLimitFirst) {
    const struct {
        outcome_measure measure;
        double increment, b, lower, upper;
        double value, shown_lower, shown_upper;
    } cases[] = {
        {outcome_measure::relative_risk, 10, 0.01, 0.005, 0.015, std::exp(0.1), std::exp(0.05),
         std::exp(0.15)},
        {outcome_measure::relative_risk, -10, 0.01, 0.005, 0.015, std::exp(-0.1), std::exp(-0.15),
         std::exp(-0.05)},
        {outcome_measure::mean_difference, 2, -0.5, -0.75, -0.25, -1, -1.5, -0.5},
        {outcome_measure::standardised_mean_difference, -2, -0.5, -0.75, -0.25, 1, 0.5, 1.5},
    };
    for (const auto& c : cases) {
        const shown_interval s = shown_per(c.measure, c.increment, c.b, c.lower, c.upper);
        EXPECT_DOUBLE_EQ(s.value, c.value) << words(c.measure).code << " " << c.increment;
        EXPECT_DOUBLE_EQ(s.lower, c.shown_lower) << words(c.measure).code << " " << c.increment;
        EXPECT_DOUBLE_EQ(s.upper, c.shown_upper) << words(c.measure).code << " " << c.increment;
        EXPECT_EQ(no_effect(c.measure), words(c.measure).ratio ? 1.0 : 0.0);
    }
    EXPECT_STREQ(words(outcome_measure::standardised_mean_difference).abbreviation, "SMD");
    EXPECT_TRUE(is_continuous(outcome_measure::mean_difference));
    EXPECT_FALSE(is_continuous(outcome_measure::relative_risk));
}
