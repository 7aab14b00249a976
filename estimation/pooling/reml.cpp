#include "estimation/pooling/reml.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/pooling/weighted_design.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>

namespace morvex {
namespace {

// Grid density: neighbours 6% apart. The score's nearest singularity lies at
// -min v_i, farther from any tau^2 > 0 than tau^2 itself, so it cannot turn
// twice within so short a step except at a near-tangency, where the two
// heights differ by almost nothing.
constexpr double grid_points_per_decade = 40.0;
// The grid starts this far below the smallest variance: below it the score
// is as good as linear, and tau^2 = 0 is the grid's first point anyway.
constexpr double grid_start_below_smallest_variance = 1e-4;
// A maximum is solved until tau^2 changes by less than this, relatively.
constexpr double relative_precision = 1e-12;
// Never reached: a safeguarded step at least halves the bracket every second
// step, and a bracket 6% wide is 1e-12 wide within about 80 steps.
constexpr int steps_per_bracket = 1000;

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

double sum(const std::vector<double>& values) {
    return std::accumulate(values.begin(), values.end(), 0.0);
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

// The restricted log-likelihood at one tau^2, without its constant,
//   l = -1/2 [sum log(v_i + tau^2) + log sum w + sum w_i (b_i - mu)^2],
// its score 2 dl/dtau^2 = y'PPy - tr P and the score's derivative
// tr PP - 2 y'PPPy (dP/dtau^2 = -PP), with Py = w_i (b_i - mu). The grid
// needs the score only; the Newton steps and the comparison need all three.
enum class needed { score, all };

struct likelihood_point {
    double loglik = 0.0;
    double score = 0.0;
    double slope = 0.0;
};

// The model without moderators: b_i ~ N(mu, v_i + tau^2), in sums of positive
// terms where a dominant weight would otherwise cancel.
struct intercept_model {
    const std::vector<double>& b;
    const std::vector<double>& variances;
    likelihood_point at(double tau2, needed figures) const;
};

likelihood_point intercept_model::at(double tau2, needed figures) const {
    const std::size_t k = b.size();
    std::vector<double> w(k);
    for (std::size_t i = 0; i < k; ++i) {
        w[i] = 1.0 / (variances[i] + tau2);
    }
    const double s = sum(w);
    double mean = 0.0;
    for (std::size_t i = 0; i < k; ++i) {
        mean += w[i] * b[i];
    }
    mean /= s;
    double residual = 0.0; // sum w_i (b_i - mu)^2
    double ppy = 0.0;      // y'PPy
    double pppy = 0.0;     // sum w_i (Py)_i^2; y'PPPy after the correction below
    double wpy = 0.0;      // sum w_i (Py)_i
    for (std::size_t i = 0; i < k; ++i) {
        const double d = b[i] - mean;
        const double py = w[i] * d;
        residual += py * d;
        ppy += py * py;
        pppy += w[i] * py * py;
        wpy += w[i] * py;
    }
    pppy -= wpy * wpy / s;
    likelihood_point p;
    p.score = ppy - trace_p(w);
    if (figures == needed::all) {
        const double log_variances =
            std::accumulate(variances.begin(), variances.end(), 0.0,
                            [&](double sum, double v) { return sum + elem::log(v + tau2); });
        p.loglik = -0.5 * (log_variances + elem::log(s) + residual);
        p.slope = trace_pp(w) - 2.0 * pppy;
    }
    return p;
}

// The model with moderators: b_i ~ N(x_i' beta, v_i + tau^2). With W^(1/2) X =
// Q R, h_i = |q_i|^2 and e the weighted residuals, P = W^(1/2) (I - Q Q') W^(1/2):
// tr P = sum w_i (1 - h_i), y'PPy = sum w_i e_i^2, tr PP = sum w_i^2 (1 - 2 h_i)
// + |Q'WQ|^2 and y'PPPy = |W e|^2 - |Q'W e|^2.
struct moderator_model {
    const std::vector<double>& b;
    const std::vector<double>& variances;
    const design_columns& X;
    likelihood_point at(double tau2, needed figures) const;
};

likelihood_point moderator_model::at(double tau2, needed figures) const {
    likelihood_point p;
    weighted_design d;
    if (!decompose(X, b, variances, tau2, d)) {
        p.score = p.loglik = p.slope = std::numeric_limits<double>::quiet_NaN();
        return p;
    }
    std::vector<double> h(d.k, 0.0);
    for (std::size_t j = 0; j < d.m; ++j) {
        for (std::size_t i = 0; i < d.k; ++i) {
            h[i] += d.q_at(i, j) * d.q_at(i, j);
        }
    }
    double trace = 0.0;
    double ppy = 0.0;
    for (std::size_t i = 0; i < d.k; ++i) {
        trace += d.w[i] * (1.0 - h[i]);
        ppy += d.w[i] * d.e[i] * d.e[i];
    }
    p.score = ppy - trace;
    if (figures == needed::all) {
        double log_variances = 0.0;
        double trace_squared = 0.0;
        double pppy = 0.0;
        for (std::size_t i = 0; i < d.k; ++i) {
            log_variances += elem::log(variances[i] + tau2);
            trace_squared += d.w[i] * d.w[i] * (1.0 - 2.0 * h[i]);
            pppy += d.w[i] * d.w[i] * d.e[i] * d.e[i];
        }
        for (std::size_t a = 0; a < d.m; ++a) {
            double qwe = 0.0;
            for (std::size_t i = 0; i < d.k; ++i) {
                qwe += d.q_at(i, a) * d.w[i] * d.e[i];
            }
            pppy -= qwe * qwe;
            for (std::size_t c = 0; c < d.m; ++c) {
                double qwq = 0.0;
                for (std::size_t i = 0; i < d.k; ++i) {
                    qwq += d.q_at(i, a) * d.w[i] * d.q_at(i, c);
                }
                trace_squared += qwq * qwq;
            }
        }
        p.loglik = -0.5 * (log_variances + d.log_det + d.residual);
        p.slope = trace_squared - 2.0 * pppy;
    }
    return p;
}

// 0, then geometric steps from far below the smallest variance to beyond the
// last possible maximum. With m coefficients (the intercept among them) and
// R the range of the slopes, y'Py <= k R^2 / (4 tau^2) (the intercept alone at
// the slopes' midrange does that well) and P <= W, so y'PPy <= k R^2 / (4 tau^4);
// past v_max, tr P >= (k - m) / (2 tau^2). Past max(v_max, R^2 k / (2 (k - m)))
// the score is therefore negative; 8 R^2 covers that whenever k >= 16 m / 15.
// Empty when the data span more decades than doubles hold.
std::vector<double> tau2_grid(const std::vector<double>& b, const std::vector<double>& variances,
                              std::size_t m) {
    const auto [b_min, b_max] = std::minmax_element(b.begin(), b.end());
    const auto [v_min, v_max] = std::minmax_element(variances.begin(), variances.end());
    const double range = *b_max - *b_min;
    const auto k = static_cast<double>(b.size());
    const double factor = std::fmax(8.0, k / (2.0 * (k - static_cast<double>(m))));
    const double top = 2.0 * std::fmax(*v_max, factor * range * range);
    const double bottom =
        std::fmax(*v_min * grid_start_below_smallest_variance, std::numeric_limits<double>::min());
    const double steps = std::ceil(elem::log10(top / bottom) * grid_points_per_decade);
    if (!std::isfinite(top) || !std::isfinite(steps)) {
        return {};
    }
    std::vector<double> grid{0.0};
    const int n = static_cast<int>(steps);
    for (int i = 0; i <= n; ++i) {
        grid.push_back(bottom * elem::pow(top / bottom, static_cast<double>(i) / n));
    }
    return grid;
}

struct solved_maximum {
    double tau2 = 0.0;
    int iterations = 0;
    bool converged = false;
};

// The maximum inside [low, high], where the score falls from positive to 0 or
// below: Newton steps while they stay inside the bracket and shrink fast
// enough, bisection otherwise; the bracket shrinks at every step.
template <class Model>
solved_maximum solve_bracket(const Model& model, double low, double high) {
    solved_maximum m;
    double tau2 = 0.5 * (low + high);
    double step = high - low;
    double step_before = step;
    while (m.iterations < steps_per_bracket) {
        ++m.iterations;
        const likelihood_point p = model.at(tau2, needed::all);
        if (p.score == 0.0) {
            m.tau2 = tau2;
            m.converged = true;
            return m;
        }
        (p.score > 0.0 ? low : high) = tau2;
        double next = tau2 - p.score / p.slope;
        if (!(p.slope < 0.0 && next > low && next < high &&
              std::fabs(next - tau2) < 0.5 * std::fabs(step_before))) {
            next = 0.5 * (low + high);
        }
        step_before = step;
        step = next - tau2;
        tau2 = next;
        if (std::fabs(step) <= relative_precision * tau2 ||
            high - low <= relative_precision * high) {
            m.converged = true;
            break;
        }
    }
    m.tau2 = tau2;
    return m;
}

template <class Model>
reml_maximum search(const Model& model, const std::vector<double>& grid) {
    reml_maximum r;
    if (grid.empty()) {
        r.tau2 = std::numeric_limits<double>::quiet_NaN();
        return r;
    }
    r.grid_points = static_cast<int>(grid.size());
    r.converged = true;
    likelihood_point previous = model.at(0.0, needed::all);
    double best = previous.loglik;
    r.maxima = previous.score <= 0.0 ? 1 : 0;
    for (std::size_t i = 1; i < grid.size(); ++i) {
        const likelihood_point current = model.at(grid[i], needed::score);
        if (previous.score > 0.0 && current.score <= 0.0) {
            const solved_maximum m = solve_bracket(model, grid[i - 1], grid[i]);
            ++r.maxima;
            r.iterations += m.iterations;
            r.converged = r.converged && m.converged;
            const double loglik = model.at(m.tau2, needed::all).loglik;
            if (loglik > best) {
                best = loglik;
                r.tau2 = m.tau2;
            }
        }
        previous = current;
    }
    return r;
}

} // namespace

double trace_p(const std::vector<double>& w) {
    const std::vector<double> others = sums_without_each(w);
    const double s = sum(w);
    double t = 0.0;
    for (std::size_t i = 0; i < w.size(); ++i) {
        t += w[i] * others[i] / s;
    }
    return t;
}

reml_maximum maximise_restricted_likelihood(const std::vector<double>& b,
                                            const std::vector<double>& variances) {
    return search(intercept_model{b, variances}, tau2_grid(b, variances, 1));
}

reml_maximum maximise_restricted_likelihood(const std::vector<double>& b,
                                            const std::vector<double>& variances,
                                            const design_columns& X) {
    return search(moderator_model{b, variances, X}, tau2_grid(b, variances, X.size()));
}

} // namespace morvex
