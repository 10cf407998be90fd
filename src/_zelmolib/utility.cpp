// Module functions over services of the native libraries: name resolution, network
// interfaces, machine identity, system information, XML conversion of dicts, XSLT,
// regular-expression search, checksums, password hashes and paths. Each parses its
// arguments, calls the service (without the interpreter lock where it may take time,
// on objects of its own) and converts the result.
#include <cstring>
#include <mutex>

#include <libxslt/documents.h>

#include "convert.h"
#include "lumo/blob.h"
#include "lumo/clock.h"
#include "lumo/computer.h"
#include "lumo/files.h"
#include "lumo/regex.h"
#include "lumo/socket.h"
#include "lumo/table.h"
#include "lumo/utf8.h"
#include "lumo/xml.h"
#include "qpx/zelmo_client/common.h"
#include "registration.h"
#include "string_args.h"

namespace QPX {

namespace {

constexpr uint32 kMaxInterfaces = 32;

PyObject* Text(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t)text.size(), "strict");
}

PyObject* host_lookup(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"address", nullptr};
    std::string address;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&:host_lookup", const_cast<char**>(keywords),
                                     ConvertCString, &address))
        return nullptr;
    std::string result;
    ZL_BEGIN_ALLOW_THREADS
    result = CL_NetAddress::Lookup(address);
    ZL_END_ALLOW_THREADS
    return Text(result);
}

PyObject* get_network_interfaces(PyObject*, PyObject*, PyObject*) {
    CL_NetInterface* records = new CL_NetInterface[kMaxInterfaces];
    if (!records) return PyErr_NoMemory();
    uint32 count = 0;
    ZL_BEGIN_ALLOW_THREADS
    count = CL_NetInterface::Enumerate(records, kMaxInterfaces);
    ZL_END_ALLOW_THREADS
    if (count > kMaxInterfaces) count = kMaxInterfaces;
    PyObject* result = PyTuple_New(count);
    for (uint32 i = 0; result && i < count; ++i) {
        const CL_NetInterface& nic = records[i];
        uint8 mac[6] = {0, 0, 0, 0, 0, 0};
        nic.GetMAC(mac);
        const char* name = nic.GetName();
        PyObject* item = Py_BuildValue(
            "{s:N,s:y#,s:N,s:N,s:N,s:k}", "name", Text(name ? name : ""), "mac",
            reinterpret_cast<const char*>(mac), (Py_ssize_t)6, "address",
            Text(nic.GetAddress().GetIP()), "netmask", Text(nic.GetNetmask().GetIP()),
            "broadcast", Text(nic.GetBroadcast().GetIP()), "features",
            static_cast<unsigned long>(nic.GetFeatures()));
        if (!item) {
            Py_CLEAR(result);
            break;
        }
        PyTuple_SET_ITEM(result, i, item);
    }
    // The records release their own names.
    delete[] records;
    return result;
}

// The machine identity and the system description read files and ask the system's
// user database, which may wait on the network.
PyObject* get_machine_uuid(PyObject*, PyObject*) {
    std::string uuid;
    ZL_BEGIN_ALLOW_THREADS
    uuid = GetComputerUUID().Get();
    ZL_END_ALLOW_THREADS
    return Text(uuid);
}

PyObject* get_system_info(PyObject*, PyObject*) {
    std::string spec;
    ZL_BEGIN_ALLOW_THREADS
    CL_ComputerInfo info;
    CL_GetComputerInfo(&info);
    spec = info.fOSSpec;
    ZL_END_ALLOW_THREADS
    return Text(spec);
}

// The blob's bytes up to its first NUL or its end.
std::string BlobText(CL_Blob& blob) {
    const char* data = reinterpret_cast<const char*>(blob.GetDataForRead());
    size_t size = blob.GetSize();
    return data ? std::string(data, strnlen(data, size)) : std::string();
}

bool TextsWithoutNul(const CLU_List& list);

// XML has no NUL character: a text holding one would be cut there. False with
// ValueError for the first such text.
bool TextsWithoutNul(const CLU_Entry& entry) {
    switch (entry.GetType()) {
        case CLU_TEXT:
            return RefuseNul(entry.fString);
        case CLU_LIST:
            return TextsWithoutNul(entry.fList);
        case CLU_TABLE:
            for (auto it = entry.fTable.begin(); it != entry.fTable.end(); ++it)
                if (!TextsWithoutNul(*it.ptr())) return false;
            return true;
        default:
            return true;
    }
}

bool TextsWithoutNul(const CLU_List& list) {
    for (const CLU_Entry& item : list)
        if (!TextsWithoutNul(item)) return false;
    return true;
}

