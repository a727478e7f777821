#include "engine/odd_divisor_tree.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <optional>
#include <span>
#include <vector>

#include "engine/big_numbers.h"

namespace {

std::size_t nodes_at(std::size_t leaf_count, std::size_t level) { return ((leaf_count - 1) >> level) + 1; }

// Odd primes below limit.
std::vector<std::uint32_t> odd_primes_below(std::uint64_t limit)
{
    std::vector<bool> composite(limit, false);
    std::vector<std::uint32_t> primes;
    for (std::uint64_t p = 3; p < limit; p += 2) {
        if (!composite[p]) {
            primes.push_back(static_cast<std::uint32_t>(p));
            for (std::uint64_t multiple = p * p; multiple < limit; multiple += 2 * p) {
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
unsigned highest_exponent_in(std::uint64_t p, OddRange range)
{
    unsigned j = 0;
    for (std::uint64_t p_to_j = p; p_to_j <= range.last; p_to_j *= p, ++j) {
        // The odd multiples of p^j lie 2 p^j apart.
        if (range.last - range.first < 2 * p_to_j) {
            const std::uint64_t cofactor = (range.first + p_to_j - 1) / p_to_j;
            if ((cofactor | 1) * p_to_j > range.last) {
                break;
            }
        }
    }
    return j;
}

std::uint64_t prime_raised(std::uint64_t p, unsigned j)
{
    std::uint64_t p_to_j = 1;
    for (; j > 0; --j) {
        p_to_j *= p;
    }
    return p_to_j;
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
    mpz_class product;
    multiply(product, product_of_words(words.first(half)), product_of_words(words.subspan(half)));
    return product;
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
// once, raised to its highest exponent; each number's cofactor as it is.
mpz_class least_common_multiple_of(const std::vector<std::uint32_t>& primes, OddRange range)
{
    std::vector<std::uint64_t> cofactors; // each number with the primes in reach taken out
    for (std::uint64_t n = range.first; n <= range.last; n += 2) {
        cofactors.push_back(n);
    }
    SmallProduct multiple;
    for (const std::uint64_t p : primes) {
        if (p > range.reach()) {
            break;
        }
        const std::uint64_t first_multiple = ((range.first + p - 1) / p | 1) * p;
        for (std::uint64_t n = first_multiple; n <= range.last; n += 2 * p) {
            std::uint64_t& cofactor = cofactors[(n - range.first) / 2];
            while (cofactor % p == 0) {
                cofactor /= p;
            }
        }
        multiple.multiply(prime_raised(p, highest_exponent_in(p, range)));
    }
    for (const std::uint64_t cofactor : cofactors) {
        multiple.multiply(cofactor);
    }
    return multiple.value();
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
        divide_exactly(first, first_dividend, value);
        divide_exactly(second, second_dividend, value);
    }
}

// The greatest common divisor of the least common multiples of two ranges side by side.
SmallProduct common_factor(const std::vector<std::uint32_t>& primes, OddRange lower, OddRange upper)
{
    SmallProduct common;
    const OddRange both{lower.first, upper.last};
    for (const std::uint64_t p : primes) {
        if (p > both.reach()) {
            break;
        }
        const unsigned j = std::min(highest_exponent_in(p, lower), highest_exponent_in(p, upper));
        if (j > 0) {
            common.multiply(prime_raised(p, j));
        }
    }
    return common;
}

} // namespace

// M_v = M_l (M_u / g) with g = gcd(M_l, M_u), from the blocks up; the splits
// are M_l / g and M_u / g.
DivisorTree odd_divisor_tree(std::uint64_t first, std::size_t count)
{
    assert(count > 0 && first % 2 == 1);
    DivisorTree tree;
    tree.first_divisor = first;
    tree.divisor_step = 2;
    tree.leaf_count = count;
    while (nodes_at(count, tree.top_level) > 1) {
        ++tree.top_level;
    }
    // Only the blocks' multiples are kept: a million small numbers stay out of memory.
    tree.bottom = std::min<std::size_t>(tree_block_level, tree.top_level);
    const auto range_of = [&](std::size_t level, std::size_t index) {
        const std::size_t first_leaf = index << level;
        const std::size_t last_leaf = std::min(first_leaf + (std::size_t{1} << level), count) - 1;
        return OddRange{tree.divisor(first_leaf), tree.divisor(last_leaf)};
    };
    const std::vector<std::uint32_t> primes = odd_primes_below(count);
    for (std::size_t index = 0; index < nodes_at(count, tree.bottom); ++index) {
        tree.block_multiples.push_back(least_common_multiple_of(primes, range_of(tree.bottom, index)));
    }
    std::vector<mpz_class> multiples = tree.block_multiples;
    tree.multiple_bits.emplace_back();
    for (const mpz_class& multiple : multiples) {
        tree.multiple_bits.back().push_back(bits_in(multiple));
    }
    for (std::size_t level = tree.bottom + 1; level <= tree.top_level; ++level) {
        std::vector<mpz_class> above(nodes_at(count, level));
        std::vector<DivisorTree::Split> level_splits(above.size());
        tree.multiple_bits.emplace_back();
        for (std::size_t j = 0; j < above.size(); ++j) {
            const std::size_t lower = 2 * j;
            const std::size_t upper = lower + 1;
            if (upper < multiples.size()) {
                SmallProduct common = common_factor(primes, range_of(level - 1, lower), range_of(level - 1, upper));
                divide_exactly(level_splits[j].to_upper, level_splits[j].to_lower, multiples[lower], multiples[upper],
                               common);
                multiply(above[j], multiples[lower], level_splits[j].to_lower);
            } else {
                above[j] = std::move(multiples[lower]);
            }
            tree.multiple_bits.back().push_back(bits_in(above[j]));
        }
        multiples = std::move(above);
        tree.splits.push_back(std::move(level_splits));
    }
    tree.root_multiple = std::move(multiples[0]);
    return tree;
}
