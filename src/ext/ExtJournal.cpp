#include "ext/ExtJournal.h"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <unordered_set>

#include "core/Crc32c.h"

namespace brivo {

namespace {

uint32_t Be32(std::span<const uint8_t> b, size_t pos) {
    if (pos > b.size() || b.size() - pos < 4) return 0;
    return static_cast<uint32_t>(b[pos]) << 24 | static_cast<uint32_t>(b[pos + 1]) << 16 |
           static_cast<uint32_t>(b[pos + 2]) << 8 | b[pos + 3];
}
uint16_t Be16(std::span<const uint8_t> b, size_t pos) {
    if (pos > b.size() || b.size() - pos < 2) return 0;
    return static_cast<uint16_t>(b[pos] << 8 | b[pos + 1]);
}

// A log longer than this (64 GiB of 4 KiB blocks) is no journal mkfs or tune2fs makes.
constexpr uint64_t kMaxLogBlocks = uint64_t{1} << 24;
// The kernel's fast-commit area when the superblock leaves its length 0.
constexpr uint32_t kDefaultFastCommitBlocks = 256;
// What the walk keeps per log block besides the journal's own kinds.
constexpr uint8_t kUnreadable = 0xFF;

// Sequence numbers wrap: order them by their distance from the superblock's.
int64_t SeqKey(uint32_t seq, uint32_t reference) { return static_cast<int32_t>(seq - reference); }

// The sum of a block with the 4 bytes at `field` taken as zeros.
uint32_t SumWithoutField(uint32_t seed, std::span<const uint8_t> b, size_t field) {
    static constexpr uint8_t kZeros[4] = {};
    uint32_t c = Crc32c(seed, b.subspan(0, field));
    c = Crc32c(c, kZeros);
    return Crc32c(c, b.subspan(field + 4));
}

// The sum of `count` zero bytes from crc.
uint32_t SumOfZeros(uint32_t crc, uint64_t count) {
    static const std::array<uint8_t, 4096> zeros{};
    for (; count > 0; count -= std::min<uint64_t>(count, zeros.size()))
        crc = Crc32c(crc, std::span<const uint8_t>(zeros.data(), std::min<uint64_t>(count, zeros.size())));
    return crc;
}

} // namespace

size_t TJournalSuperblock::TagSize() const {
    if (Has(kJbd2CsumV3)) return 16;
    size_t sz = Has(kJbd2Bit64) ? 12 : 8;
    if (Has(kJbd2CsumV2)) sz += 2;
    return sz;
}

uint64_t TJournalSuperblock::LogEnd() const {
    uint64_t end = MaxLen;
    if (Has(kJbd2FastCommit)) {
        const uint64_t fc = FastCommitBlocks ? FastCommitBlocks : kDefaultFastCommitBlocks;
        end = end > First + fc ? end - fc : First;
    }
    return end;
}

TJournalSuperblock DecodeJournalSuperblock(std::span<const uint8_t> b) {
    TJournalSuperblock sb;
    if (b.size() < 0x24 || Be32(b, 0) != kJbd2Magic) return sb;
    const uint32_t type = Be32(b, 4);
    if (type != 3 && type != 4) return sb;
    sb.Version = type == 3 ? 1 : 2;
    sb.BlockSize = Be32(b, 0x0C);
    sb.MaxLen = Be32(b, 0x10);
    sb.First = Be32(b, 0x14);
    sb.Sequence = Be32(b, 0x18);
    sb.Start = Be32(b, 0x1C);
    if (sb.Version == 2) {
        sb.FeatureCompat = Be32(b, 0x24);
        sb.FeatureIncompat = Be32(b, 0x28);
        sb.FeatureRoCompat = Be32(b, 0x2C);
        sb.FastCommitBlocks = Be32(b, 0x54);
        if (sb.HasChecksumTail()) {
            // Over the whole 1024-byte superblock, its own sum (at 0xFC) as zeros.
            sb.ChecksumOk = b.size() >= 1024 && SumWithoutField(~0u, b.subspan(0, 1024), 0xFC) == Be32(b, 0xFC);
            sb.ChecksumSeed = b.size() >= 0x40 ? Crc32c(~0u, b.subspan(0x30, 16)) : 0;
        }
    }
    const bool pow2 = sb.BlockSize >= 1024 && sb.BlockSize <= 65536 && (sb.BlockSize & (sb.BlockSize - 1)) == 0;
    sb.Valid = pow2 && sb.First >= 1 && sb.First < sb.MaxLen && sb.LogEnd() > sb.First;
    return sb;
}

TJournalHeader DecodeJournalHeader(std::span<const uint8_t> b) {
    TJournalHeader h;
    if (b.size() < 12 || Be32(b, 0) != kJbd2Magic) return h;
    const uint32_t type = Be32(b, 4);
    h.Kind = type >= 1 && type <= 5 ? static_cast<TJournalBlockKind>(type) : TJournalBlockKind::Other;
    h.Sequence = Be32(b, 8);
    return h;
}

std::vector<TJournalTag> DecodeDescriptorTags(std::span<const uint8_t> block, const TJournalSuperblock& sb) {
    std::vector<TJournalTag> tags;
    const size_t tagSize = sb.TagSize();
    size_t end = block.size();
    if (sb.HasChecksumTail()) end = end >= 4 ? end - 4 : 0;
    size_t pos = 12;
    while (pos + tagSize <= end) {
        TJournalTag t;
        t.FsBlock = Be32(block, pos);
        if (sb.Has(kJbd2CsumV3)) {
            t.Flags = Be32(block, pos + 4);
            if (sb.Has(kJbd2Bit64)) t.FsBlock |= uint64_t{Be32(block, pos + 8)} << 32;
            t.Checksum = Be32(block, pos + 12);
        } else {
            t.Flags = Be16(block, pos + 6);
            if (sb.Has(kJbd2Bit64)) t.FsBlock |= uint64_t{Be32(block, pos + 8)} << 32;
            if (sb.Has(kJbd2CsumV2)) t.Checksum = Be16(block, pos + 4);
        }
        tags.push_back(t);
        pos += tagSize;
        if (t.Flags & kJbd2TagLast) break;
        if (!(t.Flags & kJbd2TagSameUuid)) pos += 16;
    }
    return tags;
}

std::vector<uint64_t> DecodeRevokeRecords(std::span<const uint8_t> block, const TJournalSuperblock& sb) {
    std::vector<uint64_t> out;
    const size_t rec = sb.Has(kJbd2Bit64) ? 8 : 4;
    size_t limit = block.size();
    if (sb.HasChecksumTail()) limit = limit >= 4 ? limit - 4 : 0;
    // r_count: the bytes in use, its 16-byte header included.
    limit = std::min<size_t>(limit, Be32(block, 12));
    for (size_t pos = 16; pos + rec <= limit; pos += rec) {
        uint64_t v = Be32(block, pos);
        if (rec == 8) v = v << 32 | Be32(block, pos + 4);
        out.push_back(v);
    }
    return out;
}

bool JournalBlockTailOk(std::span<const uint8_t> block, const TJournalSuperblock& sb) {
    if (!sb.HasChecksumTail()) return true;
    if (block.size() < 16) return false;
    const size_t tail = block.size() - 4;
    return SumWithoutField(sb.ChecksumSeed, block, tail) == Be32(block, tail);
}

bool JournalCommitSumOk(std::span<const uint8_t> block, const TJournalSuperblock& sb) {
    if (!sb.HasChecksumTail()) return true;
    // After the header: the sum's type and size (both 0 with v2 and v3), 2 bytes of
    // padding, then the first of its eight 32-bit slots.
    constexpr size_t kSum = 16;
    if (block.size() < kSum + 4) return false;
    return SumWithoutField(sb.ChecksumSeed, block, kSum) == Be32(block, kSum);
}

bool JournalTagSumOk(const TJournalTag& tag, uint32_t sequence, uint32_t blockSumFromZero, const TJournalSuperblock& sb) {
    if (!sb.HasChecksumTail()) return true;
    // The sum runs over the transaction's sequence (big-endian), then the block. It is
    // linear in its start: what the sequence leaves after as many zeros as the block has,
    // plus the block's own sum from 0, so each block is read once, before its tag is.
    const uint8_t seq[4] = {static_cast<uint8_t>(sequence >> 24), static_cast<uint8_t>(sequence >> 16),
                            static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence)};
    const uint32_t sum = SumOfZeros(Crc32c(sb.ChecksumSeed, seq), sb.BlockSize) ^ blockSumFromZero;
    return sb.Has(kJbd2CsumV3) ? sum == tag.Checksum : (sum & 0xFFFF) == (tag.Checksum & 0xFFFF);
}

