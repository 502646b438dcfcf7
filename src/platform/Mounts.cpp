#include "platform/Mounts.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/Devices.h"
#include "platform/Paths.h"

namespace brivo {

namespace {

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

std::vector<std::string_view> SplitBlanks(std::string_view line) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        size_t b = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > b) out.push_back(line.substr(b, i - b));
    }
    return out;
}

// "/mnt" holds "/mnt" and "/mnt/x"; "/" holds every absolute path.
bool MountHolds(const std::string& mountPoint, const std::string& path) {
    if (mountPoint == "/") return !path.empty() && path[0] == '/';
    if (path.compare(0, mountPoint.size(), mountPoint) != 0) return false;
    return path.size() == mountPoint.size() || path[mountPoint.size()] == '/';
}

// root + rest, both "/"-rooted, with one "/" between and none at the end.
std::string JoinVolumePath(const std::string& root, const std::string& rest) {
    std::string r = root.empty() ? "/" : root;
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    if (rest.empty() || rest == "/") return r;
    return r == "/" ? rest : r + rest;
}

} // namespace

std::string UnescapeMountField(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && IsOctal(field[i + 1]) && IsOctal(field[i + 2]) &&
            IsOctal(field[i + 3])) {
            const int v = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            if (v <= 0xFF) {
                out.push_back(static_cast<char>(v));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

std::vector<TMountEntry> ParseMountInfo(std::string_view text) {
    // id parent major:minor root mount-point options [optional fields...] - fstype source super-options
    std::vector<TMountEntry> mounts;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) nl = text.size();
        const std::string_view line = text.substr(pos, nl - pos);
        pos = nl + 1;
        const auto f = SplitBlanks(line);
        if (f.size() < 6) continue;
        size_t sep = 6;
        while (sep < f.size() && f[sep] != "-") ++sep;
        if (sep + 2 >= f.size()) continue;  // no "-", fstype or source
        TMountEntry m;
        const std::string devText(f[2]);
        if (std::sscanf(devText.c_str(), "%u:%u", &m.Major, &m.Minor) != 2) m.Major = m.Minor = 0;
        m.Root = UnescapeMountField(f[3]);
        m.MountPoint = UnescapeMountField(f[4]);
        m.FsType = UnescapeMountField(f[sep + 1]);
        m.Source = UnescapeMountField(f[sep + 2]);
        if (m.MountPoint.empty() || m.MountPoint[0] != '/') continue;
        mounts.push_back(std::move(m));
    }
    return mounts;
}

std::string ReadSelfMountInfo() {
    std::ifstream in("/proc/self/mountinfo", std::ios::binary);
    if (!in) return {};
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool FindMountOf(const std::string& resolvedPath, std::string_view mountInfoText, TFolderMount& out,
                 const unsigned* deviceMajorMinor) {
    if (resolvedPath.empty() || resolvedPath[0] != '/') return false;
    const auto mounts = ParseMountInfo(mountInfoText);
    auto longest = [&](bool sameDeviceOnly) {
        const TMountEntry* best = nullptr;
        for (const auto& m : mounts) {
            if (!MountHolds(m.MountPoint, resolvedPath)) continue;
            if (sameDeviceOnly && (m.Major != deviceMajorMinor[0] || m.Minor != deviceMajorMinor[1])) continue;
            if (!best || m.MountPoint.size() >= best->MountPoint.size()) best = &m;
        }
        return best;
    };
    // Some file systems (btrfs subvolumes) give their files another device number than
    // the mount table shows; then the longest mount point has to do.
    const TMountEntry* best = deviceMajorMinor ? longest(true) : nullptr;
    if (!best) best = longest(false);
    if (!best) return false;
    out.Mount = *best;
    const std::string rest = best->MountPoint == "/" ? resolvedPath : resolvedPath.substr(best->MountPoint.size());
    out.PathInVolume = JoinVolumePath(best->Root, rest);
    return true;
}

bool LocateFolderMount(const std::string& folder, std::string_view mountInfoText, TFolderMount& out) {
    if (folder.empty()) return false;
    std::unique_ptr<char, void (*)(void*)> real(::realpath(folder.c_str(), nullptr), std::free);
    if (!real) return false;
    struct stat st {};
    if (::stat(real.get(), &st) != 0) return FindMountOf(real.get(), mountInfoText, out);
    const unsigned dev[2] = {major(st.st_dev), minor(st.st_dev)};
    return FindMountOf(real.get(), mountInfoText, out, dev);
}

bool IsNetworkFileSystem(const std::string& fsType) {
    static const char* const kNetwork[] = {"nfs", "nfs4", "cifs", "smb3", "9p", "ceph", "glusterfs", "afs",
                                           "fuse.sshfs", "fuse.rclone"};
    for (const char* n : kNetwork)
        if (fsType == n) return true;
    return false;
}

std::string MountBackingSource(const TMountEntry& mount) {
    if (IsDeviceSource(mount.Source)) return mount.Source;
    if (!mount.Source.empty() && mount.Source[0] == '/' && FileExists(mount.Source)) return mount.Source;
    return {};
}

std::string RootDeviceSource(std::string_view mountInfoText) {
    TFolderMount fm;
    if (!FindMountOf("/", mountInfoText, fm)) return {};
    return IsDeviceSource(fm.Mount.Source) ? fm.Mount.Source : std::string();
}

} // namespace brivo
