#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "core/FoundFile.h"
#include "core/ReaderReport.h"
#include "core/ReaderResult.h"
#include "ntfs/NtfsCondition.h"
#include "ntfs/NtfsNodeMap.h"
#include "ntfs/NtfsTypes.h"
#include "ntfs/NtfsVolume.h"

namespace brivo {

// What a candidate FILE record found in free space turned out to be.
enum class TSweptRecord {
    Ok,             // fixups applied in place; the record can be parsed
    NotRecord,      // no "FILE" signature
    Torn,           // the update sequence does not match: a sector of it was rewritten or lost
    BadHeader,      // sizes or offsets in the header that no record of this volume has
    ForeignNumber,  // its record number cannot be the record at this place of any $MFT here
};

// Marks a number the record did not carry (headers older than NTFS 3.1 have none).
inline constexpr uint64_t kSweptNoNumber = UINT64_MAX;

// Checks the record-sized bytes found at byte `pos` of the volume. A $MFT's clusters hold
// record N at byte N * recordSize of its stream, and every run of that stream starts on a
// cluster, so a genuine record lies at a position congruent to N * recordSize modulo the
// cluster size; a record copied inside some file's content usually does not.
// `number` receives the record number, or kSweptNoNumber.
TSweptRecord CheckSweptRecord(std::span<uint8_t> rec, int64_t pos, const TNtfsGeometry& geo, uint64_t& number);

// Records below this number have a fixed role in every $MFT (the root, $Extend, ...).
inline constexpr uint64_t kMftFirstUserRecord = 16;

// The folder part of a swept file's path: parents are looked up among the swept records,
// and those with a fixed role (below kMftFirstUserRecord) in the live $MFT, each with its
// sequence number checked. A chain that
// reaches the root gives "A/B"; one that breaks at a parent found nowhere gives
// "$OrphanFiles/Folder <N>/A/B" with N that parent's record number (also for a loop or a
// chain deeper than the path builder follows).
std::string BuildSweptFolder(uint64_t parentRef, const TNtfsNodeMap& swept, const TNtfsNodeMap& live);

// Address of a swept result: "@<byte offset of its record>", with "-128-<id>" for a named
// stream. The NTFS extractor reads the record again there. A record found on a volume
// whose boot sector is lost carries what the boot sector would have said after a "/":
// "/<record size>", and, once the sweep has worked them out, "/<cluster size>/<byte
// where cluster 0 lies>".
inline constexpr char kSweptAddressMark = '@';

struct TSweptAddress {
    uint64_t Pos = 0;
    std::optional<uint16_t> StreamId;
    bool Bootless = false;    // the rest is only set on a volume without a boot sector
    int64_t RecordSize = 0;
    int64_t ClusterSize = 0;  // 0: unknown, only data kept inside the record can be copied
    int64_t Origin = 0;
};
std::string MakeSweptAddress(const TSweptAddress& a);
std::optional<TSweptAddress> ParseSweptAddress(const std::string& inode);

struct TNtfsSweepInput {
    const TNtfsVolume& Vol;
    const TNtfsClusterBitmap& Bitmap;
    const TNtfsNodeMap& Live;  // the named records of the live $MFT
    const TMaskList& Masks;
    bool Cleanup = false;
    TTranslateFn Translate;
};

struct TNtfsSweepResult {
    TFoundFiles Found;
    // Where the swept files' non-resident data starts (bytes in the volume), so that the
    // content search after a deep scan does not list them again.
    std::vector<uint64_t> KnownStarts;
    uint64_t HiddenByMasks = 0;
    uint64_t HiddenByCleanup = 0;
};

// Reads every cluster the bitmap marks free, in large sequential blocks, and lists the
// files of the FILE records found there (FoundBy DeepSweep) with their rebuilt paths.
// Records equal to one the live $MFT holds (same number, sequence, name and parent) or
// to another swept record are dropped. Without a loaded bitmap nothing is swept.
TNtfsSweepResult SweepNtfsFreeSpace(const TNtfsSweepInput& in, TReaderReport& report);

// The same sweep left to the content search's reading of the free space (see
// TFreeSpaceWatcher): it owns what it needs of the scan, which has ended by then. Its
// source must outlive it.
std::shared_ptr<TFreeSpaceWatcher> MakeNtfsSweepWatcher(const TNtfsVolume& vol, TNtfsClusterBitmap bitmap,
                                                        TNtfsNodeMap live, const TMaskList& masks, bool cleanup,
                                                        TTranslateFn translate, TReaderReport& report);

// What a volume without a readable boot sector gives the sweep: every sector of it is
// a candidate for a record of 1 KiB or 4 KiB. The cluster size and the byte
// where cluster 0 lies are worked out from the copies of $MFT record 0 found, each checked
// against where its $MFTMirr and the folders' index blocks must then lie; with them the
// old $Bitmap gives each file's condition and the run lists can be copied. Every record
// is listed, not only deleted ones (the volume cannot be opened, so every file on it is
// lost to the user); records still in use are listed as not deleted.
struct TNtfsBootlessGeometry {
    bool Known = false;
    int64_t ClusterSize = 0;
    int64_t Origin = 0;
};
TNtfsSweepResult SweepNtfsWithoutBootSector(TByteSource& volume, const TMaskList& masks, bool cleanup,
                                            TReaderReport& report, TNtfsBootlessGeometry* geometry = nullptr);

// The same sweep left to the content search's reading of the whole volume.
std::shared_ptr<TFreeSpaceWatcher> MakeNtfsLostRecordWatcher(TByteSource& volume, const TMaskList& masks, bool cleanup,
                                                             TReaderReport& report);

} // namespace brivo
