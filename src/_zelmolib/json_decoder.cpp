// JSONDecoder: JSON text parsed in chunks by yajl's callback parser, each event
// reported by calling a method on the object (read, read_key, start_map, end_map,
// start_array, end_array). The parser runs without the interpreter lock; each callback
// takes it for its Python call. One object is used by one thread at a time.
#include <cstring>

#include <yajl/yajl_parse.h>

#include "json.h"
// After Python.h (through json.h).
#include <datetime.h>
#include "decimal_type.h"
#include "json_events.h"
#include "lumo/utf8.h"
#include "module.h"
#include "registration.h"
#include "string_args.h"

namespace QPX {

struct JSONDecoderObject {
    PyObject_HEAD
    yajl_handle fHandle;
    std::string fEncoding;
    std::string fFileName;
    size_t fPosition;
    // While the parser runs: the thread state saved when the interpreter lock was let
    // go, taken back by each callback.
    PyThreadState* fSaved;
    // The last chunk given to the parser is not yet counted in fPosition (it is being
    // parsed, or it failed): positions add the parser's consumed bytes of it.
    bool fChunkOpen;
    bool fUTF8;

    JSONDecoderObject();
    ~JSONDecoderObject() {
        if (fHandle) yajl_free(fHandle);
    }
};

namespace {

JSONDecoderObject* Self(void* ctx) {
    return static_cast<JSONDecoderObject*>(ctx);
}

// One event: the interpreter lock is held from here to Leave.
MODULE_STATE* Enter(JSONDecoderObject* self) {
    PyEval_RestoreThread(self->fSaved);
    MODULE_STATE* state = ZL_GetState();
    if (!state) noModuleState();
    return state;
}

int Leave(JSONDecoderObject* self, int result) {
    self->fSaved = PyEval_SaveThread();
    return result;
}

// Calls the named method with one argument (or none when arg is null) and consumes
// arg. The type's own methods do nothing, so for an object of exactly this type the
// call is skipped once the argument has been built.
int Deliver(JSONDecoderObject* self, PyObject* name, PyObject* arg, bool hasArg) {
    if (hasArg && !arg) return 0;
    if (Py_TYPE(self) == &JSONDecoderType) {
        Py_XDECREF(arg);
        return 1;
    }
    PyObject* obj = reinterpret_cast<PyObject*>(self);
    PyObject* result =
        hasArg ? PyObject_CallMethodOneArg(obj, name, arg) : PyObject_CallMethodNoArgs(obj, name);
    Py_XDECREF(arg);
    if (!result) return 0;
    Py_DECREF(result);
    return 1;
}

// One event: with the interpreter lock, the argument built by `build` (when the event
// has one) is delivered to the method `name`. 0 stops the parser, with the exception
// pending; a C++ exception of the conversions is turned into one before the lock goes.
template <class Build>
int Event(void* ctx, PyObject* MODULE_STATE::*name, bool hasArg, Build build) {
    JSONDecoderObject* self = Self(ctx);
    MODULE_STATE* state = Enter(self);
    int result = 0;
    if (state)
        ZL_Protect(
            [&] { result = Deliver(self, state->*name, hasArg ? build(self) : nullptr, hasArg); });
    return Leave(self, result);
}

PyObject* NoArgument(JSONDecoderObject*) {
    return nullptr;
}

int parse_null(void* ctx) {
    return Event(ctx, &MODULE_STATE::fMethodRead, true,
                 [](JSONDecoderObject*) { return Py_NewRef(Py_None); });
}

int parse_boolean(void* ctx, int value) {
    return Event(ctx, &MODULE_STATE::fMethodRead, true,
                 [value](JSONDecoderObject*) { return PyBool_FromLong(value); });
}

PyObject* NumberObject(const char* text, size_t length) {
    int32_t small = 0;
    CL_Decimal decimal;
    std::string digits;
    switch (ClassifyJSONNumber(text, length, &small, &decimal, &digits)) {
        case JSONNumberKind::kInt:
            return PyLong_FromLong(small);
        case JSONNumberKind::kDecimal: {
            DecimalObject* d = DecimalObject::Allocate();
            if (d) d->fValue = decimal;
            return reinterpret_cast<PyObject*>(d);
        }
        case JSONNumberKind::kBigInt:
            return PyLong_FromString(digits.c_str(), nullptr, 10);
        case JSONNumberKind::kOverflow:
            break;
    }
    PyErr_SetString(PyExc_OverflowError, "Arithmetic overflow");
    return nullptr;
}

int parse_number(void* ctx, const char* text, size_t length) {
    return Event(ctx, &MODULE_STATE::fMethodRead, true,
                 [=](JSONDecoderObject*) { return NumberObject(text, length); });
}

PyObject* TextObject(JSONDecoderObject* self, const unsigned char* bytes, size_t length) {
    const char* text = reinterpret_cast<const char*>(bytes);
    JSONTextFields f;
    switch (ClassifyJSONText(text, length, &f)) {
        case JSONTextKind::kTimeStamp:
            return PyDateTimeAPI->DateTime_FromDateAndTime(f.fYear, f.fMonth, f.fDay, f.fHour,
                                                           f.fMinute, f.fSecond, 0, Py_None,
                                                           PyDateTimeAPI->DateTimeType);
        case JSONTextKind::kDate:
            return PyDateTimeAPI->Date_FromDate(f.fYear, f.fMonth, f.fDay,
                                                PyDateTimeAPI->DateType);
        case JSONTextKind::kTime:
            return PyDateTimeAPI->Time_FromTime(f.fHour, f.fMinute, f.fSecond, 0, Py_None,
                                                PyDateTimeAPI->TimeType);
        case JSONTextKind::kText:
            break;
    }
    if (self->fUTF8) return PyUnicode_DecodeUTF8(text, (Py_ssize_t)length, "strict");
    return PyUnicode_Decode(text, (Py_ssize_t)length, self->fEncoding.c_str(), "strict");
}

int parse_string(void* ctx, const unsigned char* text, size_t length) {
    return Event(ctx, &MODULE_STATE::fMethodRead, true,
                 [=](JSONDecoderObject* self) { return TextObject(self, text, length); });
}

int parse_map_key(void* ctx, const unsigned char* text, size_t length) {
    return Event(ctx, &MODULE_STATE::fMethodReadKey, true, [=](JSONDecoderObject*) {
        return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(text), (Py_ssize_t)length,
                                    "strict");
    });
}

template <PyObject* MODULE_STATE::*kName>
int parse_structure(void* ctx) {
    return Event(ctx, kName, false, NoArgument);
}

const yajl_callbacks sCallbacks = {
    parse_null,
    parse_boolean,
    nullptr,
    nullptr,
    parse_number,
    parse_string,
    parse_structure<&MODULE_STATE::fMethodStartMap>,
    parse_map_key,
    parse_structure<&MODULE_STATE::fMethodEndMap>,
    parse_structure<&MODULE_STATE::fMethodStartArray>,
    parse_structure<&MODULE_STATE::fMethodEndArray>,
};

size_t Position(JSONDecoderObject* self) {
    return self->fPosition + (self->fChunkOpen ? yajl_get_bytes_consumed(self->fHandle) : 0);
}

// The file name goes in whole: a str keeps every character, NULs included.
PyObject* RaiseAt(JSONDecoderObject* self, const char* message) {
    int position = static_cast<int>(Position(self));
    std::string where = self->fFileName.empty() ? std::string("<string>") : self->fFileName;
    return setException(where + CL_StringFormat(", position %d: %s", position, message));
}

PyObject* decoder_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    JSONDecoderObject* self = new (reinterpret_cast<JSONDecoderObject*>(obj)) JSONDecoderObject();
    if (!self->fHandle) {
        Py_DECREF(obj);
        return PyErr_NoMemory();
    }
    return obj;
}

