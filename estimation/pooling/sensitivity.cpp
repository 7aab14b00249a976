#include "estimation/pooling/sensitivity.hpp"

#include "estimation/base/format.hpp"
#include "estimation/base/student_t.hpp"

#include <cmath>

namespace morvex {
namespace {

t_interval with_t(double estimate, double se, int df) {
    t_interval r;
    r.estimate = estimate;
    r.se = se;
    r.df = df;
    const double q = student_t_quantile(0.975, df);
    r.lower = estimate - q * se;
    r.upper = estimate + q * se;
    r.t = estimate / se;
    r.p = student_t_two_sided_p(r.t, df);
    return r;
}

} // namespace

std::string too_few_for(const char* analysis, std::size_t k) {
    if (k >= 3) {
        return {};
    }
    return format("%s needs 3 or more studies, %zu %s pooled", analysis, k, k == 1 ? "is" : "are");
}

std::optional<prediction_interval> predict(const pooled_estimate& e, std::size_t k) {
    if (k < 3) {
        return std::nullopt;
    }
    prediction_interval r;
    r.df = static_cast<int>(k) - 2;
    const double half = student_t_quantile(0.975, r.df) * std::sqrt(e.tau2 + e.se * e.se);
    r.lower = e.estimate - half;
    r.upper = e.estimate + half;
    return r;
}

t_interval knapp_hartung(const std::vector<slope_estimate>& studies, const pooled_estimate& e) {
    double sw = 0.0;
    double swr = 0.0;
    for (const slope_estimate& s : studies) {
        const double w = 1.0 / (s.se * s.se + e.tau2);
        sw += w;
        swr += w * (s.b - e.estimate) * (s.b - e.estimate);
    }
    const int df = static_cast<int>(studies.size()) - 1;
    return with_t(e.estimate, std::sqrt(swr / (df * sw)), df);
}

std::vector<left_one_out> leave_one_out(const std::vector<slope_estimate>& studies) {
    std::vector<left_one_out> result;
    if (studies.size() < 3) {
        return result;
    }
    // The others in order: without study i, then study i back in place of study i + 1.
    std::vector<slope_estimate> others(studies.begin() + 1, studies.end());
    result.reserve(studies.size());
    for (std::size_t i = 0; i < studies.size(); ++i) {
        if (i > 0) {
            others[i - 1] = studies[i - 1];
        }
        left_one_out r;
        r.omitted = i;
        try {
            r.pooled = pool(others);
            // Its figures are kept, not its inputs: memory linear in the studies.
            for (pooled_estimate* e : {&r.pooled->fixed, &r.pooled->dl, &r.pooled->reml}) {
                std::vector<double>().swap(e->weight_percent);
            }
            std::vector<slope_estimate>().swap(r.pooled->studies);
        } catch (const pooling_error& e) {
            r.message = e.what();
        }
        result.push_back(std::move(r));
    }
    return result;
}

egger_test egger(const std::vector<slope_estimate>& studies) {
    // Centred sums: x = 1 / s is the precision, z = y / s the standard normal deviate.
    const auto k = static_cast<double>(studies.size());
    double mx = 0.0;
    double mz = 0.0;
    for (const slope_estimate& s : studies) {
        mx += 1.0 / s.se;
        mz += s.b / s.se;
    }
    mx /= k;
    mz /= k;
    double sxx = 0.0;
    double sxz = 0.0;
    for (const slope_estimate& s : studies) {
        const double dx = 1.0 / s.se - mx;
        sxx += dx * dx;
        sxz += dx * (s.b / s.se - mz);
    }
    egger_test r;
    if (!(sxx > 0.0) || !std::isfinite(sxx)) {
        r.message = "Egger's test needs studies of different standard errors";
        return r;
    }
    r.slope = sxz / sxx;
    const double intercept = mz - r.slope * mx;
    double rss = 0.0;
    for (const slope_estimate& s : studies) {
        const double residual = s.b / s.se - intercept - r.slope / s.se;
        rss += residual * residual;
    }
    const int df = static_cast<int>(studies.size()) - 2;
    const double sigma2 = rss / df;
    r.intercept = with_t(intercept, std::sqrt(sigma2 * (1.0 / k + mx * mx / sxx)), df);
    return r;
}

} // namespace morvex
