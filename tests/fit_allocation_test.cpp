// The fit of a study, its covariance and slope, and the evaluations of the mixed
// model allocate nothing per iteration once their buffers have seen a study as
// large. Every allocation of this program passes through the counting operator
// new of bench/allocation_count.cpp.
#include "bench/allocation_count.hpp"
#include "bench/synthetic_study.hpp"
#include "estimation/input/setting_file.hpp"
#include "estimation/method/coefficient_fit.hpp"
#include "estimation/method/dose_basis.hpp"
#include "estimation/method/estimate.hpp"
#include "estimation/method/fitted_counts.hpp"
#include "estimation/method/trend.hpp"
#include "estimation/pooling/mixed_model.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace morvex;

// Allocations made by f().
template <class F>
long allocations_of(F f) {
    const long before = allocation_count();
    f();
    return allocation_count() - before;
}

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Studies that need several Newton steps: the published-looking example and
// synthetic ones of 5 and 50 categories in both designs.
std::vector<study> studies() {
    std::vector<study> list;
    list.push_back(parse_setting_file("Example\nCC\n4\n120 80 95 110\n300 190 210 220\n"
                                      "0 1.5 4 10\n1 1.10 1.35 1.70\n1 0.75 0.92 1.15\n"
                                      "1 1.61 1.98 2.51\n"));
    for (const int n : {4, 49}) {
        for (const bool cc : {true, false}) {
            list.push_back(parse_setting_file(synthetic_setting(n, cc)));
        }
    }
    return list;
}

// A copy with storage of its own.
Matrix copy_of(const Matrix& m) {
    Matrix c(m.row_count(), m.col_count());
    for (Matrix::size_type i = 0; i < m.row_count(); ++i) {
        for (Matrix::size_type j = 0; j < m.col_count(); ++j) {
            c(i, j) = m(i, j);
        }
    }
    return c;
}

// What a study's fit must keep of its own: one copy of its cases, n x 1.
long one_column_copy(const study& s) {
    return allocations_of([&s] {
        Matrix copy = s.A;
        copy(0, 0) = 1.0;
    });
}

// The largest study first, so every later one finds the buffers large enough.
TEST(FitAllocations, AFitAllocatesItsCountsOnlyWhateverItsIterations) {
    std::vector<study> list = studies();
    fit_buffers buffers;
    (void)fit_counts(list[3], buffers); // 50 categories
    for (const study& s : list) {
        fitted_counts full{Matrix(0, 1)};
        const long one_step = allocations_of([&] { (void)fit_counts(s, buffers, 1); });
        const long all_steps = allocations_of([&] { full = fit_counts(s, buffers); });
        ASSERT_TRUE(full.converged);
        EXPECT_GE(full.iterations, 2) << s.title;
        EXPECT_EQ(one_step, 0) << s.title;
        EXPECT_EQ(all_steps, 0) << s.title;
        // The buffered fit is the fit.
        const fitted_counts fresh = fit_counts(s);
        EXPECT_EQ(fresh.iterations, full.iterations);
        EXPECT_TRUE(same_bits(fresh.A0, full.A0));
        for (Matrix::size_type i = 0; i < fresh.A.row_count(); ++i) {
            EXPECT_TRUE(same_bits(fresh.A(i, 0), full.A(i, 0))) << s.title << ' ' << i;
        }
    }
    // While a result is held, the next fit takes one column of its own and
    // leaves the held counts as they were.
    const fitted_counts held = fit_counts(list[1], buffers);
    const Matrix held_copy = copy_of(held.A);
    EXPECT_EQ(allocations_of([&] { (void)fit_counts(list[1], buffers, 1); }),
              one_column_copy(list[1]));
    for (Matrix::size_type i = 0; i < held.A.row_count(); ++i) {
        EXPECT_TRUE(same_bits(held.A(i, 0), held_copy(i, 0))) << i;
    }
}

TEST(FitAllocations, CovarianceAndSlopeAllocateNothingWithWarmBuffers) {
    std::vector<study> list = studies();
    trend_buffers buffers;
    Matrix V(0, 0);
    const fitted_counts largest = fit_counts(list[3]);
    covariance(list[3], largest, V, buffers);
    (void)estimate_trend(list[3], V, buffers);
    for (const study& s : list) {
        const fitted_counts fit = fit_counts(s);
        trend t;
        EXPECT_EQ(allocations_of([&] { covariance(s, fit, V, buffers); }), 0) << s.title;
        EXPECT_EQ(allocations_of([&] { t = estimate_trend(s, V, buffers); }), 0) << s.title;
        const trend fresh = estimate_trend(s, fit);
        EXPECT_TRUE(same_bits(t.beta, fresh.beta) && same_bits(t.se, fresh.se)) << s.title;
    }
    // A covariance still held elsewhere keeps its values when the next is formed.
    const Matrix held = V;
    const Matrix held_copy = copy_of(V);
    covariance(list[3], largest, V, buffers);
    EXPECT_EQ(V.row_count(), 49U);
    ASSERT_EQ(held.row_count(), held_copy.row_count());
    for (Matrix::size_type i = 0; i < held.row_count(); ++i) {
        for (Matrix::size_type j = 0; j < held.row_count(); ++j) {
            EXPECT_TRUE(same_bits(held(i, j), held_copy(i, j))) << i << ' ' << j;
        }
    }
}

