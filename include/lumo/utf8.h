// UTF-8 text and string utilities: strict UTF-8 checking and conversion to and from
// wide strings, case mapping and case-insensitive comparison over a fixed Unicode 2.1
// table, printf-style formatting, whole-string number parsing and splitting helpers.
#pragma once

#include <cstdarg>
#include <string>

#include "lumo/containers.h"
#include "lumo/base_types.h"

class CL_Blob;

// Functions of plain data: any thread.

// Results of the strict UTF-8 decoder.
enum ConversionResult {
    conversionOK = 0,     // the whole input was converted
    sourceExhausted = 1,  // the input ends inside a multi-byte sequence
    targetExhausted = 2,  // no room left in the output
    sourceIllegal = 3,    // an ill-formed sequence
};

enum ConversionFlags {
    strictConversion = 0,
    lenientConversion = 1,
};

// True when the whole content of `blob` is well-formed UTF-8 (an empty blob is).
bool CL_CheckUTF8(CL_Blob* blob);

// Code points of a UTF-8 text; empty on any ill-formed or truncated input.
std::wstring CL_FromUTF8(const std::string& text);
// UTF-8 form of a wide string; empty when it holds a surrogate or a value past U+10FFFF.
std::string CL_ToUTF8(const std::wstring& text);

// Case mapping code point by code point; ill-formed bytes become '^' and a NUL
// code point ends the result.
std::string CL_StringToLower(const std::string& text);
std::string CL_StringToUpper(const std::string& text);

// Compares upper-cased code points; the result is their difference, not -1/0/1.
int CL_StringCaseCompare(const char* text1, uint32 length1, const char* text2, uint32 length2);
int CL_StringCaseCompare(const std::string& text1, const std::string& text2);

std::string CL_StringFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string CL_StringFormatV(const char* format, va_list args)
    __attribute__((format(printf, 1, 0)));

// Whole-string number parsing: at least one character converted and nothing left
// over. The output is written only on success.
bool CL_StringToNumber(const std::string& text, int* value, int base = 10);
bool CL_StringToNumber(const std::string& text, unsigned int* value, int base = 10);
bool CL_StringToNumber(const std::string& text, long long* value, int base = 10);
bool CL_StringToNumber(const std::string& text, unsigned long long* value, int base = 10);
// int64 and uint64 are long on LP64 platforms; same conversions as long long.
bool CL_StringToNumber(const std::string& text, long* value, int base = 10);
bool CL_StringToNumber(const std::string& text, unsigned long* value, int base = 10);
bool CL_StringToDouble(const std::string& text, double* value);

// Replaces `what` by `with`, never searching inside inserted text. An empty `what`
// leaves the text as it is.
std::string CL_StringReplace(const std::string& text, const std::string& what,
                             const std::string& with, bool all = true);
std::string CL_StringJoin(const CL_Array<std::string>& parts, const std::string& separator);
// Removes and returns the text before the first separator (the whole source when
// there is none, or when the separator is empty).
std::string CL_StringTokenize(std::string* source, const std::string& separator);
void CL_StringSplit(const std::string& text, const std::string& separator,
                    CL_Array<std::string>* out);
std::string CL_StringStripped(const std::string& text);
