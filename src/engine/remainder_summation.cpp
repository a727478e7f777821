// Term by term, the series costs time quadratic in the number of digits. Its
// result can be had exactly in far less.
//
// Read every limb number as an integer scaled by B = 10^D. The powers hold
// floor(Y_m / m^(2k+1)) with Y_8 = 24B, Y_57 = 8B, Y_239 = 4B (nested floors
// of exact divisions collapse), term k is t_k = floor(A_k / n_k) with A_k the
// sum of the three powers and n_k = 2k+1, the series stops at the first k >= 1
// with t_k = 0 (call it K), and the result is R = sum over k < K of (-1)^k t_k.
//
// Writing each floor as the exact quotient less its fraction,
//   R = B pi - sum_m Y_m tail_m - F - G
// where tail_m is the part of arctan(1/m)'s series from k = K_m on (K_m: where
// the powers of m run out, at most K), F sums (-1)^k frac(Y_m / m^n_k) / n_k and
// G sums (-1)^k (A_k mod n_k) / n_k. R is an integer, so the right side to
// within a quarter, rounded, is R exactly.
//
// What remains is floor(Y_m / m^n_k) mod n_k and a few bits of its fraction,
// for every k: one remainder tree per base over the exponents, so the cost is
// that of a few big multiplications and divisions instead of K long divisions.

#include "engine/remainder_summation.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <gmp.h>
#include <gmpxx.h>
#include <map>
#include <mpfr.h>
#include <string>
#include <sys/mman.h>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/series_summation.h"

namespace {

struct ArctanSeries {
    unsigned long base;  // m
    unsigned long scale; // Y_m = scale * 10^D
};
constexpr ArctanSeries series_of_pi[] = {{8, 24}, {57, 8}, {239, 4}};

unsigned long odd_divisor(std::int64_t k) { return static_cast<unsigned long>(2 * k + 1); }

bool is_power_of_two(unsigned long m) { return (m & (m - 1)) == 0; }

unsigned long log2_exact(unsigned long m) { return static_cast<unsigned long>(__builtin_ctzl(m)); }

// Powers of one base, each built once.
class PowersOf {
public:
    explicit PowersOf(unsigned long base) : base_(base) {}

    // quotient = floor(w / m^e)
    void divide(mpz_class& quotient, const mpz_class& w, unsigned long e)
    {
        if (is_power_of_two(base_)) {
            mpz_fdiv_q_2exp(quotient.get_mpz_t(), w.get_mpz_t(), e * log2_exact(base_));
            return;
        }
        auto [place, fresh] = powers_.try_emplace(e);
        if (fresh) {
            mpz_ui_pow_ui(place->second.get_mpz_t(), base_, e);
        }
        mpz_fdiv_q(quotient.get_mpz_t(), w.get_mpz_t(), place->second.get_mpz_t());
    }

private:
    unsigned long base_;
    std::map<unsigned long, mpz_class> powers_;
};

// floor(y / m^n).
mpz_class floor_power_quotient(const mpz_class& y, unsigned long m, unsigned long n)
{
    mpz_class quotient;
    // m^n well beyond y need not be built.
    if (is_power_of_two(m) || static_cast<double>(n) * std::log2(static_cast<double>(m)) <=
                                  static_cast<double>(mpz_sizeinbase(y.get_mpz_t(), 2)) + 2) {
        PowersOf(m).divide(quotient, y, n);
    }
    return quotient;
}

// Whether m^n > y, from logarithms where they settle it.
bool power_exceeds(const mpz_class& y, unsigned long m, unsigned long n)
{
    long exponent = 0;
    const double mantissa = mpz_get_d_2exp(&exponent, y.get_mpz_t());
    const double log2_y = static_cast<double>(exponent) + std::log2(mantissa);
    const double log2_power = static_cast<double>(n) * std::log2(static_cast<double>(m));
    if (std::fabs(log2_power - log2_y) > 1e-6) {
        return log2_power > log2_y;
    }
    return floor_power_quotient(y, m, n) == 0;
}

// The first k >= 1 where a condition that holds from some k on starts to hold,
// searched from a close estimate.
std::int64_t first_k_where(const std::function<bool(std::int64_t)>& holds, std::int64_t estimate)
{
    std::int64_t k = std::max<std::int64_t>(1, estimate);
    while (!holds(k)) {
        ++k;
    }
    while (k > 1 && holds(k - 1)) {
        --k;
    }
    return k;
}

// k where m^(2k+1) first exceeds y, roughly.
std::int64_t estimate_powers_run_out(double log2_y, unsigned long m)
{
    return static_cast<std::int64_t>((log2_y / std::log2(static_cast<double>(m)) - 1) / 2);
}

// For one base m and every k below its count: floor(Y / m^n_k) mod n_k, and
// the signed sum of frac(Y / m^n_k) / n_k.
struct BaseResidues {
    std::vector<std::uint32_t> quotient_residues;
    long double signed_fractions = 0;
};

// The powers one tree answers for: floor(y / b^(scale n_k - offset)) for k
// from first to end, mod n_k, with their fractions.
struct PowerQueries {
    unsigned long base = 0;
    unsigned long scale = 1;
    unsigned long offset = 0;
    std::int64_t first = 0;
    std::int64_t end = 0;

