// The pieces of JSON that every writer of the results appends: a number as its
// shortest round-trip text (null when it is not finite), a string with every
// control character escaped.
#ifndef MORVEX_ESTIMATION_JSON_TEXT_HPP
#define MORVEX_ESTIMATION_JSON_TEXT_HPP

#include "estimation/method/measure.hpp"
#include "estimation/output/text_builder.hpp"
#include "estimation/pooling/meta_analysis.hpp"

#include <ostream>
#include <string>
#include <string_view>

namespace morvex {

void append_json_number(text_builder& out, double value);
void write_json_number(std::ostream& out, double value);

// A JSON string: every control character escaped, other bytes (UTF-8) as they are.
void append_json_string(text_builder& out, std::string_view text);
void write_json_string(std::ostream& out, std::string_view text);

// Opens an entry named by its input and id: {"input": "...", "id": "..."
void write_json_named(std::ostream& out, const std::string& input, const std::string& id);

// A slope's figures as shown (per_increment), named for the measure: "rr",
// "rr_lower", "rr_upper", or "md", ... for means; `with_value` false for a
// prediction interval's limits only.
void append_shown_figures(text_builder& out, const rr_per_increment& shown, outcome_measure measure,
                          bool with_value = true);

} // namespace morvex

#endif
