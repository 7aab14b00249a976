// SVG pictures: a forest plot of pooled slopes and one study's dose-response plot.
#ifndef MORVEX_ESTIMATION_SVG_HPP
#define MORVEX_ESTIMATION_SVG_HPP

#include "estimation/method/study.hpp"
#include "estimation/method/trend.hpp"
#include "estimation/pooling/pooling.hpp"

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace morvex {

// One line of a forest plot, in slope units (log relative risk per unit of dose).
struct forest_row {
    std::string label;
    double estimate = 0.0;
    double lower = 0.0;
    double upper = 0.0;
    double weight_percent = 0.0; // sets the area of the square; not shown for summaries
};

struct forest_plot {
    std::string title;
    std::vector<forest_row> rows;      // one per study, drawn as squares
    std::vector<forest_row> summaries; // drawn as diamonds below the studies
    std::string weight_heading = "Weight (%)";
    // With an increment D every value v is shown as the relative risk exp(D v)
    // on a log axis with its reference line at 1; otherwise as a slope, reference at 0.
    std::optional<double> increment;
    std::string axis_label; // empty: a label that names the scale
};

// The studies with their REML weights and the three summaries of a pooling.
forest_plot make_forest_plot(const pooled_summary& s, std::optional<double> increment);

void write_forest_plot(std::ostream& out, const forest_plot& plot);

// One category of a dose-response plot; the reference is drawn at RR 1 without limits.
struct dose_point {
    double dose = 0.0;
    double rr = 1.0;
    double lower = 1.0;
    double upper = 1.0;
    bool reference = false;
};

struct dose_response_plot {
    std::string title;
    std::vector<dose_point> points;
    double beta = 0.0; // the fitted curve exp(beta x) with its 95% band
    double se = 0.0;
    std::string dose_label = "Dose";
};

dose_response_plot make_dose_response_plot(const study& s, const trend& t);

void write_dose_response_plot(std::ostream& out, const dose_response_plot& plot);

// Text made safe for XML character data and attribute values: markup characters
// escaped, invalid UTF-8 and characters XML does not allow replaced by U+FFFD,
// other control characters (tab, line breaks) replaced by spaces.
std::string xml_escape(const std::string& text);

// At most `max_chars` characters (code points) of valid UTF-8 text, ending in an
// ellipsis when shortened.
std::string shorten(const std::string& text, std::size_t max_chars);

} // namespace morvex

#endif
