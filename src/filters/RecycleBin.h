#pragma once
#include <cstdint>
#include <span>
#include <string>

#include "core/FoundFile.h"
#include "core/ScanHost.h"
#include "core/ScanState.h"

namespace brivo {

// One parsed Recycle Bin "$I" record: what the file was before it was deleted.
struct TRecycleMeta {
    std::string OriginalPath;  // Windows path as stored, e.g. C:\Users\Bob\a.docx
    TDateTime DeletedUtc = 0;
    bool HasDeletedTime = false;
    int64_t OriginalSize = 0;
    bool HasSize = false;
    std::string IInode;        // Inode of the "$I" result the record came from
};

// The pairing key and prefix of a result path. A last component of at least 3 characters
// that starts with "$I" or "$R" (any case) takes part: Prefix is "$I" or "$R", Key is the
// lower-cased folder part + "/" + the component from its third character, so a "$I" and
// its "$R" share a key. Both empty for any other path.
void SplitRecycleName(const std::string& path, std::string& key, std::string& prefix);

// UTF-16LE text from Start, at most Count bytes, ending before the first 0x0000 unit; a
// single trailing odd byte is ignored. Empty for a start outside the data or < 2 bytes.
std::string DecodeUtf16UntilNul(std::span<const uint8_t> data, int64_t start, int64_t count);

// Parses a "$I" record. Version 2 (8-byte version 2): size at 8, FILETIME at 16, path
// length in UTF-16 units at 24, path at 28. Any other version: the path runs from 24 to
// the first NUL. False for fewer than 24 bytes or an empty path.
bool ParseRecycleIRecord(std::span<const uint8_t> data, TRecycleMeta& meta);

// Reads each "$I" result of st.FFound through the scan's extractor (st.FMakeExtractor),
// then drops the "$I" results and shows each "$R" result whose "$I" was read under its
// original path, size and deletion time. Runs on the scan worker thread; each failure is
// logged and passed over.
void EnrichRecycleBinResults(TScanState& st, TScanHost& host);

} // namespace brivo
