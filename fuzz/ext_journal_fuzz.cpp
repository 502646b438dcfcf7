// The journal walk over a hostile journal held in memory, read as 1 KiB blocks: the
// superblock, descriptor tags of every format, commit and revoke blocks, and the chains
// that join them into transactions.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "ext/ExtJournal.h"

using namespace brivo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kBlock = 1024;
    const TJournalBlockRead read = [&](uint64_t i, std::span<uint8_t> out) {
        if (i >= size / kBlock + 1) return false;
        const size_t at = static_cast<size_t>(i) * kBlock;
        if (at > size || size - at < out.size()) return false;
        std::memcpy(out.data(), data + at, out.size());
        return true;
    };
    const TJournalLog log = WalkJournal(size / kBlock, read);
    std::vector<uint8_t> buf(log.Super.Valid ? log.Super.BlockSize : kBlock);
    for (const auto& c : log.Copies) {
        (void)log.CopiesOf(c.FsBlock);
        (void)ReadJournalCopy(c, read, buf);
    }
    return 0;
}
