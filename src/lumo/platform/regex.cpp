// Pattern compilation, the shared pattern cache and matching over PCRE2.
#include "lumo/regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <climits>
#include <cstring>

CL_RecursiveMutex CL_RegEx::sLock;
CL_LRUCache<std::string, CL_RefCounted<CL_RegEx::REGEX>>* CL_RegEx::sCache = nullptr;

namespace {

constexpr uint32 kCacheSize = 256;

// Carries the newline convention of every compilation; guarded by CL_RegEx::sLock.
pcre2_compile_context* sCompileContext = nullptr;

pcre2_code* CodeOf(const CL_RegEx::REGEX* re) {
    return static_cast<pcre2_code*>(re->fCode);
}

void Prepare(CL_RegEx::REGEX* re) {
    pcre2_code* code = CodeOf(re);
    if (!code) return;
    // Without JIT support (or on failure) pcre2_match falls back to the interpreter.
    pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    uint32_t groups = 0;
    pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &groups);
    re->fCaptureCount = groups;
}

// Compiles re->fPattern; the caller holds CL_RegEx::sLock.
void Compile(CL_RegEx::REGEX* re) {
    pcre2_compile_context* context = sCompileContext;
    pcre2_compile_context* own = nullptr;
    if (!context) {
        own = pcre2_compile_context_create(nullptr);
        if (own) pcre2_set_newline(own, PCRE2_NEWLINE_ANY);
        context = own;
    }
    int error = 0;
    PCRE2_SIZE offset = 0;
    re->fCode = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(re->fPattern.data()),
                              re->fPattern.size(), PCRE2_UTF, &error, &offset, context);
    if (own) pcre2_compile_context_free(own);
    if (!re->fCode) {
        PCRE2_UCHAR message[256];
        int length = pcre2_get_error_message(error, message, sizeof(message));
        re->fError = length > 0 ? std::string(reinterpret_cast<char*>(message), length)
                                : std::string("pattern error");
        re->fErrorPos = offset > INT32_MAX ? INT32_MAX : static_cast<int32>(offset);
        return;
    }
    Prepare(re);
}

// One search over a subject, with match data that can be reused across calls.
class Searcher {
public:
    explicit Searcher(pcre2_code* code)
        : fCode(code), fData(pcre2_match_data_create_from_pattern(code, nullptr)) {}
    ~Searcher() {
        if (fData) pcre2_match_data_free(fData);
    }
    Searcher(const Searcher&) = delete;
    Searcher& operator=(const Searcher&) = delete;

    // Searches `text` from the end of `previous` (or from 0) into `match`. `checked`
    // says the bytes are known to be valid UTF-8; otherwise PCRE2 checks them, and a
    // search from 0 leaves them marked as checked in the match. Without `allGroups`
    // only the groups a CL_Match holds are reported and a match setting more of them
    // is no failure: a whole-text test needs entry 0 alone.
    CL_Status Run(std::string_view text, CL_Match* match, const CL_Match* previous,
                  bool allGroups = true) {
        if (!match) return CL_ERROR;
        if (!fData) return CL_OUT_OF_MEMORY;
        if (text.size() > static_cast<size_t>(INT32_MAX)) return CL_ERROR;
        size_t start = 0;
        bool checked = false;
        if (previous) {
            checked =
                previous->fCheckedData == text.data() && previous->fCheckedSize == text.size();
            if (previous->fNumGroups > 0 && previous->fEnd[0] >= 0) {
                start = static_cast<size_t>(previous->fEnd[0]);
                // A search from the end of an empty match would find it again.
                // Stepping over the lead byte and its continuation bytes is safe also on
                // unchecked text, which PCRE2 then checks itself.
                if (previous->fStart[0] == previous->fEnd[0] && start < text.size()) {
                    start++;
                    while (start < text.size() && (static_cast<uint8>(text[start]) & 0xC0) == 0x80)
                        start++;
                }
            }
        }
        if (start >= text.size()) return CL_REGEX_NO_MATCH;
        // Offsets handed over in a match may have been changed by its owner.
        if (checked && (static_cast<uint8>(text[start]) & 0xC0) == 0x80) return CL_ERROR;

        uint32_t options = checked ? PCRE2_NO_UTF_CHECK : 0;
        PCRE2_SPTR subject = reinterpret_cast<PCRE2_SPTR>(text.data());
        int rc = pcre2_match(fCode, subject, text.size(), start, options, fData, nullptr);
        if (rc == PCRE2_ERROR_JIT_STACKLIMIT)
            rc = pcre2_match(fCode, subject, text.size(), start, options | PCRE2_NO_JIT, fData,
                             nullptr);
        if (rc == PCRE2_ERROR_NOMATCH) return CL_REGEX_NO_MATCH;
        if (rc <= 0) return CL_ERROR;
        if (rc > CL_Match::kMaxGroups) {
            if (allGroups) return CL_REGEX_TOO_COMPLEX;
            rc = CL_Match::kMaxGroups;
        }

        const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(fData);
        for (int i = 0; i < CL_Match::kMaxGroups; i++) {
            if (i < rc && ovector[2 * i] != PCRE2_UNSET && ovector[2 * i + 1] != PCRE2_UNSET &&
                ovector[2 * i] <= ovector[2 * i + 1]) {
                match->fStart[i] = static_cast<int32>(ovector[2 * i]);
                match->fEnd[i] = static_cast<int32>(ovector[2 * i + 1]);
                match->fText[i] = text.substr(ovector[2 * i], ovector[2 * i + 1] - ovector[2 * i]);
            } else {
                match->fStart[i] = -1;
                match->fEnd[i] = -1;
                match->fText[i] = std::string_view();
            }
        }
        match->fNumGroups = rc;
        if (checked || start == 0) {
            match->fCheckedData = text.data();
            match->fCheckedSize = text.size();
        } else {
            match->fCheckedData = nullptr;
            match->fCheckedSize = 0;
        }
        return CL_OK;
    }

private:
    pcre2_code* fCode;
    pcre2_match_data* fData;
};

}  // namespace

