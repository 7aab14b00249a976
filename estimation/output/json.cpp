#include "estimation/output/json.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"
#include "estimation/output/curve_json.hpp"
#include "estimation/output/dose_wording.hpp"
#include "estimation/output/json_text.hpp"
#include "estimation/output/paper_json.hpp"
#include "estimation/output/text_builder.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace morvex {
namespace {

using json_text = text_builder;
// Every JSON number of the results: shortest round-trip text, null when not finite.
constexpr auto& number = append_json_number;

// A number's text, kept while an entry is built: a covariance matrix repeats
// each number off its diagonal and, on it, the variances, and the same double
// has the same text, so those are copied rather than converted again.
void convert(json_number& cell, double value) {
    cell.value = value;
    cell.size = shortest_chars(value, cell.text);
}

void put(json_text& out, const json_number& cell) {
    if (cell.size == 0) {
        out.write("null", 4);
    } else {
        out.write(cell.text, cell.size);
    }
}

bool same_bits(double a, double b) {
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
}

// The variances, each kept in `cells`.
void variances(json_text& out, const Matrix& v, std::vector<json_number>& cells) {
    cells.resize(v.row_count());
    out.put('[');
    for (Matrix::size_type i = 0; i < v.row_count(); ++i) {
        if (i > 0) {
            out.write(", ", 2);
        }
        convert(cells[i], v(i, 0));
        put(out, cells[i]);
    }
    out.put(']');
}

// The covariance matrix by rows; `cells` holds the variances' texts on entry.
void covariance_rows(json_text& out, const Matrix& V, std::vector<json_number>& cells) {
    const Matrix::size_type n = V.row_count();
    const std::size_t variance_count = cells.size();
    cells.resize(variance_count + std::size_t{n} * n);
    json_number* const kept = cells.data() + variance_count;
    const auto at = [n](Matrix::size_type i, Matrix::size_type j) {
        return std::size_t{i} * n + j;
    };
    out << ",\n   \"covariance\": [";
    for (Matrix::size_type i = 0; i < n; ++i) {
        out.write(i > 0 ? ", [" : "[", i > 0 ? 3 : 1);
        for (Matrix::size_type j = 0; j < n; ++j) {
            if (j > 0) {
                out.write(", ", 2);
            }
            json_number& cell = kept[at(i, j)];
            const double value = V(i, j);
            if (j < i && same_bits(value, kept[at(j, i)].value)) {
                cell = kept[at(j, i)];
            } else if (j == i && i < variance_count && same_bits(value, cells[i].value)) {
                cell = cells[i];
            } else {
                convert(cell, value);
            }
            put(out, cell);
        }
        out.put(']');
    }
    out << ']';
}

void column(json_text& out, const Matrix& m, Matrix::size_type col) {
    out.put('[');
    for (Matrix::size_type i = 0; i < m.row_count(); ++i) {
        if (i > 0) {
            out.write(", ", 2);
        }
        number(out, m(i, col));
    }
    out.put(']');
}

// Reference first, then the exposed categories.
void with_reference(json_text& out, double reference, const Matrix& m) {
    out.put('[');
    number(out, reference);
    for (Matrix::size_type i = 0; i < m.row_count(); ++i) {
        out.write(", ", 2);
        number(out, m(i, 0));
    }
    out.put(']');
}

// One method's figures and those as shown; the object is left open for the caller's own.
void estimate(json_text& out, const pooled_estimate& e, bool random,
              std::optional<double> increment, outcome_measure measure) {
    append_json_estimate(out, e, random, rr_step(increment), measure);
}

// Opens the index-th entry of a list of studies, each named by its input and id.
void open_study_entry(json_text& out, std::size_t index, const std::string& input,
                      const std::string& id) {
    out << (index == 0 ? "\n   " : ",\n   ");
    append_json_named(out, input, id);
}

// Doses a table gave as ranges, beside the text each came from.
void assigned_doses(json_text& out, const std::vector<dose_assignment>& doses) {
    if (!doses.empty()) {
        out << ",\n   \"assigned_doses\": [";
        for (std::size_t k = 0; k < doses.size(); ++k) {
            out << (k == 0 ? "" : ", ") << "{\"line\": " << doses[k].line << ", \"text\": ";
            append_json_string(out, doses[k].text);
            out << ", \"dose\": ";
            number(out, doses[k].dose);
            out << ", \"rule\": ";
            append_json_string(out, doses[k].rule);
            out << '}';
        }
        out << ']';
    }
}

void prediction(json_text& out, const std::optional<prediction_interval>& p,
                std::optional<double> increment, outcome_measure measure) {
    out << ", \"prediction\": ";
    if (!p) {
        out << "null";
        return;
    }
    out << "{\"lower\": ";
    number(out, p->lower);
    out << ", \"upper\": ";
    number(out, p->upper);
    out << ", \"df\": " << p->df;
    append_shown_figures(out,
                         per_increment(p->lower, p->lower, p->upper, rr_step(increment), measure),
                         measure, false);
    out << '}';
}

// Student's t figures, and with `rr` their RR per increment (an intercept has none).
void t_figures(json_text& out, const t_interval& e, bool rr,
               std::optional<double> increment = std::nullopt,
               outcome_measure measure = outcome_measure::relative_risk) {
    append_json_t_figures(out, e);
    out << ", \"df\": " << e.df;
    if (rr) {
        append_shown_figures(
            out, per_increment(e.estimate, e.lower, e.upper, rr_step(increment), measure), measure);
    }
    out << '}';
}

void write_leave_one_out(json_text& out, const meta_analysis& m) {
    out << ",\n  \"leave_one_out\": [";
    const std::vector<left_one_out>& rows = m.more.leave_one_out;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const study_summary& st = m.included[rows[i].omitted];
        open_study_entry(out, i, st.input, st.id);
        out << ", \"pooled\": ";
        if (rows[i].pooled) {
            append_json_models(out, *rows[i].pooled, rr_step(m.increment), m.measure, false);
        } else {
            out << "null";
        }
        out << ", \"message\": ";
        append_json_string(out, rows[i].message);
        out << '}';
    }
    out << "], \"leave_one_out_note\": ";
    append_json_string(out, m.more.leave_one_out_note);
}

