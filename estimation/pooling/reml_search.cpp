#include "estimation/pooling/reml_search.hpp"

#include "estimation/pooling/reml_newton.hpp"
#include "estimation/pooling/symmetric_eigen.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <iterator>
#include <utility>

namespace morvex {
namespace {

using size_type = Matrix::size_type;
using vector = std::vector<double>;

// Per unit: the gradient's terms are of order 1 in the scaled coordinates, and
// the rounding of their sum grows with their number.
constexpr double converged_per_unit = 1e-10; // the largest gradient of a reported optimum
constexpr double polished_per_unit = 1e-13;  // where Newton stops
constexpr double joined_per_unit = 1e-4;     // near enough to an optimum found to join it

using reml_steps::dot;
using reml_steps::evaluate;
using reml_steps::largest;
using reml_steps::newton;
using reml_steps::objective;
using reml_steps::point;

// Theta of a scaled Psi~ (made positive definite by a small ridge), its first `rank` columns.
vector theta_of(const objective& fun, Matrix scaled, double ridge, std::size_t rank) {
    const size_type p = fun.p();
    for (size_type j = 0; j < p; ++j) {
        scaled(j, j) += ridge;
    }
    const std::optional<Matrix> C = cholesky(scaled);
    vector theta;
    for (size_type j = 0; j < rank; ++j) {
        for (size_type i = j; i < p; ++i) {
            theta.push_back(C ? (*C)(i, j) : (i == j ? 1.0 : 0.0));
        }
    }
    return theta;
}

// The nearest Psi~ of rank r: its r largest eigenvalues kept.
Matrix truncated(const Matrix& scaled, std::size_t rank) {
    const size_type p = scaled.row_count();
    const eigen_decomposition e = symmetric_eigen(scaled);
    Matrix m = zeros(p, p);
    for (size_type k = 0; k < rank; ++k) {
        const double v = std::fmax(e.values[k], 1e-6 * std::fmax(e.values[0], 1e-6));
        for (size_type i = 0; i < p; ++i) {
            for (size_type j = 0; j < p; ++j) {
                m(i, j) += v * e.vectors(i, k) * e.vectors(j, k);
            }
        }
    }
    return m;
}

Matrix identity_times(size_type p, double s) {
    Matrix m = zeros(p, p);
    for (size_type j = 0; j < p; ++j) {
        m(j, j) = s;
    }
    return m;
}

// +-0.9 correlations, alternating in sign when r < 0.
Matrix correlated(size_type p, double r) {
    Matrix m = identity_times(p, 1.0);
    for (size_type i = 0; i < p; ++i) {
        for (size_type j = 0; j < p; ++j) {
            if (i != j) {
                m(i, j) = (i + j) % 2 == 1 ? r : std::fabs(r);
            }
        }
    }
    return m;
}

struct start_point {
    std::string name;
    vector theta;
};

std::vector<start_point> interior_starts(const objective& fun,
                                         const std::optional<Matrix>& moments) {
    const size_type p = fun.p();
    std::vector<start_point> list;
    list.push_back({"identity/10", theta_of(fun, identity_times(p, 0.1), 0.0, p)});
    list.push_back({"identity", theta_of(fun, identity_times(p, 1.0), 0.0, p)});
    list.push_back({"identity*10", theta_of(fun, identity_times(p, 10.0), 0.0, p)});
    list.push_back({"near zero", theta_of(fun, identity_times(p, 1e-4), 0.0, p)});
    Matrix leading = zeros(p, p);
    leading(0, 0) = 1.0;
    if (moments) {
        const Matrix scaled = fun.rescale(*moments);
        list.push_back({"moments", theta_of(fun, scaled, 1e-3, p)});
        const eigen_decomposition e = symmetric_eigen(scaled);
        if (e.values.front() > 0.0) {
            leading = truncated(scaled, 1);
        }
    }
    if (p > 1) {
        list.push_back({"rank one", theta_of(fun, leading, 1e-3, p)});
        list.push_back({"correlated", theta_of(fun, correlated(p, 0.9), 0.0, p)});
        list.push_back({"anticorrelated", theta_of(fun, correlated(p, -0.9), 0.0, p)});
    }
    return list;
}

// Starts on the boundary: Psi~ of each lower rank from the optima inside, the
// moments, the identity and the two correlated patterns; Psi = 0 itself.
std::vector<start_point> boundary_starts(const objective& fun, const std::vector<Matrix>& inside,
                                         const std::optional<Matrix>& moments) {
    const size_type p = fun.p();
    std::vector<start_point> list;
    for (size_type r = 1; r < p; ++r) {
        const std::string rank = "rank " + std::to_string(r) + " of ";
        for (std::size_t k = 0; k < inside.size(); ++k) {
            list.push_back({rank + "optimum " + std::to_string(k + 1),
                            theta_of(fun, truncated(inside[k], r), 1e-9, r)});
        }
        if (moments) {
            list.push_back(
                {rank + "moments", theta_of(fun, truncated(fun.rescale(*moments), r), 1e-9, r)});
        }
        list.push_back({rank + "identity", theta_of(fun, identity_times(p, 1.0), 0.0, r)});
        list.push_back(
            {rank + "correlated", theta_of(fun, truncated(correlated(p, 0.9), r), 1e-9, r)});
        list.push_back(
            {rank + "anticorrelated", theta_of(fun, truncated(correlated(p, -0.9), r), 1e-9, r)});
    }
    list.push_back({"zero", {}});
    return list;
}

vector scales(const std::vector<mixed_unit>& units) {
    const size_type p = units.front().p;
    vector d(p, 1.0);
    const std::optional<mixed_evaluation> e = evaluate_model(units, zeros(p, p), false);
    if (e) {
        for (size_type j = 0; j < p; ++j) {
            d[j] = std::sqrt(static_cast<double>(units.size()) * e->cov(j, j));
        }
    }
    return d;
}

double distance(const Matrix& x, const Matrix& y, double& size) {
    size = 1.0;
    double diff = 0.0;
    for (size_type i = 0; i < x.row_count(); ++i) {
        for (size_type j = 0; j < x.col_count(); ++j) {
            size = std::fmax(size, std::fabs(y(i, j)));
            diff = std::fmax(diff, std::fabs(x(i, j) - y(i, j)));
        }
    }
    return diff;
}

// What the search keeps of a start that finished its own search.
struct candidate {
    std::size_t start = 0; // index into the fit's starts
    vector theta;
    Matrix scaled{0, 0};
};

class search {
public:
    search(const std::vector<mixed_unit>& units, unsigned threads)
        : fun_(units, scales(units), threads),
          per_unit_(std::fmax(1.0, static_cast<double>(units.size()))) {}

