// The TCP RPC client: one connection to one server, every operation packaged as a
// job that runs on the caller's thread (blocking forms) or on a dispatcher
// (asynchronous forms), several requests sharing the connection at once, and server
// discovery by UDP broadcast.
#pragma once

#include <atomic>
#include <deque>
#include <string>
#include <vector>

#include "lumo/dispatcher.h"
#include "lumo/ipc.h"
#include "lumo/socket.h"
#include "lumo/thread.h"

// CL_Client over one TCP connection.
// Thread safety: one object may be shared by any number of threads. fLock (recursive)
// guards the socket, the cipher, the packet queue and the table of waiting requests;
// a Connect holds it for its whole run, a request holds it while it writes and reads
// and releases it while it waits for the socket. No callback runs with it held.
// Disconnect never waits for the lock and never touches the socket without it: when
// the connection is busy it leaves the closing to the request or Connect that holds
// it, which closes the socket at its next step (a wait step is at most 100 ms).
class CL_TCPClient : public CL_Client {
public:
    class ProgressJob;

    // A chunk read from the socket and not yet taken by the request it belongs to.
    class QueuedPacket : public CL_Object {
    public:
        CL_PacketHeader fHeader;
        CL_Blob fData;
    };

    // One server found by Discover.
    class ServerInfo : public CL_Object {
    public:
        uint64 fID = 0;
        uint32 fProtocolVersion = 0;
        CL_NetAddress fAddress;
        CL_Blob fInfo;
    };

    // Base of the operation jobs: the caller's input, callbacks and time-out, and the
    // progress job that reports for it.
    class ActionJob : public CL_Job {
    public:
        ActionJob(CL_TCPClient* client, const CL_Blob& input, void* userData, uint32 timeout,
                  CL_SuccessCB success, CL_ProgressCB progress, CL_IdleCB idle);
        ~ActionJob() override;
        ActionJob(const ActionJob&) = delete;
        ActionJob& operator=(const ActionJob&) = delete;

        // One request and its reply: the reply's first header lands in *header and
        // its plain payload in *data.
        CL_Status QueryServer(CL_PacketType type, uint16 flags, CL_PacketHeader* header,
                              CL_Blob* data);
        CL_Status Success(CL_Blob& result);
        bool HasAborted() const;
        // Final report of the progress job (when there is one) before the result.
        void QuitProgress();

        CL_TCPClient* fClient;
        // The dispatcher that runs this job: the destructor waits on it for the progress
        // job, and the client may be gone by then (deleted from its last callback).
        CL_Dispatcher* fDispatcher;
        CL_Blob fInput;
        void* fUserData;
        uint32 fTimeOut;
        ProgressJob* fProgressJob;
        CL_SuccessCB fSuccess;
        CL_IdleCB fIdle;
    };

    class DiscoverJob : public ActionJob {
    public:
        DiscoverJob(CL_TCPClient* client, const CL_Blob& input, CL_SuccessCB success,
                    CL_ErrorCB error, CL_ProgressCB progress, void* userData, uint32 timeout);
        CL_Status Run() override;
        CL_Status Error(int32 code);

        CL_ErrorCB fError;
    };

    class ConnectJob : public ActionJob {
    public:
        ConnectJob(CL_TCPClient* client, const CL_Blob& input, CL_SuccessCB success,
                   CL_ErrorCB error, CL_ProgressCB progress, void* userData, uint32 timeout);
        CL_Status Run() override;
        CL_Status Error(int32 code);

        CL_ErrorCB fError;

    private:
        // Everything under the client's lock; the callbacks come after it.
        CL_Status Handshake(CL_Blob* output);
    };

    class ExecuteJob : public ActionJob {
    public:
        ExecuteJob(CL_TCPClient* client, CL_Command command, const CL_Blob& input,
                   CL_SuccessCB success, CL_ErrorCB error, CL_ProgressCB progress,
                   CL_IdleCB idle, void* userData, uint32 timeout);
        CL_Status Run() override;
        CL_Status Error(int32 code, CL_Blob& partial);

        CL_Command fCommand;
        CL_ErrorCB fError;
    };

    // Calls the caller's progress callback every 100 ms while its operation runs and
    // carries a request to cancel back to it. Its fields are guarded by fLock.
    class ProgressJob : public CL_Job {
    public:
        ProgressJob(CL_TCPClient* client, CL_ProgressCB progress, void* userData);
        CL_Status Run() override;
        // Stores the state to report; returns whether the callback asked to cancel.
        bool SetState(CL_ProgressType state, double completeness, const std::string& message,
                      CL_Blob* partialResult);
        // Ends the reports (after the final one) and waits until the last call is made.
        void Quit();
        bool HasAborted();
        CL_Status Lock() { return fLock.Lock(); }
        void Unlock() { fLock.Unlock(); }

        CL_TCPClient* fClient;
        void* fUserData;
        CL_ProgressCB fProgress;
        CL_ProgressType fState;
        double fCompleteness;
        std::string fMessage;
        CL_Blob* fPartialResult;
        CL_RecursiveMutex fLock;
        CL_Condition fCond;
        CL_Condition fQuitCond;
        bool fQuit;
        bool fDone;  // the last call has been made
        bool fAborted;
        CL_Socket fConnectionSocket;
    };