void write_subgroup(json_text& out, const subgroup& g, const meta_analysis& m) {
    out << "{\"value\": ";
    append_json_string(out, g.value);
    out << ", \"k\": " << g.members.size() << ", \"fixed\": ";
    if (g.usable()) {
        estimate(out, g.fixed, false, m.increment, m.measure);
        out << "}, \"dl\": ";
        // One study has no between-study variance to report.
        estimate(out, g.dl, g.pooled.has_value(), m.increment, m.measure);
        out << "}, \"reml\": ";
        estimate(out, g.reml, g.pooled.has_value(), m.increment, m.measure);
        out << "}, \"heterogeneity\": ";
        if (g.pooled) {
            append_json_heterogeneity(out, g.pooled->het);
        } else {
            out << "null";
        }
    } else {
        out << "null, \"dl\": null, \"reml\": null, \"heterogeneity\": null";
    }
    out << ", \"message\": ";
    append_json_string(out, g.message);
    out << ", \"studies\": [";
    for (std::size_t j = 0; j < g.members.size(); ++j) {
        const study_summary& st = m.included[g.members[j]];
        out << (j == 0 ? "" : ", ");
        append_json_named(out, st.input, st.id);
        out << '}';
    }
    out << "]}";
}

void write_subgroups(json_text& out, const meta_analysis& m) {
    const subgroup_analysis& s = *m.more.subgroups;
    out << ",\n  \"subgroups\": {\"column\": ";
    append_json_string(out, m.asked.by);
    out << ", \"groups\": [";
    for (std::size_t i = 0; i < s.groups.size(); ++i) {
        out << (i == 0 ? "\n   " : ",\n   ");
        write_subgroup(out, s.groups[i], m);
    }
    out << "],\n   \"difference\": ";
    if (s.fixed) {
        const char* separator = "{";
        for (const auto& [name, d] : {std::pair{"fixed", &*s.fixed}, std::pair{"dl", &*s.dl},
                                      std::pair{"reml", &*s.reml}}) {
            out << separator << '"' << name << "\": {\"Q\": ";
            number(out, d->Q);
            out << ", \"df\": " << d->df << ", \"p\": ";
            number(out, d->p);
            out << '}';
            separator = ", ";
        }
        out << '}';
    } else {
        out << "null";
    }
    out << ", \"message\": ";
    append_json_string(out, s.no_test);
    out << ",\n   \"left_out\": [";
    for (std::size_t i = 0; i < s.left_out_studies.size(); ++i) {
        const study_summary& st = m.included[s.left_out_studies[i].study];
        open_study_entry(out, i, st.input, st.id);
        out << ", \"reason\": ";
        append_json_string(out, s.left_out_studies[i].reason);
        out << '}';
    }
    out << "]}";
}

