// Feeds arbitrary bytes as a table of studies and pools their trend: the first
// byte picks the shape, the number of knots and the one- or two-stage model.
// Each run must end with the pooled trend or the one line that says why there
// is none, no figure of the trend may be printed as nan or inf, and a picture
// of the curve must be well formed.
#include "estimation/app/run.hpp"
#include "fuzz/svg_check.hpp"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

morvex::curve_settings settings_of(std::uint8_t b) {
    morvex::curve_settings s;
    s.shape = b % 3 == 0   ? morvex::trend_shape::linear
              : b % 3 == 1 ? morvex::trend_shape::quadratic
                           : morvex::trend_shape::spline;
    s.knot_count = 3 + (b / 3) % 3;
    s.one_stage = (b / 9) % 2 == 1;
    return s;
}

// "nan" or "inf" standing as a word, in any letter case.
bool non_finite_word(const std::string& line) {
    std::string lower;
    for (const char c : line) {
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (const char* word : {"nan", "inf"}) {
        for (std::size_t at = lower.find(word); at != std::string::npos;
             at = lower.find(word, at + 1)) {
            const bool starts = at == 0 || !std::isalpha(static_cast<unsigned char>(lower[at - 1]));
            const bool ends =
                at + 3 == lower.size() || !std::isalpha(static_cast<unsigned char>(lower[at + 3]));
            if (starts && ends) {
                return true;
            }
        }
    }
    return false;
}

// The trend's section: figures on lines of their own; study labels and
// reasons (which quote the input) are indented.
bool sound_curve(const std::string& out, const std::string& err) {
    // The heading starts a line: a study id may hold the same words.
    const std::size_t heading =
        out.rfind("Pooled trend: ", 0) == 0 ? 0 : out.find("\nPooled trend: ");
    if (heading == std::string::npos) {
        return false;
    }
    const std::size_t start = heading == 0 ? 0 : heading + 1;
    const bool pooled = out.find("\nREML", start) != std::string::npos;
    const bool refused = out.find("\nNo pooled trend: ", start) != std::string::npos &&
                         err.find("Morvex: no pooled trend: ") != std::string::npos;
    if (pooled == refused) {
        return false;
    }
    std::istringstream in(out.substr(start));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("  ", 0) != 0 && line.rfind("No pooled trend: ", 0) != 0 &&
            non_finite_word(line)) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    std::string content(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::ostringstream out;
    std::ostringstream err;
    morvex::after_studies after;
    after.curve = settings_of(data[0]);
    after.plot = (data[0] / 18) % 2 == 1;
    morvex::session run(morvex::output_format::text, false, out, err, after);
    run.add_table_text("f.csv", std::move(content));
    run.finish();
    if (!sound_curve(out.str(), err.str()) ||
        (!run.picture().empty() && !well_formed_svg(run.picture()))) {
        std::abort();
    }
    return 0;
}
