#include "dialogue/run_loop.h"

#include <ctime>

#include "dialogue/text_input.h"

namespace {

constexpr std::int32_t fewest_places = 10;
constexpr std::int32_t most_places = 1'600'000;
constexpr std::size_t most_typed_digits = 8;

void write_banner(TextSink& out)
{
    print(out, "\n\n");
    print(out, "All comments and suggestions will be gratefully received.\n\n");
    print(out, "This program calculates an approximation for PI by using Taylor's expansion for tan-1(x):\n\n");
    print(out, "tan-1(x) = x - x^3/3 + x^5/5 - x^7/7 + ...\n\n");
    print(out, "PI/4 = 6 tan-1(1/8) + 2 tan-1(1/57) + tan-1(1/239)\n\n");
}

// The asked places, or the message saying why the line is refused.
std::optional<std::int32_t> check_places(std::string_view line, TextSink& out)
{
    for (const char c : line) {
        if (c < '0' || c > '9') {
            print(out, "\a\nDigits only please.\n\n");
            return std::nullopt;
        }
    }
    if (line.size() > most_typed_digits) {
        print(out, "\a\nThat will tire me out. Try again.\n\n");
        return std::nullopt;
    }
    std::int32_t places = 0;
    for (const char c : line) {
        places = places * 10 + (c - '0');
    }
    if (places < fewest_places || places > most_places) {
        print(out, "\a\nThat was either too small or too large. Try again.\n\n");
        return std::nullopt;
    }
    return places;
}

// Prompts until a line passes its checks; empty at end of input.
std::optional<std::int32_t> ask_places(TextInput& input, TextSink& out)
{
    for (;;) {
        print(out, "Decimal Places (10 - 1000010) ? ");
        TypedLine line = read_line(input);
        while (line.length == 0) {
            if (line.input_ended) {
                return std::nullopt;
            }
            line = read_line(input);
        }
        if (const std::optional<std::int32_t> places = check_places(line.text(), out)) {
            return places;
        }
    }
}

// Yes or no to a question; empty at end of input.
std::optional<bool> ask_yes_no(TextInput& input, TextSink& out, const char* question)
{
    print(out, "%s", question);
    const AnswerWord word = read_word(input);
    if (!word.found) {
        return std::nullopt;
    }
    return means_yes(word);
}

void write_report(TextSink& out, const RunReport& report)
{
    print(out, "\nProgram Completed OK...\n\n");
    write_layout(out, report.result);
    print(out, "\n\nDecimal places = %li\n", static_cast<long>(report.reported_places));
    print(out, "\nTerms used = %li\n\n", static_cast<long>(report.terms_used));
    print(out, "Time taken: %li days %li hours %li mins %li secs\n", report.elapsed.days, report.elapsed.hours,
          report.elapsed.minutes, report.elapsed.seconds);
}

struct AcceptedRun {
    std::int32_t reported_places = 0;
    RunNumbers numbers;
};

// Asks until a size is accepted and its numbers allocated; empty at end of input.
std::optional<AcceptedRun> accept_run(TextInput& input, TextSink& out, const RunServices& services)
{
    for (;;) {
        const std::optional<std::int32_t> asked = ask_places(input, out);
        if (!asked) {
            return std::nullopt;
        }
        const std::int32_t limb_count = limb_count_for(*asked);
        const std::int32_t reported = reported_places_for(limb_count);
        if (reported != *asked) {
            print(out, "\nI'll take that to be %li decimal places.\n", static_cast<long>(reported));
        }
        print(out, "\nSumming terms...\n\n");
        if (std::optional<RunNumbers> numbers = services.allocate_numbers(limb_count)) {
            return AcceptedRun{reported, std::move(*numbers)};
        }
        print(out, "\a\nNot enough memory for %li decimal places. Try again.\n\n", static_cast<long>(reported));
    }
}

} // namespace

std::optional<RunNumbers> allocate_for_remainder_summation(std::int32_t limb_count)
{
    std::optional<RunNumbers> numbers = allocate_run_numbers(limb_count);
    if (!numbers || !remainder_summation_fits(limb_count)) {
        return std::nullopt;
    }
    return numbers;
}

std::int64_t system_wall_clock() { return static_cast<std::int64_t>(std::time(nullptr)); }

int run_dialogue(ByteSource& raw_input, TextSink& out, const RunServices& services)
{
    TextInput input(raw_input);
    write_banner(out);
    bool first_run = true;
    for (;;) {
        print(out, first_run ? "For every decimal place you specify, I need 6.67 bytes of memory.\n\n" : "\n");
        first_run = false;

        std::optional<AcceptedRun> run = accept_run(input, out, services);
        if (!run) {
            return 0;
        }
        const std::int64_t start = services.wall_clock();
        const std::optional<std::int32_t> terms_used = services.summation(run->numbers, out);
        const std::int64_t end = services.wall_clock();
        if (!terms_used) {
            return 1;
        }
        const RunReport report{run->numbers.view(run->numbers.result), *terms_used, run->reported_places,
                               split_elapsed(end - start)};
        write_report(out, report);

        const std::optional<bool> save = ask_yes_no(input, out, "\a\nSave PI to disk (y/n) ? ");
        if (!save) {
            return 0;
        }
        if (*save) {
            save_result(report, out, *services.file_calls);
        }
        const std::optional<bool> quit = ask_yes_no(input, out, "\a\nQuit program (y/n) ? ");
        if (!quit) {
            return 0;
        }
        if (*quit) {
            print(out, "\nQuitting program...\n");
            return 0;
        }
    }
}
