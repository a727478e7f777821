#include "platform/threads.h"

#include <atomic>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <vector>

namespace {

constexpr auto waiting_tick = std::chrono::milliseconds(20);

struct TaskQueue {
    explicit TaskQueue(std::span<const std::function<void()>> all) : tasks(all) {}

    std::span<const std::function<void()>> tasks;
    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::condition_variable thread_done;
    unsigned threads_done = 0;

    void work()
    {
        for (std::size_t i = next++; i < tasks.size(); i = next++) {
            tasks[i]();
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

unsigned usable_cores()
{
    cpu_set_t cores;
    if (sched_getaffinity(0, sizeof cores, &cores) != 0) {
        return 1;
    }
    const int count = CPU_COUNT(&cores);
    return count > 0 ? static_cast<unsigned>(count) : 1;
}

void run_tasks(std::span<const std::function<void()>> tasks, unsigned thread_count, std::size_t stack_bytes,
               const std::function<void()>& while_waiting)
{
    assert(thread_count >= 1);
    TaskQueue queue(tasks);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, stack_bytes);
    std::vector<pthread_t> threads;
    for (unsigned i = 0; i < thread_count && i < tasks.size(); ++i) {
        pthread_t thread;
        if (pthread_create(&thread, &attributes, work_on_queue, &queue) != 0) {
            break;
        }
        threads.push_back(thread);
    }
    pthread_attr_destroy(&attributes);
    if (threads.empty()) {
        queue.work(); // no thread to be had: the last resort
    }
    {
        std::unique_lock<std::mutex> lock(queue.mutex);
        while (queue.threads_done < threads.size()) {
            lock.unlock();
            while_waiting();
            lock.lock();
            queue.thread_done.wait_for(lock, waiting_tick, [&] { return queue.threads_done == threads.size(); });
        }
    }
    for (const pthread_t thread : threads) {
        pthread_join(thread, nullptr);
    }
}

void run_with_stack(const std::function<void()>& work, std::size_t stack_bytes)
{
    run_tasks(std::span<const std::function<void()>>(&work, 1), 1, stack_bytes, [] {});
}
