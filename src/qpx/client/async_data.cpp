// The asynchronous requests of the client library: one object per request carries the
// caller's callbacks through the RPC client, and its trampolines turn the reply into
// those callbacks' arguments and the client's state.
#include <vector>

#include "lumo/status.h"
#include "qpx/client/client_core.h"
#include "qpx/client/operation_table.h"
#include "qpx/zelmo_client/client.h"

QPX_AsyncData::QPX_AsyncData(QPX_Client* client, Type type, Success success, QPX_ErrorCB error,
                             QPX_ProgressCB progress, void* userData, QPX_IdleCB idle,
                             QPX_Command command)
    : fCore(client->fCore),
      fType(type),
      fUserData(userData),
      fSuccess(success),
      fError(error),
      fProgress(progress),
      fIdle(idle),
      fCommand(command),
      fConnection(type == Connect ? fCore->NewConnection()
                                  : client->fClient->GetConnectionNumber()) {
    fCore->AddPending();
}

QPX_AsyncData::~QPX_AsyncData() {
    // Past its last callback its job no longer uses the RPC client: the request deletes
    // it here when its client was deleted from its progress or idle callback.
    CL_Client* left = fCore->RemovePending(this);
    delete left;
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
    QPX_ClientCore::Reporting reporting(self->fCore.get(), self);
    return self->fProgress(static_cast<QPX_ProgressType>(state), completeness, message,
                           self->fUserData);
}

CL_Status QPX_AsyncData::IdleCB(void* request) {
    QPX_AsyncData* self = static_cast<QPX_AsyncData*>(request);
    if (!self->fIdle) return CL_OK;
    QPX_ClientCore::Reporting reporting(self->fCore.get(), self);
    return self->fIdle(self->fUserData);
}

CL_Status QPX_AsyncData::DiscoverCB(CL_Blob& reply, void* request) {
    QPX_AsyncData* self = static_cast<QPX_AsyncData*>(request);
    QPX_ClientCore::Completing completing(self->fCore.get());
    reply.Seek(0, CL_SEEK_SET);
    uint32 count = QPX_ReadServerCount(reply);
    std::vector<QPX_ServerSpec> servers(count);
    for (uint32 i = 0; i < count; ++i)
        QPX_ReadServerSpec(reply, &servers[i]);
    if (QPX_DiscoverCB discover = self->SuccessOf<QPX_DiscoverCB>())
        discover(servers.data(), count, self->fUserData);
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
        core.EndConnect(self->fConnection, &table);
    }
    if (QPX_SuccessWithTableCB success = self->SuccessOf<QPX_SuccessWithTableCB>())
        success(table, self->fUserData);
    delete self;
    return CL_OK;
}

CL_Status QPX_AsyncData::ExecuteCB(CL_Blob& reply, void* request) {
    QPX_AsyncData* self = static_cast<QPX_AsyncData*>(request);
    QPX_ClientCore::Completing completing(self->fCore.get());
    CLU_Table table;
    int32 serverCode = QPX_ReadExecuteReply(reply, &table);
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
    if (fType == Execute) {
        CompleteExecute(reply);
        return;
    }
    const QPX_Operation* op = QPX_FindOperation(fType);
    if (!op) {
        if (fError) fError(QPX_ERR_NOT_IMPLEMENTED, std::string(), fUserData);
        return;
    }
    QPX_OpResult result = QPX_ReadResult(*op, reply);
    if (op->fEffect != QPX_Effect::kNone) {
        QPX_OpArgs recorded{.fPassword = fUserPassword,
                            .fDriver = fDatabaseDriver,
                            .fName = fDatabaseName,
                            .fUserName = fUserName};
        QPX_ClientCore& core = *fCore;
        CL_AutoLocker guard(core.fLock);
        if (core.fRPC) QPX_KeepState(core, op->fEffect, recorded, result.fUUID);
    }
    Report(*op, result);
}

void QPX_AsyncData::CompleteExecute(const CLU_Table& reply) {
    if (QPX_SuccessWithTableCB success = SuccessOf<QPX_SuccessWithTableCB>())
        success(reply, fUserData);
    if (fCommand == QPX_CMD_LOGIN_SSO) QPX_RecordSingleSignOn(*fCore, reply, "NickName");
}

void QPX_AsyncData::Report(const QPX_Operation& op, const QPX_OpResult& result) {
    switch (op.fShape) {
        case QPX_Shape::kNone:
            if (QPX_SuccessCB success = SuccessOf<QPX_SuccessCB>()) success(fUserData);
            break;
        case QPX_Shape::kTable:
            if (QPX_SuccessWithTableCB success = SuccessOf<QPX_SuccessWithTableCB>())
                success(result.fTable, fUserData);
            break;
        case QPX_Shape::kList:
            if (QPX_SuccessWithListCB success = SuccessOf<QPX_SuccessWithListCB>())
                success(result.fList, fUserData);
            break;
        case QPX_Shape::kResultSet:
            if (QPX_SuccessWithResultSetCB success = SuccessOf<QPX_SuccessWithResultSetCB>())
                success(result.fAffected, result.fList, result.fRows, fUserData);
            break;
        case QPX_Shape::kUpgrade: {
            CLU_Table upgrade;
            upgrade.Set("log", result.fList);
            upgrade.Set("old_version", result.fOldVersion);
            upgrade.Set("new_version", result.fNewVersion);
            if (QPX_SuccessWithTableCB success = SuccessOf<QPX_SuccessWithTableCB>())
                success(upgrade, fUserData);
            break;
        }
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
        // A request that a later Connect ended leaves the new connection alone.
        QPX_ClientCore& core = *self->fCore;
        CL_AutoLocker guard(core.fLock);
        if (self->fType == Connect)
            core.EndConnect(self->fConnection, nullptr);
        else
            core.CheckResultOnLocked(self->fConnection, code);
    }
    if (self->fError) self->fError(code, message, self->fUserData);
    delete self;
    return CL_OK;
}
