// One study's categorical dose-response table, as read from a setting file or a
// table, and what its estimation gave.
#ifndef MORVEX_ESTIMATION_STUDY_HPP
#define MORVEX_ESTIMATION_STUDY_HPP

#include "estimation/base/distributions.hpp"
#include "estimation/base/elementary.hpp"
#include "estimation/base/member_count.hpp"
#include "estimation/method/measure.hpp"
#include "matrix/matrix.hpp"

#include <cmath>
#include <initializer_list>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace morvex {

using Matrix = math::matrix<double>;

// A matrix whose elements are all 0 (a new Matrix leaves them unset).
inline Matrix zeros(Matrix::size_type rows, Matrix::size_type cols) {
    Matrix m(rows, cols);
    for (Matrix::size_type i = 0; i < rows; ++i) {
        for (Matrix::size_type j = 0; j < cols; ++j) {
            m(i, j) = 0.0;
        }
    }
    return m;
}

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
    std::string message; // made printable
    bool note = false;   // says what was assumed, rather than a likely slip
};

// A dose a table gave as a range or an open category, and the dose assigned.
struct dose_assignment {
    int line = 0;
    std::string text; // as the table wrote it
    double dose = 0.0;
    std::string rule; // "midpoint", "half the upper bound", ...
};

// Category 0 is the reference; exposed category i (1..n) is row i-1 of every
// one-column matrix.
struct study {
    std::string title; // line 1 as read, without its line end
    study_design design = study_design::cohort;
    bool design_known = true;     // false: a table gave no type (`design` holds a place)
    int n = 0;                    // number of exposed categories
    double M1 = 0.0;              // reported cases over all categories, reference included
    double A0 = 0.0;              // reported cases of the reference category
    double N0 = 0.0;              // total of the reference category
    Matrix N{0, 1};               // totals N_i
    Matrix x{0, 1};               // assigned doses x_i, relative to the reference
    double x0 = 0.0;              // the reference's dose as published (0 in a setting file)
    Matrix dose{0, 1};            // the doses x_i as published, before x0 is subtracted
    Matrix A{0, 1};               // reported cases A_i
    Matrix L{0, 1};               // log relative risks L_i
    Matrix lo{0, 1};              // log lower 95% limits
    Matrix hi{0, 1};              // log upper 95% limits
    Matrix v{0, 1};               // variances of L_i, from the limits
    std::vector<notice> warnings; // likely slips in the input, in the order found
    // Where a table leaves cases or totals out ("no cases on line 4"), and the
    // first such line: such a study has no count-based covariance.
    std::string missing_counts;
    int missing_counts_line = 0;
    // How a table wrote its numbers when not as usual ("semicolon separators,
    // decimal comma"); empty otherwise.
    std::string convention;
    std::vector<dose_assignment> assigned_doses; // in the order of the table's rows
    // A table of means: L holds the mean differences (or SMDs) that the
    // estimation forms from these, N0 and N the groups' sizes; A0, A and M1
    // are unused.
    outcome_measure measure = outcome_measure::relative_risk;
    double mean0 = 0.0; // the reference's mean and SD
    double sd0 = 0.0;
    Matrix mean{0, 1}; // means and SDs of the exposed categories
    Matrix sd{0, 1};

    bool is_continuous() const { return morvex::is_continuous(measure); }
    bool is_case_control() const { return design == study_design::case_control; }
};

// `s` as a new study would be, but with n x 1 matrices on the storage they
// had, and its texts and lists keeping theirs: a run that reads many studies
// into one record allocates nothing per study for them. Matrices shared with
// a copy get storage of their own. Member by member, as assigning a blank
// study would copy every matrix and text twice.
inline void renew(study& s, Matrix::size_type n) {
    static_assert(member_count<study>() == 26,
                  "renew(study) sets every member: give the new one its line here");
    static const study blank; // the values a new study starts from
    s.title.clear();
    s.design = blank.design;
    s.design_known = blank.design_known;
    s.n = blank.n;
    s.M1 = blank.M1;
    s.A0 = blank.A0;
    s.N0 = blank.N0;
    s.x0 = blank.x0;
    s.measure = blank.measure;
    s.mean0 = blank.mean0;
    s.sd0 = blank.sd0;
    for (Matrix* column : {&s.N, &s.x, &s.dose, &s.A, &s.L, &s.lo, &s.hi, &s.v, &s.mean, &s.sd}) {
        column->reshape(n, 1);
    }
    s.warnings.clear();
    s.missing_counts.clear();
    s.missing_counts_line = blank.missing_counts_line;
    s.convention.clear();
    s.assigned_doses.clear();
}

