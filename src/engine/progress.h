#pragma once

// Progress of a run, as one component: the "<Reached term no. N>" lines (one
// for every hundredth term), their one writer, the meter of work done that
// the fast engine's tasks report to, what each kind of work costs, and the
// pacing that turns work done into lines while the tasks run. The arithmetic
// knows nothing of it: the tasks count what their arithmetic has done.

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

// Work a run has to do, in accounts of steps that each cost about the same,
// and how much of it is done. Tasks add to their accounts from any thread;
// the pacer reads them.
class WorkMeter {
public:
    class Account {
    public:
        Account(double steps, double microseconds_a_step) : steps_(steps), cost_(microseconds_a_step) {}
        void add(std::uint64_t steps) { done_.fetch_add(steps, std::memory_order_relaxed); }

    private:
        friend class WorkMeter;
        double steps_;
        double cost_;
        std::atomic<std::uint64_t> done_{0};
    };

    // An account of `steps` to do, at so many microseconds of one core each.
    Account& open(double steps, double microseconds_a_step);
    // How much of the whole work is done, from 0 to 1.
    double completed() const;

private:
    std::deque<Account> accounts_; // a deque: accounts stay where they are
};

// What a step of each kind of work costs, in microseconds of one core, from
// the table in progress.cpp. Only the pace of the lines and the order of the
// tasks depend on it.
namespace work_costs {
// A tree's leaf is two steps: one when its term range's divisors are made,
// one when it is answered.
constexpr std::uint64_t tree_steps_a_leaf = 2;
// Whole quotients are counted in steps of this many terms.
constexpr std::uint64_t whole_quotients_a_step = 16;

double tree_step(unsigned long base, std::int32_t places);
double whole_quotients_step(std::int32_t places);
double pi_digit(std::int32_t places);
} // namespace work_costs

// Writes the progress lines as the work done passes each one.
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
