#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "RecordingHost.h"
#include "TestSupport.h"
#include "engine/EngineFolder.h"
#include "platform/Paths.h"

using namespace brivo;
using brivo::test::RecordingHost;
using brivo::test::TempDir;

namespace {

// Points TempDirectory() at a private folder for the test's life.
class ScopedTmpDir {
public:
    explicit ScopedTmpDir(const std::string& dir) {
        const char* old = std::getenv("TMPDIR");
        had_ = old != nullptr;
        if (had_) old_ = old;
        ::setenv("TMPDIR", dir.c_str(), 1);
    }
    ~ScopedTmpDir() {
        if (had_) ::setenv("TMPDIR", old_.c_str(), 1);
        else ::unsetenv("TMPDIR");
    }

private:
    bool had_ = false;
    std::string old_;
};

struct stat LStat(const std::string& p) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return st;
}

bool Exists(const std::string& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
}

void MakeExecutable(const std::string& path) {
    test::WriteFileBytes(path, "#!/bin/sh\n");
    ::chmod(path.c_str(), 0755);
}

} // namespace

TEST(EngineFolder, LinksTheInstalledToolsIntoAPrivateFolderPerStart) {
    TempDir tmp;
    ScopedTmpDir scoped(tmp.path());
    TEngineContext a, b;
    ExtractEmbeddedBinaries(a);
    ExtractEmbeddedBinaries(b);
    ASSERT_NE(a.FToolsDir, b.FToolsDir);  // two instances never share a folder
    EXPECT_EQ(a.FToolsDir.rfind(tmp / "recovery_embedded/{", 0), 0u) << a.FToolsDir;
    EXPECT_EQ(LStat(a.FToolsDir).st_mode & 07777, 0700u);
    EXPECT_EQ(LStat(tmp / "recovery_embedded").st_mode & 07777, 0700u);
    ASSERT_EQ(a.FExtracted.size(), EngineToolTable().size());
    for (const auto& e : a.FExtracted) {
        if (e.FileName != "fls" && e.FileName != "icat" && e.FullPath.empty()) continue;  // optional
        EXPECT_EQ(e.FullPath, a.FToolsDir + "/" + e.FileName);
        EXPECT_TRUE(S_ISLNK(LStat(e.FullPath).st_mode));
        EXPECT_EQ(::access(e.FullPath.c_str(), X_OK), 0);
    }
    RecordingHost host;
    EXPECT_EQ(RequireTool(a, host, "fls"), a.FToolsDir + "/fls");
    EXPECT_EQ(a.FRunner.RunCaptureText(RequireTool(a, host, "fls"), {"-V"}).rfind("The Sleuth Kit", 0), 0u);

    DeleteExtractedBinaries(a);
    EXPECT_FALSE(Exists(a.FToolsDir));
    EXPECT_TRUE(Exists(b.FToolsDir));  // the other instance is undisturbed
    DeleteExtractedBinaries(b);
    EXPECT_TRUE(DirectoryExists(tmp / "recovery_embedded"));  // stays for other instances
}

TEST(EngineFolder, MissingRequiredToolNamesToolAndPackageAndLeavesNothing) {
    TempDir tmp, bin;
    ScopedTmpDir scoped(tmp.path());
    MakeExecutable(bin / "fls");  // icat missing, ils missing (optional)
    std::string dir;
    std::vector<TExtractedBinary> ex;
    try {
        ExtractEmbeddedBinaries(dir, ex, "relative/dir::" + bin.path());
        FAIL();
    } catch (const std::runtime_error& e) {
        const std::string msg = e.what();
        EXPECT_NE(msg.find("\"icat\""), std::string::npos) << msg;
        EXPECT_NE(msg.find("sleuthkit"), std::string::npos) << msg;
    }
    ASSERT_FALSE(dir.empty());
    EXPECT_FALSE(Exists(dir));  // what was made is gone again

    RecordingHost host;
    TEngineContext ctx;
    ctx.FToolsDir = dir;
    EXPECT_FALSE(CheckRequiredFiles(ctx, host));
    EXPECT_EQ(host.EventsOf("warning"), std::vector<std::string>{"Missing required files."});

    // Optional tools missing (ils, fsstat, blkls) is no error.
    MakeExecutable(bin / "icat");
    ExtractEmbeddedBinaries(dir, ex, bin.path());
    ASSERT_EQ(ex.size(), EngineToolTable().size());
    EXPECT_EQ(ex[1].ResourceName, bin / "icat");
    for (size_t i = 2; i < ex.size(); ++i) EXPECT_TRUE(ex[i].FullPath.empty()) << ex[i].FileName;
    ctx.FToolsDir = dir;
    EXPECT_TRUE(CheckRequiredFiles(ctx, host));
    DeleteExtractedBinaries(dir, ex);
}

