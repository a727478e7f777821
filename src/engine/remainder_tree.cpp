// A scaled remainder tree (after Bernstein, "Scaled remainder trees", 2004).
//
// Leaf i answers x_i = frac(y / (n_i b^e_i)): from it, floor(y / b^e_i) mod n_i
// = floor(n_i x_i) and frac(y / b^e_i) = n_i x_i - floor(n_i x_i). A node v
// (a run of leaves) has L_v, the least common multiple of its n_i, and E_v,
// its largest exponent, and carries x_v = frac(y / (L_v b^E_v)). For children
// l and u (u holding the larger exponents, so E_u = E_v):
//   x_u = frac(x_v L_v / L_u),   x_l = frac(x_v (L_v / L_l) b^(E_v - E_l)),
// both multipliers whole numbers, so the fraction carries down exactly; only
// the root needs a division. Each x_v is kept as X_v = floor(x_v 2^p_v), with
// p_v enough bits to know every leaf below it to guard_bits beyond 1/n_i.
//
// The n_i are consecutive odd numbers, which share their small prime factors:
// near the root L_v has about half the bits of their product, and so have the
// numbers carried down the tree. The least common multiples depend on the
// terms alone (DivisorTree), so the series over the same terms share them.

#include "engine/remainder_tree.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace {

// Leaves are taken 2^block_level at a time at the bottom of the tree, each
// straight from its block's node: a million small numbers stay out of memory
// and out of the descent.
constexpr std::size_t block_level = 4;
// Bits each leaf's fraction is known to beyond its 1/n_i; the truncations on
// the way down cost a bit a level at most, some 20 in all.
constexpr unsigned long guard_bits = 80;
// A fraction frac(y / b^e) this close to 0 or 1 leaves the floor in doubt.
constexpr double doubt_margin = 0x1p-50;

std::size_t nodes_at(std::size_t leaf_count, std::size_t level) { return ((leaf_count - 1) >> level) + 1; }

// Odd primes below limit.
std::vector<std::uint32_t> odd_primes_below(std::uint32_t limit)
{
    std::vector<bool> composite(limit, false);
    std::vector<std::uint32_t> primes;
    for (std::uint32_t p = 3; p < limit; p += 2) {
        if (!composite[p]) {
            primes.push_back(p);
            for (std::uint64_t multiple = std::uint64_t{p} * p; multiple < limit; multiple += 2 * p) {
                composite[multiple] = true;
            }
        }
    }
    return primes;
}

// The odd numbers first, first + 2, ..., last.
struct OddRange {
    std::uint64_t first;
    std::uint64_t last;

    // Only primes up to this can divide two of the numbers.
    std::uint64_t reach() const { return (last - first) / 2; }
};

// The largest j for which p^j divides one of the numbers of the range.
unsigned highest_power_in(std::uint64_t p, OddRange range)
{
    unsigned j = 0;
    for (std::uint64_t power = p; power <= range.last; power *= p, ++j) {
        // The odd multiples of power lie 2 power apart.
        if (range.last - range.first < 2 * power) {
            const std::uint64_t cofactor = (range.first + power - 1) / power;
            if ((cofactor | 1) * power > range.last) {
                break;
            }
        }
    }
    return j;
}

std::uint64_t power_of(std::uint64_t p, unsigned j)
{
    std::uint64_t power = 1;
    for (; j > 0; --j) {
        power *= p;
    }
    return power;
}

mpz_class product_of_words(std::span<const std::uint64_t> words)
{
    constexpr std::size_t straight = 8;
    if (words.size() <= straight) {
        std::array<mp_limb_t, straight + 1> limbs{1};
        mp_size_t size = 1;
        for (const std::uint64_t word : words) {
            const mp_limb_t carry = mpn_mul_1(limbs.data(), limbs.data(), size, word);
            if (carry != 0) {
                limbs[static_cast<std::size_t>(size++)] = carry;
            }
        }
        mpz_t view;
        mpz_class product;
        mpz_set(product.get_mpz_t(), mpz_roinit_n(view, limbs.data(), size));
        return product;
    }
    const std::size_t half = words.size() / 2;
    return product_of_words(words.first(half)) * product_of_words(words.subspan(half));
}