    unsigned long exponent_of(std::int64_t k) const { return scale * odd_divisor(k) - offset; }
};

class RemainderTree {
public:
    RemainderTree(const mpz_class& y, const PowerQueries& queries)
        : y_(y), queries_(queries), base_(queries.base), fraction_from_bits_(is_power_of_two(queries.base)),
          powers_(queries.base)
    {
        // A power of two leaves the fraction in y's own bits. Otherwise one
        // factor b below the quotient gives its first base-b digit; the rest
        // is taken as half a digit, so each fraction is off by at most 1/(2b),
        // and all of them, divided by n_k, by at most 0.07 for b = 57 and 0.02
        // for b = 239: safely inside the quarter that rounding allows.
        unsigned long shift = 0;
        if (!fraction_from_bits_) {
            base_to_shift_ = base_;
            shift = 1;
        }
        for (std::int64_t k = queries.first; k < queries.end; ++k) {
            const unsigned long exponent = queries.exponent_of(k);
            exponents_.push_back(exponent > shift ? exponent - shift : 0);
        }
        build_moduli();
    }

    // Fills the residues of its queries, and adds their signed fractions.
    void answer(BaseResidues& residues)
    {
        result_ = &residues;
        if (!exponents_.empty()) {
            mpz_class w;
            powers_.divide(w, y_, exponents_[0]);
            descend(top_level_, 0, w);
        }
    }

private:
    // Leaf k's modulus is n_k b^s times b to the gap up to the next exponent,
    // so a node's modulus is its queries' moduli times b to the span of its
    // exponents. Levels whose moduli all exceed y would never reduce anything
    // and are not built.
    void build_moduli()
    {
        std::vector<mpz_class> leaves(exponents_.size());
        for (std::size_t k = 0; k < leaves.size(); ++k) {
            const unsigned long gap = k + 1 < leaves.size() ? exponents_[k + 1] - exponents_[k] : 0;
            unsigned long modulus = odd_divisor(queries_.first + static_cast<std::int64_t>(k)) * base_to_shift_;
            for (unsigned long g = 0; g < gap; ++g) {
                modulus *= base_;
            }
            leaves[k] = modulus;
        }
        top_level_ = 0;
        for (std::size_t width = leaves.size(); width > 1; width = (width + 1) / 2) {
            ++top_level_;
        }
        const std::size_t y_bits = mpz_sizeinbase(y_.get_mpz_t(), 2);
        const auto any_within_y = [&](const std::vector<mpz_class>& level) {
            return std::any_of(level.begin(), level.end(), [&](const mpz_class& modulus) {
                return mpz_sizeinbase(modulus.get_mpz_t(), 2) <= y_bits;
            });
        };
        levels_.push_back(std::move(leaves));
        while (levels_.back().size() > 1 && any_within_y(levels_.back())) {
            const std::vector<mpz_class>& below = levels_.back();
            std::vector<mpz_class> above((below.size() + 1) / 2);
            for (std::size_t j = 0; j < above.size(); ++j) {
                above[j] = 2 * j + 1 < below.size() ? below[2 * j] * below[2 * j + 1] : below[2 * j];
            }
            levels_.push_back(std::move(above));
        }
    }

    std::size_t nodes_at(std::size_t level) const { return ((exponents_.size() - 1) >> level) + 1; }

    // w is floor(y / b^e_first) modulo this node's modulus.
    void descend(std::size_t level, std::size_t index, mpz_class& w)
    {
        const std::size_t first = index << level;
        if (level == 0) {
            leaf(first, w);
            return;
        }
        const std::size_t lower = 2 * index;
        const std::size_t upper = lower + 1;
        if (upper < nodes_at(level - 1)) {
            mpz_class upper_w;
            powers_.divide(upper_w, w, exponents_[upper << (level - 1)] - exponents_[first]);
            reduce(upper_w, level - 1, upper);
            reduce(w, level - 1, lower);
            descend(level - 1, lower, w);
            descend(level - 1, upper, upper_w);
        } else {
            descend(level - 1, lower, w);
        }
    }

