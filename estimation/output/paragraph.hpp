// The results paragraph (--paragraph=FILE.txt): the methods and the results of a
// run in the words a paper uses, its figures rounded as a paper prints them, to
// paste into a manuscript. The web page shows and copies this text.
#ifndef MORVEX_ESTIMATION_PARAGRAPH_HPP
#define MORVEX_ESTIMATION_PARAGRAPH_HPP

#include "estimation/method/study.hpp"
#include "estimation/output/paper_report.hpp"
#include "estimation/pooling/curve_analysis.hpp"
#include "estimation/pooling/meta_analysis.hpp"

#include <optional>
#include <string>

namespace morvex {

struct paragraph_settings {
    covariance_kind covariance = covariance_kind::gl; // of the studies with counts
    bool missing_counts_indep = false;                // studies without counts: independent
    std::optional<double> increment;                  // the RRs are per this much dose
    std::string unit; // --unit: the dose's unit; a whole axis label ("... per ...") is not used
};

// Two paragraphs, "Methods. ..." and "Results. ...", each on one line, ended by
// a line break: the covariance, the model, the knots and where they are, the
// pooled RR per increment with its CI and p, heterogeneity, the analyses asked
// for (those of the paper's analyses too), p for non-linearity and the RRs of
// the curve with its goodness of fit and subgroups, and the number of studies
// with those left out and why.
std::string results_paragraph(const meta_analysis& m, const curve_result* curve,
                              const paragraph_settings& s, const trend_extras& extras = {});

} // namespace morvex

#endif
