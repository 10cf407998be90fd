// CL_Decimal over the library's own decimal engine.
#include "lumo/decimal.h"

#include <atomic>
#include <bit>
#include <cfloat>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>

#include "lumo/base/decnum/decnum.h"
#include "lumo/locale_info.h"

using decnum::Number;

namespace {

constexpr decnum::Context sContext{};
constexpr uint32 kParseFailMask = decnum::kConversionSyntax | decnum::kInexact | decnum::kRounded |
                                  decnum::kOverflow | decnum::kSubnormal | decnum::kUnderflow;
constexpr size_t kMaxParseLength = 1024;

std::atomic<uint32> sDecimalInited{0};
std::atomic<locale_t> sCLocale{nullptr};

decnum::Context WithRounding(decnum::Rounding round) {
    decnum::Context c = sContext;
    c.round = round;
    return c;
}

// The POSIX locale, made on first need when Init has not run.
locale_t CLocale() {
    locale_t loc = sCLocale.load(std::memory_order_acquire);
    if (loc) return loc;
    locale_t made = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    if (!made) return static_cast<locale_t>(0);
    locale_t expected = nullptr;
    if (!sCLocale.compare_exchange_strong(expected, made)) {
        freelocale(made);
        return expected;
    }
    return made;
}

// "%f" of a double in the POSIX locale. The longest text, -DBL_MAX, takes
// 1 + 309 + 1 + 6 characters, so the buffer always holds it whole.
constexpr size_t kDoubleTextSize = 1 + (DBL_MAX_10_EXP + 1) + 1 + 6 + 1;
size_t PrintDouble(double value, char (&buf)[kDoubleTextSize + 8]) {
    locale_t loc = CLocale();
    locale_t old = loc ? uselocale(loc) : static_cast<locale_t>(0);
    int n = snprintf(buf, sizeof(buf), "%f", value);
    if (loc) uselocale(old);
    if (n < 0) {
        buf[0] = '0';
        n = 1;
    }
    return static_cast<size_t>(n) < sizeof(buf) ? static_cast<size_t>(n) : sizeof(buf) - 1;
}

Number Zero() {
    return decnum::MakeFinite(false, 0, 0);
}

constexpr int64 kMaxExponent = CL_Decimal::kMaxExponent;
constexpr int64 kMinExponent = CL_Decimal::kMinExponent;

// Whether a finite value lies in the held range; the common exponents answer without
// counting digits.
inline bool InRange(const Number& v) {
    if (v.kind != decnum::kFinite) return true;
    if (v.exp >= kMinExponent && v.exp <= kMaxExponent - (decnum::kPrecision - 1)) return true;
    if (v.coef == 0) return v.exp >= kMinExponent && v.exp <= kMaxExponent;
    return v.exp >= kMinExponent && v.exp + decnum::Digits(v.coef) - 1 <= kMaxExponent;
}

// A value brought into the held range: past the largest, an infinity of its sign; digits
// below the smallest place rounded half up into it, zero when nothing is left.
Number Held(const Number& v) {
    if (InRange(v)) return v;
    if (v.coef == 0) return decnum::MakeFinite(v.neg, 0, 0);
    if (v.exp >= kMinExponent) return decnum::MakeSpecial(decnum::kInfinity, v.neg);
    const int32 digits = decnum::Digits(v.coef);
    const int64 drop = kMinExponent - v.exp;
    decnum::uint128 q = 0;
    if (drop <= digits) {
        const decnum::uint128 p = decnum::Pow10(static_cast<int32>(drop));
        q = v.coef / p;
        if (2 * (v.coef % p) >= p) ++q;
    }
    return q == 0 ? decnum::MakeFinite(v.neg, 0, 0) : decnum::MakeFinite(v.neg, q, kMinExponent);
}

// The text rules: at most 1024 bytes, commas read as points, exact in 38 digits.
Number ParseText(const char* text, unsigned long length, bool* invalid, bool* overflow) {
    bool bad = false, over = false;
    Number result = Zero();
    if (text == nullptr || length > kMaxParseLength) {
        bad = true;
        over = length > kMaxParseLength;
    } else {
        char buf[kMaxParseLength + 1];
        size_t n = 0;
        // The text ends at its first NUL, as a C string would.
        for (; n < length && text[n] != 0; ++n)
            buf[n] = text[n] == ',' ? '.' : text[n];
        uint32 status = 0;
        Number parsed;
        decnum::FromString(&parsed, buf, n, sContext, &status);
        if (status & kParseFailMask) {
            bad = true;
            over = (status & decnum::kConversionSyntax) == 0;
        } else {
            uint32 ignored = 0;
            decnum::Reduce(&result, parsed, sContext, &ignored);
            if (!InRange(result)) {
                bad = over = true;
                result = Zero();
            }
        }
    }
    if (invalid) *invalid = bad;
    if (overflow) *overflow = over;
    return result;
}

unsigned long TextLength(const char* text, unsigned long length) {
    if (text && static_cast<int32>(static_cast<uint32>(length)) < 0) return strlen(text);
    return length;
}

// The "%f" text parsed in the context (rounded, never rejected) and reduced.
Number FromDoubleRounded(double value) {
    char buf[kDoubleTextSize + 8];
    size_t n = PrintDouble(value, buf);
    for (size_t i = 0; i < n; ++i)
        if (buf[i] == ',') buf[i] = '.';
    uint32 status = 0;
    Number parsed, reduced;
    decnum::FromString(&parsed, buf, n, sContext, &status);
    decnum::Reduce(&reduced, parsed, sContext, &status);
    return reduced;
}

Number FromDoubleStrict(double value) {
    char buf[kDoubleTextSize + 8];
    size_t n = PrintDouble(value, buf);
    return ParseText(buf, n, nullptr, nullptr);
}

Number Millionths(bool neg, uint64 magnitude) {
    return decnum::MakeFinite(neg, magnitude, -6);
}

Number FromSigned64Millionths(long long v) {
    bool neg = v < 0;
    uint64 mag = neg ? 0 - static_cast<uint64>(v) : static_cast<uint64>(v);
    return Millionths(neg, mag);
}

int32 ToInt32Floor(const Number& v) {
    int64 out;
    if (!decnum::FloorToInt64(v, 0, &out) || out < INT32_MIN || out > INT32_MAX) return INT32_MAX;
    return static_cast<int32>(out);
}

}  // namespace

