#pragma once
// The mutex-guarded FAISS index of the in-memory backend, and f32 conversion of rows.

#include <cstddef>
#include <mutex>
#include <vector>

#include "qelbo/core/array.h"
#include "qelbo/model/faiss_backend.h"

namespace qelbo {

// Every element of `v` in row-major order, each rounded to the nearest f32.
std::vector<float> arr2_rows_to_f32(const MatView& v);

class KnnBackend {
public:
    explicit KnnBackend(FaissBackend backend) : backend_(std::move(backend)) {}

    // FAISS vector count.
    std::size_t len() const {
        std::lock_guard lock(mutex_);
        return backend_.ntotal();
    }

    // Runs `fn(FaissBackend&)` with the index locked.
    template <class Fn>
    decltype(auto) with_locked(Fn&& fn) const {
        std::lock_guard lock(mutex_);
        return fn(backend_);
    }

private:
    mutable std::mutex mutex_;
    mutable FaissBackend backend_;
};

}  // namespace qelbo
