#include "estimation/method/estimate.hpp"

#include "estimation/method/covariance.hpp"
#include "estimation/method/mean_difference.hpp"
#include "matrix/matrix.hpp"

namespace morvex {
namespace {

// Hamling's or the independent covariance: no fitted counts, no iteration.
void covariance_without_fit(study_result& r) {
    if (r.covariance == covariance_kind::hamling) {
        const pseudo_counts p = hamling_counts(r.data);
        r.has_pseudo = true;
        r.pseudo_A0 = p.A0;
        r.pseudo_N0 = p.N0;
        r.pseudo_A = p.A;
        r.pseudo_N = p.N;
        r.iterations = p.iterations;
        r.V = hamling_covariance(r.data, p);
    } else {
        r.V = independent_covariance(r.data);
    }
    r.converged = true;
}

} // namespace

void estimate(study_result& r) {
    estimation_buffers buffers;
    estimate(r, buffers);
}

void estimate(study_result& r, estimation_buffers& buffers) {
    r.status = study_status::stopped;
    try {
        if (r.data.is_continuous()) {
            mean_differences(r.data);
            r.V = mean_difference_covariance(r.data);
            r.converged = true;
        } else if (r.covariance != covariance_kind::gl) {
            covariance_without_fit(r);
        } else {
            const fitted_counts fit = fit_counts(r.data, buffers.fit);
            r.has_fit = true;
            r.fitted = fit.A;
            r.fitted_A0 = fit.A0;
            r.converged = fit.converged;
            r.iterations = fit.iterations;
            covariance(r.data, fit, r.V, buffers.trend);
        }
        const trend t = estimate_trend(r.data, r.V, buffers.trend);
        r.beta = t.beta;
        r.se = t.se;
        r.status = r.converged ? study_status::complete : study_status::not_converged;
    } catch (const math::matrix_error&) {
        r.abnormal = true;
        r.message = r.data.is_continuous()
                        ? "a matrix is singular (all doses 0): no estimate"
                        : "a matrix is singular (equal confidence limits in a category, or all "
                          "doses 0): no estimate";
    } catch (const estimation_error& e) {
        r.message = e.what();
    }
}

} // namespace morvex