void decoder_dealloc(PyObject* obj) {
    reinterpret_cast<JSONDecoderObject*>(obj)->~JSONDecoderObject();
    Py_TYPE(obj)->tp_free(obj);
}

int decoder_init(PyObject* obj, PyObject* args, PyObject*) {
    JSONDecoderObject* self = reinterpret_cast<JSONDecoderObject*>(obj);
    std::string encoding, filename;
    if (!PyArg_ParseTuple(args, "|O&O&", ConvertCString, &encoding, ConvertString, &filename))
        return -1;
    if (!encoding.empty()) {
        self->fEncoding = encoding;
        self->fUTF8 = NamesUTF8(encoding);
    }
    self->fFileName = filename;
    return 0;
}

PyObject* decoder_nothing(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    Py_RETURN_NONE;
}

// The parser is not re-entrant: a callback method must not feed its own decoder.
PyObject* ReentryError() {
    PyErr_SetString(PyExc_RuntimeError, "the decoder is already parsing");
    return nullptr;
}

// The bytes of a chunk, in place: a str as UTF-8, a bytes object whole. A NUL byte is
// not JSON and must reach the parser to be refused rather than end the chunk early.
bool ChunkOf(PyObject* obj, const char** data, size_t* size) {
    Py_ssize_t n = 0;
    if (PyBytes_Check(obj)) {
        *data = PyBytes_AS_STRING(obj);
        n = PyBytes_GET_SIZE(obj);
    } else if (PyUnicode_Check(obj)) {
        *data = PyUnicode_AsUTF8AndSize(obj, &n);
        if (!*data) return false;
    } else {
        PyErr_SetString(PyExc_ValueError, "Expected 'str' or 'unicode' object");
        return false;
    }
    *size = static_cast<size_t>(n);
    return true;
}

