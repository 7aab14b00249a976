#include "estimation/base/distributions.hpp"
#include "estimation/output/pooled_report.hpp"
#include "estimation/pooling/meta_analysis.hpp"
#include "estimation/pooling/pooling.hpp"
#include "estimation/pooling/reml.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace morvex;

void expect_relative(double got, double want, double tolerance, const std::string& what) {
    if (want == 0.0) {
        EXPECT_EQ(got, 0.0) << what;
    } else {
        EXPECT_NEAR(got / want, 1.0, tolerance) << what << ": got " << got << ", want " << want;
    }
}

// Reference values: mpmath 1.3 at 40 digits (erfc; gammainc(df/2, x/2, regularized=True)),
// which for integer df agree with the closed forms erfc(sqrt(x/2)) (df = 1) and
// exp(-x/2) * sum over j < df/2 of (x/2)^j / j! (even df).
TEST(Distributions, NormalAndChiSquareTailsToTenDigits) {
    const struct {
        double z, upper;
    } normal[] = {{0, 0.5},
                  {1.959963984540054, 0.025000000000000014},
                  {-1, 0.84134474606854295},
                  {3, 0.0013498980316300945},
                  {10, 7.6198530241605261e-24},
                  {30, 4.9067139271481871e-198},
                  {-5, 0.99999971334842812}};
    expect_relative(normal_two_sided_p(-5), 5.733031437583878e-07, 1e-10, "two-sided -5");
    for (const auto& c : normal) {
        expect_relative(normal_upper_tail(c.z), c.upper, 1e-10, "normal " + std::to_string(c.z));
        if (c.z >= 0) {
            expect_relative(normal_two_sided_p(c.z), 2 * c.upper, 1e-10,
                            "two-sided " + std::to_string(c.z));
        }
    }
    const struct {
        double x, df, upper;
    } chi_square[] = {{0, 1, 1.0},
                      {3.841458820694124, 1, 0.050000000000000058},
                      {1, 1, 0.3173105078629141},
                      {2, 2, 0.36787944117144232},
                      {75.309812060201295, 15, 4.9772035100328652e-10},
                      {1, 10, 0.99982788437004416},
                      {20, 10, 0.029252688076961073},
                      {500, 1, 9.5053977665540917e-111},
                      {1000, 10, 1.8702907209159497e-208},
                      {1500, 1000, 1.0454640385979657e-22},
                      {1000, 1000, 0.49405285382923964},
                      {900, 1000, 0.98928276190871026},
                      {0.001, 2, 0.99950012497916927},
                      {1e-10, 3, 0.99999999999999973},
                      {50, 0.5, 3.3298347276499366e-13},
                      {-1, 4, 1.0}};
    for (const auto& c : chi_square) {
        expect_relative(chi_square_upper_tail(c.x, c.df), c.upper, 1e-10,
                        "chi-square " + std::to_string(c.x) + " on " + std::to_string(c.df));
    }
    EXPECT_EQ(gamma_q(2, HUGE_VAL), 0.0);
    for (const auto& [a, x] : {std::pair{0.0, 1.0}, {-1.0, 1.0}, {1.0, -1.0}, {NAN, 1.0}}) {
        EXPECT_TRUE(std::isnan(gamma_q(a, x))) << a << ' ' << x;
    }
}

std::vector<slope_estimate> studies(const std::vector<double>& b_se) {
    std::vector<slope_estimate> s;
    for (std::size_t i = 0; i + 1 < b_se.size(); i += 2) {
        s.push_back({"Study " + std::to_string(i / 2 + 1), b_se[i], b_se[i + 1]});
    }
    return s;
}

// Greenland and Longnecker (1992), Table 3: slopes per g/day of alcohol and their SEs.
const std::vector<double> table3 = {
    .00434, .00247, .0109,   .0041,  .0284, .00564, .118,   .0476,  .0121,    .00429, .087,
    .0232,  .00311, .00373,  0,      .0094, .00597, .00658, .0479,  .0205,    .0389,  .00768,
    .203,   .0946,  -.00673, .00419, .0111, .00481, .0148,  .00635, -.000787, .00867};

struct expected_pooling {
    const char* name;
    std::vector<double> b_se;
    // estimate, se, lower, upper, z, p, tau2 for fixed, DL and REML
    double fixed[7], dl[7], reml[7];
    double Q, p, I2;
};

