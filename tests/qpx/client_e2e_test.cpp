// The client library against the project's own RPC server over loopback: connection
// and its information, every named operation in both forms as the server receives
// it, server failures and FAILED replies, progress, completions exactly once,
// reconnects racing requests in flight and other Connects, requests too deep to send,
// and a client destroyed with requests in flight.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lumo/dispatcher.h"
#include "lumo/ipc_tcp.h"
#include "lumo/status.h"
#include "qpx/zelmo_client/client.h"
#include "support/callback_recorder.h"
#include "support/child_process.h"
#include "support/flat_table.h"
#include "support/operation_cases.h"
#include "support/private_network.h"
#include "support/sanitizer.h"
#include "support/scripted_peer.h"
#include "support/test_server.h"
#include "support/wait_for.h"

namespace {

const bool kIsolated = EnterPrivateNetwork();

// What the server's handler saw and how it answers, per command.
struct Script {
    CLU_Table fReply;
    CL_Status fStatus = CL_OK;
    uint32 fSleepMs = 0;
};

struct Seen {
    uint32 fCommand = 0;
    uint32 fSize = 0;
    CLU_Table fTable;
};

std::mutex sMutex;
std::vector<Seen> sSeen;
std::map<uint32, Script> sScripts;

CL_Status RecordingExecute(CL_Command command, CL_Blob& input, CL_Blob& output,
                           CL_ClientContext* context, uint32 id) {
    Seen seen;
    seen.fCommand = command;
    seen.fSize = input.GetSize();
    if (seen.fSize) seen.fTable = Unflat(input);
    Script script;
    {
        std::lock_guard<std::mutex> guard(sMutex);
        sSeen.push_back(seen);
        auto it = sScripts.find(command);
        if (it != sScripts.end()) script = it->second;
    }
    // The stand-in's echo answers with the request as it came.
    if (command == rpc_test::kEcho) return rpc_test::Echo(input, output, context, id);
    if (script.fSleepMs && !rpc_test::Work(context, id, script.fSleepMs, 10, true, "working"))
        return CL_IPC_EXECUTE_ABORTED;
    rpc_test::WriteTable(script.fReply, output);
    return script.fStatus;
}

Seen LastSeen() {
    std::lock_guard<std::mutex> guard(sMutex);
    return sSeen.empty() ? Seen() : sSeen.back();
}

size_t SeenCount() {
    std::lock_guard<std::mutex> guard(sMutex);
    return sSeen.size();
}

void SetScript(uint32 command, const Script& script) {
    std::lock_guard<std::mutex> guard(sMutex);
    sScripts[command] = script;
}

QPX_ServerSpec Loopback(uint16 port) {
    QPX_ServerSpec spec;
    spec.fHost = "127.0.0.1";
    spec.fPort = port;
    return spec;
}

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> guard(sMutex);
            sSeen.clear();
            sScripts.clear();
        }
        fServer.fCallbacks.fExecute = RecordingExecute;
        fServer.Apply();
        ASSERT_EQ(fServer.Start(), CL_OK);
        fDispatcher = new CL_Dispatcher(4, 32);
        fClient = new QPX_Client(fDispatcher);
        QPX_ServerSpec spec = Loopback(fServer.fPort);
        ASSERT_EQ(fClient->Connect(&spec, &fInfo, CLU_Table(), 5000), CL_OK);
    }
    void TearDown() override {
        // The RPC client's jobs still run briefly after their last callback, and on a
        // dispatcher the RPC client does not own nothing waits for them.
        fDispatcher->WaitForJobs(CL_WAIT_FOREVER);
        delete fClient;
        delete fDispatcher;
        fServer.fServer.Stop();
    }

    TestServer fServer{0, CL_LOG_LEVEL_NONE};
    CL_Dispatcher* fDispatcher = nullptr;
    QPX_Client* fClient = nullptr;
    CLU_Table fInfo;
};

TEST_F(EndToEndTest, ConnectionInformationAndIdentity) {
    EXPECT_NE(fClient->GetID(), 0u);
    CLU_Table info;
    fClient->GetConnectionInfo(&info);
    EXPECT_EQ(info.Count(), fInfo.Count());
    EXPECT_FALSE(info.Empty());
    fClient->Disconnect();
    fClient->GetConnectionInfo(&info);
    EXPECT_TRUE(info.Empty());
    EXPECT_NE(fClient->Execute(1, nullptr, nullptr, nullptr, 1000), CL_OK);
}

