#include <gtest/gtest.h>

#include <map>
#include <string>

#include "FatMemVolume.h"
#include "core/ByteSource.h"
#include "fat32/Fat32Log.h"
#include "fat32/Fat32Volume.h"
#include "fat32/Fat32Walk.h"
#include "fat32/FatDeepScan.h"

using namespace brivo;
using namespace brivo::test;

namespace {

std::vector<FatEntry> Join(std::initializer_list<std::vector<FatEntry>> parts) {
    std::vector<FatEntry> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A deleted file with a long name: its long-name slot and short slot, 0xE5 on both.
std::vector<FatEntry> GoneFile(const std::u16string& name, const std::string& short11, uint32_t start, uint32_t size) {
    return Deleted(Named(name, FileEntry(short11, start, size)));
}

class CountingStop : public TNullReport {
public:
    explicit CountingStop(int allowed) : allowed_(allowed) {}
    bool StopRequested() const override { return calls_++ >= allowed_; }

private:
    int allowed_;
    mutable int calls_ = 0;
};

std::map<std::string, std::string> FilesByName(const TFatDeepResult& r) {
    std::map<std::string, std::string> out;
    for (const auto& e : r.Entries)
        if (!(e.Item.Attr & 0x10)) out[e.Item.Name] = e.ParentPath;
    return out;
}

} // namespace

TEST(FatDeepScan, ClusterVerdictsOnDirectoriesAndNearMisses) {
    FatMemVolume vol(64);
    const TFatVolumeView view = vol.View();
    struct Case {
        const char* what;
        std::function<void(uint8_t*)> fill;
        TFatClusterKind want;
    };
    auto put = [](std::vector<FatEntry> entries) {
        return [entries](uint8_t* p) {
            for (size_t i = 0; i < entries.size(); ++i) std::memcpy(p + i * 32, entries[i].data(), 32);
        };
    };
    const std::string text = "The quick brown fox jumps over the lazy dog. ";
    const std::vector<Case> cases = {
        {"zeros", [](uint8_t*) {}, TFatClusterKind::NotDirectory},
        {"random bytes",
         [](uint8_t* p) {
             uint32_t s = 99;
             for (int i = 0; i < 512; ++i) p[i] = uint8_t((s = s * 1103515245u + 12345u) >> 16);
         },
         TFatClusterKind::NotDirectory},
        {"text full of spaces", [](uint8_t* p) { std::memset(p, ' ', 512); }, TFatClusterKind::NotDirectory},
        {"prose",
         [&](uint8_t* p) {
             for (int i = 0; i < 512; ++i) p[i] = uint8_t(text[size_t(i) % text.size()]);
         },
         TFatClusterKind::NotDirectory},
        {"upper-case report",
         [](uint8_t* p) {
             const std::string t = "QUARTERLY REPORT 2024 - TOTALS ";
             for (int i = 0; i < 512; ++i) p[i] = uint8_t(t[size_t(i) % t.size()]);
         },
         TFatClusterKind::NotDirectory},
        {"FAT16 sector",
         [](uint8_t* p) {
             p[0] = 0xF8, p[1] = p[2] = p[3] = 0xFF;
             for (int c = 2; c < 256; ++c) PutLe16(p + 2 * c, uint16_t(c + 1));
         },
         TFatClusterKind::NotDirectory},
        {"FAT32 sector",
         [](uint8_t* p) {
             PutLe32(p, 0x0FFFFFF8), PutLe32(p + 4, 0x0FFFFFFF);
             for (int c = 2; c < 128; ++c) PutLe32(p + 4 * c, c % 9 ? uint32_t(c + 1) : 0x0FFFFFFF);
         },
         TFatClusterKind::NotDirectory},
        {"folder start", put(Join({DotEntries(10, 0), GoneFile(u"Beach.jpg", "BEACH   JPG", 11, 700)})),
         TFatClusterKind::FolderStart},
        {"continuation", put(Join({GoneFile(u"One.jpg", "ONE     JPG", 20, 10), GoneFile(u"Two.jpg", "TWO     JPG", 21, 10)})),
         TFatClusterKind::Continuation},
        {"one undated entry without a long name", put({FileEntry("A       TXT", 20, 10)}), TFatClusterKind::NotDirectory},
        {"two dated entries", put({FileEntry("A       TXT", 20, 10), FileEntry("B       TXT", 21, 10)}),
         TFatClusterKind::Continuation},
        {"lower-case name", put({FileEntry("a       txt", 20, 10), FileEntry("B       TXT", 21, 10)}),
         TFatClusterKind::NotDirectory},
        {"size past the volume", put({FileEntry("A       TXT", 60, 9000), FileEntry("B       TXT", 21, 10)}),
         TFatClusterKind::NotDirectory},
        {"first cluster past the volume", put({FileEntry("A       TXT", 70, 10), FileEntry("B       TXT", 21, 10)}),
         TFatClusterKind::NotDirectory},
        {"\".\" pointing elsewhere", put(DotEntries(11, 0)), TFatClusterKind::NotDirectory},
        {"\"..\" in the middle",
         put(Join({{FileEntry("A       TXT", 20, 10), FileEntry("B       TXT", 21, 10)}, DotEntries(10, 0)})),
         TFatClusterKind::NotDirectory},
        {"bytes after the end marker",
         [&](uint8_t* p) {
             put(Join({DotEntries(10, 0), GoneFile(u"Beach.jpg", "BEACH   JPG", 11, 700)}))(p);
             p[500] = 0x41;
         },
         TFatClusterKind::NotDirectory},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> bytes(512, 0);
        c.fill(bytes.data());
        EXPECT_EQ(ClassifyDirCluster(bytes, 10, view).Kind, c.want) << c.what;
    }
}

// A deleted folder the walk read (cluster 10) that grew twice while its files were written
// (clusters 22 and 31), a subfolder found only in free space (40), a directory cluster no
// evidence ties to any folder (60), and free clusters that only look busy.
struct DeletedTreeVolume : FatMemVolume {
    DeletedTreeVolume() : FatMemVolume(120) {
        Use(2);
        // Folder start: "." "..", seven files of one cluster (11..17, the last one 17..21).
        std::vector<FatEntry> first = DotEntries(10, 0);
        for (int i = 0; i < 7; ++i) {
            const std::string s = "PIC" + std::to_string(i) + "    JPG";
            const auto f = GoneFile(u"Picture " + std::u16string(1, char16_t(u'0' + i)) + u".jpg", s, uint32_t(11 + i),
                                    i == 6 ? 5 * 512 : 300);
            first.insert(first.end(), f.begin(), f.end());
        }
        PutEntries(10, first);
        // Second cluster: seven files (23..28, the last 29..30) and the two long-name slots of the next.
        std::vector<FatEntry> second;
        for (int i = 0; i < 7; ++i) {
            const std::string s = "MORE" + std::to_string(i) + "   JPG";
            const auto f = GoneFile(u"More " + std::u16string(1, char16_t(u'0' + i)) + u".jpg", s, uint32_t(23 + i),
                                    i == 6 ? 1000 : 300);
            second.insert(second.end(), f.begin(), f.end());
        }
        const auto split = GoneFile(u"Split name.jpg", "SPLIT   JPG", 32, 300);
        second.push_back(split[0]);
        second.push_back(split[1]);
        PutEntries(22, second);
        // Third cluster: the split entry's short slot, two files, the subfolder.
        PutEntries(31, Join({{split[2]}, GoneFile(u"Last.jpg", "LAST    JPG", 33, 300),
                             Deleted(Named(u"Sub", DirEntry("SUB        ", 40)))}));
        PutEntries(40, Join({DotEntries(40, 10), GoneFile(u"Inner.jpg", "INNER   JPG", 41, 300)}));
        // Nothing ends right before 60, and its entries start far away.
        Random(59, 5);
        PutEntries(60, Join({GoneFile(u"Stray one.jpg", "STRAY1  JPG", 70, 300), GoneFile(u"Stray two.jpg", "STRAY2  JPG", 71, 300)}));
        for (uint32_t c : {11u, 12u, 23u, 24u, 41u}) Random(c, c);
        Random(80, 80);
        for (uint32_t i = 0; i < 128; ++i) PutLe32(Cluster(81) + 4 * i, i < 2 ? 0x0FFFFFFF : i + 1);  // a FAT copy
        Fill(82, ' ');
        // In use: never swept, whatever it holds.
        PutEntries(90, Join({DotEntries(90, 0), GoneFile(u"Live dir file.jpg", "LIVE    JPG", 91, 300)}));
        Use(90);
    }
    TFatDeepInput Input() const {
        TFatDeepInput in;
        in.KnownDirs = {{"", {2}, false}, {"/_ICTURES", {10}, true}};
        in.WalkClusters = {2, 10};
        return in;
    }
};

TEST(FatDeepScan, JoinsScatteredFolderClustersAndNamesFoldersFoundInFreeSpace) {
    DeletedTreeVolume vol;
    TNullReport report;
    const TFatDeepResult r = RunFatDeepSweep(vol.View(), vol.Input(), report);
    const auto files = FilesByName(r);
    const std::map<std::string, std::string> want = {
        {"More 0.jpg", "/_ICTURES"},  {"More 6.jpg", "/_ICTURES"},        {"Split name.jpg", "/_ICTURES"},
        {"Last.jpg", "/_ICTURES"},    {"Inner.jpg", "/_ICTURES/Sub"},
        {"Stray one.jpg", "/$OrphanFiles/Folder at cluster 60"}, {"Stray two.jpg", "/$OrphanFiles/Folder at cluster 60"}};
    for (const auto& [name, parent] : want) {
        ASSERT_TRUE(files.count(name)) << name;
        EXPECT_EQ(files.at(name), parent) << name;
    }
    // The walk listed the folder's first cluster; the live cluster is not swept.
    EXPECT_FALSE(files.count("Picture 0.jpg"));
    EXPECT_FALSE(files.count("Live dir file.jpg"));
    EXPECT_EQ(files.size(), 12u) << "every file of clusters 22 (7), 31 (2), 40 (1) and 60 (2)";
    EXPECT_EQ(r.DirClusters, (std::unordered_set<uint32_t>{22, 31, 40, 60}));
    EXPECT_EQ(r.Stats.Joined, 2u);
    // Entries carry their own position, for the engine-style address.
    for (const auto& e : r.Entries) {
        if (e.Item.Name == "Last.jpg") {
            EXPECT_EQ(e.Item.EntryOffset, vol.Offset(31) + 2 * 32);
        }
    }
}

TEST(FatDeepScan, StopKeepsWhatWasFoundAndEndsTheSweep) {
    // Two sweep reads apart: a folder cluster in the first, another in the second.
    FatMemVolume vol(3 * 8192);
    vol.PutEntries(100, Join({DotEntries(100, 0), GoneFile(u"Early.jpg", "EARLY   JPG", 101, 300)}));
    vol.PutEntries(9000, Join({DotEntries(9000, 0), GoneFile(u"Late.jpg", "LATE    JPG", 9001, 300)}));
    TFatDeepInput in;
    {
        CountingStop stopAtOnce(0);
        const TFatDeepResult r = RunFatDeepSweep(vol.View(), in, stopAtOnce);
        EXPECT_TRUE(r.Stats.Stopped);
        EXPECT_TRUE(r.Entries.empty());
    }
    CountingStop stopAfterOne(1);
    const TFatDeepResult r = RunFatDeepSweep(vol.View(), in, stopAfterOne);
    EXPECT_TRUE(r.Stats.Stopped);
    EXPECT_EQ(r.Stats.ClustersRead, 8192u);
    const auto files = FilesByName(r);
    EXPECT_TRUE(files.count("Early.jpg"));
    EXPECT_FALSE(files.count("Late.jpg"));
    // Nothing names the folder: its files stay together under the orphans.
    EXPECT_EQ(files.at("Early.jpg"), "/$OrphanFiles/Folder at cluster 100");
}

// Folders whose own entry is gone keep their files together, under their parent when ".."
// leads to a folder that is known, else under the orphans; a named folder inside a lost one
// keeps its name.
TEST(FatDeepScan, LostFoldersKeepTheirFilesTogether) {
    FatMemVolume vol(200);
    vol.Use(2);
    vol.PutEntries(10, Join({DotEntries(10, 0), GoneFile(u"Top.txt", "TOP     TXT", 11, 300)}));
    vol.PutEntries(20, Join({DotEntries(20, 10), GoneFile(u"Under known.txt", "UNDERK~1TXT", 21, 300),
                             GoneFile(u"Second.txt", "SECOND  TXT", 22, 300)}));
    vol.PutEntries(40, Join({DotEntries(40, 150), Deleted(Named(u"Photos", DirEntry("PHOTOS     ", 30)))}));
    vol.PutEntries(30, Join({DotEntries(30, 40), GoneFile(u"Beach.jpg", "BEACH   JPG", 31, 300)}));
    TFatDeepInput in;
    in.KnownDirs = {{"", {2}, false}, {"/_ROJECT", {10}, true}};
    in.WalkClusters = {2, 10};
    TNullReport report;
    const auto files = FilesByName(RunFatDeepSweep(vol.View(), in, report));
    const std::map<std::string, std::string> want = {
        {"Under known.txt", "/_ROJECT/Folder at cluster 20"},
        {"Second.txt", "/_ROJECT/Folder at cluster 20"},
        {"Beach.jpg", "/$OrphanFiles/Folder at cluster 40/Photos"},
    };
    for (const auto& [name, parent] : want) {
        ASSERT_TRUE(files.count(name)) << name;
        EXPECT_EQ(files.at(name), parent) << name;
    }
    EXPECT_FALSE(files.count("Top.txt")) << "the walk lists the known folder's own files";
}

TEST(FatDeepScan, UnreadableClustersAreSkippedNotFatal) {
    DeletedTreeVolume vol;
    vol.readsLeft = 40;  // the first big read fails; the cluster-by-cluster reads then run out too
    TNullReport report;
    const TFatDeepResult r = RunFatDeepSweep(vol.View(), vol.Input(), report);
    EXPECT_FALSE(r.Stats.Stopped);
    EXPECT_LE(r.Entries.size(), 20u);
}

TEST(FatDeepScan, DeletedFolderEndingWithoutEndMarker) {
    std::vector<uint8_t> full(512, 0x41), ended(512, 0x41);
    ended[64] = 0;
    EXPECT_TRUE(DirDataLacksEndMarker(full));
    EXPECT_FALSE(DirDataLacksEndMarker(ended));
    EXPECT_FALSE(DirDataLacksEndMarker({}));
}

// The same through the reader: a deleted folder whose second cluster is not where its
// first one ends, and two deleted files written in turns.
TEST(FatDeepScan, ThroughTheWalk) {
    FatImage img(1, 96);
    img.Put(2, 0,
            Cat({Deleted(Named(u"Photos", DirEntry("PHOTOS     ", 10))), {Deleted(FileEntry("AA      DAT", 30, 512 + 100))},
                 {Deleted(FileEntry("BB      DAT", 31, 300))}, Deleted(Named(u"Gone", DirEntry("GONE       ", 50)))}));
    std::vector<FatEntry> first = DotEntries(10, 0);
    for (int i = 0; i < 7; ++i) {
        const auto f = Deleted(Named(u"Picture " + std::u16string(1, char16_t(u'0' + i)) + u".jpg",
                                     FileEntry("PIC" + std::to_string(i) + "    JPG", uint32_t(11 + i), i == 6 ? 1000 : 300)));
        first.insert(first.end(), f.begin(), f.end());
    }
    img.Put(10, 0, first);
    img.Put(19, 0, Cat({Deleted(Named(u"Later one.jpg", FileEntry("LATER1  JPG", 20, 300))),
                        Deleted(Named(u"Later two.jpg", FileEntry("LATER2  JPG", 21, 300)))}));
    // A folder nothing names any more.
    img.Put(40, 0, Cat({DotEntries(40, 0), Deleted(Named(u"Lost.txt", FileEntry("LOST    TXT", 41, 300)))}));
    // "Gone" still names cluster 50, but other data overwrote its entries (the cluster is
    // left blank here); its subfolder at 60 survives, pointing back at 50.
    img.Put(60, 0, Cat({DotEntries(60, 50), Deleted(Named(u"Inner.txt", FileEntry("INNER   TXT", 61, 300)))}));
    const TByteSourcePtr src = MakeMemoryByteSource(img.bytes);
    auto scan = [&](bool deep) {
        TReaderOptions opts;
        opts.Masks = {};
        opts.Deep = deep;
        opts.Cleanup = true;
        TNullReport report;
        TFat32Log log(report);
        return RunFat32Scan(log, OpenFat32Volume(*src, log), opts);
    };
    auto paths = [](const TReaderResult& r) {
        std::map<std::string, std::string> out;
        for (const auto& f : r.Found) out[f.FullPath] = f.Inode;
        return out;
    };

    const TReaderResult fast = scan(false);
    EXPECT_TRUE(fast.DeepMayFindMore);
    EXPECT_EQ(paths(fast).size(), 9u);  // seven pictures, A and B
    EXPECT_FALSE(paths(fast).count("/Photos/Later one.jpg"));

    // With the cleanup filter on, as by default: the lost folder's file is shown too.
    const TReaderResult deep = scan(true);
    EXPECT_FALSE(deep.DeepMayFindMore);
    EXPECT_EQ(deep.HiddenByCleanup, 0u);
    const auto found = paths(deep);
    EXPECT_EQ(found.size(), 13u);
    ASSERT_TRUE(found.count("/Photos/Later two.jpg"));
    EXPECT_TRUE(found.count("/Gone/Folder at cluster 60/Inner.txt"));
    EXPECT_EQ(found.at("/Photos/Later two.jpg"), img.Address(19, 3));
    EXPECT_TRUE(found.count("/$OrphanFiles/Folder at cluster 40/Lost.txt"));
    for (const auto& f : deep.Found) {
        const bool swept = f.FullPath.find("Later") != std::string::npos || f.FullPath.find("Lost") != std::string::npos ||
                           f.FullPath.find("Inner") != std::string::npos;
        EXPECT_EQ(f.FoundBy, swept ? TFoundBy::DeepSweep : TFoundBy::Metadata) << f.FullPath;
    }

    // A skips B's first cluster; B reads as it stands and has no plan.
    ASSERT_TRUE(deep.ClusterPlans);
    const std::string a = found.at("/_A.DAT");
    EXPECT_EQ(deep.ClusterPlans->size(), 1u);
    ASSERT_TRUE(deep.ClusterPlans->count(a));
    EXPECT_EQ(deep.ClusterPlans->at(a), (std::vector<uint32_t>{30, 32}));
    for (const auto& f : deep.Found) {
        if (f.Inode == a) {
            EXPECT_EQ(f.DamageText, "Excellent, in pieces");
            EXPECT_EQ(f.DamageScore, 100);
        }
    }
}

// A lost folder (cluster 20) whose ".." names cluster 10, which the live folder /NEW holds
// now. /NEW is its parent only when its own "." entry, agreeing with its entry in the
// root, dates it no later than the lost folder's "..".
TEST(FatDeepScan, ALiveFolderInTheClusterDotDotNamesMustBeOldEnoughToBeTheParent) {
    constexpr uint16_t k2020 = (40 << 9) | (1 << 5) | 1, k2023 = (43 << 9) | (1 << 5) | 1;
    struct Case {
        const char* what;
        uint16_t newBorn, newEntry, lostBorn;
        bool deletedEntryNames10;
        const char* want;
    };
    const Case cases[] = {
        {"made before the new folder, nothing else names the cluster", k2023, k2023, k2020, false,
         "/$OrphanFiles/Folder at cluster 20/Kept.txt"},
        {"made before the new folder, a deleted entry names the cluster", k2023, k2023, k2020, true,
         "/Old/Folder at cluster 20/Kept.txt"},
        {"made after the new folder", k2020, k2020, k2023, true, "/NEW/Folder at cluster 20/Kept.txt"},
        {"the new folder's \".\" disagrees with its entry", k2020, k2023, k2023, false,
         "/$OrphanFiles/Folder at cluster 20/Kept.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FatImage img(1, 96);
        std::vector<FatEntry> root = {ShortEntry("NEW        ", 0x10, 10, 0, c.newEntry)};
        if (c.deletedEntryNames10) root = Cat({root, Deleted(Named(u"Old", DirEntry("OLD        ", 10)))});
        img.Put(2, 0, root);
        img.Put(10, 0, {ShortEntry(".", 0x10, 10, 0, c.newBorn), ShortEntry("..", 0x10, 0, 0, c.newBorn)});
        img.SetFat(10, 0x0FFFFFFF);
        img.Put(20, 0, Cat({{ShortEntry(".", 0x10, 20, 0, c.lostBorn), ShortEntry("..", 0x10, 10, 0, c.lostBorn)},
                            Deleted(Named(u"Kept.txt", FileEntry("KEPT    TXT", 21, 300)))}));
        const TByteSourcePtr src = MakeMemoryByteSource(img.bytes);
        TReaderOptions opts;
        opts.Deep = true;
        TNullReport report;
        TFat32Log log(report);
        const TReaderResult r = RunFat32Scan(log, OpenFat32Volume(*src, log), opts);
        ASSERT_EQ(r.Found.size(), 1u);
        EXPECT_EQ(r.Found[0].FullPath, c.want);
    }
}
