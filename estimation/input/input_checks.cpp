#include "estimation/input/input_checks.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

namespace morvex {
namespace {

notice all_doses_zero_notice(const value_line_of& line_of) {
    return {line_of(study_value::dose, 1),
            "all doses are 0, so the slope per unit of dose is undefined and a matrix of the "
            "estimation is singular; give each category its dose"};
}

// A log relative risk against the reference has variance at least 1/a_i + 1/a_0
// from its cases alone, whatever the design (case-control adds the controls',
// a cohort takes off 1/N terms that are small unless the risk is high, and
// adjustment seldom narrows much). Limits that give an SE under half of that
// floor are a slip far more often than a result: they usually belong to
// another row or another scale, and they hand the study most of the weight.
// Counts below 1 are no counts of persons (rescaled tables), so no floor.
constexpr double narrowest_se_share = 0.5;

void add_narrow_limits(const study& s, const value_line_of& line_of, std::vector<notice>& found) {
    if (!(s.A0 >= 1.0)) {
        return;
    }
    for (int category = 1; category <= s.n; ++category) {
        const auto i = static_cast<Matrix::size_type>(category - 1);
        const double a = s.A(i, 0);
        const double se = std::sqrt(s.v(i, 0));
        if (!(a >= 1.0) || !(se > 0.0)) {
            continue; // no counts, or the equal limits noticed above
        }
        const double floor = std::sqrt(1.0 / a + 1.0 / s.A0);
        if (se < narrowest_se_share * floor) {
            found.push_back(
                {line_of(study_value::lower_limit, category),
                 format("the limits of category %d (%g to %g) give its log relative risk an "
                        "SE of %.2g, less than half the %.2g that its %g cases and the "
                        "reference's %g allow (sqrt(1/a + 1/a0)); it is used as given, and "
                        "weighs far more than its counts warrant; check the limits",
                        category, elem::exp(s.lo(i, 0)), elem::exp(s.hi(i, 0)), se, floor, a,
                        s.A0)});
        }
    }
}

bool same(double a, double b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

// A category given twice (a row copied): every value equal to an earlier one's.
void add_repeated_categories(const study& s, const value_line_of& line_of,
                             std::vector<notice>& found) {
    for (int k = 2; k <= s.n; ++k) {
        const auto i = static_cast<Matrix::size_type>(k - 1);
        for (int j = 1; j < k; ++j) {
            const auto h = static_cast<Matrix::size_type>(j - 1);
            bool equal = true;
            for (const Matrix* m : {&s.x, &s.A, &s.N, &s.L, &s.lo, &s.hi}) {
                equal = equal && same((*m)(i, 0), (*m)(h, 0));
            }
            if (!equal) {
                continue;
            }
            const int first = line_of(study_value::dose, j);
            const int line = line_of(study_value::dose, k);
            found.push_back(
                {line, format("category %d repeats category %d%s: the same dose, cases, total, "
                              "relative risk and limits; a category given twice counts its "
                              "evidence twice and understates the slope's SE; remove the copy",
                              k, j, first != line ? format(" (line %d)", first).c_str() : "")});
            break;
        }
    }
}

} // namespace

std::vector<notice> check_values(const study& s, const value_line_of& line_of) {
    std::vector<notice> found;
    bool all_doses_zero = s.n > 0;
    for (int category = 1; category <= s.n; ++category) {
        const auto i = static_cast<Matrix::size_type>(category - 1);
        // The study holds logarithms; exp() gives back the value as read to
        // the digits that %g shows. Only a notice needs it: most categories
        // have none, and three exponentials each would cost more than the check.
        const auto rr = [&] { return elem::exp(s.L(i, 0)); };
        const auto lower = [&] { return elem::exp(s.lo(i, 0)); };
        const auto upper = [&] { return elem::exp(s.hi(i, 0)); };
        all_doses_zero = all_doses_zero && s.x(i, 0) == 0.0;
        if (s.lo(i, 0) == s.hi(i, 0)) {
            found.push_back({line_of(study_value::lower_limit, category),
                             format("lower and upper limits of category %d are equal (%g): its "
                                    "variance is 0, so a matrix of the estimation is singular; "
                                    "give its 95%% limits (limits of 1 and 1 often mean that the "
                                    "reference category stands in this row)",
                                    category, lower())});
        } else if (s.lo(i, 0) > s.hi(i, 0)) {
            found.push_back({line_of(study_value::lower_limit, category),
                             format("lower limit of category %d (%g) is above its upper limit "
                                    "(%g); they are used as given; check that the lower and "
                                    "upper limits are not swapped",
                                    category, lower(), upper())});
        }
        if (s.L(i, 0) < std::fmin(s.lo(i, 0), s.hi(i, 0)) ||
            s.L(i, 0) > std::fmax(s.lo(i, 0), s.hi(i, 0))) {
            found.push_back({line_of(study_value::relative_risk, category),
                             format("relative risk of category %d (%g) lies outside its limits "
                                    "%g to %g; it is used as given; check that the relative "
                                    "risks and limits are in the right order",
                                    category, rr(), lower(), upper())});
        }
    }
    add_narrow_limits(s, line_of, found);
    add_repeated_categories(s, line_of, found);
    if (all_doses_zero) {
        found.push_back(all_doses_zero_notice(line_of));
    }
    return found;
}

std::vector<notice> check_means(const study& s, const value_line_of& line_of) {
    const auto categories = static_cast<std::size_t>(s.n) + 1;
    const auto dose = [&s](std::size_t c) { return c == 0 ? s.x0 : s.dose(c - 1, 0); };
    const auto size = [&s](std::size_t c) { return c == 0 ? s.N0 : s.N(c - 1, 0); };
    std::vector<std::size_t> by_dose(categories);
    std::iota(by_dose.begin(), by_dose.end(), std::size_t{0});
    std::stable_sort(by_dose.begin(), by_dose.end(),
                     [&](std::size_t a, std::size_t b) { return dose(a) < dose(b); });
    std::vector<notice> found;
    for (std::size_t at = 0; at < categories; ++at) {
        const std::size_t c = by_dose[at];
        std::string neighbours;
        bool larger = true;
        for (const std::size_t next : {at - 1, at + 1}) {
            if (next < categories) { // at - 1 wraps past the first
                const double other = size(by_dose[next]);
                larger = larger && size(c) > 10 * other;
                neighbours += (neighbours.empty() ? "" : " and ") + format("%g", other);
            }
        }
        if (larger) {
            found.push_back({line_of(study_value::size, static_cast<int>(c)),
                             format("category %zu has n = %g, more than ten times the n of its "
                                    "neighbours by dose (%s); it is used as given; check for a "
                                    "digit too many, or the study's total in one group's row",
                                    c, size(c), neighbours.c_str())});
        }
    }
    bool all_doses_zero = s.n > 0;
    for (int i = 0; i < s.n; ++i) {
        all_doses_zero = all_doses_zero && s.x(i, 0) == 0.0;
    }
    if (all_doses_zero) {
        found.push_back(all_doses_zero_notice(line_of));
    }
    return found;
}

} // namespace morvex
