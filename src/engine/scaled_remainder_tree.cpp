// Leaf i answers x_i = frac(y / (n_i b^e_i)): from it, floor(y / b^e_i) mod n_i
// = floor(n_i x_i) and frac(y / b^e_i) = n_i x_i - floor(n_i x_i). A node v
// (consecutive leaves) has a multiple M_v of its divisors and E_v, its
// largest exponent, and carries x_v = frac(y / (M_v b^E_v)). For children l
// and u (u holding the larger exponents, so E_u = E_v):
//   x_u = frac(x_v M_v / M_u),   x_l = frac(x_v (M_v / M_l) b^(E_v - E_l)),
// both multipliers whole numbers, so the fraction carries down exactly; only
// the root needs a division. Each x_v is kept as X_v = floor(x_v 2^p_v).
//
// Precision, composed: node v keeps p_v = bits(M_v) + ceil(span_v log2 b) +
// g bits, where span_v is its largest exponent less its smallest and g =
// tree_guard_bits; that is A_v + g + s_v, with A_v = log2 M_v + span_v log2 b
// and 0 <= s_v < 2 from the two roundings up. Say X_v is off by at most d_v
// units of 2^-p_v. A child's X_c is a window of the bits of X_v times its
// multiplier K (carry_down), so it is off by at most d_v K 2^(p_c - p_v) (the
// error times K) + 1 (its own truncation) + 1/4 (the bits of X_v left out of
// the product). For the lower child log2 K = A_v - A_c exactly, for the upper
// one less (its span starts higher), so K 2^(p_c - p_v) <= 2^(s_c - s_v), and
// D = d 2^-s grows by at most 1.25 a step: the roundings cancel along a path.
// The root's division is off by at most root_error units (its operands are
// cut to the bits the quotient needs), so at a block h steps down D <=
// root_error + 1.25 h. A block's leaf has n_i x_i off by (D + 1) 2^-g
// (block_leaves), and by 2^-64 more once its fraction is cut to 64 bits. The
// blocks lie at most most_tree_levels - tree_block_level steps below the root:
// all within 2^tree_error_bits units of 2^-g, so the fraction is good to
// tree_fraction_error.
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

constexpr double root_error = 3;
constexpr unsigned most_steps_to_a_block = most_tree_levels - tree_block_level;
constexpr double two_to(int exponent)
{
    return exponent == 0 ? 1.0 : exponent > 0 ? 2 * two_to(exponent - 1) : two_to(exponent + 1) / 2;
}
constexpr double leaf_error_units =
    root_error + 1.25 * most_steps_to_a_block + 1 + two_to(static_cast<int>(tree_guard_bits) - fraction_bits);
static_assert(leaf_error_units < two_to(tree_error_bits),
              "the error a leaf can carry must stay within what tree_fraction_error allows");

constexpr long double doubt_margin = 0x1p-50L;
// A fraction's last bit, as a long double.
constexpr long double fraction_unit = 1 / static_cast<long double>(two_to(fraction_bits));
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

// b^(e_(i+1) - e_i), the step from one leaf's exponent to the next.
mp_limb_t leaf_step_multiplier(const PowerQuotients& quotients, const DivisorTree& divisors)
{
    const unsigned long step = quotients.exponents.exponent_scale * divisors.divisor_step;
    mpz_class multiplier;
    mpz_ui_pow_ui(multiplier.get_mpz_t(), quotients.exponents.base, step);
    assert(mpz_size(multiplier.get_mpz_t()) == 1);
    return mpz_getlimbn(multiplier.get_mpz_t(), 0);
}

class ScaledRemainderTree {
public:
    ScaledRemainderTree(const PowerQuotients& quotients, const DivisorTree& divisors, LeafAnswers& answers)
        : quotients_(quotients), base_is_two_(quotients.exponents.base == 2),
          log2_base_(std::log2(static_cast<double>(quotients.exponents.base))), leaf_count_(divisors.leaf_count),
          divisors_(divisors), answers_(answers), working_(divisors.top_level + 1),
          step_multiplier_(leaf_step_multiplier(quotients, divisors))
    {
        assert(quotients.exponents.base == 2 || quotients.exponents.base % 2 == 1);
        assert(quotients.exponents.exponent(divisors.divisor(0)) >= 0);
        assert(divisors.divisor(divisors.leaf_count - 1) < tree_divisor_limit);
        assert(divisors.top_level <= most_tree_levels &&
               divisors.bottom == std::min<std::size_t>(tree_block_level, divisors.top_level));
    }