// A product of small numbers, as many to a word as fit.
class SmallProduct {
public:
    void multiply(std::uint64_t factor)
    {
        const unsigned __int128 wide = static_cast<unsigned __int128>(last_) * factor;
        if (wide >> 64 != 0) {
            full_words_.push_back(last_);
            last_ = factor;
        } else {
            last_ = static_cast<std::uint64_t>(wide);
        }
    }

    // The product when it fits in a word.
    std::optional<unsigned long> word() const
    {
        return full_words_.empty() ? std::optional<unsigned long>(last_) : std::nullopt;
    }

    mpz_class value()
    {
        full_words_.push_back(last_);
        last_ = 1;
        return product_of_words(full_words_);
    }

private:
    std::vector<std::uint64_t> full_words_;
    std::uint64_t last_ = 1;
};

// The least common multiple of a short range: each prime within its reach
// once, at its highest power; the rest of each number as it is.
mpz_class lcm_of(const std::vector<std::uint32_t>& primes, OddRange range)
{
    std::vector<std::uint64_t> parts; // each number with the primes in reach taken out
    for (std::uint64_t n = range.first; n <= range.last; n += 2) {
        parts.push_back(n);
    }
    SmallProduct lcm;
    for (const std::uint64_t p : primes) {
        if (p > range.reach()) {
            break;
        }
        const std::uint64_t first_multiple = ((range.first + p - 1) / p | 1) * p;
        for (std::uint64_t n = first_multiple; n <= range.last; n += 2 * p) {
            std::uint64_t& part = parts[(n - range.first) / 2];
            while (part % p == 0) {
                part /= p;
            }
        }
        lcm.multiply(power_of(p, highest_power_in(p, range)));
    }
    for (const std::uint64_t part : parts) {
        lcm.multiply(part);
    }
    return lcm.value();
}

// Both numbers divided by a common factor known to divide them.
void divide_exactly(mpz_class& first, mpz_class& second, const mpz_class& first_dividend,
                    const mpz_class& second_dividend, SmallProduct& divisor)
{
    if (const std::optional<unsigned long> word = divisor.word()) {
        mpz_divexact_ui(first.get_mpz_t(), first_dividend.get_mpz_t(), *word);
        mpz_divexact_ui(second.get_mpz_t(), second_dividend.get_mpz_t(), *word);
    } else {
        const mpz_class value = divisor.value();
        mpz_divexact(first.get_mpz_t(), first_dividend.get_mpz_t(), value.get_mpz_t());
        mpz_divexact(second.get_mpz_t(), second_dividend.get_mpz_t(), value.get_mpz_t());
    }
}

// gcd(lcm of lower, lcm of upper) for two ranges side by side.
SmallProduct common_factor(const std::vector<std::uint32_t>& primes, OddRange lower, OddRange upper)
{
    SmallProduct common;
    const OddRange both{lower.first, upper.last};
    for (const std::uint64_t p : primes) {
        if (p > both.reach()) {
            break;
        }
        const unsigned j = std::min(highest_power_in(p, lower), highest_power_in(p, upper));
        if (j > 0) {
            common.multiply(power_of(p, j));
        }
    }
    return common;
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

unsigned long bits_in(const mpz_class& x) { return static_cast<unsigned long>(mpz_sizeinbase(x.get_mpz_t(), 2)); }

// Gives back the memory of a number no longer needed.
void release(mpz_class& x)
{
    mpz_class released;
    released.swap(x);
}

} // namespace

// The least common multiples of the divisors n_k of a run of terms: the
// blocks', then each node's as the splits that carry a fraction down to its
// children, up to the root's. They depend on the terms alone, so every
// series over the same terms shares them.
struct DivisorTree {
    // What a node hands its children: x_u = frac(x_v to_upper) and
    // x_l = frac(x_v to_lower b^(E_v - E_l)).
    struct Split {
        mpz_class to_upper; // L_v / L_u
        mpz_class to_lower; // L_v / L_l
    };

    DivisorTree(std::int64_t first_term, std::int64_t end_term);

    // The divisors of the node's leaves.
    OddRange range_of(std::size_t level, std::size_t index) const
    {
        const std::size_t first = index << level;
        const std::size_t last = std::min(first + (std::size_t{1} << level), leaf_count) - 1;
        return {odd_divisor(first_term + static_cast<std::int64_t>(first)),
                odd_divisor(first_term + static_cast<std::int64_t>(last))};
    }

