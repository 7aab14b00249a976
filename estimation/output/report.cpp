#include "estimation/output/report.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"

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

// A count as %lg writes it, or NA where a table leaves it out.
std::string count(double value) {
    return std::isnan(value) ? std::string("NA") : format("%lg", value);
}

} // namespace

void print_opening(std::ostream& out, const std::string& input_name, const study& s) {
    out << rule << "Trend estimation from summarized dose-response data.\n"
        << "See Greenland and Longnecker (1992) for details.\n"
        << "Programmed by Brannock. Version 1.0.\n"
        << rule << "Input file = '" << input_name << "'\n"
        << s.title << '\n'
        << "Study design: " << design_name(s.design) << ".\n"
        << "--- Initial settings.\n"
        << "Category  Assigned dose     #cases     #total      RR    LCI    UCI\n"
        << format("       0 %14lg  %9s  %9s  %6lg\n", 0.0, count(s.A0).c_str(), count(s.N0).c_str(),
                  1.0);
    for (Matrix::size_type i = 0; i < s.A.row_count(); ++i) {
        out << format("     %3d %14lg  %9s  %9s  %6lg %6lg %6lg\n", static_cast<int>(i) + 1,
                      s.x(i, 0), count(s.A(i, 0)).c_str(), count(s.N(i, 0)).c_str(),
                      elem::exp(s.L(i, 0)), elem::exp(s.lo(i, 0)), elem::exp(s.hi(i, 0)));
    }
}

void print_pseudo_counts(std::ostream& out, const study_result& r) {
    out << "--- Hamling pseudo-counts.\n"
        << "Category     #cases     #total\n"
        << format("       0  %9lg  %9lg\n", r.pseudo_A0, r.pseudo_N0);
    for (Matrix::size_type i = 0; i < r.pseudo_A.row_count(); ++i) {
        out << format("     %3d  %9lg  %9lg\n", static_cast<int>(i) + 1, r.pseudo_A(i, 0),
                      r.pseudo_N(i, 0));
    }
}

void print_fitted_counts(std::ostream& out, const fitted_counts& fit) {
    // A report must not state both outcomes: the heading only follows a pass.
    out << (fit.converged ? "--- Converged.\n" : "*** Not converged.***\n")
        << "Category     #cases\n"
        << format("       0  %9lg\n", fit.A0);
    for (Matrix::size_type i = 0; i < fit.A.row_count(); ++i) {
        out << format("     %3d  %9lg\n", static_cast<int>(i) + 1, fit.A(i, 0));
    }
}

void print_result(std::ostream& out, const trend& t) {
    out << rule << format("Estimated beta = %lg\n", t.beta)
        << format("SE(beta)       = %lg\n", t.se);
}

void print_report(std::ostream& out, const study_result& r, bool classic) {
    if (r.has_data) {
        print_opening(out, r.input, r.data);
    } else if (!classic) {
        out << "Input file = '" << printable(r.input) << "'\n";
        if (r.from_table) {
            out << "Study " << printable(r.id) << " (line " << r.first_line << ")\n";
        }
    }
    if (r.has_fit) {
        print_fitted_counts(out, fitted_counts{r.fitted, r.fitted_A0, r.converged, r.iterations});
    } else if (r.has_pseudo) {
        print_pseudo_counts(out, r);
    } else if (r.has_data && r.covariance == covariance_kind::indep) {
        out << "--- Independent log relative risks (no covariance between categories).\n";
    }
    if (r.estimated()) {
        print_result(out, trend{r.beta, r.se});
    } else if (!classic) {
        out << (r.status == study_status::refused ? "*** Refused: " : "*** Stopped: ") << r.message
            << '\n';
        for (const std::string& more : r.more_messages) {
            out << "*** Also: " << more << '\n';
        }
    }
}

} // namespace morvex
