// A session's dispatch: each input into its studies, each study's output and
// messages in order, and at the end the pooling, the curve and the exit status.
#include "estimation/app/session.hpp"

#include "estimation/app/study_columns.hpp"
#include "estimation/base/format.hpp"
#include "estimation/input/setting_file.hpp"
#include "estimation/method/highest_category.hpp"
#include "estimation/output/analyses_report.hpp"
#include "estimation/output/csv.hpp"
#include "estimation/output/curve_report.hpp"
#include "estimation/output/paragraph.hpp"
#include "estimation/output/pooled_report.hpp"
#include "estimation/output/summary_table.hpp"

#include <utility>

namespace morvex {
namespace {

const char* const abnormal_termination = "Abnormal program termination";

void summarise(std::vector<study_summary>& list, const study_result& r) {
    study_summary s;
    s.label = r.from_table ? r.input + ": " + r.id : r.input;
    s.input = r.input;
    s.id = r.id;
    s.title = r.has_data && !r.from_table ? r.data.title : std::string();
    s.beta = r.beta;
    s.se = r.se;
    s.covariance = r.covariance;
    s.status = r.status;
    s.message = r.message;
    s.more_faults = r.more_messages.size();
    s.highest = r.highest;
    list.push_back(std::move(s));
}

} // namespace

session::session(output_format format, bool classic, std::ostream& out, std::ostream& err,
                 after_studies after, study_method method, unsigned threads)
    : format_(format), classic_(classic), out_(out), err_(err), json_(out, method.named),
      after_(std::move(after)), method_(method), threads_(threads),
      text_({format, classic, after_.increment, method.named,
             format == output_format::csv && after_.curve.has_value()}) {
    if (format_ == output_format::json) {
        json_.begin();
    }
}

// With --trend the study rows gain columns that depend on every study's
// doses, so the header and rows wait until the end.
void session::begin_csv() {
    if (format_ != output_format::csv || after_.curve || csv_header_written_) {
        return;
    }
    write_csv_header(out_, after_.increment.has_value(), method_.named ? ",covariance" : "",
                     measure_.value_or(outcome_measure::relative_risk));
    out_ << csv_waiting_;
    csv_waiting_.clear();
    csv_header_written_ = true;
}

bool session::admit(const std::string& name, outcome_measure m) {
    std::string why;
    if (measure_ && is_continuous(*measure_) != is_continuous(m)) {
        const char* const holds =
            is_continuous(m) ? "this table holds means" : "this input holds relative risks";
        why = std::string(holds) + ", but the run's studies so far are " +
              (is_continuous(*measure_) ? "means" : "relative risks") + " (" +
              printable(measure_input_) +
              "): different measures are neither pooled nor reported together; give them to "
              "separate runs";
    } else if (!is_continuous(m) && method_.measure_named) {
        why = "--measure applies to tables of means (columns mean, sd and n), and this input "
              "holds relative risks; leave --measure out";
    } else if (is_continuous(m) && method_.named) {
        why = "--covariance and --missing-counts apply to tables of cases, and this table holds "
              "means, whose covariance comes from their SDs and sizes; leave them out";
    }
    if (!why.empty()) {
        study_result r;
        r.input = name;
        r.message = printable(name) + (is_continuous(m) ? ":1: " : ": ") + why;
        emit(r);
        return false;
    }
    if (!measure_) {
        measure_ = m;
        measure_input_ = name;
    }
    begin_csv();
    return true;
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
    } else if (format_ == output_format::csv && !csv_header_written_) {
        csv_waiting_ += text;
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
    return after_.pool || after_.plot || after_.funnel || after_.summary || after_.paragraph;
}

void session::count(const study_result& r) {
    all_estimated_ =
        all_estimated_ && r.status != study_status::refused && r.status != study_status::stopped;
    if (studies_++ == 0 || keeps_summaries()) {
        summarise(summaries_, r);
        if (!r.from_table) {
            note_study_problems(summaries_.back());
        }
    }
}

void session::add_setting_text(const std::string& name, std::string_view content) {
    if (!admit(name, outcome_measure::relative_risk)) {
        return;
    }
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
        r.highest = highest_of(r.data, {});
        if (!r.highest.problem.empty()) {
            r.highest.problem = printable(name) + ":6: " + r.highest.problem;
        }
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
    if (!by.empty() && !curve_studies_.empty() && r.status == study_status::complete) {
        curve_studies_.back().group_missing = "a setting file has no columns";
    }
    if (!after_.asked.moderators.empty() && keeps_summaries()) {
        summaries_.back().moderators.assign(
            after_.asked.moderators.size(),
            {{}, not_computed, "a setting file has no columns", {}});
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
    if (!admit(name, table->continuous() ? method_.continuous : outcome_measure::relative_risk)) {
        return;
    }
    for (const std::string& column : after_.asked.moderators) {
        if (!table->field(0, column).column) {
            message_stream() << "Morvex: " << printable(name)
                             << ":1: --moderator=" << printable(column)
                             << ": the table has no column " << quoted(column)
                             << "; its studies are left out of the meta-regression\n";
        }
    }
    const std::string& by = after_.asked.by;
    if (!by.empty() && !table->field(0, by).column) {
        message_stream() << "Morvex: " << printable(name) << ":1: warning: --by=" << printable(by)
                         << ": the table has no column " << quoted(by)
                         << "; its studies form no subgroup\n";
    }
    add_table_studies(*table, name);
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
    for (const std::string& column : after_.asked.moderators) {
        s.moderators.push_back(study_column_value(table, k, column, s.input, s.id));
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
    if (!curve_studies_.empty() && s.status == study_status::complete &&
        curve_studies_.back().id == s.id && curve_studies_.back().input == s.input) {
        curve_studies_.back().group = s.group;
        curve_studies_.back().group_missing = s.group_missing;
    }
}

void session::add_unreadable(const std::string& name, const std::string& message) {
    study_result r;
    r.input = name;
    r.message = message;
    emit(r);
}

int session::finish() {
    begin_csv();
    const outcome_measure measure = measure_.value_or(outcome_measure::relative_risk);
    std::optional<meta_analysis> m;
    if (after_.pool || after_.plot || after_.funnel) {
        m = analyse(summaries_, after_.increment, after_.asked, measure);
        m->unit = after_.wording().unit;
    }
    std::optional<curve_result> curve;
    if (after_.curve) {
        after_.curve->measure = measure;
        curve_settings settings = *after_.curve;
        settings.threads = threads_;
        curve = analyse_curve(curve_studies_, settings, curve_left_out_);
    }
    analyse_trend_further(curve ? &*curve : nullptr);
    const trend_extras extras{fit_ ? &*fit_ : nullptr, curve_groups_ ? &*curve_groups_ : nullptr};
    if (after_.pool && format_ == output_format::text) {
        out_ << '\n';
        print_meta_analysis(out_, *m, [&m](std::ostream& out) { print_further_analyses(out, *m); });
    }
    if (curve && after_.plot && curve->basis.shape != trend_shape::linear) {
        if (curve_groups_) {
            draw_curve_subgroups(*curve, *curve_groups_);
        } else {
            draw_curve(*curve);
        }
    }
    if (curve && format_ == output_format::text) {
        out_ << '\n';
        print_curve(out_, *curve);
    } else if (curve && format_ == output_format::csv) {
        write_csv_header(out_, after_.increment.has_value(),
                         curve_csv_columns(coefficient_count(curve->settings)), measure);
        write_csv_curve_rows(out_, csv_rows_, *curve);
    }
    if (format_ == output_format::text) {
        print_trend_extras(out_, extras);
    }
    if (format_ == output_format::json) {
        json_.end(after_.pool ? &*m : nullptr, curve ? &*curve : nullptr, extras);
    }
    out_.flush();
    if (after_.pool && !m->pooled) {
        err_ << "Morvex: no pooling: " << printable(m->not_pooled) << '\n';
    }
    if (curve && !curve->message.empty()) {
        err_ << "Morvex: no pooled trend: " << printable(curve->message) << '\n';
    }
    if (m) {
        for (const std::string& line : analyses_not_done(*m, extras)) {
            err_ << "Morvex: " << printable(line) << '\n';
        }
    }
    if (after_.plot && picture_.empty() && picture_problem_.empty()) {
        draw(*m);
    }
    if (after_.funnel) {
        draw_funnel(*m);
    }
    if (after_.bubble) {
        draw_bubble(*m);
    }
    if (after_.residuals) {
        draw_residuals(*fit_);
    }
    if (after_.summary) {
        summary_ = summary_table(*m, curve ? &*curve : nullptr, extras);
    }
    if (after_.paragraph) {
        paragraph_ = results_paragraph(*m, curve ? &*curve : nullptr,
                                       {method_.covariance, method_.missing_counts_indep,
                                        after_.increment, after_.forest.unit},
                                       extras);
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

} // namespace morvex
