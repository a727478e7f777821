#include "engine/big_numbers.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"

#if __FLINT_RELEASE >= 30000
#include <flint/mpn_extras.h>
#define STORMER_PRODUCTS_THROUGH_FLINT 1
#else
#define STORMER_PRODUCTS_THROUGH_FLINT 0
#endif

namespace {

#if STORMER_PRODUCTS_THROUGH_FLINT

static_assert(flint_product_limbs > 64, "far above the sizes FLINT's inline product dispatches by table");

// FLINT's product, kept from being inlined where the sizes are known to be
// large (and GCC from carrying what it knows of them in): there GCC warns of
// the small-size table it would then never read.
#if __has_cpp_attribute(gnu::noipa)
#define STORMER_SIZES_UNKNOWN [[gnu::noipa]]
#else
#define STORMER_SIZES_UNKNOWN [[gnu::noinline]]
#endif
STORMER_SIZES_UNKNOWN void flint_square(mp_limb_t* square, const mp_limb_t* a, mp_size_t limbs)
{
    flint_mpn_sqr(square, a, limbs);
}

STORMER_SIZES_UNKNOWN void flint_product(mp_limb_t* product, const mp_limb_t* longer, mp_size_t long_limbs,
                                         const mp_limb_t* shorter, mp_size_t short_limbs)
{
    flint_mpn_mul(product, longer, long_limbs, shorter, short_limbs);
}

// An mpz as FLINT's integer, without a copy; the mpz must not change meanwhile.
class FlintView {
public:
    explicit FlintView(const mpz_class& number) { fmpz_init_set_readonly(value_, number.get_mpz_t()); }
    ~FlintView() { fmpz_clear_readonly(value_); }
    FlintView(const FlintView&) = delete;
    FlintView& operator=(const FlintView&) = delete;
    const fmpz* get() const { return value_; }

private:
    fmpz_t value_;
};

class FlintInteger {
public:
    FlintInteger() { fmpz_init(value_); }
    ~FlintInteger() { fmpz_clear(value_); }
    FlintInteger(const FlintInteger&) = delete;
    FlintInteger& operator=(const FlintInteger&) = delete;
    fmpz* get() { return value_; }

private:
    fmpz_t value_;
};

using FlintDivision = void (*)(fmpz_t, const fmpz_t, const fmpz_t);

void divide_through_flint(mpz_class& quotient, const mpz_class& a, const mpz_class& b, FlintDivision divide)
{
    const FlintView dividend(a);
    const FlintView divisor(b);
    FlintInteger result;
    divide(result.get(), dividend.get(), divisor.get());
    fmpz_get_mpz(quotient.get_mpz_t(), result.get());
}

bool large_division(const mpz_class& a, const mpz_class& b)
{
    const auto divisor_limbs = static_cast<mp_size_t>(mpz_size(b.get_mpz_t()));
    const auto dividend_limbs = static_cast<mp_size_t>(mpz_size(a.get_mpz_t()));
    return divisor_limbs >= flint_division_limbs && dividend_limbs - divisor_limbs >= flint_division_limbs;
}

#endif

} // namespace

void multiply(mpz_class& product, const mpz_class& a, const mpz_class& b)
{
    assert(&product != &a && &product != &b);
#if STORMER_PRODUCTS_THROUGH_FLINT
    const mpz_class& longer = mpz_size(a.get_mpz_t()) >= mpz_size(b.get_mpz_t()) ? a : b;
    const mpz_class& shorter = &longer == &a ? b : a;
    const auto long_limbs = static_cast<mp_size_t>(mpz_size(longer.get_mpz_t()));
    const auto short_limbs = static_cast<mp_size_t>(mpz_size(shorter.get_mpz_t()));
    if (short_limbs >= flint_product_limbs) {
        mp_limb_t* limbs = mpz_limbs_write(product.get_mpz_t(), long_limbs + short_limbs);
        flint_product(limbs, mpz_limbs_read(longer.get_mpz_t()), long_limbs, mpz_limbs_read(shorter.get_mpz_t()),
                      short_limbs);
        const bool negative = (mpz_sgn(a.get_mpz_t()) < 0) != (mpz_sgn(b.get_mpz_t()) < 0);
        mpz_limbs_finish(product.get_mpz_t(), negative ? -(long_limbs + short_limbs) : long_limbs + short_limbs);
        return;
    }
#endif
    mpz_mul(product.get_mpz_t(), a.get_mpz_t(), b.get_mpz_t());
}

void square(mpz_class& square, const mpz_class& a)
{
    assert(&square != &a);
#if STORMER_PRODUCTS_THROUGH_FLINT
    const auto limbs = static_cast<mp_size_t>(mpz_size(a.get_mpz_t()));
    if (limbs >= flint_product_limbs) {
        flint_square(mpz_limbs_write(square.get_mpz_t(), 2 * limbs), mpz_limbs_read(a.get_mpz_t()), limbs);
        mpz_limbs_finish(square.get_mpz_t(), 2 * limbs);
        return;
    }
#endif
    mpz_mul(square.get_mpz_t(), a.get_mpz_t(), a.get_mpz_t());
}

namespace {

// base^exponent from the top bit of the exponent down, each step a square
// (and a product by the base where the exponent has a 1): after each, `cut`
// may drop low bits of what is raised so far, its second argument the squares still to come.
template <typename Cut> mpz_class raise_by_squares(unsigned long base, unsigned long exponent, Cut cut)
{
    mpz_class raised = 1;
    mpz_class squared;
    for (int bit = std::bit_width(exponent) - 1; bit >= 0; --bit) {
        square(squared, raised);
        raised.swap(squared);
        if ((exponent >> bit & 1) != 0) {
            mpz_mul_ui(raised.get_mpz_t(), raised.get_mpz_t(), base);
        }
        cut(raised, bit);
    }
    return raised;
}

} // namespace

