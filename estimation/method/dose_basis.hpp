// The dose functions of a trend with p coefficients: linear, quadratic or a
// restricted cubic spline, with the spline's knots placed once per analysis.
#ifndef MORVEX_ESTIMATION_METHOD_DOSE_BASIS_HPP
#define MORVEX_ESTIMATION_METHOD_DOSE_BASIS_HPP

#include "estimation/method/study.hpp"

#include <string>
#include <vector>

namespace morvex {

enum class trend_shape { linear, quadratic, spline };

const char* shape_name(trend_shape shape);

struct dose_basis {
    trend_shape shape = trend_shape::linear;
    std::vector<double> knots; // spline only: increasing, 3 to 7 of them

    // p: 1, 2, or the number of knots less one.
    int coefficients() const;
    // f(x): x; (x, x^2); or x and the K - 2 spline terms.
    std::vector<double> at(double x) const;
    // "dose", then "dose^2" or the spline terms "spline1", "spline2", ...
    std::vector<std::string> names() const;
    // f(x) - f(reference), the row of a centred design.
    std::vector<double> contrast(double x, double reference) const;
};

constexpr int min_knots = 3;
constexpr int max_knots = 7;

// The type-7 quantile of `sorted` (ascending, not empty) at probability q in [0, 1].
double quantile(const std::vector<double>& sorted, double q);

// The usual percentiles of K knots, in percent (K from 3 to 7).
const std::vector<double>& knot_percentiles(int K);

// K knots at the usual percentiles of the doses (any order; K from 3 to 7).
std::vector<double> knots_at_percentiles(std::vector<double> doses, int K);

// Why these knots cannot make a spline (fewer than 3, more than 7, not
// strictly increasing, not finite); empty when they can.
std::string knot_problem(const std::vector<double>& knots);

// The centred design of a study, one row per exposed category: f(x_i) - f(x_0)
// with the doses as published (`dose`, `x0`); the linear trend takes the
// relative doses `x` themselves, as its slope does.
Matrix design_matrix(const dose_basis& basis, double x0, const Matrix& dose, const Matrix& x);

} // namespace morvex

#endif
