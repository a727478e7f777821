// Leaf i answers x_i = frac(y / (n_i b^e_i)): from it, floor(y / b^e_i) mod n_i
// = floor(n_i x_i) and frac(y / b^e_i) = n_i x_i - floor(n_i x_i). A node v (a
// run of leaves) has a common multiple M_v of its divisors and E_v, its
// largest exponent, and carries x_v = frac(y / (M_v b^E_v)). For children l
// and u (u holding the larger exponents, so E_u = E_v):
//   x_u = frac(x_v M_v / M_u),   x_l = frac(x_v (M_v / M_l) b^(E_v - E_l)),
// both multipliers whole numbers, so the fraction carries down exactly; only
// the root needs a division. Each x_v is kept as X_v = floor(x_v 2^p_v).
//
// Precision, composed: node v keeps p_v = bits(M_v) + span_v log2 b + g bits,
// where span_v is its largest exponent less its smallest and g = guard_bits.
// Say X_v is off by at most d_v units of 2^-p_v. A child's X_c is a window of
// the bits of X_v times its multiplier K < 2^(p_v - p_c + 1), so it is off by
// at most 2 d_v (the error times K) + 1 (its own truncation) + 1/4 (the bits
// of X_v left out of the product): d_c <= 2 d_v + 1.25. The root's division
// is off by a unit or two (its operands are cut to the bits the quotient
// needs), d_root <= 3, so after h levels d <= 5.25 2^h - 1.25. A leaf keeps
// bits(n_i) + g bits, so n_i x_i, and with it the fraction, is off by at most
// d 2^-g. A tree has at most 2^20 leaves, blocks of 16: h <= 16 levels and
// one more for the leaf, d < 2^20, and the fraction is good to 2^-60.
//
// A fraction closer than doubt_margin = 2^-50 to 0 or 1 could have its floor
// on the wrong side: the residue would be off by one, and wrap modulo n_i
// where it is 0 or n_i - 1. Such an error moves the result by a whole number
// exactly, which no margin on the final sum can see, so the tree cannot
// pass it on: that leaf is worked out exactly instead (one division of y).

#include "engine/scaled_remainder_tree.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <map>
#include <span>

#include "engine/big_numbers.h"

namespace {

constexpr unsigned long guard_bits = 80;
constexpr double doubt_margin = 0x1p-50;

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

class ScaledRemainderTree {
public:
    ScaledRemainderTree(const RemainderQueries& queries, const DivisorTree& divisors, LeafAnswers& answers,
                        WorkMeter::Account& work)
        : y_(queries.dividend), base_(queries.base), base_is_two_(queries.base == 2),
          log2_base_(std::log2(static_cast<double>(queries.base))), exponent_scale_(queries.exponent_scale),
          exponent_offset_(queries.exponent_offset), leaf_count_(divisors.leaf_count), divisors_(divisors),
          answers_(answers), work_(work), working_(divisors.top_level + 1)
    {
        assert(base_ == 2 || base_ % 2 == 1);
        assert(exponent_scale_ * divisors.divisor(0) >= exponent_offset_);
        assert(divisors.divisor(divisors.leaf_count - 1) < tree_divisor_limit);
        assert(divisors.top_level <= 20); // the precision rule above counts on it
    }

    void answer()
    {
        const unsigned long precision = precision_of(divisors_.modulus_bits.back()[0], 0, leaf_count_);
        mpz_class x = root_fraction(precision);
        descend(divisors_.top_level, 0, x, precision);
    }

private:
    // The one division: X_root = floor(y 2^p / (M_root b^E_root)) mod 2^p, to
    // within a few units. Of the modulus only as many top bits as the
    // quotient has, and some to spare, take part, so neither the power nor
    // the modulus is made in full.
    mpz_class root_fraction(unsigned long precision)
    {
        constexpr unsigned long spare_bits = 64;
        const unsigned long e = exponent(leaf_count_ - 1);
        const mpz_class& multiple = divisors_.root_multiple;
        mpz_class power = 1;
        unsigned long dropped = 0; // the modulus is M power 2^dropped
        if (base_is_two_) {
            dropped = e;
        } else {
            mpz_ui_pow_ui(power.get_mpz_t(), base_, e);
        }
        const unsigned long numerator_bits = bits_in(y_) + precision;
        const unsigned long modulus_bits = bits_in(multiple) + bits_in(power) + dropped - 1; // at least
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
        mpz_class modulus;
        multiply(modulus, multiple, power);
        release(power);
        keep_top(modulus);
        // floor(y 2^p / (modulus 2^dropped))
        mpz_class numerator;
        if (precision >= dropped) {
            mpz_mul_2exp(numerator.get_mpz_t(), y_.get_mpz_t(), precision - dropped);
        } else {
            mpz_tdiv_q_2exp(numerator.get_mpz_t(), y_.get_mpz_t(), dropped - precision);
        }
        mpz_class x;
        divide_floor(x, numerator, modulus);
        mpz_tdiv_r_2exp(x.get_mpz_t(), x.get_mpz_t(), precision);
        return x;
    }

