// The named server operations of QPX_Client. Each method names its operation's row
// and hands over its arguments by meaning; the row says what goes out and what comes
// back, for both forms.
#include "lumo/status.h"
#include "qpx/client/client_core.h"
#include "qpx/client/operation_table.h"
#include "qpx/zelmo_client/client.h"

namespace {

// Time-out of every synchronous named operation.
constexpr uint32 kSyncTimeout = 10000;

typedef QPX_AsyncData Req;

template <class T>
void Put(T* to, const T& value) {
    if (to) *to = value;
}

// The synchronous form's out-parameters from a success reply.
void HandOver(QPX_Shape shape, const QPX_OpResult& result, const QPX_OpOut& out) {
    switch (shape) {
        case QPX_Shape::kNone:
            break;
        case QPX_Shape::kTable:
            Put(out.fTable, result.fTable);
            break;
        case QPX_Shape::kList:
            Put(out.fList, result.fList);
            break;
        case QPX_Shape::kResultSet:
            Put(out.fAffected, result.fAffected);
            Put(out.fList, result.fList);
            Put(out.fRows, result.fRows);
            break;
        case QPX_Shape::kUpgrade:
            if (out.fList) {
                out.fList->Clear(false);
                out.fList->Extend(result.fList);
            }
            Put(out.fOldVersion, static_cast<uint32>(result.fOldVersion));
            Put(out.fNewVersion, static_cast<uint32>(result.fNewVersion));
            break;
    }
}

// ---- The argument list of each operation, for both forms ------------------------------

QPX_OpArgs ListDriversArgs(bool configured) {
    return {.fConfigured = configured};
}

QPX_OpArgs ListDatabasesArgs(const std::string& driver, bool quick) {
    return {.fDriver = driver, .fQuick = quick};
}

QPX_OpArgs CreateDatabaseArgs(const std::string& password, const std::string& driver,
                              const std::string& name, const std::string& desc) {
    return {.fPassword = password, .fDriver = driver, .fName = name, .fDescription = desc};
}

QPX_OpArgs OpenDatabaseArgs(const std::string& driver, const std::string& name) {
    return {.fDriver = driver, .fName = name};
}

QPX_OpArgs CloseDatabaseArgs(bool backup) {
    return {.fBackup = backup};
}

// Upgrade and optimize: the database and the administrator's password.
QPX_OpArgs DatabaseArgs(const std::string& password, const std::string& driver,
                        const std::string& name) {
    return {.fPassword = password, .fDriver = driver, .fName = name};
}

QPX_OpArgs DeleteDatabaseArgs(const std::string& password, const std::string& driver,
                              const std::string& name, const bool* deleteCloudData) {
    return {.fPassword = password,
            .fDriver = driver,
            .fName = name,
            .fDeleteCloudData = deleteCloudData};
}

QPX_OpArgs QueryArgs(const std::string& query, bool fullColumnNames, bool collapseBlobs) {
    return {.fQuery = query, .fFullColumnNames = fullColumnNames, .fCollapseBlobs = collapseBlobs};
}

QPX_OpArgs BackupArgs(const std::string& password, const std::string& driver,
                      const std::string& name, const std::string& backupName, bool automatic,
                      bool overWrite, uint32 position, bool storeIndex) {
    return {.fPassword = password,
            .fDriver = driver,
            .fName = name,
            .fBackupName = QPX_Value(backupName),
            .fAutomatic = automatic,
            .fOverWrite = overWrite,
            .fIndex = storeIndex,
            .fPosition = position};
}

QPX_OpArgs RestoreArgs(const std::string& password, const std::string& driver,
                       const std::string& name, const std::string& backupName, bool changeUUID,
                       bool overWrite, uint32 position, bool restoreIndex) {
    return {.fPassword = password,
            .fDriver = driver,
            .fName = name,
            .fBackupName = QPX_Value(backupName),
            .fChangeUUID = changeUUID,
            .fOverWrite = overWrite,
            .fIndex = restoreIndex,
            .fPosition = position};
}

QPX_OpArgs ListBackupsArgs(uint32 position) {
    return {.fPosition = position};
}

// One backup name (text) or several (list).
template <class Names>
QPX_OpArgs DeleteBackupArgs(uint32 position, const std::string& password, const Names& names) {
    return {.fPassword = password, .fBackupName = QPX_Value(names), .fPosition = position};
}

QPX_OpArgs RepairArgs(const std::string& password, const std::string& driver,
                      const std::string& name, const std::string& output) {
    return {.fPassword = password, .fDriver = driver, .fName = name, .fOutput = output};
}

QPX_OpArgs IndexArgs(const std::string& password, const std::string& driver,
                     const std::string& name, bool reset, bool run) {
    return {.fPassword = password, .fDriver = driver, .fName = name, .fReset = reset, .fRun = run};
}

QPX_OpArgs ClientListArgs(bool full, bool any) {
    return {.fFull = full, .fAny = any};
}

// A client by number or by session id (text), with the password of a kill.
template <class Id>
QPX_OpArgs ClientArgs(const Id& client, const std::string& password = std::string()) {
    return {.fPassword = password, .fClientId = QPX_Value(client)};
}

QPX_OpArgs AuthenticateArgs(const std::string& userName, const std::string& password,
                            const std::string* newPassword = nullptr) {
    return {.fPassword = password, .fUserName = userName, .fNewPassword = newPassword};
}

QPX_OpArgs SearchArgs(const std::string& text, int32 limit) {
    return {.fQuery = text, .fLimit = limit};
}

}  // namespace

