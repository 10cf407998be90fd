// Value conversion between entries, lists and tables and Python objects. Timestamps
// are stored as UTC and shown to Python as naive local datetimes.
#include "convert.h"

#include <datetime.h>
#include <malloc.h>

#include <atomic>

#include "decimal_type.h"
#include "module.h"
#include "string_args.h"

namespace {

constexpr long long kMsecsPerDay = 86400000LL;
// A blob's size is a 32-bit count, kept below 2 GiB.
constexpr Py_ssize_t kMaxBlobSize = 0x7FFFFFFF;

// Guards the nesting of lists and dicts: a container that holds itself ends in
// RecursionError instead of overflowing the C stack. The interpreter's guard is
// backed by a depth bound of our own, since worker threads have smaller stacks than
// the interpreter's C limit assumes.
constexpr int kMaxNesting = 1000;
thread_local int sNesting = 0;
// Nesting at which a request for the server is refused, 0 outside one: its flattened
// form would not carry it, and the library would send what is left of it.
thread_local int sRequestLimit = 0;

// Values converted by the thread's outermost conversion so far. A large reply leaves
// its arena blocks in the process's keep and its freed heap pages resident once the
// reply goes; a trim is queued for the interpreter to run after the caller returns
// (when the reply is gone).
constexpr long kLargeReply = 200000;
thread_local long sConverted = 0;
std::atomic<bool> sTrimQueued{false};

int TrimHeap(void*) {
    sTrimQueued.store(false);
    CLU_Entry::ReleaseArenaBlocks();
#ifdef __GLIBC__
    malloc_trim(0);
#endif
    return 0;
}

void NoteConverted() {
    if (sConverted < kLargeReply) {
        sConverted = 0;
        return;
    }
    sConverted = 0;
    if (!sTrimQueued.exchange(true) && Py_AddPendingCall(TrimHeap, nullptr) != 0)
        sTrimQueued.store(false);
}

class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) : fEntered(false) {
        if (sRequestLimit && sNesting >= sRequestLimit) {
            PyErr_Format(PyExc_ValueError,
                         "a request may nest lists and dicts at most %d levels deep",
                         int(CLU_MAX_FLATTEN_DEPTH));
            return;
        }
        if (sNesting >= kMaxNesting) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return;
        }
        if (Py_EnterRecursiveCall(where) != 0) return;
        fEntered = true;
        ++sNesting;
    }
    ~RecursionGuard() {
        if (!fEntered) return;
        if (--sNesting == 0) NoteConverted();
        Py_LeaveRecursiveCall();
    }
    bool Entered() const { return fEntered; }

private:
    bool fEntered;
};

