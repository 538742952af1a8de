#include "base/worker_pool.h"

#include <cerrno>
#include <cstdlib>

#include <tbb/blocked_range.h>
#include <tbb/info.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

namespace qelbo {
namespace {

// A positive decimal count, or 0 when the variable is absent or not one.
std::size_t threads_from_env() {
    const char* text = std::getenv("RAYON_NUM_THREADS");
    if (text == nullptr || *text == '\0') return 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0') return 0;
    // More threads than this is never useful and would only exhaust the system.
    constexpr unsigned long long kMaxThreads = 4096;
    return static_cast<std::size_t>(value > kMaxThreads ? kMaxThreads : value);
}

std::size_t pool_threads() {
    std::size_t n = threads_from_env();
    if (n > 0) return n;
    int cores = tbb::info::default_concurrency();
    return cores > 0 ? static_cast<std::size_t>(cores) : 1;
}

}  // namespace

tbb::task_arena& worker_pool() {
    // Function-local static: built once, concurrent first users wait for it.
    static tbb::task_arena arena(static_cast<int>(pool_threads()));
    return arena;
}

std::size_t worker_pool_size() {
    return static_cast<std::size_t>(worker_pool().max_concurrency());
}

void parallel_for_chunks(std::size_t n_tasks, const std::function<void(std::size_t)>& fn) {
    if (n_tasks == 0) return;
    if (n_tasks == 1) {
        fn(0);
        return;
    }
    // Isolated: while a caller waits for its tasks it runs none of another caller's, which
    // could need a lock the waiting caller holds (a search holds its index's lock).
    worker_pool().execute([&] {
        tbb::this_task_arena::isolate([&] {
            tbb::parallel_for(
                tbb::blocked_range<std::size_t>(0, n_tasks, 1),
                [&](const tbb::blocked_range<std::size_t>& r) {
                    for (std::size_t i = r.begin(); i != r.end(); ++i) fn(i);
                },
                tbb::simple_partitioner());
        });
    });
}

void parallel_for_ranges(std::size_t n_items, std::size_t grain,
                         const std::function<void(std::size_t, std::size_t)>& fn) {
    if (n_items == 0) return;
    if (grain == 0) grain = 1;
    std::size_t n_tasks = n_items / grain + (n_items % grain != 0 ? 1 : 0);
    parallel_for_chunks(n_tasks, [&](std::size_t t) {
        std::size_t begin = t * grain;
        std::size_t end = n_items - begin < grain ? n_items : begin + grain;
        fn(begin, end);
    });
}

}  // namespace qelbo
