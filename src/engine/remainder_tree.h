#pragma once

#include <atomic>
#include <cstdint>
#include <gmpxx.h>
#include <memory>
#include <optional>
#include <span>

// For one arctangent series and a run of its terms k = first..end-1, the
// quotients floor(y / b^e_k) mod n_k, with n_k = 2k+1 and e_k = scale n_k -
// offset, and the signed sum of their fractions divided by n_k; see
// remainder_summation.cpp for what they are for.
struct PowerQueries {
    unsigned long base = 0; // b
    unsigned long scale = 1;
    unsigned long offset = 0;
    std::int64_t first = 0;
    std::int64_t end = 0;

    unsigned long exponent_of(std::int64_t k) const;
};

// The divisors n_k of the terms k = first..end-1 made ready for the queries
// of every series over those terms (the costly part of it, their least
// common multiples, depends on the terms alone).
struct DivisorTree;
std::shared_ptr<const DivisorTree> divisor_tree(std::int64_t first, std::int64_t end);

// Writes residues[k - queries.first] for every k of the queries and returns
// the sum over them of (-1)^k frac(y / b^e_k) / n_k, to far better than 1e-12.
// Empty when some quotient lands too close to a whole number to tell its
// floor (about one chance in 10^15 a query). The divisors are those of the
// queries' terms. Adds one to done for every query answered and as much again
// for the divisors, at the start.
std::optional<long double> answer_power_queries(const mpz_class& y, const PowerQueries& queries,
                                                const DivisorTree& divisors, std::span<std::uint32_t> residues,
                                                std::atomic<std::uint64_t>& done);

std::uint64_t odd_divisor(std::int64_t k);
