#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <mpfr.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "dialogue/run_loop.h"
#include "engine/remainder_engine.h"
#include "engine/term_by_term_engine.h"
#include "platform/memory.h"
#include "sanitizer.h"
#include "test_helpers.h"

namespace {

struct EngineRun {
    std::vector<limb> result;
    std::optional<std::int32_t> terms_used;
    std::string progress;
};

EngineRun run_engine(PiEngine& engine, RunSize size)
{
    EngineRun run;
    run.result.assign(static_cast<std::size_t>(size.limbs), 0);
    StringSink progress;
    const SumOutcome outcome = engine.sum_into(size, run.result, progress, engine.most_threads());
    if (outcome.failure == SumFailure::none) {
        run.terms_used = outcome.terms_used;
    }
    run.progress = progress.text();
    return run;
}

// The remainder engine's word, should it ever hand a run to the term-by-term
// engine; these checks have it fail such a run at once instead.
StringSink notices;
RemainderEngine remainder_engine(2, notices, RemainderEngine::Untrusted::fail);
TermByTermEngine term_by_term_engine;

// Compares the remainder engine, without its handing over, with the
// term-by-term engine.
void expect_same_as_term_by_term(RunSize size)
{
    const EngineRun remainder = run_engine(remainder_engine, size);
    const EngineRun term_by_term = run_engine(term_by_term_engine, size);
    ASSERT_TRUE(remainder.terms_used.has_value() && notices.text().empty())
        << "no trusted result at " << size.places << " places: " << notices.text();
    EXPECT_EQ(remainder.terms_used, term_by_term.terms_used) << size.places << " places";
    EXPECT_EQ(remainder.progress, term_by_term.progress) << size.places << " places";
    EXPECT_TRUE(remainder.result == term_by_term.result) << "results differ at " << size.places << " places";
}

std::string digits_of(const std::vector<limb>& number)
{
    std::string digits = std::to_string(number[0]);
    for (std::size_t k = 1; k < number.size(); ++k) {
        char group[4];
        std::snprintf(group, sizeof group, "%03d", number[k]);
        digits += group;
    }
    return digits;
}

} // namespace

TEST(RemainderEngine, MatchesTheTermByTermEngineAtEveryLimbCountUpTo1000)
{
    for (std::int32_t limb_count = 4; limb_count <= 1000; ++limb_count) {
        expect_same_as_term_by_term(RunSize{limb_count, 3 * limb_count - 3});
        if (HasFailure()) {
            return;
        }
    }
}

// pi's digits from MPFR, which come from the AGM, not from the engine's
// Chudnovsky series: all but the last ten of the result's must be these.
void expect_pi_but_its_last_digits(const EngineRun& run)
{
    const std::size_t digits = run.result.size() * 3 - 2;
    mpfr_t pi;
    mpfr_init2(pi, static_cast<mpfr_prec_t>(static_cast<double>(digits) * 3.33) + 64);
    mpfr_const_pi(pi, MPFR_RNDN);
    mpfr_exp_t exponent = 0;
    char* pi_digits = mpfr_get_str(nullptr, &exponent, 10, digits, pi, MPFR_RNDZ);
    const std::string expected(pi_digits, digits - 10);
    mpfr_free_str(pi_digits);
    mpfr_clear(pi);
    mpfr_free_cache();

    EXPECT_EQ(exponent, 1);
    const std::string computed = digits_of(run.result);
    ASSERT_EQ(computed.size(), digits);
    EXPECT_TRUE(computed.compare(0, expected.size(), expected) == 0)
        << "first difference at digit "
        << std::mismatch(expected.begin(), expected.end(), computed.begin()).first - expected.begin();
}

