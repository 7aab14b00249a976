#include "estimation/base/format.hpp"

#include "estimation/base/number_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace morvex {

std::string format(const char* fmt, ...) {
    // Most lines fit a buffer on the stack and are formatted once; a longer one
    // is formatted again into a buffer of its measured size (a va_list is used
    // once per va_start).
    char small[256];
    va_list args;
    va_start(args, fmt);
    // The analyzer of clang-tidy 14 does not see va_start initialise args.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    const int size = std::vsnprintf(small, sizeof small, fmt, args);
    va_end(args);
    if (size <= 0) {
        return {};
    }
    if (static_cast<std::size_t>(size) < sizeof small) {
        return {small, static_cast<std::size_t>(size)};
    }
    std::vector<char> buffer(static_cast<std::size_t>(size) + 1);
    va_start(args, fmt);
    std::vsnprintf(buffer.data(), buffer.size(), fmt, args);
    va_end(args);
    return {buffer.data(), static_cast<std::size_t>(size)};
}

std::string printable(std::string_view text) {
    std::string result;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            result += "\\\\"; // so that a backslash in the text cannot pass for an escape
        } else if (c == '\t') {
            result += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            result += format("\\x%02x", byte);
        } else {
            result += c;
        }
    }
    return result;
}

std::string quoted(std::string_view text) {
    return '"' + printable(text) + '"';
}

void append_right(std::string& line, std::string_view text, int width) {
    if (width > 0 && text.size() < static_cast<std::size_t>(width)) {
        line.append(static_cast<std::size_t>(width) - text.size(), ' ');
    }
    line += text;
}

// The library's floating-point std::to_chars where it has one; the portable
// text, which gives the same characters, where it has none.
#if defined(__cpp_lib_to_chars)
namespace {

// Room for the integer digits of the largest double, a sign and a point.
constexpr std::size_t whole_digits = 320;

template <class... Format>
std::string chars(std::size_t size, double value, Format... format) {
    char small[whole_digits + 64];
    std::vector<char> large;
    char* buffer = small;
    if (size > sizeof small) {
        large.resize(size);
        buffer = large.data();
    }
    const auto [end, error] = std::to_chars(buffer, buffer + size, value, format...);
    return error == std::errc() ? std::string(buffer, end) : std::string();
}

// A whole number below `limit` in magnitude written as its digits, as both
// the shortest text (below 10^5) and "%g" (below 10^6) write it, and faster;
// 0 for any other value. Counts and totals are such numbers.
std::size_t whole_number(double value, double limit, char* text) {
    const double magnitude = std::fabs(value);
    if (!(magnitude < limit) || magnitude != std::trunc(magnitude)) {
        return 0;
    }
    char* start = text;
    if (std::signbit(value)) {
        *start++ = '-';
    }
    return static_cast<std::size_t>(
        std::to_chars(start, text + number_chars, static_cast<std::uint32_t>(magnitude)).ptr -
        text);
}

} // namespace

std::size_t shortest_chars(double value, char* text) {
    if (!std::isfinite(value)) {
        return 0;
    }
    const std::size_t whole = whole_number(value, 1e5, text);
    // The shortest text of a double has at most 24 characters (-2.2250738585072014e-308).
    return whole > 0 ? whole
                     : static_cast<std::size_t>(
                           std::to_chars(text, text + number_chars, value).ptr - text);
}

std::string shortest(double value) {
    char text[number_chars];
    return {text, shortest_chars(value, text)};
}

