#include "qpx/common/json_number.h"

#include <string>

namespace {

constexpr size_t kDigits = 38;
// Exponents are clamped here, far past the decimals' own range, so that the
// arithmetic on them cannot overflow.
constexpr long long kExponentClamp = 4000000000000000000LL;

}  // namespace

bool QPX_JSONNumber(const char* text, size_t length, CL_Decimal* value) {
    size_t i = 0;
    bool negative = i < length && text[i] == '-';
    if (negative) ++i;
    std::string digits;
    long long exponent = 0;
    bool point = false;
    for (; i < length; ++i) {
        char ch = text[i];
        if (ch == '.') {
            point = true;
        } else if (ch >= '0' && ch <= '9') {
            if (digits.empty() && ch == '0') {
                if (point) --exponent;
                continue;
            }
            if (digits.size() <= kDigits) {
                digits.push_back(ch);
                if (point) --exponent;
            } else if (!point) {
                ++exponent;  // a dropped integer digit still counts a place
            }
        } else {
            break;
        }
    }
    if (i < length && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool expNegative = i < length && text[i] == '-';
        if (i < length && (text[i] == '-' || text[i] == '+')) ++i;
        long long e = 0;
        for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i)
            e = e < kExponentClamp / 10 ? e * 10 + (text[i] - '0') : kExponentClamp;
        exponent += expNegative ? -e : e;
    }
    if (digits.empty()) {
        *value = CL_Decimal();
        return true;
    }
    // Half up on the first dropped digit; the dropped digits beyond it only matter
    // through it.
    if (digits.size() > kDigits) {
        bool up = digits[kDigits] >= '5';
        digits.resize(kDigits);
        exponent += 1;
        if (up) {
            size_t k = kDigits;
            while (k > 0 && digits[k - 1] == '9')
                digits[--k] = '0';
            if (k == 0) {
                digits.insert(digits.begin(), '1');
                digits.pop_back();
                exponent += 1;
            } else {
                digits[k - 1]++;
            }
        }
    }
    std::string normal = (negative ? "-" : "") + digits + "E" + std::to_string(exponent);
    bool invalid = false;
    CL_Decimal parsed;
    parsed.FromString(normal, &invalid, nullptr);
    if (invalid || parsed.ToString(-1, false).empty()) return false;
    *value = parsed;
    return true;
}
