#include <vector>

#include "lumo/status.h"
#include "qpx/client/client_core.h"
#include "qpx/zelmo_client/client.h"

QPX_AsyncData::QPX_AsyncData(QPX_Client* client, Type type, QPX_ErrorCB error,
                             QPX_ProgressCB progress, void* userData)
    : fCore(client->fCore),
      fType(type),
      fUserData(userData),
      fDiscover(nullptr),
      fSuccess(nullptr),
      fSuccessWithTable(nullptr),
      fSuccessWithList(nullptr),
      fSuccessWithResultSet(nullptr),
      fError(error),
      fProgress(progress),
      fIdle(nullptr),
      fCommand(kNoCommand) {
    fCore->AddPending();
}

QPX_AsyncData::QPX_AsyncData(QPX_Client* client, QPX_DiscoverCB discover, QPX_ErrorCB error,
                             QPX_ProgressCB progress, void* userData)
    : QPX_AsyncData(client, Discover, error, progress, userData) {
    fDiscover = discover;
}

QPX_AsyncData::QPX_AsyncData(QPX_Client* client, QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                             QPX_ProgressCB progress, void* userData)
    : QPX_AsyncData(client, Connect, error, progress, userData) {
    fSuccessWithTable = success;
}

QPX_AsyncData::QPX_AsyncData(QPX_Client* client, Type type, QPX_SuccessCB success,
                             QPX_ErrorCB error, QPX_ProgressCB progress, void* userData)
    : QPX_AsyncData(client, type, error, progress, userData) {
    fSuccess = success;
}

QPX_AsyncData::QPX_AsyncData(QPX_Client* client, Type type, QPX_SuccessWithTableCB success,
                             QPX_ErrorCB error, QPX_ProgressCB progress, QPX_IdleCB idle,
                             void* userData, QPX_Command command)
    : QPX_AsyncData(client, type, error, progress, userData) {
    fSuccessWithTable = success;
    fIdle = idle;
    fCommand = command;
}

QPX_AsyncData::QPX_AsyncData(QPX_Client* client, Type type, QPX_SuccessWithListCB success,
                             QPX_ErrorCB error, QPX_ProgressCB progress, void* userData)
    : QPX_AsyncData(client, type, error, progress, userData) {
    fSuccessWithList = success;
}

QPX_AsyncData::QPX_AsyncData(QPX_Client* client, Type type, QPX_SuccessWithResultSetCB success,
                             QPX_ErrorCB error, QPX_ProgressCB progress, void* userData)
    : QPX_AsyncData(client, type, error, progress, userData) {
    fSuccessWithResultSet = success;
}

QPX_AsyncData::~QPX_AsyncData() {
    fCore->RemovePending();
}

void QPX_AsyncData::SetDatabase(const std::string& driver, const std::string& name) {
    fDatabaseDriver = driver;
    fDatabaseName = name;
}

void QPX_AsyncData::SetUser(const std::string& name, const std::string& password) {
    fUserName = name;
    fUserPassword = password;
}

CL_Status QPX_AsyncData::ProgressCB(CL_ProgressType state, double completeness,
                                    const std::string& message, CL_Blob*, void* request) {
    QPX_AsyncData* self = static_cast<QPX_AsyncData*>(request);
    if (!self->fProgress) return CL_OK;
    return self->fProgress(static_cast<QPX_ProgressType>(state), completeness, message,
                           self->fUserData);
}

CL_Status QPX_AsyncData::IdleCB(void* request) {
    QPX_AsyncData* self = static_cast<QPX_AsyncData*>(request);
    return self->fIdle ? self->fIdle(self->fUserData) : CL_OK;
}

CL_Status QPX_AsyncData::DiscoverCB(CL_Blob& reply, void* request) {
    QPX_AsyncData* self = static_cast<QPX_AsyncData*>(request);
    QPX_ClientCore::Completing completing(self->fCore.get());
    reply.Seek(0, CL_SEEK_SET);
    uint32 count = QPX_ReadServerCount(reply);
    std::vector<QPX_ServerSpec> servers(count);
    for (uint32 i = 0; i < count; ++i)
        QPX_ReadServerSpec(reply, &servers[i]);
    if (self->fDiscover) self->fDiscover(servers.data(), count, self->fUserData);
    delete self;
    return CL_OK;
}

CL_Status QPX_AsyncData::ConnectCB(CL_Blob& reply, void* request) {
    QPX_AsyncData* self = static_cast<QPX_AsyncData*>(request);
    QPX_ClientCore::Completing completing(self->fCore.get());
    CLU_Table table;
    QPX_ReadReply(reply, &table);
    {
        QPX_ClientCore& core = *self->fCore;
        CL_AutoLocker guard(core.fLock);
        if (core.fRPC) {
            core.fConnectionInfo = table;
            core.fDatabase.Clear(false);
            core.fUser.Clear(false);
        }
    }
    if (self->fSuccessWithTable) self->fSuccessWithTable(table, self->fUserData);
    delete self;
    return CL_OK;
}

CL_Status QPX_AsyncData::ExecuteCB(CL_Blob& reply, void* request) {
    QPX_AsyncData* self = static_cast<QPX_AsyncData*>(request);
    QPX_ClientCore::Completing completing(self->fCore.get());
    CLU_Table table;
    QPX_ReadReply(reply, &table);
    if (!table.Exists("CHECKSUM")) table.Set("CHECKSUM", reply.CheckSum());
    int32 serverCode = table.GetInt32("ERRNO", CL_OK);
    if (serverCode != CL_OK) {
        if (self->fError)
            self->fError(serverCode, table.GetString("ERROR", std::string()), self->fUserData);
    } else {
        self->Complete(table);
    }
    delete self;
    return CL_OK;
}

