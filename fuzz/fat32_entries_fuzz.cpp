// Directory-entry decoding over hostile bytes: the input is a run of 32-byte entries
// decoded the way the files pass does, in a live and in a deleted directory.
#include <cstddef>
#include <cstdint>

#include "fat32/FatDirEntry.h"
#include "fat32/FatLongName.h"

using namespace brivo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ByteSpan all(data, size);
    for (bool deletedDir : {false, true}) {
        TFatLongNameState st;
        for (size_t off = 0; off < size; off += kDirEntrySize) {
            const ByteSpan e = all.subspan(off, std::min(kDirEntrySize, size - off));
            if (e.size() >= 12 && e[11] == kAttrLongName) {
                AddLongNameEntry(st, e);
                (void)LfnEntryText(e);
                continue;
            }
            const TResolvedName n = ResolveEntryName(st, e, deletedDir || e[0] == kEntryDeleted);
            (void)JoinRawParts(st);
            (void)JoinRawPartsReversed(st);
            (void)HexBytes(e);
            (void)DecodeShortName(e, true);
            const TFatDirItem item = MakeFatDirItem(e, n.Name, static_cast<int64_t>(off), deletedDir);
            if (item.HasModDate && !(item.ModDateUtc > 0)) __builtin_trap();
            ResetLongName(st);
        }
    }
    return 0;
}
