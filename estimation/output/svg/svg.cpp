#include "estimation/output/svg/svg.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <utility>

namespace morvex {
namespace {

constexpr double font_size = 13.0;
// A generous mean advance of a sans-serif character: text measured with it fits.
constexpr double char_width = 0.6 * font_size;
constexpr double row_height = 22.0;
constexpr double margin = 16.0;
// Positions beyond these are clipped; they keep every difference finite.
constexpr double position_limit = 1e100;
constexpr double log_limit = 700.0; // exp() of it is finite
const char* const replacement = "\xEF\xBF\xBD";

std::string chars_to_string(char* first, std::to_chars_result r) {
    return r.ec == std::errc() ? std::string(first, r.ptr) : std::string("0");
}

// Coordinates: two decimals, whatever the locale.
std::string num(double v) {
    v = std::isfinite(v) ? std::clamp(v, -1e7, 1e7) : 0.0;
    std::array<char, 64> buf{};
    std::string s = chars_to_string(buf.data(), std::to_chars(buf.data(), buf.data() + buf.size(),
                                                              v, std::chars_format::fixed, 2));
    return s == "-0.00" ? "0.00" : s;
}

// A value for people to read: three significant digits.
std::string value_text(double v) {
    if (!std::isfinite(v)) {
        return "n/a";
    }
    std::array<char, 64> buf{};
    const double a = std::fabs(v);
    // Whole numbers from 1000 on rather than 1.23e+03.
    const bool whole = a >= 999.5 && a < 1e6;
    return chars_to_string(
        buf.data(), std::to_chars(buf.data(), buf.data() + buf.size(), v,
                                  whole ? std::chars_format::fixed : std::chars_format::general,
                                  whole ? 0 : 3));
}

std::size_t char_count(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
    }));
}

double text_width(const std::string& text) {
    return static_cast<double>(char_count(text)) * char_width;
}

double clamp_position(double v) {
    return std::isnan(v) ? 0.0 : std::clamp(v, -position_limit, position_limit);
}

struct tick {
    double position;
    std::string label;
};

// An axis over [lo, hi] in position units (the slope, or the log of a relative risk).
struct axis {
    double lo = 0.0;
    double hi = 1.0;
    double pixel_lo = 0.0; // pixel of lo and of hi; hi may lie left of or above lo
    double pixel_hi = 1.0;
    std::vector<tick> ticks;

    double pixel(double v) const {
        const double c = std::clamp(clamp_position(v), lo, hi);
        return pixel_lo + (c - lo) / (hi - lo) * (pixel_hi - pixel_lo);
    }
    bool below(double v) const { return !(v >= lo); }
    bool above(double v) const { return !(v <= hi); }
};

double nice_step(double raw) {
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double multiples[] = {1.0, 2.0, 5.0, 10.0};
    return magnitude * *std::find_if(std::begin(multiples), std::end(multiples) - 1,
                                     [&](double m) { return m * magnitude >= raw * (1.0 - 1e-9); });
}

std::string fixed_text(double v, double step) {
    const int decimals = std::max(0, -static_cast<int>(std::floor(std::log10(step) + 1e-9)));
    std::array<char, 64> buf{};
    std::string s =
        chars_to_string(buf.data(), std::to_chars(buf.data(), buf.data() + buf.size(), v,
                                                  std::chars_format::fixed, decimals));
    return s.find_first_not_of("-0.") == std::string::npos ? s.substr(s[0] == '-' ? 1 : 0) : s;
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

// Rounded ticks 1, 2 or 5 times a power of ten apart; the range ends on a tick
// where that widens it by at most half a step.
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
    std::array<char, 64> buf{};
    return chars_to_string(buf.data(), std::to_chars(buf.data(), buf.data() + buf.size(), v,
                                                     std::chars_format::general, 6));
}

