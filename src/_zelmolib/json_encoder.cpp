// JSONEncoder: Python values written as JSON text through yajl's streaming generator.
// Nested values of dicts and sequences go back through the object's own write method,
// so a subclass sees each of them. One object is used by one thread at a time; it has
// no lock (every method runs with the interpreter lock held).
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include <yajl/yajl_gen.h>

#include "json.h"
// After Python.h (through json.h).
#include <datetime.h>
#include "convert.h"
#include "decimal_type.h"
#include "lumo/base/decnum/decnum.h"
#include "lumo/timestamp.h"
#include "module.h"
#include "registration.h"
#include "string_args.h"

namespace QPX {

namespace {

// What is open at one level of the document, kept beside the generator: yajl neither
// checks that a close matches what is open nor that anything is open at all.
enum OpenKind : uint8_t { kArray, kMapKey, kMapValue };

}  // namespace

struct JSONEncoderObject {
    PyObject_HEAD
    yajl_gen fHandle;
    std::string fEncoding;
    bool fPretty;
    bool fUTF8;  // fEncoding names UTF-8: str values are taken as they are
    std::vector<uint8_t> fOpen;

    JSONEncoderObject() : fHandle(nullptr), fEncoding("utf-8"), fPretty(true), fUTF8(true) {
        NewGenerator();
    }
    ~JSONEncoderObject() {
        if (fHandle) yajl_gen_free(fHandle);
    }

    void Configure() {
        yajl_gen_config(fHandle, yajl_gen_beautify, fPretty ? 1 : 0);
        yajl_gen_config(fHandle, yajl_gen_indent_string, fPretty ? "\t" : "");
    }
    void NewGenerator() {
        if (fHandle) yajl_gen_free(fHandle);
        fHandle = yajl_gen_alloc(nullptr);
        fOpen.clear();
        if (fHandle) Configure();
    }
    // A value was written at the current level.
    void Wrote() {
        if (fOpen.empty()) return;
        uint8_t& top = fOpen.back();
        if (top == kMapKey)
            top = kMapValue;
        else if (top == kMapValue)
            top = kMapKey;
    }
};

namespace {

bool checkGen(yajl_gen_status status) {
    switch (status) {
        case yajl_gen_status_ok:
            return true;
        case yajl_gen_keys_must_be_strings:
            setException("Expected string object as mapping key");
            break;
        case yajl_max_depth_exceeded:
            setException("Maximum generation depth exceeded");
            break;
        case yajl_gen_in_error_state:
            setException("Cannot write while in error state");
            break;
        case yajl_gen_generation_complete:
            setException("A complete JSON document has been generated");
            break;
        default:
            setException("Internal error");
            break;
    }
    return false;
}

// A scalar: checks the status and follows the map's key/value turn.
bool Scalar(JSONEncoderObject* self, yajl_gen_status status) {
    if (!checkGen(status)) return false;
    self->Wrote();
    return true;
}

bool Open(JSONEncoderObject* self, bool map) {
    yajl_gen_status status =
        map ? yajl_gen_map_open(self->fHandle) : yajl_gen_array_open(self->fHandle);
    if (!checkGen(status)) return false;
    self->Wrote();
    self->fOpen.push_back(map ? kMapKey : kArray);
    return true;
}

bool Close(JSONEncoderObject* self, bool map) {
    if (self->fOpen.empty() || (self->fOpen.back() == kArray) == map) {
        setException(map ? "No mapping is open" : "No array is open");
        return false;
    }
    if (map && self->fOpen.back() == kMapValue) {
        setException("Mapping key has no value");
        return false;
    }
    yajl_gen_status status =
        map ? yajl_gen_map_close(self->fHandle) : yajl_gen_array_close(self->fHandle);
    if (!checkGen(status)) return false;
    self->fOpen.pop_back();
    return true;
}

bool WriteText(JSONEncoderObject* self, PyObject* str) {
    if (self->fUTF8) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(str, &size);
        if (!data) return false;
        return Scalar(self, yajl_gen_string(self->fHandle,
                                            reinterpret_cast<const unsigned char*>(data),
                                            static_cast<size_t>(size)));
    }
    PyObject* bytes = PyUnicode_AsEncodedString(str, self->fEncoding.c_str(), "strict");
    if (!bytes) return false;
    if (!PyBytes_Check(bytes)) {
        PyErr_Format(PyExc_TypeError, "encoder returned '%.200s' instead of 'bytes'",
                     Py_TYPE(bytes)->tp_name);
        Py_DECREF(bytes);
        return false;
    }
    bool ok = Scalar(self, yajl_gen_string(
                               self->fHandle,
                               reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes)),
                               static_cast<size_t>(PyBytes_GET_SIZE(bytes))));
    Py_DECREF(bytes);
    return ok;
}

