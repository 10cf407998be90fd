// QPX_Client: the connection object's discovery, connect, disconnect and generic
// Execute in both forms, and the connection, database and user state it keeps.
#include "qpx/zelmo_client/client.h"

#include "lumo/dispatcher.h"
#include "lumo/status.h"
#include "lumo/timestamp.h"
#include "qpx/client/client_core.h"
#include "qpx/client/rpc_factory.h"

namespace {

// The table the RPC client sends in its handshake: the caller's options with the
// connection's own keys set over them, in this order.
CLU_Table MakeConnectTable(const QPX_ServerSpec* spec, const CLU_Table& options, uint32 timeout) {
    CLU_Table table;
    if (!spec) return table;
    table = options;
    table.Set("host", spec->fHost);
    table.Set("port", spec->fPort);
    table.Set("timeout", timeout);
    table.Set("conn_flags", options.Exists("flags") ? options.GetInt32("flags", 0) : int32(9));
    table.Set("parent_client_id", options.GetInt32("parent_client_id", 0));
    table.Set("sid", spec->fSID);
    table.Set("remote_address", spec->fRemoteAddress);
    // Minutes east of Greenwich; the offset is milliseconds west.
    int64 offset = CL_TimeStamp::Now().GetTimeZoneOffset();
    table.Set("timezone", static_cast<int64>(-(offset / 60000)));
    return table;
}

// The bytes of a request or connect table into *blob, read from its start; false when
// the table nests deeper than the flattened format carries, which would go out empty.
bool FlattenTable(const CLU_Table& table, CL_Blob* blob) {
    if (!table.TryFlatten(*blob)) return false;
    blob->Seek(0, CL_SEEK_SET);
    return true;
}

// Reports a request refused before anything was sent as every other outcome is
// reported: later and off the caller's thread, which may hold a lock that the callback
// takes. Counted among the client's pending requests from its making.
class RefusalJob : public CL_Job {
public:
    RefusalJob(const std::shared_ptr<QPX_ClientCore>& core, QPX_ErrorCB error, void* userData)
        : fCore(core), fError(error), fUserData(userData) {
        fCore->AddRefusal();
    }

    CL_Status Run() override {
        fCore->ReportRefusal(fError, fUserData);
        return CL_OK;
    }

    // On a thread of its own, which then deletes the job.
    static int32 RunAlone(void* job) {
        RefusalJob* self = static_cast<RefusalJob*>(job);
        self->Run();
        delete self;
        return 0;
    }

private:
    std::shared_ptr<QPX_ClientCore> fCore;
    QPX_ErrorCB fError;
    void* fUserData;
};

}  // namespace

QPX_Client::QPX_Client(CL_Dispatcher* dispatcher) : QPX_Client(QPX_NewRPCClient(dispatcher)) {}

QPX_Client::QPX_Client(CL_Client* rpc) : fCore(new QPX_ClientCore(rpc)), fClient(rpc) {}

QPX_Client::~QPX_Client() {
    // Callbacks waiting in WaitForJobs give up: their waits may count the job that
    // runs this, and the deletion waits for those callbacks below.
    fCore->BeginDeletion();
    {
        // Requests still in flight keep the core; from here on they leave the state
        // and the RPC client alone.
        QPX_ClientCore& core = *fCore;
        CL_AutoLocker guard(core.fLock);
        core.fRPC = nullptr;
    }
    // The RPC client's jobs run those requests and use the RPC client until they
    // end: with the connection closed they end at once, reporting to their callers.
    // From a progress or idle callback, whose request cannot end before the callback
    // returns, that request deletes the RPC client once it and the others have ended.
    fClient->Disconnect();
    if (fCore->LeaveToReporter(fClient)) return;
    fCore->WaitForPending();
    delete fClient;
}

uint32 QPX_Client::GetServerList(QPX_ServerSpec* list, uint32 listSize, uint32 timeout,
                                 uint16 port) {
    CL_Blob request;
    request += port;
    CL_Blob reply;
    if (fClient->Discover(request, reply, timeout) != CL_OK) return 0;
    reply.Seek(0, CL_SEEK_SET);
    uint32 count = QPX_ReadServerCount(reply);
    if (count > listSize) count = listSize;
    for (uint32 i = 0; i < count; ++i)
        QPX_ReadServerSpec(reply, &list[i]);
    return count;
}

