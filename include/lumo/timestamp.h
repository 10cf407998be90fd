// Dates, times of day and timestamps as one signed millisecond count each: dates and
// timestamps count from the start of day 0 of the Julian Day Number (Julian calendar
// before 15 October 1582, Gregorian from then), times from midnight.
#pragma once

#include <string>
#include <string_view>

#include "lumo/allocator.h"
#include "lumo/base_types.h"

class CL_Time;

// Text layouts understood by ToString and FromString.
enum CL_TIMESTAMP_FORMAT {
    CL_TIME_ISO_FORMAT = 0,
    CL_DATE_ISO_FORMAT = 1,
    CL_TIMESTAMP_ISO_FORMAT = 2,
    CL_TIME_LOCALE_FORMAT = 3,
    CL_DATE_LOCALE_FORMAT = 4,
    CL_TIMESTAMP_LOCALE_FORMAT = 5,
    CL_DATE_ITA_FORMAT = 6,
    CL_TIME_COMPACT_FORMAT = 7,
    CL_DATE_COMPACT_FORMAT = 8,
    CL_TIMESTAMP_COMPACT_FORMAT = 9,
};

constexpr int64 CL_MSECS_PER_DAY = 86400000;
// 1970-01-01 00:00:00: day number 2440588 in milliseconds.
constexpr int64 CL_UNIX_EPOCH_MSECS = 210866803200000;

// The time classes of this file are plain values.
// A signed duration in milliseconds.
class CL_TimeDelta {
public:
    CL_TimeDelta() : fTS(0) {}
    explicit CL_TimeDelta(long long msecs) : fTS(msecs) {}

    static CL_TimeDelta FromMSecs(long long msecs) { return CL_TimeDelta(msecs); }
    static CL_TimeDelta FromRaw(long long msecs) { return CL_TimeDelta(msecs); }
    static CL_TimeDelta FromSeconds(int seconds) { return CL_TimeDelta(seconds * 1000LL); }
    static CL_TimeDelta FromMinutes(int minutes) { return CL_TimeDelta(minutes * 60000LL); }
    static CL_TimeDelta FromHours(int hours) { return CL_TimeDelta(hours * 3600000LL); }
    static CL_TimeDelta FromDays(int days) { return CL_TimeDelta(days * CL_MSECS_PER_DAY); }

    long long ToRaw() const { return fTS; }
    // The part below one day, as a time-of-day count (0 to 86399999).
    int ToRawTime() const {
        int64 r = fTS % CL_MSECS_PER_DAY;
        return static_cast<int>(r < 0 ? r + CL_MSECS_PER_DAY : r);
    }
    // The whole days, in milliseconds.
    long long ToRawDate() const { return fTS - ToRawTime(); }
    long long ToSeconds() const { return fTS / 1000; }
    long long ToMinutes() const { return fTS / 60000; }
    long long ToHours() const { return fTS / 3600000; }
    long long ToDays() const { return fTS / CL_MSECS_PER_DAY; }

    explicit operator bool() const { return fTS != 0; }
    bool operator!() const { return fTS == 0; }

    int64 fTS;
};

// A calendar date; 0 is the null date. Normally a whole day, but the time part is kept.
// A plain value.
class CL_Date : public CL_Object {
public:
    CL_Date() : fTS(CL_UNIX_EPOCH_MSECS) {}
    CL_Date(const CL_Date&) = default;
    CL_Date(int day, int month, int year);
    explicit CL_Date(long long raw) : fTS(raw) {}
    explicit CL_Date(const std::string& text) : fTS(0) { FromString(text); }
    explicit CL_Date(const std::wstring& text) : fTS(0) { FromString(text); }
    explicit CL_Date(std::string_view text) : fTS(0) { FromString(text); }
    template <size_t N>
    explicit CL_Date(const char (&text)[N]) : fTS(0) {
        FromString(text);
    }

    CL_Date& operator=(const CL_Date&) = default;

    // Any pointer may be null.
    void GetFields(int* day, int* month, int* year, int* hour = nullptr, int* minute = nullptr,
                   int* second = nullptr, int* msec = nullptr) const;
    // Out-of-range fields carry over arithmetically (31 February becomes early March);
    // 5-14 October 1582, removed by the reform, leave only the time of day.
    void SetFields(int day, int month, int year, int hour, int minute, int second, int msec);
    // A negative argument keeps that field; the time of day is kept.
    void Set(int day, int month, int year);

