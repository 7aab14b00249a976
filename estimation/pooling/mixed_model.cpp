#include "estimation/pooling/mixed_model.hpp"

#include <cmath>

namespace morvex {
namespace {

using size_type = Matrix::size_type;

double log_determinant(const Matrix& C) {
    double sum = 0.0;
    for (size_type k = 0; k < C.row_count(); ++k) {
        sum += std::log(C(k, k));
    }
    return 2.0 * sum;
}

// What one unit adds at a given Psi.
struct unit_terms {
    Matrix W{0, 0};   // Sigma_i^-1
    Matrix XtW{0, 0}; // X_i' W_i
    Matrix B{0, 0};   // X_i' W_i X_i
    double log_det = 0.0;
};

std::optional<unit_terms> unit_at(const mixed_unit& u, const Matrix& psi) {
    const Matrix sigma = u.S + (u.X * psi) * transpose(u.X);
    const std::optional<Matrix> C = cholesky(sigma);
    if (!C) {
        return std::nullopt;
    }
    unit_terms t;
    t.W = inverse_from_cholesky(*C);
    t.XtW = transpose(u.X) * t.W;
    t.B = t.XtW * u.X;
    t.log_det = log_determinant(*C);
    return t;
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
    int n = 0;
    for (const mixed_unit& u : units) {
        n += static_cast<int>(u.y.row_count());
    }
    return n;
}

std::optional<mixed_evaluation> evaluate_model(const std::vector<mixed_unit>& units,
                                               const Matrix& psi, bool with_gradient) {
    const size_type p = psi.row_count();
    Matrix A = zeros(p, p);
    Matrix c = zeros(p, 1);
    Matrix XX = zeros(p, p);
    double log_dets = 0.0;
    std::vector<unit_terms> terms;
    terms.reserve(units.size());
    for (const mixed_unit& u : units) {
        std::optional<unit_terms> t = unit_at(u, psi);
        if (!t) {
            return std::nullopt;
        }
        A += t->B;
        c += t->XtW * u.y;
        XX += transpose(u.X) * u.X;
        log_dets += t->log_det;
        terms.push_back(std::move(*t));
    }
    const std::optional<Matrix> CA = cholesky(A);
    const std::optional<Matrix> CX = cholesky(XX);
    if (!CA || !CX) {
        return std::nullopt;
    }
    mixed_evaluation e;
    e.cov = inverse_from_cholesky(*CA);
    e.beta = e.cov * c;
    if (with_gradient) {
        e.gradient = zeros(p, p);
    }
    for (std::size_t i = 0; i < units.size(); ++i) {
        const Matrix r = units[i].y - units[i].X * e.beta;
        e.residual += (transpose(r) * (terms[i].W * r))(0, 0);
        if (with_gradient) {
            // 1/2 [X'u u'X - X'P_ii X] with u = W r and X'P_ii X = B - B A^-1 B.
            const Matrix Xu = terms[i].XtW * r;
            const Matrix& B = terms[i].B;
            e.gradient += 0.5 * (Xu * transpose(Xu) - B + (B * e.cov) * B);
        }
    }
    const double n = outcome_count(units);
    const double two_pi = 2.0 * std::acos(-1.0);
    e.loglik = -0.5 * ((n - static_cast<double>(p)) * std::log(two_pi) - log_determinant(*CX) +
                       log_dets + log_determinant(*CA) + e.residual);
    if (!std::isfinite(e.loglik)) {
        return std::nullopt;
    }
    return e;
}

} // namespace morvex