void write_further(json_text& out, const meta_analysis& m) {
    const further_analyses& a = m.more;
    if (m.pooled && m.asked.knapp_hartung) {
        out << ",\n  \"knapp_hartung\": {\"dl\": ";
        t_figures(out, *a.dl_knapp_hartung, true, m.increment, m.measure);
        out << ", \"reml\": ";
        t_figures(out, *a.reml_knapp_hartung, true, m.increment, m.measure);
        out << '}';
    }
    if (m.pooled && m.asked.leave_one_out) {
        write_leave_one_out(out, m);
    }
    if (m.pooled && m.asked.egger) {
        out << ",\n  \"egger\": ";
        if (a.egger) {
            out << "{\"intercept\": ";
            t_figures(out, a.egger->intercept, false);
            out << ", \"slope\": ";
            number(out, a.egger->slope);
            out << ", \"slope_" << words(m.measure).code << "\": ";
            number(out, shown(m.measure, rr_step(m.increment) * a.egger->slope));
            out << '}';
        } else {
            out << "null";
        }
        out << ", \"egger_note\": ";
        append_json_string(out, a.egger_note);
    }
    if (a.subgroups) {
        write_subgroups(out, m);
    }
    write_paper_json(out, m);
}

// A study's inputs: its doses and y (log relative risks, or differences of
// means named for their measure once formed) with their variances; then its
// counts, or its means, SDs and sizes, the reference first.
void append_json_inputs(json_text& out, const study_result& r, std::vector<json_number>& numbers) {
    const study& s = r.data;
    const bool means = s.is_continuous();
    out << ",\n   \"doses\": ";
    column(out, s.x, 0);
    if (!means || r.V.row_count() > 0) {
        out << ", \"" << (means ? words(s.measure).code : "logrr") << "\": ";
        column(out, s.L, 0);
        out << ", \"variances\": ";
        variances(out, s.v, numbers);
    }
    if (means) {
        out << ",\n   \"means\": ";
        with_reference(out, s.mean0, s.mean);
        out << ", \"sds\": ";
        with_reference(out, s.sd0, s.sd);
        out << ", \"sizes\": ";
    } else {
        out << ",\n   \"cases\": ";
        with_reference(out, s.A0, s.A);
        out << ", \"totals\": ";
    }
    with_reference(out, s.N0, s.N);
}

void write_pooled(json_text& out, const meta_analysis& m) {
    out << "{\"k\": " << m.included.size();
    if (is_continuous(m.measure)) {
        out << ", \"measure\": \"" << words(m.measure).code << '"';
    }
    out << ", \"increment\": ";
    if (m.increment) {
        number(out, *m.increment);
    } else {
        out << "null";
    }
    out << ", \"message\": ";
    append_json_string(out, m.not_pooled);
    if (m.pooled) {
        const pooled_summary& s = *m.pooled;
        out << ",\n  \"fixed\": ";
        estimate(out, s.fixed, false, m.increment, m.measure);
        out << "},\n  \"dl\": ";
        estimate(out, s.dl, true, m.increment, m.measure);
        prediction(out, m.more.dl_prediction, m.increment, m.measure);
        out << "},\n  \"reml\": ";
        estimate(out, s.reml, true, m.increment, m.measure);
        prediction(out, m.more.reml_prediction, m.increment, m.measure);
        out << ", \"iterations\": " << s.reml_search.iterations
            << ", \"converged\": " << (s.reml_search.converged ? "true" : "false")
            << ", \"search\": {\"method\": \"grid and safeguarded Newton\", \"grid_points\": "
            << s.reml_search.grid_points << ", \"local_maxima\": " << s.reml_search.maxima << "}}";
        out << ",\n  \"heterogeneity\": ";
        append_json_heterogeneity(out, s.het);
    } else {
        out << ",\n  \"fixed\": null, \"dl\": null, \"reml\": null, \"heterogeneity\": null";
    }
    out << ",\n  \"weights\": [";
    for (std::size_t i = 0; m.pooled && i < m.included.size(); ++i) {
        const study_summary& st = m.included[i];
        open_study_entry(out, i, st.input, st.id);
        out << ", \"fixed\": ";
        number(out, m.pooled->fixed.weight_percent[i]);
        out << ", \"dl\": ";
        number(out, m.pooled->dl.weight_percent[i]);
        out << ", \"reml\": ";
        number(out, m.pooled->reml.weight_percent[i]);
        out << '}';
    }
    out << "],\n  \"excluded\": [";
    for (std::size_t i = 0; i < m.left_out.size(); ++i) {
        const left_out_study& st = m.left_out[i];
        open_study_entry(out, i, st.input, st.id);
        out << ", \"reason\": ";
        append_json_string(out, st.reason);
        out << '}';
    }
    out << ']';
    write_further(out, m);
    out << '}';
}

} // namespace

