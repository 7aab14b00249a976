#include "estimation/output/svg/curve_plot.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"
#include "estimation/output/curve_report.hpp"
#include "estimation/output/svg/canvas.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <tuple>
#include <utility>

namespace morvex {
namespace {

using namespace svg;

constexpr double width = 640.0;
constexpr double height = 500.0; // one line more when reported figures lie beyond the axis
constexpr double left = 76.0;
constexpr double right = width - 24.0;
constexpr double top = 56.0;
constexpr double bottom = height - 138.0;
constexpr int samples = 100;
// Subgroups told apart by colour, in turn; the legend has room for this many.
const char* const group_colours[] = {"#08519c", "#d95f0e", "#2ca02c", "#9467bd", "#8c564b",
                                     "#e377c2", "#17becf", "#bcbd22", "#7f7f7f"};
constexpr std::size_t legend_groups = 9;

// The model drawn: REML when it gave a figure, else the first method that did.
const curve_method* drawn_method(const curve_result& r) {
    const auto reml = std::find_if(r.methods.begin(), r.methods.end(), [](const curve_method& m) {
        return m.available && m.name == "reml";
    });
    const auto any = std::find_if(r.methods.begin(), r.methods.end(),
                                  [](const curve_method& m) { return m.available; });
    return reml != r.methods.end() ? &*reml : any != r.methods.end() ? &*any : nullptr;
}

std::vector<prediction> along(const curve_result& r, const curve_method* m) {
    std::vector<prediction> list;
    for (int i = 0; m != nullptr && i <= samples; ++i) {
        const double dose =
            r.smallest_dose + (r.largest_dose - r.smallest_dose) * static_cast<double>(i) / samples;
        list.push_back(predict(r.basis, *m, dose, r.reference_dose, r.settings.measure));
    }
    return list;
}

axis shown_axis(const curve_plot& plot, const value_scale& scale) {
    const auto at = [&scale](double v) { return scale.position(v); };
    double core_lo = 0.0;
    double core_hi = 0.0;
    double extent_lo = 0.0;
    double extent_hi = 0.0;
    for (const prediction& p : plot.curve) {
        core_lo = std::min(core_lo, at(p.rr));
        core_hi = std::max(core_hi, at(p.rr));
        extent_lo = std::min(extent_lo, at(p.lower));
        extent_hi = std::max(extent_hi, at(p.upper));
    }
    for (const curve_point& p : plot.points) {
        extent_lo = std::min(extent_lo, at(p.rr));
        extent_hi = std::max(extent_hi, at(p.rr));
    }
    for (const curve_group& g : plot.groups) {
        for (const prediction& p : g.curve) {
            core_lo = std::min(core_lo, at(p.rr));
            core_hi = std::max(core_hi, at(p.rr));
            extent_lo = std::min(extent_lo, at(p.lower));
            extent_hi = std::max(extent_hi, at(p.upper));
        }
    }
    axis y;
    std::tie(y.lo, y.hi) = axis_range(core_lo, core_hi, extent_lo, extent_hi, scale.limit());
    y.pixel_lo = bottom;
    y.pixel_hi = top;
    scale.ticks(y, true);
    return y;
}

// Far outside the area but finite (the axis itself stops at its ends); the clip
// path hides the rest.
double y_pixel(const axis& y, double log_rr) {
    return std::clamp(y.pixel_lo + (log_rr - y.lo) / (y.hi - y.lo) * (y.pixel_hi - y.pixel_lo),
                      top - 1000.0, bottom + 1000.0);
}

std::string group_curves(const curve_plot& plot, const axis& x, const axis& y) {
    const auto at = [scale = scale_of(plot.measure)](double v) { return scale.position(v); };
    std::string s = "<g clip-path=\"url(#plot-area)\">\n";
    s += line_element(left, y.pixel(0.0), right, y.pixel(0.0),
                      " stroke=\"#777\" stroke-width=\"0.8\"");
    for (std::size_t g = 0; g < plot.groups.size(); ++g) {
        const std::string colour =
            group_colours[g % (sizeof group_colours / sizeof group_colours[0])];
        std::vector<std::pair<double, double>> band;
        std::vector<std::pair<double, double>> line;
        const std::vector<prediction>& c = plot.groups[g].curve;
        for (const prediction& p : c) {
            band.emplace_back(x.pixel(p.dose), y_pixel(y, at(p.upper)));
            line.emplace_back(x.pixel(p.dose), y_pixel(y, at(p.rr)));
        }
        for (auto p = c.rbegin(); p != c.rend(); ++p) {
            band.emplace_back(x.pixel(p->dose), y_pixel(y, at(p->lower)));
        }
        const std::string fill = " fill=\"" + colour + "\" fill-opacity=\"0.12\" stroke=\"none\"";
        const std::string stroke = " stroke=\"" + colour + "\" stroke-width=\"2.2\"";
        s += polygon(band, fill.c_str()) + polyline(line, stroke.c_str());
    }
    return s + "</g>\n";
}

std::string curves(const curve_plot& plot, const axis& x, const axis& y) {
    if (!plot.groups.empty()) {
        return group_curves(plot, x, y);
    }
    const auto at = [scale = scale_of(plot.measure)](double v) { return scale.position(v); };
    std::vector<std::pair<double, double>> band;
    std::vector<std::pair<double, double>> line;
    std::vector<std::pair<double, double>> linear;
    for (const prediction& p : plot.curve) {
        band.emplace_back(x.pixel(p.dose), y_pixel(y, at(p.upper)));
        line.emplace_back(x.pixel(p.dose), y_pixel(y, at(p.rr)));
    }
    for (auto p = plot.curve.rbegin(); p != plot.curve.rend(); ++p) {
        band.emplace_back(x.pixel(p->dose), y_pixel(y, at(p->lower)));
    }
    std::transform(
        plot.linear.begin(), plot.linear.end(), std::back_inserter(linear),
        [&](const prediction& p) { return std::make_pair(x.pixel(p.dose), y_pixel(y, at(p.rr))); });
    std::string s = "<g clip-path=\"url(#plot-area)\">\n";
    s += polygon(band, " fill=\"#9ecae1\" fill-opacity=\"0.55\" stroke=\"none\"");
    s += line_element(left, y.pixel(0.0), right, y.pixel(0.0),
                      " stroke=\"#777\" stroke-width=\"0.8\"");
    for (const curve_point& p : plot.points) {
        const double log_rr = at(p.rr);
        if (log_rr > y.hi || log_rr < y.lo) {
            // Beyond the axis: a triangle at its edge, pointing the way the figure lies.
            const double px = x.pixel(p.dose);
            const double tip = log_rr > y.hi ? top + 1 : bottom - 1;
            const double base = log_rr > y.hi ? tip + 8 : tip - 8;
            s += polygon({{px, tip}, {px - 4.5, base}, {px + 4.5, base}},
                         " fill=\"#636363\" fill-opacity=\"0.8\"");
            continue;
        }
        s += "<circle cx=\"" + num(x.pixel(p.dose)) + "\" cy=\"" + num(y_pixel(y, log_rr)) +
             "\" r=\"3\" fill=\"#636363\" fill-opacity=\"0.6\"/>\n";
    }
    s += polyline(linear, " stroke=\"#d95f0e\" stroke-width=\"1.6\" stroke-dasharray=\"6,4\"");
    s += polyline(line, " stroke=\"#08519c\" stroke-width=\"2.2\"");
    return s + "</g>\n";
}

// The rug along the bottom of the area, the knots as triangles under the axis.
std::string rug_and_knots(const curve_plot& plot, const axis& x) {
    std::string s;
    for (const double d : plot.rug) {
        s += line_element(x.pixel(d), bottom - 7, x.pixel(d), bottom,
                          " stroke=\"#252525\" stroke-opacity=\"0.5\"");
    }
    for (const double k : plot.knots) {
        const double px = x.pixel(k);
        s += polygon({{px, bottom + 2}, {px - 5, bottom + 10}, {px + 5, bottom + 10}},
                     " fill=\"#d62728\"");
    }
    return s;
}

// The reported figures (RRs, or MDs) that lie beyond the axis's range.
std::size_t beyond_axis(const curve_plot& plot, const axis& y) {
    const value_scale scale = scale_of(plot.measure);
    return static_cast<std::size_t>(
        std::count_if(plot.points.begin(), plot.points.end(), [&](const curve_point& p) {
            return scale.position(p.rr) > y.hi || scale.position(p.rr) < y.lo;
        }));
}

std::string axes(const axis& x, const axis& y, const std::string& dose_label,
                 outcome_measure measure) {
    std::string s = line_element(left, top, left, bottom, " stroke=\"#000\"");
    for (const tick& t : y.ticks) {
        const double py = y.pixel(t.position);
        s += line_element(left - 5, py, left, py, " stroke=\"#000\"");
        s += text_element(left - 8, py + 4.5, t.label, " text-anchor=\"end\"");
    }
    s += "<text transform=\"translate(" + num(20) + "," + num(0.5 * (top + bottom)) +
         ") rotate(-90)\" text-anchor=\"middle\">" + shown_axis_label(measure) + "</text>\n";
    return s + horizontal_axis(x, bottom, dose_label);
}

std::string group_legend(const curve_plot& plot) {
    std::string s;
    for (std::size_t g = 0; g < plot.groups.size() && g < legend_groups; ++g) {
        const std::size_t column = g % 3; // three to a row
        const std::size_t row = g / 3;
        const double px = left + 190.0 * static_cast<double>(column);
        const double py = bottom + 62 + 22.0 * static_cast<double>(row);
        const std::string stroke =
            " stroke=\"" + std::string(group_colours[g]) + "\" stroke-width=\"2.2\"";
        s += line_element(px, py, px + 26, py, stroke.c_str());
        s += text_element(px + 32, py + 4.5, shorten(plot.groups[g].name, 20), "");
    }
    if (plot.groups.size() > legend_groups) {
        s += text_element(left, bottom + 128,
                          "and " + std::to_string(plot.groups.size() - legend_groups) +
                              " more subgroups (colours repeat)",
                          " fill=\"#444\"");
    }
    return s;
}

std::string legend(const curve_plot& plot, std::size_t beyond) {
    if (!plot.groups.empty()) {
        return group_legend(plot);
    }
    const double row1 = bottom + 74;
    const double row2 = row1 + 22;
    std::string s = "<rect x=\"" + num(left) + "\" y=\"" + num(row1 - 7) +
                    "\" width=\"26\" height=\"14\" fill=\"#9ecae1\" fill-opacity=\"0.55\"/>\n";
    s += line_element(left, row1, left + 26, row1, " stroke=\"#08519c\" stroke-width=\"2.2\"");
    s += text_element(left + 34, row1 + 4.5, "Pooled curve (" + plot.model + "), 95% band", "");
    const double second = left + 330; // clear of the longest model name in the first column
    s += line_element(second, row1, second + 26, row1,
                      " stroke=\"#d95f0e\" stroke-width=\"1.6\" stroke-dasharray=\"6,4\"");
    s += text_element(second + 34, row1 + 4.5, "Linear trend", "");
    s += "<circle cx=\"" + num(left + 13) + "\" cy=\"" + num(row2) +
         "\" r=\"3\" fill=\"#636363\" fill-opacity=\"0.6\"/>\n";
    s += text_element(
        left + 34, row2 + 4.5,
        std::string("Reported ") + words(plot.measure).abbreviation + " (own reference)", "");
    if (!plot.knots.empty()) {
        s += polygon({{second + 13, row2 - 5}, {second + 8, row2 + 3}, {second + 18, row2 + 3}},
                     " fill=\"#d62728\"");
        s += text_element(second + 34, row2 + 4.5, "Knots", "");
    }
    s +=
        text_element(left, row2 + 26, "Test for non-linearity: " + journal_p(plot.nonlinear_p), "");
    if (beyond > 0) {
        s += text_element(left, row2 + 48,
                          format("%zu of %zu reported %ss lie%s beyond the axis: triangles at "
                                 "its edge",
                                 beyond, plot.points.size(), words(plot.measure).abbreviation,
                                 beyond == 1 ? "s" : ""),
                          "");
    }
    return s;
}

} // namespace

curve_plot make_curve_plot(const curve_result& r, const curve_result& linear,
                           const std::vector<curve_study>& studies, const std::string& title) {
    curve_plot p;
    p.title = title;
    p.measure = r.settings.measure;
    const curve_method* m = drawn_method(r);
    p.model = m == nullptr ? "none"
                           : std::string(method_title(*m)) +
                                 (r.settings.one_stage ? ", one-stage" : ", two-stage");
    p.curve = along(r, m);
    p.linear = along(linear, drawn_method(linear));
    p.knots = r.basis.knots;
    p.nonlinear_p = m != nullptr && m->beta.row_count() > 1 ? m->nonlinear.p : not_computed;
    for (const curve_study& s : studies) {
        p.rug.push_back(s.x0);
        for (Matrix::size_type i = 0; i < s.dose.row_count(); ++i) {
            p.rug.push_back(s.dose(i, 0));
            p.points.push_back({s.dose(i, 0), shown(p.measure, s.y(i, 0))});
        }
    }
    return p;
}

curve_plot make_curve_plot(const curve_result& r, const curve_subgroups& groups,
                           const std::vector<curve_study>& studies, const std::string& title) {
    curve_plot p = make_curve_plot(r, r, studies, title);
    p.linear.clear();
    p.points.clear();
    for (const curve_subgroup& g : groups.groups) {
        p.groups.push_back(
            {g.value + format(" (%zu)", g.members.size()), along(g.curve, drawn_method(g.curve))});
    }
    return p;
}

void write_curve_plot(std::ostream& out, const curve_plot& plot) {
    axis x;
    x.pixel_lo = left;
    x.pixel_hi = right;
    x.lo = plot.curve.empty() ? 0.0 : clamp_position(plot.curve.front().dose);
    const double hi = plot.curve.empty() ? 1.0 : clamp_position(plot.curve.back().dose);
    x.hi = hi > x.lo ? hi + 0.03 * (hi - x.lo) : x.lo + 1.0;
    linear_ticks(x, false);
    const axis y = shown_axis(plot, scale_of(plot.measure));
    const std::size_t beyond = beyond_axis(plot, y);

    std::string s = svg_open(width, beyond > 0 ? height + 22 : height);
    s += text_element(0.5 * width, 26, shorten(plot.title, 64),
                      " font-size=\"15\" font-weight=\"bold\" text-anchor=\"middle\"");
    s += text_element(0.5 * width, 44,
                      std::string(words(plot.measure).title) + " against the reference dose",
                      " text-anchor=\"middle\" fill=\"#444\"");
    s += "<defs>" + clip_path("plot-area", left, top, right, bottom) + "</defs>\n";
    s += curves(plot, x, y) + rug_and_knots(plot, x) + axes(x, y, plot.dose_label, plot.measure) +
         legend(plot, beyond);
    out << s << "</svg>\n";
}

} // namespace morvex
