#pragma once
// Installs a tuning record for the length of one test, then the defaults again.

#include "mirot/tuning.h"

namespace mirot_test {

class ScopedTuning {
public:
    explicit ScopedTuning(const mirot::MirotTuning& tuning) {
        mirot::set_tuning_provider([tuning] { return tuning; });
    }
    ~ScopedTuning() {
        mirot::set_tuning_provider([] { return mirot::MirotTuning{}; });
    }
    ScopedTuning(const ScopedTuning&) = delete;
    ScopedTuning& operator=(const ScopedTuning&) = delete;
};

}  // namespace mirot_test
