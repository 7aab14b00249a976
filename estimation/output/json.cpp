#include "estimation/output/json.hpp"

#include "estimation/base/format.hpp"
#include "estimation/output/curve_json.hpp"

namespace morvex {
namespace {

void number(std::ostream& out, double value) {
    const std::string text = shortest(value);
    out << (text.empty() ? "null" : text);
}

void column(std::ostream& out, const Matrix& m, Matrix::size_type col) {
    out << '[';
    for (Matrix::size_type i = 0; i < m.row_count(); ++i) {
        out << (i == 0 ? "" : ", ");
        number(out, m(i, col));
    }
    out << ']';
}

// Reference first, then the exposed categories.
void with_reference(std::ostream& out, double reference, const Matrix& m) {
    out << '[';
    number(out, reference);
    for (Matrix::size_type i = 0; i < m.row_count(); ++i) {
        out << ", ";
        number(out, m(i, 0));
    }
    out << ']';
}

// One method's figures; the object is left open for the caller's own.
void estimate(std::ostream& out, const pooled_estimate& e, bool random,
              std::optional<double> increment) {
    const std::pair<const char*, double> figures[] = {
        {"estimate", e.estimate}, {"se", e.se}, {"lower", e.lower},
        {"upper", e.upper},       {"z", e.z},   {"p", e.p}};
    const char* separator = "{";
    for (const auto& [name, value] : figures) {
        out << separator << '"' << name << "\": ";
        number(out, value);
        separator = ", ";
    }
    if (random) {
        out << ", \"tau2\": ";
        number(out, e.tau2);
    }
    if (increment) {
        const rr_per_increment rr = per_increment(e, *increment);
        out << ", \"rr\": ";
        number(out, rr.rr);
        out << ", \"rr_lower\": ";
        number(out, rr.lower);
        out << ", \"rr_upper\": ";
        number(out, rr.upper);
    }
}

// Opens the index-th entry of a list of studies, each named by its input and id.
void open_study_entry(std::ostream& out, std::size_t index, const std::string& input,
                      const std::string& id) {
    out << (index == 0 ? "\n   " : ",\n   ") << "{\"input\": ";
    write_json_string(out, input);
    out << ", \"id\": ";
    write_json_string(out, id);
}

// Doses a table gave as ranges, beside the text each came from.
void assigned_doses(std::ostream& out, const std::vector<dose_assignment>& doses) {
    if (!doses.empty()) {
        out << ",\n   \"assigned_doses\": [";
        for (std::size_t k = 0; k < doses.size(); ++k) {
            out << (k == 0 ? "" : ", ") << "{\"line\": " << doses[k].line << ", \"text\": ";
            write_json_string(out, doses[k].text);
            out << ", \"dose\": ";
            number(out, doses[k].dose);
            out << ", \"rule\": ";
            write_json_string(out, doses[k].rule);
            out << '}';
        }
        out << ']';
    }
}

void write_pooled(std::ostream& out, const meta_analysis& m) {
    out << "{\"k\": " << m.included.size() << ", \"increment\": ";
    if (m.increment) {
        number(out, *m.increment);
    } else {
        out << "null";
    }
    out << ", \"message\": ";
    write_json_string(out, m.not_pooled);
    if (m.pooled) {
        const pooled_summary& s = *m.pooled;
        out << ",\n  \"fixed\": ";
        estimate(out, s.fixed, false, m.increment);
        out << "},\n  \"dl\": ";
        estimate(out, s.dl, true, m.increment);
        out << "},\n  \"reml\": ";
        estimate(out, s.reml, true, m.increment);
        out << ", \"iterations\": " << s.reml_search.iterations
            << ", \"converged\": " << (s.reml_search.converged ? "true" : "false")
            << ", \"search\": {\"method\": \"grid and safeguarded Newton\", \"grid_points\": "
            << s.reml_search.grid_points << ", \"local_maxima\": " << s.reml_search.maxima << "}}";
        out << ",\n  \"heterogeneity\": {\"Q\": ";
        number(out, s.het.Q);
        out << ", \"df\": " << s.het.df << ", \"p\": ";
        number(out, s.het.p);
        out << ", \"I2\": ";
        number(out, s.het.I2);
        out << '}';
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
        write_json_string(out, st.reason);
        out << '}';
    }
    out << "]}";
}

} // namespace

void write_json_string(std::ostream& out, std::string_view text) {
    out << '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out << "\\\"";
            break;
        case '\\':
            out << "\\\\";
            break;
        case '\n':
            out << "\\n";
            break;
        case '\r':
            out << "\\r";
            break;
        case '\t':
            out << "\\t";
            break;
        default:
            if (byte < 0x20 || byte == 0x7f) {
                out << format("\\u%04x", byte);
            } else {
                out << c;
            }
        }
    }
    out << '"';
}

