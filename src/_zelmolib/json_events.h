// What the JSON decoder makes of the number and string tokens of its parser, without
// Python: a number becomes a small int, a Decimal, an exact big integer or an overflow;
// a string that is exactly a timestamp, a date or a time of an existing day becomes
// its fields. Shared by the decoder and its fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "lumo/decimal.h"
#include "lumo/timestamp.h"

namespace QPX {

enum class JSONNumberKind {
    kInt,       // fits 32 bits and is whole: *small
    kDecimal,   // within the Decimal's 38 digits: *decimal
    kBigInt,    // whole, beyond the Decimal: *digits holds its decimal text (sign first)
    kOverflow,  // neither: "Arithmetic overflow"
};

// Whole numbers past this many digits are refused rather than built (a short text
// such as 1e999999999 must not allocate gigabytes).
constexpr size_t kJSONMaxIntegerDigits = 4300;

namespace json_detail {

// An optional sign and at most 9 digits: true with the value in *small.
inline bool SmallInt(const char* text, size_t length, int32_t* small) {
    bool negative = length > 0 && text[0] == '-';
    size_t i = negative ? 1 : 0;
    if (length <= i || length - i > 9) return false;
    int32_t v = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i)
        v = v * 10 + (text[i] - '0');
    if (i != length) return false;
    *small = negative ? -v : v;
    return true;
}

// Splits a number token into its sign, the digits of its mantissa (point removed) and
// the power of ten they are scaled by; false on a byte outside the number syntax. An
// exponent beyond any size that could be built saturates.
inline bool SplitNumber(const char* text, size_t length, bool* negative, std::string* mantissa,
                        long long* scale) {
    size_t i = 0;
    *negative = false;
    if (i < length && text[i] == '-') {
        *negative = true;
        ++i;
    }
    *scale = 0;
    bool point = false;
    for (; i < length && text[i] != 'e' && text[i] != 'E'; ++i) {
        if (text[i] == '.') {
            point = true;
            continue;
        }
        if (text[i] < '0' || text[i] > '9') return false;
        mantissa->push_back(text[i]);
        if (point) --*scale;
    }
    if (i == length) return true;
    ++i;
    bool expNegative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) expNegative = text[i++] == '-';
    long long exponent = 0;
    for (; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        if (exponent < 1000000000LL) exponent = exponent * 10 + (text[i] - '0');
    }
    *scale += expNegative ? -exponent : exponent;
    return true;
}

// A number past the Decimal: exact only when the value is whole.
inline JSONNumberKind WholeNumber(const char* text, size_t length, int32_t* small,
                                  std::string* digits) {
    bool negative = false;
    std::string mantissa;
    long long scale = 0;
    if (!SplitNumber(text, length, &negative, &mantissa, &scale)) return JSONNumberKind::kOverflow;
    size_t first = mantissa.find_first_not_of('0');
    if (first == std::string::npos) {
        *small = 0;
        return JSONNumberKind::kInt;
    }
    mantissa.erase(0, first);
    // Trailing zeros of the mantissa move into the scale.
    while (scale < 0 && mantissa.back() == '0') {
        mantissa.pop_back();
        ++scale;
    }
    if (scale < 0) return JSONNumberKind::kOverflow;
    if (static_cast<unsigned long long>(scale) + mantissa.size() > kJSONMaxIntegerDigits)
        return JSONNumberKind::kOverflow;
    digits->clear();
    if (negative) digits->push_back('-');
    digits->append(mantissa);
    digits->append(static_cast<size_t>(scale), '0');
    return JSONNumberKind::kBigInt;
}

}  // namespace json_detail

