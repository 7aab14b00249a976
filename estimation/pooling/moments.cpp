#include "estimation/pooling/moments.hpp"

#include "estimation/pooling/symmetric_eigen.hpp"

#include <cmath>
#include <vector>

namespace morvex {
namespace {

using size_type = Matrix::size_type;

struct weighted_unit {
    Matrix XtW; // X_i' S_i^-1
    Matrix XH;  // X_i (sum X'WX)^-1
};

// E[Q] for a between-study part `psi`, with the within-study S_i added when
// `with_within`: Cov(e_i) from e = y - X H X'W y, then X_i' W_i Cov(e_i) X_i summed.
Matrix expected_q(const std::vector<mixed_unit>& units, const std::vector<weighted_unit>& w,
                  const Matrix& psi, bool with_within) {
    const size_type p = psi.row_count();
    std::vector<Matrix> sigma;
    Matrix middle = zeros(p, p); // sum X_j' W_j Sigma_j W_j X_j
    for (std::size_t i = 0; i < units.size(); ++i) {
        Matrix s = (units[i].X * psi) * transpose(units[i].X);
        if (with_within) {
            s += units[i].S;
        }
        middle += (w[i].XtW * s) * transpose(w[i].XtW);
        sigma.push_back(std::move(s));
    }
    Matrix total = zeros(p, p);
    for (std::size_t i = 0; i < units.size(); ++i) {
        const Matrix& s = sigma[i];
        // Written as products of Sigma_i itself, never its transpose: the map is
        // applied to unsymmetric unit matrices to set up the equations.
        const Matrix ee = s - (s * transpose(w[i].XtW)) * transpose(w[i].XH) -
                          (w[i].XH * w[i].XtW) * s + (w[i].XH * middle) * transpose(w[i].XH);
        total += (w[i].XtW * ee) * units[i].X;
    }
    return total;
}

// B x = r with B's rows and columns scaled to largest element 1 first: with
// doses near 1000 a quadratic's equations span twenty orders of magnitude.
Matrix equilibrated_solve(Matrix B, Matrix rhs) {
    const size_type n = B.row_count();
    std::vector<double> column(n, 0.0);
    for (size_type i = 0; i < n; ++i) {
        double row = 0.0;
        for (size_type j = 0; j < n; ++j) {
            row = std::fmax(row, std::fabs(B(i, j)));
        }
        for (size_type j = 0; row > 0.0 && j < n; ++j) {
            B(i, j) /= row;
        }
        rhs(i, 0) = row > 0.0 ? rhs(i, 0) / row : rhs(i, 0);
        for (size_type j = 0; j < n; ++j) {
            column[j] = std::fmax(column[j], std::fabs(B(i, j)));
        }
    }
    for (size_type i = 0; i < n; ++i) {
        for (size_type j = 0; j < n; ++j) {
            B(i, j) = column[j] > 0.0 ? B(i, j) / column[j] : B(i, j);
        }
    }
    Matrix x = (!B) * rhs;
    for (size_type j = 0; j < n; ++j) {
        x(j, 0) = column[j] > 0.0 ? x(j, 0) / column[j] : x(j, 0);
    }
    return x;
}

} // namespace

std::optional<Matrix> moments_psi(const std::vector<mixed_unit>& units) {
    const std::optional<mixed_evaluation> fixed = evaluate_model(
        units, zeros(units.front().X.col_count(), units.front().X.col_count()), false);
    if (!fixed) {
        return std::nullopt;
    }
    const size_type p = fixed->beta.row_count();
    std::vector<weighted_unit> w;
    Matrix Q = zeros(p, p);
    for (const mixed_unit& u : units) {
        const std::optional<Matrix> C = cholesky(u.S);
        if (!C) {
            return std::nullopt;
        }
        weighted_unit wu{transpose(u.X) * inverse_from_cholesky(*C), u.X * fixed->cov};
        const Matrix e = u.y - u.X * fixed->beta;
        Q += (wu.XtW * e) * transpose(transpose(u.X) * e);
        w.push_back(std::move(wu));
    }
    const Matrix base = expected_q(units, w, zeros(p, p), true);
    Matrix B = zeros(p * p, p * p);
    for (size_type a = 0; a < p; ++a) {
        for (size_type b = 0; b < p; ++b) {
            Matrix unit = zeros(p, p);
            unit(a, b) = 1.0;
            const Matrix M = expected_q(units, w, unit, false);
            for (size_type i = 0; i < p; ++i) {
                for (size_type j = 0; j < p; ++j) {
                    B(i * p + j, a * p + b) = M(i, j);
                }
            }
        }
    }
    Matrix rhs = zeros(p * p, 1);
    for (size_type i = 0; i < p; ++i) {
        for (size_type j = 0; j < p; ++j) {
            rhs(i * p + j, 0) = Q(i, j) - base(i, j);
        }
    }
    Matrix solution = zeros(p * p, 1);
    try {
        solution = equilibrated_solve(B, rhs);
    } catch (const math::matrix_error&) {
        return std::nullopt;
    }
    Matrix psi = zeros(p, p);
    for (size_type i = 0; i < p; ++i) {
        for (size_type j = 0; j < p; ++j) {
            psi(i, j) = 0.5 * (solution(i * p + j, 0) + solution(j * p + i, 0));
            if (!std::isfinite(psi(i, j))) {
                return std::nullopt;
            }
        }
    }
    return positive_part(psi);
}

} // namespace morvex
