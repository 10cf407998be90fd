// A scripted RPC client for the client library's tests: it records every command
// with its flattened request and answers from a queue of scripted replies, in the
// blocking form on the caller's thread and in the asynchronous form as a job on its
// own dispatcher, with one progress and one idle call before the completion.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "lumo/dispatcher.h"
#include "lumo/ipc.h"
#include "lumo/status.h"
#include "lumo/types.h"

class MockRPC : public CL_Client {
public:
    struct Reply {
        CL_Status fStatus = CL_OK;
        CL_Blob fBytes;
        // Hand the request bytes back as the reply, as a client does whose reply
        // buffer starts as a copy of the request and whose write failed.
        bool fEcho = false;
    };
    struct Request {
        uint32 fCommand = 0;
        CL_Blob fPayload;
        CLU_Table fTable;  // the payload unflattened
        bool fAsync = false;
        bool fHadIdle = false;
    };

    MockRPC() : CL_Client(5000, 0), fDispatcher(new CL_Dispatcher(2, 16)) {}
    ~MockRPC() override {
        Release();
        fDispatcher->WaitForJobs(CL_WAIT_FOREVER);
        delete fDispatcher;
    }

    static Reply TableReply(const CLU_Table& table, CL_Status status = CL_OK) {
        Reply r;
        r.fStatus = status;
        table.Flatten(r.fBytes);
        r.fBytes.Seek(0, CL_SEEK_SET);
        return r;
    }
    static Reply StatusReply(CL_Status status) {
        Reply r;
        r.fStatus = status;
        return r;
    }

    void Push(const Reply& reply) {
        std::lock_guard<std::mutex> guard(fMutex);
        fReplies.push_back(reply);
    }
    // Asynchronous requests wait until Release.
    void Hold() {
        std::lock_guard<std::mutex> guard(fMutex);
        fHeld = true;
    }
    void Release() {
        std::lock_guard<std::mutex> guard(fMutex);
        fHeld = false;
        fGate.notify_all();
    }
    std::vector<Request> Requests() {
        std::lock_guard<std::mutex> guard(fMutex);
        return fRequests;
    }
    Request Last() {
        std::lock_guard<std::mutex> guard(fMutex);
        return fRequests.empty() ? Request() : fRequests.back();
    }
    CLU_Table LastSettings() {
        std::lock_guard<std::mutex> guard(fMutex);
        return fSettings;
    }
    int Disconnects() {
        std::lock_guard<std::mutex> guard(fMutex);
        return fDisconnects;
    }
    int Interrupts() {
        std::lock_guard<std::mutex> guard(fMutex);
        return fInterrupts;
    }
    uint32 LastTimeout() {
        std::lock_guard<std::mutex> guard(fMutex);
        return fLastTimeout;
    }
    // Waits until every asynchronous job has ended.
    void Drain() { fDispatcher->WaitForJobs(CL_WAIT_FOREVER); }

    // ---- CL_Client -------------------------------------------------------------

