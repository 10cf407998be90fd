// The TCP RPC client object: its dispatcher, the blocking and asynchronous forms of
// each operation, and the jobs that carry them out and report their progress.
#include "lumo/tcp_client.h"

#include "lumo/cipher.h"
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

constexpr uint32 kProgressInterval = 100;

}  // namespace

// ---- Client ------------------------------------------------------------------------

CL_TCPClient::CL_TCPClient(CL_Dispatcher* dispatcher)
    : CL_Client(5000, 0),
      fID(0),
      fCipher(nullptr),
      fServerID(0),
      fDispatcher(nullptr),
      fOwnDispatcher(false),
      fNextSequence(1),
      fConnFlags(0),
      fReading(false),
      fHandshaking(false),
      fPacketsRead(0),
      fInputStart(0),
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
    // finish (the closed socket ends their waits) before either goes.
    if (fOwnDispatcher) delete fDispatcher;
    fDispatcher = nullptr;
    for (CL_Dispatcher* retired : fRetiredDispatchers) delete retired;
    fRetiredDispatchers.clear();
    {
        CL_AutoLocker locker(fLock);
        delete fCipher;
        fCipher = nullptr;
        for (QueuedPacket* packet : fQueuedPackets) delete packet;
        fQueuedPackets.clear();
        ClearWaiters();
    }
}

void CL_TCPClient::SetDispatcher(CL_Dispatcher* dispatcher) {
    if (dispatcher) {
        if (fOwnDispatcher) delete fDispatcher;
        fDispatcher = dispatcher;
        fOwnDispatcher = false;
        return;
    }
    // Jobs may still run on an earlier own dispatcher: it lives as long as the client.
    if (fOwnDispatcher && fDispatcher) fRetiredDispatchers.push_back(fDispatcher);
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
    // looks at the mark).
    fDisconnectAsked = true;
    fID = 0;
    if (fLock.TryLock() == CL_OK) {
        CloseIfAsked();
        fLock.Unlock();
    }
}

bool CL_TCPClient::CloseIfAsked() {
    if (!fDisconnectAsked.exchange(false)) return false;
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
                    timeout ? timeout : fTimeOut);
    return job.Run();
}

void CL_TCPClient::Discover(CL_Blob& input, CL_SuccessCB success, CL_ErrorCB error,
                            CL_ProgressCB progress, void* userData, uint32 timeout) {
    DiscoverJob* job = new DiscoverJob(this, input, success, error, progress, userData,
                                       timeout ? timeout : fTimeOut);
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
                       timeout ? timeout : fTimeOut);
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
    ConnectJob* job = new ConnectJob(this, flat, success, error, progress, userData,
                                     timeout ? timeout : fTimeOut);
    // The handle is shared state of the connection: copied under the client's lock, and
    // only when that is free (a busy connection is closed by the Connect itself).
    if (job->fProgressJob && fLock.TryLock() == CL_OK) {
        job->fProgressJob->Lock();
        job->fProgressJob->fConnectionSocket = fSocket;
        job->fProgressJob->Unlock();
        fLock.Unlock();
    }
    fDispatcher->AddJob(job, true);
}

CL_Status CL_TCPClient::Execute(uint32 command, CL_Blob& input, CL_Blob& output, CL_IdleCB idle,
                                uint32 timeout) {
    SyncResult record;
    record.fOutput = &output;
    ExecuteJob job(this, command, input, SyncSuccess, SyncError, nullptr, idle, &record,
                   timeout ? timeout : fTimeOut);
    return job.Run();
}

void CL_TCPClient::Execute(uint32 command, CL_Blob& input, CL_SuccessCB success, CL_ErrorCB error,
                           CL_ProgressCB progress, CL_IdleCB idle, void* userData,
                           uint32 timeout) {
    ExecuteJob* job = new ExecuteJob(this, command, input, success, error, progress, idle,
                                     userData, timeout ? timeout : fTimeOut);
    fDispatcher->AddJob(job, true);
}

// ---- Action jobs ---------------------------------------------------------------------

CL_TCPClient::ActionJob::ActionJob(CL_TCPClient* client, const CL_Blob& input, void* userData,
                                   uint32 timeout, CL_SuccessCB success, CL_ProgressCB progress,
                                   CL_IdleCB idle)
    : fClient(client),
      fDispatcher(client->fDispatcher),
      fInput(input),
      fUserData(userData),
      fTimeOut(timeout),
      fProgressJob(nullptr),
      fSuccess(success),
      fIdle(idle) {
    if (progress) {
        fProgressJob = new ProgressJob(client, progress, userData);
        // Held while queuing so that the job's first wait starts after this is done.
        fProgressJob->Lock();
        fDispatcher->AddJob(fProgressJob, false);
        fProgressJob->Unlock();
    }
}

