#include "estimation/pooling/small_studies.hpp"

#include "estimation/base/distributions.hpp"
#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"
#include "estimation/method/study.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace morvex {
namespace {

// Far more than needed: k0 settles within a few steps.
constexpr int fill_iteration_limit = 100;

const pooled_estimate& of_model(const pooled_summary& s, tau2_method model) {
    return model == tau2_method::fixed ? s.fixed : model == tau2_method::dl ? s.dl : s.reml;
}

// The centre of the first `count` studies of `sorted` under the model.
double centre_of(const std::vector<slope_estimate>& sorted, std::size_t count, tau2_method model) {
    if (count == 1) {
        return sorted.front().b;
    }
    const std::vector<slope_estimate> kept(sorted.begin(),
                                           sorted.begin() + static_cast<std::ptrdiff_t>(count));
    return of_model(pool(kept), model).estimate;
}

// The rounding a weighted mean of the slopes may carry: a slope closer than
// this to such a mean equals it. Equal slopes would otherwise fall on either
// side by the sign of that rounding, and show an asymmetry the data lack.
double rounding_noise(const std::vector<slope_estimate>& studies) {
    double largest = 0.0;
    for (const slope_estimate& s : studies) {
        largest = std::max(largest, std::abs(s.b));
    }
    return 8.0 * static_cast<double>(studies.size()) * std::numeric_limits<double>::epsilon() *
           largest;
}

// k0 from the ranks of |b - centre|, ties in the order of `sorted`.
int estimate_k0(const std::vector<slope_estimate>& sorted, double centre,
                fill_estimator estimator) {
    const std::size_t k = sorted.size();
    const double noise = rounding_noise(sorted);
    std::vector<double> difference(k);
    for (std::size_t i = 0; i < k; ++i) {
        const double d = sorted[i].b - centre;
        difference[i] = std::abs(d) <= noise ? 0.0 : d;
    }
    std::vector<std::size_t> order(k);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return std::fabs(difference[a]) < std::fabs(difference[b]);
    });
    double k0 = 0.0;
    if (estimator == fill_estimator::l0) {
        double positive = 0.0; // S_r: the sum of the positive ranks
        for (std::size_t r = 0; r < k; ++r) {
            if (difference[order[r]] > 0.0) {
                positive += static_cast<double>(r + 1);
            }
        }
        const auto n = static_cast<double>(k);
        k0 = std::round((4.0 * positive - n * (n + 1.0)) / (2.0 * n - 1.0));
    } else {
        std::size_t run = 0; // the highest ranks, all positive
        while (run < k && difference[order[k - 1 - run]] > 0.0) {
            ++run;
        }
        k0 = static_cast<double>(run) - 1.0;
    }
    return static_cast<int>(std::fmax(0.0, k0));
}

} // namespace

trim_and_fill fill_missing(const std::vector<slope_estimate>& studies, fill_estimator estimator,
                           tau2_method model) {
    trim_and_fill t;
    t.estimator = estimator;
    t.model = model;
    const std::size_t k = studies.size();
    moderator_values se{"standard error", true, {}, {}};
    for (const slope_estimate& s : studies) {
        se.numbers.push_back(s.se);
    }
    const meta_regression side = regress(studies, {se}, false, model);
    if (!side.message.empty()) {
        t.message = "trim-and-fill cannot tell the side of the missing studies: " + side.message;
        return t;
    }
    t.side_slope = side.terms[1].estimate;
    t.missing_right = t.side_slope < 0.0;
    // Studies missing on the right are filled as those missing on the left of -b.
    const double flip = t.missing_right ? -1.0 : 1.0;
    std::vector<std::size_t> index(k);
    std::iota(index.begin(), index.end(), std::size_t{0});
    std::stable_sort(index.begin(), index.end(), [&](std::size_t a, std::size_t b) {
        return flip * studies[a].b < flip * studies[b].b;
    });
    std::vector<slope_estimate> sorted(k);
    for (std::size_t i = 0; i < k; ++i) {
        sorted[i] = studies[index[i]];
        sorted[i].b *= flip;
    }
    int previous = -1;
    while (t.k0 != previous && t.iterations < fill_iteration_limit) {
        previous = t.k0;
        ++t.iterations;
        t.centre = centre_of(sorted, k - static_cast<std::size_t>(t.k0), model);
        t.k0 = std::min(estimate_k0(sorted, t.centre, estimator), static_cast<int>(k) - 1);
    }
    t.converged = t.k0 == previous;
    if (!t.converged) {
        t.message =
            format("trim-and-fill: k0 did not settle within %d steps", fill_iteration_limit);
        return t;
    }
    std::vector<slope_estimate> all = studies;
    for (std::size_t j = k - static_cast<std::size_t>(t.k0); j < k; ++j) {
        filled_study f{index[j], flip * (2.0 * t.centre - sorted[j].b), sorted[j].se};
        t.filled.push_back(f);
        all.push_back({"filled: " + studies[f.mirrored].label, f.b, f.se});
    }
    t.centre *= flip;
    t.adjusted = pool(all);
    return t;
}

