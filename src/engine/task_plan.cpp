#include "engine/task_plan.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "engine/big_numbers.h"
#include "engine/odd_lcm_tree.h"
#include "engine/scaled_remainder_tree.h"
#include "engine/whole_quotients.h"

namespace {

// The terms are cut into about this many runs: enough for the threads to
// share the work out evenly, few enough that the trees' root divisions (one
// for each run of each part) stay a small share.
constexpr std::int64_t runs_in_all = 10;

struct Run {
    std::int64_t first;
    std::int64_t end;
};

// The terms 0..K-1 in runs on one grid for all parts: every point where a
// part's share changes (its whole quotients end, its powers run out) is a
// boundary, and what lies between two is cut into runs of about K /
// runs_in_all terms. Within a run, each part is the same kind of work
// throughout, and the parts that need a tree share its divisors.
std::vector<Run> grid_of_runs(const SeriesRun& series)
{
    std::vector<std::int64_t> boundaries{0, series.zero_term};
    for (const PartOfRun& part : series.parts) {
        boundaries.push_back(part.whole_terms);
        boundaries.push_back(part.terms);
    }
    // (Classic algorithms: clang 14 cannot build libstdc++ 12's ranges.)
    std::sort(boundaries.begin(), boundaries.end());
    boundaries.erase(std::unique(boundaries.begin(), boundaries.end()), boundaries.end());
    const double length = std::max(1.0, static_cast<double>(series.zero_term) / runs_in_all);
    std::vector<Run> runs;
    for (std::size_t i = 0; i + 1 < boundaries.size(); ++i) {
        const std::int64_t from = boundaries[i];
        const std::int64_t to = boundaries[i + 1];
        const auto pieces = std::max<std::int64_t>(1, std::llround(static_cast<double>(to - from) / length));
        for (std::int64_t piece = 0; piece < pieces; ++piece) {
            runs.push_back({from + (to - from) * piece / pieces, from + (to - from) * (piece + 1) / pieces});
        }
    }
    return runs;
}

// Leaf i of a tree over a run is term first + i: its residue goes to the
// term's sum, its fraction's share (-1)^k f / n_k to the run's part of F.
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

// Each part's work, in units of about the same cost: two a tree leaf (one
// while its divisors are made, one when answered), one for sixteen whole
// quotients.
struct PartAccounts {
    WorkMeter::Account* tree;
    WorkMeter::Account* whole_quotients;
};

// What a part does for the terms of a run.
enum class Share { none, whole_quotients, tree };

Share share_of(const PartOfRun& part, Run run)
{
    if (run.end <= part.whole_terms) {
        return Share::whole_quotients;
    }
    return run.end <= part.terms ? Share::tree : Share::none;
}

// Every part's share of one run of terms.
void work_out_run(RunWork& work, Run run, const std::vector<PartAccounts>& accounts, RoundedSum& fractions,
                  RoundedSum& residue_shares)
{
    ResidueSums residues(run.first, run.end - run.first);
    std::optional<DivisorTree> divisors;
    const auto leaves = static_cast<std::size_t>(run.end - run.first);
    for (std::size_t i = 0; i < work.series.parts.size(); ++i) {
        const PartOfRun& part = work.series.parts[i];
        switch (share_of(part, run)) {
        case Share::none:
            break;
        case Share::whole_quotients:
            add_whole_quotient_residues(part, work.series.places, run.first, run.end, residues,
                                        *accounts[i].whole_quotients);
            break;
        case Share::tree: {
            if (!divisors) {
                divisors = odd_lcm_tree(odd_divisor(run.first), leaves);
            }
            accounts[i].tree->add(leaves); // the divisors' share
            SeriesLeaves answers(run.first, residues, fractions);
            answer_queries({part.dividend, part.tree_base, part.exponent_scale, part.exponent_offset}, *divisors,
                           answers, *accounts[i].tree);
            break;
        }
        }
    }
    residue_shares = sum_residue_shares(residues);
}

} // namespace

std::vector<std::function<void()>> plan_tasks(RunWork& work)
{
    struct Task {
        double cost;
        std::function<void()> work;
    };
    std::vector<Task> tasks;
    const std::int32_t places = work.series.places;
    std::vector<PartAccounts> accounts;
    std::vector<double> leaf_costs; // microseconds a term, for each part
    std::vector<double> whole_costs;
    for (const PartOfRun& part : work.series.parts) {
        const double tree_unit =
            work_costs::tree_unit(part.base_is_power_of_two(), std::log2(static_cast<double>(part.part.base)), places);
        const double whole_unit = work_costs::whole_quotients(places);
        const auto terms_a_unit = static_cast<double>(work_costs::whole_quotients_a_unit);
        accounts.push_back({&work.meter.open(2 * static_cast<double>(part.terms - part.whole_terms), tree_unit),
                            &work.meter.open(static_cast<double>(part.whole_terms) / terms_a_unit, whole_unit)});
        leaf_costs.push_back(2 * tree_unit);
        whole_costs.push_back(whole_unit / terms_a_unit);
    }
    for (const Run run : grid_of_runs(work.series)) {
        double cost = 0;
        for (std::size_t i = 0; i < work.series.parts.size(); ++i) {
            const Share share = share_of(work.series.parts[i], run);
            const auto terms = static_cast<double>(run.end - run.first);
            cost += share == Share::tree              ? terms * leaf_costs[i]
                    : share == Share::whole_quotients ? terms * whole_costs[i]
                                                      : 0;
        }
        RoundedSum& fractions = work.fractions.emplace_back();
        RoundedSum& residue_shares = work.residue_shares.emplace_back();
        tasks.push_back({cost, [&work, run, accounts, &fractions, &residue_shares] {
                             work_out_run(work, run, accounts, fractions, residue_shares);
                         }});
    }
    const double digit_cost = work_costs::pi_digit(places);
    WorkMeter::Account& pi_account = work.meter.open(places, digit_cost);
    tasks.push_back({digit_cost * places, [&work, &pi_account, places] {
                         work.pi = digits_of_pi(places, work.series.ten_to_places);
                         pi_account.add(static_cast<std::uint64_t>(places));
                     }});
    std::stable_sort(tasks.begin(), tasks.end(), [](const Task& a, const Task& b) { return a.cost > b.cost; });
    std::vector<std::function<void()>> ordered;
    for (Task& task : tasks) {
        // Each task leaves the library caches of its thread empty behind it.
        ordered.push_back([work = std::move(task.work)] {
            work();
            release_library_caches();
        });
    }
    return ordered;
}
