#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <vector>

#include "mirot/io_fault.h"
#include "mirot/mmap_store.h"
#include "temp_dir.h"

using mirot::BlockView;
using mirot::MirotError;
using mirot::mmap_open_or_create;
using mirot_test::counting;
using mirot_test::TempDir;

namespace {

template <class F>
MirotError error_of(F&& f) {
    try {
        f();
    } catch (const MirotError& e) {
        return e;
    }
    ADD_FAILURE() << "no error";
    return MirotError::invalid_parameter("");
}

}  // namespace

TEST(MmapColumnStore, NewFileGrowsBySixtyFourRowsOrExactlyWhatIsAsked) {
    TempDir dir;
    std::string path = dir.file("train_x.bin");
    auto store = mmap_open_or_create(path, 2, std::nullopt);
    EXPECT_EQ(store.nrows(), 0u);
    EXPECT_EQ(store.mapped_bytes().size(), 0u);
    EXPECT_EQ(mirot_test::file_size(path), 0u);

    std::vector<double> one = {1.5, -2.5};
    store.mmap_append(BlockView(one.data(), 1, 2));
    EXPECT_EQ(store.nrows(), 1u);
    EXPECT_EQ(mirot_test::file_size(path), 64u * 16);

    auto other = mmap_open_or_create(dir.file("big.bin"), 1, std::nullopt);
    auto rows = counting(1000);
    other.mmap_append(BlockView(rows.data(), 1000, 1));
    EXPECT_EQ(mirot_test::file_size(dir.file("big.bin")), 1000u * 8);
    double extra = 1000.0;
    other.mmap_append(BlockView(&extra, 1, 1));
    EXPECT_EQ(mirot_test::file_size(dir.file("big.bin")), 1064u * 8);
    EXPECT_EQ(other.capacity_rows(), 1064u);
    EXPECT_EQ(other.nrows(), 1001u);
    for (std::uint64_t r = 0; r < 1001; ++r) ASSERT_EQ(other.row(r)[0], static_cast<double>(r));

    // The bytes on disk are the rows, little-endian, and the slack is zero.
    std::string bytes = mirot_test::read_bytes(dir.file("big.bin"));
    double v;
    std::memcpy(&v, bytes.data() + 999 * 8, 8);
    EXPECT_EQ(v, 999.0);
    for (std::size_t i = 1001 * 8; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], 0);
}

TEST(MmapColumnStore, KnownRowCountMustFitTheFileAndWinsOverItsLength) {
    TempDir dir;
    std::string path = dir.file("f.bin");
    mirot_test::write_bytes(path, std::string(32, '\0'));
    auto e = error_of([&] { mmap_open_or_create(path, 1, 5); });
    EXPECT_EQ(e.kind(), MirotError::Kind::InvalidParameter);
    EXPECT_EQ(e.message(), "known_nrows 5 exceeds train file bytes 32");
    // The product is taken exactly, never wrapped into something small.
    e = error_of([&] { mmap_open_or_create(path, 2, std::uint64_t{1} << 60); });
    EXPECT_EQ(e.message(), "known_nrows 1152921504606846976 exceeds train file bytes 32");
    EXPECT_EQ(mirot_test::file_size(path), 32u);

    // A 64-row file opened with 0 rows in use: the next append overwrites row 0.
    mirot_test::write_bytes(path, std::string(64 * 8, '\x11'));
    auto store = mmap_open_or_create(path, 1, 0);
    EXPECT_EQ(store.nrows(), 0u);
    double x = 7.0;
    store.mmap_append(BlockView(&x, 1, 1));
    EXPECT_EQ(store.nrows(), 1u);
    EXPECT_EQ(mirot_test::file_size(path), 64u * 8);
    double back;
    std::memcpy(&back, mirot_test::read_bytes(path).data(), 8);
    EXPECT_EQ(back, 7.0);

    // Without a known count a trailing partial row is ignored.
    mirot_test::write_bytes(path, std::string(100, '\0'));
    EXPECT_EQ(mmap_open_or_create(path, 3, std::nullopt).nrows(), 4u);
}