TEST_F(EndToEndTest, EveryNamedOperationReachesTheServerAsSent) {
    for (const op_cases::OpCase& c : op_cases::Cases()) {
        c.fSync(*fClient);
        Seen seen = LastSeen();
        EXPECT_EQ(seen.fCommand, c.fCommand) << c.fName;
        op_cases::ExpectSame(seen.fTable, c.fRequest, c.fName);

        c.fAsync(*fClient);
        fClient->WaitForJobs();
        seen = LastSeen();
        EXPECT_EQ(seen.fCommand, c.fCommand) << c.fName;
        op_cases::ExpectSame(seen.fTable, c.fAsyncDiffers ? c.fAsyncRequest : c.fRequest, c.fName);
    }
    CLU_Table dict;
    EXPECT_EQ(fClient->GetDataDictionary(&dict), CL_OK);
    EXPECT_EQ(LastSeen().fCommand, static_cast<uint32>(QPX_CMD_GET_DATA_DICTIONARY));
    EXPECT_EQ(LastSeen().fSize, 0u);
}

TEST_F(EndToEndTest, RepliesDecodeAndKeepTheState) {
    Script open;
    CLU_Table info;
    info.Set("uuid", std::string("U-7"));
    open.fReply.Set("INFO", info);
    SetScript(QPX_CMD_OPEN_DATABASE, open);
    Script auth;
    auth.fReply.Set("USERINFO", CLU_Table().Set("Nome", std::string("Anna")));
    SetScript(QPX_CMD_AUTHENTICATE, auth);

    CLU_Table out;
    ASSERT_EQ(fClient->OpenDatabase("sqlite", "shop", &out), CL_OK);
    EXPECT_EQ(out.GetString("uuid"), "U-7");
    ASSERT_EQ(fClient->Authenticate("anna", "secret", &out), CL_OK);
    EXPECT_EQ(out.GetString("Nome"), "Anna");
    EXPECT_EQ(LastSeen().fTable.GetString("PASSWORD"), QPX::GetPassword("secret"));
    EXPECT_EQ(fClient->GetDatabase().GetString("uuid"), "U-7");
    EXPECT_EQ(fClient->GetUser().GetString("password"), "secret");

    CallbackRecorder c;
    fClient->OpenDatabase("pg", "books", CallbackRecorder::Success, CallbackRecorder::Error,
                          CallbackRecorder::Progress, &c, 5000);
    ASSERT_TRUE(c.Wait(1));
    EXPECT_EQ(c.fSuccesses.load(), 1);
    EXPECT_EQ(c.fTable.GetString("uuid"), "U-7");
    EXPECT_EQ(fClient->GetDatabase().GetString("driver"), "pg");

    ASSERT_EQ(fClient->CloseDatabase(false), CL_OK);
    EXPECT_TRUE(fClient->GetDatabase().Empty());
    EXPECT_TRUE(fClient->GetUser().Empty());
}

TEST_F(EndToEndTest, ServerErrorsAndFailedReplies) {
    Script refusal;
    refusal.fReply.Set("ERRNO", 2209);
    refusal.fReply.Set("ERROR", std::string("syntax"));
    refusal.fStatus = 2209;
    SetScript(90, refusal);
    CLU_Table out;
    EXPECT_EQ(fClient->Execute(90, nullptr, &out, nullptr, 5000), 2209);
    EXPECT_EQ(out.GetString("ERROR"), "syntax");
    CallbackRecorder c;
    fClient->Execute(90, nullptr, CallbackRecorder::Success, CallbackRecorder::Error, nullptr,
                     nullptr, &c, 5000);
    ASSERT_TRUE(c.Wait(1));
    EXPECT_EQ(c.fCode.load(), 2209);
    EXPECT_EQ(c.fMessage, "syntax");

    // A failed request whose reply says "ERRNO" 0 stays a failure.
    Script failed;
    failed.fReply.Set("ERRNO", 0);
    failed.fStatus = CL_ERROR;
    SetScript(91, failed);
    QPX_Status status = fClient->Execute(91, nullptr, &out, nullptr, 5000);
    EXPECT_NE(status, CL_OK);
    CallbackRecorder f;
    // Its callback may wait for the client's jobs: its own is not among them.
    f.fOnCompletion = [&] { fClient->WaitForJobs(); };
    fClient->Execute(91, nullptr, CallbackRecorder::Success, CallbackRecorder::Error, nullptr,
                     nullptr, &f, 5000);
    ASSERT_TRUE(f.Wait(1));
    EXPECT_EQ(f.fSuccesses.load(), 0);
    EXPECT_EQ(f.fCode.load(), status);
    // So may as many callbacks at once as the dispatcher has workers at most: on the
    // RPC client's own (32) and on a caller's of 2 and of 8.
    for (uint32 most : {32u, 2u, 8u}) {
        CL_Dispatcher callers(1, most);
        QPX_Client client(most == 32 ? nullptr : &callers);
        QPX_ServerSpec spec = Loopback(fServer.fPort);
        ASSERT_EQ(client.Connect(&spec, &out, CLU_Table(), 5000), CL_OK);
        CallbackRecorder all;
        all.fOnCompletion = [&] { client.WaitForJobs(); };
        for (uint32 i = 0; i < most; i++)
            client.Execute(91, nullptr, CallbackRecorder::Success, CallbackRecorder::Error,
                           nullptr, nullptr, &all, 5000);
        EXPECT_TRUE(all.Wait(int(most), 20000)) << most;
        client.WaitForJobs();
    }

    // Server errors keep the connection.
    EXPECT_EQ(fClient->Execute(92, nullptr, &out, nullptr, 5000), CL_OK);
}

