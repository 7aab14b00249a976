// Strict, locale-independent conversion of the values of a setting file.
#ifndef MORVEX_ESTIMATION_NUMBER_HPP
#define MORVEX_ESTIMATION_NUMBER_HPP

#include <string_view>

namespace morvex {

enum class number_status { ok, not_a_number, out_of_range };

template <class T>
struct parsed {
    number_status status;
    T value;
};

// Accepts an optional sign, digits with an optional fraction (".5" and "5."
// included) and an optional exponent, and nothing else: no white space, no
// "inf", "nan", hexadecimal or decimal comma. A value beyond the range of a
// double is out_of_range rather than infinite or silently zero.
parsed<double> parse_number(std::string_view token);

// The integer at the start of a line, read as "%d" reads it: optional white
// space, optional sign, digits; whatever follows is ignored. `text` receives
// the sign and digits, for messages.
parsed<long long> parse_leading_integer(std::string_view line, std::string_view& text);

} // namespace morvex

#endif
