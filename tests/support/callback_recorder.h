// One recorder for the callbacks of asynchronous requests, of the RPC client (CL_) and
// of the client library (QPX_) alike: it counts the completions, keeps what they
// carried and every progress report in order, answers the progress calls as the test
// set it up (go on, or cancel), and lets a test wait for a number of completions.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "lumo/blob.h"
#include "lumo/ipc.h"
#include "lumo/list.h"
#include "lumo/table.h"
#include "qpx/zelmo_client/client.h"

class CallbackRecorder {
public:
    // One progress call as it came.
    struct Report {
        uint32 fState;
        double fCompleteness;
        std::string fMessage;
    };

    // ---- What the test sets before the request starts ------------------------------
    // Progress calls from this one on (0 is the first) ask to cancel; -1: never.
    int fCancelFrom = -1;
    // Or cancel whenever this says so (asked after the call is recorded).
    std::function<bool()> fCancelIf;
    // What a progress call that cancels answers.
    CL_Status fCancelAnswer = 1;
    // Runs in the success and error callbacks before they record anything.
    std::function<void()> fOnCompletion;
    // Runs in each idle callback before it is counted.
    std::function<void()> fOnIdle;

    // ---- What the callbacks saw ------------------------------------------------------
    std::atomic<int> fSuccesses{0};
    std::atomic<int> fErrors{0};
    std::atomic<int> fProgressCalls{0};
    std::atomic<int> fIdleCalls{0};
    std::atomic<CL_Status> fCode{0};  // the error's
    // Progress calls that came after one had asked to cancel.
    std::atomic<int> fCallsAfterCancel{0};
    // The fields below are written under fMutex; read them once the request has ended.
    std::mutex fMutex;
    std::string fOutput;              // RPC client: the result's or partial result's bytes
    std::string fMessage;             // client library: the error's text
    CLU_Table fTable;                 // client library: the table of a success
    CLU_List fList;                   // client library: the list of a success
    CLU_List fColumns, fRows;         // client library: a result set
    uint32 fAffected = 0;             // client library: a result set's affected rows
    std::vector<std::string> fHosts;  // client library: the servers discovery found
    std::vector<Report> fReports;
    std::vector<std::string> fEvents;  // "progress", "success", "error" in order

    int Completions() const { return fSuccesses + fErrors; }
    // Waits at most `ms` until `count` requests have completed; whether they have.
    bool Wait(int count, uint32 ms = 30000) {
        std::unique_lock<std::mutex> lock(fMutex);
        return fDone.wait_for(lock, std::chrono::milliseconds(ms),
                              [&] { return Completions() >= count; });
    }
    // The recorded output as a blob read from its start, and as the table it holds.
    CL_Blob Output() {
        std::lock_guard<std::mutex> guard(fMutex);
        CL_Blob blob(fOutput.data(), uint32(fOutput.size()), true);
        blob.Seek(0, CL_SEEK_SET);
        return blob;
    }
    CLU_Table OutputTable() {
        CL_Blob blob = Output();
        CLU_Table table;
        table.Unflatten(blob);
        return table;
    }
    // Progress reports of state `state`.
    std::vector<Report> ReportsOf(uint32 state) {
        std::lock_guard<std::mutex> guard(fMutex);
        std::vector<Report> out;
        for (const Report& report : fReports)
            if (report.fState == state) out.push_back(report);
        return out;
    }

    // ---- RPC client callbacks ------------------------------------------------------
    static CL_Status Success(CL_Blob& result, void* self) {
        Of(self)->Complete(true, [&](CallbackRecorder* r) { r->fOutput = result.Raw(); });
        return CL_OK;
    }
    static CL_Status Error(CL_Status code, CL_Blob& partial, void* self) {
        Of(self)->fCode = code;
        Of(self)->Complete(false, [&](CallbackRecorder* r) { r->fOutput = partial.Raw(); });
        return CL_OK;
    }
    static CL_Status Progress(CL_ProgressType state, double completeness,
                              const std::string& message, CL_Blob*, void* self) {
        return Of(self)->Record(state, completeness, message);
    }
    // Idle callbacks of both libraries: counted, never cancelling.
    static CL_Status Idle(void* self) {
        if (Of(self)->fOnIdle) Of(self)->fOnIdle();
        Of(self)->fIdleCalls++;
        return CL_OK;
    }

    // ---- Client library callbacks ----------------------------------------------------
    static void Success(void* self) {
        Of(self)->Complete(true, [](CallbackRecorder*) {});
    }
    static void Success(const CLU_Table& table, void* self) {
        Of(self)->Complete(true, [&](CallbackRecorder* r) { r->fTable = table; });
    }
    static void Success(const CLU_List& list, void* self) {
        Of(self)->Complete(true, [&](CallbackRecorder* r) { r->fList = list; });
    }
    static void Success(uint32 affected, const CLU_List& columns, const CLU_List& rows,
                        void* self) {
        Of(self)->Complete(true, [&](CallbackRecorder* r) {
            r->fAffected = affected;
            r->fColumns = columns;
            r->fRows = rows;
        });
    }
    static void Success(QPX_ServerSpec* servers, uint32 count, void* self) {
        Of(self)->Complete(true, [&](CallbackRecorder* r) {
            r->fHosts.clear();
            for (uint32 i = 0; i < count; i++)
                r->fHosts.push_back(servers[i].fHost);
        });
    }
    static void Error(QPX_Status code, const std::string& message, void* self) {
        Of(self)->fCode = code;
        Of(self)->Complete(false, [&](CallbackRecorder* r) { r->fMessage = message; });
    }
    static QPX_Status Progress(QPX_ProgressType state, double completeness,
                               const std::string& message, void* self) {
        return Of(self)->Record(state, completeness, message);
    }

private:
    static CallbackRecorder* Of(void* self) { return static_cast<CallbackRecorder*>(self); }

    template <class Keep>
    void Complete(bool success, Keep keep) {
        if (fOnCompletion) fOnCompletion();
        std::lock_guard<std::mutex> guard(fMutex);
        keep(this);
        fEvents.push_back(success ? "success" : "error");
        (success ? fSuccesses : fErrors)++;
        fDone.notify_all();
    }
    CL_Status Record(uint32 state, double completeness, const std::string& message) {
        int call;
        {
            std::lock_guard<std::mutex> guard(fMutex);
            fReports.push_back({state, completeness, message});
            fEvents.push_back("progress");
            call = fProgressCalls++;
        }
        if (fAskedToCancel) fCallsAfterCancel++;
        bool cancel = (fCancelFrom >= 0 && call >= fCancelFrom) || (fCancelIf && fCancelIf());
        if (cancel) fAskedToCancel = true;
        return cancel ? fCancelAnswer : CL_OK;
    }

    std::condition_variable fDone;
    std::atomic<bool> fAskedToCancel{false};
};