bool WriteLatin(JSONEncoderObject* self, const std::string& text) {
    return Scalar(self, yajl_gen_string(self->fHandle,
                                        reinterpret_cast<const unsigned char*>(text.data()),
                                        text.size()));
}

bool encode_value(JSONEncoderObject* self, MODULE_STATE* state, PyObject* object);

// One nested value: through self.write, unless the object is exactly of this type
// (its write is this encoder's own and cannot be replaced).
bool WriteNested(JSONEncoderObject* self, MODULE_STATE* state, PyObject* value) {
    if (Py_TYPE(self) == &JSONEncoderType) return encode_value(self, state, value);
    PyObject* result = PyObject_CallMethodOneArg(reinterpret_cast<PyObject*>(self),
                                                 state->fMethodWrite, value);
    if (!result) return false;
    Py_DECREF(result);
    return true;
}

// The generator's text of a double: "%.20g", with ".0" added when that reads as an
// integer. to_chars gives the same digits as printf, in no locale, several times
// faster; non-finite values are refused as the generator refuses them.
bool WriteDouble(JSONEncoderObject* self, double value) {
    if (!std::isfinite(value)) return checkGen(yajl_gen_invalid_number);
    char text[64];
    std::to_chars_result r =
        std::to_chars(text, text + sizeof(text) - 2, value, std::chars_format::general, 20);
    size_t length = static_cast<size_t>(r.ptr - text);
    size_t integral = 0;
    while (integral < length && (text[integral] == '-' || (text[integral] >= '0' &&
                                                           text[integral] <= '9')))
        ++integral;
    if (integral == length) {
        text[length++] = '.';
        text[length++] = '0';
    }
    return Scalar(self, yajl_gen_number(self->fHandle, text, length));
}

bool WriteInteger(JSONEncoderObject* self, PyObject* object) {
    long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) return false;
    return Scalar(self, yajl_gen_integer(self->fHandle, value));
}

// A number that reads back to the same value: the short text when the value has one,
// else its plain digits where the text rules take them and the scientific form where
// they would not. JSON has no NaN or infinity: those are refused as for floats.
bool WriteDecimal(JSONEncoderObject* self, const CL_Decimal& value) {
    char shortText[CL_Decimal::kShortStringRoom];
    size_t length = value.ToShortString(shortText);
    if (length) return Scalar(self, yajl_gen_number(self->fHandle, shortText, length));
    if (!value.GetNumber().IsFinite()) return checkGen(yajl_gen_invalid_number);
    std::string text = value.ToParsableString();
    return Scalar(self, yajl_gen_number(self->fHandle, text.data(), text.size()));
}

// A datetime, date or time. Dates and timestamps are written from their fields as the
// ISO layouts print them: going through the base library's calendar would turn 5-14
// October 1582, which that calendar removes, into "NULL" or a wrong day.
bool WriteDateTime(JSONEncoderObject* self, PyObject* object) {
    if (PyDateTime_Check(object)) {
        char text[40];
        int n = snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.000",
                         PyDateTime_GET_YEAR(object), PyDateTime_GET_MONTH(object),
                         PyDateTime_GET_DAY(object), PyDateTime_DATE_GET_HOUR(object),
                         PyDateTime_DATE_GET_MINUTE(object), PyDateTime_DATE_GET_SECOND(object));
        return WriteLatin(self, std::string(text, static_cast<size_t>(n)));
    }
    if (PyDate_Check(object)) {
        char text[24];
        int n = snprintf(text, sizeof(text), "%04d-%02d-%02d", PyDateTime_GET_YEAR(object),
                         PyDateTime_GET_MONTH(object), PyDateTime_GET_DAY(object));
        return WriteLatin(self, std::string(text, static_cast<size_t>(n)));
    }
    long long ms = PyDateTime_TIME_GET_HOUR(object) * 3600000LL +
                   PyDateTime_TIME_GET_MINUTE(object) * 60000LL +
                   PyDateTime_TIME_GET_SECOND(object) * 1000LL;
    return WriteLatin(self, CL_Time(static_cast<int>(ms % CL_MSECS_PER_DAY)).ToString());
}

