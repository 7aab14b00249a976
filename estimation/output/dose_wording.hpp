// How the writers name the dose and give a slope as a relative risk: the one
// place for "RR per 100 g/day", so that every report, table and picture says it
// the same way.
#ifndef MORVEX_ESTIMATION_DOSE_WORDING_HPP
#define MORVEX_ESTIMATION_DOSE_WORDING_HPP

#include "estimation/method/measure.hpp"

#include <optional>
#include <string>

namespace morvex {

struct dose_wording {
    std::optional<double> increment; // --increment: RR figures are per this much dose
    std::string unit;                // --unit: the dose's unit ("g/day"); empty for none
    outcome_measure measure = outcome_measure::relative_risk; // "RR", or "MD" for means
};

// Whether --unit holds a whole axis label rather than the dose's unit: a text
// with the word "per" in it ("Relative risk per 10 g/day"), as earlier builds
// took every --unit. Such a label is used as it stands.
bool whole_label(const std::string& unit);

// The dose the RR figures are per: the increment, else one unit.
inline double rr_step(std::optional<double> increment) {
    return increment.value_or(1.0);
}

// "RR per 100 g/day", "RR per g/day", "RR per 100 units of dose", "RR per unit
// of dose" ("MD per ..." for means); a whole label as it stands.
std::string rr_per_text(const dose_wording& w);

// What a slope is per: "per g/day", else "per unit of dose".
std::string per_dose_text(const dose_wording& w);

// The dose axis of a picture: "Dose (g/day)", else "Dose".
std::string dose_axis_text(const dose_wording& w);

} // namespace morvex

#endif
