// The record-level NTFS decoders and the Recycle Bin record parser over hostile bytes.
// The first two bytes give the fixup stride and a runlist window; the rest is one FILE
// record, also read as a boot sector, a runlist, a table of folder nodes and a "$I" record.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/ByteReaders.h"
#include "filters/RecycleBin.h"
#include "ntfs/NtfsBootSector.h"
#include "ntfs/NtfsCondition.h"
#include "ntfs/NtfsFileName.h"
#include "ntfs/NtfsFixups.h"
#include "ntfs/NtfsNodeMap.h"
#include "ntfs/NtfsRecordAnalysis.h"
#include "ntfs/NtfsRunList.h"

using namespace brivo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int32_t stride = (data[0] & 0x0F) == 0 ? 512 : 1 << (data[0] & 0x0F);
    const uint8_t window = data[1];
    std::vector<uint8_t> rec(data + 2, data + size);
    const NtfsBytes r(rec);

    TNtfsGeometry geo;
    (void)ReadNtfsGeometry(r, geo);

    std::vector<uint8_t> fixed = rec;
    (void)ApplyFixups(fixed, stride);
    const NtfsBytes f(fixed);

    TNtfsFileNameInfo name;
    (void)ParseMftFileName(f, name);
    int64_t mftSize = 0;
    TNtfsRuns runs;
    (void)ReadMftDataRuns(f, mftSize, runs);

    TNtfsClusterBitmap bm;
    bm.Bits.assign(rec.begin(), rec.begin() + static_cast<long>(rec.size() / 2));
    bm.Loaded = !bm.Bits.empty();
    const TNtfsRecordFacts facts = AnalyzeMftRecord(f, bm);
    (void)facts;
    const TNtfsRuns decoded = DecodeRunList(r, window, static_cast<int64_t>(rec.size()) - window);
    (void)EstimateRunCondition(bm, decoded);

    // Folder nodes of 16 bytes each: record (2), parent reference (8), sequence (2),
    // flags (1), name length (1), name start (2).
    TNtfsNodeMap map;
    for (size_t p = 0; p + 16 <= rec.size(); p += 16) {
        const uint64_t inode = ReadLe16(r, static_cast<int64_t>(p));
        const uint64_t parent = ReadLe64(r, static_cast<int64_t>(p + 2));
        const uint16_t seq = ReadLe16(r, static_cast<int64_t>(p + 10));
        const uint8_t flags = rec[p + 12];
        const size_t len = rec[p + 13] % 16;
        const size_t start = ReadLe16(r, static_cast<int64_t>(p + 14)) % rec.size();
        const std::string nm(reinterpret_cast<const char*>(rec.data() + start), std::min(len, rec.size() - start));
        map.Add(inode, parent, seq, nm, flags & 1, flags & 2);
    }
    for (size_t p = 0; p + 16 <= rec.size(); p += 16) (void)BuildMftPath(ReadLe64(r, static_cast<int64_t>(p + 2)), map);

    TRecycleMeta meta;
    (void)ParseRecycleIRecord(r, meta);
    (void)DecodeUtf16UntilNul(r, window, static_cast<int64_t>(rec.size()));
    std::string key, prefix;
    SplitRecycleName(std::string(rec.begin(), rec.end()), key, prefix);
    return 0;
}
