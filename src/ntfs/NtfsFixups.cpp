#include "ntfs/NtfsFixups.h"

#include "core/ByteReaders.h"

namespace brivo {

bool ApplyFixups(std::span<uint8_t> record, int32_t stride) {
    const ByteSpan r(record.data(), record.size());
    if (record.size() < 8) return false;
    const uint64_t a = ReadLe16(r, 4);
    const uint64_t n = ReadLe16(r, 6);
    if (stride < 1 || a == 0 || n < 2) return false;
    if (a + 2 * n > record.size()) return false;
    for (uint64_t i = 1; i < n; ++i) {
        const uint64_t q = i * static_cast<uint64_t>(stride) - 2;
        if (q + 1 >= record.size()) return false;
        record[q] = record[a + 2 * i];
        record[q + 1] = record[a + 2 * i + 1];
    }
    return true;
}

} // namespace brivo
