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
    after.asked.knapp_hartung = opts.knapp_hartung;
    after.asked.leave_one_out = opts.leave_one_out;
    after.asked.egger = opts.egger;
    after.asked.by = opts.by;
    after.asked.highest_vs_lowest = opts.highest_vs_lowest;
    after.asked.moderators = opts.moderators;
    after.asked.trim_and_fill = opts.trim_and_fill;
    after.asked.fill_model = opts.model == plot_model::fixed ? tau2_method::fixed
                             : opts.model == plot_model::dl  ? tau2_method::dl
                                                             : tau2_method::reml;
    after.asked.rank_test = opts.rank_test;
    after.goodness_of_fit = opts.goodness_of_fit;
    after.bubble = !opts.bubble.empty();
    after.residuals = !opts.residuals.empty();
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

// Where a run's inputs come from: files, standard input ("-"), or texts given
// in their place.
class input_source {
public:
    using position = std::vector<std::string>::const_iterator;

    input_source(const std::vector<std::string>& inputs, std::vector<input_text> texts)
        : texts_(std::move(texts)) {
        // "-" is standard input: a table when its first line reads as a table's header.
        if (std::find(inputs.begin(), inputs.end(), "-") != inputs.end() && !given("-")) {
            standard_input_ = read_all(std::cin);
            standard_input_tab_ = table_header_line(standard_input_);
        }
    }

    bool is_table(const std::string& name) {
        if (const input_text* text = given(name)) {
            return text->table;
        }
        return name == "-" ? standard_input_tab_.has_value() : is_table_name(name);
    }

    // Gives the session the input at `at`, read as it is named; `end` ends the inputs.
    void add(session& s, position at, position end, unsigned threads) {
        const std::string& name = *at;
        // A text that a later input of the same name reads again is copied, the last taken.
        const bool again = std::find(at + 1, end, name) != end;
        file_text content;
        if (input_text* text = given(name)) {
            content = file_text(again ? text->text : std::move(text->text));
            if (!text->table) {
                s.add_setting_text(name, content.view());
                return;
            }
            s.add_table_text(name, std::move(content));
            return;
        }
        try {
            if (name != "-") {
                content = is_table_name(name) ? read_file_text(name, threads)
                                              : file_text(read_file(name));
            } else if (again) {
                content = file_text(standard_input_);
            } else {
                std::string taken;
                taken.swap(standard_input_);
                content = file_text(std::move(taken));
            }
        } catch (const file_error& e) {
            s.add_unreadable(name, printable(name) + ": " + e.what());
            return;
        }
        if (name == "-" && standard_input_tab_) {
            s.add_table_text(name, std::move(content), standard_input_tab_);
        } else if (is_table_name(name)) {
            s.add_table_text(name, std::move(content));
        } else {
            s.add_setting_text(name, content.view());
        }
    }

private:
    input_text* given(const std::string& name) {
        const auto found = std::find_if(texts_.begin(), texts_.end(),
                                        [&](const input_text& t) { return t.name == name; });
        return found == texts_.end() ? nullptr : &*found;
    }

    std::vector<input_text> texts_;
    std::string standard_input_;
    std::optional<bool> standard_input_tab_;
};

} // namespace

int run_setting_text(const std::string& name, std::string_view content, std::ostream& out,
                     std::ostream& err) {
    session s(output_format::text, true, out, err);
    s.add_setting_text(name, content);
    return s.finish();
}

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    return run(args, out, err, {});
}

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        std::vector<input_text> texts) {
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
    input_source source(opts.inputs, std::move(texts));
    const bool classic = opts.inputs.size() == 1 && !source.is_table(opts.inputs.front());
    block_output blocks(out);
    try {
        const unsigned threads = run_threads(opts.threads);
        session s(opts.format, classic, blocks.stream(), err, after_studies_of(opts),
                  {opts.covariance, opts.missing_counts_indep, opts.method_named, opts.open_width,
                   opts.measure, opts.measure_named},
                  threads);
        for (auto input = opts.inputs.begin(); input != opts.inputs.end(); ++input) {
            source.add(s, input, opts.inputs.end(), threads);
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
