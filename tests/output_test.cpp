#include "estimation/output/block_output.hpp"
#include "estimation/output/dose_wording.hpp"
#include "estimation/output/json.hpp"
#include "estimation/output/json_text.hpp"
#include "estimation/output/printed_figures.hpp"
#include "estimation/output/text_builder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Takes at most `room` characters, then refuses, as a full disk or a closed pipe does.
class limited_buffer : public std::stringbuf {
public:
    explicit limited_buffer(std::size_t room) : room_(room) {}

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        const auto taken = std::min<std::streamsize>(n, static_cast<std::streamsize>(room_));
        room_ -= static_cast<std::size_t>(taken);
        return std::stringbuf::xsputn(s, taken);
    }

private:
    std::size_t room_;
};

TEST(TextBuilder, GivesWhatStringAppendsGiveAcrossItsGrowthAndReuse) {
    // Kept room from one use to the next: the second and third uses start
    // where the first left its storage, long, and must not see its text.
    std::string room;
    for (const std::size_t repeat : {std::size_t{1}, std::size_t{700}, std::size_t{3}}) {
        std::string expected;
        {
            morvex::text_builder text(room);
            for (std::size_t k = 0; k < repeat; ++k) {
                text << "piece " << k << ' ' << std::int64_t{-9007199254740993} << ',';
                expected += "piece " + std::to_string(k) + ' ' + "-9007199254740993,";
                const std::string wide(k % 37, static_cast<char>('a' + k % 26));
                text << wide;
                expected += wide;
                // "%*s" with widths below, at and above the piece's length.
                for (const int width : {0, 3, 5, 9}) {
                    text.right("ab" + std::to_string(k), width);
                    char padded[64];
                    std::snprintf(padded, sizeof padded, "%*s", width,
                                  ("ab" + std::to_string(k)).c_str());
                    expected += padded;
                }
                std::snprintf(text.room(40), 40, "<%zu>", k);
                text.used(std::string("<" + std::to_string(k) + ">").size());
                expected += "<" + std::to_string(k) + ">";
            }
            EXPECT_EQ(text.text(), expected) << repeat;
            std::ostringstream out;
            text.pass_on(out);
            EXPECT_EQ(out.str(), expected) << repeat;
            EXPECT_TRUE(text.text().empty()) << repeat;
        }
    }
}

TEST(BlockOutput, PassesEveryPieceOnInOrderWhateverTheBlockSize) {
    const std::string long_piece(200, 'x');
    for (const std::size_t size :
         {std::size_t{1}, std::size_t{3}, std::size_t{64}, std::size_t{1} << 16}) {
        std::ostringstream target;
        morvex::block_buffer buffer(target.rdbuf(), size);
        std::ostream out(&buffer);
        std::string expected;
        for (int k = 0; k < 50; ++k) {
            out << "study " << k << '\n';
            expected += "study " + std::to_string(k) + '\n';
            out.put('|');
            expected += '|';
            if (k % 7 == 0) {
                out.write(long_piece.data(), static_cast<std::streamsize>(long_piece.size()));
                expected += long_piece;
            }
            if (k == 20) {
                // A flush passes on everything so far, as a message on standard error requires.
                out.flush();
                EXPECT_EQ(target.str(), expected) << size;
            }
        }
        out.flush();
        EXPECT_TRUE(out.good()) << size;
        EXPECT_EQ(target.str(), expected) << size;
    }
}

TEST(BlockOutput, MarksTheCallersStreamBadWhenTheTextCannotBeWritten) {
    // room: what the target takes; the text is 3000 characters.
    const std::vector<std::pair<std::size_t, bool>> cases = {
        {0, false}, {10, false}, {2999, false}, {3000, true}, {1 << 20, true}};
    for (const auto& [room, whole] : cases) {
        limited_buffer target(room);
        std::ostream out(&target);
        {
            morvex::block_output blocks(out);
            blocks.stream() << std::string(3000, 'y');
            EXPECT_TRUE(out.good()) << room; // nothing passed on before the block is full
        }
        EXPECT_EQ(out.good(), whole) << room;
        EXPECT_EQ(target.str().size(), std::min<std::size_t>(room, 3000)) << room;
    }
}

