#include "estimation/pooling/mixed_model.hpp"

#include "estimation/base/elementary.hpp"

#include <cmath>
#include <cstddef>
#include <numeric>
#include <vector>

namespace morvex {
namespace {

using size_type = Matrix::size_type;

// A small dense matrix in one block, row by row: the model is evaluated many
// times in the search, and a Matrix allocates each row.
struct dense {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> a;
    dense(std::size_t r, std::size_t c) : rows(r), cols(c), a(r * c, 0.0) {}
    double& operator()(std::size_t i, std::size_t j) { return a[i * cols + j]; }
    double operator()(std::size_t i, std::size_t j) const { return a[i * cols + j]; }
};

dense dense_of(const Matrix& m) {
    dense d(m.row_count(), m.col_count());
    for (std::size_t i = 0; i < d.rows; ++i) {
        for (std::size_t j = 0; j < d.cols; ++j) {
            d(i, j) = m(static_cast<size_type>(i), static_cast<size_type>(j));
        }
    }
    return d;
}

// In place: the lower triangle becomes C with C C' = A, the upper is left.
// False when A is not positive definite.
bool factor_in_place(dense& A) {
    const std::size_t n = A.rows;
    for (std::size_t j = 0; j < n; ++j) {
        double d = A(j, j);
        for (std::size_t k = 0; k < j; ++k) {
            d -= A(j, k) * A(j, k);
        }
        if (!(d > 0.0) || !std::isfinite(d)) {
            return false;
        }
        A(j, j) = std::sqrt(d);
        for (std::size_t i = j + 1; i < n; ++i) {
            double s = A(i, j);
            for (std::size_t k = 0; k < j; ++k) {
                s -= A(i, k) * A(j, k);
            }
            A(i, j) = s / A(j, j);
        }
    }
    return true;
}

// A^-1 from the factor in the lower triangle of C.
dense inverse_of_factor(const dense& C) {
    const std::size_t n = C.rows;
    dense Ci(n, n);
    for (std::size_t j = 0; j < n; ++j) {
        Ci(j, j) = 1.0 / C(j, j);
        for (std::size_t i = j + 1; i < n; ++i) {
            double s = 0.0;
            for (std::size_t k = j; k < i; ++k) {
                s -= C(i, k) * Ci(k, j);
            }
            Ci(i, j) = s / C(i, i);
        }
    }
    dense inverse(n, n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            double s = 0.0;
            for (std::size_t k = i; k < n; ++k) {
                s += Ci(k, i) * Ci(k, j);
            }
            inverse(i, j) = s;
            inverse(j, i) = s;
        }
    }
    return inverse;
}

double log_determinant(const dense& C) {
    double sum = 0.0;
    for (std::size_t k = 0; k < C.rows; ++k) {
        sum += elem::log(C(k, k));
    }
    return 2.0 * sum;
}

// What one unit adds at a given Psi.
struct unit_terms {
    dense W{0, 0};   // Sigma_i^-1
    dense XtW{0, 0}; // X_i' W_i
    dense B{0, 0};   // X_i' W_i X_i
    double log_det = 0.0;
};

std::optional<unit_terms> unit_at(const mixed_unit& u, const dense& psi) {
    const dense X = dense_of(u.X);
    const std::size_t n = X.rows;
    const std::size_t p = X.cols;
    dense XP(n, p);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < p; ++j) {
            for (std::size_t k = 0; k < p; ++k) {
                XP(i, j) += X(i, k) * psi(k, j);
            }
        }
    }
    dense sigma = dense_of(u.S);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            for (std::size_t k = 0; k < p; ++k) {
                sigma(i, j) += XP(i, k) * X(j, k);
            }
        }
    }
    if (!factor_in_place(sigma)) {
        return std::nullopt;
    }
    unit_terms t;
    t.log_det = log_determinant(sigma);
    t.W = inverse_of_factor(sigma);
    t.XtW = dense(p, n);
    t.B = dense(p, p);
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            for (std::size_t k = 0; k < n; ++k) {
                t.XtW(i, j) += X(k, i) * t.W(k, j);
            }
        }
        for (std::size_t j = 0; j < p; ++j) {
            for (std::size_t k = 0; k < n; ++k) {
                t.B(i, j) += t.XtW(i, k) * X(k, j);
            }
        }
    }
    return t;
}

Matrix matrix_of(const dense& d) {
    Matrix m(static_cast<size_type>(d.rows), static_cast<size_type>(d.cols));
    for (std::size_t i = 0; i < d.rows; ++i) {
        for (std::size_t j = 0; j < d.cols; ++j) {
            m(static_cast<size_type>(i), static_cast<size_type>(j)) = d(i, j);
        }
    }
    return m;
}