TEST_F(EndToEndTest, ManyRequestsCompleteExactlyOnce) {
    Script slow;
    slow.fSleepMs = 150;
    slow.fReply.Set("done", true);
    SetScript(93, slow);
    constexpr int kRequests = 40;
    CallbackRecorder c;
    for (int i = 0; i < kRequests; ++i)
        fClient->Execute(i % 4 == 0 ? 93 : 94, nullptr, CallbackRecorder::Success,
                         CallbackRecorder::Error, CallbackRecorder::Progress, nullptr, &c, 10000);
    ASSERT_TRUE(c.Wait(kRequests));
    fClient->WaitForJobs();
    EXPECT_EQ(c.fSuccesses.load(), kRequests);
    EXPECT_EQ(c.fErrors.load(), 0);
    EXPECT_GT(c.fProgressCalls.load(), 0);
}

// Asynchronous requests with progress on a caller's dispatcher of at most 1 or 2 workers,
// one at a time from each of 1 or 2 threads: the progress job lends its worker to the
// request queued behind it, so each completes, after its final report, with periodic
// reports while it lasts; the pool never holds more than its maximum and one worker for
// each reporting request, and a loan that ends leaves its worker to the next rather than
// retiring it (thread starts counted through the start hook).
TEST_F(EndToEndTest, AsynchronousRequestsOnASmallDispatcher) {
    Script slow;
    slow.fSleepMs = 350;
    SetScript(93, slow);
    struct Row {
        uint32 fMost;
        int fThreads;
        int fRequests;
        uint32 fCommand;
    };
    for (const Row& row : {Row{1, 1, 1, 93}, Row{1, 1, 300, 92}, Row{2, 2, 300, 92}}) {
        SCOPED_TRACE(testing::Message()
                     << "at most " << row.fMost << ", " << row.fThreads << " x " << row.fRequests);
        std::atomic<int> started{0};
        auto count = [](CL_ThreadID, void* counter) { ++*static_cast<std::atomic<int>*>(counter); };
        CL_Dispatcher callers(1, row.fMost, count, nullptr, &started);
        QPX_Client client(&callers);
        QPX_ServerSpec spec = Loopback(fServer.fPort);
        CLU_Table info;
        ASSERT_EQ(client.Connect(&spec, &info, CLU_Table(), 5000), CL_OK);
        std::atomic<int> done{0}, wrong{0}, reports{0};
        std::vector<std::thread> threads;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
        for (int t = 0; t < row.fThreads; t++)
            threads.emplace_back([&] {
                for (int i = 0; i < row.fRequests && std::chrono::steady_clock::now() < deadline;
                     i++) {
                    CallbackRecorder r;
                    client.Execute(row.fCommand, nullptr, CallbackRecorder::Success,
                                   CallbackRecorder::Error, CallbackRecorder::Progress, nullptr, &r,
                                   10000);
                    if (!r.Wait(1, 10000)) return;
                    std::lock_guard<std::mutex> guard(r.fMutex);
                    const size_t n = r.fEvents.size();
                    if (r.fSuccesses != 1 || n < 2 || r.fEvents[n - 1] != "success" ||
                        r.fEvents[n - 2] != "progress" ||
                        r.fReports.back().fState != QPX_PROGRESS_COMPLETE)
                        wrong++;
                    reports += r.fProgressCalls;
                    done++;
                }
            });
        for (std::thread& thread : threads)
            thread.join();
        // A request stuck behind its own progress job holds up the dispatcher's end.
        if (done != row.fThreads * row.fRequests) {
            ADD_FAILURE() << done << " of " << row.fThreads * row.fRequests << " completed";
            fflush(stdout);
            std::_Exit(1);
        }
        EXPECT_EQ(wrong, 0);
        EXPECT_LE(started, int(row.fMost) + row.fThreads);
        // 350 ms of work: reports at about 100, 200 and 300 ms, then the final one.
        if (row.fCommand == 93) {
            EXPECT_GE(reports, 3);
        }
        EXPECT_TRUE(client.WaitForJobs());
    }
}

