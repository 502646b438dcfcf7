#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>

#include "TestSupport.h"
#include "platform/Mounts.h"
#include "platform/SameVolume.h"

namespace fs = std::filesystem;

namespace brivo {
namespace {

// A miniature /sys: dev/block/MAJ:MIN links into a devices tree the way the kernel lays it
// out (partitions are sub-folders of their disk with a "partition" file; stacked devices
// list what they sit on under "slaves"; a loop device names its backing file).
class FakeSysfs {
public:
    test::TempDir root;
    std::string DevBlock() const { return root / "dev/block"; }

    void Add(const std::string& key, const std::string& folder, bool partition = false) {
        const std::string abs = root / ("devices/" + folder);
        fs::create_directories(abs);
        test::WriteFileBytes(abs + "/dev", key + "\n");
        if (partition) test::WriteFileBytes(abs + "/partition", "1\n");
        fs::create_directories(DevBlock());
        fs::create_symlink("../../devices/" + folder, DevBlock() + "/" + key);
    }
    void AddSlave(const std::string& folder, const std::string& slaveName, const std::string& slaveFolder) {
        const std::string dir = root / ("devices/" + folder + "/slaves");
        fs::create_directories(dir);
        fs::create_directory_symlink(root / ("devices/" + slaveFolder), dir + "/" + slaveName);
    }
    void SetBacking(const std::string& folder, const std::string& file) {
        fs::create_directories(root / ("devices/" + folder + "/loop"));
        test::WriteFileBytes(root / ("devices/" + folder + "/loop/backing_file"), file + "\n");
    }
};

TEST(SameVolume, OverlapOfDisksPartitionsAndStackedDevices) {
    FakeSysfs sys;
    sys.Add("8:0", "sda");
    sys.Add("8:1", "sda/sda1", true);
    sys.Add("8:2", "sda/sda2", true);
    sys.Add("8:16", "sdb");
    sys.Add("253:0", "virtual/dm-0");
    sys.AddSlave("virtual/dm-0", "sda2", "sda/sda2");
    sys.Add("7:0", "virtual/loop0");
    test::TempDir backingDir;
    test::WriteFileBytes(backingDir / "disk.img", "x");
    sys.SetBacking("virtual/loop0", backingDir / "disk.img");
    sys.Add("259:0", "virtual/loop0/loop0p1", true);
    struct stat imgSt {};
    ASSERT_EQ(::stat((backingDir / "disk.img").c_str(), &imgSt), 0);

    struct Case { dev_t a, b; bool overlap; };
    const Case cases[] = {
        {makedev(8, 1), makedev(8, 1), true},
        {makedev(8, 0), makedev(8, 1), true},    // whole disk and its partition
        {makedev(8, 2), makedev(8, 0), true},
        {makedev(8, 1), makedev(8, 2), false},   // two partitions of one disk
        {makedev(8, 16), makedev(8, 1), false},  // another disk
        {makedev(253, 0), makedev(8, 2), true},  // a mapping over sda2
        {makedev(253, 0), makedev(8, 0), true},
        {makedev(253, 0), makedev(8, 1), false},
        {makedev(7, 0), imgSt.st_dev, false},    // loop device over an image file: only the file's blocks
        {makedev(259, 0), makedev(7, 0), true},  // a partition of the loop device
        {makedev(7, 0), makedev(8, 1), false},
        {makedev(9, 9), makedev(9, 10), false},  // unknown to sysfs: only equality counts
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BlockDevicesOverlap(c.a, c.b, sys.DevBlock()), c.overlap)
            << major(c.a) << ":" << minor(c.a) << " vs " << major(c.b) << ":" << minor(c.b);
        EXPECT_EQ(BlockDevicesOverlap(c.b, c.a, sys.DevBlock()), c.overlap) << "reversed";
    }

