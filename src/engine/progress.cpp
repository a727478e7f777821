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

// Made by `build/bench/engine_check --costs` (2026-12-09, AMD EPYC, FLINT 3.6.0, GMP 6.2.1 from
// /var/cache/stormer-pi/flint/install/lib/glibc-hwcaps/x86-64-v3/libflint.so.24.0.0), alone on one core. Between
// and beyond the sizes the costs grow as the size to some exponent, fitted between the two nearest.
constexpr std::array<CostsAt, 3> measured_costs{{
    {99999, {0.227, 0.384, 0.405}, 0.998, 0.250},
    {399999, {0.338, 0.473, 0.556}, 1.159, 0.304},
    {1599999, {0.450, 0.658, 0.619}, 1.264, 0.413},
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

RunMeter::RunMeter(const SeriesRun& series)
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
        parts_.push_back({&meter_.open(tree_steps, tree_cost), &meter_.open(whole_steps, whole_cost)});
    }
    pi_digits_ = &meter_.open(places, cost_at(places, [](const CostsAt& costs) { return costs.pi_digit; }));
}

void ProgressPacer::catch_up()
{
    const auto lines = static_cast<double>(terms_used_ / terms_a_line);
    lines_.reach(terms_a_line * static_cast<std::int64_t>(lines * meter_.completed()));
}
