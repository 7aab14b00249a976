#include "estimation/output/svg/forest_plot.hpp"

#include "estimation/output/svg/canvas.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <tuple>
#include <utility>

namespace morvex {
namespace {

using namespace svg;

constexpr double row_height = 22.0;
constexpr double margin = 16.0;
const std::size_t max_label_chars = 32;

// Values in axis positions: slopes as they are, or log relative risks per increment.
struct forest_scale {
    std::optional<double> increment;

    double position(double v) const {
        return increment ? clamp_position(*increment * v) : clamp_position(v);
    }
    // An interval's ends in position units; a limit that is not a number is
    // unknown, so the interval is drawn as cut off on that side.
    std::pair<double, double> interval(const forest_row& r) const {
        double l = std::isnan(r.lower) ? -position_limit : position(r.lower);
        double u = std::isnan(r.upper) ? position_limit : position(r.upper);
        if (l > u) {
            std::swap(l, u);
        }
        return {l, u};
    }
};

// The range: estimates and the reference line always, limits within reach, the
// reach being the median width of the studies' intervals (the lower middle one).
std::pair<double, double> forest_range(const forest_plot& plot, const forest_scale& scale) {
    double core_lo = 0.0;
    double core_hi = 0.0;
    double extent_lo = 0.0;
    double extent_hi = 0.0;
    const auto take = [&](const forest_row& r, bool diamond) {
        const double e = std::isnan(r.estimate) ? 0.0 : scale.position(r.estimate);
        const auto [l, u] = scale.interval(r);
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
    std::vector<double> widths(plot.rows.size());
    std::transform(plot.rows.begin(), plot.rows.end(), widths.begin(), [&](const forest_row& r) {
        return scale.interval(r).second - scale.interval(r).first;
    });
    double reach = 0.0;
    if (!widths.empty()) {
        const std::size_t middle = (widths.size() - 1) / 2;
        std::nth_element(widths.begin(), widths.begin() + static_cast<std::ptrdiff_t>(middle),
                         widths.end());
        reach = widths[middle];
    }
    const double limit = plot.increment ? log_limit : position_limit;
    return axis_range(core_lo, core_hi, extent_lo, extent_hi, limit, reach);
}

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

// Columns, left to right: labels, the plot, "estimate [lower, upper]", weights;
// rows: title, headings, studies, summaries, axis.
struct forest_layout {
    std::vector<std::string> labels;    // studies, then summaries
    std::vector<std::string> intervals; // likewise
    std::string interval_heading;
    double plot_left = 0.0;
    double plot_width = 360.0;
    double interval_right = 0.0;
    double weight_right = 0.0;
    double width = 0.0;
    double header_y = 0.0;
    double first_row = 0.0;
    double summary_top = 0.0;
    double axis_y = 0.0;
    double height = 0.0;
};

forest_layout lay_out(const forest_plot& plot) {
    forest_layout f;
    double label_width = text_width("Study");
    double interval_width = 0.0;
    for (const std::vector<forest_row>* rows : {&plot.rows, &plot.summaries}) {
        for (const forest_row& r : *rows) {
            f.labels.push_back(shorten(r.label, max_label_chars));
            label_width = std::max(label_width, text_width(f.labels.back()));
            f.intervals.push_back(interval_text(r, plot.increment));
            interval_width = std::max(interval_width, text_width(f.intervals.back()));
        }
    }
    f.interval_heading = plot.increment ? "RR [95% CI]" : "Estimate [95% CI]";
    interval_width = std::max(interval_width, text_width(f.interval_heading));
    const double weight_width = std::max(text_width(plot.weight_heading), text_width("100.00"));
    f.plot_left = margin + label_width + 20.0;
    f.interval_right = f.plot_left + f.plot_width + 20.0 + interval_width;
    f.weight_right = f.interval_right + 20.0 + weight_width;
    f.width = f.weight_right + margin;

    f.header_y = plot.title.empty() ? 24.0 : 52.0;
    f.first_row = f.header_y + 0.5 * row_height + 6.0;
    f.summary_top = f.first_row + static_cast<double>(plot.rows.size()) * row_height + 8.0;
    f.axis_y = f.summary_top + static_cast<double>(plot.summaries.size()) * row_height + 6;
    f.height = f.axis_y + 52.0;
    return f;
}

std::string headings(const forest_plot& plot, const forest_layout& f) {
    std::string s;
    if (!plot.title.empty()) {
        const auto title_chars =
            static_cast<std::size_t>((f.width - 2 * margin) / (char_width * 15 / 13));
        s += text_element(margin, 24, shorten(plot.title, title_chars),
                          " font-size=\"15\" font-weight=\"bold\"");
    }
    s += text_element(margin, f.header_y, "Study", " font-weight=\"bold\"");
    s += text_element(f.interval_right, f.header_y, f.interval_heading,
                      " font-weight=\"bold\" text-anchor=\"end\"");
    s += text_element(f.weight_right, f.header_y, plot.weight_heading,
                      " font-weight=\"bold\" text-anchor=\"end\"");
    return s +
           line_element(margin, f.header_y + 7, f.weight_right, f.header_y + 7, " stroke=\"#000\"");
}

// A study's square, its area proportional to the weight with a floor so every
// study stays visible, its line and its weight.
std::string study_marks(const forest_row& r, double y, double baseline, double max_weight,
                        const forest_layout& f, const axis& a, const forest_scale& scale) {
    std::string s;
    const auto [l, u] = scale.interval(r);
    const double e = scale.position(r.estimate);
    if (std::isfinite(r.weight_percent)) {
        s += text_element(f.weight_right, baseline, fixed_text(r.weight_percent, 0.01),
                          " text-anchor=\"end\"");
    }
    s += line_element(a.pixel(l), y, a.pixel(u), y, " stroke=\"#000\" stroke-width=\"1.2\"");
    const double share =
        max_weight > 0.0 && r.weight_percent > 0.0 ? std::sqrt(r.weight_percent / max_weight) : 0.0;
    const double side = std::max(4.0, 0.75 * row_height * share);
    if (!std::isnan(r.estimate) && !a.below(e) && !a.above(e)) {
        const double xe = a.pixel(e);
        s += "<rect x=\"" + num(xe - side / 2) + "\" y=\"" + num(y - side / 2) + "\" width=\"" +
             num(side) + "\" height=\"" + num(side) + "\" fill=\"#1f3f6e\"/>\n";
    }
    return s;
}

// One row: label and interval text, then a diamond (a summary) or the study's
// marks, with arrowheads where the interval is cut off.
std::string row_marks(const forest_row& r, std::size_t index, double y, bool diamond,
                      double max_weight, const forest_layout& f, const axis& a,
                      const forest_scale& scale) {
    const double baseline = y + 0.35 * font_size;
    std::string s =
        text_element(margin, baseline, f.labels[index], diamond ? " font-weight=\"bold\"" : "");
    s += text_element(f.interval_right, baseline, f.intervals[index],
                      diamond ? " font-weight=\"bold\" text-anchor=\"end\""
                              : " text-anchor=\"end\"");
    const auto [l, u] = scale.interval(r);
    const double xl = a.pixel(l);
    const double xu = a.pixel(u);
    if (diamond) {
        const double xe = a.pixel(scale.position(r.estimate));
        const double h = 0.35 * row_height;
        s +=
            polygon({{xl, y}, {xe, y - h}, {xu, y}, {xe, y + h}}, " fill=\"#222\" stroke=\"#222\"");
    } else {
        s += study_marks(r, y, baseline, max_weight, f, a, scale);
    }
    if (a.below(l)) {
        s += arrowhead(xl, y, -1, 0);
    }
    if (a.above(u)) {
        s += arrowhead(xu, y, 1, 0);
    }
    return s;
}

double largest_weight(const std::vector<forest_row>& rows) {
    double max_weight = 0.0;
    for (const forest_row& r : rows) {
        if (std::isfinite(r.weight_percent)) {
            max_weight = std::max(max_weight, r.weight_percent);
        }
    }
    return max_weight;
}

} // namespace

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
    const forest_scale scale{plot.increment};
    const forest_layout f = lay_out(plot);
    axis a;
    std::tie(a.lo, a.hi) = forest_range(plot, scale);
    a.pixel_lo = f.plot_left;
    a.pixel_hi = f.plot_left + f.plot_width;
    if (plot.increment) {
        log_ticks(a, false);
    } else {
        linear_ticks(a, false);
    }

