#include "estimation/output/curve_csv.hpp"

#include "estimation/base/distributions.hpp"
#include "estimation/base/format.hpp"
#include "estimation/output/csv.hpp"

#include <cmath>
#include <string>

namespace morvex {
namespace {

using size_type = Matrix::size_type;

// beta, se, lower, upper, p of one estimate.
void estimate_columns(std::ostream& out, double b, double se) {
    for (const double value : {b, se, b - z_975 * se, b + z_975 * se, normal_two_sided_p(b / se)}) {
        out << ',' << shortest(value);
    }
}

std::string pairs(const char* name, const Matrix& m) {
    std::string text;
    for (size_type i = 0; i < m.row_count(); ++i) {
        for (size_type j = 0; j < m.col_count(); ++j) {
            text += ' ' + std::string(name) + std::to_string(i + 1);
            if (m.col_count() > 1) {
                text += std::to_string(j + 1);
            }
            text += '=' + shortest(m(i, j));
        }
    }
    return text;
}

void study_rows(std::ostream& out, const curve_result& r, const char* end) {
    for (const study_coefficients& s : r.studies) {
        write_csv_field(out, s.input);
        out << ',';
        write_csv_field(out, s.id);
        out << ",,,,";
        if (s.fit.usable) {
            estimate_columns(out, s.fit.b(0, 0), std::sqrt(s.fit.V(0, 0)));
            const std::string message = pairs("b", s.fit.b) + pairs("V", s.fit.V);
            out << ",trend study,";
            write_csv_field(out, message.substr(1));
        } else {
            out << ",,,,,,trend study,";
            write_csv_field(out, "no fit: " + s.fit.reason);
        }
        out << end;
    }
}

void method_rows(std::ostream& out, const curve_result& r, const curve_method& m, const char* end) {
    out << ',' << m.name << ",,,";
    if (m.name == "reml") {
        out << m.iterations << ',' << (m.converged ? "true" : "false");
    } else {
        out << ',';
    }
    if (!m.available) {
        out << ",,,,,,trend not pooled,";
        write_csv_field(out, m.message);
        out << end;
        return;
    }
    estimate_columns(out, m.beta(0, 0), std::sqrt(m.cov(0, 0)));
    std::string message =
        "k=" + std::to_string(r.pooled) + pairs("b", m.beta) + pairs("V", m.cov) +
        pairs("psi", m.psi) + " loglik=" + shortest(m.loglik) +
        " Q=" + shortest(r.heterogeneity.statistic) + " df=" + std::to_string(r.heterogeneity.df) +
        " Q_p=" + shortest(r.heterogeneity.p) + " I2=" + shortest(r.I2) +
        " wald=" + shortest(m.overall.statistic) + " wald_df=" + std::to_string(m.overall.df) +
        " wald_p=" + shortest(m.overall.p);
    if (m.beta.row_count() > 1) {
        message += " nonlinear=" + shortest(m.nonlinear.statistic) +
                   " nonlinear_df=" + std::to_string(m.nonlinear.df) +
                   " nonlinear_p=" + shortest(m.nonlinear.p);
    }
    out << ",trend pooled,";
    write_csv_field(out, message);
    out << end;
    for (const prediction& p : m.predictions) {
        out << ',' << m.name << ",,,,";
        estimate_columns(out, p.log_rr, p.se);
        out << ",trend prediction,dose=" << shortest(p.dose)
            << " reference=" << shortest(r.reference_dose) << " rr=" << shortest(p.rr)
            << " rr_lower=" << shortest(p.lower) << " rr_upper=" << shortest(p.upper) << end;
    }
}

} // namespace

void write_csv_curve_rows(std::ostream& out, const curve_result& r, bool covariance) {
    // With the covariance column, every row has one more (empty) field.
    const char* const end = covariance ? ",\r\n" : "\r\n";
    study_rows(out, r, end);
    if (!r.message.empty()) {
        out << ",,,,,,,,,,,trend not pooled,";
        write_csv_field(out, r.message);
        out << end;
        return;
    }
    for (const curve_method& m : r.methods) {
        method_rows(out, r, m, end);
    }
}

} // namespace morvex
