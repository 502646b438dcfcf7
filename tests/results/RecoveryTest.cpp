#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <chrono>
#include <map>
#include <sstream>
#include <thread>

#include "RecordingHost.h"
#include "TestSupport.h"
#include "engine/IcatExtractor.h"
#include "results/Recovery.h"
#include "results/RecoveryBatch.h"
#include "results/ResultsModel.h"

namespace fs = std::filesystem;

namespace brivo {
namespace {

TFoundFile Result(const std::string& inode, const std::string& path) {
    TFoundFile f;
    f.Inode = inode;
    f.FullPath = path;
    return f;
}

// Every regular file and link below root, as "relative path" -> content (links as "-> target").
std::map<std::string, std::string> Tree(const std::string& root) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string rel = e.path().lexically_relative(root).string();
        if (e.is_symlink())
            out[rel] = "-> " + fs::read_symlink(e.path()).string();
        else if (e.is_regular_file())
            out[rel] = test::ReadFileBytes(e.path().string());
    }
    return out;
}

// An engine folder with a stand-in icat: it appends its arguments to calls.txt and prints
// "content-of-<address>"; address 13 warns on stderr with exit code 0, 14 exits 3 after
// writing part of its output.
struct FakeEngine {
    test::TempDir dir;
    TEngineContext ctx;
    std::string calls;
    FakeEngine() {
        ctx.FToolsDir = dir.path();
        calls = dir / "calls.txt";
        const std::string script = "#!/bin/sh\n"
                                   "echo \"$@\" >> '" + calls + "'\n"
                                   "for a; do last=$a; done\n"
                                   "case \"$last\" in\n"
                                   "  13) printf 'half'; echo 'warning: bad run' >&2; exit 0;;\n"
                                   "  14) printf 'half'; exit 3;;\n"
                                   "esac\n"
                                   "printf 'content-of-%s' \"$last\"\n";
        test::WriteFileBytes(dir / "icat", script);
        ::chmod((dir / "icat").c_str(), 0755);
    }
    std::vector<std::string> Calls() const {
        std::vector<std::string> out;
        std::istringstream in(access(calls.c_str(), F_OK) == 0 ? test::ReadFileBytes(calls) : "");
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }
};

std::vector<size_t> AllRows(const TScanState& s) {
    std::vector<size_t> rows;
    for (size_t i = 0; i < s.FFound.size(); ++i) rows.push_back(i);
    return rows;
}

// Runs the Recover command's batch to its idle step, pumping the host like a front end.
// With no extractor factory set the batch goes through icat, as the engine's route sets it.
TRecoveryCounts RecoverRows(TScanState& state, TEngineContext& ctx, test::RecordingHost& host,
                            const std::vector<size_t>& rows, const std::string& folder) {
    if (!state.FMakeExtractor) {
        state.FMakeExtractor = [&] { return MakeIcatExtractor(ctx, host, IcatSourceOf(state)); };
        state.FStopTools = [&] { ctx.FRunner.Stop(); };
    }
    TRecoveryBatch batch(state, host);
    batch.Start(rows, folder);
    while (batch.Busy()) {
        host.Drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    host.Drain();
    return batch.LastSummary().Counts;
}

TEST(RecoveryPaths, RelativePathNeverLeavesTheOutputFolder) {
    struct Case { const char* full; const char* rel; };
    const Case cases[] = {
        {"/Users/a/b?.txt", "Users/a/b_.txt"},
        {"C:\\Docs\\x.txt", "C_/Docs/x.txt"},
        {"C:\\..\\..\\x", "C_/_/_/x"},
        {"../../etc/passwd", "_/_/etc/passwd"},
        {"/a/../../b", "a/_/_/b"},
        {"\\\\server\\share\\f", "server/share/f"},
        {"/abs/./y//z", "abs/y/z"},
        {"a/.../b", "a/.../b"},  // three dots is an ordinary name
        {" \t/Users/x.txt\r\n", "Users/x.txt"},
        {"dir/na\x01me\x7f<>|*\"", "dir/na_me______"},
        {"Users/Alice/file.txt:secret", "Users/Alice/file.txt_secret"},
        {"/", "recovered.bin"}, {"", "recovered.bin"}, {"//\\/", "recovered.bin"}, {".", "recovered.bin"},
        {"..", "_"},
    };
    for (const auto& c : cases) EXPECT_EQ(RecoveryRelativePath(c.full), c.rel) << c.full;
}

TEST(RecoveryPaths, MetaAddressCleaningAndValidation) {
    struct Case { const char* inode; const char* cleaned; bool valid; };
    const Case cases[] = {
        {"1234-128-3*", "1234-128-3", true},
        {" 15 ", "15", true},
        {"0", "0", true},
        {"*97-128-2", "97-128-2", true},
        {"1234\t-128", "1234 -128", false},
        {"", "", false},
        {"(DELETED)", "(DELETED)", false},
        {"12-", "12-", false},
        {"-12", "-12", false},
        {"1-2-3-4", "1-2-3-4", false},
        {"12a", "12a", false},
        {"1\n2", "1\n2", false},
        {"\xD9\xA1\xD9\xA2", "\xD9\xA1\xD9\xA2", false},  // Arabic-Indic digits are not ASCII digits
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CleanMetaAddress(c.inode), c.cleaned) << c.inode;
        EXPECT_EQ(IsValidMetaAddress(CleanMetaAddress(c.inode)), c.valid) << c.inode;
    }
}

