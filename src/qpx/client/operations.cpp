// The named server operations: each builds its request table with fixed keys, sends
// it under its command code and reads fixed reply keys. Both forms of an operation
// build the same table through one function.
#include "lumo/status.h"
#include "qpx/client/client_core.h"
#include "qpx/common/jwt.h"
#include "qpx/zelmo_client/client.h"
#include "qpx/zelmo_client/common.h"

namespace {

// Time-out of every synchronous named operation.
constexpr uint32 kSyncTimeout = 10000;

typedef QPX_AsyncData Req;

// "USERNAME", then "PASSWORD": domain accounts and tokens go as given, every other
// password hashed.
void _FillCredentials(CLU_Table* request, const std::string& user, const std::string& password) {
    request->Set("USERNAME", user);
    if (user.find('\\') != std::string::npos || QPX_IsJWT(password))
        request->Set("PASSWORD", password);
    else
        request->Set("PASSWORD", QPX::GetPassword(password));
}

CLU_Table Credentials(const std::string& password, const std::string& driver,
                      const std::string& name) {
    CLU_Table t;
    t.Set("PASSWORD", password);
    t.Set("DRIVER", driver);
    t.Set("NAME", name);
    return t;
}

CLU_Table DeleteDatabaseRequest(const std::string& password, const std::string& driver,
                                const std::string& name, const bool* deleteCloudData) {
    CLU_Table t = Credentials(password, driver, name);
    if (deleteCloudData) t.Set("DELETE_CLOUD_DATA", *deleteCloudData);
    return t;
}

CLU_Table QueryRequest(const std::string& query, bool fullColumnNames, bool collapseBlobs) {
    CLU_Table t;
    t.Set("QUERY", query);
    t.Set("FULL_COLUMNS_LIST", fullColumnNames);
    t.Set("COLLAPSE_BLOBS", collapseBlobs);
    return t;
}

CLU_Table BackupRequest(const std::string& password, const std::string& driver,
                        const std::string& name, const std::string& backupName, bool automatic,
                        bool overWrite, uint32 position, bool storeIndex, bool alwaysDatabase) {
    CLU_Table t;
    t.Set("PASSWORD", password);
    if (alwaysDatabase || !driver.empty()) {
        t.Set("DRIVER", driver);
        t.Set("NAME", name);
    }
    t.Set("BACKUP_NAME", backupName);
    t.Set("AUTO_BACKUP", automatic);
    t.Set("OVERWRITE", overWrite);
    t.Set("POSITION", position);
    t.Set("STORE_INDEX", storeIndex);
    return t;
}

CLU_Table RestoreRequest(const std::string& password, const std::string& driver,
                         const std::string& name, const std::string& backupName, bool changeUUID,
                         bool overWrite, uint32 position, bool restoreIndex) {
    CLU_Table t = Credentials(password, driver, name);
    t.Set("BACKUP_NAME", backupName);
    t.Set("CHANGE_UUID", changeUUID);
    t.Set("OVERWRITE", overWrite);
    t.Set("POSITION", position);
    t.Set("RESTORE_INDEX", restoreIndex);
    return t;
}

template <class Name>
CLU_Table DeleteBackupRequest(uint32 position, const std::string& password, const Name& names) {
    CLU_Table t;
    t.Set("PASSWORD", password);
    t.Set("BACKUP_NAME", names);
    t.Set("POSITION", position);
    return t;
}

CLU_Table RepairRequest(const std::string& password, const std::string& driver,
                        const std::string& name, const std::string& output) {
    CLU_Table t = Credentials(password, driver, name);
    t.Set("OUTPUT", output);
    return t;
}

CLU_Table IndexRequest(const std::string& password, const std::string& driver,
                       const std::string& name, bool reset, bool run) {
    CLU_Table t = Credentials(password, driver, name);
    t.Set("RESET", reset);
    t.Set("RUN", run);
    return t;
}

CLU_Table AuthenticateRequest(const std::string& userName, const std::string& password,
                              const std::string* newPassword) {
    CLU_Table t;
    _FillCredentials(&t, userName, password);
    if (newPassword) t.Set("NEW_PASSWORD", QPX::GetPassword(*newPassword));
    return t;
}

CLU_Table SearchRequest(const std::string& text, int32 limit) {
    CLU_Table t;
    t.Set("QUERY", text);
    if (limit > 0) t.Set("LIMIT", limit);
    return t;
}

template <class T>
CLU_Table One(const char* key, const T& value) {
    CLU_Table t;
    t.Set(key, value);
    return t;
}

template <class T, class U>
CLU_Table Two(const char* key1, const T& value1, const char* key2, const U& value2) {
    CLU_Table t;
    t.Set(key1, value1);
    t.Set(key2, value2);
    return t;
}

}  // namespace

