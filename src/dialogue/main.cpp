#include <memory>

#include "dialogue/run_loop.h"
#include "engine/remainder_engine.h"
#include "platform/console.h"
#include "platform/system_specific.h"

// Command-line arguments are ignored: everything comes from standard input.
int main()
{
    report_file_size_limit_as_failure();
    choose_heaps_for_threads();
    // The streams' blocks live on the heap: the main thread's stack may be
    // as small as a user's limit makes it.
    const auto input = std::make_unique<StandardInput>();
    const auto output = std::make_unique<StandardOutput>();
    RemainderEngine engine(usable_cores());
    const int status = run_dialogue(*input, *output, RunServices{.engine = engine});
    output->flush();
    return output->broken() ? exit_output_failed : status;
}
