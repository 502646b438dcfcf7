#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brivo {

// A block device as the system's disk service (UDisks2) describes it: what the drive
// lists show without opening the device, so listing never needs a password.
struct TServiceDevice {
    std::string Name;  // "sdb1" (the device path without "/dev/")
    uint64_t Size = 0;
    bool Partition = false;
    bool ExtendedContainer = false;  // an MBR extended partition: no file system of its own
    // Of the drive the device lies on (empty for loop devices and the like).
    std::string Model;
    std::string Serial;
    bool Removable = false;
    // What the service found on it without our help.
    std::string FsType;     // "vfat", "ntfs", "exfat", "ext4", ...
    std::string FsVersion;  // "FAT32", ...
    std::string Label;
    std::vector<std::string> MountPoints;
    std::string BackingFile;  // of a loop device
};

// The service's block devices, in natural name order; nothing when the service (or the
// system bus) cannot be reached.
std::optional<std::vector<TServiceDevice>> ListServiceDevices();

class TDiskServiceReceiver;

// Calls changed whenever the disk service adds or removes a device or a part of one (a
// card put in or taken out), on the thread that made the watch; that thread must run a
// Qt event loop. Without the service it never calls.
class TDiskServiceWatch {
public:
    explicit TDiskServiceWatch(std::function<void()> changed);
    ~TDiskServiceWatch();
    TDiskServiceWatch(const TDiskServiceWatch&) = delete;
    TDiskServiceWatch& operator=(const TDiskServiceWatch&) = delete;

private:
    std::unique_ptr<TDiskServiceReceiver> receiver_;
};

} // namespace brivo
