#pragma once

// The conversation's own texts, each written once: the run loop says them,
// and the fuzzer builds the shape of a conversation from them. (The unit
// tests spell them out again on purpose: there they are the contract.)

#include <array>

namespace dialogue_texts {

inline constexpr std::array<const char*, 5> banner{
    "\n\n",
    "All comments and suggestions will be gratefully received.\n\n",
    "This program calculates an approximation for PI by using Taylor's expansion for tan-1(x):\n\n",
    "tan-1(x) = x - x^3/3 + x^5/5 - x^7/7 + ...\n\n",
    "PI/4 = 6 tan-1(1/8) + 2 tan-1(1/57) + tan-1(1/239)\n\n",
};
inline constexpr const char* before_first_run = "For every decimal place you specify, I need 6.67 bytes of memory.\n\n";
inline constexpr const char* before_later_run = "\n";
inline constexpr const char* prompt = "Decimal Places (10 - 1000010) ? ";
inline constexpr const char* digits_only = "\a\nDigits only please.\n\n";
inline constexpr const char* tire_me_out = "\a\nThat will tire me out. Try again.\n\n";
inline constexpr const char* too_small_or_too_large = "\a\nThat was either too small or too large. Try again.\n\n";
inline constexpr const char* take_that = "\nI'll take that to be %li decimal places.\n";
inline constexpr const char* summing = "\nSumming terms...\n\n";
inline constexpr const char* not_enough_memory = "\a\nNot enough memory for %li decimal places. Try again.\n\n";
inline constexpr const char* completed = "\nProgram Completed OK...\n\n";
inline constexpr const char* decimal_places = "\n\nDecimal places = %li\n";
inline constexpr const char* terms_used = "\nTerms used = %li\n\n";
inline constexpr const char* time_taken = "Time taken: %li days %li hours %li mins %li secs\n";
inline constexpr const char* save_question = "\a\nSave PI to disk (y/n) ? ";
inline constexpr const char* quit_question = "\a\nQuit program (y/n) ? ";
inline constexpr const char* quitting = "\nQuitting program...\n";

} // namespace dialogue_texts
