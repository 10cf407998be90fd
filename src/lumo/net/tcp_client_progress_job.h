// The progress job of a TCP RPC client operation: it calls the caller's progress
// callback every 100 ms while the operation runs and carries a request to cancel back.
#pragma once

#include <string>

#include "lumo/tcp_client.h"

// Runs on the client's dispatcher beside its operation job, which owns it and is queued
// behind it: between its reports it lends its worker (CL_Dispatcher::WaitScope), so
// that the operation job gets one on a dispatcher of any size. Shared by the two: every
// field that either changes is guarded by fLock, and the callback runs with fLock
// released. Lock order: a client's fLock before this one (the other way round only
// TryLock), this one before its dispatcher's.
class CL_TCPClient::ProgressJob : public CL_Job {
public:
    // `request`: the operation job, which outlives the run of this one.
    ProgressJob(const CL_Job* request, CL_ProgressCB progress, void* userData);
    // Queues the job; its first wait starts only after this returns.
    void Start(CL_Dispatcher* dispatcher) CL_EXCLUDES(fLock);
    // Reports until Quit, or until the operation job is Dropped: a dispatcher whose
    // destruction has begun never runs it, and this one ends without its final report.
    CL_Status Run() override CL_EXCLUDES(fLock);
    // Stores the state to report; returns whether the callback asked to cancel.
    bool SetState(CL_ProgressType state, double completeness, const std::string& message,
                  CL_Blob* partialResult) CL_EXCLUDES(fLock);
    // Ends the reports (after the final one) and waits until the last call is made, or
    // until this job is Dropped: then it makes none.
    void Quit() CL_EXCLUDES(fLock);
    bool HasAborted() CL_EXCLUDES(fLock);
    ~ProgressJob() override;
    // The socket of the connection a handshake is opening, which a cancel shuts
    // down; an empty handle once the handshake is over. Called by the thread that
    // owns the socket.
    void SetConnectionSocket(const CL_Socket& socket) CL_EXCLUDES(fLock);

private:
    // One report with the state as it is now; *copy keeps the partial result between
    // reports. Whether the job is to stop.
    bool Report(CL_Blob* copy) CL_REQUIRES(fLock);

    const CL_Job* const fRequest;
    void* const fUserData;
    const CL_ProgressCB fProgress;
    CL_RecursiveMutex fLock;
    CL_ProgressType fState CL_GUARDED_BY(fLock);
    double fCompleteness CL_GUARDED_BY(fLock);
    std::string fMessage CL_GUARDED_BY(fLock);
    CL_Blob* fPartialResult CL_GUARDED_BY(fLock);  // not owned
    CL_Condition fCond;
    CL_Condition fQuitCond;
    bool fQuit CL_GUARDED_BY(fLock);
    bool fDone CL_GUARDED_BY(fLock);  // the last call has been made
    bool fAborted CL_GUARDED_BY(fLock);
    // A duplicate of the handshake's descriptor, -1 when none: shutting it down ends
    // the connection's waits, and nothing of the socket's own state, which its thread
    // uses meanwhile, is touched from here.
    CL_RAW_SOCKET fConnectionSocket CL_GUARDED_BY(fLock);
};
