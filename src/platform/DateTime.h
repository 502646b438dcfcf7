#pragma once
#include <cstdint>
#include <string>

namespace brivo {

// TDateTime: days since 1899-12-30 with the time of day as the fraction.
inline constexpr int64_t kUnixEpochDay = 25569;  // 1970-01-01

double EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int ms = 0);
bool IsValidDate(int year, int month, int day);
// Splits a TDateTime into calendar fields (proleptic Gregorian). False for NaN/huge values.
bool DecodeDateTime(double value, int& year, int& month, int& day, int& hour, int& minute, int& second);

// Current local wall-clock time as a TDateTime.
double NowLocalDateTime();
// Local wall-clock fields, read with the local time rules of that date (daylight saving
// included), as a UTC TDateTime. A time the clocks skipped is taken as mktime takes it.
// False for fields mktime cannot place.
bool LocalFieldsToUtcDateTime(int year, int month, int day, int hour, int minute, int second, double& utc);
// A UTC TDateTime as local wall-clock time (the local time rules of that instant, daylight
// saving included): the local TDateTime and the zone's offset east of UTC in seconds.
// False for NaN or a value outside years 1..9999.
bool UtcToLocalDateTime(double utc, double& local, int& offsetSeconds);
// "hh:nn:ss" of a TDateTime.
std::string FormatLocalClock(double value);
// "yyyy-mm-dd hh:nn:ss" of a TDateTime; empty when it cannot be decoded.
std::string FormatDateTimeText(double value);

} // namespace brivo
