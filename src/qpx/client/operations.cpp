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

// A request with the caller's callbacks, in the slot of the success callback's kind;
// named operations give no idle hook and no command of their own.
QPX_AsyncData* NewRequest(QPX_Client* client, Req::Type type, QPX_SuccessWithTableCB success,
                          QPX_ErrorCB error, QPX_ProgressCB progress, void* userData) {
    return new Req(client, type, success, error, progress, nullptr, userData, Req::kNoCommand);
}

template <class Success>
QPX_AsyncData* NewRequest(QPX_Client* client, Req::Type type, Success success, QPX_ErrorCB error,
                          QPX_ProgressCB progress, void* userData) {
    return new Req(client, type, success, error, progress, userData);
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
    return CheckResult(status);
}

template <class Success>
void QPX_Client::StartOperation(QPX_AsyncData::Type type, const QPX_OpArgs& args, Success success,
                                QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                                uint32 timeout) {
    const QPX_Operation& op = *QPX_FindOperation(type);
    QPX_AsyncData* request = NewRequest(this, type, success, error, progress, userData);
    // What the completion records in the client's state.
    if (op.fEffect == QPX_Effect::kOpenDatabase) request->SetDatabase(args.fDriver, args.fName);
    if (op.fEffect == QPX_Effect::kAuthenticate) request->SetUser(args.fUserName, args.fPassword);
    CLU_Table table;
    if (op.fBuild) table = op.fBuild(args, QPX_Form::kAsync);
    StartRequest(request, op.fCommand, op.fBuild ? &table : nullptr, nullptr, timeout);
}

// ---- Drivers and databases ----------------------------------------------------------

QPX_Status QPX_Client::ListDrivers(bool configured, CLU_List* drivers) {
    return RunOperation(Req::ListDrivers, {.fConfigured = configured}, {.fList = drivers});
}

void QPX_Client::ListDrivers(bool configured, QPX_SuccessWithListCB success, QPX_ErrorCB error,
                             QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::ListDrivers, {.fConfigured = configured}, success, error, progress,
                   userData, timeout);
}

QPX_Status QPX_Client::ListDatabases(const std::string& driver, bool quick, CLU_Table* databases) {
    return RunOperation(Req::ListDatabases, {.fDriver = driver, .fQuick = quick},
                        {.fTable = databases});
}

void QPX_Client::ListDatabases(const std::string& driver, bool quick,
                               QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                               QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::ListDatabases, {.fDriver = driver, .fQuick = quick}, success, error,
                   progress, userData, timeout);
}

QPX_Status QPX_Client::CreateDatabase(const std::string& password, const std::string& driver,
                                      const std::string& name, const std::string& desc,
                                      CLU_UUID* uuid) {
    return RunOperation(
        Req::CreateDatabase,
        {.fPassword = password, .fDriver = driver, .fName = name, .fDescription = desc},
        {.fUUID = uuid});
}

void QPX_Client::CreateDatabase(const std::string& password, const std::string& driver,
                                const std::string& name, const std::string& desc,
                                QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                                QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::CreateDatabase,
                   {.fPassword = password, .fDriver = driver, .fName = name, .fDescription = desc},
                   success, error, progress, userData, timeout);
}

QPX_Status QPX_Client::OpenDatabase(const std::string& driver, const std::string& name,
                                    CLU_Table* info) {
    return RunOperation(Req::OpenDatabase, {.fDriver = driver, .fName = name}, {.fTable = info});
}

void QPX_Client::OpenDatabase(const std::string& driver, const std::string& name,
                              QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                              QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::OpenDatabase, {.fDriver = driver, .fName = name}, success, error, progress,
                   userData, timeout);
}

QPX_Status QPX_Client::CloseDatabase(bool backup) {
    return RunOperation(Req::CloseDatabase, {.fBackup = backup}, {});
}

void QPX_Client::CloseDatabase(bool backup, QPX_SuccessCB success, QPX_ErrorCB error,
                               QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::CloseDatabase, {.fBackup = backup}, success, error, progress, userData,
                   timeout);
}

QPX_Status QPX_Client::UpgradeDatabase(const std::string& password, const std::string& driver,
                                       const std::string& name, CLU_List* log, uint32* oldVersion,
                                       uint32* newVersion) {
    return RunOperation(Req::UpgradeDatabase,
                        {.fPassword = password, .fDriver = driver, .fName = name},
                        {.fList = log, .fOldVersion = oldVersion, .fNewVersion = newVersion});
}

