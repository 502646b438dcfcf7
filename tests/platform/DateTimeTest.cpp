#include <gtest/gtest.h>

#include <cmath>
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

TEST(DateTime, UtcBecomesLocalTimeWithTheOffsetOfThatDate) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    double local = 0;
    int offset = -1;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    ASSERT_TRUE(UtcToLocalDateTime(25570.25, local, offset));
    EXPECT_DOUBLE_EQ(local, 25570.25);
    EXPECT_EQ(offset, 0);
    // One hour east of UTC in winter, two in summer.
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    ::tzset();
    const double winter = EncodeDateTime(2024, 1, 15, 10, 0, 0), summer = EncodeDateTime(2024, 7, 15, 10, 0, 0);
    ASSERT_TRUE(UtcToLocalDateTime(winter, local, offset));
    EXPECT_EQ(FormatDateTimeText(local), "2024-01-15 11:00:00");
    EXPECT_EQ(offset, 3600);
    ASSERT_TRUE(UtcToLocalDateTime(summer, local, offset));
    EXPECT_EQ(FormatDateTimeText(local), "2024-07-15 12:00:00");
    EXPECT_EQ(offset, 7200);
    // Rounded to the millisecond before the shift, as the plain text rounds: 59.9996 s is 60 s.
    ASSERT_TRUE(UtcToLocalDateTime(EncodeDateTime(2024, 1, 15, 10, 0, 59, 999) + 0.6 / 86400000.0, local, offset));
    EXPECT_EQ(FormatDateTimeText(local), "2024-01-15 11:01:00");
    EXPECT_FALSE(UtcToLocalDateTime(std::nan(""), local, offset));
    EXPECT_FALSE(UtcToLocalDateTime(1.0e7, local, offset));
    if (old) ::setenv("TZ", saved.c_str(), 1); else ::unsetenv("TZ");
    ::tzset();
}

} // namespace
} // namespace brivo
