#include <gtest/gtest.h>

#include <string>

#include "conversation_texts.h"
#include "dialogue/run_loop.h"
#include "engine/term_by_term_engine.h"
#include "output/finished_run.h"
#include "platform/exit_status.h"
#include "test_helpers.h"

using namespace texts;

namespace {

const FrozenClock frozen_clock(1'700'000'000);
const MemoryAsSaid any_memory;

struct Conversation {
    std::string output;
    int status = -1;
};

TermByTermEngine term_by_term_engine;

Conversation converse(std::string input, const RunServices& services = RunServices{term_by_term_engine, frozen_clock,
                                                                                   any_memory, system_file_calls()})
{
    MemorySource source(std::move(input));
    StringSink sink;
    const int status = run_dialogue(source, sink, services);
    return Conversation{sink.text(), status};
}

} // namespace

TEST(Conversation, RejectsLinesInTheOrderOfItsChecks)
{
    const Conversation c = converse("abc\n12a45678901\n123456789\n5\n1600001\n+12\n1 2\n12 \n1.5\n-5\n00000010\nn n\n");
    EXPECT_EQ(c.output, opening + prompt + digits_only + prompt + digits_only + prompt + tire_me_out + prompt +
                            out_of_range + prompt + out_of_range + prompt + digits_only + prompt + digits_only +
                            prompt + digits_only + prompt + digits_only + prompt + digits_only + prompt + run_for_10 +
                            quit_question + next_run + prompt);
    EXPECT_EQ(c.status, 0);
}

TEST(Conversation, TwoRunsThenQuit)
{
    const Conversation c = converse("12\nn\nno\n13\nn y\n");
    EXPECT_EQ(c.output, opening + prompt + run_for_12 + quit_question + next_run + prompt + take_that("12") +
                            run_for_12 + quit_question + quitting);
    EXPECT_EQ(c.status, 0);
}

TEST(Conversation, LargestSizeIsTakenAsOneLess)
{
    // Answered up to the summation; the stand-in keeps the test quick.
    InstantEngine instant;
    const Conversation c = converse("1600000\n", RunServices{instant, frozen_clock, any_memory, system_file_calls()});
    const std::string zeros_layout = [] {
        std::string layout = " 3." + std::string(75, '0') + "\n";
        for (int line = 0; line < (533'333 - 25) / 26; ++line) {
            layout += std::string(78, '0') + "\n";
        }
        return layout + std::string(3 * ((533'333 - 25) % 26), '0');
    }();
    EXPECT_EQ(c.output,
              opening + prompt + take_that("1599999") + summing + report(zeros_layout, "1599999", "1") + save_question);
    EXPECT_EQ(c.status, 0);
}

TEST(Conversation, LongLinesAreTakenInPiecesOf39)
{
    const std::string thirty_nine_digits(39, '1');
    const Conversation pieces = converse(thirty_nine_digits + "12\nn y\n");
    EXPECT_EQ(pieces.output, opening + prompt + tire_me_out + prompt + run_for_12 + quit_question + quitting);

    const Conversation exact = converse(std::string(39, 'x') + "\n12\nn y\n");
    EXPECT_EQ(exact.output, opening + prompt + digits_only + prompt + run_for_12 + quit_question + quitting)
        << "the line feed left after 39 characters is absorbed without a prompt";
}

TEST(Conversation, EmptyLinesAndCrLfWriteNothing)
{
    const std::string expected = opening + prompt + run_for_12 + quit_question + quitting;
    EXPECT_EQ(converse("\n\n\n12\n\n\n   n\n\n\ty\n").output, expected);
    EXPECT_EQ(converse("\r\n12\r\nn\r\ny\r\n").output, expected);
    EXPECT_EQ(converse("12\r\n").output, opening + prompt + run_for_12);
    EXPECT_EQ(converse("1\r2\n").output, opening + prompt + digits_only + prompt) << "a lone CR is a character";
}

TEST(Conversation, AnswerWordsDecideYesByALowercaseY)
{
    EXPECT_EQ(converse("12\nYES okay\n").output, opening + prompt + run_for_12 + quit_question + quitting);
    EXPECT_EQ(converse("12\nn Y\n12\nn maybe\n").output, opening + prompt + run_for_12 + quit_question + next_run +
                                                             prompt + run_for_12 + quit_question + quitting);
    const std::string long_no = std::string(51, 'n') + "yyy";
    EXPECT_EQ(converse("12\n" + long_no + " " + long_no + "\n10\nn y").output,
              opening + prompt + run_for_12 + quit_question + next_run + prompt + run_for_10 + quit_question + quitting)
        << "a long word is consumed whole and only its first 51 characters count";
}

TEST(Conversation, EndOfInputEndsQuietlyAtEveryQuestion)
{
    EXPECT_EQ(converse("").output, opening + prompt);
    EXPECT_EQ(converse("\n\n").output, opening + prompt);
    EXPECT_EQ(converse("12").output, opening + prompt + run_for_12) << "a last line without a line feed counts";
    EXPECT_EQ(converse("12\n \n").output, opening + prompt + run_for_12);
    EXPECT_EQ(converse("12\nn").output, opening + prompt + run_for_12 + quit_question);
    EXPECT_EQ(converse("12\nn\x1ay\n").output, opening + prompt + run_for_12 + quit_question);
    EXPECT_EQ(converse("12\nn n\n").output, opening + prompt + run_for_12 + quit_question + next_run + prompt);
    EXPECT_EQ(converse("12\nn n\n").status, 0);
}

TEST(Conversation, ElapsedTimeIsSplitWithSignedDivisions)
{
    const auto fields = [](std::int64_t seconds) {
        const ElapsedTime t = split_elapsed(seconds);
        return std::to_string(t.days) + " " + std::to_string(t.hours) + " " + std::to_string(t.minutes) + " " +
               std::to_string(t.seconds);
    };
    EXPECT_EQ(fields(90'061), "1 1 1 1");
    EXPECT_EQ(fields(-61), "0 0 -1 -1");
    EXPECT_EQ(fields(86'399), "0 23 59 59");

    // A clock that moves a day, an hour, a minute and a second during the run.
    const FrozenClock moving([now = std::int64_t{1'000}]() mutable {
        const std::int64_t reading = now;
        now += 90'061;
        return reading;
    });
    const Conversation c =
        converse("12\nn y\n", RunServices{term_by_term_engine, moving, any_memory, system_file_calls()});
    EXPECT_EQ(c.output, opening + prompt + summing +
                            report(" 3.141592653590", "12", "8", "1 days 1 hours 1 mins 1 secs") + save_question +
                            quit_question + quitting);
}

TEST(Conversation, ShortageOfMemoryGoesBackToThePrompt)
{
    const Conversation c = converse(
        "1000\n12\nn y\n", RunServices{term_by_term_engine, frozen_clock,
                                       MemoryAsSaid([](std::size_t bytes, std::size_t) { return bytes < 100 * 16; }),
                                       system_file_calls()});
    EXPECT_EQ(c.output, opening + prompt + take_that("999") + summing +
                            "\a\nNot enough memory for 999 decimal places. Try again.\n\n" + prompt + run_for_12 +
                            quit_question + quitting);
    EXPECT_EQ(c.status, 0);
}

TEST(Conversation, OverflowEndsWithStatusOne)
{
    class OverflowingEngine : public InstantEngine {
        SumOutcome sum_into(RunSize, LimbSpan, TextSink& progress, unsigned) override
        {
            print(progress, "add: overflow\n");
            return SumOutcome{2, SumFailure::overflow};
        }
    } overflowing;
    const Conversation c =
        converse("12\nn y\n", RunServices{overflowing, frozen_clock, any_memory, system_file_calls()});
    EXPECT_EQ(c.output, opening + prompt + summing + "add: overflow\n");
    EXPECT_EQ(c.status, exit_overflow);
}
