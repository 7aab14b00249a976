#include "estimation/pooling/mixed_model.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/pooling/symmetric_eigen.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace morvex {

namespace {

constexpr std::size_t unit_chunk = 128;
constexpr std::size_t q = most_coefficients;

using matrix6 = double[q][q];

// In place: the lower triangle of a (n x n) becomes C with C C' = a; false when
// a is not positive definite.
bool factor(matrix6& a, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) {
        double d = a[j][j];
        for (std::size_t k = 0; k < j; ++k) {
            d -= a[j][k] * a[j][k];
        }
        if (!(d > 0.0) || !std::isfinite(d)) {
            return false;
        }
        a[j][j] = std::sqrt(d);
        for (std::size_t i = j + 1; i < n; ++i) {
            double s = a[i][j];
            for (std::size_t k = 0; k < j; ++k) {
                s -= a[i][k] * a[j][k];
            }
            a[i][j] = s / a[j][j];
        }
    }
    return true;
}

double log_det_of_factor(const matrix6& C, std::size_t n) {
    double product = 1.0;
    double sum = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        product *= C[k][k];
        if (product > 1e150 || product < 1e-150) {
            sum += elem::log(product);
            product = 1.0;
        }
    }
    return 2.0 * (sum + elem::log(product));
}

// First pass over one unit: P and w into its place, its terms into s.
void first_pass(const mixed_unit& u, const small_matrix& L, bool zero, double* P, double* w,
                mixed_workspace::chunk_sums& s) {
    const std::size_t p = u.p;
    const std::size_t m = u.m;
    s.log_dets += u.log_det_S;
    s.within += u.residual;
    s.outcomes += static_cast<int>(u.outcomes);
    for (std::size_t k = 0; k < p * p; ++k) {
        s.XX[k] += u.XX[k];
    }
    if (zero) {
        std::copy(u.F.begin(), u.F.begin() + static_cast<std::ptrdiff_t>(m * p), P);
        std::copy(u.z.begin(), u.z.begin() + static_cast<std::ptrdiff_t>(m), w);
    } else {
        matrix6 K;
        for (std::size_t i = 0; i < m; ++i) {
            for (std::size_t j = 0; j < p; ++j) {
                double t = 0.0;
                for (std::size_t k = 0; k < p; ++k) {
                    t += u.F[i * p + k] * L[k * p + j];
                }
                K[i][j] = t;
            }
        }
        matrix6 M;
        for (std::size_t i = 0; i < m; ++i) {
            for (std::size_t j = 0; j <= i; ++j) {
                double t = i == j ? 1.0 : 0.0;
                for (std::size_t k = 0; k < p; ++k) {
                    t += K[i][k] * K[j][k];
                }
                M[i][j] = t;
            }
        }
        if (!factor(M, m)) {
            s.ok = false;
            return;
        }
        s.log_dets += log_det_of_factor(M, m);
        for (std::size_t i = 0; i < m; ++i) {
            for (std::size_t j = 0; j < p; ++j) {
                double t = u.F[i * p + j];
                for (std::size_t k = 0; k < i; ++k) {
                    t -= M[i][k] * P[k * p + j];
                }
                P[i * p + j] = t / M[i][i];
            }
            double t = u.z[i];
            for (std::size_t k = 0; k < i; ++k) {
                t -= M[i][k] * w[k];
            }
            w[i] = t / M[i][i];
        }
    }
    for (std::size_t a = 0; a < p; ++a) {
        for (std::size_t b = 0; b < p; ++b) {
            double t = 0.0;
            for (std::size_t i = 0; i < m; ++i) {
                t += P[i * p + a] * P[i * p + b];
            }
            s.A[a * p + b] += t;
        }
        double t = 0.0;
        for (std::size_t i = 0; i < m; ++i) {
            t += P[i * p + a] * w[i];
        }
        s.c[a] += t;
    }
}

// Adds the unit's share of the curvature's sums (see curvature()).
void add_curvature(std::size_t p, const matrix6& B, const matrix6& C, const double* g,
                   mixed_workspace::chunk_sums& s) {
    const std::size_t p2 = p * p;
    for (std::size_t x = 0; x < p; ++x) {
        for (std::size_t y = 0; y < p; ++y) {
            const std::size_t xy = (x * p + y) * p2;
            for (std::size_t z = 0; z < p; ++z) {
                for (std::size_t v = 0; v < p; ++v) {
                    s.T1[xy + z * p + v] += B[x][y] * B[z][v];
                    s.T2[xy + z * p + v] += B[x][y] * C[z][v];
                    s.T3[xy + z * p + v] += g[x] * B[y][z] * g[v];
                }
                s.Z[(x * p + y) * p + z] += B[x][y] * g[z];
            }
        }
    }
}