TEST(MmapColumnStore, ExistingFileIsNeverTruncatedWhenItCannotBeSeen) {
    TempDir dir;
    // stat fails with something other than "does not exist": that is the error.
    std::string loop = dir.file("loop");
    std::filesystem::create_symlink(loop, loop);
    EXPECT_EQ(error_of([&] { mmap_open_or_create(loop, 1, std::nullopt); }).message(),
              "Too many levels of symbolic links (os error 40)");
    if (::geteuid() == 0) return;  // root sees through directory permissions
    std::string sub = dir.file("locked");
    std::filesystem::create_directory(sub);
    mirot_test::write_bytes(sub + "/x.bin", std::string(16, '\x22'));
    std::filesystem::permissions(sub, std::filesystem::perms::none);
    auto e = error_of([&] { mmap_open_or_create(sub + "/x.bin", 1, std::nullopt); });
    std::filesystem::permissions(sub, std::filesystem::perms::owner_all);
    EXPECT_EQ(e.message(), "Permission denied (os error 13)");
    EXPECT_EQ(mirot_test::read_bytes(sub + "/x.bin"), std::string(16, '\x22'));
}

TEST(MmapColumnStore, OpenRefusesWhatIsNotARegularFileAndReportsOsErrors) {
    TempDir dir;
    auto e = error_of([&] { mmap_open_or_create(dir.path(), 1, std::nullopt); });
    EXPECT_EQ(e.message(), "Is a directory (os error 21)");
    e = error_of([&] { mmap_open_or_create(dir.file("missing/x.bin"), 1, std::nullopt); });
    EXPECT_EQ(e.message(), "No such file or directory (os error 2)");
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    e = error_of([&] { mmap_open_or_create(fifo, 1, std::nullopt); });
    EXPECT_EQ(e.message(), fifo + " is not a regular file");
}

TEST(MmapColumnStore, AppendChecksWidthAndCopiesAnyLayoutIdentically) {
    TempDir dir;
    auto a = mmap_open_or_create(dir.file("a.bin"), 3, std::nullopt);
    auto b = mmap_open_or_create(dir.file("b.bin"), 3, std::nullopt);
    // Rows (0,1,2), (3,4,5) row-major, and the same values stored column-major.
    std::vector<double> row_major = {0, 1, 2, 3, 4, 5};
    std::vector<double> col_major = {0, 3, 1, 4, 2, 5};
    a.mmap_append(BlockView(row_major.data(), 2, 3));
    b.mmap_append(BlockView(col_major.data(), 2, 3, 1, 2));
    // A single column taken with a stride from a wider array.
    std::vector<double> wide = {9, 8, 7, 6, 5, 4};
    auto c = mmap_open_or_create(dir.file("c.bin"), 1, std::nullopt);
    c.mmap_append(BlockView(wide.data(), 3, 1, 2, 1));
    EXPECT_EQ(c.row(0)[0], 9);
    EXPECT_EQ(c.row(1)[0], 7);
    EXPECT_EQ(c.row(2)[0], 5);
    EXPECT_EQ(mirot_test::read_bytes(dir.file("a.bin")), mirot_test::read_bytes(dir.file("b.bin")));

    std::vector<double> narrow = {1, 2};
    auto e = error_of([&] { a.mmap_append(BlockView(narrow.data(), 1, 2)); });
    EXPECT_EQ(e.kind(), MirotError::Kind::InvalidShape);
    EXPECT_EQ(e.expected(), (std::vector<std::size_t>{2, 3}));
    EXPECT_EQ(e.got(), (std::vector<std::size_t>{1, 2}));
    a.mmap_append(BlockView(narrow.data(), 0, 2));
    EXPECT_EQ(a.nrows(), 2u);
}

TEST(MmapColumnStore, GatherCopiesRowsInOrderAndRefusesRowsOutsideTheCount) {
    TempDir dir;
    auto s = mmap_open_or_create(dir.file("g.bin"), 2, std::nullopt);
    auto v = counting(6);
    s.mmap_append(BlockView(v.data(), 3, 2));
    std::vector<std::uint64_t> idx = {2, 0, 2};
    auto m = s.mmap_gather(idx);
    ASSERT_EQ(m.rows, 3u);
    ASSERT_EQ(m.cols, 2u);
    EXPECT_EQ(m.values, (std::vector<double>{4, 5, 0, 1, 4, 5}));
    // Row 3 is inside the grown file but not in use.
    std::vector<std::uint64_t> bad = {0, 3};
    EXPECT_EQ(error_of([&] { s.mmap_gather(bad); }).message(), "row 3 out of range [0, 3)");
    EXPECT_EQ(s.mmap_gather({}).rows, 0u);
}

