// Errors raised to Python: the package's Error class with (code, message).
#include "errors.h"

#include <cstring>
#include <new>

#include "convert.h"
#include "lumo/status.h"
#include "module.h"
#include "qpx/zelmo_client/errors.h"

namespace QPX {

PyObject* noModuleState() {
    PyErr_SetString(PyExc_RuntimeError, "no module state!");
    return nullptr;
}

PyObject* setException(int code, const std::string& message) {
    MODULE_STATE* s = ZL_GetState();
    // The table's text as it stands: a pattern's placeholders are the server's to fill,
    // and a caller may match the pattern.
    std::string text = message.empty() ? GetError(code) : message;
    PyObject* value = Py_BuildValue("is#", code, text.data(), (Py_ssize_t)text.size());
    if (!value) {
        // A message that is not UTF-8 still reaches Python, with its bad bytes replaced.
        PyErr_Clear();
        PyObject* decoded = TextToPy(text);
        value = decoded ? Py_BuildValue("iN", code, decoded) : nullptr;
        if (!value) return nullptr;
    }
    PyErr_SetObject(s && s->fException ? s->fException : PyExc_RuntimeError, value);
    Py_DECREF(value);
    return nullptr;
}

PyObject* setException(ClientObject*, int code) {
    if (!ZL_GetState()) {
        PyErr_SetString(PyExc_RuntimeError, "No module state!");
        return nullptr;
    }
    return setException(code, std::string());
}

PyObject* setException(int code, CLU_Table* reply) {
    if (code == CL_OK && reply && reply->Exists("ERRNO")) code = reply->GetInt32("ERRNO", CL_OK);
    std::string message;
    if (code != CL_OK && reply && reply->Exists("ERROR"))
        message = reply->GetString("ERROR", std::string());
    return setException(code, message);
}

}  // namespace QPX

void ZL_SetPythonError(const std::exception& error) {
    if (dynamic_cast<const std::bad_alloc*>(&error)) {
        PyErr_NoMemory();
        return;
    }
    const char* what = error.what();
    PyObject* text = PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(strlen(what)), "replace");
    if (!text) return;
    PyErr_SetObject(PyExc_SystemError, text);
    Py_DECREF(text);
}

void ZL_ReportUnraisable(const std::exception& error) {
    PyObject* pending = PyErr_GetRaisedException();
    ZL_SetPythonError(error);
    PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(pending);
}
