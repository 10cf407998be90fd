// The rows of the named operations: the request each builds, in the order its keys
// go out, and how its reply is read.
#include "qpx/client/operation_table.h"

#include "qpx/common/jwt.h"
#include "qpx/zelmo_client/common.h"

namespace {

typedef QPX_AsyncData Req;
typedef QPX_OpArgs Args;
typedef QPX_Form Form;

// "USERNAME", then "PASSWORD": domain accounts and tokens go as given, every other
// password hashed.
void _FillCredentials(CLU_Table* request, const std::string& user, const std::string& password) {
    request->Set("USERNAME", user);
    if (user.find('\\') != std::string::npos || QPX_IsJWT(password))
        request->Set("PASSWORD", password);
    else
        request->Set("PASSWORD", QPX::GetPassword(password));
}

// "PASSWORD", "DRIVER" and "NAME" of the database an operation works on.
CLU_Table Credentials(const Args& a, Form) {
    CLU_Table t;
    t.Set("PASSWORD", a.fPassword);
    t.Set("DRIVER", a.fDriver);
    t.Set("NAME", a.fName);
    return t;
}

CLU_Table QueryRequest(const Args& a, Form) {
    CLU_Table t;
    t.Set("QUERY", a.fQuery);
    t.Set("FULL_COLUMNS_LIST", a.fFullColumnNames);
    t.Set("COLLAPSE_BLOBS", a.fCollapseBlobs);
    return t;
}

// The asynchronous form leaves an empty driver out, and the database with it; the
// synchronous form always sends both.
CLU_Table BackupRequest(const Args& a, Form form) {
    CLU_Table t;
    t.Set("PASSWORD", a.fPassword);
    if (form == Form::kSync || !a.fDriver.empty()) {
        t.Set("DRIVER", a.fDriver);
        t.Set("NAME", a.fName);
    }
    t.Set("BACKUP_NAME", a.fBackupName);
    t.Set("AUTO_BACKUP", a.fAutomatic);
    t.Set("OVERWRITE", a.fOverWrite);
    t.Set("POSITION", a.fPosition);
    t.Set("STORE_INDEX", a.fIndex);
    return t;
}

CLU_Table RestoreRequest(const Args& a, Form f) {
    CLU_Table t = Credentials(a, f);
    t.Set("BACKUP_NAME", a.fBackupName);
    t.Set("CHANGE_UUID", a.fChangeUUID);
    t.Set("OVERWRITE", a.fOverWrite);
    t.Set("POSITION", a.fPosition);
    t.Set("RESTORE_INDEX", a.fIndex);
    return t;
}

CLU_Table AuthenticateRequest(const Args& a, Form) {
    CLU_Table t;
    _FillCredentials(&t, a.fUserName, a.fPassword);
    if (a.fNewPassword) t.Set("NEW_PASSWORD", QPX::GetPassword(*a.fNewPassword));
    return t;
}

// Shorthands of the rows: a request of one or two keys.
#define QPX_ONE(k1, v1) [](const Args& a, Form) { return CLU_Table().Set(k1, a.v1); }
#define QPX_TWO(k1, v1, k2, v2) \
    [](const Args& a, Form) { return CLU_Table().Set(k1, a.v1).Set(k2, a.v2); }

typedef QPX_Shape S;
typedef QPX_Effect E;

// Columns: request type, command code, request builder (null: an empty payload), result
// shape, reply key of the result, state kept on success.
const QPX_Operation kOperations[] = {
    {Req::ListDrivers, QPX_CMD_LIST_DRIVERS, QPX_ONE("CONFIGURED", fConfigured), S::kList,
     "DRIVERS", E::kNone},
    {Req::ListDatabases, QPX_CMD_LIST_DATABASES, QPX_TWO("DRIVER", fDriver, "QUICK", fQuick),
     S::kTable, "DATABASES", E::kNone},
    {Req::CreateDatabase, QPX_CMD_CREATE_DATABASE,
     [](const Args& a, Form f) { return Credentials(a, f).Set("DESC", a.fDescription); }, S::kTable,
     "INFO", E::kNone},
    {Req::OpenDatabase, QPX_CMD_OPEN_DATABASE, QPX_TWO("DRIVER", fDriver, "NAME", fName), S::kTable,
     "INFO", E::kOpenDatabase},
    {Req::CloseDatabase, QPX_CMD_CLOSE_DATABASE, QPX_ONE("BACKUP", fBackup), S::kNone, nullptr,
     E::kCloseDatabase},
    {Req::UpgradeDatabase, QPX_CMD_UPGRADE_DATABASE, Credentials, S::kUpgrade, "LOG", E::kNone},
    {Req::DeleteDatabase, QPX_CMD_DELETE_DATABASE,
     [](const Args& a, Form f) {
         CLU_Table t = Credentials(a, f);
         if (a.fDeleteCloudData) t.Set("DELETE_CLOUD_DATA", *a.fDeleteCloudData);
         return t;
     },
     S::kNone, nullptr, E::kNone},
    {Req::QueryDatabase, QPX_CMD_QUERY_DATABASE, QueryRequest, S::kResultSet, "RESULT_SET",
     E::kNone},
    {Req::QueryDatabaseNatively, QPX_CMD_QUERY_DATABASE_NATIVELY, QueryRequest, S::kResultSet,
     "RESULT_SET", E::kNone},
    {Req::BackupDatabase, QPX_CMD_BACKUP_DATABASE, BackupRequest, S::kNone, nullptr, E::kNone},
    {Req::RestoreDatabase, QPX_CMD_RESTORE_DATABASE, RestoreRequest, S::kNone, nullptr, E::kNone},
    {Req::ListBackups, QPX_CMD_LIST_BACKUPS, QPX_ONE("POSITION", fPosition), S::kList, "BACKUPS",
     E::kNone},
    {Req::DeleteBackup, QPX_CMD_DELETE_BACKUP,
     [](const Args& a, Form) {
         return CLU_Table()
             .Set("PASSWORD", a.fPassword)
             .Set("BACKUP_NAME", a.fBackupName)
             .Set("POSITION", a.fPosition);
     },
     S::kNone, nullptr, E::kNone},
    {Req::OptimizeDatabase, QPX_CMD_OPTIMIZE_DATABASE, Credentials, S::kNone, nullptr, E::kNone},
    {Req::RepairDatabase, QPX_CMD_REPAIR_DATABASE,
     [](const Args& a, Form f) { return Credentials(a, f).Set("OUTPUT", a.fOutput); }, S::kNone,
     nullptr, E::kNone},
    {Req::IndexDatabase, QPX_CMD_INDEX_DATABASE,
     [](const Args& a, Form f) {
         return Credentials(a, f).Set("RESET", a.fReset).Set("RUN", a.fRun);
     },
     S::kNone, nullptr, E::kNone},
    {Req::GetClientList, QPX_CMD_GET_CLIENT_LIST, QPX_TWO("FULL", fFull, "ANY", fAny), S::kList,
     "CLIENT_LIST", E::kNone},
    {Req::GetClientInfo, QPX_CMD_GET_CLIENT_INFO, QPX_ONE("CLIENT_ID", fClientId), S::kTable,
     "CLIENT_INFO", E::kNone},
    {Req::KillClient, QPX_CMD_KILL_CLIENT, QPX_TWO("CLIENT_ID", fClientId, "PASSWORD", fPassword),
     S::kNone, nullptr, E::kNone},
    {Req::GetDataDictionary, QPX_CMD_GET_DATA_DICTIONARY, nullptr, S::kTable, "DICTIONARY",
     E::kNone},
    {Req::Authenticate, QPX_CMD_AUTHENTICATE, AuthenticateRequest, S::kTable, "USERINFO",
     E::kAuthenticate},
    {Req::FullTextSearch, QPX_CMD_SEARCH,
     [](const Args& a, Form) {
         CLU_Table t;
         t.Set("QUERY", a.fQuery);
         if (a.fLimit > 0) t.Set("LIMIT", a.fLimit);
         return t;
     },
     S::kList, "HITS", E::kNone},
};

#undef QPX_ONE
#undef QPX_TWO

// A success reply's table or list under `key`, shared with the reply; empty when the
// reply lacks it or holds null there. An entry of another type is converted in place.
CLU_Table ReplyTable(const CLU_Table& reply, const char* key) {
    CLU_Table* table = reply.GetTable(key, nullptr);
    return table ? *table : CLU_Table();
}

CLU_List ReplyList(const CLU_Table& reply, const char* key) {
    CLU_List* list = reply.GetList(key, nullptr);
    return list ? *list : CLU_List();
}

// The message of each row of an upgrade log: the row's fourth element as text.
CLU_List UpgradeLog(const CLU_Table& reply, const char* key) {
    CLU_List rows = ReplyList(reply, key);
    CLU_List log;
    for (uint32 i = 0; i < rows.Count(); ++i) {
        const CLU_Entry* row = rows.Get(static_cast<int32>(i));
        log.Append(row ? CLU_Entry(*row).GetString(3) : std::string());
    }
    return log;
}

}  // namespace