    void reduce(mpz_class& w, std::size_t level, std::size_t index) const
    {
        if (level >= levels_.size()) {
            return;
        }
        const mpz_class& modulus = levels_[level][index];
        if (mpz_cmp(w.get_mpz_t(), modulus.get_mpz_t()) >= 0) {
            mpz_tdiv_r(w.get_mpz_t(), w.get_mpz_t(), modulus.get_mpz_t());
        }
    }

    void leaf(std::size_t index, const mpz_class& w)
    {
        const std::int64_t k = queries_.first + static_cast<std::int64_t>(index);
        const unsigned long n = odd_divisor(k);
        const std::uint64_t below_quotient =
            exponents_[index] > 0 ? base_to_shift_ : whole_power(queries_.exponent_of(k));
        const std::uint64_t u = mpz_fdiv_ui(w.get_mpz_t(), n * base_to_shift_);
        result_->quotient_residues[static_cast<std::size_t>(k)] = static_cast<std::uint32_t>((u / below_quotient) % n);
        long double fraction = 0;
        if (fraction_from_bits_) {
            fraction = fraction_below_bit(queries_.exponent_of(k) * log2_exact(base_));
        } else {
            // With a positive exponent the digits below b^e are unknown: take
            // the middle of the interval they leave.
            fraction = (static_cast<long double>(u % below_quotient) + (exponents_[index] > 0 ? 0.5L : 0.0L)) /
                       static_cast<long double>(below_quotient);
        }
        result_->signed_fractions += (k % 2 == 0 ? fraction : -fraction) / static_cast<long double>(n);
    }

    // frac(y / 2^position), from the 64 bits of y just below that position.
    long double fraction_below_bit(unsigned long position) const
    {
        constexpr unsigned long limb_bits = sizeof(mp_limb_t) * 8;
        const auto limb_at = [&](long index) -> std::uint64_t {
            return index < 0 ? 0 : mpz_getlimbn(y_.get_mpz_t(), index);
        };
        const long high_index = static_cast<long>((position - 1) / limb_bits);
        const unsigned long high_bits = (position - 1) % limb_bits + 1; // bits of the top limb in use
        std::uint64_t bits = limb_at(high_index) << (limb_bits - high_bits);
        if (high_bits < limb_bits) {
            bits |= limb_at(high_index - 1) >> high_bits;
        }
        return std::ldexp(static_cast<long double>(bits), -static_cast<int>(limb_bits));
    }

    std::uint64_t whole_power(unsigned long n) const
    {
        std::uint64_t power = 1;
        for (unsigned long i = 0; i < n; ++i) {
            power *= base_;
        }
        return power;
    }