QPX_Status QPX_Client::RunOperation(QPX_AsyncData::Type type, const QPX_OpArgs& args,
                                    const QPX_OpOut& out) {
    const QPX_Operation& op = *QPX_FindOperation(type);
    CLU_Table request;
    if (op.fBuild) request = op.fBuild(args, QPX_Form::kSync);
    // Operations that read nothing ask for no reply table.
    CLU_Table reply;
    QPX_Status status =
        Execute(op.fCommand, op.fBuild ? &request : nullptr,
                op.fShape == QPX_Shape::kNone ? nullptr : &reply, nullptr, kSyncTimeout);
    QPX_OpResult result;
    if (status == CL_OK) result = QPX_ReadResult(op, reply);
    // A synchronous close forgets the database even when the server refused it.
    if (op.fEffect != QPX_Effect::kNone &&
        (status == CL_OK || op.fEffect == QPX_Effect::kCloseDatabase)) {
        QPX_ClientCore& core = *fCore;
        CL_AutoLocker guard(core.fLock);
        QPX_KeepState(core, op.fEffect, args, result.fUUID);
    }
    if (status == CL_OK)
        HandOver(op.fShape, result, out);
    else if (out.fError)
        *out.fError = reply.GetString("ERROR", std::string());
    if (out.fUUID) *out.fUUID = CLU_UUID(reply.GetString("uuid", std::string()));
    // Execute has ended the connection already where the status says it is gone.
    return status;
}

template <class Success>
void QPX_Client::StartOperation(QPX_AsyncData::Type type, const QPX_OpArgs& args, Success success,
                                QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                                uint32 timeout) {
    const QPX_Operation& op = *QPX_FindOperation(type);
    CLU_Table table;
    if (op.fBuild) table = op.fBuild(args, QPX_Form::kAsync);
    CL_Blob blob;
    if (!FlattenRequest(op.fBuild ? &table : nullptr, &blob, error, userData)) return;
    // Named operations give no idle callback and no command of their own.
    QPX_AsyncData* request = new Req(this, type, success, error, progress, userData);
    // What the completion records in the client's state.
    if (op.fEffect == QPX_Effect::kOpenDatabase) request->SetDatabase(args.fDriver, args.fName);
    if (op.fEffect == QPX_Effect::kAuthenticate) request->SetUser(args.fUserName, args.fPassword);
    StartRequest(request, op.fCommand, blob, nullptr, timeout);
}

// ---- Drivers and databases ----------------------------------------------------------

QPX_Status QPX_Client::ListDrivers(bool configured, CLU_List* drivers) {
    return RunOperation(Req::ListDrivers, ListDriversArgs(configured), {.fList = drivers});
}

void QPX_Client::ListDrivers(bool configured, QPX_SuccessWithListCB success, QPX_ErrorCB error,
                             QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::ListDrivers, ListDriversArgs(configured), success, error, progress,
                   userData, timeout);
}

QPX_Status QPX_Client::ListDatabases(const std::string& driver, bool quick, CLU_Table* databases) {
    return RunOperation(Req::ListDatabases, ListDatabasesArgs(driver, quick),
                        {.fTable = databases});
}

void QPX_Client::ListDatabases(const std::string& driver, bool quick,
                               QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                               QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::ListDatabases, ListDatabasesArgs(driver, quick), success, error, progress,
                   userData, timeout);
}

