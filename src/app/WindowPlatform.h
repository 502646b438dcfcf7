#pragma once
#include <string>
#include <vector>

#include "core/ScanHost.h"
#include "driver/Engine.h"
#include "platform/DiskService.h"

namespace brivo {

// The names the drive lists offer: the machine's block devices and partitions, without
// the empty ones (unused loop devices, card readers without a card) and without the stubs
// of MBR extended partitions (at most 1 KiB, or of type 0x05, 0x0f or 0x85 in udevDataDir's
// record of the device), which hold no file system.
std::vector<std::string> ListBlockDevicesForWindow(const std::string& sysClassBlock = "/sys/class/block",
                                                   const std::string& udevDataDir = "/run/udev/data");
// What the drive lists show for a device: "sdb  14.9 GiB  SanDisk Ultra" for a whole
// disk (size and model from sysClassBlock), "sdb1  4.0 GiB  FAT32  STICK" for a
// partition (its file system by signature when the device can be read, its label from
// byLabelDir).
std::string DescribeBlockDevice(const std::string& name, const std::string& sysClassBlock = "/sys/class/block",
                                const std::string& byLabelDir = "/dev/disk/by-label", bool probe = true);
// The drive lists' text for a device the disk service described: "sdb  14.9 GiB  SanDisk
// Ultra  4C5300  removable" for a drive, "sdb1  4.0 GiB  FAT32  STICK  mounted at
// /media/u/STICK" for a partition. The machine's own lists take this form whenever the
// service runs (the /sys form above is the fallback).
std::string DescribeServiceDevice(const TServiceDevice& d);
// The name (e.g. "sda2") of the device mounted at "/"; empty when "/" has none.
std::string SystemDriveName();
// Makes the private engine folder. A missing tool is reported in an error box; the
// window still opens, and every scan then stops at the missing-files warning.
void UnpackEngineFolder(TEngineContext& engine, TScanHost& host);
// Removes the engine folder, when there is one. Never throws.
void RemoveEngineFolder(TEngineContext& engine);

} // namespace brivo