    const mpz_class& y_;
    PowerQueries queries_;
    unsigned long base_;
    bool fraction_from_bits_;
    std::uint64_t base_to_shift_ = 1;
    std::vector<unsigned long> exponents_;
    std::vector<std::vector<mpz_class>> levels_;
    std::size_t top_level_ = 0;
    PowersOf powers_;
    BaseResidues* result_ = nullptr;
};

std::uint64_t power_mod(std::uint64_t base, std::uint64_t exponent, std::uint64_t modulus)
{
    std::uint64_t power = 1 % modulus;
    base %= modulus;
    for (; exponent > 0; exponent /= 2) {
        if (exponent % 2 == 1) {
            power = power * base % modulus;
        }
        base = base * base % modulus;
    }
    return power;
}

// Base 8: Y_8 = 24 10^D = 3 5^D 2^(D+3), so while 3n_k <= D + 3 the quotient
// is the whole number 3 5^D 2^(D+3-3n_k), with no fraction, and its residue a
// matter of modular powers. After that it is 3 5^D shifted right, a smaller
// number for the tree.
BaseResidues residues_of_eight(std::int32_t places, std::int64_t count)
{
    BaseResidues residues;
    residues.quotient_residues.resize(static_cast<std::size_t>(count));
    const auto d = static_cast<unsigned long>(places);
    const std::int64_t whole = std::min<std::int64_t>(count, static_cast<std::int64_t>(d / 6 + 1));
    for (std::int64_t k = 0; k < whole; ++k) {
        const unsigned long n = odd_divisor(k);
        residues.quotient_residues[static_cast<std::size_t>(k)] =
            static_cast<std::uint32_t>(3 * power_mod(5, d, n) % n * power_mod(2, d + 3 - 3 * n, n) % n);
    }
    mpz_class odd_part;
    mpz_ui_pow_ui(odd_part.get_mpz_t(), 5, d);
    odd_part *= 3;
    RemainderTree(odd_part, PowerQueries{.base = 2, .scale = 3, .offset = d + 3, .first = whole, .end = count})
        .answer(residues);
    return residues;
}

BaseResidues residues_of_odd_base(const mpz_class& y, unsigned long m, std::int64_t count)
{
    BaseResidues residues;
    residues.quotient_residues.resize(static_cast<std::size_t>(count));
    RemainderTree(y, PowerQueries{.base = m, .first = 0, .end = count}).answer(residues);
    return residues;
}

// y * sum over k >= first of (-1)^k / (n_k m^n_k), to well below 1e-20.
long double scaled_tail(unsigned long scale, std::int32_t places, unsigned long m, std::int64_t first)
{
    mpfr_t term, power, sum, part;
    mpfr_inits2(160, term, power, sum, part, static_cast<mpfr_ptr>(nullptr));
    mpfr_ui_pow_ui(term, 10, static_cast<unsigned long>(places), MPFR_RNDN);
    mpfr_mul_ui(term, term, scale, MPFR_RNDN);
    mpfr_ui_pow_ui(power, m, odd_divisor(first), MPFR_RNDN);
    mpfr_div(term, term, power, MPFR_RNDN); // y / m^n_first
    mpfr_set_zero(sum, 1);
    for (std::int64_t k = first; mpfr_cmp_d(term, 1e-30) > 0; ++k) {
        mpfr_div_ui(part, term, odd_divisor(k), MPFR_RNDN);
        if (k % 2 == 0) {
            mpfr_add(sum, sum, part, MPFR_RNDN);
        } else {
            mpfr_sub(sum, sum, part, MPFR_RNDN);
        }
        mpfr_div_ui(term, term, m * m, MPFR_RNDN);
    }
    const long double tail = mpfr_get_ld(sum, MPFR_RNDN);
    mpfr_clears(term, power, sum, part, static_cast<mpfr_ptr>(nullptr));
    return tail;
}

// The result's limbs from the integer R = 10^D * value.
void write_limbs(const mpz_class& scaled_result, LimbSpan result)
{
    const std::string digits = scaled_result.get_str(10);
    const std::size_t integer_digits = digits.size() - 3 * (result.size() - 1);
    result[0] = std::stoi(digits.substr(0, integer_digits));
    for (std::size_t k = 1; k < result.size(); ++k) {
        const char* group = digits.data() + integer_digits + 3 * (k - 1);
        result[k] = (group[0] - '0') * 100 + (group[1] - '0') * 10 + (group[2] - '0');
    }
}

// Runs the tasks on both cores.
void run_side_by_side(std::vector<std::function<void()>>& tasks)
{
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        for (std::size_t i = next++; i < tasks.size(); i = next++) {
            tasks[i]();
        }
    };
    try {
        std::thread helper(worker);
        worker();
        helper.join();
    } catch (const std::system_error&) {
        worker(); // no second thread to be had: one core does it all
    }
}

} // namespace

