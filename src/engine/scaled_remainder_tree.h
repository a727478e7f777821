#pragma once

// A scaled remainder tree (after Bernstein, "Scaled remainder trees", 2004):
// for leaves i with divisors n_i and exponents e_i, the whole number
// floor(y / b^e_i) mod n_i and the fraction frac(y / b^e_i), for all leaves
// at the cost of a few big multiplications instead of a division each.
// Generic in its divisors (any tree of common multiples, see DivisorTree),
// blind to signs and to what the answers are summed into: pure arithmetic.

#include <cstdint>
#include <gmpxx.h>
#include <limits>
#include <vector>

// The divisors of a tree's leaves made ready for it: the multiple M_v of
// every node from the blocks of leaves up to the root, a common multiple of
// its leaves' divisors that each child's divides; the splits are the
// quotients that carry a fraction down.
struct DivisorTree {
    struct Split {
        mpz_class to_upper; // M_v / M_u
        mpz_class to_lower; // M_v / M_l
    };

    // The leaves' divisors: n_i = first_divisor + divisor_step i.
    std::uint64_t first_divisor = 1;
    std::uint64_t divisor_step = 2;
    std::size_t leaf_count = 0;
    std::size_t top_level = 0; // the root's; level j has nodes of 2^j leaves
    std::size_t bottom = 0;    // the blocks' level: their leaves come straight from them
    std::vector<mpz_class> block_multiples;
    std::vector<std::vector<Split>> splits;                // for each level above the blocks
    std::vector<std::vector<unsigned long>> multiple_bits; // bits of each node's M_v, from the blocks up
    mpz_class root_multiple;

    std::uint64_t divisor(std::size_t leaf) const { return first_divisor + divisor_step * leaf; }
};

// Divisors must stay below this: a leaf's residue is taken by a remainder
// by one limb, and the budget counts on small divisors.
constexpr std::uint64_t tree_divisor_limit = std::uint64_t{1} << 21;
// A tree has at most 2^most_tree_levels leaves.
constexpr unsigned most_tree_levels = 20;
// Leaves come 2^tree_block_level at a time straight from their block's node
// (odd_divisor_tree.cpp makes the blocks, the tree takes their leaves).
constexpr unsigned tree_block_level = 5;
// Bits each node carries beyond what its leaves need.
constexpr unsigned tree_guard_bits = 64;
// A leaf's error, in units of 2^-tree_guard_bits, stays below
// 2^tree_error_bits (the .cpp proves it for trees of at most
// 2^most_tree_levels leaves). So a fraction is good to within
constexpr unsigned tree_error_bits = 5;
constexpr double tree_fraction_error =
    1.0 / static_cast<double>(std::uint64_t{1} << (tree_guard_bits - tree_error_bits));

// Which b^e leaf i divides by: e_i = exponent_scale n_i - exponent_offset
// (so rising with the leaves); at most 0 where the quotient is a whole
// number.
struct ExponentRule {
    unsigned long base = 2; // b: 2, or odd
    unsigned long exponent_scale = 1;
    unsigned long exponent_offset = 0;

    long exponent(std::uint64_t n) const
    {
        return static_cast<long>(exponent_scale * n) - static_cast<long>(exponent_offset);
    }
};

// What the tree is asked: for every leaf i, floor(y / b^e_i), with the
// dividend y = factor floor(source / 2^shift) > 0 read from a number the
// caller keeps: a run's dividends are all made from its one B, and none is
// copied out for a tree.
struct PowerQuotients {
    const mpz_class& source;
    unsigned long factor = 1;
    unsigned long shift = 0;
    ExponentRule exponents;

    // floor(y 2^s), for s of either sign.
    void dividend_shifted(mpz_class& out, long s) const;
    // At least y's bits, and at most one more.
    unsigned long dividend_bits() const;
};

// A leaf's fraction is handed on in this many bits, cut off below: held
// exactly in a long double (its mantissa has 64 bits on x86-64; the error
// budget counts on it).
constexpr int fraction_bits = 64;
static_assert(std::numeric_limits<long double>::digits >= fraction_bits);

// Where each leaf's answer goes: floor(y / b^e_i) mod n_i, and
// frac(y / b^e_i) to within tree_fraction_error, in fraction_bits bits.
class LeafAnswers {
public:
    virtual ~LeafAnswers() = default;
    virtual void answer(std::size_t leaf, std::uint64_t residue, long double fraction) = 0;
};

// Answers every leaf once, in no particular order.
void answer_queries(const PowerQuotients& quotients, const DivisorTree& divisors, LeafAnswers& answers);