TEST(RecoveryPaths, IcatCommand) {
    TIcatSource src;
    src.Source = "/dev/sdb1";
    src.FsSwitch = " -f ntfs";
    const TToolCommand ntfs = BuildIcatCommand("/e/icat", src, "1234-128-3");
    EXPECT_EQ(ntfs.Program, "/e/icat");
    EXPECT_EQ(ntfs.Args, (std::vector<std::string>{"-f", "ntfs", "-R", "/dev/sdb1", "1234-128-3"}));
    EXPECT_EQ(ntfs.Display(), "\"/e/icat\" -f ntfs -R \"/dev/sdb1\" 1234-128-3");
    src = {};
    src.Source = "/img/my \"disk\".dd";
    const TToolCommand odd = BuildIcatCommand("/e/icat", src, "15");
    EXPECT_EQ(odd.Args, (std::vector<std::string>{"-R", "/img/my \"disk\".dd", "15"}));
    // A volume inside a disk image: the engine's image type and the volume's sector offset.
    const TToolCommand inImage = BuildIcatCommand("/e/icat", {"/img/disk.E01", " -f fat", "ewf", 2048}, "7");
    EXPECT_EQ(inImage.Args,
              (std::vector<std::string>{"-f", "fat", "-i", "ewf", "-o", "2048", "-R", "/img/disk.E01", "7"}));
}

TEST(RecoveryCommand, UpFrontChecksWarnInOrder) {
    FakeEngine engine;
    TScanState state;
    test::RecordingHost host;
    EXPECT_FALSE(CheckRecoveryPreconditions(state, host, 0));
    EXPECT_FALSE(CheckRecoveryPreconditions(state, host, 2));  // no scan yet
    state.FLastSrcForFls = "  ";
    EXPECT_FALSE(CheckRecoveryPreconditions(state, host, 2));
    state.FLastSrcForFls = "/img.dd";
    EXPECT_TRUE(CheckRecoveryPreconditions(state, host, 2));
    EXPECT_EQ(host.EventsOf("warning"),
              (std::vector<std::string>{"Please mark at least one file for recovery.", "Please run Scan first.",
                                        "Please run Scan first."}));
    // Missing engine files are the engine extractor's to report, for the results it copies.
    TEngineContext gone;
    gone.FToolsDir = engine.dir / "missing";
    const auto noTools = MakeIcatExtractor(gone, host, IcatSourceOf(state));
    std::filesystem::create_directories(engine.dir / "out");
    try {
        RecoverOne(state, host, *noTools, Result("5", "/a"), engine.dir / "out");
        ADD_FAILURE() << "recovered without icat";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("icat"), std::string::npos) << e.what();
    }

    host.events.clear();
    state.FLastSrcForFls = "";
    const auto icat = MakeIcatExtractor(engine.ctx, host, IcatSourceOf(state));
    EXPECT_THROW(RecoverOne(state, host, *icat, Result("5", "/a"), engine.dir / "out"), std::runtime_error);
    EXPECT_TRUE(engine.Calls().empty());
}

