#include "estimation/output/paragraph_words.hpp"

#include "estimation/base/format.hpp"
#include "estimation/output/dose_wording.hpp"
#include "estimation/output/printed_figures.hpp"

#include <algorithm>
#include <cctype>

namespace morvex::sentences {
namespace {

// A study as a paper names it: its id, or a setting file's name.
std::string study_name(const named_reason& s) {
    return printable(s.id.empty() ? s.input.substr(s.input.rfind('/') + 1) : s.id);
}

// The reason without the place the messages give ("refused: t.csv:8: column
// dose: study s: missing value" is "refused: column dose: missing value"): the
// study is named already.
std::string reason_text(const named_reason& s) {
    std::string reason = s.reason;
    const std::string file = printable(s.input) + ":";
    const std::size_t at = reason.find(file);
    if (at != std::string::npos) {
        std::size_t end = at + file.size();
        while (end < reason.size() && std::isdigit(static_cast<unsigned char>(reason[end])) != 0) {
            ++end;
        }
        if (reason.compare(end, 2, ": ") == 0) {
            reason.erase(at, end + 2 - at);
        }
    }
    const std::string study = "study " + printable(s.id) + ": ";
    const std::size_t named = s.id.empty() ? std::string::npos : reason.find(study);
    if (named != std::string::npos) {
        reason.erase(named, study.size());
    }
    return reason;
}

} // namespace

// "a", "a and b", "a, b and c".
std::string listed(const std::vector<std::string>& items) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
    }
    return text;
}

std::vector<named_reason> named_reasons(const std::vector<left_out_study>& left_out) {
    std::vector<named_reason> named(left_out.size());
    std::transform(left_out.begin(), left_out.end(), named.begin(), [](const left_out_study& l) {
        return named_reason{l.input, l.id, l.reason};
    });
    return named;
}

// Studies with why, the first few of a long list.
std::string studies_with_reasons(const std::vector<named_reason>& studies) {
    std::vector<std::string> items;
    for (std::size_t i = 0; i < studies.size() && i < named_studies; ++i) {
        items.push_back(study_name(studies[i]) + " (" + reason_text(studies[i]) + ")");
    }
    if (studies.size() > named_studies) {
        items.push_back(format("%zu more", studies.size() - named_studies));
    }
    return listed(items);
}

std::string unit_of(const paragraph_settings& s) {
    return s.unit.empty() || whole_label(s.unit) ? std::string() : printable(s.unit);
}

// "per 10 g/day", "per 10 units of dose", "per g/day", "per unit of dose": as
// the report's headings say it, without their "RR " or "MD ".
std::string per_dose(const paragraph_settings& s) {
    const std::string heading = rr_per_text({s.increment, unit_of(s)});
    return heading.substr(heading.find("per "));
}

// A dose in a sentence: "26.9 g/day", or "26.9".
std::string dose_text(double dose, const paragraph_settings& s) {
    const std::string unit = unit_of(s);
    return printed_figure(dose) + (unit.empty() ? "" : " " + unit);
}

// "1.07 (95% CI 1.04 to 1.10", left open for what follows inside the brackets.
std::string rr_open(double rr, double lower, double upper) {
    const printed_interval printed = printed_rr(rr, lower, upper);
    return printed.estimate + " (95% CI " + printed.lower + " to " + printed.upper;
}

std::string heterogeneity_text(double I2, double Q, int df, double p) {
    return "I\xC2\xB2 = " + printed_percent(I2) + " (Q = " + printed_statistic(Q) +
           format(", df = %d, ", df) + journal_p(p) + ")";
}

const char* method_words(const std::string& name) {
    return name == "fixed" ? "fixed effect" : name == "moments" ? "method of moments" : "REML";
}

} // namespace morvex::sentences
