// Text arguments from Python as UTF-8 std::strings: the "O&" converters of the
// argument parser and the encoding of a str.
#pragma once

#include <string>

#include "boundary.h"

namespace QPX {

// Text arguments. ConvertString: bytes up to the first NUL or the UTF-8 of a str; an
// "O&" converter (1 done, 0 with ValueError set).
int ConvertString(PyObject* obj, std::string* out);
// As ConvertString, for a text that ends up as a C string (a host, semaphore or codec
// name, a document parsed up to its NUL): a str keeps every character, so one holding a
// NUL is refused with ValueError "embedded null character" rather than cut there.
int ConvertCString(PyObject* obj, std::string* out);
// True for a text without NUL; otherwise false with that same ValueError.
bool RefuseNul(const std::string& text);

}  // namespace QPX

// Text of a str as UTF-8, NULs included; false with the encoder's exception pending.
bool UnicodeToUTF8(PyObject* str, std::string* out);