TEST(BlockOutput, WritesNumbersAsTheCallersStreamIsSetTo) {
    std::ostringstream target;
    target << std::hex;
    {
        morvex::block_output blocks(target);
        blocks.stream() << 255 << ' ' << 1.5;
    }
    EXPECT_EQ(target.str(), "ff 1.5");
}

} // namespace

namespace {

// A covariance matrix's texts are copied where the same double recurs (its
// mirror, or the variance on its diagonal) and converted where it differs,
// even in the last bit.
TEST(JsonStudy, CovarianceCopiesOnlyTheTextsOfEqualNumbers) {
    morvex::study_result r;
    r.input = "t.csv";
    r.id = "s";
    r.has_data = true;
    r.data.v = morvex::Matrix(2, 1);
    r.data.v(0, 0) = 0.1;
    r.data.v(1, 0) = 0.2;
    r.V = morvex::Matrix(2, 2);
    const struct {
        double cells[4];
        const char* text;
    } cases[] = {
        {{0.1, 0.3, 0.3, 0.2}, "[[0.1, 0.3], [0.3, 0.2]]"},
        {{0.1, 0.3, 0.30000000000000004, 0.25}, "[[0.1, 0.3], [0.30000000000000004, 0.25]]"},
        {{0.10000000000000002, -0.0, 0.0, 0.2}, "[[0.10000000000000002, -0], [0, 0.2]]"},
        {{std::nan(""), 1e300, 1e300, 0.2}, "[[null, 1e+300], [1e+300, 0.2]]"},
    };
    for (const auto& c : cases) {
        for (int k = 0; k < 4; ++k) {
            r.V(static_cast<unsigned>(k / 2), static_cast<unsigned>(k % 2)) = c.cells[k];
        }
        std::ostringstream out;
        morvex::json_writer json(out);
        json.begin();
        json.write(r);
        json.write(r); // a second entry reuses the kept texts' room
        json.end();
        const std::string text = out.str();
        const std::string expected = std::string("\"variances\": [0.1, 0.2]");
        const std::string covariance = std::string("\"covariance\": ") + c.text;
        EXPECT_NE(text.find(expected), std::string::npos) << text;
        const std::size_t first = text.find(covariance);
        ASSERT_NE(first, std::string::npos) << text;
        EXPECT_NE(text.find(covariance, first + 1), std::string::npos) << text;
    }
}

} // namespace

// The rounding a reader sees: an interval with the fewest decimals that keep
// its three figures apart, halves to even as printf.
TEST(PrintedFigures, AsAPaperPrintsThem) {
    const struct {
        double rr, lower, upper;
        const char* shown;
    } intervals[] = {{1.0664928, 1.0386025, 1.0951321, "1.07 1.04 1.10"},
                     {1.0064, 1.0038, 1.0091, "1.006 1.004 1.009"},
                     {1.00064, 1.00038, 1.00091, "1.0006 1.0004 1.0009"},
                     {1.000064, 1.000038, 1.000091, "1.0001 1.0000 1.0001"},
                     {1, 1, 1, "1.00 1.00 1.00"},
                     {1.125, 0.5, 2.5, "1.12 0.50 2.50"}};
    for (const auto& i : intervals) {
        const morvex::printed_interval t = morvex::printed_rr(i.rr, i.lower, i.upper);
        EXPECT_EQ(t.estimate + " " + t.lower + " " + t.upper, i.shown) << i.rr;
    }
    EXPECT_EQ(morvex::printed_percent(50.5), "50%");
    EXPECT_EQ(morvex::printed_statistic(4.779771), "4.78");
    const std::pair<double, const char*> figures[] = {
        {0.006437551, "0.00644"}, {1.3717e-05, "1.37e-05"}, {57.179999541, "57.2"}, {14.25, "14.2"},
        {999.4, "999"},           {999.5, "1000"},          {1234.56, "1235"},      {0, "0"}};
    for (const auto& [value, text] : figures) {
        EXPECT_EQ(morvex::printed_figure(value), text) << value;
    }
}

