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
// where span_v is its largest exponent less its smallest and g =
// tree_guard_bits. Say X_v is off by at most d_v units of 2^-p_v. A child's
// X_c (a leaf's too) is a window of the bits of X_v times its multiplier
// K < 2^(p_v - p_c + 1) (carry_down), so it is off by at most 2 d_v (the error
// times K) + 1 (its own truncation) + 1/4 (the bits of X_v left out of the
// product): d_c <= 2 d_v + 1.25. The root's division is off by a unit or two
// (its operands are cut to the bits the quotient needs), d_root <= 3, so after
// h steps down d <= 5.25 2^h - 1.25. A leaf keeps bits(n_i) + g bits, so
// n_i x_i, and with it the fraction, is off by at most d 2^-g. At most
// most_descent_steps steps lead from the root to a leaf, which keeps d below
// 2^tree_error_bits: the fraction is good to tree_fraction_error.
//
// A fraction closer than doubt_margin to 0 or 1 could have its floor
// on the wrong side: the residue would be off by one, and wrap modulo n_i
// where it is 0 or n_i - 1. Such an error moves the result by a whole number
// exactly, which no margin on the final sum can see, so the tree cannot
// pass it on: that leaf is worked out exactly instead (one division of y).

#include "engine/scaled_remainder_tree.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cmath>
#include <map>

#include "engine/big_numbers.h"

namespace {

// The levels between a root of 2^most_tree_levels leaves and its blocks of 16
// (odd_lcm_tree.cpp), and the step from a block to its leaves.
constexpr unsigned most_descent_steps = most_tree_levels - 4 + 1;
// A leaf's fraction is handed on in 64 bits, cut off below.
constexpr unsigned fraction_bits = 64;
static_assert(5.25 * static_cast<double>(std::uint64_t{1} << most_descent_steps) - 1.25 +
                      static_cast<double>(std::uint64_t{1} << (tree_guard_bits - fraction_bits)) <
                  static_cast<double>(std::uint64_t{1} << tree_error_bits),
              "the error a leaf can carry must stay within what tree_fraction_error allows");

constexpr long double doubt_margin = 0x1p-50L;
static_assert(doubt_margin > tree_fraction_error, "only a fraction the tree is unsure of may be doubted");

// floor(x / 2^from) mod 2^count for x >= 0, from the limbs that hold those
// bits only, into `window` (room for count / 64 + 2 limbs), lowest limb
// first: returns how many limbs it holds.
mp_size_t bit_window(mp_limb_t* window, const mpz_class& x, unsigned long from, unsigned long count)
{
    static_assert(GMP_NUMB_BITS == 64, "limbs of 64 bits (CMake refuses other builds)");
    assert(sgn(x) >= 0);
    const auto first_limb = static_cast<mp_size_t>(from / GMP_NUMB_BITS);
    const auto shift = static_cast<unsigned>(from % GMP_NUMB_BITS);
    const mp_size_t available = static_cast<mp_size_t>(mpz_size(x.get_mpz_t())) - first_limb;
    if (available <= 0) {
        return 0;
    }
    const auto wanted = static_cast<mp_size_t>((count + GMP_NUMB_BITS - 1) / GMP_NUMB_BITS);
    // One limb above the window's for the bits a shift brings down.
    const mp_size_t read = std::min(available, wanted + 1);
    const mp_limb_t* source = mpz_limbs_read(x.get_mpz_t()) + first_limb;
    if (shift == 0) {
        mpn_copyi(window, source, read);
    } else {
        mpn_rshift(window, source, read, shift);
    }
    const mp_size_t kept = std::min(read, wanted);
    if (kept == wanted && count % GMP_NUMB_BITS != 0) {
        window[kept - 1] &= (mp_limb_t{1} << (count % GMP_NUMB_BITS)) - 1;
    }
    return kept;
}

void bit_window(mpz_class& out, const mpz_class& x, unsigned long from, unsigned long count)
{
    assert(&out != &x);
    mp_limb_t* window = mpz_limbs_write(out.get_mpz_t(), static_cast<mp_size_t>(count / GMP_NUMB_BITS + 2));
    mpz_limbs_finish(out.get_mpz_t(), bit_window(window, x, from, count));
}

class ScaledRemainderTree {
public:
    ScaledRemainderTree(const PowerQuotients& quotients, const DivisorTree& divisors, LeafAnswers& answers)
        : quotients_(quotients), base_is_two_(quotients.base == 2),
          log2_base_(std::log2(static_cast<double>(quotients.base))), leaf_count_(divisors.leaf_count),
          divisors_(divisors), answers_(answers), working_(divisors.top_level + 1)
    {
        assert(quotients.base == 2 || quotients.base % 2 == 1);
        assert(quotients.exponent(divisors.divisor(0)) >= 0);
        assert(divisors.divisor(divisors.leaf_count - 1) < tree_divisor_limit);
        assert(divisors.top_level <= most_tree_levels &&
               divisors.bottom >= std::min<std::size_t>(4, divisors.top_level));
    }

