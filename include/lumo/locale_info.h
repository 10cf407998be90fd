// Locale information: one record describing a named locale of the system library
// (language, date pattern, weekday and month names, number separators), read once per
// name and cached for the life of the process.
#pragma once

#include <string>

// Text description of a locale; fields hold the bytes the system library gives, in the
// locale's own character set. Gaps are filled with defaults, so no field is empty.
// A plain value.
class CL_LocaleInfo {
public:
    CL_LocaleInfo() = default;
    CL_LocaleInfo(const CL_LocaleInfo&) = default;
    CL_LocaleInfo(CL_LocaleInfo&&) = default;
    CL_LocaleInfo& operator=(const CL_LocaleInfo&) = default;
    CL_LocaleInfo& operator=(CL_LocaleInfo&&) = default;
    ~CL_LocaleInfo() = default;

    bool operator==(const CL_LocaleInfo&) const = default;

    std::string fISOName;  // the name used, cut before its first "."
    std::string fName;     // language name, "Unknown" when the locale has none
    // Tokens dd, mm, yyyy, HH, MM, SS and separators, e.g. "dd/mm/yyyy HH:MM:SS".
    std::string fDateFormat;
    std::string fFullWeekdayName[7];  // Sunday first
    std::string fAbbrWeekdayName[7];
    std::string fFullMonthName[12];  // January first
    std::string fAbbrMonthName[12];
    std::string fDecimalSep;
    std::string fThousandSep;
    std::string fMonDecimalSep;
    std::string fMonThousandSep;
};

// Fills *info with the description of locale `name`; the empty name means the locale
// named by LANG. A name the system does not know (after trying "-" as "_" and "xx" as
// "xx_XX") describes the process locale. Never changes the process locale; safe from
// any thread.
void CL_GetLocaleInfo(CL_LocaleInfo* info, const std::string& name);
