// The named database and administration methods of Client. Every method is one row
// of a table: its argument units, keywords and defaults, the kind of its result and a
// small adapter onto the client library's operation. One mechanism parses and
// converts the arguments, chooses the synchronous form (interpreter lock released)
// or the asynchronous one (a Deferred, when `success` is given), and turns the
// library's result into Python objects or the package's Error.
#include <cstring>
#include <string>
#include <utility>

#include "client_type.h"
#include "convert.h"
#include "errors.h"
#include "lumo/uuid.h"
#include "string_args.h"

namespace QPX {

namespace {

// Units of an argument list, one letter each, '|' before the optional ones:
//   s  text ("O&" with ConvertString)     f  flag: any object, read by its truth value
//   i  int                                c  success, error, progress, userdata (in turn)
//   t  time-out (int)                     d  driver text: None or absent is empty
//   b  optional flag: None passes none    n  client id: a text or a number
//   k  backup name or sequence of names   p  optional new password text
constexpr int kMaxUnits = 16;
constexpr int kMaxSlots = 4;

enum class Result { kNone, kTable, kList, kUUIDText, kUpgrade, kResultSet };

// The converted arguments and the library's results of one call.
struct Call {
    std::string fText[kMaxSlots];
    bool fFlag[kMaxSlots] = {};
    int fInt[kMaxSlots] = {};
    // Results of the object units.
    std::string fObjectText;  // driver, id text, one backup name, new password
    bool fHasObjectText = false;
    bool fOptionalFlag = false;
    bool fHasOptionalFlag = false;
    long fNumber = 0;
    CLU_List fNames;
    // Callbacks and time-out.
    PyObject* fCallbacks[4] = {};
    int fTimeOut = kMethodTimeOut;
    // Asynchronous call: the Deferred handed to the library as user data.
    DeferredObject* fDeferred = nullptr;
    // Results of a synchronous call.
    CLU_Table fTable;
    CLU_List fList;
    CLU_List fRows;
    uint32 fCount1 = 0;
    uint32 fCount2 = 0;
    CLU_UUID fUUID{0};
    std::string fServerError;
};

typedef QPX_Status (*Run)(QPX_Client* client, Call& call);

struct Row {
    const char* fName;
    const char* fUnits;
    const char* fKeywords[kMaxUnits + 1];
    const char* fFlagDefaults;  // 'T' or 'F' per f unit
    int fIntDefaults[kMaxSlots];
    Result fResult;
    bool fServerText;  // a failure carries the server's own text
    Run fRun;
    const char* fDescription;
};

#define ZL_CALLBACKS "success", "error", "progress", "userdata", "timeout"

// Shorthands of the adapters: the asynchronous tail and the Deferred.
#define ZL_TAIL _ErrorCB, _ProgressCB, a.fDeferred, uint32(a.fTimeOut)

const Row kRows[] = {
    {"get_data_dictionary", "|cccct", {ZL_CALLBACKS}, "", {}, Result::kTable, false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         if (!a.fDeferred) return c->GetDataDictionary(&a.fTable);
         c->GetDataDictionary(_SuccessWithTableCB, ZL_TAIL);
         return CL_OK;
     },
     "Gets the data dictionary from currently connected server."},
    {"list_drivers", "|fcccct", {"configured", ZL_CALLBACKS}, "T", {}, Result::kList, false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         if (!a.fDeferred) return c->ListDrivers(a.fFlag[0], &a.fList);
         c->ListDrivers(a.fFlag[0], _SuccessWithListCB, ZL_TAIL);
         return CL_OK;
     },
     "Returns a list where each entry is in the form {'name': ..., 'description': ..., "
     "'icon': ... }, identifying the supported server drivers."},
    {"list_databases", "|dfcccct", {"driver", "quick", ZL_CALLBACKS}, "T", {}, Result::kTable,
     false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         if (!a.fDeferred) return c->ListDatabases(a.fObjectText, a.fFlag[0], &a.fTable);
         c->ListDatabases(a.fObjectText, a.fFlag[0], _SuccessWithTableCB, ZL_TAIL);
         return CL_OK;
     },
     "Returns a dictionary with an entry for each supported server driver. The entry value is "
     "a list where each entry contains informations on a single database for that driver as "
     "found on the server."},
    {"create_database", "sss|scccct", {"password", "driver", "name", "desc", ZL_CALLBACKS}, "",
     {}, Result::kUUIDText, false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         const std::string* t = a.fText;
         if (!a.fDeferred) return c->CreateDatabase(t[0], t[1], t[2], t[3], &a.fUUID);
         c->CreateDatabase(t[0], t[1], t[2], t[3], _SuccessWithTableCB, ZL_TAIL);
         return CL_OK;
     },
     "Creates a new named database on the server using specified driver and assigning a "
     "description to it."},
    {"open_database", "ss|cccct", {"driver", "name", ZL_CALLBACKS}, "", {}, Result::kTable, false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         if (!a.fDeferred) return c->OpenDatabase(a.fText[0], a.fText[1], &a.fTable);
         c->OpenDatabase(a.fText[0], a.fText[1], _SuccessWithTableCB, ZL_TAIL);
         return CL_OK;
     },
     "Attempts to open a connection to a specified database on the server."},
    {"close_database", "|fcccct", {"backup", ZL_CALLBACKS}, "F", {}, Result::kNone, false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         if (!a.fDeferred) return c->CloseDatabase(a.fFlag[0]);
         c->CloseDatabase(a.fFlag[0], _SuccessCB, ZL_TAIL);
         return CL_OK;
     },
     "Closes connection to the current database, if any."},
    {"upgrade_database", "sss|cccct", {"password", "driver", "name", ZL_CALLBACKS}, "", {},
     Result::kUpgrade, false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         const std::string* t = a.fText;
         if (!a.fDeferred)
             return c->UpgradeDatabase(t[0], t[1], t[2], &a.fList, &a.fCount1, &a.fCount2);
         c->UpgradeDatabase(t[0], t[1], t[2], _SuccessWithUpgradeResultCB, ZL_TAIL);
         return CL_OK;
     },
     "Upgrades specified database to the latest data dictionary version, and returns a log of "
     "the operations performed to accomplish the task."},
    {"delete_database", "sss|bcccct",
     {"password", "driver", "name", "delete_cloud_data", ZL_CALLBACKS}, "", {}, Result::kNone,
     false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         const std::string* t = a.fText;
         const bool* cloud = a.fHasOptionalFlag ? &a.fOptionalFlag : nullptr;
         if (!a.fDeferred) return c->DeleteDatabase(t[0], t[1], t[2], cloud);
         c->DeleteDatabase(t[0], t[1], t[2], cloud, _SuccessCB, ZL_TAIL);
         return CL_OK;
     },
     "Deletes specified database from server."},
    {"query_database", "s|fffcccct",
     {"query", "native", "full_column_names", "collapse_blobs", ZL_CALLBACKS}, "FFF", {},
     Result::kResultSet, true,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         const bool* f = a.fFlag;
         if (!a.fDeferred)
             return c->QueryDatabase(a.fText[0], &a.fCount1, &a.fList, &a.fRows, f[0], f[1], f[2],
                                     &a.fServerError);
         c->QueryDatabase(a.fText[0], _SuccessWithResultSetCB, _ErrorCB, _ProgressCB, f[0], f[1],
                          f[2], a.fDeferred, uint32(a.fTimeOut));
         return CL_OK;
     },
     "Executes an SQL query on the connected database, using either native driver or generic "
     "SQL syntax. Returns a tuple (affected rows, column names, rows)."},
    {"backup_database", "ss|ssffifcccct",
     {"password", "backupName", "driver", "name", "auto", "overwrite", "position", "storeindex",
      ZL_CALLBACKS},
     "TFF", {0}, Result::kNone, false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         const std::string* t = a.fText;
         const bool* f = a.fFlag;
         if (!a.fDeferred)
             return c->BackupDatabase(t[0], t[2], t[3], t[1], f[0], f[1], uint32(a.fInt[0]), f[2]);
         c->BackupDatabase(t[0], t[2], t[3], t[1], f[0], f[1], uint32(a.fInt[0]), f[2], _SuccessCB,
                           ZL_TAIL);
         return CL_OK;
     },
     "Starts a backup operation on currently connected database, or the database identified "
     "by driver, name. The backup is saved using given backup name."},
    {"restore_database", "ss|ssiiiicccct",
     {"password", "backupName", "driver", "name", "changeUUID", "overWrite", "position",
      "restoreindex", ZL_CALLBACKS},
     "", {1, 0, 0, 1}, Result::kNone, false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         const std::string* t = a.fText;
         const int* i = a.fInt;
         if (!a.fDeferred)
             return c->RestoreDatabase(t[0], t[2], t[3], t[1], i[0] != 0, i[1] != 0, uint32(i[2]),
                                       i[3] != 0);
         c->RestoreDatabase(t[0], t[2], t[3], t[1], i[0] != 0, i[1] != 0, uint32(i[2]), i[3] != 0,
                            _SuccessCB, ZL_TAIL);
         return CL_OK;
     },
     "Restores a previously saved backup with given backup name into a new database created "
     "using driver and name. If changeUUID is True (the default), a new UUID is generated for "
     "the restored database, otherwise its UUID is restored from the backup as well."},
    {"list_backups", "|icccct", {"position", ZL_CALLBACKS}, "", {0}, Result::kList, false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         if (!a.fDeferred) return c->ListBackups(uint32(a.fInt[0]), &a.fList);
         c->ListBackups(uint32(a.fInt[0]), _SuccessWithListCB, ZL_TAIL);
         return CL_OK;
     },
     "Lists available backups."},
    {"delete_backup", "ski|cccct", {"password", "backupName", "position", ZL_CALLBACKS}, "", {0},
     Result::kNone, false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         uint32 position = uint32(a.fInt[0]);
         if (a.fNames.Count() > 0) {
             if (!a.fDeferred) return c->DeleteBackup(position, a.fText[0], a.fNames);
             c->DeleteBackup(position, a.fText[0], a.fNames, _SuccessCB, ZL_TAIL);
             return CL_OK;
         }
         if (!a.fDeferred) return c->DeleteBackup(position, a.fText[0], a.fObjectText);
         c->DeleteBackup(position, a.fText[0], a.fObjectText, _SuccessCB, ZL_TAIL);
         return CL_OK;
     },
     "Deletes a backup from the server."},
    {"optimize_database", "s|sscccct", {"password", "driver", "name", ZL_CALLBACKS}, "", {},
     Result::kNone, false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         const std::string* t = a.fText;
         if (!a.fDeferred) return c->OptimizeDatabase(t[0], t[1], t[2]);
         c->OptimizeDatabase(t[0], t[1], t[2], _SuccessCB, ZL_TAIL);
         return CL_OK;
     },
     "Optimizes a database on the server."},
    {"repair_database", "s|ssscccct", {"password", "driver", "name", "output", ZL_CALLBACKS}, "",
     {}, Result::kNone, false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         const std::string* t = a.fText;
         if (!a.fDeferred) return c->RepairDatabase(t[0], t[1], t[2], t[3]);
         c->RepairDatabase(t[0], t[1], t[2], t[3], _SuccessCB, ZL_TAIL);
         return CL_OK;
     },
     "Attempts to repair a database on the server."},
    {"index_database", "s|ssffcccct", {"password", "driver", "name", "reset", "run", ZL_CALLBACKS},
     "FT", {}, Result::kNone, false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         const std::string* t = a.fText;
         if (!a.fDeferred) return c->IndexDatabase(t[0], t[1], t[2], a.fFlag[0], a.fFlag[1]);
         c->IndexDatabase(t[0], t[1], t[2], a.fFlag[0], a.fFlag[1], _SuccessCB, ZL_TAIL);
         return CL_OK;
     },
     "Performs full text search indexing on a database on the server."},
    {"list_clients", "|ffcccct", {"full", "any", ZL_CALLBACKS}, "FF", {}, Result::kList, false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         if (!a.fDeferred) return c->GetClientList(a.fFlag[0], a.fFlag[1], &a.fList);
         c->GetClientList(a.fFlag[0], a.fFlag[1], _SuccessWithListCB, ZL_TAIL);
         return CL_OK;
     },
     "Returns the list of client IDs currently connected to the server."},
    {"get_client_info", "n|cccct", {"id", ZL_CALLBACKS}, "", {}, Result::kTable, false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         if (!a.fObjectText.empty()) {
             if (!a.fDeferred) return c->GetClientInfo(a.fObjectText, &a.fTable);
             c->GetClientInfo(a.fObjectText, _SuccessWithTableCB, ZL_TAIL);
             return CL_OK;
         }
         if (!a.fDeferred) return c->GetClientInfo(uint32(a.fNumber), &a.fTable);
         c->GetClientInfo(uint32(a.fNumber), _SuccessWithTableCB, ZL_TAIL);
         return CL_OK;
     },
     "Returns informations on specified client ID currently connected to the server."},
    {"kill_client", "ns|cccct", {"id", "password", ZL_CALLBACKS}, "", {}, Result::kNone, false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         if (!a.fObjectText.empty()) {
             if (!a.fDeferred) return c->KillClient(a.fObjectText, a.fText[0]);
             c->KillClient(a.fObjectText, a.fText[0], _SuccessCB, ZL_TAIL);
             return CL_OK;
         }
         if (!a.fDeferred) return c->KillClient(uint32(a.fNumber), a.fText[0]);
         c->KillClient(uint32(a.fNumber), a.fText[0], _SuccessCB, ZL_TAIL);
         return CL_OK;
     },
     "Kills the server connection for client with ID."},
    {"authenticate", "ss|cccctp", {"username", "password", ZL_CALLBACKS, "new_password"}, "", {},
     Result::kTable, false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         const std::string* t = a.fText;
         if (a.fHasObjectText) {
             if (!a.fDeferred) return c->Authenticate(t[0], t[1], a.fObjectText, &a.fTable);
             c->Authenticate(t[0], t[1], a.fObjectText, _SuccessWithTableCB, ZL_TAIL);
             return CL_OK;
         }
         if (!a.fDeferred) return c->Authenticate(t[0], t[1], &a.fTable);
         c->Authenticate(t[0], t[1], _SuccessWithTableCB, ZL_TAIL);
         return CL_OK;
     },
     "Attempts to authenticate an user on the currently connected database; on success, "
     "returns informations on the authenticated user."},
    {"full_text_search", "s|icccct", {"text", "limit", ZL_CALLBACKS}, "", {0}, Result::kList, false,
     [](QPX_Client* c, Call& a) -> QPX_Status {
         if (!a.fDeferred) return c->FullTextSearch(a.fText[0], &a.fList, a.fInt[0]);
         c->FullTextSearch(a.fText[0], a.fInt[0], _SuccessWithListCB, ZL_TAIL);
         return CL_OK;
     },
     "Performs a full text search on the connected database and returns a list of entries in "
     "the form (score, tableId, rowId)."},
};