void QPX_AsyncData::Complete(const CLU_Table& reply) {
    QPX_ClientCore& core = *fCore;
    switch (fType) {
        case Execute: {
            if (fSuccessWithTable) fSuccessWithTable(reply, fUserData);
            CLU_Table* info = reply.GetTable("USERINFO", nullptr);
            if (fCommand == QPX_CMD_LOGIN_SSO && info) {
                std::string name = info->GetString("NickName", std::string());
                std::string password = info->GetString("ParolaChiave", std::string());
                CL_AutoLocker guard(core.fLock);
                if (core.fRPC) {
                    core.fUser.Set("name", name);
                    core.fUser.Set("password", password);
                }
            }
            break;
        }
        case ListDrivers:
        case ListBackups:
        case GetClientList:
        case FullTextSearch: {
            static const char* const kKeys[] = {"DRIVERS", "BACKUPS", "CLIENT_LIST", "HITS"};
            const char* key = fType == ListDrivers     ? kKeys[0]
                              : fType == ListBackups   ? kKeys[1]
                              : fType == GetClientList ? kKeys[2]
                                                       : kKeys[3];
            CLU_List list = QPX_ReplyList(reply, key);
            if (fSuccessWithList) fSuccessWithList(list, fUserData);
            break;
        }
        case ListDatabases:
        case CreateDatabase:
        case GetClientInfo:
        case GetDataDictionary: {
            const char* key = fType == ListDatabases    ? "DATABASES"
                              : fType == CreateDatabase ? "INFO"
                              : fType == GetClientInfo  ? "CLIENT_INFO"
                                                        : "DICTIONARY";
            CLU_Table result = QPX_ReplyTable(reply, key);
            if (fSuccessWithTable) fSuccessWithTable(result, fUserData);
            break;
        }
        case OpenDatabase: {
            CLU_Table info = QPX_ReplyTable(reply, "INFO");
            std::string uuid = info.GetString("uuid", std::string());
            {
                CL_AutoLocker guard(core.fLock);
                if (core.fRPC) {
                    core.fDatabase.Set("driver", fDatabaseDriver);
                    core.fDatabase.Set("name", fDatabaseName);
                    core.fDatabase.Set("uuid", uuid);
                }
            }
            if (fSuccessWithTable) fSuccessWithTable(info, fUserData);
            break;
        }
        case CloseDatabase: {
            {
                CL_AutoLocker guard(core.fLock);
                if (core.fRPC) {
                    core.fDatabase.Clear(false);
                    core.fUser.Clear(false);
                }
            }
            if (fSuccess) fSuccess(fUserData);
            break;
        }
        case Authenticate: {
            CLU_Table info = QPX_ReplyTable(reply, "USERINFO");
            {
                CL_AutoLocker guard(core.fLock);
                if (core.fRPC) {
                    core.fUser.Set("name", fUserName);
                    core.fUser.Set("password", fUserPassword);
                }
            }
            if (fSuccessWithTable) fSuccessWithTable(info, fUserData);
            break;
        }
        case UpgradeDatabase: {
            CLU_List log = QPX_UpgradeLog(reply);
            CLU_Table result;
            result.Set("log", log);
            result.Set("old_version", reply.GetInteger("OLD_VERSION", 0));
            result.Set("new_version", reply.GetInteger("NEW_VERSION", 0));
            if (fSuccessWithTable) fSuccessWithTable(result, fUserData);
            break;
        }
        case QueryDatabase:
        case QueryDatabaseNatively: {
            uint32 affected = static_cast<uint32>(reply.GetInt32("AFFECTED_ROWS", 0));
            CLU_List columns = QPX_ReplyList(reply, "COLUMNS_LIST");
            CLU_List rows = QPX_ReplyList(reply, "RESULT_SET");
            if (fSuccessWithResultSet) fSuccessWithResultSet(affected, columns, rows, fUserData);
            break;
        }
        case DeleteDatabase:
        case BackupDatabase:
        case RestoreDatabase:
        case DeleteBackup:
        case OptimizeDatabase:
        case RepairDatabase:
        case IndexDatabase:
        case KillClient:
            if (fSuccess) fSuccess(fUserData);
            break;
        default:
            if (fError) fError(QPX_ERR_NOT_IMPLEMENTED, std::string(), fUserData);
            break;
    }
}

CL_Status QPX_AsyncData::ErrorCB(CL_Status code, CL_Blob& reply, void* request) {
    QPX_AsyncData* self = static_cast<QPX_AsyncData*>(request);
    QPX_ClientCore::Completing completing(self->fCore.get());
    // Only a server's FAILED reply carries a table; after a failed write the buffer
    // may hold the request that was being sent.
    CLU_Table table;
    if (QPX_HasServerReply(code)) QPX_ReadReply(reply, &table);
    int32 serverCode = table.GetInt32("ERRNO", CL_OK);
    if (serverCode != CL_OK) code = serverCode;
    std::string message = table.Exists("ERROR") ? table.GetString("ERROR", std::string())
                                                : std::string(QPX::GetError(code));
    {
        QPX_ClientCore& core = *self->fCore;
        CL_AutoLocker guard(core.fLock);
        if (core.fRPC) core.CheckResult(self->fType == Connect ? CL_NOT_CONNECTED : code);
    }
    if (self->fError) self->fError(code, message, self->fUserData);
    delete self;
    return CL_OK;
}
