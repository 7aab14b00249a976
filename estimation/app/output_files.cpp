#include "estimation/app/output_files.hpp"

#include "estimation/base/format.hpp"
#include "estimation/output/atomic_file.hpp"

#include <algorithm>
#include <tuple>

namespace morvex {

bool write_outputs(const options& opts, const session& s, std::ostream& err) {
    const std::tuple<const std::string*, const std::string*, const std::string*> files[] = {
        {&opts.plot, &s.picture(), &s.picture_problem()},
        {&opts.funnel, &s.funnel(), &s.funnel_problem()},
        {&opts.summary, &s.summary(), &s.picture_problem()},
        {&opts.paragraph, &s.paragraph(), &s.picture_problem()},
        {&opts.bubble, &s.bubble(), &s.bubble_problem()},
        {&opts.residuals, &s.residuals(), &s.residuals_problem()}};
    bool written = true;
    for (const auto& [name, content, reason] : files) {
        if (name->empty()) {
            continue;
        }
        const std::string problem =
            content->empty() ? *reason : write_file_atomically(*name, *content);
        if (!problem.empty()) {
            err << "Morvex: " << printable(*name) << ": cannot write: " << problem << '\n';
            written = false;
        }
    }
    return written;
}

// An output must never replace an input, by the same name or another path to
// it, nor another output.
std::string output_conflict(const options& opts) {
    const auto outputs = opts.outputs();
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const char* const option = outputs[i].first;
        const std::string& name = outputs[i].second;
        const auto input =
            std::find_if(opts.inputs.begin(), opts.inputs.end(),
                         [&](const auto& in) { return in == name || same_file(in, name); });
        if (input != opts.inputs.end()) {
            const std::string what = option;
            return printable(name) + ": " +
                   (what == "--summary"     ? "the summary table"
                    : what == "--paragraph" ? "the paragraph"
                                            : "the picture") +
                   " would replace the input " + quoted(*input) + "; name another file for " +
                   option;
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (outputs[j].second == name || same_file(outputs[j].second, name)) {
                return printable(name) + ": named for both " + outputs[j].first + " and " + option +
                       "; name two files";
            }
        }
    }
    return {};
}

} // namespace morvex
