#include "core/DateConvert.h"

namespace brivo {

bool FileTimeToUtc(int64_t ticks, TDateTime& value) {
    value = 0;
    if (ticks == 0) return false;
    // One unit = 86,400,000 ticks of 100 ns. Integer rounding keeps huge stamps exact.
    constexpr int64_t kUnit = 86400000;
    int64_t q = ticks / kUnit;
    int64_t r = ticks % kUnit;
    if (r < 0) { r += kUnit; --q; }
    if (2 * r > kUnit || (2 * r == kUnit && (q & 1))) ++q;
    value = static_cast<double>(kFileTimeEpochDay * 10000 + q) / 10000.0;
    return true;
}

} // namespace brivo
