#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "core/Crc32c.h"
#include "ext/ExtJournal.h"

namespace brivo {
namespace {

void PutBe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void PutBe16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

// A journal laid out block by block in memory, as the kernel writes one.
struct TTestJournal {
    uint32_t BlockSize = 1024;
    uint32_t Incompat = 0;
    std::vector<std::vector<uint8_t>> Blocks;
    std::vector<uint64_t> Unreadable;
    mutable uint64_t Reads = 0;
    struct TTagAt {
        size_t Descriptor, Offset, Data;
        uint32_t Sequence;
    };
    std::vector<TTagAt> TagsAt;  // for Seal

    explicit TTestJournal(uint32_t length, uint32_t incompat = 0, uint32_t sequence = 100, uint32_t start = 0)
        : Incompat(incompat), Blocks(length, std::vector<uint8_t>(1024, 0)) {
        auto& sb = Blocks[0];
        PutBe32(sb, 0, kJbd2Magic);
        PutBe32(sb, 4, 4);
        PutBe32(sb, 8, 0);
        PutBe32(sb, 0x0C, BlockSize);
        PutBe32(sb, 0x10, length);
        PutBe32(sb, 0x14, 1);
        PutBe32(sb, 0x18, sequence);
        PutBe32(sb, 0x1C, start);
        PutBe32(sb, 0x28, incompat);
    }
    TJournalSuperblock Super() const { return DecodeJournalSuperblock(Blocks[0]); }
    void Header(size_t at, uint32_t type, uint32_t seq) {
        PutBe32(Blocks[at], 0, kJbd2Magic);
        PutBe32(Blocks[at], 4, type);
        PutBe32(Blocks[at], 8, seq);
    }
    // The tags of a descriptor, the first carrying the UUID, the last flagged as last.
    void Descriptor(size_t at, uint32_t seq, const std::vector<std::pair<uint64_t, uint32_t>>& tags) {
        Blocks[at].assign(BlockSize, 0);
        Header(at, 1, seq);
        const TJournalSuperblock sb = Super();
        size_t pos = 12;
        for (size_t i = 0; i < tags.size(); ++i) {
            uint32_t flags = tags[i].second;
            if (i > 0) flags |= kJbd2TagSameUuid;
            if (i + 1 == tags.size()) flags |= kJbd2TagLast;
            auto& b = Blocks[at];
            TagsAt.push_back({at, pos, at + 1 + i, seq});
            PutBe32(b, pos, static_cast<uint32_t>(tags[i].first));
            if (sb.Has(kJbd2CsumV3)) {
                PutBe32(b, pos + 4, flags);
                if (sb.Has(kJbd2Bit64)) PutBe32(b, pos + 8, static_cast<uint32_t>(tags[i].first >> 32));
                PutBe32(b, pos + 12, 0xDEADBEEF);
            } else {
                PutBe16(b, pos + 4, 0xBEEF);
                PutBe16(b, pos + 6, static_cast<uint16_t>(flags));
                if (sb.Has(kJbd2Bit64)) PutBe32(b, pos + 8, static_cast<uint32_t>(tags[i].first >> 32));
            }
            pos += sb.TagSize();
            if (!(flags & kJbd2TagSameUuid)) {
                std::memset(b.data() + pos, 0x5A, 16);
                pos += 16;
            }
        }
    }
    void Commit(size_t at, uint32_t seq) {
        Blocks[at].assign(BlockSize, 0);
        Header(at, 2, seq);
    }
    void Revoke(size_t at, uint32_t seq, const std::vector<uint64_t>& fsBlocks) {
        Blocks[at].assign(BlockSize, 0);
        Header(at, 5, seq);
        const size_t rec = Super().Has(kJbd2Bit64) ? 8 : 4;
        size_t pos = 16;
        for (uint64_t f : fsBlocks) {
            if (rec == 8) PutBe32(Blocks[at], pos, static_cast<uint32_t>(f >> 32));
            PutBe32(Blocks[at], pos + rec - 4, static_cast<uint32_t>(f));
            pos += rec;
        }
        PutBe32(Blocks[at], 12, static_cast<uint32_t>(pos));
    }
    void Data(size_t at, uint8_t fill) { Blocks[at].assign(BlockSize, fill); }
    // Writes every checksum as the kernel does (checksum v2 or v3): each tag's over the
    // sequence and its block as logged, the descriptor and revoke tails, the commit
    // block's, the superblock's; call once the blocks are in place.
    void Seal() {
        auto& sb = Blocks[0];
        for (size_t i = 0; i < 16; ++i) sb[0x30 + i] = static_cast<uint8_t>(0x11 * i + 3);
        const uint32_t seed = Crc32c(~0u, std::span<const uint8_t>(sb).subspan(0x30, 16));
        for (const TTagAt& t : TagsAt) {
            const uint8_t seq[4] = {static_cast<uint8_t>(t.Sequence >> 24), static_cast<uint8_t>(t.Sequence >> 16),
                                    static_cast<uint8_t>(t.Sequence >> 8), static_cast<uint8_t>(t.Sequence)};
            const uint32_t sum = Crc32c(Crc32c(seed, seq), Blocks[t.Data]);
            if (Incompat & kJbd2CsumV3) PutBe32(Blocks[t.Descriptor], t.Offset + 12, sum);
            else PutBe16(Blocks[t.Descriptor], t.Offset + 4, static_cast<uint16_t>(sum));
        }
        for (size_t i = 1; i < Blocks.size(); ++i) {
            auto& b = Blocks[i];
            if (b.size() < 12 || b[0] != 0xC0 || b[1] != 0x3B) continue;
            const uint8_t type = b[7];
            const size_t at = type == 2 ? 16 : BlockSize - 4;
            if (type != 1 && type != 2 && type != 5) continue;
            PutBe32(b, at, 0);
            PutBe32(b, at, Crc32c(seed, b));
        }
        PutBe32(sb, 0xFC, 0);
        PutBe32(sb, 0xFC, Crc32c(~0u, sb));
    }