// Sizes drawn log-uniformly over the engine's whole range: as far as the
// term-by-term engine takes a moment, compared with it whole; beyond, trusted
// without handing the run over, with a line for every hundredth term, and
// with pi's digits but for the truncation's.
TEST(RemainderEngine, MatchesAtSizesAcrossItsWholeRange)
{
    constexpr std::int32_t largest_compared = 40'000;
    std::mt19937 random(20261208);
    std::uniform_real_distribution<double> log_places(std::log(1'000.0), std::log(largest_run.places));
    for (int trial = 0; trial < 8; ++trial) {
        const RunSize size = run_size_for(static_cast<std::int32_t>(std::exp(log_places(random))));
        if (size.places <= largest_compared) {
            expect_same_as_term_by_term(size);
            continue;
        }
        const EngineRun remainder = run_engine(remainder_engine, size);
        ASSERT_TRUE(remainder.terms_used.has_value() && notices.text().empty())
            << size.places << " places: " << notices.text();
        EXPECT_EQ(std::count(remainder.progress.begin(), remainder.progress.end(), '\n'), *remainder.terms_used / 100);
        expect_pi_but_its_last_digits(remainder);
    }
    expect_same_as_term_by_term(run_size_for(largest_compared));
}

// FNV-1a, 64 bits: a fingerprint of a whole layout.
std::uint64_t fingerprint(std::string_view bytes)
{
    std::uint64_t hash = 14695981039346656037ULL;
    for (const unsigned char c : bytes) {
        hash = (hash ^ c) * 1099511628211ULL;
    }
    return hash;
}

// The largest run: the known answer was made once by the term-by-term engine
// (about an hour). The correction it rests on lands on its whole number with
// room to spare: the error budget, safety factor included, decides it.
TEST(RemainderEngine, LargestRunGivesTheKnownAnswerWithItsBudgetToSpare)
{
    const EngineRun remainder = run_engine(remainder_engine, largest_run);
    ASSERT_TRUE(remainder.terms_used.has_value());
    EXPECT_EQ(*remainder.terms_used, 885'845);
    std::string progress;
    for (int term = 100; term <= 885'845; term += 100) {
        progress += "<Reached term no. " + std::to_string(term) + ">\n";
    }
    EXPECT_TRUE(remainder.progress == progress);
    StringSink layout;
    write_layout(layout, remainder.result);
    EXPECT_EQ(layout.text().size(), 1'620'514U);
    EXPECT_EQ(fingerprint(layout.text()), 0xd51fd415d010f46bULL);
    expect_pi_but_its_last_digits(remainder);

    const Correction& correction = remainder_engine.last_correction();
    const long double allowed = budget_safety_factor * correction.error_bound;
    const long double distance = std::fabs(correction.value - std::round(correction.value));
    EXPECT_LT(allowed, 0.5L / 1024) << "the budget leaves less than a factor 1024 of room below 1/2: it is "
                                    << static_cast<double>(correction.error_bound) << ", times the safety factor "
                                    << static_cast<double>(allowed);
    EXPECT_LE(distance, correction.error_bound)
        << "the correction lands " << static_cast<double>(distance) << " from its whole number, beyond its budget "
        << static_cast<double>(correction.error_bound);
}

// Should the correction ever be beyond its budget, the remainder engine says
// so in one line on its notices, then hands the run to the term-by-term
// engine, which writes only the progress lines not yet written: with lines up
// to term 200 shown, those of terms 300 to 500 of 999 places.
TEST(RemainderEngine, AHandedOverRunIsAnnouncedAndWritesOnlyTheLinesStillDue)
{
    StringSink shown;
    ProgressLines lines(shown);
    lines.reach(250);
    StringSink handover_notices;
    const RunSize size = run_size_for(999);
    std::vector<limb> result(static_cast<std::size_t>(size.limbs));
    const SumOutcome outcome =
        sum_term_by_term_instead(size, result, lines, handover_notices, Correction{0.5L, 1e-12L});
    EXPECT_EQ(outcome.terms_used, 553);
    EXPECT_EQ(shown.text(), "<Reached term no. 100>\n<Reached term no. 200>\n<Reached term no. 300>\n"
                            "<Reached term no. 400>\n<Reached term no. 500>\n");
    EXPECT_TRUE(result == run_engine(term_by_term_engine, size).result);
    EXPECT_TRUE(handover_notices.text().starts_with("stormer-pi: "));
    EXPECT_EQ(std::count(handover_notices.text().begin(), handover_notices.text().end(), '\n'), 1);
}

// Notes when each piece of text arrives.
class TimedSink : public TextSink {
public:
    void write(std::string_view) override { arrivals.push_back(std::chrono::steady_clock::now()); }
    std::vector<std::chrono::steady_clock::time_point> arrivals;
};

TEST(RemainderEngine, ProgressLinesArriveAsTheWorkIsDone)
{
    const RunSize size = run_size_for(300'000);
    std::vector<limb> result(static_cast<std::size_t>(size.limbs));
    TimedSink progress;
    const auto start = std::chrono::steady_clock::now();
    remainder_engine.sum_into(size, result, progress, 2);
    const auto end = std::chrono::steady_clock::now();
    ASSERT_EQ(progress.arrivals.size(), 1660U);
    EXPECT_GT(progress.arrivals.back() - progress.arrivals.front(), (end - start) / 4) << "the lines came in one burst";
}

// Given more threads than the memory that can be had allows, the engine runs
// on fewer instead of failing an allocation half-way.
TEST(RemainderEngine, ManyThreadsUnderAnAddressSpaceLimitRunOnFewer)
{
    if (address_sanitizer) {
        GTEST_SKIP() << "the address sanitizer needs far more address space than any limit here";
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const RunSize size = run_size_for(400'000);
        std::vector<limb> result(static_cast<std::size_t>(size.limbs));
        std::size_t pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const auto limit = static_cast<rlim_t>(pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE))) + (12 << 20);
        const rlimit address_space{limit, limit};
        ::setrlimit(RLIMIT_AS, &address_space);
        choose_heaps_for_threads();
        RemainderEngine engine(16, notices);
        const unsigned threads = threads_within_memory(engine, size, SessionMemory());
        if (threads == 0 || threads == engine.most_threads()) {
            ::_exit(10 + static_cast<int>(threads));
        }
        StringSink progress;
        const SumOutcome outcome = engine.sum_into(size, result, progress, threads);
        ::_exit(outcome.failure == SumFailure::none && outcome.terms_used == 221'460 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WIFSIGNALED(status) ? "ended by a signal" : "exit status " + std::to_string(WEXITSTATUS(status)));
}

// Both engines refuse a run beyond the largest, asserts or not.
TEST(Engines, RefuseRunsBeyondTheLargest)
{
    for (PiEngine* engine : std::initializer_list<PiEngine*>{&remainder_engine, &term_by_term_engine}) {
        const RunSize size{largest_run.limbs + 1, largest_run.places + 3};
        std::vector<limb> result(static_cast<std::size_t>(size.limbs));
        StringSink progress;
        EXPECT_EQ(engine->sum_into(size, result, progress, 1).failure, SumFailure::too_large);
        EXPECT_TRUE(progress.text().empty());
    }
}
