// Pieces of the locale description shared between the locale cache and the date
// formatting, kept out of the public headers.
#pragma once

#include <string>
#include <string_view>

// The date-and-time pattern ("dd/mm/yyyy HH:MM:SS" style) read from a locale's texts of
// 31 December 1999 23:59:00 in its date ("%x") and time ("%X") representations.
// Empty when the texts lack the markers or a separator is not ASCII (a lone byte of a
// multi-byte character would make the pattern invalid UTF-8).
std::string CL_BuildDatePattern(std::string_view dateText, std::string_view timeText);

// The date of a locale pattern: the fields in the order of its y/m/d tokens, joined by
// the first separator that follows a token. Stops at the pattern's end.
std::string CL_FormatPatternDate(std::string_view pattern, int day, int month, int year);

// The character right after the first "HH" of a locale pattern, or ':'.
char CL_PatternTimeSeparator(std::string_view pattern);
