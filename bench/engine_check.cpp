// engine_check [--threads N] fast PLACES...     the fast engine alone, with its peak memory
//                                               (a process's peaks: one size a process)
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

// A figure of the process's memory in KiB (Linux): "VmPeak" and "VmSize" its
// address space, peak and now, "VmHWM" and "VmRSS" its resident memory.
long memory_kib(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field + ":")) {
            return std::atol(line.c_str() + field.size() + 1);
        }
    }
    return -1;
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
    // What the process holds before any run, so that a run's figures are its own.
    const long address_space_before = memory_kib("VmSize");
    const long resident_before = memory_kib("VmRSS");
    bool all_same = true;
    RemainderEngine fast_engine(threads);
    TermByTermEngine reference_engine;
    for (int i = first + 1; i < argc; ++i) {
        const auto places = static_cast<std::int32_t>(std::atol(argv[i]));
        const Timed fast = run(fast_engine, places);
        if (mode == "fast") {
            std::printf("%d places: %d terms, fast %.3f s, peaks beyond the start: address space %ld KiB, "
                        "resident %ld KiB\n",
                        places, fast.terms_used.value_or(-1), fast.seconds, memory_kib("VmPeak") - address_space_before,
                        memory_kib("VmHWM") - resident_before);
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
