// The words the results paragraph is made of: lists, studies with the reason
// they were left out, doses and their unit, an RR with its interval, and
// heterogeneity, each as a paper writes it.
#ifndef MORVEX_ESTIMATION_PARAGRAPH_WORDS_HPP
#define MORVEX_ESTIMATION_PARAGRAPH_WORDS_HPP

#include "estimation/output/paragraph.hpp"
#include "estimation/pooling/meta_analysis.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace morvex::sentences {

// A list of studies longer than this names the first ones and counts the rest.
constexpr std::size_t named_studies = 10;

// "a", "a and b", "a, b and c".
std::string listed(const std::vector<std::string>& items);

struct named_reason {
    std::string input, id, reason;
};

// The studies a pooling left out, with why.
std::vector<named_reason> named_reasons(const std::vector<left_out_study>& left_out);

// Studies with why, the first few of a long list, each named as a paper names
// it and its reason without the place the messages give.
std::string studies_with_reasons(const std::vector<named_reason>& studies);

// The dose's unit as --unit gives it; empty for none or a whole axis label.
std::string unit_of(const paragraph_settings& s);

// "per 10 g/day", "per 10 units of dose", "per g/day", "per unit of dose": as
// the report's headings say it, without their "RR " or "MD ".
std::string per_dose(const paragraph_settings& s);

// A dose in a sentence: "26.9 g/day", or "26.9".
std::string dose_text(double dose, const paragraph_settings& s);

// "1.07 (95% CI 1.04 to 1.10", left open for what follows inside the brackets.
std::string rr_open(double rr, double lower, double upper);

// "I² = 12% (Q = 4.78, df = 7, p = 0.69)".
std::string heterogeneity_text(double I2, double Q, int df, double p);

// "fixed effect", "method of moments" or "REML" for a method's name.
const char* method_words(const std::string& name);

} // namespace morvex::sentences

#endif
