#include "output/result_file.h"

#include <cstring>
#include <optional>

#include "output/program_texts.h"
#include "platform/signals.h"

namespace {

// Stores every line feed as CR LF, as a text file is written here.
class CrLfSink : public TextSink {
public:
    explicit CrLfSink(std::string& bytes) : bytes_(bytes) {}
    void write(std::string_view text) override
    {
        for (const char c : text) {
            if (c == '\n') {
                bytes_.push_back('\r');
            }
            bytes_.push_back(c);
        }
    }

private:
    std::string& bytes_;
};

const char* words_for(ReplaceStep step)
{
    switch (step) {
    case ReplaceStep::creating:
        return program_texts::cannot_create_a_file_here;
    case ReplaceStep::writing:
        return program_texts::writing_failed;
    case ReplaceStep::closing:
        return program_texts::closing_failed;
    case ReplaceStep::replacing:
        break;
    }
    return program_texts::cannot_replace_it;
}

std::string reason_for(const ReplaceFailure& failure)
{
    return std::string(words_for(failure.step)) + ": " + std::strerror(failure.error);
}

} // namespace

std::string result_file_name(std::int32_t reported_places) { return std::to_string(reported_places) + " dps pi.text"; }

ResultFileText result_file_text(const FinishedRun& run)
{
    ResultFileText text;
    CrLfSink file(text.bytes);
    print(file, "%s", program_texts::file_heading);
    write_layout(file, run.result.span());
    print(file, program_texts::file_terms_used_format, static_cast<long>(run.terms_used));
    print(file, program_texts::file_decimal_places_format, static_cast<long>(run.reported_places));
    text.time_line = text.bytes.size();
    print(file, program_texts::file_time_taken_format, run.elapsed.days, run.elapsed.hours, run.elapsed.minutes,
          run.elapsed.seconds);
    print(file, "%s", program_texts::file_ending);
    return text;
}

void save_result(TextSink& console, const FileCalls& calls, const FinishedRun& run)
{
    const std::string name = result_file_name(run.reported_places);
    // Ctrl-C and friends must not end the process half-way through, nor
    // before the console has been told how it went.
    const SignalsHeld held(ending_signals);
    for (const TemporaryKept& kept : remove_abandoned_temporaries(name, calls)) {
        print(console, program_texts::not_removed_format, kept.name.c_str(), std::strerror(kept.error));
    }
    const ResultFileText text = result_file_text(run);
    if (const std::optional<ReplaceFailure> failure = replace_file(name, text.bytes, text.time_line, calls)) {
        print(console, program_texts::not_saved_format, name.c_str(), reason_for(*failure).c_str());
    } else {
        print(console, program_texts::saved_format, name.c_str());
    }
}
