#include "tskparse/ExtJournalTail.h"

#include <algorithm>

namespace brivo {

namespace {

// The journal is big-endian throughout.
uint32_t Be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

constexpr uint32_t kJournalMagic = 0xC03B3998;
constexpr uint32_t kCommitBlock = 2, kSuperblockV1 = 3, kSuperblockV2 = 4;

} // namespace

std::vector<uint64_t> JournalUnwrittenBlocks(uint64_t blockCount, const TJournalBlockHead& head) {
    // Superblock: magic, type, sequence, then block size, length, first log block, the
    // next sequence number and where replay starts (0: nothing to replay).
    uint8_t sb[32] = {};
    if (blockCount < 2 || !head(0, sb, sizeof sb)) return {};
    const uint32_t type = Be32(sb + 4);
    if (Be32(sb) != kJournalMagic || (type != kSuperblockV1 && type != kSuperblockV2)) return {};
    const uint64_t length = std::min<uint64_t>(Be32(sb + 16), blockCount);
    const uint64_t first = Be32(sb + 20);
    const uint32_t next = Be32(sb + 24);
    if (Be32(sb + 28) != 0 || first == 0 || first >= length) return {};
    uint64_t lastCommit = 0;
    for (uint64_t i = first; i < length; ++i) {
        uint8_t h[12];
        if (!head(i, h, sizeof h)) continue;
        const uint32_t seq = Be32(h + 8);
        // A commit of an older volume with a sequence number in this range ends the
        // unwritten part later than it need be: less is searched, nothing is invented.
        if (Be32(h) == kJournalMagic && Be32(h + 4) == kCommitBlock && seq >= 1 && seq < next) lastCommit = i;
    }
    std::vector<uint64_t> out;
    for (uint64_t i = lastCommit == 0 ? first : lastCommit + 1; i < length; ++i) out.push_back(i);
    return out;
}

} // namespace brivo
