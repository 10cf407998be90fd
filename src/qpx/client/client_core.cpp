// The state a server connection shares with its requests in flight: the connection,
// database and user records and the count of pending requests; and the readers of the
// RPC client's reply buffers (reply tables and discovery records).
#include "qpx/client/client_core.h"

#include <utility>

#include "lumo/dispatcher.h"
#include "lumo/status.h"
#include "qpx/client/rpc_factory.h"

bool QPX_EndsConnection(QPX_Status code) {
    switch (code) {
        case CL_SOCKET_CREATE_FAILED:
        case CL_PROTOCOL_NOT_SUPPORTED:
        case CL_BAD_HOST_ADDRESS:
        case CL_CONNECTION_REFUSED:
        case CL_NETWORK_UNREACHABLE:
        case CL_HOST_UNREACHABLE:
        case CL_ADDRESS_IN_USE:
        case CL_CANNOT_CONNECT:
        case CL_SOCKET_SETUP_FAILED:
        case CL_BIND_FAILED:
        case CL_LISTEN_FAILED:
        case CL_SOCKET_READ_ERROR:
        case CL_SOCKET_WRITE_ERROR:
        case CL_NOT_CONNECTED:
        case CL_CONNECTION_LOST:
        case CL_INVALID_SOCKET:
        case CL_IPC_BAD_REQUEST:
        case CL_IPC_BAD_REPLY:
            return true;
        default:
            return false;
    }
}

QPX_Status QPX_ClientCore::CheckResult(QPX_Status code) {
    if (!QPX_EndsConnection(code)) return code;
    CL_AutoLocker guard(fLock);
    return CheckResultLocked(code);
}

QPX_Status QPX_ClientCore::CheckResultLocked(QPX_Status code) {
    if (!QPX_EndsConnection(code)) return code;
    if (fRPC) fRPC->Disconnect();
    fConnectionInfo.Clear(false);
    fDatabase.Clear(false);
    fUser.Clear(false);
    return code;
}

uint32 QPX_ClientCore::NewConnection() {
    CL_AutoLocker guard(fLock);
    fOpening++;
    return ++fConnects;
}

void QPX_ClientCore::EndConnect(uint32 connection, const CLU_Table* info) {
    if (fOpening > 0) fOpening--;
    if (!fRPC) return;
    if (info)
        Connected(*info);
    else if (connection == fConnects)
        CheckResultLocked(CL_NOT_CONNECTED);
}

QPX_Status QPX_ClientCore::CheckResultOn(uint32 connection, QPX_Status code) {
    if (!QPX_EndsConnection(code)) return code;
    CL_AutoLocker guard(fLock);
    return CheckResultOnLocked(connection, code);
}

QPX_Status QPX_ClientCore::CheckResultOnLocked(uint32 connection, QPX_Status code) {
    // Under the lock that a Connect's beginning takes: one that begins later finds this
    // request's Disconnect done, and its handshake is not the one closed. An RPC client
    // that keeps no numbers gives 0 throughout, so each end counts for the connection
    // there is now.
    if (fOpening == 0 && fRPC && fRPC->GetConnectionNumber() == connection) CheckResultLocked(code);
    return code;
}

void QPX_ClientCore::Connected(const CLU_Table& info) {
    fConnectionInfo = info;
    fDatabase.Clear(false);
    fUser.Clear(false);
}

void QPX_ClientCore::OpenedDatabase(const std::string& driver, const std::string& name,
                                    const std::string& uuid) {
    fDatabase.Set("driver", driver);
    fDatabase.Set("name", name);
    fDatabase.Set("uuid", uuid);
}

void QPX_ClientCore::ClosedDatabase() {
    fDatabase.Clear(false);
    fUser.Clear(false);
}

void QPX_ClientCore::SignedIn(const std::string& name, const std::string& password) {
    fUser.Set("name", name);
    fUser.Set("password", password);
}

namespace {

// The core whose request completes on this thread, if any.
thread_local QPX_ClientCore* tCompletingCore = nullptr;
// The core whose blocking Connect runs on this thread, if any.
thread_local QPX_ClientCore* tConnectingCore = nullptr;
// The core whose refused request reports on this thread, if any.
thread_local QPX_ClientCore* tRefusingCore = nullptr;
// The progress or idle callback that runs on this thread, if any.
thread_local const QPX_ClientCore::Reporting* tReporting = nullptr;

}  // namespace

QPX_ClientCore::Connecting::Connecting(QPX_ClientCore* core) : fOuter(tConnectingCore) {
    tConnectingCore = core;
}

QPX_ClientCore::Connecting::~Connecting() {
    tConnectingCore = fOuter;
}

bool QPX_ClientCore::ConnectingHere() const {
    return tConnectingCore == this;
}

QPX_ClientCore::Reporting::Reporting(QPX_ClientCore* core, const void* request)
    : fCore(core), fRequest(request), fOuter(tReporting) {
    tReporting = this;
}

QPX_ClientCore::Reporting::~Reporting() {
    tReporting = fOuter;
}

QPX_ClientCore::Completing::Completing(QPX_ClientCore* core) : fOuter(tCompletingCore) {
    tCompletingCore = core;
}

QPX_ClientCore::Completing::~Completing() {
    tCompletingCore = fOuter;
}

void QPX_ClientCore::AddPending() {
    CL_AutoLocker guard(fPendingLock);
    fPending++;
}