#undef ZL_TAIL
#undef ZL_CALLBACKS

constexpr size_t kRowCount = sizeof(kRows) / sizeof(kRows[0]);

// Per row: the parser's format (units, then ":" and the method's name) and the
// docstring (call form, blank line, description).
std::string sFormats[kRowCount];
std::string sDocs[kRowCount];
PyMethodDef sTable[kRowCount];

const char* FormatUnit(char unit) {
    switch (unit) {
        case 's': return "O&";
        case 'i':
        case 't': return "i";
        case '|': return "|";
        default: return "O";
    }
}

const char* ResultText(Result result) {
    switch (result) {
        case Result::kTable: return " -> dict | Deferred";
        case Result::kList: return " -> list | Deferred";
        case Result::kUUIDText: return " -> str | Deferred";
        case Result::kUpgrade:
        case Result::kResultSet: return " -> tuple | Deferred";
        default: return " [ -> Deferred ]";
    }
}

void Describe(size_t index) {
    const Row& row = kRows[index];
    std::string format, form = std::string(row.fName) + "(";
    bool optional = false, opened = false;
    int keyword = 0;
    for (const char* u = row.fUnits; *u; u++) {
        format += FormatUnit(*u);
        if (*u == '|') {
            optional = opened = true;
            form += keyword ? "[, " : "[";
            continue;
        }
        if (keyword && !opened) form += ", ";
        opened = false;
        form += row.fKeywords[keyword++];
    }
    form += optional ? "])" : ")";
    sFormats[index] = format + ":" + row.fName;
    sDocs[index] = form + ResultText(row.fResult) + "\n\n" + row.fDescription;
}