    std::int64_t first_term;
    std::size_t leaf_count;
    std::size_t top_level = 0;
    std::size_t bottom = 0; // the level of the blocks, whose leaves come straight from them
    std::vector<mpz_class> block_lcms;
    std::vector<std::vector<Split>> splits;               // for each level above the blocks
    std::vector<std::vector<unsigned long>> modulus_bits; // bits of each node's L, from the blocks up
    mpz_class root_lcm;
};

// L_v = L_l (L_u / g) with g = gcd(L_l, L_u), from the blocks up.
DivisorTree::DivisorTree(std::int64_t first_term, std::int64_t end_term)
    : first_term(first_term), leaf_count(static_cast<std::size_t>(end_term - first_term))
{
    assert(leaf_count > 0);
    while (nodes_at(leaf_count, top_level) > 1) {
        ++top_level;
    }
    bottom = std::min(block_level, top_level);
    const std::vector<std::uint32_t> primes = odd_primes_below(static_cast<std::uint32_t>(leaf_count));
    for (std::size_t index = 0; index < nodes_at(leaf_count, bottom); ++index) {
        block_lcms.push_back(lcm_of(primes, range_of(bottom, index)));
    }
    std::vector<mpz_class> lcms = block_lcms;
    modulus_bits.emplace_back();
    for (const mpz_class& lcm : lcms) {
        modulus_bits.back().push_back(bits_in(lcm));
    }
    for (std::size_t level = bottom + 1; level <= top_level; ++level) {
        std::vector<mpz_class> above(nodes_at(leaf_count, level));
        std::vector<Split> level_splits(above.size());
        modulus_bits.emplace_back();
        for (std::size_t j = 0; j < above.size(); ++j) {
            const std::size_t lower = 2 * j;
            const std::size_t upper = lower + 1;
            if (upper < lcms.size()) {
                SmallProduct common = common_factor(primes, range_of(level - 1, lower), range_of(level - 1, upper));
                divide_exactly(level_splits[j].to_upper, level_splits[j].to_lower, lcms[lower], lcms[upper], common);
                above[j] = lcms[lower] * level_splits[j].to_lower;
            } else {
                above[j] = std::move(lcms[lower]);
            }
            modulus_bits.back().push_back(bits_in(above[j]));
        }
        lcms = std::move(above);
        splits.push_back(std::move(level_splits));
    }
    root_lcm = std::move(lcms[0]);
}

namespace {

class ScaledRemainderTree {
public:
    ScaledRemainderTree(const mpz_class& y, const PowerQueries& queries, const DivisorTree& divisors,
                        std::span<std::uint32_t> residues, std::atomic<std::uint64_t>& done)
        : y_(y), queries_(queries), divisors_(divisors), base_is_two_(queries.base == 2),
          log2_base_(std::log2(static_cast<double>(queries.base))), residues_(residues), done_(done)
    {
        assert(queries.base == 2 || queries.base % 2 == 1);
        assert(divisors.first_term == queries.first && divisors.leaf_count == residues.size());
        for (std::int64_t k = queries.first; k < queries.end; ++k) {
            exponents_.push_back(queries.exponent_of(k));
        }
        working_.resize(divisors.top_level + 1);
    }

    std::optional<long double> answer()
    {
        const unsigned long precision = precision_of(divisors_.modulus_bits.back()[0], 0, exponents_.size());
        mpz_class x = root_fraction(precision);
        descend(divisors_.top_level, 0, x, precision);
        if (in_doubt_) {
            return std::nullopt;
        }
        return signed_fractions_;
    }

private:
    // The one division: X_root = floor(y 2^p / (L_root b^E_root)) mod 2^p, to
    // within a few units. Of the modulus only as many top bits as the
    // quotient has, and some to spare, take part, so neither the power nor
    // the modulus is made in full.
    mpz_class root_fraction(unsigned long precision)
    {
        constexpr unsigned long spare_bits = 64;
        const unsigned long e = exponents_.back();
        const mpz_class& lcm = divisors_.root_lcm;
        mpz_class power = 1;
        unsigned long dropped = 0; // the modulus is L power 2^dropped
        if (base_is_two_) {
            dropped = e;
        } else {
            mpz_ui_pow_ui(power.get_mpz_t(), queries_.base, e);
        }
        const unsigned long numerator_bits = bits_in(y_) + precision;
        const unsigned long modulus_bits = bits_in(lcm) + bits_in(power) + dropped - 1; // at least
        const unsigned long needed =
            numerator_bits + 1 - std::min(numerator_bits, modulus_bits) + spare_bits; // the quotient's and spare
        const auto keep_top = [&](mpz_class& number) {
            if (bits_in(number) > needed) {
                const unsigned long cut = bits_in(number) - needed;
                mpz_tdiv_q_2exp(number.get_mpz_t(), number.get_mpz_t(), cut);
                dropped += cut;
            }
        };
        keep_top(power);
        mpz_class modulus = lcm * power;
        release(power);
        keep_top(modulus);
        // floor(y 2^p / (modulus 2^dropped))
        mpz_class x = y_;
        if (precision >= dropped) {
            mpz_mul_2exp(x.get_mpz_t(), x.get_mpz_t(), precision - dropped);
        } else {
            mpz_tdiv_q_2exp(x.get_mpz_t(), x.get_mpz_t(), dropped - precision);
        }
        mpz_fdiv_q(x.get_mpz_t(), x.get_mpz_t(), modulus.get_mpz_t());
        mpz_tdiv_r_2exp(x.get_mpz_t(), x.get_mpz_t(), precision);
        return x;
    }

