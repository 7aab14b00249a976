// The portable number text against the library's std::to_chars, character for
// character: the WebAssembly build writes its numbers with it.
#include "estimation/base/format.hpp"
#include "estimation/base/number_text.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

template <class... Format>
std::string library(double value, Format... format) {
    std::vector<char> buffer(800);
    const auto result =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, format...);
    return std::string(buffer.data(), result.ptr);
}

// Edge values: zeros, the ends of the range, powers of two and ten and their
// neighbours (where the decimals that read back are not centred on the value),
// whole numbers beyond 2^53, and values near the switch between notations.
std::vector<double> edge_values() {
    std::vector<double> values = {0.0,
                                  std::numeric_limits<double>::denorm_min(),
                                  std::numeric_limits<double>::min(),
                                  std::numeric_limits<double>::max(),
                                  9007199254740993.0,
                                  123456789012345680000.0,
                                  1e21,
                                  1e22,
                                  1e23,
                                  0.1,
                                  0.3,
                                  0.001,
                                  0.0001,
                                  1234e-7,
                                  1234e5,
                                  99999.5,
                                  0.00099999};
    for (int k = -1074; k <= 1023; ++k) {
        const double v = std::ldexp(1.0, k);
        values.insert(values.end(), {v, std::nextafter(v, 0.0), std::nextafter(v, HUGE_VAL)});
    }
    for (int k = -323; k <= 308; ++k) {
        const double v = std::pow(10.0, k);
        values.insert(values.end(), {v, std::nextafter(v, 0.0), std::nextafter(v, HUGE_VAL),
                                     1.5 * v, 9.999999999999999 * v});
    }
    values.erase(
        std::remove_if(values.begin(), values.end(), [](double v) { return !std::isfinite(v); }),
        values.end());
    return values;
}

// Every finite bit pattern is as likely as another, and so are the values a
// report prints: doses, rounded figures and slopes.
std::vector<double> random_values(std::size_t count) {
    std::mt19937_64 bits(20261207);
    std::uniform_real_distribution<double> everyday(-1e6, 1e6);
    std::vector<double> values;
    while (values.size() < count) {
        const std::uint64_t pattern = bits();
        double v = 0.0;
        std::memcpy(&v, &pattern, sizeof v);
        if (std::isfinite(v)) {
            values.push_back(v);
        }
        const double e = everyday(bits);
        values.insert(values.end(), {e, std::round(e), std::round(e * 100.0) / 100.0, e * 1e-9});
    }
    return values;
}

