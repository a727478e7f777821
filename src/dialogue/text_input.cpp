#include "dialogue/text_input.h"

namespace {

constexpr int ctrl_z = 0x1A;

bool is_white_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

} // namespace

int TextInput::raw_get()
{
    if (held_raw_ != nothing_held) {
        const int c = held_raw_;
        held_raw_ = nothing_held;
        return c;
    }
    return raw_.get();
}

int TextInput::translate()
{
    if (ended_) {
        return ByteSource::end_of_input;
    }
    const int c = raw_get();
    if (c == ByteSource::end_of_input || c == ctrl_z) {
        ended_ = true;
        return ByteSource::end_of_input;
    }
    if (c == '\r') {
        const int next = raw_get();
        if (next == '\n') {
            return '\n';
        }
        held_raw_ = next;
    }
    return c;
}

int TextInput::peek()
{
    if (held_text_ == nothing_held) {
        held_text_ = translate();
    }
    return held_text_;
}

int TextInput::get()
{
    const int c = peek();
    if (c != ByteSource::end_of_input) {
        held_text_ = nothing_held;
    }
    return c;
}

TypedLine read_line(TextInput& input)
{
    TypedLine line;
    while (!line.full()) {
        const int c = input.get();
        if (c == ByteSource::end_of_input) {
            line.input_ended = true;
            break;
        }
        if (c == '\n') {
            break;
        }
        line.keep(static_cast<char>(c));
    }
    return line;
}

AnswerWord read_word(TextInput& input)
{
    AnswerWord word;
    while (is_white_space(input.peek())) {
        input.get();
    }
    for (int c = input.peek(); c != ByteSource::end_of_input && !is_white_space(c); c = input.peek()) {
        input.get();
        word.found = true;
        word.keep(static_cast<char>(c));
    }
    return word;
}

bool means_yes(const AnswerWord& word) { return word.text().find('y') != std::string_view::npos; }
