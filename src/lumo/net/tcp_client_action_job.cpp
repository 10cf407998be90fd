// The part every operation job of the TCP RPC client shares: starting and ending its
// progress job, one request with its reply, and the success callback.
#include "lumo/net/tcp_client_action_job.h"

#include "lumo/net/tcp_client_progress_job.h"

CL_TCPClient::ActionJob::ActionJob(CL_TCPClient* client, const CL_Blob& input, void* userData,
                                   uint32 timeout, CL_SuccessCB success, CL_ProgressCB progress,
                                   CL_IdleCB idle)
    : fClient(client),
      fInput(input),
      fUserData(userData),
      fTimeOut(timeout),
      fProgressJob(nullptr),
      fSuccess(success),
      fIdle(idle) {
    if (progress) {
        fProgressJob = new ProgressJob(this, progress, userData);
        fProgressJob->Start(client->GetDispatcher());
    }
}

CL_TCPClient::ActionJob::~ActionJob() {
    if (fProgressJob) {
        fProgressJob->Quit();
        // Neither the client nor its dispatcher is used: a job whose callback deleted
        // the client ends here after both are gone. A progress job that a dispatcher
        // being destroyed dropped (or refused) never runs: the wait ends all the same.
        CL_Dispatcher::WaitForJob(fProgressJob, CL_WAIT_FOREVER);
        delete fProgressJob;
        fProgressJob = nullptr;
    }
}

CL_Status CL_TCPClient::ActionJob::QueryServer(CL_PacketType type, CL_PacketHeader* header,
                                               CL_Blob* data) {
    uint32 sequence = 0;
    CL_Status status = fClient->WriteRequest(this, &sequence, type, header, data);
    if (status != CL_OK) return status;
    return fClient->ReadReply(this, sequence, header, data);
}

CL_Status CL_TCPClient::ActionJob::Success(CL_Blob& result) {
    return fSuccess ? fSuccess(result, fUserData) : CL_OK;
}

bool CL_TCPClient::ActionJob::HasAborted() const {
    return fCancelled || (fProgressJob && fProgressJob->HasAborted());
}

void CL_TCPClient::ActionJob::TakeCancelScope() {
    const CL_CancelScope* scope = CL_CancelScope::Current();
    if (!scope) return;
    fCancelCheck = scope->fCheck;
    fCancelData = scope->fData;
}

bool CL_TCPClient::ActionJob::CheckCancel() {
    if (!fCancelled && fCancelCheck && fCancelCheck(fCancelData) != CL_OK) fCancelled = true;
    return HasAborted();
}

CL_TCPClient::ActionJob::RunScope::~RunScope() {
    fJob->fInput = CL_Blob();
    // fDelete: queued on a dispatcher, whose worker runs it (the blocking forms run
    // theirs on the caller's thread, which made the blocks it frees).
    if (fJob->fDelete) CL_ClearBlockCache();
}

void CL_TCPClient::ActionJob::QuitProgress() {
    if (fProgressJob) fProgressJob->Quit();
}
