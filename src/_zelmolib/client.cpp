// The Client type: creation from and return to the module's pool of native clients,
// and the connection methods (discovery, connect, disconnect, identity, interrupt,
// connection information and the generic execute).
#include <vector>

#include "client_pool.h"
#include "client_type.h"
#include "convert.h"
#include "errors.h"
#include "lumo/utf8.h"
#include "lumo/uuid.h"
#include "registration.h"
#include "string_args.h"

namespace QPX {

namespace {

constexpr int kConnectTimeOut = 30000;
constexpr int kDiscoveryTimeOut = 5000;
constexpr uint32 kMaxDiscoveredServers = 100;

QPX_Client* Native(PyObject* self) {
    return reinterpret_cast<ClientObject*>(self)->fClient;
}

PyObject* Client_new(PyTypeObject* type, PyObject*, PyObject*) {
    ClientObject* self = reinterpret_cast<ClientObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->fClient = nullptr;
    if (!trackClient(&self->fClient)) {
        Py_DECREF(self);
        PyErr_SetString(PyExc_RuntimeError, "cannot instantiate Client object during termination");
        return nullptr;
    }
    if (!self->fClient) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    self->fClient->SetDefaultIdleCB(_SyncIdleCB);
    return reinterpret_cast<PyObject*>(self);
}

void Client_dealloc(PyObject* object) {
    ClientObject* self = reinterpret_cast<ClientObject*>(object);
    // After clean-up the native client stays out of the pool, untouched.
    untrackClient(self->fClient);
    self->fClient = nullptr;
    Py_TYPE(object)->tp_free(object);
}

constexpr long long kMaxPort = 65535;
constexpr const char* kPortEntry = "'port' entry in 'server' dictionary";

// A port number, or ValueError naming `what`: cut to its low 16 bits, a number out of
// range would reach another port.
bool CheckedPort(long long number, const char* what, uint16* port) {
    if (number < 0 || number > kMaxPort) {
        PyErr_Format(PyExc_ValueError, "%s must be between 0 and %lld", what, kMaxPort);
        return false;
    }
    *port = uint16(number);
    return true;
}

// The "port" entry of a server dict; false with an exception set. A text that is not
// wholly a base-10 number (empty included) means port 0, the default.
bool ReadPort(PyObject* value, uint16* port) {
    if (PyLong_Check(value)) {
        long long number = PyLong_AsLongLong(value);
        if (number == -1 && PyErr_Occurred()) return false;
        return CheckedPort(number, kPortEntry, port);
    }
    if (PyUnicode_Check(value) || PyBytes_Check(value)) {
        std::string text;
        if (!ConvertString(value, &text)) return false;
        long long number = 0;
        if (CL_StringToNumber(text, &number, 10)) return CheckedPort(number, kPortEntry, port);
        *port = 0;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s must be an integer object", kPortEntry);
    return false;
}

// Host and port of a server dict (a dict or a subclass); false with an exception set.
bool ReadServer(PyObject* server, QPX_ServerSpec* spec) {
    if (!PyDict_Check(server)) {
        PyErr_SetString(PyExc_TypeError, "'server' must be a dictionary object");
        return false;
    }
    PyObject* host = nullptr;
    if (PyDict_GetItemStringRef(server, "host", &host) < 0) return false;
    if (!host) {
        PyErr_SetString(PyExc_KeyError, "missing 'host' entry in server dictionary");
        return false;
    }
    bool ok = ConvertCString(host, &spec->fHost) != 0;
    Py_DECREF(host);
    if (!ok) return false;
    PyObject* port = nullptr;
    if (PyDict_GetItemStringRef(server, "port", &port) < 0) return false;
    if (!port) {
        PyErr_SetString(PyExc_KeyError, "missing 'port' entry in server dictionary");
        return false;
    }
    ok = ReadPort(port, &spec->fPort);
    Py_DECREF(port);
    return ok;
}

PyObject* Client_list_servers(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"timeout", "port", "success", "error", "progress",
                                     "userdata", nullptr};
    int timeout = kDiscoveryTimeOut, port = 0;
    PyObject *success = nullptr, *error = nullptr, *progress = nullptr, *userdata = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|iiOOOO", const_cast<char**>(keywords),
                                     &timeout, &port, &success, &error, &progress, &userdata) ||
        !CheckCallbacks(success, error, progress, nullptr))
        return nullptr;
    uint16 base = 0;
    if (!CheckedPort(port, "'port'", &base)) return nullptr;
    QPX_Client* client = Native(self);
    if (ZL_IsSet(success)) {
        DeferredObject* d = StartDeferred(reinterpret_cast<ClientObject*>(self), success, error,
                                          progress, nullptr, userdata);
        if (!d) return nullptr;
        ZL_BEGIN_ALLOW_THREADS
        client->GetServerList(_DiscoverCB, _ErrorCB, _ProgressCB, d, uint32(timeout), base);
        ZL_END_ALLOW_THREADS
        return reinterpret_cast<PyObject*>(d);
    }
    std::vector<QPX_ServerSpec> servers(kMaxDiscoveredServers);
    uint32 count = 0;
    SyncCall call;
    ZL_BEGIN_ALLOW_THREADS
    // On this thread, which looks at pending signals from the cancel check.
    QPX_CancelScope scope(SyncCall::CancelCheck, &call);
    count = client->GetServerList(servers.data(), kMaxDiscoveredServers, uint32(timeout), base);
    ZL_END_ALLOW_THREADS
    if (call.Raise()) return nullptr;
    return ServerSpecsToTuple(servers.data(), count);
}

