#pragma once

// Progress of a run, as one component: the "<Reached term no. N>" lines (one
// for every hundredth term), their one writer, the meter of work done that
// the remainder engine's tasks report to, what each kind of work costs, and the
// pacing that turns work done into lines while the tasks run. The arithmetic
// knows nothing of it: the tasks count what their arithmetic has done.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>

#include <vector>

#include "engine/stormer_series.h"
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

// How the work is counted in steps that each cost about the same.
namespace work_costs {
// A tree's leaf is two steps: one when its term range's divisors are made,
// one when it is answered.
constexpr std::uint64_t tree_steps_a_leaf = 2;
// Whole quotients are counted in steps of this many terms.
constexpr std::uint64_t whole_quotients_a_step = 16;
} // namespace work_costs

// The meter of one remainder-engine run: an account for each part's trees
// and for its whole quotients, and one for pi's digits, each opened with its
// steps and what a step costs at the run's size (the table in progress.cpp,
// measured by bench/engine_check --costs). Only the pace of the lines
// depends on those costs.
class RunMeter {
public:
    explicit RunMeter(const SeriesRun& series);
    RunMeter(const RunMeter&) = delete;
    RunMeter& operator=(const RunMeter&) = delete;

    WorkMeter::Account& trees(std::size_t part) { return *parts_[part].trees; }
    WorkMeter::Account& whole_quotients(std::size_t part) { return *parts_[part].whole_quotients; }
    WorkMeter::Account& pi_digits() { return *pi_digits_; }
    const WorkMeter& meter() const { return meter_; }

private:
    struct PartAccounts {
        WorkMeter::Account* trees;
        WorkMeter::Account* whole_quotients;
    };
    WorkMeter meter_;
    std::vector<PartAccounts> parts_;
    WorkMeter::Account* pi_digits_;
};

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
