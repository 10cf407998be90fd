// Fuzz target for decimal text. Text that parses prints, with every digit, to text
// that reads back to the same value, and so does its parsable form; fixed-place,
// localized and integer forms of any value come out without fault.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "lumo/base/decnum/decnum.h"
#include "lumo/decimal.h"
#include "lumo/init.h"

namespace {

// Same value: numerically equal with the same sign, or both NaN.
bool Same(const CL_Decimal& a, const CL_Decimal& b) {
    decnum::Number x = a.GetNumber(), y = b.GetNumber();
    if (x.IsNaN() || y.IsNaN()) return x.IsNaN() && y.IsNaN();
    return a.Compare(b) == 0 && x.neg == y.neg;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CL_Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    int places = static_cast<int>(data[0] % 48) - 8;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    CL_Decimal value;
    bool invalid = false, overflow = false;
    bool ok = value.FromString(text, &invalid, &overflow);
    if (ok == invalid || (overflow && !invalid)) abort();
    // The raw form stops at the first NUL, as a C string would.
    CL_Decimal raw;
    bool rawOk = raw.FromRawString(text.c_str(), static_cast<unsigned long>(-1));
    if (text.find('\0') == std::string::npos && (rawOk != ok || (ok && !Same(raw, value)))) abort();
    if (!ok) {
        if (!Same(value, CL_Decimal(0))) abort();
        return 0;
    }

    // Every value held prints whole, and reads back from all its digits as from the
    // text the text rules take.
    std::string printed = value.ToString();
    if (printed.empty()) abort();
    CL_Decimal back;
    if (back.FromString(printed) && !Same(back, value)) abort();
    if (!Same(CL_Decimal::FromPrintedString(printed.data(), printed.size()), value)) abort();
    if (!back.FromString(value.ToParsableString()) || !Same(back, value)) abort();

    (void)value.ToString(places);
    (void)value.ToString(places, true);
    (void)value.ToInt64();
    (void)value.ToScaledInt64();
    (void)static_cast<double>(value);
    (void)static_cast<int>(value);
    (void)value.Round(places);
    (void)value.Floor(places);
    (void)value.Ceil(places);
    return 0;
}
