// Fuzz target for regular expressions: a pattern and a subject taken from the input.
// Matches lie inside the subject and hold its bytes; a loop of searches ends, and
// finds what FindAll finds; replacing with the whole match leaves the subject as it was.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "lumo/init.h"
#include "lumo/regex.h"

namespace {

void CheckMatch(const CL_Match& m, const std::string& subject) {
    if (m.Count() < 1 || m.Count() > CL_Match::kMaxGroups) abort();
    for (int32 i = 0; i < m.Count(); i++) {
        int32 start = m.GetStart(i), end = m.GetEnd(i);
        if (start < 0) {
            if (end != -1 || m.GetTextSize(i) != 0) abort();
            continue;
        }
        if (end < start || static_cast<size_t>(end) > subject.size()) abort();
        if (m.GetText(i) != subject.substr(start, end - start)) abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CL_Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Patterns and subjects stay small: the engine's own limits, not this target's
    // patience, bound a search.
    if (size == 0 || size > 4096) return 0;
    size_t patternLength = data[0] % 128;
    if (patternLength > size - 1) patternLength = size - 1;
    std::string pattern(reinterpret_cast<const char*>(data + 1), patternLength);
    std::string subject(reinterpret_cast<const char*>(data + 1 + patternLength),
                        size - 1 - patternLength);

    CL_RegEx regex(pattern);
    int position = -1;
    std::string error = regex.GetError(&position);
    if (!regex.IsOk()) {
        if (error.empty()) abort();
        CL_Match m;
        if (regex.Find(subject, &m) != -1) abort();
        return 0;
    }
    if (!error.empty() || position != 0 || regex.GetPattern() != pattern) abort();

    CL_Match match;
    int found = 0;
    CL_Status status = regex.Find(subject, &match);
    while (status == CL_OK) {
        CheckMatch(match, subject);
        if (++found > static_cast<int>(subject.size()) + 1) abort();
        status = regex.Find(subject, &match, &match);
    }
    CL_Array<CL_Match> all;
    regex.FindAll(subject, &all);
    if (status == CL_REGEX_NO_MATCH && static_cast<int>(all.Count()) != found) abort();
    for (uint32 i = 0; i < all.Count(); i++)
        CheckMatch(all[i], subject);

    (void)regex.Match(subject);
    std::string same = regex.Replace(subject, "\\0");
    if (status == CL_REGEX_NO_MATCH && same != subject) abort();
    (void)regex.Replace(subject, "<\\1\\9\\\\>", 3);
    return 0;
}
