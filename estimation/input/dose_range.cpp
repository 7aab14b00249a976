#include "estimation/input/dose_range.hpp"

#include "estimation/base/format.hpp"
#include "estimation/input/number.hpp"
#include "estimation/input/table_header.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace morvex {
namespace {

const char* const en_dash = "\xE2\x80\x93";
const char* const less_equal = "\xE2\x89\xA4";
const char* const greater_equal = "\xE2\x89\xA5";

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// A bound: a plain finite number, not negative (exposures are not).
std::optional<double> bound(std::string_view text) {
    text = trim(text);
    if (text.empty() || text.front() == '-' || text.front() == '+') {
        return std::nullopt;
    }
    const parsed<double> p = parse_number(text);
    if (p.status != number_status::ok || !std::isfinite(p.value) || p.value < 0) {
        return std::nullopt;
    }
    return p.value;
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::optional<dose_range> open_range(std::string_view t) {
    for (const auto& [prefix, shape] :
         {std::pair<std::string_view, dose_range::form>{"<=", dose_range::form::below},
          {less_equal, dose_range::form::below},
          {"<", dose_range::form::below},
          {">=", dose_range::form::above},
          {greater_equal, dose_range::form::above},
          {">", dose_range::form::above}}) {
        if (!starts_with(t, prefix)) {
            continue;
        }
        const std::optional<double> b = bound(t.substr(prefix.size()));
        if (!b || (shape == dose_range::form::below && !(*b > 0))) {
            return std::nullopt;
        }
        return dose_range{shape, *b, *b};
    }
    if (!t.empty() && t.back() == '+') {
        const std::optional<double> b = bound(t.substr(0, t.size() - 1));
        return b ? std::optional<dose_range>(dose_range{dose_range::form::above, *b, *b})
                 : std::nullopt;
    }
    return std::nullopt;
}

} // namespace

bool looks_like_range(std::string_view text) {
    text = trim(text);
    return text.find_first_of("<>+") != std::string_view::npos ||
           text.find(en_dash) != std::string_view::npos ||
           text.find(less_equal) != std::string_view::npos ||
           text.find(greater_equal) != std::string_view::npos ||
           text.find(" to ") != std::string_view::npos ||
           text.find('-', 1) != std::string_view::npos;
}

std::optional<dose_range> parse_dose_range(std::string_view text) {
    const std::string_view t = trim(text);
    if (const std::optional<dose_range> open = open_range(t)) {
        return open;
    }
    // "a-b" splits at the first hyphen after the first character, so that a
    // negative start ("-5-0") is no range.
    for (const std::string_view separator :
         {std::string_view(en_dash), std::string_view(" to "), std::string_view("-")}) {
        const std::size_t at = t.find(separator, 1);
        if (at == std::string_view::npos) {
            continue;
        }
        const std::optional<double> lo = bound(t.substr(0, at));
        const std::optional<double> hi = bound(t.substr(at + separator.size()));
        if (!lo || !hi || !(*lo < *hi)) {
            return std::nullopt;
        }
        return dose_range{dose_range::form::closed, *lo, *hi};
    }
    return std::nullopt;
}

namespace {

// The closed range with the highest upper bound at or below `bound`.
const ranged_dose* closed_below(const std::vector<ranged_dose>& doses, double bound) {
    // Ranges that do not qualify rank below every one that does.
    const auto key = [bound](const ranged_dose& d) {
        return d.range.shape == dose_range::form::closed && d.range.hi <= bound
                   ? d.range.hi
                   : -std::numeric_limits<double>::infinity();
    };
    const auto best = std::max_element(
        doses.begin(), doses.end(),
        [&key](const ranged_dose& a, const ranged_dose& b) { return key(a) < key(b); });
    return best != doses.end() && key(*best) > -std::numeric_limits<double>::infinity() ? &*best
                                                                                        : nullptr;
}

} // namespace

std::vector<dose_assignment> assign_doses(const std::vector<ranged_dose>& doses,
                                          double open_width) {
    std::vector<dose_assignment> result;
    for (const ranged_dose& d : doses) {
        dose_assignment a{d.line, d.text, 0.0, ""};
        switch (d.range.shape) {
        case dose_range::form::closed:
            a.dose = (d.range.lo + d.range.hi) / 2;
            a.rule = "midpoint";
            break;
        case dose_range::form::below:
            a.dose = d.range.hi / 2;
            a.rule = "half the upper bound";
            break;
        case dose_range::form::above: {
            const ranged_dose* next = closed_below(doses, d.range.lo);
            if (next == nullptr) {
                throw table_error(d.line, "the open category " + quoted(d.text) +
                                              " has no closed range below it to take a width "
                                              "from; give its assigned dose");
            }
            a.dose = d.range.lo + open_width * (next->range.hi - next->range.lo) / 2;
            a.rule =
                "the bound plus " +
                (open_width == 1.0 ? std::string("half") : shortest(open_width) + " times half") +
                " the width of " + quoted(next->text) + " on line " + std::to_string(next->line);
            break;
        }
        }
        result.push_back(std::move(a));
    }
    return result;
}

} // namespace morvex
