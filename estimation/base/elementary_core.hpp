// The double-double kernels the program's elementary functions share.
#ifndef MORVEX_ESTIMATION_ELEMENTARY_CORE_HPP
#define MORVEX_ESTIMATION_ELEMENTARY_CORE_HPP

#include "estimation/base/double_double.hpp"

namespace morvex::elem::core {

// 2^e for -1022 <= e <= 1023, exactly.
double power_of_two(int e);

// v * 2^e for a positive double-double v, rounded once to the nearest double:
// also where the result is subnormal (a second rounding there would be wrong
// in the last place) or overflows (inf).
double scaled(dd v, int e);

// exp(a) = v * 2^e with v in [1, 2) to about 2^-100 relative; |a.hi| < 750.
struct scaled_dd {
    dd v;
    int e = 0;
};
scaled_dd exp_dd(dd a);

// log(x) for a finite x > 0 (subnormals too), to about 2^-100 relative and
// never worse than 2^-90 absolute.
dd log_dd(double x);

// log(a.hi + a.lo) for a positive double-double.
dd log_dd(dd a);

} // namespace morvex::elem::core

#endif
