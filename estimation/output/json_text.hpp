// The pieces of JSON that every writer of the results appends: a number as its
// shortest round-trip text (null when it is not finite), a string with every
// control character escaped.
#ifndef MORVEX_ESTIMATION_JSON_TEXT_HPP
#define MORVEX_ESTIMATION_JSON_TEXT_HPP

#include "estimation/method/measure.hpp"
#include "estimation/output/text_builder.hpp"
#include "estimation/pooling/meta_analysis.hpp"

#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

namespace morvex {

void append_json_number(text_builder& out, double value);
void write_json_number(std::ostream& out, double value);

// A JSON string: every control character escaped, other bytes (UTF-8) as they are.
void append_json_string(text_builder& out, std::string_view text);
void write_json_string(std::ostream& out, std::string_view text);

// Opens an entry named by its input and id: {"input": "...", "id": "..."
void append_json_named(text_builder& out, const std::string& input, const std::string& id);
void write_json_named(std::ostream& out, const std::string& input, const std::string& id);

// "name": value pairs, each after a comma but the first when `first` (after an
// opening brace).
void append_json_figures(text_builder& out,
                         std::initializer_list<std::pair<const char*, double>> figures,
                         bool first = false);

// A slope's figures as shown (per_increment), named for the measure: "rr",
// "rr_lower", "rr_upper", or "md", ... for means; `with_value` false for a
// prediction interval's limits only.
void append_shown_figures(text_builder& out, const rr_per_increment& shown, outcome_measure measure,
                          bool with_value = true);

// A pooled estimate's figures, its object left open for the caller's own:
// {"estimate", "se", "lower", "upper", "z", "p", "tau2" when `random`, and with
// a `step` its figures as shown per that step.
void append_json_estimate(text_builder& out, const pooled_estimate& e, bool random,
                          std::optional<double> step, outcome_measure measure);

// Student's t figures, the object left open: {"estimate", "se", "lower", "upper", "t", "p".
void append_json_t_figures(text_builder& out, const t_interval& e);

// {"Q": ..., "df": ..., "p": ..., "I2": ...}
void append_json_heterogeneity(text_builder& out, const heterogeneity& h);

// REML's search for tau^2 as a member, after a comma.
void append_json_search(text_builder& out, const reml_maximum& s);

// The three models of a pooling as one object, each estimate as
// append_json_estimate gives it, REML's with its search when `search`:
// {"k", "fixed", "dl", "reml", "heterogeneity"}.
void append_json_models(text_builder& out, const pooled_summary& s, std::optional<double> step,
                        outcome_measure measure, bool search);

} // namespace morvex

#endif
