// Feeds arbitrary bytes to every stage after the command line, as the content of
// a setting file, and checks that each run ends in one of the three outcomes.
#include "estimation/run.hpp"

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

bool valid_outcome(int status, const std::string& out, const std::string& err) {
    switch (status) {
    case morvex::exit_complete: // the report ends with the standard error of the slope
        return err.empty() && out.rfind("\nSE(beta)       = ") != std::string::npos &&
               out.back() == '\n';
    case morvex::exit_refused: // nothing, or one located message
        return out.empty() && (err.empty() || (one_line(err) && starts_with(err, "Morvex: f:")));
    case morvex::exit_stopped:
        return one_line(err) &&
               (err == "Abnormal program termination\n" || starts_with(err, "Morvex: "));
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
    return 0;
}
