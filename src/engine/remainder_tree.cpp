// A scaled remainder tree (after Bernstein, "Scaled remainder trees", 2004).
//
// Leaf i answers x_i = frac(y / (n_i b^e_i)): from it, floor(y / b^e_i) mod n_i
// = floor(n_i x_i) and frac(y / b^e_i) = n_i x_i - floor(n_i x_i). A node v
// (a run of leaves) has P_v, the product of its n_i, and E_v, its largest
// exponent, and carries x_v = frac(y / (P_v b^E_v)). For children l and u (u
// holding the larger exponents, so E_u = E_v):
//   x_u = frac(x_v P_l),   x_l = frac(x_v P_u b^(E_v - E_l)),
// both multipliers whole numbers, so the fraction carries down exactly; only
// the root needs a division. Each x_v is kept as X_v = floor(x_v 2^p_v), with
// p_v enough bits to know every leaf below it to guard_bits beyond 1/n_i.

#include "engine/remainder_tree.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <map>
#include <vector>

namespace {

using Levels = std::vector<std::vector<mpz_class>>;

// Leaves are taken 2^block_level at a time at the bottom of the tree, each
// straight from its block's node: a million small numbers stay out of memory
// and out of the descent.
constexpr std::size_t block_level = 4;
// Bits each leaf's fraction is known to beyond its 1/n_i; the truncations on
// the way down cost a bit a level at most, some 20 in all.
constexpr unsigned long guard_bits = 80;
// A fraction frac(y / b^e) this close to 0 or 1 leaves the floor in doubt.
constexpr long double doubt_margin = 0x1p-50L;

std::size_t nodes_at(std::size_t leaf_count, std::size_t level) { return ((leaf_count - 1) >> level) + 1; }

// Pairwise products up to a single node.
void build_levels_above(Levels& levels)
{
    while (levels.back().size() > 1) {
        const std::vector<mpz_class>& below = levels.back();
        std::vector<mpz_class> above((below.size() + 1) / 2);
        for (std::size_t j = 0; j < above.size(); ++j) {
            above[j] = 2 * j + 1 < below.size() ? below[2 * j] * below[2 * j + 1] : below[2 * j];
        }
        levels.push_back(std::move(above));
    }
}

// Bits [from, from + count) of x, count at most 128.
unsigned __int128 bits_of(const mpz_class& x, unsigned long from, unsigned long count)
{
    static_assert(sizeof(mp_limb_t) == 8);
    const auto limb = [&](unsigned long index) -> unsigned __int128 {
        return index < mpz_size(x.get_mpz_t()) ? mpz_getlimbn(x.get_mpz_t(), static_cast<mp_size_t>(index)) : 0;
    };
    const unsigned long first = from / 64;
    const unsigned long shift = from % 64;
    unsigned __int128 bits = (limb(first) | limb(first + 1) << 64) >> shift;
    if (shift > 0) {
        bits |= limb(first + 2) << (128 - shift);
    }
    return count == 128 ? bits : bits & ((static_cast<unsigned __int128>(1) << count) - 1);
}

// Gives back the memory of a number no longer needed.
void release(mpz_class& x)
{
    mpz_class released;
    released.swap(x);
}

// x = (x mod 2^bits) * m mod 2^bits
void multiply_mod_power_of_two(mpz_class& x, const mpz_class& m, unsigned long bits)
{
    mpz_tdiv_r_2exp(x.get_mpz_t(), x.get_mpz_t(), bits);
    x *= m;
    mpz_tdiv_r_2exp(x.get_mpz_t(), x.get_mpz_t(), bits);
}

class ScaledRemainderTree {
public:
    ScaledRemainderTree(const mpz_class& y, const PowerQueries& queries, std::span<std::uint32_t> residues,
                        std::atomic<std::uint64_t>& done)
        : y_(y), queries_(queries), base_is_two_(queries.base == 2),
          log2_base_(std::log2(static_cast<double>(queries.base))), residues_(residues), done_(done)
    {
        assert(queries.base == 2 || queries.base % 2 == 1);
        for (std::int64_t k = queries.first; k < queries.end; ++k) {
            exponents_.push_back(queries.exponent_of(k));
        }
        while (nodes_at(exponents_.size(), top_level_) > 1) {
            ++top_level_;
        }
        bottom_ = std::min(block_level, top_level_);
    }