    void answer()
    {
        const unsigned long precision = precision_of(divisors_.modulus_bits.back()[0], 0, leaf_count_);
        mpz_class x = root_fraction(precision);
        descend(divisors_.top_level, 0, x, precision);
    }

private:
    // Each level has its own working numbers, kept from node to node (and the
    // leaves theirs, from leaf to leaf), and no product goes into one of its
    // own factors: none takes fresh memory at every node.
    struct WorkingNumbers {
        mpz_class child, multiplier, scratch, product;
    };

    // The one division: X_root = floor(y 2^p / (M_root b^E_root)) mod 2^p, to
    // within a few units. Of the modulus only as many top bits as the
    // quotient has, and some to spare, take part, so neither the power nor
    // the modulus is made in full.
    mpz_class root_fraction(unsigned long precision)
    {
        constexpr unsigned long spare_bits = 64;
        const mpz_class& y = quotients_.dividend;
        const unsigned long e = exponent(leaf_count_ - 1);
        const mpz_class& multiple = divisors_.root_multiple;
        mpz_class power = 1;
        unsigned long dropped = 0; // the modulus is M power 2^dropped
        if (base_is_two_) {
            dropped = e;
        } else {
            mpz_ui_pow_ui(power.get_mpz_t(), quotients_.base, e);
        }
        const unsigned long numerator_bits = bits_in(y) + precision;
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
            mpz_mul_2exp(numerator.get_mpz_t(), y.get_mpz_t(), precision - dropped);
        } else {
            mpz_tdiv_q_2exp(numerator.get_mpz_t(), y.get_mpz_t(), dropped - precision);
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
               tree_guard_bits;
    }

    // X_c, the top `child_precision` bits of frac(x K) in fixed point, where x
    // holds `x_bits` bits of a fraction (x < 2^x_bits) and K = multiplier:
    // makes the product in working.product and returns where X_c's bits
    // start in it. Bits of x low enough that times K they stay below a
    // quarter of the last bit kept are left out of the product (the proof's
    // 1/4).
    static unsigned long carry_product(const mpz_class& x, unsigned long x_bits, const mpz_class& multiplier,
                                       unsigned long child_precision, WorkingNumbers& working)
    {
        assert(x_bits >= child_precision && bits_in(x) <= x_bits);
        const unsigned long unused = x_bits - child_precision;
        const unsigned long multiplier_bits = bits_in(multiplier);
        // Leaving out fewer than two limbs costs more than it spares.
        const unsigned long droppable = unused > multiplier_bits + 2 ? unused - multiplier_bits - 2 : 0;
        const unsigned long left_out = droppable >= 2 * GMP_NUMB_BITS ? droppable : 0;
        const mpz_class* kept = &x;
        if (left_out > 0) {
            bit_window(working.scratch, x, left_out, x_bits - left_out);
            kept = &working.scratch;
        }
        multiply(working.product, *kept, multiplier);
        return unused - left_out;
    }

    static void carry_down(mpz_class& child, const mpz_class& x, unsigned long x_bits, const mpz_class& multiplier,
                           unsigned long child_precision, WorkingNumbers& working)
    {
        bit_window(child, working.product, carry_product(x, x_bits, multiplier, child_precision, working),
                   child_precision);
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
        WorkingNumbers& working = working_[level];

        // x_u = frac(x_v M_v / M_u)
        carry_down(working.child, x, precision, split.to_upper, upper_precision, working);
        // x_l = frac(x_v (M_v / M_l) b^(E_v - E_l)); for b = 2, x 2^gap mod 1
        // is x without its top gap bits.
        const unsigned long gap = exponent(upper_first + upper_count - 1) - exponent(upper_first - 1);
        if (base_is_two_) {
            assert(precision - lower_precision >= gap);
            mpz_tdiv_r_2exp(x.get_mpz_t(), x.get_mpz_t(), precision - gap);
            carry_down(x, x, precision - gap, split.to_lower, lower_precision, working);
        } else {
            // One product of x with the whole multiplier costs less than two with its factors.
            multiply(working.multiplier, split.to_lower, power(gap));
            carry_down(x, x, precision, working.multiplier, lower_precision, working);
        }

        descend(level - 1, lower, x, lower_precision);
        descend(level - 1, upper, working.child, upper_precision);
    }

