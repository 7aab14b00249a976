// One evaluation of the pooled curve's restricted likelihood (with its gradient,
// and with its Hessian too) over 200 to 10,000 studies, its allocations, and the
// whole REML search: the time per study should not grow, nor the allocations
// per evaluation with the studies.
#include "bench/allocation_count.hpp"
#include "bench/synthetic_study.hpp"
#include "estimation/input/setting_file.hpp"
#include "estimation/method/coefficient_fit.hpp"
#include "estimation/method/dose_basis.hpp"
#include "estimation/method/fitted_counts.hpp"
#include "estimation/method/trend.hpp"
#include "estimation/pooling/mixed_model.hpp"
#include "estimation/pooling/reml_search.hpp"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

using namespace morvex;

// The two-stage units of `count` synthetic studies of 3 to 6 categories, a spline of 3 knots.
std::vector<mixed_unit> spline_units(long count) {
    const dose_basis basis{trend_shape::spline, {0.25, 1.0, 2.5}};
    std::vector<mixed_unit> units;
    for (long k = 0; k < count; ++k) {
        const study s = parse_setting_file(
            synthetic_setting_as(3 + static_cast<int>(k % 4), k % 2 == 0 ? "CC" : "Cohort"));
        units.push_back(two_stage_unit(fit_coefficients(design_matrix(basis, s.x0, s.dose, s.x),
                                                        s.L, covariance(s, fit_counts(s)))));
    }
    return units;
}

void BM_curve_likelihood(benchmark::State& state) {
    const std::vector<mixed_unit> units = spline_units(state.range(0));
    small_matrix L{};
    L[0] = 0.05;
    L[2] = 0.01;
    L[3] = 0.02;
    std::vector<small_matrix> directions(state.range(1) != 0 ? 3 : 0);
    for (std::size_t a = 0; a < directions.size(); ++a) {
        directions[a][a == 2 ? 3 : a] = 1.0;
    }
    model_request request;
    request.gradient = true;
    request.directions = directions.empty() ? nullptr : &directions;
    mixed_workspace ws(static_cast<unsigned>(state.range(2)));
    mixed_evaluation e;
    evaluate_model(units, L, request, ws, e);
    const long before = allocation_count();
    for ([[maybe_unused]] auto _ : state) {
        benchmark::DoNotOptimize(evaluate_model(units, L, request, ws, e));
    }
    state.counters["allocations"] = benchmark::Counter(
        static_cast<double>(allocation_count() - before), benchmark::Counter::kAvgIterations);
    state.counters["per_study_ns"] = benchmark::Counter(
        static_cast<double>(state.range(0)),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_curve_reml(benchmark::State& state) {
    const std::vector<mixed_unit> units = spline_units(state.range(0));
    for ([[maybe_unused]] auto _ : state) {
        const reml_fit fit = maximise_reml(units, std::nullopt);
        if (!fit.converged) {
            state.SkipWithError("REML did not converge");
            break;
        }
    }
}

} // namespace

BENCHMARK(BM_curve_likelihood)
    ->ArgsProduct({{200, 2000, 10000}, {0, 1}, {1}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_curve_likelihood)->ArgsProduct({{10000}, {0}, {2}})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_curve_reml)->Arg(200)->Arg(2000)->Arg(10000)->Unit(benchmark::kMillisecond);