QPX_Status QPX_Client::CreateDatabase(const std::string& password, const std::string& driver,
                                      const std::string& name, const std::string& desc,
                                      CLU_UUID* uuid) {
    return RunOperation(Req::CreateDatabase, CreateDatabaseArgs(password, driver, name, desc),
                        {.fUUID = uuid});
}

void QPX_Client::CreateDatabase(const std::string& password, const std::string& driver,
                                const std::string& name, const std::string& desc,
                                QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                                QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::CreateDatabase, CreateDatabaseArgs(password, driver, name, desc), success,
                   error, progress, userData, timeout);
}

QPX_Status QPX_Client::OpenDatabase(const std::string& driver, const std::string& name,
                                    CLU_Table* info) {
    return RunOperation(Req::OpenDatabase, OpenDatabaseArgs(driver, name), {.fTable = info});
}

void QPX_Client::OpenDatabase(const std::string& driver, const std::string& name,
                              QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                              QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::OpenDatabase, OpenDatabaseArgs(driver, name), success, error, progress,
                   userData, timeout);
}

QPX_Status QPX_Client::CloseDatabase(bool backup) {
    return RunOperation(Req::CloseDatabase, CloseDatabaseArgs(backup), {});
}

void QPX_Client::CloseDatabase(bool backup, QPX_SuccessCB success, QPX_ErrorCB error,
                               QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::CloseDatabase, CloseDatabaseArgs(backup), success, error, progress,
                   userData, timeout);
}

QPX_Status QPX_Client::UpgradeDatabase(const std::string& password, const std::string& driver,
                                       const std::string& name, CLU_List* log, uint32* oldVersion,
                                       uint32* newVersion) {
    return RunOperation(Req::UpgradeDatabase, DatabaseArgs(password, driver, name),
                        {.fList = log, .fOldVersion = oldVersion, .fNewVersion = newVersion});
}

void QPX_Client::UpgradeDatabase(const std::string& password, const std::string& driver,
                                 const std::string& name, QPX_SuccessWithTableCB success,
                                 QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                                 uint32 timeout) {
    StartOperation(Req::UpgradeDatabase, DatabaseArgs(password, driver, name), success, error,
                   progress, userData, timeout);
}

QPX_Status QPX_Client::DeleteDatabase(const std::string& password, const std::string& driver,
                                      const std::string& name, const bool* deleteCloudData) {
    return RunOperation(Req::DeleteDatabase,
                        DeleteDatabaseArgs(password, driver, name, deleteCloudData), {});
}

void QPX_Client::DeleteDatabase(const std::string& password, const std::string& driver,
                                const std::string& name, const bool* deleteCloudData,
                                QPX_SuccessCB success, QPX_ErrorCB error, QPX_ProgressCB progress,
                                void* userData, uint32 timeout) {
    StartOperation(Req::DeleteDatabase, DeleteDatabaseArgs(password, driver, name, deleteCloudData),
                   success, error, progress, userData, timeout);
}

QPX_Status QPX_Client::QueryDatabase(const std::string& query, uint32* affectedRows,
                                     CLU_List* columnNames, CLU_List* resultSet, bool native,
                                     bool fullColumnNames, bool collapseBlobs, std::string* error) {
    return RunOperation(
        native ? Req::QueryDatabaseNatively : Req::QueryDatabase,
        QueryArgs(query, fullColumnNames, collapseBlobs),
        {.fList = columnNames, .fRows = resultSet, .fAffected = affectedRows, .fError = error});
}

void QPX_Client::QueryDatabase(const std::string& query, QPX_SuccessWithResultSetCB success,
                               QPX_ErrorCB error, QPX_ProgressCB progress, bool native,
                               bool fullColumnNames, bool collapseBlobs, void* userData,
                               uint32 timeout) {
    StartOperation(native ? Req::QueryDatabaseNatively : Req::QueryDatabase,
                   QueryArgs(query, fullColumnNames, collapseBlobs), success, error, progress,
                   userData, timeout);
}

// ---- Backups and maintenance ---------------------------------------------------------

QPX_Status QPX_Client::BackupDatabase(const std::string& password, const std::string& driver,
                                      const std::string& name, const std::string& backupName,
                                      bool automatic, bool overWrite, uint32 position,
                                      bool storeIndex) {
    return RunOperation(Req::BackupDatabase,
                        BackupArgs(password, driver, name, backupName, automatic, overWrite,
                                   position, storeIndex),
                        {});
}

