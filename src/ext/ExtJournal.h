#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace brivo {

// The jbd2 journal of ext3/4 (and the ext2-era journal it grew from). Every field is
// big-endian. The log is circular: after a clean unmount nothing is to be replayed, yet
// the older transactions still lie in it with the earlier copies of the metadata blocks
// they logged (inode tables, directory blocks, extent index nodes).

inline constexpr uint32_t kJbd2Magic = 0xC03B3998;

enum class TJournalBlockKind : uint8_t {
    None = 0,        // no journal header: a logged copy, or never written
    Descriptor = 1,
    Commit = 2,
    SuperblockV1 = 3,
    SuperblockV2 = 4,
    Revoke = 5,
    Other = 6,       // the magic with a block type this reader does not know
};

// Incompatible features of the journal superblock.
inline constexpr uint32_t kJbd2Revoke = 0x1;
inline constexpr uint32_t kJbd2Bit64 = 0x2;
inline constexpr uint32_t kJbd2AsyncCommit = 0x4;
inline constexpr uint32_t kJbd2CsumV2 = 0x8;
inline constexpr uint32_t kJbd2CsumV3 = 0x10;
inline constexpr uint32_t kJbd2FastCommit = 0x20;

// Tag flags.
inline constexpr uint32_t kJbd2TagEscape = 0x1;    // the copy began with the magic, written as zeros
inline constexpr uint32_t kJbd2TagSameUuid = 0x2;  // no 16-byte UUID follows this tag
inline constexpr uint32_t kJbd2TagDeleted = 0x4;
inline constexpr uint32_t kJbd2TagLast = 0x8;

struct TJournalSuperblock {
    bool Valid = false;
    int Version = 0;             // 1 or 2
    uint32_t BlockSize = 0;
    uint32_t MaxLen = 0;         // blocks in the journal, this superblock included
    uint32_t First = 0;          // first block of the log
    uint32_t Sequence = 0;       // the first transaction to replay, or the next one when Start is 0
    uint32_t Start = 0;          // where replay begins; 0 after a clean unmount
    uint32_t FeatureCompat = 0;
    uint32_t FeatureIncompat = 0;
    uint32_t FeatureRoCompat = 0;
    uint32_t FastCommitBlocks = 0;  // as stored; 0 means the default when fast commit is on
    // With checksum v2 or v3: what every block sum starts from (from the journal's UUID),
    // and whether the superblock's own sum matched (true when it has none).
    uint32_t ChecksumSeed = 0;
    bool ChecksumOk = true;

    bool Has(uint32_t incompat) const { return (FeatureIncompat & incompat) != 0; }
    bool HasChecksumTail() const { return Has(kJbd2CsumV2) || Has(kJbd2CsumV3); }
    // Bytes per descriptor tag: fixed 16 with checksum v3; otherwise 12 with 64-bit
    // block numbers and 8 without, plus 2 with checksum v2.
    size_t TagSize() const;
    // One past the last block of the circular log: fast-commit blocks sit after it.
    uint64_t LogEnd() const;
};

// Decodes the journal superblock (journal block 0); Valid is false unless the magic, a
// superblock type, a power-of-two block size of 1–64 KiB and 1 <= First < MaxLen hold.
TJournalSuperblock DecodeJournalSuperblock(std::span<const uint8_t> b);

struct TJournalHeader {
    TJournalBlockKind Kind = TJournalBlockKind::None;
    uint32_t Sequence = 0;
};
TJournalHeader DecodeJournalHeader(std::span<const uint8_t> b);

struct TJournalTag {
    uint64_t FsBlock = 0;
    uint32_t Flags = 0;
    uint32_t Checksum = 0;  // of the logged block: 32 bits with checksum v3, 16 with v2
};
// The tags of a descriptor block, in order (the i-th names the i-th block after it in
// the log). Stops at the last-tag flag, at the checksum tail, or at the block's end.
std::vector<TJournalTag> DecodeDescriptorTags(std::span<const uint8_t> block, const TJournalSuperblock& sb);

// The file-system blocks a revoke block names (32- or 64-bit records).
std::vector<uint64_t> DecodeRevokeRecords(std::span<const uint8_t> block, const TJournalSuperblock& sb);

// Checksums of a journal with checksum v2 or v3 (each true when the journal has none):
// the tail of a descriptor or revoke block, and the sum in a commit block, each over the
// whole block (sb.BlockSize bytes) with the sum's own field as zeros.
bool JournalBlockTailOk(std::span<const uint8_t> block, const TJournalSuperblock& sb);
bool JournalCommitSumOk(std::span<const uint8_t> block, const TJournalSuperblock& sb);
// The sum a tag of transaction `sequence` carries for a logged block, given that block's
// sum from 0 (Crc32c(0, block), of the block as it lies in the journal, escaped or not).
bool JournalTagSumOk(const TJournalTag& tag, uint32_t sequence, uint32_t blockSumFromZero, const TJournalSuperblock& sb);

// Whether transaction a came after transaction b (sequence numbers wrap).
inline bool JournalSeqAfter(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

// One earlier copy of a file-system block, held in the journal.
struct TJournalCopy {
    uint64_t FsBlock = 0;
    uint64_t JournalBlock = 0;   // index in the journal
    uint32_t Sequence = 0;       // of its transaction
    bool Committed = false;      // a commit block of the same sequence closes the transaction
    bool Escaped = false;        // its first 4 bytes were the journal magic (ReadJournalCopy puts it back)
    bool Revoked = false;        // a revoke record of this or a later transaction names the block:
                                 // not what the file system wrote last, but still its history
};

// Reads the first out.size() bytes of journal block `index` (0 = the journal superblock);
// false when they cannot be read.
using TJournalBlockRead = std::function<bool(uint64_t index, std::span<uint8_t> out)>;

struct TJournalLog {
    TJournalSuperblock Super;
    // By file-system block, then newest transaction first.
    std::vector<TJournalCopy> Copies;
    uint64_t BlocksRead = 0;
    uint64_t UnreadableBlocks = 0;
    uint64_t Transactions = 0;           // committed transactions with at least one copy
    uint64_t UncommittedDescriptors = 0; // descriptors no commit block of their sequence closes

    // Checksums (v2 and v3 journals), never fatal. A copy whose sum fails is left out, as
    // are the copies a descriptor whose tail fails names (its block numbers may be wrong);
    // a commit block whose sum fails commits nothing; a revoke block whose tail fails
    // revokes nothing.
    uint64_t ChecksumsChecked = 0;
    uint64_t BadCopySums = 0;
    uint64_t BadDescriptorSums = 0;
    uint64_t BadCommitSums = 0;
    uint64_t BadRevokeSums = 0;
    uint64_t ChecksumFailures() const {
        return BadCopySums + BadDescriptorSums + BadCommitSums + BadRevokeSums + (Super.ChecksumOk ? 0 : 1);
    }

    // The copies of one file-system block, newest first.
    std::span<const TJournalCopy> CopiesOf(uint64_t fsBlock) const;
};

// Walks the whole log area, not only the part from Start that a replay would use, and
// lists every copy whose descriptor still stands with its data blocks untouched by a later
// transaction. blockCount is the journal's length as the file system maps it (at most
// that many blocks are read, each once; a descriptor or revoke block is read once more).
// An invalid superblock gives an empty log.
TJournalLog WalkJournal(uint64_t blockCount, const TJournalBlockRead& read);

// The bytes of a copy as the file system had them (the magic put back when escaped).
// out.size() is the journal's block size.
bool ReadJournalCopy(const TJournalCopy& copy, const TJournalBlockRead& read, std::span<uint8_t> out);

} // namespace brivo