    // The leaves of a block straight from its node v, one product each:
    // x_i = frac(x_v (M_v / n_i) b^(E_v - e_i)). Below a few dozen leaves this
    // costs far less than going on down the tree with small numbers.
    void block_leaves(std::size_t first, std::size_t count, const mpz_class& multiple, const mpz_class& x,
                      unsigned long precision)
    {
        const unsigned long last_exponent = exponent(first + count - 1);
        WorkingNumbers& working = leaf_working_;
        for (std::size_t i = first; i < first + count; ++i) {
            const std::uint64_t n = divisors_.divisor(i);
            const unsigned long gap = last_exponent - exponent(i);
            const auto bits = static_cast<unsigned long>(std::bit_width(n)) + tree_guard_bits;
            mpz_divexact_ui(working.multiplier.get_mpz_t(), multiple.get_mpz_t(), static_cast<unsigned long>(n));
            unsigned long from = 0;
            if (base_is_two_) {
                mpz_tdiv_r_2exp(working.child.get_mpz_t(), x.get_mpz_t(), precision - gap);
                from = carry_product(working.child, precision - gap, working.multiplier, bits, working);
            } else {
                mpz_mul(working.child.get_mpz_t(), working.multiplier.get_mpz_t(), power(gap).get_mpz_t());
                from = carry_product(x, precision, working.child, bits, working);
            }
            std::array<mp_limb_t, 3> top_bits{};
            static_assert(tree_divisor_limit <= std::uint64_t{1} << (2 * GMP_NUMB_BITS - tree_guard_bits));
            bit_window(top_bits.data(), working.product, from, bits);
            leaf(i, n, top_bits[0] | static_cast<unsigned __int128>(top_bits[1]) << GMP_NUMB_BITS, bits);
        }
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
        static_assert(tree_guard_bits >= fraction_bits);
        const long double fraction =
            static_cast<long double>(static_cast<std::uint64_t>(below >> (kept - fraction_bits))) * 0x1p-64L;
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
        const mpz_class& y = quotients_.dividend;
        const unsigned long e = exponent(index);
        mpz_class quotient;
        mpz_class remainder;
        mpz_class power = 1;
        if (base_is_two_) {
            mpz_tdiv_q_2exp(quotient.get_mpz_t(), y.get_mpz_t(), e);
            mpz_tdiv_r_2exp(remainder.get_mpz_t(), y.get_mpz_t(), e);
            mpz_mul_2exp(power.get_mpz_t(), power.get_mpz_t(), e);
        } else {
            mpz_ui_pow_ui(power.get_mpz_t(), quotients_.base, e);
            mpz_fdiv_qr(quotient.get_mpz_t(), remainder.get_mpz_t(), y.get_mpz_t(), power.get_mpz_t());
        }
        // The fraction in 64 bits: floor(remainder 2^64 / power) 2^-64.
        mpz_mul_2exp(remainder.get_mpz_t(), remainder.get_mpz_t(), fraction_bits);
        mpz_fdiv_q(remainder.get_mpz_t(), remainder.get_mpz_t(), power.get_mpz_t());
        const long double fraction = static_cast<long double>(mpz_get_ui(remainder.get_mpz_t())) * 0x1p-64L;
        answers_.answer(index, mpz_fdiv_ui(quotient.get_mpz_t(), static_cast<unsigned long>(n)), fraction);
    }

    unsigned long exponent(std::size_t leaf) const
    {
        return static_cast<unsigned long>(quotients_.exponent(divisors_.divisor(leaf)));
    }

    const mpz_class& power(unsigned long e)
    {
        auto [place, fresh] = powers_.try_emplace(e);
        if (fresh) {
            mpz_ui_pow_ui(place->second.get_mpz_t(), quotients_.base, e);
        }
        return place->second;
    }

    const PowerQuotients& quotients_;
    bool base_is_two_;
    double log2_base_;
    std::size_t leaf_count_;
    const DivisorTree& divisors_;
    LeafAnswers& answers_;
    std::vector<WorkingNumbers> working_; // for each level above the blocks
    WorkingNumbers leaf_working_;
    std::map<unsigned long, mpz_class> powers_;
};

} // namespace

void answer_queries(const PowerQuotients& quotients, const DivisorTree& divisors, LeafAnswers& answers)
{
    ScaledRemainderTree(quotients, divisors, answers).answer();
}
