// Errors raised to Python as the package's Error(code, message), with the messages
// of the client library's table.
#pragma once

#include <string>

#include "boundary.h"
#include "lumo/table.h"

namespace QPX {

struct ClientObject;

// Each returns null. An empty message, or a failed reply without an "ERROR" text, gives
// the table's text for the code (QPX::GetError, placeholders included).
PyObject* setException(int code, const std::string& message);
PyObject* setException(ClientObject* client, int code);
PyObject* setException(int code, CLU_Table* reply);

}  // namespace QPX
