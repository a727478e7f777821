#include "engine/task_plan.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

#include "engine/odd_lcm_tree.h"
#include "engine/scaled_remainder_tree.h"
#include "engine/whole_quotients.h"

namespace {

// Each part's tree range is cut into this many runs, so that the threads can
// share the work out evenly.
constexpr std::int64_t runs_per_part = 4;

struct Run {
    std::int64_t first;
    std::int64_t end;
};

// [first, end) cut into this many runs of about the same length.
std::vector<Run> cut(std::int64_t first, std::int64_t end, std::int64_t parts)
{
    std::vector<Run> runs;
    for (std::int64_t part = 0; part < parts; ++part) {
        const std::int64_t from = first + (end - first) * part / parts;
        const std::int64_t to = first + (end - first) * (part + 1) / parts;
        if (from < to) {
            runs.push_back({from, to});
        }
    }
    return runs;
}

// The runs of each part's tree range, terms whole_terms..terms-1. A part
// whose range begins where one already cut begins, and reaches as far, takes
// that one's runs (and so their divisors) and cuts the rest into runs of
// about their length: Stormer's 239 and 57 share their first 336,361 terms
// at the largest size.
std::vector<std::vector<Run>> runs_of_parts(const std::vector<PartOfRun>& parts)
{
    std::vector<std::size_t> order(parts.size());
    for (std::size_t i = 0; i < parts.size(); ++i) {
        order[i] = i;
    }
    std::ranges::stable_sort(order, {}, [&](std::size_t i) { return parts[i].terms; });
    std::vector<std::vector<Run>> runs(parts.size());
    std::vector<std::size_t> cut_already;
    for (const std::size_t i : order) {
        const std::int64_t first = parts[i].whole_terms;
        const std::int64_t end = parts[i].terms;
        if (first >= end) {
            continue;
        }
        for (const std::size_t j : cut_already) {
            const std::int64_t shared_end = parts[j].terms;
            if (parts[j].whole_terms == first && shared_end <= end) {
                runs[i] = runs[j];
                const auto shared_runs = static_cast<std::int64_t>(runs[j].size());
                const std::int64_t further =
                    std::max<std::int64_t>(1, (end - shared_end) * shared_runs / (shared_end - first));
                std::ranges::copy(cut(shared_end, end, further), std::back_inserter(runs[i]));
                break;
            }
        }
        if (runs[i].empty()) {
            runs[i] = cut(first, end, runs_per_part);
        }
        cut_already.push_back(i);
    }
    return runs;
}

// Leaf i of a tree over a run is term first + i: its residue goes to the
// term's sum, its fraction's share (-1)^k f / n_k to the tree's part of F.
class SeriesLeaves : public LeafAnswers {
public:
    SeriesLeaves(std::int64_t first, ResidueSums& residues, RoundedSum& fractions)
        : first_(first), residues_(residues), fractions_(fractions)
    {
    }
    void answer(std::size_t leaf, std::uint64_t residue, double fraction) override
    {
        const std::int64_t k = first_ + static_cast<std::int64_t>(leaf);
        residues_.add(k, residue);
        const double share = fraction / static_cast<double>(odd_divisor(k));
        fractions_.add(k % 2 == 0 ? share : -share);
    }

private:
    std::int64_t first_;
    ResidueSums& residues_;
    RoundedSum& fractions_;
};

} // namespace

// A run's divisors, made by the first of the trees over its terms to need
// them and given back by the last.
struct SharedDivisors {
    explicit SharedDivisors(Run run) : run(run) {}

    Run run;
    std::once_flag made;
    std::unique_ptr<const DivisorTree> tree;
    std::atomic<int> users{0};
};

RunWork::RunWork(SeriesRun prepared) : series(std::move(prepared)), residues(series.zero_term) {}

RunWork::~RunWork() = default;

std::vector<std::function<void()>> plan_tasks(RunWork& work)
{
    struct Task {
        double cost;
        std::function<void()> work;
    };
    std::vector<Task> tasks;
    const std::int32_t places = work.series.places;
    const std::vector<std::vector<Run>> runs = runs_of_parts(work.series.parts);
    const auto divisors_for = [&](Run run) -> SharedDivisors& {
        for (const std::unique_ptr<SharedDivisors>& shared : work.divisors) {
            if (shared->run.first == run.first && shared->run.end == run.end) {
                ++shared->users;
                return *shared;
            }
        }
        SharedDivisors& shared = *work.divisors.emplace_back(std::make_unique<SharedDivisors>(run));
        ++shared.users;
        return shared;
    };
    // The whole quotients in short runs: the last tasks to be taken, so that
    // neither thread waits long for the other at the end.
    for (const PartOfRun& part : work.series.parts) {
        if (part.whole_terms == 0) {
            continue;
        }
        const double unit_cost = work_costs::whole_quotients(places);
        const auto unit_terms = static_cast<double>(work_costs::whole_quotients_a_unit);
        WorkMeter::Account& account = work.meter.open(static_cast<double>(part.whole_terms) / unit_terms, unit_cost);
        for (const Run run : cut(0, part.whole_terms, runs_per_part)) {
            tasks.push_back({unit_cost * static_cast<double>(run.end - run.first) / unit_terms,
                             [&work, &part, &account, places, run] {
                                 add_whole_quotient_residues(part, places, run.first, run.end, work.residues, account);
                             }});
        }
    }
    for (std::size_t i = 0; i < work.series.parts.size(); ++i) {
        const PartOfRun& part = work.series.parts[i];
        const double unit_cost =
            work_costs::tree_unit(part.base_is_power_of_two(), std::log2(static_cast<double>(part.part.base)), places);
        // Two units a leaf: one while its divisors are made, one when answered.
        WorkMeter::Account& account =
            work.meter.open(2 * static_cast<double>(part.terms - part.whole_terms), unit_cost);
        for (const Run run : runs[i]) {
            SharedDivisors& divisors = divisors_for(run);
            RoundedSum& fractions = work.fractions.emplace_back();
            const auto leaves = static_cast<std::size_t>(run.end - run.first);
            tasks.push_back({unit_cost * 2 * static_cast<double>(leaves),
                             [&work, &part, &account, &divisors, &fractions, run, leaves] {
                                 std::call_once(divisors.made, [&] {
                                     divisors.tree = std::make_unique<const DivisorTree>(
                                         odd_lcm_tree(odd_divisor(run.first), leaves));
                                 });
                                 account.add(leaves);
                                 RemainderQueries queries{part.dividend, part.tree_base, {}};
                                 for (std::int64_t k = run.first; k < run.end; ++k) {
                                     queries.exponents.push_back(part.exponent_of(k));
                                 }
                                 SeriesLeaves answers(run.first, work.residues, fractions);
                                 answer_queries(queries, *divisors.tree, answers, account);
                                 if (--divisors.users == 0) {
                                     divisors.tree.reset();
                                 }
                             }});
        }
    }
    const double digit_cost = work_costs::pi_digit(places);
    WorkMeter::Account& pi_account = work.meter.open(places, digit_cost);
    tasks.push_back({digit_cost * places, [&work, &pi_account, places] {
                         work.pi = digits_of_pi(places, work.series.ten_to_places);
                         pi_account.add(static_cast<std::uint64_t>(places));
                     }});
    std::ranges::stable_sort(tasks, std::greater<>(), &Task::cost);
    std::vector<std::function<void()>> ordered;
    for (Task& task : tasks) {
        ordered.push_back(std::move(task.work));
    }
    return ordered;
}
