// Per-call worker threads with work handed out by an atomic counter, and the
// interrupt polling of the calling thread.
#include "engine/parallel.h"

#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace kivo::engine {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollInterval = std::chrono::milliseconds(2);

struct Shared {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable done;
    std::size_t finished = 0;
};

bool worker_poll(void* context) { return static_cast<Shared*>(context)->stop.load(std::memory_order_relaxed); }

// The calling thread's view: the shared flag, plus the caller's interrupt
// check at most every kPollInterval.
struct CallerPoll {
    Shared* shared;
    const InterruptCheck* interrupt;
    Clock::time_point last = Clock::now();

    bool poll() {
        if (shared->stop.load(std::memory_order_relaxed)) return true;
        const auto now = Clock::now();
        if (now - last < kPollInterval) return false;
        last = now;
        if (interrupt->requested()) {
            shared->stop.store(true, std::memory_order_relaxed);
            return true;
        }
        return false;
    }
    static bool call(void* context) { return static_cast<CallerPoll*>(context)->poll(); }
};

void drain(Shared& shared, std::size_t count, const InterruptCheck& stop,
           const std::function<void(std::size_t, const InterruptCheck&)>& body) {
    while (!stop.requested()) {
        const std::size_t task = shared.next.fetch_add(1, std::memory_order_relaxed);
        if (task >= count) break;
        body(task, stop);
    }
}

}  // namespace

unsigned available_cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw == 0 ? 1 : hw;
}

bool run_tasks(std::size_t count, unsigned threads, const InterruptCheck& interrupt,
               const std::function<void(std::size_t, const InterruptCheck&)>& body) {
    if (threads == 0) threads = available_cores();
    const std::size_t wanted = std::min<std::size_t>(threads, count);
    Shared shared;
    CallerPoll caller{&shared, &interrupt};
    const InterruptCheck caller_check{&CallerPoll::call, &caller};
    const InterruptCheck worker_check{&worker_poll, &shared};

    std::vector<std::thread> workers;
    for (std::size_t t = 1; t < wanted; ++t) {
        try {
            workers.emplace_back([&] {
                drain(shared, count, worker_check, body);
                std::lock_guard lock(shared.mutex);
                ++shared.finished;
                shared.done.notify_one();
            });
        } catch (const std::system_error&) {
            break;  // no more threads to be had: the others share the work
        }
    }
    drain(shared, count, caller_check, body);
    {
        std::unique_lock lock(shared.mutex);
        while (shared.finished < workers.size()) {
            shared.done.wait_for(lock, kPollInterval);
            if (shared.finished < workers.size() && !shared.stop.load(std::memory_order_relaxed)) {
                lock.unlock();
                caller.poll();
                lock.lock();
            }
        }
    }
    for (std::thread& w : workers) w.join();
    return !shared.stop.load(std::memory_order_relaxed);
}

}  // namespace kivo::engine
