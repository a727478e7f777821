#include "engine/limb_number.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdio>
#include <cstdlib>

namespace {

std::int32_t last_index(ConstLimbSpan x) { return static_cast<std::int32_t>(x.size()) - 1; }

} // namespace

void fill_fraction(LimbSpan x, limb p, limb q)
{
    assert(p >= 0 && q > 0 && q <= largest_divisor);
    limb remainder = p;
    for (limb& digit_group : x) {
        digit_group = remainder / q;
        remainder = (remainder % q) * limb_base;
    }
}

void divide_small(LimbSpan x, limb d, std::int32_t s)
{
    assert(d > 0 && d <= largest_divisor);
    assert(s >= 0);
    limb remainder = 0;
    for (std::int32_t k = s; k <= last_index(x); ++k) {
        const limb value = x[k] + remainder * limb_base;
        x[k] = value / d;
        remainder = value % d;
    }
}

limb sum_three(LimbSpan t, ConstLimbSpan a, ConstLimbSpan b, ConstLimbSpan c, std::int32_t s)
{
    assert(a.size() == t.size() && b.size() == t.size() && c.size() == t.size());
    assert(s >= 0);
    limb carry = 0;
    for (std::int32_t k = last_index(t); k >= s; --k) {
        carry += a[k] + b[k] + c[k];
        t[k] = carry % limb_base;
        carry /= limb_base;
    }
    return carry;
}

void add_into(LimbSpan a, ConstLimbSpan t, std::int32_t s)
{
    assert(a.size() == t.size() && s >= 0);
    limb carry = 0;
    for (std::int32_t k = last_index(a); k >= 0; --k) {
        carry += t[k] + a[k];
        a[k] = carry % limb_base;
        carry /= limb_base;
        if (k < s && carry == 0) {
            break;
        }
    }
}

void subtract_from(LimbSpan a, ConstLimbSpan t, std::int32_t s)
{
    assert(a.size() == t.size() && s >= 0);
    limb borrow = 0;
    for (std::int32_t k = last_index(a); k >= 0; --k) {
        const limb value = a[k] - t[k] - borrow;
        borrow = value < 0 ? 1 : 0;
        a[k] = value + borrow * limb_base;
        if (k < s && borrow == 0) {
            break;
        }
    }
}

std::int32_t advance_leading(ConstLimbSpan x, std::int32_t s)
{
    assert(s >= 0);
    for (std::int32_t k = s; k <= last_index(x); ++k) {
        if (x[k] != 0) {
            return k;
        }
    }
    return s;
}

bool any_nonzero(ConstLimbSpan x, std::int32_t s)
{
    assert(s >= 0);
    for (std::int32_t k = s; k <= last_index(x); ++k) {
        if (x[k] != 0) {
            return true;
        }
    }
    return false;
}

void clear_from(LimbSpan x, std::int32_t s)
{
    assert(s >= 0);
    for (std::int32_t k = last_index(x); k >= s; --k) {
        x[k] = 0;
    }
}

void write_layout(TextSink& sink, ConstLimbSpan x)
{
    print(sink, " %ld.", static_cast<long>(x[0]));
    // One line of digits at a time keeps the writes few on a console.
    // Room for 26 limbs even if one ever held more than three digits.
    std::array<char, 26 * 12 + 2> line{};
    std::size_t used = 0;
    int group = 2;
    for (std::size_t k = 1; k < x.size(); ++k) {
        const limb value = x[k];
        if (value >= 0 && value <= 999) {
            // "%03ld" by hand: a million limbs through snprintf take a tenth of a second.
            line[used++] = static_cast<char>('0' + value / 100);
            line[used++] = static_cast<char>('0' + value / 10 % 10);
            line[used++] = static_cast<char>('0' + value % 10);
        } else {
            used += static_cast<std::size_t>(
                std::snprintf(line.data() + used, line.size() - used, "%03ld", static_cast<long>(value)));
        }
        if (group == 26) {
            line[used++] = '\n';
            sink.write(std::string_view(line.data(), used));
            used = 0;
            group = 0;
        }
        ++group;
    }
    if (used > 0) {
        sink.write(std::string_view(line.data(), used));
    }
}

void FreeLimbs::operator()(limb* limbs) const { std::free(limbs); }

LimbNumber allocate_limb_number(std::int32_t count)
{
    assert(count >= 1);
    auto* limbs = static_cast<limb*>(std::calloc(static_cast<std::size_t>(count), sizeof(limb)));
    return LimbNumber{std::unique_ptr<limb[], FreeLimbs>(limbs), count};
}