    void WaitForJobs() override { Drain(); }
    CL_Status Discover(CL_Blob& input, CL_Blob& output, uint32 timeout) override {
        Reply r = Take(0xFFFFFFFFu, input, false, false, timeout);
        output = r.fBytes;
        return r.fStatus;
    }
    void Discover(CL_Blob& input, CL_SuccessCB success, CL_ErrorCB error, CL_ProgressCB progress,
                  void* userData, uint32 timeout) override {
        Reply r = Take(0xFFFFFFFFu, input, true, false, timeout);
        fDispatcher->AddJob(new Job(this, r, success, error, progress, nullptr, userData), true);
    }
    CL_Status Connect(const CLU_Table& settings, CL_Blob& output, uint32 timeout) override {
        RecordSettings(settings, timeout);
        Reply r = Pop();
        output = r.fBytes;
        return r.fStatus;
    }
    void Connect(const CLU_Table& settings, CL_SuccessCB success, CL_ErrorCB error,
                 CL_ProgressCB progress, void* userData, uint32 timeout) override {
        RecordSettings(settings, timeout);
        Reply r = Pop();
        fDispatcher->AddJob(new Job(this, r, success, error, progress, nullptr, userData), true);
    }
    // Closing the connection lets held requests finish.
    void Disconnect() override {
        std::lock_guard<std::mutex> guard(fMutex);
        fDisconnects++;
        fHeld = false;
        fGate.notify_all();
    }
    uint32 GetID() override { return 42; }
    CL_Status Execute(uint32 command, CL_Blob& input, CL_Blob& output, CL_IdleCB idle,
                      uint32 timeout) override {
        Reply r = Take(command, input, false, idle != nullptr, timeout);
        if (idle) idle(nullptr);
        output = r.fEcho ? input : r.fBytes;
        return r.fStatus;
    }
    void Execute(uint32 command, CL_Blob& input, CL_SuccessCB success, CL_ErrorCB error,
                 CL_ProgressCB progress, CL_IdleCB idle, void* userData, uint32 timeout) override {
        Reply r = Take(command, input, true, idle != nullptr, timeout);
        if (r.fEcho) r.fBytes = input;
        fDispatcher->AddJob(new Job(this, r, success, error, progress, idle, userData), true);
    }
    CL_Status Interrupt() override {
        std::lock_guard<std::mutex> guard(fMutex);
        fInterrupts++;
        return CL_OK;
    }

private:
    class Job : public CL_Job {
    public:
        Job(MockRPC* rpc, const Reply& reply, CL_SuccessCB success, CL_ErrorCB error,
            CL_ProgressCB progress, CL_IdleCB idle, void* userData)
            : fRPC(rpc),
              fReply(reply),
              fSuccess(success),
              fError(error),
              fProgress(progress),
              fIdle(idle),
              fUserData(userData) {}
        CL_Status Run() override {
            fRPC->WaitForGate();
            CL_Status status = fReply.fStatus;
            if (fProgress &&
                fProgress(CL_PROGRESS_EXECUTE, 50.0, "working", nullptr, fUserData) != 0)
                status = CL_IPC_EXECUTE_ABORTED;
            if (fIdle && fIdle(fUserData) != 0) status = CL_CANCELLED;
            if (status == CL_OK) {
                if (fSuccess) fSuccess(fReply.fBytes, fUserData);
            } else if (fError) {
                fError(status, fReply.fBytes, fUserData);
            }
            return CL_OK;
        }

    private:
        MockRPC* fRPC;
        Reply fReply;
        CL_SuccessCB fSuccess;
        CL_ErrorCB fError;
        CL_ProgressCB fProgress;
        CL_IdleCB fIdle;
        void* fUserData;
    };

    void WaitForGate() {
        std::unique_lock<std::mutex> lock(fMutex);
        fGate.wait(lock, [this] { return !fHeld; });
    }
    Reply Pop() {
        std::lock_guard<std::mutex> guard(fMutex);
        if (fReplies.empty()) return TableReply(CLU_Table());
        Reply r = fReplies.front();
        fReplies.pop_front();
        return r;
    }
    Reply Take(uint32 command, CL_Blob& input, bool async, bool idle, uint32 timeout) {
        Request request;
        request.fCommand = command;
        request.fPayload = CL_Blob(input.GetDataForRead(), input.GetSize(), true);
        request.fAsync = async;
        request.fHadIdle = idle;
        if (input.GetSize() > 0) {
            CL_Blob copy = request.fPayload;
            copy.Seek(0, CL_SEEK_SET);
            request.fTable.Unflatten(copy);
        }
        {
            std::lock_guard<std::mutex> guard(fMutex);
            fRequests.push_back(request);
            fLastTimeout = timeout;
        }
        return Pop();
    }
    void RecordSettings(const CLU_Table& settings, uint32 timeout) {
        std::lock_guard<std::mutex> guard(fMutex);
        fSettings = settings;
        fLastTimeout = timeout;
    }

    CL_Dispatcher* fDispatcher;
    std::mutex fMutex;
    std::condition_variable fGate;
    bool fHeld = false;
    std::deque<Reply> fReplies;
    std::vector<Request> fRequests;
    CLU_Table fSettings;
    int fDisconnects = 0;
    int fInterrupts = 0;
    uint32 fLastTimeout = 0;
};