// A server that goes away ends the connection: the transport failure empties the
// connection, database and user state.
TEST_F(EndToEndTest, LostServerEndsTheConnection) {
    Script open;
    open.fReply.Set("INFO", CLU_Table().Set("uuid", std::string("U")));
    SetScript(QPX_CMD_OPEN_DATABASE, open);
    CLU_Table out;
    ASSERT_EQ(fClient->OpenDatabase("d", "n", &out), CL_OK);
    fServer.fServer.Stop();
    QPX_Status status = fClient->Execute(1, nullptr, &out, nullptr, 2000);
    EXPECT_TRUE(status == CL_NOT_CONNECTED || status == CL_CONNECTION_LOST ||
                status == CL_SOCKET_READ_ERROR || status == CL_SOCKET_WRITE_ERROR)
        << status;
    CLU_Table info;
    fClient->GetConnectionInfo(&info);
    EXPECT_TRUE(info.Empty());
    EXPECT_TRUE(fClient->GetDatabase().Empty());
}

// A reconnect while requests wait on the old connection, one blocking and one not:
// they end (their replies cannot come on the new one), and their end leaves the new
// connection alone.
TEST_F(EndToEndTest, ReconnectWithRequestsInFlightKeepsTheNewConnection) {
    Script slow;
    slow.fSleepMs = 5000;
    SetScript(96, slow);
    QPX_Status blocked = CL_OK;
    std::thread caller([&] { blocked = fClient->Execute(96, nullptr, nullptr, nullptr, 20000); });
    ASSERT_TRUE(WaitFor([] { return LastSeen().fCommand == 96; }));
    // Sent once it reports the server's work; the server holds it behind the first.
    CallbackRecorder pending;
    fClient->Execute(97, nullptr, CallbackRecorder::Success, CallbackRecorder::Error,
                     CallbackRecorder::Progress, nullptr, &pending, 20000);
    ASSERT_TRUE(WaitFor([&] { return !pending.ReportsOf(QPX_PROGRESS_EXECUTE).empty(); }));
    QPX_ServerSpec spec = Loopback(fServer.fPort);
    CLU_Table info;
    ASSERT_EQ(fClient->Connect(&spec, &info, CLU_Table(), 5000), CL_OK);
    ASSERT_TRUE(pending.Wait(1, 10000));
    caller.join();
    EXPECT_EQ(pending.fErrors.load(), 1);
    EXPECT_NE(blocked, CL_OK);
    EXPECT_NE(fClient->GetID(), 0u);
    fClient->GetConnectionInfo(&info);
    EXPECT_FALSE(info.Empty());
    EXPECT_EQ(fClient->Execute(92, nullptr, nullptr, nullptr, 5000), CL_OK);
}

// A peer whose first reply comes late: a Connect's cancel check is asked while the new
// socket is open.
constexpr const char* kLateFirstReply =
    "recv SERVER_INFO; sleep 300; reply SERVER_INFO -; recv AUTH; reply AUTH table;"
    "wait-close 5000";

// A call made from inside a blocking Connect's own cancel check (a signal handler's,
// say) is refused, and the Connect goes on: the connection opens.
TEST_F(EndToEndTest, CallsFromInsideTheConnectsCancelCheckLeaveItAlone) {
    scripted::Peer peer;
    peer.Start(kLateFirstReply);
    struct Inside {
        QPX_Client* fClient;
        QPX_ServerSpec fSpec;
        std::vector<QPX_Status> fStatuses;
    } inside{fClient, Loopback(peer.Port()), {}};
    CLU_Table info;
    {
        QPX_CancelScope scope(
            [](void* data) {
                Inside* self = static_cast<Inside*>(data);
                CLU_Table out;
                self->fStatuses.push_back(self->fClient->Execute(1, nullptr, &out, nullptr, 1000));
                self->fStatuses.push_back(
                    self->fClient->Connect(&self->fSpec, &out, CLU_Table(), 1000));
                return QPX_Status(CL_OK);
            },
            &inside);
        ASSERT_EQ(fClient->Connect(&inside.fSpec, &info, CLU_Table(), 5000), CL_OK);
    }
    EXPECT_FALSE(inside.fStatuses.empty());
    for (QPX_Status status : inside.fStatuses)
        EXPECT_EQ(status, CL_NOT_CONNECTED);
    EXPECT_NE(fClient->GetID(), 0u);
    fClient->GetConnectionInfo(&info);
    EXPECT_EQ(info.GetString("server"), "scripted");
    fClient->Disconnect();
    EXPECT_EQ(peer.Join(), "");
}

