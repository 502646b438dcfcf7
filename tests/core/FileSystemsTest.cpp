// The rows of the file-system table over real volumes, and the exFAT boot sector's one
// decoding at the three strictnesses its users ask for.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "core/ExFatBootSector.h"
#include "core/FileSystems.h"
#include "core/FsDetect.h"

namespace brivo {
namespace {

ByteSpan Span(const std::string& s) { return ByteSpan(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

// n bytes of a file from at; fewer at its end.
std::string ReadPart(const std::string& path, uint64_t at, size_t n) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(at));
    std::string b(n, '\0');
    in.read(b.data(), static_cast<std::streamsize>(n));
    b.resize(static_cast<size_t>(in.gcount()));
    return b;
}

void PutLe(std::string& b, size_t at, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Each row takes its own kind's volume and no other's, in detection and in the search's
// reading of the first copy; what no row detects (ext) only the search-only row reads.
TEST(FileSystems, EachRowTakesItsOwnVolumeOnly) {
    const struct {
        const char* image;
        TFsKind kind;
    } volumes[] = {
        {"ntfs.img", TFsKind::Ntfs},   {"exfat.img", TFsKind::ExFat}, {"fat32.img", TFsKind::Fat32},
        {"fat16.img", TFsKind::Fat16}, {"fat12.img", TFsKind::Fat12}, {"ext4-deleted.img", TFsKind::NotRecognised},
    };
    for (const auto& v : volumes) {
        test::TempDir dir;
        const std::string path = test::UnpackFixture(v.image, dir);
        const uint64_t size = std::filesystem::file_size(path);
        const std::string head = ReadPart(path, 0, kDetectBytes);
        ASSERT_EQ(head.size(), kDetectBytes) << v.image;
        EXPECT_EQ(DetectFileSystemFromHead(Span(head)), v.kind) << v.image;
        for (const TFsInfo& fs : FileSystemTable()) {
            const bool own = fs.Kind == v.kind;
            EXPECT_EQ(fs.Recognise(Span(head)), own) << v.image << " as " << fs.Name;
            const auto facts = fs.Facts(Span(head).subspan(fs.CopyOffset, fs.CopyBytes));
            ASSERT_EQ(facts.has_value(), own) << v.image << " as " << fs.Name;
            if (!own) continue;
            EXPECT_EQ(facts->Kind, v.kind) << v.image;
            EXPECT_GT(facts->LengthBytes, 0u) << v.image;
            EXPECT_LE(facts->LengthBytes, size) << v.image;
            // The structure the copy points to is where it says.
            EXPECT_TRUE(fs.StructureLooksRight(*facts, Span(ReadPart(path, facts->StructureOffset, 512)))) << v.image;
            if (fs.IsVolumeBootRecord) {
                EXPECT_TRUE(fs.IsVolumeBootRecord(Span(head).first(512))) << v.image;
            }
        }
        bool searchOnly = false;
        for (const TFsInfo& fs : SearchOnlyFileSystems())
            searchOnly = searchOnly || fs.Facts(Span(head).subspan(fs.CopyOffset, fs.CopyBytes)).has_value();
        EXPECT_EQ(searchOnly, v.kind == TFsKind::NotRecognised) << v.image;
    }
}

TEST(FileSystems, NamesAndEngineSwitches) {
    EXPECT_EQ(FsKindName(TFsKind::Fat16), "FAT16");
    EXPECT_EQ(FsKindName(TFsKind::NotRecognised), "not recognised");
    EXPECT_EQ(FsSwitchForKind(TFsKind::Fat12), " -f fat");
    EXPECT_EQ(FsSwitchForKind(TFsKind::NotRecognised), "");
    for (const TFsInfo& fs : FileSystemTable()) EXPECT_EQ(FindFileSystem(fs.Kind), &fs) << fs.Name;
}

// A hand-made exFAT boot sector: 512-byte sectors, 4 KiB clusters, one FAT.
std::string ExFatSector() {
    std::string s(512, '\0');
    s.replace(0, 3, "\xEB\x76\x90");
    s.replace(3, 8, "EXFAT   ");
    PutLe(s, 72, 32768, 8);   // sectors: 16 MiB
    PutLe(s, 80, 128, 4);     // FAT offset
    PutLe(s, 84, 128, 4);     // FAT length
    PutLe(s, 88, 256, 4);     // heap offset
    PutLe(s, 92, 4000, 4);    // clusters
    PutLe(s, 96, 4, 4);       // root cluster
    PutLe(s, 100, 0xCAFE1234, 4);
    s[108] = 9;
    s[109] = 3;
    s[110] = 1;
    PutLe(s, 510, 0xAA55, 2);
    return s;
}

// Detection is the loosest, the reader checks where its structures are, the search for
// lost volumes checks what a stray copy would get wrong: one decoding of the fields.
TEST(ExFatBootSector, OneDecodingThreeStrictnesses) {
    using Edit = void (*)(std::string&);
    const struct {
        const char* what;
        Edit edit;
        bool detected, parsed, searched;
    } cases[] = {
        {"as formatted", [](std::string&) {}, true, true, true},
        {"no end mark", [](std::string& s) { s[510] = 0; }, false, false, false},
        {"another name", [](std::string& s) { s[3] = 'F'; }, false, false, false},
        {"4 KiB sectors", [](std::string& s) { s[108] = 12; s[109] = 0; }, true, true, true},
        {"sector shift 13", [](std::string& s) { s[108] = 13; }, false, false, false},
        {"64 MiB clusters", [](std::string& s) { s[109] = 17; }, false, false, false},
        {"no FAT", [](std::string& s) { s[110] = 0; }, false, false, false},
        {"three FATs", [](std::string& s) { s[110] = 3; }, true, false, false},
        {"a parameter block where zeros belong", [](std::string& s) { PutLe(s, 11, 512, 2); }, true, true, false},
        {"root cluster past the heap", [](std::string& s) { PutLe(s, 96, 9000, 4); }, true, false, true},
        {"FAT inside the boot regions", [](std::string& s) { PutLe(s, 80, 12, 4); }, true, true, false},
        {"no sectors", [](std::string& s) { PutLe(s, 72, 0, 8); }, true, true, false},
    };
    for (const auto& c : cases) {
        std::string s = ExFatSector();
        c.edit(s);
        TExFatBoot boot;
        std::string why;
        EXPECT_EQ(IsExFatBootSector(Span(s)), c.detected) << c.what;
        EXPECT_EQ(ParseExFatBootSector(Span(s), boot, why), c.parsed) << c.what;
        EXPECT_EQ(why.empty(), c.parsed) << c.what;
        const auto f = ExFatVolumeFacts(Span(s));
        ASSERT_EQ(f.has_value(), c.searched) << c.what;
        if (c.parsed && c.searched) {
            EXPECT_EQ(f->LengthBytes, boot.VolumeBytes) << c.what;
            EXPECT_EQ(f->StructureOffset, boot.FatOffset) << c.what;
            EXPECT_EQ(f->Serial, boot.SerialNumber) << c.what;
            EXPECT_EQ(f->BackupOffset, 12u * boot.BytesPerSector) << c.what;
            EXPECT_EQ(f->CopyBytes, 12u * boot.BytesPerSector) << c.what;
        }
    }
    EXPECT_FALSE(IsExFatBootSector(Span(ExFatSector().substr(0, 511))));
}

} // namespace
} // namespace brivo