void json_writer::begin() {
    out_ << "{\"studies\": [";
}

void json_writer::write(const study_result& r) {
    out_ << (first_ ? "\n" : ",\n") << "  {\"input\": ";
    first_ = false;
    write_json_string(out_, r.input);
    out_ << ", \"id\": ";
    write_json_string(out_, r.id);
    out_ << ", \"title\": ";
    write_json_string(out_, r.has_data ? r.data.title : "");
    out_ << ",\n   \"design\": ";
    if (r.has_data) {
        write_json_string(out_, design_code(r.data.design));
        out_ << ", \"categories\": " << r.categories();
    } else {
        out_ << "null, \"categories\": null";
    }
    if (r.has_fit) {
        out_ << ", \"iterations\": " << r.iterations
             << ", \"converged\": " << (r.converged ? "true" : "false");
    } else {
        out_ << ", \"iterations\": null, \"converged\": null";
    }
    const std::pair<const char*, double> figures[] = {
        {"beta", r.beta}, {"se", r.se}, {"lower", r.lower()}, {"upper", r.upper()}, {"p", r.p()}};
    for (const auto& [name, value] : figures) {
        out_ << ", \"" << name << "\": ";
        number(out_, value);
    }
    out_ << ",\n   \"status\": ";
    write_json_string(out_, status_name(r.status));
    out_ << ", \"message\": ";
    write_json_string(out_, r.message);
    if (!r.more_messages.empty()) {
        out_ << ", \"more_faults\": [";
        for (std::size_t k = 0; k < r.more_messages.size(); ++k) {
            out_ << (k == 0 ? "" : ", ");
            write_json_string(out_, r.more_messages[k]);
        }
        out_ << ']';
    }
    if (r.has_data) {
        const study& s = r.data;
        out_ << ",\n   \"doses\": ";
        column(out_, s.x, 0);
        out_ << ", \"logrr\": ";
        column(out_, s.L, 0);
        out_ << ", \"variances\": ";
        column(out_, s.v, 0);
        out_ << ",\n   \"cases\": ";
        with_reference(out_, s.A0, s.A);
        out_ << ", \"totals\": ";
        with_reference(out_, s.N0, s.N);
    }
    if (r.has_fit) {
        out_ << ",\n   \"fitted\": ";
        with_reference(out_, r.fitted_A0, r.fitted);
    }
    if (r.has_data && !r.data.convention.empty()) {
        out_ << ",\n   \"convention\": ";
        write_json_string(out_, r.data.convention);
    }
    if (covariance_ && r.has_data) {
        out_ << ",\n   \"covariance_kind\": ";
        write_json_string(out_, covariance_name(r.covariance));
    }
    if (r.has_pseudo) {
        out_ << ", \"pseudo_cases\": ";
        with_reference(out_, r.pseudo_A0, r.pseudo_A);
        out_ << ", \"pseudo_totals\": ";
        with_reference(out_, r.pseudo_N0, r.pseudo_N);
    }
    if (r.V.row_count() > 0) {
        out_ << ",\n   \"covariance\": [";
        for (Matrix::size_type i = 0; i < r.V.row_count(); ++i) {
            out_ << (i == 0 ? "" : ", ") << '[';
            for (Matrix::size_type j = 0; j < r.V.col_count(); ++j) {
                out_ << (j == 0 ? "" : ", ");
                number(out_, r.V(i, j));
            }
            out_ << ']';
        }
        out_ << ']';
    }
    assigned_doses(out_, r.data.assigned_doses);
    // Notes of assigned doses are in assigned_doses; the warnings are the slips.
    out_ << ",\n   \"warnings\": [";
    bool first = true;
    for (const notice& w : r.data.warnings) {
        if (w.note) {
            continue;
        }
        out_ << (first ? "" : ", ") << "{\"line\": " << w.line << ", \"message\": ";
        first = false;
        write_json_string(out_, w.message);
        out_ << '}';
    }
    out_ << "]}";
}

void json_writer::end(const meta_analysis* pooled, const curve_result* curve) {
    out_ << (first_ ? "]" : "\n]");
    if (pooled != nullptr) {
        out_ << ",\n \"pooled\": ";
        write_pooled(out_, *pooled);
    }
    if (curve != nullptr) {
        out_ << ",\n \"curve\": ";
        write_curve_json(out_, *curve);
    }
    out_ << "}\n";
}

} // namespace morvex
