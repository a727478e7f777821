#include "engine/pi_digits.h"

#include <cassert>
#include <cmath>
#include <string>
#include <string_view>

#include "engine/big_numbers.h"

namespace {

// Bits of pi's ball beyond 10^(D + guard digits): the floor of pi 2^precision
// is found exactly (its ball holds one whole number) and then scaled, which
// leaves at most one unit off in the last guard digit.
constexpr slong pi_guard_bits = 64;

// floor(pi 2^precision), from a ball narrow enough to hold one whole number
// below it; more precision where it is not (never seen).
mpz_class pi_scaled_by_power_of_two(slong precision)
{
    ArbNumber pi;
    ArbNumber floor;
    FmpzNumber whole;
    for (slong working = precision + pi_guard_bits;; working += pi_guard_bits) {
        arb_const_pi(pi.value, working);
        arb_mul_2exp_si(pi.value, pi.value, precision);
        arb_floor(floor.value, pi.value, working);
        if (arb_get_unique_fmpz(whole.value, floor.value) != 0) {
            break;
        }
    }
    mpz_class scaled;
    fmpz_get_mpz(scaled.get_mpz_t(), whole.value);
    return scaled;
}

// 0.d1 d2 ... d24 from the guard digits, without the C library's locale:
// two whole numbers of twelve digits, each exact in a long double.
long double fraction_of(std::string_view digits)
{
    static_assert(pi_guard_digits == 24);
    const auto twelve = [](std::string_view part) {
        long double value = 0;
        for (const char digit : part) {
            value = value * 10 + (digit - '0');
        }
        return value;
    };
    return twelve(digits.substr(0, 12)) * 1e-12L + twelve(digits.substr(12, 12)) * 1e-24L;
}

} // namespace

long double write_pi_digits(LimbSpan result, std::int32_t d, const mpz_class& ten_to_places)
{
    const auto places = static_cast<unsigned long>(d);
    assert(result.size() == places / 3 + 1);
    const unsigned long digits_after_point = places + pi_guard_digits;
    const auto precision =
        static_cast<slong>(std::ceil(static_cast<double>(digits_after_point) * std::log2(10.0))) + pi_guard_bits;
    mpz_class pi_scaled = pi_scaled_by_power_of_two(precision);
    release_library_caches(); // Arb keeps pi at the precision last asked for
    mpz_class ten_to_guard;
    mpz_ui_pow_ui(ten_to_guard.get_mpz_t(), 10, pi_guard_digits);
    mpz_class scaled;
    multiply(scaled, pi_scaled, ten_to_places * ten_to_guard);
    release(pi_scaled);
    mpz_fdiv_q_2exp(scaled.get_mpz_t(), scaled.get_mpz_t(), static_cast<mp_bitcnt_t>(precision));

    const std::string digits = decimal_digits(scaled);
    release(scaled);
    assert(digits.size() == places + 1 + pi_guard_digits);
    result[0] = digits[0] - '0';
    for (std::size_t k = 1; k < result.size(); ++k) {
        const char* group = digits.data() + 1 + 3 * (k - 1);
        result[k] = (group[0] - '0') * 100 + (group[1] - '0') * 10 + (group[2] - '0');
    }
    return fraction_of(std::string_view(digits).substr(places + 1));
}

void add_whole_number(LimbSpan number, long long addend)
{
    long long carry = addend;
    for (std::size_t k = number.size(); k-- > 1 && carry != 0;) {
        long long value = number[k] + carry;
        carry = value >= 0 ? value / 1000 : -((999 - value) / 1000);
        number[k] = static_cast<limb>(value - carry * 1000);
    }
    number[0] = static_cast<limb>(number[0] + carry);
    assert(number[0] >= 0 && number[0] <= 9 && "a correction never reaches the limb before the point");
}
