#include "estimation/pooling/reml_search.hpp"

#include "estimation/pooling/symmetric_eigen.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace morvex {
namespace {

using size_type = Matrix::size_type;
using vector = std::vector<double>;

constexpr int quasi_newton_limit = 500;
constexpr int newton_limit = 40;
constexpr int second_round_limit = 100;
constexpr double converged_gradient = 1e-6; // largest |gradient| of a reported optimum
constexpr double handed_over = 1e-5;        // where the quasi-Newton search hands over to Newton
constexpr double polished_gradient = 1e-11; // where the Newton steps stop
constexpr double largest_step = 2.0;        // in the scaled Cholesky coordinates

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

// -loglik over theta, the scaled Cholesky factor (see the header).
class objective {
public:
    objective(const std::vector<mixed_unit>& units, vector scale)
        : units_(units), d_(std::move(scale)), p_(d_.size()) {}

    size_type p() const { return p_; }
    std::size_t size() const { return p_ * (p_ + 1) / 2; }

    Matrix factor(const vector& theta) const {
        Matrix L = zeros(p_, p_);
        std::size_t k = 0;
        for (size_type j = 0; j < p_; ++j) {
            for (size_type i = j; i < p_; ++i) {
                L(i, j) = theta[k++];
            }
        }
        return L;
    }

    Matrix psi(const vector& theta) const {
        return unscale(factor(theta) * transpose(factor(theta)));
    }

    Matrix unscale(const Matrix& scaled) const {
        Matrix m = zeros(p_, p_);
        for (size_type i = 0; i < p_; ++i) {
            for (size_type j = 0; j < p_; ++j) {
                m(i, j) = d_[i] * scaled(i, j) * d_[j];
            }
        }
        return m;
    }

    Matrix rescale(const Matrix& psi) const {
        Matrix m = zeros(p_, p_);
        for (size_type i = 0; i < p_; ++i) {
            for (size_type j = 0; j < p_; ++j) {
                m(i, j) = psi(i, j) / (d_[i] * d_[j]);
            }
        }
        return m;
    }

    // f = -loglik, and g = its gradient when asked; false where the model cannot be evaluated.
    bool operator()(const vector& theta, double& f, vector* g) const {
        const Matrix L = factor(theta);
        const std::optional<mixed_evaluation> e =
            evaluate_model(units_, unscale(L * transpose(L)), g != nullptr);
        if (!e) {
            return false;
        }
        f = -e->loglik;
        if (g != nullptr) {
            // d loglik / d L~ = 2 G~ L~ with G~ = D G D.
            const Matrix GL = rescale_gradient(e->gradient) * L;
            g->assign(size(), 0.0);
            std::size_t k = 0;
            for (size_type j = 0; j < p_; ++j) {
                for (size_type i = j; i < p_; ++i) {
                    (*g)[k++] = -2.0 * GL(i, j);
                }
            }
        }
        return std::isfinite(f);
    }

private:
    Matrix rescale_gradient(const Matrix& G) const {
        Matrix m = zeros(p_, p_);
        for (size_type i = 0; i < p_; ++i) {
            for (size_type j = 0; j < p_; ++j) {
                m(i, j) = d_[i] * G(i, j) * d_[j];
            }
        }
        return m;
    }

