#include "engine/task_plan.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "engine/big_numbers.h"
#include "engine/odd_lcm_tree.h"
#include "engine/scaled_remainder_tree.h"
#include "platform/memory.h"

namespace {

// The terms are cut into about this many ranges: enough for the threads to
// end close together, few enough that the trees' root divisions (one
// for each range of each part) stay a small part of the work.
constexpr std::int64_t ranges_in_all = 10;

// A part's accounts on the run's meter, and what a step of each costs.
struct PartMeters {
    WorkMeter::Account* tree;
    double tree_step_cost;
    WorkMeter::Account* whole_quotients;
    double whole_quotients_step_cost;

    double cost_of(PartWork work, TermRange range) const
    {
        const auto terms = static_cast<double>(range.terms());
        switch (work) {
        case PartWork::tree:
            return terms * static_cast<double>(work_costs::tree_steps_a_leaf) * tree_step_cost;
        case PartWork::whole_quotients:
            return terms / static_cast<double>(work_costs::whole_quotients_a_step) * whole_quotients_step_cost;
        case PartWork::none:
            break;
        }
        return 0;
    }
};

// Leaf i of a tree over a range is term first + i: its residue goes to the
// term's residue sum, its fraction's addend (-1)^k f / n_k to the range's
// partial sum of F. Leaves answered are counted on the meter, some at a time.
class SeriesLeaves : public LeafAnswers {
public:
    SeriesLeaves(std::int64_t first, ResidueSums& residues, RoundedSum& fractions, WorkMeter::Account& meter)
        : first_(first), residues_(residues), fractions_(fractions), meter_(meter)
    {
    }
    ~SeriesLeaves() override { meter_.add(unreported_); }
    SeriesLeaves(const SeriesLeaves&) = delete;
    SeriesLeaves& operator=(const SeriesLeaves&) = delete;

    void answer(std::size_t leaf, std::uint64_t residue, long double fraction) override
    {
        const std::int64_t k = first_ + static_cast<std::int64_t>(leaf);
        residues_.add(k, residue);
        const auto addend = static_cast<double>(fraction / static_cast<long double>(odd_divisor(k)));
        fractions_.add(k % 2 == 0 ? addend : -addend);
        if (++unreported_ == report_every) {
            meter_.add(unreported_);
            unreported_ = 0;
        }
    }

private:
    static constexpr std::uint64_t report_every = 64;
    std::int64_t first_;
    ResidueSums& residues_;
    RoundedSum& fractions_;
    WorkMeter::Account& meter_;
    std::uint64_t unreported_ = 0;
};

void add_whole_quotient_residues(const PartOfRun& part, TermRange range, ResidueSums& residues,
                                 WorkMeter::Account& meter)
{
    constexpr auto step = static_cast<std::int64_t>(work_costs::whole_quotients_a_step);
    std::array<std::uint64_t, work_costs::whole_quotients_a_step> step_residues{};
    for (std::int64_t k = range.first; k < range.end; k += step) {
        const std::span<std::uint64_t> these(step_residues.data(),
                                             static_cast<std::size_t>(std::min(step, range.end - k)));
        whole_quotient_residues(part, k, these);
        for (std::size_t i = 0; i < these.size(); ++i) {
            residues.add(k + static_cast<std::int64_t>(i), these[i]);
        }
        meter.add(1);
    }
}

// Every part's work over one term range, into the range's partial sums.
void work_out_range(const SeriesRun& series, TermRange range, const std::vector<PartMeters>& meters, RangeSums& sums)
{
    ResidueSums residues(range.first, range.terms());
    std::optional<DivisorTree> divisors;
    for (std::size_t i = 0; i < series.parts.size(); ++i) {
        const PartOfRun& part = series.parts[i];
        switch (work_of(part, range)) {
        case PartWork::none:
            break;
        case PartWork::whole_quotients:
            add_whole_quotient_residues(part, range, residues, *meters[i].whole_quotients);
            break;
        case PartWork::tree: {
            if (!divisors) {
                divisors = odd_lcm_tree(odd_divisor(range.first), static_cast<std::size_t>(range.terms()));
            }
            meters[i].tree->add(static_cast<std::uint64_t>(range.terms())); // the divisors' step
            SeriesLeaves answers(range.first, residues, sums.fractions, *meters[i].tree);
            answer_queries(part.quotients(series.ten_to_places), *divisors, answers);
            break;
        }
        }
    }
    sums.add_residues(residues);
}

} // namespace

