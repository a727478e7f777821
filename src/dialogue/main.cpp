#include <cstdlib>
#include <memory>
#include <new>

#include "dialogue/run_loop.h"
#include "engine/big_numbers.h"
#include "engine/remainder_engine.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/threads.h"

// Command-line arguments are ignored: everything comes from standard input.
int main()
{
    // An allocation that fails although the memory check passed ends the
    // program one way, whoever asked: its output written out, a message,
    // exit_out_of_memory.
    route_library_memory(std::malloc, std::realloc);
    std::set_new_handler(end_for_want_of_memory);
    report_file_size_limit_as_failure();
    choose_heaps_for_threads();
    // The streams' blocks live on the heap: the main thread's stack may be
    // as small as a user's limit makes it.
    const auto input = std::make_unique<StandardInput>();
    const auto output = std::make_unique<StandardOutput>();
    StandardError notices;
    RemainderEngine engine(usable_cores(), notices);
    const SystemClock clock;
    const SessionMemory memory;
    const int status = run_dialogue(*input, *output, RunServices{engine, clock, memory, system_file_calls()});
    output->flush();
    return status;
}