// Trades every member with `b`, matrices, texts and lists by their storage:
// no element is copied and nothing is allocated.
inline void swap(study& a, study& b) noexcept {
    static_assert(member_count<study>() == 26,
                  "swap(study) trades every member: give the new one its line here");
    using std::swap;
    swap(a.title, b.title);
    swap(a.design, b.design);
    swap(a.design_known, b.design_known);
    swap(a.n, b.n);
    swap(a.M1, b.M1);
    swap(a.A0, b.A0);
    swap(a.N0, b.N0);
    swap(a.x0, b.x0);
    swap(a.measure, b.measure);
    swap(a.mean0, b.mean0);
    swap(a.sd0, b.sd0);
    for (Matrix study::*m : {&study::N, &study::x, &study::dose, &study::A, &study::L, &study::lo,
                             &study::hi, &study::v, &study::mean, &study::sd}) {
        (a.*m).swap(b.*m);
    }
    swap(a.warnings, b.warnings);
    swap(a.missing_counts, b.missing_counts);
    swap(a.missing_counts_line, b.missing_counts_line);
    swap(a.convention, b.convention);
    swap(a.assigned_doses, b.assigned_doses);
}

// Half the width of the 95% interval on the log scale, over 1.96, squared.
inline double variance_from_limits(double lo, double hi) {
    return elem::pow((hi - lo) * (1.0 / 1.96) * 0.5, 2);
}

// How a study's covariance is formed: from counts fitted to the reported margins
// (Greenland and Longnecker), from Hamling's pseudo-counts, or as independent
// log relative risks (a diagonal matrix).
enum class covariance_kind { gl, hamling, indep };

// As the option and the outputs write it.
inline const char* covariance_name(covariance_kind kind) {
    switch (kind) {
    case covariance_kind::hamling:
        return "hamling";
    case covariance_kind::indep:
        return "indep";
    case covariance_kind::gl:
        break;
    }
    return "gl";
}

// The exposed category of a study's highest dose, or why the study has none
// (see highest_of).
struct highest_category {
    double y = std::numeric_limits<double>::quiet_NaN(); // its log RR, or its MD for means
    double variance = std::numeric_limits<double>::quiet_NaN();
    double dose = std::numeric_limits<double>::quiet_NaN();
    int line = 0;        // of its row (a table), or of the doses (a setting file)
    std::string problem; // why there is none: a tie for the highest dose; else empty
};

// How far a study got. `not_converged` is a complete estimate whose fit did not
// pass the convergence test within the iteration limit.
enum class study_status { complete, not_converged, refused, stopped };

constexpr double not_computed = std::numeric_limits<double>::quiet_NaN();

// Everything the writers print about one study; computed first, written after.
// A refused study has only its names and message; a stopped one also has the
// inputs and, if the fit ended, the fitted counts, as the classic partial
// report shows them.
struct study_result {
    std::string input;  // the file as named on the command line
    std::string id;     // the study's id in a table; empty for a setting file
    int first_line = 0; // a table study's first row, for its report
    bool from_table = false;
    bool has_data = false; // `data` was read
    bool has_fit = false;  // `fitted` and `converged` are set
    study data;
    study_status status = study_status::refused;
    std::string message; // why refused or stopped, as "FILE:LINE: ...", made printable
    std::vector<std::string> more_messages; // a refused table study's other faults, the same way
    int iterations = 0;
    bool converged = false;
    double fitted_A0 = not_computed;
    Matrix fitted{0, 1}; // A_1..A_n
    Matrix V{0, 0};      // covariance of the log relative risks, when formed
    covariance_kind covariance = covariance_kind::gl; // how V is formed
    bool has_pseudo = false;                          // Hamling's pseudo-counts are set
    double pseudo_A0 = not_computed;
    double pseudo_N0 = not_computed;
    Matrix pseudo_A{0, 1}; // pseudo-cases A_1..A_n
    Matrix pseudo_N{0, 1}; // pseudo-totals N_1..N_n
    double beta = not_computed;
    double se = not_computed;

