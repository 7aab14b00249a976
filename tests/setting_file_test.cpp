#include "estimation/setting_file.hpp"

#include "study_text.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace morvex;
using morvex_test::with_line;
using morvex_test::worked_example;

TEST(ParseSettingFile, ReadsTheWorkedExample) {
    const study s = parse_setting_file(worked_example);
    EXPECT_EQ(s.title, "Example study of one exposure in four categories");
    EXPECT_TRUE(s.case_control);
    ASSERT_EQ(s.n, 3);
    EXPECT_EQ(s.M1, 405.0);
    EXPECT_EQ(s.A0, 120.0);
    EXPECT_EQ(s.N0, 300.0);
    const double A[] = {80, 95, 110}, N[] = {190, 210, 220}, x[] = {1.5, 4, 10};
    const double lower[] = {0.75, 0.92, 1.15}, upper[] = {1.61, 1.98, 2.51};
    for (Matrix::size_type i = 0; i < 3; ++i) {
        SCOPED_TRACE("category " + std::to_string(i + 1));
        EXPECT_EQ(s.A(i, 0), A[i]);
        EXPECT_EQ(s.N(i, 0), N[i]);
        EXPECT_EQ(s.x(i, 0), x[i]);
        // Tight enough to tell a divisor of 1.96 from 1.959964.
        const double v = std::pow((std::log(upper[i]) - std::log(lower[i])) / 1.96 / 2, 2);
        EXPECT_NEAR(s.v(i, 0), v, 1e-12 * v);
    }
}

// Windows line ends and limits given upper first describe the same study.
TEST(ParseSettingFile, EquivalentFilesGiveTheSameStudy) {
    std::string crlf;
    for (const char c : worked_example) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    const std::string swapped =
        with_line(with_line(worked_example, 8, "1 1.61 1.98 2.51"), 9, "1 0.75 0.92 1.15");
    const study expected = parse_setting_file(worked_example);
    for (const std::string& text : {crlf, swapped}) {
        const study s = parse_setting_file(text);
        EXPECT_EQ(s.title, expected.title);
        EXPECT_EQ(s.M1, expected.M1);
        for (const auto column : {&study::N, &study::x, &study::A, &study::L, &study::v}) {
            for (Matrix::size_type i = 0; i < 3; ++i) {
                EXPECT_DOUBLE_EQ((s.*column)(i, 0), (expected.*column)(i, 0));
            }
        }
    }
}

TEST(ParseSettingFile, FewerThanNineLinesIsTruncated) {
    const std::string eight_lines = worked_example.substr(0, worked_example.rfind("1 1.61"));
    for (const std::string& content : {eight_lines, std::string()}) {
        EXPECT_THROW(parse_setting_file(content), truncated_setting_file);
    }
}

TEST(ParseSettingFile, RefusalNamesTheLineAtFault) {
    const struct {
        int line;
        const char* text;
    } cases[] = {{3, "1"},
                 {4, "120 80 95 -1"},
                 {5, "300 190 210 110"},
                 {7, "1 1.10 0 1.70"},
                 {9, "1 1.61 1.98"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("line ") + std::to_string(c.line) + " \"" + c.text + "\"");
        try {
            parse_setting_file(with_line(worked_example, c.line, c.text));
            ADD_FAILURE() << "accepted";
        } catch (const setting_error& e) {
            EXPECT_EQ(e.line(), c.line);
        }
    }
}

} // namespace
