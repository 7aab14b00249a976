#include "estimation/method/fitted_counts.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"

#include <cmath>

namespace morvex {
namespace {

// Every count that a reciprocal or logarithm is taken of must be finite and
// positive; otherwise the relative risks cannot be reproduced.
// `when` is "in iteration" or "after iteration", followed by `iteration`.
[[noreturn]] void count_out_of_range(double value, int category, const char* what, const char* when,
                                     int iteration) {
    throw estimation_error(format("the fitted counts left their valid range %s %d (category "
                                  "%d has %lg %s): the relative risks cannot be reproduced "
                                  "with these counts and totals",
                                  when, iteration, category, value, what));
}

// The test inline, the message only on failure.
inline void check_count(double value, int category, const char* what, const char* when,
                        int iteration) {
    if (!std::isfinite(value) || !(value > 0.0)) {
        count_out_of_range(value, category, what, when, iteration);
    }
}

// During the iteration a reciprocal or logarithm is taken of the cases and, in
// a case-control study, of the controls. A fitted count must also leave room
// for non-cases in a cohort study, where the totals are persons: more cases
// than persons is no fit, and its variances are meaningless.
void check_counts(const study& s, double A0, const Matrix& A, bool complements, const char* when,
                  int iteration) {
    const char* complement = s.is_case_control() ? "controls" : "non-cases";
    check_count(A0, 0, "cases", when, iteration);
    if (complements) {
        check_count(s.N0 - A0, 0, complement, when, iteration);
    }
    for (Matrix::size_type i = 0; i < A.row_count(); ++i) {
        const int category = static_cast<int>(i) + 1;
        check_count(A(i, 0), category, "cases", when, iteration);
        if (complements) {
            check_count(s.N(i, 0) - A(i, 0), category, complement, when, iteration);
        }
    }
}

// The reference category holds what the exposed ones leave of the total of cases.
double reference_cases(const study& s, const Matrix& A) {
    double sum = 0.0;
    for (Matrix::size_type i = 0; i < A.row_count(); ++i) {
        sum += A(i, 0);
    }
    return s.M1 - sum;
}

} // namespace

bool change_passes(double change, double count) {
    const double step = std::fabs(change);
    // count is finite where the minimum is taken, so a comparison gives fmin's value.
    return std::isfinite(step) && std::isfinite(count) &&
           (step < tolerance * (count < 1.0 ? count : 1.0) || step <= relative_floor * count);
}

bool correction_passes(const Matrix& delta, const Matrix& counts) {
    for (Matrix::size_type i = 0; i < delta.row_count(); ++i) {
        if (!change_passes(delta(i, 0), counts(i, 0))) {
            return false;
        }
    }
    return true;
}

namespace {

// The correction's equations at the current counts: C delta = e.
void newton_system(const study& s, const Matrix& A, double A0, fit_buffers& b) {
    const Matrix::size_type n = A.row_count();
    const Matrix& N = s.N;
    const Matrix& L = s.L;
    const double B0 = s.N0 - A0;
    const double c0 = s.is_case_control() ? 1 / A0 + 1 / B0 : 1 / A0;
    // The logarithms that do not change with the category, taken once a step
    // (the totals' once a fit).
    const double log_A0 = elem::log(A0);
    const double log_rest = s.is_case_control() ? elem::log(B0) : b.log_N0;
    for (Matrix::size_type i = 0; i < n; ++i) {
        const double Ai = A(i, 0);
        if (s.is_case_control()) {
            const double Bi = N(i, 0) - Ai;
            b.d(i, 0) = 1 / Ai + 1 / Bi;
            b.e(i, 0) = L(i, 0) + log_A0 + elem::log(Bi) - elem::log(Ai) - log_rest;
        } else {
            b.d(i, 0) = 1 / Ai;
            b.e(i, 0) = L(i, 0) + log_A0 + b.log_N(i, 0) - elem::log(Ai) - log_rest;
        }
    }
    for (Matrix::size_type j = 0; j < n; ++j) {
        for (Matrix::size_type k = 0; k < n; ++k) {
            b.C(j, k) = c0;
        }
    }
    for (Matrix::size_type k = 0; k < n; ++k) {
        b.C(k, k) = c0 + b.d(k, 0);
    }
}

} // namespace

fitted_counts fit_counts(const study& s, fit_buffers& buffers, int iteration_limit) {
    const Matrix::size_type n = s.A.row_count();
    // The counts are corrected in the buffers' storage, which the result then
    // shares: once the previous result is gone, the next fit reuses it.
    Matrix& A = buffers.counts;
    A.reshape(n, 1);
    for (Matrix::size_type i = 0; i < n; ++i) {
        A(i, 0) = s.A(i, 0);
    }
    fitted_counts fit{Matrix(0, 1), reference_cases(s, A), false, 0};
    buffers.d.reshape(n, 1);
    buffers.e.reshape(n, 1);
    buffers.C.reshape(n, n);
    buffers.log_N.reshape(n, 1);
    if (!s.is_case_control()) {
        for (Matrix::size_type i = 0; i < n; ++i) {
            buffers.log_N(i, 0) = elem::log(s.N(i, 0));
        }
        buffers.log_N0 = elem::log(s.N0);
    }

    while (fit.iterations < iteration_limit && !fit.converged) {
        const double A0 = fit.A0;
        check_counts(s, A0, A, s.is_case_control(), "in iteration", fit.iterations + 1);
        newton_system(s, A, A0, buffers);
        invert_into(buffers.C, buffers.inverse, buffers.inversion);
        multiply_into(buffers.inverse, buffers.e, buffers.delta);
        A += buffers.delta;
        // The reference cell moves with the others through the fixed total of cases; when
        // it is small, its share of the correction can be far larger than theirs.
        fit.A0 = reference_cases(s, A);
        fit.converged = correction_passes(buffers.delta, A) && change_passes(fit.A0 - A0, fit.A0);
        ++fit.iterations;
    }
    // Person-time has no complement: a rate study's cases may exceed its total.
    check_counts(s, fit.A0, A, s.design != study_design::incidence_rate, "after iteration",
                 fit.iterations);
    fit.A = A;
    return fit;
}

fitted_counts fit_counts(const study& s, int iteration_limit) {
    fit_buffers buffers;
    return fit_counts(s, buffers, iteration_limit);
}

} // namespace morvex
