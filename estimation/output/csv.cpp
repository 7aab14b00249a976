#include "estimation/output/csv.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <vector>

namespace morvex {
namespace {

void append_integer(std::string& row, int value) {
    char digits[16];
    row.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

void append_shortest(std::string& row, double value) {
    char text[number_chars];
    row.append(text, shortest_chars(value, text));
}

// The warnings in one field, each after the line it concerns.
void append_warnings(std::string& row, const std::vector<notice>& warnings) {
    std::string field;
    for (const notice& w : warnings) {
        if (!field.empty()) {
            field += " | ";
        }
        if (w.line > 0) {
            field += "line ";
            append_integer(field, w.line);
            field += ": ";
        }
        field += w.message;
    }
    append_csv_field(row, field);
}

} // namespace

void append_csv_field(std::string& row, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        row += text;
        return;
    }
    row += '"';
    for (const char c : text) {
        row += c;
        if (c == '"') {
            row += '"';
        }
    }
    row += '"';
}

void write_csv_field(std::ostream& out, std::string_view text) {
    std::string field;
    append_csv_field(field, text);
    out << field;
}

void write_csv_header(std::ostream& out, bool increment, std::string_view more,
                      outcome_measure measure) {
    const std::string code = words(measure).code;
    out << "input,id," << (is_continuous(measure) ? "measure" : "design")
        << ",categories,iterations,converged,beta,se,lower,upper,p,status,message,warnings";
    if (increment) {
        out << ",increment," << code << ',' << code << "_lower," << code << "_upper";
    }
    out << more << "\r\n";
}

void append_csv_fields(std::string& row, const study_result& r, std::optional<double> increment) {
    append_csv_field(row, r.input);
    row += ',';
    append_csv_field(row, r.id);
    row += ',';
    if (r.has_data && r.data.is_continuous()) {
        row += words(r.data.measure).code;
    } else if (r.has_data && r.data.design_known) {
        row += design_code(r.data.design);
    }
    row += ',';
    if (r.has_data) {
        append_integer(row, r.categories());
    }
    row += ',';
    if (r.solved()) {
        append_integer(row, r.iterations);
    }
    // A study whose covariance needed no equations solved has not converged either.
    row += r.solved() && r.converged ? ",true" : ",false";
    for (const double value : {r.beta, r.se, r.lower(), r.upper(), r.p()}) {
        row += ',';
        append_shortest(row, value);
    }
    row += ',';
    row += status_name(r.status);
    row += ',';
    append_csv_field(row, r.message);
    row += ',';
    append_warnings(row, r.data.warnings);
    if (increment) {
        const shown_interval per =
            shown_per(r.data.measure, *increment, r.beta, r.lower(), r.upper());
        for (const double value : {*increment, per.value, per.lower, per.upper}) {
            row += ',';
            append_shortest(row, value);
        }
    }
}

} // namespace morvex