// Second pass over one unit, beta and H = (sum P'P)^-1 known.
void second_pass(const mixed_unit& u, const double* P, const double* w, const double* beta,
                 const matrix6& H, const model_request& request, mixed_workspace::chunk_sums& s) {
    const std::size_t p = u.p;
    const std::size_t m = u.m;
    double rho[q];
    for (std::size_t i = 0; i < m; ++i) {
        double t = w[i];
        for (std::size_t j = 0; j < p; ++j) {
            t -= P[i * p + j] * beta[j];
        }
        rho[i] = t;
        s.residual += t * t;
    }
    if (!request.gradient && request.directions == nullptr) {
        return;
    }
    double g[q];
    matrix6 B;
    for (std::size_t a = 0; a < p; ++a) {
        double t = 0.0;
        for (std::size_t i = 0; i < m; ++i) {
            t += P[i * p + a] * rho[i];
        }
        g[a] = t;
        for (std::size_t b = 0; b < p; ++b) {
            double v = 0.0;
            for (std::size_t i = 0; i < m; ++i) {
                v += P[i * p + a] * P[i * p + b];
            }
            B[a][b] = v;
        }
    }
    matrix6 BH;
    matrix6 C;
    for (std::size_t a = 0; a < p; ++a) {
        for (std::size_t b = 0; b < p; ++b) {
            double t = 0.0;
            for (std::size_t k = 0; k < p; ++k) {
                t += B[a][k] * H[k][b];
            }
            BH[a][b] = t;
        }
    }
    for (std::size_t a = 0; a < p; ++a) {
        for (std::size_t b = 0; b < p; ++b) {
            double t = 0.0;
            for (std::size_t k = 0; k < p; ++k) {
                t += BH[a][k] * B[k][b];
            }
            C[a][b] = t;
            s.G[a * p + b] += g[a] * g[b] - B[a][b] + t;
        }
    }
    if (request.directions != nullptr) {
        add_curvature(p, B, C, g, s);
    }
}

// tr(X D) of two p x p matrices, D symmetric.
double trace_product(const double* X, const small_matrix& D, std::size_t p) {
    double t = 0.0;
    for (std::size_t k = 0; k < p * p; ++k) {
        t += X[k] * D[k];
    }
    return t;
}

// The second derivative of the restricted log-likelihood along the directions
// D_a, D_b: 1/2 tr(P Sa P Sb) - y'P Sa P Sb P y with Sa = blockdiag(X_i D_a X_i'),
// in the units' terms B_i = X_i'W_i X_i, C_i = B_i H B_i and g_i = X_i'W_i r_i:
// 1/2 [sum tr(B D_a B D_b) - sum tr(B D_a C D_b) - sum tr(B D_b C D_a)
//      + tr(H Y_a H Y_b)] - [sum g'D_a B D_b g - Z_a' H Z_b],
// Y_a = sum B D_a B, Z_a = sum B D_a g.
void curvature(const mixed_workspace::chunk_sums& s, const matrix6& H, std::size_t p,
               const std::vector<small_matrix>& D, std::vector<double>& out,
               std::vector<double>& scratch) {
    const std::size_t k = D.size();
    const std::size_t p2 = p * p;
    // Per direction: Y1 (p2), Y2 (p2), Y4 (p2), Z (p), H Y1 H... kept as Y1.
    scratch.assign(k * (3 * p2 + p), 0.0);
    for (std::size_t a = 0; a < k; ++a) {
        double* Y1 = &scratch[a * (3 * p2 + p)];
        double* Y2 = Y1 + p2;
        double* Y4 = Y2 + p2;
        double* Z = Y4 + p2;
        for (std::size_t x = 0; x < p; ++x) {
            for (std::size_t y = 0; y < p; ++y) {
                const double d = D[a][x * p + y];
                for (std::size_t z = 0; z < p; ++z) {
                    for (std::size_t v = 0; v < p; ++v) {
                        // Y1(z, v) = sum B(z, x) D(x, y) B(y, v): T1[z][x][y][v].
                        Y1[z * p + v] += s.T1[(z * p + x) * p2 + y * p + v] * d;
                        Y2[z * p + v] += s.T2[(z * p + x) * p2 + y * p + v] * d;
                        // Y4(z, v) = sum (g' D B)(z) g(v): T3[x][y][z][v].
                        Y4[z * p + v] += s.T3[(x * p + y) * p2 + z * p + v] * d;
                    }
                    Z[z] += s.Z[(z * p + x) * p + y] * d;
                }
            }
        }
    }
    out.assign(k * k, 0.0);
    for (std::size_t a = 0; a < k; ++a) {
        const double* Ya = &scratch[a * (3 * p2 + p)];
        for (std::size_t b = 0; b <= a; ++b) {
            const double* Yb = &scratch[b * (3 * p2 + p)];
            double hyhy = 0.0; // tr(H Ya H Yb)
            for (std::size_t i = 0; i < p; ++i) {
                for (std::size_t j = 0; j < p; ++j) {
                    double left = 0.0;  // (H Ya)(i, j)
                    double right = 0.0; // (H Yb)(j, i)
                    for (std::size_t t = 0; t < p; ++t) {
                        left += H[i][t] * Ya[t * p + j];
                        right += H[j][t] * Yb[t * p + i];
                    }
                    hyhy += left * right;
                }
            }
            double zhz = 0.0;
            for (std::size_t i = 0; i < p; ++i) {
                for (std::size_t j = 0; j < p; ++j) {
                    zhz += Ya[3 * p2 + i] * H[i][j] * Yb[3 * p2 + j];
                }
            }
            const double value =
                0.5 * (trace_product(Ya, D[b], p) - trace_product(Ya + p2, D[b], p) -
                       trace_product(Yb + p2, D[a], p) + hyhy) -
                (trace_product(Ya + 2 * p2, D[b], p) - zhz);
            out[a * k + b] = value;
            out[b * k + a] = value;
        }
    }
}

