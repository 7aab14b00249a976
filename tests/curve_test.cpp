// The pooled trend: dose functions, knots, centring, the p-coefficient first
// stage, and the multivariate engine against the univariate pooling.
#include "estimation/app/options.hpp"
#include "estimation/app/run.hpp"
#include "estimation/input/file_text.hpp"
#include "estimation/input/setting_file.hpp"
#include "estimation/input/table_file.hpp"
#include "estimation/method/coefficient_fit.hpp"
#include "estimation/method/dose_basis.hpp"
#include "estimation/method/trend.hpp"
#include "estimation/output/summary_table.hpp"
#include "estimation/pooling/curve_analysis.hpp"
#include "estimation/pooling/pooling.hpp"
#include "estimation/pooling/symmetric_eigen.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace morvex;

const std::string examples = EXAMPLES_FOLDER;

std::vector<study_result> estimated(const std::string& name, const std::string& text) {
    const table_file table(text, false);
    std::vector<study_result> list;
    list.reserve(table.study_count());
    for (std::size_t k = 0; k < table.study_count(); ++k) {
        table_study t = table.read(k);
        study_result r;
        r.input = name;
        r.id = t.id;
        r.from_table = true;
        r.data = std::move(*t.data);
        r.has_data = true;
        estimate(r);
        list.push_back(std::move(r));
    }
    return list;
}

std::vector<curve_study> curve_studies(const std::vector<study_result>& results) {
    std::vector<curve_study> list;
    list.reserve(results.size());
    for (const study_result& r : results) {
        list.push_back(curve_study_of(r));
    }
    return list;
}

std::vector<study_result> colorectal() {
    const std::string name = examples + "/alcohol-colorectal-cancer.csv";
    return estimated(name, read_file(name));
}

TEST(DoseBasis, QuantileKnotsAndTermsByHand) {
    EXPECT_DOUBLE_EQ(quantile({1, 2, 3, 4}, 0.1), 1.3); // h = 1.3: 1 + 0.3 (2 - 1)
    EXPECT_DOUBLE_EQ(quantile({1, 2, 3, 4}, 1.0), 4.0);
    EXPECT_DOUBLE_EQ(quantile({7}, 0.5), 7.0);
    std::vector<double> doses;
    for (int d = 10; d >= 0; --d) {
        doses.push_back(d);
    }
    EXPECT_EQ(knots_at_percentiles(doses, 3), (std::vector<double>{1, 5, 9}));
    EXPECT_EQ(knots_at_percentiles(doses, 4), (std::vector<double>{0.5, 3.5, 6.5, 9.5}));

    const dose_basis spline{trend_shape::spline, {0, 1, 3}};
    ASSERT_EQ(spline.coefficients(), 2);
    // At 2: (2^3 - 1^3 (3 - 0)/(3 - 1)) / 3^2; beyond the last knot the curve is a line.
    EXPECT_DOUBLE_EQ(spline.at(2)[1], 6.5 / 9);
    EXPECT_DOUBLE_EQ(spline.at(4)[1], 24.0 / 9);
    EXPECT_DOUBLE_EQ(spline.at(5)[1], 33.0 / 9);
    EXPECT_DOUBLE_EQ(spline.at(-1)[1], 0.0);
    EXPECT_EQ(spline.names(), (std::vector<std::string>{"dose", "spline1"}));

    // Centred on the reference as published: x^2 - x0^2, not (x - x0)^2.
    const dose_basis quadratic{trend_shape::quadratic, {}};
    EXPECT_EQ(quadratic.contrast(3, 1), (std::vector<double>{2, 8}));
    EXPECT_EQ(dose_basis{}.contrast(3, 1), (std::vector<double>{2}));

    EXPECT_EQ(knot_problem({0, 1, 3}), "");
    EXPECT_NE(knot_problem({0, 1}), "");
    EXPECT_NE(knot_problem({0, 1, 1}), "");
    EXPECT_NE(knot_problem({0, 1, NAN}), "");
    EXPECT_NE(knot_problem({0, 1, 2, 3, 4, 5, 6, 7}), "");
}

