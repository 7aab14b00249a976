// The cost of reading a table into study records, apart from the estimation:
// indexing the rows by study, then reading each study in turn.
#include "bench/synthetic_study.hpp"
#include "estimation/input/table_file.hpp"

#include <benchmark/benchmark.h>

#include <sstream>

namespace {

std::string synthetic_table(long studies, int n) {
    std::ostringstream out;
    morvex::write_synthetic_table(out, studies, n);
    return out.str();
}

// Indexing alone: arg 0 is the number of studies of four exposed categories.
// Arguments: studies, then threads.
void BM_index_table(benchmark::State& state) {
    const std::string text = synthetic_table(state.range(0), 4);
    for ([[maybe_unused]] auto _ : state) {
        morvex::table_file table(text, false, 1.0, static_cast<unsigned>(state.range(1)));
        benchmark::DoNotOptimize(table.study_count());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
}

// Indexing and reading every study, as a run does before it estimates.
void BM_read_table(benchmark::State& state) {
    const std::string text = synthetic_table(state.range(0), 4);
    for ([[maybe_unused]] auto _ : state) {
        const morvex::table_file table(text, false);
        morvex::table_study study;
        for (std::size_t k = 0; k < table.study_count(); ++k) {
            table.read(k, study);
            benchmark::DoNotOptimize(study.data);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
}

// Preparing each study for its estimation, as a run's worker does, with the
// table indexed once: read into one record, traded into the result, which is
// renewed for the next. Arg 0 is the number of exposed categories; the time
// per study is the time over 10,000.
void BM_prepare_studies(benchmark::State& state) {
    const auto n = static_cast<int>(state.range(0));
    const std::string text = synthetic_table(10000, n);
    const morvex::table_file table(text, false);
    morvex::table_study record;
    morvex::study_result result;
    for ([[maybe_unused]] auto _ : state) {
        for (std::size_t k = 0; k < table.study_count(); ++k) {
            table.read(k, record);
            using std::swap; // the study's own swap, where it has one
            swap(result.data, *record.data);
            benchmark::DoNotOptimize(result.data);
            renew(result);
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(table.study_count()));
}

} // namespace

BENCHMARK(BM_prepare_studies)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_index_table)
    ->Args({10000, 1})
    ->Args({100000, 1})
    ->Args({100000, 2})
    ->Args({100000, 3})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_read_table)->Arg(10000)->Unit(benchmark::kMillisecond);
