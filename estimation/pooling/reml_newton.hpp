// The Newton steps of the REML search: the restricted likelihood over theta,
// the scaled factor of Psi (see reml_search.hpp), with its analytic gradient and
// Hessian, and steps down hill on it.
#ifndef MORVEX_ESTIMATION_POOLING_REML_NEWTON_HPP
#define MORVEX_ESTIMATION_POOLING_REML_NEWTON_HPP

#include "estimation/pooling/mixed_model.hpp"

#include <cmath>
#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace morvex::reml_steps {

using size_type = Matrix::size_type;
using vector = std::vector<double>;

double largest(const vector& v);
double dot(const vector& a, const vector& b);

// -loglik over theta, the scaled Cholesky factor's first columns (see the header).
class objective {
public:
    objective(const std::vector<mixed_unit>& units, vector scale, unsigned threads)
        : units_(units), d_(std::move(scale)), p_(d_.size()), ws_(threads) {}

    std::size_t p() const { return p_; }
    // Entries of theta when L~ has `rank` columns.
    std::size_t size(std::size_t rank) const { return rank * p_ - rank * (rank - 1) / 2; }
    std::size_t rank_of(const vector& theta) const {
        std::size_t r = 0;
        while (r < p_ && size(r) < theta.size()) {
            ++r;
        }
        return r;
    }

    Matrix scaled_psi(const vector& theta) const {
        Matrix m = zeros(p_, p_);
        const small_matrix Lt = factor(theta, false);
        for (size_type i = 0; i < p_; ++i) {
            for (size_type j = 0; j < p_; ++j) {
                for (size_type k = 0; k < p_; ++k) {
                    m(i, j) += Lt[i * p_ + k] * Lt[j * p_ + k];
                }
            }
        }
        return m;
    }

    Matrix psi(const vector& theta) const {
        Matrix m = scaled_psi(theta);
        for (size_type i = 0; i < p_; ++i) {
            for (size_type j = 0; j < p_; ++j) {
                m(i, j) *= d_[i] * d_[j];
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

    // L~ (scaled false) or L = D L~ (true), row-major.
    small_matrix factor(const vector& theta, bool unscaled) const {
        small_matrix L{};
        std::size_t k = 0;
        for (std::size_t j = 0; k < theta.size(); ++j) {
            for (std::size_t i = j; i < p_; ++i) {
                L[i * p_ + j] = theta[k++] * (unscaled ? d_[i] : 1.0);
            }
        }
        return L;
    }

    // f = -loglik; g its gradient and H its Hessian (row-major) when asked.
    // False where the model cannot be evaluated.
    bool operator()(const vector& theta, double& f, vector* g, vector* H) const {
        const small_matrix L = factor(theta, true);
        model_request request;
        request.gradient = true;
        const std::size_t k = theta.size();
        if (H != nullptr) {
            directions_.assign(k, small_matrix{});
            for_each_entry(k, [&](std::size_t t, std::size_t i, std::size_t j) {
                small_matrix& D = directions_[t];
                for (std::size_t x = 0; x < p_; ++x) {
                    D[i * p_ + x] += d_[i] * L[x * p_ + j];
                    D[x * p_ + i] += d_[i] * L[x * p_ + j];
                }
            });
            request.directions = &directions_;
        }
        if (!evaluate_model(units_, L, request, ws_, at_)) {
            return false;
        }
        f = -at_.loglik;
        if (g != nullptr) {
            // d loglik / d L~(i, j) = 2 D_i (G L)(i, j).
            g->assign(k, 0.0);
            for_each_entry(k, [&](std::size_t t, std::size_t i, std::size_t j) {
                double s = 0.0;
                for (std::size_t x = 0; x < p_; ++x) {
                    s += at_.gradient(i, x) * L[x * p_ + j];
                }
                (*g)[t] = -2.0 * d_[i] * s;
            });
        }
        if (H != nullptr) {
            H->assign(k * k, 0.0);
            for_each_entry(k, [&](std::size_t t, std::size_t i, std::size_t j) {
                for_each_entry(k, [&](std::size_t u, std::size_t a, std::size_t b) {
                    const double second = j == b ? 2.0 * d_[i] * d_[a] * at_.gradient(i, a) : 0.0;
                    (*H)[t * k + u] = -(at_.curvature[t * k + u] + second);
                });
            });
        }
        return std::isfinite(f);
    }

    // G~ = D G D at the last evaluation, G = d loglik / d Psi.
    Matrix scaled_gradient() const {
        Matrix G = zeros(p_, p_);
        for (size_type i = 0; i < p_; ++i) {
            for (size_type j = 0; j < p_; ++j) {
                G(i, j) = d_[i] * at_.gradient(i, j) * d_[j];
            }
        }
        return G;
    }

private:
    template <class F>
    void for_each_entry(std::size_t k, F f) const {
        std::size_t t = 0;
        for (std::size_t j = 0; t < k; ++j) {
            for (std::size_t i = j; i < p_ && t < k; ++i) {
                f(t++, i, j);
            }
        }
    }

    const std::vector<mixed_unit>& units_;
    vector d_;
    std::size_t p_;
    mutable mixed_workspace ws_;
    mutable mixed_evaluation at_;
    mutable std::vector<small_matrix> directions_;
};

struct point {
    vector x;
    double f = 0.0;
    vector g;
    vector H;
};

// f, g and H at at.x; false where the model cannot be evaluated.
bool evaluate(const objective& fun, point& at);

// Newton steps from `at` until the gradient falls to `polish`, the steps stop
// moving, or `join` says the start has reached an optimum already found;
// returns the steps taken.
int newton(const objective& fun, point& at, double polish,
           const std::function<bool(const point&)>& join);

} // namespace morvex::reml_steps

#endif