    int GetDay() const;
    int GetMonth() const;
    int GetYear() const;
    // 1 = Monday ... 7 = Sunday.
    int GetWDay() const;
    void SetDay(int day) { Set(day, -1, -1); }
    void SetMonth(int month) { Set(-1, month, -1); }
    void SetYear(int year) { Set(-1, -1, year); }

    // Days of the month; 0 for a month outside 1-12.
    static int MonthRange(int month, int year);

    // Parses YYYY-MM-DD after leading white space; on failure the date becomes null
    // and the result is false.
    bool FromString(std::string_view text);
    bool FromString(const std::string& text) { return FromString(std::string_view(text)); }
    bool FromString(const char* text) { return FromString(std::string_view(text ? text : "")); }
    bool FromString(const std::wstring& text);
    std::string ToString(int format = CL_DATE_ISO_FORMAT) const;

    static CL_Date Today();
    static CL_Date Invalid() { return CL_Date(0LL); }

    long long ToRaw() const { return fTS; }
    CL_Date& FromRaw(long long raw) {
        fTS = raw;
        return *this;
    }
    // Seconds since the Unix epoch.
    long ToTimeT() const;
    CL_Date& FromTimeT(long t);

    bool IsValid() const { return fTS != 0; }
    explicit operator bool() const { return fTS != 0; }
    bool operator!() const { return fTS == 0; }

    CL_Date& operator+=(const CL_TimeDelta& d);
    CL_Date& operator-=(const CL_TimeDelta& d);

protected:
    int64 fTS;
};

// A date with a meaningful time of day. A plain value.
class CL_TimeStamp : public CL_Date {
public:
    CL_TimeStamp() = default;
    CL_TimeStamp(const CL_TimeStamp&) = default;
    CL_TimeStamp(const CL_Date& date, const CL_Time& time);
    CL_TimeStamp(int day, int month, int year, int hour, int minute, int second, int msec);
    explicit CL_TimeStamp(long long raw) : CL_Date(raw) {}
    CL_TimeStamp(const std::string& text, int format) : CL_Date(0LL) { FromString(text, format); }
    CL_TimeStamp(const std::wstring& text, int format) : CL_Date(0LL) { FromString(text, format); }
    CL_TimeStamp(std::string_view text, int format) : CL_Date(0LL) { FromString(text, format); }
    template <size_t N>
    CL_TimeStamp(const char (&text)[N], int format) : CL_Date(0LL) {
        FromString(text, format);
    }

    CL_TimeStamp& operator=(const CL_TimeStamp&) = default;

    // Each negative argument keeps that field.
    void Set(int day, int month, int year, int hour, int minute, int second, int msec);

    int GetHour() const;
    int GetMin() const;
    int GetSec() const;
    int GetMSecs() const;
    void SetHour(int hour) { Set(-1, -1, -1, hour, -1, -1, -1); }
    void SetMin(int minute) { Set(-1, -1, -1, -1, minute, -1, -1); }
    void SetSec(int second) { Set(-1, -1, -1, -1, -1, second, -1); }
    void SetMSecs(int msec) { Set(-1, -1, -1, -1, -1, -1, msec); }

    // On failure the timestamp becomes null and the result is false.
    bool FromString(std::string_view text, int format);
    bool FromString(const std::string& text, int format) {
        return FromString(std::string_view(text), format);
    }
    bool FromString(const char* text, int format) {
        return FromString(std::string_view(text ? text : ""), format);
    }
    bool FromString(const std::wstring& text, int format);
    std::string ToString(int format = CL_TIMESTAMP_ISO_FORMAT) const;

    // UTC minus local time at this instant, in milliseconds (positive west of Greenwich).
    int64 GetTimeZoneOffset() const;
    // Local time minus UTC in minutes (positive east of Greenwich).
    int GetTimeZoneMinutesFromUTC() const {
        return static_cast<int>(-(GetTimeZoneOffset() / 60000));
    }
    // This instant, read as UTC, in local time; and the reverse. Null stays null.
    CL_TimeStamp ToLocal() const;
    CL_TimeStamp ToUTC() const;

