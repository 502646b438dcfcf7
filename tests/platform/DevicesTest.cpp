#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TestSupport.h"
#include "platform/Devices.h"

namespace brivo {
namespace {

TEST(Devices, ListsEveryEntryInNaturalNameOrder) {
    test::TempDir dir;
    // /sys/class/block holds symbolic links; a dangling one still names a device.
    for (const char* n : {"sdb1", "loop10", "sda", "nvme0n1p2", "loop2", "sdb", "sr0"})
        ASSERT_EQ(::symlink("../../devices/x", (dir / n).c_str()), 0);
    ::close(::open((dir / "dm-0").c_str(), O_CREAT | O_WRONLY, 0600));
    ::mkdir((dir / "md127").c_str(), 0700);

    const std::vector<std::string> want = {"dm-0", "loop2", "loop10", "md127", "nvme0n1p2",
                                           "sda", "sdb", "sdb1", "sr0"};
    EXPECT_EQ(ListBlockDevices(dir.path()), want);
    EXPECT_TRUE(ListBlockDevices(dir / "missing").empty());
}

TEST(Devices, NaturalOrderIsStrict) {
    EXPECT_TRUE(NaturalNameLess("sda2", "sda10"));
    EXPECT_FALSE(NaturalNameLess("sda10", "sda2"));
    EXPECT_TRUE(NaturalNameLess("sda", "sda1"));
    EXPECT_TRUE(NaturalNameLess("loop01", "loop001"));  // equal value: fewer zeros first
    EXPECT_FALSE(NaturalNameLess("sdb", "sdb"));
    EXPECT_TRUE(NaturalNameLess("sdz99999999999999999999998", "sdz99999999999999999999999"));
}

TEST(Devices, DevicePathsAndTheDeviceTest) {
    struct Case { const char* text; const char* path; };
    const Case cases[] = {
        {"sdb1", "/dev/sdb1"}, {"  sdb1 ", "/dev/sdb1"}, {"/dev/sdb1", "/dev/sdb1"},
        {"/dev/mapper/vg-root", "/dev/mapper/vg-root"}, {"nvme0n1p2", "/dev/nvme0n1p2"},
        {"SDB1", "/dev/SDB1"},  // as typed: device names are case-sensitive
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(DevicePathFor(c.text), c.path) << c.text;

    EXPECT_TRUE(IsDeviceSource("/dev/sdb1"));
    EXPECT_FALSE(IsDeviceSource("/devices/sdb1"));
    EXPECT_FALSE(IsDeviceSource("/home/bob/disk.img"));
    EXPECT_FALSE(IsDeviceSource("dev/sdb1"));
    EXPECT_EQ(DeviceNameOf("/dev/sdb1"), "sdb1");
    EXPECT_EQ(DeviceNameOf("disk.img"), "disk.img");
}

} // namespace
} // namespace brivo
