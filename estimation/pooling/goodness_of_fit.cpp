#include "estimation/pooling/goodness_of_fit.hpp"

#include "estimation/base/distributions.hpp"
#include "estimation/base/format.hpp"
#include "estimation/pooling/mixed_model.hpp"

namespace morvex {
namespace {

using size_type = Matrix::size_type;

// L^-1 v by forward substitution, L lower triangular.
std::vector<double> solve_lower(const Matrix& L, const Matrix& v) {
    const size_type n = v.row_count();
    std::vector<double> z(n);
    for (size_type i = 0; i < n; ++i) {
        double s = v(i, 0);
        for (size_type j = 0; j < i; ++j) {
            s -= L(i, j) * z[j];
        }
        z[i] = s / L(i, i);
    }
    return z;
}

} // namespace

goodness_of_fit fit_goodness(const std::vector<curve_study>& studies, const dose_basis& basis) {
    goodness_of_fit g;
    g.shape = basis.shape;
    g.coefficients = basis.coefficients();
    const auto p = static_cast<size_type>(g.coefficients);
    std::vector<mixed_unit> units;
    units.reserve(studies.size());
    for (const curve_study& s : studies) {
        units.push_back({s.y, design_matrix(basis, s.x0, s.dose, s.x), s.S});
    }
    g.studies = static_cast<int>(units.size());
    g.categories = units.empty() ? 0 : outcome_count(units);
    if (g.categories <= g.coefficients) {
        g.message = format("the fit of %d coefficient%s needs more than %d exposed categories; "
                           "%d studies give %d",
                           g.coefficients, g.coefficients == 1 ? "" : "s", g.coefficients,
                           g.studies, g.categories);
        return g;
    }
    const std::optional<mixed_evaluation> fit = evaluate_model(units, zeros(p, p), false);
    if (!fit) {
        g.message = "the categories cannot tell the trend's coefficients apart, or a study's "
                    "covariance is not positive definite";
        return g;
    }
    g.beta = fit->beta;
    g.deviance = fit->residual;
    g.df = g.categories - g.coefficients;
    g.p = chi_square_upper_tail(g.deviance, g.df);
    double total = 0.0; // sum y' S^-1 y
    for (std::size_t i = 0; i < units.size(); ++i) {
        const mixed_unit& u = units[i];
        const std::optional<Matrix> L = cholesky(u.S);
        if (!L) {
            g.message = "the covariance of " + studies[i].label + " is not positive definite";
            return g;
        }
        Matrix r = u.y - u.X * g.beta;
        for (const double z : solve_lower(*L, u.y)) {
            total += z * z;
        }
        study_residuals s{
            studies[i].label, studies[i].input, studies[i].id, {}, solve_lower(*L, r)};
        for (size_type j = 0; j < studies[i].dose.row_count(); ++j) {
            s.doses.push_back(studies[i].dose(j, 0));
        }
        g.residuals.push_back(std::move(s));
    }
    g.R2 = 1.0 - g.deviance / total;
    return g;
}

} // namespace morvex
