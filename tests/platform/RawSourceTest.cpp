#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "TestSupport.h"
#include "platform/RawSource.h"

namespace brivo {
namespace {

TEST(RawSource, OpensReadOnlyAndReadsAtOffsets) {
    test::TempDir dir;
    std::string data(10000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
    test::WriteFileBytes(dir / "disk.img", data);

    TRawSource src(dir / "disk.img");
    EXPECT_EQ(src.Size(), 10000u);
    // The descriptor can never write to the source.
    EXPECT_EQ(::write(src.Fd(), "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(::fcntl(src.Fd(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);

    char buf[600];
    EXPECT_EQ(src.ReadAt(9500, buf, sizeof buf), 500);  // stops at the end
    EXPECT_EQ(static_cast<unsigned char>(buf[0]), 9500 % 251);
    EXPECT_FALSE(src.ReadExact(9500, buf, sizeof buf));
    EXPECT_TRUE(src.ReadExact(0, buf, sizeof buf));
    EXPECT_EQ(src.ReadAt(20000, buf, sizeof buf), 0);
    EXPECT_EQ(src.ReadAt(UINT64_MAX - 10, buf, sizeof buf), 0);  // no wrap-around to offset 0
    EXPECT_EQ(test::ReadFileBytes(dir / "disk.img"), data);
}

TEST(RawSource, OpenFailuresCarryTheReasonAndThePath) {
    test::TempDir dir;
    try {
        TRawSource src(dir / "missing.img");
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "No such file or directory: " + (dir / "missing.img"));
    }
    TRawSource src;
    int err = 0;
    EXPECT_FALSE(src.Open(dir / "missing.img", err));
    EXPECT_EQ(err, ENOENT);
    EXPECT_FALSE(src.IsOpen());
    char b;
    EXPECT_EQ(src.ReadAt(0, &b, 1), -1);
}

} // namespace
} // namespace brivo
