// A small SVG canvas shared by the pictures: number and label text, text
// measurement, axes with rounded ticks, and the few elements they draw with.
#ifndef MORVEX_ESTIMATION_SVG_CANVAS_HPP
#define MORVEX_ESTIMATION_SVG_CANVAS_HPP

#include "estimation/method/measure.hpp"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace morvex {

// Text made safe for XML character data and attribute values: markup characters
// escaped, invalid UTF-8 and characters XML does not allow replaced by U+FFFD,
// other control characters (tab, line breaks) replaced by spaces.
std::string xml_escape(const std::string& text);

// At most `max_chars` characters (code points) of valid UTF-8 text, ending in an
// ellipsis when shortened.
std::string shorten(const std::string& text, std::size_t max_chars);

namespace svg {

constexpr double font_size = 13.0;
// A generous mean advance of a sans-serif character: text measured with it fits.
constexpr double char_width = 0.6 * font_size;
// Positions beyond these are clipped; they keep every difference finite.
constexpr double position_limit = 1e100;
constexpr double log_limit = 700.0; // exp() of it is finite

// Coordinates: two decimals, whatever the locale.
std::string num(double v);
// A value for people to read: three significant digits.
std::string value_text(double v);
// `v` with as many decimals as a multiple of `step` needs.
std::string fixed_text(double v, double step);
// Six significant digits, as a tick of a log axis or a dose is labelled.
std::string general_text(double v);

// The log of a relative risk kept finite: 0 and below (no figure) go to the axis's end.
double log_of(double v);

std::size_t char_count(const std::string& text);
double text_width(const std::string& text);
double clamp_position(double v);

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

    double pixel(double v) const;
    bool below(double v) const { return !(v >= lo); }
    bool above(double v) const { return !(v <= hi); }
};

// A linear axis over [lo, hi] widened by `share` of its width on each side
// (by 0.5 when lo and hi agree), with its ticks.
axis padded_axis(double lo, double hi, double pixel_lo, double pixel_hi, bool vertical,
                 double share);

// Rounded ticks 1, 2 or 5 times a power of ten apart; the range ends on a tick
// where that widens it by at most half a step.
void linear_ticks(axis& a, bool vertical);

// Ticks of a log axis over [lo, hi] in natural-log units: round numbers of each
// decade, as dense as their labels allow; a narrow range gets evenly spaced
// rounded values instead.
void log_ticks(axis& a, bool vertical);

// How a picture places a measure's figures as shown: relative risks by their
// log on a log axis, differences of means as they are on a linear one.
struct value_scale {
    bool log = true;

    double position(double shown) const { return log ? log_of(shown) : clamp_position(shown); }
    double limit() const { return log ? log_limit : position_limit; }
    void ticks(axis& a, bool vertical) const {
        if (log) {
            log_ticks(a, vertical);
        } else {
            linear_ticks(a, vertical);
        }
    }
};

inline value_scale scale_of(outcome_measure m) {
    return {words(m).ratio};
}

// "Relative risk (log scale)", "Mean difference": a vertical axis of figures as shown.
std::string shown_axis_label(outcome_measure m);

// The range an axis shows: all of `core` (estimates and the reference), and the
// confidence limits in `extent` as far as they lie within `reach` or one core
// width of it; longer intervals are clipped and marked, so that one vague study
// cannot squash the rest.
std::pair<double, double> axis_range(double core_lo, double core_hi, double extent_lo,
                                     double extent_hi, double limit, double reach = 0.0);

// Attributes of a picture's title, and of its caption and notes.
constexpr const char* title_style = " font-size=\"15\" font-weight=\"bold\"";
constexpr const char* note_style = " font-size=\"12\" fill=\"#444\"";

std::string svg_open(double width, double height);
// The plotting area [left, right] x [top, bottom] as a clip path named `id`.
std::string clip_path(const char* id, double left, double top, double right, double bottom);
// That clip path and a group of marks clipped to it, to be closed by "</g>".
std::string clipped_group(const char* id, double left, double top, double right, double bottom);
std::string text_element(double x, double y, const std::string& text, const char* attributes);
std::string line_element(double x1, double y1, double x2, double y2, const char* attributes);
std::string polyline(const std::vector<std::pair<double, double>>& points, const char* attributes);
std::string polygon(const std::vector<std::pair<double, double>>& points, const char* attributes);
// A small arrowhead marking an interval cut off at the end of the axis;
// `dx`, `dy` is the direction it points in.
std::string arrowhead(double x, double y, double dx, double dy);
// A vertical axis at `x` with its ticks, their labels and the axis label
// (turned, at the picture's left edge).
std::string vertical_axis(const axis& y, double x, const std::string& label);
// A horizontal axis at `y` with its ticks, their labels and the axis label.
std::string horizontal_axis(const axis& a, double y, const std::string& label);

} // namespace svg
} // namespace morvex

#endif