void raise(mpz_class& raised, unsigned long base, unsigned long exponent)
{
    raised = raise_by_squares(base, exponent, [](mpz_class&, int) {});
}

// A cut leaves at least bits + 64 bits, so it takes off less than 2^-(bits +
// 63) of the value; a square doubles the share already missing, and a product
// by the base keeps it. After s steps the share missing is below 2^s 2^-(bits
// + 63): with exponents below 2^32 (s <= 32), below 2^-bits.
RaisedTop raise_to_bits(unsigned long base, unsigned long exponent, unsigned long bits)
{
    assert(exponent < std::uint64_t{1} << 32);
    RaisedTop raised;
    const unsigned long kept = bits + 64;
    raised.top = raise_by_squares(base, exponent, [&](mpz_class& partial, int bits_left) {
        const unsigned long size = bits_in(partial);
        if (size > kept) {
            mpz_tdiv_q_2exp(partial.get_mpz_t(), partial.get_mpz_t(), size - kept);
            raised.dropped += (size - kept) << bits_left; // each later square doubles it
        }
    });
    return raised;
}

void divide_by_raised(mpz_class& quotient, const mpz_class& y, unsigned long b, long e)
{
    assert(sgn(y) >= 0 && (e >= 0 || b == 2));
    if (b == 2) {
        if (e < 0) {
            mpz_mul_2exp(quotient.get_mpz_t(), y.get_mpz_t(), static_cast<mp_bitcnt_t>(-e));
        } else {
            mpz_tdiv_q_2exp(quotient.get_mpz_t(), y.get_mpz_t(), static_cast<mp_bitcnt_t>(e));
        }
        return;
    }
    // b^e beyond y by more than a few bits gives 0 without being made.
    if (static_cast<double>(e) * std::log2(static_cast<double>(b)) > static_cast<double>(bits_in(y)) + 2) {
        quotient = 0;
        return;
    }
    mpz_class raised;
    raise(raised, b, static_cast<unsigned long>(e));
    mpz_fdiv_q(quotient.get_mpz_t(), y.get_mpz_t(), raised.get_mpz_t());
}

void divide_floor(mpz_class& quotient, const mpz_class& a, const mpz_class& b)
{
    assert(sgn(a) >= 0 && sgn(b) > 0);
#if STORMER_PRODUCTS_THROUGH_FLINT
    if (large_division(a, b)) {
        divide_through_flint(quotient, a, b, fmpz_tdiv_q);
        return;
    }
#endif
    mpz_tdiv_q(quotient.get_mpz_t(), a.get_mpz_t(), b.get_mpz_t()); // both positive: the floor
}

void divide_exactly(mpz_class& quotient, const mpz_class& a, const mpz_class& b)
{
#if STORMER_PRODUCTS_THROUGH_FLINT
    if (large_division(a, b)) {
        divide_through_flint(quotient, a, b, fmpz_divexact);
        return;
    }
#endif
    mpz_divexact(quotient.get_mpz_t(), a.get_mpz_t(), b.get_mpz_t());
}

std::string decimal_digits(const mpz_class& a)
{
    assert(sgn(a) >= 0);
    // Straight into the string: room for the digits (sizeinbase may say one
    // too many), a sign and the terminator.
    std::string digits(mpz_sizeinbase(a.get_mpz_t(), 10) + 2, '\0');
#if STORMER_PRODUCTS_THROUGH_FLINT
    const FlintView number(a);
    fmpz_get_str(digits.data(), 10, number.get());
#else
    mpz_get_str(digits.data(), 10, a.get_mpz_t());
#endif
    digits.resize(std::char_traits<char>::length(digits.c_str()));
    return digits;
}

std::string library_versions() { return std::string("FLINT ") + flint_version + ", GMP " + gmp_version; }

void release_library_caches() { flint_cleanup(); }

namespace {

std::atomic<AllocateCall> allocate_call{std::malloc};
std::atomic<ReallocateCall> reallocate_call{std::realloc};

void* allocate(std::size_t bytes)
{
    void* block = allocate_call.load()(bytes);
    if (block == nullptr && bytes > 0) {
        end_for_want_of_memory();
    }
    return block;
}

void* reallocate(void* block, std::size_t bytes)
{
    void* moved = reallocate_call.load()(block, bytes);
    if (moved == nullptr && bytes > 0) {
        end_for_want_of_memory();
    }
    return moved;
}

void* allocate_zeroed(std::size_t count, std::size_t size)
{
    if (size != 0 && count > SIZE_MAX / size) {
        end_for_want_of_memory();
    }
    void* block = allocate(count * size);
    if (block != nullptr) {
        std::memset(block, 0, count * size);
    }
    return block;
}

// GMP's calls also give the old size and the size being freed.
void* reallocate_for_gmp(void* block, std::size_t, std::size_t bytes) { return reallocate(block, bytes); }
void free_for_gmp(void* block, std::size_t) { std::free(block); }

// FLINT 2 takes only a function whose type says it does not return.
__attribute__((noreturn)) void end_for_flint() { end_for_want_of_memory(); }

} // namespace

void route_library_memory(AllocateCall allocate_with, ReallocateCall reallocate_with)
{
    allocate_call = allocate_with;
    reallocate_call = reallocate_with;
    mp_set_memory_functions(allocate, reallocate_for_gmp, free_for_gmp);
    __flint_set_memory_functions(allocate, allocate_zeroed, reallocate, std::free);
    // FLINT aborts for little else than memory in the calls made here; its
    // own report allocates, and fails again.
    flint_set_abort(end_for_flint);
}