std::span<const TJournalCopy> TJournalLog::CopiesOf(uint64_t fsBlock) const {
    const auto lo = std::lower_bound(Copies.begin(), Copies.end(), fsBlock,
                                     [](const TJournalCopy& c, uint64_t b) { return c.FsBlock < b; });
    auto hi = lo;
    while (hi != Copies.end() && hi->FsBlock == fsBlock) ++hi;
    return {lo, hi};
}

TJournalLog WalkJournal(uint64_t blockCount, const TJournalBlockRead& read) {
    TJournalLog log;
    {
        std::vector<uint8_t> head(1024);
        if (blockCount < 2 || !read(0, head)) return log;
        log.Super = DecodeJournalSuperblock(head);
    }
    const TJournalSuperblock& sb = log.Super;
    if (!sb.Valid) return log;
    const uint64_t first = sb.First;
    const uint64_t end = std::min({sb.LogEnd(), blockCount, first + kMaxLogBlocks});
    if (end <= first) return log;
    const uint64_t n = end - first;
    auto advance = [&](uint64_t p, uint64_t by) { return first + (p - first + by) % n; };

    // First pass: every log block once, keeping its kind, and for the journal's own
    // blocks their sequence and a descriptor's tag count.
    std::vector<uint8_t> kind(n, 0);
    std::unordered_map<uint64_t, uint32_t> seqOf;
    std::unordered_map<uint64_t, uint32_t> tagCount;
    std::vector<uint64_t> metadata;  // descriptor and revoke blocks, in log order
    // With checksums: each block's sum from 0 (for the tag that names it, met later), and
    // the journal's own blocks whose sum failed.
    const bool sums = sb.HasChecksumTail();
    std::vector<uint32_t> sumOf(sums ? n : 0);
    std::unordered_set<uint64_t> badSum;
    std::vector<uint8_t> buf(sb.BlockSize);
    for (uint64_t p = first; p < end; ++p) {
        if (!read(p, buf)) {
            kind[p - first] = kUnreadable;
            ++log.UnreadableBlocks;
            continue;
        }
        ++log.BlocksRead;
        const TJournalHeader h = DecodeJournalHeader(buf);
        kind[p - first] = static_cast<uint8_t>(h.Kind);
        if (h.Kind == TJournalBlockKind::None) {
            if (sums) sumOf[p - first] = Crc32c(0, buf);
            continue;
        }
        seqOf[p] = h.Sequence;
        if (sums && (h.Kind == TJournalBlockKind::Descriptor || h.Kind == TJournalBlockKind::Revoke ||
                     h.Kind == TJournalBlockKind::Commit)) {
            ++log.ChecksumsChecked;
            const bool ok = h.Kind == TJournalBlockKind::Commit ? JournalCommitSumOk(buf, sb) : JournalBlockTailOk(buf, sb);
            if (!ok) {
                badSum.insert(p);
                ++(h.Kind == TJournalBlockKind::Commit       ? log.BadCommitSums
                   : h.Kind == TJournalBlockKind::Descriptor ? log.BadDescriptorSums
                                                             : log.BadRevokeSums);
            }
        }
        if (h.Kind == TJournalBlockKind::Descriptor) {
            tagCount[p] = static_cast<uint32_t>(std::min<uint64_t>(DecodeDescriptorTags(buf, sb).size(), n - 1));
            metadata.push_back(p);
        } else if (h.Kind == TJournalBlockKind::Revoke) {
            metadata.push_back(p);
        }
    }
    auto kindAt = [&](uint64_t p) { return kind[p - first]; };
    auto isData = [&](uint8_t k) { return k == 0 || k == kUnreadable; };

    // A descriptor still stands when none of the blocks it names holds a journal header:
    // logged copies never begin with the magic (it is escaped), so a header there is a
    // later transaction written over the old one.
    auto rangeClean = [&](uint64_t p) {
        const uint32_t k = tagCount[p];
        for (uint32_t i = 1; i <= k; ++i)
            if (!isData(kindAt(advance(p, i)))) return false;
        return true;
    };

    // A transaction is its descriptor and revoke blocks in a row (each descriptor followed
    // by its copies), closed by a commit block of the same sequence. Each block's answer
    // is kept, so every block is followed once.
    enum : uint8_t { Unknown = 0, InProgress, Yes, No };
    std::unordered_map<uint64_t, uint8_t> state;
    std::unordered_map<uint64_t, bool> clean;
    for (uint64_t start : metadata) {
        std::vector<uint64_t> path;
        uint64_t p = start;
        uint8_t result = No;
        for (;;) {
            const uint8_t st = state[p];
            if (st == Yes || st == No) {
                result = st;
                break;
            }
            if (st == InProgress) break;  // round the whole log without a commit
            state[p] = InProgress;
            path.push_back(p);
            const uint32_t s = seqOf[p];
            uint64_t next;
            if (static_cast<TJournalBlockKind>(kindAt(p)) == TJournalBlockKind::Descriptor) {
                // A descriptor whose sum failed may name the wrong blocks, and its count
                // says nothing of where the transaction goes on.
                const bool ok = !badSum.count(p) && rangeClean(p);
                clean[p] = ok;
                if (!ok) break;
                next = advance(p, uint64_t{1} + tagCount[p]);
            } else {
                next = advance(p, 1);
            }
            const auto kn = static_cast<TJournalBlockKind>(kindAt(next));
            const auto it = seqOf.find(next);
            if (it == seqOf.end() || it->second != s) break;
            if (kn == TJournalBlockKind::Commit) {
                result = badSum.count(next) ? No : Yes;
                break;
            }
            if (kn != TJournalBlockKind::Descriptor && kn != TJournalBlockKind::Revoke) break;
            p = next;
        }
        for (uint64_t q : path) state[q] = result;
    }

    // Second pass: the copies of each standing descriptor.
    std::vector<uint32_t> committedSeqs;
    for (uint64_t p : metadata) {
        if (static_cast<TJournalBlockKind>(kindAt(p)) != TJournalBlockKind::Descriptor) continue;
        if (!clean[p]) continue;
        const bool committed = state[p] == Yes;
        if (!committed) ++log.UncommittedDescriptors;
        if (!read(p, buf)) continue;
        const auto tags = DecodeDescriptorTags(buf, sb);
        const size_t k = std::min<size_t>(tags.size(), tagCount[p]);
        for (size_t i = 0; i < k; ++i) {
            const uint64_t at = advance(p, uint64_t{1} + i);
            if (kindAt(at) == kUnreadable) continue;
            if (sums) {
                ++log.ChecksumsChecked;
                if (!JournalTagSumOk(tags[i], seqOf[p], sumOf[at - first], sb)) {
                    ++log.BadCopySums;
                    continue;
                }
            }
            TJournalCopy c;
            c.FsBlock = tags[i].FsBlock;
            c.JournalBlock = at;
            c.Sequence = seqOf[p];
            c.Committed = committed;
            c.Escaped = (tags[i].Flags & kJbd2TagEscape) != 0;
            log.Copies.push_back(c);
        }
        if (committed && k > 0) committedSeqs.push_back(seqOf[p]);
    }
    std::sort(committedSeqs.begin(), committedSeqs.end());
    log.Transactions = static_cast<uint64_t>(std::unique(committedSeqs.begin(), committedSeqs.end()) - committedSeqs.begin());

    const uint32_t ref = sb.Sequence;
    std::sort(log.Copies.begin(), log.Copies.end(), [ref](const TJournalCopy& a, const TJournalCopy& b) {
        if (a.FsBlock != b.FsBlock) return a.FsBlock < b.FsBlock;
        const int64_t ka = SeqKey(a.Sequence, ref), kb = SeqKey(b.Sequence, ref);
        if (ka != kb) return ka > kb;
        return a.JournalBlock > b.JournalBlock;
    });

    // Revoke records of committed transactions, kept only for blocks that have copies,
    // so a hostile log cannot make this grow past the copies.
    std::unordered_map<uint64_t, int64_t> newestRevoke;
    for (uint64_t p : metadata) {
        if (static_cast<TJournalBlockKind>(kindAt(p)) != TJournalBlockKind::Revoke || state[p] != Yes || badSum.count(p))
            continue;
        if (!read(p, buf)) continue;
        const int64_t key = SeqKey(seqOf[p], ref);
        for (uint64_t fs : DecodeRevokeRecords(buf, sb)) {
            if (log.CopiesOf(fs).empty()) continue;
            auto [it, fresh] = newestRevoke.try_emplace(fs, key);
            if (!fresh && key > it->second) it->second = key;
        }
    }
    for (auto& c : log.Copies) {
        const auto it = newestRevoke.find(c.FsBlock);
        c.Revoked = it != newestRevoke.end() && SeqKey(c.Sequence, ref) <= it->second;
    }
    return log;
}

bool ReadJournalCopy(const TJournalCopy& copy, const TJournalBlockRead& read, std::span<uint8_t> out) {
    if (!read(copy.JournalBlock, out)) return false;
    if (copy.Escaped && out.size() >= 4) {
        out[0] = 0xC0;
        out[1] = 0x3B;
        out[2] = 0x39;
        out[3] = 0x98;
    }
    return true;
}

} // namespace brivo