PyObject* Client_connect(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"server", "host", "port", "options", "timeout", "success",
                                     "error", "progress", "userdata", nullptr};
    PyObject *server = nullptr, *options = nullptr;
    const char* host = nullptr;
    int port = 0, timeout = kConnectTimeOut;
    PyObject *success = nullptr, *error = nullptr, *progress = nullptr, *userdata = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OsiOiOOOO", const_cast<char**>(keywords),
                                     &server, &host, &port, &options, &timeout, &success, &error,
                                     &progress, &userdata) ||
        !CheckCallbacks(success, error, progress, nullptr))
        return nullptr;

    QPX_ServerSpec spec;
    CLU_Table table;
    if (!ZL_IsSet(server)) {
        if (!host) {
            PyErr_SetString(PyExc_ValueError,
                            "either 'host' or 'server' parameter must be specified");
            return nullptr;
        }
        spec.fHost = host;
        if (!CheckedPort(port, "'port'", &spec.fPort)) return nullptr;
    } else if (!ReadServer(server, &spec)) {
        return nullptr;
    }
    if (options && PyDict_Check(options)) Request_FromPy(options, &table);
    if (PyErr_Occurred()) return nullptr;
    if (table.Exists("sid") && !table.IsNull("sid")) spec.fSID = table.GetString("sid");
    if (table.Exists("remote_address") && !table.IsNull("remote_address"))
        spec.fRemoteAddress = table.GetString("remote_address");

    QPX_Client* client = Native(self);
    if (ZL_IsSet(success)) {
        DeferredObject* d = StartDeferred(reinterpret_cast<ClientObject*>(self), success, error,
                                          progress, nullptr, userdata);
        if (!d) return nullptr;
        ZL_BEGIN_ALLOW_THREADS
        client->Connect(&spec, table, _SuccessWithTableCB, _ErrorCB, _ProgressCB, d,
                        uint32(timeout));
        ZL_END_ALLOW_THREADS
        return reinterpret_cast<PyObject*>(d);
    }
    CLU_Table reply;
    QPX_Status status = CL_OK;
    SyncCall call;
    ZL_BEGIN_ALLOW_THREADS
    // On this thread, which looks at pending signals from the cancel check.
    QPX_CancelScope scope(SyncCall::CancelCheck, &call);
    status = client->Connect(&spec, &reply, table, uint32(timeout));
    ZL_END_ALLOW_THREADS
    if (call.Raise()) return nullptr;
    if (status != CL_OK) return setException(reinterpret_cast<ClientObject*>(self), status);
    return Table_FromCLU(&reply);
}