// Ticks of a log axis over [lo, hi] in natural-log units: round numbers of each
// decade, as dense as their labels allow; a narrow range gets evenly spaced
// rounded values instead.
void log_ticks(axis& a, bool vertical) {
    if (!(a.hi - a.lo > 1e-9)) {
        a.lo -= 0.05;
        a.hi += 0.05;
    }
    const double vlo = std::exp(a.lo);
    const double vhi = std::exp(a.hi);
    if (a.hi - a.lo < std::log(4.0)) {
        for (double step = nice_step((vhi - vlo) / 5.0);; step = nice_step(step * 1.5)) {
            a.ticks.clear();
            const double first = std::ceil(vlo / step - 1e-9);
            const auto count =
                static_cast<int>(std::min(std::floor(vhi / step + 1e-9) - first, 100.0));
            for (int i = 0; i <= count; ++i) {
                const double v = (first + i) * step;
                a.ticks.push_back({std::log(v), fixed_text(v, step)});
            }
            if (a.ticks.size() <= 2 || ticks_fit(a, vertical)) {
                return;
            }
        }
    }
    const std::vector<std::vector<double>> sets = {
        {1, 1.5, 2, 3, 5, 7}, {1, 2, 5}, {1, 2}, {1, 3}, {1}};
    const int first_decade = static_cast<int>(std::floor(std::log10(vlo)));
    const int last_decade = static_cast<int>(std::ceil(std::log10(vhi)));
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
                    const double v = e < 0 ? m / std::pow(10.0, -e) : m * std::pow(10.0, e);
                    if (v >= vlo * (1 - 1e-12) && v <= vhi * (1 + 1e-12)) {
                        a.ticks.push_back({std::log(v), general_text(v)});
                    }
                }
            }
            if (a.ticks.size() <= 10 && ticks_fit(a, vertical)) {
                return;
            }
        }
    }
}

