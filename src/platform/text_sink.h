#pragma once

#include <string_view>

// Where every piece of the program's text goes: the console, a file being
// built, or a string in a test.
class TextSink {
public:
    virtual ~TextSink() = default;
    virtual void write(std::string_view text) = 0;
};

// printf-style formatting onto a sink; one call is one write.
void print(TextSink& sink, const char* format, ...) __attribute__((format(printf, 2, 3)));
