#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>
#include <stdexcept>

#include "TestSupport.h"
#include "core/ByteSource.h"
#include "core/Extractor.h"
#include "core/ReaderReport.h"
#include "core/Sha256.h"
#include "exfat/ExFatExtractor.h"
#include "exfat/ExFatScan.h"
#include "exfat/ExFatVolume.h"
#include "volumes/VolumeList.h"

namespace brivo {
namespace {

using namespace brivo::test;

std::string Extract(TExtractor& x, const TFoundFile& f) {
    test::StringSink sink;
    x.Extract(f, sink);
    return sink.bytes;
}

bool HaveEngine() { return RunProcess({"fls", "-V"}).exitCode == 0; }

// The engine's deleted regular files: metadata address -> "/" path.
std::map<std::string, std::string> EngineDeletedFiles(const std::string& img, bool orphans) {
    const ProcessResult r = RunProcess({"fls", "-r", "-d", "-p", "-f", "exfat", img});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::map<std::string, std::string> out;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        const size_t colon = line.find(":\t");
        if (line.size() < 6 || line.compare(1, 2, "/r") != 0 || colon == std::string::npos) continue;
        const std::string path = "/" + line.substr(colon + 2);
        if ((path.rfind("/$OrphanFiles/", 0) == 0) != orphans) continue;
        std::string addr = line.substr(0, colon);
        addr = addr.substr(addr.find_last_of(" ") + 1);
        out[addr] = path;
    }
    return out;
}

std::string EngineCopy(const std::string& img, const std::string& address) {
    const ProcessResult r = RunProcess({"icat", "-R", "-f", "exfat", img, address});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
}

TReaderResult Scan(TByteSource& src, bool deep, TMaskList masks = {}, bool cleanup = false) {
    TNullReport report;
    TReaderOptions o;
    o.Masks = std::move(masks);
    o.Cleanup = cleanup;
    o.Deep = deep;
    return FastScanExFatDirect(src, report, o);
}

std::string Md5(const std::string& bytes, TempDir& dir) {
    WriteFileBytes(dir / "md5.tmp", bytes);
    return Md5OfFile(dir / "md5.tmp");
}

const char* kImages[] = {"exfat", "exfat-frag", "exfat-qformat", "exfat-grown"};

TEST(ExFatScan, ListsWhatTheEngineListsAtTheSameAddresses) {
    if (!HaveEngine()) GTEST_SKIP() << "fls is not installed";
    TempDir dir;
    for (const char* name : kImages) {
        SCOPED_TRACE(name);
        const std::string img = UnpackFixture(std::string(name) + ".img", dir);
        const TByteSourcePtr src = OpenRawByteSource(img);
        // The plain scan lists all the engine lists, lost entries too (it sweeps the free
        // clusters for entry sets as the engine does), at the same addresses: the walk's at
        // the same paths, the lost ones under a folder of their own or put back in theirs.
        for (const bool deep : {false, true}) {
            SCOPED_TRACE(deep ? "deep" : "plain");
            std::map<std::string, const TFoundFile*> mine;
            const TReaderResult r = Scan(*src, deep);
            for (const auto& f : r.Found) mine[f.Inode] = &f;
            const auto named = EngineDeletedFiles(img, false);
            for (const auto& [addr, path] : named) {
                ASSERT_TRUE(mine.count(addr)) << path << " @" << addr;
                // A set cut by its folder's cluster end: the engine keeps the name part it
                // has, the scan the whole name once the rest is found.
                EXPECT_EQ(mine[addr]->FullPath.rfind(path, 0), 0u) << mine[addr]->FullPath << " vs " << path;
                EXPECT_EQ(mine[addr]->FoundBy, TFoundBy::Metadata) << path;
            }
            const auto lost = EngineDeletedFiles(img, true);
            for (const auto& [addr, path] : lost) {
                ASSERT_TRUE(mine.count(addr)) << path << " @" << addr;
                EXPECT_TRUE(mine[addr]->FullPath.ends_with(path.substr(path.find_last_of('/')))) << mine[addr]->FullPath;
                EXPECT_EQ(mine[addr]->FoundBy, TFoundBy::DeepSweep) << path;
            }
            EXPECT_EQ(mine.size(), named.size() + lost.size()) << "nothing the engine does not list";
        }
    }
}

// Every result of every fixture, deep scan included, copied directly: the original bytes,
// and the engine's bytes up to the valid data length (the engine reads past it).
TEST(ExFatExtractor, CopiesTheOriginalBytesAndMatchesTheEngine) {
    const bool engine = HaveEngine();
    TempDir dir;
    for (const char* name : kImages) {
        SCOPED_TRACE(name);
        const std::string img = UnpackFixture(std::string(name) + ".img", dir);
        const TByteSourcePtr src = OpenRawByteSource(img);
        std::map<std::string, ManifestEntry> manifest;
        for (const auto& m : ReadManifest(name)) manifest[m.path] = m;
        const TReaderResult scan = Scan(*src, true);
        const auto x = MakeExFatExtractor(src, nullptr);
        size_t matched = 0;
        for (const auto& f : scan.Found) {
            SCOPED_TRACE(f.FullPath + " @" + f.Inode);
            const std::string mine = Extract(*x, f);
            ASSERT_EQ(mine.size(), static_cast<size_t>(f.SizeBytes));
            // Lost folders' results carry their own prefix; the manifest the original path.
            for (const auto& [path, m] : manifest)
                if (f.FullPath == path || (f.FullPath.ends_with(path.substr(path.find_last_of('/'))) &&
                                           f.FullPath.rfind("/$OrphanFiles/", 0) == 0)) {
                    EXPECT_EQ(Md5(mine, dir), m.md5);
                    ++matched;
                }
            if (!engine) continue;
            const std::string theirs = EngineCopy(img, f.Inode);
            if (f.FullPath == "/Mail/grown.log") {
                EXPECT_EQ(mine.substr(0, 6000), theirs.substr(0, 6000));
                EXPECT_EQ(mine.substr(6000), std::string(14000, '\0'));
                EXPECT_NE(theirs.substr(6000), mine.substr(6000));
            } else {
                EXPECT_TRUE(mine == theirs);
            }
        }
        EXPECT_EQ(matched, manifest.size()) << "every deleted file of the manifest";
    }
}

TEST(ExFatScan, QuickFormattedVolumeGivesBackItsSurvivingFolders) {
    TempDir dir;
    const std::string img = UnpackFixture("exfat-qformat.img", dir);
    const TByteSourcePtr src = OpenRawByteSource(img);
    const TReaderResult deep = Scan(*src, true, {}, true);
    // The new root knows nothing of the old tree: the sweep of free clusters, which the
    // plain scan runs too, finds it.
    std::map<std::string, std::string> plain, deepPaths;
    for (const auto& f : Scan(*src, false, {}, true).Found) plain[f.Inode] = f.FullPath;
    for (const auto& f : deep.Found) deepPaths[f.Inode] = f.FullPath;
    EXPECT_EQ(plain, deepPaths);
    std::map<std::string, const TFoundFile*> byName;
    for (const auto& f : deep.Found) {
        EXPECT_EQ(f.FoundBy, TFoundBy::DeepSweep);
        EXPECT_EQ(f.FullPath.rfind("/$OrphanFiles/Folder at cluster ", 0), 0u) << f.FullPath;
        byName[f.FullPath.substr(f.FullPath.find('/', 30))] = &f;
    }
    // The lost folders' own names come back from the entries that point at them.
    for (const char* tail : {"/100CANON/IMG_0101.JPG", "/100CANON/IMG_0102.JPG", "/100CANON/Edited/IMG_0101-crop.JPG",
                             "/Travel plan 2025.txt", "/receipts.csv"})
        EXPECT_TRUE(byName.count(tail)) << tail;
    for (const auto& f : deep.Found) EXPECT_EQ(f.DamageText, "Excellent") << f.FullPath;
}

// /Mail/Sent held 30 entry sets in two clusters apart; deletion cleared the FAT link, and
// one set straddles the two.
TEST(ExFatScan, DeepScanPutsAFolderSecondClusterBackInPlace) {
    TempDir dir;
    const TByteSourcePtr src = OpenRawByteSource(UnpackFixture("exfat-frag.img", dir));
    auto sent = [](const TReaderResult& r) {
        std::map<std::string, TFoundBy> out;
        for (const auto& f : r.Found)
            if (f.FullPath.find("message number") != std::string::npos) out[f.FullPath] = f.FoundBy;
        return out;
    };
    for (const bool deep : {false, true}) {
        const auto found = sent(Scan(*src, deep));
        ASSERT_EQ(found.size(), 30u);
        for (int i = 0; i < 30; ++i) {
            char name[80];
            std::snprintf(name, sizeof name, "/Mail/Sent/message number %02d with a long name.eml", i);
            ASSERT_TRUE(found.count(name)) << name;
            EXPECT_EQ(found.at(name), i > 25 ? TFoundBy::DeepSweep : TFoundBy::Metadata) << name;
        }
    }
}

// "/Music & Podcasts (old)" outgrew its first cluster and was deleted: its entry says one
// cluster, the FAT link is cleared, and no entry set straddles the two clusters. The
// second cluster is the only lost one whose entries were made while the folder existed,
// so the plain scan lists its eight files in the folder; the engine lists them as lost.
// "Holiday", whose parent's cluster "/Music Collection/New Downloads" took later, stays
// lost: nothing ties it to any folder.
TEST(ExFatScan, PutsTheLostClusterOfAGrownDeletedFolderBackInIt) {
    TempDir dir;
    const TByteSourcePtr src = OpenRawByteSource(UnpackFixture("exfat-grown.img", dir));
    struct Lines : TNullReport {
        std::vector<std::string> lines;
        void Log(const std::string& m) override { lines.push_back(m); }
    };
    for (const bool deep : {false, true}) {
        SCOPED_TRACE(deep ? "deep" : "plain");
        Lines log;
        TReaderOptions o;
        o.Deep = deep;
        const TReaderResult r = FastScanExFatDirect(*src, log, o);
        std::map<std::string, TFoundBy> paths;
        for (const auto& f : r.Found) paths[f.FullPath] = f.FoundBy;
        for (int i = 1; i <= 40; ++i) {
            char name[80];
            std::snprintf(name, sizeof name, "/Music & Podcasts (old)/episode %02d of the show.mp3", i);
            ASSERT_TRUE(paths.count(name)) << name;
            EXPECT_EQ(paths.at(name), i > 32 ? TFoundBy::DeepSweep : TFoundBy::Metadata) << name;
        }
        ASSERT_EQ(paths.size(), 41u);
        const auto photo = std::find_if(paths.begin(), paths.end(), [](const auto& p) { return p.first.ends_with("/beach photo.jpg"); });
        ASSERT_NE(photo, paths.end());
        EXPECT_EQ(photo->first.rfind("/$OrphanFiles/Folder at cluster ", 0), 0u) << photo->first;
        EXPECT_EQ(std::count_if(log.lines.begin(), log.lines.end(),
                                [](const std::string& l) { return l.find("listed in \"/Music & Podcasts (old)\"") != std::string::npos; }),
                  1);
    }
}

// "/Drafts/Plan" and, made three seconds after it was removed, "/Scratch/Notes" both name
// the same cluster; its entry sets were made after Plan last changed, so they are Notes'.
TEST(ExFatScan, ADeletedFolderIsNotGivenTheEntriesOfAFolderMadeLaterInItsCluster) {
    TempDir dir;
    const TByteSourcePtr src = OpenRawByteSource(UnpackFixture("exfat-reuse.img", dir));
    const TReaderResult r = Scan(*src, false);
    ASSERT_EQ(r.Found.size(), 1u);
    EXPECT_EQ(r.Found[0].FullPath, "/Scratch/Notes/notes.txt");
    EXPECT_EQ(r.Found[0].FoundBy, TFoundBy::Metadata);
}

TEST(ExFatScan, FindsTheVolumeInsideEveryContainer) {
    TempDir dir;
    const auto manifest = ReadManifest("gpt-disk.vol3");
    ASSERT_FALSE(manifest.empty());
    for (const char* name : {"gpt-disk.img", "gpt-disk.qcow2", "gpt-disk.vhdx"}) {
        SCOPED_TRACE(name);
        const TSourceVolumes vols = ListVolumes(UnpackFixture(name, dir));
        const TByteSourcePtr vol = OpenVolumeSource(vols, ChooseVolume(vols, 3));
        const TReaderResult r = Scan(*vol, false);
        const auto x = MakeExFatExtractor(vol, nullptr);
        ASSERT_EQ(r.Found.size(), manifest.size());
        for (const auto& m : manifest) {
            const auto it = std::find_if(r.Found.begin(), r.Found.end(), [&](const TFoundFile& f) { return f.FullPath == m.path; });
            ASSERT_NE(it, r.Found.end()) << m.path;
            EXPECT_EQ(Md5(Extract(*x, *it), dir), m.md5) << m.path;
        }
    }
}

TEST(ExFatScan, MasksCleanupAndStop) {
    TempDir dir;
    const TByteSourcePtr src = OpenRawByteSource(UnpackFixture("exfat.img", dir));
    const TReaderResult all = Scan(*src, false, {"*"}, true);
    EXPECT_EQ(all.HiddenByCleanup, 1u) << "the empty file";
    EXPECT_EQ(all.Found.size(), 6u);
    const TReaderResult txt = Scan(*src, false, {"*.txt"}, true);
    EXPECT_EQ(txt.Found.size(), 4u);
    EXPECT_EQ(txt.HiddenByMasks, 3u) << "budget.csv, track01.mp3, empty.dat";
    // Masks the user typed ask for what they match, empty files too: no cleanup then.
    const TReaderResult dat = Scan(*src, false, {"*.dat"}, true);
    ASSERT_EQ(dat.Found.size(), 1u);
    EXPECT_EQ(dat.Found[0].FullPath, "/empty.dat");
    EXPECT_EQ(dat.HiddenByCleanup, 0u);

    struct Stopped : TNullReport {
        bool StopRequested() const override { return true; }
    } stopped;
    EXPECT_TRUE(FastScanExFatDirect(*src, stopped, {}).Found.empty());
}

std::vector<uint8_t> ReadAllBytes(TByteSource& s) {
    std::vector<uint8_t> b(s.Size());
    EXPECT_TRUE(s.ReadExact(0, b.data(), b.size()));
    return b;
}

TEST(ExFatScan, ConditionComesFromTheAllocationBitmap) {
    TempDir dir;
    const TByteSourcePtr file = OpenRawByteSource(UnpackFixture("exfat.img", dir));
    std::vector<uint8_t> bytes = ReadAllBytes(*file);
    uint64_t bitmapAt = 0, bitmapLen = 0;
    {
        TExFatVolume vol(*file);
        bitmapAt = vol.ClusterOffset(vol.BitmapCluster());
        bitmapLen = (vol.Boot().ClusterCount + 7) / 8;
    }
    // Every cluster handed out again.
    std::fill(bytes.begin() + static_cast<long>(bitmapAt), bytes.begin() + static_cast<long>(bitmapAt + bitmapLen), 0xFF);
    const std::string img = dir / "reused.img";
    WriteFileBytes(img, std::string(bytes.begin(), bytes.end()));
    const TByteSourcePtr src = OpenRawByteSource(img);
    const TReaderResult r = Scan(*src, true);
    ASSERT_FALSE(r.Found.empty());
    // These files have no FAT chain: their clusters are copied as they are now, in full.
    // The engine stops after the first cluster of such a file (it passes over clusters in
    // use and finds no free one after it), so its copy is where ours begins.
    const auto x = MakeExFatExtractor(src, nullptr);
    for (const auto& f : r.Found) {
        if (f.SizeBytes == 0) continue;
        EXPECT_EQ(f.DamageText, "Overwritten") << f.FullPath;
        EXPECT_EQ(f.DamageScore, 0);
        const std::string mine = Extract(*x, f);
        EXPECT_EQ(mine.size(), static_cast<size_t>(f.SizeBytes));
        if (HaveEngine()) {
            const std::string theirs = EngineCopy(img, f.Inode);
            EXPECT_FALSE(theirs.empty());
            EXPECT_TRUE(mine.starts_with(theirs)) << f.FullPath;
        }
    }
}

TEST(ExFatScan, UsesTheBackupBootRegionAndRefusesWhatIsNotExFat) {
    TempDir dir;
    const TByteSourcePtr file = OpenRawByteSource(UnpackFixture("exfat.img", dir));
    const std::vector<uint8_t> good = ReadAllBytes(*file);
    const size_t expected = Scan(*file, false).Found.size();

    std::vector<uint8_t> bytes = good;
    bytes[100] ^= 0xFF;  // serial number: the main region's checksum no longer matches
    EXPECT_EQ(Scan(*MakeMemoryByteSource(bytes), false).Found.size(), expected);

    bytes[12 * 512 + 100] ^= 0xFF;  // and the backup's
    EXPECT_THROW(Scan(*MakeMemoryByteSource(bytes), false), std::runtime_error);
    std::vector<uint8_t> zeros(1 << 20, 0);
    EXPECT_THROW(Scan(*MakeMemoryByteSource(zeros), false), std::runtime_error);
    EXPECT_THROW(Scan(*MakeMemoryByteSource(std::span<const uint8_t>(good.data(), 300)), false), std::runtime_error);
}

} // namespace
} // namespace brivo
