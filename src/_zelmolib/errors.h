// Errors raised to Python as the package's Error(code, message), with the messages
// of the client library's table.
#pragma once

#include <string>

#include "boundary.h"
#include "lumo/table.h"

namespace QPX {

struct ClientObject;

// Each returns null.
PyObject* setException(int code, const std::string& message);
PyObject* setException(ClientObject* client, int code);
PyObject* setException(int code, CLU_Table* reply);
// The message of the table for a code: QPX::GetError's text, placeholders included.
std::string translate(int code);

}  // namespace QPX