// Fixed effect, DerSimonian-Laird and heterogeneity of Table 3 as published for this data
// set; everything else computed independently by tests/pooling_reference.py (mpmath, 50
// digits, no code shared with the product), REML as the highest of the restricted
// log-likelihood's local maxima (a grid of its values, bisection on its derivative near each
// peak). The REML figures for Table 3
// published beside the others (tau2 0.00019316005) are not a maximum: the restricted
// log-likelihood there is 44.599234, below 44.600982 at tau2 = 0.00018554762.
const expected_pooling pooling_cases[] = {
    {"Table 3",
     table3,
     {0.0082266765, 0.0013181971, 0.0056430577, 0.010810295, 6.2408547365353453,
      4.3518625695117399e-10, 0},
     {0.013059529, 0.0035013656, 0.0061969782, 0.019922079, 3.7298386275479958,
      0.00019160244447970009, 0.00012186054},
     {0.014052063346930863, 0.0041410325908424533, 0.005935788610073065, 0.022168338083788659,
      3.3933718314619945, 0.00069037857049973638, 0.00018554761771693819},
     75.309812,
     4.9772035e-10,
     80.082277},
    {"two studies",
     {0.1, 0.1, 0.3, 0.1},
     {0.2, 0.070710678118654752, 0.061409617565032222, 0.33859038243496775, 2.8284271247461903,
      0.0046777349810472662, 0},
     {0.2, 0.1, 0.0040036015459946001, 0.39599639845400542, 2, 0.045500263896358417, 0.01},
     {0.2, 0.1, 0.0040036015459946001, 0.39599639845400542, 2, 0.045500263896358417, 0.01},
     2,
     0.15729920705028513,
     50},
    {"identical slopes",
     {0.05, 0.01, 0.05, 0.02, 0.05, 0.5},
     {0.05, 0.0089428411698620359, 0.032472353387608364, 0.067527646612391634, 5.5910642993977451,
      2.2568198189210879e-08, 0},
     {0.05, 0.0089428411698620359, 0.032472353387608364, 0.067527646612391634, 5.5910642993977451,
      2.2568198189210879e-08, 0},
     {0.05, 0.0089428411698620359, 0.032472353387608364, 0.067527646612391634, 5.5910642993977451,
      2.2568198189210879e-08, 0},
     0,
     1,
     0},
    {"one huge standard error",
     {0.01, 0.004, 0.02, 0.006, -0.01, 1e6, 0.05, 0.01},
     {0.016759002770083103, 0.0031578947368421052, 0.010569642818903985, 0.02294836272126222,
      5.307017543859649, 1.1143345644724964e-07, 0},
     {0.02450476015722744, 0.0092888813908265123, 0.0062988871745431494, 0.042710633139911726,
      2.6380743952041183, 0.0083378288019958259, 0.00021273684210526317},
     {0.025193689010005418, 0.011425768906049566, 0.0027995934584706559, 0.047587784561540183,
      2.2049884972438218, 0.027454901715992585, 0.00034408131274720079},
     14.196675900277009,
     0.002649306405117078,
     78.868292682926835},
    // One weight 1e16 times the others: sum w - sum w^2 / sum w loses every digit if
    // computed as written.
    {"one dominant weight",
     {0.3, 1e-8, 0, 1, 1, 1, 2, 1},
     {0.3, 1e-8, 0.29999998040036036, 0.30000001959964007, 30000000, 0, 0},
     {0.42525380710659905, 0.25360764158716598, -0.071808036608388651, 0.92231565082158673,
      1.6768177979386225, 0.093578116309347675, 0.078333333333333269},
     {0.447685021724742, 0.27786292146636621, -0.096916296988417167, 0.9922863404379012,
      1.6111722260824637, 0.10714218956135615, 0.097852610039378701},
     3.47,
     0.32467391481003177,
     13.544668587896243},
    // Two peaks of the restricted likelihood: -15.768 at tau2 = 0, -2.512 at the global
    // maximum. Fisher scoring from the DerSimonian-Laird value stopped at 0.
    {"two peaks",
     {-0.0054, 0.0019, -2.84, 0.42, -0.0045, 0.000005},
     {-0.0045000066344976107, 4.9999826867162261e-06, -0.0045098064204868978,
      -0.0044902068485083227, -900.00444330598691, 0, 0},
     {-0.0055890405979701621, 0.0063564718922213513, -0.018047496575465179, 0.0068694153795248545,
      -0.8792677278742751, 0.37925612963238087, 7.906325032774368e-05},
     {-0.90751073946526128, 0.92306796603741403, -2.7166907081812348, 0.90166922925071213,
      -0.9831461743397536, 0.32553550154257599, 2.5000038349349865},
     45.802947816432393,
     1.132442746040275e-10,
     95.633468815117453},
    // Fisher scoring from the DerSimonian-Laird value was still 0.4% short of this maximum
    // after 100 steps (0.0076860).
    {"slow for Fisher scoring",
     {-0.04638446790843242, 0.16939948741938665, 0.007502442633358531, 0.07703422322320146,
      -0.007772462903848926, 0.0028824581137707203, -0.5247064910547892, 0.16166043951444178,
      -0.06686599732712009, 0.040372555819533806},
     {-0.008224614167515909, 0.002872272410694847, -0.013854164646265849, -0.0025950636887659712,
      -2.8634519960195033, 0.0041905230615495717, 0},
     {-0.05777266033796042, 0.044420532430327918, -0.14483530407549661, 0.029289983399575774,
      -1.3005845985429116, 0.19340068164091603, 0.0049585244470809666},
     {-0.066490163880046749, 0.052213167892630127, -0.1688260924683449, 0.035845764708251404,
      -1.2734366935324724, 0.20286312356648065, 0.0077135787174392994},
     12.433911378777024,
     0.014400066201675462,
     67.829913869038435},
    // The boundary tau2 = 0 (log-likelihood 6.646) beats an interior local maximum near
    // 0.188 (-0.0196).
    {"zero beats an interior maximum",
     {-0.2705, 2e-6, -0.27045, 0.00044, 0.76, 0.236, -0.2705, 0.0009},
     {-0.27049999889296156, 1.9999744009910423e-06, -0.27050391877075752, -0.27049607901516565,
      -135251.73060161242, 0, 0},
     {-0.27047309872963737, 0.00071252150927101905, -0.27186961522601866, -0.26907658223325603,
      -379.59990710506196, 0, 1.256259258806128e-06},
     {-0.27049999889296156, 1.9999744009910423e-06, -0.27050391877075752, -0.27049607901516565,
      -135251.73060161242, 0, 0},
     19.079457192819234,
     0.00026324868727209042,
     84.276282235486846},
};