// Bytes are written as the str they decode to (strict UTF-8).
bool WriteBytes(JSONEncoderObject* self, PyObject* object) {
    PyObject* text =
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(object), PyBytes_GET_SIZE(object), "strict");
    if (!text) return false;
    bool ok = WriteText(self, text);
    Py_DECREF(text);
    return ok;
}

bool WriteDict(JSONEncoderObject* self, MODULE_STATE* state, PyObject* object) {
    if (!Open(self, true)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(object, &pos, &key, &value)) {
        // The values' write methods may change the dict: hold what is in use.
        Py_INCREF(key);
        Py_INCREF(value);
        bool ok = encode_value(self, state, key) && WriteNested(self, state, value);
        Py_DECREF(key);
        Py_DECREF(value);
        if (!ok) return false;
    }
    return Close(self, true);
}

bool WriteSequence(JSONEncoderObject* self, MODULE_STATE* state, PyObject* object) {
    PyObject* seq = PySequence_Fast(object, "Expecting tuple or list");
    if (!seq) return false;
    bool ok = Open(self, false);
    // Size and items read afresh each turn: a write method may change a list.
    for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(seq); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq, i);
        Py_INCREF(item);
        ok = WriteNested(self, state, item);
        Py_DECREF(item);
    }
    Py_DECREF(seq);
    return ok && Close(self, false);
}

bool encode_value(JSONEncoderObject* self, MODULE_STATE* state, PyObject* object) {
    if (object == Py_None) return Scalar(self, yajl_gen_null(self->fHandle));
    if (PyBool_Check(object))
        return Scalar(self, yajl_gen_bool(self->fHandle, object == Py_True));
    if (PyLong_Check(object)) return WriteInteger(self, object);
    if (PyFloat_Check(object)) return WriteDouble(self, PyFloat_AS_DOUBLE(object));
    if (IsDecimal(object))
        return WriteDecimal(self, reinterpret_cast<DecimalObject*>(object)->fValue);
    if (PyDate_Check(object) || PyTime_Check(object)) return WriteDateTime(self, object);
    if (PyBytes_Check(object)) return WriteBytes(self, object);
    if (PyUnicode_Check(object)) return WriteText(self, object);
    if (PyDict_Check(object)) return WriteDict(self, state, object);
    if (PySequence_Check(object)) return WriteSequence(self, state, object);
    PyErr_Format(PyExc_ValueError,
                 "Unexpected type %s, expecting bool, int, long, float, Decimal, date, datetime "
                 "or str/unicode object",
                 Py_TYPE(object)->tp_name);
    return false;
}

// One value and what it holds; the module state is looked up once per call.
bool encode_object(JSONEncoderObject* self, PyObject* object) {
    MODULE_STATE* state = ZL_GetState();
    if (!state) {
        noModuleState();
        return false;
    }
    return encode_value(self, state, object);
}

JSONEncoderObject* Self(PyObject* obj) {
    return reinterpret_cast<JSONEncoderObject*>(obj);
}

PyObject* encoder_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    JSONEncoderObject* self = new (Self(obj)) JSONEncoderObject();
    if (!self->fHandle) {
        Py_DECREF(obj);
        return PyErr_NoMemory();
    }
    return obj;
}

void encoder_dealloc(PyObject* obj) {
    Self(obj)->~JSONEncoderObject();
    Py_TYPE(obj)->tp_free(obj);
}

int encoder_init(PyObject* obj, PyObject* args, PyObject*) {
    JSONEncoderObject* self = Self(obj);
    std::string encoding;
    PyObject* pretty = Py_True;
    if (!PyArg_ParseTuple(args, "|O&O", ConvertCString, &encoding, &pretty)) return -1;
    if (!encoding.empty()) {
        self->fEncoding = encoding;
        self->fUTF8 = NamesUTF8(encoding);
    }
    int truth = PyObject_IsTrue(pretty);
    if (truth < 0) PyErr_Clear();
    self->fPretty = truth != 0;
    self->Configure();
    return 0;
}