std::vector<double> discordant_probabilities(int n) {
    // The distribution of inversions (Mahonian numbers) as probabilities: adding
    // the n-th element adds 0..n-1 inversions, each equally likely.
    std::vector<double> p{1.0};
    for (int m = 2; m <= n; ++m) {
        std::vector<double> next(p.size() + static_cast<std::size_t>(m) - 1, 0.0);
        // Summed afresh rather than as a sliding window, whose subtractions
        // would cost a small tail its digits.
        for (std::size_t i = 0; i < next.size(); ++i) {
            const std::size_t first = i + 1 >= static_cast<std::size_t>(m) ? i + 1 - m : 0;
            double sum = 0.0;
            for (std::size_t j = first; j <= i && j < p.size(); ++j) {
                sum += p[j];
            }
            next[i] = sum / m;
        }
        p = std::move(next);
    }
    return p;
}

rank_correlation rank_test(const std::vector<slope_estimate>& studies) {
    rank_correlation r;
    const std::size_t k = studies.size();
    double sw = 0.0;
    double swb = 0.0;
    for (const slope_estimate& s : studies) {
        sw += 1.0 / (s.se * s.se);
        swb += s.b / (s.se * s.se);
    }
    const double fixed = swb / sw;
    const double fixed_variance = 1.0 / sw;
    const double noise = rounding_noise(studies);
    std::vector<double> x(k);
    std::vector<double> y(k);
    for (std::size_t i = 0; i < k; ++i) {
        y[i] = studies[i].se * studies[i].se;
        const double difference = studies[i].b - fixed;
        x[i] = std::abs(difference) <= noise ? 0.0 : difference / std::sqrt(y[i] - fixed_variance);
    }
    double S = 0.0;
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = i + 1; j < k; ++j) {
            const double dx = x[i] - x[j];
            const double dy = y[i] - y[j];
            S += static_cast<double>((dx > 0.0) - (dx < 0.0)) * ((dy > 0.0) - (dy < 0.0));
        }
    }
    // Tied groups of each variable: sum t(t-1), t(t-1)(t-2), t(t-1)(2t+5).
    struct ties {
        double pairs = 0.0, triples = 0.0, variance = 0.0;
    };
    const auto tied = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        ties t;
        for (std::size_t i = 0; i < v.size();) {
            std::size_t j = i;
            while (j < v.size() && v[j] == v[i]) {
                ++j;
            }
            const auto n = static_cast<double>(j - i);
            t.pairs += n * (n - 1.0);
            t.triples += n * (n - 1.0) * (n - 2.0);
            t.variance += n * (n - 1.0) * (2.0 * n + 5.0);
            i = j;
        }
        return t;
    };
    const ties tx = tied(x);
    const ties ty = tied(y);
    const auto n = static_cast<double>(k);
    const double pairs = n * (n - 1.0) / 2.0;
    if (tx.pairs == 2.0 * pairs || ty.pairs == 2.0 * pairs) {
        r.message = tx.pairs == 2.0 * pairs
                        ? "the slopes are all equal: no two studies can be ranked"
                        : "the studies' SEs are all equal: no two studies can be ranked";
        r.tau = r.z = r.p = std::numeric_limits<double>::quiet_NaN(); // no test, no figure
        return r;
    }
    r.S = S;
    r.tau = S / std::sqrt((pairs - tx.pairs / 2.0) * (pairs - ty.pairs / 2.0));
    r.exact = k < exact_rank_limit && tx.pairs == 0.0 && ty.pairs == 0.0;
    if (r.exact) {
        // Each tail summed from its own end, so that a small one keeps its digits.
        const auto discordant = static_cast<std::size_t>(std::llround((pairs - S) / 2.0));
        const std::vector<double> p = discordant_probabilities(static_cast<int>(k));
        double lower = 0.0;
        double upper = 0.0;
        for (std::size_t d = 0; d < p.size(); ++d) {
            (d <= discordant ? lower : upper) += p[d];
            if (d == discordant) {
                upper += p[d];
            }
        }
        r.z = not_computed;
        r.p = std::fmin(1.0, 2.0 * std::fmin(lower, upper));
        return r;
    }
    const double variance = (n * (n - 1.0) * (2.0 * n + 5.0) - tx.variance - ty.variance) / 18.0 +
                            tx.pairs * ty.pairs / (2.0 * n * (n - 1.0)) +
                            tx.triples * ty.triples / (9.0 * n * (n - 1.0) * (n - 2.0));
    r.z = S / std::sqrt(variance);
    r.p = normal_two_sided_p(r.z);
    return r;
}

} // namespace morvex
