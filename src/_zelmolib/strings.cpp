// Text arguments from Python as UTF-8 std::strings.
#include "string_args.h"

bool UnicodeToUTF8(PyObject* str, std::string* out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (!data) return false;
    out->assign(data, static_cast<size_t>(size));
    return true;
}

namespace QPX {

namespace {

int ConvertText(PyObject* obj, std::string* out) {
    if (PyBytes_Check(obj)) {
        const char* data = PyBytes_AS_STRING(obj);
        out->assign(data, strnlen(data, static_cast<size_t>(PyBytes_GET_SIZE(obj))));
        return 1;
    }
    if (PyUnicode_Check(obj)) return UnicodeToUTF8(obj, out) ? 1 : 0;
    PyErr_SetString(PyExc_ValueError, "Expected 'str' or 'unicode' object");
    return 0;
}

}  // namespace

// Called by the interpreter's argument parser: a copy that runs out of memory is a
// MemoryError there.
int ConvertString(PyObject* obj, std::string* out) {
    int done = 0;
    ZL_Protect([&] { done = ConvertText(obj, out); });
    return done;
}

int ConvertCString(PyObject* obj, std::string* out) {
    if (!ConvertString(obj, out)) return 0;
    if (out->find('\0') == std::string::npos) return 1;
    PyErr_SetString(PyExc_ValueError, "embedded null character");
    return 0;
}

bool RefuseNul(const std::string& text) {
    if (text.find('\0') == std::string::npos) return true;
    PyErr_SetString(PyExc_ValueError, "embedded null character");
    return false;
}

}  // namespace QPX