PyObject* Client_disconnect(PyObject* self, PyObject*) {
    Native(self)->Disconnect();
    Py_RETURN_NONE;
}

PyObject* Client_get_id(PyObject* self, PyObject*) {
    return PyLong_FromUnsignedLong(Native(self)->GetID());
}

PyObject* Client_interrupt(PyObject* self, PyObject*) {
    // Waits at the handshake's gate until a connect in progress on another thread ends its
    // handshake, then writes to the socket within the client's time-out.
    QPX_Client* client = Native(self);
    ZL_BEGIN_ALLOW_THREADS
    client->Interrupt();
    ZL_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject* Client_get_connection_info(PyObject* self, PyObject*) {
    QPX_Client* client = Native(self);
    CLU_Table info;
    client->GetConnectionInfo(&info);
    CLU_UUID uuid = info.Exists("uuid") ? CLU_UUID(info.GetString("uuid")) : CLU_UUID::Null();
    // The server's identity is the sign of a live connection.
    if (uuid.IsNull()) Py_RETURN_NONE;
    CLU_Table database = client->GetDatabase();
    CLU_Table user = client->GetUser();
    if (database.Empty())
        info.Set("database", CLU_Null);
    else
        info.Set("database", database);
    if (user.Empty())
        info.Set("user", CLU_Null);
    else
        info.Set("user", user);
    return Table_FromCLU(&info);
}

PyObject* Client_execute(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"command", "data", "timeout", "success", "error",
                                     "progress", "idle", "userdata", nullptr};
    int command = 0, timeout = kMethodTimeOut;
    PyObject *data = nullptr, *success = nullptr, *error = nullptr, *progress = nullptr,
             *idle = nullptr, *userdata = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i|O!iOOOOO:execute",
                                     const_cast<char**>(keywords), &command, &PyDict_Type, &data,
                                     &timeout, &success, &error, &progress, &idle, &userdata) ||
        !CheckCallbacks(success, error, progress, idle))
        return nullptr;
    CLU_Table request;
    if (data) {
        Request_FromPy(data, &request);
        if (PyErr_Occurred()) return nullptr;
    }
    QPX_Client* client = Native(self);
    if (ZL_IsSet(success)) {
        DeferredObject* d = StartDeferred(reinterpret_cast<ClientObject*>(self), success, error,
                                          progress, idle, userdata);
        if (!d) return nullptr;
        ZL_BEGIN_ALLOW_THREADS
        client->Execute(QPX_Command(command), &request, _SuccessWithTableCB, _ErrorCB, _ProgressCB,
                        _IdleCB, d, uint32(timeout));
        ZL_END_ALLOW_THREADS
        return reinterpret_cast<PyObject*>(d);
    }
    CLU_Table reply;
    QPX_Status status = CL_OK;
    SyncCall call;
    ZL_BEGIN_ALLOW_THREADS
    // An interrupted call's request is cancelled at the server by the library.
    status = client->Execute(QPX_Command(command), &request, &reply, _SyncIdleCB, uint32(timeout));
    ZL_END_ALLOW_THREADS
    if (call.Raise()) return nullptr;
    if (status != CL_OK) return setException(status, &reply);
    return Table_FromCLU(&reply);
}

