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

bool FileTimeToUtcExact(int64_t ticks, TDateTime& value) {
    value = 0;
    if (ticks == 0) return false;
    // Whole days and the rest apart, so the day count does not eat the fraction's digits.
    constexpr int64_t kDay = 864000000000;
    int64_t days = ticks / kDay;
    int64_t rest = ticks % kDay;
    if (rest < 0) { rest += kDay; --days; }
    value = static_cast<double>(kFileTimeEpochDay + days) + static_cast<double>(rest) / static_cast<double>(kDay);
    return true;
}

} // namespace brivo
