// Both engines at 100,000 places, and the remainder engine at the largest size.

#include <benchmark/benchmark.h>

#include <vector>

#include "engine/remainder_engine.h"
#include "engine/term_by_term_engine.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/threads.h"

namespace {

// The progress lines go nowhere here.
class DroppedText : public TextSink {
public:
    void write(std::string_view) override {}
};

void run_engine(benchmark::State& state, PiEngine& engine)
{
    const auto places = static_cast<std::int32_t>(state.range(0));
    const RunSize size = run_size_for(places);
    for (auto _ : state) {
        std::vector<limb> result(static_cast<std::size_t>(size.limbs));
        DroppedText progress;
        benchmark::DoNotOptimize(engine.sum_into(size, result, progress, engine.most_threads()));
    }
    state.counters["places"] = places;
}

void term_by_term(benchmark::State& state)
{
    TermByTermEngine engine;
    run_engine(state, engine);
}

void by_remainders(benchmark::State& state)
{
    StandardError notices;
    RemainderEngine engine(usable_cores(), notices);
    run_engine(state, engine);
}

} // namespace

BENCHMARK(term_by_term)->Arg(100'000)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(by_remainders)->Arg(100'000)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(by_remainders)->Arg(1'600'000)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

BENCHMARK_MAIN();