namespace {

std::string json_string(std::string_view text) {
    std::ostringstream out;
    morvex::write_json_string(out, text);
    return out.str();
}

std::string json_number(double value) {
    std::string room;
    morvex::text_builder built(room);
    morvex::append_json_number(built, value);
    std::ostringstream out;
    built.pass_on(out);
    std::ostringstream written;
    morvex::write_json_number(written, value);
    EXPECT_EQ(written.str(), out.str()) << value;
    return out.str();
}

} // namespace

// Whatever a title or an id holds, the JSON stays valid: the quote, the
// backslash and every control character (DEL and NUL too) escaped, UTF-8 kept.
TEST(JsonText, EscapesEveryControlCharacterAndKeepsUtf8) {
    const std::pair<std::string, const char*> strings[] = {
        {"", "\"\""},
        {"plain text", "\"plain text\""},
        {"say \"hi\" \\ bye", "\"say \\\"hi\\\" \\\\ bye\""},
        {"a\nb\rc\td", "\"a\\nb\\rc\\td\""},
        {std::string("\0\x01\x08\x0c\x1f\x7f", 6),
         "\"\\u0000\\u0001\\u0008\\u000c\\u001f\\u007f\""},
        {"caf\xc3\xa9 \xe2\x82\xac 10 \xf0\x9f\x8d\xba",
         "\"caf\xc3\xa9 \xe2\x82\xac 10 \xf0\x9f\x8d\xba\""},
        {" \x1f~", "\" \\u001f~\""},
    };
    for (const auto& [text, json] : strings) {
        EXPECT_EQ(json_string(text), json);
    }
    const std::pair<double, const char*> numbers[] = {
        {0.1, "0.1"},
        {-2.5, "-2.5"},
        {1e21, "1e+21"},
        {5e-324, "5e-324"},
        {0.30000000000000004, "0.30000000000000004"},
        {NAN, "null"},
        {HUGE_VAL, "null"},
        {-HUGE_VAL, "null"},
        {1.7976931348623157e308, "1.7976931348623157e+308"}};
    for (const auto& [value, text] : numbers) {
        EXPECT_EQ(json_number(value), text);
    }
}

// The rule's edges: halves of the binary value as printf rounds them (0.125 is
// exact, so to even; 1.005 is 1.00499999999999989...), the change to whole units
// at 999.5, and the decimals added only where the figures would meet.
TEST(PrintedFigures, RoundsAtTheHalvesAsTheBinaryValueLies) {
    const std::pair<double, const char*> statistics[] = {
        {0.125, "0.12"}, {0.375, "0.38"}, {1.005, "1.00"}, {2.675, "2.67"}, {-1.955, "-1.96"}};
    for (const auto& [value, text] : statistics) {
        EXPECT_EQ(morvex::printed_statistic(value), text) << value;
    }
    const std::pair<double, const char*> percents[] = {
        {0.5, "0%"}, {1.5, "2%"}, {2.5, "2%"}, {99.5, "100%"}, {0, "0%"}};
    for (const auto& [value, text] : percents) {
        EXPECT_EQ(morvex::printed_percent(value), text) << value;
    }
    const std::pair<double, const char*> figures[] = {
        {-999.5, "-1000"}, {-999.4, "-999"},         {0.0012345, "0.00123"},
        {99.95, "100"},    {123456789, "123456789"}, {-0.000125, "-0.000125"}};
    for (const auto& [value, text] : figures) {
        EXPECT_EQ(morvex::printed_figure(value), text) << value;
    }
    // At two decimals 0.995 (0.99499999...) prints 0.99 but 1.005 (1.00499999...)
    // prints 1.00, the estimate's figure: three decimals are needed.
    const morvex::printed_interval i = morvex::printed_rr(1.0, 0.995, 1.005);
    EXPECT_EQ(i.lower + " " + i.estimate + " " + i.upper, "0.995 1.000 1.005");
}