bool TextsWithoutNul(const CLU_Table& table) {
    for (auto it = table.begin(); it != table.end(); ++it)
        if (!TextsWithoutNul(*it.ptr())) return false;
    return true;
}

PyObject* save_xml(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"dict", nullptr};
    PyObject* dict = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!:save_xml", const_cast<char**>(keywords),
                                     &PyDict_Type, &dict))
        return nullptr;
    CLU_Table table;
    Table_FromPy(dict, &table);
    if (PyErr_Occurred() || !TextsWithoutNul(table)) return nullptr;
    std::string text;
    ZL_BEGIN_ALLOW_THREADS
    CL_XML_Document document;
    CL_XML_Node root = table.SaveXML(&document, CLU_XML_STANDARD);
    document.SetRoot(root);
    CL_Blob blob;
    document.Save(blob);
    blob.Seek(0, CL_SEEK_SET);
    text = BlobText(blob);
    ZL_END_ALLOW_THREADS
    return Text(text);
}

// A blob holds less than 4 GiB: a longer text is refused rather than cut.
bool FitsBlob(const std::string& text) {
    if (text.size() < UINT32_MAX) return true;
    PyErr_SetString(PyExc_OverflowError, "text too large");
    return false;
}

PyObject* load_xml(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"xml", nullptr};
    std::string xml;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&:load_xml", const_cast<char**>(keywords),
                                     ConvertCString, &xml))
        return nullptr;
    if (!FitsBlob(xml)) return nullptr;
    bool parsed = false, loaded = false;
    std::string error;
    CLU_Table table;
    ZL_BEGIN_ALLOW_THREADS
    CL_Blob blob;
    blob.Write(xml.data(), static_cast<uint32>(xml.size()));
    blob.Write("", 1);
    blob.Seek(0, CL_SEEK_SET);
    CL_XML_Document document;
    parsed = document.Load(blob, 0);
    if (!parsed) {
        error = document.GetError();
    } else {
        CL_XML_Node root = document.GetRoot();
        loaded = !root.IsNull() && table.LoadXML(&document, root, CLU_XML_STANDARD);
    }
    ZL_END_ALLOW_THREADS
    if (!parsed) {
        PyErr_SetString(PyExc_ValueError, error.c_str());
        return nullptr;
    }
    if (!loaded) {
        PyErr_SetString(PyExc_ValueError, "malformed XML dictionary definition");
        return nullptr;
    }
    return Table_FromCLU(&table);
}

// Stylesheets given as text name no file: while one is applied, the calling thread
// loads no document (document(), xsl:include, xsl:import), local or remote.
thread_local bool tRefuseDocuments = false;
xsltDocLoaderFunc sDefaultDocLoader = nullptr;

xmlDocPtr GuardedDocLoader(const xmlChar* uri, xmlDictPtr dict, int options, void* context,
                           xsltLoadType type) {
    if (tRefuseDocuments || !sDefaultDocLoader) return nullptr;
    return sDefaultDocLoader(uri, dict, options, context, type);
}

class RefuseDocuments {
public:
    RefuseDocuments() {
        static std::once_flag once;
        std::call_once(once, [] {
            sDefaultDocLoader = xsltDocDefaultLoader;
            xsltSetLoaderFunc(GuardedDocLoader);
        });
        tRefuseDocuments = true;
    }
    ~RefuseDocuments() { tRefuseDocuments = false; }
    RefuseDocuments(const RefuseDocuments&) = delete;
    RefuseDocuments& operator=(const RefuseDocuments&) = delete;
};

PyObject* apply_stylesheet(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"xml", "xslt", nullptr};
    std::string xml, xslt;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&O&:_apply_stylesheet",
                                     const_cast<char**>(keywords), ConvertCString, &xml,
                                     ConvertCString, &xslt))
        return nullptr;
    if (!FitsBlob(xml) || !FitsBlob(xslt)) return nullptr;
    bool ok = false;
    std::string message, result;
    ZL_BEGIN_ALLOW_THREADS
    RefuseDocuments noDocuments;
    CL_Blob xmlBlob, xsltBlob, out;
    xmlBlob.Write(xml.data(), static_cast<uint32>(xml.size()));
    xmlBlob.Seek(0, CL_SEEK_SET);
    xsltBlob.Write(xslt.data(), static_cast<uint32>(xslt.size()));
    xsltBlob.Seek(0, CL_SEEK_SET);
    CL_XML_Document document, stylesheet;
    document.Load(xmlBlob, 0);
    std::string documentError = document.GetError();
    stylesheet.Load(xsltBlob, CL_XML_SUBSTITUTE_ENTITIES);
    std::string stylesheetError = stylesheet.GetError();
    ok = documentError.empty() && !document.GetRoot().IsNull() && stylesheetError.empty() &&
         !stylesheet.GetRoot().IsNull() && document.Transform(stylesheet, &out) &&
         out.GetSize() > 0;
    if (ok) {
        const char* data = reinterpret_cast<const char*>(out.GetDataForRead());
        result.assign(data, out.GetSize());
    } else {
        message = !documentError.empty()     ? documentError
                  : !stylesheetError.empty() ? stylesheetError
                                             : std::string("transformation error");
    }
    ZL_END_ALLOW_THREADS
    if (!ok) {
        std::string text = CL_StringFormat("Error applying stylesheet: %s", message.c_str());
        PyErr_SetString(PyExc_ValueError, text.c_str());
        return nullptr;
    }
    return Text(result);
}

