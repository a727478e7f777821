#include "dialogue/run_loop.h"

#include "dialogue/text_input.h"
#include "output/result_file.h"

namespace {

constexpr std::int32_t fewest_places = 10;
constexpr std::int32_t most_places = 1'600'000;
constexpr std::size_t most_typed_digits = 8;
constexpr const char* too_small_or_too_large = "\a\nThat was either too small or too large. Try again.\n\n";

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
        print(out, "%s", too_small_or_too_large);
        return std::nullopt;
    }
    return places;
}

// Prompts until a line passes its checks; empty at end of input.
std::optional<std::int32_t> ask_places(TextInput& input, TextSink& out)
{
    for (;;) {
        if (out.broken()) {
            return std::nullopt;
        }
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
    if (out.broken()) {
        return std::nullopt;
    }
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

struct SummedRun {
    std::int32_t reported_places = 0;
    LimbNumber result;
    SumOutcome outcome;
    ElapsedTime elapsed;
};

// Asks until a size is accepted, its memory can be had and its summation has
// run; empty at end of input.
std::optional<SummedRun> sum_a_run(TextInput& input, TextSink& out, const RunServices& services)
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
        // Checked before the result is taken, so that the check sees the
        // process as it stands between runs.
        const unsigned threads = threads_within_memory(services.engine, limb_count, services.memory_can_be_had);
        LimbNumber result = threads > 0 ? allocate_limb_number(limb_count) : LimbNumber{};
        if (result.limbs) {
            const std::int64_t start = services.wall_clock();
            const SumOutcome outcome = services.engine.sum_into(result.span(), out, threads);
            const std::int64_t end = services.wall_clock();
            if (outcome.failure == SumFailure::none || outcome.failure == SumFailure::overflow) {
                return SummedRun{reported, std::move(result), outcome, split_elapsed(end - start)};
            }
            if (outcome.failure == SumFailure::too_large) { // beyond the engine, though not the question's bounds
                print(out, "%s", too_small_or_too_large);
                continue;
            }
        }
        print(out, "\a\nNot enough memory for %li decimal places. Try again.\n\n", static_cast<long>(reported));
    }
}

} // namespace

void save_in_working_directory(TextSink& console, const RunReport& report)
{
    save_result(console, system_file_calls(), report.result, report.terms_used, report.reported_places, report.elapsed);
}

int run_dialogue(ByteSource& raw_input, TextSink& out, const RunServices& services)
{
    TextInput input(raw_input);
    write_banner(out);
    bool first_run = true;
    for (;;) {
        print(out, first_run ? "For every decimal place you specify, I need 6.67 bytes of memory.\n\n" : "\n");
        first_run = false;

        const std::optional<SummedRun> run = sum_a_run(input, out, services);
        if (!run) {
            return exit_done;
        }
        if (run->outcome.failure == SumFailure::overflow) {
            return exit_overflow;
        }
        const RunReport report{run->result.span(), run->outcome.terms_used, run->reported_places, run->elapsed};
        write_report(out, report);

        const std::optional<bool> save = ask_yes_no(input, out, "\a\nSave PI to disk (y/n) ? ");
        if (!save) {
            return exit_done;
        }
        if (*save) {
            services.save(out, report);
        }
        const std::optional<bool> quit = ask_yes_no(input, out, "\a\nQuit program (y/n) ? ");
        if (!quit) {
            return exit_done;
        }
        if (*quit) {
            print(out, "\nQuitting program...\n");
            return exit_done;
        }
    }
}