CL_Decimal::CL_Decimal() {
    Set(Zero());
}
CL_Decimal::CL_Decimal(int value) {
    Set(decnum::FromInt64(value));
}
CL_Decimal::CL_Decimal(unsigned int value) {
    Set(decnum::FromUInt64(value));
}
CL_Decimal::CL_Decimal(long value) {
    Set(decnum::FromInt64(static_cast<int32>(value)));
}
CL_Decimal::CL_Decimal(unsigned long value) {
    Set(decnum::FromUInt64(static_cast<uint32>(value)));
}
CL_Decimal::CL_Decimal(long long value) {
    Set(FromSigned64Millionths(value));
}
CL_Decimal::CL_Decimal(unsigned long long value) {
    Set(Millionths(false, value));
}
CL_Decimal::CL_Decimal(double value) {
    Set(FromDoubleStrict(value));
}
CL_Decimal::CL_Decimal(const std::string& text) {
    Set(ParseText(text.data(), text.size(), nullptr, nullptr));
}
CL_Decimal::CL_Decimal(const char* text, unsigned long length) {
    Set(ParseText(text, TextLength(text, length), nullptr, nullptr));
}
CL_Decimal::CL_Decimal(const Number& value) {
    Set(value);
}

CL_Decimal& CL_Decimal::operator=(int value) {
    Set(decnum::FromInt64(value));
    return *this;
}
CL_Decimal& CL_Decimal::operator=(long long value) {
    Set(FromSigned64Millionths(value));
    return *this;
}
CL_Decimal& CL_Decimal::operator=(unsigned long long value) {
    Set(Millionths(false, value));
    return *this;
}
CL_Decimal& CL_Decimal::operator=(double value) {
    Set(FromDoubleRounded(value));
    return *this;
}

