#pragma once

#include <string>
#include <string_view>

// Where every piece of the program's text goes: the console, a file being
// built, or a string in a test.
class TextSink {
public:
    virtual ~TextSink() = default;
    virtual void write(std::string_view text) = 0;
    // True once text can no longer reach its destination.
    virtual bool broken() const { return false; }
};

// printf-style formatting onto a sink; one call is one write.
void print(TextSink& sink, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Collects everything written, for tests and for building a file in memory.
class StringSink : public TextSink {
public:
    void write(std::string_view text) override { text_.append(text); }
    const std::string& text() const { return text_; }
    std::string& text() { return text_; }

private:
    std::string text_;
};
