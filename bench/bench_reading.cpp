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

} // namespace

BENCHMARK(BM_index_table)
    ->Args({10000, 1})
    ->Args({100000, 1})
    ->Args({100000, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_read_table)->Arg(10000)->Unit(benchmark::kMillisecond);