    TJournalBlockRead Reader() const {
        return [this](uint64_t i, std::span<uint8_t> out) {
            ++Reads;
            if (i >= Blocks.size() || out.size() > Blocks[i].size()) return false;
            for (uint64_t u : Unreadable)
                if (u == i) return false;
            std::memcpy(out.data(), Blocks[i].data(), out.size());
            return true;
        };
    }
    TJournalLog Walk() const { return WalkJournal(Blocks.size(), Reader()); }
};

TEST(ExtJournal, DecodesSuperblocksAndRefusesBrokenOnes) {
    struct Case {
        const char* what;
        uint32_t type, blockSize, maxLen, first, incompat, fcBlocks;
        bool valid;
        uint64_t logEnd;
    };
    const Case cases[] = {
        {"v1", 3, 1024, 1024, 1, 0, 0, true, 1024},
        {"v2, 64-bit, checksum v3", 4, 4096, 32768, 1, kJbd2Bit64 | kJbd2CsumV3 | kJbd2Revoke, 0, true, 32768},
        {"fast commit, default area", 4, 4096, 32768, 1, kJbd2FastCommit, 0, true, 32768 - 256},
        {"fast commit, stated area", 4, 4096, 32768, 1, kJbd2FastCommit, 100, true, 32768 - 100},
        {"fast commit area eats the log", 4, 4096, 200, 1, kJbd2FastCommit, 0, false, 1},
        {"block size not a power of two", 4, 3000, 1024, 1, 0, 0, false, 1024},
        {"block size 512", 4, 512, 1024, 1, 0, 0, false, 1024},
        {"first block 0", 4, 1024, 1024, 0, 0, 0, false, 1024},
        {"first past the end", 4, 1024, 1024, 1024, 0, 0, false, 1024},
        {"descriptor type", 1, 1024, 1024, 1, 0, 0, false, 0},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> b(1024, 0);
        PutBe32(b, 0, kJbd2Magic);
        PutBe32(b, 4, c.type);
        PutBe32(b, 0x0C, c.blockSize);
        PutBe32(b, 0x10, c.maxLen);
        PutBe32(b, 0x14, c.first);
        PutBe32(b, 0x18, 7);
        PutBe32(b, 0x28, c.incompat);
        PutBe32(b, 0x54, c.fcBlocks);
        const auto sb = DecodeJournalSuperblock(b);
        EXPECT_EQ(sb.Valid, c.valid) << c.what;
        if (c.type >= 3) {
            EXPECT_EQ(sb.LogEnd(), c.logEnd) << c.what;
        }
        // A v1 superblock has no feature fields: whatever lies there is not read.
        if (c.type == 3) {
            EXPECT_EQ(sb.FeatureIncompat, 0u) << c.what;
        }
    }
    std::vector<uint8_t> noMagic(1024, 0);
    EXPECT_FALSE(DecodeJournalSuperblock(noMagic).Valid);
    EXPECT_FALSE(DecodeJournalSuperblock(std::span<const uint8_t>(noMagic.data(), 8)).Valid);
}

TEST(ExtJournal, DecodesTagsOfEveryFormat) {
    struct Case {
        const char* what;
        uint32_t incompat;
        size_t tagSize;
        bool high;
    };
    const Case cases[] = {
        {"32-bit", 0, 8, false},
        {"64-bit", kJbd2Bit64, 12, true},
        {"checksum v2", kJbd2CsumV2, 10, false},
        {"checksum v2, 64-bit", kJbd2CsumV2 | kJbd2Bit64, 14, true},
        {"checksum v3", kJbd2CsumV3, 16, false},
        {"checksum v3, 64-bit", kJbd2CsumV3 | kJbd2Bit64, 16, true},
    };
    for (const auto& c : cases) {
        TTestJournal j(64, c.incompat);
        EXPECT_EQ(j.Super().TagSize(), c.tagSize) << c.what;
        const uint64_t big = (uint64_t{3} << 32) | 77;
        j.Descriptor(1, 5, {{1234, 0}, {big, kJbd2TagEscape}, {99, 0}});
        // Something after the last tag is not a tag.
        const auto tags = DecodeDescriptorTags(j.Blocks[1], j.Super());
        ASSERT_EQ(tags.size(), 3u) << c.what;
        EXPECT_EQ(tags[0].FsBlock, 1234u) << c.what;
        EXPECT_EQ(tags[1].FsBlock, c.high ? big : 77u) << c.what;
        EXPECT_TRUE(tags[1].Flags & kJbd2TagEscape) << c.what;
        EXPECT_TRUE(tags[2].Flags & kJbd2TagLast) << c.what;
    }
}

TEST(ExtJournal, DecodesRevokeRecordsWithinTheirCount) {
    for (uint32_t incompat : {0u, kJbd2Bit64, kJbd2Bit64 | kJbd2CsumV3}) {
        TTestJournal j(8, incompat);
        const uint64_t far = incompat & kJbd2Bit64 ? (uint64_t{1} << 33) + 5 : 5;
        j.Revoke(1, 3, {10, far});
        EXPECT_EQ(DecodeRevokeRecords(j.Blocks[1], j.Super()), (std::vector<uint64_t>{10, far})) << incompat;
        // A count past the block is cut at the block (and at the checksum tail).
        PutBe32(j.Blocks[1], 12, 0xFFFFFFFF);
        const size_t rec = incompat & kJbd2Bit64 ? 8 : 4;
        const size_t room = 1024 - 16 - (incompat & kJbd2CsumV3 ? 4 : 0);
        EXPECT_EQ(DecodeRevokeRecords(j.Blocks[1], j.Super()).size(), room / rec) << incompat;
    }
}

TEST(ExtJournal, ListsCopiesOfOldTransactionsAfterACleanUnmount) {
    // Three transactions in the log, none left to replay (start 0): the walk must still
    // find them all.
    TTestJournal j(64, kJbd2Revoke, 103, 0);
    j.Descriptor(1, 100, {{500, 0}, {501, 0}});
    j.Data(2, 0xA0);
    j.Data(3, 0xA1);
    j.Commit(4, 100);
    j.Descriptor(5, 101, {{500, kJbd2TagEscape}});
    j.Data(6, 0xB0);
    j.Blocks[6][0] = j.Blocks[6][1] = j.Blocks[6][2] = j.Blocks[6][3] = 0;
    // A second descriptor and a revoke block in the same transaction.
    j.Descriptor(7, 101, {{600, 0}});
    j.Data(8, 0xB1);
    j.Revoke(9, 101, {501});
    j.Commit(10, 101);
    // Written, never committed: the machine stopped.
    j.Descriptor(11, 102, {{500, 0}});
    j.Data(12, 0xC0);

    const TJournalLog log = j.Walk();
    ASSERT_TRUE(log.Super.Valid);
    EXPECT_EQ(log.Transactions, 2u);
    EXPECT_EQ(log.UncommittedDescriptors, 1u);

    const auto c500 = log.CopiesOf(500);
    ASSERT_EQ(c500.size(), 3u);
    EXPECT_EQ(c500[0].Sequence, 102u);
    EXPECT_FALSE(c500[0].Committed);
    EXPECT_EQ(c500[1].Sequence, 101u);
    EXPECT_TRUE(c500[1].Committed);
    EXPECT_EQ(c500[1].JournalBlock, 6u);
    EXPECT_EQ(c500[2].Sequence, 100u);
    EXPECT_EQ(c500[2].JournalBlock, 2u);

    // The escaped copy comes back with the magic it began with.
    std::vector<uint8_t> out(1024);
    ASSERT_TRUE(ReadJournalCopy(c500[1], j.Reader(), out));
    EXPECT_EQ(out[0], 0xC0);
    EXPECT_EQ(out[3], 0x98);
    EXPECT_EQ(out[4], 0xB0);
    ASSERT_TRUE(ReadJournalCopy(c500[2], j.Reader(), out));
    EXPECT_EQ(out[0], 0xA0);

    // 501 was revoked by a later transaction: still listed, marked.
    const auto c501 = log.CopiesOf(501);
    ASSERT_EQ(c501.size(), 1u);
    EXPECT_TRUE(c501[0].Revoked);
    EXPECT_FALSE(c500[2].Revoked);
    ASSERT_EQ(log.CopiesOf(600).size(), 1u);
    EXPECT_EQ(log.CopiesOf(600)[0].JournalBlock, 8u);
    EXPECT_TRUE(log.CopiesOf(700).empty());
}

TEST(ExtJournal, DropsTransactionsALaterOneWroteOverAndFollowsTheWrap) {
    TTestJournal j(16, 0, 50, 0);
    // Old transaction 40 at 3..8, its middle overwritten by transaction 41 from 5 on.
    j.Descriptor(3, 40, {{900, 0}, {901, 0}, {902, 0}, {903, 0}});
    j.Data(4, 1);
    j.Descriptor(5, 41, {{910, 0}});
    j.Data(6, 2);
    j.Commit(7, 41);
    j.Data(8, 3);
    j.Commit(9, 40);  // the old commit survived past the newer transaction
    // Transaction 42 wraps from the log's end to its first block.
    j.Descriptor(14, 42, {{920, 0}, {921, 0}});
    j.Data(15, 4);
    j.Data(1, 5);
    j.Commit(2, 42);

    const TJournalLog log = j.Walk();
    EXPECT_TRUE(log.CopiesOf(900).empty());
    EXPECT_TRUE(log.CopiesOf(903).empty());
    ASSERT_EQ(log.CopiesOf(910).size(), 1u);
    EXPECT_TRUE(log.CopiesOf(910)[0].Committed);
    ASSERT_EQ(log.CopiesOf(921).size(), 1u);
    EXPECT_EQ(log.CopiesOf(921)[0].JournalBlock, 1u);
    EXPECT_TRUE(log.CopiesOf(921)[0].Committed);
    EXPECT_EQ(log.Transactions, 2u);
}

TEST(ExtJournal, OrdersSequencesAcrossTheirWrap) {
    // Sequence numbers roll over: 0xFFFFFFFF is older than 1.
    TTestJournal j(16, 0, 2, 0);
    j.Descriptor(1, 0xFFFFFFFF, {{77, 0}});
    j.Data(2, 1);
    j.Commit(3, 0xFFFFFFFF);
    j.Descriptor(4, 1, {{77, 0}});
    j.Data(5, 2);
    j.Commit(6, 1);
    const TJournalLog log = j.Walk();
    const auto c = log.CopiesOf(77);
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].Sequence, 1u);
    EXPECT_EQ(c[1].Sequence, 0xFFFFFFFFu);
}