void QPX_Client::BackupDatabase(const std::string& password, const std::string& driver,
                                const std::string& name, const std::string& backupName,
                                bool automatic, bool overWrite, uint32 position, bool storeIndex,
                                QPX_SuccessCB success, QPX_ErrorCB error, QPX_ProgressCB progress,
                                void* userData, uint32 timeout) {
    StartOperation(Req::BackupDatabase,
                   BackupArgs(password, driver, name, backupName, automatic, overWrite, position,
                              storeIndex),
                   success, error, progress, userData, timeout);
}

QPX_Status QPX_Client::RestoreDatabase(const std::string& password, const std::string& driver,
                                       const std::string& name, const std::string& backupName,
                                       bool changeUUID, bool overWrite, uint32 position,
                                       bool restoreIndex) {
    return RunOperation(Req::RestoreDatabase,
                        RestoreArgs(password, driver, name, backupName, changeUUID, overWrite,
                                    position, restoreIndex),
                        {});
}

void QPX_Client::RestoreDatabase(const std::string& password, const std::string& driver,
                                 const std::string& name, const std::string& backupName,
                                 bool changeUUID, bool overWrite, uint32 position,
                                 bool restoreIndex, QPX_SuccessCB success, QPX_ErrorCB error,
                                 QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::RestoreDatabase,
                   RestoreArgs(password, driver, name, backupName, changeUUID, overWrite, position,
                               restoreIndex),
                   success, error, progress, userData, timeout);
}

QPX_Status QPX_Client::ListBackups(uint32 position, CLU_List* backups) {
    return RunOperation(Req::ListBackups, ListBackupsArgs(position), {.fList = backups});
}

void QPX_Client::ListBackups(uint32 position, QPX_SuccessWithListCB success, QPX_ErrorCB error,
                             QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::ListBackups, ListBackupsArgs(position), success, error, progress, userData,
                   timeout);
}

QPX_Status QPX_Client::DeleteBackup(uint32 position, const std::string& password,
                                    const std::string& backupName) {
    return RunOperation(Req::DeleteBackup, DeleteBackupArgs(position, password, backupName), {});
}

void QPX_Client::DeleteBackup(uint32 position, const std::string& password,
                              const std::string& backupName, QPX_SuccessCB success,
                              QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                              uint32 timeout) {
    StartOperation(Req::DeleteBackup, DeleteBackupArgs(position, password, backupName), success,
                   error, progress, userData, timeout);
}

QPX_Status QPX_Client::DeleteBackup(uint32 position, const std::string& password,
                                    const CLU_List& backupNames) {
    return RunOperation(Req::DeleteBackup, DeleteBackupArgs(position, password, backupNames), {});
}

void QPX_Client::DeleteBackup(uint32 position, const std::string& password,
                              const CLU_List& backupNames, QPX_SuccessCB success, QPX_ErrorCB error,
                              QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::DeleteBackup, DeleteBackupArgs(position, password, backupNames), success,
                   error, progress, userData, timeout);
}

QPX_Status QPX_Client::OptimizeDatabase(const std::string& password, const std::string& driver,
                                        const std::string& name) {
    return RunOperation(Req::OptimizeDatabase, DatabaseArgs(password, driver, name), {});
}

void QPX_Client::OptimizeDatabase(const std::string& password, const std::string& driver,
                                  const std::string& name, QPX_SuccessCB success, QPX_ErrorCB error,
                                  QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::OptimizeDatabase, DatabaseArgs(password, driver, name), success, error,
                   progress, userData, timeout);
}

QPX_Status QPX_Client::RepairDatabase(const std::string& password, const std::string& driver,
                                      const std::string& name, const std::string& output) {
    return RunOperation(Req::RepairDatabase, RepairArgs(password, driver, name, output), {});
}

void QPX_Client::RepairDatabase(const std::string& password, const std::string& driver,
                                const std::string& name, const std::string& output,
                                QPX_SuccessCB success, QPX_ErrorCB error, QPX_ProgressCB progress,
                                void* userData, uint32 timeout) {
    StartOperation(Req::RepairDatabase, RepairArgs(password, driver, name, output), success, error,
                   progress, userData, timeout);
}

QPX_Status QPX_Client::IndexDatabase(const std::string& password, const std::string& driver,
                                     const std::string& name, bool reset, bool run) {
    return RunOperation(Req::IndexDatabase, IndexArgs(password, driver, name, reset, run), {});
}

