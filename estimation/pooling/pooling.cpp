#include "estimation/pooling/pooling.hpp"

#include "estimation/base/distributions.hpp"
#include "estimation/base/format.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>

namespace morvex {
namespace {

constexpr int reml_max_iterations = 100;
constexpr double reml_tolerance = 1e-10;

// For each i, the sum of all values but the i-th, from prefix and suffix sums:
// S - w_i would lose every digit when one weight dominates the others.
std::vector<double> sums_without_each(const std::vector<double>& values) {
    const std::size_t k = values.size();
    std::vector<double> result(k, 0.0);
    double prefix = 0.0;
    for (std::size_t i = 0; i < k; ++i) {
        result[i] = prefix;
        prefix += values[i];
    }
    double suffix = 0.0;
    for (std::size_t i = k; i-- > 0;) {
        result[i] += suffix;
        suffix += values[i];
    }
    return result;
}

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

// tr(P) with P = W - w w' / sum w, in a form with positive terms only.
double trace_p(const std::vector<double>& w) {
    const std::vector<double> others = sums_without_each(w);
    const double s = sum(w);
    double t = 0.0;
    for (std::size_t i = 0; i < w.size(); ++i) {
        t += w[i] * others[i] / s;
    }
    return t;
}

// tr(P P): the squares of P's diagonal w_i (S - w_i) / S and of its
// off-diagonal elements w_i w_j / S.
double trace_pp(const std::vector<double>& w) {
    const std::vector<double> others = sums_without_each(w);
    std::vector<double> squares(w.size());
    std::transform(w.begin(), w.end(), squares.begin(), [](double wi) { return wi * wi; });
    const std::vector<double> other_squares = sums_without_each(squares);
    const double s = sum(w);
    double t = 0.0;
    for (std::size_t i = 0; i < w.size(); ++i) {
        const double diagonal = w[i] * others[i] / s;
        t += diagonal * diagonal + squares[i] * other_squares[i] / (s * s);
    }
    return t;
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

// Restricted maximum likelihood by Fisher scoring: tau2 += (y'PPy - tr P) / tr PP,
// kept at 0 or above.
double reml_tau2(const std::vector<double>& b, const std::vector<double>& variances, double start,
                 int& iterations, bool& converged) {
    double tau2 = start;
    iterations = 0;
    converged = false;
    while (iterations < reml_max_iterations) {
        ++iterations;
        const std::vector<double> w = weights(variances, tau2);
        const double mu = weighted_mean(b, w);
        double ypp_y = 0.0;
        for (std::size_t i = 0; i < b.size(); ++i) {
            ypp_y += w[i] * w[i] * (b[i] - mu) * (b[i] - mu);
        }
        const double information = trace_pp(w);
        const double next = std::fmax(0.0, tau2 + (ypp_y - trace_p(w)) / information);
        if (!std::isfinite(next)) {
            break;
        }
        const double change = std::fabs(next - tau2);
        tau2 = next;
        if (change <= reml_tolerance * tau2) {
            converged = true;
            break;
        }
    }
    return tau2;
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
    r.reml = summarise(b, variances,
                       reml_tau2(b, variances, dl_tau2, r.reml_iterations, r.reml_converged));

    if (!finite(r.fixed) || !finite(r.dl) || !finite(r.reml) || !std::isfinite(r.het.Q)) {
        throw pooling_error("the slopes and standard errors are too far apart to pool in double "
                            "precision");
    }
    return r;
}

} // namespace morvex