QPX_Status QPX_Client::Call(QPX_Command cmd, CLU_Table* input, CLU_Table* output) {
    return Execute(cmd, input, output, nullptr, kSyncTimeout);
}

// ---- Drivers and databases ----------------------------------------------------------

QPX_Status QPX_Client::ListDrivers(bool configured, CLU_List* drivers) {
    CLU_Table request = One("CONFIGURED", configured);
    CLU_Table reply;
    QPX_Status status = Call(QPX_CMD_LIST_DRIVERS, &request, &reply);
    if (status == CL_OK) {
        CLU_Entry entry;
        if (const CLU_Entry* found = reply.Get("DRIVERS")) entry = *found;
        entry.Convert(CLU_LIST, true);
        *drivers = entry.GetType() == CLU_LIST ? entry.fList : CLU_List();
    }
    return CheckResult(status);
}

void QPX_Client::ListDrivers(bool configured, QPX_SuccessWithListCB success, QPX_ErrorCB error,
                             QPX_ProgressCB progress, void* userData, uint32 timeout) {
    Req* r = new Req(this, Req::ListDrivers, success, error, progress, userData);
    CLU_Table request = One("CONFIGURED", configured);
    StartRequest(r, QPX_CMD_LIST_DRIVERS, &request, nullptr, timeout);
}

QPX_Status QPX_Client::ListDatabases(const std::string& driver, bool quick, CLU_Table* databases) {
    CLU_Table request = Two("DRIVER", driver, "QUICK", quick);
    CLU_Table reply;
    QPX_Status status = Call(QPX_CMD_LIST_DATABASES, &request, &reply);
    if (status == CL_OK) *databases = QPX_ReplyTable(reply, "DATABASES");
    return CheckResult(status);
}

void QPX_Client::ListDatabases(const std::string& driver, bool quick,
                               QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                               QPX_ProgressCB progress, void* userData, uint32 timeout) {
    Req* r = new Req(this, Req::ListDatabases, success, error, progress, nullptr, userData,
                     Req::kNoCommand);
    CLU_Table request = Two("DRIVER", driver, "QUICK", quick);
    StartRequest(r, QPX_CMD_LIST_DATABASES, &request, nullptr, timeout);
}

QPX_Status QPX_Client::CreateDatabase(const std::string& password, const std::string& driver,
                                      const std::string& name, const std::string& desc,
                                      CLU_UUID* uuid) {
    CLU_Table request = Credentials(password, driver, name);
    request.Set("DESC", desc);
    CLU_Table reply;
    QPX_Status status = Call(QPX_CMD_CREATE_DATABASE, &request, &reply);
    if (uuid) *uuid = CLU_UUID(reply.GetString("uuid", std::string()));
    return CheckResult(status);
}

void QPX_Client::CreateDatabase(const std::string& password, const std::string& driver,
                                const std::string& name, const std::string& desc,
                                QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                                QPX_ProgressCB progress, void* userData, uint32 timeout) {
    Req* r = new Req(this, Req::CreateDatabase, success, error, progress, nullptr, userData,
                     Req::kNoCommand);
    CLU_Table request = Credentials(password, driver, name);
    request.Set("DESC", desc);
    StartRequest(r, QPX_CMD_CREATE_DATABASE, &request, nullptr, timeout);
}

