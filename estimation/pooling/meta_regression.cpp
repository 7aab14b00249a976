#include "estimation/pooling/meta_regression.hpp"

#include "estimation/base/distributions.hpp"
#include "estimation/base/format.hpp"
#include "estimation/base/student_t.hpp"
#include "estimation/pooling/positive_definite.hpp"
#include "estimation/pooling/weighted_design.hpp"

#include <algorithm>
#include <cmath>

namespace morvex {
namespace {

// The intercept, each numeric moderator, and a 0/1 column per level of each
// text moderator but its first; the names in `r.terms` and `r.baselines`.
design_columns design_of(const std::vector<moderator_values>& moderators, std::size_t k,
                         meta_regression& r) {
    design_columns X{std::vector<double>(k, 1.0)};
    r.terms.push_back({"intercept"});
    for (const moderator_values& m : moderators) {
        if (m.numeric) {
            X.push_back(m.numbers);
            r.terms.push_back({m.name});
            continue;
        }
        std::vector<std::string> levels = m.texts;
        std::sort(levels.begin(), levels.end());
        levels.erase(std::unique(levels.begin(), levels.end()), levels.end());
        r.baselines.push_back(m.name + ": " + levels.front());
        for (std::size_t l = 1; l < levels.size(); ++l) {
            std::vector<double> column(k);
            std::transform(m.texts.begin(), m.texts.end(), column.begin(),
                           [&](const std::string& t) { return t == levels[l] ? 1.0 : 0.0; });
            X.push_back(std::move(column));
            r.terms.push_back({m.name + ": " + levels[l]});
        }
    }
    return X;
}

// A moderator that has one value among the studies: a text one would add no
// column at all, and a numeric one repeats the intercept.
std::string one_valued(const std::vector<moderator_values>& moderators, std::size_t k) {
    for (const moderator_values& m : moderators) {
        const bool one_value =
            m.numeric ? std::all_of(m.numbers.begin(), m.numbers.end(),
                                    [&](double v) { return v == m.numbers.front(); })
                      : std::all_of(m.texts.begin(), m.texts.end(),
                                    [&](const std::string& t) { return t == m.texts.front(); });
        if (k > 0 && one_value) {
            return "moderator " + quoted(m.name) + " has one value (" +
                   (m.numeric ? shortest(m.numbers.front()) : m.texts.front()) +
                   ") in every study of the meta-regression; it needs two or more";
        }
    }
    return {};
}

// Method of moments about the fixed-effect fit: (Q_E - (k - m)) / tr P, not below 0.
double dl_tau2(const weighted_design& fixed) {
    double trace = 0.0;
    for (std::size_t i = 0; i < fixed.k; ++i) {
        double h = 0.0;
        for (std::size_t j = 0; j < fixed.m; ++j) {
            h += fixed.q_at(i, j) * fixed.q_at(i, j);
        }
        trace += fixed.w[i] * (1.0 - h);
    }
    const double df = static_cast<double>(fixed.k - fixed.m);
    return std::fmax(0.0, (fixed.residual - df) / trace);
}

// The Wald test of every coefficient but the intercept, with covariance `cov`.
double moderators_statistic(const std::vector<double>& beta, const std::vector<double>& cov,
                            std::size_t m) {
    const std::size_t q = m - 1;
    Matrix c = zeros(q, q);
    Matrix b = zeros(q, 1);
    for (std::size_t i = 0; i < q; ++i) {
        b(i, 0) = beta[i + 1];
        for (std::size_t j = 0; j < q; ++j) {
            c(i, j) = cov[(i + 1) * m + j + 1];
        }
    }
    const std::optional<Matrix> factor = lower_cholesky(c);
    if (!factor) {
        return not_computed;
    }
    const Matrix inverse = inverse_from_cholesky(*factor);
    double s = 0.0;
    for (std::size_t i = 0; i < q; ++i) {
        for (std::size_t j = 0; j < q; ++j) {
            s += b(i, 0) * inverse(i, j) * b(j, 0);
        }
    }
    return s;
}

void set_terms(meta_regression& r, const weighted_design& d) {
    const std::size_t m = d.m;
    const double quantile = r.knapp_hartung ? student_t_quantile(0.975, r.df) : z_975;
    for (std::size_t j = 0; j < m; ++j) {
        regression_term& t = r.terms[j];
        t.estimate = d.beta[j];
        t.se = std::sqrt(r.covariance[j * m + j]);
        t.lower = t.estimate - quantile * t.se;
        t.upper = t.estimate + quantile * t.se;
        t.statistic = t.estimate / t.se;
        t.p = r.knapp_hartung ? student_t_two_sided_p(t.statistic, r.df)
                              : normal_two_sided_p(t.statistic);
    }
    const double statistic = moderators_statistic(d.beta, r.covariance, m);
    r.omnibus_df = static_cast<int>(m) - 1;
    if (r.knapp_hartung) {
        r.omnibus = statistic / r.omnibus_df;
        r.omnibus_p = f_upper_tail(r.omnibus, r.omnibus_df, r.df);
    } else {
        r.omnibus = statistic;
        r.omnibus_p = chi_square_upper_tail(statistic, r.omnibus_df);
    }
}

} // namespace

meta_regression regress(const std::vector<slope_estimate>& studies,
                        const std::vector<moderator_values>& moderators, bool knapp_hartung,
                        tau2_method method) {
    meta_regression r;
    r.k = studies.size();
    r.method = method;
    r.knapp_hartung = knapp_hartung;
    const design_columns X = design_of(moderators, r.k, r);
    const std::size_t m = X.size();
    r.message = r.k < m + 2 ? std::string() : one_valued(moderators, r.k);
    if (!r.message.empty()) {
        return r;
    }
    if (r.k < m + 2) {
        r.message = format("a meta-regression with %zu coefficients needs %zu or more studies; "
                           "%zu %s every moderator's value",
                           m, m + 2, r.k, r.k == 1 ? "study has" : "studies have");
        return r;
    }
    std::vector<double> b(r.k);
    std::vector<double> v(r.k);
    for (std::size_t i = 0; i < r.k; ++i) {
        b[i] = studies[i].b;
        v[i] = studies[i].se * studies[i].se;
    }
    weighted_design fixed;
    if (!decompose(X, b, v, 0.0, fixed)) {
        r.message = "the moderators' columns are collinear (one is a combination of the others), "
                    "so their coefficients cannot be told apart";
        return r;
    }
    r.df = static_cast<int>(r.k - m);
    r.residual.Q = fixed.residual;
    r.residual.df = r.df;
    r.residual.p = chi_square_upper_tail(r.residual.Q, r.df);
    r.residual.I2 = r.residual.Q > r.df ? 100.0 * (r.residual.Q - r.df) / r.residual.Q : 0.0;
    switch (method) {
    case tau2_method::fixed:
        break;
    case tau2_method::dl:
        r.tau2 = dl_tau2(fixed);
        break;
    case tau2_method::reml:
        r.search = maximise_restricted_likelihood(b, v, X);
        r.tau2 = r.search.tau2;
        break;
    }
    weighted_design d;
    if (!std::isfinite(r.tau2) || !decompose(X, b, v, r.tau2, d)) {
        r.message = "the slopes and standard errors are too far apart to fit in double precision";
        return r;
    }
    r.weights = d.w;
    r.covariance = d.covariance();
    if (knapp_hartung) {
        r.scale = d.residual / r.df;
        std::transform(r.covariance.begin(), r.covariance.end(), r.covariance.begin(),
                       [scale = r.scale](double c) { return c * scale; });
    }
    set_terms(r, d);
    if (method == tau2_method::reml) {
        r.tau2_without = maximise_restricted_likelihood(b, v).tau2;
        r.R2 = r.tau2_without > 0.0
                   ? std::fmax(0.0, 100.0 * (r.tau2_without - r.tau2) / r.tau2_without)
                   : not_computed;
    }
    return r;
}

} // namespace morvex