TEST(RecoveryBatch, HostileNamesBadAddressesAndFailingExtractorsAreContained) {
    FakeEngine engine;
    test::TempDir work;
    const std::string out = work / "out";
    TScanState state;
    state.FLastSrcForFls = " /images/disk.dd ";
    state.FLastFsSwitch = " -f ntfs";
    state.FFound = {
        Result("1234-128-3*", "/Users/a/b?.txt"),
        Result("2", "../../escape.txt"),
        Result("3", "C:\\..\\..\\x"),
        Result("4", "/etc/abs.txt"),
        Result("5", "ctl\x01name.txt"),
        Result("", "/no-address.txt"),
        Result("(deleted)", "/deleted-marker.txt"),
        Result("13", "/warns.txt"),
        Result("14", "/fails.txt"),
        Result("6", "/same.txt"),
        Result("7", "/same.txt"),
        Result("8", "/"),
    };
    test::RecordingHost host;
    const auto counts = RecoverRows(state, engine.ctx, host, AllRows(state), out);
    EXPECT_EQ(counts.OK, 8);
    EXPECT_EQ(counts.Failed, 4);

    EXPECT_EQ(Tree(work.path()), (std::map<std::string, std::string>{
                                     {"out/Users/a/b_.txt", "content-of-1234-128-3"},
                                     {"out/_/_/escape.txt", "content-of-2"},
                                     {"out/C_/_/_/x", "content-of-3"},
                                     {"out/etc/abs.txt", "content-of-4"},
                                     {"out/ctl_name.txt", "content-of-5"},
                                     {"out/same.txt", "content-of-6"},
                                     {"out/same (2).txt", "content-of-7"},  // nothing is replaced
                                     {"out/recovered.bin", "content-of-8"},
                                 }));

    // Invalid addresses never start the extractor; the rest run in row order with the
    // trimmed source and the scan's switch.
    const auto calls = engine.Calls();
    ASSERT_EQ(calls.size(), 10u);
    EXPECT_EQ(calls[0], "-f ntfs -R /images/disk.dd 1234-128-3");

    const auto memo = host.MemoMessages();
    auto has = [&](const std::string& line) { return std::find(memo.begin(), memo.end(), line) != memo.end(); };
    EXPECT_TRUE(has("Recovering: /Users/a/b?.txt"));
    EXPECT_TRUE(has("> \"" + engine.dir.path() + "/icat\" -f ntfs -R \"/images/disk.dd\" 1234-128-3"));
    EXPECT_TRUE(has("Saved as: " + out + "/same (2).txt"));
    EXPECT_TRUE(has("RECOVER ERROR: /no-address.txt -> Invalid inode/meta value parsed: \"\" (path: /no-address.txt)"));
    EXPECT_TRUE(has("RECOVER ERROR: /deleted-marker.txt -> Invalid inode/meta value parsed: \"(deleted)\" (path: "
                    "/deleted-marker.txt)"));
    EXPECT_TRUE(has("RECOVER ERROR: /warns.txt -> warning: bad run"));
    EXPECT_TRUE(has("RECOVER ERROR: /fails.txt -> Process failed, exit code 3"));
    EXPECT_EQ(memo.back(), "Selected recovery finished. OK=8, Failed=4");
    EXPECT_EQ(host.EventsOf("info"), std::vector<std::string>{"Recovery finished. OK: 8 Failed: 4"});
    EXPECT_EQ(host.EventsOf("status").front(), "Recovering selected files...");
    EXPECT_EQ(host.EventsOf("status").back(), "Recovery finished.\r\nOK: 8\r\nFailed: 4");
    EXPECT_EQ(host.EventsOf("busy"), (std::vector<std::string>{"1", "0"}));
}