    const objective& fun() const { return fun_; }
    double target() const { return converged_per_unit * per_unit_; }

    void run(const start_point& s, reml_fit& fit) {
        reml_start r;
        r.name = s.name;
        r.rank = static_cast<int>(fun_.rank_of(s.theta));
        point at;
        at.x = s.theta;
        if (!evaluate(fun_, at)) {
            r.loglik = not_computed;
            fit.starts.push_back(std::move(r));
            return;
        }
        const candidate* reached = nullptr;
        const auto join = [&](const point& now) {
            if (largest(now.g) > joined_per_unit * per_unit_) {
                return false;
            }
            const Matrix here = fun_.scaled_psi(now.x);
            for (const candidate& c : found_) {
                double size = 1.0;
                if (c.theta.size() == now.x.size() &&
                    distance(here, c.scaled, size) <= 1e-6 * size) {
                    reached = &c;
                    return true;
                }
            }
            return false;
        };
        r.iterations = newton(fun_, at, polished_per_unit * per_unit_, join);
        if (reached != nullptr) {
            const reml_start& c = fit.starts[reached->start];
            r.joined = c.name;
            r.loglik = c.loglik;
            r.gradient = c.gradient;
            r.converged = c.converged;
            r.psi = c.psi;
            fit.starts.push_back(std::move(r));
            return;
        }
        r.gradient = largest(at.g);
        r.converged = r.gradient <= target();
        r.loglik = -at.f;
        r.psi = fun_.psi(at.x);
        found_.push_back({fit.starts.size(), at.x, fun_.scaled_psi(at.x)});
        fit.starts.push_back(std::move(r));
    }

