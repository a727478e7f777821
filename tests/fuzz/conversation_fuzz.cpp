// Any bytes at all as the user's input: the conversation must end, with
// status 0, and say nothing but its own texts in an order it can say them.

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <regex>
#include <string>
#include <string_view>
#include <unistd.h>

#include "../test_helpers.h"
#include "dialogue/run_loop.h"
#include "output/program_texts.h"

namespace {

// Only the smallest sizes run, so that each run takes no time; every fifth
// limb count finds no memory. (The engine needs nothing but the result.)
bool only_small_needs(std::size_t bytes, std::size_t)
{
    const std::size_t limb_count = bytes / sizeof(limb);
    return limb_count <= 8 && limb_count % 5 != 0;
}

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

// A text of the program's as a regular expression: itself, each printf
// conversion standing for what it prints in a conversation: a whole number
// for each %li, the next of `strings` for each %s.
std::string shape_of(std::string_view text, const std::string& number, std::initializer_list<std::string> strings = {})
{
    std::string shape;
    const std::string* next_string = strings.begin();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            i = text.find_first_of("is", i);
            shape += text[i] == 's' ? *next_string++ : number;
        } else if (std::strchr("\\^$.|?*+()[]{}", text[i]) != nullptr) {
            shape += std::string("\\") + text[i];
        } else {
            shape += text[i];
        }
    }
    return shape;
}

const std::regex& conversation_shape()
{
    using namespace program_texts;
    static const std::string places = "(9|[1-9][0-9]*)";
    static const std::string opening = [] {
        std::string text;
        for (const char* part : banner) {
            text += shape_of(part, places);
        }
        return text + shape_of(before_first_run, places);
    }();
    static const std::string rejection = "(" + shape_of(digits_only, places) + "|" + shape_of(tire_me_out, places) +
                                         "|" + shape_of(too_small_or_too_large, places) + ")";
    static const std::string attempt = "(" + shape_of(take_that_format, places) + ")?" + shape_of(summing, places);
    static const std::string shortage = shape_of(not_enough_memory_format, places);
    static const std::string run = attempt + shape_of(completed, places) + " 3\\.[0-9]{0,21}" +
                                   shape_of(report_decimal_places_format, places) +
                                   shape_of(report_terms_used_format, "1") + shape_of(report_time_taken_format, "0");
    static const std::string file = places + " dps pi\\.text";
    static const std::string save =
        shape_of(save_question, places) + "(" + shape_of(saved_format, places, {file}) + "|" +
        shape_of(not_saved_format, places, {file, std::string(cannot_create_a_file_here) + ": Permission denied"}) +
        ")?";
    static const std::string quit = shape_of(quit_question, places);
    static const std::string asking =
        shape_of(prompt, places) + "((" + rejection + "|" + attempt + shortage + ")" + shape_of(prompt, places) + ")*";
    static const std::regex shape(opening + "(" + asking + run + save + quit + shape_of(before_later_run, places) +
                                  ")*" + "(" + asking + "(" + run + "(" + save + "(" + quit + "(" +
                                  shape_of(quitting, places) + ")?)?)?)?)?");
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
    const FrozenClock clock;
    const MemoryAsSaid memory(only_small_needs);
    const int status = run_dialogue(source, output, RunServices{engine, clock, memory, no_disk});
    require(status == 0);
    require(std::regex_match(output.text(), conversation_shape()));
    return 0;
}