void QPX_Client::UpgradeDatabase(const std::string& password, const std::string& driver,
                                 const std::string& name, QPX_SuccessWithTableCB success,
                                 QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                                 uint32 timeout) {
    StartOperation(Req::UpgradeDatabase, {.fPassword = password, .fDriver = driver, .fName = name},
                   success, error, progress, userData, timeout);
}

QPX_Status QPX_Client::DeleteDatabase(const std::string& password, const std::string& driver,
                                      const std::string& name, const bool* deleteCloudData) {
    return RunOperation(Req::DeleteDatabase,
                        {.fPassword = password,
                         .fDriver = driver,
                         .fName = name,
                         .fDeleteCloudData = deleteCloudData},
                        {});
}

void QPX_Client::DeleteDatabase(const std::string& password, const std::string& driver,
                                const std::string& name, const bool* deleteCloudData,
                                QPX_SuccessCB success, QPX_ErrorCB error, QPX_ProgressCB progress,
                                void* userData, uint32 timeout) {
    StartOperation(Req::DeleteDatabase,
                   {.fPassword = password,
                    .fDriver = driver,
                    .fName = name,
                    .fDeleteCloudData = deleteCloudData},
                   success, error, progress, userData, timeout);
}

QPX_Status QPX_Client::QueryDatabase(const std::string& query, uint32* affectedRows,
                                     CLU_List* columnNames, CLU_List* resultSet, bool native,
                                     bool fullColumnNames, bool collapseBlobs, std::string* error) {
    return RunOperation(
        native ? Req::QueryDatabaseNatively : Req::QueryDatabase,
        {.fQuery = query, .fFullColumnNames = fullColumnNames, .fCollapseBlobs = collapseBlobs},
        {.fList = columnNames, .fRows = resultSet, .fAffected = affectedRows, .fError = error});
}

void QPX_Client::QueryDatabase(const std::string& query, QPX_SuccessWithResultSetCB success,
                               QPX_ErrorCB error, QPX_ProgressCB progress, bool native,
                               bool fullColumnNames, bool collapseBlobs, void* userData,
                               uint32 timeout) {
    StartOperation(
        native ? Req::QueryDatabaseNatively : Req::QueryDatabase,
        {.fQuery = query, .fFullColumnNames = fullColumnNames, .fCollapseBlobs = collapseBlobs},
        success, error, progress, userData, timeout);
}

// ---- Backups and maintenance ---------------------------------------------------------

QPX_Status QPX_Client::BackupDatabase(const std::string& password, const std::string& driver,
                                      const std::string& name, const std::string& backupName,
                                      bool automatic, bool overWrite, uint32 position,
                                      bool storeIndex) {
    return RunOperation(Req::BackupDatabase,
                        {.fPassword = password,
                         .fDriver = driver,
                         .fName = name,
                         .fBackupName = QPX_Value(backupName),
                         .fAutomatic = automatic,
                         .fOverWrite = overWrite,
                         .fIndex = storeIndex,
                         .fPosition = position},
                        {});
}

void QPX_Client::BackupDatabase(const std::string& password, const std::string& driver,
                                const std::string& name, const std::string& backupName,
                                bool automatic, bool overWrite, uint32 position, bool storeIndex,
                                QPX_SuccessCB success, QPX_ErrorCB error, QPX_ProgressCB progress,
                                void* userData, uint32 timeout) {
    StartOperation(Req::BackupDatabase,
                   {.fPassword = password,
                    .fDriver = driver,
                    .fName = name,
                    .fBackupName = QPX_Value(backupName),
                    .fAutomatic = automatic,
                    .fOverWrite = overWrite,
                    .fIndex = storeIndex,
                    .fPosition = position},
                   success, error, progress, userData, timeout);
}

QPX_Status QPX_Client::RestoreDatabase(const std::string& password, const std::string& driver,
                                       const std::string& name, const std::string& backupName,
                                       bool changeUUID, bool overWrite, uint32 position,
                                       bool restoreIndex) {
    return RunOperation(Req::RestoreDatabase,
                        {.fPassword = password,
                         .fDriver = driver,
                         .fName = name,
                         .fBackupName = QPX_Value(backupName),
                         .fChangeUUID = changeUUID,
                         .fOverWrite = overWrite,
                         .fIndex = restoreIndex,
                         .fPosition = position},
                        {});
}

