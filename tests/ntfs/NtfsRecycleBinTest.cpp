// The Recycle Bin enrichment over a direct scan of the NTFS fixture, reading the "$I"
// records through the real icat.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "RecordingHost.h"
#include "TestSupport.h"
#include "core/DateConvert.h"
#include "engine/IcatExtractor.h"
#include "filters/RecycleBin.h"
#include "ntfs/NtfsScan.h"

namespace brivo {
namespace {

struct Pair {
    std::string rPath, iPath, original;
    int64_t size = 0;
    uint64_t filetime = 0;
    bool deleted = false;
};

std::vector<Pair> ReadRecycleTsv() {
    std::vector<Pair> out;
    std::ifstream in(test::FixturePath("ntfs.recycle.tsv"));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        size_t start = 0;
        for (size_t p; (p = line.find('\t', start)) != std::string::npos; start = p + 1) f.push_back(line.substr(start, p - start));
        f.push_back(line.substr(start));
        if (f.size() < 7) continue;
        Pair p{f[0], f[1], f[3], f[4].empty() ? 0 : std::stoll(f[4]), f[5].empty() ? 0 : std::stoull(f[5]), f[6] == "yes"};
        out.push_back(p);
    }
    return out;
}

std::string Relative(const std::string& p) { return p.substr(p.find_first_not_of('/')); }

// The installed icat, as the engine folder links it.
std::string InstalledIcat() {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string cand = dirs.substr(start, end - start) + "/icat";
        if (::access(cand.c_str(), X_OK) == 0) return cand;
        start = end + 1;
    }
    return "/usr/bin/icat";
}

class RecycleBinEnrichment : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = test::UnpackFixture("ntfs.img", dir_);
        tools_ = dir_ / "engine";
        std::filesystem::create_directory(tools_);
        st_.FLastWhereMode = TScanWhere::swRecycleBin;
        st_.FLastSrcForFls = image_;
        st_.FLastFsSwitch = " -f ntfs";
        TNullReport report;
        TReaderOptions opts;
        opts.Cleanup = false;  // as for the Recycle Bin kind
        st_.FFound = FastScanNtfsDirect(*OpenRawByteSource(image_), report, opts).Found;
        // What the scope filter keeps for the Recycle Bin kind.
        std::erase_if(st_.FFound, [](const TFoundFile& f) { return f.FullPath.rfind("$Recycle.Bin/", 0) != 0; });
        host_.Drain();
        host_.memo.clear();
        engine_.FToolsDir = tools_;
        st_.FMakeExtractor = [this] { return MakeIcatExtractor(engine_, host_, IcatSourceOf(st_)); };
    }
    std::vector<std::string> Run() {
        EnrichRecycleBinResults(st_, host_);
        host_.Drain();
        return host_.MemoMessages();
    }
    test::TempDir dir_;
    std::string image_, tools_;
    test::RecordingHost host_;
    TScanState st_;
    TEngineContext engine_;
};

TEST_F(RecycleBinEnrichment, ShowsEachPairedFileUnderItsOriginalPath) {
    std::filesystem::create_symlink(InstalledIcat(), tools_ + "/icat");
    const auto pairs = ReadRecycleTsv();
    std::map<std::string, std::string> inodeOfR;
    for (const auto& f : st_.FFound) inodeOfR[f.FullPath] = f.Inode;

    const auto log = Run();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "Recycle Bin enrichment: pairing $I metadata records with $R content records...");
    EXPECT_EQ(log.back(), "Recycle Bin enrichment complete: parsed_I=3 paired_R=3 dropped_I=3 kept_other=0 final=4");

    std::map<std::string, const TFoundFile*> byInode;
    for (const auto& f : st_.FFound) byInode[f.Inode] = &f;
    EXPECT_EQ(st_.FFound.size(), 4u);
    for (const auto& p : pairs) {
        if (!p.deleted) continue;
        const std::string r = Relative(p.rPath);
        ASSERT_TRUE(inodeOfR.count(r)) << r;
        const TFoundFile& f = *byInode[inodeOfR[r]];
        if (p.iPath.empty()) {
            EXPECT_EQ(f.FullPath, r) << "a $R without $I keeps its own path";
            continue;
        }
        EXPECT_EQ(f.FullPath, p.original);
        EXPECT_EQ(f.SizeBytes, p.size);
        TDateTime t;
        ASSERT_TRUE(FileTimeToUtc(static_cast<int64_t>(p.filetime), t));
        EXPECT_TRUE(f.HasModDate);
        EXPECT_DOUBLE_EQ(f.ModDateUtc, t);
    }
    // Each extraction's temporary file is gone again.
    for (const auto& e : std::filesystem::directory_iterator(tools_))
        EXPECT_EQ(e.path().filename().string().rfind("fr_", 0), std::string::npos) << e.path();
}

TEST_F(RecycleBinEnrichment, FailedExtractionsAreLoggedAndPassedOver) {
    // No icat in the engine folder (nor beside the test program): every $I fails alone.
    const size_t before = st_.FFound.size();
    const auto log = Run();
    const auto failures = std::count_if(log.begin(), log.end(), [](const std::string& l) {
        return l.rfind("Recycle Bin enrichment: failed to parse $I inode=", 0) == 0 &&
               l.find(": Required engine file not found: icat") != std::string::npos;
    });
    EXPECT_EQ(failures, 3);
    EXPECT_EQ(log.back(), "Recycle Bin enrichment complete: parsed_I=0 paired_R=0 dropped_I=3 kept_other=0 final=4");
    EXPECT_EQ(st_.FFound.size(), before - 3);
    for (const auto& f : st_.FFound) EXPECT_EQ(f.FullPath.rfind("$Recycle.Bin/", 0), 0u) << "unchanged $R";

    // icat present, but one "$I" address does not exist on the volume.
    std::filesystem::create_symlink(InstalledIcat(), tools_ + "/icat");
    TFoundFile ghostI;
    ghostI.Inode = "4000";
    ghostI.FullPath = "$Recycle.Bin/S-1/$IGHOST.txt";
    TFoundFile ghostR = ghostI;
    ghostR.Inode = "4001";
    ghostR.FullPath = "$Recycle.Bin/S-1/$RGHOST.txt";
    TFoundFile plain;
    plain.Inode = "4002";
    plain.FullPath = "$Recycle.Bin/S-1/$I";
    st_.FFound = {ghostI, ghostR, plain};
    host_.memo.clear();
    const auto log2 = Run();
    ASSERT_GE(log2.size(), 3u);
    EXPECT_EQ(std::count_if(log2.begin(), log2.end(),
                            [](const std::string& l) {
                                return l.rfind("Recycle Bin enrichment: failed to parse $I inode=4000: ", 0) == 0;
                            }),
              1);
    EXPECT_EQ(log2.back(), "Recycle Bin enrichment complete: parsed_I=0 paired_R=0 dropped_I=1 kept_other=1 final=2");
    ASSERT_EQ(st_.FFound.size(), 2u);
    EXPECT_EQ(st_.FFound[0].FullPath, "$Recycle.Bin/S-1/$RGHOST.txt");
}

} // namespace
} // namespace brivo