TEST(FirstStage, LinearIsTheSlopeToTheBit) {
    for (const study_result& r : colorectal()) {
        ASSERT_EQ(r.status, study_status::complete);
        const coefficient_fit f = fit_coefficients(
            design_matrix(dose_basis{}, r.data.x0, r.data.dose, r.data.x), r.data.L, r.V);
        ASSERT_TRUE(f.usable);
        EXPECT_EQ(f.b(0, 0), r.beta) << r.id;
        EXPECT_EQ(std::sqrt(f.V(0, 0)), r.se) << r.id;
    }
}

TEST(FirstStage, StudiesThatCannotFitAreToldApart) {
    Matrix S = zeros(2, 2);
    S(0, 0) = S(1, 1) = 0.04;
    Matrix y(2, 1);
    y(0, 0) = 0.1;
    y(1, 0) = 0.2;
    const dose_basis spline{trend_shape::spline, {10, 20, 30}};
    Matrix dose(2, 1);
    dose(0, 0) = 5; // both at or below the first knot: the spline term is 0
    dose(1, 0) = 8;
    const coefficient_fit below = fit_coefficients(design_matrix(spline, 0, dose, dose), y, S);
    EXPECT_FALSE(below.usable);
    EXPECT_NE(below.reason.find("rank below 2"), std::string::npos);
    const Matrix one(1, 1);
    Matrix X(1, 2);
    X(0, 0) = 1;
    X(0, 1) = 1;
    Matrix S1(1, 1);
    S1(0, 0) = 0.1;
    Matrix y1(1, 1);
    y1(0, 0) = 0.3;
    const coefficient_fit single = fit_coefficients(X, y1, S1);
    EXPECT_FALSE(single.usable);
    EXPECT_NE(single.reason.find("1 exposed category, fewer than the 2"), std::string::npos);
    EXPECT_EQ(column_rank(X), 1);
}

TEST(CurveAnalysis, LinearPoolsAsTheSlopes) {
    const std::vector<study_result> results = colorectal();
    std::vector<slope_estimate> slopes;
    slopes.reserve(results.size());
    for (const study_result& r : results) {
        slopes.push_back({r.id, r.beta, r.se});
    }
    const pooled_summary want = pool(slopes);
    const curve_result got = analyse_curve(curve_studies(results), curve_settings{}, {});
    ASSERT_EQ(got.message, "");
    ASSERT_EQ(got.methods.size(), 3u);
    const pooled_estimate* const pairs[] = {&want.fixed, &want.dl, &want.reml};
    for (std::size_t k = 0; k < 3; ++k) {
        const curve_method& m = got.methods[k];
        ASSERT_TRUE(m.available) << m.name;
        EXPECT_NEAR(m.beta(0, 0) / pairs[k]->estimate, 1.0, 1e-9) << m.name;
        EXPECT_NEAR(std::sqrt(m.cov(0, 0)) / pairs[k]->se, 1.0, 1e-9) << m.name;
        EXPECT_NEAR(m.psi(0, 0), pairs[k]->tau2, 1e-9 * want.fixed.se * want.fixed.se) << m.name;
    }
    EXPECT_NEAR(got.heterogeneity.statistic, want.het.Q, 1e-9 * want.het.Q);
    EXPECT_EQ(got.heterogeneity.df, want.het.df);
    EXPECT_NEAR(got.I2, want.het.I2, 1e-9);
    EXPECT_TRUE(got.methods[2].converged);
    EXPECT_EQ(got.methods[2].nonlinear.df, 0);
}

