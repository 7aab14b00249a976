#include "estimation/output/svg/bubble_plot.hpp"

#include "estimation/base/student_t.hpp"
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
constexpr double largest_radius = 18.0;
constexpr int samples = 60;

double fitted(const bubble_plot& p, double x) {
    return p.intercept + p.slope * x;
}

double band(const bubble_plot& p, double x) {
    return p.quantile * std::sqrt(std::fmax(0.0, p.c00 + 2.0 * x * p.c01 + x * x * p.c11));
}

} // namespace

bubble_plot make_bubble_plot(const regression_analysis& a,
                             const std::vector<slope_estimate>& slopes, const std::string& title) {
    bubble_plot p;
    p.title = title;
    const meta_regression& r = a.fit;
    p.moderator = a.moderators.front().name;
    for (std::size_t j = 0; j < a.members.size(); ++j) {
        p.x.push_back(a.moderators.front().numbers[j]);
        p.b.push_back(slopes[a.members[j]].b);
        p.weight.push_back(r.weights[j]);
    }
    p.intercept = r.terms[0].estimate;
    p.slope = r.terms[1].estimate;
    p.c00 = r.covariance[0];
    p.c01 = r.covariance[1];
    p.c11 = r.covariance[3];
    p.quantile = r.knapp_hartung ? student_t_quantile(0.975, r.df) : z_975;
    p.caption = "Slope per unit of " + p.moderator + ": " + value_text(p.slope) +
                " (p = " + value_text(r.terms[1].p) +
                "), residual tau\u00b2 = " + value_text(r.tau2) +
                (r.knapp_hartung ? ", Knapp-Hartung" : "");
    return p;
}

void write_bubble_plot(std::ostream& out, const bubble_plot& plot) {
    const auto [x_min, x_max] = std::minmax_element(plot.x.begin(), plot.x.end());
    const double x_lo = plot.x.empty() ? 0.0 : *x_min;
    const double x_hi = plot.x.empty() ? 1.0 : *x_max;
    double y_lo = fitted(plot, x_lo);
    double y_hi = y_lo;
    for (const double b : plot.b) {
        y_lo = std::min(y_lo, b);
        y_hi = std::max(y_hi, b);
    }
    for (const double x : {x_lo, x_hi}) {
        y_lo = std::min(y_lo, fitted(plot, x) - band(plot, x));
        y_hi = std::max(y_hi, fitted(plot, x) + band(plot, x));
    }
    const axis x = padded_axis(x_lo, x_hi, left, right, false, 0.06);
    const axis y = padded_axis(y_lo, y_hi, bottom, top, true, 0.06);
    std::string s = svg_open(width, height);
    s += text_element(left, 28, shorten(plot.title, 60), title_style);
    s += text_element(left, 46, plot.caption, note_style);
    s += clipped_group("bubble-area", left, top, right, bottom);
    std::vector<std::pair<double, double>> upper;
    std::vector<std::pair<double, double>> lower;
    std::vector<std::pair<double, double>> line;
    for (int i = 0; i <= samples; ++i) {
        const double v = x.lo + (x.hi - x.lo) * i / samples;
        const double f = fitted(plot, v);
        line.emplace_back(x.pixel(v), y.pixel(clamp_position(f)));
        upper.emplace_back(x.pixel(v), y.pixel(clamp_position(f + band(plot, v))));
        lower.emplace_back(x.pixel(v), y.pixel(clamp_position(f - band(plot, v))));
    }
    std::vector<std::pair<double, double>> area = upper;
    area.insert(area.end(), lower.rbegin(), lower.rend());
    s += polygon(area, " fill=\"#9ecae1\" fill-opacity=\"0.45\" stroke=\"none\"");
    if (y.lo < 0.0 && y.hi > 0.0) {
        s += line_element(left, y.pixel(0.0), right, y.pixel(0.0),
                          " stroke=\"#777\" stroke-width=\"0.8\"");
    }
    const double heaviest =
        plot.weight.empty() ? 1.0 : *std::max_element(plot.weight.begin(), plot.weight.end());
    // Lightest last would hide under the heavy: the heaviest are drawn first.
    std::vector<std::size_t> order(plot.x.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return plot.weight[a] > plot.weight[b]; });
    for (const std::size_t i : order) {
        const double radius = std::max(2.0, largest_radius * std::sqrt(plot.weight[i] / heaviest));
        s += "<circle cx=\"" + num(x.pixel(clamp_position(plot.x[i]))) + "\" cy=\"" +
             num(y.pixel(clamp_position(plot.b[i]))) + "\" r=\"" + num(radius) +
             "\" fill=\"#1f3f6e\" fill-opacity=\"0.35\" stroke=\"#1f3f6e\"/>\n";
    }
    s += polyline(line, " stroke=\"#08519c\" stroke-width=\"2.2\"");
    s += "</g>\n" + vertical_axis(y, left,
                                  std::string("Slope of the ") + words(plot.measure).slope_of +
                                      " " + plot.per_dose);
    s += horizontal_axis(x, bottom, plot.moderator);
    s += text_element(left, height - 22,
                      "Circle area: the study's weight; line: the fit, band: its 95% limits",
                      note_style);
    out << s << "</svg>\n";
}

} // namespace morvex