QPX_Status QPX_Client::OpenDatabase(const std::string& driver, const std::string& name,
                                    CLU_Table* info) {
    CLU_Table request = Two("DRIVER", driver, "NAME", name);
    CLU_Table reply;
    QPX_Status status = Call(QPX_CMD_OPEN_DATABASE, &request, &reply);
    if (status == CL_OK) {
        *info = QPX_ReplyTable(reply, "INFO");
        std::string uuid = info->GetString("uuid", std::string());
        CL_AutoLocker guard(fCore->fLock);
        fCore->fDatabase.Set("driver", driver);
        fCore->fDatabase.Set("name", name);
        fCore->fDatabase.Set("uuid", uuid);
    }
    return CheckResult(status);
}

void QPX_Client::OpenDatabase(const std::string& driver, const std::string& name,
                              QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                              QPX_ProgressCB progress, void* userData, uint32 timeout) {
    Req* r = new Req(this, Req::OpenDatabase, success, error, progress, nullptr, userData,
                     Req::kNoCommand);
    r->SetDatabase(driver, name);
    CLU_Table request = Two("DRIVER", driver, "NAME", name);
    StartRequest(r, QPX_CMD_OPEN_DATABASE, &request, nullptr, timeout);
}

QPX_Status QPX_Client::CloseDatabase(bool backup) {
    CLU_Table request = One("BACKUP", backup);
    QPX_Status status = Call(QPX_CMD_CLOSE_DATABASE, &request, nullptr);
    {
        CL_AutoLocker guard(fCore->fLock);
        fCore->fDatabase.Clear(false);
        fCore->fUser.Clear(false);
    }
    return CheckResult(status);
}

void QPX_Client::CloseDatabase(bool backup, QPX_SuccessCB success, QPX_ErrorCB error,
                               QPX_ProgressCB progress, void* userData, uint32 timeout) {
    Req* r = new Req(this, Req::CloseDatabase, success, error, progress, userData);
    CLU_Table request = One("BACKUP", backup);
    StartRequest(r, QPX_CMD_CLOSE_DATABASE, &request, nullptr, timeout);
}

QPX_Status QPX_Client::UpgradeDatabase(const std::string& password, const std::string& driver,
                                       const std::string& name, CLU_List* log, uint32* oldVersion,
                                       uint32* newVersion) {
    CLU_Table request = Credentials(password, driver, name);
    CLU_Table reply;
    QPX_Status status = Call(QPX_CMD_UPGRADE_DATABASE, &request, &reply);
    if (status == CL_OK) {
        CLU_List messages = QPX_UpgradeLog(reply);
        log->Clear(false);
        log->Extend(messages);
        *oldVersion = static_cast<uint32>(reply.GetInt32("OLD_VERSION", 0));
        *newVersion = static_cast<uint32>(reply.GetInt32("NEW_VERSION", 0));
    }
    return CheckResult(status);
}

void QPX_Client::UpgradeDatabase(const std::string& password, const std::string& driver,
                                 const std::string& name, QPX_SuccessWithTableCB success,
                                 QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                                 uint32 timeout) {
    Req* r = new Req(this, Req::UpgradeDatabase, success, error, progress, nullptr, userData,
                     Req::kNoCommand);
    CLU_Table request = Credentials(password, driver, name);
    StartRequest(r, QPX_CMD_UPGRADE_DATABASE, &request, nullptr, timeout);
}

QPX_Status QPX_Client::DeleteDatabase(const std::string& password, const std::string& driver,
                                      const std::string& name, const bool* deleteCloudData) {
    CLU_Table request = DeleteDatabaseRequest(password, driver, name, deleteCloudData);
    return CheckResult(Call(QPX_CMD_DELETE_DATABASE, &request, nullptr));
}

void QPX_Client::DeleteDatabase(const std::string& password, const std::string& driver,
                                const std::string& name, const bool* deleteCloudData,
                                QPX_SuccessCB success, QPX_ErrorCB error, QPX_ProgressCB progress,
                                void* userData, uint32 timeout) {
    Req* r = new Req(this, Req::DeleteDatabase, success, error, progress, userData);
    CLU_Table request = DeleteDatabaseRequest(password, driver, name, deleteCloudData);
    StartRequest(r, QPX_CMD_DELETE_DATABASE, &request, nullptr, timeout);
}

