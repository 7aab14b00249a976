#include "estimation/output/svg/canvas.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>

namespace morvex {
namespace svg {
namespace {

const char* const replacement = "\xEF\xBF\xBD";

// Text longer than 64 characters stands as "0", as it always has.
std::string fitting(const std::string& text) {
    return !text.empty() && text.size() <= 64 ? text : std::string("0");
}

double nice_step(double raw) {
    const double magnitude = elem::pow(10.0, std::floor(elem::log10(raw)));
    const double multiples[] = {1.0, 2.0, 5.0, 10.0};
    return magnitude * *std::find_if(std::begin(multiples), std::end(multiples) - 1,
                                     [&](double m) { return m * magnitude >= raw * (1.0 - 1e-9); });
}

// Ticks are far enough apart for their labels when each gap holds the wider
// of its two labels plus some space; vertical axes need only the text height.
bool ticks_fit(const axis& a, bool vertical) {
    for (std::size_t i = 1; i < a.ticks.size(); ++i) {
        const double gap =
            std::fabs(a.pixel(a.ticks[i].position) - a.pixel(a.ticks[i - 1].position));
        const double need =
            vertical
                ? 1.6 * font_size
                : std::max(text_width(a.ticks[i].label), text_width(a.ticks[i - 1].label)) + 12.0;
        if (gap < need) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string num(double v) {
    v = std::isfinite(v) ? std::clamp(v, -1e7, 1e7) : 0.0;
    const std::string s = fitting(fixed_decimals(v, 2));
    return s == "-0.00" ? "0.00" : s;
}

std::string value_text(double v) {
    if (!std::isfinite(v)) {
        return "n/a";
    }
    const double a = std::fabs(v);
    // Whole numbers from 1000 on rather than 1.23e+03.
    const bool whole = a >= 999.5 && a < 1e6;
    return fitting(whole ? fixed_decimals(v, 0) : significant(v, 3));
}

std::size_t char_count(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
    }));
}

double text_width(const std::string& text) {
    return static_cast<double>(char_count(text)) * char_width;
}

double log_of(double v) {
    return v > 0.0 ? std::clamp(elem::log(v), -log_limit, log_limit) : -log_limit;
}

double clamp_position(double v) {
    return std::isnan(v) ? 0.0 : std::clamp(v, -position_limit, position_limit);
}

double axis::pixel(double v) const {
    const double c = std::clamp(clamp_position(v), lo, hi);
    return pixel_lo + (c - lo) / (hi - lo) * (pixel_hi - pixel_lo);
}

std::string fixed_text(double v, double step) {
    const int decimals = std::max(0, -static_cast<int>(std::floor(elem::log10(step) + 1e-9)));
    const std::string s = fitting(fixed_decimals(v, decimals));
    return s.find_first_not_of("-0.") == std::string::npos ? s.substr(s[0] == '-' ? 1 : 0) : s;
}

axis padded_axis(double lo, double hi, double pixel_lo, double pixel_hi, bool vertical,
                 double share) {
    axis a;
    a.pixel_lo = pixel_lo;
    a.pixel_hi = pixel_hi;
    const double pad = hi > lo ? share * (hi - lo) : 0.5;
    a.lo = clamp_position(lo - pad);
    a.hi = clamp_position(hi + pad);
    linear_ticks(a, vertical);
    return a;
}

void linear_ticks(axis& a, bool vertical) {
    // A range too narrow to tell its ends apart in double precision gets some width.
    if (!(a.hi - a.lo > 1e-9 * std::max(std::fabs(a.lo), std::fabs(a.hi)))) {
        const double half = std::max(0.5, 1e-6 * std::fabs(a.lo));
        a.lo -= half;
        a.hi += half;
    }
    double step = nice_step((a.hi - a.lo) / 5.0);
    const double lo = a.lo;
    const double hi = a.hi;
    for (int attempt = 0; attempt < 40; ++attempt, step = nice_step(step * 1.5)) {
        const double first = std::floor(lo / step + 1e-9);
        const double last = std::ceil(hi / step - 1e-9);
        a.lo = lo - first * step <= 0.5 * step ? first * step : lo;
        a.hi = last * step - hi <= 0.5 * step ? last * step : hi;
        a.ticks.clear();
        const auto count = static_cast<int>(std::min(last - first, 100.0));
        for (int i = 0; i <= count; ++i) {
            const double v = (first + i) * step;
            if (v >= a.lo - 1e-9 * step && v <= a.hi + 1e-9 * step) {
                a.ticks.push_back({v, fixed_text(v, step)});
            }
        }
        if (ticks_fit(a, vertical)) {
            return;
        }
    }
}

std::string general_text(double v) {
    return fitting(significant(v, 6));
}

void log_ticks(axis& a, bool vertical) {
    if (!(a.hi - a.lo > 1e-9)) {
        a.lo -= 0.05;
        a.hi += 0.05;
    }
    const double vlo = elem::exp(a.lo);
    const double vhi = elem::exp(a.hi);
    if (a.hi - a.lo < elem::log(4.0)) {
        for (double step = nice_step((vhi - vlo) / 5.0);; step = nice_step(step * 1.5)) {
            a.ticks.clear();
            const double first = std::ceil(vlo / step - 1e-9);
            const auto count =
                static_cast<int>(std::min(std::floor(vhi / step + 1e-9) - first, 100.0));
            for (int i = 0; i <= count; ++i) {
                const double v = (first + i) * step;
                a.ticks.push_back({elem::log(v), fixed_text(v, step)});
            }
            if (a.ticks.size() <= 2 || ticks_fit(a, vertical)) {
                return;
            }
        }
    }
    const std::vector<std::vector<double>> sets = {
        {1, 1.5, 2, 3, 5, 7}, {1, 2, 5}, {1, 2}, {1, 3}, {1}};
    const int first_decade = static_cast<int>(std::floor(elem::log10(vlo)));
    const int last_decade = static_cast<int>(std::ceil(elem::log10(vhi)));
    for (int stride = 1;; stride *= 2) {
        for (const std::vector<double>& set : sets) {
            if (stride > 1 && set.size() > 1) {
                continue;
            }
            a.ticks.clear();
            for (int e = first_decade; e <= last_decade; ++e) {
                if (e % stride != 0) {
                    continue;
                }
                for (const double m : set) {
                    // Dividing by a power of ten keeps 0.3 from becoming 0.30000000000000004.
                    const double v = e < 0 ? m / elem::pow(10.0, -e) : m * elem::pow(10.0, e);
                    if (v >= vlo * (1 - 1e-12) && v <= vhi * (1 + 1e-12)) {
                        a.ticks.push_back({elem::log(v), general_text(v)});
                    }
                }
            }
            if (a.ticks.size() <= 10 && ticks_fit(a, vertical)) {
                return;
            }
        }
    }
}

std::string shown_axis_label(outcome_measure m) {
    return std::string(words(m).title) + (words(m).ratio ? " (log scale)" : "");
}

std::pair<double, double> axis_range(double core_lo, double core_hi, double extent_lo,
                                     double extent_hi, double limit, double reach) {
    core_lo = std::clamp(clamp_position(core_lo), -limit, limit);
    core_hi = std::clamp(clamp_position(core_hi), -limit, limit);
    extent_lo = std::clamp(clamp_position(extent_lo), -limit, limit);
    extent_hi = std::clamp(clamp_position(extent_hi), -limit, limit);
    double width = core_hi - core_lo;
    if (!(width > 0.0)) {
        width = extent_hi - extent_lo > 0.0 ? extent_hi - extent_lo : std::fabs(core_hi);
    }
    if (!(width > 0.0)) {
        width = 1.0;
    }
    reach = std::isfinite(reach) ? std::clamp(reach, width, limit) : width;
    double lo = std::min(core_lo, std::max(extent_lo, core_lo - reach));
    double hi = std::max(core_hi, std::min(extent_hi, core_hi + reach));
    if (!(hi > lo)) {
        lo -= 0.5 * width;
        hi += 0.5 * width;
    }
    const double pad = 0.04 * (hi - lo);
    return {std::max(-limit, lo - pad), std::min(limit, hi + pad)};
}

std::string clip_path(const char* id, double left, double top, double right, double bottom) {
    return std::string("<clipPath id=\"") + id + "\"><rect x=\"" + num(left) + "\" y=\"" +
           num(top) + "\" width=\"" + num(right - left) + "\" height=\"" + num(bottom - top) +
           "\"/></clipPath>";
}

std::string clipped_group(const char* id, double left, double top, double right, double bottom) {
    return clip_path(id, left, top, right, bottom) + "\n<g clip-path=\"url(#" + id + ")\">\n";
}

std::string text_element(double x, double y, const std::string& text, const char* attributes) {
    return "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\"" + attributes + ">" + xml_escape(text) +
           "</text>\n";
}

std::string line_element(double x1, double y1, double x2, double y2, const char* attributes) {
    return "<line x1=\"" + num(x1) + "\" y1=\"" + num(y1) + "\" x2=\"" + num(x2) + "\" y2=\"" +
           num(y2) + "\"" + attributes + "/>\n";
}

std::string polygon(const std::vector<std::pair<double, double>>& points, const char* attributes) {
    std::string s = "<polygon points=\"";
    for (std::size_t i = 0; i < points.size(); ++i) {
        s += (i ? " " : "") + num(points[i].first) + "," + num(points[i].second);
    }
    return s + "\"" + attributes + "/>\n";
}

std::string arrowhead(double x, double y, double dx, double dy) {
    const double length = 7.0;
    const double half = 4.0;
    return polygon({{x + dx * length, y + dy * length},
                    {x - dy * half, y + dx * half},
                    {x + dy * half, y - dx * half}},
                   " fill=\"#000\"");
}

std::string svg_open(double width, double height) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
           num(width) + "\" height=\"" + num(height) + "\" viewBox=\"0 0 " + num(width) + " " +
           num(height) +
           "\" font-family=\"Helvetica, Arial, 'DejaVu Sans', sans-serif\" font-size=\"13\">\n"
           "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n";
}

std::string polyline(const std::vector<std::pair<double, double>>& points, const char* attributes) {
    std::string s = "<polyline fill=\"none\"" + std::string(attributes) + " points=\"";
    for (std::size_t i = 0; i < points.size(); ++i) {
        s += (i ? " " : "") + num(points[i].first) + "," + num(points[i].second);
    }
    return s + "\"/>\n";
}

std::string vertical_axis(const axis& y, double x, const std::string& label) {
    std::string s = line_element(x, y.pixel_lo, x, y.pixel_hi, " stroke=\"#000\"");
    for (const tick& t : y.ticks) {
        const double py = y.pixel(t.position);
        s += line_element(x - 5, py, x, py, " stroke=\"#000\"");
        s += text_element(x - 8, py + 4, t.label, " text-anchor=\"end\"");
    }
    const double middle = 0.5 * (y.pixel_lo + y.pixel_hi);
    return s + "<text x=\"18\" y=\"" + num(middle) + "\" transform=\"rotate(-90 18 " + num(middle) +
           ")\" text-anchor=\"middle\">" + xml_escape(label) + "</text>\n";
}

std::string horizontal_axis(const axis& a, double y, const std::string& label) {
    std::string s = line_element(a.pixel_lo, y, a.pixel_hi, y, " stroke=\"#000\"");
    for (const tick& t : a.ticks) {
        const double x = a.pixel(t.position);
        s += line_element(x, y, x, y + 5, " stroke=\"#000\"");
        s += text_element(x, y + 19, t.label, " text-anchor=\"middle\"");
    }
    return s +
           text_element(0.5 * (a.pixel_lo + a.pixel_hi), y + 40, label, " text-anchor=\"middle\"");
}

} // namespace svg

