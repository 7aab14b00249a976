#include "estimation/output/svg/funnel_plot.hpp"

#include "estimation/output/svg/canvas.hpp"

#include <algorithm>
#include <cmath>

namespace morvex {
namespace {

using namespace svg;

constexpr double width = 600.0;
constexpr double height = 480.0;
constexpr double left = 84.0;
constexpr double right = width - 28.0;
constexpr double top = 56.0;
constexpr double bottom = height - 80.0;

double finite_or(double v, double fallback) {
    return std::isfinite(v) ? clamp_position(v) : fallback;
}

// Standard errors from 0 at the top down past the largest.
axis se_axis(const funnel_plot& plot) {
    axis y;
    y.pixel_lo = top;
    y.pixel_hi = bottom;
    y.lo = 0.0;
    double largest = 0.0;
    for (const auto* list : {&plot.studies, &plot.filled}) {
        for (const slope_estimate& s : *list) {
            largest = std::max(largest, finite_or(s.se, 0.0));
        }
    }
    y.hi = largest > 0.0 ? 1.05 * largest : 1.0;
    linear_ticks(y, true);
    y.lo = 0.0; // the top stays at 0 whatever the ticks widened
    return y;
}

// Slopes: every dot and the pseudo limits at the bottom of the funnel.
axis slope_axis(const funnel_plot& plot, double se_bottom) {
    axis x;
    x.pixel_lo = left;
    x.pixel_hi = right;
    const double fixed = finite_or(plot.fixed, 0.0);
    double lo = fixed - z_975 * se_bottom;
    double hi = fixed + z_975 * se_bottom;
    for (const auto* list : {&plot.studies, &plot.filled}) {
        for (const slope_estimate& s : *list) {
            lo = std::min(lo, finite_or(s.b, fixed));
            hi = std::max(hi, finite_or(s.b, fixed));
        }
    }
    const double pad = hi > lo ? 0.04 * (hi - lo) : 0.5;
    x.lo = clamp_position(lo - pad);
    x.hi = clamp_position(hi + pad);
    linear_ticks(x, false);
    return x;
}

} // namespace

funnel_plot make_funnel_plot(const pooled_summary& s, const std::string& title,
                             outcome_measure measure, const trim_and_fill* fill) {
    funnel_plot plot{title, s.studies, s.fixed.estimate, "per unit of dose", measure, {}, 0.0, {}};
    if (fill != nullptr) {
        for (const filled_study& f : fill->filled) {
            plot.filled.push_back({"filled", f.b, f.se});
        }
        const pooled_summary& a = *fill->adjusted;
        plot.adjusted = fill->model == tau2_method::fixed ? a.fixed.estimate
                        : fill->model == tau2_method::dl  ? a.dl.estimate
                                                          : a.reml.estimate;
        plot.adjusted_model = fill->model == tau2_method::fixed ? "fixed effect"
                              : fill->model == tau2_method::dl  ? "DL"
                                                                : "REML";
    }
    return plot;
}

void write_funnel_plot(std::ostream& out, const funnel_plot& plot) {
    const axis y = se_axis(plot);
    const axis x = slope_axis(plot, y.hi);
    const double fixed = finite_or(plot.fixed, 0.0);
    std::string s = svg_open(width, height);
    if (!plot.title.empty()) {
        s += text_element(left, 28, shorten(plot.title, 60), title_style);
    }
    s += clipped_group("funnel-area", left, top, right, bottom);
    const double apex = x.pixel(fixed);
    for (const double side : {-1.0, 1.0}) {
        s += line_element(apex, y.pixel(0.0), x.pixel(fixed + side * z_975 * y.hi), y.pixel(y.hi),
                          " stroke=\"#555\" stroke-dasharray=\"5,4\"");
    }
    s += line_element(apex, y.pixel(0.0), apex, y.pixel(y.hi), " stroke=\"#1f3f6e\"");
    for (const slope_estimate& e : plot.studies) {
        if (std::isfinite(e.b) && std::isfinite(e.se)) {
            s += "<circle cx=\"" + num(x.pixel(clamp_position(e.b))) + "\" cy=\"" +
                 num(y.pixel(clamp_position(e.se))) +
                 "\" r=\"4\" fill=\"#1f3f6e\" fill-opacity=\"0.75\"/>\n";
        }
    }
    for (const slope_estimate& e : plot.filled) {
        if (std::isfinite(e.b) && std::isfinite(e.se)) {
            s += "<circle cx=\"" + num(x.pixel(clamp_position(e.b))) + "\" cy=\"" +
                 num(y.pixel(clamp_position(e.se))) +
                 "\" r=\"4\" fill=\"#fff\" stroke=\"#b2182b\" stroke-width=\"1.5\"/>\n";
        }
    }
    if (!plot.adjusted_model.empty()) {
        const double ax = x.pixel(clamp_position(finite_or(plot.adjusted, fixed)));
        s += line_element(ax, y.pixel(0.0), ax, y.pixel(y.hi),
                          " stroke=\"#b2182b\" stroke-dasharray=\"2,3\"");
    }
    s += "</g>\n" + vertical_axis(y, left, "Standard error of the slope");
    s += horizontal_axis(x, bottom,
                         std::string("Slope of the ") + words(plot.measure).slope_of + " " +
                             plot.per_dose);
    s += text_element(left, 46,
                      "Line: fixed effect " + value_text(plot.fixed) +
                          "; dashed: its pseudo 95% limits, estimate \u00b1 1.96 SE",
                      note_style);
    if (!plot.adjusted_model.empty()) {
        s += text_element(left, height - 22,
                          "Open circles: " + std::to_string(plot.filled.size()) +
                              (plot.filled.size() == 1 ? " study" : " studies") +
                              " filled (trim-and-fill); dotted: adjusted " + plot.adjusted_model +
                              " " + value_text(plot.adjusted),
                          " font-size=\"12\" fill=\"#b2182b\"");
    }
    out << s << "</svg>\n";
}

} // namespace morvex