PyObject* decoder_parse(PyObject* obj, PyObject* args, PyObject*) {
    JSONDecoderObject* self = reinterpret_cast<JSONDecoderObject*>(obj);
    PyObject* chunk = nullptr;
    if (!PyArg_ParseTuple(args, "O:parse", &chunk)) return nullptr;
    const char* text = nullptr;
    size_t size = 0;
    if (!ChunkOf(chunk, &text, &size)) return nullptr;
    if (self->fSaved) return ReentryError();
    std::string copy;
    const unsigned char* data =
        reinterpret_cast<const unsigned char*>(JSONRefuseOddSpace(text, size, &copy));
    self->fChunkOpen = true;
    self->fSaved = PyEval_SaveThread();
    yajl_status status = yajl_parse(self->fHandle, data, size);
    PyEval_RestoreThread(self->fSaved);
    self->fSaved = nullptr;
    if (status == yajl_status_ok) {
        self->fPosition += size;
        self->fChunkOpen = false;
        Py_RETURN_NONE;
    }
    if (PyErr_Occurred()) return nullptr;
    unsigned char* message = yajl_get_error(self->fHandle, 0, data, size);
    RaiseAt(self, message ? reinterpret_cast<const char*>(message) : "parse error");
    if (message) yajl_free_error(self->fHandle, message);
    return nullptr;
}

PyObject* decoder_complete_parse(PyObject* obj, PyObject* const*, Py_ssize_t, PyObject*) {
    JSONDecoderObject* self = reinterpret_cast<JSONDecoderObject*>(obj);
    if (self->fSaved) return ReentryError();
    self->fSaved = PyEval_SaveThread();
    yajl_status status = yajl_complete_parse(self->fHandle);
    PyEval_RestoreThread(self->fSaved);
    self->fSaved = nullptr;
    if (status == yajl_status_ok) {
        self->fPosition = 0;
        self->fChunkOpen = false;
        Py_RETURN_NONE;
    }
    PyErr_Clear();
    return RaiseAt(self, yajl_status_to_string(status));
}

