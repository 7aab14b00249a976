#include "estimation/pooling/meta_analysis.hpp"

#include "estimation/base/format.hpp"

#include <algorithm>
#include <cmath>

namespace morvex {

meta_analysis analyse(const std::vector<study_summary>& studies, std::optional<double> increment) {
    meta_analysis m;
    m.increment = increment;
    std::vector<slope_estimate> slopes;
    for (const study_summary& s : studies) {
        if (s.status == study_status::complete) {
            m.included.push_back(s);
            slopes.push_back({s.label, s.beta, s.se});
            continue;
        }
        std::string reason = status_name(s.status);
        if (!s.message.empty()) {
            reason += ": " + s.message;
        }
        m.left_out.push_back({s.label, s.input, s.id, reason});
    }
    const std::size_t k = slopes.size();
    if (k < 2) {
        m.not_pooled = format("%zu %s a complete estimate; pooling needs 2 or more", k,
                              k == 1 ? "study has" : "studies have");
        return m;
    }
    try {
        m.pooled = pool(slopes);
    } catch (const pooling_error& e) {
        m.not_pooled = e.what();
    }
    return m;
}

rr_per_increment per_increment(const pooled_estimate& e, double increment) {
    const double a = std::exp(increment * e.lower);
    const double b = std::exp(increment * e.upper);
    return {std::exp(increment * e.estimate), std::fmin(a, b), std::fmax(a, b)};
}

} // namespace morvex
