// Feeds arbitrary bytes as a table of studies, pooled and drawn, and checks that
// each run ends in complete results, refusals or stops: every study one CSV row,
// a message on standard error for each one that was not estimated, the pooled
// rows or the one line that says why there are none, and a sound picture of the
// complete studies.
#include "estimation/app/run.hpp"
#include "fuzz/svg_check.hpp"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

// Each line on standard error is one message naming the program, or the
// abnormal end; besides the warnings and notes, there is one per study that was not
// estimated.
bool messages(const std::string& err, std::size_t expected) {
    std::istringstream in(err);
    std::size_t count = 0;
    for (std::string line; std::getline(in, line); ++count) {
        if (line.rfind("Morvex: no pooling: ", 0) == 0) {
            --count; // checked with the pooled rows
            continue;
        }
        if (line.rfind("Morvex: f.csv", 0) != 0 && line != "Abnormal program termination") {
            return false;
        }
        // "Morvex: f.csv:LINE: warning: ..." or "note: ...", not a quoted value that says so.
        const std::size_t digits = line.find_first_not_of("0123456789", 14);
        if (line.rfind("Morvex: f.csv:", 0) == 0 && digits > 14 && digits != std::string::npos &&
            (line.compare(digits, 11, ": warning: ") == 0 ||
             line.compare(digits, 8, ": note: ") == 0)) {
            --count; // warnings and notes come on top of the one message per study
        }
    }
    return count == expected && (err.empty() || err.back() == '\n');
}

bool valid_outcome(int status, const morvex::session& run, const std::string& out,
                   const std::string& err) {
    std::size_t unestimated = 0;
    std::size_t pooled = 0;
    for (const morvex::study_summary& s : run.summaries()) {
        unestimated +=
            s.status == morvex::study_status::refused || s.status == morvex::study_status::stopped;
        unestimated += s.more_faults; // a refused study's other faulty rows, one line each
        pooled += s.status == morvex::study_status::complete;
    }
    // The CSV holds the study rows only; with fewer than 2 complete studies the
    // reason there is no pooling goes to standard error.
    const bool pooling = pooled >= 2 || err.find("Morvex: no pooling: ") != std::string::npos;
    // A picture exactly when there is a complete study to draw.
    const bool picture = run.picture().empty() == (pooled == 0) &&
                         run.picture().empty() != run.picture_problem().empty() &&
                         (run.picture().empty() || well_formed_svg(run.picture()));
    // A table of cases names each row's design; a table of means, its measure.
    const bool header =
        out.rfind("input,id,design,", 0) == 0 || out.rfind("input,id,measure,", 0) == 0;
    const bool complete = header && !run.summaries().empty() && pooling && picture;
    switch (status) {
    case morvex::exit_complete:
        return complete && unestimated == 0 && messages(err, 0);
    case morvex::exit_partial:
        return complete && unestimated > 0 && messages(err, unestimated);
    default:
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string content(reinterpret_cast<const char*>(data), size);
    std::ostringstream out;
    std::ostringstream err;
    // Each covariance and way with missing counts and open doses, by the input's size.
    const morvex::covariance_kind kinds[] = {morvex::covariance_kind::gl,
                                             morvex::covariance_kind::hamling,
                                             morvex::covariance_kind::indep};
    const morvex::study_method method{kinds[size % 3], size % 2 == 1, size % 3 != 0,
                                      size % 5 == 0 ? 2.0 : 1.0};
    morvex::after_studies after;
    after.pool = true;
    after.plot = true;
    after.increment = 10.0;
    morvex::session run(morvex::output_format::csv, false, out, err, after, method);
    run.add_table_text("f.csv", std::move(content));
    const int status = run.finish();
    if (!valid_outcome(status, run, out.str(), err.str())) {
        std::abort();
    }
    return 0;
}
