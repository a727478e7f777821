#pragma once

// Progress of a run, as one component: the "<Reached term no. N>" lines (one
// for every hundredth term), their one writer, the meter of work done that
// the fast engine's tasks are handed, the cost of each kind of work, and the
// pacing that turns work done into lines while the tasks run.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>

#include "platform/text_sink.h"

constexpr std::int64_t terms_a_line = 100;

// Writes the progress lines and remembers how many it has written, so that
// an engine that takes a run over writes only the lines still due.
class ProgressLines {
public:
    explicit ProgressLines(TextSink& sink) : sink_(sink) {}
    // Writes the lines of every hundredth term up to `terms` not yet written.
    void reach(std::int64_t terms);
    TextSink& sink() { return sink_; }

private:
    TextSink& sink_;
    std::int64_t lines_ = 0;
};

// Work a run has to do, in accounts of units that each cost about the same,
// and the share of it done so far. Tasks add to their accounts from any
// thread; the pacer reads them.
class WorkMeter {
public:
    class Account {
    public:
        Account(double units, double microseconds_a_unit) : units_(units), cost_(microseconds_a_unit) {}
        void add(std::uint64_t units) { done_.fetch_add(units, std::memory_order_relaxed); }

    private:
        friend class WorkMeter;
        double units_;
        double cost_;
        std::atomic<std::uint64_t> done_{0};
    };

    // An account of `units` to do, at so many microseconds of one core each.
    Account& open(double units, double microseconds_a_unit);
    // The share of the whole work done, 0 to 1.
    double share_done() const;

private:
    std::deque<Account> accounts_; // a deque: accounts stay where they are
};

// What a unit of each kind of work costs, in microseconds of one core. Taken
// at 1,599,999 places on the development machine (2-core AMD EPYC, Debian 12)
// from the time of each task, timed alone on one thread
// (`build/bench/engine_check --threads 1 fast 1599999` with timers around the
// tasks), and scaled as measured at 100,000 and 400,000 places: a tree's unit
// costs more in a bigger tree, a digit of pi more in a longer pi, but not
// alike. Only the pace of the lines and the order of the tasks depend on them.
namespace work_costs {
// Half a tree leaf: one half while its divisors are made, one when answered.
// A base that is a power of two shifts instead of multiplying by its powers.
double tree_unit(bool base_is_power_of_two, double log2_base, std::int32_t places);
double pi_digit(std::int32_t places);
// Sixteen whole-number quotients.
double whole_quotients(std::int32_t places);
constexpr std::uint64_t whole_quotients_a_unit = 16;
} // namespace work_costs

// Writes the progress lines as the share of the work done passes each one.
class ProgressPacer {
public:
    // How often the lines are brought up to date while the tasks run.
    static constexpr std::chrono::milliseconds tick{20};

    ProgressPacer(const WorkMeter& meter, ProgressLines& lines, std::int64_t terms_used)
        : meter_(meter), lines_(lines), terms_used_(terms_used)
    {
    }
    void catch_up();
    void finish() { lines_.reach(terms_used_); }

private:
    const WorkMeter& meter_;
    ProgressLines& lines_;
    std::int64_t terms_used_;
};
