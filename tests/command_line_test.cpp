// The options of the trend and the paper's analyses as --help documents them:
// each value lands in the field it names, and a value outside the documented
// forms is refused with a message that names the option.
#include "estimation/app/options.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using namespace morvex;

namespace {

template <typename T>
std::string listed(const std::vector<T>& values) {
    std::ostringstream out;
    for (std::size_t i = 0; i < values.size(); ++i) {
        out << (i == 0 ? "" : ",") << values[i];
    }
    return out.str();
}

// The fields these options set, in one line.
std::string described(const options& o) {
    std::ostringstream out;
    const char* const shapes[] = {"linear", "quadratic", "spline"};
    const char* const covariances[] = {"gl", "hamling", "indep"};
    out << " curve=" << o.curve << " shape=" << shapes[static_cast<int>(o.trend.shape)]
        << " count=" << o.trend.knot_count << " knots=" << listed(o.trend.knots)
        << " one-stage=" << o.trend.one_stage << " at=" << listed(o.trend.at)
        << " ref=" << (o.trend.reference_dose ? std::to_string(*o.trend.reference_dose) : "-")
        << " cov=" << covariances[static_cast<int>(o.covariance)]
        << " missing-indep=" << o.missing_counts_indep << " open=" << o.open_width
        << " measure=" << words(o.measure).code << " moderators=" << listed(o.moderators)
        << " fill="
        << (!o.trim_and_fill                         ? "-"
            : *o.trim_and_fill == fill_estimator::r0 ? "R0"
                                                     : "L0")
        << " rank=" << o.rank_test << " fit=" << o.goodness_of_fit << " pool=" << o.pool;
    return out.str();
}

} // namespace

TEST(CommandLine, EachDocumentedValueSetsItsField) {
    using args = std::vector<std::string>;
    using fields = std::vector<std::pair<std::string, std::string>>;
    const std::pair<args, fields> cases[] = {
        {{"--covariance=hamling"}, {{"cov", "hamling"}}},
        {{"--covariance=indep"}, {{"cov", "indep"}}},
        {{"--missing-counts=indep"}, {{"missing-indep", "1"}}},
        {{"--missing-counts=refuse"}, {}},
        {{"--open-width=0.5"}, {{"open", "0.5"}}},
        {{"--measure=smd"}, {{"measure", "smd"}}},
        {{"--measure=md"}, {}},
        {{"--rank-test"}, {{"rank", "1"}, {"pool", "1"}}},
        {{"--goodness-of-fit", "--trend=linear"}, {{"fit", "1"}, {"curve", "1"}, {"pool", "1"}}},
        {{"--trim-and-fill"}, {{"fill", "L0"}, {"pool", "1"}}},
        {{"--trim-and-fill=R0"}, {{"fill", "R0"}, {"pool", "1"}}},
        {{"--trim-and-fill=L0"}, {{"fill", "L0"}, {"pool", "1"}}},
        {{"--moderator=year", "--moderator=place"}, {{"moderators", "year,place"}, {"pool", "1"}}},
        {{"--trend=quadratic"}, {{"curve", "1"}, {"shape", "quadratic"}}},
        {{"--trend=spline", "--knots=5"}, {{"curve", "1"}, {"shape", "spline"}, {"count", "5"}}},
        {{"--trend=spline", "--knots=0,15,50"},
         {{"curve", "1"}, {"shape", "spline"}, {"knots", "0,15,50"}}},
        {{"--one-stage"}, {{"curve", "1"}, {"one-stage", "1"}}},
        {{"--trend=linear", "--at=0,10,20", "--reference-dose=5"},
         {{"curve", "1"}, {"at", "0,10,20"}, {"ref", "5.000000"}}},
    };
    for (const auto& [arguments, changed] : cases) {
        std::string expected = described(options{});
        for (const auto& [field, value] : changed) {
            const std::size_t at = expected.find(" " + field + "=") + field.size() + 2;
            const std::size_t end = expected.find(' ', at);
            expected.replace(at, end == std::string::npos ? end : end - at, value);
        }
        args line = arguments;
        line.emplace_back("a");
        const parsed_command_line got = parse_command_line(line);
        ASSERT_EQ(got.what, command::run) << got.message;
        EXPECT_EQ(described(got.opts), expected) << testing::PrintToString(arguments);
    }
}

TEST(CommandLine, RefusesValuesOutsideTheDocumentedForms) {
    using args = std::vector<std::string>;
    const std::pair<args, const char*> cases[] = {
        {{"--trend=cubic"}, "--trend"},
        {{"--trend=spline", "--knots=2"}, "3 to 7"},
        {{"--trend=spline", "--knots=8"}, "3 to 7"},
        {{"--trend=spline", "--knots=3.5"}, "3 to 7"},
        {{"--trend=spline", "--knots=0,15"}, "--knots"},
        {{"--trend=spline", "--knots=0,50,15"}, "--knots"},
        {{"--trend=spline", "--knots=0,15,15"}, "--knots"},
        {{"--trend=spline", "--knots=1,2,3,4,5,6,7,8"}, "--knots"},
        {{"--trend=spline", "--at=0,x"}, "--at"},
        {{"--trend=spline", "--reference-dose=1,2"}, "--reference-dose"},
        {{"--covariance=gls"}, "--covariance"},
        {{"--missing-counts=drop"}, "--missing-counts"},
        {{"--open-width=0"}, "--open-width"},
        {{"--open-width=-1"}, "--open-width"},
        {{"--measure=rr"}, "--measure"},
        {{"--trim-and-fill=L1"}, "--trim-and-fill"},
        {{"--trim-and-fill=r0"}, "--trim-and-fill"},
        {{"--moderator="}, "--moderator"},
    };
    for (const auto& [arguments, named] : cases) {
        args line = arguments;
        line.emplace_back("a");
        const parsed_command_line got = parse_command_line(line);
        EXPECT_EQ(got.what, command::refuse) << testing::PrintToString(arguments);
        EXPECT_NE(got.message.find(named), std::string::npos)
            << testing::PrintToString(arguments) << ": " << got.message;
    }
}