void add_into(mixed_workspace::chunk_sums& total, const mixed_workspace::chunk_sums& s,
              bool second) {
    const auto add = [](auto& to, const auto& from) {
        for (std::size_t k = 0; k < to.size() && k < from.size(); ++k) {
            to[k] += from[k];
        }
    };
    if (!second) {
        total.ok = total.ok && s.ok;
        add(total.A, s.A);
        add(total.XX, s.XX);
        add(total.c, s.c);
        total.log_dets += s.log_dets;
        total.within += s.within;
        total.outcomes += s.outcomes;
        return;
    }
    total.residual += s.residual;
    add(total.G, s.G);
    add(total.T1, s.T1);
    add(total.T2, s.T2);
    add(total.T3, s.T3);
    add(total.Z, s.Z);
}

void clear(mixed_workspace::chunk_sums& s, std::size_t p, bool curvature) {
    s.ok = true;
    s.A.fill(0.0);
    s.XX.fill(0.0);
    s.c.fill(0.0);
    s.log_dets = 0.0;
    s.within = 0.0;
    s.outcomes = 0;
    s.residual = 0.0;
    s.G.fill(0.0);
    const std::size_t p4 = curvature ? p * p * p * p : 0;
    s.T1.assign(p4, 0.0);
    s.T2.assign(p4, 0.0);
    s.T3.assign(p4, 0.0);
    s.Z.assign(curvature ? p * p * p : 0, 0.0);
}

// a (p x p, row-major) into m, and its factor into m when asked; false when not positive definite.
bool factor_of(const small_matrix& a, std::size_t p, matrix6& m) {
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j < p; ++j) {
            m[i][j] = a[i * p + j];
        }
    }
    return factor(m, p);
}

// The inverse of the matrix whose factor C holds.
void inverse_of_factor(const matrix6& C, std::size_t p, matrix6& inverse) {
    matrix6 Ci = {};
    for (std::size_t j = 0; j < p; ++j) {
        Ci[j][j] = 1.0 / C[j][j];
        for (std::size_t i = j + 1; i < p; ++i) {
            double s = 0.0;
            for (std::size_t k = j; k < i; ++k) {
                s -= C[i][k] * Ci[k][j];
            }
            Ci[i][j] = s / C[i][i];
        }
    }
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            double s = 0.0;
            for (std::size_t k = i; k < p; ++k) {
                s += Ci[k][i] * Ci[k][j];
            }
            inverse[i][j] = s;
            inverse[j][i] = s;
        }
    }
}

} // namespace

mixed_workspace::mixed_workspace(unsigned threads)
    : threads(threads > 1 ? std::make_unique<unit_threads>(threads) : nullptr) {}

mixed_unit two_stage_unit(const coefficient_fit& f) {
    mixed_unit u = f.reduced;
    const std::size_t p = u.p;
    u.outcomes = p;
    u.residual = 0.0;
    u.log_det_S = -u.log_det_information; // log |V|
    u.XX.fill(0.0);
    for (std::size_t j = 0; j < p; ++j) {
        u.XX[j * p + j] = 1.0;
        u.Xy[j] = f.b(j, 0);
    }
    return u;
}

int outcome_count(const std::vector<mixed_unit>& units) {
    return std::accumulate(units.begin(), units.end(), 0, [](int n, const mixed_unit& u) {
        return n + static_cast<int>(u.outcomes);
    });
}

