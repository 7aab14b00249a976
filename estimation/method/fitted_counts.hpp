// Newton-Raphson fit of case counts that reproduce the reported relative risks
// under the reported margins.
#ifndef MORVEX_ESTIMATION_FITTED_COUNTS_HPP
#define MORVEX_ESTIMATION_FITTED_COUNTS_HPP

#include "estimation/method/study.hpp"

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
    double A0 = 0.0; // reference cases that go with A: the total of cases less their sum
    bool converged = false;
    int iterations = 0;
};

// Below this share of a count, a correction is lost in the rounding of the
// count itself, so it cannot shrink further.
constexpr double relative_floor = 1e-13;

// A count's change passes when it and the count are finite, and the change is
// smaller than the tolerance times min(1, count) or at most relative_floor times
// the count, the count being the corrected one. For counts from 1 to 1e8 this is
// the plain absolute tolerance; below 1 it holds a count to the same relative
// precision as a count of 1, and above 1e8 it stops at the precision a double
// can hold.
bool change_passes(double change, double count);

// Whether every correction delta_i passes for its corrected count A_i. An
// iteration passes when these do and the reference count's change passes too.
bool correction_passes(const Matrix& delta, const Matrix& counts);

// What the iteration writes, kept from study to study: after the largest
// study seen, an iteration allocates nothing, and neither does a whole fit once
// the previous fit's counts are no longer held (while they are, the fit takes
// new storage and leaves them as they were).
struct fit_buffers {
    Matrix counts{0, 1}; // the counts being fitted; the result shares them
    Matrix d{0, 1};
    Matrix e{0, 1};
    Matrix C{0, 0};
    Matrix inverse{0, 0};
    Matrix delta{0, 1}; // the correction of the counts
    // log N_i and log N_0 of a study whose totals stay as given (not a
    // case-control study, whose controls change with the cases).
    Matrix log_N{0, 1};
    double log_N0 = 0.0;
    Matrix::scratch inversion;
};

// Throws estimation_error when a count leaves its range, and math::matrix_error
// when the iteration's matrix cannot be inverted.
fitted_counts fit_counts(const study& s, fit_buffers& buffers,
                         int iteration_limit = max_iterations);
fitted_counts fit_counts(const study& s, int iteration_limit = max_iterations);

} // namespace morvex

#endif