    std::optional<long double> answer()
    {
        if (exponents_.empty()) {
            return 0.0L;
        }
        build_upper_levels();
        // The one division: X_root = floor(y 2^p / (P_root b^E_root)) mod 2^p.
        const std::size_t leaf_count = exponents_.size();
        const unsigned long precision = precision_of(upper_levels_.back()[0], 0, leaf_count);
        mpz_class modulus = upper_levels_.back()[0];
        mpz_class x = y_;
        if (base_is_two_ && precision >= exponents_.back()) {
            // y 2^p / (P 2^E) = y 2^(p - E) / P
            mpz_mul_2exp(x.get_mpz_t(), x.get_mpz_t(), precision - exponents_.back());
        } else {
            multiply_by_power(modulus, exponents_.back());
            mpz_mul_2exp(x.get_mpz_t(), x.get_mpz_t(), precision);
        }
        mpz_fdiv_q(x.get_mpz_t(), x.get_mpz_t(), modulus.get_mpz_t());
        mpz_tdiv_r_2exp(x.get_mpz_t(), x.get_mpz_t(), precision);
        release(modulus);
        descend(top_level_, 0, x, precision);
        if (in_doubt_) {
            return std::nullopt;
        }
        return signed_fractions_;
    }

private:
    // Bits to carry for a node of product P over leaves [first, first + count).
    unsigned long precision_of(const mpz_class& product, std::size_t first, std::size_t count) const
    {
        const unsigned long span = exponents_[first + count - 1] - exponents_[first];
        return static_cast<unsigned long>(mpz_sizeinbase(product.get_mpz_t(), 2)) +
               static_cast<unsigned long>(std::ceil(static_cast<double>(span) * log2_base_)) + guard_bits;
    }

    // x = x b^e
    void multiply_by_power(mpz_class& x, unsigned long e)
    {
        if (base_is_two_) {
            mpz_mul_2exp(x.get_mpz_t(), x.get_mpz_t(), e);
        } else {
            x *= power(e);
        }
    }

    // The product of the n_i of leaves [first, first + count).
    mpz_class block_product(std::size_t first, std::size_t count) const
    {
        mpz_class product = 1;
        for (std::size_t i = first; i < first + count; ++i) {
            product *= static_cast<unsigned long>(odd_divisor(queries_.first + static_cast<std::int64_t>(i)));
        }
        return product;
    }

    void build_upper_levels()
    {
        const std::size_t leaf_count = exponents_.size();
        const std::size_t block = std::size_t{1} << bottom_;
        upper_levels_.emplace_back();
        for (std::size_t first = 0; first < leaf_count; first += block) {
            upper_levels_[0].push_back(block_product(first, std::min(block, leaf_count - first)));
        }
        done_ += leaf_count / 2;
        build_levels_above(upper_levels_);
        done_ += leaf_count - leaf_count / 2;
    }

    // x holds X_v with `precision` bits for the node at (level, index).
    void descend(std::size_t level, std::size_t index, mpz_class& x, unsigned long precision)
    {
        const std::size_t first = index << level;
        if (level == bottom_) {
            block_leaves(first, std::min(std::size_t{1} << level, exponents_.size() - first), upper_levels_[0][index],
                         x, precision);
            return;
        }
        const std::size_t lower = 2 * index;
        const std::size_t upper = lower + 1;
        const std::size_t upper_first = upper << (level - 1);
        if (upper_first >= exponents_.size()) {
            descend(level - 1, lower, x, precision); // a lone child: the same node
            return;
        }
        const std::size_t upper_count = std::min(std::size_t{1} << (level - 1), exponents_.size() - upper_first);
        const mpz_class& lower_product = upper_levels_[level - 1 - bottom_][lower];
        const mpz_class& upper_product = upper_levels_[level - 1 - bottom_][upper];
        const unsigned long lower_precision = precision_of(lower_product, first, upper_first - first);
        const unsigned long upper_precision = precision_of(upper_product, upper_first, upper_count);

        // x_u = frac(x_v P_l). Bits of x_v low enough that times P_l they stay
        // below a quarter of the last bit kept are left out of the product.
        const auto lower_product_bits = static_cast<unsigned long>(mpz_sizeinbase(lower_product.get_mpz_t(), 2));
        const unsigned long unused = precision - upper_precision;
        const unsigned long left_out = unused > lower_product_bits + 2 ? unused - lower_product_bits - 2 : 0;
        mpz_class upper_x;
        mpz_tdiv_q_2exp(upper_x.get_mpz_t(), x.get_mpz_t(), left_out);
        upper_x *= lower_product;
        mpz_tdiv_r_2exp(upper_x.get_mpz_t(), upper_x.get_mpz_t(), precision - left_out);
        mpz_tdiv_q_2exp(upper_x.get_mpz_t(), upper_x.get_mpz_t(), unused - left_out);
        // x_l = frac(x_v b^(E_v - E_l) P_u); one product of x with the whole
        // multiplier costs less than two with its factors.
        const unsigned long gap = exponents_[upper_first + upper_count - 1] - exponents_[upper_first - 1];
        if (base_is_two_) {
            // x 2^gap mod 2^p is x mod 2^(p - gap) shifted; the shift is left
            // out of the product and taken off the bits dropped after it.
            assert(precision - lower_precision >= gap);
            multiply_mod_power_of_two(x, upper_product, precision - gap);
            mpz_tdiv_q_2exp(x.get_mpz_t(), x.get_mpz_t(), precision - lower_precision - gap);
        } else {
            mpz_class multiplier = upper_product;
            multiply_by_power(multiplier, gap);
            multiply_mod_power_of_two(x, multiplier, precision);
            mpz_tdiv_q_2exp(x.get_mpz_t(), x.get_mpz_t(), precision - lower_precision);
        }

        descend(level - 1, lower, x, lower_precision);
        release(x);
        descend(level - 1, upper, upper_x, upper_precision);
    }

