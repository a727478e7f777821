#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "engine/limb_number.h"
#include "engine/text_sink.h"

// Elapsed wall-clock time as the report shows it; the divisions truncate toward
// zero, so a clock set back during a run gives negative fields.
struct ElapsedTime {
    long days = 0;
    long hours = 0;
    long minutes = 0;
    long seconds = 0;
};
ElapsedTime split_elapsed(std::int64_t elapsed_seconds);

// What one run has to report and save.
struct RunReport {
    ConstLimbSpan result;
    std::int32_t terms_used = 0;
    std::int32_t reported_places = 0;
    ElapsedTime elapsed;
};

// "999 dps pi.text" for 999 reported places, in the current directory.
std::string result_file_name(std::int32_t reported_places);

// The file's bytes, every line ending CR LF.
std::string result_file_text(const RunReport& report);

// The system calls a save goes through; tests replace some to make them fail.
struct FileCalls {
    int (*open_new)(const char* path); // create exclusively for writing
    ssize_t (*write)(int fd, const void* bytes, std::size_t count);
    int (*sync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char* from, const char* to);
    int (*unlink)(const char* path);
};
const FileCalls& system_file_calls();

// Puts bytes into the file of that name whole, through a temporary file in the
// same directory, or leaves any earlier file as it was. Returns the reason on
// failure.
std::optional<std::string> replace_file(const std::string& name, std::string_view bytes, const FileCalls& calls);

// Saves the run's result and says on the console whether it worked.
void save_result(const RunReport& report, TextSink& console, const FileCalls& calls);
