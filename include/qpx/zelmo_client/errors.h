// Status codes of the client library and their texts. Codes 1999..9500 are the
// business server's own (reported in a reply's "ERRNO"); every other code is the
// base library's.
#pragma once

#include "lumo/base_types.h"

// Result of every client operation; 0 is success.
typedef int32 QPX_Status;

namespace QPX {

// The translated message of `code`; never null, owned by the library.
const char* GetError(int code);

}  // namespace QPX

// Server code for an operation the library does not implement ("Funzionalità non
// ancora implementata"); given to a request whose kind has no completion.
constexpr QPX_Status QPX_ERR_NOT_IMPLEMENTED = 2014;
