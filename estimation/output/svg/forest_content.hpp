// What a run's forest plot shows: its studies (in subgroup blocks with --by),
// the diamonds of the chosen models, heterogeneity and tests.
#ifndef MORVEX_ESTIMATION_SVG_FOREST_CONTENT_HPP
#define MORVEX_ESTIMATION_SVG_FOREST_CONTENT_HPP

#include "estimation/output/svg/forest_plot.hpp"
#include "estimation/pooling/meta_analysis.hpp"

#include <optional>
#include <string>

namespace morvex {

enum class forest_model { fixed, dl, reml, all };

struct forest_request {
    forest_model model = forest_model::reml; // the diamonds and the weight column
    std::string title;                       // empty: the inputs' file names
    std::string unit;                        // the axis label; empty: one that names the scale
    std::optional<double> increment;
};

struct forest_content {
    forest_plot plot;
    std::string notice; // what was not drawn and why (the row limit); else empty
};

// Empty studies: nothing to draw. Above forest_row_limit studies only the
// summaries are drawn, and `notice` says so.
forest_content make_forest(const meta_analysis& m, const forest_request& request);

// "I² = 78.8%, tau² = 0.0012, Q = 33.1 (df = 7), p < 0.001"
std::string heterogeneity_line(const heterogeneity& h, double tau2);

// The inputs' file names, as a plot's default title.
std::string inputs_title(const meta_analysis& m);

// A label for a study: its name (label, or author and year), its id (with its
// file when the studies come from several), a setting file's title or name.
std::string study_label(const study_summary& s, bool one_input);

} // namespace morvex

#endif
