// The analyses a dose-response paper reports beside the pooled slope, in the
// plain-text report: highest versus lowest, meta-regression, trim-and-fill,
// the rank test; and after the pooled trend, its goodness of fit and the
// curves by subgroup.
#ifndef MORVEX_ESTIMATION_PAPER_REPORT_HPP
#define MORVEX_ESTIMATION_PAPER_REPORT_HPP

#include "estimation/pooling/curve_subgroups.hpp"
#include "estimation/pooling/goodness_of_fit.hpp"
#include "estimation/pooling/meta_analysis.hpp"

#include <ostream>
#include <string>
#include <vector>

namespace morvex {

// What a run computed after the pooled trend; each null when not asked for.
struct trend_extras {
    const goodness_of_fit* fit = nullptr;
    const curve_subgroups* groups = nullptr;
};

// An output's writers of the paper's analyses, each given the analysis of the
// highest doses or the whole meta-analysis.
template <class Out>
struct paper_writers {
    void (*highest)(Out&, const meta_analysis&);
    void (*regression)(Out&, const meta_analysis&);
    void (*fill)(Out&, const meta_analysis&);
    void (*rank)(Out&, const meta_analysis&);
};

// Calls the writers of the analyses asked for, in the order every output gives
// them; trim-and-fill and the rank test only beside a pooling.
template <class Out>
void write_paper_analyses(Out& out, const meta_analysis& m, const paper_writers<Out>& w) {
    if (m.more.highest) {
        w.highest(out, *m.more.highest);
    }
    if (m.more.regression) {
        w.regression(out, m);
    }
    if (m.pooled && m.asked.trim_and_fill) {
        w.fill(out, m);
    }
    if (m.pooled && m.asked.rank_test) {
        w.rank(out, m);
    }
}

// Each asked for: highest versus lowest, meta-regression, trim-and-fill, rank test.
void print_paper_analyses(std::ostream& out, const meta_analysis& m);

// The goodness of fit and the subgroups' curves.
void print_trend_extras(std::ostream& out, const trend_extras& extras);

// One line for standard error per analysis asked for that could not be done
// ("no meta-regression: ..."), without the program's name.
std::vector<std::string> analyses_not_done(const meta_analysis& m, const trend_extras& extras);

// "L0" or "R0"; "fixed effect", "DL" or "REML".
const char* estimator_name(fill_estimator e);
const char* tau2_method_name(tau2_method m);

} // namespace morvex

#endif
