// Likely slips in a study's values that do not stop the estimation by
// themselves: the study is analysed as given, and each slip becomes a notice.
#ifndef MORVEX_ESTIMATION_INPUT_CHECKS_HPP
#define MORVEX_ESTIMATION_INPUT_CHECKS_HPP

#include "estimation/method/study.hpp"

#include <functional>
#include <vector>

namespace morvex {

// The values of an exposed category that a notice may point at.
enum class study_value { dose, relative_risk, lower_limit, upper_limit, size };

// The input line that holds one value of exposed category 1..n, whatever the
// layout of the input.
using value_line_of = std::function<int(study_value, int category)>;

// Relative risks outside their limits, lower limits above upper ones, limits
// narrower than the category's cases allow, a category repeated, and the two
// slips that make a matrix singular: equal limits in a category and all doses 0. Notices come in
// category order, each with the line of its value.
std::vector<notice> check_values(const study& s, const value_line_of& line_of);

// A study of means: a group far larger than its neighbours by dose (more than
// ten times each: a digit too many, or the study's total in one row), and all
// doses 0. Category 0, the reference, is checked too.
std::vector<notice> check_means(const study& s, const value_line_of& line_of);

} // namespace morvex

#endif
