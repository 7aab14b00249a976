#include "estimation/output/report.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace morvex {
namespace {

const char* const rule = "---------------------------------------------------------\n";

const char* design_name(study_design design) {
    switch (design) {
    case study_design::case_control:
        return "Case-control study";
    case study_design::incidence_rate:
        return "Incidence-rate study with person-time";
    case study_design::cohort:
        break;
    }
    return "Cohort study with Nx persons";
}

// A count as %*lg writes it, or NA where a table leaves it out, as %*s writes that.
void append_count(std::string& line, double value, int width) {
    if (std::isnan(value)) {
        append_right(line, "NA", width);
    } else {
        append_general(line, value, width);
    }
}

// "     %3d": a category's number in a table of the report.
void append_category(std::string& line, Matrix::size_type i) {
    char digits[24];
    const char* end = std::to_chars(digits, digits + sizeof digits, i + 1).ptr;
    line += "     ";
    append_right(line, std::string_view(digits, static_cast<std::size_t>(end - digits)), 3);
}

// The lines are built in one string and written at once: a run of many
// studies writes a report for each.
void write(std::ostream& out, const std::string& text) {
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void append_opening(std::string& lines, const std::string& input_name, const study& s) {
    lines += rule;
    lines += "Trend estimation from summarized dose-response data.\n"
             "See Greenland and Longnecker (1992) for details.\n"
             "Programmed by Brannock. Version 1.0.\n";
    lines += rule;
    lines += "Input file = '";
    lines += input_name;
    lines += "'\n";
    lines += s.title;
    lines += "\nStudy design: ";
    lines += design_name(s.design);
    lines += ".\n"
             "--- Initial settings.\n"
             "Category  Assigned dose     #cases     #total      RR    LCI    UCI\n"
             "       0 ";
    append_general(lines, 0.0, 14);
    lines += "  ";
    append_count(lines, s.A0, 9);
    lines += "  ";
    append_count(lines, s.N0, 9);
    lines += "  ";
    append_general(lines, 1.0, 6);
    lines += '\n';
    for (Matrix::size_type i = 0; i < s.A.row_count(); ++i) {
        append_category(lines, i);
        lines += ' ';
        append_general(lines, s.x(i, 0), 14);
        lines += "  ";
        append_count(lines, s.A(i, 0), 9);
        lines += "  ";
        append_count(lines, s.N(i, 0), 9);
        lines += "  ";
        append_general(lines, elem::exp(s.L(i, 0)), 6);
        lines += ' ';
        append_general(lines, elem::exp(s.lo(i, 0)), 6);
        lines += ' ';
        append_general(lines, elem::exp(s.hi(i, 0)), 6);
        lines += '\n';
    }
}

void append_pseudo_counts(std::string& lines, const study_result& r) {
    lines += "--- Hamling pseudo-counts.\n"
             "Category     #cases     #total\n"
             "       0  ";
    append_general(lines, r.pseudo_A0, 9);
    lines += "  ";
    append_general(lines, r.pseudo_N0, 9);
    lines += '\n';
    for (Matrix::size_type i = 0; i < r.pseudo_A.row_count(); ++i) {
        append_category(lines, i);
        lines += "  ";
        append_general(lines, r.pseudo_A(i, 0), 9);
        lines += "  ";
        append_general(lines, r.pseudo_N(i, 0), 9);
        lines += '\n';
    }
}

void append_fitted_counts(std::string& lines, const Matrix& A, double A0, bool converged) {
    // A report must not state both outcomes: the heading only follows a pass.
    lines += converged ? "--- Converged.\n" : "*** Not converged.***\n";
    lines += "Category     #cases\n"
             "       0  ";
    append_general(lines, A0, 9);
    lines += '\n';
    for (Matrix::size_type i = 0; i < A.row_count(); ++i) {
        append_category(lines, i);
        lines += "  ";
        append_general(lines, A(i, 0), 9);
        lines += '\n';
    }
}

void append_result(std::string& lines, const trend& t) {
    lines += rule;
    lines += "Estimated beta = ";
    append_general(lines, t.beta);
    lines += "\nSE(beta)       = ";
    append_general(lines, t.se);
    lines += '\n';
}

} // namespace

void print_fitted_counts(std::ostream& out, const fitted_counts& fit) {
    std::string lines;
    append_fitted_counts(lines, fit.A, fit.A0, fit.converged);
    write(out, lines);
}

void print_result(std::ostream& out, const trend& t) {
    std::string lines;
    append_result(lines, t);
    write(out, lines);
}

void append_report(std::string& text, const study_result& r, bool classic) {
    if (r.has_data) {
        append_opening(text, r.input, r.data);
    } else if (!classic) {
        text += "Input file = '";
        text += printable(r.input);
        text += "'\n";
        if (r.from_table) {
            text += "Study ";
            text += printable(r.id);
            text += " (line ";
            text += std::to_string(r.first_line);
            text += ")\n";
        }
    }
    if (r.has_fit) {
        append_fitted_counts(text, r.fitted, r.fitted_A0, r.converged);
    } else if (r.has_pseudo) {
        append_pseudo_counts(text, r);
    } else if (r.has_data && r.covariance == covariance_kind::indep) {
        text += "--- Independent log relative risks (no covariance between categories).\n";
    }
    if (r.estimated()) {
        append_result(text, trend{r.beta, r.se});
    } else if (!classic) {
        text += r.status == study_status::refused ? "*** Refused: " : "*** Stopped: ";
        text += r.message;
        text += '\n';
        for (const std::string& more : r.more_messages) {
            text += "*** Also: ";
            text += more;
            text += '\n';
        }
    }
}

} // namespace morvex
