#include "estimation/pooling/curve_analysis.hpp"

#include "estimation/base/distributions.hpp"
#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"
#include "estimation/pooling/moments.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace morvex {
namespace {

using size_type = Matrix::size_type;

constexpr int default_prediction_doses = 10;

std::vector<double> all_doses(const std::vector<curve_study>& studies) {
    std::vector<double> doses;
    for (const curve_study& s : studies) {
        doses.push_back(s.x0);
        for (size_type i = 0; i < s.dose.row_count(); ++i) {
            doses.push_back(s.dose(i, 0));
        }
    }
    return doses;
}

std::string joined(const std::vector<double>& values) {
    std::string text;
    for (const double v : values) {
        text += (text.empty() ? "" : ", ") + shortest(v);
    }
    return text;
}

// The basis, or why there is none.
std::string choose_basis(const curve_settings& settings, const std::vector<double>& doses,
                         dose_basis& basis) {
    basis.shape = settings.shape;
    if (settings.shape != trend_shape::spline) {
        return {};
    }
    if (!settings.knots.empty()) {
        basis.knots = settings.knots;
        return knot_problem(basis.knots);
    }
    basis.knots = knots_at_percentiles(doses, settings.knot_count);
    const std::string problem = knot_problem(basis.knots);
    if (!problem.empty()) {
        return "the " + std::to_string(settings.knot_count) +
               " knots at the percentiles of the doses do not increase strictly (" +
               joined(basis.knots) + "); give the knots with --knots=a,b,c";
    }
    return {};
}

chi_square_test wald(const Matrix& beta, const Matrix& cov, size_type first) {
    const size_type p = beta.row_count();
    const size_type q = p - first;
    chi_square_test t;
    t.df = static_cast<int>(q);
    if (q == 0) {
        return t;
    }
    Matrix b = zeros(q, 1);
    Matrix c = zeros(q, q);
    for (size_type i = 0; i < q; ++i) {
        b(i, 0) = beta(first + i, 0);
        for (size_type j = 0; j < q; ++j) {
            c(i, j) = cov(first + i, first + j);
        }
    }
    try {
        t.statistic = (transpose(b) * ((!c) * b))(0, 0);
        t.p = chi_square_upper_tail(t.statistic, t.df);
    } catch (const math::matrix_error&) {
        t.statistic = not_computed;
    }
    return t;
}

curve_method method_at(const char* name, const std::vector<mixed_unit>& units, const Matrix& psi) {
    curve_method m;
    m.name = name;
    const std::optional<mixed_evaluation> e = evaluate_model(units, psi, false);
    if (!e) {
        m.message = "the model cannot be evaluated in double precision";
        return m;
    }
    m.available = true;
    m.beta = e->beta;
    m.cov = e->cov;
    m.psi = psi;
    m.loglik = e->loglik;
    return m;
}

curve_method reml_method(const std::vector<mixed_unit>& units, const std::optional<Matrix>& moments,
                         unsigned threads) {
    const reml_fit fit = maximise_reml(units, moments, threads);
    curve_method m;
    m.name = "reml";
    m.starts = fit.starts;
    m.optima = fit.optima;
    m.gradient_target = fit.target;
    if (!fit.found) {
        m.message = "the restricted likelihood cannot be evaluated in double precision";
        return m;
    }
    m.available = true;
    m.beta = fit.at.beta;
    m.cov = fit.at.cov;
    m.psi = fit.psi;
    m.loglik = fit.at.loglik;
    m.iterations = fit.iterations;
    m.converged = fit.converged;
    m.gradient = fit.gradient;
    return m;
}

std::vector<double> prediction_doses(const curve_result& r) {
    if (!r.settings.at.empty()) {
        return r.settings.at;
    }
    std::vector<double> doses{r.reference_dose};
    doses.insert(doses.end(), r.basis.knots.begin(), r.basis.knots.end());
    const double step = (r.largest_dose - r.smallest_dose) / (default_prediction_doses - 1);
    for (int k = 0; k < default_prediction_doses; ++k) {
        doses.push_back(k + 1 == default_prediction_doses ? r.largest_dose
                                                          : r.smallest_dose + k * step);
    }
    // In order, each dose once (the reference is often the smallest dose or a knot).
    std::sort(doses.begin(), doses.end());
    doses.erase(std::unique(doses.begin(), doses.end()), doses.end());
    return doses;
}

// The first stage, with the units of the pooled fit: in two stages those of the
// studies with a fit, in one stage every study's; studies that cannot enter it
// are left out with their reason.
std::vector<mixed_unit> first_stage(const std::vector<curve_study>& studies, curve_result& r) {
    std::vector<mixed_unit> units;
    coefficient_buffers buffers;
    for (const curve_study& s : studies) {
        study_coefficients c{s.label, s.input, s.id, {}};
        try {
            c.fit = fit_coefficients(design_matrix(r.basis, s.x0, s.dose, s.x), s.y, s.S, buffers);
        } catch (const math::matrix_error&) {
            c.fit.reason = "its covariance matrix is singular";
        }
        if (r.settings.one_stage && c.fit.reduced.factored) {
            units.push_back(c.fit.reduced);
        } else if (!r.settings.one_stage && c.fit.usable) {
            units.push_back(two_stage_unit(c.fit));
        } else {
            r.left_out.push_back({s.label, s.input, s.id,
                                  r.settings.one_stage ? std::string("its covariance matrix is not "
                                                                     "positive definite")
                                                       : c.fit.reason});
        }
        r.studies.push_back(std::move(c));
    }
    return units;
}

} // namespace

