// The named server operations as one table: per operation its request type, command
// code, request builder, result shape and reply key, and the client state it keeps.
// The synchronous and the asynchronous form of every operation read the same row.
#pragma once

#include <string>

#include "lumo/thread_safety.h"
#include "lumo/types.h"
#include "qpx/client/client_core.h"
#include "qpx/zelmo_client/client.h"

// Which form of an operation runs.
enum class QPX_Form { kSync, kAsync };

// What a success reply hands back.
enum class QPX_Shape {
    kNone,       // nothing: the success callback gets only the user data
    kTable,      // the table under the row's key
    kList,       // the list under the row's key
    kResultSet,  // "AFFECTED_ROWS", "COLUMNS_LIST" and "RESULT_SET" of a query
    kUpgrade,    // the message of each "LOG" row, "OLD_VERSION" and "NEW_VERSION"
};

// The client state an operation keeps once it succeeded.
enum class QPX_Effect {
    kNone,
    kOpenDatabase,   // the driver and name asked for, the "uuid" of the result table
    kCloseDatabase,  // database and user forgotten
    kAuthenticate,   // the user name and password as the caller gave them
};

// The arguments of one named operation call, by meaning; a row's builder reads those
// of its operation. Every member has an initializer, so that a call names only the
// arguments it has.
struct QPX_OpArgs {
    std::string fPassword{};
    std::string fDriver{};
    std::string fName{};  // the database's
    std::string fDescription{};
    std::string fQuery{};  // SQL, or the words of a full-text search
    std::string fOutput{};
    std::string fUserName{};
    const std::string* fNewPassword = nullptr;  // null: the password stays
    CLU_Entry fBackupName{};                    // one name (text) or several (list)
    CLU_Entry fClientId{};                      // a number, or a session id (text)
    bool fConfigured = false;
    bool fQuick = false;
    bool fBackup = false;
    bool fFullColumnNames = false;
    bool fCollapseBlobs = false;
    bool fAutomatic = false;
    bool fChangeUUID = false;
    bool fOverWrite = false;
    bool fIndex = false;  // store the full-text index in a backup, or restore it
    bool fReset = false;
    bool fRun = false;
    bool fFull = false;
    bool fAny = false;
    const bool* fDeleteCloudData = nullptr;  // null: the server's default
    uint32 fPosition = 0;
    int32 fLimit = 0;
};

// An entry holding `value`, for the arguments that may be of two kinds.
template <class T>
CLU_Entry QPX_Value(const T& value) {
    CLU_Entry entry;
    entry.Set(value);
    return entry;
}

typedef CLU_Table (*QPX_BuildRequest)(const QPX_OpArgs& args, QPX_Form form);

struct QPX_Operation {
    QPX_AsyncData::Type fType;
    QPX_Command fCommand;
    QPX_BuildRequest fBuild;  // null: the request payload is empty (zero bytes)
    QPX_Shape fShape;
    const char* fKey;  // the reply key of a table or list result
    QPX_Effect fEffect;
};

// The row of a named operation's request type; null for Discover, Connect, Execute
// and values beyond the last type.
const QPX_Operation* QPX_FindOperation(QPX_AsyncData::Type type);

// A success reply read by the row's shape. Tables and lists share the reply's
// storage.
struct QPX_OpResult {
    CLU_Table fTable;
    CLU_List fList;  // a list result, the upgrade log, or a query's column names
    CLU_List fRows;  // a query's rows
    uint32 fAffected = 0;
    int64 fOldVersion = 0;
    int64 fNewVersion = 0;
    std::string fUUID;  // of the opened database
};
QPX_OpResult QPX_ReadResult(const QPX_Operation& op, const CLU_Table& reply);

// Where a synchronous form puts its results; null members are not written.
struct QPX_OpOut {
    CLU_Table* fTable = nullptr;
    CLU_List* fList = nullptr;  // a list result, the upgrade log, or a query's column names
    CLU_List* fRows = nullptr;
    uint32* fAffected = nullptr;
    uint32* fOldVersion = nullptr;
    uint32* fNewVersion = nullptr;
    // The reply's own "uuid", written whatever the status (the created database's).
    CLU_UUID* fUUID = nullptr;
    // The reply's "ERROR" text, written when the operation fails.
    std::string* fError = nullptr;
};

// Makes the change of `effect` in the client's state: `args` name the database
// opened or the user signed in, `uuid` the database's id.
void QPX_KeepState(QPX_ClientCore& core, QPX_Effect effect, const QPX_OpArgs& args,
                   const std::string& uuid) CL_REQUIRES(core.fLock);