// One wording of the dose for every writer; a --unit that is a whole label (the
// word "per" on its own) is used as it stands, "per" inside a word is a unit.
TEST(DoseWording, NamesTheIncrementUnitAndMeasureOnce) {
    using morvex::outcome_measure;
    const struct {
        std::optional<double> increment;
        const char* unit;
        outcome_measure measure;
        const char *rr_per, *per_dose, *axis;
    } cases[] = {
        {100, "g/day", outcome_measure::relative_risk, "RR per 100 g/day", "per g/day",
         "Dose (g/day)"},
        {{}, "g/day", outcome_measure::relative_risk, "RR per g/day", "per g/day", "Dose (g/day)"},
        {100, "", outcome_measure::relative_risk, "RR per 100 units of dose", "per unit of dose",
         "Dose"},
        {{}, "", outcome_measure::relative_risk, "RR per unit of dose", "per unit of dose", "Dose"},
        {0.5, "mg", outcome_measure::mean_difference, "MD per 0.5 mg", "per mg", "Dose (mg)"},
        {2, "cups", outcome_measure::standardised_mean_difference, "SMD per 2 cups", "per cups",
         "Dose (cups)"},
        {10, "Relative risk per 10 g/day", outcome_measure::relative_risk,
         "Relative risk per 10 g/day", "per unit of dose", "Dose"},
        {{},
         "per-cent units",
         outcome_measure::relative_risk,
         "per-cent units",
         "per unit of dose",
         "Dose"},
        {{},
         "percent",
         outcome_measure::relative_risk,
         "RR per percent",
         "per percent",
         "Dose (percent)"},
        // The increment as given, never rounded to six digits (1.23457e+06).
        {1234567, "", outcome_measure::relative_risk, "RR per 1234567 units of dose",
         "per unit of dose", "Dose"},
        {100000, "g", outcome_measure::relative_risk, "RR per 100000 g", "per g", "Dose (g)"},
        {0.1, "", outcome_measure::relative_risk, "RR per 0.1 units of dose", "per unit of dose",
         "Dose"},
        {{},
         "mg copper",
         outcome_measure::relative_risk,
         "RR per mg copper",
         "per mg copper",
         "Dose (mg copper)"},
    };
    for (const auto& c : cases) {
        const morvex::dose_wording w{c.increment, c.unit, c.measure};
        EXPECT_EQ(morvex::rr_per_text(w), c.rr_per) << c.unit;
        EXPECT_EQ(morvex::per_dose_text(w), c.per_dose) << c.unit;
        EXPECT_EQ(morvex::dose_axis_text(w), c.axis) << c.unit;
    }
}

namespace {

// RFC 3629: shortest forms only, no surrogates, nothing past U+10FFFF.
bool valid_utf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t n = c < 0x80                 ? 1
                              : c >= 0xc2 && c <= 0xdf ? 2
                              : c >= 0xe0 && c <= 0xef ? 3
                              : c >= 0xf0 && c <= 0xf4 ? 4
                                                       : 0;
        if (n == 0 || i + n > s.size()) {
            return false;
        }
        std::uint32_t code = n == 1 ? c : c & (0x7f >> n);
        for (std::size_t k = 1; k < n; ++k) {
            const auto next = static_cast<unsigned char>(s[i + k]);
            if ((next & 0xc0) != 0x80) {
                return false;
            }
            code = code << 6 | (next & 0x3f);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[n] || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff) {
            return false;
        }
        i += n;
    }
    return true;
}

} // namespace

// JSON text is UTF-8 (RFC 8259), and a table's id or a file's title may come in
// Latin-1 or cut mid-character: whatever the bytes, the document must stay
// readable by a strict parser, and valid UTF-8 must pass unchanged.
TEST(JsonText, StaysValidUtf8WhateverTheInputBytes) {
    const char* const bytes[] = {
        "M\xfcller",        "\xc3",   "\xc3\x28", "\xed\xa0\x80", "\xc0\xaf",
        "\xf5\x80\x80\x80", "ab\xff", "\x80x",    "\xe2\x82",     "\xf0\x9f\x8d"};
    for (const char* text : bytes) {
        ASSERT_FALSE(valid_utf8(text)) << text;
        EXPECT_TRUE(valid_utf8(json_string(text))) << json_string(text);
    }
    for (const char* text :
         {"caf\xc3\xa9", "\xe2\x89\xa5 30", "\xf4\x8f\xbf\xbf", "\xef\xbb\xbf"}) {
        ASSERT_TRUE(valid_utf8(text)) << text;
        EXPECT_EQ(json_string(text), std::string("\"") + text + "\"");
    }
}