// The range an axis shows: all of `core` (estimates and the reference), and the
// confidence limits in `extent` as far as they lie within `reach` or one core
// width of it; longer intervals are clipped and marked, so that one vague study
// cannot squash the rest.
std::pair<double, double> axis_range(double core_lo, double core_hi, double extent_lo,
                                     double extent_hi, double limit, double reach = 0.0) {
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

// A small arrowhead marking an interval cut off at the end of the axis;
// `dx`, `dy` is the direction it points in.
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

// A horizontal axis at `y` with its ticks, their labels and the axis label.
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

const std::size_t max_label_chars = 32;

std::string interval_text(const forest_row& r, const std::optional<double>& increment) {
    const auto shown = [&](double v) { return increment ? std::exp(*increment * v) : v; };
    double lower = shown(r.lower);
    double upper = shown(r.upper);
    if (lower > upper) {
        std::swap(lower, upper);
    }
    return value_text(shown(r.estimate)) + " [" + value_text(lower) + ", " + value_text(upper) +
           "]";
}

} // namespace

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
            out += replacement;
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
    if (char_count(text) <= max_chars || max_chars == 0) {
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

forest_plot make_forest_plot(const pooled_summary& s, std::optional<double> increment) {
    forest_plot p;
    p.increment = increment;
    p.weight_heading = "Weight (%)";
    for (std::size_t i = 0; i < s.studies.size(); ++i) {
        const slope_estimate& e = s.studies[i];
        p.rows.push_back(
            {e.label, e.b, e.b - z_975 * e.se, e.b + z_975 * e.se, s.reml.weight_percent[i]});
    }
    p.summaries = {{"Fixed effect", s.fixed.estimate, s.fixed.lower, s.fixed.upper, 100.0},
                   {"Random effects, DL", s.dl.estimate, s.dl.lower, s.dl.upper, 100.0},
                   {"Random effects, REML", s.reml.estimate, s.reml.lower, s.reml.upper, 100.0}};
    return p;
}

void write_forest_plot(std::ostream& out, const forest_plot& plot) {
    const double d = plot.increment.value_or(1.0);
    const auto position = [&](double v) {
        return plot.increment ? clamp_position(d * v) : clamp_position(v);
    };
    // An interval's ends in position units; a limit that is not a number is
    // unknown, so the interval is drawn as cut off on that side.
    const auto interval = [&](const forest_row& r) {
        double l = std::isnan(r.lower) ? -position_limit : position(r.lower);
        double u = std::isnan(r.upper) ? position_limit : position(r.upper);
        if (l > u) {
            std::swap(l, u);
        }
        return std::pair{l, u};
    };

    // The range: estimates and the reference line always, limits within reach.
    double core_lo = 0.0;
    double core_hi = 0.0;
    double extent_lo = 0.0;
    double extent_hi = 0.0;
    const auto take = [&](const forest_row& r, bool diamond) {
        const double e = std::isnan(r.estimate) ? 0.0 : position(r.estimate);
        const auto [l, u] = interval(r);
        core_lo = std::min(core_lo, diamond ? l : e);
        core_hi = std::max(core_hi, diamond ? u : e);
        extent_lo = std::min(extent_lo, l);
        extent_hi = std::max(extent_hi, u);
    };
    for (const forest_row& r : plot.rows) {
        take(r, false);
    }
    for (const forest_row& r : plot.summaries) {
        take(r, true);
    }
    // Reach: the median width of the studies' intervals (the lower middle one).
    std::vector<double> widths(plot.rows.size());
    std::transform(plot.rows.begin(), plot.rows.end(), widths.begin(),
                   [&](const forest_row& r) { return interval(r).second - interval(r).first; });
    double reach = 0.0;
    if (!widths.empty()) {
        const std::size_t middle = (widths.size() - 1) / 2;
        std::nth_element(widths.begin(), widths.begin() + static_cast<std::ptrdiff_t>(middle),
                         widths.end());
        reach = widths[middle];
    }
    const double limit = plot.increment ? log_limit : position_limit;
    const auto [lo, hi] = axis_range(core_lo, core_hi, extent_lo, extent_hi, limit, reach);

    // Columns, left to right: labels, the plot, "estimate [lower, upper]", weights.
    double label_width = text_width("Study");
    std::vector<std::string> labels;
    std::vector<std::string> intervals;
    double interval_width = 0.0;
    for (const std::vector<forest_row>* rows : {&plot.rows, &plot.summaries}) {
        for (const forest_row& r : *rows) {
            labels.push_back(shorten(r.label, max_label_chars));
            label_width = std::max(label_width, text_width(labels.back()));
            intervals.push_back(interval_text(r, plot.increment));
            interval_width = std::max(interval_width, text_width(intervals.back()));
        }
    }
    const std::string interval_heading = plot.increment ? "RR [95% CI]" : "Estimate [95% CI]";
    interval_width = std::max(interval_width, text_width(interval_heading));
    const double weight_width = std::max(text_width(plot.weight_heading), text_width("100.00"));
    const double plot_left = margin + label_width + 20.0;
    const double plot_width = 360.0;
    const double interval_right = plot_left + plot_width + 20.0 + interval_width;
    const double weight_right = interval_right + 20.0 + weight_width;
    const double width = weight_right + margin;

    axis a;
    a.lo = lo;
    a.hi = hi;
    a.pixel_lo = plot_left;
    a.pixel_hi = plot_left + plot_width;
    if (plot.increment) {
        log_ticks(a, false);
    } else {
        linear_ticks(a, false);
    }

    const bool titled = !plot.title.empty();
    const double header_y = titled ? 52.0 : 24.0;
    const double first_row = header_y + 0.5 * row_height + 6.0;
    const std::size_t n = plot.rows.size();
    const double summary_top = first_row + static_cast<double>(n) * row_height + 8.0;
    const double axis_y = summary_top + static_cast<double>(plot.summaries.size()) * row_height + 6;
    const double height = axis_y + 52.0;

    std::string s = svg_open(width, height);
    if (titled) {
        s += text_element(margin, 24,
                          shorten(plot.title, static_cast<std::size_t>((width - 2 * margin) /
                                                                       (char_width * 15 / 13))),
                          " font-size=\"15\" font-weight=\"bold\"");
    }
    s += text_element(margin, header_y, "Study", " font-weight=\"bold\"");
    s += text_element(interval_right, header_y, interval_heading,
                      " font-weight=\"bold\" text-anchor=\"end\"");
    s += text_element(weight_right, header_y, plot.weight_heading,
                      " font-weight=\"bold\" text-anchor=\"end\"");
    s += line_element(margin, header_y + 7, weight_right, header_y + 7, " stroke=\"#000\"");

    // The reference line: no effect, a slope of 0 or a relative risk of 1.
    const double reference = a.pixel(0.0);
    s += line_element(reference, first_row - 0.5 * row_height, reference, axis_y,
                      " stroke=\"#777\" stroke-dasharray=\"4,3\"");

    double max_weight = 0.0;
    for (const forest_row& r : plot.rows) {
        if (std::isfinite(r.weight_percent)) {
            max_weight = std::max(max_weight, r.weight_percent);
        }
    }
    const double max_side = 0.75 * row_height;
    std::size_t index = 0;
    const auto draw_row = [&](const forest_row& r, double y, bool diamond) {
        const double baseline = y + 0.35 * font_size;
        const char* weight = diamond ? " font-weight=\"bold\"" : "";
        s += text_element(margin, baseline, labels[index], weight);
        s += text_element(interval_right, baseline, intervals[index],
                          diamond ? " font-weight=\"bold\" text-anchor=\"end\""
                                  : " text-anchor=\"end\"");
        ++index;
        const auto [l, u] = interval(r);
        const double e = position(r.estimate);
        const double xl = a.pixel(l);
        const double xu = a.pixel(u);
        const double xe = a.pixel(e);
        if (diamond) {
            const double h = 0.35 * row_height;
            s += polygon({{xl, y}, {xe, y - h}, {xu, y}, {xe, y + h}},
                         " fill=\"#222\" stroke=\"#222\"");
        } else {
            if (std::isfinite(r.weight_percent)) {
                s += text_element(weight_right, baseline, fixed_text(r.weight_percent, 0.01),
                                  " text-anchor=\"end\"");
            }
            s += line_element(xl, y, xu, y, " stroke=\"#000\" stroke-width=\"1.2\"");
            // Area proportional to the weight, with a floor so every study stays visible.
            const double share = max_weight > 0.0 && r.weight_percent > 0.0
                                     ? std::sqrt(r.weight_percent / max_weight)
                                     : 0.0;
            const double side = std::max(4.0, max_side * share);
            if (!std::isnan(r.estimate) && !a.below(e) && !a.above(e)) {
                s += "<rect x=\"" + num(xe - side / 2) + "\" y=\"" + num(y - side / 2) +
                     "\" width=\"" + num(side) + "\" height=\"" + num(side) +
                     "\" fill=\"#1f3f6e\"/>\n";
            }
        }
        if (a.below(l)) {
            s += arrowhead(xl, y, -1, 0);
        }
        if (a.above(u)) {
            s += arrowhead(xu, y, 1, 0);
        }
    };
    for (std::size_t i = 0; i < n; ++i) {
        draw_row(plot.rows[i], first_row + static_cast<double>(i) * row_height, false);
    }
    if (!plot.summaries.empty()) {
        s += line_element(margin, summary_top - 4, weight_right, summary_top - 4,
                          " stroke=\"#bbb\"");
    }
    for (std::size_t i = 0; i < plot.summaries.size(); ++i) {
        draw_row(plot.summaries[i], summary_top + (static_cast<double>(i) + 0.5) * row_height,
                 true);
    }
    std::string axis_label = plot.axis_label;
    if (axis_label.empty()) {
        axis_label = plot.increment
                         ? "Relative risk per " + general_text(d) + " units of dose (log scale)"
                         : "Slope of the log relative risk per unit of dose";
    }
    s += horizontal_axis(a, axis_y, axis_label);
    out << s << "</svg>\n";
}

dose_response_plot make_dose_response_plot(const study& st, const trend& t) {
    dose_response_plot p;
    p.title = st.title;
    p.beta = t.beta;
    p.se = t.se;
    p.points.push_back({0.0, 1.0, 1.0, 1.0, true});
    for (Matrix::size_type i = 0; i < st.x.row_count(); ++i) {
        p.points.push_back({st.x(i, 0), std::exp(st.L(i, 0)), std::exp(st.lo(i, 0)),
                            std::exp(st.hi(i, 0)), false});
    }
    return p;
}

void write_dose_response_plot(std::ostream& out, const dose_response_plot& plot) {
    const double width = 640.0;
    const double height = 470.0;
    const double left = 76.0;
    const double right = width - 24.0;
    const double top = 56.0;
    const double bottom = height - 104.0;

    axis x;
    x.pixel_lo = left;
    x.pixel_hi = right;
    double dose_lo = 0.0;
    double dose_hi = 0.0;
    for (const dose_point& p : plot.points) {
        if (std::isfinite(p.dose)) {
            dose_lo = std::min(dose_lo, p.dose);
            dose_hi = std::max(dose_hi, p.dose);
        }
    }
    dose_lo = clamp_position(dose_lo);
    dose_hi = clamp_position(dose_hi);
    x.lo = dose_lo;
    // A little room after the highest dose keeps its point and limits off the edge.
    x.hi = dose_hi > dose_lo ? dose_hi + 0.03 * (dose_hi - dose_lo) : dose_lo + 1.0;
    linear_ticks(x, false);

    // log RR: the points and the curve's ends always; limits and band within reach.
    const double band = z_975 * (std::isfinite(plot.se) ? plot.se : 0.0);
    const double beta = std::isfinite(plot.beta) ? plot.beta : 0.0;
    const auto curve = [&](double b, double dose) {
        return std::clamp(clamp_position(b * dose), -log_limit, log_limit);
    };
    double core_lo = std::min({0.0, curve(beta, x.lo), curve(beta, x.hi)});
    double core_hi = std::max({0.0, curve(beta, x.lo), curve(beta, x.hi)});
    double extent_lo = core_lo;
    double extent_hi = core_hi;
    for (const double end : {x.lo, x.hi}) {
        for (const double b : {beta - band, beta + band}) {
            extent_lo = std::min(extent_lo, curve(b, end));
            extent_hi = std::max(extent_hi, curve(b, end));
        }
    }
    const auto log_of = [](double v) {
        return v > 0.0 ? std::clamp(std::log(v), -log_limit, log_limit) : -log_limit;
    };
    for (const dose_point& p : plot.points) {
        core_lo = std::min(core_lo, log_of(p.rr));
        core_hi = std::max(core_hi, log_of(p.rr));
        if (!p.reference) {
            extent_lo = std::min(extent_lo, log_of(std::min(p.lower, p.upper)));
            extent_hi = std::max(extent_hi, log_of(std::max(p.lower, p.upper)));
        }
    }
    axis y;
    std::tie(y.lo, y.hi) = axis_range(core_lo, core_hi, extent_lo, extent_hi, log_limit);
    y.pixel_lo = bottom;
    y.pixel_hi = top;
    log_ticks(y, true);

    std::string s = svg_open(width, height);
    s += text_element(0.5 * width, 26, shorten(plot.title, 64),
                      " font-size=\"15\" font-weight=\"bold\" text-anchor=\"middle\"");
    s += text_element(0.5 * width, 44,
                      "beta = " + value_text(plot.beta) + " (SE " + value_text(plot.se) +
                          ") per unit of dose",
                      " text-anchor=\"middle\" fill=\"#444\"");
    s += "<defs><clipPath id=\"plot-area\"><rect x=\"" + num(left) + "\" y=\"" + num(top) +
         "\" width=\"" + num(right - left) + "\" height=\"" + num(bottom - top) +
         "\"/></clipPath></defs>\n";

    // Band and curve, clipped to the plot area.
    const int samples = 64;
    std::vector<std::pair<double, double>> band_points;
    std::vector<std::pair<double, double>> curve_points;
    const auto sample = [&](int i) {
        return x.lo + (x.hi - x.lo) * static_cast<double>(i) / samples;
    };
    const auto y_pixel = [&](double log_rr) {
        // Far outside the area but finite; the clip path hides the rest.
        return std::clamp(y.pixel_lo + (log_rr - y.lo) / (y.hi - y.lo) * (y.pixel_hi - y.pixel_lo),
                          top - 1000.0, bottom + 1000.0);
    };
    for (int i = 0; i <= samples; ++i) {
        band_points.emplace_back(x.pixel(sample(i)), y_pixel(curve(beta + band, sample(i))));
        curve_points.emplace_back(x.pixel(sample(i)), y_pixel(curve(beta, sample(i))));
    }
    for (int i = samples; i >= 0; --i) {
        band_points.emplace_back(x.pixel(sample(i)), y_pixel(curve(beta - band, sample(i))));
    }
    s += "<g clip-path=\"url(#plot-area)\">\n";
    s += polygon(band_points, " fill=\"#9ecae1\" fill-opacity=\"0.55\" stroke=\"none\"");
    s += line_element(left, y.pixel(0.0), right, y.pixel(0.0),
                      " stroke=\"#777\" stroke-dasharray=\"4,3\"");
    s += "<polyline fill=\"none\" stroke=\"#08519c\" stroke-width=\"2\" points=\"";
    for (std::size_t i = 0; i < curve_points.size(); ++i) {
        s += (i ? " " : "") + num(curve_points[i].first) + "," + num(curve_points[i].second);
    }
    s += "\"/>\n</g>\n";

    // Each category: its 95% limits with caps (an arrowhead where cut off), then its point.
    for (const dose_point& p : plot.points) {
        const double px = x.pixel(std::isfinite(p.dose) ? p.dose : 0.0);
        if (!p.reference) {
            const double l = log_of(std::min(p.lower, p.upper));
            const double u = log_of(std::max(p.lower, p.upper));
            s += line_element(px, y.pixel(l), px, y.pixel(u),
                              " stroke=\"#000\" stroke-width=\"1.2\"");
            for (const double end : {l, u}) {
                if (y.below(end)) {
                    s += arrowhead(px, y.pixel(end), 0, 1);
                } else if (y.above(end)) {
                    s += arrowhead(px, y.pixel(end), 0, -1);
                } else {
                    s += line_element(px - 4, y.pixel(end), px + 4, y.pixel(end),
                                      " stroke=\"#000\" stroke-width=\"1.2\"");
                }
            }
        }
        const double r = log_of(p.rr);
        if (!y.below(r) && !y.above(r)) {
            s += "<circle cx=\"" + num(px) + "\" cy=\"" + num(y.pixel(r)) + "\" r=\"4\"" +
                 (p.reference ? " fill=\"#fff\" stroke=\"#000\" stroke-width=\"1.5\"/>\n"
                              : " fill=\"#000\"/>\n");
        }
    }

    // Axes.
    s += line_element(left, top, left, bottom, " stroke=\"#000\"");
    for (const tick& t : y.ticks) {
        const double py = y.pixel(t.position);
        s += line_element(left - 5, py, left, py, " stroke=\"#000\"");
        s += text_element(left - 8, py + 4.5, t.label, " text-anchor=\"end\"");
    }
    s += "<text transform=\"translate(" + num(20) + "," + num(0.5 * (top + bottom)) +
         ") rotate(-90)\" text-anchor=\"middle\">Relative risk (log scale)</text>\n";
    s += horizontal_axis(x, bottom, plot.dose_label);

    // Legend, below the axis.
    const double legend_y = bottom + 72;
    s += "<rect x=\"" + num(left) + "\" y=\"" + num(legend_y - 7) +
         "\" width=\"26\" height=\"14\" fill=\"#9ecae1\" fill-opacity=\"0.55\"/>\n";
    s +=
        line_element(left, legend_y, left + 26, legend_y, " stroke=\"#08519c\" stroke-width=\"2\"");
    s += text_element(left + 34, legend_y + 4.5, "Fitted trend exp(beta x), 95% band", "");
    const double second = left + 330;
    s += line_element(second + 13, legend_y - 8, second + 13, legend_y + 8, " stroke=\"#000\"");
    s += "<circle cx=\"" + num(second + 13) + "\" cy=\"" + num(legend_y) +
         "\" r=\"4\" fill=\"#000\"/>\n";
    s += text_element(second + 34, legend_y + 4.5, "Reported RR, 95% CI", "");
    out << s << "</svg>\n";
}

} // namespace morvex
