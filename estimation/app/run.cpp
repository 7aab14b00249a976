#include "estimation/app/run.hpp"

#include "estimation/app/help.hpp"
#include "estimation/app/output_files.hpp"

#include "estimation/base/format.hpp"
#include "estimation/base/in_order.hpp"
#include "estimation/input/setting_file.hpp"
#include "estimation/input/table_file.hpp"
#include "estimation/method/trend.hpp"
#include "estimation/output/analyses_report.hpp"
#include "estimation/output/atomic_file.hpp"
#include "estimation/output/block_output.hpp"
#include "estimation/output/csv.hpp"
#include "estimation/output/curve_report.hpp"
#include "estimation/output/pooled_report.hpp"
#include "estimation/output/report.hpp"
#include "estimation/output/summary_table.hpp"
#include "estimation/output/svg/canvas.hpp"
#include "estimation/output/svg/curve_plot.hpp"
#include "estimation/output/svg/dose_response_plot.hpp"
#include "estimation/output/svg/forest_plot.hpp"
#include "estimation/output/svg/funnel_plot.hpp"
#include "matrix/matrix.hpp"

#include <algorithm>
#include <iostream>
#include <iterator>
#include <new>
#include <optional>
#include <sstream>
#include <thread>
#include <tuple>
#include <utility>

#ifdef __linux__
#include <sched.h>
#endif

