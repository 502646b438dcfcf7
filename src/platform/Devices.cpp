#include "platform/Devices.h"

#include <dirent.h>

#include <algorithm>
#include <memory>

namespace brivo {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string TrimBlanks(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

} // namespace

bool NaturalNameLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            // Compare the digit runs by value without converting (runs may be long).
            size_t i0 = i, j0 = j;
            while (i0 < a.size() && a[i0] == '0') ++i0;
            while (j0 < b.size() && b[j0] == '0') ++j0;
            size_t i1 = i0, j1 = j0;
            while (i1 < a.size() && IsDigit(a[i1])) ++i1;
            while (j1 < b.size() && IsDigit(b[j1])) ++j1;
            if (i1 - i0 != j1 - j0) return i1 - i0 < j1 - j0;
            const int c = a.compare(i0, i1 - i0, b, j0, j1 - j0);
            if (c != 0) return c < 0;
            // Equal values: fewer leading zeros first, so the order stays strict.
            if (i1 - i != j1 - j) return i1 - i < j1 - j;
            i = i1;
            j = j1;
            continue;
        }
        if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

std::vector<std::string> ListBlockDevices(const std::string& sysClassBlock) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(sysClassBlock.c_str()), ::closedir);
    if (!dir) return names;
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end(), NaturalNameLess);
    return names;
}

bool IsDeviceSource(const std::string& path) { return path.rfind("/dev/", 0) == 0; }

std::string DevicePathFor(const std::string& text) {
    const std::string t = TrimBlanks(text);
    if (t.empty() || IsDeviceSource(t)) return t;
    return "/dev/" + t;
}

std::string DeviceNameOf(const std::string& path) {
    return IsDeviceSource(path) ? path.substr(5) : path;
}

} // namespace brivo