    // A loop device over a device node shares that device's storage.
    const std::string node = backingDir / "sdb";
    if (::mknod(node.c_str(), S_IFBLK | 0600, makedev(8, 16)) != 0) GTEST_SKIP() << "cannot make a device node here";
    sys.Add("7:1", "virtual/loop1");
    sys.SetBacking("virtual/loop1", node);
    EXPECT_TRUE(BlockDevicesOverlap(makedev(7, 1), makedev(8, 16), sys.DevBlock()));
    EXPECT_FALSE(BlockDevicesOverlap(makedev(7, 1), makedev(8, 1), sys.DevBlock()));
}

TEST(SameVolume, OnlyBlockDeviceSourcesCount) {
    test::TempDir dir;
    test::WriteFileBytes(dir / "disk.img", "image");
    EXPECT_FALSE(OutputOnScannedDevice(dir / "disk.img", dir.path()));
    EXPECT_FALSE(OutputOnScannedDevice("/dev/null", dir.path()));
    EXPECT_FALSE(OutputOnScannedDevice("", dir.path()));
    EXPECT_FALSE(OutputOnScannedDevice(dir / "missing", dir.path()));
}

TEST(SameVolume, FolderOnTheScannedDeviceEvenBeforeItExists) {
    test::TempDir dir;
    TFolderMount fm;
    // A chroot or a container may list no mount for its own root.
    if (!LocateFolderMount(dir.path(), ReadSelfMountInfo(), fm))
        GTEST_SKIP() << "no mount table entry holds the temporary folder here";
    const std::string device = MountBackingSource(fm.Mount);
    struct stat st {};
    if (device.empty() || ::stat(device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        GTEST_SKIP() << "the temporary folder is not on a block device here";
    EXPECT_TRUE(OutputOnScannedDevice(device, dir.path()));
    EXPECT_TRUE(OutputOnScannedDevice(device, dir / "not/made/yet"));
    // An unrelated loop device, when one exists, does not hold the folder.
    struct stat loopSt {};
    if (::stat("/dev/loop7", &loopSt) == 0 && S_ISBLK(loopSt.st_mode) && loopSt.st_rdev != st.st_rdev) {
        EXPECT_FALSE(OutputOnScannedDevice("/dev/loop7", dir.path()));
    }
}

// A folder on a file system mounted from the very image being scanned: every file
// written there changes that image. Seen through a loop device (and with the loop device
// itself as the source) and through FUSE on the image file; the file system that holds
// the image is a fine place.
TEST(SameVolume, FolderOnAMountOfTheSourceImage) {
    test::TempDir dir;
    const std::string ext4 = test::UnpackFixture("ext4-deleted.img", dir);
    const std::string loopMnt = dir / "loop-mnt";
    test::ImageMount loop(ext4, loopMnt);
    if (!loop.Mounted()) GTEST_SKIP() << "loop devices are not available: " << loop.Why();
    EXPECT_TRUE(OutputInsideSourceImage(ext4, loopMnt));
    EXPECT_TRUE(OutputInsideSourceImage(ext4, loopMnt + "/not/made/yet"));
    EXPECT_TRUE(OutputInsideSourceImage(loop.LoopDevice(), loopMnt + "/out"));
    EXPECT_FALSE(OutputInsideSourceImage(ext4, dir / "beside-the-image"));
    EXPECT_FALSE(OutputInsideSourceImage(loop.LoopDevice(), dir.path()));
    // Another image, even a copy of this one, is another file.
    const std::string copy = dir / "copy.img";
    test::WriteFileBytes(copy, test::ReadFileBytes(ext4));
    EXPECT_FALSE(OutputInsideSourceImage(copy, loopMnt));

    const std::string ntfs = test::UnpackFixture("ntfs.img", dir);
    test::ImageMount fuse(ntfs, dir / "fuse-mnt", "ntfs-3g");
    if (!fuse.Mounted()) GTEST_SKIP() << "FUSE is not available: " << fuse.Why();
    EXPECT_TRUE(OutputInsideSourceImage(ntfs, dir / "fuse-mnt/out"));
    EXPECT_FALSE(OutputInsideSourceImage(ext4, dir / "fuse-mnt"));
}

} // namespace
} // namespace brivo
