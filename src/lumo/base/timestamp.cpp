// Calendar arithmetic, parsing and printing of dates, timestamps and times. The day
// number formulas rely on C division truncating toward zero; they are kept as they are
// because stored values and peers depend on their exact results.
#include "lumo/timestamp.h"

#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <cstdio>

#include "lumo/locale_info.h"
#include "lumo/platform/locale_info_internal.h"
#include "lumo/utf8.h"

namespace {

constexpr int64 kDay = CL_MSECS_PER_DAY;
// 15 October 1582 00:00, the first Gregorian day (day number 2299161).
constexpr int64 kGregorianStart = 198647510400000;
const int kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int64 FloorMod(int64 v, int64 m) {
    int64 r = v % m;
    return r < 0 ? r + m : r;
}

// Two's-complement sum and difference: counts at the very ends of the range wrap
// instead of overflowing.
int64 WrapAdd(int64 a, int64 b) {
    return static_cast<int64>(static_cast<uint64>(a) + static_cast<uint64>(b));
}
int64 WrapSub(int64 a, int64 b) {
    return static_cast<int64>(static_cast<uint64>(a) - static_cast<uint64>(b));
}

// Milliseconds since the Unix epoch; counts too far below it to subtract give the
// lowest value.
int64 UnixMSecs(int64 ts) {
    int64 diff;
    return __builtin_sub_overflow(ts, CL_UNIX_EPOCH_MSECS, &diff) ? INT64_MIN : diff;
}

// The default locale's description, read once on the first localized call.
const CL_LocaleInfo& DefaultLocale() {
    static const CL_LocaleInfo sInfo = [] {
        CL_LocaleInfo info;
        CL_GetLocaleInfo(&info, std::string());
        return info;
    }();
    return sInfo;
}

// Reader of fixed-width digit groups and literal characters.
class Scanner {
public:
    explicit Scanner(std::string_view text) : fText(text), fPos(0) {
        while (fPos < fText.size() && IsSpace(fText[fPos]))
            ++fPos;
    }

    // Exactly `width` decimal digits.
    bool Digits(int width, int* value) {
        int v = 0;
        for (int i = 0; i < width; ++i) {
            if (fPos >= fText.size() || fText[fPos] < '0' || fText[fPos] > '9') return false;
            v = v * 10 + (fText[fPos++] - '0');
        }
        *value = v;
        return true;
    }
    bool Literal(char c) {
        if (fPos >= fText.size() || fText[fPos] != c) return false;
        ++fPos;
        return true;
    }
    bool DateTimeSeparator() { return Literal(' ') || Literal('T'); }
    // HH:MM:SS, then a fraction of at most three digits when a "." follows; the
    // fraction ends at the end of the text or after three digits.
    bool Clock(int* hour, int* minute, int* second, int* msec) {
        if (!Digits(2, hour) || !Literal(':') || !Digits(2, minute) || !Literal(':') ||
            !Digits(2, second))
            return false;
        *msec = 0;
        if (Literal('.')) {
            int v = 0, n = 0;
            for (; n < 3 && fPos < fText.size(); ++n) {
                char c = fText[fPos++];
                if (c < '0' || c > '9') return false;
                v = v * 10 + (c - '0');
            }
            *msec = n == 1 ? v * 100 : n == 2 ? v * 10 : v;
        }
        return *hour <= 23 && *minute <= 59 && *second <= 59;
    }
    // A date of the calendar; the days the Gregorian reform removed are not in it.
    bool Date(int* year, int* month, int* day, bool dashes) {
        if (!Digits(4, year) || (dashes && !Literal('-')) || !Digits(2, month) ||
            (dashes && !Literal('-')) || !Digits(2, day))
            return false;
        if (*year == 1582 && *month == 10 && *day >= 5 && *day <= 14) return false;
        return *year >= 1 && *month >= 1 && *month <= 12 && *day >= 1 && *day <= 31;
    }

private:
    static bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

    std::string_view fText;
    size_t fPos;
};

std::string Format(const char* format, int a, int b, int c) {
    char buf[64];
    int n = snprintf(buf, sizeof buf, format, a, b, c);
    return std::string(buf, n < 0 ? 0 : std::min<size_t>(n, sizeof buf - 1));
}

}  // namespace

