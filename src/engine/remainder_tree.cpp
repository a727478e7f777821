// A remainder tree over the moduli n_k b^(gap to the next exponent): the
// quotient floor(y / b^e_first) is reduced down the tree, each node's part
// shifted by the power of b between its children, until every leaf holds
// floor(y / b^e_k) mod n_k with a digit below it for the fraction.

#include "engine/remainder_tree.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <map>
#include <vector>

namespace {

using Levels = std::vector<std::vector<mpz_class>>;

// Leaves are taken 2^block_level at a time at the bottom of the tree: their
// products are rebuilt when the descent reaches them instead of being stored,
// which keeps a million small numbers out of memory for little extra work.
constexpr std::size_t block_level = 5;

bool is_power_of_two(unsigned long m) { return (m & (m - 1)) == 0; }

unsigned long log2_exact(unsigned long m) { return static_cast<unsigned long>(__builtin_ctzl(m)); }

std::size_t nodes_at(std::size_t leaf_count, std::size_t level) { return ((leaf_count - 1) >> level) + 1; }

// Levels above `below`, pairwise products, up to one node or until every
// modulus of a level exceeds `limit_bits` (such a level would never reduce
// anything).
void build_levels_above(Levels& levels, std::size_t limit_bits)
{
    const auto any_within_limit = [&](const std::vector<mpz_class>& level) {
        return std::any_of(level.begin(), level.end(), [&](const mpz_class& modulus) {
            return mpz_sizeinbase(modulus.get_mpz_t(), 2) <= limit_bits;
        });
    };
    while (levels.back().size() > 1 && any_within_limit(levels.back())) {
        const std::vector<mpz_class>& below = levels.back();
        std::vector<mpz_class> above((below.size() + 1) / 2);
        for (std::size_t j = 0; j < above.size(); ++j) {
            above[j] = 2 * j + 1 < below.size() ? below[2 * j] * below[2 * j + 1] : below[2 * j];
        }
        levels.push_back(std::move(above));
    }
}

class RemainderTree {
public:
    RemainderTree(const mpz_class& y, const PowerQueries& queries, std::span<std::uint32_t> residues,
                  std::atomic<std::uint64_t>& done)
        : y_(y), queries_(queries), base_(queries.base), fraction_from_bits_(is_power_of_two(queries.base)),
          residues_(residues), done_(done)
    {
        // A power of two leaves the fraction in y's own bits. Otherwise one
        // factor b below the quotient gives its first base-b digit; the rest
        // is taken as half a digit, so each fraction is off by at most 1/(2b),
        // and all of them, divided by n_k, by at most 0.07 for b = 57 and 0.02
        // for b = 239: safely inside the quarter that rounding allows.
        unsigned long shift = 0;
        if (!fraction_from_bits_) {
            base_to_shift_ = base_;
            shift = 1;
        }
        for (std::int64_t k = queries.first; k < queries.end; ++k) {
            const unsigned long exponent = queries.exponent_of(k);
            exponents_.push_back(exponent > shift ? exponent - shift : 0);
        }
        bottom_ = exponents_.size() >= 2 << block_level ? block_level : 0;
        if (!exponents_.empty()) {
            build_upper_levels();
        }
    }

    long double answer()
    {
        if (!exponents_.empty()) {
            mpz_class w;
            divide_by_power(w, y_, exponents_[0]);
            std::size_t top_level = 0;
            while (nodes_at(exponents_.size(), top_level) > 1) {
                ++top_level;
            }
            descend(upper_levels_, bottom_, 0, top_level, 0, w);
        }
        return signed_fractions_;
    }

private:
    // Leaf i's modulus: n_k b^shift times b to the gap up to the next exponent.
    mpz_class leaf_modulus(std::size_t i) const
    {
        const unsigned long gap = i + 1 < exponents_.size() ? exponents_[i + 1] - exponents_[i] : 0;
        std::uint64_t modulus = odd_divisor(queries_.first + static_cast<std::int64_t>(i)) * base_to_shift_;
        for (unsigned long g = 0; g < gap; ++g) {
            const bool overflow = __builtin_mul_overflow(modulus, base_, &modulus);
            assert(!overflow && "a leaf modulus fits in 64 bits");
            (void)overflow;
        }
        return mpz_class(static_cast<unsigned long>(modulus));
    }

    // The levels of leaves [first, first + count), from the leaves up to one node.
    Levels block_levels(std::size_t first, std::size_t count) const
    {
        Levels levels(1);
        for (std::size_t i = first; i < first + count; ++i) {
            levels[0].push_back(leaf_modulus(i));
        }
        build_levels_above(levels, SIZE_MAX);
        return levels;
    }

    void build_upper_levels()
    {
        const std::size_t leaf_count = exponents_.size();
        const std::size_t block = std::size_t{1} << bottom_;
        upper_levels_.emplace_back();
        for (std::size_t first = 0; first < leaf_count; first += block) {
            upper_levels_[0].push_back(block_levels(first, std::min(block, leaf_count - first)).back()[0]);
        }
        done_ += leaf_count / 2;
        build_levels_above(upper_levels_, mpz_sizeinbase(y_.get_mpz_t(), 2));
        done_ += leaf_count - leaf_count / 2;
    }

