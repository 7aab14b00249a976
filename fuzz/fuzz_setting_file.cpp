// Feeds arbitrary bytes to every stage after the command line, as the content of
// a setting file, and checks that each run ends in one of the three outcomes and
// that a complete study, and only one, gives a sound dose-response picture.
#include "estimation/app/run.hpp"
#include "fuzz/svg_check.hpp"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

namespace {

bool one_line(const std::string& s) {
    return !s.empty() && s.back() == '\n' && s.find('\n') == s.size() - 1;
}

bool starts_with(const std::string& s, std::string_view prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// Warnings come first, one line each; `rest` receives what follows them.
bool only_warnings(const std::string& err, std::string& rest) {
    std::size_t pos = 0;
    while (starts_with(err.substr(pos), "Morvex: f:") &&
           err.find(": warning: ", pos) < err.find('\n', pos)) {
        const std::size_t end = err.find('\n', pos);
        if (end == std::string::npos) {
            return false;
        }
        pos = end + 1;
    }
    rest = err.substr(pos);
    return true;
}

bool valid_outcome(int status, const std::string& out, const std::string& err) {
    std::string rest;
    switch (status) {
    case morvex::exit_complete: // the report ends with the standard error of the slope
        return only_warnings(err, rest) && rest.empty() &&
               out.rfind("\nSE(beta)       = ") != std::string::npos && out.back() == '\n';
    case morvex::exit_refused: // one message that names the file
        return out.empty() && one_line(err) && starts_with(err, "Morvex: f:");
    case morvex::exit_stopped:
        return only_warnings(err, rest) && one_line(rest) &&
               (rest == "Abnormal program termination\n" || starts_with(rest, "Morvex: "));
    default:
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    std::ostringstream out;
    std::ostringstream err;
    const int status = morvex::run_setting_text("f", content, out, err);
    if (!valid_outcome(status, out.str(), err.str())) {
        std::abort();
    }
    std::ostringstream quiet;
    morvex::after_studies draw;
    draw.plot = true;
    morvex::session drawn(morvex::output_format::csv, false, quiet, quiet, draw);
    drawn.add_setting_text("f", content);
    drawn.finish();
    const bool complete = drawn.summaries().front().status == morvex::study_status::complete;
    if (drawn.picture().empty() == complete || (complete && !well_formed_svg(drawn.picture()))) {
        std::abort();
    }
    return 0;
}