std::string CL_FormatPatternDate(std::string_view pattern, int day, int month, int year) {
    std::string out;
    int sep = -1;  // unknown until a token is followed by a character
    size_t i = 0, n = pattern.size();
    while (i < n) {
        char c = pattern[i];
        if (c != 'y' && c != 'm' && c != 'd') {
            ++i;
            continue;
        }
        size_t width = c == 'y' ? 4 : 2;
        if (!out.empty() && sep >= 0) out += static_cast<char>(sep);
        char buf[16];
        snprintf(buf, sizeof buf, c == 'y' ? "%04d" : "%02d",
                 c == 'y'   ? year
                 : c == 'm' ? month
                            : day);
        out += buf;
        if (sep < 0 && i + width < n) sep = static_cast<unsigned char>(pattern[i + width]);
        // A token at the very end has no separator after it: stop there.
        i = std::min(n, i + width + 1);
    }
    return out;
}

char CL_PatternTimeSeparator(std::string_view pattern) {
    size_t h = pattern.find("HH");
    return h != std::string_view::npos && h + 2 < pattern.size() ? pattern[h + 2] : ':';
}

// ---- CL_Date ----

CL_Date::CL_Date(int day, int month, int year) : fTS(0) {
    SetFields(day, month, year, 0, 0, 0, 0);
}

void CL_Date::GetFields(int* day, int* month, int* year, int* hour, int* minute, int* second,
                        int* msec) const {
    int64 j = fTS / kDay;
    int64 rem = fTS % kDay;
    // Before day 0 count whole days downward so the time of day stays positive.
    if (rem < 0) {
        rem += kDay;
        --j;
    }
    int64 d, m, y;
    if (fTS < kGregorianStart) {
        int64 c = j + 32082;
        int64 shift = 0;
        // The formula needs c >= 0; the Julian calendar repeats every 1461 days.
        if (c < 0) {
            int64 cycles = -c / 1461 + 1;
            c += cycles * 1461;
            shift = cycles * 4;
        }
        int64 dd = (4 * c + 3) / 1461;
        int64 e = c - 1461 * dd / 4;
        int64 mm = (5 * e + 2) / 153;
        d = e - (153 * mm + 2) / 5 + 1;
        m = mm + 3 - 12 * (mm / 10);
        y = dd - 4800 + mm / 10 - shift;
        if (y < 1) --y;  // no year 0: 1 BC is -1
    } else {
        int64 l = j + 68569;
        int64 n = 4 * l / 146097;
        l = l - (146097 * n + 3) / 4;
        int64 i = 4000 * (l + 1) / 1461001;
        l = l - 1461 * i / 4 + 31;
        int64 jj = 80 * l / 2447;
        d = l - 2447 * jj / 80;
        int64 k = jj / 11;
        m = jj + 2 - 12 * k;
        y = 100 * (n - 49) + i + k;
    }
    if (day) *day = static_cast<int>(d);
    if (month) *month = static_cast<int>(m);
    if (year) *year = static_cast<int>(y);
    if (hour) *hour = static_cast<int>(rem / 3600000);
    if (minute) *minute = static_cast<int>(rem / 60000 % 60);
    if (second) *second = static_cast<int>(rem / 1000 % 60);
    if (msec) *msec = static_cast<int>(rem % 1000);
}

