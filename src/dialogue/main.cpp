#include "dialogue/console.h"
#include "dialogue/run_loop.h"

// Command-line arguments are ignored: everything comes from standard input.
int main()
{
    StandardInput input;
    StandardOutput output;
    const int status = run_dialogue(input, output);
    output.flush();
    return status;
}
