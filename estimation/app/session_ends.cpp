// What a session keeps for its end, and makes of it there: the studies of the
// pooled trend, the CSV rows that wait for its knots, and the pictures.
#include "estimation/app/session.hpp"

#include "estimation/base/format.hpp"
#include "estimation/output/csv.hpp"
#include "estimation/output/svg/canvas.hpp"
#include "estimation/output/svg/curve_plot.hpp"
#include "estimation/output/svg/dose_response_plot.hpp"
#include "estimation/output/svg/forest_plot.hpp"
#include "estimation/output/svg/funnel_plot.hpp"

#include <sstream>
#include <utility>

namespace morvex {

void session::hold_csv_row(const study_result& r) {
    held_csv_row row{std::string(), std::nullopt};
    append_csv_fields(row.fields, r, after_.increment);
    if (r.status == study_status::complete) {
        row.curve_study = curve_studies_.size(); // keep_for_curve adds it there
    }
    csv_rows_.push_back(std::move(row));
}

void session::keep_for_curve(const study_result& r) {
    if (!after_.curve && !after_.goodness_of_fit) {
        return;
    }
    if (r.status == study_status::complete) {
        curve_studies_.push_back(curve_study_of(r));
        return;
    }
    std::string reason = status_name(r.status);
    if (!r.message.empty()) {
        reason += ": " + r.message;
    }
    curve_left_out_.push_back(
        {r.from_table ? r.input + ": " + r.id : r.input, r.input, r.id, std::move(reason)});
}

void session::draw_curve(const curve_result& r) {
    if (!r.message.empty() || r.methods.empty()) {
        picture_problem_ = "no pooled curve to draw: " + r.message;
        return;
    }
    curve_settings linear = r.settings;
    linear.shape = trend_shape::linear;
    linear.at.clear();
    const curve_result straight = analyse_curve(curve_studies_, linear, {});
    const std::string& input = curve_studies_.front().input;
    const std::string title = !after_.forest.title.empty()
                                  ? after_.forest.title
                                  : input.substr(input.rfind('/') + 1) + ": " +
                                        shape_name(r.basis.shape) +
                                        format(" trend, %d studies", r.pooled);
    curve_plot plot = make_curve_plot(r, straight, curve_studies_, title);
    plot.dose_label = dose_axis_text(after_.wording());
    std::ostringstream svg;
    write_curve_plot(svg, plot);
    picture_ = svg.str();
}

void session::draw(const meta_analysis& m) {
    std::ostringstream svg;
    if (summaries_.size() == 1) {
        if (!first_study_) {
            picture_problem_ = "the only study has no complete estimate to draw";
            return;
        }
        const study_summary& s = summaries_.front();
        dose_response_plot plot = make_dose_response_plot(*first_study_, trend{s.beta, s.se});
        const std::string file = s.input.substr(s.input.rfind('/') + 1);
        // The study's name shortened so that its file always shows.
        const std::string where =
            " (" + (s.id.empty() || s.name.empty() ? "" : "study " + s.id + ", ") + file + ")";
        const std::string name = s.id.empty() ? s.title : study_label(s, true);
        const std::size_t room = where.size() < 40 ? 64 - where.size() : 24;
        plot.title = !after_.forest.title.empty() ? after_.forest.title
                     : name.empty()               ? file
                                                  : shorten(name, room) + where;
        plot.dose_label = dose_axis_text(after_.wording());
        plot.per_dose = per_dose_text(after_.wording());
        write_dose_response_plot(svg, plot);
    } else if (m.included.empty()) {
        picture_problem_ = "no study has a complete estimate to draw";
        return;
    } else if (m.more.highest) {
        forest_request request = after_.forest;
        request.increment = 1.0; // the log relative risks drawn as relative risks
        request.unit.clear();    // the dose's unit: not what this axis is per
        if (request.title.empty()) {
            request.title = "Highest versus lowest: " + inputs_title(m);
        }
        forest_content forest = make_forest(*m.more.highest, request);
        const measure_words& w = words(m.measure);
        forest.plot.axis_label = std::string(w.title) + ", highest dose against the reference" +
                                 (w.ratio ? " (log scale)" : "");
        if (!forest.notice.empty()) {
            err_ << "Morvex: warning: forest plot: " << forest.notice << '\n';
        }
        write_forest_plot(svg, forest.plot);
    } else {
        const forest_content forest = make_forest(m, after_.forest);
        if (!forest.notice.empty()) {
            err_ << "Morvex: warning: forest plot: " << forest.notice << '\n';
        }
        write_forest_plot(svg, forest.plot);
    }
    picture_ = svg.str();
}

void session::draw_funnel(const meta_analysis& m) {
    if (!m.pooled) {
        funnel_problem_ = "a funnel plot needs a pooling: " + m.not_pooled;
        return;
    }
    std::ostringstream svg;
    funnel_plot plot = make_funnel_plot(
        *m.pooled,
        !after_.forest.title.empty() ? after_.forest.title : "Funnel plot: " + inputs_title(m),
        m.measure, m.more.fill ? &*m.more.fill : nullptr);
    plot.per_dose = per_dose_text(after_.wording());
    write_funnel_plot(svg, plot);
    funnel_ = svg.str();
}

} // namespace morvex
