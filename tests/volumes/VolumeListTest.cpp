#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "TestSupport.h"
#include "volumes/VolumeList.h"

namespace brivo {
namespace {

// Every byte of a volume, read in pieces of an odd size so reads cross the
// containers' chunk and block boundaries.
std::string ReadAll(TByteSource& src) {
    std::string out(src.Size(), '\0');
    uint64_t at = 0;
    while (at < out.size()) {
        const size_t n = std::min<uint64_t>(777777, out.size() - at);
        const int64_t r = src.ReadAt(at, out.data() + at, n);
        EXPECT_EQ(r, static_cast<int64_t>(n)) << src.Name() << " at " << at << ": " << src.LastError();
        if (r <= 0) break;
        at += static_cast<uint64_t>(r);
    }
    return out;
}

struct VolumeRow {
    uint32_t index;
    uint64_t start, length;
    std::string typeName, name, fs;
    bool operator==(const VolumeRow&) const = default;
};

std::vector<VolumeRow> Rows(const TSourceVolumes& s) {
    std::vector<VolumeRow> rows;
    for (const auto& v : s.Volumes) rows.push_back({v.Index, v.StartSector, v.SectorCount, v.TypeName, v.Name, v.Fs.Name});
    return rows;
}

TEST(VolumeList, GptDiskInEveryContainerHoldsTheSameVolumesAndBytes) {
    test::TempDir dir;
    const std::string raw = test::UnpackFixture("gpt-disk.img", dir);
    const TSourceVolumes ref = ListVolumes(raw);
    EXPECT_EQ(ref.Scheme, TPartitionScheme::Gpt);
    EXPECT_TRUE(ref.Problems.empty());
    const std::vector<VolumeRow> expected = {
        {1, 2048, 73728, "Microsoft basic data", "Photos", "FAT32"},
        {2, 75776, 32768, "Microsoft basic data", "Data", "NTFS"},
        {3, 108544, 16384, "Microsoft basic data", "Backup", "exFAT"},
    };
    EXPECT_EQ(Rows(ref), expected);

    std::vector<std::string> refBytes;
    for (const auto& v : ref.Volumes) refBytes.push_back(ReadAll(*OpenVolumeSource(ref, v)));

    struct Case { const char* file; TContainerKind kind; const char* format; };
    for (const Case& c : {Case{"gpt-disk.E01", TContainerKind::Ewf, "E01"}, Case{"gpt-disk.vhd", TContainerKind::Vhd, "VHD"},
                          Case{"gpt-disk.vhdx", TContainerKind::Vhdx, "VHDX"}, Case{"gpt-disk.vmdk", TContainerKind::Vmdk, "VMDK"},
                          Case{"gpt-disk.qcow2", TContainerKind::Qcow, "QCOW2"}}) {
        SCOPED_TRACE(c.file);
        // Renamed: the container is found by its signature, not its name. Not a VMDK,
        // whose descriptor names its extent file.
        const std::string path = test::UnpackFixture(c.file, dir);
        std::string renamed = path;
        if (c.kind != TContainerKind::Vmdk) {
            renamed = dir / (std::string(c.file) + ".bin");
            ASSERT_EQ(::rename(path.c_str(), renamed.c_str()), 0);
        }
        const TSourceVolumes s = ListVolumes(renamed);
        EXPECT_EQ(s.Container, c.kind);
        EXPECT_EQ(s.ContainerFormat, c.format);
        EXPECT_EQ(Rows(s), expected);
        ASSERT_EQ(s.Volumes.size(), ref.Volumes.size());
        for (size_t i = 0; i < s.Volumes.size(); ++i)
            EXPECT_TRUE(ReadAll(*OpenVolumeSource(s, s.Volumes[i])) == refBytes[i]) << "volume " << s.Volumes[i].Index;
    }
}

TEST(VolumeList, MbrDiskWithLogicalVolumesAndItsSplitE01) {
    test::TempDir dir;
    const std::string raw = test::UnpackFixture("mbr-ext-disk.img", dir);
    for (const char* seg : {"mbr-ext-disk.E01", "mbr-ext-disk.E02", "mbr-ext-disk.E03", "mbr-ext-disk.E04",
                            "mbr-ext-disk.E05", "mbr-ext-disk.E06"})
        test::UnpackFixture(seg, dir);
    const TSourceVolumes a = ListVolumes(raw);
    const TSourceVolumes b = ListVolumes(dir / "mbr-ext-disk.E01");
    EXPECT_EQ(a.Scheme, TPartitionScheme::Mbr);
    EXPECT_EQ(b.Container, TContainerKind::Ewf);
    ASSERT_EQ(a.Volumes.size(), 3u);
    EXPECT_EQ(Rows(a), Rows(b));
    EXPECT_EQ(a.Volumes[0].Index, 1u);
    EXPECT_EQ(a.Volumes[1].Index, 5u);
    EXPECT_EQ(a.Volumes[2].Index, 6u);
    EXPECT_EQ(a.Volumes[0].Fs.Name, "NTFS");
    EXPECT_EQ(a.Volumes[1].Fs.Name, "FAT32");
    EXPECT_EQ(a.Volumes[2].Fs.Name, "NTFS");
    EXPECT_EQ(a.Volumes[1].Type, "0x0C");
    // The last volume lies in the last segments: its bytes come through the whole set.
    EXPECT_TRUE(ReadAll(*OpenVolumeSource(a, a.Volumes[2])) == ReadAll(*OpenVolumeSource(b, b.Volumes[2])));

    // A set with a segment missing is refused with a message that says so.
    ASSERT_EQ(::unlink((dir / "mbr-ext-disk.E03").c_str()), 0);
    try {
        ListVolumes(dir / "mbr-ext-disk.E01");
        FAIL() << "opened a set with a missing segment";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("The E01 image"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("segment"), std::string::npos) << e.what();
    }
}

TEST(VolumeList, BadSourcesGiveMessagesAPersonUnderstands) {
    test::TempDir dir;
    test::WriteFileBytes(dir / "empty.img", "");
    test::WriteFileBytes(dir / "notes.txt", std::string(2000, 'x'));

    auto message = [](const std::string& path) {
        try {
            ListVolumes(path);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("(opened)");
    };
    EXPECT_EQ(message(dir / "missing.img"), "No such file or directory: " + (dir / "missing.img"));
    EXPECT_EQ(message(dir / "empty.img"), "The source is empty (it holds no data): " + (dir / "empty.img"));

    // Not a disk image: it opens as one volume with nothing recognised in it.
    const TSourceVolumes text = ListVolumes(dir / "notes.txt");
    EXPECT_EQ(text.Scheme, TPartitionScheme::None);
    ASSERT_EQ(text.Volumes.size(), 1u);
    EXPECT_EQ(text.Volumes[0].Fs.Name, "");
    EXPECT_FALSE(text.Volumes[0].Scannable());

    // A container cut short: either it is refused when opened, or a read past the cut
    // fails with the container's own message; never zeros passed off as data.
    const std::string e01 = test::UnpackFixture("gpt-disk.E01", dir);
    const std::string bytes = test::ReadFileBytes(e01);
    test::WriteFileBytes(dir / "cut.E01", bytes.substr(0, bytes.size() / 2));
    try {
        const TSourceVolumes cut = ListVolumes(dir / "cut.E01");
        std::string data(1 << 20, '\0');
        bool failed = false;
        for (uint64_t at = 0; at < cut.DiskSize && !failed; at += data.size())
            failed = cut.Disk->ReadAt(at, data.data(), data.size()) < 0;
        ASSERT_TRUE(failed);
        EXPECT_NE(cut.Disk->LastError().find("The E01 image cannot be read at byte"), std::string::npos)
            << cut.Disk->LastError();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("The E01 image " + dir / "cut.E01" + " cannot be opened"), std::string::npos)
            << e.what();
    }
}

TEST(VolumeList, ChoosingAVolume) {
    test::TempDir dir;
    const TSourceVolumes s = ListVolumes(test::UnpackFixture("gpt-disk.img", dir));
    EXPECT_EQ(ChooseVolume(s, 2).Index, 2u);
    try {
        ChooseVolume(s, 0);
        FAIL() << "chose one of several volumes by itself";
    } catch (const TVolumeChoiceError& e) {
        const std::string m = e.what();
        EXPECT_NE(m.find("holds 3 volumes"), std::string::npos) << m;
        EXPECT_NE(m.find("\n  2  NTFS  16.0 MiB  Microsoft basic data  \"Data\"  (sectors 75776-108543)"),
                  std::string::npos) << m;
    }
    EXPECT_THROW(ChooseVolume(s, 4), TVolumeChoiceError);

    // One volume that holds a file system beside ones that hold none is chosen by itself.
    TSourceVolumes one = s;
    one.Volumes[0].Fs = {};
    one.Volumes[2].Fs = {};
    EXPECT_EQ(ChooseVolume(one, 0).Index, 2u);

    // The engine finds the volume by its offset in 512-byte sectors and by the image type.
    EXPECT_EQ(EngineVolumeArgs(s, s.Volumes[1]), (std::vector<std::string>{"-o", "75776"}));
    TSourceVolumes e01 = s;
    e01.Container = TContainerKind::Ewf;
    EXPECT_EQ(EngineVolumeArgs(e01, s.Volumes[0]), (std::vector<std::string>{"-i", "ewf", "-o", "2048"}));
    TSourceVolumes qcow = s;
    qcow.Container = TContainerKind::Qcow;
    EXPECT_THROW(EngineVolumeArgs(qcow, s.Volumes[2]), std::runtime_error);
    const TSourceVolumes whole = ListVolumes(test::UnpackFixture("ntfs.img", dir));
    EXPECT_TRUE(EngineVolumeArgs(whole, whole.Volumes[0]).empty());
    EXPECT_EQ(whole.Volumes[0].Fs.Name, "NTFS");
}

TEST(VolumeList, FileSystemsAreNamedInWords) {
    test::TempDir dir;
    struct Case { const char* fixture; const char* name; TFsKind kind; };
    for (const Case& c : {Case{"ntfs.img", "NTFS", TFsKind::Ntfs}, Case{"fat32.img", "FAT32", TFsKind::Fat32},
                          Case{"fat16.img", "FAT16", TFsKind::Fat16}, Case{"exfat.img", "exFAT", TFsKind::ExFat}}) {
        const TSourceVolumes s = ListVolumes(test::UnpackFixture(c.fixture, dir));
        ASSERT_EQ(s.Volumes.size(), 1u) << c.fixture;
        EXPECT_EQ(s.Volumes[0].Fs.Name, c.name) << c.fixture;
        EXPECT_EQ(s.Volumes[0].Fs.Kind, c.kind) << c.fixture;
        EXPECT_TRUE(s.Volumes[0].Fs.EngineReadable) << c.fixture;
    }
    // Signatures deeper in the volume: ext4 superblock, ISO 9660 descriptor, HFS+ header.
    struct Sig { size_t at; std::string bytes; const char* name; };
    for (const Sig& g : {Sig{1024 + 56, std::string("\x53\xEF", 2), "ext2"}, Sig{32769, "CD001", "ISO 9660"},
                         Sig{1024, "H+", "HFS+"}, Sig{0, "XFSB", "XFS"}}) {
        std::vector<uint8_t> v(80 * 1024, 0);
        std::memcpy(v.data() + g.at, g.bytes.data(), g.bytes.size());
        auto src = MakeMemoryByteSource(v, "probe");
        EXPECT_EQ(ProbeFileSystem(*src).Name, g.name);
    }
}

} // namespace
} // namespace brivo

