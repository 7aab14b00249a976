#include "estimation/output/block_output.hpp"
#include "estimation/output/json.hpp"
#include "estimation/output/printed_figures.hpp"
#include "estimation/output/text_builder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
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
