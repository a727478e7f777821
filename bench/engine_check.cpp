// engine_check [--threads N] remainder PLACES...  the remainder engine alone, with its peak memory
//                                                 and its correction's budget (a process's peaks:
//                                                 one size a process)
// engine_check [--threads N] compare PLACES...    both engines, whole results compared
// engine_check --costs                            the remainder engine's cost table, measured
// engine_check --versions                         the libraries loaded
// engine_check --thresholds                       FLINT against GMP for products and divisions
//                                                 (big_numbers.h's thresholds), alone on one core
// The remainder engine runs on N threads (default: the usable cores). Prints
// one line a size; exits 1 if any comparison fails.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>

#include <vector>

#include "engine/big_numbers.h"
#if __FLINT_RELEASE >= 30000
#include <flint/mpn_extras.h>
#endif
#include "engine/odd_divisor_tree.h"
#include "engine/remainder_engine.h"
#include "engine/task_plan.h"
#include "engine/term_by_term_engine.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/threads.h"

namespace {

// The progress lines, kept to be compared.
class KeptText : public TextSink {
public:
    void write(std::string_view text) override { text_.append(text); }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

struct Timed {
    std::vector<limb> result;
    std::optional<std::int32_t> terms_used;
    std::string progress;
    double seconds = 0;
};

Timed run(PiEngine& engine, std::int32_t places)
{
    Timed timed;
    const RunSize size = run_size_for(places);
    timed.result.assign(static_cast<std::size_t>(size.limbs), 0);
    KeptText progress;
    const auto start = std::chrono::steady_clock::now();
    const SumOutcome outcome = engine.sum_into(size, timed.result, progress, engine.most_threads());
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

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Answers that go nowhere: only the time of the tree counts.
class DroppedAnswers : public LeafAnswers {
public:
    void answer(std::size_t, std::uint64_t residue, long double fraction) override
    {
        kept_ += residue + static_cast<std::uint64_t>(fraction * 1e6L);
    }

private:
    std::uint64_t kept_ = 0;
};

// One row of progress.cpp's cost table at this size: the microseconds of one
// core a step of each kind of work takes, on this thread alone.
void print_costs_at(std::int32_t asked_places)
{
    const RunSize size = run_size_for(asked_places);
    const std::int32_t places = size.places;
    const SeriesRun series = prepare_series(stormer_series, places);
    std::printf("    {%d, {", places);
    std::uint64_t whole_terms = 0;
    double whole_seconds = 0;
    for (std::size_t i = 0; i < series.parts.size(); ++i) {
        const PartOfRun& part = series.parts[i];
        std::uint64_t leaves = 0;
        double tree_seconds = 0;
        for (const TermRange range : term_ranges(series)) {
            const auto start = std::chrono::steady_clock::now();
            if (work_of(part, range) == PartWork::tree) {
                DroppedAnswers answers;
                answer_queries(part.quotients(series.ten_to_places),
                               odd_divisor_tree(odd_divisor(range.first), range.terms()), answers);
                tree_seconds += seconds_since(start);
                leaves += static_cast<std::uint64_t>(range.terms());
            } else if (work_of(part, range) == PartWork::whole_quotients) {
                std::vector<std::uint64_t> residues(static_cast<std::size_t>(range.terms()));
                whole_quotient_residues(part, range.first, residues);
                const std::uint64_t kept = residues.back();
                whole_seconds += seconds_since(start) + static_cast<double>(kept % 2) * 1e-12;
                whole_terms += static_cast<std::uint64_t>(range.terms());
            }
        }
        const double steps = static_cast<double>(work_costs::tree_steps_a_leaf * leaves);
        std::printf("%s%.3f", i == 0 ? "" : ", ", steps > 0 ? tree_seconds * 1e6 / steps : 0.0);
    }
    const double whole_steps = static_cast<double>(whole_terms) / work_costs::whole_quotients_a_step;
    const auto start = std::chrono::steady_clock::now();
    std::vector<limb> digits(static_cast<std::size_t>(size.limbs));
    write_pi_digits(digits, places, series.ten_to_places);
    const double pi_seconds = seconds_since(start);
    std::printf("}, %.3f, %.3f},\n", whole_steps > 0 ? whole_seconds * 1e6 / whole_steps : 0.0,
                pi_seconds * 1e6 / static_cast<double>(places));
}

std::string processor_name()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.starts_with("model name")) {
            return line.substr(line.find(':') + 2);
        }
    }
    return "unknown processor";
}

// Where the loaded FLINT comes from: a copy for the processor lives under a
// glibc-hwcaps folder.
std::string loaded_flint()
{
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (const std::size_t at = line.find('/');
            at != std::string::npos && line.find("libflint.so") != std::string::npos) {
            return line.substr(at);
        }
    }
    return "no FLINT loaded";
}

// Seconds a call of `work` takes, the least of a few rounds of enough calls.
template <typename Work> double seconds_a_call(Work work)
{
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
        int calls = 0;
        const auto start = std::chrono::steady_clock::now();
        do {
            work();
            ++calls;
        } while (seconds_since(start) < 0.02);
        best = std::min(best, seconds_since(start) / calls);
    }
    return best;
}

