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
    // Every matrix it forms is kept for the next call, which allocates nothing.
    bool operator()(const vector& theta, double& f, vector* g) const {
        fill_factor(theta, L_);
        transpose_into(L_, Lt_);
        multiply_into(L_, Lt_, LLt_);
        unscale_into(LLt_, psi_);
        if (!evaluate_model(units_, psi_, g != nullptr, buffers_, at_)) {
            return false;
        }
        f = -at_.loglik;
        if (g != nullptr) {
            // d loglik / d L~ = 2 G~ L~ with G~ = D G D.
            rescale_gradient_into(at_.gradient, G_);
            multiply_into(G_, L_, GL_);
            g->assign(size(), 0.0);
            std::size_t k = 0;
            for (size_type j = 0; j < p_; ++j) {
                for (size_type i = j; i < p_; ++i) {
                    (*g)[k++] = -2.0 * GL_(i, j);
                }
            }
        }
        return std::isfinite(f);
    }

private:
    void fill_factor(const vector& theta, Matrix& L) const {
        L.reshape(p_, p_);
        std::size_t k = 0;
        for (size_type j = 0; j < p_; ++j) {
            for (size_type i = 0; i < j; ++i) {
                L(i, j) = 0.0;
            }
            for (size_type i = j; i < p_; ++i) {
                L(i, j) = theta[k++];
            }
        }
    }

    void unscale_into(const Matrix& scaled, Matrix& m) const {
        m.reshape(p_, p_);
        for (size_type i = 0; i < p_; ++i) {
            for (size_type j = 0; j < p_; ++j) {
                m(i, j) = d_[i] * scaled(i, j) * d_[j];
            }
        }
    }

    void rescale_gradient_into(const Matrix& G, Matrix& m) const {
        m.reshape(p_, p_);
        for (size_type i = 0; i < p_; ++i) {
            for (size_type j = 0; j < p_; ++j) {
                m(i, j) = d_[i] * G(i, j) * d_[j];
            }
        }
    }

    const std::vector<mixed_unit>& units_;
    vector d_;
    size_type p_;
    // Working matrices of one evaluation, kept for the next.
    mutable Matrix L_{0, 0};
    mutable Matrix Lt_{0, 0};
    mutable Matrix LLt_{0, 0};
    mutable Matrix psi_{0, 0};
    mutable Matrix G_{0, 0};
    mutable Matrix GL_{0, 0};
    mutable mixed_buffers buffers_;
    mutable mixed_evaluation at_;
};

struct point {
    vector x;
    double f = 0.0;
    vector g;
};

// What the steps of a search write, kept from step to step: after the first
// steps, an iteration allocates nothing.
struct search_buffers {
    point trial;
    point before;
    vector direction;
    vector step; // the direction, capped
    vector s;
    vector y;
    vector Hy;
    vector up;
    vector down;
    vector g_up;
    vector g_down;
    Matrix H{0, 0};
    Matrix symmetric{0, 0};
    Matrix C{0, 0};
    Matrix Ci{0, 0};
    Matrix Hinv{0, 0};
};

// Backtracking until the sufficient decrease holds; false when no step does.
bool line_search(const objective& fun, point& at, const vector& direction, point& next) {
    const double slope = dot(at.g, direction);
    double t = 1.0;
    for (int halving = 0; halving < 47; ++halving, t *= 0.5) { // down to about 1e-14
        next.x = at.x;
        for (std::size_t k = 0; k < next.x.size(); ++k) {
            next.x[k] += t * direction[k];
        }
        if (fun(next.x, next.f, &next.g) && next.f <= at.f + 1e-4 * t * slope) {
            std::swap(at, next);
            return true;
        }
    }
    return false;
}

// Near the optimum the decrease of f is lost in its rounding: a full Newton
// step is still taken when it shrinks the gradient and does not raise f beyond
// that rounding.
bool full_step(const objective& fun, point& at, const vector& direction, point& next) {
    next.x = at.x;
    for (std::size_t k = 0; k < next.x.size(); ++k) {
        next.x[k] += direction[k];
    }
    if (!fun(next.x, next.f, &next.g) || !(largest(next.g) < largest(at.g)) ||
        !(next.f <= at.f + 1e-12 * std::fabs(at.f))) {
        return false;
    }
    std::swap(at, next);
    return true;
}

