#include "platform/SameVolume.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>

#include "platform/Mounts.h"

namespace brivo {

namespace {

std::string DevKey(dev_t d) { return std::to_string(major(d)) + ":" + std::to_string(minor(d)); }

bool ReadDevFile(const std::string& path, dev_t& out) {
    std::ifstream in(path);
    unsigned ma = 0, mi = 0;
    char colon = 0;
    if (!(in >> ma >> colon >> mi) || colon != ':') return false;
    out = makedev(ma, mi);
    return true;
}

// The device's sysfs folder, resolved (".../block/sda/sda1" for a partition).
std::string SysFolder(const std::string& sysDevBlock, dev_t d) {
    char buf[PATH_MAX];
    const std::string link = sysDevBlock + "/" + DevKey(d);
    if (!::realpath(link.c_str(), buf)) return {};
    return buf;
}

// The bottom of a stack of device-mapper / md devices: the devices that hold the data.
void CollectLeaves(const std::string& sysDevBlock, dev_t d, std::set<dev_t>& out, int depth) {
    const std::string folder = SysFolder(sysDevBlock, d);
    bool any = false;
    if (!folder.empty() && depth < 16) {
        if (DIR* dir = ::opendir((folder + "/slaves").c_str())) {
            while (dirent* e = ::readdir(dir)) {
                const std::string name = e->d_name;
                if (name == "." || name == "..") continue;
                dev_t slave{};
                if (ReadDevFile(folder + "/slaves/" + name + "/dev", slave)) {
                    any = true;
                    CollectLeaves(sysDevBlock, slave, out, depth + 1);
                }
            }
            ::closedir(dir);
        }
    }
    if (any) return;
    out.insert(d);
    // A loop device over a device shares that device's storage. One over a regular file
    // keeps its data in that file's blocks, which its file system never hands to another
    // file: writing elsewhere on that file system cannot reach them.
    std::ifstream backing(folder + "/loop/backing_file");
    std::string file;
    struct stat st {};
    if (depth < 16 && std::getline(backing, file) && ::stat(file.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
        CollectLeaves(sysDevBlock, st.st_rdev, out, depth + 1);
}

// The whole disk of a partition; the device itself otherwise.
dev_t DiskOf(const std::string& sysDevBlock, dev_t d) {
    const std::string folder = SysFolder(sysDevBlock, d);
    if (folder.empty() || ::access((folder + "/partition").c_str(), F_OK) != 0) return d;
    const auto slash = folder.rfind('/');
    dev_t parent{};
    if (slash == std::string::npos || !ReadDevFile(folder.substr(0, slash) + "/dev", parent)) return d;
    return parent;
}

std::string Absolute(const std::string& path) {
    if (!path.empty() && path.front() == '/') return path;
    char buf[PATH_MAX];
    if (!::getcwd(buf, sizeof buf)) return path;
    return std::string(buf) + "/" + path;
}

// The folder itself, or when it does not exist yet its nearest existing ancestor (where
// it will be made). False when nothing of the path exists.
bool ExistingFolder(const std::string& outDir, std::string& dir, struct stat& st) {
    dir = Absolute(outDir);
    while (::stat(dir.c_str(), &st) != 0) {
        while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
        const auto slash = dir.rfind('/');
        if (slash == std::string::npos || dir == "/") return false;
        dir = slash == 0 ? "/" : dir.substr(0, slash);
    }
    return true;
}

using TFileId = std::pair<dev_t, ino_t>;

void AddRegularFile(const std::string& path, std::set<TFileId>& out) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) out.insert({st.st_dev, st.st_ino});
}

// The image files whose bytes a block device shows: the backing file of a loop device,
// of the loop device a partition (loop0p1) belongs to, and of those under a mapping.
void LoopBackingFiles(const std::string& sysDevBlock, dev_t d, std::set<TFileId>& out) {
    std::set<dev_t> leaves;
    CollectLeaves(sysDevBlock, d, leaves, 0);
    for (dev_t leaf : leaves) {
        for (dev_t x : {leaf, DiskOf(sysDevBlock, leaf)}) {
            const std::string folder = SysFolder(sysDevBlock, x);
            if (folder.empty()) continue;
            std::ifstream backing(folder + "/loop/backing_file");
            std::string file;
            if (!std::getline(backing, file) || file.empty()) continue;
            // The kernel marks a backing file removed since; that name is someone else's now.
            const std::string deleted = " (deleted)";
            if (file.size() > deleted.size() && file.compare(file.size() - deleted.size(), deleted.size(), deleted) == 0)
                continue;
            AddRegularFile(file, out);
        }
    }
}

} // namespace

bool BlockDevicesOverlap(dev_t a, dev_t b, const std::string& sysDevBlock) {
    if (a == b) return true;
    std::set<dev_t> la, lb;
    CollectLeaves(sysDevBlock, a, la, 0);
    CollectLeaves(sysDevBlock, b, lb, 0);
    for (dev_t x : la) {
        for (dev_t y : lb) {
            if (x == y) return true;
            // A whole disk holds every one of its partitions; two partitions of one disk
            // are separate ranges.
            const dev_t dx = DiskOf(sysDevBlock, x), dy = DiskOf(sysDevBlock, y);
            if ((dx != x && dx == y) || (dy != y && dy == x)) return true;
        }
    }
    return false;
}

bool OutputOnScannedDevice(const std::string& src, const std::string& outDir) {
    struct stat srcSt {};
    if (src.empty() || ::stat(src.c_str(), &srcSt) != 0 || !S_ISBLK(srcSt.st_mode)) return false;

    // The folder may not exist yet: it will be made on the device of its nearest ancestor.
    std::string dir;
    struct stat dirSt {};
    if (!ExistingFolder(outDir, dir, dirSt)) return false;

    std::set<dev_t> candidates{dirSt.st_dev};
    // Some file systems (btrfs, overlay) report an anonymous st_dev; the mount table names
    // the device behind them.
    TFolderMount fm;
    if (LocateFolderMount(dir, ReadSelfMountInfo(), fm)) {
        const std::string backing = MountBackingSource(fm.Mount);
        struct stat bst {};
        if (!backing.empty() && ::stat(backing.c_str(), &bst) == 0) {
            if (S_ISBLK(bst.st_mode)) candidates.insert(bst.st_rdev);
            // A file system inside an image file (FUSE) writes to the image's own device.
            else if (S_ISREG(bst.st_mode)) candidates.insert(bst.st_dev);
        }
    }
    for (dev_t c : candidates)
        if (BlockDevicesOverlap(srcSt.st_rdev, c)) return true;
    return false;
}

} // namespace brivo