// A strong reference given back when the scope ends, however it ends: a conversion
// that runs out of memory must not keep the caller's objects alive. A thread that the
// interpreter ends while it waits for the interpreter lock (a str() of a value may let
// the lock go) unwinds without the lock: the reference is then left alone.
class Holder {
public:
    explicit Holder(PyObject* object) : fObject(Py_XNewRef(object)) {}
    // Takes over a reference the caller owns.
    static Holder Adopt(PyObject* object) { return Holder(object, true); }
    ~Holder() {
        if (fObject && PyGILState_Check()) Py_DECREF(fObject);
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    PyObject* Get() const { return fObject; }
    PyObject* Release() {
        PyObject* object = fObject;
        fObject = nullptr;
        return object;
    }

private:
    Holder(PyObject* object, bool) : fObject(object) {}

    PyObject* fObject;
};

// Text bytes read in place, as TextToPy reads a string.
PyObject* TextViewToPy(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

bool YearInRange(const CL_Date& date) {
    int year = date.GetYear();
    return year >= 1900 && year <= 9999;
}

// The calendar fields are taken apart once for each value.
PyObject* DateToPy(const CL_Date& date) {
    if (date.ToRaw() == 0) Py_RETURN_NONE;
    int day, month, year;
    date.GetFields(&day, &month, &year);
    if (year < 1900 || year > 9999) Py_RETURN_NONE;
    return PyDate_FromDate(year, month, day);
}

PyObject* TimeStampToPy(const CL_TimeStamp& utc) {
    if (utc.ToRaw() == 0 || !YearInRange(utc)) Py_RETURN_NONE;
    CL_TimeStamp local(utc.ToRaw() - utc.GetTimeZoneOffset());
    int day, month, year, hour, minute, second, msec;
    local.GetFields(&day, &month, &year, &hour, &minute, &second, &msec);
    return PyDateTime_FromDateAndTime(year, month, day, hour, minute, second, msec * 1000);
}

PyObject* TimeToPy(long long v) {
    if (v == -1) Py_RETURN_NONE;
    return PyTime_FromTime(static_cast<int>(v / 3600000), static_cast<int>(v / 60000 % 60),
                           static_cast<int>(v / 1000 % 60), static_cast<int>(v % 1000) * 1000);
}

// The str of a table key, from the module's cache when the key is short; without the
// module state every key gets a str of its own. The state is looked up for each key
// (a cheap lookup), so that no conversion keeps a cache past its module.
PyObject* KeyToPy(std::string_view text) {
    MODULE_STATE* state = ZL_GetState();
    if (!state || text.size() > ZL_KeyCache::kMaxText) return TextViewToPy(text);
    ZL_KeyCache* cache = &state->fKeyCache;
    uint32 h = 2166136261u;
    for (unsigned char c : text)
        h = (h ^ c) * 16777619u;
    ZL_KeyCache::Slot& slot = cache->fSlots[h % ZL_KeyCache::kSlots];
    if (slot.fKey && slot.fText == text) {
        Py_INCREF(slot.fKey);
        return slot.fKey;
    }
    PyObject* key = TextViewToPy(text);
    if (!key) return nullptr;
    Py_INCREF(key);
    Py_XSETREF(slot.fKey, key);
    slot.fText = text;
    return key;
}

// Text of a dict key: bytes up to the first NUL, the UTF-8 of a str; for any other key
// ValueError is left pending and str(key) (or repr(key)) is the text. A table key is
// written with a NUL after it, so a str key holding one (which would arrive cut) leaves
// ValueError pending too.
void KeyText(PyObject* key, std::string* out) {
    if (PyBytes_Check(key) || PyUnicode_Check(key)) {
        if (QPX::ConvertString(key, out)) QPX::RefuseNul(*out);
        return;
    }
    PyObject* text = PyObject_Str(key);
    if (!text) {
        PyErr_Clear();
        text = PyObject_Repr(key);
    }
    if (!text) PyErr_Clear();
    if (text && PyUnicode_Check(text) && !UnicodeToUTF8(text, out)) PyErr_Clear();
    Py_XDECREF(text);
    PyErr_SetString(PyExc_ValueError, "Expected 'str' or 'unicode' object");
}

// The last resort: str(obj), else repr(obj), else NULL.
void FallbackText(PyObject* obj, CLU_Entry* out) {
    PyErr_Clear();
    PyObject* text = PyObject_Str(obj);
    if (!text) {
        PyErr_Clear();
        text = PyObject_Repr(obj);
    }
    std::string s;
    if (text && PyUnicode_Check(text) && UnicodeToUTF8(text, &s)) {
        out->Set(s);
    } else {
        PyErr_Clear();
        out->Set(CLU_Null);
    }
    Py_XDECREF(text);
}

// None, bool, int, Decimal and float; false when obj is none of them.
bool ScalarFromPy(PyObject* obj, CLU_Entry* out) {
    if (obj == Py_None) {
        out->Set(CLU_Null);
    } else if (Py_IS_TYPE(obj, &PyBool_Type)) {
        out->Set(obj == Py_True);
    } else if (PyLong_Check(obj)) {
        out->Set(static_cast<long long>(PyLong_AsLongLong(obj)));
    } else if (QPX::IsDecimal(obj)) {
        out->Set(reinterpret_cast<QPX::DecimalObject*>(obj)->fValue);
    } else if (PyFloat_Check(obj)) {
        out->Set(PyFloat_AS_DOUBLE(obj));
    } else {
        return false;
    }
    return true;
}

// datetime (a local time, stored as UTC), date and time; false when obj is none of
// them. A datetime is also a date: it is tried first.
bool DateTimeFromPy(PyObject* obj, CLU_Entry* out) {
    if (PyDateTime_Check(obj)) {
        CL_TimeStamp ts;
        ts.SetFields(PyDateTime_GET_DAY(obj), PyDateTime_GET_MONTH(obj), PyDateTime_GET_YEAR(obj),
                     PyDateTime_DATE_GET_HOUR(obj), PyDateTime_DATE_GET_MINUTE(obj),
                     PyDateTime_DATE_GET_SECOND(obj), PyDateTime_DATE_GET_MICROSECOND(obj) / 1000);
        out->Set(CL_TimeStamp(ts.ToRaw() + ts.GetTimeZoneOffset()));
    } else if (PyDate_Check(obj)) {
        CL_Date d;
        d.SetFields(PyDateTime_GET_DAY(obj), PyDateTime_GET_MONTH(obj), PyDateTime_GET_YEAR(obj),
                    0, 0, 0, 0);
        out->Set(d);
    } else if (PyTime_Check(obj)) {
        long long ms = PyDateTime_TIME_GET_HOUR(obj) * 3600000LL +
                       PyDateTime_TIME_GET_MINUTE(obj) * 60000LL +
                       PyDateTime_TIME_GET_SECOND(obj) * 1000LL +
                       PyDateTime_TIME_GET_MICROSECOND(obj) / 1000;
        out->Set(CL_Time(static_cast<int>(ms % kMsecsPerDay)));
    } else {
        return false;
    }
    return true;
}

// A bytes object as a blob; OverflowError (entry unchanged) past what a blob holds.
void BytesFromPy(PyObject* obj, CLU_Entry* out) {
    if (PyBytes_GET_SIZE(obj) > kMaxBlobSize) {
        PyErr_SetString(PyExc_OverflowError, "bytes value too large for a blob");
        return;
    }
    out->Set(CL_Blob(PyBytes_AS_STRING(obj), static_cast<uint32>(PyBytes_GET_SIZE(obj)), true));
}

// Any other object with a buffer as a blob, as bytes are; false when it has none or
// does not give it.
bool BufferFromPy(PyObject* obj, CLU_Entry* out) {
    if (!PyObject_CheckBuffer(obj)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) != 0) return false;
    if (view.len > kMaxBlobSize) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_OverflowError, "buffer too large for a blob");
        return true;
    }
    out->Set(CL_Blob(view.buf, static_cast<uint32>(view.len), true));
    PyBuffer_Release(&view);
    return true;
}

}  // namespace

