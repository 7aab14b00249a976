#include "estimation/base/format.hpp"

#include "estimation/base/number_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
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

std::size_t utf8_length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t k) {
        return at + k < text.size() ? static_cast<unsigned char>(text[at + k]) : 0u;
    };
    const unsigned lead = byte(0);
    std::size_t length = 0;
    unsigned low = 0x80;
    unsigned high = 0xbf; // the second byte's range; later ones are always 80..bf
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(k) < 0x80 || byte(k) > 0xbf) {
            return 0;
        }
    }
    return length;
}

std::string printable(std::string_view text) {
    std::string result;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            result += "\\\\"; // so that a backslash in the text cannot pass for an escape
        } else if (c == '\t') {
            result += "\\t";
        } else if (const std::size_t length = byte < 0x80 ? 1 : utf8_length(text, at);
                   length == 0 || byte < 0x20 || byte == 0x7f) {
            // A control character, or a byte that is not text: a terminal would
            // take the raw byte for a character or a command.
            result += format("\\x%02x", byte);
        } else {
            result.append(text.substr(at, length));
            at += length - 1;
        }
    }
    return result;
}

std::string journal_p(double p) {
    if (!(p >= 0.0)) {
        return "p = n/a";
    }
    if (p < 0.001) {
        return "p < 0.001";
    }
    if (p >= 0.995) {
        return "p > 0.99";
    }
    // Two significant digits have three decimals up to 0.1 (0.0995 rounds to
    // 0.10) and two above; below 0.01 they would need four or more, so three.
    const int decimals = p < 0.0995 ? 3 : 2;
    return "p = " + fixed_decimals(p, decimals);
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

void append_general(std::string& line, double value, int width) {
    char text[number_chars];
    append_right(line, std::string_view(text, general_chars(value, text)), width);
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
    if (!(magnitude < limit)) {
        return 0;
    }
    // Below the limit the conversion truncates exactly, in one instruction
    // where std::trunc may be a call.
    const auto whole = static_cast<std::uint32_t>(magnitude);
    if (static_cast<double>(whole) != magnitude) {
        return 0;
    }
    char* start = text;
    if (std::signbit(value)) {
        *start++ = '-';
    }
    return static_cast<std::size_t>(std::to_chars(start, text + number_chars, whole).ptr - text);
}

} // namespace

// A value below 10^4 in magnitude that is the double nearest a decimal m / 10
// or m / 100 whose last digit is not 0 (doses, half persons), written as that
// decimal, which is its shortest text; 0 for any other value.
// Why: dividing the exact integer m by 10 or 100 rounds correctly, so equality
// says the decimal reads back to the value; the decimals with fewer digits lie
// on a grid ten times coarser, at least 0.01 from it, while those that read
// back lie within 2^-40 of it; and fixed notation ("0.05", "12.5") is never
// longer than scientific ("5e-02", "1.25e+01"). Values too far from m for the
// product to land on it just take the general path.
std::size_t few_decimals(double value, char* text) {
    const double magnitude = std::fabs(value);
    if (!(magnitude < 1e4)) {
        return 0;
    }
    for (const auto& [scale, decimals] : {std::pair{10.0, 1}, std::pair{100.0, 2}}) {
        const double scaled = magnitude * scale;
        const auto m = static_cast<std::uint32_t>(scaled);
        if (static_cast<double>(m) != scaled || m % 10 == 0 ||
            static_cast<double>(m) / scale != magnitude) {
            continue;
        }
        char digits[8];
        char* const end = std::to_chars(digits, digits + sizeof digits, m).ptr;
        const auto count = static_cast<int>(end - digits);
        char* out = text;
        if (std::signbit(value)) {
            *out++ = '-';
        }
        if (count <= decimals) {
            *out++ = '0';
            *out++ = '.';
            out = std::fill_n(out, decimals - count, '0');
            out = std::copy(digits, end, out);
        } else {
            out = std::copy(digits, end - decimals, out);
            *out++ = '.';
            out = std::copy(end - decimals, end, out);
        }
        return static_cast<std::size_t>(out - text);
    }
    return 0;
}