    // Bits to carry for a node whose M has modulus_bits bits, over leaves [first, first + count).
    unsigned long precision_of(unsigned long modulus_bits, std::size_t first, std::size_t count) const
    {
        const unsigned long span = exponent(first + count - 1) - exponent(first);
        return modulus_bits + static_cast<unsigned long>(std::ceil(static_cast<double>(span) * log2_base_)) +
               guard_bits;
    }

    // x holds X_v with `precision` bits for the node at (level, index).
    void descend(std::size_t level, std::size_t index, mpz_class& x, unsigned long precision)
    {
        const std::size_t first = index << level;
        if (level == divisors_.bottom) {
            block_leaves(first, std::min(std::size_t{1} << level, leaf_count_ - first),
                         divisors_.block_multiples[index], x, precision);
            return;
        }
        const std::size_t lower = 2 * index;
        const std::size_t upper = lower + 1;
        const std::size_t upper_first = upper << (level - 1);
        if (upper_first >= leaf_count_) {
            descend(level - 1, lower, x, precision); // a lone child: the same node
            return;
        }
        const std::size_t upper_count = std::min(std::size_t{1} << (level - 1), leaf_count_ - upper_first);
        const DivisorTree::Split& split = divisors_.splits[level - 1 - divisors_.bottom][index];
        const std::vector<unsigned long>& child_bits = divisors_.modulus_bits[level - 1 - divisors_.bottom];
        const unsigned long lower_precision = precision_of(child_bits[lower], first, upper_first - first);
        const unsigned long upper_precision = precision_of(child_bits[upper], upper_first, upper_count);

        // Each level has its own working numbers, kept from node to node, and
        // no product goes into one of its own factors: neither takes fresh
        // memory at every node.
        WorkingNumbers& working = working_[level];

        // x_u = frac(x_v M_v / M_u). Bits of x_v low enough that times the
        // multiplier they stay below a quarter of the last bit kept are left
        // out of the product.
        const unsigned long upper_multiplier_bits = bits_in(split.to_upper);
        const unsigned long unused = precision - upper_precision;
        const unsigned long left_out = unused > upper_multiplier_bits + 2 ? unused - upper_multiplier_bits - 2 : 0;
        mpz_class& upper_x = working.upper_x;
        mpz_tdiv_q_2exp(working.product.get_mpz_t(), x.get_mpz_t(), left_out);
        multiply(upper_x, working.product, split.to_upper);
        mpz_tdiv_r_2exp(upper_x.get_mpz_t(), upper_x.get_mpz_t(), precision - left_out);
        mpz_tdiv_q_2exp(upper_x.get_mpz_t(), upper_x.get_mpz_t(), unused - left_out);
        // x_l = frac(x_v (M_v / M_l) b^(E_v - E_l)); one product of x with the
        // whole multiplier costs less than two with its factors.
        const unsigned long gap = exponent(upper_first + upper_count - 1) - exponent(upper_first - 1);
        unsigned long product_bits = precision; // x_l is the top of the product's bits below this
        if (base_is_two_) {
            // x 2^gap mod 2^p is x mod 2^(p - gap) shifted: the shift is left
            // out of the product.
            assert(precision - lower_precision >= gap);
            product_bits -= gap;
            mpz_tdiv_r_2exp(working.multiplier.get_mpz_t(), x.get_mpz_t(), product_bits);
            multiply(working.product, working.multiplier, split.to_lower);
        } else {
            multiply(working.multiplier, split.to_lower, power(gap));
            multiply(working.product, x, working.multiplier);
        }
        mpz_tdiv_r_2exp(working.product.get_mpz_t(), working.product.get_mpz_t(), product_bits);
        mpz_tdiv_q_2exp(x.get_mpz_t(), working.product.get_mpz_t(), product_bits - lower_precision);

        descend(level - 1, lower, x, lower_precision);
        descend(level - 1, upper, upper_x, upper_precision);
    }

