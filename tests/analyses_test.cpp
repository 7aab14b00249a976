#include "estimation/base/student_t.hpp"
#include "estimation/output/analyses_report.hpp"
#include "estimation/output/summary_table.hpp"
#include "estimation/pooling/meta_analysis.hpp"
#include "estimation/pooling/sensitivity.hpp"
#include "estimation/pooling/subgroups.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace morvex;

void expect_relative(double got, double want, double tolerance, const std::string& what) {
    EXPECT_NEAR(got / want, 1.0, tolerance) << what << ": got " << got << ", want " << want;
}

// mpmath at 40 digits: betainc(df/2, 1/2, 0, df/(df+t^2), regularized=True) / 2 for the
// tail, and bisection on it for the quantile (tests/analyses_reference.py).
TEST(StudentT, TailsAndQuantilesToTwelveDigits) {
    const struct {
        double t, df, two_sided;
    } tails[] = {{0, 1, 1.0},
                 {2.5, 1, 0.24223788318168679745},
                 {12.706204736174707, 1, 0.049999999999999992413},
                 {1.5, 2, 0.27239312489100107944},
                 {-2, 3, 0.13932596855884317685},
                 {3, 5, 0.030099247897462573847},
                 {0.1, 10, 0.92232071856440831518},
                 {40, 3, 0.000034380680789158528283},
                 {1e-8, 5, 0.99999999240786620355},
                 {6, 100, 3.1724915028028565796e-8},
                 {2, 0.5, 0.44551489018313123119},
                 {50, 30, 1.8715417659222712596e-30}};
    for (const auto& c : tails) {
        const std::string what = std::to_string(c.t) + " on " + std::to_string(c.df);
        expect_relative(student_t_two_sided_p(c.t, c.df), c.two_sided, 1e-12, what);
        expect_relative(student_t_upper_tail(std::fabs(c.t), c.df), c.two_sided / 2, 1e-12, what);
    }
    EXPECT_NEAR(student_t_upper_tail(-2, 3), 1 - 0.13932596855884317685 / 2, 1e-15);
    const struct {
        double p, df, q;
    } quantiles[] = {{0.975, 1, 12.706204736174693314},  {0.975, 2, 4.3026527297494617894},
                     {0.975, 3, 3.1824463052837084359},  {0.975, 5, 2.5705818356363147828},
                     {0.975, 14, 2.1447866879178033515}, {0.975, 30, 2.0422724563012378878},
                     {0.025, 14, -2.1447866879178033515}};
    for (const auto& c : quantiles) {
        expect_relative(student_t_quantile(c.p, c.df), c.q, 1e-12,
                        "quantile " + std::to_string(c.p) + " on " + std::to_string(c.df));
    }
    EXPECT_EQ(student_t_quantile(0.5, 7), 0.0);
    EXPECT_EQ(student_t_two_sided_p(HUGE_VAL, 3), 0.0);
    for (const double bad :
         {student_t_quantile(0, 3), student_t_quantile(1, 3), student_t_quantile(0.9, 0),
          student_t_two_sided_p(NAN, 3), student_t_two_sided_p(1, -1), incomplete_beta(1.5, 1, 1),
          incomplete_beta(0.5, 0, 1)}) {
        EXPECT_TRUE(std::isnan(bad));
    }
    EXPECT_EQ(incomplete_beta(0, 2, 3), 0.0);
    EXPECT_EQ(incomplete_beta(1, 2, 3), 1.0);
}

// Greenland and Longnecker (1992), Table 3, as in tests/pooling_test.cpp.
const std::vector<double> table3 = {
    .00434, .00247, .0109,   .0041,  .0284, .00564, .118,   .0476,  .0121,    .00429, .087,
    .0232,  .00311, .00373,  0,      .0094, .00597, .00658, .0479,  .0205,    .0389,  .00768,
    .203,   .0946,  -.00673, .00419, .0111, .00481, .0148,  .00635, -.000787, .00867};
const char* const table3_groups[] = {"cc",     "cohort", "cc",     "cc",     "cohort", "cc",
                                     "cohort", "",       "cc",     "cohort", "cc",     "single",
                                     "cohort", "cc",     "cohort", "cc"};

std::vector<study_summary> summaries(const std::vector<double>& b_se) {
    std::vector<study_summary> s;
    for (std::size_t i = 0; i + 1 < b_se.size(); i += 2) {
        study_summary st;
        st.id = std::to_string(i / 2 + 1);
        st.input = "t.csv";
        st.label = "t.csv: " + st.id;
        st.beta = b_se[i];
        st.se = b_se[i + 1];
        st.status = study_status::complete;
        st.group = i / 2 < std::size(table3_groups) ? table3_groups[i / 2] : "g";
        st.group_missing = st.group.empty() ? "no value" : "";
        s.push_back(st);
    }
    return s;
}

