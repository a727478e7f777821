// engine_check fast PLACES...     the fast engine alone (for /usr/bin/time)
// engine_check compare PLACES...  both engines, whole results compared
// Prints one line a size; exits 1 if any comparison fails.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/remainder_summation.h"
#include "engine/series_summation.h"

namespace {

struct Timed {
    std::optional<RunNumbers> numbers;
    std::optional<std::int32_t> terms_used;
    std::string progress;
    double seconds = 0;
};

Timed run(SeriesSummation engine, std::int32_t places)
{
    Timed timed;
    timed.numbers = allocate_run_numbers(limb_count_for(places));
    StringSink progress;
    const auto start = std::chrono::steady_clock::now();
    timed.terms_used = engine(*timed.numbers, progress);
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
    for (int i = 2; i < argc; ++i) {
        const auto places = static_cast<std::int32_t>(std::atol(argv[i]));
        const Timed fast = run(try_sum_series_by_remainders, places);
        if (mode == "fast") {
            std::printf("%d places: %d terms, fast %.3f s\n", places, fast.terms_used.value_or(-1), fast.seconds);
            continue;
        }
        const Timed reference = run(sum_series_by_terms, places);
        const LimbSpan a = fast.numbers->view(fast.numbers->result);
        const LimbSpan b = reference.numbers->view(reference.numbers->result);
        const bool same = fast.terms_used && fast.terms_used == reference.terms_used &&
                          fast.progress == reference.progress && std::equal(a.begin(), a.end(), b.begin());
        all_same = all_same && same;
        std::printf("%d places: %s, %d terms, fast %.3f s, term by term %.3f s, ratio %.0f\n", places,
                    same ? "same" : "DIFFERENT", reference.terms_used.value_or(-1), fast.seconds, reference.seconds,
                    reference.seconds / fast.seconds);
        std::fflush(stdout);
    }
    return all_same ? 0 : 1;
}