    void answer()
    {
        const unsigned long precision = precision_of(divisors_.multiple_bits.back()[0], 0, leaf_count_);
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
    // within root_error units. Of its divisor only as many top bits as the
    // quotient has, and some to spare, take part, so neither b^E_root nor the
    // divisor is made in full: each cut leaves it short by less than
    // 2^-(needed - 1) of itself, which moves a quotient below 2^(needed -
    // spare_bits) by far less than a unit; the floors add a unit each.
    mpz_class root_fraction(unsigned long precision)
    {
        constexpr unsigned long spare_bits = 64;
        const unsigned long e = exponent(leaf_count_ - 1);
        const mpz_class& multiple = divisors_.root_multiple;
        const unsigned long numerator_bits = quotients_.dividend_bits() + precision;
        // At most the divisor's bits, whatever the rounding of the logarithm.
        const auto raised_bits = static_cast<unsigned long>(std::max(0.0, static_cast<double>(e) * log2_base_ - 1));
        const unsigned long divisor_bits = bits_in(multiple) - 1 + raised_bits;
        const unsigned long needed = numerator_bits + 1 - std::min(numerator_bits, divisor_bits) + spare_bits;
        RaisedTop raised{1, e};
        if (!base_is_two_) {
            raised = raise_to_bits(quotients_.exponents.base, e, needed);
        }
        mpz_class divisor;
        multiply(divisor, multiple, raised.top);
        release(raised.top);
        unsigned long dropped = raised.dropped; // the divisor is M_root b^E_root / 2^dropped
        if (bits_in(divisor) > needed) {
            const unsigned long cut = bits_in(divisor) - needed;
            mpz_tdiv_q_2exp(divisor.get_mpz_t(), divisor.get_mpz_t(), cut);
            dropped += cut;
        }
        // floor(y 2^p / (divisor 2^dropped))
        mpz_class numerator;
        quotients_.dividend_shifted(numerator, static_cast<long>(precision) - static_cast<long>(dropped));
        mpz_class x;
        divide_floor(x, numerator, divisor);
        mpz_tdiv_r_2exp(x.get_mpz_t(), x.get_mpz_t(), precision);
        return x;
    }

    // Bits to carry for a node whose M_v has multiple_bits bits, over leaves [first, first + count).
    unsigned long precision_of(unsigned long multiple_bits, std::size_t first, std::size_t count) const
    {
        const unsigned long span = exponent(first + count - 1) - exponent(first);
        return multiple_bits + static_cast<unsigned long>(std::ceil(static_cast<double>(span) * log2_base_)) +
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
        const std::vector<unsigned long>& child_bits = divisors_.multiple_bits[level - 1 - divisors_.bottom];
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
            multiply(working.multiplier, split.to_lower, raised(gap));
            carry_down(x, x, precision, working.multiplier, lower_precision, working);
        }

        descend(level - 1, lower, x, lower_precision);
        descend(level - 1, upper, working.child, upper_precision);
    }

    // The leaves of a block from one product. With T = x_v M_v (below M_v,
    // held in fixed point), leaf i has n_i x_i = T b^(E_v - e_i) mod n_i,
    // since n_i divides M_v: the floor of that is the leaf's residue,
    // its fraction the leaf's fraction. Taken from the last leaf down, each
    // T b^(E_v - e_i) is the one before times b^(e_(i+1) - e_i), which fits a
    // limb: a product by a limb and a remainder by a limb a leaf.
    //
    // Error: X_v off by d units of 2^-p_v makes T off by d M_v 2^-p_v, and T
    // b^(E_v - e_i) off by d 2^(A_v - p_v) = d 2^-s_v 2^-g = D 2^-g (see the
    // top of this file); cutting T to its fraction limbs adds one unit of
    // 2^-f, f >= span log2 b + g, so at most 2^-g once multiplied. A leaf is
    // off by (D + 1) 2^-g.
    void block_leaves(std::size_t first, std::size_t count, const mpz_class& multiple, const mpz_class& x,
                      unsigned long precision)
    {
        const unsigned long multiple_bits = bits_in(multiple);
        assert(precision > multiple_bits);
        // T's fraction in whole limbs, so that its floor starts at a limb.
        const auto fraction_limbs =
            static_cast<mp_size_t>((precision - multiple_bits + GMP_NUMB_BITS - 1) / GMP_NUMB_BITS);
        const unsigned long point = static_cast<unsigned long>(fraction_limbs) * GMP_NUMB_BITS;
        mpz_class& scaled = block_product_;
        multiply(scaled, x, multiple); // T 2^p_v
        if (point >= precision) {
            mpz_mul_2exp(scaled.get_mpz_t(), scaled.get_mpz_t(), point - precision);
        } else {
            mpz_tdiv_q_2exp(scaled.get_mpz_t(), scaled.get_mpz_t(), precision - point);
        }
        // The floor grows by at most the span's bits.
        const unsigned long span_bits = static_cast<unsigned long>(
            std::ceil(static_cast<double>(exponent(first + count - 1) - exponent(first)) * log2_base_));
        const auto room = static_cast<std::size_t>(fraction_limbs) + (multiple_bits + span_bits) / GMP_NUMB_BITS + 2;
        std::vector<mp_limb_t>& limbs = leaf_limbs_;
        if (limbs.size() < room) {
            limbs.resize(room);
        }
        auto size = static_cast<mp_size_t>(mpz_size(scaled.get_mpz_t()));
        mpn_copyi(limbs.data(), mpz_limbs_read(scaled.get_mpz_t()), size);
        if (size < fraction_limbs) {
            mpn_zero(limbs.data() + size, fraction_limbs - size);
            size = fraction_limbs;
        }
        for (std::size_t i = first + count; i-- > first;) {
            if (i + 1 < first + count) {
                const mp_limb_t carry = mpn_mul_1(limbs.data(), limbs.data(), size, step_multiplier_);
                if (carry != 0) {
                    limbs[static_cast<std::size_t>(size++)] = carry;
                }
            }
            const std::uint64_t n = divisors_.divisor(i);
            const mp_limb_t residue =
                mpn_mod_1(limbs.data() + fraction_limbs, size - fraction_limbs, static_cast<mp_limb_t>(n));
            leaf(i, n, residue, limbs[static_cast<std::size_t>(fraction_limbs - 1)]);
        }
    }

