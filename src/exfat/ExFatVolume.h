#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/ByteReaders.h"
#include "core/ByteSource.h"
#include "core/ExFatBootSector.h"

namespace brivo {

// FAT values at or above this end a chain (0xFFFFFFF7 marks a bad cluster).
inline constexpr uint32_t kExFatBadCluster = 0xFFFFFFF7u;

// An open exFAT volume: the boot values, the allocation bitmap held in memory (one bit a
// cluster), the FAT read on demand through a small cache, and the up-case table.
class TExFatVolume {
public:
    // Reads the boot region (the backup one when the main one is damaged), the root
    // directory's allocation bitmap and up-case entries. Throws std::runtime_error with
    // the user's message when the source is not usable exFAT.
    explicit TExFatVolume(TByteSource& src);

    TByteSource& Source() { return src_; }
    const TExFatBoot& Boot() const { return boot_; }
    uint32_t BytesPerCluster() const { return boot_.BytesPerCluster; }
    uint64_t ClusterLimit() const { return uint64_t{boot_.ClusterCount} + kExFatFirstCluster; }
    bool IsDataCluster(uint64_t c) const { return c >= kExFatFirstCluster && c < ClusterLimit(); }
    uint64_t ClusterOffset(uint32_t c) const {
        return boot_.HeapOffset + uint64_t{c - kExFatFirstCluster} * boot_.BytesPerCluster;
    }
    // The metadata address the engine gives the 32-byte directory entry at this volume
    // offset: slots counted from cluster 2's first byte, plus 3.
    uint64_t MetaAddress(uint64_t entryOffset) const { return (entryOffset - boot_.HeapOffset) / 32 + 3; }
    uint64_t EntryOffsetOf(uint64_t address) const { return (address - 3) * 32 + boot_.HeapOffset; }

    // Whether the allocation bitmap marks the cluster in use. Clusters outside the heap,
    // and all of them when no bitmap could be read, count as in use.
    bool IsAllocated(uint32_t c) const;
    bool HasBitmap() const { return !bitmap_.empty(); }
    // The FAT entry of a data cluster; 0 when it cannot be read.
    uint32_t FatEntry(uint32_t c);
    bool ReadCluster(uint32_t c, uint8_t* out) { return IsDataCluster(c) && src_.ReadExact(ClusterOffset(c), out, boot_.BytesPerCluster); }

    // A UTF-16 unit folded through the volume's up-case table (ASCII folding without one).
    char16_t UpCase(char16_t u) const;
    // A name folded through the up-case table, for comparing names.
    std::u16string FoldName(std::u16string_view name) const;

    uint32_t BitmapCluster() const { return bitmapCluster_; }
    uint32_t UpcaseCluster() const { return upcaseCluster_; }

private:
    void ReadRootMetadata();
    void LoadBitmap(uint32_t first, uint64_t length, bool contiguous);
    void LoadUpcase(uint32_t first, uint64_t length, bool contiguous);
    bool ReadStream(uint32_t first, uint64_t length, bool contiguous, std::vector<uint8_t>& out);

    TByteSource& src_;
    TExFatBoot boot_;
    std::vector<uint8_t> bitmap_;
    std::vector<char16_t> upcase_;
    uint32_t bitmapCluster_ = 0, upcaseCluster_ = 0;
    std::unordered_map<uint64_t, std::vector<uint8_t>> fatCache_;  // FAT sectors by index
};

} // namespace brivo
