#pragma once

#include <cstdint>

#include "engine/scaled_remainder_tree.h"

// The divisors n = first, first + 2, ..., first + 2 (count - 1) (odd, first
// at least 1) for a scaled remainder tree, each node's common multiple their
// least common multiple. Consecutive odd numbers share their small prime
// factors, so near the root the least common multiple has about half the bits
// of the product, and so have the numbers carried down the tree.
DivisorTree odd_divisor_tree(std::uint64_t first, std::size_t count);
