#include "platform/text_sink.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <string>

void print(TextSink& sink, const char* format, ...)
{
    std::array<char, 256> small{};
    va_list arguments;
    va_start(arguments, format);
    va_list retry;
    va_copy(retry, arguments);
    const int length = std::vsnprintf(small.data(), small.size(), format, arguments);
    va_end(arguments);
    if (length < 0) {
        va_end(retry);
        return;
    }
    if (static_cast<std::size_t>(length) < small.size()) {
        sink.write(std::string_view(small.data(), static_cast<std::size_t>(length)));
    } else {
        std::string large(static_cast<std::size_t>(length) + 1, '\0');
        std::vsnprintf(large.data(), large.size(), format, retry);
        large.pop_back();
        sink.write(large);
    }
    va_end(retry);
}
