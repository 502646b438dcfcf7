#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "RecordingHost.h"
#include "TestSupport.h"
#include "core/Sha256.h"
#include "platform/DateTime.h"
#include "results/RecoveryBatch.h"
#include "results/RecoveryOutput.h"
#include "results/RecoverySink.h"

namespace fs = std::filesystem;

namespace brivo {
namespace {

// Contents by address, handed out in small pieces like a reader going run by run.
// failAt: a read error once that many bytes are out. endless: keeps writing until the
// sink refuses (Stop), with `writing` set once it has started.
struct FakeContent {
    std::string bytes;
    size_t failAt = std::string::npos;
    bool endless = false;
};

struct FakeSource {
    std::map<std::string, FakeContent> byAddress;
    std::atomic<bool> writing{false};
    std::atomic<int> extracted{0};
};

class FakeExtractor : public TExtractor {
public:
    explicit FakeExtractor(FakeSource& src) : src_(src) {}
    void Extract(const TFoundFile& f, TByteSink& sink) override {
        ++src_.extracted;
        const auto it = src_.byAddress.find(f.Inode);
        if (it == src_.byAddress.end()) throw std::runtime_error("no such entry");
        const FakeContent& c = it->second;
        const size_t piece = 1000;
        for (size_t at = 0; at < c.bytes.size(); at += piece) {
            if (at >= c.failAt) throw std::runtime_error("Input/output error: sector 2048");
            const size_t n = std::min(piece, c.bytes.size() - at);
            sink.Write({reinterpret_cast<const uint8_t*>(c.bytes.data()) + at, n});
        }
        while (c.endless) {
            const uint8_t chunk[512] = {};
            sink.Write(chunk);
            src_.writing = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

private:
    FakeSource& src_;
};

TFoundFile Result(const std::string& inode, const std::string& path, int64_t size = 0) {
    TFoundFile f;
    f.Inode = inode;
    f.FullPath = path;
    f.SizeBytes = size;
    return f;
}

std::map<std::string, std::string> Tree(const std::string& root) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) out[e.path().lexically_relative(root).string()] = test::ReadFileBytes(e.path().string());
    return out;
}

struct Fixture {
    FakeSource source;
    TScanState state;
    test::RecordingHost host;
    TRecoveryBatch batch{state, host};
    std::vector<TRecoveryRecord> records;

