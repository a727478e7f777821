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
// itself.
void run_tasks(std::span<const std::function<void()>> tasks, unsigned thread_count, std::size_t stack_bytes,
               const std::function<void()>& while_waiting, std::chrono::milliseconds tick);

// Runs work on a thread of its own with a stack of `stack_bytes`, and waits
// for it (or runs it here where no thread can be had).
void run_with_stack(const std::function<void()>& work, std::size_t stack_bytes);