// Text of a str or bytes object; false with ValueError set for anything else.
bool TextArgument(PyObject* obj, std::string* out) {
    return ConvertString(obj, out) != 0;
}

// Converts the object units after parsing; false with an exception set.
bool ConvertObject(char unit, PyObject* obj, Call& a) {
    switch (unit) {
        case 'd':  // driver: None or absent is the empty text
            if (!ZL_IsSet(obj)) return true;
            return TextArgument(obj, &a.fObjectText);
        case 'b':  // optional flag: None sends none
            if (!ZL_IsSet(obj)) return true;
            {
                int truth = PyObject_IsTrue(obj);
                if (truth < 0) return false;
                a.fOptionalFlag = truth != 0;
                a.fHasOptionalFlag = true;
            }
            return true;
        case 'n':  // client id: a session id text, else a number
            if (PyBytes_Check(obj) || PyUnicode_Check(obj)) return TextArgument(obj, &a.fObjectText);
            a.fNumber = PyLong_AsLong(obj);
            return !(a.fNumber == -1 && PyErr_Occurred());
        case 'k': {  // one backup name, or a sequence of them
            if (PyBytes_Check(obj) || PyUnicode_Check(obj)) return TextArgument(obj, &a.fObjectText);
            PyObject* items = PySequence_Fast(obj, "Expected 'str' or 'list' object");
            if (!items) return false;
            bool ok = true;
            Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
            for (Py_ssize_t i = 0; i < n && ok; i++) {
                PyObject* item = PySequence_Fast_GET_ITEM(items, i);
                std::string name;
                ok = TextArgument(item, &name);
                if (ok) a.fNames.Append(name);
            }
            Py_DECREF(items);
            return ok;
        }
        case 'p':  // new password: None keeps the current one
            if (!ZL_IsSet(obj)) return true;
            a.fHasObjectText = true;
            return TextArgument(obj, &a.fObjectText);
        default:
            return true;
    }
}