bool CL_Decimal::FromString(const std::string& text, bool* invalid, bool* overflow) {
    return FromRawString(text.data(), text.size(), invalid, overflow);
}

bool CL_Decimal::FromRawString(const char* text, unsigned long length, bool* invalid,
                               bool* overflow) {
    bool bad = false;
    Set(ParseText(text, TextLength(text, length), &bad, overflow));
    if (invalid) *invalid = bad;
    return !bad;
}

CL_Decimal CL_Decimal::FromInt64(long long value) {
    return CL_Decimal(decnum::FromInt64(value));
}
CL_Decimal CL_Decimal::FromScaledInt64(long long value) {
    return CL_Decimal(FromSigned64Millionths(value));
}

void CL_Decimal::Set(const Number& value) {
    fMPD = std::bit_cast<Storage>(InRange(value) ? value : Held(value));
}
Number CL_Decimal::GetNumber() const {
    return std::bit_cast<Number>(fMPD);
}

CL_Decimal::operator int() const {
    return ToInt32Floor(GetNumber());
}
CL_Decimal::operator long() const {
    return ToInt32Floor(GetNumber());
}
CL_Decimal::operator long long() const {
    int64 out;
    return decnum::FloorToInt64(GetNumber(), 6, &out) ? out : INT64_MAX;
}

CL_Decimal::operator double() const {
    // The scientific form reads back to the same double as the plain digits and stays
    // short whatever the exponent.
    char buf[decnum::kSciBufferSize];
    size_t n = decnum::ToSci(GetNumber(), buf);
    buf[n] = 0;
    locale_t loc = CLocale();
    return loc ? strtod_l(buf, nullptr, loc) : strtod(buf, nullptr);
}

CL_Decimal::operator bool() const {
    return !GetNumber().IsZero();
}
bool CL_Decimal::operator!() const {
    return GetNumber().IsZero();
}

long long CL_Decimal::ToInt64(bool* overflow) const {
    int64 out;
    bool ok = decnum::FloorToInt64(GetNumber(), 0, &out);
    if (overflow) *overflow = !ok;
    if (!ok) return overflow ? 0 : INT64_MAX;
    return out;
}

long long CL_Decimal::ToScaledInt64(bool* overflow) const {
    int64 out;
    bool ok = decnum::FloorToInt64(GetNumber(), 6, &out);
    if (overflow) *overflow = !ok;
    if (!ok) return overflow ? 0 : INT64_MAX;
    return out;
}

std::string CL_Decimal::Format(int decimals, bool allDigits, const char* point,
                               const char* sep) const {
    static const decnum::Context floorContext = WithRounding(decnum::kRoundFloor);
    uint32 status = 0;
    Number reduced;
    decnum::Reduce(&reduced, GetNumber(), floorContext, &status);
    if (allDigits) {
        decimals = 0;
        if (reduced.IsFinite() && reduced.exp < 0)
            decimals = reduced.exp < -static_cast<int64>(kMaxTextLength)
                           ? static_cast<int>(kMaxTextLength) + 1
                           : static_cast<int>(-reduced.exp);
    }
    char local[128];
    size_t need = decnum::FormatFixed(reduced, decimals, decnum::kRoundFloor, point, sep, local,
                                      sizeof(local));
    if (need <= sizeof(local)) return std::string(local, need);
    if (need > kMaxTextLength) return std::string();
    std::string text(need, '\0');
    decnum::FormatFixed(reduced, decimals, decnum::kRoundFloor, point, sep, text.data(), need);
    return text;
}

