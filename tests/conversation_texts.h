#pragma once

// The program's own texts, written out literally: the conversation is the
// contract, so tests compare against these and not against the code's strings.

#include <string>

namespace texts {

inline const std::string banner =
    "\n\nAll comments and suggestions will be gratefully received.\n\n"
    "This program calculates an approximation for PI by using Taylor's expansion for tan-1(x):\n\n"
    "tan-1(x) = x - x^3/3 + x^5/5 - x^7/7 + ...\n\n"
    "PI/4 = 6 tan-1(1/8) + 2 tan-1(1/57) + tan-1(1/239)\n\n";
inline const std::string memory_note = "For every decimal place you specify, I need 6.67 bytes of memory.\n\n";
inline const std::string opening = banner + memory_note;
inline const std::string next_run = "\n";
inline const std::string prompt = "Decimal Places (10 - 1000010) ? ";
inline const std::string digits_only = "\a\nDigits only please.\n\n";
inline const std::string tire_me_out = "\a\nThat will tire me out. Try again.\n\n";
inline const std::string out_of_range = "\a\nThat was either too small or too large. Try again.\n\n";
inline const std::string summing = "\nSumming terms...\n\n";
inline const std::string save_question = "\a\nSave PI to disk (y/n) ? ";
inline const std::string quit_question = "\a\nQuit program (y/n) ? ";
inline const std::string quitting = "\nQuitting program...\n";

inline std::string take_that(const std::string& places)
{
    return "\nI'll take that to be " + places + " decimal places.\n";
}

inline std::string report(const std::string& layout, const std::string& places, const std::string& terms,
                          const std::string& time = "0 days 0 hours 0 mins 0 secs")
{
    return "\nProgram Completed OK...\n\n" + layout + "\n\nDecimal places = " + places + "\n\nTerms used = " + terms +
           "\n\nTime taken: " + time + "\n";
}

// Complete runs, from the accepted line's answer to the save question.
inline const std::string run_for_12 = summing + report(" 3.141592653590", "12", "8") + save_question;
inline const std::string run_for_10 = take_that("9") + summing + report(" 3.141592653", "9", "6") + save_question;

} // namespace texts