PyObject* BuildResult(Result result, Call& a) {
    switch (result) {
        case Result::kTable: return Table_FromCLU(&a.fTable);
        case Result::kList: return List_FromCLU(&a.fList);
        case Result::kUUIDText: {
            std::string text = a.fUUID.Get();
            return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
        }
        case Result::kUpgrade: {
            PyObject* log = List_FromCLU(&a.fList);
            return log ? Py_BuildValue("Nkk", log, (unsigned long)a.fCount1,
                                       (unsigned long)a.fCount2)
                       : nullptr;
        }
        case Result::kResultSet: {
            PyObject* columns = List_FromCLU(&a.fList);
            if (!columns) return nullptr;
            PyObject* rows = List_FromCLU(&a.fRows);
            if (!rows) {
                Py_DECREF(columns);
                return nullptr;
            }
            return Py_BuildValue("kNN", (unsigned long)a.fCount1, columns, rows);
        }
        default: Py_RETURN_NONE;
    }
}

// Where the parser stores one call's arguments: a pointer per unit, two for a
// converter unit, all as data pointers (a converter's address converts to one and
// back, as POSIX requires of function addresses). Flags and object units land in
// objects of their own, converted after parsing.
struct Targets {
    void* fSlots[2 * kMaxUnits] = {};
    PyObject* fFlags[kMaxSlots] = {};
    PyObject* fObjects[2] = {};
};

