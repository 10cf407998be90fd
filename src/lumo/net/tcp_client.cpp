// The TCP RPC client object: its dispatcher, and the blocking and asynchronous forms of
// each operation, which hand the work to the jobs.
#include "lumo/tcp_client.h"

#include "lumo/cipher.h"
#include "lumo/net/tcp_client_connect_job.h"
#include "lumo/net/tcp_client_discover_job.h"
#include "lumo/net/tcp_client_execute_job.h"
#include "lumo/net/tcp_client_input.h"
#include "lumo/net/tcp_client_progress_job.h"
#include "lumo/table.h"

namespace {

// What a blocking form gathers from the callbacks of the job it runs in place.
struct SyncResult {
    CL_Status fStatus = 0;
    CL_Blob* fOutput = nullptr;
};

CL_Status SyncSuccess(CL_Blob& result, void* data) {
    SyncResult* record = static_cast<SyncResult*>(data);
    if (record->fOutput) *record->fOutput = result;
    return CL_OK;
}

CL_Status SyncError(CL_Status code, CL_Blob& partial, void* data) {
    SyncResult* record = static_cast<SyncResult*>(data);
    record->fStatus = code;
    if (record->fOutput) *record->fOutput = partial;
    return code;
}

}  // namespace

// ---- Client ------------------------------------------------------------------------

CL_TCPClient::CL_TCPClient(CL_Dispatcher* dispatcher)
    : CL_Client(5000, 0),
      fID(0),
      fConnection(0),
      fServerID(0),
      fReplyLimit(kDefaultReplyLimit),
      fDispatcher(nullptr),
      fOwnDispatcher(false),
      fNextSequence(1),
      fConnFlags(0),
      fReading(false),
      fHandshaking(false),
      fNews(0),
      fNewsAt(0),
      fReader(false),
      fPartialHeld(false),
      fPartialSince(0),
      fDisconnectAsked(false) {
    SetDispatcher(dispatcher);
}

CL_TCPClient::~CL_TCPClient() {
    {
        // Waits for a running Connect or read step; waits on the socket release the lock.
        CL_AutoLocker locker(fLock);
        fSocket.Close();
        fID = 0;
    }
    // Jobs still running on an own dispatcher use the cipher and the queue: they
    // finish (the closed socket ends their waits) before either goes. Deleted from
    // one of their callbacks, that job's worker ends by itself, after this.
    if (fOwnDispatcher) delete fDispatcher;
    fDispatcher = nullptr;
    for (CL_Dispatcher* retired : fRetiredDispatchers) delete retired;
    fRetiredDispatchers.clear();
    {
        CL_AutoLocker locker(fLock);
        fCipher.reset();
        for (QueuedPacket* packet : fQueuedPackets) delete packet;
        fQueuedPackets.clear();
        ClearWaiters();
    }
}

void CL_TCPClient::SetDispatcher(CL_Dispatcher* dispatcher) {
    // Jobs may still run on an earlier own dispatcher (deleting it would wait for
    // them and drop the queued ones): it lives as long as the client.
    if (fOwnDispatcher && fDispatcher) fRetiredDispatchers.push_back(fDispatcher);
    if (dispatcher) {
        fDispatcher = dispatcher;
        fOwnDispatcher = false;
        return;
    }
    fDispatcher = new CL_Dispatcher(1, 32);
    fOwnDispatcher = true;
}

void CL_TCPClient::WaitForJobs() {
    if (fDispatcher) fDispatcher->WaitForJobs(CL_WAIT_FOREVER);
}

void CL_TCPClient::Disconnect() {
    // Never waits for the lock. The socket's state is shared with the thread that
    // holds it (a read that fails closes the descriptor), so a busy connection is only
    // marked: its holder closes it at its next step, or the next one to take the lock.
    // The mark comes before the id is cleared (a finishing Connect stores the id, then
    // looks at the mark). A handshake closes its socket itself at its next step, also
    // when this comes from its own cancel check: it ends then with CL_NOT_CONNECTED
    // instead of stepping on a socket closed under it.
    fDisconnectAsked = true;
    fID = 0;
    if (TryLockConnection()) {
        if (!fHandshaking) CloseIfAsked();
        fLock.Unlock();
    }
}

bool CL_TCPClient::CloseIfAsked() {
    // A handshake that let the lock go for a moment closes its socket itself: it polls
    // it without the lock meanwhile, and another thread here (a Disconnect, a reader
    // of the connection it replaced on its way out) must leave it alone.
    if (HandshakeElsewhere() || !fDisconnectAsked.exchange(false)) return false;
    fSocket.Close();
    return true;
}

uint32 CL_TCPClient::GetQueuedPacketCount() {
    CL_AutoLocker locker(fLock);
    return uint32(fQueuedPackets.size());
}

CL_Status CL_TCPClient::Discover(CL_Blob& input, CL_Blob& output, uint32 timeout) {
    SyncResult record;
    record.fOutput = &output;
    DiscoverJob job(this, input, SyncSuccess, nullptr, nullptr, &record,
                    timeout ? timeout : GetTimeOut());
    job.TakeCancelScope();
    return job.Run();
}

void CL_TCPClient::Discover(CL_Blob& input, CL_SuccessCB success, CL_ErrorCB error,
                            CL_ProgressCB progress, void* userData, uint32 timeout) {
    DiscoverJob* job = new DiscoverJob(this, input, success, error, progress, userData,
                                       timeout ? timeout : GetTimeOut());
    fDispatcher->AddJob(job, true);
}

CL_Status CL_TCPClient::Connect(const CLU_Table& settings, CL_Blob& output, uint32 timeout) {
    SyncResult record;
    record.fOutput = &output;
    CL_Blob flat;
    settings.Flatten(flat);
    flat.Seek(0, CL_SEEK_SET);
    CL_Status status;
    {
        ConnectJob job(this, flat, SyncSuccess, SyncError, nullptr, &record,
                       timeout ? timeout : GetTimeOut());
        job.TakeCancelScope();
        status = job.Run();
    }
    output.Seek(0, CL_SEEK_SET);
    return status;
}

void CL_TCPClient::Connect(const CLU_Table& settings, CL_SuccessCB success, CL_ErrorCB error,
                           CL_ProgressCB progress, void* userData, uint32 timeout) {
    CL_Blob flat;
    settings.Flatten(flat);
    flat.Seek(0, CL_SEEK_SET);
    // The progress job gets the new connection's socket from the handshake itself, so
    // that a cancel can end a handshake that waits on it.
    ConnectJob* job = new ConnectJob(this, flat, success, error, progress, userData,
                                     timeout ? timeout : GetTimeOut());
    fDispatcher->AddJob(job, true);
}

CL_Status CL_TCPClient::Execute(uint32 command, CL_Blob& input, CL_Blob& output, CL_IdleCB idle,
                                uint32 timeout) {
    SyncResult record;
    record.fOutput = &output;
    ExecuteJob job(this, command, input, SyncSuccess, SyncError, nullptr, idle, &record,
                   timeout ? timeout : GetTimeOut());
    return job.Run();
}

void CL_TCPClient::Execute(uint32 command, CL_Blob& input, CL_SuccessCB success, CL_ErrorCB error,
                           CL_ProgressCB progress, CL_IdleCB idle, void* userData,
                           uint32 timeout) {
    ExecuteJob* job = new ExecuteJob(this, command, input, success, error, progress, idle,
                                     userData, timeout ? timeout : GetTimeOut());
    fDispatcher->AddJob(job, true);
}