// Doses 1000 times larger: the quadratic's variances fall by 1e12, and the
// curve, its tests and the likelihood's maximiser must not notice. (The method
// of moments does: setting its negative eigenvalues to 0 depends on the units.)
TEST(CurveAnalysis, TheSearchDoesNotDependOnTheUnitOfDose) {
    const std::vector<curve_study> studies = curve_studies(colorectal());
    std::vector<curve_study> scaled = studies;
    for (curve_study& s : scaled) {
        s.x0 *= 1000;
        s.dose = 1000.0 * s.dose;
        s.x = 1000.0 * s.x;
    }
    curve_settings settings;
    settings.shape = trend_shape::quadratic;
    settings.at = {0, 20, 40};
    const curve_result a = analyse_curve(studies, settings, {});
    settings.at = {0, 20000, 40000};
    const curve_result b = analyse_curve(scaled, settings, {});
    ASSERT_EQ(a.message, "");
    ASSERT_EQ(b.message, "");
    for (const std::size_t k : {0u, 2u}) {
        const curve_method& ma = a.methods[k];
        const curve_method& mb = b.methods[k];
        ASSERT_TRUE(ma.available && mb.available) << ma.name;
        EXPECT_NEAR(mb.beta(1, 0) * 1e6 / ma.beta(1, 0), 1.0, 1e-6) << ma.name;
        EXPECT_NEAR(mb.nonlinear.statistic / ma.nonlinear.statistic, 1.0, 1e-6) << ma.name;
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_NEAR(mb.predictions[i].rr / ma.predictions[i].rr, 1.0, 1e-7) << ma.name;
            EXPECT_NEAR(mb.predictions[i].upper / ma.predictions[i].upper, 1.0, 1e-7) << ma.name;
        }
    }
    EXPECT_TRUE(b.methods[2].converged);
}

TEST(CurveAnalysis, SingleCategoryStudiesEnterOnlyTheOneStageModel) {
    std::string table = "id,type,dose,cases,n,rr,lb,ub\n";
    for (const char* id : {"a", "b", "c"}) {
        table += std::string(id) + ",ci,0,50,1000,1,,\n" + id + ",ci,10,60,1000,1.2,0.8,1.8\n" +
                 id + ",ci,20,70,1000,1.45,1,2.1\n";
    }
    table += "d,ci,0,40,900,1,,\nd,ci,15,55,900,1.4,0.9,2.2\n";
    const std::vector<curve_study> studies = curve_studies(estimated("t.csv", table));
    curve_settings settings;
    settings.shape = trend_shape::quadratic;
    const curve_result two = analyse_curve(studies, settings, {});
    ASSERT_EQ(two.left_out.size(), 1u);
    EXPECT_EQ(two.left_out[0].id, "d");
    EXPECT_EQ(two.pooled, 3);
    settings.one_stage = true;
    const curve_result one = analyse_curve(studies, settings, {});
    EXPECT_TRUE(one.left_out.empty());
    EXPECT_EQ(one.pooled, 4);
    EXPECT_EQ(one.heterogeneity.df, 7 - 2);
    EXPECT_NE(one.methods[2].beta(0, 0), two.methods[2].beta(0, 0));
}

TEST(CurveAnalysis, NoPooledTrendSaysWhy) {
    const std::vector<curve_study> studies = curve_studies(colorectal());
    curve_settings settings;
    settings.shape = trend_shape::spline;
    settings.knots = {100, 200, 300}; // every dose below the first knot
    const curve_result r = analyse_curve(studies, settings, {});
    EXPECT_EQ(r.message, "0 studies can enter the pooled fit; it needs 2 or more");
    EXPECT_EQ(r.left_out.size(), studies.size());
    EXPECT_EQ(analyse_curve({}, settings, {}).message, "no study has a complete estimate");
    std::vector<curve_study> flat(studies.begin(), studies.begin() + 2);
    for (curve_study& s : flat) {
        s.x0 = 0;
        s.dose = zeros(s.dose.row_count(), 1);
    }
    settings.knots.clear();
    EXPECT_NE(analyse_curve(flat, settings, {}).message.find("--knots=a,b,c"), std::string::npos);
}