// Points the targets at the call's fields, in the order of the units, with each
// optional unit's default stored first.
void Bind(const Row& row, Call& a, Targets& t) {
    int n = 0, text = 0, flag = 0, integer = 0, object = 0, callback = 0;
    for (const char* u = row.fUnits; *u; u++) {
        switch (*u) {
            case 's':
                t.fSlots[n++] = reinterpret_cast<void*>(&ConvertString);
                t.fSlots[n++] = &a.fText[text++];
                break;
            case 'f':
                t.fFlags[flag] = row.fFlagDefaults[flag] == 'T' ? Py_True : Py_False;
                t.fSlots[n++] = &t.fFlags[flag++];
                break;
            case 'i':
                a.fInt[integer] = row.fIntDefaults[integer];
                t.fSlots[n++] = &a.fInt[integer++];
                break;
            case 'c': t.fSlots[n++] = &a.fCallbacks[callback++]; break;
            case 't': t.fSlots[n++] = &a.fTimeOut; break;
            case '|': break;
            default: t.fSlots[n++] = &t.fObjects[object++]; break;
        }
    }
}

bool Parse(size_t index, PyObject* args, PyObject* kwargs, Targets& t) {
    void** p = t.fSlots;
    static_assert(2 * kMaxUnits == 32, "the parse call below passes 32 slots");
    return PyArg_ParseTupleAndKeywords(
        args, kwargs, sFormats[index].c_str(), const_cast<char**>(kRows[index].fKeywords), p[0],
        p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10], p[11], p[12], p[13], p[14],
        p[15], p[16], p[17], p[18], p[19], p[20], p[21], p[22], p[23], p[24], p[25], p[26], p[27],
        p[28], p[29], p[30], p[31]);
}

