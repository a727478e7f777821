#pragma once

// Work on threads of the program's own, and the cores they may use.

#include <chrono>
#include <cstddef>
#include <functional>
#include <span>

// Runs every task on up to `thread_count` threads of its own, each with a
// stack of `stack_bytes` whatever the process's stack limit, each thread
// taking the next task as soon as it is done with one. Meanwhile the calling
// thread calls while_waiting once every `tick`; it returns when all tasks are
// done. Where no thread can be had at all, the calling thread does the work
// itself, on a stack of that size all the same, and calls while_waiting after
// each task. The threads take no signal from outside: those go to the calling
// thread. Each thread that ran tasks calls after_last_task when it has no
// more to run (so may the calling thread, where it did the work).
//
// Returns false, with no task run, where not even that stack can be mapped.
[[nodiscard]] bool run_tasks(std::span<const std::function<void()>> tasks, unsigned thread_count,
                             std::size_t stack_bytes, const std::function<void()>& while_waiting,
                             std::chrono::milliseconds tick, const std::function<void()>& after_last_task = {});

// Runs work on a stack of `stack_bytes` (a thread's, or this thread's own
// where no thread can be had) and waits for it; false, without running it,
// where no such stack can be mapped.
[[nodiscard]] bool run_with_stack(const std::function<void()>& work, std::size_t stack_bytes);

// The cores this process may use (at least 1): where the system says, those
// it may be scheduled on, and no more than a CPU quota set on its control
// groups allows. (System-specific, as are the two below: system_linux.cpp,
// system_portable.cpp.)
unsigned usable_cores();

// Flags for mmap that mark a mapping as a thread's stack, where the system
// has such a flag.
int stack_mapping_flags();

// Calls work(argument) on the stack [bottom, bottom + bytes) instead of the
// caller's, and returns when it is done; where the system cannot switch
// stacks, on the caller's own.
void run_on_stack(void* bottom, std::size_t bytes, void (*work)(void*), void* argument);