TEST(MmapColumnStore, ZeroColumnsNeverGrowButCountRows) {
    TempDir dir;
    auto s = mmap_open_or_create(dir.file("z.bin"), 0, std::nullopt);
    EXPECT_EQ(s.nrows(), 0u);
    s.mmap_append(BlockView(nullptr, 5, 0));
    EXPECT_EQ(s.nrows(), 5u);
    EXPECT_EQ(mirot_test::file_size(dir.file("z.bin")), 0u);
    std::vector<std::uint64_t> idx = {4, 1};
    EXPECT_EQ(s.mmap_gather(idx).rows, 2u);
    EXPECT_EQ(mmap_open_or_create(dir.file("z.bin"), 0, 9).nrows(), 9u);
}

TEST(MmapColumnStore, ReleaseAndReopenKeepEveryRow) {
    TempDir dir;
    std::string path = dir.file("r.bin");
    auto v = counting(300 * 4, 0.25);
    {
        auto s = mmap_open_or_create(path, 4, std::nullopt);
        for (std::size_t i = 0; i < 300; i += 30) s.mmap_append(BlockView(v.data() + i * 4, 30, 4));
        s.release_resident_pages();
        ASSERT_EQ(s.nrows(), 300u);
        for (std::size_t i = 0; i < v.size(); ++i) ASSERT_EQ(s.data()[i], v[i]);
    }
    auto s = mmap_open_or_create(path, 4, 300);
    for (std::size_t i = 0; i < v.size(); ++i) ASSERT_EQ(s.data()[i], v[i]);
}

TEST(MmapColumnStore, FullDiskFailsTheAppendAndChangesNothing) {
    TempDir dir;
    auto s = mmap_open_or_create(dir.file("d.bin"), 2, std::nullopt);
    std::vector<double> row = {1, 2};
    s.mmap_append(BlockView(row.data(), 1, 2));
    auto big = counting(200);
    mirot::inject_io_fault(mirot::IoFault::Allocate, ENOSPC);
    auto e = error_of([&] { s.mmap_append(BlockView(big.data(), 100, 2)); });
    EXPECT_EQ(e.message(), "No space left on device (os error 28)");
    EXPECT_EQ(s.nrows(), 1u);
    EXPECT_EQ(s.capacity_rows(), 64u);
    // What the failed allocation added to the file is gone: it holds whole rows only.
    EXPECT_EQ(std::filesystem::file_size(dir.file("d.bin")), 64u * 2 * sizeof(double));
    // The fault was used up: the same append now goes through.
    s.mmap_append(BlockView(big.data(), 100, 2));
    EXPECT_EQ(s.nrows(), 101u);
    EXPECT_EQ(s.row(1)[0], 0.0);
    EXPECT_EQ(s.row(100)[1], 199.0);
    // A size no file can have is refused before any system call.
    EXPECT_EQ(error_of([&] { s.ensure_capacity(std::uint64_t{1} << 62); }).message(),
              "out of range integral type conversion attempted");
    EXPECT_EQ(s.nrows(), 101u);
}

TEST(MmapColumnStore, RealFileSizeLimitIsACleanErrorNotASignal) {
    TempDir dir;
    auto s = mmap_open_or_create(dir.file("lim.bin"), 1, std::nullopt);
    struct rlimit old;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit lim = old;
    lim.rlim_cur = 4096;
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lim), 0);
    auto big = counting(1024);
    bool failed = false;
    try {
        s.mmap_append(BlockView(big.data(), 1024, 1));
    } catch (const MirotError& e) {
        failed = true;
        EXPECT_NE(e.message().find("(os error 27)"), std::string::npos) << e.message();
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    EXPECT_TRUE(failed);
    EXPECT_EQ(s.nrows(), 0u);
}