// A Disconnect from inside a blocking Connect's own cancel check ends that Connect as
// one from another thread does, at whichever of its steps it comes: before the socket
// is made, while the TCP connect or the first reply is awaited.
TEST_F(EndToEndTest, ADisconnectFromTheConnectsCancelCheckEndsItAsNotConnected) {
    for (int at : {1, 2, 3}) {
        SCOPED_TRACE(at);
        scripted::Peer peer;
        peer.Start(kLateFirstReply);
        struct Inside {
            QPX_Client* fClient;
            int fAt;
            int fChecks;
        } inside{fClient, at, 0};
        QPX_ServerSpec spec = Loopback(peer.Port());
        CLU_Table info;
        QPX_Status status;
        {
            QPX_CancelScope scope(
                [](void* data) {
                    Inside* self = static_cast<Inside*>(data);
                    if (++self->fChecks == self->fAt) self->fClient->Disconnect();
                    return QPX_Status(CL_OK);
                },
                &inside);
            status = fClient->Connect(&spec, &info, CLU_Table(), 5000);
        }
        EXPECT_EQ(status, CL_NOT_CONNECTED);
        EXPECT_EQ(inside.fChecks, at);
        EXPECT_EQ(fClient->GetID(), 0u);
        fClient->GetConnectionInfo(&info);
        EXPECT_TRUE(info.Empty());
        peer.Stop();
    }
}

// Connects `client` to 127.0.0.1:`port` in the blocking or the asynchronous form: the
// status, and the connection information in *info.
QPX_Status ConnectTo(QPX_Client* client, uint16 port, bool async, CLU_Table* info) {
    QPX_ServerSpec spec = Loopback(port);
    if (!async) return client->Connect(&spec, info, CLU_Table(), 5000);
    CallbackRecorder record;
    client->Connect(&spec, CLU_Table(), CallbackRecorder::Success, CallbackRecorder::Error, nullptr,
                    &record, 5000);
    if (!record.Wait(1, 20000)) return CL_TIMEOUT;
    *info = record.fTable;
    return record.fSuccesses ? CL_OK : record.fCode.load();
}

// Reconnects made by the test below; the sanitizers' builds run several times slower.
constexpr int kReconnects = ZELMO_SANITIZER_HEAP ? 1000 : 2000;

// One thread connects again and again, each Connect followed by one request, while four
// others keep requests in flight, blocking and asynchronous: the requests that a
// Connect ends, written on the connection it replaces, leave its new one alone, in
// both forms of the Connect.
TEST_F(EndToEndTest, ReconnectsWhileOthersKeepRequestsInFlight) {
    Script brief;
    brief.fSleepMs = 1;
    SetScript(98, brief);
    for (bool async : {false, true}) {
        SCOPED_TRACE(async ? "asynchronous Connect" : "blocking Connect");
        std::atomic<bool> stop{false};
        std::atomic<int> answered{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; t++)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 1000000 && !stop; i++) {
                    CallbackRecorder record;
                    QPX_Status status = CL_TIMEOUT;
                    if ((i + t) % 2) {
                        status = fClient->Execute(98, nullptr, nullptr, nullptr, 5000);
                    } else {
                        fClient->Execute(98, nullptr, CallbackRecorder::Success,
                                         CallbackRecorder::Error, nullptr, nullptr, &record, 5000);
                        if (record.Wait(1, 20000)) status = record.fCode.load();
                    }
                    if (status == CL_OK) answered++;
                }
            });
        // Bounded in time too: a slow machine makes fewer.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        int made = 0, failed = 0;
        std::string first;
        for (; made < kReconnects && std::chrono::steady_clock::now() < deadline; made++) {
            CLU_Table info;
            QPX_Status status = ConnectTo(fClient, fServer.fPort, async, &info);
            const char* step = "Connect";
            if (status == CL_OK) {
                step = "request";
                status = fClient->Execute(92, nullptr, nullptr, nullptr, 5000);
            }
            if (status == CL_OK && fClient->GetID() != 0) continue;
            if (failed++ == 0)
                first = std::string(step) + " " + std::to_string(made) + ": " +
                        std::to_string(status) + ", id " + std::to_string(fClient->GetID());
        }
        stop = true;
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(failed, 0) << "of " << made << ", the first: " << first;
        EXPECT_GT(made, kReconnects / 10);
        EXPECT_GT(answered.load(), 0);
    }
}

// The RPC client of a client library whose blocking Connect hands a failure back late:
// the library acts on it once another thread's Connect, begun meanwhile, has opened
// its connection.
class LateFailureRPC : public CL_Client {
public:
    explicit LateFailureRPC(CL_Dispatcher* dispatcher) : CL_Client(5000, 0), fRPC(dispatcher) {}

