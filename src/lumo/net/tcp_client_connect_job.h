// The Connect operation of the TCP RPC client as a job: the client opens the
// connection, the job reports the result.
#pragma once

#include "lumo/net/tcp_client_action_job.h"

class CL_TCPClient::ConnectJob : public ActionJob {
public:
    // input: the connection table, flattened.
    ConnectJob(CL_TCPClient* client, const CL_Blob& input, CL_SuccessCB success, CL_ErrorCB error,
               CL_ProgressCB progress, void* userData, uint32 timeout);
    CL_Status Run() override;
    // The error callback gets an empty blob.
    CL_Status Error(int32 code);

private:
    const CL_ErrorCB fError;
};
