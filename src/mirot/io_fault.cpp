#include "mirot/io_fault.h"

#include <atomic>
#include <mutex>

namespace mirot {

namespace {

constexpr int kOps = 5;

struct FaultTable {
    std::atomic<bool> armed{false};
    std::mutex lock;
    int error_code[kOps] = {};
    unsigned skip[kOps] = {};
};

FaultTable& table() {
    static FaultTable t;
    return t;
}

}  // namespace

void inject_io_fault(IoFault op, int error_code, unsigned calls_to_skip) {
    FaultTable& t = table();
    std::lock_guard guard(t.lock);
    t.error_code[static_cast<int>(op)] = error_code;
    t.skip[static_cast<int>(op)] = calls_to_skip;
    t.armed.store(true);
}

void clear_io_faults() {
    FaultTable& t = table();
    std::lock_guard guard(t.lock);
    for (int i = 0; i < kOps; ++i) t.error_code[i] = 0;
    t.armed.store(false);
}

int take_io_fault(IoFault op) {
    FaultTable& t = table();
    if (!t.armed.load(std::memory_order_relaxed)) return 0;
    std::lock_guard guard(t.lock);
    int i = static_cast<int>(op);
    if (t.error_code[i] == 0) return 0;
    if (t.skip[i] > 0) {
        --t.skip[i];
        return 0;
    }
    int code = t.error_code[i];
    t.error_code[i] = 0;
    bool any = false;
    for (int k = 0; k < kOps; ++k) any = any || t.error_code[k] != 0;
    t.armed.store(any);
    return code;
}

}  // namespace mirot