void QPX_Client::GetServerList(QPX_DiscoverCB discover, QPX_ErrorCB error, QPX_ProgressCB progress,
                               void* userData, uint32 timeout, uint16 port) {
    QPX_AsyncData* request =
        new QPX_AsyncData(this, QPX_AsyncData::Discover, discover, error, progress, userData);
    CL_Blob blob;
    blob += port;
    blob.Seek(0, CL_SEEK_SET);
    fClient->Discover(blob, &QPX_AsyncData::DiscoverCB, &QPX_AsyncData::ErrorCB,
                      &QPX_AsyncData::ProgressCB, request, timeout);
}

QPX_Status QPX_Client::Connect(QPX_ServerSpec* spec, CLU_Table* output, const CLU_Table& options,
                               uint32 timeout) {
    CLU_Table settings = MakeConnectTable(spec, options, timeout);
    // Refused before it begins: the connection it would replace stays.
    CL_Blob flat;
    if (!FlattenTable(settings, &flat)) return CL_ERROR;
    CL_Blob reply;
    // One made from inside this thread's own Connect (its cancel check) is refused by
    // the RPC client; the connection being opened goes on.
    if (fCore->ConnectingHere()) return fClient->Connect(settings, reply, timeout);
    const uint32 connection = fCore->NewConnection();
    CL_Status status;
    {
        QPX_ClientCore::Connecting connecting(fCore.get());
        status = fClient->Connect(settings, reply, timeout);
    }
    QPX_ClientCore& core = *fCore;
    CL_AutoLocker guard(core.fLock);
    if (status == CL_OK) QPX_ReadReply(reply, output);
    core.EndConnect(connection, status == CL_OK ? output : nullptr);
    return status;
}

void QPX_Client::Connect(QPX_ServerSpec* spec, const CLU_Table& options,
                         QPX_SuccessWithTableCB success, QPX_ErrorCB error, QPX_ProgressCB progress,
                         void* userData, uint32 timeout) {
    CLU_Table settings = MakeConnectTable(spec, options, timeout);
    CL_Blob flat;
    if (!FlattenRequest(&settings, &flat, error, userData)) return;
    QPX_AsyncData* request =
        new QPX_AsyncData(this, QPX_AsyncData::Connect, success, error, progress, userData);
    fClient->Connect(settings, &QPX_AsyncData::ConnectCB, &QPX_AsyncData::ErrorCB,
                     &QPX_AsyncData::ProgressCB, request, timeout);
}

QPX_Status QPX_Client::Connect(QPX_Server*, CLU_Table*, const CLU_Table&) {
    return CL_ERROR;
}

void QPX_Client::Connect(QPX_Server*, const CLU_Table&, QPX_SuccessWithTableCB, QPX_ErrorCB,
                         QPX_ProgressCB, void*) {}

void QPX_Client::Disconnect() {
    CheckResult(CL_NOT_CONNECTED);
}

void QPX_Client::Interrupt() {
    fClient->Interrupt();
}

uint32 QPX_Client::GetID() {
    return fClient->GetID();
}

bool QPX_Client::WaitForJobs() {
    return fCore->WaitForJobs(fClient);
}

void QPX_Client::SetDispatcher(CL_Dispatcher* dispatcher) {
    fClient->SetDispatcher(dispatcher);
}

void QPX_Client::SetDefaultIdleCB(QPX_IdleCB idle) {
    fCore->fIdle.store(idle);
}

namespace {
// The server's text of the last synchronous request of this thread that failed.
thread_local std::string tLastServerError;
}  // namespace

std::string QPX_Client::GetLastServerError() {
    return tLastServerError;
}

