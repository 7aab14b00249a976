// Figures as a paper prints them: the one rounding rule of every text a person
// reads rather than a script (the results paragraph; the web page rounds the
// program's full figures by the same rule), p-values by journal_p (format.hpp).
// Machine-readable outputs keep the shortest round-trip text.
#ifndef MORVEX_ESTIMATION_PRINTED_FIGURES_HPP
#define MORVEX_ESTIMATION_PRINTED_FIGURES_HPP

#include <string>

namespace morvex {

// A relative risk and its 95% limits: two decimals, or three, or four, the
// fewest that print the lower limit, the estimate and the upper limit as three
// different figures (two when the limits are equal, as at a reference dose).
struct printed_interval {
    std::string estimate, lower, upper;
};
printed_interval printed_rr(double rr, double lower, double upper);

// I^2 in whole per cent, with the sign: "51%".
std::string printed_percent(double percent);

// Test statistics (Q, chi^2, z, t): two decimals.
std::string printed_statistic(double value);

// Any other figure (a slope, tau^2, a dose): three significant digits as
// printf's %g writes them ("0.00644", "1.37e-05", "57.2"), but a number of 1000
// or more in whole units ("1234").
std::string printed_figure(double value);

} // namespace morvex

#endif