namespace brivo {
namespace {

// An image that ends before its file system does is listed with the length the file system
// gives and a warning, for every kind whose boot sector or superblock gives a length; the
// whole image, or a partition entry cut short, the same.
TEST(VolumeList, AVolumeShorterThanItsFileSystemIsSaidToBeCutShort) {
    test::TempDir dir;
    const struct {
        const char* fixture;
        uint64_t keep;
    } cases[] = {{"ntfs.img", 3000000}, {"fat32.img", 10u << 20}, {"exfat.img", 6000000}, {"ext4-deleted.img", 3000000}};
    for (const auto& t : cases) {
        SCOPED_TRACE(t.fixture);
        const std::string img = test::UnpackFixture(t.fixture, dir);
        const uint64_t full = std::filesystem::file_size(img);
        const TSourceVolumes whole = ListVolumes(img);
        ASSERT_EQ(whole.Volumes.size(), 1u);
        EXPECT_EQ(whole.Volumes[0].FsLengthBytes, 0u);
        EXPECT_TRUE(whole.Problems.empty());
        std::filesystem::resize_file(img, t.keep);
        const TSourceVolumes cut = ListVolumes(img);
        ASSERT_EQ(cut.Volumes.size(), 1u);
        const TVolume& v = cut.Volumes[0];
        EXPECT_FALSE(v.Fs.Name.empty());
        EXPECT_EQ(v.SizeBytes, t.keep);
        EXPECT_GE(v.FsLengthBytes, full - 4096);
        EXPECT_LE(v.FsLengthBytes, full);
        EXPECT_NE(DescribeVolume(v, 512).find("cut short"), std::string::npos) << DescribeVolume(v, 512);
        ASSERT_EQ(cut.Problems.size(), 1u);
        EXPECT_EQ(cut.Problems[0], CutShortWarning(cut, v));
        EXPECT_NE(cut.Problems[0].find("The source ends before its " + v.Fs.Name + " volume does"), std::string::npos)
            << cut.Problems[0];
    }

    // A partition entry that gives half its volume's sectors.
    const std::string disk = test::UnpackFixture("mbr-fat32.img", dir);
    std::string bytes = test::ReadFileBytes(disk);
    uint32_t sectors = 0;
    std::memcpy(&sectors, bytes.data() + 0x1CA, 4);
    ASSERT_GT(sectors, 0u);
    sectors /= 2;
    std::memcpy(bytes.data() + 0x1CA, &sectors, 4);
    test::WriteFileBytes(disk, bytes);
    const TSourceVolumes part = ListVolumes(disk);
    ASSERT_FALSE(part.Volumes.empty());
    EXPECT_GT(part.Volumes[0].FsLengthBytes, part.Volumes[0].SizeBytes);
    ASSERT_FALSE(part.Problems.empty());
    EXPECT_NE(part.Problems.back().find("Volume 1 is shorter than its FAT32 file system"), std::string::npos)
        << part.Problems.back();
}

} // namespace
} // namespace brivo
