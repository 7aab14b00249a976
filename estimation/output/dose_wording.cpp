#include "estimation/output/dose_wording.hpp"

#include "estimation/base/format.hpp"

#include <cctype>
#include <cstdlib>

namespace morvex {

bool whole_label(const std::string& unit) {
    for (std::size_t at = unit.find("per"); at != std::string::npos;
         at = unit.find("per", at + 1)) {
        const auto letter = [&](std::size_t k) {
            return k < unit.size() && std::isalpha(static_cast<unsigned char>(unit[k])) != 0;
        };
        if ((at == 0 || !letter(at - 1)) && !letter(at + 3)) {
            return true;
        }
    }
    return false;
}

namespace {

// The increment as a reader writes it ("10", "0.5", "100000"), with as many
// digits as it takes to read back as the increment the figures are per.
std::string increment_text(double increment) {
    for (int digits = 6; digits < 17; ++digits) {
        std::string text = format("%.*g", digits, increment);
        if (std::strtod(text.c_str(), nullptr) == increment) {
            return text;
        }
    }
    return format("%.17g", increment);
}

} // namespace

std::string rr_per_text(const dose_wording& w) {
    if (whole_label(w.unit)) {
        return w.unit;
    }
    const std::string name = words(w.measure).abbreviation;
    if (!w.increment) {
        return name + " " + per_dose_text(w);
    }
    return name + " per " + increment_text(*w.increment) +
           (w.unit.empty() ? " units of dose" : " " + w.unit);
}

std::string per_dose_text(const dose_wording& w) {
    return w.unit.empty() || whole_label(w.unit) ? "per unit of dose" : "per " + w.unit;
}

std::string dose_axis_text(const dose_wording& w) {
    return w.unit.empty() || whole_label(w.unit) ? "Dose" : "Dose (" + w.unit + ")";
}

} // namespace morvex
