#include "estimation/output/atomic_file.hpp"
#include "estimation/output/svg/canvas.hpp"
#include "estimation/output/svg/dose_response_plot.hpp"
#include "estimation/output/svg/forest_plot.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace {

using namespace morvex;
namespace fs = std::filesystem;

TEST(Svg, TextIsEscapedAndValidUtf8) {
    const std::pair<std::string, std::string> cases[] = {
        {"a & b <c> \"d\" 'e'", "a &amp; b &lt;c&gt; &quot;d&quot; &apos;e&apos;"},
        {"tab\there\nline\r\x01\x7f", "tab here line   "},
        {"M\xC3\xBCller \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x8D\xB7",
         "M\xC3\xBCller \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x8D\xB7"},
        {"\xff", "\xEF\xBF\xBD"},                                 // not UTF-8 at all
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                 // overlong '/'
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // a surrogate
        {"\xEF\xBF\xBE", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // U+FFFE, not allowed in XML
        {"\xC2\x85x", " x"},                                      // a C1 control
        {"ab\xE6\x97", "ab\xEF\xBF\xBD\xEF\xBF\xBD"},             // cut off at the end
    };
    for (const auto& [text, escaped] : cases) {
        EXPECT_EQ(xml_escape(text), escaped) << text;
    }
    const std::tuple<std::string, std::size_t, std::string> shortened[] = {
        {"Study 1", 7, "Study 1"},
        {"Study 12", 7, "Study\xE2\x80\xA6"}, // the space before the ellipsis goes
        {"\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC", 3, "\xC3\xBC\xC3\xBC\xE2\x80\xA6"},
        {"abc", 0, ""}};
    for (const auto& [text, limit, want] : shortened) {
        EXPECT_EQ(shorten(text, limit), want) << text;
    }
}

std::string forest(const forest_plot& p) {
    std::ostringstream out;
    write_forest_plot(out, p);
    return out.str();
}

std::string dose_response(const dose_response_plot& p) {
    std::ostringstream out;
    write_dose_response_plot(out, p);
    return out.str();
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// The tick labels of the bottom axis: centred text 21 units above the axis label.
std::vector<std::pair<double, std::string>> axis_labels(const std::string& svg) {
    static const std::regex label(
        R"re(<text x="([-0-9.]+)" y="([-0-9.]+)" text-anchor="middle">([^<]*)</text>)re");
    std::vector<std::tuple<double, double, std::string>> all;
    for (std::sregex_iterator i(svg.begin(), svg.end(), label), end; i != end; ++i) {
        all.emplace_back(std::stod((*i)[2]), std::stod((*i)[1]), (*i)[3]);
    }
    std::vector<std::pair<double, std::string>> ticks;
    for (const auto& [y, x, text] : all) {
        if (std::fabs(y - (std::get<0>(all.back()) - 21)) < 0.01) {
            ticks.emplace_back(x, text);
        }
    }
    return ticks;
}

TEST(Svg, ForestPlotsOfAnyShapeStayFiniteReadableAndInside) {
    const auto rows = [](std::vector<std::vector<double>> values) {
        std::vector<forest_row> r;
        for (const std::vector<double>& v : values) {
            r.push_back({"Study " + std::to_string(r.size() + 1), v[0], v[1], v[2], v[3]});
        }
        return r;
    };
    const struct {
        const char* name;
        std::vector<forest_row> rows;
        std::optional<double> increment;
        std::size_t arrows;
        std::size_t off_scale = 0; // estimates beyond the axis: no square
    } cases[] = {
        {"one row", rows({{0.1, 0.05, 0.15, 100}}), std::nullopt, 0},
        {"all equal, zero width", rows({{0, 0, 0, 50}, {0, 0, 0, 50}}), std::nullopt, 0},
        {"all equal, on the RR scale", rows({{2, 2, 2, 50}, {2, 2, 2, 50}}), 10.0, 0},
        {"a huge interval", rows({{0.01, 0, 0.02, 90}, {0.02, -1e300, 1e300, 10}}), std::nullopt,
         2},
        {"not finite", rows({{0.01, 0, 0.02, 90}, {0.02, -HUGE_VAL, NAN, NAN}}), std::nullopt, 2},
        {"RR overflow", rows({{1, 0, 2, 90}, {3, -1e308, 1e308, 10}}), 100.0, 2},
        {"tiny slopes", rows({{1e-9, 5e-10, 2e-9, 50}, {3e-9, 2e-9, 4e-9, 50}}), std::nullopt, 0},
        {"large negative", rows({{-5e6, -6e6, -4e6, 50}, {-1e6, -2e6, 0, 50}}), std::nullopt, 0},
        {"far from 0, narrow", rows({{1e20, 1e20, 1e20 + 1e6, 50}}), std::nullopt, 0},
        {"RR 1, narrow", rows({{1e-300, 0, 2e-300, 50}, {0, 0, 0, 50}}), 1.0, 0},
        {"RR per 10", rows({{0.0434, 0.0, 0.09, 60}, {0.203, 0.0176, 0.388, 40}}), 10.0, 0},
        {"RR off the scale", rows({{1, 0, 2, 90}, {10, 9, 11, 10}}), 100.0, 1, 1},
    };
    for (const auto& c : cases) {
        forest_plot p;
        p.rows = c.rows;
        p.increment = c.increment;
        p.summaries = {{"Pooled", c.rows[0].estimate, c.rows[0].lower, c.rows[0].upper, 100}};
        const std::string svg = forest(p);
        std::string lower = svg;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        EXPECT_EQ(lower.find("nan"), std::string::npos) << c.name;
        EXPECT_EQ(lower.find("inf"), std::string::npos) << c.name;
        // One square per study with a finite estimate in range, one diamond, arrowheads
        // where an interval is cut off.
        EXPECT_EQ(count(svg, "<polygon"), 1 + c.arrows) << c.name;
        EXPECT_EQ(count(svg, "fill=\"#1f3f6e\""), c.rows.size() - c.off_scale) << c.name;
        const auto labels = axis_labels(svg);
        EXPECT_GE(labels.size(), 2U) << c.name;
        // The dashed no-effect line stands on the tick of a slope 0 or an RR 1.
        std::smatch line;
        ASSERT_TRUE(
            std::regex_search(svg, line, std::regex("<line x1=\"([-0-9.]+)\"[^>]*dasharray")));
        const char* no_effect = c.increment ? "1" : "0";
        for (const auto& [x, text] : labels) {
            if (text == no_effect) {
                EXPECT_NEAR(std::stod(line[1]), x, 0.01) << c.name;
            }
        }
        for (std::size_t i = 1; i < labels.size(); ++i) {
            const double room = 0.5 * 7.8 * (labels[i].second.size() + labels[i - 1].second.size());
            EXPECT_GE(labels[i].first - labels[i - 1].first, room)
                << c.name << ": ticks " << labels[i - 1].second << " and " << labels[i].second;
        }
    }
}

TEST(Svg, ForestPlotGrowsWithRowsAndSizesSquaresByWeight) {
    forest_plot p;
    const auto height = [](const std::string& svg) {
        std::smatch m;
        std::regex_search(svg, m, std::regex("height=\"([0-9.]+)\""));
        return std::stod(m[1]);
    };
    // A shortened label keeps its start and its end, the year.
    p.rows = {{"<Heavy & \"long\">" + std::string(60, 'x') + ", 1998", 0.1, 0.0, 0.2, 80},
              {"Light", 0.2, 0.1, 0.3, 20}};
    const std::string two = forest(p);
    EXPECT_NE(two.find("&lt;Heavy &amp; &quot;long&quot;&gt;xxxx"), std::string::npos);
    EXPECT_NE(two.find("x\xE2\x80\xA6 1998</text>"), std::string::npos);
    EXPECT_EQ(two.find(std::string(40, 'x')), std::string::npos);
    std::smatch m;
    std::vector<double> sides;
    std::string rest = two;
    while (std::regex_search(
        rest, m, std::regex("width=\"([0-9.]+)\" height=\"[0-9.]+\" fill=\"#1f3f6e\""))) {
        sides.push_back(std::stod(m[1]));
        rest = m.suffix();
    }
    ASSERT_EQ(sides.size(), 2U);
    EXPECT_NEAR(sides[0] * sides[0] / (sides[1] * sides[1]), 4.0, 0.01); // area, not side
    p.rows.resize(200, p.rows[1]);
    EXPECT_NEAR(height(forest(p)) - height(two), 198 * 22.0, 1e-9);
}

TEST(Svg, DoseResponsePlotBandPointsAndDegenerateInput) {
    dose_response_plot p;
    p.title = "Alcohol & breast cancer";
    p.beta = 0.0454288;
    p.se = 0.0206635;
    p.points = {{0, 1, 1, 1, true},
                {2, 0.8, 0.51, 1.27, false},
                {6, 1.16, 0.73, 1.85, false},
                {11, 1.57, 0.99, 2.51, false}};
    const std::string svg = dose_response(p);
    EXPECT_NE(svg.find("Alcohol &amp; breast cancer"), std::string::npos);
    EXPECT_EQ(count(svg, "<circle"), 4U + 1U);                  // the categories and the legend's
    EXPECT_EQ(count(svg, "fill=\"#fff\" stroke=\"#000\""), 1U); // the reference, hollow
    EXPECT_EQ(count(svg, "clip-path=\"url(#plot-area)\""), 1U);
    for (const char* tick : {">0.5<", ">1<", ">2<", ">0<", ">10<"}) {
        EXPECT_NE(svg.find(tick), std::string::npos) << tick;
    }
    dose_response_plot flat;
    flat.points = {{0, 1, 1, 1, true}, {0, 1, 1, 1, false}};
    dose_response_plot wild = p;
    wild.se = 1e200;
    wild.beta = NAN;
    wild.points[2] = {HUGE_VAL, 0, 0, HUGE_VAL, false};
    for (const dose_response_plot& d : {flat, wild}) {
        std::string lower = dose_response(d);
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        EXPECT_EQ(lower.find("nan"), std::string::npos) << lower;
        EXPECT_EQ(lower.find("inf"), std::string::npos) << lower;
    }
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(AtomicFile, ReplacesWholeOrLeavesNothingBehind) {
    const fs::path folder =
        fs::temp_directory_path() / ("morvex-atomic-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder / "a-folder");
    const fs::path target = folder / "plot.svg";
    std::ofstream(target) << std::string(100000, 'o'); // longer than what replaces it
    EXPECT_EQ(write_file_atomically(target.string(), "<svg/>\n"), "");
    EXPECT_EQ(slurp(target), "<svg/>\n");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::others_read, fs::perms::others_read);

    const std::pair<fs::path, const char*> failures[] = {
        {folder / "missing" / "plot.svg", "No such file or directory"},
        {target / "plot.svg", "Not a directory"},
        {folder / "a-folder", "Is a directory"}}; // the temporary is written, then cannot replace
    for (const auto& [path, reason] : failures) {
        const std::string got = write_file_atomically(path.string(), "<svg/>\n");
        EXPECT_NE(got.find(reason), std::string::npos) << got;
    }
    // Nothing left but the picture and the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
    EXPECT_TRUE(fs::is_empty(folder / "a-folder"));

    // same_file: one file by any name, never two files or a missing one.
    fs::create_hard_link(target, folder / "hard");
    fs::create_symlink(target, folder / "soft");
    std::ofstream(folder / "other") << "<svg/>\n";
    EXPECT_TRUE(same_file(target.string(), (folder / "hard").string()));
    EXPECT_TRUE(same_file(target.string(), (folder / "soft").string()));
    EXPECT_TRUE(same_file(target.string(), (folder / "." / "plot.svg").string()));
    EXPECT_FALSE(same_file(target.string(), (folder / "other").string()));
    EXPECT_FALSE(same_file(target.string(), (folder / "missing").string()));
    fs::remove_all(folder);
}

} // namespace
