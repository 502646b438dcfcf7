#pragma once
#include <string>
#include <vector>

namespace brivo {

inline constexpr const char* kSysClassBlock = "/sys/class/block";

// Names of the machine's block devices and partitions (sda, sdb1, nvme0n1p2, loop3, ...):
// every entry of the folder, whatever its kind, in natural name order (digit runs compare
// as numbers, so loop2 comes before loop10). An unreadable folder gives an empty list.
std::vector<std::string> ListBlockDevices(const std::string& sysClassBlock = kSysClassBlock);

// True for a path naming a device ("/dev/..."), the only test that separates devices from
// image files: devices fail quietly where image files raise.
bool IsDeviceSource(const std::string& path);

// The device path of a drive-list entry: "sdb1" gives "/dev/sdb1"; text already beginning
// with "/dev/" is kept as typed. Blanks around the text are dropped; empty stays empty.
std::string DevicePathFor(const std::string& text);

// The inverse of DevicePathFor: "/dev/sdb1" gives "sdb1"; any other text is returned as is.
std::string DeviceNameOf(const std::string& path);

// Orders "sda2" < "sda10" (runs of digits by value, the rest bytewise).
bool NaturalNameLess(const std::string& a, const std::string& b);

} // namespace brivo