const PyMethodDef kConnectionMethods[] = {
    {"list_servers", ZL_METHOD(Client_list_servers), METH_VARARGS | METH_KEYWORDS,
     "list_servers([timeout, port, success, error, progress, userdata]) -> tuple | Deferred\n\n"
     "Gets a list of available servers found in the local network, using specified UDP port "
     "for servers discovery. Returns a tuple of dict objects with informations on each server "
     "found."},
    {"connect", ZL_METHOD(Client_connect), METH_VARARGS | METH_KEYWORDS,
     "connect([server, host, port, options, timeout, success, error, progress, userdata]) -> "
     "dict | Deferred\n\n"
     "Connects to a server given either as a dict like those returned by list_servers() or "
     "by host and port, sending the connection options given in the options dict."},
    {"disconnect", ZL_METHOD(Client_disconnect), METH_NOARGS,
     "disconnect()\n\nDisconnects from currently connected server."},
    {"get_id", ZL_METHOD(Client_get_id), METH_NOARGS,
     "get_id() -> int\n\nReturns the ID identifying this client on the server."},
    {"get_connection_info", ZL_METHOD(Client_get_connection_info), METH_NOARGS,
     "get_connection_info() -> dict | None\n\n"
     "Returns informations on the currently connected server or None if not connected at all."},
    {"execute", ZL_METHOD(Client_execute), METH_VARARGS | METH_KEYWORDS,
     "execute(command[, data, timeout, success, error, progress, idle, userdata]) -> dict | "
     "Deferred\n\nExecutes an operation on the server."},
    {"interrupt", ZL_METHOD(Client_interrupt), METH_NOARGS,
     "interrupt()\n\nInterrupts all pending operations on this client."},
};
constexpr size_t kConnectionMethodCount = sizeof(kConnectionMethods) / sizeof(kConnectionMethods[0]);

std::vector<PyMethodDef> sMethods;

}  // namespace

bool CheckCallbacks(PyObject* success, PyObject* error, PyObject* progress, PyObject* idle) {
    // The synchronous form calls none of them: any object is taken there.
    if (!ZL_IsSet(success)) return true;
    return ZL_CheckCallables(
        {{"success", success}, {"error", error}, {"progress", progress}, {"idle", idle}});
}

DeferredObject* StartDeferred(ClientObject* self, PyObject* success, PyObject* error,
                              PyObject* progress, PyObject* idle, PyObject* userdata) {
    // An inactive module leaves every Deferred pending, in a forked child too.
    MODULE_STATE* s = ZL_GetState();
    if (s && s->fInitialized && ZL_ForkedChild()) {
        ZL_ForkedChildError();
        return nullptr;
    }
    DeferredObject* d = DeferredObject::Allocate(self, userdata ? userdata : Py_None, success,
                                                 error, progress, idle);
    if (d) Py_INCREF(reinterpret_cast<PyObject*>(d));
    return d;
}

// Default flags only: not subclassable, not tracked by the garbage collector. The
// method table is put together at registration.
ZL_SLOT_TABLE(PyTypeObject ClientType,
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "_zelmolib.Client",
    .tp_basicsize = sizeof(ClientObject),
    .tp_dealloc = ZL_GUARD(Client_dealloc),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Client objects",
    .tp_new = ZL_GUARD(Client_new))

}  // namespace QPX

int ZL_AddClientType(PyObject* module) {
    using namespace QPX;
    // The connection methods, then the named ones, then the end marker.
    if (sMethods.empty()) {
        sMethods.assign(kConnectionMethods, kConnectionMethods + kConnectionMethodCount);
        sMethods.insert(sMethods.end(), NamedMethods, NamedMethods + NamedMethodCount);
        sMethods.push_back({nullptr, nullptr, 0, nullptr});
    }
    ClientType.tp_methods = sMethods.data();
    return ZL_AddType(module, &ClientType);
}

QPX_Client* ZL_NewNativeClient(CL_Dispatcher* dispatcher) {
    return new QPX_Client(dispatcher);
}

void ZL_DisconnectNativeClient(QPX_Client* client) {
    if (client) client->Disconnect();
}
