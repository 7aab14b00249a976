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
    for (const slope_estimate& s : plot.studies) {
        largest = std::max(largest, finite_or(s.se, 0.0));
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
    for (const slope_estimate& s : plot.studies) {
        lo = std::min(lo, finite_or(s.b, fixed));
        hi = std::max(hi, finite_or(s.b, fixed));
    }
    const double pad = hi > lo ? 0.04 * (hi - lo) : 0.5;
    x.lo = clamp_position(lo - pad);
    x.hi = clamp_position(hi + pad);
    linear_ticks(x, false);
    return x;
}

std::string vertical_axis(const axis& y, const std::string& label) {
    std::string s = line_element(left, y.pixel_lo, left, y.pixel_hi, " stroke=\"#000\"");
    for (const tick& t : y.ticks) {
        const double py = y.pixel(t.position);
        s += line_element(left - 5, py, left, py, " stroke=\"#000\"");
        s += text_element(left - 8, py + 4, t.label, " text-anchor=\"end\"");
    }
    const double middle = 0.5 * (y.pixel_lo + y.pixel_hi);
    return s + "<text x=\"18\" y=\"" + num(middle) + "\" transform=\"rotate(-90 18 " + num(middle) +
           ")\" text-anchor=\"middle\">" + xml_escape(label) + "</text>\n";
}

} // namespace

funnel_plot make_funnel_plot(const pooled_summary& s, const std::string& title,
                             outcome_measure measure) {
    return {title, s.studies, s.fixed.estimate, "per unit of dose", measure};
}

void write_funnel_plot(std::ostream& out, const funnel_plot& plot) {
    const axis y = se_axis(plot);
    const axis x = slope_axis(plot, y.hi);
    const double fixed = finite_or(plot.fixed, 0.0);
    std::string s = svg_open(width, height);
    if (!plot.title.empty()) {
        s += text_element(left, 28, shorten(plot.title, 60),
                          " font-size=\"15\" font-weight=\"bold\"");
    }
    s += "<clipPath id=\"funnel-area\"><rect x=\"" + num(left) + "\" y=\"" + num(top) +
         "\" width=\"" + num(right - left) + "\" height=\"" + num(bottom - top) +
         "\"/></clipPath>\n<g clip-path=\"url(#funnel-area)\">\n";
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
    s += "</g>\n" + vertical_axis(y, "Standard error of the slope");
    s += horizontal_axis(x, bottom,
                         std::string("Slope of the ") + words(plot.measure).slope_of + " " +
                             plot.per_dose);
    s += text_element(left, 46,
                      "Line: fixed effect " + value_text(plot.fixed) +
                          "; dashed: its pseudo 95% limits, estimate \u00b1 1.96 SE",
                      " font-size=\"12\" fill=\"#444\"");
    out << s << "</svg>\n";
}

} // namespace morvex
