#include "estimation/base/number_text.hpp"

#include <cerrno>
#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>

#if defined(__EMSCRIPTEN__)
#include <emscripten/emscripten.h>

// The JavaScript engine's own shortest round trip, the text of String(value):
// the fewest digits that identify the double and, of those, the nearest. It
// is much faster there than printf and strtod, whose long double is emulated.
// NOLINTNEXTLINE
EM_JS(int, javascript_shortest, (double value, char* text, int size),
      { return stringToUTF8(String(value), text, size); });
#endif

namespace morvex::portable {
namespace {

// digits x 10^(exponent - count + 1): `count` significant digits, the first at 10^exponent.
struct decimal {
    std::uint64_t digits = 0;
    int exponent = 0;
    int count = 0;
};

// printf writes the locale's decimal point; the text here always has '.'.
std::string with_point(std::string text) {
    const char* point = std::localeconv()->decimal_point;
    if (point != nullptr && std::strcmp(point, ".") != 0 && *point != '\0') {
        const std::size_t at = text.find(point);
        if (at != std::string::npos) {
            text.replace(at, std::strlen(point), ".");
        }
    }
    return text;
}

std::string printed(const char* conversion, int precision, double value) {
    const int size = std::snprintf(nullptr, 0, conversion, precision, value);
    std::string text(static_cast<std::size_t>(size > 0 ? size : 0) + 1, '\0');
    std::snprintf(text.data(), text.size(), conversion, precision, value);
    text.pop_back();
    return with_point(std::move(text));
}

#if defined(__EMSCRIPTEN__)
// The digits and exponent of JavaScript's text ("123.25", "1.5e-7", "1e+21",
// and whole numbers below 1e21 in full: "23000000000000000000").
decimal shortest_decimal(double magnitude) {
    char text[40];
    javascript_shortest(magnitude, text, sizeof text);
    decimal d;
    bool point = false;
    int whole = 0; // digits before the point, from the first that is not 0
    const char* c = text;
    for (; *c != '\0' && *c != 'e'; ++c) {
        if (*c == '.') {
            point = true;
        } else if (d.count > 0 || *c != '0') {
            whole += point ? 0 : 1;
            // Past 17 significant digits JavaScript writes only zeros.
            if (d.count < 17) {
                d.digits = d.digits * 10 + static_cast<std::uint64_t>(*c - '0');
                ++d.count;
            }
        } else if (point) {
            --d.exponent; // a leading zero after the point
        }
    }
    d.exponent += whole - 1 + (*c == 'e' ? std::atoi(c + 1) : 0);
    return d;
}
#else
bool reads_back(const decimal& d, double magnitude) {
    char text[48];
    std::snprintf(text, sizeof text, "%llue%d", static_cast<unsigned long long>(d.digits),
                  d.exponent - d.count + 1);
    return std::strtod(text, nullptr) == magnitude; // strtod reads "e", never a decimal point
}

// The correctly rounded `count`-digit decimal of a positive finite magnitude.
decimal rounded(double magnitude, int count) {
    const std::string text = printed("%.*e", count - 1, magnitude);
    decimal d;
    d.count = count;
    std::size_t at = 0;
    for (; at < text.size() && text[at] != 'e'; ++at) {
        if (text[at] >= '0' && text[at] <= '9') {
            d.digits = d.digits * 10 + static_cast<std::uint64_t>(text[at] - '0');
        }
    }
    d.exponent = std::atoi(text.c_str() + at + 1);
    return d;
}

// A `count`-digit decimal that reads back, if there is one: the nearest or,
// just above a power of two where the gap below is half the gap above, the
// next one up.
bool read_back_with(double magnitude, int count, decimal& found) {
    decimal d = rounded(magnitude, count);
    if (reads_back(d, magnitude)) {
        found = d;
        return true;
    }
    d.digits += 1;
    if (!reads_back(d, magnitude)) {
        return false;
    }
    std::uint64_t limit = 1;
    for (int k = 0; k < count; ++k) {
        limit *= 10;
    }
    if (d.digits == limit) { // 9.99 up to 10.0: one digit fewer, one decade higher
        d.digits /= 10;
        d.exponent += 1;
    }
    found = d;
    return true;
}

// Seventeen digits always read back, and a decimal of n digits that reads back
// is one of n + 1 digits too: the fewest are found by bisection.
decimal shortest_decimal(double magnitude) {
    decimal best = rounded(magnitude, 17);
    int low = 1;
    int high = 17; // reads back with `high` digits
    while (low < high) {
        const int middle = (low + high) / 2;
        decimal d;
        if (read_back_with(magnitude, middle, d)) {
            best = d;
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    return best;
}
#endif

} // namespace

std::string shortest(double value) {
    if (!std::isfinite(value)) {
        return {};
    }
    const double magnitude = std::fabs(value);
    std::string text = std::signbit(value) ? "-" : "";
    if (magnitude == 0.0) {
        return text + "0";
    }
    const decimal d = shortest_decimal(magnitude);
    std::string digits = std::to_string(d.digits);
    // Trailing zeros of a decimal that rounded up (9.99 to 10.0) are not significant.
    while (digits.size() > 1 && digits.back() == '0') {
        digits.pop_back();
    }
    const int n = static_cast<int>(digits.size());
    const int x = d.exponent;
    const int scientific_length = n + (n > 1 ? 1 : 0) + (std::abs(x) >= 100 ? 5 : 4);
    const int fixed_length = x >= n - 1 ? x + 1 : x >= 0 ? n + 1 : n + 1 - x;
    if (scientific_length < fixed_length) {
        text += digits.substr(0, 1);
        if (n > 1) {
            text += '.' + digits.substr(1);
        }
        char exponent[16];
        std::snprintf(exponent, sizeof exponent, "e%c%02d", x < 0 ? '-' : '+', std::abs(x));
        return text + exponent;
    }
    if (x >= n - 1) {
        // A whole number: fixed notation writes its exact value, as printf does.
        return text + printed("%.*f", 0, magnitude);
    }
    if (x >= 0) {
        const auto point = static_cast<std::size_t>(x) + 1;
        return text + digits.substr(0, point) + '.' + digits.substr(point);
    }
    return text + "0." + std::string(static_cast<std::size_t>(-x - 1), '0') + digits;
}

std::string fixed(double value, int decimals) {
    return printed("%.*f", decimals, value);
}

std::string general(double value, int precision) {
    return printed("%.*g", precision, value);
}

namespace {

// Exact powers of ten: every one up to 10^22 is a double.
constexpr double powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                    1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

} // namespace

bool exact_decimal(std::uint64_t digits, int exponent, double& magnitude) {
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD == 0
    if (digits == 0) {
        magnitude = 0.0;
        return true;
    }
    if (exponent < -22 || exponent > 22) {
        return false;
    }
    const double n = static_cast<double>(digits);
    magnitude = exponent >= 0 ? n * powers_of_ten[exponent] : n / powers_of_ten[-exponent];
    return true;
#else
    // Arithmetic in a wider type could round twice: no shortcut.
    static_cast<void>(digits);
    static_cast<void>(exponent);
    static_cast<void>(magnitude);
    return false;
#endif
}

bool read_short_decimal(std::string_view text, double& value) {
    std::uint64_t digits = 0;
    int count = 0;
    int exponent = 0;
    bool point = false;
    std::size_t at = !text.empty() && text[0] == '-' ? 1 : 0;
    for (; at < text.size() && text[at] != 'e' && text[at] != 'E'; ++at) {
        if (text[at] == '.') {
            point = true;
        } else if (count > 0 || text[at] != '0') {
            if (++count > 15) {
                return false;
            }
            digits = digits * 10 + static_cast<std::uint64_t>(text[at] - '0');
            exponent -= point ? 1 : 0;
        } else {
            exponent -= point ? 1 : 0;
        }
    }
    if (at < text.size()) {
        std::string_view power = text.substr(at + 1);
        const bool below = !power.empty() && power[0] == '-';
        if (!power.empty() && (power[0] == '-' || power[0] == '+')) {
            power.remove_prefix(1);
        }
        if (power.size() > 5) {
            return false;
        }
        const int e = std::accumulate(power.begin(), power.end(), 0,
                                      [](int sum, char c) { return sum * 10 + (c - '0'); });
        exponent += below ? -e : e;
    }
    double magnitude = 0.0;
    if (!exact_decimal(digits, exponent, magnitude)) {
        return false;
    }
    value = text[0] == '-' ? -magnitude : magnitude;
    return true;
}

bool read_decimal(const std::string& text, double& value) {
    if (read_short_decimal(text, value)) {
        return true;
    }
    std::string local = text;
    const char* point = std::localeconv()->decimal_point;
    const std::size_t at = local.find('.');
    if (at != std::string::npos && point != nullptr && *point != '\0') {
        local.replace(at, 1, point); // strtod reads the locale's decimal point
    }
    errno = 0;
    value = std::strtod(local.c_str(), nullptr);
    if (errno == ERANGE && (value == 0.0 || std::isinf(value))) {
        value = 0.0;
        return false;
    }
    return true;
}

} // namespace morvex::portable
