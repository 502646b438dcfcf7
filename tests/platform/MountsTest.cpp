#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "TestSupport.h"
#include "platform/Mounts.h"

namespace brivo {
namespace {

// A mount table in /proc/self/mountinfo form, with the kernel's escapes.
const char* const kMountInfo =
    "21 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
    "22 21 0:20 / /proc rw,nosuid shared:12 - proc proc rw\n"
    "23 21 0:5 / /dev rw,nosuid shared:2 - devtmpfs udev rw,size=8G\n"
    "30 21 0:25 / /tmp rw shared:5 - tmpfs tmpfs rw\n"
    "31 21 8:17 / /media/bob/My\\040Disk rw,nosuid shared:20 - fuseblk /dev/sdb1 rw,user_id=0\n"
    "32 21 8:33 / /mnt rw - vfat /dev/sdc1 rw\n"
    "33 32 8:49 / /mnt/win rw - ntfs3 /dev/sdd1 rw\n"
    "34 21 0:40 / /net/share rw - nfs4 server:/export rw\n"
    "35 21 0:41 / /home/bob/remote rw - fuse.sshfs bob@host:/ rw\n"
    "36 21 8:65 /data/photos /srv/photos rw - ext4 /dev/sde1 rw\n"
    "37 21 0:42 / /var/lib/docker/x rw - overlay overlay rw,lowerdir=/a\n"
    "38 21 8:81 / /odd\\011tab\\012nl\\134back rw - vfat /dev/sdf1 rw\n"
    "39 21 8:97 / /mnt/win rw - vfat /dev/sdg1 rw\n"  // mounted over 33: hides it
    "garbage line\n"
    "40 21 0:43 / /nofields rw\n";

TEST(Mounts, UnescapesKernelEscapes) {
    EXPECT_EQ(UnescapeMountField("My\\040Disk"), "My Disk");
    EXPECT_EQ(UnescapeMountField("a\\011b\\012c\\134d"), "a\tb\nc\\d");
    EXPECT_EQ(UnescapeMountField("trail\\04"), "trail\\04");  // too short to be an escape
    EXPECT_EQ(UnescapeMountField("\\x41\\9"), "\\x41\\9");
}

TEST(Mounts, ParsesFieldsAroundOptionalTagsAndSkipsBrokenLines) {
    const auto mounts = ParseMountInfo(kMountInfo);
    ASSERT_EQ(mounts.size(), 13u);
    EXPECT_EQ(mounts[0].MountPoint, "/");
    EXPECT_EQ(mounts[0].FsType, "ext4");
    EXPECT_EQ(mounts[0].Source, "/dev/sda2");
    EXPECT_EQ(mounts[4].MountPoint, "/media/bob/My Disk");
    EXPECT_EQ(mounts[4].FsType, "fuseblk");
    EXPECT_EQ(mounts[9].Root, "/data/photos");
    EXPECT_EQ(mounts[11].MountPoint, "/odd\ttab\nnl\\back");
}

TEST(Mounts, FindsTheLongestMountPointAndThePathInsideTheVolume) {
    struct Case { const char* path; const char* mountPoint; const char* source; const char* inVolume; };
    const Case cases[] = {
        {"/", "/", "/dev/sda2", "/"},
        {"/home/bob", "/", "/dev/sda2", "/home/bob"},
        {"/media/bob/My Disk", "/media/bob/My Disk", "/dev/sdb1", "/"},
        {"/media/bob/My Disk/Users/Bob", "/media/bob/My Disk", "/dev/sdb1", "/Users/Bob"},
        {"/mnt/x", "/mnt", "/dev/sdc1", "/x"},
        {"/mntx/y", "/", "/dev/sda2", "/mntx/y"},          // a prefix only at a "/" boundary
        {"/mnt/win/Docs", "/mnt/win", "/dev/sdg1", "/Docs"},  // the later mount hides the earlier
        {"/srv/photos/2019", "/srv/photos", "/dev/sde1", "/data/photos/2019"},  // bind mount
        {"/odd\ttab\nnl\\back/a", "/odd\ttab\nnl\\back", "/dev/sdf1", "/a"},
    };
    for (const auto& c : cases) {
        TFolderMount fm;
        ASSERT_TRUE(FindMountOf(c.path, kMountInfo, fm)) << c.path;
        EXPECT_EQ(fm.Mount.MountPoint, c.mountPoint) << c.path;
        EXPECT_EQ(fm.Mount.Source, c.source) << c.path;
        EXPECT_EQ(fm.PathInVolume, c.inVolume) << c.path;
    }
    TFolderMount fm;
    EXPECT_FALSE(FindMountOf("relative/dir", kMountInfo, fm));
    EXPECT_FALSE(FindMountOf("/anything", "", fm));
    EXPECT_EQ(RootDeviceSource(kMountInfo), "/dev/sda2");
    EXPECT_EQ(RootDeviceSource("1 0 0:1 / / rw - overlay overlay rw\n"), "");
}

TEST(Mounts, DeviceNumberSeesThroughAHiddenMount) {
    // /mnt/win was mounted first, then /mnt on top of it: /mnt/win now lies on sdg1.
    const char* info =
        "1 0 8:2 / / rw - ext4 /dev/sda2 rw\n"
        "2 1 8:49 / /mnt/win rw - ntfs3 /dev/sdd1 rw\n"
        "3 1 8:97 / /mnt rw - vfat /dev/sdg1 rw\n";
    struct Case { unsigned dev[2]; const char* source; const char* inVolume; };
    const Case cases[] = {
        {{8, 97}, "/dev/sdg1", "/win/x"},
        {{8, 49}, "/dev/sdd1", "/x"},
        {{0, 99}, "/dev/sdd1", "/x"},  // no mount of that device: the longest mount point
    };
    for (const auto& c : cases) {
        TFolderMount fm;
        ASSERT_TRUE(FindMountOf("/mnt/win/x", info, fm, c.dev));
        EXPECT_EQ(fm.Mount.Source, c.source) << c.dev[1];
        EXPECT_EQ(fm.PathInVolume, c.inVolume) << c.dev[1];
    }
}

TEST(Mounts, NetworkAndBackingSourceClassification) {
    for (const char* fs : {"nfs", "nfs4", "cifs", "smb3", "9p", "ceph", "glusterfs", "afs", "fuse.sshfs", "fuse.rclone"})
        EXPECT_TRUE(IsNetworkFileSystem(fs)) << fs;
    for (const char* fs : {"ext4", "fuseblk", "vfat", "tmpfs", "nfsd", "fuse"}) EXPECT_FALSE(IsNetworkFileSystem(fs)) << fs;

    test::TempDir dir;
    test::WriteFileBytes(dir / "disk.img", "x");
    struct Case { std::string source; std::string backing; };
    const Case cases[] = {
        {"/dev/sdb1", "/dev/sdb1"},
        {dir / "disk.img", dir / "disk.img"},  // an image mounted through FUSE
        {dir.path(), ""},                      // a folder is no image
        {dir / "missing.img", ""},
        {"tmpfs", ""}, {"overlay", ""}, {"server:/export", ""},
    };
    for (const auto& c : cases) {
        TMountEntry m;
        m.Source = c.source;
        EXPECT_EQ(MountBackingSource(m), c.backing) << c.source;
    }
}

TEST(Mounts, LocatesARealFolderThroughSymbolicLinks) {
    test::TempDir dir;
    ASSERT_EQ(::symlink(dir.path().c_str(), (dir / "link").c_str()), 0);
    char* real = ::realpath(dir.path().c_str(), nullptr);
    ASSERT_NE(real, nullptr);
    const std::string realDir = real;
    std::free(real);
    // Device numbers no real file system has, so only the mount points decide.
    const std::string info = "1 0 4095:1048570 / / rw - ext4 /dev/sda2 rw\n2 1 4095:1048571 / " + realDir +
                             " rw - vfat /dev/sdz9 rw\n";
    TFolderMount fm;
    ASSERT_TRUE(LocateFolderMount(dir / "link/", info, fm));
    EXPECT_EQ(fm.Mount.Source, "/dev/sdz9");
    EXPECT_EQ(fm.PathInVolume, "/");

    // The folder's own device number picks its mount over a longer one of another device.
    struct stat st {};
    ASSERT_EQ(::stat(realDir.c_str(), &st), 0);
    const std::string dev = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    const std::string parent = realDir.substr(0, realDir.rfind('/'));
    const std::string info2 = "1 0 " + dev + " / " + (parent.empty() ? "/" : parent) + " rw - ext4 /dev/mine rw\n" +
                              "2 1 4095:1048571 / " + realDir + " rw - vfat /dev/other rw\n";
    ASSERT_TRUE(LocateFolderMount(dir.path(), info2, fm));
    EXPECT_EQ(fm.Mount.Source, "/dev/mine");
    EXPECT_EQ(fm.PathInVolume, parent.empty() ? realDir : realDir.substr(parent.size()));
    EXPECT_FALSE(LocateFolderMount(dir / "missing", info, fm));
    EXPECT_FALSE(ReadSelfMountInfo().empty());
}

} // namespace
} // namespace brivo