std::string xml_escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80U) {
            switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += c < 0x20U || c == 0x7FU ? ' ' : static_cast<char>(c);
            }
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t cp = 0;
        std::uint32_t least = 0;
        if ((c & 0xE0U) == 0xC0U) {
            length = 2, cp = c & 0x1FU, least = 0x80;
        } else if ((c & 0xF0U) == 0xE0U) {
            length = 3, cp = c & 0x0FU, least = 0x800;
        } else if ((c & 0xF8U) == 0xF0U) {
            length = 4, cp = c & 0x07U, least = 0x10000;
        }
        bool valid = length > 0 && i + length <= text.size();
        for (std::size_t j = 1; valid && j < length; ++j) {
            const auto d = static_cast<unsigned char>(text[i + j]);
            valid = (d & 0xC0U) == 0x80U;
            cp = (cp << 6U) | (d & 0x3FU);
        }
        if (!valid || cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) ||
            cp == 0xFFFE || cp == 0xFFFF) {
            out += svg::replacement;
            ++i;
            continue;
        }
        if (cp <= 0x9F) {
            out += ' '; // C1 control characters
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out;
}

std::string shorten(const std::string& text, std::size_t max_chars) {
    if (svg::char_count(text) <= max_chars || max_chars == 0) {
        return max_chars == 0 ? std::string() : text;
    }
    std::size_t kept = 0;
    std::size_t end = 0;
    for (; end < text.size(); ++end) {
        if ((static_cast<unsigned char>(text[end]) & 0xC0U) != 0x80U && kept++ == max_chars - 1) {
            break;
        }
    }
    std::string s = text.substr(0, end);
    s.erase(s.find_last_not_of(' ') + 1);
    return s + "\xE2\x80\xA6";
}

} // namespace morvex
