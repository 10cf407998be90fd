// Exact decimal numbers of the value model: 38 significant digits, rounding half up,
// with the text syntax, the fixed-point printing and the integer forms (millionths for
// the 64-bit ones) that the rest of the library relies on.
#pragma once

#include <string>

#include "lumo/base_types.h"

namespace decnum {
struct Context;
struct Number;
}  // namespace decnum

class CL_LocaleInfo;

// One decimal value computed in the process-wide context (precision 38, half-up, quiet).
// The value is held inline: copies, arithmetic and printing never touch the heap.
// A plain value: objects on different threads are independent; the context is
// read-only between start-up and exit.
//
// A value is held only within the range that prints in full: its first digit at most
// 10^kMaxExponent, its last at least 10^kMinExponent (the limits of a decimal context
// with Emax 99999 and Emin -99999). A result beyond the largest becomes an infinity of
// its sign, one below the smallest digit is rounded half up to it (to zero when nothing
// is left), and a text beyond either is refused as out of range.
class CL_Decimal {
public:
    enum RoundType { NONE = 0, ROUND = 1, FLOOR = 2, CEIL = 3 };

    static constexpr long long kMaxExponent = 99999;
    static constexpr long long kMinExponent = -99999 - 37;

    CL_Decimal();
    CL_Decimal(const CL_Decimal& other) = default;
    CL_Decimal(CL_Decimal&& other) noexcept = default;
    // Whole numbers; `long` and `unsigned long` keep only their low 32 bits.
    CL_Decimal(int value);
    CL_Decimal(unsigned int value);
    CL_Decimal(long value);
    CL_Decimal(unsigned long value);
    // Counts of millionths: 1500000 is 1.5.
    CL_Decimal(long long value);
    CL_Decimal(unsigned long long value);
    // The "%f" text of the double (six decimals) parsed by the text rules: 0 when it has
    // more than 38 significant digits.
    CL_Decimal(double value);
    CL_Decimal(const std::string& text);
    // A length that is negative as a signed 32-bit number means "up to the NUL".
    CL_Decimal(const char* text, unsigned long length);
    // The engine's number, brought into the held range as results are.
    explicit CL_Decimal(const decnum::Number& value);
    ~CL_Decimal() = default;

    CL_Decimal& operator=(const CL_Decimal& other) = default;
    CL_Decimal& operator=(CL_Decimal&& other) noexcept = default;
    CL_Decimal& operator=(int value);
    CL_Decimal& operator=(long long value);
    CL_Decimal& operator=(unsigned long long value);
    // The "%f" text rounded half up to 38 digits (never rejected), trailing zeros removed.
    CL_Decimal& operator=(double value);

    // Parse with report; a text longer than 1024 bytes, with more than 38 significant
    // digits or out of range sets both flags, a syntax error only `invalid`. Either
    // pointer may be null. The value is 0 on failure.
    bool FromString(const std::string& text, bool* invalid = nullptr, bool* overflow = nullptr);
    bool FromRawString(const char* text, unsigned long length, bool* invalid = nullptr,
                       bool* overflow = nullptr);
    static CL_Decimal FromInt64(long long value);
    static CL_Decimal FromScaledInt64(long long value);

    // Floor, then 32 bits; 2147483647 for NaN, Infinity or out of range.
    operator int() const;
    operator long() const;
    // Floor of the value in millionths; 9223372036854775807 when it does not fit.
    operator long long() const;
    operator double() const;
    operator bool() const;
    bool operator!() const;

    // Floor as a plain integer (ToInt64) or in millionths (ToScaledInt64). On failure the
    // result is 0 with *overflow true, or 9223372036854775807 without a flag pointer.
    long long ToInt64(bool* overflow = nullptr) const;
    long long ToScaledInt64(bool* overflow = nullptr) const;

