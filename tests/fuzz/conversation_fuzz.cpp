// Any bytes at all as the user's input: the conversation must end, with
// status 0, and say nothing but its own texts in an order it can say them.

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <unistd.h>

#include "dialogue/run_loop.h"
#include "output/result_file.h"

namespace {

// Returns at once: a result of 3 and one term.
class InstantEngine : public PiEngine {
public:
    MemoryNeed memory_needed(std::int32_t) const override { return {}; }
    std::int32_t largest_limb_count() const override { return limb_count_for(1'600'000); }
    SumOutcome sum_into(LimbSpan result, TextSink&, unsigned) override
    {
        result[0] = 3;
        return SumOutcome{1, SumFailure::none};
    }
};

// Only the smallest sizes run, so that each run takes no time; every fifth
// limb count finds no memory. (The engine needs nothing but the result.)
bool only_small_needs(std::size_t bytes, std::size_t)
{
    const std::size_t limb_count = bytes / sizeof(limb);
    return limb_count <= 8 && limb_count % 5 != 0;
}

std::int64_t frozen_clock() { return 0; }

// Saving never touches the disk here: a temporary name of odd length cannot
// be opened, and everything else is written to a file with no name (its
// permissions may be set) and renamed nowhere. The system's own files with no
// name are not used, nor any earlier file in place.
int open_nothing(const char* path)
{
    if (std::strlen(path) % 2 == 1) {
        errno = EACCES;
        return -1;
    }
    char name[] = "/tmp/stormer-pi-fuzz-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0) {
        ::unlink(name);
    }
    return fd;
}

int refuse(const char*)
{
    errno = EOPNOTSUPP;
    return -1;
}

int succeed(int) { return 0; }
int succeed(const char*) { return 0; }
int succeed(const char*, const char*) { return 0; }

void require(bool holds)
{
    if (!holds) {
        __builtin_trap();
    }
}

const std::regex& conversation_shape()
{
    static const std::string banner =
        "\n\nAll comments and suggestions will be gratefully received.\n\n"
        "This program calculates an approximation for PI by using Taylor's expansion for tan-1\\(x\\):\n\n"
        "tan-1\\(x\\) = x - x\\^3/3 \\+ x\\^5/5 - x\\^7/7 \\+ \\.\\.\\.\n\n"
        "PI/4 = 6 tan-1\\(1/8\\) \\+ 2 tan-1\\(1/57\\) \\+ tan-1\\(1/239\\)\n\n"
        "For every decimal place you specify, I need 6\\.67 bytes of memory\\.\n\n";
    static const std::string prompt = "Decimal Places \\(10 - 1000010\\) \\? ";
    static const std::string rejection = "\a\n(Digits only please\\.|That will tire me out\\. Try again\\.|That was "
                                         "either too small or too large\\. Try again\\.)\n\n";
    static const std::string places = "(9|[1-9][0-9]*)";
    static const std::string attempt =
        "(\nI'll take that to be " + places + " decimal places\\.\n)?\nSumming terms\\.\\.\\.\n\n";
    static const std::string shortage = "\a\nNot enough memory for " + places + " decimal places\\. Try again\\.\n\n";
    static const std::string run = attempt +
                                   "\nProgram Completed OK\\.\\.\\.\n\n 3\\.[0-9]{0,21}\n\nDecimal places = " + places +
                                   "\n\nTerms used = 1\n\nTime taken: 0 days 0 hours 0 mins 0 secs\n";
    static const std::string save = "\a\nSave PI to disk \\(y/n\\) \\? (\nSaved " + places +
                                    " dps pi\\.text to disk\\.\\.\\.\n|\nCould not save " + places +
                                    " dps pi\\.text to disk \\(cannot create a file here: Permission denied\\)\\.\n)?";
    static const std::string quit = "\a\nQuit program \\(y/n\\) \\? ";
    static const std::string asking = prompt + "((" + rejection + "|" + attempt + shortage + ")" + prompt + ")*";
    static const std::regex shape(banner + "(" + asking + run + save + quit + "\n)*" + "(" + asking + "(" + run + "(" +
                                  save + "(" + quit + "(\nQuitting program\\.\\.\\.\n)?)?)?)?)?");
    return shape;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The checker's regular expression recurses along the output: longer
    // inputs add nothing new but depth.
    if (size > 256) {
        return 0;
    }
    MemorySource source(std::string(reinterpret_cast<const char*>(data), size));
    StringSink output;
    FileCalls no_disk = system_file_calls();
    no_disk.open_unnamed = refuse;
    no_disk.open_existing = refuse;
    no_disk.open_new = open_nothing;
    no_disk.sync = succeed;
    no_disk.rename = succeed;
    no_disk.unlink = succeed;
    InstantEngine engine;
    const int status = run_dialogue(source, output,
                                    RunServices{.engine = engine,
                                                .wall_clock = frozen_clock,
                                                .save =
                                                    [&no_disk](TextSink& console, const RunReport& report) {
                                                        save_result(console, no_disk, report.result, report.terms_used,
                                                                    report.reported_places, report.elapsed);
                                                    },
                                                .memory_can_be_had = only_small_needs});
    require(status == 0);
    require(std::regex_match(output.text(), conversation_shape()));
    return 0;
}