    // The leaves of a block straight from its node v, one product each:
    // x_i = frac(x_v (P_v / n_i) b^(E_v - e_i)). Below a few dozen leaves this
    // costs far less than going on down the tree with small numbers.
    void block_leaves(std::size_t first, std::size_t count, const mpz_class& product, const mpz_class& x,
                      unsigned long precision)
    {
        const unsigned long last_exponent = exponents_[first + count - 1];
        for (std::size_t i = first; i < first + count; ++i) {
            const std::uint64_t n = odd_divisor(queries_.first + static_cast<std::int64_t>(i));
            const unsigned long gap = last_exponent - exponents_[i];
            mpz_divexact_ui(multiplier_.get_mpz_t(), product.get_mpz_t(), static_cast<unsigned long>(n));
            unsigned long end = precision; // x_i is in bits [end - p_i, end) of the product
            if (base_is_two_) {
                // frac(x_v 2^gap): x_v without its top gap bits.
                mpz_tdiv_r_2exp(scratch_.get_mpz_t(), x.get_mpz_t(), precision - gap);
                scratch_ *= multiplier_;
                end -= gap;
            } else {
                multiplier_ *= power(gap);
                mpz_mul(scratch_.get_mpz_t(), x.get_mpz_t(), multiplier_.get_mpz_t());
            }
            const unsigned long bits = static_cast<unsigned long>(std::bit_width(n)) + guard_bits;
            leaf(i, bits_of(scratch_, end - bits, bits), bits);
        }
    }

    // Leaf i from x_i's top `bits` bits.
    void leaf(std::size_t index, unsigned __int128 top_bits, unsigned long bits)
    {
        const std::int64_t k = queries_.first + static_cast<std::int64_t>(index);
        const std::uint64_t n = odd_divisor(k);
        // n x_i in fixed point: n < 2^21 leaves room for 106 bits in 128.
        constexpr unsigned long kept_bits = 106;
        assert(n < (std::uint64_t{1} << 21));
        const unsigned long kept = std::min(bits, kept_bits);
        const unsigned __int128 scaled = (top_bits >> (bits - kept)) * n;
        const auto residue = static_cast<std::uint64_t>(scaled >> kept);
        const unsigned __int128 below = scaled - (static_cast<unsigned __int128>(residue) << kept);
        const long double fraction = std::ldexp(static_cast<long double>(below), -static_cast<int>(kept));
        assert(residue < n);
        if (fraction < doubt_margin || fraction > 1.0L - doubt_margin) {
            in_doubt_ = true;
        }
        residues_[index] = static_cast<std::uint32_t>(residue);
        signed_fractions_ += (k % 2 == 0 ? fraction : -fraction) / static_cast<long double>(n);
        done_.fetch_add(1, std::memory_order_relaxed);
    }

    const mpz_class& power(unsigned long e)
    {
        auto [place, fresh] = powers_.try_emplace(e);
        if (fresh) {
            mpz_ui_pow_ui(place->second.get_mpz_t(), queries_.base, e);
        }
        return place->second;
    }

    const mpz_class& y_;
    PowerQueries queries_;
    bool base_is_two_;
    double log2_base_;
    std::span<std::uint32_t> residues_;
    std::atomic<std::uint64_t>& done_;
    std::vector<unsigned long> exponents_;
    std::size_t top_level_ = 0;
    std::size_t bottom_ = 0;         // the level of the blocks, whose leaves come straight from them
    Levels upper_levels_;            // the products from level bottom_ up
    mpz_class multiplier_, scratch_; // kept from leaf to leaf, so as not to allocate for each
    std::map<unsigned long, mpz_class> powers_;
    long double signed_fractions_ = 0;
    bool in_doubt_ = false;
};

} // namespace

unsigned long PowerQueries::exponent_of(std::int64_t k) const
{
    return scale * static_cast<unsigned long>(odd_divisor(k)) - offset;
}

std::uint64_t odd_divisor(std::int64_t k) { return static_cast<std::uint64_t>(2 * k + 1); }

std::optional<long double> answer_power_queries(const mpz_class& y, const PowerQueries& queries,
                                                std::span<std::uint32_t> residues, std::atomic<std::uint64_t>& done)
{
    assert(residues.size() == static_cast<std::size_t>(queries.end - queries.first));
    return ScaledRemainderTree(y, queries, residues, done).answer();
}