TEST(SymmetricEigen, PositivePartDropsTheNegativeEigenvalue) {
    Matrix A(2, 2);
    A(0, 0) = 1;
    A(0, 1) = A(1, 0) = 2;
    A(1, 1) = 1; // eigenvalues 3 and -1
    const eigen_decomposition e = symmetric_eigen(A);
    EXPECT_NEAR(e.values[0], 3, 1e-14);
    EXPECT_NEAR(e.values[1], -1, 1e-14);
    const Matrix P = positive_part(A);
    EXPECT_NEAR(P(0, 0), 1.5, 1e-14);
    EXPECT_NEAR(P(0, 1), 1.5, 1e-14);
}

TEST(CurveOptions, AreParsedOrRefusedWithAReason) {
    const struct {
        std::vector<std::string> args;
        const char* refusal; // empty: accepted
    } cases[] = {
        {{"--trend=spline", "--knots=4", "t.csv"}, ""},
        {{"--trend=spline", "--knots=0,10,20,40", "--at=0,5", "--reference-dose=1", "t.csv"}, ""},
        {{"--one-stage", "t.csv"}, ""},
        {{"--trend=cubic", "t.csv"}, "unknown trend 'cubic'"},
        {{"--trend=spline", "--knots=2", "t.csv"}, "from 3 to 7"},
        {{"--trend=spline", "--knots=0,5,5", "t.csv"}, "increase strictly"},
        {{"--trend=spline", "--knots=0,x,5", "t.csv"}, "not a number"},
        {{"--trend=quadratic", "--knots=4", "t.csv"}, "applies to --trend=spline"},
        {{"--at=1,2", "t.csv"}, "apply to the pooled trend"},
        {{"--trend=linear", "--at=1,,2", "t.csv"}, "--at' needs doses"},
        {{"--trend=linear", "--reference-dose=1,2", "t.csv"}, "--reference-dose' needs one"},
        {{"t.csv", "--trend"}, "--trend=spline"},
    };
    for (const auto& c : cases) {
        const parsed_command_line p = parse_command_line(c.args);
        if (*c.refusal == '\0') {
            EXPECT_EQ(p.what, command::run) << p.message;
        } else {
            EXPECT_EQ(p.what, command::refuse) << c.args.front();
            EXPECT_NE(p.message.find(c.refusal), std::string::npos) << p.message;
        }
    }
    const parsed_command_line p =
        parse_command_line({"--trend=spline", "--knots=0,10,20,40", "--at=0,5", "t.csv"});
    EXPECT_EQ(p.opts.trend.knots, (std::vector<double>{0, 10, 20, 40}));
    EXPECT_EQ(p.opts.trend.at, (std::vector<double>{0, 5}));
    EXPECT_TRUE(p.opts.curve);
}

// Texts given in place of files read as the files do, whatever their names, and under the
// names given: a table (twice, the second a copy) and a setting file.
TEST(CurveRun, ReadsTextsGivenInPlaceOfFiles) {
    const std::string table = examples + "/alcohol-colorectal-cancer.csv";
    const std::string setting = examples + "/alcohol-breast-cancer.txt";
    std::ostringstream files;
    std::ostringstream texts;
    std::ostringstream err;
    EXPECT_EQ(run({"--format=csv", table, table, setting}, files, err), 0);
    EXPECT_EQ(run({"--format=csv", "t", "t", "s"}, texts, err,
                  {{"t", read_file(table), true}, {"s", read_file(setting), false}}),
              0);
    std::string expected = files.str();
    for (const auto& [path, name] : {std::pair{table, "t"}, std::pair{setting, "s"}}) {
        for (std::size_t at; (at = expected.find(path)) != std::string::npos;) {
            expected.replace(at, path.size(), name);
        }
    }
    EXPECT_EQ(texts.str(), expected);
    EXPECT_EQ(err.str(), "");
}