TEST(Pooling, ReferenceSummariesToOneMillionth) {
    for (const expected_pooling& c : pooling_cases) {
        const pooled_summary s = pool(studies(c.b_se));
        const pooled_estimate* methods[] = {&s.fixed, &s.dl, &s.reml};
        const double* expected[] = {c.fixed, c.dl, c.reml};
        const char* names[] = {"fixed", "DL", "REML"};
        for (int m = 0; m < 3; ++m) {
            const pooled_estimate& e = *methods[m];
            const double got[] = {e.estimate, e.se, e.lower, e.upper, e.z, e.p, e.tau2};
            for (int f = 0; f < 7; ++f) {
                expect_relative(got[f], expected[m][f], 1e-6,
                                std::string(c.name) + " " + names[m] + " field " +
                                    std::to_string(f));
            }
            double total = 0.0;
            for (const double w : e.weight_percent) {
                total += w;
            }
            EXPECT_NEAR(total, 100.0, 1e-9) << c.name;
        }
        EXPECT_TRUE(s.reml_search.converged) << c.name;
        EXPECT_LE(s.reml_search.iterations, 30) << c.name;
        expect_relative(s.het.Q, c.Q, 1e-6, std::string(c.name) + " Q");
        expect_relative(s.het.p, c.p, 1e-6, std::string(c.name) + " p");
        expect_relative(s.het.I2, c.I2, 1e-6, std::string(c.name) + " I2");
        EXPECT_EQ(s.het.df, static_cast<int>(c.b_se.size() / 2) - 1);
    }
    // Weights under REML for Table 3, studies 1, 4 and 12 (mpmath as above).
    const pooled_summary s = pool(studies(table3));
    expect_relative(s.reml.weight_percent[0], 8.94770860881, 1e-9, "weight 1");
    expect_relative(s.reml.weight_percent[3], 0.699551161775, 1e-9, "weight 4");
    expect_relative(s.fixed.weight_percent[11], 0.0194168339174, 1e-9, "weight 12");
}