// ---- CL_Match

CL_Match::CL_Match() : fNumGroups(0), fCheckedData(nullptr), fCheckedSize(0) {
    for (int i = 0; i < kMaxGroups; i++) {
        fStart[i] = -1;
        fEnd[i] = -1;
    }
}

std::string CL_Match::GetText(int32 i) const {
    if (i < 0 || i >= fNumGroups) return std::string();
    return std::string(fText[i]);
}

const char* CL_Match::GetTextData(int32 i) const {
    if (i < 0 || i >= fNumGroups) return "";
    return fText[i].data() ? fText[i].data() : "";
}

uint32 CL_Match::GetTextSize(int32 i) const {
    if (i < 0 || i >= fNumGroups) return 0;
    return static_cast<uint32>(fText[i].size());
}

int32 CL_Match::GetStart(int32 i) const {
    return i >= 0 && i < fNumGroups ? fStart[i] : -1;
}

int32 CL_Match::GetEnd(int32 i) const {
    return i >= 0 && i < fNumGroups ? fEnd[i] : -1;
}

// ---- CL_RegEx::REGEX

CL_RegEx::REGEX::REGEX() : fCode(nullptr), fErrorPos(0), fCaptureCount(0) {}

CL_RegEx::REGEX::REGEX(const REGEX& other)
    : fCode(nullptr),
      fError(other.fError),
      fErrorPos(other.fErrorPos),
      fPattern(other.fPattern),
      fCaptureCount(0) {
    if (other.fCode) {
        fCode = pcre2_code_copy_with_tables(CodeOf(&other));
        Prepare(this);
    }
}

CL_RegEx::REGEX::~REGEX() {
    if (fCode) pcre2_code_free(CodeOf(this));
}

// ---- CL_RegEx

void CL_RegEx::Init() {
    CL_AutoLocker lock(sLock);
    if (!sCompileContext) {
        sCompileContext = pcre2_compile_context_create(nullptr);
        if (sCompileContext) pcre2_set_newline(sCompileContext, PCRE2_NEWLINE_ANY);
    }
    if (!sCache) sCache = new CL_LRUCache<std::string, CL_RefCounted<REGEX>>(kCacheSize);
}

void CL_RegEx::Cleanup() {
    CL_AutoLocker lock(sLock);
    if (sCache) {
        sCache->Clear();
        delete sCache;
        sCache = nullptr;
    }
    if (sCompileContext) {
        pcre2_compile_context_free(sCompileContext);
        sCompileContext = nullptr;
    }
}

void CL_RegEx::SetPattern(const std::string& pattern) {
    CL_AutoLocker lock(sLock);
    if (sCache) {
        CL_RefCounted<REGEX>* cached = sCache->Get(pattern);
        if (!cached) {
            REGEX* re = new REGEX();
            if (!re) {
                fRE.SetRefData(nullptr);
                return;
            }
            re->fPattern = pattern;
            Compile(re);
            cached = new (std::nothrow) CL_RefCounted<REGEX>(re);
            if (!cached) {
                fRE.SetRefData(re);  // uncached
                return;
            }
            sCache->Put(pattern, cached);
        }
        fRE = *cached;
        return;
    }
    REGEX* re = new REGEX();
    if (re) {
        re->fPattern = pattern;
        Compile(re);
    }
    fRE.SetRefData(re);
}