// The terms 0..K-1 in ranges on one grid for all parts: every point where a
// part's work changes (its whole quotients end, its powers run out) is a
// boundary, and what lies between two is cut into ranges of about K /
// ranges_in_all terms. Within a range, each part does the same kind of work
// throughout, and the parts that need a tree share its divisors.
std::vector<TermRange> term_ranges(const SeriesRun& series)
{
    std::vector<std::int64_t> boundaries{0, series.zero_term};
    for (const PartOfRun& part : series.parts) {
        boundaries.push_back(part.whole_terms);
        boundaries.push_back(part.terms);
    }
    // (Classic algorithms: clang 14 cannot build libstdc++ 12's ranges.)
    std::sort(boundaries.begin(), boundaries.end());
    boundaries.erase(std::unique(boundaries.begin(), boundaries.end()), boundaries.end());
    const double length = std::max(1.0, static_cast<double>(series.zero_term) / ranges_in_all);
    std::vector<TermRange> ranges;
    for (std::size_t i = 0; i + 1 < boundaries.size(); ++i) {
        const std::int64_t from = boundaries[i];
        const std::int64_t to = boundaries[i + 1];
        const auto pieces = std::max<std::int64_t>(1, std::llround(static_cast<double>(to - from) / length));
        for (std::int64_t piece = 0; piece < pieces; ++piece) {
            ranges.push_back({from + (to - from) * piece / pieces, from + (to - from) * (piece + 1) / pieces});
        }
    }
    return ranges;
}

PartWork work_of(const PartOfRun& part, TermRange range)
{
    if (range.end <= part.whole_terms) {
        return PartWork::whole_quotients;
    }
    return range.end <= part.terms ? PartWork::tree : PartWork::none;
}

std::vector<std::function<void()>> plan_tasks(RunWork& work)
{
    struct Task {
        double cost;
        std::function<void()> work;
    };
    std::vector<Task> tasks;
    const SeriesRun& series = work.series;
    const std::int32_t places = series.places;
    std::vector<PartMeters> meters;
    for (const PartOfRun& part : series.parts) {
        const double tree_steps =
            static_cast<double>(work_costs::tree_steps_a_leaf) * static_cast<double>(part.terms - part.whole_terms);
        const double whole_steps =
            static_cast<double>(part.whole_terms) / static_cast<double>(work_costs::whole_quotients_a_step);
        const double tree_cost = work_costs::tree_step(part.part.base, places);
        const double whole_cost = work_costs::whole_quotients_step(places);
        meters.push_back({&work.meter.open(tree_steps, tree_cost), tree_cost, &work.meter.open(whole_steps, whole_cost),
                          whole_cost});
    }
    const std::vector<TermRange> ranges = term_ranges(series);
    work.range_sums.assign(ranges.size(), RangeSums{});
    for (std::size_t r = 0; r < ranges.size(); ++r) {
        const TermRange range = ranges[r];
        double cost = 0;
        for (std::size_t i = 0; i < series.parts.size(); ++i) {
            cost += meters[i].cost_of(work_of(series.parts[i], range), range);
        }
        RangeSums& sums = work.range_sums[r];
        tasks.push_back({cost, [&series, range, meters, &sums] { work_out_range(series, range, meters, sums); }});
    }
    const double digit_cost = work_costs::pi_digit(places);
    WorkMeter::Account& pi_meter = work.meter.open(places, digit_cost);
    tasks.push_back({digit_cost * places, [&work, &pi_meter, places] {
                         work.phi = write_pi_digits(work.result, work.series.ten_to_places);
                         pi_meter.add(static_cast<std::uint64_t>(places));
                         // Its peak, the largest of any task's, is not kept for the smaller tasks after it.
                         release_library_caches();
                         give_back_free_memory();
                     }});
    std::stable_sort(tasks.begin(), tasks.end(), [](const Task& a, const Task& b) { return a.cost > b.cost; });
    std::vector<std::function<void()>> ordered;
    for (Task& task : tasks) {
        ordered.push_back(std::move(task.work));
    }
    return ordered;
}
