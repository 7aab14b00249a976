#include "estimation/app/run.hpp"

#include "estimation/app/help.hpp"
#include "estimation/app/output_files.hpp"

#include "estimation/base/format.hpp"
#include "estimation/input/setting_file.hpp"
#include "estimation/input/table_file.hpp"
#include "estimation/output/block_output.hpp"

#include <algorithm>
#include <iostream>
#include <new>
#include <optional>
#include <thread>

#ifdef __linux__
#include <sched.h>
#endif

namespace morvex {
namespace {

// A stream's whole text, read in blocks rather than a character at a time.
std::string read_all(std::istream& in) {
    std::string text;
    char block[65536];
    while (in.read(block, sizeof block) || in.gcount() > 0) {
        text.append(block, static_cast<std::size_t>(in.gcount()));
    }
    return text;
}

forest_model forest_model_of(plot_model m) {
    switch (m) {
    case plot_model::fixed:
        return forest_model::fixed;
    case plot_model::dl:
        return forest_model::dl;
    case plot_model::all:
        return forest_model::all;
    case plot_model::reml:
        break;
    }
    return forest_model::reml;
}

after_studies after_studies_of(const options& opts) {
    after_studies after;
    after.pool = opts.pool;
    after.plot = !opts.plot.empty();
    after.increment = opts.increment;
    after.asked = {opts.knapp_hartung, opts.leave_one_out, opts.egger, opts.by};
    after.summary = !opts.summary.empty();
    after.paragraph = !opts.paragraph.empty();
    after.funnel = !opts.funnel.empty();
    after.forest = {forest_model_of(opts.model), opts.title, opts.unit, opts.increment};
    if (opts.curve) {
        after.curve = opts.trend;
    }
    return after;
}

// The threads a run asks for, or else the processors it may use (on Linux, a
// batch system's share of the machine), at most 8: beyond that the one thread
// that writes keeps the rest waiting. The web page's build has no threads.
unsigned run_threads(unsigned asked) {
#ifdef __EMSCRIPTEN__
    static_cast<void>(asked);
    return 1;
#else
    if (asked > 0) {
        return asked;
    }
    constexpr unsigned most = 8;
#ifdef __linux__
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        return std::clamp(static_cast<unsigned>(CPU_COUNT(&allowed)), 1U, most);
    }
#endif
    return std::clamp(std::thread::hardware_concurrency(), 1U, most);
#endif
}

} // namespace

int run_setting_text(const std::string& name, std::string_view content, std::ostream& out,
                     std::ostream& err) {
    session s(output_format::text, true, out, err);
    s.add_setting_text(name, content);
    return s.finish();
}

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const parsed_command_line command_line = parse_command_line(args);
    switch (command_line.what) {
    case command::usage:
        out << usage_text;
        return exit_refused;
    case command::refuse:
        err << command_line.message << '\n';
        return exit_refused;
    case command::help:
        out << synopsis_text << '\n' << help_text;
        return exit_complete;
    case command::version:
        out << "Morvex 1.0\n";
        return exit_complete;
    case command::run:
        break;
    }
    const options& opts = command_line.opts;
    const std::string conflict = output_conflict(opts);
    if (!conflict.empty()) {
        err << "Morvex: " << conflict << '\n';
        return exit_refused;
    }
    // "-" is standard input: a table when its first line reads as a table's header.
    std::string standard_input;
    std::optional<bool> standard_input_tab;
    if (std::find(opts.inputs.begin(), opts.inputs.end(), "-") != opts.inputs.end()) {
        standard_input = read_all(std::cin);
        standard_input_tab = table_header_line(standard_input);
    }
    const auto is_table = [&](const std::string& name) {
        return name == "-" ? standard_input_tab.has_value() : is_table_name(name);
    };
    const bool classic = opts.inputs.size() == 1 && !is_table(opts.inputs.front());
    block_output blocks(out);
    try {
        const unsigned threads = run_threads(opts.threads);
        session s(opts.format, classic, blocks.stream(), err, after_studies_of(opts),
                  {opts.covariance, opts.missing_counts_indep, opts.method_named, opts.open_width,
                   opts.measure, opts.measure_named},
                  threads);
        for (auto input = opts.inputs.begin(); input != opts.inputs.end(); ++input) {
            const std::string& name = *input;
            file_text content;
            try {
                if (name != "-") {
                    content = is_table_name(name) ? read_file_text(name, threads)
                                                  : file_text(read_file(name));
                } else if (std::find(input + 1, opts.inputs.end(), "-") != opts.inputs.end()) {
                    content = file_text(standard_input); // read again by a later "-"
                } else {
                    std::string taken; // the last "-" takes the text, not a copy
                    taken.swap(standard_input);
                    content = file_text(std::move(taken));
                }
            } catch (const file_error& e) {
                s.add_unreadable(name, printable(name) + ": " + e.what());
                continue;
            }
            if (name == "-" && standard_input_tab) {
                s.add_table_text(name, std::move(content), standard_input_tab);
            } else if (is_table_name(name)) {
                s.add_table_text(name, std::move(content));
            } else {
                s.add_setting_text(name, content.view());
            }
        }
        int status = s.finish();
        if (opts.format == output_format::csv && (opts.pool || opts.curve) &&
            opts.summary.empty()) {
            // Scripts that read the pooled rows from this file must not lose them silently.
            err << "Morvex: note: --format=csv writes the study rows only; the pooled figures "
                   "go to --summary=FILE.csv\n";
        }
        if (!write_outputs(opts, s, err)) {
            status = exit_stopped;
        }
        return status;
    } catch (const std::bad_alloc&) {
        blocks.stream().flush();
        err << "Morvex: out of memory\n";
        return classic ? exit_stopped : exit_partial;
    }
}

} // namespace morvex