void CL_Date::SetFields(int day, int month, int year, int hour, int minute, int second, int msec) {
    int64 dd = day, mm = month, yy = year;
    int64 j;
    bool julian = false;
    if (yy < 0) {
        ++yy;  // astronomical numbering: 1 BC is year 0
        julian = true;
    } else if (yy < 1582 || (yy == 1582 && (mm < 10 || (mm == 10 && dd < 5)))) {
        julian = true;
    }
    if (julian) {
        int64 a = (14 - mm) / 12;
        int64 y = yy + 4800 - a;
        int64 m = mm + 12 * a - 3;
        // Truncating division is only right for y >= 0: move earlier years forward by
        // whole four-year cycles of 1461 days and take the cycles off again.
        int64 cycles = y < 0 ? -y / 4 + 1 : 0;
        y += 4 * cycles;
        j = dd + (153 * m + 2) / 5 + 1461 * y / 4 - 32083 - 1461 * cycles;
    } else if (yy == 1582 && mm == 10 && dd <= 14) {
        j = 0;  // days removed by the reform
    } else {
        int64 a = (mm - 14) / 12;
        j = (1461 * (yy + 4800 + a)) / 4 + (367 * (mm - 2 - 12 * a)) / 12 -
            (3 * ((yy + 4900 + a) / 100)) / 4 + dd - 32075;
    }
    int64 ts;
    int64 clock = hour * 3600000LL + minute * 60000LL + second * 1000LL + msec;
    // Fields far outside any calendar can overflow the count: give the null date.
    if (__builtin_mul_overflow(j, kDay, &ts) || __builtin_add_overflow(ts, clock, &ts)) ts = 0;
    fTS = ts;
}

void CL_Date::Set(int day, int month, int year) {
    int d, m, y, h, mi, s, ms;
    GetFields(&d, &m, &y, &h, &mi, &s, &ms);
    SetFields(day < 0 ? d : day, month < 0 ? m : month, year < 0 ? y : year, h, mi, s, ms);
}

int CL_Date::GetDay() const {
    int d;
    GetFields(&d, nullptr, nullptr);
    return d;
}

int CL_Date::GetMonth() const {
    int m;
    GetFields(nullptr, &m, nullptr);
    return m;
}

int CL_Date::GetYear() const {
    int y;
    GetFields(nullptr, nullptr, &y);
    return y;
}

int CL_Date::GetWDay() const {
    int64 j = fTS / kDay - (fTS % kDay < 0 ? 1 : 0);
    return static_cast<int>(FloorMod(j, 7)) + 1;
}

int CL_Date::MonthRange(int month, int year) {
    if (month < 1 || month > 12) return 0;
    if (month == 2) {
        bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        return leap ? 29 : 28;
    }
    return kDaysInMonth[month - 1];
}

bool CL_Date::FromString(std::string_view text) {
    fTS = 0;
    Scanner in(text);
    int y, m, d;
    if (!in.Date(&y, &m, &d, true)) return false;
    Set(d, m, y);
    return IsValid();
}

bool CL_Date::FromString(const std::wstring& text) {
    return FromString(CL_ToUTF8(text));
}

std::string CL_Date::ToString(int format) const {
    if (!fTS) return "NULL";
    int d, m, y;
    GetFields(&d, &m, &y);
    switch (format) {
        case CL_DATE_LOCALE_FORMAT:
            return CL_FormatPatternDate(DefaultLocale().fDateFormat, d, m, y);
        case CL_DATE_ITA_FORMAT:
            return Format("%02d-%02d-%04d", d, m, y);
        default:
            return Format("%04d-%02d-%02d", y, m, d);
    }
}

CL_Date CL_Date::Today() {
    int64 now = CL_TimeStamp::Now().ToRaw();
    return CL_Date(WrapSub(now, FloorMod(now, kDay)));
}

long CL_Date::ToTimeT() const {
    return static_cast<long>(UnixMSecs(fTS) / 1000);
}

CL_Date& CL_Date::FromTimeT(long t) {
    fTS = static_cast<int64>(static_cast<uint64>(static_cast<int64>(t)) * 1000u +
                             static_cast<uint64>(CL_UNIX_EPOCH_MSECS));
    return *this;
}

CL_Date& CL_Date::operator+=(const CL_TimeDelta& d) {
    fTS = WrapAdd(fTS, d.fTS);
    return *this;
}

CL_Date& CL_Date::operator-=(const CL_TimeDelta& d) {
    fTS = WrapSub(fTS, d.fTS);
    return *this;
}

// ---- CL_TimeStamp ----

CL_TimeStamp::CL_TimeStamp(const CL_Date& date, const CL_Time& time)
    : CL_Date(WrapAdd(WrapSub(date.ToRaw(), FloorMod(date.ToRaw(), kDay)),
                      time.IsValid() ? time.ToRaw() : 0)) {}