QPX_Status QPX_Client::QueryDatabase(const std::string& query, uint32* affectedRows,
                                     CLU_List* columnNames, CLU_List* resultSet, bool native,
                                     bool fullColumnNames, bool collapseBlobs, std::string* error) {
    CLU_Table request = QueryRequest(query, fullColumnNames, collapseBlobs);
    CLU_Table reply;
    QPX_Status status =
        Call(native ? QPX_CMD_QUERY_DATABASE_NATIVELY : QPX_CMD_QUERY_DATABASE, &request, &reply);
    if (status == CL_OK) {
        *affectedRows = static_cast<uint32>(reply.GetInt32("AFFECTED_ROWS", 0));
        *columnNames = QPX_ReplyList(reply, "COLUMNS_LIST");
        *resultSet = QPX_ReplyList(reply, "RESULT_SET");
    } else if (error) {
        *error = reply.GetString("ERROR", std::string());
    }
    return CheckResult(status);
}

void QPX_Client::QueryDatabase(const std::string& query, QPX_SuccessWithResultSetCB success,
                               QPX_ErrorCB error, QPX_ProgressCB progress, bool native,
                               bool fullColumnNames, bool collapseBlobs, void* userData,
                               uint32 timeout) {
    Req* r = new Req(this, native ? Req::QueryDatabaseNatively : Req::QueryDatabase, success, error,
                     progress, userData);
    CLU_Table request = QueryRequest(query, fullColumnNames, collapseBlobs);
    StartRequest(r, native ? QPX_CMD_QUERY_DATABASE_NATIVELY : QPX_CMD_QUERY_DATABASE, &request,
                 nullptr, timeout);
}

// ---- Backups and maintenance ---------------------------------------------------------

QPX_Status QPX_Client::BackupDatabase(const std::string& password, const std::string& driver,
                                      const std::string& name, const std::string& backupName,
                                      bool automatic, bool overWrite, uint32 position,
                                      bool storeIndex) {
    CLU_Table request = BackupRequest(password, driver, name, backupName, automatic, overWrite,
                                      position, storeIndex, true);
    return CheckResult(Call(QPX_CMD_BACKUP_DATABASE, &request, nullptr));
}

void QPX_Client::BackupDatabase(const std::string& password, const std::string& driver,
                                const std::string& name, const std::string& backupName,
                                bool automatic, bool overWrite, uint32 position, bool storeIndex,
                                QPX_SuccessCB success, QPX_ErrorCB error, QPX_ProgressCB progress,
                                void* userData, uint32 timeout) {
    Req* r = new Req(this, Req::BackupDatabase, success, error, progress, userData);
    CLU_Table request = BackupRequest(password, driver, name, backupName, automatic, overWrite,
                                      position, storeIndex, false);
    StartRequest(r, QPX_CMD_BACKUP_DATABASE, &request, nullptr, timeout);
}

QPX_Status QPX_Client::RestoreDatabase(const std::string& password, const std::string& driver,
                                       const std::string& name, const std::string& backupName,
                                       bool changeUUID, bool overWrite, uint32 position,
                                       bool restoreIndex) {
    CLU_Table request = RestoreRequest(password, driver, name, backupName, changeUUID, overWrite,
                                       position, restoreIndex);
    return CheckResult(Call(QPX_CMD_RESTORE_DATABASE, &request, nullptr));
}

void QPX_Client::RestoreDatabase(const std::string& password, const std::string& driver,
                                 const std::string& name, const std::string& backupName,
                                 bool changeUUID, bool overWrite, uint32 position,
                                 bool restoreIndex, QPX_SuccessCB success, QPX_ErrorCB error,
                                 QPX_ProgressCB progress, void* userData, uint32 timeout) {
    Req* r = new Req(this, Req::RestoreDatabase, success, error, progress, userData);
    CLU_Table request = RestoreRequest(password, driver, name, backupName, changeUUID, overWrite,
                                       position, restoreIndex);
    StartRequest(r, QPX_CMD_RESTORE_DATABASE, &request, nullptr, timeout);
}

QPX_Status QPX_Client::ListBackups(uint32 position, CLU_List* backups) {
    CLU_Table request = One("POSITION", position);
    CLU_Table reply;
    QPX_Status status = Call(QPX_CMD_LIST_BACKUPS, &request, &reply);
    if (status == CL_OK) *backups = QPX_ReplyList(reply, "BACKUPS");
    return CheckResult(status);
}

