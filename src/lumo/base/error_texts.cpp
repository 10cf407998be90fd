// Texts of the base library's status codes, from the one list in status.h. They are the
// Italian source texts that the translator looks up.
#include <cstddef>

#include "lumo/translator.h"

namespace {

struct ErrorText {
    int32 fCode;
    const char* fText;
};

#define CL_STATUS_TEXT(name, code, text) {code, text},
const ErrorText kErrorTexts[] = {CL_STATUS_LIST(CL_STATUS_TEXT)};
#undef CL_STATUS_TEXT

}  // namespace

const char* CL_GetError(CL_Status code) {
    size_t lo = 0, hi = sizeof(kErrorTexts) / sizeof(kErrorTexts[0]);
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (kErrorTexts[mid].fCode < code)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == sizeof(kErrorTexts) / sizeof(kErrorTexts[0]) || kErrorTexts[lo].fCode != code)
        return nullptr;
    return CL_Translator::Get().Translate(kErrorTexts[lo].fText, nullptr);
}