    // quotient = floor(w / b^e)
    void divide_by_power(mpz_class& quotient, const mpz_class& w, unsigned long e)
    {
        if (fraction_from_bits_) {
            mpz_fdiv_q_2exp(quotient.get_mpz_t(), w.get_mpz_t(), e * log2_exact(base_));
            return;
        }
        auto [place, fresh] = powers_.try_emplace(e);
        if (fresh) {
            mpz_ui_pow_ui(place->second.get_mpz_t(), base_, e);
        }
        mpz_fdiv_q(quotient.get_mpz_t(), w.get_mpz_t(), place->second.get_mpz_t());
    }

    static void reduce(mpz_class& w, const Levels& levels, std::size_t bottom, std::size_t level, std::size_t index)
    {
        if (level - bottom >= levels.size()) {
            return; // above the levels built: nothing to reduce by
        }
        const mpz_class& modulus = levels[level - bottom][index];
        if (mpz_cmp(w.get_mpz_t(), modulus.get_mpz_t()) >= 0) {
            mpz_tdiv_r(w.get_mpz_t(), w.get_mpz_t(), modulus.get_mpz_t());
        }
    }

    // w is floor(y / b^e_first) modulo this node's modulus; `levels` hold the
    // moduli from level `bottom` up, of leaves counted from `offset`.
    void descend(const Levels& levels, std::size_t bottom, std::size_t offset, std::size_t level, std::size_t index,
                 mpz_class& w)
    {
        const std::size_t first = offset + (index << level);
        if (level == 0) {
            leaf(first, w);
            return;
        }
        if (level == bottom) {
            const std::size_t count = std::min(std::size_t{1} << level, exponents_.size() - first);
            descend(block_levels(first, count), 0, first, level, 0, w);
            return;
        }
        const std::size_t lower = 2 * index;
        const std::size_t upper = lower + 1;
        if (offset + (upper << (level - 1)) < exponents_.size()) {
            mpz_class upper_w;
            divide_by_power(upper_w, w, exponents_[offset + (upper << (level - 1))] - exponents_[first]);
            reduce(upper_w, levels, bottom, level - 1, upper);
            reduce(w, levels, bottom, level - 1, lower);
            descend(levels, bottom, offset, level - 1, lower, w);
            descend(levels, bottom, offset, level - 1, upper, upper_w);
        } else {
            descend(levels, bottom, offset, level - 1, lower, w);
        }
    }

    void leaf(std::size_t index, const mpz_class& w)
    {
        const std::int64_t k = queries_.first + static_cast<std::int64_t>(index);
        const std::uint64_t n = odd_divisor(k);
        const std::uint64_t below_quotient =
            exponents_[index] > 0 ? base_to_shift_ : whole_power(queries_.exponent_of(k));
        const std::uint64_t u = mpz_fdiv_ui(w.get_mpz_t(), n * base_to_shift_);
        residues_[index] = static_cast<std::uint32_t>((u / below_quotient) % n);
        long double fraction = 0;
        if (fraction_from_bits_) {
            fraction = fraction_below_bit(queries_.exponent_of(k) * log2_exact(base_));
        } else {
            // With a positive exponent the digits below b^e are unknown: take
            // the middle of the interval they leave.
            fraction = (static_cast<long double>(u % below_quotient) + (exponents_[index] > 0 ? 0.5L : 0.0L)) /
                       static_cast<long double>(below_quotient);
        }
        signed_fractions_ += (k % 2 == 0 ? fraction : -fraction) / static_cast<long double>(n);
        done_.fetch_add(1, std::memory_order_relaxed);
    }

    // frac(y / 2^position), from the 64 bits of y just below that position.
    long double fraction_below_bit(unsigned long position) const
    {
        assert(position >= 1);
        constexpr unsigned long limb_bits = sizeof(mp_limb_t) * 8;
        const auto limb_at = [&](long index) -> std::uint64_t {
            return index < 0 ? 0 : mpz_getlimbn(y_.get_mpz_t(), index);
        };
        const long high_index = static_cast<long>((position - 1) / limb_bits);
        const unsigned long high_bits = (position - 1) % limb_bits + 1; // bits of the top limb in use
        std::uint64_t bits = limb_at(high_index) << (limb_bits - high_bits);
        if (high_bits < limb_bits) {
            bits |= limb_at(high_index - 1) >> high_bits;
        }
        return std::ldexp(static_cast<long double>(bits), -static_cast<int>(limb_bits));
    }

    std::uint64_t whole_power(unsigned long n) const
    {
        std::uint64_t power = 1;
        for (unsigned long i = 0; i < n; ++i) {
            power *= base_;
        }
        return power;
    }

    const mpz_class& y_;
    PowerQueries queries_;
    unsigned long base_;
    bool fraction_from_bits_;
    std::span<std::uint32_t> residues_;
    std::atomic<std::uint64_t>& done_;
    std::uint64_t base_to_shift_ = 1;
    std::vector<unsigned long> exponents_;
    std::size_t bottom_ = 0;
    Levels upper_levels_; // from level bottom_ up
    std::map<unsigned long, mpz_class> powers_;
    long double signed_fractions_ = 0;
};

} // namespace

unsigned long PowerQueries::exponent_of(std::int64_t k) const
{
    return scale * static_cast<unsigned long>(odd_divisor(k)) - offset;
}

std::uint64_t odd_divisor(std::int64_t k) { return static_cast<std::uint64_t>(2 * k + 1); }

long double answer_power_queries(const mpz_class& y, const PowerQueries& queries, std::span<std::uint32_t> residues,
                                 std::atomic<std::uint64_t>& done)
{
    assert(residues.size() == static_cast<std::size_t>(queries.end - queries.first));
    return RemainderTree(y, queries, residues, done).answer();
}
