#include "estimation/output/svg/residual_plot.hpp"

#include "estimation/output/svg/canvas.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace morvex {
namespace {

using namespace svg;

constexpr double width = 640.0;
constexpr double height = 480.0;
constexpr double left = 84.0;
constexpr double right = width - 28.0;
constexpr double top = 56.0;
constexpr double bottom = height - 80.0;

// Studies told apart by colour, in turn.
const char* const colours[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd",
                               "#ff7f0e", "#8c564b", "#e377c2", "#17becf"};

} // namespace

void write_residual_plot(std::ostream& out, const goodness_of_fit& g, const std::string& title,
                         const std::string& dose_label) {
    double x_lo = HUGE_VAL;
    double x_hi = -HUGE_VAL;
    double y_lo = -1.0; // the zero line and at least one unit either side
    double y_hi = 1.0;
    for (const study_residuals& s : g.residuals) {
        for (std::size_t i = 0; i < s.doses.size(); ++i) {
            if (std::isfinite(s.doses[i]) && std::isfinite(s.residuals[i])) {
                x_lo = std::min(x_lo, s.doses[i]);
                x_hi = std::max(x_hi, s.doses[i]);
                y_lo = std::min(y_lo, s.residuals[i]);
                y_hi = std::max(y_hi, s.residuals[i]);
            }
        }
    }
    if (!(x_lo <= x_hi)) {
        x_lo = 0.0;
        x_hi = 1.0;
    }
    const axis x = padded_axis(x_lo, x_hi, left, right, false, 0.05);
    const axis y = padded_axis(y_lo, y_hi, bottom, top, true, 0.05);
    std::string s = svg_open(width, height);
    s += text_element(left, 28, shorten(title, 64), title_style);
    s += text_element(left, 46,
                      "Decorrelated residuals L\u207b\u00b9r of the fixed-effect " +
                          std::string(shape_name(g.shape)) +
                          " trend; D = " + value_text(g.deviance) + " on " + std::to_string(g.df) +
                          " df, p = " + value_text(g.p),
                      note_style);
    s += clipped_group("residual-area", left, top, right, bottom);
    s += line_element(left, y.pixel(0.0), right, y.pixel(0.0), " stroke=\"#333\"");
    for (const double level : {-1.96, 1.96}) {
        s += line_element(left, y.pixel(level), right, y.pixel(level),
                          " stroke=\"#999\" stroke-dasharray=\"4,4\"");
    }
    for (std::size_t k = 0; k < g.residuals.size(); ++k) {
        const study_residuals& st = g.residuals[k];
        const std::string colour = colours[k % (sizeof colours / sizeof colours[0])];
        std::vector<std::size_t> order(st.doses.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return st.doses[a] < st.doses[b]; });
        std::vector<std::pair<double, double>> points(order.size());
        std::transform(order.begin(), order.end(), points.begin(), [&](std::size_t i) {
            return std::pair{x.pixel(clamp_position(st.doses[i])),
                             y.pixel(clamp_position(st.residuals[i]))};
        });
        const std::string stroke = " stroke=\"" + colour + "\" stroke-opacity=\"0.7\"";
        s += polyline(points, stroke.c_str());
        for (const auto& [px, py] : points) {
            s += "<circle cx=\"" + num(px) + "\" cy=\"" + num(py) + "\" r=\"3\" fill=\"" + colour +
                 "\"/>\n";
        }
    }
    s += "</g>\n" + vertical_axis(y, left, "Decorrelated residual");
    s += horizontal_axis(x, bottom, dose_label);
    s += text_element(left, height - 22,
                      "One colour per study, its categories joined by dose; dashed: \u00b11.96",
                      note_style);
    out << s << "</svg>\n";
}

} // namespace morvex
