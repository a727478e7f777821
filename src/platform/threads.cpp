#include "platform/threads.h"

#include <atomic>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "platform/signals.h"

namespace {

struct TaskQueue {
    TaskQueue(std::span<const std::function<void()>> all, const std::function<void()>& after_last)
        : tasks(all), after_last_task(after_last)
    {
    }

    std::span<const std::function<void()>> tasks;
    const std::function<void()>& after_last_task;
    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::condition_variable thread_done;
    unsigned threads_done = 0;

    void work()
    {
        for (std::size_t i = next++; i < tasks.size(); i = next++) {
            tasks[i]();
        }
        if (after_last_task) {
            after_last_task();
        }
    }
};

extern "C" void* work_on_queue(void* opaque)
{
    auto* queue = static_cast<TaskQueue*>(opaque);
    queue->work();
    const std::lock_guard<std::mutex> lock(queue->mutex);
    ++queue->threads_done;
    queue->thread_done.notify_one();
    return nullptr;
}

} // namespace

namespace {

// A stack of our own, given back as soon as its work is done (a thread
// stack the C library keeps for later would hold address space between
// runs), with a page below it that faults on overflow.
class ThreadStack {
public:
    explicit ThreadStack(std::size_t bytes) : bytes_(bytes + guard_bytes())
    {
        void* mapped =
            ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | stack_mapping_flags(), -1, 0);
        if (mapped != MAP_FAILED) {
            base_ = static_cast<char*>(mapped);
            ::mprotect(base_, guard_bytes(), PROT_NONE);
        }
    }
    ~ThreadStack()
    {
        if (base_ != nullptr) {
            ::munmap(base_, bytes_);
        }
    }
    ThreadStack(const ThreadStack&) = delete;
    ThreadStack& operator=(const ThreadStack&) = delete;

    bool usable() const { return base_ != nullptr; }
    void* bottom() const { return base_ + guard_bytes(); }
    std::size_t size() const { return bytes_ - guard_bytes(); }

private:
    static std::size_t guard_bytes() { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }

    std::size_t bytes_;
    char* base_ = nullptr;
};

} // namespace

bool run_tasks(std::span<const std::function<void()>> tasks, unsigned thread_count, std::size_t stack_bytes,
               const std::function<void()>& while_waiting, std::chrono::milliseconds tick,
               const std::function<void()>& after_last_task)
{
    assert(thread_count >= 1);
    TaskQueue queue(tasks, after_last_task);
    std::vector<std::unique_ptr<ThreadStack>> stacks;
    std::vector<pthread_t> threads;
    {
        // A thread starts with the signal mask of the one that creates it:
        // so signals from outside reach only this thread, which owns the
        // standard output that their handler writes out.
        const SignalsHeld held(asynchronous_signals());
        for (unsigned i = 0; i < thread_count && i < tasks.size(); ++i) {
            auto stack = std::make_unique<ThreadStack>(stack_bytes);
            pthread_attr_t attributes;
            pthread_attr_init(&attributes);
            pthread_t thread;
            const bool started = stack->usable() &&
                                 pthread_attr_setstack(&attributes, stack->bottom(), stack->size()) == 0 &&
                                 pthread_create(&thread, &attributes, work_on_queue, &queue) == 0;
            pthread_attr_destroy(&attributes);
            if (!started) {
                break;
            }
            threads.push_back(thread);
            stacks.push_back(std::move(stack));
        }
    }
    if (threads.empty()) {
        // No thread to be had: this thread does the work, on a stack as
        // large as a thread's, whatever its own stack limit, and what it
        // does while waiting between one task and the next.
        const ThreadStack stack(stack_bytes);
        if (!stack.usable()) {
            return false;
        }
        const auto on_the_stack = [&stack](const std::function<void()>& work) {
            const std::function<void()>* current = &work;
            run_on_stack(
                stack.bottom(), stack.size(),
                [](void* opaque) { (**static_cast<const std::function<void()>**>(opaque))(); }, &current);
        };
        for (const std::function<void()>& task : tasks) {
            on_the_stack(task);
            while_waiting();
        }
        if (after_last_task) {
            on_the_stack(after_last_task);
        }
        return true;
    }
    {
        std::unique_lock<std::mutex> lock(queue.mutex);
        while (queue.threads_done < threads.size()) {
            lock.unlock();
            while_waiting();
            lock.lock();
            queue.thread_done.wait_for(lock, tick, [&] { return queue.threads_done == threads.size(); });
        }
    }
    for (const pthread_t thread : threads) {
        pthread_join(thread, nullptr);
    }
    return true;
}

bool run_with_stack(const std::function<void()>& work, std::size_t stack_bytes)
{
    return run_tasks(
        std::span<const std::function<void()>>(&work, 1), 1, stack_bytes, [] {}, std::chrono::seconds(1));
}
