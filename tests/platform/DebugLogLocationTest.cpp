#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "TestSupport.h"
#include "platform/DebugLogLocation.h"

namespace brivo {
namespace {

// Sets an environment variable (or removes it, for nullptr) for the object's life.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        if (value) ::setenv(name, value, 1); else ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_) ::setenv(name_.c_str(), old_.c_str(), 1); else ::unsetenv(name_.c_str());
    }

private:
    std::string name_, old_;
    bool had_ = false;
};

// The log goes to the user's state folder, never beside the program, made owner-only
// with its parents.
TEST(DebugLogLocation, StateFolderFromXdgThenHome) {
    test::TempDir home, state;
    {
        ScopedEnv h("HOME", home.path().c_str());
        ScopedEnv x("XDG_STATE_HOME", (state / "deep/state").c_str());
        EXPECT_EQ(DebugLogFilePath("x.log"), state / "deep/state/brivo-recovery/x.log");
        struct stat st {};
        ASSERT_EQ(::stat((state / "deep/state/brivo-recovery").c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
    for (const char* xdg : {static_cast<const char*>(nullptr), "", "relative/state"}) {
        ScopedEnv h("HOME", home.path().c_str());
        ScopedEnv x("XDG_STATE_HOME", xdg);
        EXPECT_EQ(DebugLogFilePath("x.log"), home / ".local/state/brivo-recovery/x.log") << (xdg ? xdg : "unset");
    }
    EXPECT_TRUE(std::filesystem::is_directory(home / ".local/state/brivo-recovery"));

    // A state folder that cannot be made (a file in the way): no debug log rather than one
    // somewhere unexpected.
    test::WriteFileBytes(state / "file", "x");
    ScopedEnv x("XDG_STATE_HOME", (state / "file").c_str());
    EXPECT_EQ(DebugLogFilePath("x.log"), "");
}

} // namespace
} // namespace brivo
