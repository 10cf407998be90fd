// Base of the TCP RPC client's operation jobs: the caller's input, callbacks and
// time-out, the progress job that reports for the operation, and one request with its
// reply on the client's connection.
#pragma once

#include "lumo/tcp_client.h"

// One operation of a client, run on the caller's thread or a dispatcher's. The job
// itself is used by one thread; its progress job is shared with the dispatcher.
class CL_TCPClient::ActionJob : public CL_Job {
public:
    ActionJob(CL_TCPClient* client, const CL_Blob& input, void* userData, uint32 timeout,
              CL_SuccessCB success, CL_ProgressCB progress, CL_IdleCB idle);
    ~ActionJob() override;
    ActionJob(const ActionJob&) = delete;
    ActionJob& operator=(const ActionJob&) = delete;

    // One request and its reply: the reply's first header lands in *header and its
    // plain payload in *data.
    CL_Status QueryServer(CL_PacketType type, CL_PacketHeader* header, CL_Blob* data);
    CL_Status Success(CL_Blob& result);
    // Cancelled by the progress callback, or by the blocking form's cancel check.
    bool HasAborted() const;
    // A blocking form takes the calling thread's cancel check (CL_CancelScope), if any.
    void TakeCancelScope();
    bool HasCancelCheck() const { return fCancelCheck != nullptr; }
    // Asks the cancel check, with no lock of the client held; its first yes sticks.
    // Whether the job is cancelled.
    bool CheckCancel();
    // Final report of the progress job (when there is one) before the result.
    void QuitProgress();

    // Declared first in each Run, so that it ends last: the input's storage goes with
    // the run, and a job that ran on a dispatcher gives its worker's cache of freed
    // blocks back to the heap. Blocks made on the caller's thread and freed on the
    // worker (an input's storage, one per request) would otherwise stay in that cache
    // for as long as the worker lives.
    class RunScope {
    public:
        explicit RunScope(ActionJob* job) : fJob(job) {}
        ~RunScope();
        RunScope(const RunScope&) = delete;
        RunScope& operator=(const RunScope&) = delete;

    private:
        ActionJob* const fJob;
    };

    // Null without a progress callback.
    ProgressJob* GetProgress() const { return fProgressJob; }
    // Time-out of each socket step and of each wait for a reply, in ms.
    uint32 GetTimeOut() const { return fTimeOut; }
    bool HasIdle() const { return fIdle != nullptr; }
    // The caller's idle callback; the client calls it with its lock released.
    CL_Status Idle() { return fIdle(fUserData); }

protected:
    CL_TCPClient* const fClient;
    CL_Blob fInput;
    void* const fUserData;
    const uint32 fTimeOut;
    ProgressJob* fProgressJob;  // owned
    const CL_SuccessCB fSuccess;
    const CL_IdleCB fIdle;
    CL_IdleCB fCancelCheck = nullptr;
    void* fCancelData = nullptr;
    bool fCancelled = false;
};
