#include "estimation/pooling/goodness_of_fit.hpp"

#include "estimation/base/distributions.hpp"
#include "estimation/base/format.hpp"
#include "estimation/method/coefficient_fit.hpp"
#include "estimation/pooling/mixed_model.hpp"
#include "estimation/pooling/positive_definite.hpp"

#include <numeric>

namespace morvex {

using size_type = Matrix::size_type;

goodness_of_fit fit_goodness(const std::vector<curve_study>& studies, const dose_basis& basis) {
    goodness_of_fit g;
    g.shape = basis.shape;
    g.coefficients = basis.coefficients();
    const auto p = static_cast<size_type>(g.coefficients);
    std::vector<Matrix> designs;
    std::vector<mixed_unit> units;
    designs.reserve(studies.size());
    units.reserve(studies.size());
    for (const curve_study& s : studies) {
        designs.push_back(design_matrix(basis, s.x0, s.dose, s.x));
        // Every exposed category of the study, in one stage.
        units.push_back(fit_coefficients(designs.back(), s.y, s.S).reduced);
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
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (!units[i].factored) {
            g.message = "the covariance of " + studies[i].label + " is not positive definite";
            return g;
        }
    }
    const std::optional<mixed_evaluation> fit = evaluate_model(units, zeros(p, p), false);
    if (!fit) {
        g.message = "the categories cannot tell the trend's coefficients apart";
        return g;
    }
    g.beta = fit->beta;
    g.deviance = fit->residual;
    g.df = g.categories - g.coefficients;
    g.p = chi_square_upper_tail(g.deviance, g.df);
    double total = 0.0; // sum y' S^-1 y
    for (std::size_t i = 0; i < units.size(); ++i) {
        const curve_study& st = studies[i];
        const std::optional<Matrix> L = lower_cholesky(st.S);
        if (!L) {
            g.message = "the covariance of " + st.label + " is not positive definite";
            return g;
        }
        const auto whitened = solve_lower(*L, st.y);
        total = std::accumulate(whitened.begin(), whitened.end(), total,
                                [](double sum, double z) { return sum + z * z; });
        study_residuals r{
            st.label, st.input, st.id, {}, solve_lower(*L, st.y - designs[i] * g.beta)};
        for (size_type j = 0; j < st.dose.row_count(); ++j) {
            r.doses.push_back(st.dose(j, 0));
        }
        g.residuals.push_back(std::move(r));
    }
    g.R2 = 1.0 - g.deviance / total;
    return g;
}

} // namespace morvex