const analysis_request everything = [] {
    analysis_request a;
    a.knapp_hartung = a.leave_one_out = a.egger = true;
    a.by = "group";
    return a;
}();

// Reference figures from tests/analyses_reference.py --print (mpmath, 40 digits).
TEST(Analyses, Table3AgainstIndependentFigures) {
    const meta_analysis m = analyse(summaries(table3), std::nullopt, everything);
    const further_analyses& a = m.more;
    expect_relative(a.dl_prediction->lower, -0.011779295839372836, 1e-7, "DL PI lower");
    expect_relative(a.dl_prediction->upper, 0.03789835316871505, 1e-7, "DL PI upper");
    expect_relative(a.reml_prediction->lower, -0.01648353586808954, 1e-6, "REML PI lower");
    expect_relative(a.reml_prediction->upper, 0.04458766256195126, 1e-6, "REML PI upper");
    EXPECT_EQ(a.reml_prediction->df, 14);
    const t_interval& dl = *a.dl_knapp_hartung;
    const double dl_want[] = {0.00500430966020424, 0.0023930951135883844, 0.02372596221575383,
                              2.6096563864791116, 0.019716197222371116};
    const double dl_got[] = {dl.se, dl.lower, dl.upper, dl.t, dl.p};
    for (int i = 0; i < 5; ++i) {
        expect_relative(dl_got[i], dl_want[i], 1e-7, "DL Knapp-Hartung " + std::to_string(i));
    }
    expect_relative(a.reml_knapp_hartung->se, 0.005474259958337058, 1e-6, "REML KH se");
    expect_relative(a.reml_knapp_hartung->p, 0.021464608815643636, 1e-6, "REML KH p");
    EXPECT_EQ(a.reml_knapp_hartung->df, 15);
    const t_interval& e = a.egger->intercept;
    const double egger_want[] = {2.5262493246461375, 0.8411290131046414, 0.7222070145178625,
                                 4.3302916347744125, 3.003402908813772,  0.009487303427202592};
    const double egger_got[] = {e.estimate, e.se, e.lower, e.upper, e.t, e.p};
    for (int i = 0; i < 6; ++i) {
        expect_relative(egger_got[i], egger_want[i], 1e-9, "Egger " + std::to_string(i));
    }
    expect_relative(a.egger->slope, -0.0030052006251043853, 1e-9, "Egger slope");
    EXPECT_EQ(a.egger_note, "");
    ASSERT_EQ(a.leave_one_out.size(), 16U);
    const pooled_summary& without4 = *a.leave_one_out[3].pooled;
    expect_relative(without4.fixed.estimate, 0.008142425137666356, 1e-9, "without 4 FE");
    expect_relative(without4.dl.tau2, 0.00011324173010930057, 1e-7, "without 4 DL tau2");
    expect_relative(without4.reml.tau2, 0.00016830498460773476, 1e-6, "without 4 REML tau2");
    expect_relative(without4.reml.upper, 0.020948983454077898, 1e-6, "without 4 REML upper");
    expect_relative(without4.het.I2, 79.99638386643582, 1e-9, "without 4 I2");
    expect_relative(a.leave_one_out[15].pooled->reml.estimate, 0.015381086359585787, 1e-6,
                    "without 16 REML");
    const subgroup_analysis& s = *a.subgroups;
    ASSERT_EQ(s.groups.size(), 3U);
    EXPECT_EQ(s.groups[2].value, "single");
    EXPECT_EQ(s.groups[2].reml.estimate, 0.203);
    EXPECT_EQ(s.groups[2].reml.se, 0.0946);
    expect_relative(s.groups[0].reml.estimate, 0.02296844665587728, 1e-6, "cc REML");
    expect_relative(s.groups[1].reml.se, 0.0041095548578230475, 1e-6, "cohort REML se");
    expect_relative(s.fixed->Q, 7.025083297336713, 1e-9, "Q between fixed");
    expect_relative(s.dl->p, 0.036001073777708024, 1e-7, "p between DL");
    expect_relative(s.reml->Q, 6.556721602945914, 1e-6, "Q between REML");
    EXPECT_EQ(s.reml->df, 2);
    ASSERT_EQ(s.left_out_studies.size(), 1U);
    EXPECT_EQ(s.left_out_studies[0].study, 7U);
}