namespace {

// The six significant digits of a normal double, rounded as printf rounds
// them, from its shortest decimal: the nearest decimal of six digits to the
// value is the shortest one rounded, unless the shortest has seven digits
// ending in 5, a tie the shortest cannot settle. False then (and for a value
// that is not normal), so that the library rounds the exact value.
bool six_digits(double value, std::uint32_t& digits, int& exponent) {
    if (!std::isnormal(value)) {
        return false;
    }
    char text[number_chars];
    const char* end =
        std::to_chars(text, text + number_chars, std::fabs(value), std::chars_format::scientific)
            .ptr;
    std::uint64_t all = 0;
    int count = 0;
    const char* c = text;
    for (; c < end && *c != 'e'; ++c) {
        if (*c != '.') {
            all = all * 10 + static_cast<std::uint64_t>(*c - '0');
            ++count;
        }
    }
    int power = 0;
    std::from_chars(c + (c[1] == '+' ? 2 : 1), end, power);
    std::uint64_t scale = 1;
    for (int k = 6; k < count; ++k) {
        scale *= 10;
    }
    for (int k = count; k < 6; ++k) {
        all *= 10;
    }
    const std::uint64_t tail = all % scale;
    if (scale > 1 && 2 * tail == scale) {
        return false;
    }
    all = all / scale + (2 * tail > scale ? 1 : 0);
    if (all == 1000000) { // 9.999995 up to 10.0000
        all = 100000;
        ++power;
    }
    digits = static_cast<std::uint32_t>(all);
    exponent = power;
    return true;
}

// "%g" of six digits d.ddddd x 10^exponent: fixed from 10^-4 to below 10^6,
// else scientific, without trailing zeros.
std::size_t general_text(bool negative, std::uint32_t digits, int exponent, char* text) {
    char d[6];
    for (int k = 5; k >= 0; --k) {
        d[k] = static_cast<char>('0' + digits % 10);
        digits /= 10;
    }
    int used = 6;
    while (used > 1 && d[used - 1] == '0') {
        --used;
    }
    char* out = text;
    if (negative) {
        *out++ = '-';
    }
    if (exponent < -4 || exponent >= 6) {
        *out++ = d[0];
        if (used > 1) {
            *out++ = '.';
            out = std::copy(d + 1, d + used, out);
        }
        *out++ = 'e';
        *out++ = exponent < 0 ? '-' : '+';
        const int magnitude = std::abs(exponent);
        if (magnitude >= 100) {
            *out++ = static_cast<char>('0' + magnitude / 100);
        }
        *out++ = static_cast<char>('0' + magnitude / 10 % 10);
        *out++ = static_cast<char>('0' + magnitude % 10);
    } else if (exponent < 0) {
        *out++ = '0';
        *out++ = '.';
        out = std::fill_n(out, -exponent - 1, '0');
        out = std::copy(d, d + used, out);
    } else {
        out = std::copy(d, d + exponent + 1, out);
        if (used > exponent + 1) {
            *out++ = '.';
            out = std::copy(d + exponent + 1, d + used, out);
        }
    }
    return static_cast<std::size_t>(out - text);
}

} // namespace

void append_general(std::string& line, double value, int width) {
    char text[number_chars];
    std::uint32_t digits = 0;
    int exponent = 0;
    std::size_t size = whole_number(value, 1e6, text);
    if (size == 0 && six_digits(value, digits, exponent)) {
        size = general_text(std::signbit(value), digits, exponent, text);
    } else if (size == 0) {
        size = static_cast<std::size_t>(
            std::to_chars(text, text + number_chars, value, std::chars_format::general, 6).ptr -
            text);
    }
    append_right(line, std::string_view(text, size), width);
}

std::string fixed_decimals(double value, int decimals) {
    return chars(whole_digits + static_cast<std::size_t>(std::max(decimals, 0)), value,
                 std::chars_format::fixed, decimals);
}

std::string significant(double value, int precision) {
    return chars(whole_digits, value, std::chars_format::general, precision);
}
#else
std::size_t shortest_chars(double value, char* text) {
    const std::string digits = portable::shortest(value);
    digits.copy(text, number_chars);
    return digits.size();
}

std::string shortest(double value) {
    return portable::shortest(value);
}

void append_general(std::string& line, double value, int width) {
    char text[number_chars];
    const int size = std::snprintf(text, sizeof text, "%.6g", value);
    append_right(line, std::string_view(text, static_cast<std::size_t>(size)), width);
}

std::string fixed_decimals(double value, int decimals) {
    return portable::fixed(value, decimals);
}

std::string significant(double value, int precision) {
    return portable::general(value, precision);
}
#endif

} // namespace morvex