PyObject* encoder_write(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "write() takes exactly one argument (%zd given)", nargs);
        return nullptr;
    }
    if (!encode_object(Self(obj), args[0])) return nullptr;
    Py_RETURN_NONE;
}

PyObject* encoder_start_map(PyObject* obj, PyObject* const*, Py_ssize_t, PyObject*) {
    if (!Open(Self(obj), true)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* encoder_end_map(PyObject* obj, PyObject* const*, Py_ssize_t, PyObject*) {
    if (!Close(Self(obj), true)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* encoder_start_array(PyObject* obj, PyObject* const*, Py_ssize_t, PyObject*) {
    if (!Open(Self(obj), false)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* encoder_end_array(PyObject* obj, PyObject* const*, Py_ssize_t, PyObject*) {
    if (!Close(Self(obj), false)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* encoder_generate(PyObject* obj, PyObject* const*, Py_ssize_t, PyObject*) {
    JSONEncoderObject* self = Self(obj);
    const unsigned char* buffer = nullptr;
    size_t length = 0;
    if (!checkGen(yajl_gen_get_buf(self->fHandle, &buffer, &length))) return nullptr;
    PyObject* result =
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer), (Py_ssize_t)length);
    if (!result) return nullptr;
    yajl_gen_clear(self->fHandle);
    return result;
}

PyObject* encoder_reset(PyObject* obj, PyObject* const*, Py_ssize_t, PyObject*) {
    JSONEncoderObject* self = Self(obj);
    self->NewGenerator();
    if (!self->fHandle) return PyErr_NoMemory();
    Py_RETURN_NONE;
}

PyMethodDef sEncoderMethods[] = {
    {"write", ZL_METHOD(encoder_write), METH_FASTCALL | METH_KEYWORDS,
     "write(object)\n\nWrites a bool/int/long/float/Decimal/string/date/datetime to the stream"},
    {"start_map", ZL_METHOD(encoder_start_map), METH_FASTCALL | METH_KEYWORDS,
     "start_map()\n\nStarts a new mapping in the stream"},
    {"end_map", ZL_METHOD(encoder_end_map), METH_FASTCALL | METH_KEYWORDS,
     "end_map()\n\nEnds current mapping in the stream"},
    {"start_array", ZL_METHOD(encoder_start_array), METH_FASTCALL | METH_KEYWORDS,
     "start_array()\n\nStarts a new array in the stream"},
    {"end_array", ZL_METHOD(encoder_end_array), METH_FASTCALL | METH_KEYWORDS,
     "end_array()\n\nEnds current array in the stream"},
    {"generate", ZL_METHOD(encoder_generate), METH_FASTCALL | METH_KEYWORDS,
     "generate()\n\nReturns currently generated output and clear internal buffer"},
    {"reset", ZL_METHOD(encoder_reset), METH_FASTCALL | METH_KEYWORDS,
     "reset()\n\nResets encoder so a new file can be generated"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* setException(const std::string& message) {
    MODULE_STATE* state = ZL_GetState();
    PyObject* cls = state && state->fJSONException ? state->fJSONException : PyExc_RuntimeError;
    PyObject* text = TextToPy(message);
    if (!text) return nullptr;
    PyErr_SetObject(cls, text);
    Py_DECREF(text);
    return nullptr;
}

ZL_SLOT_TABLE(PyTypeObject JSONEncoderType,
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "_zelmolib.JSONEncoder",
    .tp_basicsize = sizeof(JSONEncoderObject),
    .tp_dealloc = ZL_GUARD(encoder_dealloc),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "JSONEncoder objects",
    .tp_methods = sEncoderMethods,
    .tp_init = ZL_GUARD(encoder_init),
    .tp_new = ZL_GUARD(encoder_new))

int AddJSONEncoderType(PyObject* module) {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) return -1;
    }
    return ZL_AddType(module, &JSONEncoderType);
}

}  // namespace QPX

int ZL_AddJSONTypes(PyObject* module) {
    if (QPX::AddJSONEncoderType(module) < 0) return -1;
    return QPX::AddJSONDecoderType(module);
}
