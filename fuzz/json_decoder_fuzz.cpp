// The JSON decoder's event stream without Python: yajl configured as the decoder
// configures it, fed in two chunks, with the decoder's number and string rules applied
// to every token. Any input must parse or fail cleanly, and each rule's answer must
// hold: small ints in range, big integers as plain digits within the size limit,
// dates, times and timestamps only for exact texts of existing days that the base
// library reads to the same fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <yajl/yajl_parse.h>

#include "_zelmolib/json_events.h"

namespace {

void Check(bool condition) {
    if (!condition) abort();
}

int OnNull(void*) {
    return 1;
}

int OnBoolean(void*, int) {
    return 1;
}

int OnNumber(void*, const char* text, size_t length) {
    int32_t small = 0;
    CL_Decimal decimal;
    std::string digits;
    switch (QPX::ClassifyJSONNumber(text, length, &small, &decimal, &digits)) {
        case QPX::JSONNumberKind::kInt:
            break;
        case QPX::JSONNumberKind::kDecimal:
            decimal.ToString(-1, false);
            break;
        case QPX::JSONNumberKind::kBigInt: {
            size_t start = !digits.empty() && digits[0] == '-' ? 1 : 0;
            Check(digits.size() > start && digits.size() <= QPX::kJSONMaxIntegerDigits + 1);
            Check(digits[start] != '0');
            for (size_t i = start; i < digits.size(); ++i)
                Check(digits[i] >= '0' && digits[i] <= '9');
            break;
        }
        case QPX::JSONNumberKind::kOverflow:
            break;
    }
    return 1;
}

int OnString(void*, const unsigned char* bytes, size_t length) {
    const char* text = reinterpret_cast<const char*>(bytes);
    QPX::JSONTextFields f;
    std::string_view view(text, length);
    switch (QPX::ClassifyJSONText(text, length, &f)) {
        case QPX::JSONTextKind::kText:
            break;
        case QPX::JSONTextKind::kDate: {
            Check(f.fYear >= 1 && f.fMonth >= 1 && f.fMonth <= 12 && f.fDay >= 1 &&
                  f.fDay <= CL_Date::MonthRange(f.fMonth, f.fYear));
            // Gregorian years, where the base library's calendar agrees.
            if (f.fYear > 1582) {
                CL_Date date;
                Check(date.FromString(view));
                int d, m, y;
                date.GetFields(&d, &m, &y);
                Check(d == f.fDay && m == f.fMonth && y == f.fYear);
            }
            break;
        }
        case QPX::JSONTextKind::kTime: {
            Check(f.fHour <= 23 && f.fMinute <= 59 && f.fSecond <= 59);
            CL_Time time;
            Check(time.FromString(view));
            Check(time.GetHour() == f.fHour && time.GetMin() == f.fMinute &&
                  time.GetSec() == f.fSecond);
            break;
        }
        case QPX::JSONTextKind::kTimeStamp: {
            Check(f.fHour <= 23 && f.fMinute <= 59 && f.fSecond <= 59);
            Check(f.fDay <= CL_Date::MonthRange(f.fMonth, f.fYear) && f.fYear >= 1);
            if (f.fYear > 1582) {
                CL_TimeStamp ts;
                Check(ts.FromString(view, CL_TIMESTAMP_ISO_FORMAT));
                Check(ts.GetYear() == f.fYear && ts.GetMonth() == f.fMonth &&
                      ts.GetDay() == f.fDay && ts.GetHour() == f.fHour &&
                      ts.GetMin() == f.fMinute && ts.GetSec() == f.fSecond);
            }
            break;
        }
    }
    return 1;
}

int OnKey(void*, const unsigned char*, size_t) {
    return 1;
}

int OnStructure(void*) {
    return 1;
}

const yajl_callbacks kCallbacks = {
    OnNull,      // null
    OnBoolean,   // boolean
    nullptr,     // integer: numbers arrive as text
    nullptr,     // double
    OnNumber,    // number
    OnString,    // string
    OnStructure, // start map
    OnKey,       // map key
    OnStructure, // end map
    OnStructure, // start array
    OnStructure, // end array
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte chooses where the text is cut into two chunks.
    size_t cut = data[0] % size;
    const char* text = reinterpret_cast<const char*>(data + 1);
    size_t length = size - 1;
    cut = cut > length ? length : cut;
    yajl_handle parser = yajl_alloc(&kCallbacks, nullptr, nullptr);
    yajl_config(parser, yajl_allow_comments, 1);
    yajl_config(parser, yajl_dont_validate_strings, 1);
    std::string first, second;
    const char* a = QPX::JSONRefuseOddSpace(text, cut, &first);
    const char* b = QPX::JSONRefuseOddSpace(text + cut, length - cut, &second);
    yajl_status status = yajl_parse(parser, reinterpret_cast<const unsigned char*>(a), cut);
    if (status == yajl_status_ok)
        status = yajl_parse(parser, reinterpret_cast<const unsigned char*>(b), length - cut);
    if (status == yajl_status_ok) status = yajl_complete_parse(parser);
    if (status != yajl_status_ok) {
        // As the decoder reports it: the short message, no excerpt of the text.
        unsigned char* message = yajl_get_error(
            parser, 0, reinterpret_cast<const unsigned char*>(b), length - cut);
        Check(message != nullptr);
        yajl_free_error(parser, message);
    }
    yajl_free(parser);
    return 0;
}
