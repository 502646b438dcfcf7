#include "core/SourceSelection.h"

#include "core/Text.h"
#include "core/ScanChoices.h"

#include <stdexcept>

#include "platform/Devices.h"
#include "platform/Mounts.h"
#include "platform/Paths.h"

namespace brivo {

namespace {

std::string Trim(const std::string& s) { return std::string(TrimView(s)); }

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// "D:" of "D:\\Photos"; empty when the path has no drive.
std::string DrivePart(const std::string& path) {
    if (path.size() >= 2 && IsAsciiLetter(path[0]) && path[1] == ':') return path.substr(0, 2);
    return {};
}

bool Refuse(TScanHost& host, const char* message) {
    host.ShowWarning(host.Translate(message));
    return false;
}

[[noreturn]] void Raise(TScanHost& host, const char* message) { throw std::runtime_error(host.Translate(message)); }

// The volume that holds an existing folder, and the folder's scope on it.
void FolderSource(const std::string& folder, TScanHost& host, std::string_view mountInfoText, TScanSource& out) {
    if (!folder.empty() && folder[0] == '\\') Raise(host, kMsgNetworkFolder);
    TFolderMount fm;
    if (!LocateFolderMount(folder, mountInfoText, fm)) Raise(host, kMsgNoLocalDrive);
    if (IsNetworkFileSystem(fm.Mount.FsType)) Raise(host, kMsgNetworkFolder);
    const std::string src = MountBackingSource(fm.Mount);
    if (src.empty()) Raise(host, kMsgNoLocalDrive);
    out.Src = src;
    out.PathFilter = NormalizeFolderFilter(fm.PathInVolume, &host);
}

} // namespace

TScanWhere CurrentScanWhere(int whereIndex) {
    if (whereIndex < 0 || whereIndex >= static_cast<int>(kWhereKinds.size())) return TScanWhere::swDisk;
    return kWhereKinds[static_cast<size_t>(whereIndex)].Where;
}

std::string NormalizeFolderFilter(const std::string& path, TScanHost* host) {
    std::string t = Trim(path);
    if (t.empty()) return {};
    if (t[0] == '\\') throw std::runtime_error(host ? host->Translate(kMsgNetworkFolder) : kMsgNetworkFolder);
    t.erase(0, DrivePart(t).size());
    for (char& c : t)
        if (c == '\\') c = '/';
    std::string collapsed;
    collapsed.reserve(t.size());
    for (char c : t)
        if (!(c == '/' && !collapsed.empty() && collapsed.back() == '/')) collapsed.push_back(c);
    t = std::move(collapsed);
    if (t.empty() || t[0] != '/') t.insert(t.begin(), '/');
    if (t.size() > 1 && t.back() == '/') t.pop_back();
    return t;
}

bool BuildScanSource(const TScanChoice& choice, TScanHost& host, TScanSource& out) {
    const TScanWhere where = choice.Where;
    // The mount table matters only for the Folder kind; read it only then.
    if (where != TScanWhere::swFolder) return BuildScanSource(choice, host, out, std::string_view());
    const std::string mountInfo = ReadSelfMountInfo();
    return BuildScanSource(choice, host, out, mountInfo);
}

bool BuildScanSource(const TScanChoice& choice, TScanHost& host, TScanSource& out, std::string_view mountInfoText) {
    TScanSource result;
    result.Where = choice.Where;
    switch (result.Where) {
        case TScanWhere::swDisk: {
            const std::string text = Trim(choice.DiskText);
            if (text.empty()) return Refuse(host, kMsgSelectDisk);
            result.Src = DevicePathFor(text);
            break;
        }
        case TScanWhere::swDiskImage: {
            const std::string text = Trim(choice.ImagePath);
            if (text.empty() || !FileExists(text)) return Refuse(host, kMsgSelectImage);
            result.Src = text;
            break;
        }
        case TScanWhere::swFolder: {
            const std::string text = Trim(choice.FolderPath);
            if (text.empty() || !DirectoryExists(text)) return Refuse(host, kMsgSelectFolder);
            FolderSource(text, host, mountInfoText, result);
            break;
        }
        case TScanWhere::swRecycleBin: {
            const std::string text = Trim(choice.RecycleBinDiskText);
            if (text.empty()) return Refuse(host, kMsgSelectRecycleBinDisk);
            // A disk image's Recycle Bin is read from the image itself, not "/dev/" + path.
            result.Src = text.find('/') != std::string::npos && FileExists(text) && !IsDeviceSource(text)
                             ? text
                             : DevicePathFor(text);
            result.PathFilter = "/$Recycle.Bin";
            break;
        }
    }
    out = std::move(result);
    return true;
}

} // namespace brivo