PyObject* decoder_set_filename(PyObject* obj, PyObject* args, PyObject*) {
    std::string name;
    if (!PyArg_ParseTuple(args, "O&:set_filename", ConvertString, &name)) return nullptr;
    reinterpret_cast<JSONDecoderObject*>(obj)->fFileName = name;
    Py_RETURN_NONE;
}

PyObject* decoder_get_parse_position(PyObject* obj, PyObject* const*, Py_ssize_t, PyObject*) {
    return PyLong_FromSize_t(Position(reinterpret_cast<JSONDecoderObject*>(obj)));
}

PyMethodDef sDecoderMethods[] = {
    {"read", ZL_METHOD(decoder_nothing), METH_FASTCALL | METH_KEYWORDS,
     "read(object)\n\nMethod called when a bool/int/long/float/Decimal/string/date/datetime is "
     "parsed from the stream"},
    {"read_key", ZL_METHOD(decoder_nothing), METH_FASTCALL | METH_KEYWORDS,
     "read_key(str)\n\nMethod called when a mapping key is parsed from the stream"},
    {"start_map", ZL_METHOD(decoder_nothing), METH_FASTCALL | METH_KEYWORDS,
     "start_map()\n\nMethod called when a mapping start is parsed from the stream"},
    {"end_map", ZL_METHOD(decoder_nothing), METH_FASTCALL | METH_KEYWORDS,
     "end_map()\n\nMethod called when a mapping end is parsed from the stream"},
    {"start_array", ZL_METHOD(decoder_nothing), METH_FASTCALL | METH_KEYWORDS,
     "start_array()\n\nMethod called when an array start is parsed from the stream"},
    {"end_array", ZL_METHOD(decoder_nothing), METH_FASTCALL | METH_KEYWORDS,
     "end_array()\n\nMethod called when an array end is parsed from the stream"},
    {"parse", ZL_METHOD(decoder_parse), METH_VARARGS | METH_KEYWORDS,
     "parse(text)\n\nParses given text"},
    {"complete_parse", ZL_METHOD(decoder_complete_parse), METH_FASTCALL | METH_KEYWORDS,
     "complete_parse()\n\nEnds parsing session, parsing any remaining buffered data"},
    {"set_filename", ZL_METHOD(decoder_set_filename), METH_VARARGS | METH_KEYWORDS,
     "set_filename(str)\n\nSets current filename for error reporting"},
    {"get_parse_position", ZL_METHOD(decoder_get_parse_position),
     METH_FASTCALL | METH_KEYWORDS, "get_parse_position()\n\nGets current parser position"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

JSONDecoderObject::JSONDecoderObject()
    : fHandle(nullptr),
      fEncoding("utf-8"),
      fPosition(0),
      fSaved(nullptr),
      fChunkOpen(false),
      fUTF8(true) {
    fHandle = yajl_alloc(&sCallbacks, nullptr, this);
    if (fHandle) {
        yajl_config(fHandle, yajl_allow_comments, 1);
        yajl_config(fHandle, yajl_dont_validate_strings, 1);
    }
}

ZL_SLOT_TABLE(PyTypeObject JSONDecoderType,
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "_zelmolib.JSONDecoder",
    .tp_basicsize = sizeof(JSONDecoderObject),
    .tp_dealloc = ZL_GUARD(decoder_dealloc),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "JSONDecoder objects",
    .tp_methods = sDecoderMethods,
    .tp_init = ZL_GUARD(decoder_init),
    .tp_new = ZL_GUARD(decoder_new))

int AddJSONDecoderType(PyObject* module) {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) return -1;
    }
    PyObject* datetime = PyImport_ImportModule("datetime");
    if (!datetime) return -1;
    Py_DECREF(datetime);
    return ZL_AddType(module, &JSONDecoderType);
}

}  // namespace QPX
