#include "estimation/input/number.hpp"

#include "estimation/base/number_text.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <system_error>

namespace morvex {
namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

std::size_t skip_digits(std::string_view s, std::size_t i) {
    while (i < s.size() && is_digit(s[i])) {
        ++i;
    }
    return i;
}

std::size_t skip_sign(std::string_view s, std::size_t i) {
    return i < s.size() && (s[i] == '+' || s[i] == '-') ? i + 1 : i;
}

// True when the whole token is: sign? (digits [. digits?] | . digits) exponent?
bool is_decimal_number(std::string_view s) {
    std::size_t i = skip_sign(s, 0);
    const std::size_t int_begin = i;
    i = skip_digits(s, i);
    std::size_t digits = i - int_begin;
    if (i < s.size() && s[i] == '.') {
        const std::size_t frac_begin = ++i;
        i = skip_digits(s, i);
        digits += i - frac_begin;
    }
    if (digits == 0) {
        return false;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        const std::size_t exp_begin = skip_sign(s, i + 1);
        i = skip_digits(s, exp_begin);
        if (i == exp_begin) {
            return false;
        }
    }
    return i == s.size();
}

// from_chars takes no leading '+'.
std::string_view without_plus(std::string_view s) {
    return !s.empty() && s[0] == '+' ? s.substr(1) : s;
}

// The usual token, a short decimal without an exponent, read in the pass
// that checks it: the value portable::read_short_decimal gives (a whole
// number of at most 15 significant digits, divided once by an exact power of
// ten), so correctly rounded. False for any other token, which the full
// grammar then reads.
bool read_plain_decimal(std::string_view token, double& value) {
    const char* at = token.data();
    const char* const end = at + token.size();
    const bool negative = at != end && *at == '-';
    at += at != end && (*at == '-' || *at == '+') ? 1 : 0;
    std::uint64_t digits = 0;
    int significant = 0;
    int seen = 0;     // digits, leading zeros too
    int decimals = 0; // digits after the point
    bool point = false;
    for (; at != end; ++at) {
        const char c = *at;
        if (is_digit(c)) {
            ++seen;
            decimals += point ? 1 : 0;
            if (significant > 0 || c != '0') {
                if (++significant > 15) {
                    return false;
                }
                digits = digits * 10 + static_cast<std::uint64_t>(c - '0');
            }
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    double magnitude = 0.0;
    if (seen == 0 || !portable::exact_decimal(digits, -decimals, magnitude)) {
        return false;
    }
    value = negative ? -magnitude : magnitude;
    return true;
}

} // namespace

parsed<double> parse_number(std::string_view token) {
    // Most numbers of a table are short plain decimals.
    double plain = 0.0;
    if (read_plain_decimal(token, plain)) {
        return {number_status::ok, plain};
    }
    if (!is_decimal_number(token)) {
        return {number_status::not_a_number, 0.0};
    }
    const std::string_view digits = without_plus(token);
    double value = 0.0;
    // Most numbers of a table are short decimals, read with one division.
    if (portable::read_short_decimal(digits, value)) {
        return {number_status::ok, value};
    }
#if defined(__cpp_lib_to_chars)
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (result.ec == std::errc::result_out_of_range || !std::isfinite(value)) {
        return {number_status::out_of_range, 0.0};
    }
    if (result.ec != std::errc() || result.ptr != digits.data() + digits.size()) {
        return {number_status::not_a_number, 0.0};
    }
#else
    // No floating-point from_chars in this library: the same value from strtod.
    if (!portable::read_decimal(std::string(digits), value) || !std::isfinite(value)) {
        return {number_status::out_of_range, 0.0};
    }
#endif
    return {number_status::ok, value};
}

parsed<long long> parse_leading_integer(std::string_view line, std::string_view& text) {
    std::size_t i = 0;
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])) != 0) {
        ++i;
    }
    const std::size_t begin = i;
    const std::size_t digits_begin = skip_sign(line, i);
    const std::size_t end = skip_digits(line, digits_begin);
    text = line.substr(begin, end - begin);
    if (end == digits_begin) {
        return {number_status::not_a_number, 0};
    }
    const std::string_view digits = without_plus(text);
    long long value = 0;
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (result.ec != std::errc()) {
        return {number_status::out_of_range, 0};
    }
    return {number_status::ok, value};
}

} // namespace morvex
