// Errors raised to Python: the package's Error class with (code, message).
#include "module.h"

#include <cstring>
#include <new>

#include "lumo/status.h"
#include "qpx/zelmo_client/errors.h"

namespace QPX {

namespace {

// The end of the printf conversion that starts at text[i] ("%s", "%lld", "%-5.2f" ...),
// or npos when text[i] starts none ("%%" is a percent sign, not a conversion).
size_t ConversionEnd(const std::string& text, size_t i) {
    if (text[i] != '%' || i + 1 >= text.size() || text[i + 1] == '%') return std::string::npos;
    size_t j = i + 1;
    while (j < text.size() && strchr("-+ #0123456789.*hlLqjzt", text[j]))
        ++j;
    return j < text.size() && isalpha(static_cast<unsigned char>(text[j])) ? j + 1
                                                                           : std::string::npos;
}

bool HasConversion(const std::string& text, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
        if (ConversionEnd(text, i) != std::string::npos) return true;
    return false;
}

}  // namespace

// A message of the table with its placeholders left out, since nothing fills them
// here: a bracketed or parenthesized group that holds one goes with it, and so do the
// quotes around one; then the spaces and punctuation around the gaps are tidied up.
// "Utente '%s' non trovato" reads "Utente non trovato", "Errore del database '%s': %s"
// reads "Errore del database".
std::string WithoutPlaceholders(const std::string& text) {
    if (text.find('%') == std::string::npos) return text;
    std::string out;
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == '(' || c == '[') {
            size_t close = text.find(c == '(' ? ')' : ']', i);
            if (close != std::string::npos && HasConversion(text, i, close)) {
                i = close + 1;
                continue;
            }
        }
        if ((c == '\'' || c == '"') && i + 1 < text.size()) {
            size_t end = ConversionEnd(text, i + 1);
            if (end != std::string::npos && end < text.size() && text[end] == c) {
                i = end + 1;
                continue;
            }
        }
        size_t end = ConversionEnd(text, i);
        if (end != std::string::npos) {
            i = end;
            continue;
        }
        out += c;
        i += c == '%' && i + 1 < text.size() && text[i + 1] == '%' ? 2 : 1;
    }
    // Tidy: one space at most, none before punctuation, no colon or comma left hanging
    // before the end or a final mark, no punctuation to open with.
    std::string tidy;
    for (char c : out) {
        if (c == ' ' && (tidy.empty() || tidy.back() == ' ')) continue;
        if (strchr(",.;:!?", c) && !tidy.empty() && tidy.back() == ' ') tidy.pop_back();
        tidy += c;
    }
    while (!tidy.empty() && strchr(" :,;", tidy.back()))
        tidy.pop_back();
    for (size_t k = 1; k < tidy.size(); ++k) {
        if (strchr(".!?", tidy[k]) && strchr(":,;", tidy[k - 1])) {
            tidy.erase(k - 1, 1);
            --k;
        }
    }
    size_t start = tidy.find_first_not_of(" :,;");
    tidy = start == std::string::npos ? std::string() : tidy.substr(start);
    if (!tidy.empty() && tidy[0] >= 'a' && tidy[0] <= 'z') tidy[0] = char(tidy[0] - 'a' + 'A');
    return tidy;
}

std::string translate(int code) {
    std::string text = WithoutPlaceholders(GetError(code));
    // A message that was nothing but its placeholder.
    return text.empty() ? WithoutPlaceholders(GetError(CL_ERROR)) : text;
}

PyObject* noModuleState() {
    PyErr_SetString(PyExc_RuntimeError, "no module state!");
    return nullptr;
}

PyObject* setException(int code, const std::string& message) {
    MODULE_STATE* s = ZL_GetState();
    std::string text = message.empty() && s ? translate(code) : message;
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
    return setException(code, translate(code));
}

PyObject* setException(int code, CLU_Table* reply) {
    bool haveState = ZL_GetState() != nullptr;
    std::string message;
    if (code == CL_OK && reply && reply->Exists("ERRNO")) code = reply->GetInt32("ERRNO", CL_OK);
    if (code == CL_OK) {
        if (haveState) message = translate(CL_OK);
    } else if (reply && reply->Exists("ERROR")) {
        message = reply->GetString("ERROR", std::string());
    } else if (haveState) {
        message = translate(code);
    }
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