// Without --trend the output is today's; with it the studies' part is
// unchanged: in CSV each line of the plain run begins its line of the trend run.
TEST(CurveRun, AddsItsSectionAfterTheStudies) {
    const std::string name = examples + "/alcohol-colorectal-cancer.csv";
    for (const char* format : {"--format=text", "--format=csv", "--format=json"}) {
        std::ostringstream plain;
        std::ostringstream with;
        std::ostringstream err;
        EXPECT_EQ(run({format, name}, plain, err), 0);
        EXPECT_EQ(run({format, "--trend=spline", name}, with, err), 0);
        const std::string a = plain.str();
        const std::string b = with.str();
        EXPECT_GT(b.size(), a.size()) << format;
        if (std::string(format) != "--format=csv") {
            const std::size_t keep =
                std::string(format) == "--format=json" ? a.size() - 2 : a.size();
            EXPECT_EQ(b.substr(0, keep), a.substr(0, keep)) << format;
            continue;
        }
        std::istringstream lines_a(a);
        std::istringstream lines_b(b);
        std::string line_a;
        std::string line_b;
        while (std::getline(lines_a, line_a)) {
            ASSERT_TRUE(std::getline(lines_b, line_b));
            EXPECT_EQ(line_b.substr(0, line_a.size() - 1), line_a.substr(0, line_a.size() - 1));
        }
        EXPECT_FALSE(std::getline(lines_b, line_b)) << "no rows after the studies";
    }
}

// The study rows of a trend run: every study read, in order, with b and the
// upper triangle of V where it has a first-stage fit, and a note where not.
TEST(CurveRun, CsvStudyRowsCarryTheFirstStage) {
    const std::string table = "id,type,dose,cases,n,rr,lb,ub\n"
                              "a,ci,0,50,1000,1,,\na,ci,10,60,1000,1.2,0.8,1.8\n"
                              "a,ci,20,70,1000,1.45,1,2.1\n"
                              "b,ci,0,50,1000,1,,\nb,ci,10,60,1000,1.1,0.7,1.7\n"
                              "c,ci,0,50,1000,1,,\nc,ci,10,-1,1000,1.1,0.7,1.7\n"
                              "d,ci,0,50,1000,1,,\nd,ci,10,60,1000,1.1,0.7,1.7\n"
                              "d,ci,20,75,1000,1.6,1.1,2.3\n";
    for (const bool one_stage : {false, true}) {
        std::ostringstream out;
        std::ostringstream err;
        after_studies after;
        after.curve = curve_settings{};
        after.curve->shape = trend_shape::quadratic;
        after.curve->one_stage = one_stage;
        session run_(output_format::csv, false, out, err, after);
        run_.add_table_text("t.csv", table);
        EXPECT_EQ(run_.finish(), exit_partial);
        std::istringstream lines(out.str());
        std::vector<std::string> rows;
        for (std::string line; std::getline(lines, line);) {
            rows.push_back(line);
        }
        ASSERT_EQ(rows.size(), 5U) << out.str();
        EXPECT_NE(rows[0].find(",warnings,b1,b2,V11,V12,V22,trend_note\r"), std::string::npos);
        EXPECT_EQ(rows[1].rfind("t.csv,a,", 0), 0U);
        EXPECT_EQ(rows[1].substr(rows[1].size() - 2), ",\r") << "a has its fit";
        EXPECT_NE(rows[2].find(one_stage ? ",,,,,\"no first-stage fit (in the one-stage model): "
                                         : ",,,,,\"left out of the two-stage fit: "),
                  std::string::npos)
            << rows[2];
        EXPECT_NE(rows[3].find(",,,,,no complete estimate: left out of the pooled trend\r"),
                  std::string::npos)
            << rows[3];
        EXPECT_EQ(rows[4].rfind("t.csv,d,", 0), 0U);
    }
}

