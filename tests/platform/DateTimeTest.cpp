#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <limits>

#include "platform/DateTime.h"

namespace brivo {
namespace {

TEST(DateTime, EncodesAndDecodesCalendarDates) {
    struct Case { int y, mo, d, h, mi, s; double value; };
    const Case cases[] = {
        {1899, 12, 30, 0, 0, 0, 0.0},  {1970, 1, 1, 0, 0, 0, 25569.0},  {2000, 2, 29, 12, 0, 0, 36585.5},
        {1601, 1, 1, 0, 0, 0, -109205.0}, {9999, 12, 31, 0, 0, 0, 2958465.0}, {2024, 3, 10, 6, 0, 0, 45361.25},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(EncodeDateTime(c.y, c.mo, c.d, c.h, c.mi, c.s), c.value) << c.y;
        int y, mo, d, h, mi, s;
        ASSERT_TRUE(DecodeDateTime(c.value, y, mo, d, h, mi, s)) << c.y;
        EXPECT_EQ((std::vector<int>{y, mo, d, h, mi, s}), (std::vector<int>{c.y, c.mo, c.d, c.h, c.mi, c.s}));
    }
    int y, mo, d, h, mi, s;
    EXPECT_FALSE(DecodeDateTime(std::numeric_limits<double>::quiet_NaN(), y, mo, d, h, mi, s));
    EXPECT_FALSE(DecodeDateTime(1e300, y, mo, d, h, mi, s));
    EXPECT_EQ(FormatDateTimeText(45361.25 + 0.999999 / 86400), "2024-03-10 06:00:01");  // rounds, never :59.99
    EXPECT_EQ(FormatDateTimeText(1e300), "");
    EXPECT_EQ(FormatLocalClock(45361.5 + 61.0 / 86400), "12:01:01");

    EXPECT_TRUE(IsValidDate(2000, 2, 29));
    EXPECT_FALSE(IsValidDate(1900, 2, 29));
    EXPECT_FALSE(IsValidDate(2023, 4, 31));
    EXPECT_FALSE(IsValidDate(0, 1, 1));
}

TEST(DateTime, UnixSecondsBecomeLocalTime) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_DOUBLE_EQ(UnixToLocalDateTime(0), 25569.0);
    EXPECT_DOUBLE_EQ(UnixToLocalDateTime(86400 + 21600), 25570.25);
    ::setenv("TZ", "CET-1", 1);  // one hour east of UTC, no daylight saving
    ::tzset();
    EXPECT_DOUBLE_EQ(UnixToLocalDateTime(0), 25569.0 + 1.0 / 24);
    if (old) ::setenv("TZ", saved.c_str(), 1); else ::unsetenv("TZ");
    ::tzset();
}

} // namespace
} // namespace brivo
