#include "estimation/method/dose_basis.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace morvex {
namespace {

double cube_plus(double u) {
    return u > 0.0 ? u * u * u : 0.0;
}

} // namespace

const std::vector<double>& knot_percentiles(int K) {
    static const std::vector<std::vector<double>> table = {
        {10, 50, 90},
        {5, 35, 65, 95},
        {5, 27.5, 50, 72.5, 95},
        {5, 23, 41, 59, 77, 95},
        {2.5, 18.33, 34.17, 50, 65.83, 81.67, 97.5}};
    return table[static_cast<std::size_t>(K - min_knots)];
}

const char* shape_name(trend_shape shape) {
    switch (shape) {
    case trend_shape::quadratic:
        return "quadratic";
    case trend_shape::spline:
        return "spline";
    case trend_shape::linear:
        break;
    }
    return "linear";
}

int dose_basis::coefficients() const {
    switch (shape) {
    case trend_shape::quadratic:
        return 2;
    case trend_shape::spline:
        return static_cast<int>(knots.size()) - 1;
    case trend_shape::linear:
        break;
    }
    return 1;
}

std::vector<double> dose_basis::at(double x) const {
    std::vector<double> f{x};
    if (shape == trend_shape::quadratic) {
        f.push_back(x * x);
    } else if (shape == trend_shape::spline) {
        // Restricted cubic spline terms, linear beyond the outer knots, divided
        // by the squared knot range so that they have the dose's own scale.
        const std::size_t K = knots.size();
        const double last = knots[K - 1];
        const double before_last = knots[K - 2];
        const double span = last - before_last;
        const double range = last - knots[0];
        for (std::size_t h = 0; h + 2 < K; ++h) {
            const double t = knots[h];
            const double term = cube_plus(x - t) - cube_plus(x - before_last) * (last - t) / span +
                                cube_plus(x - last) * (before_last - t) / span;
            f.push_back(term / (range * range));
        }
    }
    return f;
}

std::vector<std::string> dose_basis::names() const {
    std::vector<std::string> list{"dose"};
    if (shape == trend_shape::quadratic) {
        list.emplace_back("dose^2");
    }
    for (int h = 1; shape == trend_shape::spline && h < coefficients(); ++h) {
        list.push_back("spline" + std::to_string(h));
    }
    return list;
}

std::vector<double> dose_basis::contrast(double x, double reference) const {
    std::vector<double> f = at(x);
    const std::vector<double> f0 = at(reference);
    for (std::size_t j = 0; j < f.size(); ++j) {
        f[j] -= f0[j];
    }
    return f;
}

double quantile(const std::vector<double>& sorted, double q) {
    const double h = static_cast<double>(sorted.size() - 1) * q;
    const auto l = static_cast<std::size_t>(std::floor(h));
    if (l + 1 >= sorted.size()) {
        return sorted.back();
    }
    return sorted[l] + (h - static_cast<double>(l)) * (sorted[l + 1] - sorted[l]);
}

std::vector<double> knots_at_percentiles(std::vector<double> doses, int K) {
    std::sort(doses.begin(), doses.end());
    const std::vector<double>& percents = knot_percentiles(K);
    std::vector<double> knots(percents.size());
    std::transform(percents.begin(), percents.end(), knots.begin(),
                   [&doses](double percent) { return quantile(doses, percent / 100.0); });
    return knots;
}

std::string knot_problem(const std::vector<double>& knots) {
    if (knots.size() < static_cast<std::size_t>(min_knots) ||
        knots.size() > static_cast<std::size_t>(max_knots)) {
        return "a spline needs from 3 to 7 knots, got " + std::to_string(knots.size()) +
               (knots.size() == 1 ? " knot" : " knots");
    }
    for (std::size_t k = 0; k < knots.size(); ++k) {
        if (!std::isfinite(knots[k])) {
            return "knot " + std::to_string(k + 1) + " is not a finite number";
        }
        if (k > 0 && !(knots[k] > knots[k - 1])) {
            return "the knots must increase strictly, but knot " + std::to_string(k + 1) +
                   " is not above knot " + std::to_string(k);
        }
    }
    return {};
}

Matrix design_matrix(const dose_basis& basis, double x0, const Matrix& dose, const Matrix& x) {
    const Matrix::size_type n = x.row_count();
    const auto p = static_cast<Matrix::size_type>(basis.coefficients());
    Matrix X(n, p);
    for (Matrix::size_type i = 0; i < n; ++i) {
        if (basis.shape == trend_shape::linear) {
            X(i, 0) = x(i, 0); // the very doses of the slope, so p = 1 is the slope to the bit
            continue;
        }
        const std::vector<double> row = basis.contrast(dose(i, 0), x0);
        for (Matrix::size_type j = 0; j < p; ++j) {
            X(i, j) = row[j];
        }
    }
    return X;
}

} // namespace morvex
