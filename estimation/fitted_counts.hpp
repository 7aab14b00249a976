// Newton-Raphson fit of case counts that reproduce the reported relative risks
// under the reported margins.
#ifndef MORVEX_ESTIMATION_FITTED_COUNTS_HPP
#define MORVEX_ESTIMATION_FITTED_COUNTS_HPP

#include "estimation/study.hpp"

#include <stdexcept>
#include <string>

namespace morvex {

constexpr int max_iterations = 100;
constexpr double tolerance = 1e-05;

// The estimation cannot go on: a count or variance left the range in which the
// formulas are defined. The message says what and where.
class estimation_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct fitted_counts {
    Matrix A;        // fitted cases A_1..A_n, after the last correction
    double A0 = 0.0; // reference cases from the start of the last iteration
    bool converged = false;
    int iterations = 0;
};

// An iteration passes when every correction is finite and smaller than the
// tolerance in absolute value.
bool correction_passes(const Matrix& delta);

// Throws estimation_error when a count leaves its range, and math::matrix_error
// when the iteration's matrix cannot be inverted.
fitted_counts fit_counts(const study& s, int iteration_limit = max_iterations);

} // namespace morvex

#endif
