// Decimal text of doubles that does not depend on the locale or on the
// library's floating-point std::to_chars, which some standard libraries lack
// (that of the WebAssembly toolchain among them). Where the library has it,
// the program uses std::to_chars; these give the same characters from
// snprintf and strtod, and tests hold them to it.
#ifndef MORVEX_ESTIMATION_BASE_NUMBER_TEXT_HPP
#define MORVEX_ESTIMATION_BASE_NUMBER_TEXT_HPP

#include <cstdint>
#include <string>
#include <string_view>

namespace morvex::portable {

// As std::to_chars(first, last, value): the fewest significant digits that read
// back to the same double (the nearest such decimal), in fixed or scientific
// notation, whichever is shorter (fixed on a tie). Empty for inf or NaN.
std::string shortest(double value);

// As std::to_chars with std::chars_format::fixed and a precision, that is as
// printf's "%.*f" in the C locale.
std::string fixed(double value, int decimals);

// As std::to_chars with std::chars_format::general and a precision: "%.*g".
std::string general(double value, int precision);

// A decimal number (sign '-' at most, digits, point, exponent, as the readers
// accept it) of at most 15 significant digits whose scale is a power of ten
// within 10^-22 to 10^22: one exact integer multiplied or divided by one exact
// power, a single rounding, so the correctly rounded double that a full
// conversion gives. False for any other, which needs the full conversion.
bool read_short_decimal(std::string_view text, double& value);

// `digits` (at most 15 decimal digits) times 10^exponent in one rounding,
// for an exponent within -22 to 22 (any, when `digits` is 0): the correctly
// rounded double. False for any other, or where the machine's arithmetic
// could round twice.
bool exact_decimal(std::uint64_t digits, int exponent, double& magnitude);

// As std::from_chars(first, last, value) on a decimal number without a sign
// of '+': false (value 0) where that gives std::errc::result_out_of_range,
// that is where the number rounds to infinity or, though not 0, to 0.
bool read_decimal(const std::string& text, double& value);

} // namespace morvex::portable

#endif