TEST(RecoveryBatch, FailedRerunKeepsTheEarlierGoodCopy) {
    FakeEngine engine;
    test::TempDir out;
    TScanState state;
    state.FLastSrcForFls = "/img.dd";
    state.FFound = {Result("5", "/keep.txt")};
    test::RecordingHost host;
    EXPECT_EQ(RecoverRows(state, engine.ctx, host, {0}, out.path()).OK, 1);
    state.FFound = {Result("14", "/keep.txt"), Result("13", "/keep.txt")};
    const auto counts = RecoverRows(state, engine.ctx, host, {0, 1, 7}, out.path());
    EXPECT_EQ(counts.OK, 0);
    EXPECT_EQ(counts.Failed, 3);  // row 7 does not exist
    EXPECT_EQ(Tree(out.path()), (std::map<std::string, std::string>{{"keep.txt", "content-of-5"}}));
}

TEST(RecoveryBatch, LinksPlantedInTheOutputFolderAreNeverFollowed) {
    FakeEngine engine;
    test::TempDir work;
    const std::string out = work / "out", outside = work / "outside";
    fs::create_directories(out);
    fs::create_directories(outside);
    test::WriteFileBytes(outside + "/victim.txt", "precious");
    fs::create_directory_symlink(outside, out + "/Users");                  // a folder on the way
    fs::create_symlink(outside + "/victim.txt", out + "/victim.txt");        // the file itself
    fs::create_symlink(outside + "/nowhere", out + "/dangling");            // a folder that does not exist

    TScanState state;
    state.FLastSrcForFls = "/img.dd";
    state.FFound = {Result("1", "/Users/x.txt"), Result("2", "/victim.txt"), Result("3", "/dangling/y.txt")};
    test::RecordingHost host;
    const auto counts = RecoverRows(state, engine.ctx, host, AllRows(state), out);
    EXPECT_EQ(counts.OK, 3);
    EXPECT_EQ(counts.Failed, 0);
    // The links stay, the recovered files and folders take the next names, and the links'
    // targets are untouched.
    EXPECT_EQ(Tree(work.path()), (std::map<std::string, std::string>{
                                     {"outside/victim.txt", "precious"},
                                     {"out/Users", "-> " + outside},
                                     {"out/Users (2)/x.txt", "content-of-1"},
                                     {"out/dangling", "-> " + outside + "/nowhere"},
                                     {"out/dangling (2)/y.txt", "content-of-3"},
                                     {"out/victim.txt", "-> " + outside + "/victim.txt"},
                                     {"out/victim (2).txt", "content-of-2"},
                                 }));
    EXPECT_FALSE(fs::exists(outside + "/nowhere"));
}

TEST(RecoveryBatch, UnwritableOutputFolders) {
    FakeEngine engine;
    TScanState state;
    state.FLastSrcForFls = "/img.dd";
    state.FFound = {Result("1", "/a/x.txt"), Result("2", "/y.txt")};
    test::RecordingHost host;

    // A folder that cannot be made ends the command before anything runs.
    test::TempDir work;
    test::WriteFileBytes(work / "file", "x");
    EXPECT_THROW(RecoverRows(state, engine.ctx, host, {0, 1}, work / "file/sub"), std::runtime_error);
    EXPECT_TRUE(host.EventsOf("busy").empty());

    // A folder that exists but takes no files (even for root): every file fails, counted.
    const auto counts = RecoverRows(state, engine.ctx, host, {0, 1}, "/proc/self");
    EXPECT_EQ(counts.OK, 0);
    EXPECT_EQ(counts.Failed, 2);
    EXPECT_EQ(host.EventsOf("busy"), (std::vector<std::string>{"1", "0"}));
    EXPECT_TRUE(engine.Calls().empty());  // the output is prepared before the extractor starts
}

