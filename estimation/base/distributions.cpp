#include "estimation/base/distributions.hpp"

#include "estimation/base/elementary.hpp"

#include <cmath>
#include <limits>

namespace morvex {
namespace {

constexpr double epsilon = std::numeric_limits<double>::epsilon();
constexpr int max_terms = 100000;

// log of x^a e^-x / Gamma(a), the factor common to both expansions.
double log_prefactor(double a, double x) {
    return a * elem::log(x) - x - elem::lgamma(a);
}

// Lower tail P(a, x) by its power series; converges fast for x < a + 1.
double gamma_p_series(double a, double x) {
    double term = 1.0 / a;
    double sum = term;
    for (int n = 1; n < max_terms; ++n) {
        term *= x / (a + n);
        sum += term;
        if (std::fabs(term) < std::fabs(sum) * epsilon) {
            break;
        }
    }
    return sum * elem::exp(log_prefactor(a, x));
}

// Upper tail Q(a, x) by its continued fraction, evaluated with the modified
// Lentz method; converges fast for x >= a + 1.
double gamma_q_continued_fraction(double a, double x) {
    constexpr double tiny = std::numeric_limits<double>::min() / epsilon;
    double b = x + 1.0 - a;
    double c = 1.0 / tiny;
    double d = 1.0 / b;
    double h = d;
    for (int i = 1; i < max_terms; ++i) {
        const double an = -i * (i - a);
        b += 2.0;
        d = an * d + b;
        if (std::fabs(d) < tiny) {
            d = tiny;
        }
        c = b + an / c;
        if (std::fabs(c) < tiny) {
            c = tiny;
        }
        d = 1.0 / d;
        const double delta = d * c;
        h *= delta;
        if (std::fabs(delta - 1.0) < epsilon) {
            break;
        }
    }
    return elem::exp(log_prefactor(a, x)) * h;
}

} // namespace

double normal_upper_tail(double z) {
    return 0.5 * elem::erfc(z / std::sqrt(2.0));
}

double normal_two_sided_p(double z) {
    return elem::erfc(std::fabs(z) / std::sqrt(2.0));
}

double gamma_q(double a, double x) {
    if (!(a > 0.0) || !(x >= 0.0) || std::isinf(a)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (x == 0.0) {
        return 1.0;
    }
    if (std::isinf(x)) {
        return 0.0;
    }
    // Each expansion where it converges fast; the other tail by subtraction
    // only where the result is not small, so no digits are lost.
    if (x < a + 1.0) {
        return 1.0 - gamma_p_series(a, x);
    }
    return gamma_q_continued_fraction(a, x);
}

double chi_square_upper_tail(double x, double df) {
    if (x <= 0.0 && df > 0.0) {
        return 1.0;
    }
    return gamma_q(0.5 * df, 0.5 * x);
}

} // namespace morvex