void QPX_Client::RestoreDatabase(const std::string& password, const std::string& driver,
                                 const std::string& name, const std::string& backupName,
                                 bool changeUUID, bool overWrite, uint32 position,
                                 bool restoreIndex, QPX_SuccessCB success, QPX_ErrorCB error,
                                 QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::RestoreDatabase,
                   {.fPassword = password,
                    .fDriver = driver,
                    .fName = name,
                    .fBackupName = QPX_Value(backupName),
                    .fChangeUUID = changeUUID,
                    .fOverWrite = overWrite,
                    .fIndex = restoreIndex,
                    .fPosition = position},
                   success, error, progress, userData, timeout);
}

QPX_Status QPX_Client::ListBackups(uint32 position, CLU_List* backups) {
    return RunOperation(Req::ListBackups, {.fPosition = position}, {.fList = backups});
}

void QPX_Client::ListBackups(uint32 position, QPX_SuccessWithListCB success, QPX_ErrorCB error,
                             QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::ListBackups, {.fPosition = position}, success, error, progress, userData,
                   timeout);
}

QPX_Status QPX_Client::DeleteBackup(uint32 position, const std::string& password,
                                    const std::string& backupName) {
    return RunOperation(
        Req::DeleteBackup,
        {.fPassword = password, .fBackupName = QPX_Value(backupName), .fPosition = position}, {});
}

void QPX_Client::DeleteBackup(uint32 position, const std::string& password,
                              const std::string& backupName, QPX_SuccessCB success,
                              QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                              uint32 timeout) {
    StartOperation(
        Req::DeleteBackup,
        {.fPassword = password, .fBackupName = QPX_Value(backupName), .fPosition = position},
        success, error, progress, userData, timeout);
}

QPX_Status QPX_Client::DeleteBackup(uint32 position, const std::string& password,
                                    const CLU_List& backupNames) {
    return RunOperation(
        Req::DeleteBackup,
        {.fPassword = password, .fBackupName = QPX_Value(backupNames), .fPosition = position}, {});
}

void QPX_Client::DeleteBackup(uint32 position, const std::string& password,
                              const CLU_List& backupNames, QPX_SuccessCB success, QPX_ErrorCB error,
                              QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(
        Req::DeleteBackup,
        {.fPassword = password, .fBackupName = QPX_Value(backupNames), .fPosition = position},
        success, error, progress, userData, timeout);
}

QPX_Status QPX_Client::OptimizeDatabase(const std::string& password, const std::string& driver,
                                        const std::string& name) {
    return RunOperation(Req::OptimizeDatabase,
                        {.fPassword = password, .fDriver = driver, .fName = name}, {});
}

void QPX_Client::OptimizeDatabase(const std::string& password, const std::string& driver,
                                  const std::string& name, QPX_SuccessCB success, QPX_ErrorCB error,
                                  QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::OptimizeDatabase, {.fPassword = password, .fDriver = driver, .fName = name},
                   success, error, progress, userData, timeout);
}

QPX_Status QPX_Client::RepairDatabase(const std::string& password, const std::string& driver,
                                      const std::string& name, const std::string& output) {
    return RunOperation(
        Req::RepairDatabase,
        {.fPassword = password, .fDriver = driver, .fName = name, .fOutput = output}, {});
}

void QPX_Client::RepairDatabase(const std::string& password, const std::string& driver,
                                const std::string& name, const std::string& output,
                                QPX_SuccessCB success, QPX_ErrorCB error, QPX_ProgressCB progress,
                                void* userData, uint32 timeout) {
    StartOperation(Req::RepairDatabase,
                   {.fPassword = password, .fDriver = driver, .fName = name, .fOutput = output},
                   success, error, progress, userData, timeout);
}

QPX_Status QPX_Client::IndexDatabase(const std::string& password, const std::string& driver,
                                     const std::string& name, bool reset, bool run) {
    return RunOperation(
        Req::IndexDatabase,
        {.fPassword = password, .fDriver = driver, .fName = name, .fReset = reset, .fRun = run},
        {});
}

void QPX_Client::IndexDatabase(const std::string& password, const std::string& driver,
                               const std::string& name, bool reset, bool run, QPX_SuccessCB success,
                               QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                               uint32 timeout) {
    StartOperation(
        Req::IndexDatabase,
        {.fPassword = password, .fDriver = driver, .fName = name, .fReset = reset, .fRun = run},
        success, error, progress, userData, timeout);
}

