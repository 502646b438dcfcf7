#include <cstring>

#include "carve/CarveFormat.h"

namespace brivo::carve {

// Page size times the page count the header keeps, when the header says that count is
// current (its change counter matches the one stamped with the count).
TCarveHit WalkSqlite(TCarveInput& in) {
    uint8_t h[100];
    if (in.Read(0, h, 100) != 100 || std::memcmp(h, "SQLite format 3\0", 16) != 0) return {};
    const std::span<const uint8_t> b(h, 100);
    uint32_t page = ReadBe16(b, 16);
    if (page == 1) page = 65536;
    if (page < 512 || (page & (page - 1))) return {};
    if (h[21] != 64 || h[22] != 32 || h[23] != 32) return {};
    const uint32_t pages = ReadBe32(b, 28);
    if (pages == 0 || ReadBe32(b, 24) != ReadBe32(b, 92)) {
        // An old writer left no count: only the first page is known to be there.
        return Ended(TCarveEnd::CutShort, std::min<uint64_t>(page, in.Size()), "sqlite");
    }
    const uint64_t end = uint64_t{page} * pages;
    if (end > in.Size()) return Ended(TCarveEnd::CutShort, in.Size(), "sqlite");
    // The pages carry no check: proven is the first, which holds the header.
    return Unchecked(end, page, "sqlite");
}

} // namespace brivo::carve
