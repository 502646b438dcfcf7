#pragma once
#include <cstdint>
#include <vector>

#include "core/ByteSource.h"
#include "core/FoundFile.h"

namespace brivo::carve {

// The searched ranges of a volume seen as one run of bytes ("logical" offsets), in offset
// order, so a walker follows a file across the in-use clusters between free ranges.
class TAreaView {
public:
    // Ranges are clipped to the source, sorted and merged; none means the whole source.
    TAreaView(TByteSource& source, std::vector<TByteExtent> areas);
    uint64_t Total() const { return total_; }
    // Up to n bytes at a logical offset; short at the end or where the source fails.
    size_t Read(uint64_t logical, uint8_t* buf, size_t n);
    // The volume offset of a logical one.
    uint64_t PhysicalAt(uint64_t logical) const;
    // The volume's byte ranges holding [logical, logical + length), adjacent ones merged.
    std::vector<TByteExtent> Physical(uint64_t logical, uint64_t length) const;
    // The first logical offset at or after from that is a 512-byte sector start in the
    // volume; Total() when there is none.
    uint64_t NextAligned(uint64_t from);

private:
    struct TPiece {
        uint64_t Logical, Physical, Length;
    };
    size_t PieceOf(uint64_t logical) const;
    TByteSource& source_;
    std::vector<TPiece> pieces_;
    uint64_t total_ = 0;
    size_t hint_ = 0;
};

} // namespace brivo::carve
