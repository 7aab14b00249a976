#include "estimation/number.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using morvex::number_status;
constexpr number_status ok = number_status::ok;
constexpr number_status bad = number_status::not_a_number;
constexpr number_status huge = number_status::out_of_range;

TEST(ParseNumber, TakesWholeDecimalTokensOnly) {
    const struct {
        const char* token;
        number_status status;
        double value;
    } cases[] = {{"1", ok, 1.0},     {"-2.5", ok, -2.5}, {"+3", ok, 3.0},    {"1e3", ok, 1000.0},
                 {"1E-3", ok, 1e-3}, {".5", ok, 0.5},    {"5.", ok, 5.0},    {"0", ok, 0.0},
                 {"", bad, 0.0},     {"1,5", bad, 0.0},  {"abc", bad, 0.0},  {"12abc", bad, 0.0},
                 {"inf", bad, 0.0},  {"nan", bad, 0.0},  {"0x10", bad, 0.0}, {"1\t2", bad, 0.0},
                 {"1e", bad, 0.0},   {"e5", bad, 0.0},   {".", bad, 0.0},    {"+", bad, 0.0},
                 {"1 ", bad, 0.0},   {"1e999", huge, 0}, {"-1e999", huge, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("token \"") + c.token + "\"");
        const morvex::parsed<double> got = morvex::parse_number(c.token);
        EXPECT_EQ(got.status, c.status);
        if (c.status == ok) {
            EXPECT_DOUBLE_EQ(got.value, c.value);
        }
    }
}

// `text` is what a refusal quotes, so it is checked with the value.
TEST(ParseLeadingInteger, ReadsTheIntegerAtTheStartOfTheLine) {
    const struct {
        const char* line;
        number_status status;
        long long value;
        const char* text;
    } cases[] = {{"4", ok, 4, "4"},
                 {"  4 categories", ok, 4, "4"},
                 {"+4", ok, 4, "+4"},
                 {"-3", ok, -3, "-3"},
                 {"abc", bad, 0, ""},
                 {"", bad, 0, ""},
                 {"99999999999999999999", huge, 0, "99999999999999999999"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("line \"") + c.line + "\"");
        std::string_view text = "unset";
        const morvex::parsed<long long> got = morvex::parse_leading_integer(c.line, text);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(text, c.text);
        if (c.status == ok) {
            EXPECT_EQ(got.value, c.value);
        }
    }
}

} // namespace