CL_TimeStamp::CL_TimeStamp(int day, int month, int year, int hour, int minute, int second, int msec)
    : CL_Date(0LL) {
    SetFields(day, month, year, hour, minute, second, msec);
}

void CL_TimeStamp::Set(int day, int month, int year, int hour, int minute, int second, int msec) {
    int d, m, y, h, mi, s, ms;
    GetFields(&d, &m, &y, &h, &mi, &s, &ms);
    SetFields(day < 0 ? d : day, month < 0 ? m : month, year < 0 ? y : year, hour < 0 ? h : hour,
              minute < 0 ? mi : minute, second < 0 ? s : second, msec < 0 ? ms : msec);
}

int CL_TimeStamp::GetHour() const {
    int h;
    GetFields(nullptr, nullptr, nullptr, &h);
    return h;
}

int CL_TimeStamp::GetMin() const {
    int m;
    GetFields(nullptr, nullptr, nullptr, nullptr, &m);
    return m;
}

int CL_TimeStamp::GetSec() const {
    int s;
    GetFields(nullptr, nullptr, nullptr, nullptr, nullptr, &s);
    return s;
}

int CL_TimeStamp::GetMSecs() const {
    int ms;
    GetFields(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &ms);
    return ms;
}

bool CL_TimeStamp::FromString(std::string_view text, int format) {
    fTS = 0;
    Scanner in(text);
    int y = 0, m = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    bool ok;
    switch (format) {
        case CL_TIME_ISO_FORMAT:
            ok = in.Clock(&h, &mi, &s, &ms);
            break;
        case CL_DATE_ISO_FORMAT:
            ok = in.Date(&y, &m, &d, true);
            break;
        case CL_TIME_COMPACT_FORMAT:
            ok = in.Digits(2, &h) && in.Digits(2, &mi) && h <= 23 && mi <= 59;
            break;
        case CL_DATE_COMPACT_FORMAT:
            ok = in.Date(&y, &m, &d, false);
            break;
        case CL_TIMESTAMP_COMPACT_FORMAT:
            ok = in.Date(&y, &m, &d, false) && in.DateTimeSeparator() && in.Digits(2, &h) &&
                 in.Digits(2, &mi) && h <= 23 && mi <= 59;
            break;
        default:
            ok = in.Date(&y, &m, &d, true) && in.DateTimeSeparator() && in.Clock(&h, &mi, &s, &ms);
            break;
    }
    if (!ok) return false;
    Set(d, m, y, h, mi, s, ms);
    return IsValid();
}

bool CL_TimeStamp::FromString(const std::wstring& text, int format) {
    return FromString(CL_ToUTF8(text), format);
}

std::string CL_TimeStamp::ToString(int format) const {
    if (!fTS) return "NULL";
    int d, m, y, h, mi, s, ms;
    GetFields(&d, &m, &y, &h, &mi, &s, &ms);
    char buf[96];
    switch (format) {
        case CL_TIME_ISO_FORMAT: {
            std::string out = Format("%02d:%02d:%02d", h, mi, s);
            if (ms) out += Format(".%03d", ms, 0, 0);
            return out;
        }
        case CL_DATE_ISO_FORMAT:
            return Format("%04d-%02d-%02d", y, m, d);
        case CL_TIME_LOCALE_FORMAT:
        case CL_TIMESTAMP_LOCALE_FORMAT: {
            const std::string& pattern = DefaultLocale().fDateFormat;
            char sep = CL_PatternTimeSeparator(pattern);
            snprintf(buf, sizeof buf, "%02d%c%02d%c%02d", h, sep, mi, sep, s);
            if (format == CL_TIME_LOCALE_FORMAT) return buf;
            return CL_FormatPatternDate(pattern, d, m, y) + " " + buf;
        }
        case CL_DATE_LOCALE_FORMAT:
            return CL_FormatPatternDate(DefaultLocale().fDateFormat, d, m, y);
        case CL_TIME_COMPACT_FORMAT:
            return Format("%02d%02d", h, mi, 0);
        case CL_DATE_COMPACT_FORMAT:
            return Format("%04d%02d%02d", y, m, d);
        case CL_TIMESTAMP_COMPACT_FORMAT:
            snprintf(buf, sizeof buf, "%04d%02d%02dT%02d%02d", y, m, d, h, mi);
            return buf;
        default:
            snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", y, m, d, h, mi, s, ms);
            return buf;
    }
}