    CL_Status Connect(const CLU_Table& settings, CL_Blob& output, uint32 timeout) override {
        CL_Status status = fRPC.Connect(settings, output, timeout);
        if (status != CL_OK) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return status;
    }
    void Connect(const CLU_Table& settings, CL_SuccessCB success, CL_ErrorCB error,
                 CL_ProgressCB progress, void* userData, uint32 timeout) override {
        fRPC.Connect(settings, success, error, progress, userData, timeout);
    }
    void Disconnect() override { fRPC.Disconnect(); }
    void WaitForJobs() override { fRPC.WaitForJobs(); }
    uint32 GetID() override { return fRPC.GetID(); }
    uint32 GetConnectionNumber() override { return fRPC.GetConnectionNumber(); }
    CL_Status Execute(uint32 command, CL_Blob& input, CL_Blob& output, CL_IdleCB idle,
                      uint32 timeout) override {
        return fRPC.Execute(command, input, output, idle, timeout);
    }
    void Execute(uint32 command, CL_Blob& input, CL_SuccessCB success, CL_ErrorCB error,
                 CL_ProgressCB progress, CL_IdleCB idle, void* userData, uint32 timeout) override {
        fRPC.Execute(command, input, success, error, progress, idle, userData, timeout);
    }

private:
    CL_TCPClient fRPC;
};

// Two threads connect one client, the first to a peer that accepts and never answers,
// the second, in either form, to the server while the first still waits: the first
// fails, and the connection the second opened meanwhile stays.
TEST_F(EndToEndTest, AFailedConnectLeavesTheNewerConnectionOfAnotherThread) {
    for (bool async : {false, true}) {
        SCOPED_TRACE(async ? "asynchronous Connect" : "blocking Connect");
        scripted::Peer silent;
        silent.Start("recv SERVER_INFO; hang 5000");
        QPX_Client client(new LateFailureRPC(fDispatcher));
        QPX_Status first = CL_OK;
        std::thread waiting([&] {
            QPX_ServerSpec spec = Loopback(silent.Port());
            CLU_Table info;
            first = client.Connect(&spec, &info, CLU_Table(), 1000);
        });
        ASSERT_TRUE(WaitFor([&] { return silent.StepsDone() >= 1; }));
        CLU_Table info;
        EXPECT_EQ(ConnectTo(&client, fServer.fPort, async, &info), CL_OK);
        waiting.join();
        EXPECT_EQ(first, CL_TIMEOUT);
        EXPECT_NE(client.GetID(), 0u);
        client.GetConnectionInfo(&info);
        EXPECT_FALSE(info.Empty());
        EXPECT_EQ(client.Execute(92, nullptr, nullptr, nullptr, 5000), CL_OK);
        silent.Stop();
        fDispatcher->WaitForJobs(CL_WAIT_FOREVER);
    }
}

