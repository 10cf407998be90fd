// String helpers: formatting, whole-string number parsing, replace, join, split, strip.
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "lumo/utf8.h"

std::string CL_StringFormatV(const char* format, va_list args) {
    if (!format) return std::string();
    char buffer[1024];
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(buffer, sizeof(buffer), format, args);
    std::string out;
    if (length >= 0 && length < int(sizeof(buffer))) {
        out.assign(buffer, length);
    } else if (length >= int(sizeof(buffer))) {
        out.resize(size_t(length));
        vsnprintf(out.data(), size_t(length) + 1, format, again);
    }
    // A formatting error (negative length) gives the empty text.
    va_end(again);
    return out;
}

std::string CL_StringFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = CL_StringFormatV(format, args);
    va_end(args);
    return out;
}

namespace {

// True when the conversion took at least one character and ended at the string's end.
inline bool Whole(const std::string& text, const char* end) {
    return end != text.c_str() && end == text.c_str() + text.size();
}

}  // namespace

bool CL_StringToNumber(const std::string& text, int* value, int base) {
    char* end = nullptr;
    long v = strtol(text.c_str(), &end, base);
    if (!Whole(text, end)) return false;
    *value = static_cast<int>(static_cast<uint32>(static_cast<uint64>(v)));
    return true;
}

bool CL_StringToNumber(const std::string& text, unsigned int* value, int base) {
    int v = 0;
    if (!CL_StringToNumber(text, &v, base)) return false;
    *value = static_cast<unsigned int>(v);
    return true;
}

bool CL_StringToNumber(const std::string& text, long long* value, int base) {
    char* end = nullptr;
    long long v = strtoll(text.c_str(), &end, base);
    if (!Whole(text, end)) return false;
    *value = v;
    return true;
}

bool CL_StringToNumber(const std::string& text, unsigned long long* value, int base) {
    char* end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, base);
    if (!Whole(text, end)) return false;
    *value = v;
    return true;
}

bool CL_StringToNumber(const std::string& text, long* value, int base) {
    long long v = 0;
    if (!CL_StringToNumber(text, &v, base)) return false;
    *value = static_cast<long>(v);
    return true;
}

bool CL_StringToNumber(const std::string& text, unsigned long* value, int base) {
    unsigned long long v = 0;
    if (!CL_StringToNumber(text, &v, base)) return false;
    *value = static_cast<unsigned long>(v);
    return true;
}

bool CL_StringToDouble(const std::string& text, double* value) {
    char* end = nullptr;
    double v = strtod(text.c_str(), &end);
    if (!Whole(text, end)) return false;
    *value = v;
    return true;
}

std::string CL_StringReplace(const std::string& text, const std::string& what,
                             const std::string& with, bool all) {
    std::string out(text);
    if (what.empty()) return out;
    size_t pos = 0;
    while ((pos = out.find(what, pos)) != std::string::npos) {
        out.replace(pos, what.size(), with);
        pos += with.size();
        if (!all) break;
    }
    return out;
}

std::string CL_StringJoin(const CL_Array<std::string>& parts, const std::string& separator) {
    std::string out;
    uint32 count = parts.Count();
    for (uint32 i = 0; i < count; ++i) {
        out += parts[i];
        // Leading empty parts add no separator.
        if (i + 1 < count && !out.empty()) out += separator;
    }
    return out;
}

std::string CL_StringTokenize(std::string* source, const std::string& separator) {
    if (!source) return std::string();
    size_t p = separator.empty() ? std::string::npos : source->find(separator);
    std::string token;
    if (p == std::string::npos) {
        token.swap(*source);
    } else {
        token = source->substr(0, p);
        source->erase(0, p + separator.size());
    }
    return token;
}

void CL_StringSplit(const std::string& text, const std::string& separator,
                    CL_Array<std::string>* out) {
    if (!out) return;
    out->Clear();
    std::string rest(text);
    while (!rest.empty())
        out->Append(CL_StringTokenize(&rest, separator));
}

std::string CL_StringStripped(const std::string& text) {
    size_t first = 0, last = text.size();
    while (first < last && isspace(static_cast<unsigned char>(text[first])))
        ++first;
    while (last > first && isspace(static_cast<unsigned char>(text[last - 1])))
        --last;
    return text.substr(first, last - first);
}
