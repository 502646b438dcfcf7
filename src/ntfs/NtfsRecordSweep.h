#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/FoundFile.h"
#include "core/ReaderReport.h"
#include "ntfs/NtfsCondition.h"
#include "ntfs/NtfsNodeMap.h"
#include "ntfs/NtfsTypes.h"
#include "ntfs/NtfsVolume.h"

namespace brivo {

// What a candidate FILE record found in free space turned out to be.
enum class TSweptRecordCheck {
    Record,     // a sound base record: fixups applied, header sane, numbered
    NotRecord,  // no "FILE", or a header no formatter writes (sizes, offsets)
    Torn,       // the update sequence does not check: a write that did not finish or a bad sector
    Extension,  // an extension record of another one: no name of its own
    Unnumbered, // written before records carried their own number (its place gives it, and that is gone)
};

// Checks a record-sized candidate and applies its fixups in place (only when Record).
TSweptRecordCheck CheckSweptRecord(std::span<uint8_t> rec);

// A FILE record found in free space: a record of an earlier $MFT (before a format) or
// one left behind when the $MFT moved.
struct TNtfsSweptRecord {
    uint64_t Offset = 0;     // of the record on the volume
    uint64_t Number = 0;     // its own record number field
    uint16_t Seq = 0;
    uint64_t ParentRef = 0;
    std::string Name;
    bool IsDir = false;
    bool InUse = false;      // as the earlier $MFT had it
    bool HasData = false;
    int64_t Size = 0;
    int64_t FirstLcn = -1;   // of non-resident data
    TDateTime ModDateUtc = 0;
    bool HasModDate = false;
    TNtfsCondition Condition;
};

struct TNtfsSweepStats {
    uint64_t BytesRead = 0;
    uint64_t Records = 0;
    uint64_t Torn = 0;
    uint64_t Unreadable = 0;  // chunks that could not be read
    bool Stopped = false;
};

// Reads every cluster the bitmap marks free, in large sequential pieces, and returns the
// named base records found there, with their data's size, time and condition against the
// current bitmap. Polls report for Stop (keeping what was found) and shows progress.
std::vector<TNtfsSweptRecord> SweepFreeClustersForRecords(const TNtfsVolume& vol, const TNtfsClusterBitmap& bm,
                                                          TReaderReport& report, const TTranslateFn& translate,
                                                          TNtfsSweepStats& stats);

// The folder of a swept record: parents are looked up among the swept records first (they
// belong to the same earlier $MFT), then in the live one, sequence numbers checked. A
// chain that ends at a parent found nowhere goes under "$OrphanFiles/Folder <record N>"
// (N the missing parent); one that reaches the root has no prefix. No leading "/".
std::string SweptFolderPath(uint64_t parentRef, const TNtfsNodeMap& swept, const TNtfsNodeMap& live);

// A swept result's address: "<record>@<byte offset of the record>". The NTFS extractor
// reads the record there; the engine knows nothing of it.
std::string SweptAddress(uint64_t record, uint64_t offset);
bool ParseSweptAddress(const std::string& inode, uint64_t& offset);

} // namespace brivo
