// engine_check fast PLACES...     the fast engine alone (for /usr/bin/time)
// engine_check compare PLACES...  both engines, whole results compared
// Prints one line a size; exits 1 if any comparison fails.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include <vector>

#include "engine/remainder_summation.h"
#include "engine/series_summation.h"
#include "platform/threads.h"

namespace {

struct Timed {
    std::vector<limb> result;
    std::optional<std::int32_t> terms_used;
    std::string progress;
    double seconds = 0;
};

Timed run(PiEngine& engine, std::int32_t places)
{
    Timed timed;
    timed.result.assign(static_cast<std::size_t>(limb_count_for(places)), 0);
    StringSink progress;
    const auto start = std::chrono::steady_clock::now();
    const SumOutcome outcome = engine.sum_into(timed.result, progress);
    if (outcome.failure == SumFailure::none) {
        timed.terms_used = outcome.terms_used;
    }
    timed.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    timed.progress = progress.text();
    return timed;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s fast|compare PLACES...\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    bool all_same = true;
    RemainderEngine fast_engine(usable_cores());
    TermByTermEngine reference_engine;
    for (int i = 2; i < argc; ++i) {
        const auto places = static_cast<std::int32_t>(std::atol(argv[i]));
        const Timed fast = run(fast_engine, places);
        if (mode == "fast") {
            std::printf("%d places: %d terms, fast %.3f s\n", places, fast.terms_used.value_or(-1), fast.seconds);
            continue;
        }
        const Timed reference = run(reference_engine, places);
        const bool same = fast.terms_used && fast.terms_used == reference.terms_used &&
                          fast.progress == reference.progress && fast.result == reference.result;
        all_same = all_same && same;
        std::printf("%d places: %s, %d terms, fast %.3f s, term by term %.3f s, ratio %.0f\n", places,
                    same ? "same" : "DIFFERENT", reference.terms_used.value_or(-1), fast.seconds, reference.seconds,
                    reference.seconds / fast.seconds);
        std::fflush(stdout);
    }
    return all_same ? 0 : 1;
}