TEST(ExtJournal, HostileLogsEndAndReadEachBlockABoundedNumberOfTimes) {
    {
        // Every block a tagless descriptor of one sequence: the chain goes round forever
        // unless the walk notices.
        TTestJournal j(200);
        for (size_t i = 1; i < 200; ++i) j.Descriptor(i, 9, {});
        const auto log = j.Walk();
        EXPECT_TRUE(log.Copies.empty());
        EXPECT_LE(j.Reads, 1 + 2 * 200u);
    }
    {
        // Descriptors claiming the whole log, a superblock claiming more blocks than exist,
        // unreadable blocks in a transaction.
        TTestJournal j(50);
        PutBe32(j.Blocks[0], 0x10, 0xFFFFFFF0);
        for (size_t i = 1; i < 50; i += 7) {
            std::vector<std::pair<uint64_t, uint32_t>> tags;
            for (int t = 0; t < 100; ++t) tags.push_back({static_cast<uint64_t>(t), 0});
            j.Descriptor(i, 9, tags);
        }
        j.Descriptor(30, 12, {{5, 0}, {6, 0}});
        j.Commit(33, 12);
        j.Unreadable = {31};
        const auto log = j.Walk();
        EXPECT_EQ(log.UnreadableBlocks, 1u);
        EXPECT_LE(j.Reads, 1 + 2 * 50u);
        // Only the readable copy of the one transaction standing is listed.
        ASSERT_EQ(log.Copies.size(), 1u);
        EXPECT_EQ(log.Copies[0].FsBlock, 6u);
    }
    {
        TTestJournal j(4);
        j.Blocks[0][0] = 0;
        EXPECT_FALSE(j.Walk().Super.Valid);
        EXPECT_FALSE(WalkJournal(1, j.Reader()).Super.Valid);
    }
}

