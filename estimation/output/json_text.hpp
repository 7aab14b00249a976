// The pieces of JSON that every writer of the results appends: a number as its
// shortest round-trip text (null when it is not finite), a string with every
// control character escaped.
#ifndef MORVEX_ESTIMATION_JSON_TEXT_HPP
#define MORVEX_ESTIMATION_JSON_TEXT_HPP

#include "estimation/output/text_builder.hpp"

#include <ostream>
#include <string_view>

namespace morvex {

void append_json_number(text_builder& out, double value);

// A JSON string: every control character escaped, other bytes (UTF-8) as they are.
void append_json_string(text_builder& out, std::string_view text);
void write_json_string(std::ostream& out, std::string_view text);

} // namespace morvex

#endif