bool evaluate_model(const std::vector<mixed_unit>& units, const small_matrix& L,
                    const model_request& request, mixed_workspace& ws, mixed_evaluation& e) {
    if (units.empty()) {
        return false;
    }
    const std::size_t p = units.front().p;
    const std::size_t n_units = units.size();
    const std::size_t n_chunks = (n_units + unit_chunk - 1) / unit_chunk;
    const bool curved = request.directions != nullptr;
    if (ws.P.size() < n_units * q * q) {
        ws.P.resize(n_units * q * q);
        ws.w.resize(n_units * q);
    }
    if (ws.chunks.size() < n_chunks + 1) {
        ws.chunks.resize(n_chunks + 1);
    }
    const bool zero = std::all_of(L.begin(), L.end(), [](double v) { return v == 0.0; });
    const auto run = [&ws, n_chunks](const std::function<void(std::size_t)>& job) {
        if (ws.threads) {
            ws.threads->run(n_chunks, job);
        } else {
            for (std::size_t c = 0; c < n_chunks; ++c) {
                job(c);
            }
        }
    };
    run([&](std::size_t c) {
        mixed_workspace::chunk_sums& s = ws.chunks[c];
        clear(s, p, curved);
        for (std::size_t i = c * unit_chunk; i < std::min(n_units, (c + 1) * unit_chunk); ++i) {
            first_pass(units[i], L, zero, &ws.P[i * q * q], &ws.w[i * q], s);
        }
    });
    mixed_workspace::chunk_sums& total = ws.chunks[n_chunks];
    clear(total, p, curved);
    for (std::size_t c = 0; c < n_chunks; ++c) {
        add_into(total, ws.chunks[c], false);
    }
    matrix6 A;
    matrix6 XX;
    if (!total.ok || !factor_of(total.A, p, A) || !factor_of(total.XX, p, XX)) {
        return false;
    }
    matrix6 H;
    inverse_of_factor(A, p, H);
    double beta[q] = {};
    e.beta.reshape(p, 1);
    e.cov.reshape(p, p);
    for (std::size_t i = 0; i < p; ++i) {
        double s = 0.0;
        for (std::size_t j = 0; j < p; ++j) {
            s += H[i][j] * total.c[j];
            e.cov(i, j) = H[i][j];
        }
        beta[i] = s;
        e.beta(i, 0) = s;
    }
    run([&](std::size_t c) {
        mixed_workspace::chunk_sums& s = ws.chunks[c];
        for (std::size_t i = c * unit_chunk; i < std::min(n_units, (c + 1) * unit_chunk); ++i) {
            second_pass(units[i], &ws.P[i * q * q], &ws.w[i * q], beta, H, request, s);
        }
    });
    for (std::size_t c = 0; c < n_chunks; ++c) {
        add_into(total, ws.chunks[c], true);
    }
    e.residual = total.within + total.residual;
    if (request.gradient) {
        e.gradient.reshape(p, p);
        for (std::size_t i = 0; i < p; ++i) {
            for (std::size_t j = 0; j < p; ++j) {
                e.gradient(i, j) = 0.5 * total.G[i * p + j];
            }
        }
    }
    if (curved) {
        curvature(total, H, p, *request.directions, e.curvature, ws.scratch);
    }
    const double n = total.outcomes;
    const double two_pi = 2.0 * elem::pi;
    e.loglik = -0.5 * ((n - static_cast<double>(p)) * elem::log(two_pi) - log_det_of_factor(XX, p) +
                       total.log_dets + log_det_of_factor(A, p) + e.residual);
    return std::isfinite(e.loglik);
}

std::optional<mixed_evaluation> evaluate_model(const std::vector<mixed_unit>& units,
                                               const Matrix& psi, bool with_gradient) {
    const std::size_t p = psi.row_count();
    small_matrix L{};
    const eigen_decomposition d = symmetric_eigen(psi);
    for (std::size_t k = 0; k < p; ++k) {
        const double root = d.values[k] > 0.0 ? std::sqrt(d.values[k]) : 0.0;
        for (std::size_t i = 0; i < p; ++i) {
            L[i * p + k] = d.vectors(i, k) * root;
        }
    }
    mixed_workspace ws;
    mixed_evaluation e;
    model_request request;
    request.gradient = with_gradient;
    if (!evaluate_model(units, L, request, ws, e)) {
        return std::nullopt;
    }
    return e;
}

std::optional<Matrix> cholesky(const Matrix& A) {
    const std::size_t n = A.row_count();
    matrix6 C;
    small_matrix a{};
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            a[i * n + j] = A(i, j);
        }
    }
    if (n > q || !factor_of(a, n, C)) {
        return std::nullopt;
    }
    Matrix out = zeros(n, n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            out(i, j) = C[i][j];
        }
    }
    return out;
}

} // namespace morvex