    // Bits to carry for a node whose L has modulus_bits bits, over leaves [first, first + count).
    unsigned long precision_of(unsigned long modulus_bits, std::size_t first, std::size_t count) const
    {
        const unsigned long span = exponents_[first + count - 1] - exponents_[first];
        return modulus_bits + static_cast<unsigned long>(std::ceil(static_cast<double>(span) * log2_base_)) +
               guard_bits;
    }

    // x holds X_v with `precision` bits for the node at (level, index).
    void descend(std::size_t level, std::size_t index, mpz_class& x, unsigned long precision)
    {
        const std::size_t first = index << level;
        if (level == divisors_.bottom) {
            block_leaves(first, std::min(std::size_t{1} << level, exponents_.size() - first),
                         divisors_.block_lcms[index], x, precision);
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
        const DivisorTree::Split& split = divisors_.splits[level - 1 - divisors_.bottom][index];
        const std::vector<unsigned long>& child_bits = divisors_.modulus_bits[level - 1 - divisors_.bottom];
        const unsigned long lower_precision = precision_of(child_bits[lower], first, upper_first - first);
        const unsigned long upper_precision = precision_of(child_bits[upper], upper_first, upper_count);

        // Each level has its own working numbers, kept from node to node, and
        // no product goes into one of its own factors: neither takes fresh
        // memory at every node.
        WorkingNumbers& working = working_[level];

        // x_u = frac(x_v L_v / L_u). Bits of x_v low enough that times the
        // multiplier they stay below a quarter of the last bit kept are left
        // out of the product.
        const unsigned long upper_multiplier_bits = bits_in(split.to_upper);
        const unsigned long unused = precision - upper_precision;
        const unsigned long left_out = unused > upper_multiplier_bits + 2 ? unused - upper_multiplier_bits - 2 : 0;
        mpz_class& upper_x = working.upper_x;
        mpz_tdiv_q_2exp(working.product.get_mpz_t(), x.get_mpz_t(), left_out);
        mpz_mul(upper_x.get_mpz_t(), working.product.get_mpz_t(), split.to_upper.get_mpz_t());
        mpz_tdiv_r_2exp(upper_x.get_mpz_t(), upper_x.get_mpz_t(), precision - left_out);
        mpz_tdiv_q_2exp(upper_x.get_mpz_t(), upper_x.get_mpz_t(), unused - left_out);
        // x_l = frac(x_v (L_v / L_l) b^(E_v - E_l)); one product of x with the
        // whole multiplier costs less than two with its factors.
        const unsigned long gap = exponents_[upper_first + upper_count - 1] - exponents_[upper_first - 1];
        unsigned long product_bits = precision; // x_l is the top of the product's bits below this
        if (base_is_two_) {
            // x 2^gap mod 2^p is x mod 2^(p - gap) shifted: the shift is left
            // out of the product.
            assert(precision - lower_precision >= gap);
            product_bits -= gap;
            mpz_tdiv_r_2exp(working.multiplier.get_mpz_t(), x.get_mpz_t(), product_bits);
            mpz_mul(working.product.get_mpz_t(), working.multiplier.get_mpz_t(), split.to_lower.get_mpz_t());
        } else {
            mpz_mul(working.multiplier.get_mpz_t(), split.to_lower.get_mpz_t(), power(gap).get_mpz_t());
            mpz_mul(working.product.get_mpz_t(), x.get_mpz_t(), working.multiplier.get_mpz_t());
        }
        mpz_tdiv_r_2exp(working.product.get_mpz_t(), working.product.get_mpz_t(), product_bits);
        mpz_tdiv_q_2exp(x.get_mpz_t(), working.product.get_mpz_t(), product_bits - lower_precision);

        descend(level - 1, lower, x, lower_precision);
        descend(level - 1, upper, upper_x, upper_precision);
    }

    // The leaves of a block straight from its node v, one product each:
    // x_i = frac(x_v (L_v / n_i) b^(E_v - e_i)). Below a few dozen leaves this
    // costs far less than going on down the tree with small numbers.
    void block_leaves(std::size_t first, std::size_t count, const mpz_class& lcm, const mpz_class& x,
                      unsigned long precision)
    {
        const unsigned long last_exponent = exponents_[first + count - 1];
        for (std::size_t i = first; i < first + count; ++i) {
            const std::uint64_t n = odd_divisor(queries_.first + static_cast<std::int64_t>(i));
            const unsigned long gap = last_exponent - exponents_[i];
            mpz_divexact_ui(multiplier_.get_mpz_t(), lcm.get_mpz_t(), static_cast<unsigned long>(n));
            // No product here has its result in one of its factors: that
            // would take fresh memory each time.
            unsigned long end = precision; // x_i is in bits [end - p_i, end) of the product
            if (base_is_two_) {
                // frac(x_v 2^gap): x_v without its top gap bits.
                mpz_tdiv_r_2exp(scratch_.get_mpz_t(), x.get_mpz_t(), precision - gap);
                mpz_mul(product_.get_mpz_t(), scratch_.get_mpz_t(), multiplier_.get_mpz_t());
                end -= gap;
            } else {
                mpz_mul(scratch_.get_mpz_t(), multiplier_.get_mpz_t(), power(gap).get_mpz_t());
                mpz_mul(product_.get_mpz_t(), x.get_mpz_t(), scratch_.get_mpz_t());
            }
            const unsigned long bits = static_cast<unsigned long>(std::bit_width(n)) + guard_bits;
            leaf(i, bits_of(product_, end - bits, bits), bits);
        }
        done_.fetch_add(count, std::memory_order_relaxed);
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
        static_assert(guard_bits >= 64);
        const double fraction = static_cast<double>(static_cast<std::uint64_t>(below >> (kept - 64))) * 0x1p-64;
        assert(residue < n);
        if (fraction < doubt_margin || fraction > 1.0 - doubt_margin) {
            in_doubt_ = true;
        }
        residues_[index] = static_cast<std::uint32_t>(residue);
        signed_fractions_ += (k % 2 == 0 ? fraction : -fraction) / static_cast<double>(n);
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
    const DivisorTree& divisors_;
    bool base_is_two_;
    double log2_base_;
    std::span<std::uint32_t> residues_;
    std::atomic<std::uint64_t>& done_;
    std::vector<unsigned long> exponents_;
    struct WorkingNumbers {
        mpz_class upper_x, multiplier, product;
    };
    std::vector<WorkingNumbers> working_;      // for each level above the blocks
    mpz_class multiplier_, scratch_, product_; // kept from leaf to leaf, so as not to allocate for each
    std::map<unsigned long, mpz_class> powers_;
    double signed_fractions_ = 0; // a double's 53 bits are ample for a sum of fractions
    bool in_doubt_ = false;
};

} // namespace

unsigned long PowerQueries::exponent_of(std::int64_t k) const
{
    return scale * static_cast<unsigned long>(odd_divisor(k)) - offset;
}

std::uint64_t odd_divisor(std::int64_t k) { return static_cast<std::uint64_t>(2 * k + 1); }

std::shared_ptr<const DivisorTree> divisor_tree(std::int64_t first, std::int64_t end)
{
    return std::make_shared<const DivisorTree>(first, end);
}

std::optional<long double> answer_power_queries(const mpz_class& y, const PowerQueries& queries,
                                                const DivisorTree& divisors, std::span<std::uint32_t> residues,
                                                std::atomic<std::uint64_t>& done)
{
    assert(residues.size() == static_cast<std::size_t>(queries.end - queries.first));
    done += residues.size(); // the share of the work that went into the divisors
    return ScaledRemainderTree(y, queries, divisors, residues, done).answer();
}
