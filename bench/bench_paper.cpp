// The paper's analyses on 10,000 studies: each should take well under a second.
#include "estimation/method/dose_basis.hpp"
#include "estimation/pooling/curve_subgroups.hpp"
#include "estimation/pooling/goodness_of_fit.hpp"
#include "estimation/pooling/meta_analysis.hpp"
#include "estimation/pooling/meta_regression.hpp"
#include "estimation/pooling/small_studies.hpp"

#include <benchmark/benchmark.h>

#include <random>

using namespace morvex;

namespace {

constexpr std::size_t studies = 10000;

// Slopes around 0.01 with a between-study spread, SEs over two decades, a year and a region.
struct slope_set {
    std::vector<slope_estimate> slopes;
    std::vector<study_summary> summaries;
    moderator_values year{"year", true, {}, {}};
    moderator_values region{"region", false, {}, {}};
};

const slope_set& slope_data() {
    static const slope_set set = [] {
        slope_set s;
        std::mt19937_64 rng(29);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::normal_distribution<double> normal(0.0, 1.0);
        const char* const regions[] = {"Asia", "Europe", "USA"};
        for (std::size_t i = 0; i < studies; ++i) {
            const double se = 0.001 * std::pow(10.0, 2.0 * unit(rng));
            const double year = 1980.0 + std::floor(40.0 * unit(rng));
            const double b =
                0.01 + 0.0001 * (year - 2000.0) + 0.003 * normal(rng) + se * normal(rng);
            s.slopes.push_back({"s" + std::to_string(i), b, se});
            s.year.numbers.push_back(year);
            s.region.texts.emplace_back(regions[i % 3]);
            study_summary st;
            st.label = s.slopes.back().label;
            st.beta = b;
            st.se = se;
            st.status = study_status::complete;
            st.highest.y = 30.0 * b;
            st.highest.variance = 900.0 * se * se;
            s.summaries.push_back(st);
        }
        return s;
    }();
    return set;
}

// Studies of three exposed categories with correlated log relative risks.
const std::vector<curve_study>& curve_data() {
    static const std::vector<curve_study> list = [] {
        std::vector<curve_study> out;
        std::mt19937_64 rng(30);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::normal_distribution<double> normal(0.0, 1.0);
        for (std::size_t i = 0; i < studies; ++i) {
            curve_study s;
            s.label = s.id = std::to_string(i);
            s.input = "synthetic.csv";
            s.group = i % 2 == 0 ? "ci" : "ir";
            s.dose = zeros(3, 1);
            s.x = zeros(3, 1);
            s.y = zeros(3, 1);
            s.S = zeros(3, 3);
            const double shared = 0.004 * (1.0 + unit(rng));
            for (Matrix::size_type j = 0; j < 3; ++j) {
                const double dose = 5.0 * static_cast<double>(j + 1) * (1.0 + 0.5 * unit(rng));
                const double v = shared + 0.01 * (1.0 + unit(rng));
                s.dose(j, 0) = s.x(j, 0) = dose;
                s.y(j, 0) = 0.02 * dose - 0.0004 * dose * dose + std::sqrt(v) * normal(rng);
                for (Matrix::size_type k = 0; k < 3; ++k) {
                    s.S(j, k) = j == k ? v : shared;
                }
            }
            out.push_back(std::move(s));
        }
        return out;
    }();
    return list;
}

void BM_meta_regression(benchmark::State& state) {
    const slope_set& s = slope_data();
    for ([[maybe_unused]] auto _ : state) {
        benchmark::DoNotOptimize(regress(s.slopes, {s.year, s.region}, state.range(0) == 1));
    }
}

void BM_highest_vs_lowest(benchmark::State& state) {
    analysis_request asked;
    asked.highest_vs_lowest = true;
    for ([[maybe_unused]] auto _ : state) {
        benchmark::DoNotOptimize(analyse(slope_data().summaries, std::nullopt, asked));
    }
}

void BM_trim_and_fill(benchmark::State& state) {
    for ([[maybe_unused]] auto _ : state) {
        benchmark::DoNotOptimize(fill_missing(
            slope_data().slopes, state.range(0) == 0 ? fill_estimator::l0 : fill_estimator::r0,
            tau2_method::reml));
    }
}

void BM_rank_test(benchmark::State& state) {
    for ([[maybe_unused]] auto _ : state) {
        benchmark::DoNotOptimize(rank_test(slope_data().slopes));
    }
}

void BM_goodness_of_fit(benchmark::State& state) {
    dose_basis basis;
    basis.shape = state.range(0) == 0 ? trend_shape::linear : trend_shape::spline;
    basis.knots = {5.0, 15.0, 30.0};
    for ([[maybe_unused]] auto _ : state) {
        benchmark::DoNotOptimize(fit_goodness(curve_data(), basis));
    }
}

// Two subgroups' curves: two calls of analyse_curve, whose REML search over Psi
// sets the time; the pooled curve of the same studies (all 10,000 at most) for
// comparison.
void BM_curve_subgroups(benchmark::State& state) {
    const std::vector<curve_study> some(curve_data().begin(),
                                        curve_data().begin() + state.range(0));
    curve_settings settings;
    settings.shape = trend_shape::quadratic;
    const curve_result overall = analyse_curve(some, settings, {});
    for ([[maybe_unused]] auto _ : state) {
        benchmark::DoNotOptimize(state.range(1) == 1 ? analyse_curve_subgroups(some, overall).groups
                                                     : std::vector<curve_subgroup>{});
        if (state.range(1) == 0) {
            benchmark::DoNotOptimize(analyse_curve(some, settings, {}));
        }
    }
}

} // namespace

BENCHMARK(BM_meta_regression)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_highest_vs_lowest)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_trim_and_fill)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_rank_test)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_goodness_of_fit)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_curve_subgroups)
    ->ArgsProduct({{1000, 10000}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
