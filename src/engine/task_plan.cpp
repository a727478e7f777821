#include "engine/task_plan.h"

#include <algorithm>
#include <array>
#include <optional>

#include "engine/big_numbers.h"
#include "engine/odd_divisor_tree.h"
#include "engine/scaled_remainder_tree.h"
#include "platform/memory.h"

namespace {

// Leaf i of a tree over a range is term first + i: its residue goes to the
// term's residue sum, its fraction's addend (-1)^k f / n_k to the range's
// partial sum of F. Leaves answered are counted on the meter, some at a time.
class SeriesLeaves : public LeafAnswers {
public:
    SeriesLeaves(std::int64_t first, TermResidues& residues, RoundedSum& fractions, WorkMeter::Account& meter)
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
        fractions_.add(with_sign_of_term(k, addend));
        if (++unreported_ == report_every) {
            meter_.add(unreported_);
            unreported_ = 0;
        }
    }

private:
    static constexpr std::uint64_t report_every = 64;
    std::int64_t first_;
    TermResidues& residues_;
    RoundedSum& fractions_;
    WorkMeter::Account& meter_;
    std::uint64_t unreported_ = 0;
};

void add_whole_quotient_residues(const PartOfRun& part, TermRange range, TermResidues& residues,
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
void work_out_range(const SeriesRun& series, TermRange range, RunMeter& meter, RangeSums& sums)
{
    TermResidues residues(range.first, range.terms());
    std::optional<DivisorTree> divisors;
    for (std::size_t i = 0; i < series.parts.size(); ++i) {
        const PartOfRun& part = series.parts[i];
        switch (work_of(part, range)) {
        case PartWork::none:
            break;
        case PartWork::whole_quotients:
            add_whole_quotient_residues(part, range, residues, meter.whole_quotients(i));
            break;
        case PartWork::tree: {
            if (!divisors) {
                divisors = odd_divisor_tree(odd_divisor(range.first), static_cast<std::size_t>(range.terms()));
            }
            meter.trees(i).add(static_cast<std::uint64_t>(range.terms())); // the divisors' step
            SeriesLeaves answers(range.first, residues, sums.fractions, meter.trees(i));
            answer_queries(part.quotients(series.ten_to_places), *divisors, answers);
            break;
        }
        }
    }
    sums.add_residues(residues);
}

} // namespace

// pi's digits first, the longest task; then the term ranges from the first
// term up. A range's largest numbers are its roots' divisions at its start,
// whose quotients shrink as the terms rise: so the ranges that hold the most
// run while pi's task is still summing its series, before Arb's peak at its
// end, the largest of any task's, and the cheapest come last, to even out the
// threads' ends.
std::vector<std::function<void()>> plan_tasks(RunWork& work)
{
    std::vector<std::function<void()>> tasks;
    tasks.emplace_back([&work] {
        work.phi = write_pi_digits(work.result, work.series.places, work.series.ten_to_places);
        work.meter.pi_digits().add(static_cast<std::uint64_t>(work.series.places));
        // Its peak is not kept for the smaller tasks after it.
        release_library_caches();
        give_back_free_memory();
    });
    const SeriesRun& series = work.series;
    const std::vector<TermRange> ranges = term_ranges(series);
    work.range_sums.assign(ranges.size(), RangeSums{});
    for (std::size_t r = 0; r < ranges.size(); ++r) {
        tasks.emplace_back([&series, range = ranges[r], &meter = work.meter, &sums = work.range_sums[r]] {
            work_out_range(series, range, meter, sums);
        });
    }
    return tasks;
}