void QPX_Client::IndexDatabase(const std::string& password, const std::string& driver,
                               const std::string& name, bool reset, bool run, QPX_SuccessCB success,
                               QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                               uint32 timeout) {
    StartOperation(Req::IndexDatabase, IndexArgs(password, driver, name, reset, run), success,
                   error, progress, userData, timeout);
}

// ---- Clients ------------------------------------------------------------------------

QPX_Status QPX_Client::GetClientList(bool full, bool any, CLU_List* list) {
    return RunOperation(Req::GetClientList, ClientListArgs(full, any), {.fList = list});
}

void QPX_Client::GetClientList(bool full, bool any, QPX_SuccessWithListCB success,
                               QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                               uint32 timeout) {
    StartOperation(Req::GetClientList, ClientListArgs(full, any), success, error, progress,
                   userData, timeout);
}

QPX_Status QPX_Client::GetClientInfo(uint32 clientId, CLU_Table* info) {
    return RunOperation(Req::GetClientInfo, ClientArgs(clientId), {.fTable = info});
}

void QPX_Client::GetClientInfo(uint32 clientId, QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                               QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::GetClientInfo, ClientArgs(clientId), success, error, progress, userData,
                   timeout);
}

QPX_Status QPX_Client::GetClientInfo(const std::string& sid, CLU_Table* info) {
    return RunOperation(Req::GetClientInfo, ClientArgs(sid), {.fTable = info});
}

void QPX_Client::GetClientInfo(const std::string& sid, QPX_SuccessWithTableCB success,
                               QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                               uint32 timeout) {
    StartOperation(Req::GetClientInfo, ClientArgs(sid), success, error, progress, userData,
                   timeout);
}

QPX_Status QPX_Client::KillClient(uint32 clientId, const std::string& password) {
    return RunOperation(Req::KillClient, ClientArgs(clientId, password), {});
}

void QPX_Client::KillClient(uint32 clientId, const std::string& password, QPX_SuccessCB success,
                            QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                            uint32 timeout) {
    StartOperation(Req::KillClient, ClientArgs(clientId, password), success, error, progress,
                   userData, timeout);
}

QPX_Status QPX_Client::KillClient(const std::string& sid, const std::string& password) {
    return RunOperation(Req::KillClient, ClientArgs(sid, password), {});
}

void QPX_Client::KillClient(const std::string& sid, const std::string& password,
                            QPX_SuccessCB success, QPX_ErrorCB error, QPX_ProgressCB progress,
                            void* userData, uint32 timeout) {
    StartOperation(Req::KillClient, ClientArgs(sid, password), success, error, progress, userData,
                   timeout);
}

// ---- Dictionary, users and search ---------------------------------------------------

QPX_Status QPX_Client::GetDataDictionary(CLU_Table* dict) {
    return RunOperation(Req::GetDataDictionary, {}, {.fTable = dict});
}

void QPX_Client::GetDataDictionary(QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                                   QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::GetDataDictionary, {}, success, error, progress, userData, timeout);
}

QPX_Status QPX_Client::Authenticate(const std::string& userName, const std::string& password,
                                    CLU_Table* userInfo) {
    return RunOperation(Req::Authenticate, AuthenticateArgs(userName, password),
                        {.fTable = userInfo});
}

void QPX_Client::Authenticate(const std::string& userName, const std::string& password,
                              QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                              QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::Authenticate, AuthenticateArgs(userName, password), success, error,
                   progress, userData, timeout);
}

QPX_Status QPX_Client::Authenticate(const std::string& userName, const std::string& password,
                                    const std::string& newPassword, CLU_Table* userInfo) {
    return RunOperation(Req::Authenticate, AuthenticateArgs(userName, password, &newPassword),
                        {.fTable = userInfo});
}

void QPX_Client::Authenticate(const std::string& userName, const std::string& password,
                              const std::string& newPassword, QPX_SuccessWithTableCB success,
                              QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                              uint32 timeout) {
    StartOperation(Req::Authenticate, AuthenticateArgs(userName, password, &newPassword), success,
                   error, progress, userData, timeout);
}

QPX_Status QPX_Client::FullTextSearch(const std::string& text, CLU_List* results, int32 limit) {
    return RunOperation(Req::FullTextSearch, SearchArgs(text, limit), {.fList = results});
}

void QPX_Client::FullTextSearch(const std::string& text, int32 limit, QPX_SuccessWithListCB success,
                                QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                                uint32 timeout) {
    StartOperation(Req::FullTextSearch, SearchArgs(text, limit), success, error, progress,
                   userData, timeout);
}
