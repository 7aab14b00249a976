// printf-style formatting into a string: the report's fields are defined by
// printf conversions ("%9lg", "%14lg"), so they are produced by them.
#ifndef MORVEX_ESTIMATION_FORMAT_HPP
#define MORVEX_ESTIMATION_FORMAT_HPP

#include <string>
#include <string_view>

namespace morvex {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string
format(const char* fmt, ...);

// The length of the well-formed UTF-8 sequence of two to four bytes at `at`,
// 0 when there is none: no overlong form, no surrogate, nothing above U+10FFFF.
std::size_t utf8_length(std::string_view text, std::size_t at);

// The text with control characters and every byte that is not part of valid
// UTF-8 escaped ("\t", "\x0d", "\xff"), so that a tab or a stray byte in a
// message or a report line is visible and cannot break the line or the terminal,
// and a backslash doubled ("\\"), so that the five characters a\tb are not
// taken for a tab. Apply it once: messages are built from pieces already made
// printable and are written as they stand.
std::string printable(std::string_view text);

// The same in double quotes, as messages quote offending input.
std::string quoted(std::string_view text);

// The shortest decimal text that reads back to the same double, whatever the
// locale; empty for a value that is not finite.
std::string shortest(double value);

// Room for the text of shortest_chars and append_general, sign and exponent included.
constexpr std::size_t number_chars = 32;

// shortest(value) written into `text`, which has room for number_chars, for
// output that is built without a string per number; gives its length, 0 when
// the value is not finite.
std::size_t shortest_chars(double value, char* text);

// The value as printf's "%lg" writes it in the C locale, six significant
// digits, written into `text`, which has room for number_chars; gives its length.
std::size_t general_chars(double value, char* text);

// Appends the value as printf's "%*lg" writes it in the C locale: six
// significant digits, right-aligned in `width` characters.
void append_general(std::string& line, double value, int width = 0);

// Appends the text right-aligned in `width` characters, as printf's "%*s".
void append_right(std::string& line, std::string_view text, int width);

// As printf's "%.*f" and "%.*g" in the C locale, whatever the locale.
std::string fixed_decimals(double value, int decimals);
std::string significant(double value, int precision);

// A p-value as a journal prints it, the one rule of every picture (and of any
// other text a person reads rather than a script): "p < 0.001" below 0.001;
// otherwise two significant digits, but no more than three decimals
// ("p = 0.0012" is "p = 0.001", "p = 0.01758" is "p = 0.018", "p = 0.3443" is
// "p = 0.34", "p = 0.0496" is "p = 0.050"); "p > 0.99" when two digits would
// round to 1; "p = n/a" when there is none (not a number).
std::string journal_p(double p);

} // namespace morvex

#endif
