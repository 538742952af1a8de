// The serial OpenBLAS hands every BLAS call a work buffer from one table that it does not
// lock, so two calls at once (FAISS searches and our products on the pool) can be given the
// same buffer and corrupt each other's results. The link routes the table's two entry points
// through these wrappers (--wrap), which take a lock; the products themselves still run in
// parallel.

#include <mutex>

namespace {
std::mutex& buffer_table_lock() {
    static std::mutex lock;
    return lock;
}
}  // namespace

extern "C" {
void* __real_blas_memory_alloc(int procpos);
int __real_blas_memory_free(void* area);

void* __wrap_blas_memory_alloc(int procpos) {
    std::lock_guard guard(buffer_table_lock());
    return __real_blas_memory_alloc(procpos);
}

int __wrap_blas_memory_free(void* area) {
    std::lock_guard guard(buffer_table_lock());
    return __real_blas_memory_free(area);
}
}