namespace morvex {
namespace {

const char* const abnormal_termination = "Abnormal program termination";

// A stream's whole text, read in blocks rather than a character at a time.
std::string read_all(std::istream& in) {
    std::string text;
    char block[65536];
    while (in.read(block, sizeof block) || in.gcount() > 0) {
        text.append(block, static_cast<std::size_t>(in.gcount()));
    }
    return text;
}

void summarise(std::vector<study_summary>& list, const study_result& r) {
    study_summary s;
    s.label = r.from_table ? r.input + ": " + r.id : r.input;
    s.input = r.input;
    s.id = r.id;
    s.title = r.has_data && !r.from_table ? r.data.title : std::string();
    s.beta = r.beta;
    s.se = r.se;
    s.status = r.status;
    s.message = r.message;
    s.more_faults = r.more_messages.size();
    list.push_back(std::move(s));
}

// Reads the k-th study of `table` (named `name`) and estimates it, into `r`;
// `t` and `buffers` are storage kept for the next study.
void read_table_study(const table_file& table, std::size_t k, const std::string& name,
                      const study_method& method, table_study& t, study_result& r,
                      estimation_buffers& buffers) {
    table.read(k, t);
    renew(r);
    r.input = name;
    r.id = t.id;
    r.from_table = true;
    r.first_line = t.first_line;
    if (t.data && !t.data->missing_counts.empty() && !method.missing_counts_indep) {
        r.message = printable(name) + ':' + std::to_string(t.data->missing_counts_line) +
                    ": study " + printable(r.id) + ": " + t.data->missing_counts +
                    ", so its log relative risks have no count-based covariance; give every "
                    "category's cases and total, or run with --missing-counts=indep to "
                    "treat them as independent";
    } else if (t.data) {
        swap(r.data, *t.data); // the study read before takes the next
        r.has_data = true;
        r.covariance = method.covariance;
        if (!r.data.missing_counts.empty()) {
            r.covariance = covariance_kind::indep;
            r.data.warnings.push_back(
                {r.data.missing_counts_line,
                 "study " + printable(r.id) + ": " + r.data.missing_counts +
                     ": its log relative risks are taken as independent "
                     "(--missing-counts=indep); their correlation through the shared "
                     "reference is ignored, which can shift the slope and misstates its "
                     "standard error and its weight in a pooling"});
        }
        estimate(r, buffers);
        if (r.status == study_status::stopped) {
            r.message = printable(name) + ':' + std::to_string(r.first_line) + ": study " +
                        printable(r.id) + ": " + r.message;
        }
    } else {
        r.message = printable(name) + ':' + t.message;
        for (const std::string& more : t.more) {
            std::string line = printable(name);
            line += ':';
            line += more;
            r.more_messages.push_back(std::move(line));
        }
    }
}

// Studies go to the threads in batches of at most this many, and fewer when
// large: a batch's results are held until written, and a study's covariance
// grows with the square of its rows.
constexpr std::size_t batch_studies = 256;
constexpr std::size_t batch_cells = std::size_t{1} << 16;

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

session::session(output_format format, bool classic, std::ostream& out, std::ostream& err,
                 after_studies after, study_method method, unsigned threads)
    : format_(format), classic_(classic), out_(out), err_(err), json_(out, method.named),
      after_(std::move(after)), method_(method), threads_(threads),
      text_({format, classic, after_.increment, method.named,
             format == output_format::csv && after_.curve.has_value()}) {
    // With --trend the study rows gain columns that depend on every study's
    // doses, so the header and rows wait until the end.
    if (format_ == output_format::csv && !after_.curve) {
        write_csv_header(out_, after_.increment.has_value(), method_.named ? ",covariance" : "");
    } else if (format_ == output_format::json) {
        json_.begin();
    }
}

std::ostream& session::message_stream() {
    out_.flush();
    return err_;
}

void session::emit(const study_result& r) {
    emit(r, text_.build(r, studies_ == 0));
}

void session::emit(const study_result& r, std::string_view text) {
    // Warnings go ahead of the report they concern.
    for (const notice& w : r.data.warnings) {
        std::ostream& err = message_stream();
        err << "Morvex: " << printable(r.input);
        if (w.line > 0) {
            err << ':' << w.line;
        }
        err << (w.note ? ": note: " : ": warning: ") << w.message << '\n';
    }
    if (!r.data.warnings.empty()) {
        err_.flush();
    }
    if (format_ == output_format::json) {
        json_.write_entry(text);
    } else if (format_ == output_format::csv && after_.curve) {
        hold_csv_row(r);
    } else {
        out_.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    // Standard output so far goes ahead of the message that explains its end;
    // it is not flushed study by study, which would cost a write each.
    if (r.status == study_status::stopped && r.abnormal && classic_) {
        message_stream() << abnormal_termination << '\n';
    } else if (!r.estimated()) {
        std::ostream& err = message_stream();
        err << "Morvex: " << r.message << '\n';
        for (const std::string& more : r.more_messages) {
            err << "Morvex: " << more << '\n';
        }
    }
    if (after_.plot && studies_ == 0 && r.status == study_status::complete) {
        first_study_ = r.data;
    }
    keep_for_curve(r);
    count(r);
}

// Only a pooling, a picture or a summary table reads the summaries beyond the
// first; a run of many studies without them does not keep them.
bool session::keeps_summaries() const {
    return after_.pool || after_.plot || after_.funnel || after_.summary;
}

void session::count(const study_result& r) {
    all_estimated_ =
        all_estimated_ && r.status != study_status::refused && r.status != study_status::stopped;
    if (studies_++ == 0 || keeps_summaries()) {
        summarise(summaries_, r);
    }
}

void session::hold_csv_row(const study_result& r) {
    held_csv_row row{std::string(), std::nullopt};
    append_csv_fields(row.fields, r, after_.increment);
    if (r.status == study_status::complete) {
        row.curve_study = curve_studies_.size(); // keep_for_curve adds it there
    }
    csv_rows_.push_back(std::move(row));
}

void session::keep_for_curve(const study_result& r) {
    if (!after_.curve) {
        return;
    }
    if (r.status == study_status::complete) {
        curve_studies_.push_back(curve_study_of(r));
        return;
    }
    std::string reason = status_name(r.status);
    if (!r.message.empty()) {
        reason += ": " + r.message;
    }
    curve_left_out_.push_back(
        {r.from_table ? r.input + ": " + r.id : r.input, r.input, r.id, std::move(reason)});
}

void session::draw_curve(const curve_result& r) {
    if (!r.message.empty() || r.methods.empty()) {
        picture_problem_ = "no pooled curve to draw: " + r.message;
        return;
    }
    curve_settings linear = r.settings;
    linear.shape = trend_shape::linear;
    linear.at.clear();
    const curve_result straight = analyse_curve(curve_studies_, linear, {});
    const std::string& input = curve_studies_.front().input;
    const std::string title = input.substr(input.rfind('/') + 1) + ": " +
                              shape_name(r.basis.shape) + format(" trend, %d studies", r.pooled);
    std::ostringstream svg;
    write_curve_plot(svg, make_curve_plot(r, straight, curve_studies_, title));
    picture_ = svg.str();
}

void session::draw(const meta_analysis& m) {
    std::ostringstream svg;
    if (summaries_.size() == 1) {
        if (!first_study_) {
            picture_problem_ = "the only study has no complete estimate to draw";
            return;
        }
        const study_summary& s = summaries_.front();
        dose_response_plot plot = make_dose_response_plot(*first_study_, trend{s.beta, s.se});
        const std::string file = s.input.substr(s.input.rfind('/') + 1);
        // The study's name shortened so that its file always shows.
        const std::string where =
            " (" + (s.id.empty() || s.name.empty() ? "" : "study " + s.id + ", ") + file + ")";
        const std::string name = s.id.empty() ? s.title : study_label(s, true);
        const std::size_t room = where.size() < 40 ? 64 - where.size() : 24;
        plot.title = name.empty() ? file : shorten(name, room) + where;
        write_dose_response_plot(svg, plot);
    } else if (m.included.empty()) {
        picture_problem_ = "no study has a complete estimate to draw";
        return;
    } else {
        const forest_content forest = make_forest(m, after_.forest);
        if (!forest.notice.empty()) {
            err_ << "Morvex: warning: forest plot: " << forest.notice << '\n';
        }
        write_forest_plot(svg, forest.plot);
    }
    picture_ = svg.str();
}

void session::draw_funnel(const meta_analysis& m) {
    if (!m.pooled) {
        funnel_problem_ = "a funnel plot needs a pooling: " + m.not_pooled;
        return;
    }
    std::ostringstream svg;
    write_funnel_plot(svg, make_funnel_plot(*m.pooled, "Funnel plot: " + inputs_title(m)));
    funnel_ = svg.str();
}

void session::add_setting_text(const std::string& name, std::string_view content) {
    study_result r;
    r.input = name;
    try {
        r.data = parse_setting_file(content);
        r.has_data = true;
    } catch (const truncated_setting_file& e) {
        r.message = printable(name) + ": " + e.what();
    } catch (const setting_error& e) {
        r.message = printable(name) + ':' + std::to_string(e.line()) + ": " + e.what();
    }
    if (!r.has_data && table_header_line(content)) {
        r.message = printable(name) +
                    ":1: the first line reads as a table's header, but only a name "
                    "ending in .csv or .tsv is read as a table; rename the file (or give "
                    "a setting file's nine lines)";
    }
    if (r.has_data) {
        r.covariance = method_.covariance;
        estimate(r, buffers_);
        if (r.status == study_status::stopped && !classic_) {
            r.message = printable(name) + ": " + r.message; // among other inputs, say which stopped
        }
    }
    const std::string& by = after_.asked.by;
    if (!by.empty()) {
        message_stream() << "Morvex: " << printable(name) << ": warning: --by=" << printable(by)
                         << ": a setting file has no columns; its study forms no subgroup\n";
    }
    emit(r);
    if (!by.empty() && keeps_summaries()) {
        summaries_.back().group_missing = "a setting file has no columns";
    }
}

void session::add_table_text(const std::string& name, file_text content, std::optional<bool> tab) {
    std::optional<table_file> table;
    try {
        table.emplace(std::move(content), tab.value_or(is_tsv_name(name)), method_.open_width,
                      threads_);
        if (table->study_count() == 0) {
            throw table_error(2, "the table has a header but no rows of studies");
        }
    } catch (const table_error& e) {
        study_result r;
        r.input = name;
        r.message = printable(name) + ':' + std::to_string(e.line()) + ": " + e.what();
        emit(r);
        return;
    }
    const std::string& by = after_.asked.by;
    if (!by.empty() && !table->field(0, by).column) {
        message_stream() << "Morvex: " << printable(name) << ":1: warning: --by=" << printable(by)
                         << ": the table has no column " << quoted(by)
                         << "; its studies form no subgroup\n";
    }
    add_table_studies(*table, name);
}

// Studies read and estimated, and their texts built, in batches on the
// run's threads; each batch is then written here in order, as one thread
// would have written it. Batches and workers each start a cache line of
// their own: neighbours are written study by study on different threads.
struct alignas(64) session::study_batch {
    std::size_t first = 0, end = 0; // the studies [first, end)
    std::size_t made = 0;           // how many of them are ready, in order
    std::vector<study_result> results;
    std::string text;                   // their texts, one after another
    std::vector<std::size_t> text_ends; // where each study's text ends
};

// What one thread keeps from study to study.
struct alignas(64) session::table_worker {
    table_study record;
    estimation_buffers buffers;
    study_text text;
};

void session::add_table_studies(const table_file& table, const std::string& name) {
    // A run that keeps studies' matrices beyond their writing (a pooled
    // trend, a single study's plot) shares them with the batches, whose
    // counts of users are not atomic: it keeps to one thread.
    const unsigned workers = threads_ > 1 && !after_.curve && !after_.plot ? threads_ : 0;
    std::vector<table_worker> kept(std::max(workers, 1U), table_worker{{}, {}, text_});
    std::vector<study_batch> slots(std::max<std::size_t>(std::size_t{2} * workers, 1));
    const bool first_of_run = studies_ == 0;
    const auto cut = [&table, next = std::size_t{0}](study_batch& b) mutable {
        if (next == table.study_count()) {
            return false;
        }
        b.first = next;
        std::size_t cells = 0;
        do {
            const std::size_t rows = table.row_count(next);
            cells += rows * rows;
            ++next;
        } while (next < table.study_count() && next - b.first < batch_studies &&
                 cells < batch_cells);
        b.end = next;
        return true;
    };
    const auto make = [&](study_batch& b, unsigned worker) {
        table_worker& w = kept[worker];
        // The next worker to make this batch's slot may be another: the
        // worker's working matrices, which the results may share, are let go
        // of before the batch is handed over, whatever happens.
        struct let_go {
            estimation_buffers& buffers;
            ~let_go() { buffers = estimation_buffers{}; }
        } const hand_over{w.buffers};
        b.made = 0;
        b.text.clear();
        b.text_ends.clear();
        if (b.results.size() < b.end - b.first) {
            b.results.resize(b.end - b.first);
        }
        for (std::size_t k = b.first; k < b.end; ++k) {
            study_result& r = b.results[k - b.first];
            read_table_study(table, k, name, method_, w.record, r, w.buffers);
            b.text += w.text.build(r, first_of_run && k == 0);
            b.text_ends.push_back(b.text.size());
            ++b.made;
        }
    };
    const auto take = [&](study_batch& b) {
        std::size_t start = 0;
        for (std::size_t j = 0; j < b.made; ++j) {
            emit(b.results[j], std::string_view(b.text).substr(start, b.text_ends[j] - start));
            start = b.text_ends[j];
            if (keeps_summaries()) {
                describe(table, b.first + j);
            }
        }
    };
    in_order(slots, workers, cut, make, take);
}

// A table study's name from its label column, or its author and year columns,
// and its value of the column that forms subgroups.
void session::describe(const table_file& table, std::size_t k) {
    study_summary& s = summaries_.back();
    const table_file::field_value label = table.field(k, "label");
    const table_file::field_value author = table.field(k, "author");
    const table_file::field_value year = table.field(k, "year");
    if (label.column && !is_missing_text(label.value)) {
        s.name = label.value;
    } else if (author.column && !is_missing_text(author.value)) {
        s.name = author.value;
        if (year.column && !is_missing_text(year.value)) {
            s.name += " " + year.value;
        }
    }
    const std::string& by = after_.asked.by;
    if (by.empty()) {
        return;
    }
    const table_file::field_value group = table.field(k, by);
    if (!group.column) {
        s.group_missing = "the table has no column " + quoted(by);
    } else if (!group.agree) {
        s.group_missing = "its rows give different values of column " + quoted(by);
    } else if (is_missing_text(group.value)) {
        s.group_missing = "no value of column " + quoted(by);
    } else {
        s.group = group.value;
    }
}

void session::add_unreadable(const std::string& name, const std::string& message) {
    study_result r;
    r.input = name;
    r.message = message;
    emit(r);
}

int session::finish() {
    std::optional<meta_analysis> m;
    if (after_.pool || after_.plot || after_.funnel) {
        m = analyse(summaries_, after_.increment, after_.asked);
    }
    std::optional<curve_result> curve;
    if (after_.curve) {
        curve_settings settings = *after_.curve;
        settings.threads = threads_;
        curve = analyse_curve(curve_studies_, settings, curve_left_out_);
    }
    if (after_.pool && format_ == output_format::text) {
        out_ << '\n';
        print_meta_analysis(out_, *m, [&m](std::ostream& out) { print_further_analyses(out, *m); });
    }
    if (curve && after_.plot && curve->basis.shape != trend_shape::linear) {
        draw_curve(*curve);
    }
    if (curve && format_ == output_format::text) {
        out_ << '\n';
        print_curve(out_, *curve);
    } else if (curve && format_ == output_format::csv) {
        write_csv_header(out_, after_.increment.has_value(),
                         curve_csv_columns(coefficient_count(curve->settings)));
        write_csv_curve_rows(out_, csv_rows_, *curve);
    }
    if (format_ == output_format::json) {
        json_.end(after_.pool ? &*m : nullptr, curve ? &*curve : nullptr);
    }
    out_.flush();
    if (after_.pool && !m->pooled) {
        err_ << "Morvex: no pooling: " << printable(m->not_pooled) << '\n';
    }
    if (curve && !curve->message.empty()) {
        err_ << "Morvex: no pooled trend: " << printable(curve->message) << '\n';
    }
    if (after_.plot && picture_.empty() && picture_problem_.empty()) {
        draw(*m);
    }
    if (after_.funnel) {
        draw_funnel(*m);
    }
    if (after_.summary) {
        summary_ = summary_table(*m, curve ? &*curve : nullptr);
    }
    if (classic_) {
        if (summaries_.empty()) {
            return exit_refused;
        }
        switch (summaries_.front().status) {
        case study_status::refused:
            return exit_refused;
        case study_status::stopped:
            return exit_stopped;
        default:
            return exit_complete;
        }
    }
    return all_estimated_ ? exit_complete : exit_partial;
}

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
                  {opts.covariance, opts.missing_counts_indep, opts.method_named, opts.open_width},
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