CL_Client* QPX_ClientCore::RemovePending(const void* request) {
    CL_AutoLocker guard(fPendingLock);
    if (fPending > 0 && --fPending <= 1) fPendingDone.Broadcast();
    if (request != fReporter) return nullptr;
    // Its worker is lent while it waits for the other requests, whose jobs may need one.
    CL_Dispatcher::WaitScope lent;
    while (fPending > 0)
        fPendingDone.Wait(&fPendingLock, CL_WAIT_FOREVER);
    fReporter = nullptr;
    return std::exchange(fLeftRPC, nullptr);
}

void QPX_ClientCore::WaitForPending() {
    uint32 own = tCompletingCore == this ? 1 : 0;
    CL_AutoLocker guard(fPendingLock);
    // From a callback, its worker is lent while it waits, as in RemovePending.
    CL_Dispatcher::WaitScope lent;
    while (fPending > own)
        fPendingDone.Wait(&fPendingLock, CL_WAIT_FOREVER);
}

bool QPX_ClientCore::LeaveToReporter(CL_Client* rpc) {
    if (!tReporting || tReporting->fCore != this) return false;
    CL_AutoLocker guard(fPendingLock);
    fReporter = tReporting->fRequest;
    fLeftRPC = rpc;
    return true;
}

void QPX_ClientCore::AddRefusal() {
    CL_AutoLocker guard(fPendingLock);
    fPending++;
    fRefusals++;
}

void QPX_ClientCore::ReportRefusal(QPX_ErrorCB error, void* userData) {
    {
        Completing completing(this);
        QPX_ClientCore* outer = tRefusingCore;
        tRefusingCore = this;
        if (error) error(CL_ERROR, QPX::GetError(CL_ERROR), userData);
        tRefusingCore = outer;
    }
    CL_AutoLocker guard(fPendingLock);
    if (fRefusals > 0) fRefusals--;
    if (fPending > 0) fPending--;
    fPendingDone.Broadcast();
}

bool QPX_ClientCore::WaitForJobs(CL_Client* rpc) {
    // Counted from before the RPC client's wait, so that the wait of another callback
    // that ends there meanwhile no longer waits for this refusal.
    const bool refusing = tRefusingCore == this;
    if (refusing) {
        CL_AutoLocker guard(fPendingLock);
        fWaitingRefusals++;
        fPendingDone.Broadcast();
    }
    // The TCP client's own wait, given up once the deletion begins: a callback that
    // deletes the client waits for this one, whose wait counts that callback's job.
    // The RPC client and its dispatcher live until this callback has returned.
    bool done = true;
    if (CL_Dispatcher* dispatcher = QPX_RPCDispatcher(rpc))
        done = dispatcher->WaitForJobs(CL_WAIT_FOREVER, &fDeleting);
    else
        rpc->WaitForJobs();
    const bool completing = tCompletingCore == this;
    CL_AutoLocker guard(fPendingLock);
    while (!fDeleting && fRefusals > (completing ? fWaitingRefusals : 0))
        fPendingDone.Wait(&fPendingLock, CL_WAIT_FOREVER);
    if (refusing) fWaitingRefusals--;
    return done && !fDeleting;
}

void QPX_ClientCore::BeginDeletion() {
    CL_AutoLocker guard(fPendingLock);
    fDeleting = true;
    fPendingDone.Broadcast();
}

bool QPX_HasServerReply(CL_Status transport) {
    return transport == CL_OK || transport == CL_IPC_EXECUTE_FAILED;
}

void QPX_ReadReply(CL_Blob& reply, CLU_Table* table) {
    table->Clear(false);
    if (reply.GetSize() == 0) return;
    reply.Seek(0, CL_SEEK_SET);
    table->Unflatten(reply);
    reply.Seek(0, CL_SEEK_SET);
}

int32 QPX_ReadExecuteReply(CL_Blob& reply, CLU_Table* table) {
    QPX_ReadReply(reply, table);
    if (!table->Exists("CHECKSUM")) table->Set("CHECKSUM", reply.CheckSum());
    return table->GetInt32("ERRNO", CL_OK);
}

void QPX_RecordSingleSignOn(QPX_ClientCore& core, const CLU_Table& reply, const char* nameKey) {
    CLU_Table* info = reply.GetTable("USERINFO", nullptr);
    if (!info) return;
    std::string name = info->GetString(nameKey, std::string());
    std::string password = info->GetString("ParolaChiave", std::string());
    CL_AutoLocker guard(core.fLock);
    if (core.fRPC) core.SignedIn(name, password);
}

uint32 QPX_ReadServerCount(CL_Blob& reply) {
    uint32 count = 0;
    count << reply;
    // Every record takes some bytes: a count beyond what the reply can hold is a lie.
    uint32 left = reply.GetSize() - reply.Tell();
    uint32 most = left / QPX_MIN_SERVER_RECORD;
    return count < most ? count : most;
}

void QPX_ReadServerSpec(CL_Blob& reply, QPX_ServerSpec* spec) {
    std::string uuid;
    uuid << reply;
    spec->fUUID = CLU_UUID(uuid);
    spec->fHost << reply;
    uint16 port = 0;
    port << reply;
    spec->fPort = port;
    uint32 length = 0;
    length << reply;
    uint32 left = reply.GetSize() - reply.Tell();
    if (length > left) length = left;
    CL_Blob info;
    info.SetSize(0);
    info.Write(reply, length);
    info.Seek(0, CL_SEEK_SET);
    spec->fName << info;
    spec->fDescription << info;
    uint32 version = 0;
    version << info;
    spec->fDataVersion = version;
    bool multiTenant = false;
    multiTenant << info;
    spec->fMultiTenant = multiTenant;
    spec->fCompress = true;
    spec->fCryptLevel = QPX_CRYPT_NORMAL;
}