// An engine folder that links the installed extractor.
bool LinkSystemIcat(const test::TempDir& tools, TEngineContext& ctx) {
    ctx.FToolsDir = tools.path();
    const auto which = test::RunProcess({"sh", "-c", "command -v icat"});
    if (which.exitCode != 0) return false;
    fs::create_symlink(which.out.substr(0, which.out.find('\n')), tools / "icat");
    return true;
}

// The real extractor on the exFAT fixture (no file-system switch): a live address comes
// back whole; a deleted name whose address is 0 makes the extractor fail, and nothing is left.
TEST(RecoveryBatch, RealIcatWithoutSwitchAndAnAddressTheEngineRejects) {
    test::TempDir tools, out, work;
    const std::string image = test::UnpackFixture("exfat.img", work);
    TEngineContext ctx;
    ASSERT_TRUE(LinkSystemIcat(tools, ctx));
    TScanState state;
    state.FLastSrcForFls = image;
    state.FFound = {Result("646", "/Projects/Apollo/design.txt"), Result("0", "/a_directory/another_file~")};
    test::RecordingHost host;
    const auto counts = RecoverRows(state, ctx, host, {0, 1}, out.path());
    EXPECT_EQ(counts.OK, 1);
    EXPECT_EQ(counts.Failed, 1);
    const auto expected = test::RunProcess({"icat", "-R", image, "646"});
    ASSERT_FALSE(expected.out.empty());
    EXPECT_EQ(Tree(out.path()), (std::map<std::string, std::string>{{"Projects/Apollo/design.txt", expected.out}}));
    const auto memo = host.MemoMessages();
    EXPECT_NE(std::find(memo.begin(), memo.end(), "> \"" + tools.path() + "/icat\" -R \"" + image + "\" 646"), memo.end());
    EXPECT_NE(std::find_if(memo.begin(), memo.end(),
                           [](const std::string& l) { return l.rfind("RECOVER ERROR: /a_directory/another_file~ -> ", 0) == 0; }),
              memo.end());
}

// The real extractor on the NTFS fixture: every deleted file of the manifest comes back with
// its md5 under its cleaned path.
TEST(RecoveryBatch, RealIcatReproducesTheNtfsManifest) {
    test::TempDir work;
    const std::string image = test::UnpackFixture("ntfs.img", work);
    const auto manifest = test::ReadManifest("ntfs");
    ASSERT_FALSE(manifest.empty());

    const auto listing = test::RunProcess({"fls", "-r", "-p", "-d", "-f", "ntfs", image});
    ASSERT_EQ(listing.exitCode, 0) << listing.err;
    std::map<std::string, std::string> addressOf;  // "/path" -> address
    std::istringstream in(listing.out);
    for (std::string line; std::getline(in, line);) {
        const auto tab = line.find('\t');
        const auto colon = line.rfind(':', tab);
        const auto star = line.find("* ");
        if (tab == std::string::npos || colon == std::string::npos || star == std::string::npos) continue;
        if (line.compare(0, 3, "-/r") != 0 && line.compare(0, 3, "r/r") != 0) continue;
        addressOf["/" + line.substr(tab + 1)] = line.substr(star + 2, colon - star - 2);
    }

    test::TempDir tools;
    TEngineContext ctx;
    ASSERT_TRUE(LinkSystemIcat(tools, ctx));

    TScanState state;
    state.FLastSrcForFls = image;
    state.FLastFsSwitch = " -f ntfs";
    for (const auto& m : manifest) {
        ASSERT_TRUE(addressOf.count(m.path)) << m.path;
        state.FFound.push_back(Result(addressOf[m.path], m.path));
    }
    test::RecordingHost host;
    const std::string out = work / "recovered";
    const auto counts = RecoverRows(state, ctx, host, AllRows(state), out);
    EXPECT_EQ(counts.OK, static_cast<int>(manifest.size()));
    EXPECT_EQ(counts.Failed, 0);
    for (const auto& m : manifest) {
        const std::string file = out + "/" + RecoveryRelativePath(m.path);
        EXPECT_EQ(test::Md5OfFile(file), m.md5) << m.path;
    }
}

} // namespace
} // namespace brivo
