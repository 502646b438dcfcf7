#include "ntfs/NtfsFixups.h"

#include "core/ByteReaders.h"

namespace brivo {

namespace {
// The smallest record header that ends before an update sequence array (NTFS 1.2 puts it
// at 42, later versions at 48).
constexpr uint64_t kMinArrayOffset = 42;
} // namespace

TNtfsFixups ApplyFixups(std::span<uint8_t> record) {
    const ByteSpan r(record.data(), record.size());
    const uint64_t size = record.size();
    if (size < 48) return TNtfsFixups::Damaged;
    const uint64_t a = ReadLe16(r, 4);
    const uint64_t n = ReadLe16(r, 6);
    if (a < kMinArrayOffset || n < 2 || a + 2 * n > size || (n - 1) * kNtfsFixupStride > size)
        return TNtfsFixups::Damaged;
    const uint16_t usn = ReadLe16(r, static_cast<int64_t>(a));
    for (uint64_t i = 1; i < n; ++i)
        if (ReadLe16(r, static_cast<int64_t>(i * kNtfsFixupStride - 2)) != usn) return TNtfsFixups::Torn;
    for (uint64_t i = 1; i < n; ++i) {
        const uint64_t q = i * kNtfsFixupStride - 2;
        record[q] = record[a + 2 * i];
        record[q + 1] = record[a + 2 * i + 1];
    }
    return TNtfsFixups::Ok;
}

} // namespace brivo
