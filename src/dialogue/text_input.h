#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "platform/byte_source.h"

// Raw input read as text: CR LF arrives as one LF, a lone CR as itself, and a
// Ctrl-Z byte ends the input.
class TextInput {
public:
    explicit TextInput(ByteSource& raw) : raw_(raw) {}
    int get();
    int peek();

private:
    int translate();
    int raw_get();

    static constexpr int nothing_held = -2;
    ByteSource& raw_;
    int held_raw_ = nothing_held;  // the byte read after a lone CR
    int held_text_ = nothing_held; // a character peeked and not yet taken
    bool ended_ = false;
};

// Text kept up to a fixed number of characters, with room for a terminator.
template <std::size_t Capacity> struct BoundedText {
    static constexpr std::size_t capacity = Capacity;
    std::array<char, Capacity + 1> characters{};
    std::size_t length = 0;

    bool full() const { return length == Capacity; }
    void keep(char c)
    {
        if (!full()) {
            characters[length++] = c;
        }
    }
    std::string_view text() const { return std::string_view(characters.data(), length); }
};

// A line typed at the decimal-places prompt: at most 39 characters; the rest of
// a longer line, line feed included, stays unread.
struct TypedLine : BoundedText<39> {
    bool input_ended = false; // end of input was met while reading it
};
TypedLine read_line(TextInput& input);

// A white-space-delimited word; the white space after it stays unread. Only the
// first 51 characters are kept, but the whole word is consumed.
struct AnswerWord : BoundedText<51> {
    bool found = false; // false when the input ended before any word
};
AnswerWord read_word(TextInput& input);

bool means_yes(const AnswerWord& word);
