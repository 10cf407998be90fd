// The progress job of a TCP RPC client operation: periodic reports of the state the
// operation stores, the final COMPLETE report, and a cancel from the callback.
#include "lumo/net/tcp_client_progress_job.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr uint32 kProgressInterval = 100;

}  // namespace

CL_TCPClient::ProgressJob::ProgressJob(const CL_Job* request, CL_ProgressCB progress,
                                       void* userData)
    : fRequest(request),
      fUserData(userData),
      fProgress(progress),
      fState(CL_PROGRESS_PROCESS),
      fCompleteness(-1.0),
      fPartialResult(nullptr),
      fQuit(false),
      fDone(false),
      fAborted(false),
      fConnectionSocket(-1) {}

CL_TCPClient::ProgressJob::~ProgressJob() {
    CL_AutoLocker locker(fLock);
    if (fConnectionSocket >= 0) close(fConnectionSocket);
}

void CL_TCPClient::ProgressJob::Start(CL_Dispatcher* dispatcher) {
    // Held while queuing so that the job's first wait starts after this is done.
    CL_AutoLocker locker(fLock);
    dispatcher->AddJob(this, false);
}

CL_Status CL_TCPClient::ProgressJob::Run() {
    CL_AutoLocker locker(fLock);
    CL_Blob copy;
    bool dropped = false;
    while (!fQuit) {
        {
            // Only around the wait: a callback may delete the dispatcher.
            CL_Dispatcher::WaitScope lent;
            fCond.Wait(&fLock, kProgressInterval);
        }
        if (fQuit) break;
        if ((dropped = fRequest->Dropped())) break;
        if (!fProgress || fAborted) continue;
        if (Report(&copy)) break;
    }
    if (!fAborted && fProgress && !dropped) {
        CL_AutoUnlocker unlocker(fLock);
        fProgress(CL_PROGRESS_COMPLETE, 100.0, std::string(), &copy, fUserData);
    }
    fState = CL_PROGRESS_COMPLETE;
    fQuit = true;
    fDone = true;
    fQuitCond.Broadcast();
    return CL_OK;
}

bool CL_TCPClient::ProgressJob::Report(CL_Blob* copy) {
    CL_ProgressType state = fState;
    double completeness = fCompleteness;
    std::string message = fMessage;
    if (fPartialResult) {
        *copy = *fPartialResult;
        copy->Seek(0, CL_SEEK_SET);
    }
    CL_Status answer;
    {
        CL_AutoUnlocker unlocker(fLock);
        answer = fProgress(state, completeness, message, copy, fUserData);
    }
    if (answer != CL_OK) {
        fAborted = true;
        // A handshake in progress ends at once, even from a write to a server that
        // reads nothing.
        if (fConnectionSocket >= 0) shutdown(fConnectionSocket, SHUT_RDWR);
    }
    return fQuit;
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
    // Dropped is not signalled: looked at once a report interval.
    while (!fDone && !Dropped())
        fQuitCond.Wait(&fLock, kProgressInterval);
}

bool CL_TCPClient::ProgressJob::HasAborted() {
    CL_AutoLocker locker(fLock);
    return fAborted;
}

void CL_TCPClient::ProgressJob::SetConnectionSocket(const CL_Socket& socket) {
    CL_RAW_SOCKET descriptor = socket.GetDescriptor();
    CL_RAW_SOCKET copy = descriptor >= 0 ? fcntl(descriptor, F_DUPFD_CLOEXEC, 0) : -1;
    CL_AutoLocker locker(fLock);
    if (fConnectionSocket >= 0) close(fConnectionSocket);
    fConnectionSocket = copy;
    // A cancel that came before the socket did ends the handshake all the same.
    if (fAborted && copy >= 0) shutdown(copy, SHUT_RDWR);
}
