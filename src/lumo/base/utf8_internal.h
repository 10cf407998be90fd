// UTF-8 pieces shared inside the library: the strict rule one sequence at a time, for
// code that repairs text instead of refusing it whole, and the encoder of one code
// point; not part of the library's public headers.
#pragma once

#include <string>

#include "lumo/base_types.h"

namespace lumo_utf8 {

// Length of the well-formed sequence at `s` (shortest form, no surrogates, at most
// U+10FFFF) among the `avail` (> 0) bytes there; 0 when it is ill-formed or cut short.
uint32 SequenceLength(const uint8* s, uint64 avail);

// True when the bytes are well-formed UTF-8 throughout; checked in place. The vector
// form checks 32 bytes at a time where the processor has AVX2 (IsWellFormed uses it
// for texts of 64 bytes and more), the portable form skips ASCII a word at a time and
// checks one sequence at a time, the reference form is the sequence-at-a-time decoder;
// all give the same answers.
bool IsWellFormed(const void* text, size_t length);
bool IsWellFormedVector(const void* text, size_t length);
bool IsWellFormedPortable(const void* text, size_t length);
bool IsWellFormedReference(const void* text, size_t length);

// Code points of a well-formed text, empty otherwise; `vector` picks the vector ASCII
// path (the other one is kept for processors without it and for the tests).
std::wstring Decode(const std::string& text, bool vector);

// Appends the UTF-8 form of `cp`; nothing for a value past U+10FFFF.
inline void AppendUTF8(std::string& out, uint32 cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | cp >> 6);
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | cp >> 12);
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp <= 0x10FFFF) {
        out += char(0xF0 | cp >> 18);
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

}  // namespace lumo_utf8