namespace brivo {

bool OutputInsideSourceImage(const std::string& src, const std::string& outDir, const std::string& sysDevBlock) {
    struct stat srcSt {};
    if (src.empty() || ::stat(src.c_str(), &srcSt) != 0) return false;
    std::set<TFileId> sourceFiles;
    if (S_ISREG(srcSt.st_mode))
        sourceFiles.insert({srcSt.st_dev, srcSt.st_ino});
    else if (S_ISBLK(srcSt.st_mode))
        LoopBackingFiles(sysDevBlock, srcSt.st_rdev, sourceFiles);
    if (sourceFiles.empty()) return false;

    std::string dir;
    struct stat dirSt {};
    if (!ExistingFolder(outDir, dir, dirSt)) return false;
    std::set<TFileId> outputFiles;
    // A loop mount (mount -o loop, losetup): the folder's device is the loop device.
    LoopBackingFiles(sysDevBlock, dirSt.st_dev, outputFiles);
    // A FUSE mount (ntfs-3g IMAGE DIR) names the image file as its source; a mount of a
    // device may name the loop device when st_dev is anonymous.
    TFolderMount fm;
    if (LocateFolderMount(dir, ReadSelfMountInfo(), fm)) {
        const std::string backing = MountBackingSource(fm.Mount);
        struct stat bst {};
        if (!backing.empty() && ::stat(backing.c_str(), &bst) == 0) {
            if (S_ISREG(bst.st_mode)) outputFiles.insert({bst.st_dev, bst.st_ino});
            else if (S_ISBLK(bst.st_mode)) LoopBackingFiles(sysDevBlock, bst.st_rdev, outputFiles);
        }
    }
    for (const TFileId& f : outputFiles)
        if (sourceFiles.count(f)) return true;
    return false;
}

} // namespace brivo
