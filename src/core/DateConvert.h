#pragma once
#include <cstdint>

#include "core/FoundFile.h"
#include "platform/DateTime.h"

namespace brivo {

// Day number of 1601-01-01 on the TDateTime scale (days since 1899-12-30).
inline constexpr int64_t kFileTimeEpochDay = -109205;

// Unix seconds (UTC) to a UTC TDateTime.
inline TDateTime UnixToUtc(int64_t unixSeconds) {
    return static_cast<double>(unixSeconds) / 86400.0 + static_cast<double>(kUnixEpochDay);
}

// 100-ns ticks since 1601-01-01 (UTC) to a TDateTime at 1/10000-day resolution
// (8.64 s), rounded to nearest with ties to even. 0 means "no time".
bool FileTimeToUtc(int64_t ticks, TDateTime& value);

// The same without rounding (to what a double holds: about a microsecond today), for times
// shown beside those other tools print to the 100 ns. 0 means "no time".
bool FileTimeToUtcExact(int64_t ticks, TDateTime& value);

} // namespace brivo
