#include "engine/progress.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cmath>
#include <span>

void ProgressLines::reach(std::int64_t terms)
{
    for (const std::int64_t due = terms / terms_a_line; lines_ < due; ++lines_) {
        print(sink_, "<Reached term no. %li>\n", static_cast<long>(terms_a_line * (lines_ + 1)));
    }
}

WorkMeter::Account& WorkMeter::open(double steps, double microseconds_a_step)
{
    return accounts_.emplace_back(steps, microseconds_a_step);
}

double WorkMeter::completed() const
{
    double total = 0;
    double done = 0;
    for (const Account& account : accounts_) {
        total += account.steps_ * account.cost_;
        done += static_cast<double>(account.done_.load(std::memory_order_relaxed)) * account.cost_;
    }
    return total > 0 ? std::min(1.0, done / total) : 1.0;
}

namespace {

// Microseconds of one core a step at a run's size: for each part of the
// series (in the table's order), a tree step; whole quotients; a digit of pi.
struct CostsAt {
    double places;
    std::array<double, stormer_series.size()> tree_step;
    double whole_quotients_step;
    double pi_digit;
};

// Made by `build/bench/engine_check --costs` (2026-12-08, Intel(R) Xeon(R) Processor, FLINT 3.6.0, GMP 6.2.1 from
// build-flint/install/lib/glibc-hwcaps/x86-64-v3/libflint.so.24.0.0), alone on one core. Between and beyond the
// sizes the costs grow as the size to some exponent, fitted between the two nearest.
constexpr std::array<CostsAt, 3> measured_costs{{
    {100'000, {0.142, 0.243, 0.261}, 2.666, 0.137},
    {400'000, {0.200, 0.312, 0.337}, 2.929, 0.166},
    {1'599'999, {0.271, 0.424, 0.512}, 3.363, 0.225},
}};

// The cost at `places` from the two samples around it (or the two nearest).
template <typename Cost> double cost_at(std::int32_t places, Cost cost_of)
{
    std::size_t upper = 1;
    while (upper + 1 < measured_costs.size() && measured_costs[upper].places < places) {
        ++upper;
    }
    const CostsAt& below = measured_costs[upper - 1];
    const CostsAt& above = measured_costs[upper];
    const double exponent = std::log(cost_of(above) / cost_of(below)) / std::log(above.places / below.places);
    return cost_of(below) * std::pow(std::max(1.0, static_cast<double>(places)) / below.places, exponent);
}

} // namespace

RunMeter::RunMeter(const SeriesRun& series) : series_(series)
{
    assert(series.parts.size() == stormer_series.size());
    const std::int32_t places = series.places;
    for (std::size_t i = 0; i < series.parts.size(); ++i) {
        const PartOfRun& part = series.parts[i];
        const double tree_steps =
            static_cast<double>(work_costs::tree_steps_a_leaf) * static_cast<double>(part.terms - part.whole_terms);
        const double whole_steps =
            static_cast<double>(part.whole_terms) / static_cast<double>(work_costs::whole_quotients_a_step);
        const double tree_cost = cost_at(places, [i](const CostsAt& costs) { return costs.tree_step[i]; });
        const double whole_cost = cost_at(places, [](const CostsAt& costs) { return costs.whole_quotients_step; });
        parts_.push_back(
            {&meter_.open(tree_steps, tree_cost), tree_cost, &meter_.open(whole_steps, whole_cost), whole_cost});
    }
    pi_digit_cost_ = cost_at(places, [](const CostsAt& costs) { return costs.pi_digit; });
    pi_digits_ = &meter_.open(places, pi_digit_cost_);
}

double RunMeter::cost_of(std::size_t part, TermRange range) const
{
    const auto terms = static_cast<double>(range.terms());
    const PartAccounts& accounts = parts_[part];
    switch (work_of(series_.parts[part], range)) {
    case PartWork::tree:
        return terms * static_cast<double>(work_costs::tree_steps_a_leaf) * accounts.tree_step_cost;
    case PartWork::whole_quotients:
        return terms / static_cast<double>(work_costs::whole_quotients_a_step) * accounts.whole_quotients_step_cost;
    case PartWork::none:
        break;
    }
    return 0;
}

void ProgressPacer::catch_up()
{
    const auto lines = static_cast<double>(terms_used_ / terms_a_line);
    lines_.reach(terms_a_line * static_cast<std::int64_t>(lines * meter_.completed()));
}
