#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <stdexcept>

#include "RecordingHost.h"
#include "TestSupport.h"
#include "core/SourceSelection.h"

namespace brivo {
namespace {

// Marks every text it translates, so the test sees that each message went through it.
class TranslatingHost : public test::RecordingHost {
public:
    std::string Translate(const std::string& text) override { return "T(" + text + ")"; }
};

std::string RealPath(const std::string& p) {
    char* r = ::realpath(p.c_str(), nullptr);
    std::string s = r ? r : "";
    std::free(r);
    return s;
}

// A choice as the window reads it from a Where-to-Scan list index.
TScanChoice Choice(int whereIndex) {
    TScanChoice c;
    c.Where = CurrentScanWhere(whereIndex);
    return c;
}

const TScanSource kUntouched{"untouched", "untouched", TScanWhere::swRecycleBin};

TEST(SourceSelection, RefusalsShowOneTranslatedWarningAndChangeNothing) {
    test::TempDir dir;
    test::WriteFileBytes(dir / "disk.img", "x");
    struct Case { const char* name; TScanChoice choice; const char* message; };
    auto with = [](int where, auto set) { TScanChoice c = Choice(where); set(c); return c; };
    const std::vector<Case> cases = {
        {"no disk", with(0, [](TScanChoice& c) { c.DiskText = "  "; }), kMsgSelectDisk},
        {"no selection is Disk", with(-1, [](TScanChoice& c) { c.DiskText = ""; }), kMsgSelectDisk},
        {"no image", with(1, [](TScanChoice& c) { c.ImagePath = ""; }), kMsgSelectImage},
        {"missing image", with(1, [&](TScanChoice& c) { c.ImagePath = dir / "missing.img"; }), kMsgSelectImage},
        {"folder as image", with(1, [&](TScanChoice& c) { c.ImagePath = dir.path(); }), kMsgSelectImage},
        {"no folder", with(2, [](TScanChoice& c) { c.FolderPath = "\t"; }), kMsgSelectFolder},
        {"missing folder", with(2, [&](TScanChoice& c) { c.FolderPath = dir / "nope"; }), kMsgSelectFolder},
        {"file as folder", with(2, [&](TScanChoice& c) { c.FolderPath = dir / "disk.img"; }), kMsgSelectFolder},
        {"network path that does not exist", with(2, [](TScanChoice& c) { c.FolderPath = "\\\\server\\share\\x"; }),
         kMsgSelectFolder},
        {"no Recycle Bin disk", with(3, [](TScanChoice& c) { c.RecycleBinDiskText = ""; }), kMsgSelectRecycleBinDisk},
    };
    for (const auto& c : cases) {
        TranslatingHost host;
        TScanSource out = kUntouched;
        EXPECT_FALSE(BuildScanSource(c.choice, host, out, "")) << c.name;
        EXPECT_EQ(host.events, std::vector<std::string>{"warning: T(" + std::string(c.message) + ")"}) << c.name;
        EXPECT_EQ(out.Src, "untouched") << c.name;
        EXPECT_EQ(out.Where, TScanWhere::swRecycleBin) << c.name;
    }
}

TEST(SourceSelection, DiskImageAndRecycleBinSources) {
    test::TempDir dir;
    test::WriteFileBytes(dir / "disk.img", "x");
    struct Case { TScanChoice choice; TScanSource want; };
    auto with = [](int where, auto set) { TScanChoice c = Choice(where); set(c); return c; };
    const std::vector<Case> cases = {
        {with(0, [](TScanChoice& c) { c.DiskText = " sdb1 "; }), {"/dev/sdb1", "", TScanWhere::swDisk}},
        {with(0, [](TScanChoice& c) { c.DiskText = "/dev/mapper/vg-data"; }), {"/dev/mapper/vg-data", "", TScanWhere::swDisk}},
        {with(9, [](TScanChoice& c) { c.DiskText = "sdc"; }), {"/dev/sdc", "", TScanWhere::swDisk}},
        {with(1, [&](TScanChoice& c) { c.ImagePath = "  " + (dir / "disk.img") + " "; }),
         {dir / "disk.img", "", TScanWhere::swDiskImage}},
        {with(3, [](TScanChoice& c) { c.RecycleBinDiskText = "sdb1"; }), {"/dev/sdb1", "/$Recycle.Bin", TScanWhere::swRecycleBin}},
        {with(3, [&](TScanChoice& c) { c.RecycleBinDiskText = dir / "disk.img"; }),
         {dir / "disk.img", "/$Recycle.Bin", TScanWhere::swRecycleBin}},
    };
    for (const auto& c : cases) {
        test::RecordingHost host;
        TScanSource out;
        ASSERT_TRUE(BuildScanSource(c.choice, host, out, "")) << c.want.Src;
        EXPECT_EQ(out.Src, c.want.Src);
        EXPECT_EQ(out.PathFilter, c.want.PathFilter);
        EXPECT_EQ(out.Where, c.want.Where);
        EXPECT_TRUE(host.events.empty());
    }
}

TEST(SourceSelection, FolderScansTheVolumeThatHoldsIt) {
    test::TempDir dir;
    ASSERT_EQ(::mkdir((dir / "Users").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((dir / "Users/Bob Smith").c_str(), 0700), 0);
    test::WriteFileBytes(dir / "disk.img", "x");
    const std::string mp = RealPath(dir.path());
    auto escaped = [](std::string s) {
        std::string out;
        for (char c : s) out += c == ' ' ? std::string("\\040") : std::string(1, c);
        return out;
    };
    // Device numbers no real file system has, so the folder's own st_dev never picks a line.
    const std::string root = "1 0 4095:1048570 / / rw - ext4 /dev/sda2 rw\n";
    auto mountAt = [&](const std::string& fs, const std::string& src) {
        return root + "2 1 4095:1048571 / " + escaped(mp) + " rw - " + fs + " " + src + " rw\n";
    };

    struct Case { std::string folder; std::string info; std::string src; std::string filter; };
    const std::vector<Case> cases = {
        {dir.path(), mountAt("fuseblk", "/dev/sdb1"), "/dev/sdb1", "/"},
        {dir / "Users/Bob Smith/", mountAt("ntfs3", "/dev/sdb1"), "/dev/sdb1", "/Users/Bob Smith"},
        {dir / "Users//./Bob Smith", mountAt("vfat", "/dev/sdb1"), "/dev/sdb1", "/Users/Bob Smith"},
        {dir / "Users", mountAt("fuseblk", escaped(dir / "disk.img")), dir / "disk.img", "/Users"},
        {dir / "Users", root, "/dev/sda2", mp + "/Users"},
    };
    for (const auto& c : cases) {
        test::RecordingHost host;
        TScanSource out;
        TScanChoice choice = Choice(2);
        choice.FolderPath = c.folder;
        ASSERT_TRUE(BuildScanSource(choice, host, out, c.info)) << c.folder;
        EXPECT_EQ(out.Src, c.src) << c.folder;
        EXPECT_EQ(out.PathFilter, c.filter) << c.folder;
        EXPECT_EQ(out.Where, TScanWhere::swFolder);
    }

    // Folders that cannot be scanned through a local volume raise translated errors.
    struct Bad { std::string info; const char* message; };
    const std::vector<Bad> bad = {
        {mountAt("nfs4", "server:/export"), kMsgNetworkFolder},
        {mountAt("cifs", "//server/share"), kMsgNetworkFolder},
        {mountAt("fuse.sshfs", "bob@host:/"), kMsgNetworkFolder},
        {mountAt("tmpfs", "tmpfs"), kMsgNoLocalDrive},
        {mountAt("overlay", "overlay"), kMsgNoLocalDrive},
        {mountAt("fuse", escaped(dir / "missing.img")), kMsgNoLocalDrive},
        {"", kMsgNoLocalDrive},  // no mount holds it
    };
    for (const auto& b : bad) {
        TranslatingHost host;
        TScanSource out = kUntouched;
        TScanChoice choice = Choice(2);
        choice.FolderPath = dir / "Users";
        try {
            BuildScanSource(choice, host, out, b.info);
            ADD_FAILURE() << "no error for " << b.info;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "T(" + std::string(b.message) + ")") << b.info;
        }
        EXPECT_TRUE(host.events.empty());
        EXPECT_EQ(out.Src, "untouched");
    }
}

TEST(SourceSelection, FolderOnTheRealMountTable) {
    // Whatever this machine mounts, an existing folder either gives a source with a
    // "/"-rooted scope or raises one of the two folder errors; it never refuses.
    test::TempDir dir;
    test::RecordingHost host;
    TScanSource out;
    TScanChoice choice = Choice(2);
    choice.FolderPath = dir.path();
    try {
        ASSERT_TRUE(BuildScanSource(choice, host, out));
        EXPECT_FALSE(out.Src.empty());
        ASSERT_FALSE(out.PathFilter.empty());
        EXPECT_EQ(out.PathFilter[0], '/');
    } catch (const std::runtime_error& e) {
        const std::string m = e.what();
        EXPECT_TRUE(m == kMsgNoLocalDrive || m == kMsgNetworkFolder) << m;
    }
    EXPECT_TRUE(host.events.empty());
}

TEST(SourceSelection, NormalizeFolderFilter) {
    struct Case { const char* path; const char* want; };
    const Case cases[] = {
        {"C:\\Users\\Bob\\", "/Users/Bob"}, {"D:\\", "/"}, {"D:", "/"}, {"D:\\a\\\\b\\", "/a/b"},
        {"E:\\$Recycle.Bin", "/$Recycle.Bin"}, {"c:/Mixed/Case/", "/Mixed/Case"}, {"  D:\\x  ", "/x"},
        {"/Users/Bob", "/Users/Bob"}, {"//a///b//", "/a/b"}, {"/", "/"}, {"Users/Bob", "/Users/Bob"},
        {"", ""}, {" \t ", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(NormalizeFolderFilter(c.path), c.want) << c.path;

    for (const char* unc : {"\\\\server\\share\\x", "\\x", "  \\\\server"}) {
        EXPECT_THROW(NormalizeFolderFilter(unc), std::runtime_error) << unc;
    }
    TranslatingHost host;
    try {
        NormalizeFolderFilter("\\\\server\\share", &host);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "T(" + std::string(kMsgNetworkFolder) + ")");
    }
}

TEST(SourceSelection, CurrentScanWhereMapsTheListIndex) {
    EXPECT_EQ(CurrentScanWhere(0), TScanWhere::swDisk);
    EXPECT_EQ(CurrentScanWhere(1), TScanWhere::swDiskImage);
    EXPECT_EQ(CurrentScanWhere(2), TScanWhere::swFolder);
    EXPECT_EQ(CurrentScanWhere(3), TScanWhere::swRecycleBin);
    EXPECT_EQ(CurrentScanWhere(-1), TScanWhere::swDisk);
    EXPECT_EQ(CurrentScanWhere(4), TScanWhere::swDisk);
}

} // namespace
} // namespace brivo