// As a run estimates a table's studies: one result renewed for each, the fit, covariance and
// slope in the run's buffers. Once both have seen the largest study, a study allocates nothing,
// and its figures are those of a fresh result.
TEST(FitAllocations, ARenewedResultIsEstimatedWithoutAllocating) {
    const std::vector<study> list = studies();
    estimation_buffers buffers;
    study_result r;
    const auto estimate_in_turn = [&](const study& s) {
        renew(r);
        r.data = s;
        r.has_data = true;
        estimate(r, buffers);
    };
    estimate_in_turn(list[3]);
    estimate_in_turn(list[4]);
    for (const study& s : list) {
        EXPECT_EQ(allocations_of([&] { estimate_in_turn(s); }), 0) << s.title;
        study_result fresh;
        fresh.data = s;
        fresh.has_data = true;
        estimate(fresh);
        ASSERT_EQ(r.status, study_status::complete) << s.title;
        EXPECT_TRUE(same_bits(r.beta, fresh.beta) && same_bits(r.se, fresh.se)) << s.title;
        EXPECT_EQ(r.fitted.row_count(), s.A.row_count());
        EXPECT_EQ(r.V.row_count(), s.A.row_count());
    }
}

// A quadratic trend's fit keeps only its p = 2 coefficients and their covariance, so with warm
// buffers a study of 5 categories and one of 50 allocate the same, and the fit is the fit.
TEST(FitAllocations, ACoefficientFitAllocatesTheSameForAnyNumberOfCategories) {
    const std::vector<study> list = studies();
    const dose_basis basis{trend_shape::quadratic, {}};
    coefficient_buffers buffers;
    std::vector<long> counts;
    for (const study& s : {list[3], list[1], list[4], list[2]}) { // 50, 5, 50, 5 categories
        const Matrix X = design_matrix(basis, s.x0, s.dose, s.x);
        const Matrix S = covariance(s, fit_counts(s));
        coefficient_fit f;
        counts.push_back(allocations_of([&] { f = fit_coefficients(X, s.L, S, buffers); }));
        ASSERT_TRUE(f.usable) << s.title;
        const coefficient_fit fresh = fit_coefficients(X, s.L, S);
        for (Matrix::size_type i = 0; i < 2; ++i) {
            EXPECT_TRUE(same_bits(f.b(i, 0), fresh.b(i, 0))) << s.title;
            EXPECT_TRUE(same_bits(f.V(i, 1), fresh.V(i, 1))) << s.title;
        }
    }
    EXPECT_EQ(counts[1], counts[2]);
    EXPECT_EQ(counts[2], counts[3]);
}

// One-stage units of `count` studies of 5 categories with a quadratic trend.
std::vector<mixed_unit> quadratic_units(int count) {
    std::vector<mixed_unit> units;
    const dose_basis basis{trend_shape::quadratic, {}};
    for (int k = 0; k < count; ++k) {
        const study s = parse_setting_file(synthetic_setting(4 + k % 3, k % 2 == 0));
        units.push_back(fit_coefficients(design_matrix(basis, s.x0, s.dose, s.x), s.L,
                                         covariance(s, fit_counts(s)))
                            .reduced);
    }
    return units;
}

// An evaluation's allocations do not grow with the studies: per-study work is on
// storage kept from one evaluation to the next.
TEST(MixedModelAllocations, AnEvaluationAllocatesTheSameForAnyNumberOfStudies) {
    small_matrix L{};
    L[0] = 0.05;
    L[2] = 0.01;
    L[3] = 0.02;
    std::vector<long> counts;
    for (const int count : {3, 300}) {
        const std::vector<mixed_unit> units = quadratic_units(count);
        mixed_workspace ws;
        mixed_evaluation e;
        model_request request;
        request.gradient = true;
        ASSERT_TRUE(evaluate_model(units, L, request, ws, e));
        bool ok = false;
        counts.push_back(allocations_of([&] { ok = evaluate_model(units, L, request, ws, e); }));
        ASSERT_TRUE(ok);
    }
    EXPECT_EQ(counts[0], counts[1]);
    EXPECT_LE(counts[1], 2);
}

} // namespace
