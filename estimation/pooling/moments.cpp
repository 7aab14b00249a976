#include "estimation/pooling/moments.hpp"

#include "estimation/method/householder.hpp"
#include "estimation/pooling/symmetric_eigen.hpp"

#include <cmath>
#include <vector>

namespace morvex {
namespace {

using size_type = Matrix::size_type;

// A p x p matrix of doubles, row-major.
using square = std::vector<double>;

square product(const square& a, const square& b, std::size_t p) {
    square c(p * p, 0.0);
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t k = 0; k < p; ++k) {
            for (std::size_t j = 0; j < p; ++j) {
                c[i * p + j] += a[i * p + k] * b[k * p + j];
            }
        }
    }
    return c;
}

// The sums over the units from which E[Q] follows for any Psi, in p x p terms:
// with A_i = X_i'W_i X_i, D_i = X_i'X_i and H = (sum A_i)^-1,
// E[Q] = sum [D + A Psi D - (A + A Psi A) H D - A H (D + A Psi D) + A H M H D],
// M = sum_j (A_j + A_j Psi A_j). Four-index sums make it linear in Psi's elements.
struct moment_sums {
    std::size_t p = 0;
    square base;               // E[Q] at Psi = 0
    std::vector<double> AD;    // sum A(x,a) D(b,y)
    std::vector<double> A_AHD; // sum A(x,a) (A H D)(b,y)
    std::vector<double> AHA_D; // sum (A H A)(x,a) D(b,y)
    std::vector<double> AA;    // sum A(x,a) A(b,y)
    std::vector<double> outer; // sum (A H)(x,s) (H D)(t,y), at [(x p + y) p + s] p + t
    square Q;                  // sum X'W e (X'e)'
};

std::size_t at4(std::size_t p, std::size_t i, std::size_t j, std::size_t k, std::size_t l) {
    return ((i * p + j) * p + k) * p + l;
}

moment_sums sums_of(const std::vector<mixed_unit>& units, const square& H, const Matrix& beta) {
    moment_sums s;
    const std::size_t p = units.front().p;
    s.p = p;
    const std::size_t p4 = p * p * p * p;
    s.base.assign(p * p, 0.0);
    s.Q.assign(p * p, 0.0);
    s.AD.assign(p4, 0.0);
    s.A_AHD.assign(p4, 0.0);
    s.AHA_D.assign(p4, 0.0);
    s.AA.assign(p4, 0.0);
    s.outer.assign(p4, 0.0);
    square sumA(p * p, 0.0);
    std::vector<square> A(units.size(), square(p * p, 0.0));
    for (std::size_t u = 0; u < units.size(); ++u) {
        const mixed_unit& m = units[u];
        for (std::size_t i = 0; i < p; ++i) {
            for (std::size_t j = 0; j < p; ++j) {
                for (std::size_t k = 0; k < m.m; ++k) {
                    A[u][i * p + j] += m.F[k * p + i] * m.F[k * p + j];
                }
                sumA[i * p + j] += A[u][i * p + j];
            }
        }
    }
    for (std::size_t u = 0; u < units.size(); ++u) {
        const mixed_unit& m = units[u];
        const square D(m.XX.begin(), m.XX.begin() + static_cast<std::ptrdiff_t>(p * p));
        const square& Au = A[u];
        const square AH = product(Au, H, p);
        const square HD = product(H, D, p);
        const square AHD = product(AH, D, p);
        const square AHA = product(AH, Au, p);
        const square AHMHD = product(product(AH, sumA, p), HD, p);
        // X'W e = F'(z - F beta), X'e = X'y - X'X beta.
        std::vector<double> r(m.m, 0.0);
        for (std::size_t k = 0; k < m.m; ++k) {
            r[k] = m.z[k];
            for (std::size_t j = 0; j < p; ++j) {
                r[k] -= m.F[k * p + j] * beta(j, 0);
            }
        }
        for (std::size_t i = 0; i < p; ++i) {
            double xwe = 0.0;
            for (std::size_t k = 0; k < m.m; ++k) {
                xwe += m.F[k * p + i] * r[k];
            }
            for (std::size_t j = 0; j < p; ++j) {
                double xe = m.Xy[j];
                for (std::size_t k = 0; k < p; ++k) {
                    xe -= D[j * p + k] * beta(k, 0);
                }
                s.Q[i * p + j] += xwe * xe;
                s.base[i * p + j] += D[i * p + j] - 2.0 * AHD[i * p + j] + AHMHD[i * p + j];
            }
        }
        for (std::size_t x = 0; x < p; ++x) {
            for (std::size_t a = 0; a < p; ++a) {
                for (std::size_t b = 0; b < p; ++b) {
                    for (std::size_t y = 0; y < p; ++y) {
                        const std::size_t k = at4(p, x, a, b, y);
                        s.AD[k] += Au[x * p + a] * D[b * p + y];
                        s.A_AHD[k] += Au[x * p + a] * AHD[b * p + y];
                        s.AHA_D[k] += AHA[x * p + a] * D[b * p + y];
                        s.AA[k] += Au[x * p + a] * Au[b * p + y];
                        s.outer[k] += AH[x * p + a] * HD[b * p + y];
                    }
                }
            }
        }
    }
    return s;
}

