#include "estimation/output/report.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"
#include "estimation/output/text_builder.hpp"

#include <charconv>
#include <cmath>
#include <string_view>
#include <utility>

namespace morvex {
namespace {

constexpr std::string_view rule = "---------------------------------------------------------\n";

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

// The value as %*lg writes it.
void general(text_builder& line, double value, int width = 0) {
    char digits[number_chars];
    line.right(std::string_view(digits, general_chars(value, digits)), width);
}

// A count as %*lg writes it, or NA where a table leaves it out, as %*s writes that.
void append_count(text_builder& line, double value, int width) {
    if (std::isnan(value)) {
        line.right("NA", width);
    } else {
        general(line, value, width);
    }
}

// "     %3d": a category's number in a table of the report.
void append_category(text_builder& line, Matrix::size_type i) {
    char digits[24];
    const char* end = std::to_chars(digits, digits + sizeof digits, i + 1).ptr;
    line << "     ";
    line.right(std::string_view(digits, static_cast<std::size_t>(end - digits)), 3);
}

// A category's figure and 95% limits as its measure shows them: "  y lo hi".
void append_shown(text_builder& lines, const study& s, Matrix::size_type i, int width) {
    for (const auto& [value, separator] :
         {std::pair{s.L(i, 0), "  "}, {s.lo(i, 0), " "}, {s.hi(i, 0), " "}}) {
        lines << separator;
        general(lines, shown(s.measure, value), width);
    }
}

// A table of means' categories: mean, SD and size as read, then the
// difference from the reference with its 95% limits, once it is formed.
void append_means(text_builder& lines, const study& s, bool formed) {
    const measure_words& w = words(s.measure);
    lines << "Outcome: ";
    lines << w.name;
    lines << " (";
    lines << w.abbreviation;
    lines << ") against the reference category.\n"
             "--- Initial settings.\n"
             "Category  Assigned dose         Mean           SD          n  ";
    lines.right(w.abbreviation, 10);
    lines << "        LCI        UCI\n"
             "       0 ";
    general(lines, 0.0, 14);
    for (const auto& [value, width] : {std::pair{s.mean0, 13}, {s.sd0, 13}, {s.N0, 11}}) {
        general(lines, value, width);
    }
    lines << "  ";
    general(lines, 0.0, 10);
    lines << '\n';
    for (Matrix::size_type i = 0; i < s.mean.row_count(); ++i) {
        append_category(lines, i);
        lines << ' ';
        general(lines, s.x(i, 0), 14);
        for (const auto& [value, width] :
             {std::pair{s.mean(i, 0), 13}, {s.sd(i, 0), 13}, {s.N(i, 0), 11}}) {
            general(lines, value, width);
        }
        if (formed) {
            append_shown(lines, s, i, 10);
        }
        lines << '\n';
    }
}

void append_opening(text_builder& lines, const std::string& input_name, const study& s,
                    bool formed) {
    lines << rule;
    lines << "Trend estimation from summarized dose-response data.\n";
    if (!s.is_continuous()) {
        lines << "See Greenland and Longnecker (1992) for details.\n";
    }
    lines << "Programmed by Brannock. Version 1.0.\n";
    lines << rule;
    lines << "Input file = '";
    lines << input_name;
    lines << "'\n";
    lines << s.title;
    lines << '\n';
    if (s.is_continuous()) {
        append_means(lines, s, formed);
        return;
    }
    lines << "Study design: ";
    lines << (s.design_known ? design_name(s.design) : "not given (no type)");
    lines << ".\n"
             "--- Initial settings.\n"
             "Category  Assigned dose     #cases     #total      RR    LCI    UCI\n"
             "       0 ";
    general(lines, 0.0, 14);
    lines << "  ";
    append_count(lines, s.A0, 9);
    lines << "  ";
    append_count(lines, s.N0, 9);
    lines << "  ";
    general(lines, 1.0, 6);
    lines << '\n';
    for (Matrix::size_type i = 0; i < s.A.row_count(); ++i) {
        append_category(lines, i);
        lines << ' ';
        general(lines, s.x(i, 0), 14);
        lines << "  ";
        append_count(lines, s.A(i, 0), 9);
        lines << "  ";
        append_count(lines, s.N(i, 0), 9);
        append_shown(lines, s, i, 6);
        lines << '\n';
    }
}

void append_pseudo_counts(text_builder& lines, const study_result& r) {
    lines << "--- Hamling pseudo-counts.\n"
             "Category     #cases     #total\n"
             "       0  ";
    general(lines, r.pseudo_A0, 9);
    lines << "  ";
    general(lines, r.pseudo_N0, 9);
    lines << '\n';
    for (Matrix::size_type i = 0; i < r.pseudo_A.row_count(); ++i) {
        append_category(lines, i);
        lines << "  ";
        general(lines, r.pseudo_A(i, 0), 9);
        lines << "  ";
        general(lines, r.pseudo_N(i, 0), 9);
        lines << '\n';
    }
}

void append_fitted_counts(text_builder& lines, const Matrix& A, double A0, bool converged) {
    // A report must not state both outcomes: the heading only follows a pass.
    lines << (converged ? "--- Converged.\n" : "*** Not converged.***\n");
    lines << "Category     #cases\n"
             "       0  ";
    general(lines, A0, 9);
    lines << '\n';
    for (Matrix::size_type i = 0; i < A.row_count(); ++i) {
        append_category(lines, i);
        lines << "  ";
        general(lines, A(i, 0), 9);
        lines << '\n';
    }
}

void append_result(text_builder& lines, const trend& t) {
    lines << rule;
    lines << "Estimated beta = ";
    general(lines, t.beta);
    lines << "\nSE(beta)       = ";
    general(lines, t.se);
    lines << '\n';
}

// What a slope of means measures, after its figures.
void append_slope_words(text_builder& lines, const study& s) {
    lines << "beta: the ";
    lines << words(s.measure).slope_of;
    lines << " per unit of dose.\n";
}

} // namespace

void print_fitted_counts(std::ostream& out, const fitted_counts& fit) {
    std::string text;
    text_builder lines(text);
    append_fitted_counts(lines, fit.A, fit.A0, fit.converged);
    lines.pass_on(out);
}

void print_result(std::ostream& out, const trend& t) {
    std::string text;
    text_builder lines(text);
    append_result(lines, t);
    lines.pass_on(out);
}

void append_report(text_builder& lines, const study_result& r, bool classic) {
    if (r.has_data) {
        append_opening(lines, r.input, r.data, r.V.row_count() > 0);
    } else if (!classic) {
        lines << "Input file = '";
        lines << printable(r.input);
        lines << "'\n";
        if (r.from_table) {
            lines << "Study ";
            lines << printable(r.id);
            lines << " (line ";
            lines << r.first_line;
            lines << ")\n";
        }
    }
    if (r.has_fit) {
        append_fitted_counts(lines, r.fitted, r.fitted_A0, r.converged);
    } else if (r.has_pseudo) {
        append_pseudo_counts(lines, r);
    } else if (r.has_data && r.data.is_continuous()) {
        lines << "--- Covariance from the SDs and sizes: the categories share the reference "
                 "group.\n";
    } else if (r.has_data && r.covariance == covariance_kind::indep) {
        lines << "--- Independent log relative risks (no covariance between categories).\n";
    }
    if (r.estimated()) {
        append_result(lines, trend{r.beta, r.se});
        if (r.data.is_continuous()) {
            append_slope_words(lines, r.data);
        }
    } else if (!classic) {
        lines << (r.status == study_status::refused ? "*** Refused: " : "*** Stopped: ");
        lines << r.message;
        lines << '\n';
        for (const std::string& more : r.more_messages) {
            lines << "*** Also: ";
            lines << more;
            lines << '\n';
        }
    }
}

} // namespace morvex
