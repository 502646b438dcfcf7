#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "TestSupport.h"
#include "platform/Paths.h"

namespace brivo {
namespace {

// {XXXXXXXX-XXXX-4XXX-[89AB]XXX-XXXXXXXXXXXX}, upper-case hex.
bool IsRegistryGuidV4(const std::string& g) {
    const std::string shape = "{xxxxxxxx-xxxx-4xxx-vxxx-xxxxxxxxxxxx}";
    if (g.size() != shape.size()) return false;
    for (size_t i = 0; i < g.size(); ++i) {
        const char c = g[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
        if (shape[i] == 'x' && !hex) return false;
        if (shape[i] == 'v' && c != '8' && c != '9' && c != 'A' && c != 'B') return false;
        if (shape[i] != 'x' && shape[i] != 'v' && c != shape[i]) return false;
    }
    return true;
}

TEST(Paths, GuidsAreRandomVersion4InRegistryForm) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        const std::string g = NewGuidText();
        EXPECT_TRUE(IsRegistryGuidV4(g)) << g;
        seen.insert(g);
    }
    EXPECT_EQ(seen.size(), 50u);
}

TEST(Paths, JoinAndTempDirectory) {
    struct Case { const char* a; const char* b; const char* want; };
    const Case cases[] = {{"/tmp", "x", "/tmp/x"}, {"/tmp/", "x", "/tmp/x"}, {"/tmp", "/x", "/tmp/x"},
                          {"/tmp/", "/x", "/tmp/x"}, {"", "x", "x"}, {"/tmp", "", "/tmp"}, {"/", "x", "/x"}};
    for (const auto& c : cases) EXPECT_EQ(JoinPath(c.a, c.b), c.want) << c.a << " + " << c.b;

    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    ::setenv("TMPDIR", "/var/tmp//", 1);
    EXPECT_EQ(TempDirectory(), "/var/tmp");
    ::setenv("TMPDIR", "", 1);
    EXPECT_EQ(TempDirectory(), "/tmp");
    {
        // A folder that does not exist (or is no folder) falls back to /tmp.
        test::TempDir gone;
        test::WriteFileBytes(gone / "file", "x");
        for (const std::string& bad : {gone / "missing", gone / "file"}) {
            ::setenv("TMPDIR", bad.c_str(), 1);
            EXPECT_EQ(TempDirectory(), "/tmp") << bad;
        }
        ::setenv("TMPDIR", gone.path().c_str(), 1);
        EXPECT_EQ(TempDirectory(), gone.path());
    }
    if (old) ::setenv("TMPDIR", saved.c_str(), 1); else ::unsetenv("TMPDIR");

    test::TempDir dir;
    test::WriteFileBytes(dir / "f", "x");
    EXPECT_TRUE(FileExists(dir / "f"));
    EXPECT_FALSE(FileExists(dir.path()));
    EXPECT_TRUE(DirectoryExists(dir.path()));
    EXPECT_FALSE(DirectoryExists(dir / "f"));
    EXPECT_FALSE(FileExists(""));
    EXPECT_TRUE(DirectoryExists(ExecutableDir()));
}

} // namespace
} // namespace brivo
