#include "ext/ExtFreeSpace.h"

#include <algorithm>

#include "core/ReaderResult.h"

namespace brivo {

namespace {

constexpr uint32_t kJbd2Magic = 0xC03B3998u;
constexpr uint32_t kJbd2Descriptor = 1, kJbd2Commit = 2, kJbd2SuperV1 = 3, kJbd2SuperV2 = 4, kJbd2Revoke = 5;
constexpr uint32_t kJbd2Incompat64Bit = 0x2, kJbd2IncompatCsumV2 = 0x8, kJbd2IncompatCsumV3 = 0x10;
constexpr uint32_t kJbd2TagSameUuid = 0x2, kJbd2TagLast = 0x8;

uint32_t Be32(ByteSpan b, size_t at) {
    if (at + 4 > b.size()) return 0;
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}
uint16_t Be16(ByteSpan b, size_t at) {
    if (at + 2 > b.size()) return 0;
    return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

// Data blocks a descriptor block announces.
uint64_t DescriptorTags(ByteSpan b, uint32_t incompat) {
    const bool csum3 = incompat & kJbd2IncompatCsumV3, csum2 = incompat & kJbd2IncompatCsumV2;
    size_t tagBytes = csum3 ? 16 : (incompat & kJbd2Incompat64Bit ? 12 : 8) + (csum2 ? 2 : 0);
    const size_t end = b.size() - ((csum2 || csum3) ? 4 : 0);
    uint64_t n = 0;
    for (size_t at = 12; at + tagBytes <= end;) {
        const uint32_t flags = csum3 ? Be32(b, at + 4) : Be16(b, at + 6);
        ++n;
        at += tagBytes;
        if (!(flags & kJbd2TagSameUuid)) at += 16;
        if (flags & kJbd2TagLast) break;
    }
    return n;
}

// A freed indirect block of an ext2/3 file written in one run: the file's next data block
// follows it on the disk (its first pointer is the block right after it), its pointers
// rise, stay inside the volume and end in zeros. ext2 leaves these pointers on the disk
// when a file is deleted, and they sit between the file's 12th data block and its 13th
// (and again every block-size/4 blocks), so a search by content that reads the free space
// straight through would take them for the file's bytes.
bool LooksLikeIndirectBlock(ByteSpan b, uint64_t block, const TExtSuperblock& sb) {
    const size_t n = b.size() / 4;
    if (n == 0) return false;
    auto at = [&](size_t i) {
        return uint32_t{b[4 * i]} | uint32_t{b[4 * i + 1]} << 8 | uint32_t{b[4 * i + 2]} << 16 | uint32_t{b[4 * i + 3]} << 24;
    };
    if (at(0) != block + 1) return false;
    uint32_t prev = at(0);
    size_t i = 1;
    for (; i < n; ++i) {
        const uint32_t v = at(i);
        if (v == 0) break;
        if (v <= prev || v >= sb.BlocksCount) return false;
        prev = v;
    }
    for (; i < n; ++i)
        if (at(i) != 0) return false;
    return true;
}

// Takes out of the free runs the blocks that look like a deleted file's indirect blocks, so
// the content search reads the file's data on either side as one. Reads every free block
// once, in large pieces.
void DropIndirectBlocks(TExtVolume& vol, TReaderReport& report, std::vector<TByteExtent>& runs, uint64_t& dropped) {
    const TExtSuperblock& sb = vol.Super();
    const uint64_t bs = sb.BlockSize;
    constexpr uint64_t kPieceBytes = 1 << 20;
    const uint64_t perPiece = std::max<uint64_t>(1, kPieceBytes / bs);
    std::vector<uint8_t> buf(static_cast<size_t>(perPiece * bs));
    std::vector<TByteExtent> kept;
    for (const TByteExtent& r : runs) {
        uint64_t keptFrom = r.Offset;
        const uint64_t firstBlock = r.Offset / bs, blocks = r.Length / bs;
        for (uint64_t done = 0; done < blocks;) {
            if (report.StopRequested()) return;
            const uint64_t count = std::min(perPiece, blocks - done);
            const std::span<uint8_t> piece(buf.data(), static_cast<size_t>(count * bs));
            if (vol.ReadBlocks(firstBlock + done, count, piece)) {
                for (uint64_t k = 0; k < count; ++k) {
                    const uint64_t block = firstBlock + done + k;
                    if (!LooksLikeIndirectBlock(piece.subspan(static_cast<size_t>(k * bs), static_cast<size_t>(bs)), block, sb))
                        continue;
                    AddFreeRun(kept, keptFrom, block * bs - keptFrom);
                    keptFrom = (block + 1) * bs;
                    ++dropped;
                }
            }
            done += count;
        }
        AddFreeRun(kept, keptFrom, r.Offset + r.Length - keptFrom);
    }
    runs = std::move(kept);
}

} // namespace

TExtJournalTail ExtJournalUnwrittenTail(TExtVolume& vol) {
    TExtJournalTail none;
    const uint32_t jino = vol.Super().JournalInode;
    if (jino == 0 || !vol.Super().HasCompat(ext_feature::kHasJournal)) return none;
    const auto inode = vol.ReadInode(jino);
    if (!inode) return none;
    const TExtFileMap map = vol.FileMap(*inode);
    if (!map.Complete || map.Runs.empty()) return none;
    const uint32_t bs = vol.BlockSize();
    std::vector<uint8_t> block(bs);
    // Journal block j through the map.
    const auto read = [&](uint64_t j) {
        auto it = std::upper_bound(map.Runs.begin(), map.Runs.end(), j, [](uint64_t v, const TExtRun& r) { return v < r.Logical; });
        if (it == map.Runs.begin()) return false;
        --it;
        if (j >= it->Logical + it->Count) return false;
        return vol.ReadBlock(it->Physical + (j - it->Logical), block);
    };
    if (!read(0) || Be32(block, 0) != kJbd2Magic) return none;
    const uint32_t type = Be32(block, 4);
    if (type != kJbd2SuperV1 && type != kJbd2SuperV2) return none;
    if (Be32(block, 12) != bs) return none;
    const uint64_t maxLen = std::min<uint64_t>(Be32(block, 16), map.Runs.back().Logical + map.Runs.back().Count);
    const uint64_t first = Be32(block, 20);
    const uint32_t incompat = type == kJbd2SuperV2 ? Be32(block, 0x28) : 0;
    if (first == 0 || first >= maxLen) return none;

    const uint32_t sequence = Be32(block, 24);
    const uint64_t start = Be32(block, 28);
    // A journal in use is walked from its oldest transaction; a clean one from its first
    // block, where the last session began writing.
    uint64_t pos = start != 0 && start >= first && start < maxLen ? start : first;
    bool haveSeq = start != 0;
    uint32_t seq = sequence;
    uint64_t commits = 0;
    // Each step moves forward at least one block: the walk ends within maxLen steps.
    while (pos < maxLen) {
        if (!read(pos) || Be32(block, 0) != kJbd2Magic) break;
        const uint32_t t = Be32(block, 4), s = Be32(block, 8);
        if (haveSeq && s != seq) break;
        if (!haveSeq) { seq = s; haveSeq = true; }
        if (t == kJbd2Descriptor) pos += 1 + DescriptorTags(block, incompat);
        else if (t == kJbd2Commit) { pos += 1; ++seq; ++commits; }
        else if (t == kJbd2Revoke) pos += 1;
        else break;
    }
    // A chain that runs to the end wrapped (or filled the journal): nothing is unwritten.
    if (pos >= maxLen) return none;
    // A clean journal's last transaction is the one before its next sequence number; a
    // chain that does not end there is what the volume before a format left, and the
    // whole journal is unwritten since.
    if (start == 0 && commits != 0 && seq != sequence) return {first, maxLen};
    return {pos, maxLen};
}

std::vector<TByteExtent> ExtFreeAreas(TExtVolume& vol, TReaderReport& report, TExtFreeCounts* counts) {
    TExtFreeCounts local;
    TExtFreeCounts& c = counts ? *counts : local;
    const TExtSuperblock& sb = vol.Super();
    const uint64_t bs = sb.BlockSize;
    std::vector<TByteExtent> runs;
    // Free blocks, group by group, in block order.
    for (uint64_t g = 0; g < vol.GroupCount(); ++g) {
        if (report.StopRequested()) return {};
        const std::vector<uint8_t>& bits = vol.BlockBitmap(g);
        if (bits.empty()) continue;
        const uint64_t first = ExtGroupFirstBlock(sb, g), n = ExtGroupBlocks(sb, g);
        for (uint64_t i = 0; i < n;) {
            // Whole bytes of free or used blocks at once.
            if (i % 8 == 0 && i + 8 <= n && i / 8 < bits.size() && (bits[i / 8] == 0xFF)) { i += 8; continue; }
            if (i % 8 == 0 && i + 8 <= n && i / 8 < bits.size() && bits[i / 8] == 0) {
                AddFreeRun(runs, (first + i) * bs, 8 * bs);
                c.FreeBlocks += 8;
                i += 8;
                continue;
            }
            if (i / 8 < bits.size() && !((bits[i / 8] >> (i % 8)) & 1)) {
                AddFreeRun(runs, (first + i) * bs, bs);
                ++c.FreeBlocks;
            }
            ++i;
        }
    }
    // Files mapped by extents have no indirect blocks between their data.
    if (!sb.HasIncompat(ext_feature::kExtents)) {
        DropIndirectBlocks(vol, report, runs, c.IndirectBlocks);
        if (report.StopRequested()) return {};
    }
    // Reserved but never written: the unused part of inode tables not zeroed (only when the
    // descriptors are checksummed, as the flags count only then), and the journal's tail.
    std::vector<TByteExtent> extra;
    const uint64_t itableBlocks = (uint64_t{sb.InodesPerGroup} * sb.InodeSize + bs - 1) / bs;
    for (uint64_t g = 0; g < vol.GroupCount(); ++g) {
        const TExtGroupDesc& d = vol.Groups()[g];
        // Bitmaps of uninitialised groups are computed, never read or written.
        if (d.BlockUninit() && d.BlockBitmap != 0) extra.push_back({d.BlockBitmap * bs, bs});
        if (d.InodeUninit() && d.InodeBitmap != 0) extra.push_back({d.InodeBitmap * bs, bs});
        if (d.InodeTable == 0 || d.ItableZeroed()) continue;
        if (!d.InodeUninit() && d.ItableUnused == 0) continue;
        const uint64_t usedInodes = d.InodeUninit() ? 0 : sb.InodesPerGroup - std::min<uint64_t>(d.ItableUnused, sb.InodesPerGroup);
        const uint64_t firstFree = (usedInodes * sb.InodeSize + bs - 1) / bs;
        if (firstFree < itableBlocks) extra.push_back({(d.InodeTable + firstFree) * bs, (itableBlocks - firstFree) * bs});
    }
    const TExtJournalTail tail = ExtJournalUnwrittenTail(vol);
    if (tail.End > tail.First) {
        const auto inode = vol.ReadInode(sb.JournalInode);
        if (inode) {
            const TExtFileMap map = vol.FileMap(*inode);
            for (const TExtRun& r : map.Runs) {
                const uint64_t lo = std::max(r.Logical, tail.First), hi = std::min(r.Logical + r.Count, tail.End);
                if (lo < hi) {
                    extra.push_back({(r.Physical + (lo - r.Logical)) * bs, (hi - lo) * bs});
                    c.UnwrittenJournalBlocks += hi - lo;
                }
            }
        }
    }
    for (const TByteExtent& e : extra) c.UnwrittenMetadataBlocks += e.Length / bs;
    c.UnwrittenMetadataBlocks -= c.UnwrittenJournalBlocks;
    if (extra.empty()) return runs;
    runs.insert(runs.end(), extra.begin(), extra.end());
    std::sort(runs.begin(), runs.end(), [](const TByteExtent& a, const TByteExtent& b) { return a.Offset < b.Offset; });
    std::vector<TByteExtent> merged;
    for (const TByteExtent& r : runs) {
        if (!merged.empty() && merged.back().Offset + merged.back().Length >= r.Offset) {
            merged.back().Length = std::max(merged.back().Length, r.Offset + r.Length - merged.back().Offset);
        } else {
            merged.push_back(r);
        }
    }
    return merged;
}

} // namespace brivo