    explicit CL_TCPClient(CL_Dispatcher* dispatcher = nullptr);
    // Waits for the jobs of an own dispatcher to stop before it frees the cipher.
    ~CL_TCPClient() override;

    void SetDispatcher(CL_Dispatcher* dispatcher) override;
    void WaitForJobs() override;
    CL_Status Discover(CL_Blob& input, CL_Blob& output, uint32 timeout) override;
    void Discover(CL_Blob& input, CL_SuccessCB success, CL_ErrorCB error, CL_ProgressCB progress,
                  void* userData, uint32 timeout) override;
    CL_Status Connect(const CLU_Table& settings, CL_Blob& output, uint32 timeout) override;
    void Connect(const CLU_Table& settings, CL_SuccessCB success, CL_ErrorCB error,
                 CL_ProgressCB progress, void* userData, uint32 timeout) override;
    void Disconnect() override;
    uint32 GetID() override { return fID.load(); }
    CL_Status Execute(uint32 command, CL_Blob& input, CL_Blob& output, CL_IdleCB idle,
                      uint32 timeout) override;
    void Execute(uint32 command, CL_Blob& input, CL_SuccessCB success, CL_ErrorCB error,
                 CL_ProgressCB progress, CL_IdleCB idle, void* userData, uint32 timeout) override;
    // Sends ABORT_ALL and ends every request waiting on this connection with 205.
    CL_Status Interrupt() override;

    // Writes the ABORT for one request.
    CL_Status SendAbort(ActionJob* job, uint32 sequence);

    uint16 GetFlags() const { return fFlags; }
    uint32 GetTimeOut() const { return fTimeOut; }
    uint64 GetServerID() const { return fServerID; }
    // Chunks read and kept for requests that still wait for them.
    uint32 GetQueuedPacketCount();

    // Ports Discover sends to from a base port: base + 20 * k, k = 0..9.
    static constexpr uint16 kDiscoverBasePort = 51967;
    static constexpr uint32 kDiscoverPortCount = 10;
    static constexpr uint32 kDiscoveryPacketSize = 1046;

protected:
    // Sends one request packet; *sequence receives the number it used. The sequence
    // is registered as awaiting a reply before the first byte goes out.
    CL_Status WriteRequest(ActionJob* job, uint32* sequence, CL_PacketType type, uint16 flags,
                           CL_PacketHeader* header, CL_Blob* data);
    // Collects the reply of `sequence`, handling PINGs, progress, idle and cancel.
    CL_Status ReadReply(ActionJob* job, uint32 sequence, CL_PacketHeader* header, CL_Blob* data);

private:
    struct Waiter;

    // Takes what the socket holds now into fInput without waiting: 0, 4 when nothing
    // came, or the socket's status (which closes it, as the peer's close does).
    CL_Status ReadInput();
    // Queues every whole chunk in fInput (dropping those nobody waits for): 0, or 101
    // for a header with a wrong magic, which stays in place. *count: chunks taken.
    CL_Status TakeInput(uint32* count);
    QueuedPacket* TakeQueued(uint32 sequence);
    void DropQueued(uint32 sequence);
    Waiter* FindWaiter(uint32 sequence);
    void AddWaiter(uint32 sequence);
    void RemoveWaiter(uint32 sequence);
    void ClearWaiters();
    // The next queued chunk of `sequence`, reading the socket for everybody while
    // the reading turn is free.
    CL_Status WaitForPacket(ActionJob* job, uint32 sequence, QueuedPacket** packet);
    // Under fLock: closes the socket when a Disconnect asked for it; whether it did.
    bool CloseIfAsked();

    CL_Socket fSocket;
    std::atomic<uint32> fID;
    CL_Cipher* fCipher;
    uint64 fServerID;
    CL_Dispatcher* fDispatcher;
    bool fOwnDispatcher;
    CL_RecursiveMutex fLock;
    CL_AtomicVar fNextSequence;
    uint32 fConnFlags;
    std::deque<QueuedPacket*> fQueuedPackets;
    // Requests waiting for their replies: whether Interrupt ended them, and the
    // condition that wakes each when a chunk comes for it or the reading turn is free.
    std::vector<Waiter*> fWaiters;
    // A request is reading the socket (or waiting on it) for everybody.
    bool fReading;
    // A Connect holds the connection: its reads never wait for another reader.
    bool fHandshaking;
    // Reads so far that brought bytes: a wait's inactivity time-out restarts when it
    // moves.
    uint32 fPacketsRead;
    // Bytes read from the socket and not yet cut into chunks, from fInputStart on.
    std::string fInput;
    size_t fInputStart;
    // A Disconnect found the connection busy: whoever holds fLock closes the socket.
    std::atomic<bool> fDisconnectAsked;
    // Owned dispatchers replaced by SetDispatcher(null); deleted with the client.
    std::vector<CL_Dispatcher*> fRetiredDispatchers;
};
