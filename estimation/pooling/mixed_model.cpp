#include "estimation/pooling/mixed_model.hpp"

#include "estimation/base/elementary.hpp"

#include <cmath>
#include <cstddef>
#include <numeric>
#include <vector>

namespace morvex {
namespace {

using size_type = Matrix::size_type;

using dense = dense_block;

void copy_into(const Matrix& m, dense& d) {
    d.zero(m.row_count(), m.col_count());
    for (std::size_t i = 0; i < d.rows; ++i) {
        for (std::size_t j = 0; j < d.cols; ++j) {
            d(i, j) = m(static_cast<size_type>(i), static_cast<size_type>(j));
        }
    }
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

// A^-1 from the factor in the lower triangle of C, through C^-1 in Ci.
void inverse_of_factor(const dense& C, dense& Ci, dense& inverse) {
    const std::size_t n = C.rows;
    Ci.zero(n, n);
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
    inverse.zero(n, n);
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
}

double log_determinant(const dense& C) {
    double sum = 0.0;
    for (std::size_t k = 0; k < C.rows; ++k) {
        sum += elem::log(C(k, k));
    }
    return 2.0 * sum;
}

// Sigma_i = S_i + X_i Psi X_i', factored; false when it is not positive definite.
bool factor_sigma(const mixed_unit& u, const dense& psi, unit_terms& t) {
    const dense& X = t.X;
    const std::size_t n = X.rows;
    const std::size_t p = X.cols;
    t.XP.zero(n, p);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < p; ++j) {
            for (std::size_t k = 0; k < p; ++k) {
                t.XP(i, j) += X(i, k) * psi(k, j);
            }
        }
    }
    copy_into(u.S, t.sigma);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            for (std::size_t k = 0; k < p; ++k) {
                t.sigma(i, j) += t.XP(i, k) * X(j, k);
            }
        }
    }
    return factor_in_place(t.sigma);
}

// What one unit adds at a given Psi, into t; false when its Sigma is not positive definite.
bool unit_at(const mixed_unit& u, const dense& psi, unit_terms& t) {
    copy_into(u.X, t.X);
    if (!factor_sigma(u, psi, t)) {
        return false;
    }
    const dense& X = t.X;
    const std::size_t n = X.rows;
    const std::size_t p = X.cols;
    t.log_det = log_determinant(t.sigma);
    inverse_of_factor(t.sigma, t.Ci, t.W);
    t.XtW.zero(p, n);
    t.B.zero(p, p);
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
    return true;
}

// m = d, with m's storage when it is its own and large enough.
void copy_out(const dense& d, Matrix& m) {
    m.reshape(static_cast<size_type>(d.rows), static_cast<size_type>(d.cols));
    for (std::size_t i = 0; i < d.rows; ++i) {
        for (std::size_t j = 0; j < d.cols; ++j) {
            m(static_cast<size_type>(i), static_cast<size_type>(j)) = d(i, j);
        }
    }
}

// The unit's share of the gradient, 1/2 [X'u u'X - X'P_ii X] with u = W r and
// X'P_ii X = B - B H B, added to G.
void add_unit_gradient(unit_terms& t, dense& G, const dense& H) {
    const std::size_t n = t.r.size();
    const std::size_t p = t.B.rows;
    t.Xu.assign(p, 0.0);
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t k = 0; k < n; ++k) {
            t.Xu[i] += t.XtW(i, k) * t.r[k];
        }
    }
    t.BH.zero(p, p);
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j < p; ++j) {
            for (std::size_t k = 0; k < p; ++k) {
                t.BH(i, j) += t.B(i, k) * H(k, j);
            }
        }
    }
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j < p; ++j) {
            double BHB = 0.0;
            for (std::size_t k = 0; k < p; ++k) {
                BHB += t.BH(i, k) * t.B(k, j);
            }
            G(i, j) += 0.5 * (t.Xu[i] * t.Xu[j] - t.B(i, j) + BHB);
        }
    }
}

// r'W r into the residual and, with G, the unit's share of the gradient.
void add_unit_residual(const mixed_unit& unit, unit_terms& t, mixed_evaluation& e, dense* G,
                       const dense& H) {
    const std::size_t n = unit.y.row_count();
    const std::size_t p = t.B.rows;
    t.r.assign(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        double fitted = 0.0;
        for (std::size_t j = 0; j < p; ++j) {
            fitted += unit.X(static_cast<size_type>(i), static_cast<size_type>(j)) *
                      e.beta(static_cast<size_type>(j), 0);
        }
        t.r[i] = unit.y(static_cast<size_type>(i), 0) - fitted;
    }
    for (std::size_t i = 0; i < n; ++i) {
        double Wr = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            Wr += t.W(i, k) * t.r[k];
        }
        e.residual += t.r[i] * Wr;
    }
    if (G != nullptr) {
        add_unit_gradient(t, *G, H);
    }
}

