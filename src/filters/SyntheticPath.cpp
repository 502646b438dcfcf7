#include "filters/SyntheticPath.h"

#include <algorithm>
#include <array>
#include <string>

namespace brivo {

namespace {

constexpr char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

bool EqualFold(char a, char b) { return FoldAscii(a) == FoldAscii(b); }

bool StartsWithFold(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), s.begin(), EqualFold);
}

bool ContainsFold(std::string_view s, std::string_view part) {
    return std::search(s.begin(), s.end(), part.begin(), part.end(), EqualFold) != s.end();
}

// The engine lists the boot record, the FAT copies and the entries it could not place
// under these names at the root of its listing.
constexpr std::array<std::string_view, 3> kEnginePrefixes = {"/$MBR", "/$FAT", "/$OrphanFiles"};

constexpr std::array<std::string_view, 4> kSystemFolders = {
    "/System Volume Information", "/$RECYCLE.BIN", "/RECYCLER", "/FOUND."};

} // namespace

bool IsSyntheticPath(std::string_view path, TScanWhere where) {
    if (where == TScanWhere::swRecycleBin)
        return false;

    size_t b = 0;
    size_t e = path.size();
    while (b < e && static_cast<unsigned char>(path[b]) <= 0x20)
        ++b;
    while (e > b && static_cast<unsigned char>(path[e - 1]) <= 0x20)
        --e;
    if (b == e)
        return false;

    std::string s;
    s.reserve(e - b + 1);
    if (path[b] != '/' && path[b] != '\\')
        s.push_back('/');
    for (size_t i = b; i < e; ++i)
        s.push_back(path[i] == '\\' ? '/' : path[i]);

    for (auto prefix : kEnginePrefixes)
        if (StartsWithFold(s, prefix))
            return true;
    for (auto folder : kSystemFolders)
        if (ContainsFold(s, folder))
            return true;
    return false;
}

} // namespace brivo
