#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/NtfsBootSector.h"

namespace brivo {

using NtfsBytes = std::span<const uint8_t>;

// Turns an English text into the user's language (identity by default).
using TTranslateFn = std::function<std::string(const std::string&)>;

// Records with a fixed role in every $MFT.
inline constexpr uint64_t kMftRecordMft = 0;
inline constexpr uint64_t kMftRecordRoot = 5;
inline constexpr uint64_t kMftRecordBitmap = 6;

// Attribute types this reader looks at; every other type is stepped over.
inline constexpr uint32_t kAttrStandardInformation = 0x10;
inline constexpr uint32_t kAttrFileName = 0x30;
inline constexpr uint32_t kAttrData = 0x80;
inline constexpr uint32_t kAttrEnd = 0xFFFFFFFF;

// FILE record header flags (offset 22).
inline constexpr uint16_t kMftFlagInUse = 0x0001;
inline constexpr uint16_t kMftFlagDirectory = 0x0002;

// One run of a non-resident attribute, in clusters.
struct TNtfsMftRun {
    TNtfsMftRun() = default;
    TNtfsMftRun(int64_t vcn, int64_t lcn, int64_t clusters, bool sparse = false)
        : Vcn(vcn), Lcn(lcn), Clusters(clusters), Sparse(sparse) {}
    int64_t Vcn = 0;       // first cluster of the run inside the attribute's stream
    int64_t Lcn = 0;       // first cluster on the volume (0 for a first sparse entry)
    int64_t Clusters = 0;  // run length; read signed, so hostile lists can make it negative
    // An entry without an offset field: no clusters on the volume (read as zeros). Its Lcn
    // repeats the previous entry's, so every consumer must look at this flag, or it would
    // read or rate the previous run's clusters a second time.
    bool Sparse = false;
    bool operator==(const TNtfsMftRun&) const = default;
};
using TNtfsRuns = std::vector<TNtfsMftRun>;

// A file reference: record number in the low 48 bits, sequence number in the high 16.
inline uint64_t MftRecordNumber(uint64_t ref) { return ref & 0xFFFFFFFFFFFFull; }
inline uint16_t MftSequenceNumber(uint64_t ref) { return static_cast<uint16_t>(ref >> 48); }
inline uint64_t MakeMftReference(uint64_t record, uint16_t seq) {
    return MftRecordNumber(record) | (static_cast<uint64_t>(seq) << 48);
}

} // namespace brivo
