// Locale descriptions, read through a private locale object (newlocale and the *_l
// functions) so that the process locale, which every other thread formats and parses
// with, is never switched.
#include "lumo/locale_info.h"

#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include <cstring>

#include "lumo/clock.h"
#include "lumo/containers.h"
#include "lumo/platform/locale_info_internal.h"
#include "lumo/thread.h"
#include "lumo/utf8.h"

namespace {

const char* const kFullWeekdays[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};
const char* const kAbbrWeekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kFullMonths[12] = {"January",   "February", "March",    "April",
                                     "May",       "June",     "July",     "August",
                                     "September", "October",  "November", "December"};
const char* const kAbbrMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char kDefaultPattern[] = "dd/mm/yyyy HH:MM:SS";

// Guards the cache for the whole of every call, so each name is built once. Neither
// is ever destroyed: threads may still ask for locale data while the process exits.
CL_Mutex& LocaleInfoLock() {
    static CL_Mutex* sLocaleInfoLock = new CL_Mutex;
    return *sLocaleInfoLock;
}

// Requested name (as passed, the empty name included) to its description.
CL_HashMap<std::string, CL_LocaleInfo>& Cache() {
    static auto* sCache = new CL_HashMap<std::string, CL_LocaleInfo>;
    return *sCache;
}

locale_t OpenLocale(const std::string& name) {
    return newlocale(LC_ALL_MASK, name.c_str(), static_cast<locale_t>(0));
}

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}
char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

std::string Item(nl_item item, locale_t loc) {
    const char* text = nl_langinfo_l(item, loc);
    return text ? std::string(text) : std::string();
}

// Formats the reference moment 31 December 1999 23:59:00 with `format`.
std::string ReferenceText(const char* format, locale_t loc) {
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_mday = 31;
    tm.tm_mon = 11;
    tm.tm_year = 99;
    tm.tm_hour = 23;
    tm.tm_min = 59;
    char buf[64];
    size_t n = strftime_l(buf, sizeof buf, format, &tm, loc);
    return std::string(buf, n);
}

void Describe(CL_LocaleInfo* rec, const std::string& name) {
    std::string working = name.empty() ? CL_GetEnv("LANG") : name;
    locale_t loc = OpenLocale(working);
    if (!loc) {
        working = CL_StringReplace(working, "-", "_", true);
        loc = OpenLocale(working);
        if (!loc && working.size() == 2) {
            char a = working[0], b = working[1];
            working = {AsciiLower(a), AsciiLower(b), '_', AsciiUpper(a), AsciiUpper(b)};
            loc = OpenLocale(working);
        }
    }
    // Refused under every spelling: describe the locale the process is running in.
    if (!loc) loc = duplocale(LC_GLOBAL_LOCALE);

    size_t dot = working.find('.');
    rec->fISOName = dot == std::string::npos ? working : working.substr(0, dot);
    if (loc) {
        rec->fName = Item(_NL_IDENTIFICATION_LANGUAGE, loc);
        rec->fDateFormat = CL_BuildDatePattern(ReferenceText("%x", loc), ReferenceText("%X", loc));
        for (int i = 0; i < 7; ++i) {
            rec->fFullWeekdayName[i] = Item(DAY_1 + i, loc);
            rec->fAbbrWeekdayName[i] = Item(ABDAY_1 + i, loc);
        }
        for (int i = 0; i < 12; ++i) {
            rec->fFullMonthName[i] = Item(MON_1 + i, loc);
            rec->fAbbrMonthName[i] = Item(ABMON_1 + i, loc);
        }
        // The same items localeconv() reports, read from this locale only.
        rec->fDecimalSep = Item(RADIXCHAR, loc);
        rec->fThousandSep = Item(THOUSEP, loc);
        rec->fMonDecimalSep = Item(MON_DECIMAL_POINT, loc);
        rec->fMonThousandSep = Item(MON_THOUSANDS_SEP, loc);
        freelocale(loc);
    }

    if (rec->fName.empty()) rec->fName = "Unknown";
    if (rec->fDateFormat.empty()) rec->fDateFormat = kDefaultPattern;
    for (int i = 0; i < 7; ++i) {
        if (rec->fFullWeekdayName[i].empty()) rec->fFullWeekdayName[i] = kFullWeekdays[i];
        if (rec->fAbbrWeekdayName[i].empty()) rec->fAbbrWeekdayName[i] = kAbbrWeekdays[i];
    }
    for (int i = 0; i < 12; ++i) {
        if (rec->fFullMonthName[i].empty()) rec->fFullMonthName[i] = kFullMonths[i];
        if (rec->fAbbrMonthName[i].empty()) rec->fAbbrMonthName[i] = kAbbrMonths[i];
    }
    if (rec->fDecimalSep.empty()) rec->fDecimalSep = ",";
    if (rec->fThousandSep.empty()) rec->fThousandSep = ".";
    if (rec->fMonDecimalSep.empty()) rec->fMonDecimalSep = rec->fDecimalSep;
    if (rec->fMonThousandSep.empty()) rec->fMonThousandSep = rec->fThousandSep;
}

}  // namespace

std::string CL_BuildDatePattern(std::string_view date, std::string_view time) {
    const size_t npos = std::string_view::npos;
    size_t d = date.find("31"), m = date.find("12"), y = date.find("99");
    size_t t = time.find("59");
    if (d == npos || m == npos || y == npos || t == npos || t == 0) return std::string();

    std::string p;
    char s;
    if (d < m && d < y) {
        s = date[m - 1];  // m > d >= 0
        p = std::string("dd") + s;
        p += m < y ? std::string("mm") + s + "yyyy" : std::string("yyyy") + s + "mm";
    } else {
        if (d == 0) return std::string();
        s = date[d - 1];
        if (d <= m || m >= y) {
            p = std::string("yyyy") + s;
            p += d <= m ? std::string("dd") + s + "mm" : std::string("mm") + s + "dd";
        } else {
            p = std::string("mm") + s;
            p += d >= y ? std::string("yyyy") + s + "dd" : std::string("dd") + s + "yyyy";
        }
    }
    char sep = time[t - 1];
    if (static_cast<unsigned char>(s) >= 0x80 || static_cast<unsigned char>(sep) >= 0x80)
        return std::string();
    p += std::string(" HH") + sep + "MM" + sep + "SS";
    return p;
}

void CL_GetLocaleInfo(CL_LocaleInfo* info, const std::string& name) {
    CL_AutoLocker guard(LocaleInfoLock());
    CL_HashMap<std::string, CL_LocaleInfo>& cache = Cache();
    if (!cache.Exists(name)) {
        CL_LocaleInfo rec;
        Describe(&rec, name);
        cache.Set(name, std::move(rec));
    }
    if (info) *info = cache.Get(name);
}
