#include "dialogue/run_loop.h"

#include <optional>
#include <variant>

#include "dialogue/text_input.h"
#include "output/program_texts.h"
#include "output/result_file.h"
#include "platform/exit_status.h"

namespace {

constexpr std::size_t most_typed_digits = 8;

void write_banner(TextSink& out)
{
    for (const char* part : program_texts::banner) {
        print(out, "%s", part);
    }
}

// The asked places, or the message saying why the line is refused.
std::optional<std::int32_t> check_places(std::string_view line, TextSink& out)
{
    for (const char c : line) {
        if (c < '0' || c > '9') {
            print(out, "%s", program_texts::digits_only);
            return std::nullopt;
        }
    }
    if (line.size() > most_typed_digits) {
        print(out, "%s", program_texts::tire_me_out);
        return std::nullopt;
    }
    std::int32_t places = 0;
    for (const char c : line) {
        places = places * 10 + (c - '0');
    }
    if (places < fewest_places || places > most_places) {
        print(out, "%s", program_texts::too_small_or_too_large);
        return std::nullopt;
    }
    return places;
}

// Prompts until a line passes its checks; empty at end of input.
std::optional<std::int32_t> ask_places(TextInput& input, TextSink& out)
{
    for (;;) {
        print(out, "%s", program_texts::prompt);
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

void write_report(TextSink& out, const FinishedRun& run)
{
    print(out, "%s", program_texts::completed);
    write_layout(out, run.result.span());
    print(out, program_texts::report_decimal_places_format, static_cast<long>(run.reported_places));
    print(out, program_texts::report_terms_used_format, static_cast<long>(run.terms_used));
    print(out, program_texts::report_time_taken_format, run.elapsed.days, run.elapsed.hours, run.elapsed.minutes,
          run.elapsed.seconds);
}

// Asks until a size is accepted, its memory can be had and its summation has
// run: the finished run, or the status the conversation ends with (at the end
// of input, or after an overflow).
std::variant<FinishedRun, int> sum_a_run(TextInput& input, TextSink& out, const RunServices& services)
{
    for (;;) {
        const std::optional<std::int32_t> asked = ask_places(input, out);
        if (!asked) {
            return exit_done;
        }
        const RunSize size = run_size_for(*asked);
        if (size.places != *asked) {
            print(out, program_texts::take_that_format, static_cast<long>(size.places));
        }
        print(out, "%s", program_texts::summing);
        // Checked before the result is taken, so that the check sees the
        // process as it stands between runs.
        const unsigned threads = threads_within_memory(services.engine, size, services.memory);
        FinishedRun run{threads > 0 ? allocate_limb_number(size.limbs) : LimbNumber{}, 0, size.places, {}};
        if (run.result.limbs) {
            const std::int64_t start = services.clock.seconds();
            const SumOutcome outcome = services.engine.sum_into(size, run.result.span(), out, threads);
            const std::int64_t end = services.clock.seconds();
            if (outcome.failure == SumFailure::overflow) {
                return exit_overflow;
            }
            if (outcome.failure == SumFailure::none) {
                run.terms_used = outcome.terms_used;
                run.elapsed = split_elapsed(end - start);
                return run;
            }
        }
        print(out, program_texts::not_enough_memory_format, static_cast<long>(size.places));
    }
}

} // namespace

unsigned threads_within_memory(const PiEngine& engine, RunSize size, const MemoryCheck& memory)
{
    const MemoryNeed need = engine.memory_needed(size);
    const std::size_t result_bytes = sizeof(limb) * static_cast<std::size_t>(size.limbs);
    unsigned threads = engine.most_threads();
    while (threads > 0 && !memory.can_be_had(result_bytes + need.address_space.with_threads(threads),
                                             result_bytes + need.resident.with_threads(threads))) {
        --threads;
    }
    return threads;
}

int run_dialogue(ByteSource& raw_input, TextSink& out, const RunServices& services)
{
    TextInput input(raw_input);
    write_banner(out);
    bool first_run = true;
    for (;;) {
        print(out, "%s", first_run ? program_texts::before_first_run : program_texts::before_later_run);
        first_run = false;

        std::variant<FinishedRun, int> summed = sum_a_run(input, out, services);
        if (const int* status = std::get_if<int>(&summed)) {
            return *status;
        }
        const FinishedRun& run = std::get<FinishedRun>(summed);
        write_report(out, run);

        const std::optional<bool> save = ask_yes_no(input, out, program_texts::save_question);
        if (!save) {
            return exit_done;
        }
        if (*save) {
            save_result(out, services.files, run);
        }
        const std::optional<bool> quit = ask_yes_no(input, out, program_texts::quit_question);
        if (!quit) {
            return exit_done;
        }
        if (*quit) {
            print(out, "%s", program_texts::quitting);
            return exit_done;
        }
    }
}
