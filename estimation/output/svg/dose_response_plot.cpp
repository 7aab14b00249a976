#include "estimation/output/svg/dose_response_plot.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/output/svg/canvas.hpp"

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>

namespace morvex {
namespace {

using namespace svg;

constexpr double width = 640.0;
constexpr double height = 470.0;
constexpr double left = 76.0;
constexpr double right = width - 24.0;
constexpr double top = 56.0;
constexpr double bottom = height - 104.0;
constexpr int samples = 64; // points of the curve and of each edge of its band

// The fitted b x (a log relative risk, or a difference), kept finite.
double fitted_at(double b, double dose, const value_scale& scale) {
    return std::clamp(clamp_position(b * dose), -scale.limit(), scale.limit());
}

axis dose_axis(const dose_response_plot& plot) {
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
    // Doses as published: from 0 when the lowest lies near it, else from the
    // lowest (a BMI from 21.6), so the curve is not drawn far beyond the data.
    double lowest = dose_hi;
    for (const dose_point& p : plot.points) {
        if (std::isfinite(p.dose)) {
            lowest = std::min(lowest, p.dose);
        }
    }
    if (lowest > 0.2 * dose_hi) {
        dose_lo = lowest - 0.03 * (dose_hi - lowest);
    }
    dose_lo = clamp_position(dose_lo);
    dose_hi = clamp_position(dose_hi);
    x.lo = dose_lo;
    // A little room after the highest dose keeps its point and limits off the edge.
    x.hi = dose_hi > dose_lo ? dose_hi + 0.03 * (dose_hi - dose_lo) : dose_lo + 1.0;
    linear_ticks(x, false);
    return x;
}

// The measure (log RR, or MD): the points and the curve's ends always; limits
// and band within reach.
axis shown_axis(const dose_response_plot& plot, const axis& x, double beta, double band,
                const value_scale& scale) {
    const auto curve = [&scale](double b, double dose) { return fitted_at(b, dose, scale); };
    const auto at = [&scale](double v) { return scale.position(v); };
    const double x0 = plot.reference_dose;
    double core_lo = std::min({0.0, curve(beta, x.lo - x0), curve(beta, x.hi - x0)});
    double core_hi = std::max({0.0, curve(beta, x.lo - x0), curve(beta, x.hi - x0)});
    double extent_lo = core_lo;
    double extent_hi = core_hi;
    for (const double end : {x.lo, x.hi}) {
        for (const double b : {beta - band, beta + band}) {
            extent_lo = std::min(extent_lo, curve(b, end - x0));
            extent_hi = std::max(extent_hi, curve(b, end - x0));
        }
    }
    for (const dose_point& p : plot.points) {
        core_lo = std::min(core_lo, at(p.rr));
        core_hi = std::max(core_hi, at(p.rr));
        if (!p.reference) {
            extent_lo = std::min(extent_lo, at(std::min(p.lower, p.upper)));
            extent_hi = std::max(extent_hi, at(std::max(p.lower, p.upper)));
        }
    }
    axis y;
    std::tie(y.lo, y.hi) = axis_range(core_lo, core_hi, extent_lo, extent_hi, scale.limit());
    y.pixel_lo = bottom;
    y.pixel_hi = top;
    scale.ticks(y, true);
    return y;
}

// Band, reference line and curve, clipped to the plot area.
std::string band_and_curve(const axis& x, const axis& y, double beta, double band, double x0,
                           const value_scale& scale) {
    const auto curve = [&scale](double b, double dose) { return fitted_at(b, dose, scale); };
    std::vector<std::pair<double, double>> band_points;
    std::vector<std::pair<double, double>> curve_points;
    const auto sample = [&](int i) {
        return x.lo + (x.hi - x.lo) * static_cast<double>(i) / samples;
    };
    const auto dose = [&](int i) { return sample(i) - x0; };
    const auto y_pixel = [&](double log_rr) {
        // Far outside the area but finite; the clip path hides the rest.
        return std::clamp(y.pixel_lo + (log_rr - y.lo) / (y.hi - y.lo) * (y.pixel_hi - y.pixel_lo),
                          top - 1000.0, bottom + 1000.0);
    };
    for (int i = 0; i <= samples; ++i) {
        band_points.emplace_back(x.pixel(sample(i)), y_pixel(curve(beta + band, dose(i))));
        curve_points.emplace_back(x.pixel(sample(i)), y_pixel(curve(beta, dose(i))));
    }
    for (int i = samples; i >= 0; --i) {
        band_points.emplace_back(x.pixel(sample(i)), y_pixel(curve(beta - band, dose(i))));
    }
    std::string s = "<g clip-path=\"url(#plot-area)\">\n";
    s += polygon(band_points, " fill=\"#9ecae1\" fill-opacity=\"0.55\" stroke=\"none\"");
    s += line_element(left, y.pixel(0.0), right, y.pixel(0.0),
                      " stroke=\"#777\" stroke-dasharray=\"4,3\"");
    s += "<polyline fill=\"none\" stroke=\"#08519c\" stroke-width=\"2\" points=\"";
    for (std::size_t i = 0; i < curve_points.size(); ++i) {
        s += (i ? " " : "") + num(curve_points[i].first) + "," + num(curve_points[i].second);
    }
    return s + "\"/>\n</g>\n";
}

// A category's 95% limits with caps (an arrowhead where cut off), then its point.
std::string category_marks(const dose_point& p, const axis& x, const axis& y,
                           const value_scale& scale) {
    const auto at = [&scale](double v) { return scale.position(v); };
    std::string s;
    const double px = x.pixel(std::isfinite(p.dose) ? p.dose : 0.0);
    if (!p.reference) {
        const double l = at(std::min(p.lower, p.upper));
        const double u = at(std::max(p.lower, p.upper));
        s += line_element(px, y.pixel(l), px, y.pixel(u), " stroke=\"#000\" stroke-width=\"1.2\"");
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
    const double r = at(p.rr);
    if (!y.below(r) && !y.above(r)) {
        s += "<circle cx=\"" + num(px) + "\" cy=\"" + num(y.pixel(r)) + "\" r=\"4\"" +
             (p.reference ? " fill=\"#fff\" stroke=\"#000\" stroke-width=\"1.5\"/>\n"
                          : " fill=\"#000\"/>\n");
    }
    return s;
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

// The legend, below the axis.
std::string legend(outcome_measure measure) {
    const measure_words& w = words(measure);
    const double legend_y = bottom + 72;
    std::string s = "<rect x=\"" + num(left) + "\" y=\"" + num(legend_y - 7) +
                    "\" width=\"26\" height=\"14\" fill=\"#9ecae1\" fill-opacity=\"0.55\"/>\n";
    s +=
        line_element(left, legend_y, left + 26, legend_y, " stroke=\"#08519c\" stroke-width=\"2\"");
    s += text_element(
        left + 34, legend_y + 4.5,
        w.ratio ? "Fitted trend exp(beta x), 95% band" : "Fitted trend beta x, 95% band", "");
    const double second = left + 330;
    s += line_element(second + 13, legend_y - 8, second + 13, legend_y + 8, " stroke=\"#000\"");
    s += "<circle cx=\"" + num(second + 13) + "\" cy=\"" + num(legend_y) +
         "\" r=\"4\" fill=\"#000\"/>\n";
    return s + text_element(second + 34, legend_y + 4.5,
                            std::string("Reported ") + w.abbreviation + ", 95% CI", "");
}

} // namespace

dose_response_plot make_dose_response_plot(const study& st, const trend& t) {
    dose_response_plot p;
    p.title = st.title;
    p.beta = t.beta;
    p.se = t.se;
    p.reference_dose = st.x0;
    p.measure = st.measure;
    const double none = no_effect(st.measure);
    p.points.push_back({st.x0, none, none, none, true});
    for (Matrix::size_type i = 0; i < st.x.row_count(); ++i) {
        p.points.push_back({st.x0 + st.x(i, 0), shown(st.measure, st.L(i, 0)),
                            shown(st.measure, st.lo(i, 0)), shown(st.measure, st.hi(i, 0)), false});
    }
    return p;
}

void write_dose_response_plot(std::ostream& out, const dose_response_plot& plot) {
    const double band = z_975 * (std::isfinite(plot.se) ? plot.se : 0.0);
    const double beta = std::isfinite(plot.beta) ? plot.beta : 0.0;
    const axis x = dose_axis(plot);
    const value_scale scale = scale_of(plot.measure);
    const axis y = shown_axis(plot, x, beta, band, scale);

    std::string s = svg_open(width, height);
    s += text_element(0.5 * width, 26, shorten(plot.title, 64),
                      " font-size=\"15\" font-weight=\"bold\" text-anchor=\"middle\"");
    s += text_element(
        0.5 * width, 44,
        "beta = " + value_text(plot.beta) + " (SE " + value_text(plot.se) + ") " + plot.per_dose +
            (plot.reference_dose != 0.0
                 ? "; x counted from the reference dose " + general_text(plot.reference_dose)
                 : std::string()),
        " text-anchor=\"middle\" fill=\"#444\"");
    s += "<defs>" + clip_path("plot-area", left, top, right, bottom) + "</defs>\n";
    const double x0 =
        std::isfinite(plot.reference_dose) ? clamp_position(plot.reference_dose) : 0.0;
    s += band_and_curve(x, y, beta, band, x0, scale);
    for (const dose_point& p : plot.points) {
        s += category_marks(p, x, y, scale);
    }
    s += axes(x, y, plot.dose_label, plot.measure) + legend(plot.measure);
    out << s << "</svg>\n";
}

} // namespace morvex