    const std::vector<mixed_unit>& units_;
    vector d_;
    size_type p_;
};

struct point {
    vector x;
    double f = 0.0;
    vector g;
};

// Backtracking until the sufficient decrease holds; false when no step does.
bool line_search(const objective& fun, point& at, const vector& direction) {
    const double slope = dot(at.g, direction);
    double t = 1.0;
    for (int halving = 0; halving < 47; ++halving, t *= 0.5) { // down to about 1e-14
        point next;
        next.x = at.x;
        for (std::size_t k = 0; k < next.x.size(); ++k) {
            next.x[k] += t * direction[k];
        }
        if (fun(next.x, next.f, &next.g) && next.f <= at.f + 1e-4 * t * slope) {
            at = std::move(next);
            return true;
        }
    }
    return false;
}

// Near the optimum the decrease of f is lost in its rounding: a full Newton
// step is still taken when it shrinks the gradient and does not raise f beyond
// that rounding.
bool full_step(const objective& fun, point& at, const vector& direction) {
    point next;
    next.x = at.x;
    for (std::size_t k = 0; k < next.x.size(); ++k) {
        next.x[k] += direction[k];
    }
    if (!fun(next.x, next.f, &next.g) || !(largest(next.g) < largest(at.g)) ||
        !(next.f <= at.f + 1e-12 * std::fabs(at.f))) {
        return false;
    }
    at = std::move(next);
    return true;
}

vector capped(vector direction) {
    const double size = largest(direction);
    if (size > largest_step) {
        std::transform(direction.begin(), direction.end(), direction.begin(),
                       [size](double v) { return v * largest_step / size; });
    }
    return direction;
}

// BFGS on the inverse Hessian, from `at`; returns the iterations taken.
int quasi_newton(const objective& fun, point& at, double target, int limit) {
    const std::size_t n = at.x.size();
    std::vector<vector> H(n, vector(n, 0.0));
    for (std::size_t k = 0; k < n; ++k) {
        H[k][k] = 1.0;
    }
    int iteration = 0;
    for (; iteration < limit && largest(at.g) > target; ++iteration) {
        vector direction(n, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            direction[i] = -dot(H[i], at.g);
        }
        if (!(dot(direction, at.g) < 0.0)) {
            for (std::size_t i = 0; i < n; ++i) {
                H[i].assign(n, 0.0);
                H[i][i] = 1.0;
                direction[i] = -at.g[i];
            }
        }
        const point before = at;
        if (!line_search(fun, at, capped(direction))) {
            break;
        }
        vector s(n);
        vector y(n);
        for (std::size_t k = 0; k < n; ++k) {
            s[k] = at.x[k] - before.x[k];
            y[k] = at.g[k] - before.g[k];
        }
        const double sy = dot(s, y);
        if (!(sy > 1e-300)) {
            continue;
        }
        if (iteration == 0) {
            const double scale = sy / dot(y, y);
            for (std::size_t i = 0; i < n; ++i) {
                H[i][i] = scale;
            }
        }
        vector Hy(n);
        for (std::size_t i = 0; i < n; ++i) {
            Hy[i] = dot(H[i], y);
        }
        const double yHy = dot(y, Hy);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                H[i][j] += ((sy + yHy) * s[i] * s[j] / sy - Hy[i] * s[j] - s[i] * Hy[j]) / sy;
            }
        }
    }
    return iteration;
}

// The Hessian by central differences of the analytic gradient; empty where it
// cannot be evaluated.
std::optional<Matrix> hessian(const objective& fun, const point& at) {
    const std::size_t n = at.x.size();
    Matrix H = zeros(n, n);
    for (std::size_t k = 0; k < n; ++k) {
        const double h = 1e-5 * std::fmax(1.0, std::fabs(at.x[k]));
        vector up = at.x;
        vector down = at.x;
        up[k] += h;
        down[k] -= h;
        double f = 0.0;
        vector gu;
        vector gd;
        if (!fun(up, f, &gu) || !fun(down, f, &gd)) {
            return std::nullopt;
        }
        for (std::size_t i = 0; i < n; ++i) {
            H(i, k) = (gu[i] - gd[i]) / (2.0 * h);
        }
    }
    return 0.5 * (H + transpose(H));
}

// Newton steps with a line search where the Hessian is positive definite;
// returns the steps taken.
int newton(const objective& fun, point& at) {
    int steps = 0;
    for (; steps < newton_limit && largest(at.g) > polished_gradient; ++steps) {
        const std::optional<Matrix> H = hessian(fun, at);
        const std::optional<Matrix> C = H ? cholesky(*H) : std::nullopt;
        if (!C) {
            break;
        }
        const Matrix Hinv = inverse_from_cholesky(*C);
        vector direction(at.x.size(), 0.0);
        for (std::size_t i = 0; i < direction.size(); ++i) {
            for (std::size_t j = 0; j < direction.size(); ++j) {
                direction[i] -= Hinv(i, j) * at.g[j];
            }
        }
        const vector before = at.x;
        if (!line_search(fun, at, capped(direction)) && !full_step(fun, at, direction)) {
            break;
        }
        double moved = 0.0;
        for (std::size_t k = 0; k < before.size(); ++k) {
            moved = std::fmax(moved, std::fabs(at.x[k] - before[k]));
        }
        if (moved < 1e-14) {
            break;
        }
    }
    return steps;
}

// Theta of a scaled Psi~ (made positive definite by a small ridge).
vector theta_of(const objective& fun, Matrix scaled, double ridge) {
    for (size_type j = 0; j < fun.p(); ++j) {
        scaled(j, j) += ridge;
    }
    const std::optional<Matrix> C = cholesky(scaled);
    vector theta;
    for (size_type j = 0; j < fun.p(); ++j) {
        for (size_type i = j; i < fun.p(); ++i) {
            theta.push_back(C ? (*C)(i, j) : (i == j ? 1.0 : 0.0));
        }
    }
    return theta;
}

Matrix identity_times(size_type p, double s) {
    Matrix m = zeros(p, p);
    for (size_type j = 0; j < p; ++j) {
        m(j, j) = s;
    }
    return m;
}

