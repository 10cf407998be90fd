// The Execute job: a DATA request with the command and its input, then the reply's
// checksum and type decide between success and error.
#include "lumo/net/tcp_client_execute_job.h"

#include <cstring>

namespace {

// The status a whole reply stands for: CL_OK for DATA. An ABORT reply empties it.
CL_Status ReplyStatus(const CL_PacketHeader& header, CL_Blob* reply) {
    if (!CL_VerifyCheckSum(header, *reply)) return CL_IPC_BAD_REPLY;
    switch (header.fType) {
        case CL_PACKET_TYPE_DATA:
            return CL_OK;
        case CL_PACKET_TYPE_FAILED:
            return CL_IPC_EXECUTE_FAILED;
        case CL_PACKET_TYPE_ABORT:
            reply->Clear();
            return CL_IPC_EXECUTE_ABORTED;
        default:
            return CL_IPC_BAD_REPLY;
    }
}

}  // namespace

CL_TCPClient::ExecuteJob::ExecuteJob(CL_TCPClient* client, CL_Command command,
                                     const CL_Blob& input, CL_SuccessCB success,
                                     CL_ErrorCB error, CL_ProgressCB progress, CL_IdleCB idle,
                                     void* userData, uint32 timeout)
    : ActionJob(client, input, userData, timeout, success, progress, idle),
      fCommand(command),
      fError(error) {}

CL_Status CL_TCPClient::ExecuteJob::Run() {
    RunScope scope(this);
    CL_Blob reply = fInput;
    CL_PacketHeader header;
    memset(&header, 0, sizeof(header));
    header.fData.fCommand = fCommand;
    header.fData.fCheckSum = fInput.CheckSum();
    CL_Status result = QueryServer(CL_PACKET_TYPE_DATA, &header, &reply);
    if (result == CL_CANCELLED || HasAborted()) {
        reply.Clear();
        result = CL_IPC_EXECUTE_ABORTED;
    } else {
        reply.Seek(0, CL_SEEK_SET);
        if (result == CL_OK) result = ReplyStatus(header, &reply);
    }
    QuitProgress();
    if (result == CL_OK) return Success(reply);
    return Error(result, reply);
}

CL_Status CL_TCPClient::ExecuteJob::Error(int32 code, CL_Blob& partial) {
    return fError ? fError(code, partial, fUserData) : CL_OK;
}
