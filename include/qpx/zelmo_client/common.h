// Helpers that the client library and the Python module share: the hashed form of
// a password as the business server stores it, a stable identity of this machine,
// and conversion of dynamic values to and from JSON text.
#pragma once

#include <string>

#include "lumo/blob.h"
#include "lumo/types.h"
#include "lumo/uuid.h"

namespace QPX {

// 32 upper-case hexadecimal digits; every byte of `password` counts, NULs included.
// Safe from any thread.
std::string GetPassword(const std::string& password);

// ZELMO_MACHINE_UUID when set, else the D-Bus machine id, else the primary MAC
// address repeated; the nil UUID when none is available. Safe from any thread.
CLU_UUID GetComputerUUID();

// JSON text of `entry`; `beautify` selects the indented layout. Doubles are written
// in their shortest round-trip form, non-finite numbers as null.
std::string FormatJSON(const CLU_Entry& entry, bool beautify);

// Parses JSON text into `root` (comments allowed); numbers become decimals rounded
// to 38 significant digits. False on a syntax error, invalid UTF-8, a number out of
// the decimals' range or nesting beyond QPX_JSON_MAX_DEPTH; `error` then receives the
// parser's message and `root` keeps what was read up to there.
bool ParseJSON(const std::string& text, CLU_Entry* root, std::string* error);
// The same over the blob's whole content, whatever its position.
bool ParseJSON(CL_Blob* blob, CLU_Entry* root, std::string* error);
bool ParseJSON(const CL_Blob& blob, CLU_Entry* root, std::string* error);

}  // namespace QPX

// Deepest nesting of arrays and objects that ParseJSON accepts and FormatJSON writes
// (yajl's generator takes one level less than its limit of 128); deeper containers
// are written as null.
constexpr int QPX_JSON_MAX_DEPTH = 127;