    const std::vector<candidate>& found() const { return found_; }

private:
    objective fun_;
    double per_unit_;
    std::vector<candidate> found_;
};

bool same_point(const objective& fun, const reml_start& a, const reml_start& b) {
    double size = 1.0;
    const double diff = distance(fun.rescale(a.psi), fun.rescale(b.psi), size);
    return std::fabs(a.loglik - b.loglik) <= 1e-8 * std::fmax(1.0, std::fabs(b.loglik)) &&
           diff <= 1e-4 * size;
}

// Numbers the distinct maxima by height and marks the starts at the highest.
void number_optima(const objective& fun, reml_fit& fit, std::size_t best) {
    std::vector<std::size_t> order;
    for (std::size_t k = 0; k < fit.starts.size(); ++k) {
        if (!std::isnan(fit.starts[k].loglik)) {
            order.push_back(k);
        }
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return fit.starts[a].loglik > fit.starts[b].loglik;
    });
    std::vector<std::size_t> heads;
    for (const std::size_t k : order) {
        reml_start& s = fit.starts[k];
        for (std::size_t h = 0; h < heads.size() && s.optimum == 0; ++h) {
            if (same_point(fun, s, fit.starts[heads[h]])) {
                s.optimum = static_cast<int>(h) + 1;
            }
        }
        if (s.optimum == 0) {
            heads.push_back(k);
            s.optimum = static_cast<int>(heads.size());
        }
        s.at_optimum = same_point(fun, s, fit.starts[best]);
    }
    fit.optima = static_cast<int>(heads.size());
}

std::size_t highest(const reml_fit& fit) {
    std::size_t best = fit.starts.size();
    for (std::size_t k = 0; k < fit.starts.size(); ++k) {
        const reml_start& s = fit.starts[k];
        if (!std::isnan(s.loglik) &&
            (best == fit.starts.size() || s.loglik > fit.starts[best].loglik)) {
            best = k;
        }
    }
    return best;
}

// At a maximum on the boundary, a direction v in Psi~'s null space with
// v'G~v > 0 would still raise the likelihood: then a start inside the cone,
// a step along v off that point.
std::optional<start_point> off_the_boundary(const search& s, const reml_fit& fit,
                                            std::size_t best) {
    const objective& fun = s.fun();
    const size_type p = fun.p();
    const reml_start& top = fit.starts[best];
    const auto c = std::find_if(s.found().begin(), s.found().end(),
                                [best](const candidate& k) { return k.start == best; });
    double f = 0.0;
    if (top.rank >= static_cast<int>(p) || c == s.found().end() ||
        !fun(c->theta, f, nullptr, nullptr)) {
        return std::nullopt;
    }
    const Matrix G = fun.scaled_gradient();
    const eigen_decomposition e = symmetric_eigen(c->scaled);
    const double top_value = std::fmax(e.values.front(), 1.0);
    const size_type null = p - static_cast<size_type>(top.rank);
    Matrix M = zeros(null, null); // N'G~N over the null space's eigenvectors
    for (size_type a = 0; a < null; ++a) {
        for (size_type b = 0; b < null; ++b) {
            for (size_type i = 0; i < p; ++i) {
                for (size_type j = 0; j < p; ++j) {
                    M(a, b) += e.vectors(i, p - null + a) * G(i, j) * e.vectors(j, p - null + b);
                }
            }
        }
    }
    const eigen_decomposition m = symmetric_eigen(M);
    if (!(m.values.front() > s.target())) {
        return std::nullopt;
    }
    Matrix moved = c->scaled;
    for (size_type i = 0; i < p; ++i) {
        for (size_type j = 0; j < p; ++j) {
            double vi = 0.0;
            double vj = 0.0;
            for (size_type a = 0; a < null; ++a) {
                vi += e.vectors(i, p - null + a) * m.vectors(a, 0);
                vj += e.vectors(j, p - null + a) * m.vectors(a, 0);
            }
            moved(i, j) += 1e-2 * top_value * vi * vj;
        }
    }
    return start_point{"off the boundary", theta_of(fun, moved, 1e-9, p)};
}

} // namespace

reml_fit maximise_reml(const std::vector<mixed_unit>& units, const std::optional<Matrix>& moments,
                       unsigned threads) {
    reml_fit fit;
    search s(units, threads);
    fit.target = s.target();
    for (const start_point& start : interior_starts(s.fun(), moments)) {
        s.run(start, fit);
    }
    std::vector<Matrix> inside;
    std::transform(s.found().begin(), s.found().end(), std::back_inserter(inside),
                   [](const candidate& c) { return c.scaled; });
    for (const start_point& start : boundary_starts(s.fun(), inside, moments)) {
        s.run(start, fit);
    }
    std::size_t best = highest(fit);
    if (best == fit.starts.size()) {
        return fit;
    }
    if (const std::optional<start_point> off = off_the_boundary(s, fit, best)) {
        s.run(*off, fit);
        best = highest(fit);
    }
    number_optima(s.fun(), fit, best);
    // Of the starts at the maximum that ran their own search, the one whose gradient is smallest.
    for (std::size_t k = 0; k < fit.starts.size(); ++k) {
        const reml_start& c = fit.starts[k];
        if (c.at_optimum && c.joined.empty() && c.gradient < fit.starts[best].gradient) {
            best = k;
        }
    }
    const reml_start& top = fit.starts[best];
    fit.psi = top.psi;
    // The iterations of the first start whose own search reached it.
    const auto first = std::find_if(fit.starts.begin(), fit.starts.end(), [](const reml_start& s) {
        return s.at_optimum && s.joined.empty();
    });
    fit.iterations = first->iterations;
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
