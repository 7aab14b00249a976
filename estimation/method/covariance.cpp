#include "estimation/method/covariance.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"
#include "estimation/method/fitted_counts.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace morvex {
namespace {

// The reference's pseudo-counts are written as t, its cases over its other
// count (controls in a case-control study, the total otherwise), and s, its
// share of every category's variance (1/A0 + 1/B0, 1/A0 - 1/N0 or 1/A0). Every
// count is then positive exactly when 0 < s < min v_i and t lies in the
// design's range, and the reference-share equation has one root in s for each
// t: the search is one bracketed root in t around another in s.
struct pseudo_table {
    double a = 0.0, k = 0.0;   // reference cases and other count
    double SA = 0.0, SK = 0.0; // cases and other counts over all categories
};

struct hamling_problem {
    const study& s;
    double p0 = 0.0, z0 = 0.0; // the crude table's reference share and ratio
    double v_min = std::numeric_limits<double>::infinity();
    double R_max = 0.0;

    // The reference's counts at (t, s), and the sums over all categories.
    pseudo_table table(double t, double sh) const {
        pseudo_table p;
        switch (s.design) {
        case study_design::case_control:
            p.a = (1 + t) / sh;
            p.k = p.a / t;
            break;
        case study_design::cohort:
            p.a = (1 - t) / sh;
            p.k = p.a / t;
            break;
        case study_design::incidence_rate:
            p.a = 1 / sh;
            p.k = p.a / t;
            break;
        }
        p.SA = p.a;
        p.SK = p.k;
        for (Matrix::size_type i = 0; i < s.A.row_count(); ++i) {
            const double R = elem::exp(s.L(i, 0));
            const double g = s.v(i, 0) - sh;
            switch (s.design) {
            case study_design::case_control:
                p.SA += (1 + R * t) / g;
                p.SK += (1 + 1 / (R * t)) / g;
                break;
            case study_design::cohort:
                p.SA += (1 - R * t) / g;
                p.SK += (1 / (R * t) - 1) / g;
                break;
            case study_design::incidence_rate:
                p.SA += 1 / g;
                p.SK += 1 / (R * t * g);
                break;
            }
        }
        return p;
    }

    // The reference share s at which the pseudo-table keeps the crude
    // reference share p0: (1 - p0) k = p0 (SK - k) falls from +inf to -inf as
    // s runs over (0, v_min), so bisection finds its one root.
    double share(double t) const {
        double lo = 0.0;
        double hi = v_min;
        while (true) {
            const double mid = lo + (hi - lo) / 2;
            if (!(mid > lo && mid < hi)) {
                return mid;
            }
            const pseudo_table p = table(t, mid);
            const double h = (1 - p0) * p.k - p0 * (p.SK - p.k);
            (h > 0 ? lo : hi) = mid;
        }
    }

    // The second equation at t, relative: 1 - z0 SA / SK.
    double ratio_gap(double t) const {
        const pseudo_table p = table(t, share(t));
        return 1 - z0 * p.SA / p.SK;
    }

    // t over its range, from a grid coordinate x on the whole line.
    double t_at(double x, double t0) const {
        if (s.design == study_design::cohort) {
            // A pseudo-risk R_i t below 1 in every category.
            const double t_max = std::fmin(1.0, 1 / R_max);
            return t_max / (1 + elem::exp(-x - elem::log(t0 / (t_max - t0))));
        }
        return t0 * elem::exp(x);
    }
};

hamling_problem make_problem(const study& s) {
    hamling_problem h{s};
    const bool cc = s.is_case_control();
    double cases = s.A0;
    double other = cc ? s.N0 - s.A0 : s.N0;
    const double reference = other;
    for (Matrix::size_type i = 0; i < s.A.row_count(); ++i) {
        cases += s.A(i, 0);
        other += cc ? s.N(i, 0) - s.A(i, 0) : s.N(i, 0);
        h.v_min = std::fmin(h.v_min, s.v(i, 0));
        h.R_max = std::fmax(h.R_max, elem::exp(s.L(i, 0)));
    }
    h.p0 = reference / other;
    h.z0 = other / cases;
    return h;
}

// The root of the ratio equation between two grid points of opposite sign:
// regula falsi with the Illinois halving, down to adjacent doubles.
double refine(const hamling_problem& h, double lo, double flo, double hi, double fhi, int& steps) {
    int side = 0;
    while (true) {
        ++steps;
        double t = lo - flo * (hi - lo) / (fhi - flo);
        if (!(t > lo && t < hi)) {
            t = lo + (hi - lo) / 2;
        }
        if (!(t > lo && t < hi)) {
            return std::fabs(flo) < std::fabs(fhi) ? lo : hi;
        }
        const double f = h.ratio_gap(t);
        if (f == 0.0) {
            return t;
        }
        if ((f > 0) == (flo > 0)) {
            lo = t;
            flo = f;
            fhi *= side == -1 ? 0.5 : 1.0;
            side = -1;
        } else {
            hi = t;
            fhi = f;
            flo *= side == 1 ? 0.5 : 1.0;
            side = 1;
        }
    }
}

[[noreturn]] void no_pseudo_counts(const char* why) {
    throw estimation_error(std::string("no Hamling pseudo-counts: ") + why +
                           "; use --covariance=gl or --covariance=indep");
}

} // namespace