void QPX_Client::ListBackups(uint32 position, QPX_SuccessWithListCB success, QPX_ErrorCB error,
                             QPX_ProgressCB progress, void* userData, uint32 timeout) {
    CLU_Table request = One("POSITION", position);
    Req* r = new Req(this, Req::ListBackups, success, error, progress, userData);
    StartRequest(r, QPX_CMD_LIST_BACKUPS, &request, nullptr, timeout);
}

QPX_Status QPX_Client::DeleteBackup(uint32 position, const std::string& password,
                                    const std::string& backupName) {
    CLU_Table request = DeleteBackupRequest(position, password, backupName);
    return CheckResult(Call(QPX_CMD_DELETE_BACKUP, &request, nullptr));
}

void QPX_Client::DeleteBackup(uint32 position, const std::string& password,
                              const std::string& backupName, QPX_SuccessCB success,
                              QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                              uint32 timeout) {
    Req* r = new Req(this, Req::DeleteBackup, success, error, progress, userData);
    CLU_Table request = DeleteBackupRequest(position, password, backupName);
    StartRequest(r, QPX_CMD_DELETE_BACKUP, &request, nullptr, timeout);
}

QPX_Status QPX_Client::DeleteBackup(uint32 position, const std::string& password,
                                    const CLU_List& backupNames) {
    CLU_Table request = DeleteBackupRequest(position, password, backupNames);
    return CheckResult(Call(QPX_CMD_DELETE_BACKUP, &request, nullptr));
}

void QPX_Client::DeleteBackup(uint32 position, const std::string& password,
                              const CLU_List& backupNames, QPX_SuccessCB success, QPX_ErrorCB error,
                              QPX_ProgressCB progress, void* userData, uint32 timeout) {
    Req* r = new Req(this, Req::DeleteBackup, success, error, progress, userData);
    CLU_Table request = DeleteBackupRequest(position, password, backupNames);
    StartRequest(r, QPX_CMD_DELETE_BACKUP, &request, nullptr, timeout);
}

QPX_Status QPX_Client::OptimizeDatabase(const std::string& password, const std::string& driver,
                                        const std::string& name) {
    CLU_Table request = Credentials(password, driver, name);
    return CheckResult(Call(QPX_CMD_OPTIMIZE_DATABASE, &request, nullptr));
}

void QPX_Client::OptimizeDatabase(const std::string& password, const std::string& driver,
                                  const std::string& name, QPX_SuccessCB success, QPX_ErrorCB error,
                                  QPX_ProgressCB progress, void* userData, uint32 timeout) {
    Req* r = new Req(this, Req::OptimizeDatabase, success, error, progress, userData);
    CLU_Table request = Credentials(password, driver, name);
    StartRequest(r, QPX_CMD_OPTIMIZE_DATABASE, &request, nullptr, timeout);
}

QPX_Status QPX_Client::RepairDatabase(const std::string& password, const std::string& driver,
                                      const std::string& name, const std::string& output) {
    CLU_Table request = RepairRequest(password, driver, name, output);
    return CheckResult(Call(QPX_CMD_REPAIR_DATABASE, &request, nullptr));
}

void QPX_Client::RepairDatabase(const std::string& password, const std::string& driver,
                                const std::string& name, const std::string& output,
                                QPX_SuccessCB success, QPX_ErrorCB error, QPX_ProgressCB progress,
                                void* userData, uint32 timeout) {
    Req* r = new Req(this, Req::RepairDatabase, success, error, progress, userData);
    CLU_Table request = RepairRequest(password, driver, name, output);
    StartRequest(r, QPX_CMD_REPAIR_DATABASE, &request, nullptr, timeout);
}

QPX_Status QPX_Client::IndexDatabase(const std::string& password, const std::string& driver,
                                     const std::string& name, bool reset, bool run) {
    CLU_Table request = IndexRequest(password, driver, name, reset, run);
    return CheckResult(Call(QPX_CMD_INDEX_DATABASE, &request, nullptr));
}