// Sums over the units of X'W X (in A), X'X (in XX), X'W y (in c) and log|Sigma_i|.
bool sum_units(const std::vector<mixed_unit>& units, mixed_buffers& b, double& log_dets) {
    const std::size_t p = b.psi.rows;
    b.A.zero(p, p);
    b.XX.zero(p, p);
    b.c.assign(p, 0.0);
    if (b.units.size() < units.size()) {
        b.units.resize(units.size());
    }
    for (std::size_t m = 0; m < units.size(); ++m) {
        const mixed_unit& u = units[m];
        unit_terms& t = b.units[m];
        if (!unit_at(u, b.psi, t)) {
            return false;
        }
        const std::size_t n = u.y.row_count();
        for (std::size_t i = 0; i < p; ++i) {
            for (std::size_t j = 0; j < p; ++j) {
                b.A(i, j) += t.B(i, j);
                for (std::size_t k = 0; k < n; ++k) {
                    b.XX(i, j) += u.X(static_cast<size_type>(k), static_cast<size_type>(i)) *
                                  u.X(static_cast<size_type>(k), static_cast<size_type>(j));
                }
            }
            for (std::size_t k = 0; k < n; ++k) {
                b.c[i] += t.XtW(i, k) * u.y(static_cast<size_type>(k), 0);
            }
        }
        log_dets += t.log_det;
    }
    return true;
}

// m becomes n x n, every element 0.
void zero_square(Matrix& m, size_type n) {
    m.reshape(n, n);
    for (size_type i = 0; i < n; ++i) {
        for (size_type j = 0; j < n; ++j) {
            m(i, j) = 0.0;
        }
    }
}

} // namespace

std::optional<Matrix> cholesky(const Matrix& A) {
    Matrix C(0, 0);
    if (!cholesky(A, C)) {
        return std::nullopt;
    }
    return C;
}

bool cholesky(const Matrix& A, Matrix& C) {
    const size_type n = A.row_count();
    zero_square(C, n);
    for (size_type j = 0; j < n; ++j) {
        double d = A(j, j);
        for (size_type k = 0; k < j; ++k) {
            d -= C(j, k) * C(j, k);
        }
        if (!(d > 0.0) || !std::isfinite(d)) {
            return false;
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
    return true;
}

Matrix inverse_from_cholesky(const Matrix& C) {
    Matrix Ci(0, 0);
    Matrix inverse(0, 0);
    inverse_from_cholesky(C, Ci, inverse);
    return inverse;
}

void inverse_from_cholesky(const Matrix& C, Matrix& Ci, Matrix& inverse) {
    const size_type n = C.row_count();
    // C^-1 by forward substitution, then A^-1 = C^-T C^-1.
    zero_square(Ci, n);
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
    zero_square(inverse, n);
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
}

int outcome_count(const std::vector<mixed_unit>& units) {
    return std::accumulate(units.begin(), units.end(), 0, [](int n, const mixed_unit& u) {
        return n + static_cast<int>(u.y.row_count());
    });
}

std::optional<mixed_evaluation> evaluate_model(const std::vector<mixed_unit>& units,
                                               const Matrix& psi, bool with_gradient) {
    mixed_buffers buffers;
    mixed_evaluation e;
    if (!evaluate_model(units, psi, with_gradient, buffers, e)) {
        return std::nullopt;
    }
    return e;
}

bool evaluate_model(const std::vector<mixed_unit>& units, const Matrix& psi, bool with_gradient,
                    mixed_buffers& b, mixed_evaluation& e) {
    const std::size_t p = psi.row_count();
    copy_into(psi, b.psi);
    double log_dets = 0.0;
    if (!sum_units(units, b, log_dets) || !factor_in_place(b.A) || !factor_in_place(b.XX)) {
        return false;
    }
    inverse_of_factor(b.A, b.Ci, b.H);
    const dense& H = b.H;
    copy_out(H, e.cov);
    e.beta.reshape(static_cast<size_type>(p), 1);
    for (std::size_t i = 0; i < p; ++i) {
        double s = 0.0;
        for (std::size_t j = 0; j < p; ++j) {
            s += H(i, j) * b.c[j];
        }
        e.beta(static_cast<size_type>(i), 0) = s;
    }
    b.G.zero(p, p);
    e.residual = 0.0;
    for (std::size_t u = 0; u < units.size(); ++u) {
        add_unit_residual(units[u], b.units[u], e, with_gradient ? &b.G : nullptr, H);
    }
    if (with_gradient) {
        copy_out(b.G, e.gradient);
    }
    const double n = outcome_count(units);
    const double two_pi = 2.0 * elem::pi;
    e.loglik = -0.5 * ((n - static_cast<double>(p)) * elem::log(two_pi) - log_determinant(b.XX) +
                       log_dets + log_determinant(b.A) + e.residual);
    return std::isfinite(e.loglik);
}

} // namespace morvex
