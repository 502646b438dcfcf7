#include "ntfs/NtfsFileName.h"

#include <cstring>

#include "core/ByteReaders.h"
#include "core/Text.h"
#include "ntfs/NtfsAttributeWalk.h"

namespace brivo {

namespace {
bool IsWin32(uint8_t ns) { return ns == kNsWin32 || ns == kNsWin32AndDos; }
} // namespace

bool IsBetterFileName(const std::string& current, uint8_t currentNs, const std::string& candidate,
                      uint8_t candidateNs) {
    if (candidate.empty()) return false;
    if (current.empty()) return true;
    if (currentNs == kNsDos && candidateNs != kNsDos) return true;
    return IsWin32(candidateNs) && !IsWin32(currentNs);
}

bool ParseMftFileName(NtfsBytes rec, TNtfsFileNameInfo& out) {
    out = {};
    out.IsDir = (ReadLe16(rec, 22) & kMftFlagDirectory) != 0;
    if (rec.size() < 48 || std::memcmp(rec.data(), "FILE", 4) != 0) return false;
    const int64_t size = static_cast<int64_t>(rec.size());
    uint8_t currentNs = 255;
    bool found = false;
    std::string candidate;
    WalkMftAttributes(rec, [&](const TNtfsAttr& a) {
        if (a.Type != kAttrFileName || a.NonResident) return true;
        const int64_t valueLen = ReadLe32(rec, a.P + 16);
        const int64_t v = a.P + ReadLe16(rec, a.P + 20);
        // 66 bytes is the fixed part of a $FILE_NAME value, before the name itself.
        if (valueLen < 66 || v + valueLen > size) return true;
        const uint64_t parentRef = ReadLe64(rec, v);
        const uint8_t k = ReadU8(rec, v + 64);
        const uint8_t ns = ReadU8(rec, v + 65);
        if (k == 0 || v + 66 + 2 * int64_t{k} > size) return true;
        candidate.clear();
        AppendUtf16Le(candidate, rec, static_cast<size_t>(v + 66), k);
        if (IsBetterFileName(out.Name, currentNs, candidate, ns)) {
            out.Name.swap(candidate);
            // The folder of the name that is shown: a hard-linked file has names in
            // several folders, and a name joined to another link's folder never existed.
            out.ParentRef = parentRef;
            currentNs = ns;
            found = true;
        }
        return true;
    });
    return found;
}

} // namespace brivo