    CL_Date Date() const;
    CL_Time Time() const;

    static CL_TimeStamp Now();
    static CL_TimeStamp NowUTC();
    static CL_TimeStamp Invalid() { return CL_TimeStamp(0LL); }

    CL_TimeStamp& FromRaw(long long raw) {
        fTS = raw;
        return *this;
    }
    CL_TimeStamp& FromTimeT(long t) {
        CL_Date::FromTimeT(t);
        return *this;
    }
    CL_TimeStamp& operator+=(const CL_TimeDelta& d) {
        CL_Date::operator+=(d);
        return *this;
    }
    CL_TimeStamp& operator-=(const CL_TimeDelta& d) {
        CL_Date::operator-=(d);
        return *this;
    }
};

// A time of day in milliseconds since midnight; -1 is the invalid time. A plain value.
class CL_Time {
public:
    CL_Time() : fTS(0) {}
    CL_Time(const CL_Time&) = default;
    // As FromRaw.
    explicit CL_Time(int raw) { FromRaw(raw); }
    CL_Time(int hour, int minute, int second, int msec) : fTS(0) {
        Set(hour, minute, second, msec);
    }
    explicit CL_Time(const std::string& text) : fTS(-1) { FromString(text); }
    explicit CL_Time(const std::wstring& text) : fTS(-1) { FromString(text); }
    explicit CL_Time(std::string_view text) : fTS(-1) { FromString(text); }
    template <size_t N>
    explicit CL_Time(const char (&text)[N]) : fTS(-1) {
        FromString(text);
    }

    CL_Time& operator=(const CL_Time&) = default;

    // HH:MM:SS with an optional fraction after "."; on failure the time becomes -1.
    bool FromString(std::string_view text);
    bool FromString(const std::string& text) { return FromString(std::string_view(text)); }
    bool FromString(const char* text) { return FromString(std::string_view(text ? text : "")); }
    bool FromString(const std::wstring& text);
    // "HH:MM:SS" with ".mmm" when the milliseconds are not 0; "NULL" when invalid.
    std::string ToString() const;

    int GetHour() const { return fTS < 0 ? 0 : fTS / 3600000; }
    int GetMin() const { return fTS < 0 ? 0 : fTS / 60000 % 60; }
    int GetSec() const { return fTS < 0 ? 0 : fTS / 1000 % 60; }
    int GetMSecs() const { return fTS < 0 ? 0 : fTS % 1000; }
    void SetHour(int hour) { Set(hour, -1, -1, -1); }
    void SetMin(int minute) { Set(-1, minute, -1, -1); }
    void SetSec(int second) { Set(-1, -1, second, -1); }
    void SetMSecs(int msec) { Set(-1, -1, -1, msec); }
    // Each negative argument keeps that field; a result outside one day is invalid.
    void Set(int hour, int minute, int second, int msec);

    bool IsValid() const { return fTS >= 0; }
    explicit operator bool() const { return fTS >= 0; }
    bool operator!() const { return fTS < 0; }

    int ToRaw() const { return fTS; }
    long ToTimeT() const { return fTS < 0 ? -1 : fTS / 1000; }
    // The count's remainder modulo one day, with the sign of the count: a negative
    // count keeps its remainder (-5 stays -5), which reads as no valid time of day.
    CL_Time& FromRaw(long long raw) {
        fTS = static_cast<int32>(raw % CL_MSECS_PER_DAY);
        return *this;
    }
    // The time of day of seconds since the Unix epoch (UTC).
    CL_Time& FromTimeT(long t) {
        int64 s = static_cast<int64>(t) % 86400;
        fTS = static_cast<int32>((s < 0 ? s + 86400 : s) * 1000);
        return *this;
    }
    static CL_Time Invalid() {
        CL_Time t;
        t.fTS = -1;
        return t;
    }

    // Moves round the clock; the invalid time stays invalid.
    CL_Time& operator+=(const CL_TimeDelta& d);
    CL_Time& operator-=(const CL_TimeDelta& d);

protected:
    int32 fTS;
};