    // Leaf i from n_i x_i: its floor mod n_i, and its fraction's top 64 bits.
    void leaf(std::size_t index, std::uint64_t n, std::uint64_t residue, std::uint64_t fraction_top)
    {
        static_assert(fraction_bits == GMP_NUMB_BITS);
        const long double fraction = static_cast<long double>(fraction_top) * fraction_unit;
        assert(residue < n);
        if (fraction < doubt_margin || fraction > 1.0 - doubt_margin) {
            exact_leaf(index, n);
            return;
        }
        answers_.answer(index, residue, fraction);
    }

    // floor(y / b^e) mod n and frac(y / b^e) by one exact division: of y
    // 2^fraction_bits, whose quotient holds both, the fraction's bits below.
    void exact_leaf(std::size_t index, std::uint64_t n)
    {
        mpz_class y;
        quotients_.dividend_shifted(y, fraction_bits);
        mpz_class quotient;
        divide_by_raised(quotient, y, quotients_.exponents.base, static_cast<long>(exponent(index)));
        mpz_class fraction;
        mpz_tdiv_r_2exp(fraction.get_mpz_t(), quotient.get_mpz_t(), fraction_bits);
        mpz_tdiv_q_2exp(quotient.get_mpz_t(), quotient.get_mpz_t(), fraction_bits);
        answers_.answer(index, mpz_fdiv_ui(quotient.get_mpz_t(), static_cast<unsigned long>(n)),
                        static_cast<long double>(mpz_get_ui(fraction.get_mpz_t())) * fraction_unit);
    }

    unsigned long exponent(std::size_t leaf) const
    {
        return static_cast<unsigned long>(quotients_.exponents.exponent(divisors_.divisor(leaf)));
    }

    // b^e, made once for each e a tree meets.
    const mpz_class& raised(unsigned long e)
    {
        auto [place, fresh] = raised_.try_emplace(e);
        if (fresh) {
            raise(place->second, quotients_.exponents.base, e);
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
    mpz_class block_product_;             // T 2^p_v of the block at hand, cut to its fraction limbs
    std::vector<mp_limb_t> leaf_limbs_;   // T b^(E_v - e_i) of the block's leaf at hand
    mp_limb_t step_multiplier_;           // b^(e_(i+1) - e_i)
    std::map<unsigned long, mpz_class> raised_;
};

} // namespace

void PowerQuotients::dividend_shifted(mpz_class& out, long s) const
{
    mpz_tdiv_q_2exp(out.get_mpz_t(), source.get_mpz_t(), shift);
    mpz_mul_ui(out.get_mpz_t(), out.get_mpz_t(), factor);
    if (s >= 0) {
        mpz_mul_2exp(out.get_mpz_t(), out.get_mpz_t(), static_cast<mp_bitcnt_t>(s));
    } else {
        mpz_tdiv_q_2exp(out.get_mpz_t(), out.get_mpz_t(), static_cast<mp_bitcnt_t>(-s));
    }
}

unsigned long PowerQuotients::dividend_bits() const
{
    return bits_in(source) - std::min(bits_in(source), shift) + static_cast<unsigned long>(std::bit_width(factor));
}

void answer_queries(const PowerQuotients& quotients, const DivisorTree& divisors, LeafAnswers& answers)
{
    ScaledRemainderTree(quotients, divisors, answers).answer();
}
