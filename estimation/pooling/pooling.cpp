#include "estimation/pooling/pooling.hpp"

#include "estimation/base/distributions.hpp"
#include "estimation/base/format.hpp"
#include "estimation/pooling/reml.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>

namespace morvex {
namespace {

std::vector<double> weights(const std::vector<double>& variances, double tau2) {
    std::vector<double> w(variances.size());
    std::transform(variances.begin(), variances.end(), w.begin(),
                   [tau2](double v) { return 1.0 / (v + tau2); });
    return w;
}

double sum(const std::vector<double>& values) {
    return std::accumulate(values.begin(), values.end(), 0.0);
}

double weighted_mean(const std::vector<double>& b, const std::vector<double>& w) {
    double sw = 0.0;
    double swb = 0.0;
    for (std::size_t i = 0; i < b.size(); ++i) {
        sw += w[i];
        swb += w[i] * b[i];
    }
    return swb / sw;
}

pooled_estimate summarise(const std::vector<double>& b, const std::vector<double>& variances,
                          double tau2) {
    const std::vector<double> w = weights(variances, tau2);
    const double sw = sum(w);
    pooled_estimate e;
    e.tau2 = tau2;
    e.estimate = weighted_mean(b, w);
    e.se = std::sqrt(1.0 / sw);
    e.lower = e.estimate - z_975 * e.se;
    e.upper = e.estimate + z_975 * e.se;
    e.z = e.estimate / e.se;
    e.p = normal_two_sided_p(e.z);
    for (const double wi : w) {
        e.weight_percent.push_back(100.0 * wi / sw);
    }
    return e;
}

bool finite(const pooled_estimate& e) {
    return std::isfinite(e.estimate) && std::isfinite(e.se) && std::isfinite(e.lower) &&
           std::isfinite(e.upper) && std::isfinite(e.z) && std::isfinite(e.tau2);
}

} // namespace

pooled_summary pool(const std::vector<slope_estimate>& studies) {
    if (studies.size() < 2) {
        throw pooling_error(format("pooling needs at least 2 studies, got %zu", studies.size()));
    }
    std::vector<double> b;
    std::vector<double> variances;
    for (const slope_estimate& s : studies) {
        const double v = s.se * s.se;
        if (!std::isfinite(s.b)) {
            throw pooling_error("the slope of '" + s.label + "' is not a finite number");
        }
        // The weight 1/se^2 must be a finite positive number too.
        if (!(s.se > 0.0) || !(v > 0.0) || !std::isfinite(v) || !std::isfinite(1.0 / v)) {
            throw pooling_error("the standard error of '" + s.label +
                                "' must be a finite number greater than 0, got " +
                                format("%lg", s.se));
        }
        b.push_back(s.b);
        variances.push_back(v);
    }

    pooled_summary r;
    r.studies = studies;
    r.k = studies.size();
    r.fixed = summarise(b, variances, 0.0);

    const std::vector<double> w = weights(variances, 0.0);
    for (std::size_t i = 0; i < b.size(); ++i) {
        r.het.Q += w[i] * (b[i] - r.fixed.estimate) * (b[i] - r.fixed.estimate);
    }
    r.het.df = static_cast<int>(b.size()) - 1;
    r.het.p = chi_square_upper_tail(r.het.Q, r.het.df);
    r.het.I2 = r.het.Q > r.het.df ? 100.0 * (r.het.Q - r.het.df) / r.het.Q : 0.0;

    // sum w - sum w^2 / sum w, which is tr(P) at tau2 = 0.
    const double dl_tau2 = std::fmax(0.0, (r.het.Q - r.het.df) / trace_p(w));
    r.dl = summarise(b, variances, dl_tau2);
    r.reml_search = maximise_restricted_likelihood(b, variances);
    r.reml = summarise(b, variances, r.reml_search.tau2);

    if (!finite(r.fixed) || !finite(r.dl) || !finite(r.reml) || !std::isfinite(r.het.Q)) {
        throw pooling_error("the slopes and standard errors are too far apart to pool in double "
                            "precision");
    }
    return r;
}

} // namespace morvex
