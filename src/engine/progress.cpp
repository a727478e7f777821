#include "engine/progress.h"

#include <algorithm>
#include <cmath>

void ProgressLines::reach(std::int64_t terms)
{
    for (const std::int64_t due = terms / terms_a_line; lines_ < due; ++lines_) {
        print(sink_, "<Reached term no. %li>\n", static_cast<long>(terms_a_line * (lines_ + 1)));
    }
}

WorkMeter::Account& WorkMeter::open(double units, double microseconds_a_unit)
{
    return accounts_.emplace_back(units, microseconds_a_unit);
}

double WorkMeter::share_done() const
{
    double total = 0;
    double done = 0;
    for (const Account& account : accounts_) {
        total += account.units_ * account.cost_;
        done += static_cast<double>(account.done_.load(std::memory_order_relaxed)) * account.cost_;
    }
    return total > 0 ? std::min(1.0, done / total) : 1.0;
}

namespace work_costs {

namespace {

// The size as a share of the largest.
double size(std::int32_t places) { return static_cast<double>(places) / 1.6e6; }

} // namespace

double tree_unit(bool base_is_power_of_two, double log2_base, std::int32_t places)
{
    // 0.68 us at base 8 (shifts), 1.11 at 57 and 1.23 at 239.
    const double measured = base_is_power_of_two ? 0.68 : 0.61 + 0.087 * log2_base;
    return measured * std::cbrt(size(places));
}

double pi_digit(std::int32_t places) { return 0.80 * std::pow(size(places), 0.23); }

double whole_quotients(std::int32_t) { return 6.7; }

} // namespace work_costs

void ProgressPacer::catch_up()
{
    const auto lines = static_cast<double>(terms_used_ / terms_a_line);
    lines_.reach(terms_a_line * static_cast<std::int64_t>(lines * meter_.share_done()));
}
