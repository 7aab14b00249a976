#include "estimation/base/format.hpp"

#include "estimation/base/number_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
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

} // namespace

std::size_t shortest_chars(double value, char* text) {
    if (!std::isfinite(value)) {
        return 0;
    }
    // The shortest text of a double has at most 24 characters (-2.2250738585072014e-308).
    return static_cast<std::size_t>(std::to_chars(text, text + number_chars, value).ptr - text);
}

std::string shortest(double value) {
    char text[number_chars];
    return {text, shortest_chars(value, text)};
}

void append_general(std::string& line, double value, int width) {
    char text[number_chars];
    const char* end =
        std::to_chars(text, text + number_chars, value, std::chars_format::general, 6).ptr;
    append_right(line, std::string_view(text, static_cast<std::size_t>(end - text)), width);
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
