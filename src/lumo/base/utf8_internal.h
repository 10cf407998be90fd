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
