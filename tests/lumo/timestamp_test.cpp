#include "lumo/timestamp.h"

#include <gtest/gtest.h>

#include <locale.h>
#include <stdlib.h>
#include <time.h>

#include <climits>
#include <string>

#include "lumo/platform/locale_info_internal.h"

namespace {

constexpr int64 kDay = CL_MSECS_PER_DAY;

struct Fields {
    int d, m, y, h, mi, s, ms;
};

Fields Read(const CL_Date& date) {
    Fields f;
    date.GetFields(&f.d, &f.m, &f.y, &f.h, &f.mi, &f.s, &f.ms);
    return f;
}

CL_TimeStamp Stamp(int d, int m, int y, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return CL_TimeStamp(d, m, y, h, mi, s, ms);
}

// ---- calendar ----

TEST(Calendar, GregorianReformBoundary) {
    CL_Date d;
    d.SetFields(15, 10, 1582, 0, 0, 0, 0);
    EXPECT_EQ(d.ToRaw(), 2299161 * kDay);
    d.SetFields(4, 10, 1582, 0, 0, 0, 0);
    EXPECT_EQ(d.ToRaw(), 2299160 * kDay);
    for (int day = 5; day <= 14; ++day) {
        d.SetFields(day, 10, 1582, 0, 0, 0, 0);
        EXPECT_EQ(d.ToRaw(), 0) << day;
        EXPECT_FALSE(d.IsValid());
    }
    // Only the time of day survives inside the removed days.
    d.SetFields(10, 10, 1582, 10, 0, 0, 0);
    EXPECT_EQ(d.ToRaw(), 36000000);

    Fields f = Read(CL_Date(2299161LL * kDay - kDay));
    EXPECT_EQ(f.d, 4);
    EXPECT_EQ(f.m, 10);
    EXPECT_EQ(f.y, 1582);
    f = Read(CL_Date(2299161LL * kDay));
    EXPECT_EQ(f.d, 15);
    EXPECT_EQ(f.m, 10);
    EXPECT_EQ(f.y, 1582);
    // The Julian leap day of 1500 exists, the Gregorian one of 1700 does not.
    EXPECT_EQ(CL_Date(29, 2, 1500).GetDay(), 29);
    EXPECT_EQ(CL_Date(29, 2, 1700).GetMonth(), 3);
}

TEST(Calendar, EpochAndWeekdays) {
    CL_Date epoch;
    EXPECT_EQ(epoch.ToRaw(), CL_UNIX_EPOCH_MSECS);
    Fields f = Read(epoch);
    EXPECT_EQ(f.d, 1);
    EXPECT_EQ(f.m, 1);
    EXPECT_EQ(f.y, 1970);
    EXPECT_EQ(epoch.GetWDay(), 4);
    EXPECT_EQ(CL_Date(5, 3, 2024).GetWDay(), 2);
    EXPECT_EQ(CL_Date(10, 3, 2024).GetWDay(), 7);
    EXPECT_EQ(CL_Date(1, 1, 2000).ToTimeT(), 946684800);
    EXPECT_EQ(CL_Date().FromTimeT(946684800).ToRaw(), CL_Date(1, 1, 2000).ToRaw());
}

TEST(Calendar, NegativeYearsHaveNoYearZero) {
    CL_Date d(1, 1, -1);
    EXPECT_EQ(d.GetYear(), -1);
    d += CL_TimeDelta::FromDays(365);  // 1 BC is a leap year of 366 days
    EXPECT_EQ(d.GetYear(), -1);
    EXPECT_EQ(d.GetDay(), 31);
    d += CL_TimeDelta::FromDays(1);
    EXPECT_EQ(d.GetYear(), 1);
    EXPECT_EQ(d.GetDay(), 1);
    EXPECT_EQ(d.GetMonth(), 1);

    // Day 1 of the Julian Day Number count is 2 January 4713 BC; 1 ms is not null.
    Fields f = Read(CL_Date(1LL));
    EXPECT_EQ(f.y, -4713);
    EXPECT_EQ(f.m, 1);
    EXPECT_EQ(f.d, 1);
    EXPECT_EQ(f.ms, 1);
    // Before day 0 the time of day stays positive.
    f = Read(CL_Date(-1LL));
    EXPECT_EQ(f.y, -4714);
    EXPECT_EQ(f.m, 12);
    EXPECT_EQ(f.d, 31);
    EXPECT_EQ(f.h, 23);
    EXPECT_EQ(f.ms, 999);
    EXPECT_EQ(CL_Date(-1LL).GetWDay(), 7);
}

// Last day of a month, computed independently of the library.
int LastDay(int month, int year, bool julian) {
    int astro = year < 0 ? year + 1 : year;
    bool leap = julian ? astro % 4 == 0 : (astro % 4 == 0 && astro % 100 != 0) || astro % 400 == 0;
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap ? 29 : days[month - 1];
}

TEST(Calendar, DayNumbersRoundTrip) {
    // Every day from long before the Julian Day Number origin to the 3rd millennium
    // reads back as the same fields, and consecutive days are consecutive dates.
    Fields prev = Read(CL_Date(-60000 * kDay));
    for (int64 j = -60000 + 1; j <= 2600000; j += 1) {
        CL_Date date(j * kDay + 5);
        Fields f = Read(date);
        CL_Date back;
        back.SetFields(f.d, f.m, f.y, f.h, f.mi, f.s, f.ms);
        ASSERT_EQ(back.ToRaw(), j * kDay + 5) << f.d << "/" << f.m << "/" << f.y;
        bool newMonth =
            f.d == 1 && prev.d == LastDay(prev.m, prev.y, j - 1 < 2299161) &&
            ((f.m == prev.m + 1 && f.y == prev.y) ||
             (f.m == 1 && prev.m == 12 && (f.y == prev.y + 1 || (prev.y == -1 && f.y == 1))));
        bool next = (f.d == prev.d + 1 && f.m == prev.m && f.y == prev.y) || newMonth ||
                    (j == 2299161 && f.d == 15 && prev.d == 4);
        ASSERT_TRUE(next) << j << ": " << f.d << "/" << f.m << "/" << f.y;
        prev = f;
    }
}

TEST(Calendar, FieldsCarryOverAndMonthRange) {
    EXPECT_EQ(CL_Date(31, 2, 2023).ToString(), "2023-03-03");
    EXPECT_EQ(CL_Date(31, 2, 2024).ToString(), "2024-03-02");
    EXPECT_EQ(CL_Date(0, 1, 2024).ToString(), "2023-12-31");
    EXPECT_EQ(CL_Date::MonthRange(2, 1900), 28);
    EXPECT_EQ(CL_Date::MonthRange(2, 2000), 29);
    EXPECT_EQ(CL_Date::MonthRange(2, 2024), 29);
    EXPECT_EQ(CL_Date::MonthRange(4, 2024), 30);
    EXPECT_EQ(CL_Date::MonthRange(13, 2000), 0);
    EXPECT_EQ(CL_Date::MonthRange(0, 2000), 0);

    // Absurd fields give a defined value instead of overflowing.
    CL_Date d;
    d.SetFields(INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX);
    d.SetFields(INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN);
    CL_Date(LLONG_MAX).GetYear();
    CL_Date(LLONG_MIN).GetYear();
    CL_TimeStamp(LLONG_MAX).ToString(CL_TIMESTAMP_ISO_FORMAT);
    CL_TimeStamp(LLONG_MIN).ToString(CL_TIMESTAMP_ISO_FORMAT);
    for (long long raw : {LLONG_MIN, LLONG_MIN + 1, LLONG_MAX}) {
        CL_TimeStamp ts(raw);
        ts.Date();
        ts.ToTimeT();
        ts.ToLocal();
        ts.ToUTC();
        ts.GetWDay();
        ts += CL_TimeDelta::FromDays(1);
        CL_TimeStamp(ts.Date(), ts.Time());
    }
}

TEST(Calendar, SettersKeepOtherFields) {
    CL_TimeStamp ts = Stamp(5, 3, 2024, 14, 7, 9, 250);
    ts.Set(-1, 4, -1, -1, 30, -1, -1);
    EXPECT_EQ(ts.ToString(CL_TIMESTAMP_ISO_FORMAT), "2024-04-05 14:30:09.250");
    ts.SetYear(2020);
    ts.SetMSecs(0);
    EXPECT_EQ(ts.ToString(CL_TIMESTAMP_ISO_FORMAT), "2020-04-05 14:30:09.000");
    CL_Date d = ts;
    d.Set(1, -1, -1);  // keeps the time of day
    EXPECT_EQ(CL_TimeStamp(d.ToRaw()).GetHour(), 14);
    EXPECT_EQ(ts.Date().ToString(), "2020-04-05");
    EXPECT_EQ(ts.Time().ToString(), "14:30:09");
    EXPECT_EQ(CL_TimeStamp(ts.Date(), ts.Time()).ToRaw(), ts.ToRaw());
    EXPECT_EQ(CL_TimeStamp(ts.Date(), CL_Time::Invalid()).ToRaw(), ts.Date().ToRaw());
}

// ---- parsing and printing ----

TEST(TimeText, ParsesClockWithFraction) {
    EXPECT_EQ(CL_Time("12:34:56.7").ToRaw(), 45296700);
    EXPECT_EQ(CL_Time("12:34:56.71").ToRaw(), 45296710);
    EXPECT_EQ(CL_Time("12:34:56.1234").ToRaw(), 45296123);
    EXPECT_EQ(CL_Time("12:34:56.").ToRaw(), 45296000);
    EXPECT_EQ(CL_Time("12:34:56.5x").ToRaw(), -1);
    EXPECT_EQ(CL_Time("12:34:56 trailing").ToRaw(), 45296000);
    EXPECT_EQ(CL_Time(" \t12:34:56").ToRaw(), 45296000);
    EXPECT_EQ(CL_Time("7:00:00").ToRaw(), -1);
    EXPECT_EQ(CL_Time("24:00:00").ToRaw(), -1);
    EXPECT_EQ(CL_Time("23:60:00").ToRaw(), -1);
    EXPECT_EQ(CL_Time("23:59:60").ToRaw(), -1);
    EXPECT_EQ(CL_Time("23:59").ToRaw(), -1);
    EXPECT_EQ(CL_Time("").ToRaw(), -1);
    EXPECT_EQ(CL_Time(std::wstring(L"01:02:03.004")).ToRaw(), 3723004);
    EXPECT_EQ(CL_Time(std::wstring(L"01:02:03 \xD800")).ToRaw(), -1);

    CL_Time t;
    EXPECT_TRUE(t.FromString(std::string("23:59:59.999")));
    EXPECT_EQ(t.ToRaw(), 86399999);
    EXPECT_FALSE(t.FromString("bad"));
    EXPECT_FALSE(t.IsValid());
}

TEST(TimeText, PrintsAndInvalidIsNull) {
    EXPECT_EQ(CL_Time(10, 0, 0, 0).ToString(), "10:00:00");
    EXPECT_EQ(CL_Time(10, 0, 0, 50).ToString(), "10:00:00.050");
    EXPECT_EQ(CL_Time(0).ToString(), "00:00:00");
    EXPECT_EQ(CL_Time::Invalid().ToString(), "NULL");
    EXPECT_EQ(CL_Time(24, 0, 0, 0).ToRaw(), -1);
    EXPECT_EQ(CL_Time(23, 59, 59, 1000).ToRaw(), -1);

    CL_Time t(23, 30, 0, 0);
    t += CL_TimeDelta::FromHours(1);
    EXPECT_EQ(t.ToString(), "00:30:00");
    t -= CL_TimeDelta::FromDays(3);
    EXPECT_EQ(t.ToString(), "00:30:00");
    t -= CL_TimeDelta::FromMinutes(31);
    EXPECT_EQ(t.ToString(), "23:59:00");
    t.SetHour(1);
    EXPECT_EQ(t.ToString(), "01:59:00");
    CL_Time bad = CL_Time::Invalid();
    bad += CL_TimeDelta::FromHours(1);
    EXPECT_FALSE(bad.IsValid());
    EXPECT_EQ(CL_Time().FromTimeT(-1).ToString(), "23:59:59");
}

TEST(DateText, ParsesIsoDates) {
    EXPECT_EQ(CL_Date("2024-03-05").ToString(), "2024-03-05");
    EXPECT_EQ(CL_Date("  2024-03-05 and more").ToString(), "2024-03-05");
    EXPECT_EQ(CL_Date("2024-02-30").ToString(), "2024-03-01");
    EXPECT_EQ(CL_Date(std::wstring(L"0001-01-01")).ToString(), "0001-01-01");
    for (const char* bad : {"0000-01-01", "2024-13-01", "2024-00-10", "2024-01-00", "2024-01-32",
                            "2024-1-01", "2024/01/01", "", "20240101"}) {
        CL_Date d{std::string_view(bad)};
        EXPECT_EQ(d.ToRaw(), 0) << bad;
        EXPECT_EQ(d.ToString(), "NULL") << bad;
    }
    // Inside the reform gap a parsed date is null; the days around it read back.
    CL_Date gap;
    EXPECT_FALSE(gap.FromString("1582-10-10"));
    EXPECT_FALSE(gap.FromString("1582-10-05"));
    EXPECT_EQ(gap.ToRaw(), 0);
    for (const char* edge : {"1582-10-04 20:00:00.000", "1582-10-15 20:00:00.000"}) {
        CL_TimeStamp t;
        EXPECT_TRUE(t.FromString(edge, CL_TIMESTAMP_ISO_FORMAT)) << edge;
        EXPECT_EQ(t.ToString(CL_TIMESTAMP_ISO_FORMAT), edge);
    }
}

TEST(DateText, PrintsEveryFormat) {
    CL_Date d(5, 3, 2024);
    EXPECT_EQ(d.ToString(CL_DATE_ITA_FORMAT), "05-03-2024");
    EXPECT_EQ(d.ToString(CL_DATE_ISO_FORMAT), "2024-03-05");
    EXPECT_EQ(d.ToString(CL_DATE_COMPACT_FORMAT), "2024-03-05");
    EXPECT_EQ(CL_Date::Invalid().ToString(CL_DATE_ITA_FORMAT), "NULL");
    EXPECT_EQ(CL_Date(1, 1, -44).ToString(), "-044-01-01");
}

TEST(TimeStampText, ParsesEveryFormat) {
    CL_TimeStamp ts("2024-02-30 10:00:00", CL_TIMESTAMP_ISO_FORMAT);
    EXPECT_EQ(ts.ToString(CL_TIMESTAMP_ISO_FORMAT), "2024-03-01 10:00:00.000");
    ts = CL_TimeStamp("2024-02-03T04:05:06.78", CL_TIMESTAMP_ISO_FORMAT);
    EXPECT_EQ(ts.GetSec(), 6);
    EXPECT_EQ(ts.GetMSecs(), 780);

    // A time alone lands on day number 1721026 (fields 0/0/0).
    ts = CL_TimeStamp("10:11:12.5", CL_TIME_ISO_FORMAT);
    EXPECT_EQ(ts.ToRaw(), 1721026 * kDay + 36672500);
    ts = CL_TimeStamp("1011", CL_TIME_COMPACT_FORMAT);
    EXPECT_EQ(ts.ToRaw(), 1721026 * kDay + 36660000);
    EXPECT_EQ(CL_TimeStamp("2024-03-05", CL_DATE_ISO_FORMAT).ToRaw(), CL_Date(5, 3, 2024).ToRaw());
    EXPECT_EQ(CL_TimeStamp("20240305", CL_DATE_COMPACT_FORMAT).ToRaw(),
              CL_Date(5, 3, 2024).ToRaw());
    EXPECT_EQ(CL_TimeStamp("20240305T1407", CL_TIMESTAMP_COMPACT_FORMAT).ToRaw(),
              Stamp(5, 3, 2024, 14, 7).ToRaw());
    EXPECT_EQ(CL_TimeStamp("20240305 1407", CL_TIMESTAMP_COMPACT_FORMAT).ToRaw(),
              Stamp(5, 3, 2024, 14, 7).ToRaw());
    // Locale and other formats read the full ISO layout.
    for (int f : {3, 4, 5, 6, 42}) {
        EXPECT_EQ(CL_TimeStamp("2024-03-05 14:07:09.1", f).ToRaw(),
                  Stamp(5, 3, 2024, 14, 7, 9, 100).ToRaw())
            << f;
    }
    EXPECT_EQ(CL_TimeStamp(std::wstring(L"2024-03-05T14:07:09"), 2).ToRaw(),
              Stamp(5, 3, 2024, 14, 7, 9).ToRaw());

    struct Bad {
        const char* text;
        int format;
    } bad[] = {{"24:00:00", 0},
               {"2400", 7},
               {"1260", 7},
               {"2024-03-05", 2},
               {"2024-03-05X14:07:09", 2},
               {"2024-03-05 14:07:09.1x", 2},
               {"20241305", 8},
               {"20240305-1407", 9},
               {"20240305T2407", 9},
               {"0000-01-01", 1},
               {"", 2},
               // Days the reform removed, with or without a time of day.
               {"1582-10-05 20:00:00", 2},
               {"1582-10-14T00:00:00.001", 2},
               {"1582-10-09 12:00:00", 5},
               {"1582-10-10", 1},
               {"15821005", 8},
               {"15821014T2359", 9}};
    for (const Bad& b : bad) {
        CL_TimeStamp t;
        EXPECT_FALSE(t.FromString(b.text, b.format)) << b.text;
        EXPECT_EQ(t.ToRaw(), 0) << b.text;
    }
}

TEST(TimeStampText, PrintsEveryFormatAndReadsItBack) {
    CL_TimeStamp ts = Stamp(5, 3, 2024, 14, 7, 9, 50);
    EXPECT_EQ(ts.ToString(0), "14:07:09.050");
    EXPECT_EQ(ts.ToString(1), "2024-03-05");
    EXPECT_EQ(ts.ToString(2), "2024-03-05 14:07:09.050");
    EXPECT_EQ(ts.ToString(6), "2024-03-05 14:07:09.050");
    EXPECT_EQ(ts.ToString(7), "1407");
    EXPECT_EQ(ts.ToString(8), "20240305");
    EXPECT_EQ(ts.ToString(9), "20240305T1407");
    EXPECT_EQ(ts.ToString(99), "2024-03-05 14:07:09.050");
    EXPECT_EQ(Stamp(5, 3, 2024).ToString(6), "2024-03-05 00:00:00.000");
    EXPECT_EQ(Stamp(5, 3, 2024, 10).ToString(0), "10:00:00");
    EXPECT_EQ(Stamp(5, 3, 2024, 10, 0, 0, 50).ToString(0), "10:00:00.050");
    EXPECT_EQ(CL_TimeStamp::Invalid().ToString(9), "NULL");

    // What each layout carries survives printing and parsing.
    CL_TimeStamp back;
    ASSERT_TRUE(back.FromString(ts.ToString(2), 2));
    EXPECT_EQ(back.ToRaw(), ts.ToRaw());
    ASSERT_TRUE(back.FromString(ts.ToString(1), 1));
    EXPECT_EQ(back.ToRaw(), ts.Date().ToRaw());
    ASSERT_TRUE(back.FromString(ts.ToString(8), 8));
    EXPECT_EQ(back.ToRaw(), ts.Date().ToRaw());
    ASSERT_TRUE(back.FromString(ts.ToString(9), 9));
    EXPECT_EQ(back.ToRaw(), Stamp(5, 3, 2024, 14, 7).ToRaw());
    ASSERT_TRUE(back.FromString(ts.ToString(0), 0));
    EXPECT_EQ(back.ToString(0), "14:07:09.050");
    ASSERT_TRUE(back.FromString(ts.ToString(7), 7));
    EXPECT_EQ(back.ToString(7), "1407");
}

// ---- locale pattern ----

TEST(LocalePattern, WalksTokensAndStopsAtTheEnd) {
    EXPECT_EQ(CL_FormatPatternDate("dd/mm/yyyy HH:MM:SS", 5, 3, 2024), "05/03/2024");
    EXPECT_EQ(CL_FormatPatternDate("mm/dd/yyyy HH:MM:SS", 5, 3, 2024), "03/05/2024");
    EXPECT_EQ(CL_FormatPatternDate("yyyy-mm-dd HH:MM:SS", 5, 3, 2024), "2024-03-05");
    EXPECT_EQ(CL_FormatPatternDate("dd.mm.yyyy", 5, 3, 2024), "05.03.2024");
    // Tokens at the very end: nothing is read beyond the pattern.
    EXPECT_EQ(CL_FormatPatternDate("yyyy", 5, 3, 2024), "2024");
    EXPECT_EQ(CL_FormatPatternDate("yy", 5, 3, 2024), "2024");
    EXPECT_EQ(CL_FormatPatternDate("dd/m", 5, 3, 2024), "05/03");
    EXPECT_EQ(CL_FormatPatternDate("d", 5, 3, 2024), "05");
    EXPECT_EQ(CL_FormatPatternDate("", 5, 3, 2024), "");
    EXPECT_EQ(CL_PatternTimeSeparator("dd.mm.yyyy HH.MM.SS"), '.');
    EXPECT_EQ(CL_PatternTimeSeparator("dd/mm/yyyy HH"), ':');
    EXPECT_EQ(CL_PatternTimeSeparator(""), ':');
}

// The default locale is read once per process; this is the only test that prints
// the locale formats, so it chooses LANG first.
TEST(LocalePattern, DefaultLocaleFormats) {
    locale_t it = newlocale(LC_ALL_MASK, "it_IT.UTF-8", static_cast<locale_t>(0));
    if (it) freelocale(it);
    setenv("LANG", it ? "it_IT.UTF-8" : "C", 1);
    CL_TimeStamp ts = Stamp(5, 3, 2024, 14, 7, 9, 50);
    // Italian writes day first; the C locale's "%x" is month first.
    std::string date = it ? "05/03/2024" : "03/05/2024";
    EXPECT_EQ(ts.ToString(CL_DATE_LOCALE_FORMAT), date);
    EXPECT_EQ(CL_Date(5, 3, 2024).ToString(CL_DATE_LOCALE_FORMAT), date);
    EXPECT_EQ(ts.ToString(CL_TIME_LOCALE_FORMAT), "14:07:09");
    EXPECT_EQ(ts.ToString(CL_TIMESTAMP_LOCALE_FORMAT), date + " 14:07:09");
    EXPECT_EQ(CL_TimeStamp::Invalid().ToString(CL_TIMESTAMP_LOCALE_FORMAT), "NULL");
    if (!it) GTEST_SKIP() << "it_IT.UTF-8 not installed; checked the C locale only";
}

// ---- time zones ----

class TimeZone : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = getenv("TZ");
        fHad = tz != nullptr;
        if (tz) fOld = tz;
    }
    void TearDown() override {
        if (fHad)
            setenv("TZ", fOld.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void Use(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    bool fHad = false;
    std::string fOld;
};

TEST_F(TimeZone, OffsetFollowsTZRules) {
    // POSIX rule strings need no zone database.
    Use("CET-1CEST,M3.5.0,M10.5.0/3");
    CL_TimeStamp winter = Stamp(15, 1, 2024, 12);
    CL_TimeStamp summer = Stamp(15, 7, 2024, 12);
    EXPECT_EQ(winter.GetTimeZoneOffset(), -3600000);
    EXPECT_EQ(summer.GetTimeZoneOffset(), -7200000);
    EXPECT_EQ(winter.GetTimeZoneMinutesFromUTC(), 60);
    EXPECT_EQ(summer.ToLocal().ToString(2), "2024-07-15 14:00:00.000");
    EXPECT_EQ(summer.ToLocal().ToUTC().ToRaw(), summer.ToRaw());
    // The switch at 01:00 UTC on the last Sunday of March.
    EXPECT_EQ(Stamp(31, 3, 2024, 0, 59, 59, 999).GetTimeZoneOffset(), -3600000);
    EXPECT_EQ(Stamp(31, 3, 2024, 1).GetTimeZoneOffset(), -7200000);

    Use("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(winter.GetTimeZoneOffset(), 18000000);
    EXPECT_EQ(summer.GetTimeZoneOffset(), 14400000);
    EXPECT_EQ(winter.GetTimeZoneMinutesFromUTC(), -300);
    EXPECT_EQ(winter.ToLocal().ToString(2), "2024-01-15 07:00:00.000");

    Use("UTC0");
    EXPECT_EQ(summer.GetTimeZoneOffset(), 0);
    EXPECT_EQ(CL_TimeStamp::Invalid().ToLocal().ToRaw(), 0);
}

TEST_F(TimeZone, NamedZoneFromDatabase) {
    Use("Europe/Rome");
    struct tm probe;
    time_t t = 1720000000;
    localtime_r(&t, &probe);
    if (probe.tm_gmtoff == 0) GTEST_SKIP() << "zone database not installed";
    EXPECT_EQ(Stamp(15, 1, 2024, 12).GetTimeZoneOffset(), -3600000);
    EXPECT_EQ(Stamp(15, 7, 2024, 12).GetTimeZoneOffset(), -7200000);
}

TEST(Clock, NowIsCurrent) {
    int64 utc = CL_TimeStamp::NowUTC().ToRaw();
    int64 expected = static_cast<int64>(time(nullptr)) * 1000 + CL_UNIX_EPOCH_MSECS;
    EXPECT_LE(std::llabs(utc - expected), 2000);
    CL_Date today = CL_Date::Today();
    EXPECT_EQ(today.ToRaw() % kDay, 0);
    EXPECT_LE(CL_TimeStamp::Now().ToRaw() - today.ToRaw(), kDay + 1000);
}

TEST(Delta, Conversions) {
    EXPECT_EQ(CL_TimeDelta::FromDays(2).ToRaw(), 2 * kDay);
    EXPECT_EQ(CL_TimeDelta::FromHours(-3).ToMinutes(), -180);
    EXPECT_EQ(CL_TimeDelta(kDay + 5000).ToRawTime(), 5000);
    EXPECT_EQ(CL_TimeDelta(kDay + 5000).ToRawDate(), kDay);
    EXPECT_EQ(CL_TimeDelta(-1).ToRawTime(), kDay - 1);
    EXPECT_EQ(CL_TimeDelta::FromSeconds(90).ToMinutes(), 1);
    EXPECT_FALSE(CL_TimeDelta());
    CL_TimeStamp ts = Stamp(28, 2, 2024, 23);
    ts += CL_TimeDelta::FromHours(2);
    EXPECT_EQ(ts.ToString(2), "2024-02-29 01:00:00.000");
    ts -= CL_TimeDelta::FromDays(366);
    EXPECT_EQ(ts.ToString(2), "2023-02-28 01:00:00.000");
}

}  // namespace

// A raw count keeps its remainder modulo one day, with the count's sign.
TEST(TimeRaw, RemainderOfOneDayWithTheCountsSign) {
    const struct {
        long long raw;
        int expected;
        bool valid;
    } cases[] = {
        {0, 0, true},
        {86399999, 86399999, true},
        {86400000, 0, true},
        {86400005, 5, true},
        {3 * 86400000LL + 7, 7, true},
        {-1, -1, false},
        {-5, -5, false},
        {-86400005, -5, false},
        {-1000, -1000, false},
        {INT64_MIN, static_cast<int>(INT64_MIN % 86400000), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        CL_Time t;
        EXPECT_EQ(t.FromRaw(c.raw).ToRaw(), c.expected);
        EXPECT_EQ(t.IsValid(), c.valid);
        if (c.raw >= INT32_MIN && c.raw <= INT32_MAX) {
            EXPECT_EQ(CL_Time(static_cast<int>(c.raw)).ToRaw(), c.expected);
        }
    }
}
