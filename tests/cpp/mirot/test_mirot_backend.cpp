// The observation store of a work directory: failed appends and hostile row counts.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mirot/error.h"
#include "mirot/mirot_backend.h"
#include "temp_dir.h"

using mirot::BlockView;
using mirot::MirotBackend;
using mirot::MirotError;
using mirot_test::read_bytes;
using mirot_test::counting;
using mirot_test::TempDir;
using mirot_test::write_bytes;

namespace {

std::string u64_bytes(std::uint64_t v) {
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) out[static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}

}  // namespace

TEST(MirotBackendFaults, AppendOfWrongWidthsChangesNothing) {
    TempDir dir;
    const std::vector<double> x = counting(6), y = counting(3), yvar = counting(3, 1.0);
    MirotBackend b = MirotBackend::open(dir.path(), BlockView(x.data(), 3, 2), BlockView(y.data(), 3, 1),
                                        BlockView(yvar.data(), 3, 1), false, {1.0, 1.0});
    const std::string counter = read_bytes(dir.file("num_obs.bin"));

    const std::vector<double> x2 = counting(4, 10.0), y2 = counting(2, 10.0), wide = counting(4, 10.0);
    // Variances wider than y: the x and y rows must not be written either.
    EXPECT_THROW(b.append(BlockView(x2.data(), 2, 2), BlockView(y2.data(), 2, 1), BlockView(wide.data(), 2, 2)),
                 MirotError);
    // y wider than the store's metrics.
    EXPECT_THROW(b.append(BlockView(x2.data(), 2, 2), BlockView(wide.data(), 2, 2), BlockView(y2.data(), 2, 1)),
                 MirotError);
    EXPECT_EQ(b.num_obs(), 3u);
    EXPECT_EQ(b.pending_rows(), 3u);
    EXPECT_EQ(read_bytes(dir.file("num_obs.bin")), counter);

    // The store is still whole: a good append lands at row 3 of every file.
    b.append(BlockView(x2.data(), 2, 2), BlockView(y2.data(), 2, 1), BlockView(y2.data(), 2, 1));
    EXPECT_EQ(b.num_obs(), 5u);
    EXPECT_EQ(b.row_x(3)[0], 10.0);
    EXPECT_EQ(b.mmap_row_y_and_yvar(3).yvar->front(), 10.0);
}

TEST(MirotBackendFaults, OpenRefusesRowsOfUnequalCountsBeforeWritingThem) {
    TempDir dir;
    const std::vector<double> x = counting(3), y = counting(2);
    EXPECT_THROW(MirotBackend::open(dir.file("store"), BlockView(x.data(), 3, 1), BlockView(y.data(), 2, 1),
                                    std::nullopt, false, {1.0}),
                 MirotError);
    EXPECT_THROW(MirotBackend::open(dir.file("store"), BlockView(x.data(), 2, 1), BlockView(y.data(), 2, 1),
                                    BlockView(x.data(), 3, 1), false, {1.0}),
                 MirotError);
    EXPECT_NE(::access(dir.file("store").c_str(), F_OK), 0);
}

TEST(MirotBackendFaults, FirstVariancesBesideRowsOfAWrongWidthLeaveNoVarianceFile) {
    TempDir dir;
    const std::vector<double> none;
    {
        MirotBackend b = MirotBackend::open(dir.path(), BlockView(none.data(), 0, 2), BlockView(none.data(), 0, 1),
                                            std::nullopt, false, {1.0, 1.0});
        const std::vector<double> x = counting(3), y = counting(1);
        EXPECT_THROW(b.append(BlockView(x.data(), 1, 3), BlockView(y.data(), 1, 1), BlockView(y.data(), 1, 1)),
                     MirotError);
        EXPECT_EQ(b.num_obs(), 0u);
        EXPECT_FALSE(b.has_yvar());
    }
    EXPECT_NE(::access(dir.file("train_yvar.bin").c_str(), F_OK), 0);
}

TEST(MirotBackendFaults, RowCountBeyondRowIdsIsRefusedAtOpen) {
    TempDir dir;
    // Sparse row files long enough for the recorded count: ids of such rows would not fit u32.
    const std::uint64_t rows = (std::uint64_t{1} << 32) + 1;
    for (const char* name : {"train_x.bin", "train_y.bin"}) {
        const int fd = ::open(dir.file(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(rows * 8)), 0);
        ::close(fd);
    }
    write_bytes(dir.file("num_obs.bin"), u64_bytes(rows));
    const std::vector<double> none;
    try {
        MirotBackend::open(dir.path(), BlockView(none.data(), 0, 1), BlockView(none.data(), 0, 1), std::nullopt,
                           false, {1.0});
        ADD_FAILURE() << "opened a store of " << rows << " rows";
    } catch (const MirotError& e) {
        EXPECT_EQ(e.message(), "row count 4294967297 exceeds u32::MAX");
    }
}
