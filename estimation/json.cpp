#include "estimation/json.hpp"

#include "estimation/format.hpp"

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
    out_ << ",\n   \"warnings\": [";
    const std::vector<notice>& warnings = r.data.warnings;
    for (std::size_t k = 0; k < warnings.size(); ++k) {
        out_ << (k == 0 ? "" : ", ") << "{\"line\": " << warnings[k].line << ", \"message\": ";
        write_json_string(out_, warnings[k].message);
        out_ << '}';
    }
    out_ << "]}";
}

void json_writer::end() {
    out_ << (first_ ? "]}\n" : "\n]}\n");
}

} // namespace morvex
