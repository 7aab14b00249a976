#include "estimation/pooling/reml.hpp"

#include "estimation/base/elementary.hpp"

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

likelihood_point evaluate(const std::vector<double>& b, const std::vector<double>& variances,
                          double tau2, needed figures) {
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

// 0, then geometric steps from far below the smallest variance to beyond the
// last possible maximum. Past max(v_max, 8 R^2), R the range of the slopes, the
// score is negative: there y'PPy <= k R^2 / tau^4 while tr P >= (k - 1) / (4 tau^2).
// Empty when the data span more decades than doubles hold.
std::vector<double> tau2_grid(const std::vector<double>& b, const std::vector<double>& variances) {
    const auto [b_min, b_max] = std::minmax_element(b.begin(), b.end());
    const auto [v_min, v_max] = std::minmax_element(variances.begin(), variances.end());
    const double range = *b_max - *b_min;
    const double top = 2.0 * std::fmax(*v_max, 8.0 * range * range);
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
solved_maximum solve_bracket(const std::vector<double>& b, const std::vector<double>& variances,
                             double low, double high) {
    solved_maximum m;
    double tau2 = 0.5 * (low + high);
    double step = high - low;
    double step_before = step;
    while (m.iterations < steps_per_bracket) {
        ++m.iterations;
        const likelihood_point p = evaluate(b, variances, tau2, needed::all);
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
    reml_maximum r;
    const std::vector<double> grid = tau2_grid(b, variances);
    if (grid.empty()) {
        r.tau2 = std::numeric_limits<double>::quiet_NaN();
        return r;
    }
    r.grid_points = static_cast<int>(grid.size());
    r.converged = true;
    likelihood_point previous = evaluate(b, variances, 0.0, needed::all);
    double best = previous.loglik;
    r.maxima = previous.score <= 0.0 ? 1 : 0;
    for (std::size_t i = 1; i < grid.size(); ++i) {
        const likelihood_point current = evaluate(b, variances, grid[i], needed::score);
        if (previous.score > 0.0 && current.score <= 0.0) {
            const solved_maximum m = solve_bracket(b, variances, grid[i - 1], grid[i]);
            ++r.maxima;
            r.iterations += m.iterations;
            r.converged = r.converged && m.converged;
            const double loglik = evaluate(b, variances, m.tau2, needed::all).loglik;
            if (loglik > best) {
                best = loglik;
                r.tau2 = m.tau2;
            }
        }
        previous = current;
    }
    return r;
}

} // namespace morvex