// The p^2 equations B vec(Psi) = rhs solved, the solution symmetrised and its
// negative eigenvalues set to 0; empty when they are singular.
std::optional<Matrix> solved(const column_block& B, const std::vector<double>& rhs, std::size_t p) {
    std::vector<double> solution;
    if (!solve_square(B, rhs, solution)) {
        return std::nullopt;
    }
    Matrix psi = zeros(p, p);
    for (size_type i = 0; i < p; ++i) {
        for (size_type j = 0; j < p; ++j) {
            psi(i, j) = 0.5 * (solution[i * p + j] + solution[j * p + i]);
            if (!std::isfinite(psi(i, j))) {
                return std::nullopt;
            }
        }
    }
    return positive_part(psi);
}

// E[Q] in the categories' own space, for a between-study part `psi` (and the
// within-study S_i when `with_within`): Cov(e_i) from e = y - X H X'W y, then
// X_i' W_i Cov(e_i) X_i summed. The one-stage model's equations, whose studies
// may have fewer categories than coefficients, keep more digits formed so than
// in p x p terms.
Matrix expected_q(const std::vector<category_unit>& units, const std::vector<Matrix>& XtW,
                  const Matrix& H, const Matrix& psi, bool with_within) {
    const size_type p = psi.row_count();
    std::vector<Matrix> sigma;
    Matrix middle = zeros(p, p); // sum X_j' W_j Sigma_j W_j X_j
    for (std::size_t i = 0; i < units.size(); ++i) {
        Matrix s = (units[i].X * psi) * transpose(units[i].X);
        if (with_within) {
            s += units[i].S;
        }
        middle += (XtW[i] * s) * transpose(XtW[i]);
        sigma.push_back(std::move(s));
    }
    Matrix total = zeros(p, p);
    for (std::size_t i = 0; i < units.size(); ++i) {
        const Matrix& s = sigma[i];
        const Matrix XH = units[i].X * H;
        // Products of Sigma_i itself, never its transpose: the map is applied
        // to unsymmetric unit matrices to set up the equations.
        const Matrix ee = s - (s * transpose(XtW[i])) * transpose(XH) - (XH * XtW[i]) * s +
                          (XH * middle) * transpose(XH);
        total += (XtW[i] * ee) * units[i].X;
    }
    return total;
}

} // namespace

std::optional<Matrix> moments_psi(const std::vector<mixed_unit>& units) {
    const size_type p = units.front().p;
    const std::optional<mixed_evaluation> fixed = evaluate_model(units, zeros(p, p), false);
    if (!fixed) {
        return std::nullopt;
    }
    square H(static_cast<std::size_t>(p) * p);
    for (size_type i = 0; i < p; ++i) {
        for (size_type j = 0; j < p; ++j) {
            H[i * p + j] = fixed->cov(i, j);
        }
    }
    const moment_sums s = sums_of(units, H, fixed->beta);
    // Row (x, y) of the equations, column (a, b): E[Q](x, y) for Psi = e_a e_b'.
    const std::size_t n = static_cast<std::size_t>(p) * p;
    column_block B;
    B.reshape(n, n);
    std::vector<double> rhs(n);
    for (std::size_t x = 0; x < p; ++x) {
        for (std::size_t y = 0; y < p; ++y) {
            rhs[x * p + y] = s.Q[x * p + y] - s.base[x * p + y];
            for (std::size_t a = 0; a < p; ++a) {
                for (std::size_t b = 0; b < p; ++b) {
                    // sum_i A H (sum_j A_j E A_j) H D: outer[x y s t] AA[s a b t].
                    double middle = 0.0;
                    for (std::size_t u = 0; u < p; ++u) {
                        for (std::size_t t = 0; t < p; ++t) {
                            middle += s.outer[at4(p, x, u, t, y)] * s.AA[at4(p, u, a, b, t)];
                        }
                    }
                    B(x * p + y, a * p + b) = s.AD[at4(p, x, a, b, y)] -
                                              s.A_AHD[at4(p, x, a, b, y)] -
                                              s.AHA_D[at4(p, x, a, b, y)] + middle;
                }
            }
        }
    }
    return solved(B, rhs, p);
}

std::optional<Matrix> moments_psi(const std::vector<category_unit>& units, const Matrix& beta,
                                  const Matrix& cov) {
    const size_type p = beta.row_count();
    std::vector<Matrix> XtW;
    Matrix Q = zeros(p, p);
    for (const category_unit& u : units) {
        try {
            XtW.push_back(transpose(u.X) * !u.S);
        } catch (const math::matrix_error&) {
            return std::nullopt;
        }
        const Matrix e = u.y - u.X * beta;
        Q += (XtW.back() * e) * transpose(transpose(u.X) * e);
    }
    const Matrix base = expected_q(units, XtW, cov, zeros(p, p), true);
    const std::size_t n = static_cast<std::size_t>(p) * p;
    column_block B;
    B.reshape(n, n);
    for (size_type a = 0; a < p; ++a) {
        for (size_type b = 0; b < p; ++b) {
            Matrix unit = zeros(p, p);
            unit(a, b) = 1.0;
            const Matrix M = expected_q(units, XtW, cov, unit, false);
            for (size_type i = 0; i < p; ++i) {
                for (size_type j = 0; j < p; ++j) {
                    B(i * p + j, a * p + b) = M(i, j);
                }
            }
        }
    }
    std::vector<double> rhs(n);
    for (size_type i = 0; i < p; ++i) {
        for (size_type j = 0; j < p; ++j) {
            rhs[i * p + j] = Q(i, j) - base(i, j);
        }
    }
    return solved(B, rhs, p);
}

} // namespace morvex
