#include "estimation/output/curve_csv.hpp"

#include "estimation/base/format.hpp"
#include "estimation/output/csv.hpp"

namespace morvex {
namespace {

using size_type = Matrix::size_type;

// Why the study has no coefficients, or why they do not enter the pooled fit;
// empty when they do.
std::string note_of(const held_csv_row& row, const curve_result& r) {
    if (!row.curve_study) {
        return "no complete estimate: left out of the pooled trend";
    }
    if (*row.curve_study >= r.studies.size()) {
        return "no pooled trend: " + r.message;
    }
    const coefficient_fit& fit = r.studies[*row.curve_study].fit;
    if (fit.usable) {
        return {};
    }
    return (r.settings.one_stage ? "no first-stage fit (in the one-stage model): "
                                 : "left out of the two-stage fit: ") +
           fit.reason;
}

void write_coefficients(std::ostream& out, std::size_t p, const coefficient_fit* fit) {
    for (size_type i = 0; i < p; ++i) {
        out << ',' << (fit != nullptr ? shortest(fit->b(i, 0)) : std::string());
    }
    for (size_type i = 0; i < p; ++i) {
        for (size_type j = i; j < p; ++j) {
            out << ',' << (fit != nullptr ? shortest(fit->V(i, j)) : std::string());
        }
    }
}

} // namespace

int coefficient_count(const curve_settings& s) {
    switch (s.shape) {
    case trend_shape::linear:
        return 1;
    case trend_shape::quadratic:
        return 2;
    case trend_shape::spline:
        break;
    }
    return (s.knots.empty() ? s.knot_count : static_cast<int>(s.knots.size())) - 1;
}

std::string curve_csv_columns(int p) {
    std::string columns;
    for (int i = 1; i <= p; ++i) {
        columns += ",b" + std::to_string(i);
    }
    for (int i = 1; i <= p; ++i) {
        for (int j = i; j <= p; ++j) {
            columns += ",V" + std::to_string(i) + std::to_string(j);
        }
    }
    return columns + ",trend_note";
}

void write_csv_curve_rows(std::ostream& out, const std::vector<held_csv_row>& rows,
                          const curve_result& r) {
    const auto p = static_cast<std::size_t>(coefficient_count(r.settings));
    for (const held_csv_row& row : rows) {
        out << row.fields;
        const std::string note = note_of(row, r);
        // No note: the study has a first-stage fit.
        write_coefficients(out, p, note.empty() ? &r.studies[*row.curve_study].fit : nullptr);
        out << ',';
        write_csv_field(out, note);
        out << "\r\n";
    }
}

} // namespace morvex