    // Fixed-point text, never an exponent: `decimals` places (negative: all the digits,
    // or 2 when localized), cut toward minus infinity. Localized uses the separators of
    // the environment's locale and groups by three; a thousands separator equal to the
    // decimal one is written as '.' beside a decimal ',' and as ',' beside any other.
    // Every value prints whole with all its digits or localized; only a count of
    // `decimals` that would make the text pass kMaxTextLength bytes gives the empty text.
    std::string ToString(int decimals = -1, bool localized = false) const;
    // As ToString, with the separators of the given locale (the thousands one replaced as
    // above); a negative `decimals` gives 2.
    std::string ToString(int decimals, const CL_LocaleInfo& locale) const;
    // As ToString, in a heap text that the caller releases with free().
    char* ToRawString(int decimals = -1, bool localized = false) const;
    static constexpr size_t kMaxTextLength = size_t(1) << 20;
    // The text of ToString(-1, false) for the common values (a coefficient within 64
    // bits, a small exponent and at most 38 digits, so that the text rules read it back),
    // written into `out` (kShortStringRoom bytes, no NUL) without the general formatter;
    // the bytes of the room past the text may be overwritten. Its length, or 0 when the
    // value needs ToString.
    size_t ToShortString(char* out) const;
    static constexpr size_t kShortStringRoom = 64;
    // A text that the text rules read back to this very value: the plain digits of
    // ToString(-1, false) where they hold at most 38 significant digits in at most 1024
    // bytes, the scientific form (1E+38, 1.5E-2000) otherwise; NaN and the infinities
    // by name.
    std::string ToParsableString() const;
    // Reads a text that ToString(-1, false) printed, whatever its length: the digits are
    // taken as they stand (leading and trailing zeros included), so every value printed
    // reads back. Other texts read as the text constructor reads them.
    static CL_Decimal FromPrintedString(const char* text, size_t length);

    CL_Decimal& operator+=(const CL_Decimal& other);
    CL_Decimal& operator-=(const CL_Decimal& other);
    CL_Decimal& operator*=(const CL_Decimal& other);
    CL_Decimal& operator/=(const CL_Decimal& other);
    CL_Decimal& operator%=(const CL_Decimal& other);
#define CL_DECIMAL_COMPOUND(T)       \
    CL_Decimal& operator+=(T value); \
    CL_Decimal& operator-=(T value); \
    CL_Decimal& operator*=(T value); \
    CL_Decimal& operator/=(T value); \
    CL_Decimal& operator%=(T value);
    CL_DECIMAL_COMPOUND(int)
    CL_DECIMAL_COMPOUND(unsigned int)
    CL_DECIMAL_COMPOUND(long)
    CL_DECIMAL_COMPOUND(unsigned long)
    CL_DECIMAL_COMPOUND(double)
    CL_DECIMAL_COMPOUND(long long)
    CL_DECIMAL_COMPOUND(unsigned long long)
#undef CL_DECIMAL_COMPOUND

    CL_Decimal& operator++();
    CL_Decimal operator++(int);
    CL_Decimal& operator--();
    CL_Decimal operator--(int);
    // Sign flipped, also for zero and NaN.
    CL_Decimal operator-() const;

    CL_Decimal Abs() const;
    // The part after the point, with the sign of the value (-1.25 gives -0.25).
    CL_Decimal Fractional() const;
    CL_Decimal Pow(const CL_Decimal& exponent) const;
    // To a multiple of `step` (value / step made whole, times step), or to `decimals`
    // places (negative: tens, hundreds ...); NaN when more than 38 digits are needed.
    CL_Decimal Round(const CL_Decimal& step) const;
    CL_Decimal Floor(const CL_Decimal& step) const;
    CL_Decimal Ceil(const CL_Decimal& step) const;
    CL_Decimal Round(int decimals) const;
    CL_Decimal Floor(int decimals) const;
    CL_Decimal Ceil(int decimals) const;
    CL_Decimal Multiply(const CL_Decimal& other, const CL_Decimal& step, RoundType mode) const;
    CL_Decimal Multiply(const CL_Decimal& other, int decimals, RoundType mode) const;
    CL_Decimal Divide(const CL_Decimal& other, const CL_Decimal& step, RoundType mode) const;
    CL_Decimal Divide(const CL_Decimal& other, int decimals, RoundType mode) const;
    // -1, 0 or 1; 2147483647 when either side is NaN.
    int Compare(const CL_Decimal& other) const;

    // The engine's form of the value.
    decnum::Number GetNumber() const;

    static void Init();
    static void Cleanup();
    static const decnum::Context& GetContext();

private:
    // The engine's number (coefficient, exponent, kind and sign) as raw bytes: the number
    // has padding, and only a byte array may carry its indeterminate bits through a copy.
    struct Storage {
        alignas(8) unsigned char fBytes[32];
    };

    void Set(const decnum::Number& value);
    std::string Format(int decimals, bool allDigits, const char* point, const char* sep) const;

    Storage fMPD;
};