// Products (balanced, and two limbs to one) and divisions (a quotient as long
// as the divisor) through GMP and through FLINT, timed side by side.
void print_thresholds()
{
#if __FLINT_RELEASE >= 30000
    gmp_randclass random(gmp_randinit_default);
    std::printf("limbs   product 1:1  2:1 (FLINT's time over GMP's)   division (FLINT's over GMP's)\n");
    for (const long limbs : {50L, 100L, 150L, 200L, 300L, 500L, 700L, 1000L, 1500L, 2000L, 5000L}) {
        const mpz_class a = random.get_z_bits(64 * limbs);
        const mpz_class b = random.get_z_bits(64 * limbs);
        const mpz_class longer = random.get_z_bits(128 * limbs);
        mpz_class out;
        std::vector<mp_limb_t> limbs_out(static_cast<std::size_t>(4 * limbs + 4));
        const auto product_ratio = [&](const mpz_class& x, const mpz_class& y) {
            const auto xn = static_cast<mp_size_t>(mpz_size(x.get_mpz_t()));
            const auto yn = static_cast<mp_size_t>(mpz_size(y.get_mpz_t()));
            const double gmp = seconds_a_call([&] { mpz_mul(out.get_mpz_t(), x.get_mpz_t(), y.get_mpz_t()); });
            const double flint = seconds_a_call([&] {
                flint_mpn_mul(limbs_out.data(), mpz_limbs_read(x.get_mpz_t()), xn, mpz_limbs_read(y.get_mpz_t()), yn);
            });
            return flint / gmp;
        };
        const double gmp_division =
            seconds_a_call([&] { mpz_tdiv_q(out.get_mpz_t(), longer.get_mpz_t(), b.get_mpz_t()); });
        FmpzNumber dividend, divisor, quotient;
        fmpz_set_mpz(dividend.value, longer.get_mpz_t());
        fmpz_set_mpz(divisor.value, b.get_mpz_t());
        const double flint_division =
            seconds_a_call([&] { fmpz_tdiv_q(quotient.value, dividend.value, divisor.value); });
        std::printf("%5ld   %11.2f  %4.2f                             %.2f\n", limbs, product_ratio(a, b),
                    product_ratio(longer, b), flint_division / gmp_division);
        std::fflush(stdout);
    }
    std::printf("The engine's thresholds: products from %ld limbs, divisions from %ld\n", flint_product_limbs,
                flint_division_limbs);
#else
    std::printf("FLINT %s: the products and divisions are GMP's, no threshold to measure\n", flint_version);
#endif
}

void print_cost_table()
{
    char today[16];
    const std::time_t now = std::time(nullptr);
    std::strftime(today, sizeof today, "%Y-%m-%d", std::gmtime(&now));
    std::printf("// Made by `build/bench/engine_check --costs` (%s, %s, %s from %s):\n", today,
                processor_name().c_str(), library_versions().c_str(), loaded_flint().c_str());
    for (const std::int32_t places : {100'000, 400'000, 1'599'999}) {
        print_costs_at(places);
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::string(argv[1]) == "--thresholds") {
        print_thresholds();
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "--versions") {
        std::printf("%s\n", library_versions().c_str());
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "--costs") {
        print_cost_table();
        return 0;
    }
    unsigned threads = usable_cores();
    int first = 1;
    if (argc > 2 && std::string(argv[1]) == "--threads") {
        threads = static_cast<unsigned>(std::atoi(argv[2]));
        first = 3;
    }
    if (argc < first + 2 || threads == 0) {
        std::fprintf(stderr, "usage: %s [--threads N] remainder|compare PLACES...\n", argv[0]);
        return 2;
    }
    choose_heaps_for_threads();
    const std::string mode = argv[first];
    // What the process holds before any run, so that a run's figures are its own.
    const long address_space_before = memory_kib("VmSize");
    const long resident_before = memory_kib("VmRSS");
    bool all_same = true;
    StandardError notices;
    RemainderEngine remainder_engine(threads, notices);
    TermByTermEngine term_by_term_engine;
    for (int i = first + 1; i < argc; ++i) {
        const auto places = static_cast<std::int32_t>(std::atol(argv[i]));
        const Timed remainder = run(remainder_engine, places);
        if (mode == "remainder") {
            const Correction& correction = remainder_engine.last_correction();
            std::printf("%d places: %d terms, remainder engine %.3f s, correction %.6Lf within %.3Le, peaks beyond the "
                        "start: address space %ld KiB, resident %ld KiB\n",
                        places, remainder.terms_used.value_or(-1), remainder.seconds, correction.value,
                        correction.error_bound, memory_kib("VmPeak") - address_space_before,
                        memory_kib("VmHWM") - resident_before);
            continue;
        }
        const Timed term_by_term = run(term_by_term_engine, places);
        const bool same = remainder.terms_used && remainder.terms_used == term_by_term.terms_used &&
                          remainder.progress == term_by_term.progress && remainder.result == term_by_term.result;
        all_same = all_same && same;
        std::printf("%d places: %s, %d terms, remainder engine %.3f s, term by term %.3f s, ratio %.0f\n", places,
                    same ? "same" : "DIFFERENT", term_by_term.terms_used.value_or(-1), remainder.seconds,
                    term_by_term.seconds, term_by_term.seconds / remainder.seconds);
        std::fflush(stdout);
    }
    return all_same ? 0 : 1;
}