// A request as deep as the flattened format carries goes whole through the stand-in's
// echo. One level deeper cannot be flattened: both forms of Execute (the named operations
// too) and of Connect (its options) refuse it before anything is sent, with a status that
// keeps the connection. The asynchronous forms report it as every other failure: after
// the call returned, on another thread, where the lock that the caller held around the
// call is free; on a dispatcher given to the client, on the RPC client's own, or on a
// thread of its own for a caller's RPC client. WaitForJobs waits for it, and called from
// its callback returns; called from a success callback too, while the refusal's callback
// is yet to wait, it returns once that wait has begun, and neither waits for the other.
TEST_F(EndToEndTest, RequestsNestedPastTheFormatsDepthAreRefusedBeforeSending) {
    CLU_Table whole = NestedTables(CLU_MAX_FLATTEN_DEPTH);
    CLU_Table echoed;
    ASSERT_EQ(fClient->Execute(rpc_test::kEcho, &whole, &echoed, nullptr, 5000), CL_OK);
    echoed.Unset("CHECKSUM");
    EXPECT_TRUE(echoed == whole);

    const size_t seen = SeenCount();
    const uint32 id = fClient->GetID();
    CLU_Table deep = NestedTables(CLU_MAX_FLATTEN_DEPTH + 1);
    CLU_List deepNames;
    deepNames.Append(deep);
    CLU_Table out;
    out.Set("stale", true);
    EXPECT_EQ(fClient->Execute(rpc_test::kEcho, &deep, &out, nullptr, 5000), CL_ERROR);
    EXPECT_FALSE(out.Exists("stale"));
    QPX_ServerSpec spec = Loopback(fServer.fPort);
    CLU_Table info;
    EXPECT_EQ(fClient->Connect(&spec, &info, deep, 5000), CL_ERROR);

    QPX_Client ownDispatcher(nullptr), callersRPC(new LateFailureRPC(fDispatcher));
    QPX_Client* clients[] = {fClient, &ownDispatcher, &callersRPC};
    for (QPX_Client* client : {&ownDispatcher, &callersRPC})
        ASSERT_EQ(client->Connect(&spec, &info, CLU_Table(), 5000), CL_OK);
    for (int c = 0; c < 3; c++) {
        for (int call = 0; call < 3; call++) {
            SCOPED_TRACE(testing::Message() << "client " << c << ", call " << call);
            using R = CallbackRecorder;
            QPX_Client* client = clients[c];
            std::mutex held;
            std::atomic<bool> returned{false}, successWaits{false}, refusalWaits{false};
            bool afterReturn = false, lockFree = false, afterRefusalWaits = false;
            std::thread::id thread;
            R r, success;
            // As a callback that takes the caller's lock, but never blocking on it (on the
            // caller's thread that would deadlock): once it is free, the call returned.
            r.fOnCompletion = [&] {
                thread = std::this_thread::get_id();
                lockFree = WaitFor([&] { return held.try_lock() && (held.unlock(), true); }, 2000);
                afterReturn = returned;
                WaitFor([&] { return successWaits.load(); }, 10000);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                refusalWaits = true;
                client->WaitForJobs();
            };
            success.fOnCompletion = [&] {
                WaitFor([&] { return returned.load(); }, 10000);
                successWaits = true;
                client->WaitForJobs();
                afterRefusalWaits = refusalWaits;
            };
            client->Execute(92, nullptr, R::Success, R::Error, nullptr, nullptr, &success, 5000);
            {
                std::lock_guard<std::mutex> hold(held);
                if (call == 0)
                    client->Execute(rpc_test::kEcho, &deep, R::Success, R::Error, nullptr,
                                    nullptr, &r, 5000);
                else if (call == 1)
                    client->Connect(&spec, deep, R::Success, R::Error, nullptr, &r, 5000);
                else
                    client->DeleteBackup(0, "pw", deepNames, R::Success, R::Error, nullptr, &r,
                                         5000);
                returned = true;
            }
            // Callbacks stuck waiting for each other hold up every later wait: stop here.
            if (!r.Wait(1) || !success.Wait(1)) {
                ADD_FAILURE() << "the callbacks' waits did not return";
                fflush(stdout);
                std::_Exit(1);
            }
            client->WaitForJobs();
            EXPECT_EQ(success.fSuccesses.load(), 1);
            EXPECT_TRUE(afterRefusalWaits);
            EXPECT_EQ(r.fErrors.load(), 1);
            EXPECT_EQ(r.fCode.load(), CL_ERROR);
            EXPECT_EQ(r.fMessage, "Errore generico");
            EXPECT_NE(thread, std::this_thread::get_id());
            EXPECT_TRUE(afterReturn);
            EXPECT_TRUE(lockFree);
        }
    }

    EXPECT_EQ(SeenCount(), seen + 3 * 3);  // the success callbacks' requests
    EXPECT_EQ(fClient->GetID(), id);
    fClient->GetConnectionInfo(&info);
    EXPECT_FALSE(info.Empty());
    EXPECT_EQ(fClient->Execute(92, nullptr, nullptr, nullptr, 5000), CL_OK);
}

// Every dispatcher has one controller thread, by this name as the system keeps it.
constexpr const char* kControllerThread = "dispatc.troller";

// A client deleted from the callback of a success, an ordinary failure or a refusal, or
// from a progress (97) or idle (98) callback of a request still on the server, or from a
// progress callback of another client's request (99), while requests are pending, on the
// server and refused in that callback: they report once, the deletion waits for them
// unless made from a progress or idle callback of its own request, and nothing touches
// the client afterwards, nor the dispatcher its RPC client made for itself (without the
// caller's), as the sanitizers check; that dispatcher's threads end. With 93, deleted
// from a success callback as with 94, the pending requests' callbacks wait for the
// client's jobs: those waits end, false, and the deletion waits for the callbacks.
class DeletedInACallbackTest : public EndToEndTest,
                               public testing::WithParamInterface<std::tuple<uint32, uint32>> {};

