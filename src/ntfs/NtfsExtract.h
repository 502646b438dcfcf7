#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "core/ByteSource.h"
#include "core/Extractor.h"
#include "ntfs/NtfsTypes.h"

namespace brivo {

// Copies the results of the direct NTFS scan straight from the volume: the record named
// by the result's Inode ("<record>", "<record>-128" or "<record>-128-<id>", as icat takes
// it) is read again and its fixups checked, then its unnamed $DATA (or the $DATA with
// that id, a named stream among them) is copied: resident data from the record,
// non-resident data run by run up to the data size, sparse runs and bytes past the
// initialized size as zeros, in chunks of at most 1 MiB. Anything else (compressed or
// encrypted data, data in extension records through an $ATTRIBUTE_LIST, records or
// runlists the engine would judge otherwise) goes to `fallback`; without one, such a
// result raises std::runtime_error. A read error of the volume raises std::runtime_error
// naming the source and the offset.
// With sweptOnly, only the results of a record sweep are copied here and every other
// address goes to `fallback` as it is: for a volume that is no NTFS volume to open.
std::unique_ptr<TExtractor> MakeNtfsExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback,
                                              bool sweptOnly = false);

// ---- the pieces, for tests and fuzzing

// Where a record's $DATA lies, or nothing when the record is one to leave to the
// engine.
struct TNtfsDataLayout {
    bool Resident = false;
    int64_t ValueOffset = 0;  // resident: the value's place in the record
    int64_t Size = 0;         // bytes of content
    int64_t InitSize = 0;     // non-resident: bytes past this read as zeros
    TNtfsRuns Runs;           // non-resident: Sparse set on every run without clusters
};

// Parses the address a result carries; nothing when it is not "<record>[-<type>[-<id>]]".
struct TNtfsAddress {
    uint64_t Record = 0;
    std::optional<uint32_t> Type;
    std::optional<uint16_t> Id;
};
std::optional<TNtfsAddress> ParseNtfsAddress(const std::string& inode);

// The layout of the record's unnamed $DATA (fixups applied), or of the $DATA with the
// given id. Nothing when the record must go to the fallback.
std::optional<TNtfsDataLayout> PlanNtfsData(NtfsBytes record, const TNtfsGeometry& geo,
                                            std::optional<uint16_t> id = {});

// Writes the content a layout describes to sink; `record` is needed for resident data,
// `src` and `buffer` (at least one cluster) for non-resident data.
void CopyNtfsData(const TNtfsDataLayout& layout, NtfsBytes record, const TNtfsGeometry& geo, TByteSource& src,
                  std::span<uint8_t> buffer, TByteSink& sink);

} // namespace brivo