TEST(ExtJournal, ChecksumsDecideWhichCopiesAreTrusted) {
    // Two transactions: 10 logs 500 and 501; 11 logs 502 (escaped) and revokes 500.
    // Each case damages one byte; a failed sum is counted and never fatal.
    enum Damage { None, CopyOf501, Descriptor10, Commit10, Revoke11, Superblock };
    struct Case {
        const char* what;
        Damage damage;
        bool has500, has501, committed10, revoked500, superOk;
        uint64_t badCopies, badDescriptors, badCommits, badRevokes;
    };
    const Case cases[] = {
        {"intact", None, true, true, true, true, true, 0, 0, 0, 0},
        {"a logged block", CopyOf501, true, false, true, true, true, 1, 0, 0, 0},
        {"a descriptor", Descriptor10, false, false, true, true, true, 0, 1, 0, 0},
        {"a commit block", Commit10, true, true, false, true, true, 0, 0, 1, 0},
        {"a revoke block", Revoke11, true, true, true, false, true, 0, 0, 0, 1},
        {"the superblock", Superblock, true, true, true, true, false, 0, 0, 0, 0},
    };
    for (uint32_t flavour : {kJbd2CsumV2, kJbd2CsumV3, kJbd2CsumV3 | kJbd2Bit64}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + " " + std::to_string(flavour));
            TTestJournal j(32, flavour | kJbd2Revoke, 12, 0);
            j.Descriptor(1, 10, {{500, 0}, {501, 0}});
            j.Data(2, 0xA0);
            j.Data(3, 0xA1);
            j.Commit(4, 10);
            j.Descriptor(5, 11, {{502, kJbd2TagEscape}});
            j.Data(6, 0xB0);
            j.Blocks[6][0] = j.Blocks[6][1] = j.Blocks[6][2] = j.Blocks[6][3] = 0;
            j.Revoke(7, 11, {500});
            j.Commit(8, 11);
            j.Seal();
            const size_t at[] = {0, 3, 1, 4, 7, 0};
            if (c.damage != None) j.Blocks[at[c.damage]][c.damage == Superblock ? 0x200 : 900] ^= 0x40;

            const TJournalLog log = j.Walk();
            ASSERT_TRUE(log.Super.Valid);
            EXPECT_EQ(log.Super.ChecksumOk, c.superOk);
            // 3 tags (2 when a descriptor's are left unread), 2 descriptors, 2 commits, 1 revoke.
            EXPECT_EQ(log.ChecksumsChecked, c.damage == Descriptor10 ? 6u : 8u);
            EXPECT_EQ(log.BadCopySums, c.badCopies);
            EXPECT_EQ(log.BadDescriptorSums, c.badDescriptors);
            EXPECT_EQ(log.BadCommitSums, c.badCommits);
            EXPECT_EQ(log.BadRevokeSums, c.badRevokes);
            EXPECT_EQ(log.CopiesOf(500).size(), c.has500 ? 1u : 0u);
            EXPECT_EQ(log.CopiesOf(501).size(), c.has501 ? 1u : 0u);
            if (c.has500) {
                EXPECT_EQ(log.CopiesOf(500)[0].Committed, c.committed10);
                EXPECT_EQ(log.CopiesOf(500)[0].Revoked, c.revoked500);
            }
            // The escaped copy's sum is over the block as logged.
            ASSERT_EQ(log.CopiesOf(502).size(), 1u);
            EXPECT_TRUE(log.CopiesOf(502)[0].Committed);
            EXPECT_EQ(log.Transactions, c.has500 && c.committed10 ? 2u : 1u);
        }
    }
}

} // namespace
} // namespace brivo
