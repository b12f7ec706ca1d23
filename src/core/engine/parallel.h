// Runs the independent tasks of one call on a few threads started for that
// call. Only the calling thread talks to the caller's interrupt check; the
// other threads see a shared stop flag at their next check.
#pragma once

#include <cstddef>
#include <functional>

#include "interrupt.h"

namespace kivo::engine {

// Cores this process may run on (its CPU affinity), at least 1.
unsigned available_cores();

// Runs body(task, stop) for every task in [0, count) on min(threads, count)
// threads, the calling thread among them; threads = 0 means
// available_cores(). A body polls `stop` between steps of a few
// milliseconds and returns early when it fires. The calling thread polls
// `interrupt` about every 2 ms while it works or waits for the others; once
// that fires no further task starts and the call returns false after every
// thread has ended. No thread outlives the call.
bool run_tasks(std::size_t count, unsigned threads, const InterruptCheck& interrupt,
               const std::function<void(std::size_t task, const InterruptCheck& stop)>& body);

}  // namespace kivo::engine
