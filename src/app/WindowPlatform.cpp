#include "app/WindowPlatform.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <filesystem>
#include <fstream>

#include "volumes/VolumeList.h"

#include <exception>

#include "app/Translation.h"
#include "platform/DeviceBroker.h"
#include "platform/Devices.h"
#include "platform/DiskService.h"
#include "platform/Mounts.h"

namespace brivo {

namespace {

std::string ReadSmallFile(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 0x20) text.pop_back();
    size_t b = 0;
    while (b < text.size() && static_cast<unsigned char>(text[b]) <= 0x20) ++b;
    return text.substr(b);
}

uint64_t SizeBytesOf(const std::string& sysClassBlock, const std::string& name) {
    // The kernel counts 512-byte units here whatever the device's sector size.
    const std::string text = ReadSmallFile(sysClassBlock + "/" + name + "/size");
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || v > (UINT64_MAX - 9) / 10) return 0;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    return v > UINT64_MAX / 512 ? 0 : v * 512;
}

// "My\x20Disk" (udev's escaping in /dev/disk/by-label) as "My Disk".
std::string UnescapeUdev(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
            const std::string hex = s.substr(i + 2, 2);
            char* end = nullptr;
            const long v = std::strtol(hex.c_str(), &end, 16);
            if (end == hex.c_str() + 2) {
                out += static_cast<char>(v);
                i += 3;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

std::string LabelOf(const std::string& name, const std::string& byLabelDir) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(byLabelDir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code lec;
        const auto target = std::filesystem::read_symlink(it->path(), lec);
        if (!lec && target.filename() == name) return UnescapeUdev(it->path().filename().string());
    }
    return {};
}

// An MBR extended partition: the kernel lists it as a partition of one or two sectors
// (room for a boot loader), which holds no file system; its volumes are listed beside it.
// udev's record names its type when there is one.
bool IsExtendedPartitionStub(const std::string& sysClassBlock, const std::string& name, uint64_t size,
                             const std::string& udevDataDir) {
    std::error_code ec;
    if (!std::filesystem::exists(sysClassBlock + "/" + name + "/partition", ec)) return false;
    if (size <= 1024) return true;
    const std::string dev = ReadSmallFile(sysClassBlock + "/" + name + "/dev");
    if (dev.empty() || dev.find('/') != std::string::npos) return false;
    std::ifstream in(udevDataDir + "/b" + dev);
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && static_cast<unsigned char>(line.back()) <= 0x20) line.pop_back();
        if (line == "E:ID_PART_ENTRY_TYPE=0x5" || line == "E:ID_PART_ENTRY_TYPE=0xf" ||
            line == "E:ID_PART_ENTRY_TYPE=0x85")
            return true;
    }
    return false;
}

constexpr const char* kDefaultSysClassBlock = "/sys/class/block";

// What the disk service said at the last listing of the machine's own drives; the drive
// lists describe their entries from it right after (window thread only).
std::optional<std::vector<TServiceDevice>>& ServiceSnapshot() {
    static std::optional<std::vector<TServiceDevice>> snapshot;
    return snapshot;
}

const TServiceDevice* ServiceDevice(const std::string& name) {
    const auto& snapshot = ServiceSnapshot();
    if (!snapshot) return nullptr;
    for (const TServiceDevice& d : *snapshot)
        if (d.Name == name) return &d;
    return nullptr;
}

std::string ServiceFsName(const TServiceDevice& d) {
    if (d.FsType == "vfat") return d.FsVersion.empty() ? "FAT" : d.FsVersion;
    if (d.FsType == "ntfs") return "NTFS";
    if (d.FsType == "exfat") return "exFAT";
    return d.FsType;
}

} // namespace

std::string DescribeServiceDevice(const TServiceDevice& d) {
    std::string text = d.Name;
    if (d.Size > 0) text += "  " + SizeText(d.Size);
    if (!d.Partition) {
        if (!d.Model.empty()) text += "  " + d.Model;
        if (!d.Serial.empty()) text += "  " + d.Serial;
        if (d.Model.empty() && !d.BackingFile.empty()) text += "  " + d.BackingFile;
        if (d.Removable) text += "  " + Translate("removable");
    }
    // A whole disk without a partition table may hold the file system itself.
    const std::string fs = ServiceFsName(d);
    if (!fs.empty()) text += "  " + fs;
    if (!d.Label.empty()) text += "  " + d.Label;
    if (!d.MountPoints.empty()) text += "  " + Translate("mounted at") + " " + d.MountPoints.front();
    return text;
}

std::vector<std::string> ListBlockDevicesForWindow(const std::string& sysClassBlock, const std::string& udevDataDir) {
    std::vector<std::string> names;
    if (sysClassBlock == kDefaultSysClassBlock) {
        // The disk service knows the drives' names, file systems and mounts without
        // opening them; where it does not run, /sys tells what it can.
        ServiceSnapshot() = ListServiceDevices();
        if (ServiceSnapshot()) {
            for (const TServiceDevice& d : *ServiceSnapshot())
                if (d.Size > 0 && !d.ExtendedContainer) names.push_back(d.Name);
            return names;
        }
    }
    for (const std::string& name : ListBlockDevices(sysClassBlock)) {
        const uint64_t size = SizeBytesOf(sysClassBlock, name);
        if (size > 0 && !IsExtendedPartitionStub(sysClassBlock, name, size, udevDataDir)) names.push_back(name);
    }
    return names;
}

std::string DescribeBlockDevice(const std::string& name, const std::string& sysClassBlock,
                                const std::string& byLabelDir, bool probe) {
    if (sysClassBlock == kDefaultSysClassBlock)
        if (const TServiceDevice* d = ServiceDevice(name)) return DescribeServiceDevice(*d);
    std::string text = name;
    const uint64_t size = SizeBytesOf(sysClassBlock, name);
    if (size > 0) text += "  " + SizeText(size);
    const std::string dir = sysClassBlock + "/" + name;
    std::error_code ec;
    const bool partition = std::filesystem::exists(dir + "/partition", ec);
    if (!partition) {
        std::string model = ReadSmallFile(dir + "/device/model");
        if (model.empty()) model = ReadSmallFile(dir + "/loop/backing_file");
        if (!model.empty()) text += "  " + model;
        return text;
    }
    if (probe) {
        try {
            // Naming what a drive holds never waits for a search for lost volumes, and
            // never asks for a password.
            const TNoBrokerScope noPrompt;
            const TSourceVolumes v = ListVolumes(DevicePathFor(name), TSearchDepth::None);
            if (v.Volumes.size() == 1 && !v.Volumes[0].Fs.Name.empty()) text += "  " + v.Volumes[0].Fs.Name;
        } catch (const std::exception&) {
            // Not readable without privileges: the list still names the device.
        }
    }
    const std::string label = LabelOf(name, byLabelDir);
    if (!label.empty()) text += "  " + label;
    return text;
}

std::string SystemDriveName() {
    const std::string root = RootDeviceSource(ReadSelfMountInfo());
    return root.empty() ? std::string() : DeviceNameOf(root);
}

void UnpackEngineFolder(TEngineContext& engine, TScanHost& host) {
    try {
        ExtractEmbeddedBinaries(engine);
    } catch (const std::exception& e) {
        host.ShowError(e.what());
    }
}

void RemoveEngineFolder(TEngineContext& engine) {
    if (!engine.FToolsDir.empty()) DeleteExtractedBinaries(engine);
}

} // namespace brivo