int64 CL_TimeStamp::GetTimeZoneOffset() const {
    time_t secs = static_cast<time_t>(UnixMSecs(fTS) / 1000);
    struct tm tm;
    if (!localtime_r(&secs, &tm)) return 0;
    return -static_cast<int64>(tm.tm_gmtoff) * 1000;
}

CL_TimeStamp CL_TimeStamp::ToLocal() const {
    if (!fTS) return *this;
    return CL_TimeStamp(WrapSub(fTS, GetTimeZoneOffset()));
}

CL_TimeStamp CL_TimeStamp::ToUTC() const {
    if (!fTS) return *this;
    // The offset belongs to the UTC instant, which is not known yet: guess with the
    // local value read as UTC, then correct once (enough except inside a DST change).
    int64 guess = WrapAdd(fTS, GetTimeZoneOffset());
    return CL_TimeStamp(WrapAdd(fTS, CL_TimeStamp(guess).GetTimeZoneOffset()));
}

CL_Date CL_TimeStamp::Date() const {
    return CL_Date(WrapSub(fTS, FloorMod(fTS, kDay)));
}

CL_Time CL_TimeStamp::Time() const {
    return CL_Time(static_cast<int>(FloorMod(fTS, kDay)));
}

CL_TimeStamp CL_TimeStamp::NowUTC() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return CL_TimeStamp(static_cast<int64>(tv.tv_sec) * 1000 + tv.tv_usec / 1000 +
                        CL_UNIX_EPOCH_MSECS);
}

CL_TimeStamp CL_TimeStamp::Now() {
    // The kernel's timezone setting, not the TZ rules: usually zero, giving UTC.
    struct timeval tv;
    struct timezone tz = {0, 0};
    gettimeofday(&tv, &tz);
    int64 ms = static_cast<int64>(tv.tv_sec) * 1000 + tv.tv_usec / 1000 + CL_UNIX_EPOCH_MSECS;
    ms -= static_cast<int64>(tz.tz_minuteswest) * 60000;
    if (tz.tz_dsttime) ms -= 3600000;
    return CL_TimeStamp(ms);
}

// ---- CL_Time ----

bool CL_Time::FromString(std::string_view text) {
    Scanner in(text);
    int h, m, s, ms;
    if (!in.Clock(&h, &m, &s, &ms)) {
        fTS = -1;
        return false;
    }
    fTS = h * 3600000 + m * 60000 + s * 1000 + ms;
    return true;
}

bool CL_Time::FromString(const std::wstring& text) {
    return FromString(CL_ToUTF8(text));
}

std::string CL_Time::ToString() const {
    if (fTS < 0) return "NULL";
    std::string out = Format("%02d:%02d:%02d", fTS / 3600000, fTS / 60000 % 60, fTS / 1000 % 60);
    if (fTS % 1000) out += Format(".%03d", fTS % 1000, 0, 0);
    return out;
}

void CL_Time::Set(int hour, int minute, int second, int msec) {
    int64 total = static_cast<int64>(hour < 0 ? GetHour() : hour) * 3600000 +
                  static_cast<int64>(minute < 0 ? GetMin() : minute) * 60000 +
                  static_cast<int64>(second < 0 ? GetSec() : second) * 1000 +
                  (msec < 0 ? GetMSecs() : msec);
    fTS = total < kDay ? static_cast<int32>(total) : -1;
}

CL_Time& CL_Time::operator+=(const CL_TimeDelta& d) {
    if (fTS >= 0) fTS = static_cast<int32>(FloorMod(fTS + d.fTS % kDay, kDay));
    return *this;
}

CL_Time& CL_Time::operator-=(const CL_TimeDelta& d) {
    if (fTS >= 0) fTS = static_cast<int32>(FloorMod(fTS - d.fTS % kDay, kDay));
    return *this;
}
