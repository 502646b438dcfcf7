// The record-level NTFS decoders and the Recycle Bin record parser over hostile bytes.
// The first two bytes give a cluster size and a runlist window; the rest is one FILE
// record, also read as a boot sector, a runlist, a table of folder nodes and a "$I" record,
// and copied by the direct extractor from a volume made of the same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/ByteReaders.h"
#include "core/ByteSource.h"
#include "core/Extractor.h"
#include "core/NtfsBootSector.h"
#include "filters/RecycleBin.h"
#include "ntfs/NtfsCondition.h"
#include "ntfs/NtfsExtract.h"
#include "ntfs/NtfsFileName.h"
#include "ntfs/NtfsFixups.h"
#include "ntfs/NtfsNodeMap.h"
#include "ntfs/NtfsRecordAnalysis.h"
#include "ntfs/NtfsRunList.h"

using namespace brivo;

namespace {
// Takes up to 1 MiB, then stops the copy as a preview does: a hostile size of sparse
// runs must not keep the fuzzer writing zeros.
class BoundedSink : public TByteSink {
public:
    void Write(std::span<const uint8_t> bytes) override {
        total_ += bytes.size();
        if (total_ > (1u << 20)) throw TExtractionStopped();
    }

private:
    size_t total_ = 0;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t window = data[1];
    std::vector<uint8_t> rec(data + 2, data + size);
    const NtfsBytes r(rec);

    TNtfsGeometry geo;
    (void)ReadNtfsGeometry(r, geo);
    (void)NtfsRecordBytes(data[0], int64_t{512} << (data[1] & 0x0F));

    std::vector<uint8_t> fixed = rec;
    (void)ApplyFixups(fixed);
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
    const TNtfsRunList decoded = DecodeRunList(r, window, static_cast<int64_t>(rec.size()) - window);
    (void)EstimateRunCondition(bm, decoded.Runs);

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

    // Direct extraction: the record's data copied from a volume of the input's bytes.
    std::vector<uint8_t> checked = rec;
    if (ApplyFixups(checked) == TNtfsFixups::Ok) {
        // Clusters from 512 bytes to the 2 MiB of the largest volumes.
        TNtfsGeometry g;
        g.BytesPerCluster = int32_t{512} << std::min((data[0] >> 4) & 0x0F, 12);
        g.ClusterCount = window;
        if (const auto layout = PlanNtfsData(checked, g, (data[0] & 0x80) ? std::optional<uint16_t>(window) : std::nullopt)) {
            const TByteSourcePtr vol = MakeMemoryByteSource(rec, "fuzz");
            std::vector<uint8_t> buffer(4096);
            BoundedSink sink;
            try {
                CopyNtfsData(*layout, checked, g, *vol, buffer, sink);
            } catch (const std::runtime_error&) {
                // Reads past the small volume end the copy with a message; that is expected.
            }
        }
    }
    (void)ParseNtfsAddress(std::string(rec.begin(), rec.end()));

    TRecycleMeta meta;
    (void)ParseRecycleIRecord(r, meta);
    (void)DecodeUtf16UntilNul(r, window, static_cast<int64_t>(rec.size()));
    std::string key, prefix;
    SplitRecycleName(std::string(rec.begin(), rec.end()), key, prefix);
    return 0;
}
