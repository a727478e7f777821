// Any bytes through the line and word readers, taken in turns: every read ends,
// nothing overruns, and what is returned keeps the readers' promises.

#include <cstdint>
#include <string>

#include "../test_helpers.h"
#include "dialogue/text_input.h"

namespace {

bool is_white_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void require(bool holds)
{
    if (!holds) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    MemorySource source(bytes);
    TextInput input(source);
    // Every read takes at least one byte until the input ends.
    for (std::size_t reads = 0; reads <= 2 * size + 2; ++reads) {
        if (reads % 3 == 2) {
            const AnswerWord word = read_word(input);
            require(word.length <= AnswerWord::capacity);
            require(word.found == (word.length > 0));
            for (const char c : word.text()) {
                require(!is_white_space(c) && c != '\x1a');
            }
            if (!word.found) {
                return 0;
            }
        } else {
            const TypedLine line = read_line(input);
            require(line.length <= TypedLine::capacity);
            for (const char c : line.text()) {
                require(c != '\n' && c != '\x1a');
            }
            if (line.input_ended) {
                return 0;
            }
        }
    }
    require(false);
    return 0;
}
