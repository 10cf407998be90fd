// The module's streaming JSON types: JSONEncoder writes values through yajl's
// generator, JSONDecoder reports what yajl's parser finds by calling methods on itself.
// Both raise the package's JSONError.
#pragma once

#include <strings.h>

#include <string>

#include "boundary.h"

namespace QPX {

extern PyTypeObject JSONEncoderType;
extern PyTypeObject JSONDecoderType;

// JSONError(message) of the module state, or RuntimeError(message) without the state.
// Returns null.
PyObject* setException(const std::string& message);

// The codec name is one of UTF-8's: texts then need no codec call.
inline bool NamesUTF8(const std::string& name) {
    return strcasecmp(name.c_str(), "utf-8") == 0 || strcasecmp(name.c_str(), "utf8") == 0 ||
           strcasecmp(name.c_str(), "utf_8") == 0;
}

// Each imports the datetime API its source needs, readies its type and adds it to the
// module; -1 with an exception set.
int AddJSONEncoderType(PyObject* module);
int AddJSONDecoderType(PyObject* module);

}  // namespace QPX