curve_study curve_study_of(const study_result& r) {
    curve_study s;
    s.label = r.from_table ? r.input + ": " + r.id : r.input;
    s.input = r.input;
    s.id = r.id;
    s.x0 = r.data.x0;
    s.dose = r.data.dose;
    s.x = r.data.x;
    s.y = r.data.L;
    s.S = r.V;
    return s;
}

prediction predict(const dose_basis& basis, const curve_method& m, double dose, double reference,
                   outcome_measure measure) {
    const std::vector<double> z = basis.contrast(dose, reference);
    prediction pr;
    pr.dose = dose;
    double variance = 0.0;
    for (size_type i = 0; i < z.size(); ++i) {
        pr.log_rr += z[i] * m.beta(i, 0);
        for (size_type j = 0; j < z.size(); ++j) {
            variance += z[i] * m.cov(i, j) * z[j];
        }
    }
    pr.se = std::sqrt(std::fmax(0.0, variance));
    pr.rr = shown(measure, pr.log_rr);
    pr.lower = shown(measure, pr.log_rr - z_975 * pr.se);
    pr.upper = shown(measure, pr.log_rr + z_975 * pr.se);
    return pr;
}

curve_result analyse_curve(const std::vector<curve_study>& studies, const curve_settings& settings,
                           std::vector<left_out_study> left_out) {
    curve_result r;
    r.settings = settings;
    r.left_out = std::move(left_out);
    const std::vector<double> doses = all_doses(studies);
    if (doses.empty()) {
        r.message = "no study has a complete estimate";
        return r;
    }
    r.smallest_dose = *std::min_element(doses.begin(), doses.end());
    r.largest_dose = *std::max_element(doses.begin(), doses.end());
    r.reference_dose = settings.reference_dose.value_or(r.smallest_dose);
    r.message = choose_basis(settings, doses, r.basis);
    if (!r.message.empty()) {
        return r;
    }
    const std::vector<mixed_unit> units = first_stage(studies, r);
    r.pooled = static_cast<int>(units.size());
    if (units.size() < 2) {
        r.message = format("%zu %s enter the pooled fit; it needs 2 or more", units.size(),
                           units.size() == 1 ? "study can" : "studies can");
        return r;
    }
    const auto p = static_cast<size_type>(r.basis.coefficients());
    curve_method fixed = method_at("fixed", units, zeros(p, p));
    if (!fixed.available) {
        r.message = "the pooled design cannot tell the coefficients apart, or its matrices are "
                    "not positive definite";
        return r;
    }
    const std::optional<mixed_evaluation> at_zero = evaluate_model(units, zeros(p, p), false);
    r.heterogeneity.statistic = at_zero->residual;
    r.heterogeneity.df = outcome_count(units) - static_cast<int>(p);
    r.heterogeneity.p = chi_square_upper_tail(r.heterogeneity.statistic, r.heterogeneity.df);
    const double Q = r.heterogeneity.statistic;
    r.I2 = Q > r.heterogeneity.df ? 100.0 * (Q - r.heterogeneity.df) / Q : 0.0;

    std::optional<Matrix> moments;
    if (settings.one_stage) {
        std::vector<category_unit> categories;
        for (std::size_t i = 0; i < studies.size(); ++i) {
            if (r.studies[i].fit.reduced.factored) {
                categories.push_back(
                    {studies[i].y,
                     design_matrix(r.basis, studies[i].x0, studies[i].dose, studies[i].x),
                     studies[i].S});
            }
        }
        moments = moments_psi(categories, fixed.beta, fixed.cov);
    } else {
        moments = moments_psi(units);
    }
    curve_method mm;
    if (moments) {
        mm = method_at("moments", units, *moments);
    } else {
        mm.name = "moments";
        mm.message = "the equations of the method of moments are singular";
    }
    r.methods.push_back(std::move(fixed));
    r.methods.push_back(std::move(mm));
    r.methods.push_back(reml_method(units, moments, settings.threads));
    const std::vector<double> at = prediction_doses(r);
    for (curve_method& m : r.methods) {
        if (!m.available) {
            continue;
        }
        m.overall = wald(m.beta, m.cov, 0);
        m.nonlinear = wald(m.beta, m.cov, 1);
        for (const double x : at) {
            m.predictions.push_back(predict(r.basis, m, x, r.reference_dose, settings.measure));
        }
    }
    return r;
}

} // namespace morvex