    std::string s = svg_open(f.width, f.height) + headings(plot, f);
    // The reference line: no effect, a slope of 0 or a relative risk of 1.
    const double reference = a.pixel(0.0);
    s += line_element(reference, f.first_row - 0.5 * row_height, reference, f.axis_y,
                      " stroke=\"#777\" stroke-dasharray=\"4,3\"");
    const double max_weight = largest_weight(plot.rows);
    const std::size_t n = plot.rows.size();
    for (std::size_t i = 0; i < n; ++i) {
        s += row_marks(plot.rows[i], i, f.first_row + static_cast<double>(i) * row_height, false,
                       max_weight, f, a, scale);
    }
    if (!plot.summaries.empty()) {
        s += line_element(margin, f.summary_top - 4, f.weight_right, f.summary_top - 4,
                          " stroke=\"#bbb\"");
    }
    for (std::size_t i = 0; i < plot.summaries.size(); ++i) {
        s += row_marks(plot.summaries[i], n + i,
                       f.summary_top + (static_cast<double>(i) + 0.5) * row_height, true,
                       max_weight, f, a, scale);
    }
    std::string axis_label = plot.axis_label;
    if (axis_label.empty()) {
        axis_label = plot.increment ? "Relative risk per " + general_text(*plot.increment) +
                                          " units of dose (log scale)"
                                    : "Slope of the log relative risk per unit of dose";
    }
    s += horizontal_axis(a, f.axis_y, axis_label);
    out << s << "</svg>\n";
}

} // namespace morvex
