// The server end of the RPC as an application sees it: the abstract server with its
// table of callbacks and its log, and the per-connection client context that every
// callback receives, with the records of the requests the server is handling.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lumo/allocator.h"
#include "lumo/containers.h"
#include "lumo/ipc.h"
#include "lumo/thread.h"
#include "lumo/timestamp.h"
#include "lumo/base_types.h"

class CL_Cipher;
class CL_ClientContext;
class CL_LogLimiter;
class CL_Server;
class CLU_Table;
class CLU_UUID;

enum CL_LOG_LEVEL : uint32 {
    CL_LOG_LEVEL_NONE = 0,
    CL_LOG_LEVEL_CRITICAL = 1,
    CL_LOG_LEVEL_ERROR = 2,
    CL_LOG_LEVEL_WARNING = 3,
    CL_LOG_LEVEL_INFO = 4,
    CL_LOG_LEVEL_DEBUG = 5,
    CL_LOG_LEVEL_DEBUG_VERBOSE = 6,
    CL_LOG_LEVEL_MAX = 7,
    CL_LOG_LEVEL_LOW = 2,
    CL_LOG_LEVEL_NORMAL = 3,
    CL_LOG_LEVEL_HIGH = 4,
};

typedef void (*CL_LogCB)(uint32 level, const std::string& message, void* userData);
// Non-zero: the discovery request gets no reply.
typedef CL_Status (*CL_ServerInfoCB)(CL_Server* server, CLU_Table& info);
typedef void (*CL_ClientInfoCB)(CL_ClientContext* context, CLU_Table& info);
// `table` is the connection's CLU_Table; non-zero refuses the client with that code.
typedef CL_Status (*CL_ConnectCB)(CL_ClientContext* context, void* table);
// Receives ownership of the context; its cipher is already gone.
typedef void (*CL_DisconnectCB)(CL_ClientContext* context);
// 0 success, 209 success without counting the request, anything else failure.
typedef CL_Status (*CL_ExecuteCB)(CL_Command command, CL_Blob& input, CL_Blob& output,
                                  CL_ClientContext* context, uint32 requestID);
typedef void (*CL_AbortCB)(CL_ClientContext* context, uint32 requestID);
typedef void (*CL_ThreadSetupCB)(void* userData);
typedef void (*CL_ThreadCleanupCB)(void* userData);

// The application's callbacks; every member may be null. They run on the server's
// threads. fClientInfo runs with the server lock held, fAbort may run with the server
// lock and the context lock held, and fLog may run with either: none of them may call
// the server's own locking operations (Start, Stop, the client administration calls).
struct CL_ServerCallbacks {
    CL_LogCB fLog;
    CL_ServerInfoCB fServerInfo;
    CL_ClientInfoCB fClientInfo;
    CL_ConnectCB fConnect;
    CL_DisconnectCB fDisconnect;
    CL_ExecuteCB fExecute;
    CL_AbortCB fAbort;
    CL_ThreadSetupCB fThreadSetup;
    CL_ThreadCleanupCB fThreadCleanup;
};

// An RPC server: configured with Setup, fed its callbacks with SetCallbacks before
// Start. The base class serves nothing. SetCallbacks, SetData and Setup are for the
// one thread that configures the server; Log may be called from any thread.
//
// Lines about one client at the levels a peer can provoke (error, warning, info) are
// rate-limited per text: past 20 lines of one format (or finished text) in a second,
// the rest of that second's are held back, and one line then says how many were. The
// lines that go out are unchanged; lines that name no client always go out.
class CL_Server : public CL_Object {
public:
    CL_Server();
    virtual ~CL_Server();
    CL_Server(const CL_Server&) = delete;
    CL_Server& operator=(const CL_Server&) = delete;

    virtual void Setup(CLU_Table& settings);
    virtual void GetUUID(CLU_UUID& uuid);
    virtual void GetInfo(CLU_Table& info);
    virtual CL_Status Start();
    virtual void Stop();
    virtual void Lock();
    virtual void Unlock();
    virtual void GetClientsList(CL_LinkedList<uint32>* ids);
    virtual CL_Status GetClientInfo(uint32 clientID, CLU_Table& info);
    virtual CL_Status CloseClient(uint32 clientID);

    // Copies the table (null clears every callback) and stores `userData`.
    void SetCallbacks(CL_ServerCallbacks* callbacks, void* userData);
    // A copy of the table: the server's threads may run while it is replaced. A caller
    // takes the copy once and calls through that copy, never through a second one.
    CL_ServerCallbacks GetCallbacks() const;
    void* GetCallbackUserData() const;
    void SetData(void* data) { fData = data; }
    void* GetData() const { return fData; }
    uint32 GetLogLevel() const;
    void SetLogLevel(uint32 level);
    uint16 GetFlags() const { return fFlags; }