// ---- Clients ------------------------------------------------------------------------

QPX_Status QPX_Client::GetClientList(bool full, bool any, CLU_List* list) {
    return RunOperation(Req::GetClientList, {.fFull = full, .fAny = any}, {.fList = list});
}

void QPX_Client::GetClientList(bool full, bool any, QPX_SuccessWithListCB success,
                               QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                               uint32 timeout) {
    StartOperation(Req::GetClientList, {.fFull = full, .fAny = any}, success, error, progress,
                   userData, timeout);
}

QPX_Status QPX_Client::GetClientInfo(uint32 clientId, CLU_Table* info) {
    return RunOperation(Req::GetClientInfo, {.fClientId = QPX_Value(clientId)}, {.fTable = info});
}

void QPX_Client::GetClientInfo(uint32 clientId, QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                               QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::GetClientInfo, {.fClientId = QPX_Value(clientId)}, success, error, progress,
                   userData, timeout);
}

QPX_Status QPX_Client::GetClientInfo(const std::string& sid, CLU_Table* info) {
    return RunOperation(Req::GetClientInfo, {.fClientId = QPX_Value(sid)}, {.fTable = info});
}

void QPX_Client::GetClientInfo(const std::string& sid, QPX_SuccessWithTableCB success,
                               QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                               uint32 timeout) {
    StartOperation(Req::GetClientInfo, {.fClientId = QPX_Value(sid)}, success, error, progress,
                   userData, timeout);
}

QPX_Status QPX_Client::KillClient(uint32 clientId, const std::string& password) {
    return RunOperation(Req::KillClient, {.fPassword = password, .fClientId = QPX_Value(clientId)},
                        {});
}

void QPX_Client::KillClient(uint32 clientId, const std::string& password, QPX_SuccessCB success,
                            QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                            uint32 timeout) {
    StartOperation(Req::KillClient, {.fPassword = password, .fClientId = QPX_Value(clientId)},
                   success, error, progress, userData, timeout);
}

QPX_Status QPX_Client::KillClient(const std::string& sid, const std::string& password) {
    return RunOperation(Req::KillClient, {.fPassword = password, .fClientId = QPX_Value(sid)}, {});
}

void QPX_Client::KillClient(const std::string& sid, const std::string& password,
                            QPX_SuccessCB success, QPX_ErrorCB error, QPX_ProgressCB progress,
                            void* userData, uint32 timeout) {
    StartOperation(Req::KillClient, {.fPassword = password, .fClientId = QPX_Value(sid)}, success,
                   error, progress, userData, timeout);
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
    return RunOperation(Req::Authenticate, {.fPassword = password, .fUserName = userName},
                        {.fTable = userInfo});
}

void QPX_Client::Authenticate(const std::string& userName, const std::string& password,
                              QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                              QPX_ProgressCB progress, void* userData, uint32 timeout) {
    StartOperation(Req::Authenticate, {.fPassword = password, .fUserName = userName}, success,
                   error, progress, userData, timeout);
}

QPX_Status QPX_Client::Authenticate(const std::string& userName, const std::string& password,
                                    const std::string& newPassword, CLU_Table* userInfo) {
    return RunOperation(
        Req::Authenticate,
        {.fPassword = password, .fUserName = userName, .fNewPassword = &newPassword},
        {.fTable = userInfo});
}

void QPX_Client::Authenticate(const std::string& userName, const std::string& password,
                              const std::string& newPassword, QPX_SuccessWithTableCB success,
                              QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                              uint32 timeout) {
    StartOperation(Req::Authenticate,
                   {.fPassword = password, .fUserName = userName, .fNewPassword = &newPassword},
                   success, error, progress, userData, timeout);
}

QPX_Status QPX_Client::FullTextSearch(const std::string& text, CLU_List* results, int32 limit) {
    return RunOperation(Req::FullTextSearch, {.fQuery = text, .fLimit = limit}, {.fList = results});
}

void QPX_Client::FullTextSearch(const std::string& text, int32 limit, QPX_SuccessWithListCB success,
                                QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                                uint32 timeout) {
    StartOperation(Req::FullTextSearch, {.fQuery = text, .fLimit = limit}, success, error, progress,
                   userData, timeout);
}