// `text` is a number token the parser accepted (JSON number syntax).
inline JSONNumberKind ClassifyJSONNumber(const char* text, size_t length, int32_t* small,
                                         CL_Decimal* decimal, std::string* digits) {
    // Common case first.
    if (json_detail::SmallInt(text, length, small)) return JSONNumberKind::kInt;
    bool invalid = false, overflow = false;
    if (decimal->FromRawString(text, length, &invalid, &overflow)) {
        if (decimal->Compare(decimal->Floor(0)) == 0 &&
            decimal->Compare(CL_Decimal::FromInt64(2147483647LL)) <= 0 &&
            decimal->Compare(CL_Decimal::FromInt64(-2147483648LL)) >= 0) {
            *small = static_cast<int32_t>(decimal->ToInt64());
            return JSONNumberKind::kInt;
        }
        return JSONNumberKind::kDecimal;
    }
    return json_detail::WholeNumber(text, length, small, digits);
}

enum class JSONTextKind { kText, kTimeStamp, kDate, kTime };

struct JSONTextFields {
    int fYear = 0, fMonth = 0, fDay = 0, fHour = 0, fMinute = 0, fSecond = 0;
};

namespace json_detail {

inline bool Digits(const char* p, int count, int* value) {
    int v = 0;
    for (int i = 0; i < count; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        v = v * 10 + (p[i] - '0');
    }
    *value = v;
    return true;
}

// YYYY-MM-DD of a day that exists (Gregorian, years 1 to 9999).
inline bool Date(const char* p, JSONTextFields* f) {
    if (p[4] != '-' || p[7] != '-') return false;
    if (!Digits(p, 4, &f->fYear) || !Digits(p + 5, 2, &f->fMonth) || !Digits(p + 8, 2, &f->fDay))
        return false;
    return f->fYear >= 1 && f->fDay >= 1 && f->fDay <= CL_Date::MonthRange(f->fMonth, f->fYear);
}

// HH:MM:SS with an optional fraction of 1 to 9 digits, the rest of the text; the same
// for a time alone and for the time of a timestamp.
inline bool Clock(const char* p, size_t length, JSONTextFields* f) {
    if (length < 8 || p[2] != ':' || p[5] != ':') return false;
    if (!Digits(p, 2, &f->fHour) || !Digits(p + 3, 2, &f->fMinute) ||
        !Digits(p + 6, 2, &f->fSecond))
        return false;
    if (f->fHour > 23 || f->fMinute > 59 || f->fSecond > 59) return false;
    if (length == 8) return true;
    if (p[8] != '.' || length < 10 || length > 18) return false;
    for (size_t i = 9; i < length; ++i)
        if (p[i] < '0' || p[i] > '9') return false;
    return true;
}

}  // namespace json_detail

// The whole text must be one of: YYYY-MM-DD, YYYY-MM-DD HH:MM:SS[.f] (or "T" between),
// HH:MM:SS[.f]; anything else, or a day that does not exist, stays text. The dash after
// the year tells a date from a time, whatever the length ("14:07:09.5" has a date's).
inline JSONTextKind ClassifyJSONText(const char* text, size_t length, JSONTextFields* f) {
    if (length < 8 || length > 29 || text[0] < '0' || text[0] > '9') return JSONTextKind::kText;
    if (length < 10 || text[4] != '-')
        return json_detail::Clock(text, length, f) ? JSONTextKind::kTime : JSONTextKind::kText;
    if (length == 10) return json_detail::Date(text, f) ? JSONTextKind::kDate : JSONTextKind::kText;
    if (length >= 19 && (text[10] == ' ' || text[10] == 'T')) {
        return json_detail::Date(text, f) && json_detail::Clock(text + 11, length - 11, f)
                   ? JSONTextKind::kTimeStamp
                   : JSONTextKind::kText;
    }
    return JSONTextKind::kText;
}

// The parser takes form feed and vertical tab for white space, which JSON does not.
// Where they occur they are replaced by a control byte that the parser refuses in the
// same places, and skips as it skips them inside comments. The chunk itself, or its
// mended copy in *copy.
inline const char* JSONRefuseOddSpace(const char* data, size_t size, std::string* copy) {
    if (!size || (!memchr(data, '\f', size) && !memchr(data, '\v', size))) return data;
    copy->assign(data, size);
    for (char& c : *copy)
        if (c == '\f' || c == '\v') c = '\x01';
    return copy->data();
}

}  // namespace QPX
