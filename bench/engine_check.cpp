// engine_check [--threads N] fast PLACES...     the fast engine alone (for /usr/bin/time)
// engine_check [--threads N] compare PLACES...  both engines, whole results compared
// The fast engine runs on N threads (default: the usable cores). Prints one
// line a size; exits 1 if any comparison fails.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include <vector>

#include "engine/remainder_engine.h"
#include "engine/series_summation.h"
#include "platform/beyond_posix.h"
#include "platform/console.h"

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
    const SumOutcome outcome = engine.sum_into(timed.result, progress, engine.most_threads());
    if (outcome.failure == SumFailure::none) {
        timed.terms_used = outcome.terms_used;
    }
    timed.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    timed.progress = progress.text();
    return timed;
}

// The process's peak address space so far (Linux), for the memory check's figures.
std::string peak_address_space()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmPeak:")) {
            return line.substr(7);
        }
    }
    return " unknown";
}

} // namespace

int main(int argc, char** argv)
{
    unsigned threads = usable_cores();
    int first = 1;
    if (argc > 2 && std::string(argv[1]) == "--threads") {
        threads = static_cast<unsigned>(std::atoi(argv[2]));
        first = 3;
    }
    if (argc < first + 2 || threads == 0) {
        std::fprintf(stderr, "usage: %s [--threads N] fast|compare PLACES...\n", argv[0]);
        return 2;
    }
    choose_heaps_for_threads();
    const std::string mode = argv[first];
    bool all_same = true;
    StandardError notices;
    RemainderEngine fast_engine(threads, notices);
    TermByTermEngine reference_engine;
    for (int i = first + 1; i < argc; ++i) {
        const auto places = static_cast<std::int32_t>(std::atol(argv[i]));
        const Timed fast = run(fast_engine, places);
        if (mode == "fast") {
            std::printf("%d places: %d terms, fast %.3f s, peak address space%s\n", places,
                        fast.terms_used.value_or(-1), fast.seconds, peak_address_space().c_str());
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
