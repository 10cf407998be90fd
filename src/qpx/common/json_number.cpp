// A JSON number's text as a decimal: its significant digits and exponent read, then
// rounded half up to the 38 digits a decimal holds.
#include "qpx/common/json_number.h"

#include <string>

namespace {

constexpr size_t kDigits = 38;
// Exponents are clamped here, far past the decimals' own range, so that the
// arithmetic on them cannot overflow.
constexpr long long kExponentClamp = 4000000000000000000LL;

// The significant digits of a number, leading zeros left out, kept up to one beyond
// those a decimal holds, and the power of ten of the last digit kept.
struct Mantissa {
    bool fNegative = false;
    std::string fDigits;
    long long fExponent = 0;
};

// Reads the sign, the integer and the fraction digits; returns where the text goes on.
size_t ReadMantissa(const char* text, size_t length, Mantissa* m) {
    size_t i = 0;
    m->fNegative = i < length && text[i] == '-';
    if (m->fNegative) ++i;
    bool point = false;
    for (; i < length; ++i) {
        char ch = text[i];
        if (ch == '.') {
            point = true;
        } else if (ch >= '0' && ch <= '9') {
            if (m->fDigits.empty() && ch == '0') {
                if (point) --m->fExponent;
                continue;
            }
            if (m->fDigits.size() <= kDigits) {
                m->fDigits.push_back(ch);
                if (point) --m->fExponent;
            } else if (!point) {
                ++m->fExponent;  // a dropped integer digit still counts a place
            }
        } else {
            break;
        }
    }
    return i;
}

// The exponent part from `i` on ("e", a sign, digits), clamped; 0 without one.
long long ReadExponent(const char* text, size_t length, size_t i) {
    if (i >= length || (text[i] != 'e' && text[i] != 'E')) return 0;
    ++i;
    bool negative = i < length && text[i] == '-';
    if (i < length && (text[i] == '-' || text[i] == '+')) ++i;
    long long e = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i)
        e = e < kExponentClamp / 10 ? e * 10 + (text[i] - '0') : kExponentClamp;
    return negative ? -e : e;
}

// Half up on the first dropped digit; the dropped digits beyond it only matter
// through it.
void RoundHalfUp(Mantissa* m) {
    std::string& digits = m->fDigits;
    if (digits.size() <= kDigits) return;
    bool up = digits[kDigits] >= '5';
    digits.resize(kDigits);
    m->fExponent += 1;
    if (!up) return;
    size_t k = kDigits;
    while (k > 0 && digits[k - 1] == '9')
        digits[--k] = '0';
    if (k == 0) {
        digits.insert(digits.begin(), '1');
        digits.pop_back();
        m->fExponent += 1;
    } else {
        digits[k - 1]++;
    }
}

}  // namespace

bool QPX_JSONNumber(const char* text, size_t length, CL_Decimal* value) {
    Mantissa m;
    size_t end = ReadMantissa(text, length, &m);
    m.fExponent += ReadExponent(text, length, end);
    if (m.fDigits.empty()) {
        *value = CL_Decimal();
        return true;
    }
    RoundHalfUp(&m);
    std::string normal = (m.fNegative ? "-" : "") + m.fDigits + "E" + std::to_string(m.fExponent);
    bool invalid = false;
    CL_Decimal parsed;
    parsed.FromString(normal, &invalid, nullptr);
    if (invalid || parsed.ToString(-1, false).empty()) return false;
    *value = parsed;
    return true;
}