// The text of regexp_find_all: a str as UTF-8, bytes up to the first NUL, any other
// buffer copied (another thread could change it while the matcher runs unlocked).
// Bytes that are not UTF-8 are refused: the matcher must not read them.
bool SearchText(PyObject* obj, std::string* out) {
    if (PyUnicode_Check(obj)) return UnicodeToUTF8(obj, out);
    if (PyBytes_Check(obj)) {
        const char* data = PyBytes_AS_STRING(obj);
        out->assign(data, strnlen(data, static_cast<size_t>(PyBytes_GET_SIZE(obj))));
    } else if (PyObject_CheckBuffer(obj)) {
        Py_buffer view;
        if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) < 0) return false;
        out->assign(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
        PyBuffer_Release(&view);
    } else {
        PyErr_SetString(PyExc_ValueError, "Expected 'str' or 'unicode' object");
        return false;
    }
    PyObject* check = PyUnicode_DecodeUTF8(out->data(), (Py_ssize_t)out->size(), "strict");
    if (!check) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "text is not valid UTF-8");
        return false;
    }
    Py_DECREF(check);
    return true;
}

PyObject* GroupText(const CL_Match& match, int32 i) {
    return PyUnicode_DecodeUTF8(match.GetTextData(i), match.GetTextSize(i), "replace");
}

PyObject* MatchItem(const CL_Match& match) {
    int32 n = match.Count();
    if (n <= 1) return GroupText(match, 0);
    if (n == 2) return GroupText(match, 1);
    PyObject* tuple = PyTuple_New(n - 1);
    for (int32 i = 1; tuple && i < n; ++i) {
        PyObject* text = GroupText(match, i);
        if (!text) {
            Py_CLEAR(tuple);
            break;
        }
        PyTuple_SET_ITEM(tuple, i - 1, text);
    }
    return tuple;
}

PyObject* regexp_find_all(PyObject*, PyObject* args, PyObject*) {
    std::string pattern, text;
    PyObject* textObject = nullptr;
    if (!PyArg_ParseTuple(args, "O&O:regexp_find_all", ConvertString, &pattern, &textObject))
        return nullptr;
    if (!SearchText(textObject, &text)) return nullptr;
    CL_RegEx regex(pattern);
    if (!regex.IsOk()) {
        PyErr_SetString(PyExc_ValueError, regex.GetError().c_str());
        return nullptr;
    }
    PyObject* list = PyList_New(0);
    if (!list) return nullptr;
    CL_Match match;
    bool first = true;
    for (;;) {
        CL_Status status = CL_OK;
        int32 lastStart = match.fStart[0], lastEnd = match.fEnd[0];
        ZL_BEGIN_ALLOW_THREADS
        status = regex.Find(text, &match, first ? nullptr : &match);
        ZL_END_ALLOW_THREADS
        if (status != CL_OK) break;
        // An empty match must move on: never the same empty match twice.
        if (!first && match.fStart[0] == lastStart && match.fEnd[0] == lastEnd &&
            lastStart == lastEnd)
            break;
        first = false;
        PyObject* item = MatchItem(match);
        if (!item || PyList_Append(list, item) < 0) {
            Py_XDECREF(item);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(item);
    }
    return list;
}

PyObject* checksum(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"buffer", nullptr};
    PyObject* obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:checksum", const_cast<char**>(keywords),
                                     &obj))
        return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_ND) < 0) return nullptr;
    if (static_cast<uint64>(view.len) > UINT32_MAX) {
        // A blob holds less than 4 GiB; a cut copy would give a wrong sum.
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_OverflowError, "buffer too large");
        return nullptr;
    }
    CL_Blob blob;
    blob.Write(view.buf, static_cast<uint32>(view.len));
    PyBuffer_Release(&view);
    return PyLong_FromUnsignedLong(blob.CheckSum());
}

