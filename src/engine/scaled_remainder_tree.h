#pragma once

// A scaled remainder tree (after Bernstein, "Scaled remainder trees", 2004):
// for leaves i with divisors n_i and exponents e_i, the whole number
// floor(y / b^e_i) mod n_i and the fraction frac(y / b^e_i), for all leaves
// at the cost of a few big multiplications instead of a division each.
// Generic in its divisors (any tree of common multiples, see DivisorTree)
// and blind to signs: what the answers are summed into is its caller's.

#include <cstdint>
#include <gmpxx.h>
#include <vector>

#include "engine/progress.h"

// The divisors of a run of leaves made ready for the tree: their common
// multiples from the blocks of leaves up to the root. Every node has a
// common multiple M_v of its leaves' divisors, and every child's divides its
// parent's; the splits are the quotients that carry a fraction down.
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
    std::vector<std::vector<Split>> splits;               // for each level above the blocks
    std::vector<std::vector<unsigned long>> modulus_bits; // bits of each node's M, from the blocks up
    mpz_class root_multiple;

    std::uint64_t divisor(std::size_t leaf) const { return first_divisor + divisor_step * leaf; }
};

// Divisors must stay below this: a leaf's n x_i is worked out in 128 bits.
constexpr std::uint64_t tree_divisor_limit = std::uint64_t{1} << 21;

// What the tree is asked: x_i = frac(y / (n_i b^e_i)) for every leaf, with
// e_i = exponent_scale n_i - exponent_offset (so rising with the leaves).
struct RemainderQueries {
    const mpz_class& dividend; // y > 0
    unsigned long base;        // b: 2, or odd
    unsigned long exponent_scale = 1;
    unsigned long exponent_offset = 0;
};

// Where each leaf's answer goes: floor(y / b^e_i) mod n_i, and
// frac(y / b^e_i) to about 2^-55.
class LeafAnswers {
public:
    virtual ~LeafAnswers() = default;
    virtual void answer(std::size_t leaf, std::uint64_t residue, double fraction) = 0;
};

// Answers every leaf once, in no particular order. Adds one unit to `work`
// for every leaf answered.
void answer_queries(const RemainderQueries& queries, const DivisorTree& divisors, LeafAnswers& answers,
                    WorkMeter::Account& work);
