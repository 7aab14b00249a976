#include "estimation/pooling/curve_subgroups.hpp"

#include "estimation/base/distributions.hpp"
#include "estimation/base/format.hpp"
#include "estimation/pooling/positive_definite.hpp"

#include <algorithm>
#include <iterator>

namespace morvex {
namespace {

using size_type = Matrix::size_type;

// The subgroups' coefficients under one method, or why they cannot be compared.
curve_difference difference_of(const std::string& method, const curve_subgroups& s) {
    curve_difference d;
    d.method = method;
    std::vector<const curve_method*> fits;
    for (const curve_subgroup& g : s.groups) {
        const auto m = std::find_if(g.curve.methods.begin(), g.curve.methods.end(),
                                    [&](const curve_method& c) { return c.name == method; });
        if (m == g.curve.methods.end() || !m->available) {
            d.message = "subgroup " + quoted(g.value) + " has no pooled curve" +
                        (g.curve.message.empty() ? "" : ": " + g.curve.message);
            return d;
        }
        fits.push_back(&*m);
    }
    const size_type p = fits.front()->beta.row_count();
    Matrix information = zeros(p, p);
    Matrix weighted = zeros(p, 1);
    std::vector<Matrix> inverses;
    for (const curve_method* m : fits) {
        const std::optional<Matrix> L = lower_cholesky(m->cov);
        if (!L) {
            d.message = "a subgroup's covariance of the coefficients is not positive definite";
            return d;
        }
        inverses.push_back(inverse_from_cholesky(*L));
        information = information + inverses.back();
        weighted = weighted + inverses.back() * m->beta;
    }
    const std::optional<Matrix> L = lower_cholesky(information);
    if (!L) {
        d.message = "the subgroups' combined information is not positive definite";
        return d;
    }
    const Matrix combined = inverse_from_cholesky(*L) * weighted;
    double Q = 0.0;
    for (std::size_t g = 0; g < fits.size(); ++g) {
        const Matrix e = fits[g]->beta - combined;
        Q += (transpose(e) * (inverses[g] * e))(0, 0);
    }
    d.test.statistic = Q;
    d.test.df = static_cast<int>(p) * (static_cast<int>(fits.size()) - 1);
    d.test.p = chi_square_upper_tail(Q, d.test.df);
    return d;
}

} // namespace

curve_subgroups analyse_curve_subgroups(const std::vector<curve_study>& studies,
                                        const curve_result& overall) {
    curve_subgroups s;
    for (std::size_t i = 0; i < studies.size(); ++i) {
        if (!studies[i].group_missing.empty()) {
            s.left_out_studies.push_back({i, studies[i].group_missing});
            continue;
        }
        const auto found = std::find_if(s.groups.begin(), s.groups.end(),
                                        [&](const auto& g) { return g.value == studies[i].group; });
        if (found == s.groups.end()) {
            s.groups.push_back({studies[i].group, {i}, {}});
        } else {
            found->members.push_back(i);
        }
    }
    // The whole analysis's knots, doses and reference, in two stages.
    curve_settings settings = overall.settings;
    settings.one_stage = false;
    settings.knots = overall.basis.knots;
    settings.reference_dose = overall.reference_dose;
    settings.at.clear();
    if (!overall.methods.empty()) {
        for (const prediction& p : overall.methods.front().predictions) {
            settings.at.push_back(p.dose);
        }
    }
    for (curve_subgroup& g : s.groups) {
        std::vector<curve_study> own;
        own.reserve(g.members.size());
        std::transform(g.members.begin(), g.members.end(), std::back_inserter(own),
                       [&studies](std::size_t i) { return studies[i]; });
        g.curve = analyse_curve(own, settings, {});
    }
    if (s.groups.size() < 2) {
        s.no_test = format("the test that the curves differ needs 2 or more subgroups, found %zu",
                           s.groups.size());
        return s;
    }
    for (const curve_method& m : overall.methods) {
        s.differences.push_back(difference_of(m.name, s));
    }
    return s;
}

} // namespace morvex
