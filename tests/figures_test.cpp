#include "estimation/output/svg/dose_response_plot.hpp"
#include "estimation/output/svg/forest_content.hpp"
#include "estimation/output/svg/forest_plot.hpp"
#include "estimation/output/svg/funnel_plot.hpp"
#include "estimation/pooling/meta_analysis.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace morvex;

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

template <typename Plot>
std::string svg(void (*write)(std::ostream&, const Plot&), const Plot& plot) {
    std::ostringstream out;
    write(out, plot);
    return out.str();
}

std::vector<study_summary> studies(const std::vector<double>& b_se,
                                   const std::vector<const char*>& groups = {}) {
    std::vector<study_summary> list;
    for (std::size_t i = 0; i + 1 < b_se.size(); i += 2) {
        study_summary s;
        s.input = "folder/t.csv";
        s.id = std::to_string(i / 2 + 1);
        s.label = s.input + ": " + s.id;
        s.beta = b_se[i];
        s.se = b_se[i + 1];
        s.status = study_status::complete;
        if (i / 2 < groups.size()) {
            s.group = groups[i / 2];
            s.group_missing = s.group.empty() ? "no value" : "";
        }
        list.push_back(s);
    }
    return list;
}

TEST(Figures, DecimalsKeepEveryIntervalOpenAndLabelsKeepTheirEnd) {
    const struct {
        std::vector<std::pair<double, double>> intervals;
        int decimals;
    } cases[] = {{{{0.85, 1.07}, {0.5, 2.0}}, 2},
                 {{{1.0, 1.006}}, 4},        // 1.000 [1.000, 1.006] would do, two digits across
                 {{{0.999, 1.001}}, 4},      // never 1.00 [1.00, 1.00]
                 {{{8.03e-05, 9.1e-05}}, 6}, // slopes in fixed decimals, never 8.03e-05
                 {{{0.1, 0.1}}, 2},          // equal ends stay equal
                 {{{-1e-12, 1e-12}}, 10},
                 {{}, 2}};
    for (const auto& c : cases) {
        EXPECT_EQ(interval_decimals(c.intervals), c.decimals) << c.intervals.size();
    }
    EXPECT_EQ(shorten_middle("Short 2001", 32), "Short 2001");
    EXPECT_EQ(shorten_middle("Andersen, Bjerregaard and Mikkelsen 1998", 20),
              "Andersen, Bjer\xE2\x80\xA6 1998");
    EXPECT_EQ(shorten_middle("Müller-Lüdenscheidt et al. 1999", 12), "Müller\xE2\x80\xA6 1999");
}

// Heterogeneity line as a journal prints it; the studies named by their label, or
// author and year, else their id; the diamonds of the models asked for.
TEST(Figures, ForestContentFollowsTheRequest) {
    heterogeneity h;
    h.Q = 33.1049;
    h.df = 7;
    h.p = 2.4e-5;
    h.I2 = 78.855;
    EXPECT_EQ(heterogeneity_line(h, 0.00123), "I\u00b2 = 78.9%, tau\u00b2 = 0.0012, Q = 33.1 (df = "
                                              "7), p < 0.001");
    h.p = 0.0137502;
    EXPECT_EQ(heterogeneity_line(h, 0.000102), "I\u00b2 = 78.9%, tau\u00b2 = 0.00010, Q = 33.1 "
                                               "(df = 7), p = 0.014");

    std::vector<study_summary> s =
        studies({0.1, 0.05, 0.3, 0.1, 0.2, 0.08, 0.05, 0.02}, {"a", "b", "a", ""});
    s[0].name = "Rossi 1995";
    analysis_request by_region;
    by_region.by = "region";
    const meta_analysis m = analyse(s, std::nullopt, by_region);
    forest_request request;
    const forest_content reml = make_forest(m, request);
    EXPECT_EQ(reml.plot.title, "t.csv");
    EXPECT_EQ(reml.plot.weight_heading, "REML weight (%)");
    ASSERT_EQ(reml.plot.blocks.size(), 3U); // a, b, and the study without a value
    EXPECT_EQ(reml.plot.blocks[0].heading, "region = a");
    EXPECT_EQ(reml.plot.blocks[0].rows[0].label, "Rossi 1995");
    EXPECT_EQ(reml.plot.blocks[0].rows[1].label, "3");
    EXPECT_EQ(reml.plot.blocks[1].summaries.size(), 0U); // one study: no diamond
    EXPECT_EQ(reml.plot.blocks[2].heading, "No value of region");
    ASSERT_EQ(reml.plot.summaries.size(), 1U);
    EXPECT_EQ(reml.plot.summaries[0].prediction_lower, m.more.reml_prediction->lower);
    EXPECT_EQ(reml.plot.notes.back().rfind("Test for subgroup differences (REML): Q = ", 0), 0U);

    request.model = forest_model::all;
    request.title = "T";
    request.unit = "Relative risk per 10 g/day";
    request.increment = 10.0;
    const forest_content all = make_forest(analyse(s, std::nullopt), request);
    EXPECT_TRUE(all.plot.blocks.empty());
    EXPECT_EQ(all.plot.rows.size(), 4U);
    EXPECT_EQ(all.plot.summaries.size(), 3U);
    EXPECT_EQ(std::make_tuple(all.plot.title, all.plot.axis_label),
              std::make_tuple("T", request.unit));
    const std::string drawn = svg(write_forest_plot, all.plot);
    EXPECT_EQ(count(drawn, "stroke=\"#b03a2e\""), 3U); // the prediction interval and its ends
    EXPECT_NE(drawn.find("Relative risk per 10 g/day"), std::string::npos);

    request.model = forest_model::fixed;
    const forest_content fixed = make_forest(analyse(s, std::nullopt), request);
    EXPECT_EQ(fixed.plot.summaries.at(0).label, "Fixed effect");
    EXPECT_EQ(fixed.plot.weight_heading, "Fixed weight (%)");
    EXPECT_EQ(count(svg(write_forest_plot, fixed.plot), "#b03a2e"), 0U);
}

