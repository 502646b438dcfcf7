#include "platform/DateTime.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace brivo {

namespace {
// Days from 1970-01-01 to y-m-d (Howard Hinnant's civil calendar algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}
void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp + (mp < 10 ? 3 : -9);
    y += m <= 2;
}
} // namespace

bool IsValidDate(int year, int month, int day) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int dim = kDays[month - 1];
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month == 2 && leap) dim = 29;
    return day <= dim;
}

double EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int ms) {
    const int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) + kUnixEpochDay;
    const double frac = (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + ms) / 86400000.0;
    return static_cast<double>(days) + frac;
}

bool DecodeDateTime(double value, int& year, int& month, int& day, int& hour, int& minute, int& second) {
    if (!std::isfinite(value) || std::fabs(value) > 3.0e6) return false;
    // Round to whole milliseconds first so 0.99999 of a second does not show as :59.
    const double totalMs = std::nearbyint(value * 86400000.0);
    int64_t dayNo = static_cast<int64_t>(std::floor(totalMs / 86400000.0));
    int64_t msOfDay = static_cast<int64_t>(totalMs - static_cast<double>(dayNo) * 86400000.0);
    if (msOfDay < 0) { msOfDay += 86400000; --dayNo; }
    if (msOfDay >= 86400000) { msOfDay -= 86400000; ++dayNo; }
    int64_t y; unsigned m, d;
    CivilFromDays(dayNo - kUnixEpochDay, y, m, d);
    if (y < 1 || y > 9999) return false;
    year = static_cast<int>(y); month = static_cast<int>(m); day = static_cast<int>(d);
    const int64_t secs = msOfDay / 1000;
    hour = static_cast<int>(secs / 3600);
    minute = static_cast<int>((secs / 60) % 60);
    second = static_cast<int>(secs % 60);
    return true;
}

double NowLocalDateTime() {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmv {};
    time_t t = ts.tv_sec;
    localtime_r(&t, &tmv);
    return EncodeDateTime(tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min,
                          tmv.tm_sec, static_cast<int>(ts.tv_nsec / 1000000));
}

bool UtcToLocalDateTime(double utc, double& local, int& offsetSeconds) {
    if (!std::isfinite(utc) || std::fabs(utc) > 3.0e6) return false;
    // Whole milliseconds first, as DecodeDateTime rounds, so both agree on the second.
    const double totalMs = std::nearbyint((utc - static_cast<double>(kUnixEpochDay)) * 86400000.0);
    const double secs = std::floor(totalMs / 1000.0);
    const int ms = static_cast<int>(totalMs - secs * 1000.0);
    const time_t t = static_cast<time_t>(secs);
    struct tm tmv {};
    if (!localtime_r(&t, &tmv)) return false;
    const int year = tmv.tm_year + 1900;
    if (year < 1 || year > 9999) return false;
    local = EncodeDateTime(year, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, ms);
    offsetSeconds = static_cast<int>(tmv.tm_gmtoff);
    return true;
}

bool LocalFieldsToUtcDateTime(int year, int month, int day, int hour, int minute, int second, double& utc) {
    struct tm tmv {};
    tmv.tm_year = year - 1900;
    tmv.tm_mon = month - 1;
    tmv.tm_mday = day;
    tmv.tm_hour = hour;
    tmv.tm_min = minute;
    tmv.tm_sec = second;
    tmv.tm_isdst = -1;  // the rules of that date decide
    const time_t t = mktime(&tmv);
    if (t == static_cast<time_t>(-1)) return false;
    utc = static_cast<double>(t) / 86400.0 + kUnixEpochDay;
    return true;
}

std::string FormatLocalClock(double value) {
    int y, mo, d, h, mi, s;
    if (!DecodeDateTime(value, y, mo, d, h, mi, s)) return "00:00:00";
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", h, mi, s);
    return buf;
}

std::string FormatDateTimeText(double value) {
    int y, mo, d, h, mi, s;
    if (!DecodeDateTime(value, y, mo, d, h, mi, s)) return {};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
    return buf;
}

} // namespace brivo
