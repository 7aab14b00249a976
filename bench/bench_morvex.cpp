// Cost of the inverse and of the whole estimation as the categories grow, and
// the heap allocations a study makes once the buffers have seen one as large.
#include "bench/allocation_count.hpp"
#include "bench/synthetic_study.hpp"
#include "estimation/input/setting_file.hpp"
#include "estimation/method/estimate.hpp"
#include "estimation/method/fitted_counts.hpp"
#include "estimation/method/trend.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <string>

namespace {

using morvex::Matrix;

// Diagonally dominant like the fit's own matrix, so no rows are exchanged; the
// sines stand in for random entries and give the same matrix on every run.
void BM_inverse(benchmark::State& state) {
    const auto n = static_cast<Matrix::size_type>(state.range(0));
    Matrix m(n, n);
    for (Matrix::size_type i = 0; i < n * n; ++i) {
        m(i / n, i % n) = std::sin(i + 1.0) + (i / n == i % n ? n : 0);
    }
    for ([[maybe_unused]] auto _ : state) {
        Matrix inverse = !m;
        benchmark::DoNotOptimize(inverse);
    }
}

void BM_estimation(benchmark::State& state) {
    const morvex::study s = morvex::parse_setting_file(
        morvex::synthetic_setting(static_cast<int>(state.range(0)), state.range(1) != 0));
    for ([[maybe_unused]] auto _ : state) {
        const morvex::fitted_counts fit = morvex::fit_counts(s);
        if (!fit.converged) {
            state.SkipWithError("the fit did not converge");
            break;
        }
        benchmark::DoNotOptimize(morvex::estimate_trend(s, fit));
        state.counters["newton_steps"] = fit.iterations;
    }
}

const char* const designs[] = {"CC", "Cohort", "IR"};

morvex::study synthetic_study(const benchmark::State& state) {
    return morvex::parse_setting_file(morvex::synthetic_setting_as(
        static_cast<int>(state.range(0)) - 1, designs[state.range(1)]));
}

// One study as a run estimates it: a new result, the fit, covariance and slope in
// the run's buffers. The first argument counts the categories, the reference included.
void BM_study(benchmark::State& state) {
    const morvex::study s = synthetic_study(state);
    morvex::estimation_buffers buffers;
    for ([[maybe_unused]] auto _ : state) {
        morvex::study_result r;
        r.data = s;
        r.has_data = true;
        morvex::estimate(r, buffers);
        if (r.status != morvex::study_status::complete) {
            state.SkipWithError("the study has no complete estimate");
            break;
        }
        benchmark::DoNotOptimize(r.beta);
    }
}

// Allocations per study in the steady state, and per Newton step beyond the
// first: a fit stopped after one step and the whole fit allocate the same.
void BM_study_allocations(benchmark::State& state) {
    const morvex::study s = synthetic_study(state);
    morvex::estimation_buffers buffers;
    {
        morvex::study_result first;
        first.data = s;
        first.has_data = true;
        morvex::estimate(first, buffers); // the buffers see the study once
    }
    long made = 0;
    long studies = 0;
    for ([[maybe_unused]] auto _ : state) {
        morvex::study_result r;
        r.data = s;
        r.has_data = true;
        const long before = morvex::allocation_count();
        morvex::estimate(r, buffers);
        made += morvex::allocation_count() - before;
        ++studies;
    }
    const long one_step = morvex::allocation_count();
    (void)morvex::fit_counts(s, buffers.fit, 1);
    const long all_steps = morvex::allocation_count();
    const morvex::fitted_counts fit = morvex::fit_counts(s, buffers.fit);
    const long extra = (morvex::allocation_count() - all_steps) - (all_steps - one_step);
    state.counters["allocs_per_study"] = static_cast<double>(made) / static_cast<double>(studies);
    state.counters["newton_steps"] = fit.iterations;
    state.counters["allocs_per_step"] =
        fit.iterations > 1 ? static_cast<double>(extra) / (fit.iterations - 1) : 0.0;
}

// Microseconds below 256, where milliseconds would print as 0.000; an inverse
// of order 1000 takes most of a second, so the large sizes run few times.
using benchmark::kMicrosecond, benchmark::kMillisecond;
BENCHMARK(BM_inverse)->Arg(4)->Arg(16)->Arg(64)->Unit(kMicrosecond);
BENCHMARK(BM_inverse)->Arg(256)->Arg(1000)->Iterations(3)->Unit(kMillisecond);
BENCHMARK(BM_estimation)->ArgsProduct({{4, 16, 64}, {0, 1}})->Unit(kMicrosecond);
BENCHMARK(BM_estimation)->ArgsProduct({{256, 1000}, {0, 1}})->Iterations(2)->Unit(kMillisecond);
BENCHMARK(BM_study)->ArgsProduct({{2, 5, 17, 65}, {0, 1, 2}})->Unit(kMicrosecond);
BENCHMARK(BM_study)->ArgsProduct({{257, 1001}, {0, 1, 2}})->Iterations(2)->Unit(kMillisecond);
BENCHMARK(BM_study_allocations)->ArgsProduct({{2, 5, 17, 65, 257}, {0, 1, 2}})->Iterations(20);

} // namespace
