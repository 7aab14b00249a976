// The rows of the summary table, shared by the writers of its analyses.
#ifndef MORVEX_ESTIMATION_SUMMARY_ROWS_HPP
#define MORVEX_ESTIMATION_SUMMARY_ROWS_HPP

#include "estimation/method/study.hpp"
#include "estimation/output/paper_report.hpp"
#include "estimation/pooling/curve_analysis.hpp"
#include "estimation/pooling/meta_analysis.hpp"

#include <ostream>
#include <string>

namespace morvex::summary {

constexpr double none = not_computed;

// The table being written; with a pooled trend every row has its columns, and
// with the analyses of paper_report also theirs.
struct table {
    std::ostream& out;
    bool trend = false;
    bool paper = false;
};

// One row; NaN fields are written empty.
struct row {
    const char* analysis = "overall";
    std::string subgroup, left_out_input, left_out_id;
    const char* model = "";
    double k = none, estimate = none, se = none, lower = none, upper = none, z = none, t = none,
           t_df = none, p = none, tau2 = none, Q = none, df = none, p_Q = none, I2 = none,
           pi_lower = none, pi_upper = none, increment = none, rr = none, rr_lower = none,
           rr_upper = none;
    std::string note;
    // With --trend (or the paper's analyses): which coefficient, a Wald test, a dose.
    double coefficient = none, chi2 = none, chi2_df = none, dose = none, reference_dose = none;
    // Always, after those: the prediction interval's RR.
    double pi_rr_lower = none, pi_rr_upper = none;
    // With the paper's analyses: a term's name, a study, an F test, R^2, trim-and-fill's k0 and
    // side.
    std::string term, study_input, study_id;
    double F = none, F_df1 = none, F_df2 = none, R2 = none, k0 = none;
    const char* side = "";
};

void write(table& t, const row& r);

// A model's summary with the heterogeneity of the studies it pools.
row model_row(const char* analysis, const char* model, const pooled_estimate& e, std::size_t k,
              const heterogeneity* het, const meta_analysis& m);

// The three models of one pooling, each row starting from `names`.
void write_pooling(table& out, const row& names, const pooled_summary& s, const meta_analysis& m);

// A pooled trend's rows, each with `subgroup` in its subgroup column.
void write_trend(table& out, const curve_result& c, const std::string& subgroup = {});

// The rows of paper_report's analyses of the pooled slopes, and of the
// pooled trend's goodness of fit and subgroup curves.
void write_paper_rows(table& out, const meta_analysis& m);
void write_trend_extra_rows(table& out, const trend_extras& extras);

} // namespace morvex::summary

#endif