void expect_library_text(const std::vector<double>& values) {
    int mismatches = 0;
    for (const double magnitude : values) {
        for (const double v : {magnitude, -magnitude}) {
            const std::string expected = std::isfinite(v) ? library(v) : std::string();
            const std::string got = morvex::portable::shortest(v);
            if (got != expected && ++mismatches <= 10) {
                ADD_FAILURE() << "shortest " << expected << ": got " << got;
            }
            for (const int precision : {0, 2, 3, 6}) {
                if (std::fabs(v) < 1e30 &&
                    morvex::portable::fixed(v, precision) !=
                        library(v, std::chars_format::fixed, precision) &&
                    ++mismatches <= 10) {
                    ADD_FAILURE() << "fixed " << precision << ' ' << expected;
                }
            }
            for (const int precision : {3, 6}) {
                if (morvex::portable::general(v, precision) !=
                        library(v, std::chars_format::general, precision) &&
                    ++mismatches <= 10) {
                    ADD_FAILURE() << "general " << precision << ' ' << expected;
                }
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(PortableNumberText, SameCharactersAsToCharsAtTheEdges) {
    expect_library_text(edge_values());
    EXPECT_EQ(morvex::portable::shortest(-0.0), "-0");
    EXPECT_EQ(morvex::portable::shortest(std::nan("")), "");
    EXPECT_EQ(morvex::portable::shortest(-HUGE_VAL), "");
}

TEST(PortableNumberText, SameCharactersAsToCharsOnRandomValues) {
    expect_library_text(random_values(150000));
}

TEST(PortableNumberText, DecimalPointWhateverTheLocale) {
    // A locale with a decimal comma, where the machine has one.
    const char* names[] = {"de_DE.UTF-8", "fr_FR.UTF-8", "C.UTF-8"};
    for (const char* name : names) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr) {
            EXPECT_EQ(morvex::portable::shortest(0.25), "0.25") << name;
            EXPECT_EQ(morvex::portable::fixed(2.5, 2), "2.50") << name;
            EXPECT_EQ(morvex::portable::general(1234.5678, 6), "1234.57") << name;
        }
    }
    std::setlocale(LC_NUMERIC, "C");
}

TEST(PortableNumberText, ReadsDecimalsAsFromChars) {
    std::vector<std::string> texts = {"0",
                                      "0.0",
                                      "0e-999",
                                      "1e-400",
                                      "1e-310",
                                      "2.5e-324",
                                      "2.4e-324",
                                      "1e-320",
                                      "1e400",
                                      "-1e-400",
                                      "1e-307",
                                      "0.1",
                                      "123.456",
                                      ".5",
                                      "5.",
                                      "1E5",
                                      "-7.25e-3",
                                      "1e308",
                                      "1e309",
                                      "9007199254740993",
                                      "1.7976931348623158e308",
                                      "1.7976931348623159e308",
                                      "2.2250738585072011e-308",
                                      "4.9406564584124654e-324"};
    for (const double v : random_values(20000)) {
        texts.push_back(library(v));
        texts.push_back(morvex::portable::general(v, 12));
    }
    for (const std::string& text : texts) {
        double expected = 0.0;
        const auto result = std::from_chars(text.data(), text.data() + text.size(), expected);
        double got = -1.0;
        const bool ok = morvex::portable::read_decimal(text, got);
        EXPECT_EQ(ok, result.ec != std::errc::result_out_of_range) << text;
        if (ok) {
            EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << text;
        }
    }
}

// The report's fixed-width columns, formatted without printf, against printf's
// own "%*lg", with the widths the report uses and values beyond them.
TEST(ReportColumns, SameCharactersAsPrintf) {
    std::vector<double> values = edge_values();
    const std::vector<double> more = random_values(20000);
    values.insert(values.end(), more.begin(), more.end());
    values.insert(values.end(),
                  {HUGE_VAL,  std::nan(""), 999999.5,  9999995.0, 0.000099999949, 0.0000999999,
                   123456.5,  1e-5,         1e-4,      1e6,       1e15,           1.0000005,
                   0.0,       7.0,          10000.0,   99999.0,   100000.0,       999999.0,
                   2.0000015, 0.1234565,    1234565.0, 1234575.0, 9.9999949999});
    // Halfway between two six-digit decimals and the doubles either side, in
    // every decade the integer rounding serves and just beyond it.
    for (int p = -20; p <= 17; ++p) {
        for (const double digits : {100000.5, 123456.5, 999999.5, 500000.5, 314159.5}) {
            const double middle = digits * std::pow(10.0, p - 5);
            values.insert(values.end(),
                          {middle, std::nextafter(middle, 0.0), std::nextafter(middle, HUGE_VAL)});
        }
    }
    int mismatches = 0;
    for (const double magnitude : values) {
        for (const double v : {magnitude, -magnitude}) {
            for (const int width : {0, 6, 9, 14}) {
                char expected[64];
                std::snprintf(expected, sizeof expected, "%*lg", width, v);
                std::string got;
                morvex::append_general(got, v, width);
                if (got != expected && ++mismatches <= 10) {
                    ADD_FAILURE() << width << ": " << expected << " but " << got;
                }
            }
            char text[morvex::number_chars];
            const std::string whole = morvex::shortest(v);
            if (whole != std::string(text, morvex::shortest_chars(v, text)) && ++mismatches <= 10) {
                ADD_FAILURE() << whole;
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
    std::string line = "x";
    morvex::append_right(line, "NA", 9);
    morvex::append_right(line, "longer than 3", 3);
    EXPECT_EQ(line, "x       NAlonger than 3");
}

// Decimals of one and two places, as doses and half persons are, the doubles
// either side of them, and those at the edges of the range the shortcut for
// them serves: the text the program writes against the library's own.
TEST(ShortestText, SameCharactersAsToCharsForFewDecimals) {
    std::vector<double> values = {0.05,   0.5,     0.01,     0.1,    0.99, 9999.99, 9999.95,
                                  9999.9, 10000.5, 10000.05, 1234.5, 0.3,  2.675,   1e-2};
    for (std::uint32_t m = 0; m < 1000000; m += (m < 30000 ? 1 : 97)) {
        for (const double scale : {10.0, 100.0}) {
            const double v = static_cast<double>(m) / scale;
            values.insert(values.end(), {v, std::nextafter(v, 0.0), std::nextafter(v, HUGE_VAL)});
        }
    }
    int mismatches = 0;
    for (const double magnitude : values) {
        for (const double v : {magnitude, -magnitude}) {
            char text[morvex::number_chars];
            const std::string got(text, morvex::shortest_chars(v, text));
            if (got != library(v) && ++mismatches <= 10) {
                ADD_FAILURE() << library(v) << " but " << got;
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}

} // namespace