namespace {

// Separators of the environment's locale, read once.
const CL_LocaleInfo& DefaultLocale() {
    static const CL_LocaleInfo info = [] {
        CL_LocaleInfo i;
        CL_GetLocaleInfo(&i, "");
        return i;
    }();
    return info;
}

// The thousands separator to write beside a locale's decimal separator. A record may
// give both the same (the "C" locale has "." for each), and 1.234.567.89 would read as
// another number: such a separator is written as "," beside "." and "." beside ",".
const char* GroupSeparator(const CL_LocaleInfo& info) {
    if (info.fThousandSep != info.fDecimalSep) return info.fThousandSep.c_str();
    return info.fDecimalSep == "," ? "." : ",";
}

}  // namespace

std::string CL_Decimal::ToString(int decimals, bool localized) const {
    if (!localized) return Format(decimals, decimals < 0, ".", nullptr);
    return ToString(decimals, DefaultLocale());
}

std::string CL_Decimal::ToString(int decimals, const CL_LocaleInfo& locale) const {
    return Format(decimals < 0 ? 2 : decimals, false, locale.fDecimalSep.c_str(),
                  GroupSeparator(locale));
}

char* CL_Decimal::ToRawString(int decimals, bool localized) const {
    std::string text = ToString(decimals, localized);
    char* raw = static_cast<char*>(malloc(text.size() + 1));
    if (raw) memcpy(raw, text.c_str(), text.size() + 1);
    return raw;
}

// ---- Printed texts without the general formatter and parser ----

