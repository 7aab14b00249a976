// One study's dose-response plot: its reported relative risks against dose, and
// the fitted trend with its 95% band.
#ifndef MORVEX_ESTIMATION_SVG_DOSE_RESPONSE_PLOT_HPP
#define MORVEX_ESTIMATION_SVG_DOSE_RESPONSE_PLOT_HPP

#include "estimation/method/study.hpp"
#include "estimation/method/trend.hpp"

#include <ostream>
#include <string>
#include <vector>

namespace morvex {

// One category of a dose-response plot, as shown (relative risks, or
// differences of means); the reference is drawn at no effect (RR 1, MD 0)
// without limits.
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
    double beta = 0.0; // the fitted curve exp(beta (x - reference_dose)) with its 95% band
    double se = 0.0;
    double reference_dose = 0.0; // doses are drawn as published, the reference at its own
    std::string dose_label = "Dose";
    outcome_measure measure = outcome_measure::relative_risk; // the words and the axis
    std::string per_dose = "per unit of dose";                // what beta is per
};

dose_response_plot make_dose_response_plot(const study& s, const trend& t);

void write_dose_response_plot(std::ostream& out, const dose_response_plot& plot);

} // namespace morvex

#endif
