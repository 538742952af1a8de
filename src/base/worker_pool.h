#pragma once
// The one process-wide worker pool for data-parallel loops. Made on first use,
// sized by RAYON_NUM_THREADS when set to a positive number, else by the number
// of processors. Workers touch no Python object.

#include <cstddef>
#include <functional>

#include <tbb/task_arena.h>

namespace qelbo {

// The pool (thread-safe first use).
tbb::task_arena& worker_pool();

// Number of threads of the pool.
std::size_t worker_pool_size();

// Runs fn(i) for every i in [0, n_tasks) on the pool and waits for all of them.
// Each task must write only its own output slot so results do not depend on the
// pool size. The first exception thrown by a task is rethrown to the caller. While
// waiting, the caller runs only its own tasks, never those of another caller.
void parallel_for_chunks(std::size_t n_tasks, const std::function<void(std::size_t)>& fn);

// Same, but hands each task a contiguous range [begin, end) of at most `grain`
// items, for loops whose items are too small to schedule one by one.
void parallel_for_ranges(std::size_t n_items, std::size_t grain,
                         const std::function<void(std::size_t, std::size_t)>& fn);

}  // namespace qelbo