// Knots that cannot be placed: every study row and the summary table say why.
TEST(CurveRun, KnotsNotPlacedAreNotedInEveryRow) {
    std::string table = "id,type,dose,cases,n,rr,lb,ub\n";
    for (const char* id : {"a", "b", "c"}) {
        table += std::string(id) + ",ci,0,50,1000,1,,\n" + id + ",ci,10,60,1000,1.2,0.8,1.8\n";
    }
    std::ostringstream out;
    std::ostringstream err;
    after_studies after;
    after.pool = true;
    after.summary = true;
    after.curve = curve_settings{};
    after.curve->shape = trend_shape::spline;
    after.curve->knot_count = 5;
    session run_(output_format::csv, false, out, err, after);
    run_.add_table_text("t.csv", table);
    EXPECT_EQ(run_.finish(), exit_complete);
    const std::string note = "no pooled trend: the 5 knots at the percentiles";
    std::istringstream lines(out.str());
    std::string line;
    std::getline(lines, line);
    EXPECT_NE(line.find(",b4,V11,V12,V13,V14,V22,"), std::string::npos) << line;
    int rows = 0;
    for (; std::getline(lines, line); ++rows) {
        EXPECT_NE(line.find(std::string(15, ',') + '"' + note), std::string::npos) << line;
    }
    EXPECT_EQ(rows, 3);
    EXPECT_NE(run_.summary().find(
                  ",note,coefficient,chi2,chi2_df,dose,reference_dose,pi_rr_lower,pi_rr_upper\r\n"),
              std::string::npos);
    EXPECT_NE(run_.summary().find("\ntrend,,,,,0" + std::string(20, ',') + '"' + note),
              std::string::npos)
        << run_.summary();
}

Matrix one_by_one(double value) {
    Matrix m(1, 1);
    m(0, 0) = value;
    return m;
}

// The summary table's trend rows by hand: a method that cannot be computed
// has one row with its reason, a REML short of convergence says so on each of
// its coefficients, and a linear trend has no test of non-linearity.
TEST(CurveSummary, RowsOfEachMethodByHand) {
    meta_analysis m;
    m.not_pooled = "1 study";
    curve_result c;
    c.pooled = 2;
    c.reference_dose = 0;
    c.heterogeneity = {3, 1, 0.083264516663550406};
    c.I2 = 200.0 / 3;
    curve_method fixed;
    fixed.name = "fixed";
    fixed.available = true;
    fixed.beta = one_by_one(0.5);
    fixed.cov = one_by_one(0.0625);
    fixed.psi = one_by_one(0.0);
    fixed.overall = {4, 1, 0.0455};
    fixed.predictions.push_back({2, 1, 0.5, 2.718281828459045, 1, 7});
    curve_method moments;
    moments.name = "moments";
    moments.message = "the equations of the method of moments are singular";
    curve_method reml = fixed;
    reml.name = "reml";
    reml.psi = one_by_one(0.25);
    reml.converged = false;
    reml.iterations = 9;
    reml.gradient = 0.003;
    reml.gradient_target = 1e-9;
    reml.predictions.clear();
    c.methods = {fixed, moments, reml};
    const std::string table = summary_table(m, &c);
    // Limits 0.5 -/+ 1.959963984540054 x 0.25 as Python's doubles give them; p of z = 2 is
    // erfc(2 / sqrt 2) with the quotient rounded to 1.414213562373095, 0.045500263896358434
    // (mpmath), correctly rounded.
    const char* const rows[] = {
        "trend-heterogeneity,,,,,2,,,,,,,,,,3,1,0.0832645166635504,66.66666666666667,,,,,,,,,,,,,,"
        "\r\n",
        "trend,,,,fixed,2,0.5,0.25,0.010009003864986488,0.9899909961350135,2,,,"
        "0.04550026389635843,,,,,,,,,,,,,1,,,,,,\r\n",
        "trend-overall,,,,fixed,2,,,,,,,,0.0455,,,,,,,,,,,,,,4,1,,,,\r\n",
        "trend-prediction,,,,fixed,2,1,0.5,0.020018007729972975,1.979981992270027,2,,,"
        "0.04550026389635843,,,,,,,,,2.718281828459045,1,7,,,,,2,0,,\r\n",
        "trend,,,,moments,2,,,,,,,,,,,,,,,,,,,,the equations of the method of moments are "
        "singular,,,,,,,\r\n",
        "trend,,,,reml,2,0.5,0.25,0.010009003864986488,0.9899909961350135,2,,,"
        "0.04550026389635843,0.25,,,,,,,,,,,\"REML not converged in 9 iterations (largest "
        "scaled gradient 0.003, target 1e-09); its last value is shown\",1,,,,,,\r\n",
    };
    std::size_t at = 0;
    for (const char* row : rows) {
        const std::size_t found = table.find(row, at);
        EXPECT_NE(found, std::string::npos) << row << "\nin\n" << table;
        at = found == std::string::npos ? at : found;
    }
    EXPECT_EQ(table.find("trend-nonlinearity"), std::string::npos);
}

} // namespace