std::vector<std::pair<std::string, vector>> starts(const objective& fun,
                                                   const std::optional<Matrix>& moments) {
    const size_type p = fun.p();
    std::vector<std::pair<std::string, vector>> list;
    list.emplace_back("identity/10", theta_of(fun, identity_times(p, 0.1), 0.0));
    list.emplace_back("identity", theta_of(fun, identity_times(p, 1.0), 0.0));
    list.emplace_back("identity*10", theta_of(fun, identity_times(p, 10.0), 0.0));
    list.emplace_back("near zero", theta_of(fun, identity_times(p, 1e-4), 0.0));
    Matrix leading = zeros(p, p);
    leading(0, 0) = 1.0;
    if (moments) {
        const Matrix scaled = fun.rescale(*moments);
        list.emplace_back("moments", theta_of(fun, scaled, 1e-3));
        const eigen_decomposition e = symmetric_eigen(scaled);
        if (e.values.front() > 0.0) {
            for (size_type i = 0; i < p; ++i) {
                for (size_type j = 0; j < p; ++j) {
                    leading(i, j) = e.values.front() * e.vectors(i, 0) * e.vectors(j, 0);
                }
            }
        }
    }
    if (p > 1) {
        list.emplace_back("rank one", theta_of(fun, leading, 1e-3));
        for (const double r : {0.9, -0.9}) {
            Matrix m = identity_times(p, 1.0);
            for (size_type i = 0; i < p; ++i) {
                for (size_type j = 0; j < p; ++j) {
                    if (i != j) {
                        m(i, j) = (i + j) % 2 == 1 ? r : std::fabs(r);
                    }
                }
            }
            list.emplace_back(r > 0 ? "correlated" : "anticorrelated", theta_of(fun, m, 0.0));
        }
    }
    return list;
}

vector scales(const std::vector<mixed_unit>& units) {
    const size_type p = units.front().X.col_count();
    Matrix A = zeros(p, p);
    for (const mixed_unit& u : units) {
        const std::optional<Matrix> C = cholesky(u.S);
        if (C) {
            A += (transpose(u.X) * inverse_from_cholesky(*C)) * u.X;
        }
    }
    vector d(p, 1.0);
    const std::optional<Matrix> C = cholesky(A);
    if (C) {
        const Matrix H = inverse_from_cholesky(*C);
        for (size_type j = 0; j < p; ++j) {
            d[j] = std::sqrt(static_cast<double>(units.size()) * H(j, j));
        }
    }
    return d;
}

bool same_point(const objective& fun, const reml_start& a, const reml_start& b) {
    const Matrix x = fun.rescale(a.psi);
    const Matrix y = fun.rescale(b.psi);
    double size = 1.0;
    double diff = 0.0;
    for (size_type i = 0; i < fun.p(); ++i) {
        for (size_type j = 0; j < fun.p(); ++j) {
            size = std::fmax(size, std::fabs(y(i, j)));
            diff = std::fmax(diff, std::fabs(x(i, j) - y(i, j)));
        }
    }
    return std::fabs(a.loglik - b.loglik) <= 1e-8 * std::fmax(1.0, std::fabs(b.loglik)) &&
           diff <= 1e-4 * size;
}

} // namespace

reml_fit maximise_reml(const std::vector<mixed_unit>& units, const std::optional<Matrix>& moments) {
    const objective fun(units, scales(units));
    reml_fit fit;
    std::size_t best = 0;
    for (auto& [name, theta] : starts(fun, moments)) {
        point at;
        at.x = theta;
        reml_start s;
        s.name = name;
        if (!fun(at.x, at.f, &at.g)) {
            s.loglik = not_computed;
            fit.starts.push_back(std::move(s));
            continue;
        }
        s.iterations = quasi_newton(fun, at, handed_over, quasi_newton_limit);
        s.iterations += newton(fun, at);
        if (largest(at.g) > converged_gradient) {
            // Newton could not finish (a Hessian not positive definite, or a
            // step the line search refused): more quasi-Newton steps, then again.
            s.iterations += quasi_newton(fun, at, polished_gradient, second_round_limit);
            s.iterations += newton(fun, at);
        }
        s.gradient = largest(at.g);
        s.converged = s.gradient <= converged_gradient;
        s.loglik = -at.f;
        s.psi = fun.psi(at.x);
        if (!fit.found || s.loglik > fit.starts[best].loglik) {
            best = fit.starts.size();
            fit.found = true;
        }
        fit.starts.push_back(std::move(s));
    }
    if (!fit.found) {
        return fit;
    }
    const reml_start highest = fit.starts[best];
    for (std::size_t k = 0; k < fit.starts.size(); ++k) {
        reml_start& s = fit.starts[k];
        s.at_optimum = !std::isnan(s.loglik) && same_point(fun, s, highest);
        // Of the starts at the maximum, the one whose gradient is checked smallest.
        if (s.at_optimum && s.gradient < fit.starts[best].gradient) {
            best = k;
        }
    }
    const reml_start& top = fit.starts[best];
    fit.psi = top.psi;
    fit.iterations = top.iterations;
    fit.converged = top.converged;
    fit.gradient = top.gradient;
    const std::optional<mixed_evaluation> e = evaluate_model(units, fit.psi, true);
    fit.found = e.has_value();
    if (e) {
        fit.at = *e;
    }
    return fit;
}

} // namespace morvex