void QPX_Client::IndexDatabase(const std::string& password, const std::string& driver,
                               const std::string& name, bool reset, bool run, QPX_SuccessCB success,
                               QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                               uint32 timeout) {
    Req* r = new Req(this, Req::IndexDatabase, success, error, progress, userData);
    CLU_Table request = IndexRequest(password, driver, name, reset, run);
    StartRequest(r, QPX_CMD_INDEX_DATABASE, &request, nullptr, timeout);
}

// ---- Clients ------------------------------------------------------------------------

QPX_Status QPX_Client::GetClientList(bool full, bool any, CLU_List* list) {
    CLU_Table request = Two("FULL", full, "ANY", any);
    CLU_Table reply;
    QPX_Status status = Call(QPX_CMD_GET_CLIENT_LIST, &request, &reply);
    if (status == CL_OK) *list = QPX_ReplyList(reply, "CLIENT_LIST");
    return CheckResult(status);
}

void QPX_Client::GetClientList(bool full, bool any, QPX_SuccessWithListCB success,
                               QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                               uint32 timeout) {
    Req* r = new Req(this, Req::GetClientList, success, error, progress, userData);
    CLU_Table request = Two("FULL", full, "ANY", any);
    StartRequest(r, QPX_CMD_GET_CLIENT_LIST, &request, nullptr, timeout);
}

QPX_Status QPX_Client::GetClientInfo(uint32 clientId, CLU_Table* info) {
    CLU_Table request = One("CLIENT_ID", clientId);
    CLU_Table reply;
    QPX_Status status = Call(QPX_CMD_GET_CLIENT_INFO, &request, &reply);
    if (status == CL_OK) *info = QPX_ReplyTable(reply, "CLIENT_INFO");
    return CheckResult(status);
}

void QPX_Client::GetClientInfo(uint32 clientId, QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                               QPX_ProgressCB progress, void* userData, uint32 timeout) {
    Req* r = new Req(this, Req::GetClientInfo, success, error, progress, nullptr, userData,
                     Req::kNoCommand);
    CLU_Table request = One("CLIENT_ID", clientId);
    StartRequest(r, QPX_CMD_GET_CLIENT_INFO, &request, nullptr, timeout);
}

QPX_Status QPX_Client::GetClientInfo(const std::string& sid, CLU_Table* info) {
    CLU_Table request = One("CLIENT_ID", sid);
    CLU_Table reply;
    QPX_Status status = Call(QPX_CMD_GET_CLIENT_INFO, &request, &reply);
    if (status == CL_OK) *info = QPX_ReplyTable(reply, "CLIENT_INFO");
    return CheckResult(status);
}

void QPX_Client::GetClientInfo(const std::string& sid, QPX_SuccessWithTableCB success,
                               QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                               uint32 timeout) {
    Req* r = new Req(this, Req::GetClientInfo, success, error, progress, nullptr, userData,
                     Req::kNoCommand);
    CLU_Table request = One("CLIENT_ID", sid);
    StartRequest(r, QPX_CMD_GET_CLIENT_INFO, &request, nullptr, timeout);
}

QPX_Status QPX_Client::KillClient(uint32 clientId, const std::string& password) {
    CLU_Table request = Two("CLIENT_ID", clientId, "PASSWORD", password);
    return CheckResult(Call(QPX_CMD_KILL_CLIENT, &request, nullptr));
}

void QPX_Client::KillClient(uint32 clientId, const std::string& password, QPX_SuccessCB success,
                            QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                            uint32 timeout) {
    Req* r = new Req(this, Req::KillClient, success, error, progress, userData);
    CLU_Table request = Two("CLIENT_ID", clientId, "PASSWORD", password);
    StartRequest(r, QPX_CMD_KILL_CLIENT, &request, nullptr, timeout);
}

QPX_Status QPX_Client::KillClient(const std::string& sid, const std::string& password) {
    CLU_Table request = Two("CLIENT_ID", sid, "PASSWORD", password);
    return CheckResult(Call(QPX_CMD_KILL_CLIENT, &request, nullptr));
}