CL_TCPClient::ActionJob::~ActionJob() {
    if (fProgressJob) {
        fProgressJob->Quit();
        fDispatcher->WaitForJob(fProgressJob, CL_WAIT_FOREVER);
        delete fProgressJob;
        fProgressJob = nullptr;
    }
}

CL_Status CL_TCPClient::ActionJob::Success(CL_Blob& result) {
    return fSuccess ? fSuccess(result, fUserData) : CL_OK;
}

bool CL_TCPClient::ActionJob::HasAborted() const {
    return fProgressJob && fProgressJob->HasAborted();
}

void CL_TCPClient::ActionJob::QuitProgress() {
    if (fProgressJob) fProgressJob->Quit();
}

CL_TCPClient::DiscoverJob::DiscoverJob(CL_TCPClient* client, const CL_Blob& input,
                                       CL_SuccessCB success, CL_ErrorCB error,
                                       CL_ProgressCB progress, void* userData, uint32 timeout)
    : ActionJob(client, input, userData, timeout, success, progress, nullptr), fError(error) {}

CL_Status CL_TCPClient::DiscoverJob::Error(int32 code) {
    CL_Blob empty;
    return fError ? fError(code, empty, fUserData) : CL_OK;
}

CL_TCPClient::ConnectJob::ConnectJob(CL_TCPClient* client, const CL_Blob& input,
                                     CL_SuccessCB success, CL_ErrorCB error,
                                     CL_ProgressCB progress, void* userData, uint32 timeout)
    : ActionJob(client, input, userData, timeout, success, progress, nullptr), fError(error) {}

CL_Status CL_TCPClient::ConnectJob::Error(int32 code) {
    CL_Blob empty;
    return fError ? fError(code, empty, fUserData) : CL_OK;
}

CL_TCPClient::ExecuteJob::ExecuteJob(CL_TCPClient* client, CL_Command command,
                                     const CL_Blob& input, CL_SuccessCB success,
                                     CL_ErrorCB error, CL_ProgressCB progress, CL_IdleCB idle,
                                     void* userData, uint32 timeout)
    : ActionJob(client, input, userData, timeout, success, progress, idle),
      fCommand(command),
      fError(error) {}

CL_Status CL_TCPClient::ExecuteJob::Error(int32 code, CL_Blob& partial) {
    return fError ? fError(code, partial, fUserData) : CL_OK;
}

// ---- Progress job --------------------------------------------------------------------

CL_TCPClient::ProgressJob::ProgressJob(CL_TCPClient* client, CL_ProgressCB progress,
                                       void* userData)
    : fClient(client),
      fUserData(userData),
      fProgress(progress),
      fState(CL_PROGRESS_PROCESS),
      fCompleteness(-1.0),
      fPartialResult(nullptr),
      fQuit(false),
      fDone(false),
      fAborted(false) {}

CL_Status CL_TCPClient::ProgressJob::Run() {
    fLock.Lock();
    CL_Blob copy;
    for (;;) {
        if (fQuit) break;
        fCond.Wait(&fLock, kProgressInterval);
        if (fQuit) break;
        if (!fProgress || fAborted) continue;
        CL_ProgressType state = fState;
        double completeness = fCompleteness;
        std::string message = fMessage;
        if (fPartialResult) {
            copy = *fPartialResult;
            copy.Seek(0, CL_SEEK_SET);
        }
        fLock.Unlock();
        CL_Status answer = fProgress(state, completeness, message, &copy, fUserData);
        fLock.Lock();
        if (answer != CL_OK) {
            fAborted = true;
            // The connection's socket is closed only under the client's lock, never
            // waited for: a Connect that holds it closes the socket itself.
            if (fClient->fLock.TryLock() == CL_OK) {
                fConnectionSocket.Close();
                fClient->fLock.Unlock();
            }
        }
        if (fQuit) break;
    }
    if (!fAborted && fProgress) {
        fLock.Unlock();
        fProgress(CL_PROGRESS_COMPLETE, 100.0, std::string(), &copy, fUserData);
        fLock.Lock();
    }
    fState = CL_PROGRESS_COMPLETE;
    fQuit = true;
    fDone = true;
    fQuitCond.Broadcast();
    fLock.Unlock();
    return CL_OK;
}

bool CL_TCPClient::ProgressJob::SetState(CL_ProgressType state, double completeness,
                                         const std::string& message, CL_Blob* partialResult) {
    CL_AutoLocker locker(fLock);
    fState = state;
    fCompleteness = completeness;
    fMessage = message;
    fPartialResult = partialResult;
    return fAborted;
}

void CL_TCPClient::ProgressJob::Quit() {
    CL_AutoLocker locker(fLock);
    if (!fQuit) {
        fQuit = true;
        fCond.Signal();
    }
    while (!fDone) fQuitCond.Wait(&fLock, CL_WAIT_FOREVER);
}

bool CL_TCPClient::ProgressJob::HasAborted() {
    CL_AutoLocker locker(fLock);
    return fAborted;
}
