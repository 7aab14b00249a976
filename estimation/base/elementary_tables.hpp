// Tables and constants of the program's own elementary functions, written by
// tools/elementary_tables.py from mpmath.
#ifndef MORVEX_ESTIMATION_ELEMENTARY_TABLES_HPP
#define MORVEX_ESTIMATION_ELEMENTARY_TABLES_HPP

#include "estimation/base/double_double.hpp"

namespace morvex::elem::tables {

// ln 2 / 128 in three parts, the first two short enough that k times them is
// exact for every |k| < 2^18, and 128 / ln 2.
extern const double exp_inverse_step;
extern const double exp_step1;
extern const double exp_step2;
extern const double exp_step3;

// ln 2 as a 42-bit head and the rest.
extern const double ln2_hi;
extern const double ln2_lo;
extern const dd ln2;
extern const dd inverse_ln10;
extern const dd euler_gamma;
extern const dd one_minus_euler_gamma;
extern const dd half_log_two_pi;
extern const dd one_twelfth;

// 2^(j/128), j = 0..127.
extern const dd exp2_steps[128];

// c, 1 / (1 + j/256) to ten bits, and log(1/c) for that very c.
struct log_step {
    double c;
    double log_hi;
    double log_lo;
};
extern const log_step log_steps[256];

// B_2k / (2k (2k - 1)) for k = 2..11 (k = 1 is one_twelfth).
extern const double stirling[10];
// Taylor coefficients of log Gamma about 1 and 2, from t^2 to t^8.
extern const double lgamma_near_one[7];
extern const double lgamma_near_two[7];

// Taylor coefficients of exp(x^2) erfc(x) about center, the first five also
// with their low parts.
struct erfc_piece {
    double center;
    double hi[16];
    double lo[5];
};
extern const erfc_piece erfc_pieces[113];

} // namespace morvex::elem::tables

#endif