const QPX_Operation* QPX_FindOperation(QPX_AsyncData::Type type) {
    for (const QPX_Operation& op : kOperations)
        if (op.fType == type) return &op;
    return nullptr;
}

QPX_OpResult QPX_ReadResult(const QPX_Operation& op, const CLU_Table& reply) {
    QPX_OpResult result;
    switch (op.fShape) {
        case S::kNone:
            break;
        case S::kTable:
            result.fTable = ReplyTable(reply, op.fKey);
            break;
        case S::kList:
            result.fList = ReplyList(reply, op.fKey);
            break;
        case S::kResultSet:
            result.fAffected = static_cast<uint32>(reply.GetInt32("AFFECTED_ROWS", 0));
            result.fList = ReplyList(reply, "COLUMNS_LIST");
            result.fRows = ReplyList(reply, op.fKey);
            break;
        case S::kUpgrade:
            result.fList = UpgradeLog(reply, op.fKey);
            result.fOldVersion = reply.GetInteger("OLD_VERSION", 0);
            result.fNewVersion = reply.GetInteger("NEW_VERSION", 0);
            break;
    }
    // Read here, before the table goes out: a "uuid" of another type is converted in
    // the very table the caller gets.
    if (op.fEffect == E::kOpenDatabase)
        result.fUUID = result.fTable.GetString("uuid", std::string());
    return result;
}

void QPX_KeepState(QPX_ClientCore& core, QPX_Effect effect, const QPX_OpArgs& args,
                   const std::string& uuid) {
    switch (effect) {
        case E::kNone:
            break;
        case E::kOpenDatabase:
            core.OpenedDatabase(args.fDriver, args.fName, uuid);
            break;
        case E::kCloseDatabase:
            core.ClosedDatabase();
            break;
        case E::kAuthenticate:
            core.SignedIn(args.fUserName, args.fPassword);
            break;
    }
}
