#pragma once
#include <string>
#include <sys/types.h>

namespace brivo {

// True when the scan source is a block device and the output folder (or, when it does
// not exist yet, its nearest existing ancestor) lies on storage that overlaps it: the
// same device, a partition of it, the whole disk it is a partition of, or a device-mapper
// / md device stacked on any of those. Writing recovered files there can overwrite the
// very clusters being recovered, so front ends ask (window) or refuse (command line)
// first. An image file source never counts; any lookup that fails gives false.
bool OutputOnScannedDevice(const std::string& src, const std::string& outDir);

// Whether two block devices share storage, from the sysfs block tree (sysDevBlock holds
// "MAJOR:MINOR" links, like /sys/dev/block): equal, a whole disk and one of its
// partitions, or stacked devices (device-mapper, md, loop over a device) whose underlying
// devices meet. Two partitions of one disk do not overlap, nor does a loop device over an
// image file with the file system holding that file.
bool BlockDevicesOverlap(dev_t a, dev_t b, const std::string& sysDevBlock = "/sys/dev/block");

} // namespace brivo
