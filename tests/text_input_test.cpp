#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dialogue/text_input.h"
#include "test_helpers.h"

namespace {

// Every line the reader returns until the input ends, with an "^" after any
// line that met the end of input.
std::vector<std::string> lines_of(std::string bytes)
{
    MemorySource source(std::move(bytes));
    TextInput input(source);
    std::vector<std::string> lines;
    for (;;) {
        const TypedLine line = read_line(input);
        lines.emplace_back(std::string(line.text()) + (line.input_ended ? "^" : ""));
        if (line.input_ended) {
            return lines;
        }
    }
}

std::vector<std::string> words_of(std::string bytes)
{
    MemorySource source(std::move(bytes));
    TextInput input(source);
    std::vector<std::string> words;
    for (AnswerWord word = read_word(input); word.found; word = read_word(input)) {
        words.emplace_back(word.text());
    }
    return words;
}

using Texts = std::vector<std::string>;

} // namespace

TEST(TextModeInput, CrLfBecomesOneLineFeedAndLoneCrStays)
{
    EXPECT_EQ(lines_of("12\r\n34\r\n"), (Texts{"12", "34", "^"}));
    EXPECT_EQ(lines_of("1\r2\n\r\r\n"), (Texts{"1\r2", "\r", "^"}));
    EXPECT_EQ(lines_of("7\r"), (Texts{"7\r^"}));
}

TEST(TextModeInput, CtrlZEndsTheInputForGood)
{
    EXPECT_EQ(lines_of("12\n3\x1a"
                       "4\n56\n"),
              (Texts{"12", "3^"}));
    EXPECT_EQ(lines_of("\r\x1a\n"), (Texts{"\r^"}));
    EXPECT_EQ(words_of("yes\x1a no"), (Texts{"yes"}));
}

TEST(TextModeInput, EveryOtherByteIsAnOrdinaryCharacter)
{
    const std::string odd{'\0', '\x80', '\xff', '\x1b'};
    EXPECT_EQ(lines_of(odd + "\n"), (Texts{odd, "^"}));
    EXPECT_EQ(words_of(odd + "y\tn"), (Texts{odd + "y", "n"}));
}

TEST(LineReader, TakesAtMost39CharactersAndLeavesTheRest)
{
    const std::string thirty_nine(39, '9');
    EXPECT_EQ(lines_of(thirty_nine + "\n"), (Texts{thirty_nine, "", "^"}))
        << "the line feed after 39 characters is read as an empty line";
    EXPECT_EQ(lines_of(std::string(38, '8') + "\n"), (Texts{std::string(38, '8'), "^"}));
    EXPECT_EQ(lines_of(thirty_nine + "12345\n"), (Texts{thirty_nine, "12345", "^"}));
    EXPECT_EQ(lines_of(std::string(80, '1')), (Texts{std::string(39, '1'), std::string(39, '1'), "11^"}));
    EXPECT_EQ(lines_of(""), (Texts{"^"}));
}

TEST(WordReader, SkipsWhiteSpaceAndConsumesLongWordsWhole)
{
    EXPECT_EQ(words_of(" \t\v\f\r\n y\n\nokay maybe"), (Texts{"y", "okay", "maybe"}));
    const std::string fifty_one(51, 'a');
    EXPECT_EQ(words_of(fifty_one + "bcdy no"), (Texts{fifty_one, "no"}));
    EXPECT_EQ(words_of(std::string(50, 'a') + "y"), (Texts{std::string(50, 'a') + "y"}));
    EXPECT_EQ(words_of(std::string(10'000, 'z')), (Texts{std::string(51, 'z')}));
    EXPECT_EQ(words_of(" \n\t"), Texts{});
}

TEST(WordReader, OnlyALowercaseYMeansYes)
{
    for (const char* yes : {"y", "yes", "okay", "maybe", "\xffy"}) {
        MemorySource source(yes);
        TextInput input(source);
        EXPECT_TRUE(means_yes(read_word(input))) << yes;
    }
    for (const char* no : {"Y", "YES", "n", "no", "ja"}) {
        MemorySource source(no);
        TextInput input(source);
        EXPECT_FALSE(means_yes(read_word(input))) << no;
    }
    MemorySource late_y(std::string(51, 'n') + "y");
    TextInput input(late_y);
    EXPECT_FALSE(means_yes(read_word(input))) << "only the 51 kept characters decide";
}