    bool abnormal = false;    // stopped by a singular matrix: the classic line on standard error
    highest_category highest; // set when the data are read

    int categories() const { return has_data ? data.n + 1 : 0; }
    // Equations were solved for the covariance (fitted counts or Hamling's
    // pseudo-counts), so `iterations` and `converged` say how.
    bool solved() const { return has_fit || has_pseudo; }
    bool estimated() const {
        return status == study_status::complete || status == study_status::not_converged;
    }
    // The 95% limits of beta and the two-sided Wald p-value; NaN when not estimated.
    double lower() const { return beta - z_975 * se; }
    double upper() const { return beta + z_975 * se; }
    double p() const { return elem::erfc(std::fabs(beta / se) / std::sqrt(2.0)); }
};

// `r` as a new result would be, each matrix, text and list keeping its
// storage (as renew of a study).
inline void renew(study_result& r) {
    static_assert(member_count<study_result>() == 25,
                  "renew(study_result) sets every member: give the new one its line here");
    static const study_result blank; // the values a new result starts from
    r.input.clear();
    r.id.clear();
    r.first_line = blank.first_line;
    r.from_table = blank.from_table;
    r.has_data = blank.has_data;
    r.has_fit = blank.has_fit;
    renew(r.data, 0);
    r.status = blank.status;
    r.message.clear();
    r.more_messages.clear();
    r.iterations = blank.iterations;
    r.converged = blank.converged;
    r.fitted_A0 = blank.fitted_A0;
    r.covariance = blank.covariance;
    r.has_pseudo = blank.has_pseudo;
    r.pseudo_A0 = blank.pseudo_A0;
    r.pseudo_N0 = blank.pseudo_N0;
    r.beta = blank.beta;
    r.se = blank.se;
    r.abnormal = blank.abnormal;
    r.highest.y = blank.highest.y;
    r.highest.variance = blank.highest.variance;
    r.highest.dose = blank.highest.dose;
    r.highest.line = blank.highest.line;
    r.highest.problem.clear();
    for (Matrix study_result::*m : {&study_result::fitted, &study_result::V,
                                    &study_result::pseudo_A, &study_result::pseudo_N}) {
        (r.*m).reshape(0, (blank.*m).col_count());
    }
}

// The design as the table's type column writes it.
inline const char* design_code(study_design design) {
    switch (design) {
    case study_design::case_control:
        return "cc";
    case study_design::incidence_rate:
        return "ir";
    case study_design::cohort:
        break;
    }
    return "ci";
}

inline const char* status_name(study_status status) {
    switch (status) {
    case study_status::complete:
        return "complete";
    case study_status::not_converged:
        return "not converged";
    case study_status::stopped:
        return "stopped";
    case study_status::refused:
        break;
    }
    return "refused";
}

// A study's value of a study-level column, or why it has none: no column, no
// value (`missing`, left out with a note), or rows that disagree (`conflict`,
// refused with a message that names them).
struct column_value {
    std::string value;
    double number = std::numeric_limits<double>::quiet_NaN(); // the value read as a number
    std::string missing;
    std::string conflict;
};

// What a later step over all studies needs, kept per study while the full
// results are written and dropped one by one.
struct study_summary {
    std::string label; // input, and id for a table study
    std::string input; // the file as named on the command line
    std::string id;    // a table study's id; empty for a setting file
    std::string title; // a setting file's line 1; empty for a table study
    double beta = not_computed;
    double se = not_computed;
    study_status status = study_status::refused;
    std::string message; // why it was refused or stopped, made printable
    // A table study's name from its label column, or author and year; else empty.
    std::string name;
    // Its value of the column that forms subgroups, or why it has none.
    std::string group;
    std::string group_missing;
    std::size_t more_faults = 0;                      // further messages of a refused study
    covariance_kind covariance = covariance_kind::gl; // how its slope's covariance was formed
    highest_category highest; // its problem already names the file and the study
    // Its value of each --moderator column, in their order, or why it has none.
    std::vector<column_value> moderators;
};

} // namespace morvex

#endif
