#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "TestSupport.h"
#include "platform/DeviceBroker.h"

namespace brivo {
namespace {

// Any block device of the machine: the broker looks only at its number before asking.
std::string SomeBlockDevice() {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/dev"), ::closedir);
    if (!dir) return {};
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string path = std::string("/dev/") + e->d_name;
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) return path;
    }
    return {};
}

// Points the system bus at a socket that does not exist, for the life of the object.
class TNoSystemBus {
public:
    TNoSystemBus() {
        if (const char* v = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) saved_ = v, had_ = true;
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (dir_ / "no-bus")).c_str(), 1);
    }
    ~TNoSystemBus() {
        if (had_) ::setenv("DBUS_SYSTEM_BUS_ADDRESS", saved_.c_str(), 1);
        else ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }

private:
    test::TempDir dir_;
    std::string saved_;
    bool had_ = false;
};

// Every way the broker gives up names what to do, never a bare "Permission denied" with
// nothing after it; a device that is not asked for is refused without a word to the bus.
TEST(DeviceBroker, RefusalsSayWhatToDo) {
    const std::string device = SomeBlockDevice();
    if (device.empty()) GTEST_SKIP() << "no block device in /dev";
    const TNoSystemBus noBus;

    TBrokeredOpen noService = OpenDeviceThroughBroker(device);
    EXPECT_FALSE(noService.Fd);
    EXPECT_NE(noService.Error.find("install the udisks2 package"), std::string::npos) << noService.Error;
    EXPECT_NE(noService.Error.find(device), std::string::npos) << noService.Error;

    TBrokeredOpen notAsked = OpenDeviceThroughBroker(device, false);
    EXPECT_FALSE(notAsked.Fd);
    EXPECT_EQ(notAsked.Error, "Permission denied: " + device);

    // A path that is not a block device is never taken to the service.
    test::TempDir dir;
    TBrokeredOpen file = OpenDeviceThroughBroker(dir / "missing");
    EXPECT_FALSE(file.Fd);
    EXPECT_EQ(file.Error, "Permission denied: " + (dir / "missing"));
}

} // namespace
} // namespace brivo
