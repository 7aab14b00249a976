// The command line, parsed in full before any file is opened.
#ifndef MORVEX_ESTIMATION_OPTIONS_HPP
#define MORVEX_ESTIMATION_OPTIONS_HPP

#include "estimation/method/study.hpp"
#include "estimation/output/study_text.hpp"
#include "estimation/pooling/curve_analysis.hpp"

#include <optional>
#include <string>
#include <vector>

namespace morvex {

// The pooling models a forest plot draws as diamonds.
enum class plot_model { fixed, dl, reml, all };

// More threads than this would wait on the one that writes.
constexpr unsigned max_threads = 64;

struct options {
    output_format format = output_format::text;
    std::vector<std::string> inputs; // setting files and tables, in order
    bool pool = false;               // pool the complete studies' slopes after the last one
    std::optional<double> increment; // show pooled slopes also as the RR per this much dose
    std::string plot;                // the SVG picture to write; empty for none
    covariance_kind covariance = covariance_kind::gl; // of studies with counts
    bool missing_counts_indep = false; // analyse studies without counts as independent
    bool method_named = false;         // --covariance or --missing-counts was given
    // What a table of means' studies are estimated as; --measure names it.
    outcome_measure measure = outcome_measure::mean_difference;
    bool measure_named = false;
    double open_width = 1.0;    // an open dose category adds this times half its neighbour's width
    unsigned threads = 0;       // that read and estimate a table's studies; 0: as available
    bool curve = false;         // --trend or --one-stage: pool the trends' coefficients
    curve_settings trend;       // the trend's shape, knots, model and predictions
    bool knapp_hartung = false; // Knapp-Hartung limits of the random-effects summaries
    bool leave_one_out = false; // the pooling without each study in turn
    bool egger = false;         // Egger's test for small-study effects
    std::string by;             // the table column whose values form subgroups
    std::string summary;        // the CSV table of the analyses; empty for none
    std::string paragraph;      // the results paragraph (text); empty for none
    std::string funnel;         // the funnel plot (SVG); empty for none
    std::vector<std::string> moderators; // columns of the meta-regression of the slopes
    std::string bubble;                  // the bubble plot (SVG); empty for none
    std::string residuals;               // the goodness of fit's plot (SVG); empty for none
    std::optional<fill_estimator> trim_and_fill;
    plot_model model = plot_model::reml;
    bool highest_vs_lowest = false; // pool the highest dose against the reference
    bool goodness_of_fit = false;   // deviance, R^2 and residuals of the trend
    bool rank_test = false;         // Begg's rank correlation test
    std::string title;              // of the forest plot; empty: the input's name
    std::string unit; // the forest plot's axis wording, e.g. "Relative risk per 10 g/day"
    // Every file the run writes besides standard output, with its option.
    std::vector<std::pair<const char*, std::string>> outputs() const;
};

// What the command line asks for: a run, or an answer that needs no input.
enum class command { run, help, version, usage, refuse };

struct parsed_command_line {
    command what = command::usage;
    options opts;
    std::string message; // for `refuse`: the one line for standard error
};

// Parses the arguments after the program name with getopt_long. Anything that
// starts with '-' and is no known option is refused; "--" ends the options.
parsed_command_line parse_command_line(const std::vector<std::string>& args);

} // namespace morvex

#endif