std::optional<std::int32_t> try_sum_series_by_remainders(RunNumbers& numbers, TextSink& progress)
{
    const LimbSpan result = numbers.view(numbers.result);
    const std::int32_t places = reported_places_for(numbers.limb_count);

    mpz_class ten_to_places;
    mpz_ui_pow_ui(ten_to_places.get_mpz_t(), 10, static_cast<unsigned long>(places));
    mpz_class y[3];
    for (int i = 0; i < 3; ++i) {
        y[i] = ten_to_places * series_of_pi[i].scale;
    }

    // K: the first term that comes out zero.
    const auto term_is_zero = [&](std::int64_t k) {
        mpz_class sum;
        for (int i = 0; i < 3; ++i) {
            sum += floor_power_quotient(y[i], series_of_pi[i].base, odd_divisor(k));
        }
        return sum < odd_divisor(k);
    };
    const double log2_y8 = std::log2(24.0) + places * std::log2(10.0);
    const std::int64_t zero_term = first_k_where(term_is_zero, estimate_powers_run_out(log2_y8, 8));
    const auto terms_used = static_cast<std::int32_t>(zero_term + 1);
    for (std::int32_t reached = 100; reached <= terms_used; reached += 100) {
        print(progress, "<Reached term no. %li>\n", static_cast<long>(reached));
    }

    std::int64_t counts[3];
    for (int i = 0; i < 3; ++i) {
        const unsigned long m = series_of_pi[i].base;
        const double log2_y = std::log2(static_cast<double>(series_of_pi[i].scale)) + places * std::log2(10.0);
        const std::int64_t run_out = first_k_where(
            [&](std::int64_t k) { return power_exceeds(y[i], m, odd_divisor(k)); }, estimate_powers_run_out(log2_y, m));
        counts[i] = std::min(run_out, zero_term);
    }

    BaseResidues residues[3];
    long double tails[3] = {};
    mpfr_t scaled_pi;
    const auto precision = static_cast<mpfr_prec_t>(std::ceil(places * std::log2(10.0))) + 96;
    mpfr_init2(scaled_pi, precision);
    // Longest first, so that the two cores finish close together.
    std::vector<std::function<void()>> tasks{[&] {
        mpfr_const_pi(scaled_pi, MPFR_RNDN);
        mpfr_mul_z(scaled_pi, scaled_pi, ten_to_places.get_mpz_t(), MPFR_RNDN);
        mpfr_free_cache();
    }};
    for (const int i : {1, 2, 0}) {
        tasks.emplace_back([&, i] {
            residues[i] = i == 0 ? residues_of_eight(places, counts[i])
                                 : residues_of_odd_base(y[i], series_of_pi[i].base, counts[i]);
            tails[i] = scaled_tail(series_of_pi[i].scale, places, series_of_pi[i].base, counts[i]);
            mpfr_free_cache();
        });
    }
    run_side_by_side(tasks);

    long double correction = 0;
    for (int i = 0; i < 3; ++i) {
        correction += tails[i] + residues[i].signed_fractions;
    }
    for (std::int64_t k = 0; k < zero_term; ++k) {
        std::uint64_t sum_residue = 0;
        for (const BaseResidues& base : residues) {
            if (static_cast<std::size_t>(k) < base.quotient_residues.size()) {
                sum_residue += base.quotient_residues[static_cast<std::size_t>(k)];
            }
        }
        const long double residue = static_cast<long double>(sum_residue % odd_divisor(k)) / odd_divisor(k);
        correction += k % 2 == 0 ? residue : -residue;
    }

    mpfr_sub_d(scaled_pi, scaled_pi, static_cast<double>(correction), MPFR_RNDN);
    mpz_class scaled_result;
    mpfr_get_z(scaled_result.get_mpz_t(), scaled_pi, MPFR_RNDN);
    // R is an integer: a value far from one is not trusted.
    mpfr_sub_z(scaled_pi, scaled_pi, scaled_result.get_mpz_t(), MPFR_RNDN);
    const bool near_integer = std::fabs(mpfr_get_d(scaled_pi, MPFR_RNDN)) < 0.25;
    mpfr_clear(scaled_pi);
    if (!near_integer) {
        return std::nullopt;
    }
    write_limbs(scaled_result, result);
    return terms_used;
}

std::optional<std::int32_t> sum_series_by_remainders(RunNumbers& numbers, TextSink& progress)
{
    StringSink progress_so_far;
    if (const std::optional<std::int32_t> terms_used = try_sum_series_by_remainders(numbers, progress_so_far)) {
        progress.write(progress_so_far.text());
        return terms_used;
    }
    // Far from an integer means the arithmetic above went wrong somewhere:
    // the term-by-term sum still gives the right digits, slowly.
    return sum_series_by_terms(numbers, progress);
}

bool remainder_summation_fits(std::int32_t limb_count)
{
    // Measured under ulimit -v: about 100 bytes a decimal place, and about
    // 100 MiB whatever the size (the second thread's stack and malloc arena,
    // the constant's working space); both with room to spare.
    constexpr std::size_t fixed_bytes = std::size_t{112} << 20;
    constexpr std::size_t bytes_per_place = 128;
    const std::size_t needed =
        fixed_bytes + bytes_per_place * static_cast<std::size_t>(reported_places_for(limb_count));
    // Mapping it writable asks the kernel for both the address space and the
    // commitment; nothing is touched, and it is given straight back.
    void* trial = ::mmap(nullptr, needed, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (trial == MAP_FAILED) {
        return false;
    }
    ::munmap(trial, needed);
    return true;
}
