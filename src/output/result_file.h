#pragma once

// The result file: its name, its text and its safe replacement on disk. It may
// use the engine (the decimal layout) and the platform layer (system calls).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/limb_number.h"
#include "output/elapsed_time.h"
#include "platform/system_io.h"
#include "platform/text_sink.h"

// "999 dps pi.text" for 999 reported places, in the current directory.
std::string result_file_name(std::int32_t reported_places);

// The file's bytes, every line ending CR LF.
std::string result_file_text(ConstLimbSpan result, std::int32_t terms_used, std::int32_t reported_places,
                             const ElapsedTime& elapsed);

// Puts bytes into the file of that name whole, through a new file in the same
// directory (one with no name until it is complete, where the system has
// them, so that a killed save leaves nothing behind), or leaves any earlier
// file as it was. An earlier file keeps its permissions and, where the user
// may give it, its owner; one the user could not open for writing is not
// replaced. A symbolic link at the name is replaced, its target never written.
// Where no new file can be had there (the directory is not the user's to
// write, or it is sticky and the earlier file somebody else's, or there is no
// room for two copies) but the earlier file holds the same result up to its
// time line, that line and what follows are rewritten in place. Returns the
// reason on failure.
std::optional<std::string> replace_file(const std::string& name, std::string_view bytes, const FileCalls& calls);

// Saves a run's result and says on the console whether it worked, before any
// signal that arrives meanwhile takes effect.
void save_result(TextSink& console, const FileCalls& calls, ConstLimbSpan result, std::int32_t terms_used,
                 std::int32_t reported_places, const ElapsedTime& elapsed);