TEST(EngineFolder, RefusesASharedParentItDoesNotOwnOrThatIsALink) {
    TempDir tmp, elsewhere;
    ScopedTmpDir scoped(tmp.path());
    // A link planted where the parent folder goes is never followed: the per-user name
    // is used instead and the link's target stays empty.
    ASSERT_EQ(::symlink(elsewhere.path().c_str(), (tmp / "recovery_embedded").c_str()), 0);
    const std::string dir = CreateUniqueTempFolder("recovery_embedded");
    EXPECT_EQ(dir.rfind(tmp / ("recovery_embedded-" + std::to_string(::geteuid()) + "/{"), 0), 0u) << dir;
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path()));
    RemoveTempFolder(dir);
    EXPECT_FALSE(Exists(dir));

    // Both names taken by links: refused with a clear error.
    ::rmdir((tmp / ("recovery_embedded-" + std::to_string(::geteuid()))).c_str());
    ASSERT_EQ(::symlink(elsewhere.path().c_str(), (tmp / ("recovery_embedded-" + std::to_string(::geteuid()))).c_str()), 0);
    EXPECT_THROW(CreateUniqueTempFolder("recovery_embedded"), std::runtime_error);

    // A temporary folder that takes no new folders (here one even root cannot write in)
    // says why, not that something is a link.
    {
        ScopedTmpDir scopedProc("/proc/self");
        try {
            CreateUniqueTempFolder("recovery_embedded");
            ADD_FAILURE() << "a temporary folder that takes no folders was used";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()),
                      "Cannot make a private engine folder in the temporary folder /proc/self: No such file or directory");
        }
    }

    // Our own parent left open to others is closed up before use.
    TempDir tmp2;
    ScopedTmpDir scoped2(tmp2.path());
    ASSERT_EQ(::mkdir((tmp2 / "recovery_embedded").c_str(), 0777), 0);
    ::chmod((tmp2 / "recovery_embedded").c_str(), 0777);
    const std::string d2 = CreateUniqueTempFolder("recovery_embedded");
    EXPECT_EQ(LStat(tmp2 / "recovery_embedded").st_mode & 07777, 0700u);
    RemoveTempFolder(d2);

    // A parent another user made (even one open to all) is never used: its owner could
    // swap our folder. Only root can hand a folder to another user to try it.
    if (::geteuid() == 0) {
        TempDir tmp3;
        ScopedTmpDir scoped3(tmp3.path());
        ASSERT_EQ(::mkdir((tmp3 / "recovery_embedded").c_str(), 0777), 0);
        ::chmod((tmp3 / "recovery_embedded").c_str(), 01777);
        ASSERT_EQ(::chown((tmp3 / "recovery_embedded").c_str(), 65534, 65534), 0);
        const std::string d3 = CreateUniqueTempFolder("recovery_embedded");
        EXPECT_EQ(d3.rfind(tmp3 / "recovery_embedded-0/{", 0), 0u) << d3;
        EXPECT_TRUE(std::filesystem::is_empty(tmp3 / "recovery_embedded"));
    }
}

TEST(EngineFolder, RequireToolLooksInTheEngineFolderThenBesideTheProgram) {
    TempDir tools;
    RecordingHost host;
    TEngineContext ctx;
    ctx.FToolsDir = tools.path();
    const std::string name = "brivo-test-tool-" + std::to_string(::getpid());
    const std::string beside = JoinPath(ExecutableDir(), name);
    try {
        RequireTool(ctx, host, name);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Required engine file not found: " + name);
    }
    MakeExecutable(beside);
    EXPECT_EQ(RequireTool(ctx, host, name), beside);  // only while the folder lacks it
    MakeExecutable(tools / name);
    EXPECT_EQ(RequireTool(ctx, host, name), tools / name);
    ::unlink(beside.c_str());
}