    Fixture() {
        state.FLastSrcForFls = "/img.dd";
        state.FMakeExtractor = [this] { return std::make_unique<FakeExtractor>(source); };
    }
    void Add(const std::string& inode, const std::string& path, FakeContent content) {
        state.FFound.push_back(Result(inode, path, static_cast<int64_t>(content.bytes.size())));
        source.byAddress[inode] = std::move(content);
    }
    // Runs a batch over every row to its idle step, pumping the host like a front end;
    // tick runs on the "UI" thread between steps.
    void Run(const std::string& folder, const std::function<void()>& tick = {}) {
        std::vector<size_t> rows;
        for (size_t i = 0; i < state.FFound.size(); ++i) rows.push_back(i);
        TRecoveryBatchOptions opt;
        opt.OnRecord = [this](const TRecoveryRecord& r) { records.push_back(r); };
        opt.Hash = true;
        ASSERT_TRUE(batch.Start(rows, folder, opt));
        EXPECT_TRUE(batch.Busy());
        EXPECT_FALSE(batch.Start(rows, folder, opt));  // one batch at a time
        while (batch.Busy()) {
            host.Drain();
            if (tick) tick();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        host.Drain();
    }
    bool MemoHas(const std::string& line) const {
        const auto memo = host.MemoMessages();
        return std::find(memo.begin(), memo.end(), line) != memo.end();
    }
};

TEST(RecoveryNames, NumberedName) {
    struct Case { std::string leaf; int n; std::string out; };
    const Case cases[] = {
        {"photo.jpg", 1, "photo.jpg"},
        {"photo.jpg", 2, "photo (2).jpg"},
        {"archive.tar.gz", 3, "archive.tar (3).gz"},
        {"README", 2, "README (2)"},
        {".profile", 2, ".profile (2)"},
        {"name.", 2, "name (2)."},
        {std::string(251, 'a') + ".txt", 2, std::string(247, 'a') + " (2).txt"},
        {std::string(300, 'a') + ".txt", 1, std::string(251, 'a') + ".txt"},  // too long even unnumbered
        {"a." + std::string(300, 'x'), 1, "a." + std::string(253, 'x')},      // no room for an extension that long
    };
    for (const auto& c : cases) EXPECT_EQ(NumberedName(c.leaf, c.n), c.out) << c.leaf;
    // Trimming stops before a character, never inside one (two-byte "é").
    std::string accented;
    for (int i = 0; i < 126; ++i) accented += "\xC3\xA9";  // 252 bytes
    const std::string numbered = NumberedName(accented + ".tx", 12);
    EXPECT_LE(numbered.size(), 255u);
    EXPECT_EQ(numbered, accented.substr(0, 246) + " (12).tx");

    // 200 Cyrillic letters (400 bytes, a legal NTFS name): cut at a letter, extension kept.
    std::string zh;
    for (int i = 0; i < 200; ++i) zh += "\xD0\x96";  // Ж
    EXPECT_EQ(NumberedName(zh + ".txt", 1), zh.substr(0, 250) + ".txt");
    EXPECT_EQ(NumberedName(zh + ".txt", 2), zh.substr(0, 246) + " (2).txt");
    // A folder's number goes at the end, past any dot.
    EXPECT_EQ(NumberedName("v1.2", 2, false), "v1.2 (2)");
    EXPECT_EQ(NumberedName(zh + ".d", 3, false), zh.substr(0, 250) + " (3)");
}

// Names Linux cannot take (longer than 255 bytes) and names held by something else in the
// output folder never fail a file: the name is cut at a character, its extension kept,
// made unique, and the record says so; a file, a link or a dangling link where a folder
// is needed gives "name (2)" (never followed).
TEST(RecoveryBatch, NamesTooLongOrTakenNeverFailAFile) {
    std::string zh, ya;
    for (int i = 0; i < 200; ++i) zh += "\xD0\x96";  // Ж
    for (int i = 0; i < 150; ++i) ya += "\xD0\xAF";  // Я
    const std::string yaOther = ya.substr(0, 298) + "\xD0\x91";  // the same first 149 letters, then Б

    Fixture t;
    test::TempDir work;
    const std::string out = work / "out";
    fs::create_directories(out);
    fs::create_directories(work / "outside");
    test::WriteFileBytes(out + "/docs", "a file where a folder is needed");
    fs::create_directory_symlink(work / "outside", out + "/pics");
    fs::create_symlink(work / "nowhere", out + "/dangling");
    t.Add("1", "/" + zh + ".txt", {"long-1"});
    t.Add("2", "/" + zh + "-2.txt", {"long-2"});  // the same first 250 bytes
    t.Add("3", "/" + ya + "/" + zh + ".txt", {"long-folder"});
    t.Add("4", "/" + yaOther + "/inner.txt", {"other-folder"});
    t.Add("5", "/" + ya + "/inner.txt", {"same-folder"});
    t.Add("6", "/docs/a.txt", {"docs"});
    t.Add("7", "/pics/b.txt", {"pics"});
    t.Add("8", "/dangling/c.txt", {"dangling"});
    t.Run(out);

    const std::string zhCut = zh.substr(0, 250), yaCut = ya.substr(0, 254);
    EXPECT_EQ(Tree(out), (std::map<std::string, std::string>{
                             {"docs", "a file where a folder is needed"},
                             {zhCut + ".txt", "long-1"},
                             {zh.substr(0, 246) + " (2).txt", "long-2"},
                             {yaCut + "/" + zhCut + ".txt", "long-folder"},
                             {ya.substr(0, 250) + " (2)/inner.txt", "other-folder"},
                             {yaCut + "/inner.txt", "same-folder"},
                             {"docs (2)/a.txt", "docs"},
                             {"pics (2)/b.txt", "pics"},
                             {"dangling (2)/c.txt", "dangling"},
                         }));
    EXPECT_TRUE(fs::is_empty(work / "outside"));
    EXPECT_EQ(t.batch.LastSummary().Counts.OK, 8);
    EXPECT_EQ(t.batch.LastSummary().Counts.Failed, 0);
    ASSERT_EQ(t.records.size(), 8u);
    for (size_t i = 0; i < t.records.size(); ++i) {
        SCOPED_TRACE(t.records[i].Path);
        EXPECT_EQ(t.records[i].NameShortened, i < 5);
        for (const auto& part : fs::path(t.records[i].OutputPath)) EXPECT_LE(part.string().size(), 255u);
    }
    EXPECT_EQ(t.records[0].Path, "/" + zh + ".txt");  // the original name stays in the record
    EXPECT_TRUE(t.MemoHas("Saved as: " + out + "/" + zhCut + ".txt (name shortened: Linux allows 255 bytes in a name)"));
    EXPECT_TRUE(t.MemoHas("Saved as: " + out + "/docs (2)/a.txt"));
}

TEST(RecoveryBatch, NothingIsOverwrittenWithinABatchOrInTheFolder) {
    Fixture t;
    test::TempDir out;
    fs::create_directories(out / "docs/dir.txt");  // a folder holds the name
    test::WriteFileBytes(out / "docs/report.txt", "the user's own file");
    t.Add("1", "/docs/report.txt", {"first"});
    t.Add("2", "/docs/report.txt", {"second"});
    t.Add("3", "/docs/dir.txt", {"third"});
    t.Add("4", "/", {"root-a"});
    t.Add("5", "", {"root-b"});
    t.Run(out.path());

    EXPECT_EQ(Tree(out.path()), (std::map<std::string, std::string>{
                                    {"docs/report.txt", "the user's own file"},
                                    {"docs/report (2).txt", "first"},
                                    {"docs/report (3).txt", "second"},
                                    {"docs/dir (2).txt", "third"},
                                    {"recovered.bin", "root-a"},
                                    {"recovered (2).bin", "root-b"},
                                }));
    EXPECT_TRUE(t.MemoHas("Saved as: " + out / "docs/report (3).txt"));
    EXPECT_EQ(t.batch.LastSummary().Counts.OK, 5);

    // A second run into the same folder adds copies.
    t.records.clear();
    t.Run(out.path());
    EXPECT_EQ(Tree(out.path()).size(), 11u);
    EXPECT_EQ(t.records[0].OutputPath, out / "docs/report (4).txt");
}

TEST(RecoveryBatch, TimesRecordsAndProgress) {
    Fixture t;
    test::TempDir out;
    const std::string big(300000, 'b');
    t.Add("1", "/a/dated.txt", {"dated"});
    t.state.FFound[0].HasModDate = true;
    t.state.FFound[0].ModDateUtc = EncodeDateTime(2021, 3, 4, 5, 6, 7);
    t.Add("2", "/a/undated.bin", {big});
    t.Add("3", "/a/missing.bin", {});
    t.source.byAddress.erase("3");
    const auto before = std::chrono::system_clock::now();
    t.Run(out.path());

    struct stat st {};
    ASSERT_EQ(::stat((out / "a/dated.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1614834367);  // 2021-03-04 05:06:07 UTC
    EXPECT_EQ(st.st_atim.tv_sec, 1614834367);
    ASSERT_EQ(::stat((out / "a/undated.bin").c_str(), &st), 0);
    EXPECT_GE(st.st_mtim.tv_sec, std::chrono::system_clock::to_time_t(before) - 1);

    ASSERT_EQ(t.records.size(), 3u);
    EXPECT_EQ(t.records[0].Outcome, TRecoveryOutcome::Ok);
    EXPECT_EQ(t.records[1].OutputPath, out / "a/undated.bin");
    EXPECT_EQ(t.records[1].Size, big.size());
    EXPECT_EQ(t.records[1].Sha256, Sha256Hex({reinterpret_cast<const uint8_t*>(big.data()), big.size()}));
    EXPECT_EQ(t.records[2].Outcome, TRecoveryOutcome::Failed);
    EXPECT_EQ(t.records[2].Error, "no such entry");
    EXPECT_TRUE(t.records[2].OutputPath.empty());
    EXPECT_TRUE(t.MemoHas("RECOVER ERROR: /a/missing.bin -> no such entry"));

    const auto status = t.host.EventsOf("status");
    EXPECT_EQ(status.front(), "Recovering selected files...");
    EXPECT_NE(std::find(status.begin(), status.end(), "Recovering 1 of 3: /a/dated.txt"), status.end());
    EXPECT_EQ(status.back(), "Recovery finished.\r\nOK: 2\r\nFailed: 1");
    const auto progress = t.host.EventsOf("progress");
    ASSERT_FALSE(progress.empty());
    for (const auto& p : progress) EXPECT_NE(p, "marquee");
    EXPECT_EQ(t.host.EventsOf("info"), std::vector<std::string>{"Recovery finished. OK: 2 Failed: 1"});
    EXPECT_EQ(t.host.EventsOf("busy"), (std::vector<std::string>{"1", "0"}));
}

// A read error in the middle of a file: the file is not there, not even in part, and an
// earlier good copy of the same name stays as it was.
TEST(RecoveryBatch, ReadErrorMidFileLeavesNothingPartial) {
    Fixture t;
    test::TempDir out;
    t.Add("1", "/x/file.dat", {std::string(5000, 'g')});
    t.Add("2", "/x/file.dat", {std::string(5000, 'p'), 2500});
    t.Add("3", "/x/other.dat", {std::string(3000, 'q'), 0});
    t.Run(out.path());
    EXPECT_EQ(Tree(out.path()), (std::map<std::string, std::string>{{"x/file.dat", std::string(5000, 'g')}}));
    EXPECT_EQ(t.batch.LastSummary().Counts.OK, 1);
    EXPECT_EQ(t.batch.LastSummary().Counts.Failed, 2);
    EXPECT_TRUE(t.MemoHas("RECOVER ERROR: /x/file.dat -> Input/output error: sector 2048"));
    for (const auto& e : fs::recursive_directory_iterator(out.path()))
        EXPECT_EQ(e.path().filename().string().rfind(".brivo-", 0), std::string::npos) << e.path();
}

// A name without content, listed beside the finds that may be it, is not copied as an
// empty file: it fails with where to look instead, and the finds copy as usual.
TEST(RecoveryBatch, ANameWithoutContentFailsSayingWhereToLook) {
    Fixture t;
    test::TempDir out;
    t.Add("36", "/p/team.jpg", {std::string()});
    t.state.FFound.back().Candidates = {"/$Found by content/JPEG/f1.jpg"};
    t.Add("", "/$Found by content/JPEG/f1.jpg", {std::string(3000, 'j')});
    t.Run(out.path());
    EXPECT_EQ(Tree(out.path()), (std::map<std::string, std::string>{{"$Found by content/JPEG/f1.jpg", std::string(3000, 'j')}}));
    EXPECT_EQ(t.batch.LastSummary().Counts.OK, 1);
    EXPECT_EQ(t.batch.LastSummary().Counts.Failed, 1);
    EXPECT_TRUE(t.MemoHas("RECOVER ERROR: /p/team.jpg -> Only the name is left: nothing says where its content is. "
                          "Recover the files of its kind found in the same area instead."));
}

TEST(RecoveryBatch, StopEndsTheBatchAfterRemovingTheFileBeingWritten) {
    Fixture t;
    test::TempDir out;
    t.Add("1", "/done1.txt", {"one"});
    t.Add("2", "/done2.txt", {"two"});
    t.Add("3", "/endless.bin", {"start", std::string::npos, true});
    t.Add("4", "/never.txt", {"four"});
    bool stopped = false;
    t.Run(out.path(), [&] {
        if (t.source.writing && !stopped) {
            stopped = true;
            t.batch.Stop();
        }
    });
    ASSERT_TRUE(stopped);
    EXPECT_EQ(Tree(out.path()), (std::map<std::string, std::string>{{"done1.txt", "one"}, {"done2.txt", "two"}}));
    EXPECT_EQ(std::distance(fs::directory_iterator(out.path()), fs::directory_iterator()), 2);  // no hidden leftovers
    EXPECT_EQ(t.source.extracted, 3);

    const auto& s = t.batch.LastSummary();
    EXPECT_TRUE(s.Stopped);
    EXPECT_EQ(s.Counts.OK, 2);
    EXPECT_EQ(s.Counts.Failed, 0);
    EXPECT_EQ(s.NotRecovered, 2u);
    ASSERT_EQ(t.records.size(), 3u);
    EXPECT_EQ(t.records[2].Outcome, TRecoveryOutcome::Stopped);
    EXPECT_EQ(t.host.status, "Recovery stopped.\r\nOK: 2\r\nFailed: 0");
    EXPECT_EQ(t.host.EventsOf("info"), std::vector<std::string>{"Recovery stopped. OK: 2 Failed: 0"});
    EXPECT_TRUE(t.MemoHas("Recovery stopped by user: 2 file(s) not recovered."));
    EXPECT_EQ(t.host.EventsOf("busy"), (std::vector<std::string>{"1", "0"}));

    // The next batch starts afresh: Stop does not stick.
    t.state.FFound.resize(2);
    t.Run(out.path());
    EXPECT_FALSE(t.batch.LastSummary().Stopped);
    EXPECT_EQ(t.batch.LastSummary().Counts.OK, 2);
}

TEST(RecoveryBatch, ShutdownDuringABatchStopsAndJoins) {
    test::TempDir out;
    FakeSource source;
    source.byAddress["1"] = {"x", std::string::npos, true};
    TScanState state;
    state.FLastSrcForFls = "/img.dd";
    state.FFound = {Result("1", "/endless.bin")};
    state.FMakeExtractor = [&] { return std::make_unique<FakeExtractor>(source); };
    test::RecordingHost host;
    {
        TRecoveryBatch batch(state, host);
        ASSERT_TRUE(batch.Start({0}, out.path()));
        while (!source.writing) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }  // the destructor stops the worker and waits for it
    EXPECT_TRUE(fs::is_empty(out.path()));
}

TEST(RecoveryBatch, AFactoryThatCannotOpenTheSourceEndsWithAnError) {
    Fixture t;
    test::TempDir out;
    t.Add("1", "/a.txt", {"a"});
    t.state.FMakeExtractor = []() -> std::unique_ptr<TExtractor> { throw std::runtime_error("No such file: /img.dd"); };
    t.Run(out.path());
    EXPECT_EQ(t.host.EventsOf("error"), std::vector<std::string>{"No such file: /img.dd"});
    EXPECT_EQ(t.batch.LastSummary().Counts.Failed, 1);
    EXPECT_EQ(t.host.EventsOf("busy"), (std::vector<std::string>{"1", "0"}));
    EXPECT_TRUE(fs::is_empty(out.path()));
}

// The write loop against a file that takes a little at a time, is interrupted, then fills.
TEST(RecoverySink, ShortWritesAndAFullDisk) {
    std::string written;
    int calls = 0;
    auto write = [&](int, const void* p, size_t n) -> ssize_t {
        ++calls;
        if (calls % 3 == 2) {
            errno = EINTR;
            return -1;
        }
        if (written.size() >= 600000) {
            errno = ENOSPC;
            return -1;
        }
        const size_t take = std::min<size_t>(n, 70000);
        written.append(static_cast<const char*>(p), take);
        return static_cast<ssize_t>(take);
    };
    TRecoveryFileSink sink(99, "/out/f.bin", nullptr, {}, write);
    std::string data;
    for (int i = 0; i < 500000; ++i) data += static_cast<char>(i * 31);
    for (size_t at = 0; at < data.size(); at += 4096)
        sink.Write({reinterpret_cast<const uint8_t*>(data.data()) + at, std::min<size_t>(4096, data.size() - at)});
    sink.Finish();
    EXPECT_EQ(written, data);
    EXPECT_EQ(sink.Size(), data.size());
    try {
        sink.Write({reinterpret_cast<const uint8_t*>(data.data()), data.size()});
        sink.Finish();
        FAIL() << "a full disk was not reported";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "No space left on device: /out/f.bin");
    }
}

// A real full file system: a small tmpfs (needs root to mount; skipped otherwise).
TEST(RecoveryBatch, FullFileSystemFailsFileByFileAndKeepsWhatIsWritten) {
    test::TempDir mnt;
    if (::geteuid() != 0 || ::mount("tmpfs", mnt.path().c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    struct Unmount {
        std::string p;
        ~Unmount() { ::umount2(p.c_str(), MNT_DETACH); }
    } unmount{mnt.path()};

    Fixture t;
    const std::string kib100(100 * 1024, 'a');
    t.Add("1", "/one.bin", {kib100});
    t.Add("2", "/two.bin", {kib100});
    t.Add("3", "/too-big.bin", {std::string(200 * 1024, 'c')});
    t.Add("4", "/small.txt", {"fits after the failed one is gone"});
    t.Add("5", "/one.bin", {std::string(100 * 1024, 'z')});
    t.Run(mnt.path());

    EXPECT_EQ(t.batch.LastSummary().Counts.OK, 3);
    EXPECT_EQ(t.batch.LastSummary().Counts.Failed, 2);
    EXPECT_EQ(Tree(mnt.path()), (std::map<std::string, std::string>{{"one.bin", kib100},
                                                                   {"two.bin", kib100},
                                                                   {"small.txt", "fits after the failed one is gone"}}));
    EXPECT_TRUE(t.MemoHas("RECOVER ERROR: /too-big.bin -> No space left on device: " + mnt / "too-big.bin"));
    EXPECT_TRUE(t.MemoHas("RECOVER ERROR: /one.bin -> No space left on device: " + mnt / "one.bin"));
}

} // namespace
} // namespace brivo
