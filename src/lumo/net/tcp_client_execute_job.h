// The Execute operation of the TCP RPC client as a job: one command sent as a DATA
// request, its reply checked and handed to the caller.
#pragma once

#include "lumo/net/tcp_client_action_job.h"

class CL_TCPClient::ExecuteJob : public ActionJob {
public:
    ExecuteJob(CL_TCPClient* client, CL_Command command, const CL_Blob& input,
               CL_SuccessCB success, CL_ErrorCB error, CL_ProgressCB progress, CL_IdleCB idle,
               void* userData, uint32 timeout);
    CL_Status Run() override;
    CL_Status Error(int32 code, CL_Blob& partial);

private:
    const CL_Command fCommand;
    const CL_ErrorCB fError;
};
