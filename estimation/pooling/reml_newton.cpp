#include "estimation/pooling/reml_newton.hpp"

#include "estimation/pooling/symmetric_eigen.hpp"

#include <algorithm>

namespace morvex::reml_steps {
namespace {

constexpr int newton_limit = 200;
constexpr double largest_step = 2.0; // in the scaled Cholesky coordinates

// The Newton direction with the Hessian's eigenvalues taken by their size (and
// not below a small share of the largest), so that it always goes down hill;
// `curved_down` says whether f curved down somewhere, where the step may be too short.
vector newton_direction(const point& at, bool& curved_down) {
    const std::size_t k = at.x.size();
    Matrix H(k, k);
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            H(i, j) = 0.5 * (at.H[i * k + j] + at.H[j * k + i]);
        }
    }
    const eigen_decomposition e = symmetric_eigen(H);
    double top = 0.0;
    for (const double v : e.values) {
        top = std::fmax(top, std::fabs(v));
    }
    curved_down = !e.values.empty() && e.values.back() < 0.0;
    const double floor = std::fmax(1e-8 * top, 1e-300);
    vector direction(k, 0.0);
    for (std::size_t a = 0; a < k; ++a) {
        double vg = 0.0;
        for (std::size_t i = 0; i < k; ++i) {
            vg += e.vectors(i, a) * at.g[i];
        }
        const double lambda = std::fmax(std::fabs(e.values[a]), floor);
        for (std::size_t i = 0; i < k; ++i) {
            direction[i] -= e.vectors(i, a) * vg / lambda;
        }
    }
    // At most twice the size of theta (and 2) in one step.
    const double most = largest_step * std::fmax(1.0, largest(at.x));
    const double size = largest(direction);
    if (size > most) {
        std::transform(direction.begin(), direction.end(), direction.begin(),
                       [factor = most / size](double v) { return v * factor; });
    }
    return direction;
}

// A step along `direction` with sufficient decrease, longer while f keeps
// falling where f curved down; near the optimum, where the decrease Newton
// predicts is lost in the rounding of f, the full step when it shrinks the
// gradient. False when there is none.
bool step(const objective& fun, point& at, const vector& direction, bool curved_down) {
    const double slope = dot(at.g, direction);
    point next;
    const auto take = [&](double t, point& to) {
        to.x = at.x;
        for (std::size_t k = 0; k < to.x.size(); ++k) {
            to.x[k] += t * direction[k];
        }
        return evaluate(fun, to);
    };
    if (-slope < 1e-12 * (1.0 + std::fabs(at.f))) {
        if (take(1.0, next) && largest(next.g) < largest(at.g)) {
            at = std::move(next);
            return true;
        }
        return false;
    }
    double t = 1.0;
    for (int halving = 0; halving < 40; ++halving, t *= 0.5) {
        if (take(t, next) && next.f <= at.f + 1e-4 * t * slope) {
            break;
        }
    }
    if (!(next.f <= at.f + 1e-4 * t * slope)) {
        return false;
    }
    point further;
    for (int doubling = 0; curved_down && t == 1.0 && doubling < 10; ++doubling) {
        if (!take(std::ldexp(1.0, doubling + 1), further) || !(further.f < next.f)) {
            break;
        }
        std::swap(next, further);
    }
    at = std::move(next);
    return true;
}

} // namespace

double largest(const vector& v) {
    double m = 0.0;
    for (const double x : v) {
        m = std::fmax(m, std::fabs(x));
    }
    return m;
}

double dot(const vector& a, const vector& b) {
    double s = 0.0;
    for (std::size_t k = 0; k < a.size(); ++k) {
        s += a[k] * b[k];
    }
    return s;
}

bool evaluate(const objective& fun, point& at) {
    return fun(at.x, at.f, &at.g, &at.H);
}

// Newton steps from `at` until the gradient falls to `polish`, the steps stop
// moving, or `join` says the start has reached an optimum already found.
int newton(const objective& fun, point& at, double polish,
           const std::function<bool(const point&)>& join) {
    int steps = 0;
    for (; steps < newton_limit && largest(at.g) > polish && !at.x.empty(); ++steps) {
        if (steps > 0 && join(at)) {
            break;
        }
        const vector before = at.x;
        bool curved_down = false;
        const vector direction = newton_direction(at, curved_down);
        if (!step(fun, at, direction, curved_down)) {
            break;
        }
        double moved = 0.0;
        for (std::size_t k = 0; k < before.size(); ++k) {
            moved = std::fmax(moved, std::fabs(at.x[k] - before[k]) /
                                         std::fmax(1.0, std::fabs(before[k])));
        }
        if (moved < 1e-15) {
            ++steps;
            break;
        }
    }
    return steps;
}

} // namespace morvex::reml_steps