QPX_Status QPX_Client::Execute(QPX_Command cmd, CLU_Table* input, CLU_Table* output,
                               QPX_IdleCB idle, uint32 timeout) {
    // The request and the reply never share a buffer: after a failed write the RPC
    // client may hand back what it was sending.
    CL_Blob request;
    QPX_Status status = input && !FlattenTable(*input, &request) ? CL_ERROR : CL_OK;
    if (!idle) idle = fCore->fIdle.load();
    CL_Blob reply;
    const uint32 connection = fClient->GetConnectionNumber();
    if (status == CL_OK) status = fClient->Execute(cmd, request, reply, idle, timeout);
    if (!QPX_HasServerReply(status)) reply.SetSize(0);

    CLU_Table own;
    CLU_Table* table = output ? output : &own;
    // A zero "ERRNO" must not turn a transport failure into success.
    int32 serverCode = QPX_ReadExecuteReply(reply, table);
    if (serverCode != CL_OK) status = serverCode;
    tLastServerError = status != CL_OK && table->Exists("ERROR")
                           ? table->GetString("ERROR", std::string())
                           : std::string();

    if (cmd == QPX_CMD_LOGIN_SSO && status == CL_OK) QPX_RecordSingleSignOn(*fCore, *table, "Nome");
    return fCore->CheckResultOn(connection, status);
}

void QPX_Client::Execute(QPX_Command cmd, CLU_Table* input, QPX_SuccessWithTableCB success,
                         QPX_ErrorCB error, QPX_ProgressCB progress, QPX_IdleCB idle,
                         void* userData, uint32 timeout) {
    CL_Blob blob;
    if (!FlattenRequest(input, &blob, error, userData)) return;
    QPX_AsyncData* request = new QPX_AsyncData(this, QPX_AsyncData::Execute, success, error,
                                               progress, userData, idle, cmd);
    StartRequest(request, cmd, blob, &QPX_AsyncData::IdleCB, timeout);
}

bool QPX_Client::FlattenRequest(const CLU_Table* input, CL_Blob* blob, QPX_ErrorCB error,
                                void* userData) {
    if (!input || FlattenTable(*input, blob)) return true;
    RefusalJob* job = new RefusalJob(fCore, error, userData);
    if (CL_Dispatcher* dispatcher = QPX_RPCDispatcher(fClient)) {
        dispatcher->AddJob(job, true);
        return false;
    }
    // An RPC client of the caller's own keeps its dispatcher to itself.
    CL_ThreadID thread = CL_Thread::Spawn("qpx refusal", 1, 0, &RefusalJob::RunAlone, job);
    if (thread)
        CL_Thread::Detach(thread);
    else
        RefusalJob::RunAlone(job);  // no thread to be had: the caller's is the one left
    return false;
}

void QPX_Client::StartRequest(QPX_AsyncData* request, QPX_Command cmd, CL_Blob& blob,
                              QPX_IdleCB idle, uint32 timeout) {
    fClient->Execute(cmd, blob, &QPX_AsyncData::ExecuteCB, &QPX_AsyncData::ErrorCB,
                     &QPX_AsyncData::ProgressCB, idle, request, timeout);
}

CLU_Table QPX_Client::GetDatabase() {
    QPX_ClientCore& core = *fCore;
    CL_AutoLocker guard(core.fLock);
    return core.fDatabase;
}

CLU_Table QPX_Client::GetUser() {
    QPX_ClientCore& core = *fCore;
    CL_AutoLocker guard(core.fLock);
    return core.fUser;
}

void QPX_Client::GetConnectionInfo(CLU_Table* out) {
    QPX_ClientCore& core = *fCore;
    CL_AutoLocker guard(core.fLock);
    *out = core.fConnectionInfo;
}

void QPX_Client::GetCurrentServerSpec(QPX_ServerSpec* spec) {
    CLU_Table info;
    GetConnectionInfo(&info);
    spec->fHost = info.GetString("host", std::string());
    spec->fPort = static_cast<uint16>(info.GetInteger("port", 0));
    spec->fName = info.GetString("name", std::string());
    spec->fDescription = info.GetString("desc", std::string());
    spec->fDataVersion = static_cast<uint32>(info.GetInteger("data_version", 0));
    spec->fUUID = CLU_UUID(info.GetString("uuid", std::string()));
    spec->fMultiTenant = info.GetBool("multitenant_enabled", false);
}

QPX_Status QPX_Client::CheckResult(QPX_Status code) {
    return fCore->CheckResult(code);
}
