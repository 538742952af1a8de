// Ingest of a disk model as an optimizer does it: adds of 10 rows (d = 32) around a
// drifting centre, each followed by a background flush. Prints the time per add around
// several row counts: the wall time the caller waits, the CPU time of every thread of
// the process meanwhile (the background sync included) and the caller's own CPU time.
// A plain timing program: bench_ingest [rows, default 1000000] [work directory].

#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <vector>

#include "qelbo/model/disk_backend.h"
#include "qelbo/model/model.h"

namespace {

double cpu_seconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
    constexpr std::size_t kDim = 32, kBatch = 10, kWindow = 5000;
    constexpr std::array<std::size_t, 6> kMarks{50000, 100000, 200000, 400000, 600000, 1000000};
    const std::size_t total = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const std::filesystem::path dir =
        argc > 2 ? std::filesystem::path(argv[2]) : std::filesystem::temp_directory_path() / "qel-bench-ingest";
    std::filesystem::remove_all(dir);

    std::mt19937_64 rng(1);
    std::normal_distribution<double> drift(0.0, 0.01), spread(0.0, 0.05);
    std::vector<double> centre(kDim, 0.5);
    std::array<double, kMarks.size()> wall{}, cpu{}, caller{};
    std::array<std::size_t, kMarks.size()> adds{};
    {
        qelbo::Vantorix m = qelbo::Vantorix::new_with_storage(
            qelbo::Array2(0, kDim), qelbo::Array2(0, 1), std::nullopt, false, qelbo::IndexDriver::MiRotDisk,
            qelbo::StorageMode::Disk, dir.string());
        const qelbo::DiskBackendHandle& handle = **m.backend().disk();
        qelbo::Array2 x(kBatch, kDim), y(kBatch, 1);
        for (std::size_t n = kBatch; n <= total; n += kBatch) {
            for (double& c : centre) c = std::clamp(c + drift(rng), 0.0, 1.0);
            for (std::size_t i = 0; i < kBatch; ++i) {
                for (std::size_t j = 0; j < kDim; ++j) x(i, j) = std::clamp(centre[j] + spread(rng), 0.0, 1.0);
                y(i, 0) = spread(rng);
            }
            const auto t0 = std::chrono::steady_clock::now();
            const double p0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID), c0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
            m.add(qelbo::view_of(x), qelbo::view_of(y), std::nullopt);
            handle.schedule_background_flush();
            const double dt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            const double dp = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - p0;
            const double dc = cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - c0;
            for (std::size_t k = 0; k < kMarks.size(); ++k) {
                if (n + kWindow < kMarks[k] || n > kMarks[k] + kWindow) continue;
                wall[k] += dt;
                cpu[k] += dp;
                caller[k] += dc;
                ++adds[k];
            }
        }
        handle.wait_for_flush();
    }
    for (std::size_t k = 0; k < kMarks.size(); ++k) {
        if (adds[k] == 0) continue;
        const double per = 1e6 / static_cast<double>(adds[k]);
        std::printf("rows %7zu: %7.1f us wall, %7.1f us CPU of all threads, %7.1f us CPU of the caller per add of 10\n",
                    kMarks[k], wall[k] * per, cpu[k] * per, caller[k] * per);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
