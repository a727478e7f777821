#pragma once

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
