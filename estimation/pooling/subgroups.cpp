#include "estimation/pooling/subgroups.hpp"

#include "estimation/base/distributions.hpp"
#include "estimation/base/format.hpp"

#include <algorithm>
#include <cmath>

namespace morvex {
namespace {

pooled_estimate single_study(const slope_estimate& s) {
    pooled_estimate e;
    e.estimate = s.b;
    e.se = s.se;
    e.lower = s.b - z_975 * s.se;
    e.upper = s.b + z_975 * s.se;
    e.z = s.b / s.se;
    e.p = normal_two_sided_p(e.z);
    e.weight_percent = {100.0};
    return e;
}

void pool_subgroup(subgroup& g, const std::vector<slope_estimate>& studies) {
    if (g.members.size() == 1) {
        g.fixed = g.dl = g.reml = single_study(studies[g.members.front()]);
        return;
    }
    std::vector<slope_estimate> own(g.members.size());
    std::transform(g.members.begin(), g.members.end(), own.begin(),
                   [&studies](std::size_t i) { return studies[i]; });
    try {
        g.pooled = pool(own);
        g.fixed = g.pooled->fixed;
        g.dl = g.pooled->dl;
        g.reml = g.pooled->reml;
    } catch (const pooling_error& e) {
        g.message = e.what();
    }
}

} // namespace

subgroup_difference between_subgroups(const std::vector<const pooled_estimate*>& estimates) {
    double sw = 0.0;
    double swm = 0.0;
    for (const pooled_estimate* e : estimates) {
        const double w = 1.0 / (e->se * e->se);
        sw += w;
        swm += w * e->estimate;
    }
    const double mean = swm / sw;
    subgroup_difference d;
    for (const pooled_estimate* e : estimates) {
        d.Q += (e->estimate - mean) * (e->estimate - mean) / (e->se * e->se);
    }
    d.df = static_cast<int>(estimates.size()) - 1;
    d.p = chi_square_upper_tail(d.Q, d.df);
    return d;
}

subgroup_analysis analyse_subgroups(const std::vector<slope_estimate>& studies,
                                    const std::vector<group_value>& values) {
    subgroup_analysis a;
    for (std::size_t i = 0; i < studies.size() && i < values.size(); ++i) {
        if (!values[i].missing.empty()) {
            a.left_out_studies.push_back({i, values[i].missing});
            continue;
        }
        const auto found = std::find_if(a.groups.begin(), a.groups.end(), [&](const subgroup& g) {
            return g.value == values[i].value;
        });
        if (found == a.groups.end()) {
            a.groups.push_back({});
            a.groups.back().value = values[i].value;
            a.groups.back().members.push_back(i);
        } else {
            found->members.push_back(i);
        }
    }
    for (subgroup& g : a.groups) {
        pool_subgroup(g, studies);
    }
    const bool all_usable =
        std::all_of(a.groups.begin(), a.groups.end(), [](const subgroup& g) { return g.usable(); });
    if (a.groups.size() < 2) {
        a.no_test = format("the test for subgroup differences needs 2 or more subgroups, found %zu",
                           a.groups.size());
    } else if (!all_usable) {
        a.no_test = "the test for subgroup differences needs every subgroup pooled";
    } else {
        for (auto [model, out] :
             {std::pair{&subgroup::fixed, &a.fixed}, std::pair{&subgroup::dl, &a.dl},
              std::pair{&subgroup::reml, &a.reml}}) {
            std::vector<const pooled_estimate*> estimates(a.groups.size());
            std::transform(a.groups.begin(), a.groups.end(), estimates.begin(),
                           [model = model](const subgroup& g) { return &(g.*model); });
            *out = between_subgroups(estimates);
        }
    }
    return a;
}

} // namespace morvex