std::size_t shortest_chars(double value, char* text) {
    if (!std::isfinite(value)) {
        return 0;
    }
    std::size_t size = whole_number(value, 1e5, text);
    if (size == 0) {
        size = few_decimals(value, text);
    }
    // The shortest text of a double has at most 24 characters (-2.2250738585072014e-308).
    return size > 0 ? size
                    : static_cast<std::size_t>(std::to_chars(text, text + number_chars, value).ptr -
                                               text);
}

std::string shortest(double value) {
    char text[number_chars];
    return {text, shortest_chars(value, text)};
}

namespace {

std::uint64_t bits_of(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// The 128-bit unsigned integer of GCC and Clang: a double's 53-bit significand
// times a power of ten up to 10^22 fits it exactly.
__extension__ using wide = unsigned __int128;

constexpr std::uint64_t powers_of_ten[] = {1,
                                           10,
                                           100,
                                           1000,
                                           10000,
                                           100000,
                                           1000000,
                                           10000000,
                                           100000000,
                                           1000000000,
                                           10000000000,
                                           100000000000,
                                           1000000000000,
                                           10000000000000,
                                           100000000000000,
                                           1000000000000000,
                                           10000000000000000,
                                           100000000000000000,
                                           1000000000000000000,
                                           10000000000000000000U};

wide power_of_ten(int k) {
    return k <= 19 ? wide{powers_of_ten[k]} : wide{powers_of_ten[k - 19]} * wide{powers_of_ten[19]};
}

// The value m x 2^-s (s > 0) times 10^k, as a whole part and whether the rest
// is below, at or above one half (-1, 0, 1), computed exactly in integers.
struct scaled {
    std::uint64_t whole = 0;
    int half = 0;
};

int compare(wide a, wide b) {
    return a < b ? -1 : a > b ? 1 : 0;
}

scaled scale(std::uint64_t m, int s, int k) {
    scaled result;
    if (k >= 0) {
        const wide product = wide{m} * power_of_ten(k);
        const wide rest = product & ((wide{1} << s) - 1);
        result.whole = static_cast<std::uint64_t>(product >> s);
        result.half = compare(rest, wide{1} << (s - 1));
    } else {
        const wide divisor = power_of_ten(-k) << s;
        const wide rest = wide{m} % divisor;
        result.whole = static_cast<std::uint64_t>(wide{m} / divisor);
        result.half = compare(2 * rest, divisor);
    }
    return result;
}

// The six significant digits of a double, rounded as printf rounds them: its
// exact value m x 2^-s scaled by the power of ten that leaves six digits before
// the point, in integers. False for a magnitude outside 10^-17 to 2^52 and for a
// tie (a seven-digit value ending in 5, as 123456.5), which printf settles by
// the rounding mode: the library writes those.
bool six_digits(double value, std::uint32_t& digits, int& exponent) {
    const std::uint64_t bits = bits_of(value);
    const int biased = static_cast<int>(bits >> 52 & 0x7ff);
    if (biased < 965 || biased > 1074) {
        return false; // 0, below 2^-58, from 2^52 on, or not finite
    }
    const std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | std::uint64_t{1} << 52;
    const int s = 1075 - biased; // value = m x 2^-s, 1 <= s <= 110
    // 10^p <= |value| < 10^(p+1) for p at or just above the floor of
    // (52 - s) log10(2), here from 78913 / 2^18 (shifted to stay positive);
    // the integers settle it.
    int p = ((52 - s) * 78913 + (64 << 18)) / (1 << 18) - 64;
    scaled n;
    for (;;) {
        if (5 - p > 22) {
            return false;
        }
        n = scale(m, s, 5 - p);
        if (n.whole < 1000000) {
            break;
        }
        ++p;
    }
    if (n.whole < 100000 || n.half == 0) {
        return false;
    }
    n.whole += n.half > 0 ? 1 : 0;
    if (n.whole == 1000000) { // 9.999995 up to 10.0000
        n.whole = 100000;
        ++p;
    }
    digits = static_cast<std::uint32_t>(n.whole);
    exponent = p;
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

std::size_t general_chars(double value, char* text) {
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
    return size;
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

std::size_t general_chars(double value, char* text) {
    return static_cast<std::size_t>(std::snprintf(text, number_chars, "%.6g", value));
}

std::string fixed_decimals(double value, int decimals) {
    return portable::fixed(value, decimals);
}

std::string significant(double value, int precision) {
    return portable::general(value, precision);
}
#endif

} // namespace morvex