// How the maximum was found: every local maximum is counted, tau2 = 0 among them when the
// likelihood falls from there, and the highest is reported.
TEST(Pooling, RemlSearchComparesEveryLocalMaximum) {
    const struct {
        const char* name;
        int maxima;
    } cases[] = {{"Table 3", 1},
                 {"two peaks", 2},
                 {"zero beats an interior maximum", 2},
                 {"identical slopes", 1}};
    for (const auto& c : cases) {
        const auto* data =
            std::find_if(std::begin(pooling_cases), std::end(pooling_cases),
                         [&](const expected_pooling& e) { return std::string(e.name) == c.name; });
        ASSERT_NE(data, std::end(pooling_cases)) << c.name;
        const reml_maximum& r = pool(studies(data->b_se)).reml_search;
        EXPECT_EQ(r.maxima, c.maxima) << c.name;
        EXPECT_TRUE(r.converged) << c.name;
        EXPECT_GT(r.grid_points, 100) << c.name;
        EXPECT_LT(r.grid_points, 1000) << c.name;
    }
    // The same relative precision at every scale: slopes and SEs times c give tau2 times c^2.
    const pooled_summary unscaled = pool(studies(table3));
    for (const double c : {1e-6, 1e-3, 1e3, 1e6}) {
        std::vector<double> scaled = table3;
        for (double& x : scaled) {
            x *= c;
        }
        const pooled_summary s = pool(studies(scaled));
        const std::string what = "Table 3 times " + std::to_string(c);
        expect_relative(s.reml.tau2, unscaled.reml.tau2 * c * c, 1e-9, what + " tau2");
        expect_relative(s.reml.estimate, unscaled.reml.estimate * c, 1e-9, what + " estimate");
        expect_relative(s.reml.se, unscaled.reml.se * c, 1e-9, what + " se");
    }
    // Data spanning more decades than a double holds cannot be searched.
    EXPECT_TRUE(std::isnan(maximise_restricted_likelihood({0, 1e200}, {1, 1}).tau2));
}

TEST(Pooling, RefusesTooFewStudiesAndUnusableFigures) {
    const std::vector<std::vector<double>> refused = {{},
                                                      {0.1, 0.1},
                                                      {0.1, 0.1, 0.2, 0},
                                                      {0.1, 0.1, 0.2, -0.1},
                                                      {0.1, 0.1, NAN, 0.1},
                                                      {0.1, 0.1, HUGE_VAL, 0.1},
                                                      {0.1, 0.1, 0.2, NAN},
                                                      {0.1, 0.1, 0.2, HUGE_VAL},
                                                      {0.1, 0.1, 0.2, 1e-200},
                                                      {0.1, 0.1, 0.2, 1e200},
                                                      {1e300, 1, -1e300, 1}};
    for (std::size_t i = 0; i < std::size(refused); ++i) {
        EXPECT_THROW(pool(studies(refused[i])), pooling_error) << "case " << i;
    }
}

TEST(PooledReport, AlignedSummaryWithRelativeRisksPerIncrement) {
    std::vector<slope_estimate> s = studies({0.1, 0.1, 0.3, 0.1});
    s[1].label = "Second & last";
    std::ostringstream out;
    print_pooled_summary(out, pool(s), 10.0);
    EXPECT_EQ(out.str(),
              "---------------------------------------------------------\n"
              "Pooled slope of 2 studies.\n"
              "Method                 Estimate           SE    Lower 95%    Upper 95%            "
              "z            p        tau^2\n"
              "Fixed effect                0.2    0.0707107    0.0614096      0.33859      2.82843 "
              "  0.00467773\n"
              "DerSimonian-Laird           0.2          0.1    0.0040036     0.395996            2 "
              "   0.0455003         0.01\n"
              "REML                        0.2          0.1    0.0040036     0.395996            2 "
              "   0.0455003         0.01\n"
              "REML converged in 3 iterations.\n"
              "REML search: 235 grid values of tau^2, 1 local maximum, the highest taken.\n"
              "Heterogeneity: Q = 2, df = 1, p = 0.157299, I^2 = 50%\n"
              "RR per 10 units of dose:\n"
              "Method                       RR    Lower 95%    Upper 95%\n"
              "Fixed effect            7.38906      1.84799      29.5447\n"
              "DerSimonian-Laird       7.38906      1.04085      52.4554\n"
              "REML                    7.38906      1.04085      52.4554\n"
              "Weights in percent:\n"
              "       Slope           SE    Fixed       DL     REML  Study\n"
              "         0.1          0.1    50.00    50.00    50.00  Study 1\n"
              "         0.3          0.1    50.00    50.00    50.00  Second & last\n");
    // Only complete estimates are pooled: the same summary, and the others listed.
    std::vector<study_summary> summaries;
    for (const slope_estimate& e : s) {
        summaries.push_back({e.label,
                             "t.csv",
                             "",
                             "",
                             e.b,
                             e.se,
                             study_status::complete,
                             "",
                             "",
                             "",
                             "",
                             0,
                             {},
                             {},
                             {}});
    }
    summaries.push_back({"Third",
                         "t.csv",
                         "",
                         "",
                         0.5,
                         0.1,
                         study_status::not_converged,
                         "",
                         "",
                         "",
                         "",
                         0,
                         {},
                         {},
                         {}});
    std::ostringstream all;
    print_meta_analysis(all, analyse(summaries, 10.0));
    EXPECT_EQ(all.str(), out.str() + "Left out of the pooling:\n  Third: not converged\n");
}

} // namespace
