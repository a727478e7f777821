#include "dialogue/run_loop.h"
#include "engine/remainder_summation.h"
#include "engine/series_summation.h"
#include "platform/console.h"
#include "platform/threads.h"

// Command-line arguments are ignored: everything comes from standard input.
int main()
{
    report_file_size_limit_as_failure();
    StandardInput input;
    StandardOutput output;
    RemainderEngine fast(usable_cores());
    TermByTermEngine reference;
    EngineWithFallback engine(fast, reference);
    const int status = run_dialogue(input, output, RunServices{.engine = engine});
    output.flush();
    return output.broken() ? exit_output_failed : status;
}