// Flags and objects, in the order of the units, before either form starts; false
// with an exception set.
bool ConvertUnits(const Row& row, const Targets& t, Call& a) {
    int flag = 0, object = 0;
    for (const char* u = row.fUnits; *u; u++) {
        if (*u == 'f') {
            int truth = PyObject_IsTrue(t.fFlags[flag]);
            if (truth < 0) return false;
            a.fFlag[flag++] = truth != 0;
        } else if (strchr("dbnkp", *u)) {
            if (!ConvertObject(*u, t.fObjects[object++], a)) return false;
        }
    }
    return true;
}

// The asynchronous form when `success` is given (a Deferred at once), the
// synchronous one otherwise; either with the interpreter lock released.
PyObject* Perform(const Row& row, ClientObject* client, Call& a) {
    PyObject* success = a.fCallbacks[0];
    if (ZL_IsSet(success)) {
        a.fDeferred = StartDeferred(client, success, a.fCallbacks[1], a.fCallbacks[2], nullptr,
                                    a.fCallbacks[3]);
        if (!a.fDeferred) return nullptr;
        ZL_BEGIN_ALLOW_THREADS
        row.fRun(client->fClient, a);
        ZL_END_ALLOW_THREADS
        return reinterpret_cast<PyObject*>(a.fDeferred);
    }
    QPX_Status status = CL_OK;
    // The library's operations call the client's default idle step, which looks at
    // pending signals for this call.
    SyncCall call;
    ZL_BEGIN_ALLOW_THREADS
    status = row.fRun(client->fClient, a);
    ZL_END_ALLOW_THREADS
    if (call.Raise()) return nullptr;
    if (status == CL_OK) return BuildResult(row.fResult, a);
    // The server's own text where its reply carried one, else the table's.
    std::string text = row.fServerText ? a.fServerError : QPX_Client::GetLastServerError();
    return text.empty() ? setException(client, status) : setException(status, text);
}

PyObject* Invoke(size_t index, PyObject* self, PyObject* args, PyObject* kwargs) {
    const Row& row = kRows[index];
    Call a;
    Targets targets;
    Bind(row, a, targets);
    if (!Parse(index, args, kwargs, targets) ||
        !CheckCallbacks(a.fCallbacks[0], a.fCallbacks[1], a.fCallbacks[2], nullptr) ||
        !ConvertUnits(row, targets, a))
        return nullptr;
    return Perform(row, reinterpret_cast<ClientObject*>(self), a);
}

template <size_t I>
PyObject* Method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return Invoke(I, self, args, kwargs);
}

template <size_t... I>
void FillTable(std::index_sequence<I...>) {
    ((Describe(I), sTable[I] = PyMethodDef{kRows[I].fName, ZL_METHOD(Method<I>),
                                           METH_VARARGS | METH_KEYWORDS, sDocs[I].c_str()}),
     ...);
}

PyMethodDef* BuildTable() {
    FillTable(std::make_index_sequence<kRowCount>());
    return sTable;
}

}  // namespace

PyMethodDef* const NamedMethods = BuildTable();
const size_t NamedMethodCount = kRowCount;

}  // namespace QPX