// r'W r into the residual and, with G, the unit's share of the gradient,
// 1/2 [X'u u'X - X'P_ii X] with u = W r and X'P_ii X = B - B H B.
void add_unit_residual(const mixed_unit& unit, const unit_terms& t, mixed_evaluation& e, dense* G,
                       const dense& H) {
    const std::size_t n = unit.y.row_count();
    const std::size_t p = t.B.rows;
    std::vector<double> r(n);
    for (std::size_t i = 0; i < n; ++i) {
        double fitted = 0.0;
        for (std::size_t j = 0; j < p; ++j) {
            fitted += unit.X(static_cast<size_type>(i), static_cast<size_type>(j)) *
                      e.beta(static_cast<size_type>(j), 0);
        }
        r[i] = unit.y(static_cast<size_type>(i), 0) - fitted;
    }
    for (std::size_t i = 0; i < n; ++i) {
        double Wr = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            Wr += t.W(i, k) * r[k];
        }
        e.residual += r[i] * Wr;
    }
    if (G == nullptr) {
        return;
    }
    std::vector<double> Xu(p, 0.0);
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t k = 0; k < n; ++k) {
            Xu[i] += t.XtW(i, k) * r[k];
        }
    }
    dense BH(p, p);
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j < p; ++j) {
            for (std::size_t k = 0; k < p; ++k) {
                BH(i, j) += t.B(i, k) * H(k, j);
            }
        }
    }
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j < p; ++j) {
            double BHB = 0.0;
            for (std::size_t k = 0; k < p; ++k) {
                BHB += BH(i, k) * t.B(k, j);
            }
            (*G)(i, j) += 0.5 * (Xu[i] * Xu[j] - t.B(i, j) + BHB);
        }
    }
}

} // namespace

std::optional<Matrix> cholesky(const Matrix& A) {
    const size_type n = A.row_count();
    Matrix C = zeros(n, n);
    for (size_type j = 0; j < n; ++j) {
        double d = A(j, j);
        for (size_type k = 0; k < j; ++k) {
            d -= C(j, k) * C(j, k);
        }
        if (!(d > 0.0) || !std::isfinite(d)) {
            return std::nullopt;
        }
        C(j, j) = std::sqrt(d);
        for (size_type i = j + 1; i < n; ++i) {
            double s = A(i, j);
            for (size_type k = 0; k < j; ++k) {
                s -= C(i, k) * C(j, k);
            }
            C(i, j) = s / C(j, j);
        }
    }
    return C;
}

Matrix inverse_from_cholesky(const Matrix& C) {
    const size_type n = C.row_count();
    // C^-1 by forward substitution, then A^-1 = C^-T C^-1.
    Matrix Ci = zeros(n, n);
    for (size_type j = 0; j < n; ++j) {
        Ci(j, j) = 1.0 / C(j, j);
        for (size_type i = j + 1; i < n; ++i) {
            double s = 0.0;
            for (size_type k = j; k < i; ++k) {
                s -= C(i, k) * Ci(k, j);
            }
            Ci(i, j) = s / C(i, i);
        }
    }
    Matrix inverse = zeros(n, n);
    for (size_type i = 0; i < n; ++i) {
        for (size_type j = 0; j <= i; ++j) {
            double s = 0.0;
            for (size_type k = i; k < n; ++k) {
                s += Ci(k, i) * Ci(k, j);
            }
            inverse(i, j) = s;
            inverse(j, i) = s;
        }
    }
    return inverse;
}

int outcome_count(const std::vector<mixed_unit>& units) {
    return std::accumulate(units.begin(), units.end(), 0, [](int n, const mixed_unit& u) {
        return n + static_cast<int>(u.y.row_count());
    });
}

std::optional<mixed_evaluation> evaluate_model(const std::vector<mixed_unit>& units,
                                               const Matrix& psi, bool with_gradient) {
    const std::size_t p = psi.row_count();
    const dense psi_d = dense_of(psi);
    dense A(p, p);
    std::vector<double> c(p, 0.0);
    dense XX(p, p);
    double log_dets = 0.0;
    std::vector<unit_terms> terms;
    terms.reserve(units.size());
    for (const mixed_unit& u : units) {
        std::optional<unit_terms> t = unit_at(u, psi_d);
        if (!t) {
            return std::nullopt;
        }
        const std::size_t n = u.y.row_count();
        for (std::size_t i = 0; i < p; ++i) {
            for (std::size_t j = 0; j < p; ++j) {
                A(i, j) += t->B(i, j);
                for (std::size_t k = 0; k < n; ++k) {
                    XX(i, j) += u.X(static_cast<size_type>(k), static_cast<size_type>(i)) *
                                u.X(static_cast<size_type>(k), static_cast<size_type>(j));
                }
            }
            for (std::size_t k = 0; k < n; ++k) {
                c[i] += t->XtW(i, k) * u.y(static_cast<size_type>(k), 0);
            }
        }
        log_dets += t->log_det;
        terms.push_back(std::move(*t));
    }
    if (!factor_in_place(A) || !factor_in_place(XX)) {
        return std::nullopt;
    }
    const dense H = inverse_of_factor(A);
    mixed_evaluation e;
    e.cov = matrix_of(H);
    e.beta = zeros(static_cast<size_type>(p), 1);
    for (std::size_t i = 0; i < p; ++i) {
        double s = 0.0;
        for (std::size_t j = 0; j < p; ++j) {
            s += H(i, j) * c[j];
        }
        e.beta(static_cast<size_type>(i), 0) = s;
    }
    dense G(p, p);
    for (std::size_t u = 0; u < units.size(); ++u) {
        add_unit_residual(units[u], terms[u], e, with_gradient ? &G : nullptr, H);
    }
    if (with_gradient) {
        e.gradient = matrix_of(G);
    }
    const double n = outcome_count(units);
    const double two_pi = 2.0 * elem::pi;
    e.loglik = -0.5 * ((n - static_cast<double>(p)) * elem::log(two_pi) - log_determinant(XX) +
                       log_dets + log_determinant(A) + e.residual);
    if (!std::isfinite(e.loglik)) {
        return std::nullopt;
    }
    return e;
}

} // namespace morvex