    // Formats and hands the line to the log callback when `level` is not above the
    // log level; callers pass formats that went through the translator.
    void Log(uint32 level, const char* format, ...);
    void Log(uint32 level, const std::string& message);

protected:
    uint32 fLogLevel CL_GUARDED_BY(fCallbackLock);
    CL_ServerCallbacks fCallback CL_GUARDED_BY(fCallbackLock);
    void* fCallbackUserData CL_GUARDED_BY(fCallbackLock);
    // Set by Setup while the server is stopped.
    uint16 fFlags;
    // The application's.
    void* fData;
    // Guards the callback table, its user data and the log level, which threads that
    // run from construction on read while the application sets them.
    mutable CL_SpinLock fCallbackLock;

private:
    typedef std::vector<std::pair<uint32, std::string>> LogLines;
    void Emit(CL_LogCB log, void* userData, const LogLines& lines);

    // The hold on floods of lines about one client (server_log.h).
    friend class CL_LogLimiter;
    std::unique_ptr<CL_LogLimiter> fLogLimiter;
};

// Marker bit of a thread's pin request; the low bits tell pin (non-zero) from unpin.
constexpr uint32 _PINNED_TO_THREAD = 0x80000000u;

// One connection as the application sees it. Every operation on the request records
// takes the context's recursive lock, which is also the lock an application uses for
// its own per-connection state; one context is shared by the server's threads.
class CL_ClientContext : public CL_Lockable {
public:
    // The server's record of one request of this client.
    class Request : public CL_Object {
    public:
        explicit Request(uint32 id) : fID(id), fCompleteness(-1.0), fAborted(false) {}
        uint32 fID;
        double fCompleteness;
        std::string fMessage;
        bool fAborted;
    };

    CL_ClientContext(uint32 id, CL_Server* server);
    ~CL_ClientContext() override;
    CL_ClientContext(const CL_ClientContext&) = delete;
    CL_ClientContext& operator=(const CL_ClientContext&) = delete;

    CL_Status Lock() override CL_ACQUIRE(fLock);
    void Unlock() override CL_RELEASE(fLock);
    CL_RecursiveMutex* GetLock() CL_RETURN_CAPABILITY(fLock) { return &fLock; }

    uint32 GetID() const { return fID; }
    CL_Server* GetServer() const { return fServer; }
    void SetData(void* data) { fData = data; }
    void* GetData() const { return fData; }
    CL_Cipher* GetCipher() const { return fCipher; }
    void SetCipher(CL_Cipher* cipher) { fCipher = cipher; }
    uint32 GetNumRequests();
    CL_TimeStamp GetConnectionTime() const { return fConnectionTime; }
    CL_TimeStamp GetLastRequestTime();
    void SetFlags(uint32 flags) { fFlags = flags; }
    uint32 GetFlags() const { return fFlags; }
    CL_ThreadID GetPinnedThread() const { return fPinnedThread; }
    void SetPinnedThread(CL_ThreadID id) { fPinnedThread = id; }

    void StartRequest(uint32 id);
    void EndRequest(uint32 id, bool count);
    // False when there is no record for `id`.
    bool SetAborted(uint32 id, bool aborted);
    // True also when there is no record: a request whose record is gone is cancelled.
    bool HasAborted(uint32 id);
    // Completeness in percent, or -1.0 for unknown.
    bool SetProgress(uint32 id, double completeness, const std::string& message);
    void GetProgress(uint32 id, double* completeness, std::string* message);
    // Marks every record aborted and calls `callback` for each with the lock held.
    void AbortAll(CL_AbortCB callback);

    // The calling thread's pin request, acted on by the server after the execute
    // callback returns.
    void PinToThread();
    void UnpinFromThread();
    bool IsPinToThreadSet();
    bool IsPinToThread();
    void ClearPinToThread();
    uint32 GetPinToThread() { return uint32(fPinToThread.Get()); }
    void SetPinToThread(uint32 value) { fPinToThread = int32(value); }

    static uint32 GetNextID();

private:
    uint32 fID;
    CL_Server* fServer;
    void* fData;
    CL_HashMap<int32, Request*> fRequests CL_GUARDED_BY(fLock);
    // Set when the client is let in, by the worker that serves it.
    CL_Cipher* fCipher;
    // Taken after the server's own lock, never before it.
    CL_RecursiveMutex fLock;
    uint32 fNumRequests CL_GUARDED_BY(fLock);
    CL_TimeStamp fConnectionTime;
    CL_TimeStamp fLastRequestTime CL_GUARDED_BY(fLock);
    std::atomic<uint32> fFlags;
    // A value per thread: each thread reads and writes its own.
    CL_ThreadVar<int32> fPinToThread;
    CL_ThreadID fPinnedThread;
    static CL_AtomicVar fNextID;
};
