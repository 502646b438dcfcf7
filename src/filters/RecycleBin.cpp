#include "filters/RecycleBin.h"

#include "core/Text.h"


#include <algorithm>
#include <map>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "core/ByteReaders.h"
#include "core/DateConvert.h"
#include "core/Extractor.h"
#include "core/ScanLog.h"
#include "core/TextFormat.h"

namespace brivo {

namespace {

// Version-1 records are 544 bytes: 24 bytes of header and a 260-character path. Some
// are one byte short, the missing byte lying in the 8-byte size field: the deletion time
// then starts at 15 and the path at 23, and the size cannot be trusted.
constexpr size_t kVersion1Size = 544;
// The part of an extracted "$I" file that is parsed; a real record is at most 28 bytes
// plus 32767 UTF-16 characters.
constexpr size_t kMaxIRecordRead = 1 << 20;

std::string TrimAndDropNul(const std::string& s) {
    const std::string_view t = TrimView(s);
    std::string out;
    out.reserve(t.size());
    for (char c : t)
        if (c != '\0') out.push_back(c);
    return out;
}

// Keeps the first bytes of an extracted "$I" file, and asks for no more once it has
// what a record can hold.
class THeadSink final : public TByteSink {
public:
    void Write(std::span<const uint8_t> bytes) override {
        const size_t room = kMaxIRecordRead - data.size();
        data.insert(data.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(room, bytes.size())));
        if (data.size() >= kMaxIRecordRead) throw TExtractionStopped();
    }
    std::vector<uint8_t> data;
};


} // namespace

void SplitRecycleName(const std::string& path, std::string& key, std::string& prefix) {
    key.clear();
    prefix.clear();
    std::string p = path;
    for (char& c : p)
        if (c == '\\') c = '/';
    const size_t cut = p.find_last_of("/:");
    const std::string dir = (cut == std::string::npos) ? std::string() : p.substr(0, cut);
    const std::string comp = (cut == std::string::npos) ? p : p.substr(cut + 1);
    if (comp.size() < 3 || comp[0] != '$') return;
    const char second = static_cast<char>(comp[1] & ~0x20);
    if (second != 'I' && second != 'R') return;
    prefix = std::string("$") + second;
    key = dir + "/" + comp.substr(2);
    for (char& c : key) c = AsciiLower(c);
}

std::string DecodeUtf16UntilNul(std::span<const uint8_t> data, int64_t start, int64_t count) {
    const int64_t len = static_cast<int64_t>(data.size());
    if (start < 0 || start >= len) return {};
    count = std::min(count, len - start);
    if (count < 2) return {};
    size_t units = 0;
    const size_t maxUnits = static_cast<size_t>(count / 2);
    while (units < maxUnits && (data[start + 2 * units] != 0 || data[start + 2 * units + 1] != 0)) ++units;
    return Utf16LeToUtf8(data, static_cast<size_t>(start), units);
}

bool ParseRecycleIRecord(std::span<const uint8_t> data, TRecycleMeta& meta) {
    meta = {};
    const int64_t len = static_cast<int64_t>(data.size());
    if (len < 24) return false;
    const uint64_t version = ReadLe64(data, 0);
    std::string path;
    if (version != 2 && data.size() == kVersion1Size - 1) {
        meta.HasSize = false;
        meta.HasDeletedTime = FileTimeToUtc(static_cast<int64_t>(ReadLe64(data, 15)), meta.DeletedUtc);
        path = DecodeUtf16UntilNul(data, 23, len - 23);
    } else {
        meta.OriginalSize = static_cast<int64_t>(ReadLe64(data, 8));
        meta.HasSize = true;
        meta.HasDeletedTime = FileTimeToUtc(static_cast<int64_t>(ReadLe64(data, 16)), meta.DeletedUtc);
        if (version == 2 && len >= 28) {
            const int64_t n = ReadLe32(data, 24);
            if (n > 0 && n < 32768 && len >= 28 + 2 * n)
                path = Utf16LeToUtf8(data, 28, static_cast<size_t>(n));
            else
                path = DecodeUtf16UntilNul(data, 28, len - 28);
        } else {
            path = DecodeUtf16UntilNul(data, 24, len - 24);
        }
    }
    path = TrimAndDropNul(path);
    if (path.empty()) {
        meta = {};
        return false;
    }
    meta.OriginalPath = std::move(path);
    return true;
}

void EnrichRecycleBinResults(TScanState& st, TScanHost& host) {
    Log(host, "Recycle Bin enrichment: pairing $I metadata records with $R content records...");
    // The "$I" files are read the way recovery would read them: the scan's own extractor.
    std::unique_ptr<TExtractor> extractor;
    try {
        if (st.FMakeExtractor) extractor = st.FMakeExtractor();
    } catch (const std::exception& e) {
        Log(host, Format("Recycle Bin enrichment: the volume cannot be read again: %s", {e.what()}));
    }
    std::unordered_map<std::string, TRecycleMeta> byKey;
    int parsedI = 0, pairedR = 0, droppedI = 0, keptOther = 0;
    std::string key, prefix;

    for (const TFoundFile& f : st.FFound) {
        SplitRecycleName(f.FullPath, key, prefix);
        if (key.empty() || prefix != "$I") continue;
        try {
            if (!extractor) throw std::runtime_error("no way to read this volume's files");
            THeadSink head;
            try {
                extractor->Extract(f, head);
            } catch (const TExtractionStopped&) {
                // It had enough: a "$I" record is never that long.
            }
            TRecycleMeta meta;
            if (ParseRecycleIRecord(head.data, meta)) {
                meta.IInode = f.Inode;
                byKey[key] = std::move(meta);
                ++parsedI;
            }
        } catch (const std::exception& e) {
            Log(host, Format("Recycle Bin enrichment: failed to parse $I inode=%s: %s", {f.Inode, e.what()}));
        }
    }

    TFoundFiles kept;
    kept.reserve(st.FFound.size());
    for (TFoundFile& f : st.FFound) {
        SplitRecycleName(f.FullPath, key, prefix);
        if (prefix == "$I") {
            ++droppedI;
            continue;
        }
        if (prefix == "$R") {
            auto it = byKey.find(key);
            if (it != byKey.end()) {
                const TRecycleMeta& m = it->second;
                f.FullPath = m.OriginalPath;
                if (m.HasSize) f.SizeBytes = m.OriginalSize;
                if (m.HasDeletedTime) {
                    f.HasModDate = true;
                    f.ModDateUtc = m.DeletedUtc;
                }
                ++pairedR;
            }
        } else {
            ++keptOther;
        }
        kept.push_back(std::move(f));
    }
    st.FFound = std::move(kept);
    Log(host, Format("Recycle Bin enrichment complete: parsed_I=%d paired_R=%d dropped_I=%d kept_other=%d final=%d",
                     {parsedI, pairedR, droppedI, keptOther, st.FFound.size()}));
}

} // namespace brivo