void QPX_Client::KillClient(const std::string& sid, const std::string& password,
                            QPX_SuccessCB success, QPX_ErrorCB error, QPX_ProgressCB progress,
                            void* userData, uint32 timeout) {
    Req* r = new Req(this, Req::KillClient, success, error, progress, userData);
    CLU_Table request = Two("CLIENT_ID", sid, "PASSWORD", password);
    StartRequest(r, QPX_CMD_KILL_CLIENT, &request, nullptr, timeout);
}

// ---- Dictionary, users and search ---------------------------------------------------

QPX_Status QPX_Client::GetDataDictionary(CLU_Table* dict) {
    CLU_Table reply;
    QPX_Status status = Call(QPX_CMD_GET_DATA_DICTIONARY, nullptr, &reply);
    if (status == CL_OK) *dict = QPX_ReplyTable(reply, "DICTIONARY");
    return CheckResult(status);
}

void QPX_Client::GetDataDictionary(QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                                   QPX_ProgressCB progress, void* userData, uint32 timeout) {
    Req* r = new Req(this, Req::GetDataDictionary, success, error, progress, nullptr, userData,
                     Req::kNoCommand);
    StartRequest(r, QPX_CMD_GET_DATA_DICTIONARY, nullptr, nullptr, timeout);
}

QPX_Status QPX_Client::Authenticate(const std::string& userName, const std::string& password,
                                    CLU_Table* userInfo) {
    CLU_Table request = AuthenticateRequest(userName, password, nullptr);
    CLU_Table reply;
    QPX_Status status = Call(QPX_CMD_AUTHENTICATE, &request, &reply);
    if (status == CL_OK) {
        *userInfo = QPX_ReplyTable(reply, "USERINFO");
        CL_AutoLocker guard(fCore->fLock);
        fCore->fUser.Set("name", userName);
        fCore->fUser.Set("password", password);
    }
    return CheckResult(status);
}

void QPX_Client::Authenticate(const std::string& userName, const std::string& password,
                              QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                              QPX_ProgressCB progress, void* userData, uint32 timeout) {
    Req* r = new Req(this, Req::Authenticate, success, error, progress, nullptr, userData,
                     Req::kNoCommand);
    r->SetUser(userName, password);
    CLU_Table request = AuthenticateRequest(userName, password, nullptr);
    StartRequest(r, QPX_CMD_AUTHENTICATE, &request, nullptr, timeout);
}

QPX_Status QPX_Client::Authenticate(const std::string& userName, const std::string& password,
                                    const std::string& newPassword, CLU_Table* userInfo) {
    CLU_Table request = AuthenticateRequest(userName, password, &newPassword);
    CLU_Table reply;
    QPX_Status status = Call(QPX_CMD_AUTHENTICATE, &request, &reply);
    if (status == CL_OK) {
        *userInfo = QPX_ReplyTable(reply, "USERINFO");
        CL_AutoLocker guard(fCore->fLock);
        fCore->fUser.Set("name", userName);
        fCore->fUser.Set("password", password);
    }
    return CheckResult(status);
}

void QPX_Client::Authenticate(const std::string& userName, const std::string& password,
                              const std::string& newPassword, QPX_SuccessWithTableCB success,
                              QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                              uint32 timeout) {
    Req* r = new Req(this, Req::Authenticate, success, error, progress, nullptr, userData,
                     Req::kNoCommand);
    r->SetUser(userName, password);
    CLU_Table request = AuthenticateRequest(userName, password, &newPassword);
    StartRequest(r, QPX_CMD_AUTHENTICATE, &request, nullptr, timeout);
}

QPX_Status QPX_Client::FullTextSearch(const std::string& text, CLU_List* results, int32 limit) {
    CLU_Table request = SearchRequest(text, limit);
    CLU_Table reply;
    QPX_Status status = Call(QPX_CMD_SEARCH, &request, &reply);
    if (status == CL_OK) *results = QPX_ReplyList(reply, "HITS");
    return CheckResult(status);
}

void QPX_Client::FullTextSearch(const std::string& text, int32 limit, QPX_SuccessWithListCB success,
                                QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                                uint32 timeout) {
    Req* r = new Req(this, Req::FullTextSearch, success, error, progress, userData);
    CLU_Table request = SearchRequest(text, limit);
    StartRequest(r, QPX_CMD_SEARCH, &request, nullptr, timeout);
}
