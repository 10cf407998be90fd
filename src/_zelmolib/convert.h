// Value conversion between entries, lists and tables and Python objects, in both
// directions.
#pragma once

#include <string>

#include "boundary.h"
#include "lumo/entry.h"

namespace QPX {

// The FromCLU functions return a new reference or null with an exception set; the
// FromPy functions report a failure through the pending exception.
PyObject* List_FromCLU(const CLU_List* list);
PyObject* Table_FromCLU(const CLU_Table* table);
void List_FromPy(PyObject* obj, CLU_List* out);
void Table_FromPy(PyObject* obj, CLU_Table* out);
// A table to send to the server (execute's data, connect's options): as Table_FromPy,
// with ValueError for lists and dicts nested deeper than the flattened format carries
// (CLU_MAX_FLATTEN_DEPTH, the dict itself being the first level).
void Request_FromPy(PyObject* obj, CLU_Table* out);
// Imports the datetime capsule for the conversions; -1 with an exception set.
int InitUtilities();
// A str of UTF-8 text, bytes that are not UTF-8 replaced; null with an exception set.
PyObject* TextToPy(const std::string& text);

}  // namespace QPX

// One value to Python (new reference, or null with an exception) and back.
PyObject* Entry_FromCLU(const CLU_Entry* entry);
void Entry_FromPy(PyObject* obj, CLU_Entry* out);
