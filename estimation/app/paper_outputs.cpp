// The session's share of the paper's analyses: the trend's goodness of fit and
// subgroup curves, their pictures and the bubble plot, and the messages a
// study's columns give.
#include "estimation/app/session.hpp"

#include "estimation/base/format.hpp"
#include "estimation/output/dose_wording.hpp"
#include "estimation/output/svg/bubble_plot.hpp"
#include "estimation/output/svg/curve_plot.hpp"
#include "estimation/output/svg/forest_content.hpp"
#include "estimation/output/svg/residual_plot.hpp"

#include <sstream>

namespace morvex {

void session::analyse_trend_further(const curve_result* curve) {
    if (curve != nullptr && curve->message.empty() && !after_.asked.by.empty()) {
        curve_groups_ = analyse_curve_subgroups(curve_studies_, *curve);
    }
    if (!after_.goodness_of_fit) {
        return;
    }
    // Without its knots, the trend has no basis to fit.
    if (curve != nullptr && curve->basis.shape == trend_shape::spline &&
        !knot_problem(curve->basis.knots).empty()) {
        fit_ = goodness_of_fit{};
        fit_->shape = curve->basis.shape;
        fit_->message = "no pooled trend: " + curve->message;
        return;
    }
    fit_ = fit_goodness(curve_studies_, curve != nullptr ? curve->basis : dose_basis{});
}

void session::note_study_problems(const study_summary& s) {
    if (s.status != study_status::complete) {
        return;
    }
    if (after_.asked.highest_vs_lowest && !s.highest.problem.empty()) {
        message_stream() << "Morvex: " << s.highest.problem << '\n';
    }
    for (const column_value& v : s.moderators) {
        if (!v.conflict.empty()) {
            message_stream() << "Morvex: " << v.conflict << '\n';
        }
    }
}

void session::draw_bubble(const meta_analysis& m) {
    if (!m.more.regression || !m.more.regression->fit.message.empty()) {
        bubble_problem_ =
            "a bubble plot needs a meta-regression: " +
            (m.more.regression ? m.more.regression->fit.message : std::string("no pooling"));
        return;
    }
    const regression_analysis& a = *m.more.regression;
    if (!a.moderators.front().numeric) {
        bubble_problem_ = "a bubble plot needs a numeric moderator; column " +
                          quoted(a.moderators.front().name) + " holds text (categories)";
        return;
    }
    bubble_plot plot =
        make_bubble_plot(a, m.pooled->studies, "Meta-regression: " + inputs_title(m));
    plot.measure = m.measure;
    plot.per_dose = per_dose_text(after_.wording());
    std::ostringstream svg;
    write_bubble_plot(svg, plot);
    bubble_ = svg.str();
}

void session::draw_residuals(const goodness_of_fit& g) {
    if (!g.message.empty()) {
        residuals_problem_ = "no goodness of fit to draw: " + g.message;
        return;
    }
    std::ostringstream svg;
    const std::string& input = curve_studies_.front().input;
    write_residual_plot(svg, g,
                        input.substr(input.rfind('/') + 1) + ": residuals of the " +
                            shape_name(g.shape) + format(" trend, %d studies", g.studies),
                        dose_axis_text(after_.wording()));
    residuals_ = svg.str();
}

void session::draw_curve_subgroups(const curve_result& r, const curve_subgroups& groups) {
    if (!r.message.empty() || r.methods.empty()) {
        picture_problem_ = "no pooled curve to draw: " + r.message;
        return;
    }
    const std::string& input = curve_studies_.front().input;
    const std::string title = !after_.forest.title.empty()
                                  ? after_.forest.title
                                  : input.substr(input.rfind('/') + 1) + ": " +
                                        shape_name(r.basis.shape) + " trend by " + after_.asked.by;
    curve_plot plot = make_curve_plot(r, groups, curve_studies_, title);
    plot.dose_label = dose_axis_text(after_.wording());
    std::ostringstream svg;
    write_curve_plot(svg, plot);
    picture_ = svg.str();
}

} // namespace morvex