pseudo_counts hamling_counts(const study& s) {
    const hamling_problem h = make_problem(s);
    const bool cc = s.is_case_control();
    // The grid is centred on the crude reference's t (in a cohort study on half
    // the range when the crude t lies beyond it).
    double t0 = s.A0 / (cc ? s.N0 - s.A0 : s.N0);
    const double t_max = std::fmin(1.0, 1 / h.R_max);
    if (s.design == study_design::cohort && !(t0 < t_max)) {
        t0 = t_max / 2;
    }
    // Every sign change of the ratio equation on a grid over t's whole range.
    constexpr double step = 0.25;
    constexpr int reach = 168; // x from -42 to 42: t over 36 orders of magnitude
    std::vector<std::pair<double, double>> brackets;
    double t_prev = h.t_at(-reach * step, t0);
    double f_prev = h.ratio_gap(t_prev);
    for (int i = -reach + 1; i <= reach; ++i) {
        const double t = h.t_at(i * step, t0);
        const double f = h.ratio_gap(t);
        if (std::isfinite(f) && std::isfinite(f_prev) && (f > 0) != (f_prev > 0)) {
            brackets.emplace_back(t_prev, t);
        }
        t_prev = t;
        f_prev = f;
    }
    if (brackets.empty()) {
        no_pseudo_counts("no positive pseudo-counts reproduce every category's variance and "
                         "keep the crude table's margins (a reported interval narrower than the "
                         "reference's share of it allows, g_j <= 0, or a pseudo-risk above 1)");
    }
    if (brackets.size() > 1) {
        no_pseudo_counts(
            "several pseudo-tables keep the crude table's margins, so the covariance is not "
            "determined");
    }
    const auto [lo, hi] = brackets.front();
    pseudo_counts p;
    const double t = refine(h, lo, h.ratio_gap(lo), hi, h.ratio_gap(hi), p.iterations);
    const double sh = h.share(t);
    const pseudo_table table = h.table(t, sh);

    p.A0 = table.a;
    p.N0 = cc ? table.a + table.k : table.k;
    const Matrix::size_type n = s.A.row_count();
    p.A = Matrix(n, 1);
    p.N = Matrix(n, 1);
    for (Matrix::size_type i = 0; i < n; ++i) {
        const double R = elem::exp(s.L(i, 0));
        const double g = s.v(i, 0) - sh;
        double A = 1 / g;
        double K = 1 / (R * t * g);
        if (cc) {
            A = (1 + R * t) / g;
            K = (1 + 1 / (R * t)) / g;
        } else if (s.design == study_design::cohort) {
            A = (1 - R * t) / g;
            K = (1 / (R * t) - 1) / g;
        }
        p.A(i, 0) = A;
        p.N(i, 0) = cc ? A + K : K;
    }
    return p;
}

Matrix hamling_covariance(const study& s, const pseudo_counts& p) {
    // The categories share the reference's term of their variances.
    double shared = 1 / p.A0;
    if (s.design == study_design::case_control) {
        shared = 1 / p.A0 + 1 / (p.N0 - p.A0);
    } else if (s.design == study_design::cohort) {
        shared = 1 / p.A0 - 1 / p.N0;
    }
    const Matrix::size_type n = s.v.row_count();
    Matrix V(n, n);
    for (Matrix::size_type i = 0; i < n; ++i) {
        for (Matrix::size_type j = 0; j < n; ++j) {
            V(i, j) = i == j ? s.v(i, 0) : shared;
        }
    }
    return V;
}

Matrix independent_covariance(const study& s) {
    const Matrix::size_type n = s.v.row_count();
    Matrix V(n, n);
    for (Matrix::size_type i = 0; i < n; ++i) {
        for (Matrix::size_type j = 0; j < n; ++j) {
            V(i, j) = i == j ? s.v(i, 0) : 0.0;
        }
    }
    return V;
}

} // namespace morvex