// Too few studies, equal standard errors, a subgroup that cannot be pooled: each
// analysis says why it has no figures instead of giving wrong ones.
TEST(Analyses, SayWhyThereIsNone) {
    const meta_analysis two = analyse(summaries({0.1, 0.1, 0.3, 0.1}), std::nullopt, everything);
    EXPECT_FALSE(two.more.reml_prediction);
    EXPECT_EQ(two.more.prediction_note,
              "a prediction interval needs 3 or more studies, 2 are pooled");
    EXPECT_TRUE(two.more.leave_one_out.empty());
    EXPECT_EQ(two.more.leave_one_out_note, "leave-one-out needs 3 or more studies, 2 are pooled");
    EXPECT_FALSE(two.more.egger);
    EXPECT_EQ(two.more.egger_note, "Egger's test needs 3 or more studies, 2 are pooled");
    // Knapp-Hartung with two studies: SE^2 = sum w (y - mu)^2 / sum w, t on 1 df.
    EXPECT_DOUBLE_EQ(two.more.reml_knapp_hartung->se, 0.1);
    EXPECT_NEAR(two.more.reml_knapp_hartung->upper, 0.2 + 12.706204736174693 * 0.1, 1e-12);

    const meta_analysis equal =
        analyse(summaries({0.1, 0.1, 0.3, 0.1, 0.2, 0.1}), std::nullopt, everything);
    EXPECT_FALSE(equal.more.egger);
    EXPECT_EQ(equal.more.egger_note, "Egger's test needs studies of different standard errors");

    const meta_analysis few =
        analyse(summaries({0.1, 0.1, 0.3, 0.2, 0.2, 0.3}), std::nullopt, everything);
    ASSERT_TRUE(few.more.egger);
    EXPECT_EQ(few.more.egger_note,
              "with 3 studies Egger's test has little power (10 or more are advised)");

    // One study: no pooling, yet its subgroup has its slope.
    const meta_analysis one = analyse(summaries({0.1, 0.2}), std::nullopt, everything);
    EXPECT_FALSE(one.pooled);
    ASSERT_EQ(one.more.subgroups->groups.size(), 1U);
    EXPECT_EQ(one.more.subgroups->groups[0].fixed.estimate, 0.1);
    EXPECT_EQ(one.more.subgroups->no_test,
              "the test for subgroup differences needs 2 or more subgroups, found 1");

    // A subgroup whose slopes cannot be pooled in double precision has no test.
    std::vector<study_summary> wild = summaries({1e300, 1, -1e300, 1, 0.1, 0.1});
    wild[1].group = "cc";
    wild[2].group = "other";
    const meta_analysis m = analyse(wild, std::nullopt, everything);
    EXPECT_FALSE(m.more.subgroups->groups[0].usable());
    EXPECT_EQ(m.more.subgroups->no_test,
              "the test for subgroup differences needs every subgroup pooled");
}

// The summary table's rows, and the text, for every analysis; numbers only in numeric columns
// is checked on whole runs by tests/results_test.py.
TEST(Analyses, SummaryTableAndTextNameEveryAnalysis) {
    const meta_analysis m = analyse(summaries(table3), 10.0, everything);
    const std::string table = summary_table(m);
    std::istringstream lines(table);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "analysis,subgroup,left_out_input,left_out_id,model,k,estimate,se,lower,upper,"
                    "z,t,t_df,p,tau2,Q,df,p_Q,I2,pi_lower,pi_upper,increment,rr,rr_lower,"
                    "rr_upper,note,pi_rr_lower,pi_rr_upper\r");
    std::map<std::string, int> rows;
    while (std::getline(lines, line)) {
        ++rows[line.substr(0, line.find(','))];
    }
    EXPECT_EQ(rows, (std::map<std::string, int>{{"overall", 3},
                                                {"knapp-hartung", 2},
                                                {"leave-one-out", 48},
                                                {"egger", 1},
                                                {"subgroup", 9},
                                                {"subgroup-difference", 3}}));
    EXPECT_NE(table.find("subgroup,single,,,reml,1,0.203,0.0946,"), std::string::npos);
    std::ostringstream text;
    print_further_analyses(text, m);
    for (const char* heading :
         {"Prediction interval of a new study's slope (95%, t on 14 df), also as RR per 10 units "
          "of dose:",
          "Knapp-Hartung (t on 15 df), also as RR per 10 units of dose:",
          "Leave-one-out: the pooling without each study in turn, also as RR per 10 units of dose.",
          "Egger's test for small-study effects", "RR per 10 units of dose = ",
          "Subgroups by column \"group\", also as RR per 10 units of dose:",
          "Subgroup \"single\": 1 study.",
          "Test for subgroup differences:", "Left out of the subgroups:\n  t.csv: 8: no value"}) {
        EXPECT_NE(text.str().find(heading), std::string::npos) << heading;
    }
    const meta_analysis none = analyse(summaries({0.1, 0.2}), std::nullopt, {});
    EXPECT_NE(summary_table(none).find(
                  "overall,,,,,1,,,,,,,,,,,,,,,,,,,,no pooling: 1 study has a complete estimate; "
                  "pooling needs 2 or more,,\r\n"),
              std::string::npos);
}

} // namespace