void json_writer::begin() {
    json_text out(text_);
    out << "{\"studies\": [";
    out.pass_on(out_);
}

void json_writer::write(const study_result& r) {
    json_text out(text_);
    append_json_study(out, r, first_, covariance_, numbers_);
    out.pass_on(out_);
    first_ = false;
}

void json_writer::write_entry(std::string_view entry) {
    out_.write(entry.data(), static_cast<std::streamsize>(entry.size()));
    first_ = false;
}

void append_json_study(text_builder& out, const study_result& r, bool first, bool covariance,
                       std::vector<json_number>& numbers) {
    numbers.clear();
    out << (first ? "\n" : ",\n") << "  {\"input\": ";
    append_json_string(out, r.input);
    out << ", \"id\": ";
    append_json_string(out, r.id);
    out << ", \"title\": ";
    append_json_string(out, r.has_data ? r.data.title : "");
    const bool means = r.has_data && r.data.is_continuous();
    out << (means ? ",\n   \"measure\": " : ",\n   \"design\": ");
    if (r.has_data) {
        if (means || r.data.design_known) {
            append_json_string(out,
                               means ? words(r.data.measure).code : design_code(r.data.design));
        } else {
            out << "null";
        }
        out << ", \"categories\": " << r.categories();
    } else {
        out << "null, \"categories\": null";
    }
    if (r.solved()) {
        out << ", \"iterations\": " << r.iterations
            << ", \"converged\": " << (r.converged ? "true" : "false");
    } else {
        out << ", \"iterations\": null, \"converged\": null";
    }
    append_json_figures(
        out,
        {{"beta", r.beta}, {"se", r.se}, {"lower", r.lower()}, {"upper", r.upper()}, {"p", r.p()}});
    out << ",\n   \"status\": ";
    append_json_string(out, status_name(r.status));
    out << ", \"message\": ";
    append_json_string(out, r.message);
    if (!r.more_messages.empty()) {
        out << ", \"more_faults\": [";
        for (std::size_t k = 0; k < r.more_messages.size(); ++k) {
            out << (k == 0 ? "" : ", ");
            append_json_string(out, r.more_messages[k]);
        }
        out << ']';
    }
    if (r.has_data) {
        append_json_inputs(out, r, numbers);
    }
    if (r.has_fit) {
        out << ",\n   \"fitted\": ";
        with_reference(out, r.fitted_A0, r.fitted);
    }
    if (r.has_data && !r.data.convention.empty()) {
        out << ",\n   \"convention\": ";
        append_json_string(out, r.data.convention);
    }
    if (covariance && r.has_data) {
        out << ",\n   \"covariance_kind\": ";
        append_json_string(out, covariance_name(r.covariance));
    }
    if (r.has_pseudo) {
        out << ", \"pseudo_cases\": ";
        with_reference(out, r.pseudo_A0, r.pseudo_A);
        out << ", \"pseudo_totals\": ";
        with_reference(out, r.pseudo_N0, r.pseudo_N);
    }
    if (r.V.row_count() > 0) {
        covariance_rows(out, r.V, numbers);
    }
    assigned_doses(out, r.data.assigned_doses);
    // Notes of assigned doses are in assigned_doses; the warnings are the slips.
    out << ",\n   \"warnings\": [";
    bool first_warning = true;
    for (const notice& w : r.data.warnings) {
        if (w.note) {
            continue;
        }
        out << (first_warning ? "" : ", ") << "{\"line\": " << w.line << ", \"message\": ";
        first_warning = false;
        append_json_string(out, w.message);
        out << '}';
    }
    out << "]}";
}

void json_writer::end(const meta_analysis* pooled, const curve_result* curve,
                      const trend_extras& extras) {
    json_text out(text_);
    out << (first_ ? "]" : "\n]");
    if (pooled != nullptr) {
        out << ",\n \"pooled\": ";
        write_pooled(out, *pooled);
    }
    if (curve != nullptr) {
        out << ",\n \"curve\": ";
        out.pass_on(out_);
        write_curve_json(out_, *curve);
    }
    out.pass_on(out_);
    write_trend_extras_json(out_, extras);
    out << "}\n";
    out.pass_on(out_);
}

} // namespace morvex
