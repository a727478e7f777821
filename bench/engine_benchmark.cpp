// Both engines at 100,000 places, and the fast one at the largest size.

#include <benchmark/benchmark.h>

#include "engine/remainder_summation.h"
#include "engine/series_summation.h"

namespace {

void run_engine(benchmark::State& state, SeriesSummation engine)
{
    const auto places = static_cast<std::int32_t>(state.range(0));
    for (auto _ : state) {
        std::optional<RunNumbers> numbers = allocate_run_numbers(limb_count_for(places));
        StringSink progress;
        benchmark::DoNotOptimize(engine(*numbers, progress));
    }
    state.counters["places"] = places;
}

void term_by_term(benchmark::State& state) { run_engine(state, sum_series_by_terms); }
void by_remainders(benchmark::State& state) { run_engine(state, sum_series_by_remainders); }

} // namespace

BENCHMARK(term_by_term)->Arg(100'000)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(by_remainders)->Arg(100'000)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(by_remainders)->Arg(1'600'000)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

BENCHMARK_MAIN();