PyObject* hash_password(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"password", nullptr};
    std::string password;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&:hash_password", const_cast<char**>(keywords),
                                     ConvertString, &password))
        return nullptr;
    return Text(GetPassword(password));
}

PyObject* get_application_log_path(PyObject*, PyObject*) {
    std::string application = CL_GetPath(CL_APPLICATION_PATH);
    if (!application.empty()) application.pop_back();
    size_t slash = application.rfind('/');
    std::string name = slash == std::string::npos ? application : application.substr(slash + 1);
    return Text(CL_GetPath(CL_USER_LOG_PATH) + name);
}

PyObject* set_process_foreground(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"foreground", nullptr};
    PyObject* foreground = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_set_process_foreground",
                                     const_cast<char**>(keywords), &foreground))
        return nullptr;
    int truth = PyObject_IsTrue(foreground);
    if (truth < 0) return nullptr;
    CL_SetProcessForeground(truth != 0);
    Py_RETURN_NONE;
}

PyObject* check_all(PyObject*, PyObject* args, PyObject*) {
    Py_buffer view;
    if (!PyArg_ParseTuple(args, "y*:_check_all", &view)) return nullptr;
    size_t count = static_cast<size_t>(view.len) / sizeof(int64);
    const char* data = static_cast<const char*>(view.buf);
    bool all = true;
    for (size_t i = 0; all && i < count; ++i) {
        int64 id;
        memcpy(&id, data + i * sizeof(int64), sizeof(id));
        all = id != 0;
    }
    PyBuffer_Release(&view);
    return PyBool_FromLong(all);
}

}  // namespace

PyMethodDef sUtilityMethods[] = {
    {"host_lookup", ZL_METHOD(host_lookup), METH_VARARGS | METH_KEYWORDS,
     "host_lookup(str) -> str\n\nPerforms a forward or reverse DNS lookup given an IP/host "
     "name."},
    {"get_network_interfaces", ZL_METHOD(get_network_interfaces),
     METH_VARARGS | METH_KEYWORDS,
     "get_network_interfaces() -> tuple\n\nReturns a list of dicts holding informations on all "
     "the available network interfaces."},
    {"get_machine_uuid", ZL_METHOD(get_machine_uuid), METH_NOARGS,
     "get_machine_uuid() -> str\n\nGets machine unique UUID."},
    {"get_system_info", ZL_METHOD(get_system_info), METH_NOARGS,
     "get_system_info() -> str\n\nGets informations on the operating system."},
    {"save_xml", ZL_METHOD(save_xml), METH_VARARGS | METH_KEYWORDS,
     "save_xml(dict) -> str\n\nConverts given dictionary object in XML form and returns it as "
     "an (unicode) string."},
    {"load_xml", ZL_METHOD(load_xml), METH_VARARGS | METH_KEYWORDS,
     "load_xml(str) -> dict\n\nLoads XML from given (unicode) string and returns a "
     "corresponding dictionary object."},
    {"hash_password", ZL_METHOD(hash_password), METH_VARARGS | METH_KEYWORDS,
     "hash_password(password) -> str\n\nReturns the hashed version of given plain password."},
    {"checksum", ZL_METHOD(checksum), METH_VARARGS | METH_KEYWORDS,
     "checksum(buffer) -> int\n\nComputes a fast checksum of a buffer."},
    {"get_application_log_path", ZL_METHOD(get_application_log_path), METH_NOARGS,
     "get_application_log_path() -> str\n\nReturns the user log path concatenated with the "
     "application name."},
    {"_set_process_foreground", ZL_METHOD(set_process_foreground),
     METH_VARARGS | METH_KEYWORDS,
     "_set_process_foreground(foreground)\n\nSets process foreground status."},
    {"_apply_stylesheet", ZL_METHOD(apply_stylesheet), METH_VARARGS | METH_KEYWORDS,
     "_apply_stylesheet(xml, xslt) -> str\n\nApplies given xslt transform to xml (both "
     "specified as strings) and returns transform result."},
    {"_check_all", ZL_METHOD(check_all), METH_VARARGS | METH_KEYWORDS,
     "_check_all(ids) -> Returns true if all elements of array ids are non-zero."},
    {"regexp_find_all", ZL_METHOD(regexp_find_all), METH_VARARGS | METH_KEYWORDS,
     "regexp_find_all(pattern, text) -> list(tuple)\n\nPerforms a regular expression findall "
     "operation optimized for multithreading."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace QPX

PyMethodDef* const ZL_UtilityMethods = QPX::sUtilityMethods;