TEST_P(DeletedInACallbackTest, WithOtherRequestsPending) {
    // 0 workers: the RPC client's own dispatcher; 2: a caller's of 2, where the waits for
    // the other requests must lend their workers; else the fixture's.
    auto [workers, command] = GetParam();
    const int controllers = CountThreads(kControllerThread) + (workers == 2 ? 1 : 0);
    std::unique_ptr<CL_Dispatcher> two(workers == 2 ? new CL_Dispatcher(1, 2) : nullptr);
    CL_Dispatcher* callers = two ? two.get() : fDispatcher;
    Script slow;
    slow.fSleepMs = 5000;
    for (uint32 slowCommand : {96u, 97u, 98u, 99u})
        SetScript(slowCommand, slow);
    SetScript(95, {CLU_Table(), CL_ERROR});
    CLU_Table deep = NestedTables(CLU_MAX_FLATTEN_DEPTH + 1);
    QPX_Client* client = new QPX_Client(workers ? callers : nullptr);
    QPX_ServerSpec spec = Loopback(fServer.fPort);
    CLU_Table info;
    ASSERT_EQ(client->Connect(&spec, &info, CLU_Table(), 5000), CL_OK);
    CallbackRecorder pending, first;
    std::atomic<int> waitsDone{0}, waitsGivenUp{0};
    if (command == 93)
        pending.fOnCompletion = [&, deleted = client] {
            (deleted->WaitForJobs() ? waitsDone : waitsGivenUp)++;
        };
    // The first request's callback deletes the client once the slow one has been
    // made; the server has the first before the slow one, as the slow one is made only
    // once the server has seen the first.
    std::atomic<bool> made{false};
    int reportedAtDelete = -1;
    auto drop = [&] {
        if (!client) return;  // progress and idle calls go on until the request ends
        WaitFor([&] { return made.load(); }, 10000);
        client->Execute(rpc_test::kEcho, &deep, CallbackRecorder::Success, CallbackRecorder::Error,
                        nullptr, nullptr, &pending, 5000);
        delete client;
        client = nullptr;
        reportedAtDelete = pending.Completions();
    };
    // The other client's request is cancelled once its callback has deleted this one.
    if (command == 97 || command == 99)
        first.fCancelIf = [&] { return drop(), command == 99; };
    else if (command == 98)
        first.fOnIdle = drop;
    else
        first.fOnCompletion = drop;
    (command == 99 ? fClient : client)
        ->Execute(command, command == rpc_test::kEcho ? &deep : nullptr, CallbackRecorder::Success,
                  CallbackRecorder::Error, CallbackRecorder::Progress,
                  command == 98 ? CallbackRecorder::Idle : nullptr, &first, 20000);
    ASSERT_TRUE(command == rpc_test::kEcho ||
                WaitFor([&] { return LastSeen().fCommand == command; }));
    client->Execute(96, nullptr, CallbackRecorder::Success, CallbackRecorder::Error,
                    CallbackRecorder::Progress, nullptr, &pending, 20000);
    made = true;
    ASSERT_TRUE(first.Wait(1, 10000));
    ASSERT_TRUE(pending.Wait(2, 10000));
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(first.fSuccesses.load(), command == 94 || command == 93 ? 1 : 0);
    EXPECT_EQ(waitsDone, 0);
    EXPECT_EQ(waitsGivenUp, command == 93 ? 2 : 0);
    EXPECT_EQ(first.Completions(), 1);
    EXPECT_EQ(pending.fErrors.load(), 2);
    if (command != 97 && command != 98) {
        EXPECT_EQ(reportedAtDelete, 2);
    }
    callers->WaitForJobs(CL_WAIT_FOREVER);
    fDispatcher->WaitForJobs(CL_WAIT_FOREVER);
    EXPECT_EQ(WaitThreads(kControllerThread, controllers), controllers);
    EXPECT_EQ(pending.Completions(), 2);
}

INSTANTIATE_TEST_SUITE_P(Rows, DeletedInACallbackTest,
                         testing::Combine(testing::Values(0u, 2u, 32u),
                                          testing::Values(94u, 95u, uint32(rpc_test::kEcho), 97u,
                                                          98u, 99u, 93u)));

// The RPC client runs the requests on a dispatcher of its own here, which its
// destructor joins after the requests have reported.
TEST_F(EndToEndTest, ClientDestroyedWithRequestsInFlight) {
    Script slow;
    slow.fSleepMs = 300;
    SetScript(95, slow);
    QPX_Client* client = new QPX_Client(nullptr);
    QPX_ServerSpec spec = Loopback(fServer.fPort);
    CLU_Table info;
    ASSERT_EQ(client->Connect(&spec, &info, CLU_Table(), 5000), CL_OK);
    constexpr int kRequests = 6;
    CallbackRecorder c;
    for (int i = 0; i < kRequests; ++i)
        client->OpenDatabase("d", "n", CallbackRecorder::Success, CallbackRecorder::Error,
                             CallbackRecorder::Progress, &c, 10000);
    client->Execute(95, nullptr, CallbackRecorder::Success, CallbackRecorder::Error,
                    CallbackRecorder::Progress, nullptr, &c, 10000);
    delete client;
    // Every request has reported by the time the client is gone, exactly once.
    EXPECT_EQ(c.Completions(), kRequests + 1);
}

}  // namespace