const CL_RegEx::REGEX* CL_RegEx::Compiled() const {
    return fRE.IsValid() ? fRE.GetRefData() : nullptr;
}

bool CL_RegEx::IsOk() const {
    const REGEX* re = Compiled();
    return re && re->fCode;
}

std::string CL_RegEx::GetError(int* pos) const {
    const REGEX* re = Compiled();
    if (!re) return std::string();
    if (pos) *pos = re->fErrorPos;
    return re->fError;
}

std::string CL_RegEx::GetPattern() const {
    const REGEX* re = Compiled();
    return re ? re->fPattern : std::string();
}

CL_Status CL_RegEx::Find(const std::string_view& text, CL_Match* match, CL_Match* previous) {
    const REGEX* re = Compiled();
    if (!re || !re->fCode) return CL_ERROR;
    Searcher searcher(CodeOf(re));
    return searcher.Run(text, match, previous);
}

void CL_RegEx::FindAll(const std::string& text, CL_Array<CL_Match>* matches) {
    if (!matches) return;
    matches->Clear();
    const REGEX* re = Compiled();
    if (!re || !re->fCode) return;
    Searcher searcher(CodeOf(re));
    CL_Match match;
    const CL_Match* previous = nullptr;
    while (searcher.Run(text, &match, previous) == CL_OK) {
        if (!matches->Append(match)) break;
        previous = &match;
    }
}

CL_Status CL_RegEx::Match(const std::string& text) {
    const REGEX* re = Compiled();
    if (!re || !re->fCode) return CL_ERROR;
    // Only the bounds of the whole match matter here, so a pattern with more groups
    // than a CL_Match holds (the numeric-address test has dozens) still answers.
    Searcher searcher(CodeOf(re));
    CL_Match match;
    CL_Status status = searcher.Run(text, &match, nullptr, false);
    if (status != CL_OK) return status;
    if (match.fStart[0] == 0 && static_cast<size_t>(match.fEnd[0]) == text.size()) return CL_OK;
    return CL_REGEX_NO_MATCH;
}

template <class Expand>
std::string CL_RegEx::ReplaceMatches(const std::string& text, int count, Expand expand) {
    const REGEX* re = Compiled();
    if (!re || !re->fCode) return text;
    Searcher searcher(CodeOf(re));
    std::string result;
    size_t copied = 0;
    int replaced = 0;
    CL_Match match;
    const CL_Match* previous = nullptr;
    // Matches come in increasing, non-overlapping order, so the result is built by
    // appending the text between them and each replacement.
    while ((count < 1 || replaced < count) && searcher.Run(text, &match, previous) == CL_OK) {
        size_t start = static_cast<size_t>(match.fStart[0]);
        size_t end = static_cast<size_t>(match.fEnd[0]);
        if (start < copied || end < start) break;
        result.append(text, copied, start - copied);
        expand(match, re->fCaptureCount, result);
        copied = end;
        replaced++;
        previous = &match;
    }
    if (replaced == 0) return text;
    result.append(text, copied, std::string::npos);
    return result;
}

std::string CL_RegEx::Replace(const std::string& text, const std::string& replacement, int count) {
    return ReplaceMatches(
        text, count, [&replacement](const CL_Match& match, uint32 captures, std::string& out) {
            // One left-to-right pass: text taken from a group is never scanned again.
            const size_t n = replacement.size();
            for (size_t i = 0; i < n; i++) {
                char c = replacement[i];
                if (c == '\\' && i + 1 < n && replacement[i + 1] >= '0' &&
                    replacement[i + 1] <= '9') {
                    int group = replacement[i + 1] - '0';
                    if (group < match.fNumGroups || static_cast<uint32>(group) <= captures) {
                        if (group < match.fNumGroups && match.fStart[group] >= 0)
                            out.append(match.fText[group]);
                        i++;
                        continue;
                    }
                }
                out.push_back(c);
            }
        });
}

std::string CL_RegEx::Replace(const std::string& text,
                              std::string (*callback)(CL_Match* match, void* data), int count,
                              void* data) {
    if (!callback) return text;
    return ReplaceMatches(text, count,
                          [callback, data](const CL_Match& match, uint32, std::string& out) {
                              CL_Match copy(match);
                              out += callback(&copy, data);
                          });
}