// The direction, shortened to the largest step.
void cap(const vector& direction, vector& step) {
    step = direction;
    const double size = largest(step);
    if (size > largest_step) {
        std::transform(step.begin(), step.end(), step.begin(),
                       [size](double v) { return v * largest_step / size; });
    }
}

// The BFGS update of the inverse Hessian H with the step s and the change y of the gradient.
void update_inverse_hessian(std::vector<vector>& H, const vector& s, const vector& y, vector& Hy) {
    const std::size_t n = s.size();
    const double sy = dot(s, y);
    Hy.resize(n);
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

// BFGS on the inverse Hessian, from `at`; returns the iterations taken.
int quasi_newton(const objective& fun, point& at, double target, int limit, search_buffers& w) {
    const std::size_t n = at.x.size();
    std::vector<vector> H(n, vector(n, 0.0));
    for (std::size_t k = 0; k < n; ++k) {
        H[k][k] = 1.0;
    }
    vector& direction = w.direction;
    int iteration = 0;
    for (; iteration < limit && largest(at.g) > target; ++iteration) {
        direction.assign(n, 0.0);
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
        w.before = at;
        cap(direction, w.step);
        if (!line_search(fun, at, w.step, w.trial)) {
            break;
        }
        w.s.resize(n);
        w.y.resize(n);
        for (std::size_t k = 0; k < n; ++k) {
            w.s[k] = at.x[k] - w.before.x[k];
            w.y[k] = at.g[k] - w.before.g[k];
        }
        const double sy = dot(w.s, w.y);
        if (!(sy > 1e-300)) {
            continue;
        }
        if (iteration == 0) {
            const double scale = sy / dot(w.y, w.y);
            for (std::size_t i = 0; i < n; ++i) {
                H[i][i] = scale;
            }
        }
        update_inverse_hessian(H, w.s, w.y, w.Hy);
    }
    return iteration;
}

// The Hessian by central differences of the analytic gradient, made symmetric,
// into w.symmetric; false where it cannot be evaluated.
bool hessian(const objective& fun, const point& at, search_buffers& w) {
    const std::size_t n = at.x.size();
    const auto m = static_cast<size_type>(n);
    w.H.reshape(m, m);
    for (std::size_t k = 0; k < n; ++k) {
        const double h = 1e-5 * std::fmax(1.0, std::fabs(at.x[k]));
        w.up = at.x;
        w.down = at.x;
        w.up[k] += h;
        w.down[k] -= h;
        double f = 0.0;
        if (!fun(w.up, f, &w.g_up) || !fun(w.down, f, &w.g_down)) {
            return false;
        }
        for (std::size_t i = 0; i < n; ++i) {
            w.H(i, k) = (w.g_up[i] - w.g_down[i]) / (2.0 * h);
        }
    }
    w.symmetric.reshape(m, m);
    for (size_type i = 0; i < m; ++i) {
        for (size_type j = 0; j < m; ++j) {
            w.symmetric(i, j) = 0.5 * (w.H(j, i) + w.H(i, j));
        }
    }
    return true;
}

// Newton steps with a line search where the Hessian is positive definite;
// returns the steps taken.
int newton(const objective& fun, point& at, search_buffers& w) {
    int steps = 0;
    for (; steps < newton_limit && largest(at.g) > polished_gradient; ++steps) {
        if (!hessian(fun, at, w) || !cholesky(w.symmetric, w.C)) {
            break;
        }
        inverse_from_cholesky(w.C, w.Ci, w.Hinv);
        vector& direction = w.direction;
        direction.assign(at.x.size(), 0.0);
        for (std::size_t i = 0; i < direction.size(); ++i) {
            for (std::size_t j = 0; j < direction.size(); ++j) {
                direction[i] -= w.Hinv(i, j) * at.g[j];
            }
        }
        const vector& before = w.before.x;
        w.before.x = at.x;
        cap(direction, w.step);
        if (!line_search(fun, at, w.step, w.trial) && !full_step(fun, at, direction, w.trial)) {
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
    search_buffers buffers;
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
        s.iterations = quasi_newton(fun, at, handed_over, quasi_newton_limit, buffers);
        s.iterations += newton(fun, at, buffers);
        if (largest(at.g) > converged_gradient) {
            // Newton could not finish (a Hessian not positive definite, or a
            // step the line search refused): more quasi-Newton steps, then again.
            s.iterations += quasi_newton(fun, at, polished_gradient, second_round_limit, buffers);
            s.iterations += newton(fun, at, buffers);
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