namespace {

// A decimal printed in full may carry more than 38 digits, or more than 1024 bytes of
// text, only through leading and trailing zeros ("1" and forty "0", "0.000...1"):
// move them into an exponent so that the text rules read the value. Any other text is
// left as it is.
std::string CompactDecimalText(const char* text, size_t length) {
    size_t i = 0;
    bool neg = false;
    if (i < length && (text[i] == '-' || text[i] == '+')) neg = text[i++] == '-';
    const size_t intStart = i;
    while (i < length && text[i] >= '0' && text[i] <= '9')
        i++;
    const size_t intEnd = i;
    size_t fracStart = i, fracEnd = i;
    if (i < length && text[i] == '.') {
        fracStart = ++i;
        while (i < length && text[i] >= '0' && text[i] <= '9')
            i++;
        fracEnd = i;
    }
    if (i != length || intEnd == intStart) return std::string(text, length);
    // The digits as one run: the integer part, then the fraction; the value is the run
    // times 10^-(fraction length). Its significant part lies between the first and the
    // last digit that is not zero.
    std::string digits(text + intStart, intEnd - intStart);
    digits.append(text + fracStart, fracEnd - fracStart);
    const size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return neg ? "-0" : "0";
    const size_t last = digits.find_last_not_of('0');
    const long long exponent = static_cast<long long>(digits.size() - 1 - last) -
                               static_cast<long long>(fracEnd - fracStart);
    std::string out = neg ? "-" : "";
    out.append(digits, first, last - first + 1);
    out += "E" + std::to_string(exponent);
    return out;
}

// The pairs 00 to 99, for writing digits two per division.
constexpr auto kDigitPairs = [] {
    struct Pairs {
        char fText[200];
    } t{};
    for (int i = 0; i < 100; i++) {
        t.fText[2 * i] = static_cast<char>('0' + i / 10);
        t.fText[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return t;
}();

// The `count` lowest decimal digits of *v written so that they end at `end`; *v keeps
// the digits above them.
void LowDigitsBefore(uint64* v, size_t count, char* end) {
    uint64 rest = *v;
    for (; count >= 2; count -= 2) {
        const uint64 pair = rest % 100;
        rest /= 100;
        end -= 2;
        memcpy(end, kDigitPairs.fText + 2 * pair, 2);
    }
    if (count) {
        *--end = static_cast<char>('0' + rest % 10);
        rest /= 10;
    }
    *v = rest;
}

// The number of decimal digits of v, which is not 0.
size_t DigitCount(uint64 v) {
    static constexpr uint64 kPowers[20] = {1ull,
                                           10ull,
                                           100ull,
                                           1000ull,
                                           10000ull,
                                           100000ull,
                                           1000000ull,
                                           10000000ull,
                                           100000000ull,
                                           1000000000ull,
                                           10000000000ull,
                                           100000000000ull,
                                           1000000000000ull,
                                           10000000000000ull,
                                           100000000000000ull,
                                           1000000000000000ull,
                                           10000000000000000ull,
                                           100000000000000000ull,
                                           1000000000000000000ull,
                                           10000000000000000000ull};
    // log10(2) is about 1233 / 4096: the estimate is the count or one less.
    const size_t estimate = (static_cast<size_t>(std::bit_width(v)) * 1233) >> 12;
    return estimate + (v >= kPowers[estimate] ? 1 : 0);
}

// ToShortString: the text ToString(-1, false) gives, for the values met in practice,
// written straight into `out` without the engine's general formatter. A sign, 20
// digits, up to 40 places and a point fit in CL_Decimal::kShortStringRoom. The digits
// go straight to their places (a scratch copy read back in larger pieces than it was
// written stalls the processor); runs of zeros are blocks of fixed size, past the
// text's end but within the room.
size_t ShortString(const Number& n, char* out) {
    if (n.kind != decnum::kFinite || (n.coef >> 64) != 0) return 0;
    uint64 c = static_cast<uint64>(n.coef);
    int64 e = n.exp;
    size_t pos = 0;
    if (n.neg) out[pos++] = '-';
    if (c == 0) {  // reduced to exponent 0: "0" or "-0"
        out[pos++] = '0';
        return pos;
    }
    while (c % 10 == 0) {
        c /= 10;
        ++e;
    }
    if (e > 20 || e < -40) return 0;
    const size_t len = DigitCount(c);
    // Past 38 digits the text rules would not read the text back.
    if (e >= 0 && len + static_cast<size_t>(e) > static_cast<size_t>(decnum::kPrecision)) return 0;
    constexpr size_t kZeros = 40;
    static_assert(CL_Decimal::kShortStringRoom >= 1 + 2 + kZeros, "room for runs of zeros");
    if (e >= 0) {
        LowDigitsBefore(&c, len, out + pos + len);
        memset(out + pos + len, '0', kZeros / 2);  // 1 + 20 + 20 bytes at most
        return pos + len + static_cast<size_t>(e);
    }
    const size_t frac = static_cast<size_t>(-e);
    if (len > frac) {
        const size_t whole = len - frac;
        LowDigitsBefore(&c, frac, out + pos + len + 1);
        out[pos + whole] = '.';
        LowDigitsBefore(&c, whole, out + pos + whole);
        return pos + len + 1;
    }
    out[pos++] = '0';
    out[pos++] = '.';
    memset(out + pos, '0', kZeros);
    LowDigitsBefore(&c, len, out + pos + frac);
    return pos + frac;
}

// FromPrintedString's fast path: the plain texts peers write ("-123.45": a sign, at
// most 19 digits and one point between digits) read to the same reduced number as
// the text constructor gives, without its general parser. False leaves any other
// text to that parser.
bool ParsePlainDecimal(const char* text, size_t length, Number* out) {
    size_t i = 0;
    bool neg = false;
    if (length && text[0] == '-') {
        neg = true;
        i = 1;
    }
    uint64 c = 0;
    int64 exp = 0;
    size_t digits = 0;
    bool point = false;
    for (; i < length; i++) {
        char ch = text[i];
        if (ch >= '0' && ch <= '9') {
            if (++digits > 19) return false;
            c = c * 10 + static_cast<uint64>(ch - '0');
            if (point) --exp;
        } else if (ch == '.' && !point && digits && i + 1 < length) {
            point = true;
        } else {
            return false;
        }
    }
    if (!digits) return false;
    if (c == 0) {
        exp = 0;
    } else {
        while (c % 10 == 0) {
            c /= 10;
            ++exp;
        }
    }
    *out = decnum::MakeFinite(neg, c, exp);
    return true;
}

}  // namespace

size_t CL_Decimal::ToShortString(char* out) const {
    return ShortString(GetNumber(), out);
}

CL_Decimal CL_Decimal::FromPrintedString(const char* text, size_t length) {
    Number plain;
    if (length <= 24 && ParsePlainDecimal(text, length, &plain)) return CL_Decimal(plain);
    if (length > 38) {
        std::string compact = CompactDecimalText(text, length);
        return CL_Decimal(compact.data(), static_cast<unsigned long>(compact.size()));
    }
    return CL_Decimal(text, static_cast<unsigned long>(length));
}

std::string CL_Decimal::ToParsableString() const {
    char room[kShortStringRoom];
    size_t n = ToShortString(room);
    if (n) return std::string(room, n);
    const Number v = GetNumber();
    if (!v.IsFinite() || v.coef == 0) return ToString(-1, false);
    // The reduced value: its plain text is what ToString(-1, false) prints.
    uint32 status = 0;
    Number r;
    decnum::Reduce(&r, v, sContext, &status);
    const int64 digits = decnum::Digits(r.coef);
    const int64 length = r.exp >= 0 ? digits + r.exp : (digits > -r.exp ? digits + 1 : 2 - r.exp);
    const bool readable = r.exp >= 0 ? digits + r.exp <= decnum::kPrecision
                                     : length + (r.neg ? 1 : 0) <= int64(kMaxParseLength);
    if (readable) return ToString(-1, false);
    char buf[decnum::kSciBufferSize];
    return std::string(buf, decnum::ToSci(r, buf));
}

// Compound operators: the engine result in the shared context, status ignored.
namespace {

typedef void (*BinaryOp)(Number*, const Number&, const Number&, const decnum::Context&, uint32*);

inline Number Apply(BinaryOp op, const Number& a, const Number& b) {
    uint32 status = 0;
    Number r;
    op(&r, a, b, sContext, &status);
    return r;
}

}  // namespace

// Sums and differences of two decimals take the engine's quick path inline when it
// applies; the engine gives the same result for them.
CL_Decimal& CL_Decimal::operator+=(const CL_Decimal& other) {
    Number a, b, r;
    memcpy(&a, &fMPD, sizeof a);
    memcpy(&b, &other.fMPD, sizeof b);
    if (!decnum::AddQuick(&r, a, b, b.neg, sContext)) r = Apply(decnum::Add, a, b);
    Set(r);
    return *this;
}
CL_Decimal& CL_Decimal::operator-=(const CL_Decimal& other) {
    Number a, b, r;
    memcpy(&a, &fMPD, sizeof a);
    memcpy(&b, &other.fMPD, sizeof b);
    if (!decnum::AddQuick(&r, a, b, !b.neg, sContext)) r = Apply(decnum::Subtract, a, b);
    Set(r);
    return *this;
}

#define CL_DECIMAL_ADD_OPS(T, CONVERT)                             \
    CL_Decimal& CL_Decimal::operator+=(T value) {                  \
        Set(Apply(decnum::Add, GetNumber(), CONVERT(value)));      \
        return *this;                                              \
    }                                                              \
    CL_Decimal& CL_Decimal::operator-=(T value) {                  \
        Set(Apply(decnum::Subtract, GetNumber(), CONVERT(value))); \
        return *this;                                              \
    }

#define CL_DECIMAL_OPS(T, CONVERT, CONVERT_REM) \
    CL_DECIMAL_MUL_OPS(T, CONVERT, CONVERT_REM) \
    CL_DECIMAL_ADD_OPS(T, CONVERT)

#define CL_DECIMAL_MUL_OPS(T, CONVERT, CONVERT_REM)                     \
    CL_Decimal& CL_Decimal::operator*=(T value) {                       \
        Set(Apply(decnum::Multiply, GetNumber(), CONVERT(value)));      \
        return *this;                                                   \
    }                                                                   \
    CL_Decimal& CL_Decimal::operator/=(T value) {                       \
        Set(Apply(decnum::Divide, GetNumber(), CONVERT(value)));        \
        return *this;                                                   \
    }                                                                   \
    CL_Decimal& CL_Decimal::operator%=(T value) {                       \
        Set(Apply(decnum::Remainder, GetNumber(), CONVERT_REM(value))); \
        return *this;                                                   \
    }

namespace {
inline Number AsIs(const CL_Decimal& v) {
    return v.GetNumber();
}
inline Number Signed32(long long v) {
    return decnum::FromInt64(static_cast<int32>(v));
}
inline Number Unsigned32(unsigned long long v) {
    return decnum::FromUInt64(static_cast<uint32>(v));
}
inline Number UnsignedMillionths(unsigned long long v) {
    return Millionths(false, v);
}
}  // namespace

CL_DECIMAL_MUL_OPS(const CL_Decimal&, AsIs, AsIs)
CL_DECIMAL_OPS(int, Signed32, Signed32)
CL_DECIMAL_OPS(long, Signed32, Signed32)
CL_DECIMAL_OPS(unsigned int, Unsigned32, Unsigned32)
CL_DECIMAL_OPS(unsigned long, Unsigned32, Unsigned32)
CL_DECIMAL_OPS(double, FromDoubleRounded, FromDoubleStrict)
CL_DECIMAL_OPS(long long, FromSigned64Millionths, FromSigned64Millionths)
CL_DECIMAL_OPS(unsigned long long, UnsignedMillionths, UnsignedMillionths)
#undef CL_DECIMAL_OPS
#undef CL_DECIMAL_MUL_OPS
#undef CL_DECIMAL_ADD_OPS

CL_Decimal& CL_Decimal::operator++() {
    return *this += 1;
}
CL_Decimal CL_Decimal::operator++(int) {
    CL_Decimal old(*this);
    *this += 1;
    return old;
}
CL_Decimal& CL_Decimal::operator--() {
    return *this += -1;
}
CL_Decimal CL_Decimal::operator--(int) {
    CL_Decimal old(*this);
    *this += -1;
    return old;
}

CL_Decimal CL_Decimal::operator-() const {
    return CL_Decimal(decnum::CopyNegate(GetNumber()));
}

CL_Decimal CL_Decimal::Abs() const {
    uint32 status = 0;
    Number r;
    decnum::Abs(&r, GetNumber(), sContext, &status);
    return CL_Decimal(r);
}

CL_Decimal CL_Decimal::Fractional() const {
    CL_Decimal whole = GetNumber().neg ? Ceil(0) : Floor(0);
    return CL_Decimal(Apply(decnum::Subtract, GetNumber(), whole.GetNumber()));
}

CL_Decimal CL_Decimal::Pow(const CL_Decimal& exponent) const {
    return CL_Decimal(Apply(decnum::Power, GetNumber(), exponent.GetNumber()));
}

namespace {

Number RoundToStep(const Number& value, const Number& step, decnum::Rounding round) {
    const decnum::Context ctx = WithRounding(round);
    uint32 status = 0;
    Number reducedStep, quotient, whole, result;
    decnum::Reduce(&reducedStep, step, ctx, &status);
    decnum::Divide(&quotient, value, reducedStep, ctx, &status);
    decnum::Rescale(&whole, quotient, 0, ctx, &status);
    decnum::Multiply(&result, whole, reducedStep, ctx, &status);
    return result;
}

Number RoundToPlaces(const Number& value, int decimals, decnum::Rounding round) {
    const decnum::Context ctx = WithRounding(round);
    uint32 status = 0;
    Number result;
    decnum::Rescale(&result, value, -static_cast<int64>(decimals), ctx, &status);
    return result;
}

// The engine rounding of a mode; false for NONE and unknown modes, which leave the
// value as it is.
bool EngineRounding(CL_Decimal::RoundType mode, decnum::Rounding* round) {
    switch (mode) {
        case CL_Decimal::ROUND:
            *round = decnum::kRoundHalfUp;
            return true;
        case CL_Decimal::FLOOR:
            *round = decnum::kRoundFloor;
            return true;
        case CL_Decimal::CEIL:
            *round = decnum::kRoundCeiling;
            return true;
        default:
            return false;
    }
}

Number RoundBy(const Number& value, const Number& step, CL_Decimal::RoundType mode) {
    decnum::Rounding round;
    return EngineRounding(mode, &round) ? RoundToStep(value, step, round) : value;
}

Number RoundBy(const Number& value, int decimals, CL_Decimal::RoundType mode) {
    decnum::Rounding round;
    return EngineRounding(mode, &round) ? RoundToPlaces(value, decimals, round) : value;
}

}  // namespace

CL_Decimal CL_Decimal::Round(const CL_Decimal& step) const {
    return CL_Decimal(RoundToStep(GetNumber(), step.GetNumber(), decnum::kRoundHalfUp));
}
CL_Decimal CL_Decimal::Floor(const CL_Decimal& step) const {
    return CL_Decimal(RoundToStep(GetNumber(), step.GetNumber(), decnum::kRoundFloor));
}
CL_Decimal CL_Decimal::Ceil(const CL_Decimal& step) const {
    return CL_Decimal(RoundToStep(GetNumber(), step.GetNumber(), decnum::kRoundCeiling));
}
CL_Decimal CL_Decimal::Round(int decimals) const {
    return CL_Decimal(RoundToPlaces(GetNumber(), decimals, decnum::kRoundHalfUp));
}
CL_Decimal CL_Decimal::Floor(int decimals) const {
    return CL_Decimal(RoundToPlaces(GetNumber(), decimals, decnum::kRoundFloor));
}
CL_Decimal CL_Decimal::Ceil(int decimals) const {
    return CL_Decimal(RoundToPlaces(GetNumber(), decimals, decnum::kRoundCeiling));
}

CL_Decimal CL_Decimal::Multiply(const CL_Decimal& other, const CL_Decimal& step,
                                RoundType mode) const {
    Number product = Apply(decnum::Multiply, GetNumber(), other.GetNumber());
    return CL_Decimal(RoundBy(product, step.GetNumber(), mode));
}
CL_Decimal CL_Decimal::Multiply(const CL_Decimal& other, int decimals, RoundType mode) const {
    Number product = Apply(decnum::Multiply, GetNumber(), other.GetNumber());
    return CL_Decimal(RoundBy(product, decimals, mode));
}
CL_Decimal CL_Decimal::Divide(const CL_Decimal& other, const CL_Decimal& step,
                              RoundType mode) const {
    Number quotient = Apply(decnum::Divide, GetNumber(), other.GetNumber());
    return CL_Decimal(RoundBy(quotient, step.GetNumber(), mode));
}
CL_Decimal CL_Decimal::Divide(const CL_Decimal& other, int decimals, RoundType mode) const {
    Number quotient = Apply(decnum::Divide, GetNumber(), other.GetNumber());
    return CL_Decimal(RoundBy(quotient, decimals, mode));
}

int CL_Decimal::Compare(const CL_Decimal& other) const {
    int32 result;
    if (!decnum::Compare(GetNumber(), other.GetNumber(), &result)) return INT_MAX;
    return result;
}

void CL_Decimal::Init() {
    uint32 expected = 0;
    if (!sDecimalInited.compare_exchange_strong(expected, 1)) return;
    CLocale();
}

void CL_Decimal::Cleanup() {
    if (sDecimalInited.load() == 0) return;
    locale_t loc = sCLocale.exchange(nullptr);
    if (loc) freelocale(loc);
}

const decnum::Context& CL_Decimal::GetContext() {
    return sContext;
}
