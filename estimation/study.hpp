// One study's categorical dose-response table, as read from a setting file.
#ifndef MORVEX_ESTIMATION_STUDY_HPP
#define MORVEX_ESTIMATION_STUDY_HPP

#include "matrix/matrix.hpp"

#include <string>
#include <vector>

namespace morvex {

using Matrix = math::matrix<double>;

// What the totals count, and so which variances and correlations the fitted
// counts imply.
enum class study_design {
    case_control,   // totals are cases plus controls; odds ratios
    cohort,         // totals are persons; risk ratios
    incidence_rate, // totals are person-time; rate ratios
};

// A remark about an input that does not stop it: `line` is the 1-based line it
// concerns in the input file, 0 when it concerns no one line.
struct notice {
    int line = 0;
    std::string message;
};

// Category 0 is the reference; exposed category i (1..n) is row i-1 of every
// one-column matrix.
struct study {
    std::string title; // line 1 as read, without its line end
    study_design design = study_design::cohort;
    int n = 0;                    // number of exposed categories
    double M1 = 0.0;              // reported cases over all categories, reference included
    double A0 = 0.0;              // reported cases of the reference category
    double N0 = 0.0;              // total of the reference category
    Matrix N{0, 1};               // totals N_i
    Matrix x{0, 1};               // assigned doses x_i
    Matrix A{0, 1};               // reported cases A_i
    Matrix L{0, 1};               // log relative risks L_i
    Matrix lo{0, 1};              // log lower 95% limits
    Matrix hi{0, 1};              // log upper 95% limits
    Matrix v{0, 1};               // variances of L_i, from the limits
    std::vector<notice> warnings; // likely slips in the input, in the order found

    bool is_case_control() const { return design == study_design::case_control; }
};

} // namespace morvex

#endif