PyObject* Entry_FromCLU(const CLU_Entry* e) {
    switch (e->GetType()) {
    case CLU_BLOB: {
        const CL_Blob& b = e->fBlob;
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.GetDataForRead()),
                                         static_cast<Py_ssize_t>(b.GetSize()));
    }
    case CLU_DATE:
        return DateToPy(e->fDate);
    case CLU_TIME:
        return TimeToPy(e->fTime.ToRaw());
    case CLU_LIST:
        return QPX::List_FromCLU(&e->fList);
    case CLU_TABLE:
        return QPX::Table_FromCLU(&e->fTable);
    case CLU_BOOL:
        return PyBool_FromLong(e->fBool);
    case CLU_DECIMAL: {
        QPX::DecimalObject* d = QPX::DecimalObject::Allocate();
        if (d) d->fValue = e->fDecimal;
        return reinterpret_cast<PyObject*>(d);
    }
    case CLU_FLOAT:
        return PyFloat_FromDouble(e->fFloat);
    case CLU_INTEGER:
        return PyLong_FromLongLong(e->fInteger);
    case CLU_TEXT:
        return TextViewToPy(e->TextView());
    case CLU_TIMESTAMP:
        return TimeStampToPy(e->fTimeStamp);
    default:
        Py_RETURN_NONE;
    }
}

