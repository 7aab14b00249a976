#include "estimation/output/svg/forest_plot.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/output/svg/canvas.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <numeric>
#include <tuple>
#include <utility>

namespace morvex {
namespace {

using namespace svg;

constexpr double row_height = 22.0;
constexpr double margin = 16.0;
const std::size_t max_label_chars = 32;

// Values in axis positions: slopes as they are, or per increment (log
// relative risks, or differences of means).
struct forest_scale {
    std::optional<double> increment;
    outcome_measure measure = outcome_measure::relative_risk;

    // Relative risks per increment go on a log axis, everything else on a linear one.
    bool on_log_axis() const { return increment && words(measure).ratio; }
    // A value as its text shows it.
    double shown(double v) const { return increment ? morvex::shown(measure, *increment * v) : v; }
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
    std::vector<double> widths;
    const auto take_all = [&](const std::vector<forest_row>& rows, bool diamond) {
        for (const forest_row& r : rows) {
            take(r, diamond);
            if (!diamond) {
                widths.push_back(scale.interval(r).second - scale.interval(r).first);
            }
        }
    };
    take_all(plot.rows, false);
    for (const forest_block& b : plot.blocks) {
        take_all(b.rows, false);
        take_all(b.summaries, true);
    }
    take_all(plot.summaries, true);
    double reach = 0.0;
    if (!widths.empty()) {
        const std::size_t middle = (widths.size() - 1) / 2;
        std::nth_element(widths.begin(), widths.begin() + static_cast<std::ptrdiff_t>(middle),
                         widths.end());
        reach = widths[middle];
    }
    const double limit = scale.on_log_axis() ? log_limit : position_limit;
    return axis_range(core_lo, core_hi, extent_lo, extent_hi, limit, reach);
}

std::string interval_text(const forest_row& r, const forest_scale& scale, int decimals) {
    const auto on_scale = [&scale](double v) { return scale.shown(v); };
    double lower = on_scale(r.lower);
    double upper = on_scale(r.upper);
    if (lower > upper) {
        std::swap(lower, upper);
    }
    const double step = elem::pow(10.0, -decimals);
    const auto text = [&](double v) {
        return std::isfinite(v) && std::fabs(v) < 1e15 ? fixed_text(v, step) : value_text(v);
    };
    return text(on_scale(r.estimate)) + " [" + text(lower) + ", " + text(upper) + "]";
}

// What one line of the plot holds, top to bottom.
enum class line_kind { study, summary, heading, note, rule };
struct forest_line {
    line_kind kind;
    const forest_row* row = nullptr; // for a study or a summary
    std::string text;                // its label, a heading or a note
};

std::vector<forest_line> lines_of(const forest_plot& plot) {
    std::vector<forest_line> lines;
    const auto add = [&lines](line_kind kind, const std::vector<forest_row>& rows) {
        std::transform(rows.begin(), rows.end(), std::back_inserter(lines),
                       [kind](const forest_row& r) {
                           return forest_line{kind, &r, r.label};
                       });
    };
    add(line_kind::study, plot.rows);
    for (const forest_block& b : plot.blocks) {
        lines.push_back({line_kind::heading, nullptr, b.heading});
        add(line_kind::study, b.rows);
        add(line_kind::summary, b.summaries);
        if (!b.note.empty()) {
            lines.push_back({line_kind::note, nullptr, b.note});
        }
    }
    if (!plot.summaries.empty() || !plot.notes.empty()) {
        lines.push_back({line_kind::rule, nullptr, ""});
    }
    add(line_kind::summary, plot.summaries);
    std::transform(plot.notes.begin(), plot.notes.end(), std::back_inserter(lines),
                   [](const std::string& note) {
                       return forest_line{line_kind::note, nullptr, note};
                   });
    return lines;
}

double line_height(line_kind kind) {
    return kind == line_kind::rule ? 8.0 : row_height;
}

// Columns, left to right: labels, the plot, "estimate [lower, upper]", weights;
// rows: title, headings, then the lines, then the axis.
struct forest_layout {
    std::vector<forest_line> lines;
    std::vector<std::string> labels;    // per line
    std::vector<std::string> intervals; // per line; empty for headings and notes
    std::string interval_heading;
    double plot_left = 0.0;
    double plot_width = 360.0;
    double interval_right = 0.0;
    double weight_right = 0.0;
    double width = 0.0;
    double header_y = 0.0;
    double first_row = 0.0;
    double axis_y = 0.0;
    double height = 0.0;
};

int plot_decimals(const forest_plot& plot, const std::vector<forest_line>& lines) {
    std::vector<std::pair<double, double>> values;
    for (const forest_line& l : lines) {
        if (l.row != nullptr) {
            const forest_row& r = *l.row;
            const forest_scale scale{plot.increment, plot.measure};
            values.emplace_back(scale.shown(r.lower), scale.shown(r.upper));
        }
    }
    return interval_decimals(values);
}

forest_layout lay_out(const forest_plot& plot) {
    forest_layout f;
    f.lines = lines_of(plot);
    const int decimals = plot_decimals(plot, f.lines);
    double label_width = text_width("Study");
    double interval_width = 0.0;
    double note_width = 0.0;
    for (const forest_line& l : f.lines) {
        const bool note = l.kind == line_kind::note;
        f.labels.push_back(note ? l.text : shorten_middle(l.text, max_label_chars));
        f.intervals.push_back(l.row != nullptr
                                  ? interval_text(*l.row, {plot.increment, plot.measure}, decimals)
                                  : std::string());
        (note ? note_width : label_width) =
            std::max(note ? note_width : label_width, text_width(f.labels.back()));
        interval_width = std::max(interval_width, text_width(f.intervals.back()));
    }
    f.interval_heading = plot.increment
                             ? std::string(words(plot.measure).abbreviation) + " [95% CI]"
                             : "Estimate [95% CI]";
    interval_width = std::max(interval_width, text_width(f.interval_heading));
    const double weight_width = std::max(text_width(plot.weight_heading), text_width("100.00"));
    f.plot_left = margin + label_width + 20.0;
    f.interval_right = f.plot_left + f.plot_width + 20.0 + interval_width;
    f.weight_right = f.interval_right + 20.0 + weight_width;
    f.width = std::max(f.weight_right, margin + note_width) + margin;

    f.header_y = plot.title.empty() ? 24.0 : 52.0;
    f.first_row = f.header_y + 0.5 * row_height + 6.0;
    const double y =
        std::accumulate(f.lines.begin(), f.lines.end(), f.first_row - 0.5 * row_height,
                        [](double sum, const forest_line& l) { return sum + line_height(l.kind); });
    f.axis_y = y + 6.0;
    f.height = f.axis_y + 52.0;
    return f;
}

std::string headings(const forest_plot& plot, const forest_layout& f) {
    std::string s;
    if (!plot.title.empty()) {
        const auto title_chars =
            static_cast<std::size_t>((f.width - 2 * margin) / (char_width * 15 / 13));
        s += text_element(margin, 24, shorten(plot.title, title_chars), title_style);
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

// A summary's diamond, over the line of its prediction interval when it has one.
std::string summary_marks(const forest_row& r, double y, const axis& a, const forest_scale& scale) {
    std::string s;
    if (!std::isnan(r.prediction_lower) && !std::isnan(r.prediction_upper)) {
        const double pl = std::clamp(scale.position(r.prediction_lower), a.lo, a.hi);
        const double pu = std::clamp(scale.position(r.prediction_upper), a.lo, a.hi);
        const double x1 = a.pixel(std::min(pl, pu));
        const double x2 = a.pixel(std::max(pl, pu));
        s += line_element(x1, y, x2, y, " stroke=\"#b03a2e\" stroke-width=\"2\"");
        s += line_element(x1, y - 4, x1, y + 4, " stroke=\"#b03a2e\" stroke-width=\"2\"");
        s += line_element(x2, y - 4, x2, y + 4, " stroke=\"#b03a2e\" stroke-width=\"2\"");
    }
    const auto [l, u] = scale.interval(r);
    const double xe = a.pixel(scale.position(r.estimate));
    const double h = 0.35 * row_height;
    return s + polygon({{a.pixel(l), y}, {xe, y - h}, {a.pixel(u), y}, {xe, y + h}},
                       " fill=\"#222\" stroke=\"#222\"");
}

// One line: a heading or a note in text alone; a study or a summary with its
// label, interval text and marks, and arrowheads where the interval is cut off.
std::string line_marks(const forest_line& line, std::size_t index, double y, double max_weight,
                       const forest_layout& f, const axis& a, const forest_scale& scale) {
    const double baseline = y + 0.35 * font_size;
    switch (line.kind) {
    case line_kind::rule:
        return line_element(margin, y, f.weight_right, y, " stroke=\"#bbb\"");
    case line_kind::heading:
        return text_element(margin, baseline, f.labels[index],
                            " font-weight=\"bold\" font-style=\"italic\"");
    case line_kind::note:
        return text_element(margin, baseline, f.labels[index], " font-size=\"12\"");
    case line_kind::study:
    case line_kind::summary:
        break;
    }
    const bool diamond = line.kind == line_kind::summary;
    const forest_row& r = *line.row;
    std::string s =
        text_element(margin, baseline, f.labels[index], diamond ? " font-weight=\"bold\"" : "");
    s += text_element(f.interval_right, baseline, f.intervals[index],
                      diamond ? " font-weight=\"bold\" text-anchor=\"end\""
                              : " text-anchor=\"end\"");
    s += diamond ? summary_marks(r, y, a, scale)
                 : study_marks(r, y, baseline, max_weight, f, a, scale);
    const auto [l, u] = scale.interval(r);
    if (a.below(l)) {
        s += arrowhead(a.pixel(l), y, -1, 0);
    }
    if (a.above(u)) {
        s += arrowhead(a.pixel(u), y, 1, 0);
    }
    return s;
}

double largest_weight(const std::vector<forest_line>& lines) {
    double max_weight = 0.0;
    for (const forest_line& l : lines) {
        if (l.kind == line_kind::study && std::isfinite(l.row->weight_percent)) {
            max_weight = std::max(max_weight, l.row->weight_percent);
        }
    }
    return max_weight;
}

} // namespace

forest_plot make_forest_plot(const pooled_summary& s, std::optional<double> increment,
                             outcome_measure measure) {
    forest_plot p;
    p.increment = increment;
    p.measure = measure;
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
    const forest_scale scale{plot.increment, plot.measure};
    const forest_layout f = lay_out(plot);
    axis a;
    std::tie(a.lo, a.hi) = forest_range(plot, scale);
    a.pixel_lo = f.plot_left;
    a.pixel_hi = f.plot_left + f.plot_width;
    if (scale.on_log_axis()) {
        log_ticks(a, false);
    } else {
        linear_ticks(a, false);
    }

    std::string s = svg_open(f.width, f.height) + headings(plot, f);
    // The reference line: no effect, a slope or a difference of 0, a relative risk of 1.
    const double reference = a.pixel(0.0);
    s += line_element(reference, f.first_row - 0.5 * row_height, reference, f.axis_y,
                      " stroke=\"#777\" stroke-dasharray=\"4,3\"");
    const double max_weight = largest_weight(f.lines);
    double top = f.first_row - 0.5 * row_height;
    for (std::size_t i = 0; i < f.lines.size(); ++i) {
        const double height = line_height(f.lines[i].kind);
        s += line_marks(f.lines[i], i, top + 0.5 * height, max_weight, f, a, scale);
        top += height;
    }
    std::string axis_label = plot.axis_label;
    if (axis_label.empty()) {
        const measure_words& w = words(plot.measure);
        axis_label = plot.increment
                         ? w.title + (" per " + general_text(*plot.increment)) + " units of dose" +
                               (w.ratio ? " (log scale)" : "")
                         : std::string("Slope of the ") + w.slope_of + " per unit of dose";
    }
    s += horizontal_axis(a, f.axis_y, axis_label);
    out << s << "</svg>\n";
}

std::string shorten_middle(const std::string& text, std::size_t max_chars) {
    const std::string whole = shorten(text, std::string::npos); // valid UTF-8
    const std::size_t count = char_count(whole);
    if (count <= max_chars || max_chars < 3) {
        return shorten(whole, max_chars);
    }
    // The byte where each code point starts, to cut between characters.
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < whole.size(); ++i) {
        if ((static_cast<unsigned char>(whole[i]) & 0xC0U) != 0x80U) {
            starts.push_back(i);
        }
    }
    // The last word (a year) whole when it is short, else the last third.
    std::size_t tail = (max_chars - 1) / 3;
    const std::size_t space = whole.rfind(' ');
    if (space != std::string::npos) {
        const std::size_t word = count - char_count(whole.substr(0, space));
        if (word >= 2 && word <= (max_chars - 1) / 2) {
            tail = word;
        }
    }
    const std::size_t head = max_chars - 1 - tail;
    return whole.substr(0, starts[head]) + "\xE2\x80\xA6" + whole.substr(starts[count - tail]);
}

int interval_decimals(const std::vector<std::pair<double, double>>& values) {
    double narrowest = HUGE_VAL;
    for (const auto& [lower, upper] : values) {
        const double width = std::fabs(upper - lower);
        if (width > 0.0 && std::isfinite(width)) {
            narrowest = std::min(narrowest, width);
        }
    }
    // Enough decimals for about two digits across the narrowest interval.
    int decimals = 2;
    if (std::isfinite(narrowest)) {
        decimals = std::clamp(static_cast<int>(std::ceil(-elem::log10(narrowest))) + 1, 2, 10);
    }
    const auto collapses = [&](int d) {
        const double step = elem::pow(10.0, -d);
        return std::any_of(values.begin(), values.end(), [&](const auto& v) {
            return v.first != v.second && std::isfinite(v.first) && std::isfinite(v.second) &&
                   fixed_text(v.first, step) == fixed_text(v.second, step);
        });
    };
    while (decimals < 10 && collapses(decimals)) {
        ++decimals;
    }
    return decimals;
}

} // namespace morvex