// Above the row limit only the summaries are drawn, and the run is told so.
TEST(Figures, ForestAboveTheRowLimitDrawsTheSummaries) {
    std::vector<double> b_se;
    for (std::size_t i = 0; i <= forest_row_limit; ++i) {
        b_se.push_back(0.01 * std::sin(static_cast<double>(i)));
        b_se.push_back(0.01 + 0.001 * static_cast<double>(i % 7));
    }
    const forest_content c = make_forest(analyse(studies(b_se), std::nullopt), {});
    EXPECT_TRUE(c.plot.rows.empty());
    EXPECT_EQ(c.notice, "1001 studies are more rows than a picture viewer opens (the limit is "
                        "1000), so only the pooled summaries are drawn");
    const std::string drawn = svg(write_forest_plot, c.plot);
    std::smatch height;
    ASSERT_TRUE(std::regex_search(drawn, height, std::regex("height=\"([0-9.]+)\"")));
    EXPECT_LT(std::stod(height[1]), 400.0);
}

TEST(Figures, FunnelPlotHasADotPerStudyAndSeGrowsDownwards) {
    const meta_analysis m =
        analyse(studies({0.1, 0.05, 0.3, 0.1, 0.2, 0.08, 0.05, 0.02}), std::nullopt);
    const std::string drawn = svg(write_funnel_plot, make_funnel_plot(*m.pooled, "Funnel & co"));
    EXPECT_EQ(count(drawn, "<circle"), 4U);
    EXPECT_EQ(count(drawn, "stroke-dasharray"), 2U); // the pseudo 95% limits
    EXPECT_NE(drawn.find("Funnel &amp; co"), std::string::npos);
    // The dot of the smallest SE (0.02) lies highest.
    std::vector<double> ys;
    const std::regex dot("<circle cx=\"[-0-9.]+\" cy=\"([-0-9.]+)\"");
    for (auto it = std::sregex_iterator(drawn.begin(), drawn.end(), dot);
         it != std::sregex_iterator(); ++it) {
        ys.push_back(std::stod((*it)[1]));
    }
    ASSERT_EQ(ys.size(), 4U);
    EXPECT_LT(ys[3], ys[0]);
    EXPECT_LT(ys[0], ys[2]);
    EXPECT_LT(ys[2], ys[1]);
    funnel_plot wild;
    wild.studies = {{"a", NAN, 0.1}, {"b", 1e300, HUGE_VAL}};
    wild.fixed = NAN;
    const std::string finite = svg(write_funnel_plot, wild);
    EXPECT_EQ(finite.find("nan"), std::string::npos);
    EXPECT_EQ(finite.find("inf"), std::string::npos);
}

TEST(Figures, DoseResponseDrawsDosesAsPublished) {
    study s;
    s.n = 2;
    s.x0 = 20.0;
    s.x = Matrix(2, 1);
    s.L = Matrix(2, 1);
    s.lo = Matrix(2, 1);
    s.hi = Matrix(2, 1);
    s.x(0, 0) = 5.0;
    s.x(1, 0) = 10.0;
    for (Matrix::size_type i = 0; i < 2; ++i) {
        s.L(i, 0) = 0.1 * static_cast<double>(i + 1);
        s.lo(i, 0) = s.L(i, 0) - 0.2;
        s.hi(i, 0) = s.L(i, 0) + 0.2;
    }
    const dose_response_plot p = make_dose_response_plot(s, trend{0.01, 0.005});
    EXPECT_EQ(p.points[0].dose, 20.0);
    EXPECT_EQ(p.points[2].dose, 30.0);
    const std::string drawn = svg(write_dose_response_plot, p);
    EXPECT_NE(drawn.find("from the reference dose 20"), std::string::npos);
    EXPECT_NE(drawn.find(">30<"), std::string::npos);
    EXPECT_EQ(drawn.find(">0<"), std::string::npos); // the axis starts near the doses, not at 0
}

} // namespace
