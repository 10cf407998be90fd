// Regular expressions over PCRE2 (8-bit, UTF mode, any newline convention). Compiled
// patterns are shared through a process-wide cache keyed by the pattern text, so
// building an object for a recently used pattern costs a look-up and no compilation.
#pragma once

#include <string>
#include <string_view>

#include "lumo/allocator.h"
#include "lumo/containers.h"
#include "lumo/thread.h"
#include "lumo/base_types.h"

// One match: the whole match (entry 0) and up to nine groups, as views into the
// subject. The views stay valid only as long as the subject they point into. A plain
// value that owns none of the bytes it points to.
class CL_Match : public CL_Object {
public:
    static constexpr int32 kMaxGroups = 10;

    CL_Match();

    // An index outside 0..Count()-1 reads as a group that took no part: empty, -1.
    std::string GetText(int32 i) const;
    const char* GetTextData(int32 i) const;
    uint32 GetTextSize(int32 i) const;
    int32 GetStart(int32 i) const;
    int32 GetEnd(int32 i) const;
    int32 Count() const { return fNumGroups; }

    std::string_view fText[kMaxGroups];
    int32 fStart[kMaxGroups];
    int32 fEnd[kMaxGroups];
    int32 fNumGroups;

    // The subject this match was found in, already known to be valid UTF-8: a search
    // continuing from this match over the same bytes need not check them again.
    const char* fCheckedData;
    size_t fCheckedSize;
};

// A compiled pattern, shared by every object built from the same pattern text. The
// compiled form never changes, so searches may run on several threads at once, also
// through one object; SetPattern and assignment are one thread's at a time.
class CL_RegEx : public CL_Object {
public:
    // The compiled form of one pattern; immutable once built, so any thread may use it.
    class REGEX : public CL_Object {
    public:
        REGEX();
        REGEX(const REGEX& other);
        REGEX& operator=(const REGEX&) = delete;
        ~REGEX();

        void* fCode;  // pcre2_code_8*, null when compilation failed
        std::string fError;
        int32 fErrorPos;
        std::string fPattern;
        uint32 fCaptureCount;
    };

    // Creates the shared compile context and the pattern cache; Cleanup frees them.
    // Called by the library's start-up and exit; objects built outside that window
    // compile privately.
    static void Init();
    static void Cleanup();

    CL_RegEx() {}
    explicit CL_RegEx(const std::string& pattern) { SetPattern(pattern); }
    CL_RegEx(const CL_RegEx& other) : fRE(other.fRE) {}
    CL_RegEx& operator=(const CL_RegEx& other) {
        fRE = other.fRE;
        return *this;
    }

    // Compilation errors are read with GetError, not reported here.
    void SetPattern(const std::string& pattern);
    bool IsOk() const;
    // Empty when the pattern compiled; `pos` gets the error offset (0 without error).
    std::string GetError(int* pos = nullptr) const;
    std::string GetPattern() const;

    // CL_OK and `match` filled, CL_REGEX_NO_MATCH when there is no (further) match,
    // CL_REGEX_TOO_COMPLEX when the match sets more groups than a CL_Match holds,
    // CL_ERROR without compiled pattern, on text that is not valid UTF-8 or of 2 GiB
    // and more, or on a matching error; CL_OUT_OF_MEMORY without memory for the
    // search. The search starts at 0, or at the end of `previous`; after an empty
    // `previous` it steps one whole character further so that a loop of Find calls
    // comes to an end.
    // `match` and `previous` may be the same object.
    CL_Status Find(const std::string_view& text, CL_Match* match, CL_Match* previous = nullptr);
    CL_Status Find(const std::string& text, CL_Match* match, CL_Match* previous = nullptr) {
        return Find(std::string_view(text), match, previous);
    }
    // Every match in order; `matches` is emptied first.
    void FindAll(const std::string& text, CL_Array<CL_Match>* matches);
    // CL_OK when the first match covers the whole text, the code of Find when that
    // fails, else CL_REGEX_NO_MATCH. How many groups the match sets does not matter here.
    CL_Status Match(const std::string& text);
    // The text with at most `count` matches (all when `count` < 1) replaced. In the
    // template a backslash and a digit stands for that group (0: the whole match);
    // a group that took no part gives the empty text. The template is expanded in
    // one pass, so inserted text is never expanded again.
    std::string Replace(const std::string& text, const std::string& replacement, int count = 0);
    std::string Replace(const std::string& text,
                        std::string (*callback)(CL_Match* match, void* data), int count,
                        void* data);

    // Guards sCache and the compile context every compilation uses.
    static CL_RecursiveMutex sLock;
    static CL_LRUCache<std::string, CL_RefCounted<REGEX>>* sCache;

private:
    const REGEX* Compiled() const;
    template <class Expand>
    std::string ReplaceMatches(const std::string& text, int count, Expand expand);

    CL_RefCounted<REGEX> fRE;  // shared with the cache and with copies
};
