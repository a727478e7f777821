#pragma once

// Everything the program says to its user, each text written once: the
// conversation, the console's report of a run, how a save went, and the
// result file's own lines. The run loop and the result file say them, and
// the fuzzer builds the shape of a conversation from them. (The engine's
// progress lines are the engine's; the unit tests spell these texts out again
// on purpose: there they are the contract.) A name ending in _format is a
// printf format.

#include <array>

namespace program_texts {

// The conversation.
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
inline constexpr const char* take_that_format = "\nI'll take that to be %li decimal places.\n";
inline constexpr const char* summing = "\nSumming terms...\n\n";
inline constexpr const char* not_enough_memory_format = "\a\nNot enough memory for %li decimal places. Try again.\n\n";
inline constexpr const char* save_question = "\a\nSave PI to disk (y/n) ? ";
inline constexpr const char* quit_question = "\a\nQuit program (y/n) ? ";
inline constexpr const char* quitting = "\nQuitting program...\n";

// The console's report of a run: these lines around the layout.
inline constexpr const char* completed = "\nProgram Completed OK...\n\n";
inline constexpr const char* report_decimal_places_format = "\n\nDecimal places = %li\n";
inline constexpr const char* report_terms_used_format = "\nTerms used = %li\n\n";
inline constexpr const char* report_time_taken_format = "Time taken: %li days %li hours %li mins %li secs\n";

// How a save went: the file's name, and why it failed (one of the reasons
// below, then the system's words for its error).
inline constexpr const char* saved_format = "\nSaved %s to disk...\n";
inline constexpr const char* not_saved_format = "\nCould not save %s to disk (%s).\n";
inline constexpr const char* cannot_create_a_file_here = "cannot create a file here";
inline constexpr const char* writing_failed = "writing failed";
inline constexpr const char* closing_failed = "closing failed";
inline constexpr const char* cannot_replace_it = "cannot replace it";
// A file an earlier save left behind, and the system's words for why it stays.
inline constexpr const char* not_removed_format = "\nCould not remove %s, left behind by an earlier save (%s).\n";

// The result file: these lines around the layout (each line feed is written
// CR LF there).
inline constexpr const char* file_heading = "The value of PI is:\n";
inline constexpr const char* file_terms_used_format = "\nTerms used = %li\n";
inline constexpr const char* file_decimal_places_format = "Decimal places = %li\n";
inline constexpr const char* file_time_taken_format = "Time taken %li days %li hours %li mins %li secs\n";
inline constexpr const char* file_ending = "\n";

} // namespace program_texts