namespace QPX {

PyObject* TextToPy(const std::string& text) {
    return TextViewToPy(text);
}

int InitUtilities() {
    PyDateTime_IMPORT;
    return PyDateTimeAPI ? 0 : -1;
}

PyObject* List_FromCLU(const CLU_List* list) {
    RecursionGuard guard(" while converting a list");
    if (!guard.Entered()) return nullptr;
    const Py_ssize_t n = static_cast<Py_ssize_t>(list->Count());
    sConverted += n;
    PyObject* result = PyList_New(n);
    if (!result) return nullptr;
    Py_ssize_t i = 0;
    for (const CLU_Entry& item : *list) {
        if (i >= n) break;
        PyObject* value = Entry_FromCLU(&item);
        if (!value) {
            // The slots not yet filled hold null, which the list's release skips.
            Py_DECREF(result);
            return nullptr;
        }
        PyList_SET_ITEM(result, i++, value);
    }
    return result;
}

PyObject* Table_FromCLU(const CLU_Table* table) {
    RecursionGuard guard(" while converting a table");
    if (!guard.Entered()) return nullptr;
    PyObject* result = PyDict_New();
    if (!result) return nullptr;
    sConverted += static_cast<long>(table->Count());
    for (auto it = table->begin(); it != table->end(); ++it) {
        PyObject* value = Entry_FromCLU(it.ptr());
        if (!value) {
            Py_DECREF(result);
            return nullptr;
        }
        PyObject* key = KeyToPy(it.KeyRef());
        int rc = key ? PyDict_SetItem(result, key, value) : -1;
        Py_XDECREF(key);
        Py_DECREF(value);
        if (rc < 0) {
            Py_DECREF(result);
            return nullptr;
        }
    }
    return result;
}

void List_FromPy(PyObject* obj, CLU_List* out) {
    out->Clear();
    if (!PyList_Check(obj) && !PyTuple_Check(obj)) return;
    RecursionGuard guard(" while converting a list");
    if (!guard.Entered()) return;
    // Items are read by index each time: a callback of the conversion (str() of an
    // item) may change the list.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
        if (PyErr_Occurred()) return;
        Holder item(PySequence_Fast_GET_ITEM(obj, i));
        CLU_Entry entry;
        Entry_FromPy(item.Get(), &entry);
        out->Append(entry);
    }
}

void Table_FromPy(PyObject* obj, CLU_Table* out) {
    out->Clear();
    if (!PyDict_Check(obj)) return;
    RecursionGuard guard(" while converting a dict");
    if (!guard.Entered()) return;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    Holder dict(obj);
    while (PyDict_Next(obj, &pos, &key, &value)) {
        if (PyErr_Occurred()) break;
        Holder heldKey(key), heldValue(value);
        std::string text;
        KeyText(key, &text);
        // The offending entry is still stored; the walk stops before the next one.
        Holder saved = Holder::Adopt(PyErr_GetRaisedException());
        CLU_Entry entry;
        Entry_FromPy(value, &entry);
        if (saved.Get() && !PyErr_Occurred()) PyErr_SetRaisedException(saved.Release());
        out->Set(text, entry);
    }
}

void Request_FromPy(PyObject* obj, CLU_Table* out) {
    // The outer limit comes back however the conversion ends, a thrown one included.
    struct Scope {
        int fOuter = sRequestLimit;
        ~Scope() { sRequestLimit = fOuter; }
    } scope;
    // The dict is the first level; a conversion inside another one counts from there.
    sRequestLimit = sNesting + CLU_MAX_FLATTEN_DEPTH;
    Table_FromPy(obj, out);
}

}  // namespace QPX

void Entry_FromPy(PyObject* obj, CLU_Entry* out) {
    if (ScalarFromPy(obj, out) || DateTimeFromPy(obj, out)) return;
    if (PyBytes_Check(obj)) {
        BytesFromPy(obj, out);
    } else if (PyUnicode_Check(obj)) {
        std::string text;
        if (UnicodeToUTF8(obj, &text)) out->Set(text);
    } else if (PyList_Check(obj) || PyTuple_Check(obj)) {
        CLU_List list;
        QPX::List_FromPy(obj, &list);
        out->Set(list);
    } else if (PyDict_Check(obj)) {
        CLU_Table table;
        QPX::Table_FromPy(obj, &table);
        out->Set(table);
    } else if (!BufferFromPy(obj, out)) {
        FallbackText(obj, out);
    }
}
