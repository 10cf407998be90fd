// The Connect job: the client's handshake, which keeps the connection to itself, then
// the final progress report and the caller's callback after it.
#include "lumo/net/tcp_client_connect_job.h"

CL_TCPClient::ConnectJob::ConnectJob(CL_TCPClient* client, const CL_Blob& input,
                                     CL_SuccessCB success, CL_ErrorCB error,
                                     CL_ProgressCB progress, void* userData, uint32 timeout)
    : ActionJob(client, input, userData, timeout, success, progress, nullptr), fError(error) {}

CL_Status CL_TCPClient::ConnectJob::Run() {
    RunScope scope(this);
    CL_Blob output;
    CL_Status result = fClient->Open(this, fInput, &output);
    QuitProgress();
    if (result == CL_OK) return Success(output);
    return Error(result);
}

CL_Status CL_TCPClient::ConnectJob::Error(int32 code) {
    CL_Blob empty;
    return fError ? fError(code, empty, fUserData) : CL_OK;
}