    // The leaves of a block straight from its node v, one product each:
    // x_i = frac(x_v (M_v / n_i) b^(E_v - e_i)). Below a few dozen leaves this
    // costs far less than going on down the tree with small numbers.
    void block_leaves(std::size_t first, std::size_t count, const mpz_class& multiple, const mpz_class& x,
                      unsigned long precision)
    {
        const unsigned long last_exponent = exponent(first + count - 1);
        for (std::size_t i = first; i < first + count; ++i) {
            const std::uint64_t n = divisors_.divisor(i);
            const unsigned long gap = last_exponent - exponent(i);
            mpz_divexact_ui(multiplier_.get_mpz_t(), multiple.get_mpz_t(), static_cast<unsigned long>(n));
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
            leaf(i, n, bits_of(product_, end - bits, bits), bits);
        }
        work_.add(count);
    }

    // Leaf i from x_i's top `bits` bits.
    void leaf(std::size_t index, std::uint64_t n, unsigned __int128 top_bits, unsigned long bits)
    {
        // n x_i in fixed point: n < 2^21 leaves room for 106 bits in 128.
        constexpr unsigned long kept_bits = 106;
        static_assert(tree_divisor_limit <= std::uint64_t{1} << (128 - kept_bits));
        const unsigned long kept = std::min(bits, kept_bits);
        const unsigned __int128 scaled = (top_bits >> (bits - kept)) * n;
        const auto residue = static_cast<std::uint64_t>(scaled >> kept);
        const unsigned __int128 below = scaled - (static_cast<unsigned __int128>(residue) << kept);
        static_assert(guard_bits >= 64);
        const double fraction = static_cast<double>(static_cast<std::uint64_t>(below >> (kept - 64))) * 0x1p-64;
        assert(residue < n);
        if (fraction < doubt_margin || fraction > 1.0 - doubt_margin) {
            exact_leaf(index, n);
            return;
        }
        answers_.answer(index, residue, fraction);
    }

    // floor(y / b^e) mod n and frac(y / b^e) by one exact division.
    void exact_leaf(std::size_t index, std::uint64_t n)
    {
        const unsigned long e = exponent(index);
        mpz_class quotient;
        mpz_class remainder;
        mpz_class power = 1;
        if (base_is_two_) {
            mpz_tdiv_q_2exp(quotient.get_mpz_t(), y_.get_mpz_t(), e);
            mpz_tdiv_r_2exp(remainder.get_mpz_t(), y_.get_mpz_t(), e);
            mpz_mul_2exp(power.get_mpz_t(), power.get_mpz_t(), e);
        } else {
            mpz_ui_pow_ui(power.get_mpz_t(), base_, e);
            mpz_fdiv_qr(quotient.get_mpz_t(), remainder.get_mpz_t(), y_.get_mpz_t(), power.get_mpz_t());
        }
        // The fraction to 2^-64: floor(remainder 2^64 / power) 2^-64.
        mpz_mul_2exp(remainder.get_mpz_t(), remainder.get_mpz_t(), 64);
        mpz_fdiv_q(remainder.get_mpz_t(), remainder.get_mpz_t(), power.get_mpz_t());
        const double fraction = mpz_get_d(remainder.get_mpz_t()) * 0x1p-64;
        answers_.answer(index, mpz_fdiv_ui(quotient.get_mpz_t(), static_cast<unsigned long>(n)), fraction);
    }

    unsigned long exponent(std::size_t leaf) const
    {
        return exponent_scale_ * static_cast<unsigned long>(divisors_.divisor(leaf)) - exponent_offset_;
    }

    const mpz_class& power(unsigned long e)
    {
        auto [place, fresh] = powers_.try_emplace(e);
        if (fresh) {
            mpz_ui_pow_ui(place->second.get_mpz_t(), base_, e);
        }
        return place->second;
    }

    const mpz_class& y_;
    unsigned long base_;
    bool base_is_two_;
    double log2_base_;
    unsigned long exponent_scale_;
    unsigned long exponent_offset_;
    std::size_t leaf_count_;
    const DivisorTree& divisors_;
    LeafAnswers& answers_;
    WorkMeter::Account& work_;
    struct WorkingNumbers {
        mpz_class upper_x, multiplier, product;
    };
    std::vector<WorkingNumbers> working_;      // for each level above the blocks
    mpz_class multiplier_, scratch_, product_; // kept from leaf to leaf, so as not to allocate for each
    std::map<unsigned long, mpz_class> powers_;
};

} // namespace

void answer_queries(const RemainderQueries& queries, const DivisorTree& divisors, LeafAnswers& answers,
                    WorkMeter::Account& work)
{
    ScaledRemainderTree(queries, divisors, answers, work).answer();
}