namespace {

// When no curve can be pooled every format says why, standard error has the
// one line, and the studies' exit status stands.
TEST(CurveRun, NoPooledTrendInEveryFormat) {
    const std::string name = examples + "/alcohol-colorectal-cancer.csv";
    const struct {
        const char* format;
        const char* says;
    } cases[] = {
        {"--format=text", "No pooled trend: 0 studies can enter the pooled fit"},
        {"--format=csv", ",left out of the two-stage fit: "},
        {"--format=json", "\"message\": \"0 studies can enter the pooled fit"},
    };
    for (const auto& c : cases) {
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(run({c.format, "--trend=spline", "--knots=100,200,300", name}, out, err), 0);
        EXPECT_NE(out.str().find(c.says), std::string::npos) << c.format << '\n' << out.str();
        EXPECT_NE(out.str().find("all its doses on one side"), std::string::npos) << c.format;
        const std::string csv_note = "Morvex: note: --format=csv writes the study rows only; the "
                                     "pooled figures go to --summary=FILE.csv\n";
        EXPECT_EQ(err.str(), "Morvex: no pooled trend: 0 studies can enter the pooled fit; it "
                             "needs 2 or more\n" +
                                 (std::string(c.format) == "--format=csv" ? csv_note : ""));
    }
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(
        run({"--trend=spline", "--knots=100,200,300", "--plot=/tmp/never.svg", name}, out, err), 3);
    EXPECT_NE(err.str().find("cannot write: no pooled curve to draw"), std::string::npos);
}

// A refused or stopped study is listed as left out of the trend, with its message.
TEST(CurveRun, StudiesNotEstimatedAreLeftOutWithTheirReason) {
    const std::string table = "id,type,dose,cases,n,rr,lb,ub\n"
                              "a,ci,0,50,1000,1,,\na,ci,10,60,1000,1.2,0.8,1.8\n"
                              "a,ci,20,70,1000,1.45,1,2.1\n"
                              "b,ci,0,50,1000,1,,\nb,ci,10,60,1000,1.1,0.7,1.7\n"
                              "b,ci,20,75,1000,1.6,1.1,2.3\n"
                              "c,ci,0,50,1000,1,,\nc,ci,10,-1,1000,1.1,0.7,1.7\n";
    std::ostringstream out;
    std::ostringstream err;
    after_studies after;
    after.curve = curve_settings{};
    session run_(output_format::text, false, out, err, after);
    run_.add_table_text("t.csv", table);
    EXPECT_EQ(run_.finish(), exit_partial);
    EXPECT_NE(out.str().find("Left out of the pooled trend:\n  t.csv: c: refused: t.csv:9:"),
              std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("Studies in the pooled fit: 2."), std::string::npos);
}

} // namespace
