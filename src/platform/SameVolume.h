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

// True when the output folder (or its nearest existing ancestor) lies on a file system
// stored in the scan source itself: the source is an image file, or a loop device over
// one, and the folder's file system is mounted from that same file, through a loop
// device (mount -o loop, losetup; a partition of one too) or FUSE (ntfs-3g IMAGE DIR).
// Every file written there changes the image being recovered from, and there is always
// a better place (the file system that holds the image), so front ends refuse it
// outright. Files are compared by device and inode, not by name. Any lookup that fails
// gives false.
bool OutputInsideSourceImage(const std::string& src, const std::string& outDir,
                             const std::string& sysDevBlock = "/sys/dev/block");

} // namespace brivo
