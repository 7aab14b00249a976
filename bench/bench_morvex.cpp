// Cost of the inverse and of the whole estimation as the categories grow.
#include "bench/synthetic_study.hpp"
#include "estimation/input/setting_file.hpp"
#include "estimation/method/fitted_counts.hpp"
#include "estimation/method/trend.hpp"

#include <benchmark/benchmark.h>

#include <cmath>

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

// Microseconds below 256, where milliseconds would print as 0.000; an inverse
// of order 1000 takes most of a second, so the large sizes run few times.
using benchmark::kMicrosecond, benchmark::kMillisecond;
BENCHMARK(BM_inverse)->Arg(4)->Arg(16)->Arg(64)->Unit(kMicrosecond);
BENCHMARK(BM_inverse)->Arg(256)->Arg(1000)->Iterations(3)->Unit(kMillisecond);
BENCHMARK(BM_estimation)->ArgsProduct({{4, 16, 64}, {0, 1}})->Unit(kMicrosecond);
BENCHMARK(BM_estimation)->ArgsProduct({{256, 1000}, {0, 1}})->Iterations(2)->Unit(kMillisecond);

} // namespace
