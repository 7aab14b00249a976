#include "estimation/output/curve_report.hpp"

#include "estimation/base/distributions.hpp"
#include "estimation/base/format.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace morvex {
namespace {

using size_type = Matrix::size_type;

const char* const rule = "---------------------------------------------------------\n";

void print_matrix(std::ostream& out, const char* title, const Matrix& m) {
    out << title << '\n';
    for (size_type i = 0; i < m.row_count(); ++i) {
        out << "   ";
        for (size_type j = 0; j < m.col_count(); ++j) {
            out << format(" %14lg", m(i, j));
        }
        out << '\n';
    }
}

void print_first_stage(std::ostream& out, const curve_result& r) {
    out << format("First stage: %d coefficient%s per study (", r.basis.coefficients(),
                  r.basis.coefficients() == 1 ? "" : "s");
    const std::vector<std::string> names = r.basis.names();
    for (std::size_t j = 0; j < names.size(); ++j) {
        out << (j == 0 ? "" : ", ") << names[j];
    }
    out << "), estimate and SE:\n";
    for (const study_coefficients& s : r.studies) {
        out << "  " << printable(s.label) << ':';
        if (!s.fit.usable) {
            out << " no fit: " << printable(s.fit.reason) << '\n';
            continue;
        }
        for (size_type j = 0; j < s.fit.b.row_count(); ++j) {
            out << format(" %lg (%lg)", s.fit.b(j, 0), std::sqrt(s.fit.V(j, j)));
        }
        out << '\n';
    }
}

void print_test(std::ostream& out, const char* what, const chi_square_test& t) {
    out << format("Wald test, %s: chi^2 = %lg, df = %d, p = %lg\n", what, t.statistic, t.df, t.p);
}

void print_reml_search(std::ostream& out, const curve_method& m) {
    out << (m.converged ? format("REML converged in %d iterations", m.iterations)
                        : format("*** REML not converged after %d iterations; the best point "
                                 "found is shown",
                                 m.iterations))
        << format(" (largest scaled gradient %lg, target %lg); log-likelihood %.10lg.\n",
                  m.gradient, m.gradient_target, m.loglik);
    const auto elsewhere = std::count_if(m.starts.begin(), m.starts.end(),
                                         [](const reml_start& s) { return !s.at_optimum; });
    const auto boundary =
        std::count_if(m.starts.begin(), m.starts.end(), [&m](const reml_start& s) {
            return s.rank < static_cast<int>(m.beta.row_count());
        });
    out << format("REML starts: %zu (%d on the boundary, Psi of lower rank), %d distinct "
                  "optima, %d ended at another point",
                  m.starts.size(), static_cast<int>(boundary), m.optima,
                  static_cast<int>(elsewhere));
    const char* separator = ": ";
    for (const reml_start& s : m.starts) {
        if (!s.at_optimum) {
            out << separator << s.name << format(" (log-likelihood %.10lg)", s.loglik);
            separator = ", ";
        }
    }
    out << ".\n";
}

void print_method(std::ostream& out, const curve_result& r, const curve_method& m) {
    out << rule << method_title(m) << ":\n";
    if (!m.available) {
        out << "No estimate: " << printable(m.message) << ".\n";
        return;
    }
    out << format("%-10s %14s %14s %14s %14s\n", "", "Estimate", "SE", "Lower 95%", "Upper 95%");
    const std::vector<std::string> names = r.basis.names();
    for (size_type j = 0; j < m.beta.row_count(); ++j) {
        const double se = std::sqrt(m.cov(j, j));
        out << format("%-10s %14lg %14lg %14lg %14lg\n", names[j].c_str(), m.beta(j, 0), se,
                      m.beta(j, 0) - z_975 * se, m.beta(j, 0) + z_975 * se);
    }
    print_matrix(out, "Covariance of the estimates:", m.cov);
    print_matrix(out, "Between-study covariance Psi:", m.psi);
    if (m.name == "reml") {
        print_reml_search(out, m);
    }
    print_test(out, "all coefficients 0", m.overall);
    if (m.beta.row_count() > 1) {
        print_test(out, "non-linearity", m.nonlinear);
    }
    const measure_words& w = words(r.settings.measure);
    out << format("%s against dose %lg:\n", w.title, r.reference_dose)
        << format("%14s %14s %14s %14s\n", "Dose", w.abbreviation, "Lower 95%", "Upper 95%");
    for (const prediction& p : m.predictions) {
        out << format("%14lg %14lg %14lg %14lg\n", p.dose, p.rr, p.lower, p.upper);
    }
}

} // namespace

std::string describe_trend(const curve_result& r) {
    std::string text = shape_name(r.basis.shape);
    if (r.basis.shape == trend_shape::spline) {
        text += format(" with %zu knots at", r.basis.knots.size());
        for (std::size_t k = 0; k < r.basis.knots.size(); ++k) {
            text += format("%s %lg", k == 0 ? "" : ",", r.basis.knots[k]);
        }
    }
    return text;
}

const char* method_title(const curve_method& m) {
    if (m.name == "fixed") {
        return "Fixed effect";
    }
    return m.name == "moments" ? "Method of moments" : "REML";
}

void print_curve(std::ostream& out, const curve_result& r) {
    out << rule << "Pooled trend: " << describe_trend(r) << " ("
        << (r.settings.one_stage ? "one-stage" : "two-stage") << " model).\n";
    if (!r.studies.empty()) {
        print_first_stage(out, r);
    }
    if (!r.left_out.empty()) {
        out << "Left out of the pooled trend:\n";
        for (const left_out_study& s : r.left_out) {
            out << "  " << printable(s.label) << ": " << printable(s.reason) << '\n';
        }
    }
    if (!r.message.empty()) {
        out << "No pooled trend: " << printable(r.message) << ".\n";
        return;
    }
    out << format("Studies in the pooled fit: %d.\n", r.pooled)
        << format("Heterogeneity: Q = %lg, df = %d, p = %lg, I^2 = %lg%%\n",
                  r.heterogeneity.statistic, r.heterogeneity.df, r.heterogeneity.p, r.I2);
    for (const curve_method& m : r.methods) {
        print_method(out, r, m);
    }
}

} // namespace morvex
