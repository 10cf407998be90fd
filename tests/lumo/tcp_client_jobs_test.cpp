// Asynchronous jobs of the TCP RPC client against the scripted peer: progress from
// PINGs, cancelling from the progress callback, several requests sharing one
// connection with interleaved chunked replies, Interrupt, and destruction while jobs
// still run.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "lumo/init.h"
#include "lumo/ipc_tcp.h"
#include "lumo/net/tcp_client_execute_job.h"
#include "lumo/table.h"
#include "support/callback_recorder.h"
#include "support/client_settings.h"
#include "support/loopback.h"
#include "support/scripted_peer.h"
#include "support/wait_for.h"

namespace {

using Journal = CallbackRecorder;

struct Connected {
    scripted::Peer peer;
    CL_TCPClient client;
    explicit Connected(const std::string& script, uint32 flags = 0, uint32 timeout = 3000) {
        peer.Start("handshake " + std::to_string(flags) + ";" + script);
        CL_Blob output;
        EXPECT_EQ(client.Connect(ClientSettings(peer.Port(), flags, timeout), output, 0), 0);
    }
    // Waits (bounded) until the peer has read `count` packets.
    void AwaitReceived(size_t count) {
        WaitFor([&] { return peer.GetReceived().size() >= count; }, 20000);
        ASSERT_GE(peer.GetReceived().size(), count);
    }
};

TEST(TCPClientJobs, PingsReportProgressAndMessagesThenOneFinalReportBeforeTheResult) {
    Connected c("recv DATA; ping 25 first step; sleep 250; ping unknown; sleep 250;"
                "ping 50 second step; sleep 250; reply DATA zeros:30000; wait-close 5000",
                CL_IPC_COMPRESS | CL_IPC_AES_CRYPTING);
    Journal j;
    CL_Blob input = Bytes("work");
    c.client.Execute(9, input, Journal::Success, Journal::Error, Journal::Progress, nullptr, &j, 0);
    c.client.WaitForJobs();
    c.client.Disconnect();
    ASSERT_EQ(c.peer.Join(), "");

    ASSERT_EQ(j.fSuccesses, 1);
    EXPECT_EQ(j.fErrors, 0);
    EXPECT_EQ(j.fOutput, std::string(30000, '\0'));
    ASSERT_GE(j.fEvents.size(), 2u);
    EXPECT_EQ(j.fEvents.back(), "success");
    const Journal::Report& last = j.fReports.back();
    EXPECT_EQ(last.fState, CL_PROGRESS_COMPLETE);
    EXPECT_EQ(last.fCompleteness, 100.0);
    EXPECT_EQ(last.fMessage, "");

    bool sawFirst = false, sawUnknownKeepingMessage = false, sawSecond = false;
    for (const Journal::Report& r : j.fReports) {
        if (r.fState != CL_PROGRESS_EXECUTE) continue;
        if (r.fMessage == "first step" && r.fCompleteness > 24.99 && r.fCompleteness < 25.01)
            sawFirst = true;
        // A PING without a message keeps the last one.
        if (r.fMessage == "first step" && r.fCompleteness == CL_PROGRESS_INDEFINITE)
            sawUnknownKeepingMessage = true;
        if (r.fMessage == "second step") sawSecond = true;
    }
    EXPECT_TRUE(sawFirst);
    EXPECT_TRUE(sawUnknownKeepingMessage);
    EXPECT_TRUE(sawSecond);
}

TEST(TCPClientJobs, ProgressCallbackCancelsWithAnAbortAtTheNextPing) {
    // PINGs keep coming until the ABORT does: the client sends it with the next one.
    // Enough workers that the request is out before the first progress report
    // cancels it (one cancelled earlier never goes out).
    CL_Init();
    CL_Dispatcher dispatcher(4, 8);
    Connected c("recv DATA; ping 10 a; ping-until ABORT 20 b; reply ABORT -;"
                "sleep 300; ping 30 c; wait-close 5000");
    c.client.SetDispatcher(&dispatcher);
    Journal j;
    j.fCancelFrom = 0;
    CL_Blob input = Bytes("long job");
    c.client.Execute(9, input, Journal::Success, Journal::Error, Journal::Progress, nullptr, &j, 0);
    c.client.WaitForJobs();
    c.client.Disconnect();
    ASSERT_EQ(c.peer.Join(), "");
    EXPECT_EQ(j.fSuccesses, 0);
    ASSERT_EQ(j.fErrors, 1);
    EXPECT_EQ(j.fCode, CL_IPC_EXECUTE_ABORTED);
    EXPECT_EQ(j.fOutput, "");
    // Not called again once it asked to cancel, not even for the final report.
    EXPECT_EQ(j.fCallsAfterCancel, 0);
    EXPECT_EQ(j.fProgressCalls, 1);
    std::vector<scripted::Received> got = c.peer.GetReceived();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[3].fHeader.fType, CL_PACKET_TYPE_ABORT);
    EXPECT_EQ(got[3].fHeader.fSequence, got[2].fHeader.fSequence);
    EXPECT_EQ(got[3].fHeader.fFlags, CL_IPC_FIRST_CHUNK);
}

// Four threads on one connection; the replies (three chunks each) and PINGs come
// interleaved, and after the last chunk the peer falls silent: a reader that missed
// a reply another thread had queued would wait out its time-out.
TEST(TCPClientJobs, InterleavedChunkedRepliesOfSeveralThreadsAllComplete) {
    std::string script = "recv DATA; recv DATA; recv DATA; recv DATA;";
    for (int i = 2; i < 6; i++) script += "use " + std::to_string(i) + "; hold DATA echo;";
    script += "send 5 1; send 3 1; use 4; ping 40 x; send 2 1; send 4 1; send 2 1; send 5 1;"
              "use 3; ping 60 y; send 3 1; send 4 1; send 4 1; send 2 1; send 3 1; send 5 1;"
              "wait-close 10000";
    Connected c(script, CL_IPC_BLOWFISH_CRYPTING, 3000);
    std::vector<std::string> inputs;
    std::vector<CL_Status> results(4, -100);
    std::vector<std::string> outputs(4);
    for (int t = 0; t < 4; t++) {
        std::string text = scripted::PatternBytes(17000 + t * 7);
        text[0] = char('A' + t);
        inputs.push_back(text);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            CL_Blob input = Bytes(inputs[t]), output;
            results[t] = c.client.Execute(uint32(t), input, output, nullptr, 0);
            outputs[t] = output.Raw();
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < 4; t++) {
        EXPECT_EQ(results[t], 0) << "thread " << t;
        EXPECT_EQ(outputs[t], inputs[t]) << "thread " << t;
    }
    EXPECT_EQ(c.client.GetQueuedPacketCount(), 0u);
    c.client.Disconnect();
    ASSERT_EQ(c.peer.Join(), "");
}

// The server answers ABORT_ALL only for what it runs; the requests it had queued get
// nothing, and still every waiting request ends with 205, once.
TEST(TCPClientJobs, InterruptEndsEveryWaitingRequest) {
    Connected c("recv DATA; recv DATA; recv DATA; recv ABORT_ALL; use 2; reply ABORT -;"
                "wait-close 10000",
                0, 8000);
    Journal journals[3];
    for (auto& j : journals) {
        CL_Blob input = Bytes("queued");
        c.client.Execute(1, input, Journal::Success, Journal::Error, nullptr, nullptr, &j, 0);
    }
    ASSERT_NO_FATAL_FAILURE(c.AwaitReceived(5));
    EXPECT_EQ(c.client.Interrupt(), 0);
    c.client.WaitForJobs();
    for (auto& j : journals) {
        EXPECT_EQ(j.fSuccesses, 0);
        EXPECT_EQ(j.fErrors, 1);
        EXPECT_EQ(j.fCode, CL_IPC_EXECUTE_ABORTED);
    }
    // The requests end without waiting for the server: it may read ABORT_ALL later.
    ASSERT_NO_FATAL_FAILURE(c.AwaitReceived(6));
    std::vector<scripted::Received> got = c.peer.GetReceived();
    EXPECT_EQ(got[5].fHeader.fType, CL_PACKET_TYPE_ABORT_ALL);
    EXPECT_EQ(got[5].fHeader.fSequence, 0u);
    c.client.Disconnect();
    ASSERT_EQ(c.peer.Join(), "");
}

TEST(TCPClientJobs, SequenceNumbersGoOnAcrossConnections) {
    scripted::Peer peer;
    peer.Start("handshake; recv DATA; reply DATA echo; close; accept; handshake; recv DATA;"
               "reply DATA echo; wait-close 5000");
    CL_TCPClient client;
    CL_Blob output, input = Bytes("n"), result;
    ASSERT_EQ(client.Connect(ClientSettings(peer.Port(), 0, 3000), output, 0), 0);
    ASSERT_EQ(client.Execute(1, input, result, nullptr, 0), 0);
    ASSERT_EQ(client.Connect(ClientSettings(peer.Port(), 0, 3000), output, 0), 0);
    ASSERT_EQ(client.Execute(1, input, result, nullptr, 0), 0);
    client.Disconnect();
    ASSERT_EQ(peer.Join(), "");
    std::vector<scripted::Received> got = peer.GetReceived();
    ASSERT_EQ(got.size(), 6u);
    for (uint32 i = 0; i < 6; i++) EXPECT_EQ(got[i].fHeader.fSequence, i + 1);
}

// Jobs still running on the client's own dispatcher finish before the cipher and the
// queue go (a use after free under the sanitizers otherwise).
TEST(TCPClientJobs, DestroyingTheClientWhileJobsRun) {
    scripted::Peer peer;
    peer.Start("handshake 1; recv DATA; recv DATA; ping 10 busy; wait-close 10000");
    Journal journals[2];
    {
        CL_TCPClient client;
        CL_Blob output;
        ASSERT_EQ(client.Connect(ClientSettings(peer.Port(), 1, 5000), output, 0), 0);
        for (auto& j : journals) {
            CL_Blob input = Bytes(scripted::PatternBytes(3000));
            client.Execute(1, input, Journal::Success, Journal::Error, Journal::Progress, nullptr,
                           &j, 0);
        }
        WaitFor([&] { return peer.GetReceived().size() >= 4; });
    }
    for (auto& j : journals) {
        EXPECT_EQ(j.fSuccesses, 0);
        EXPECT_EQ(j.fErrors, 1);
    }
    ASSERT_EQ(peer.Join(), "");
}

// Two dispatchers being destroyed, each waiting for a job that holds a worker. The first
// drops the request job queued behind its running progress job (whose loan another
// held job took): that progress job ends without its final report, and the destruction
// with it. The second refuses the progress job of a request job made then, which ends
// when deleted.
TEST(TCPClientJobs, ADispatcherBeingDestroyedEndsTheWaitsOfTheJobsItDrops) {
    CL_Init();
    CL_Semaphore gate(0);
    GateJob held[3] = {GateJob(&gate), GateJob(&gate), GateJob(&gate)};
    CL_Dispatcher* pools[2] = {new CL_Dispatcher(1, 2), new CL_Dispatcher(1, 1)};
    CL_TCPClient client(pools[0]), late(pools[1]);
    auto hold = [&](CL_Dispatcher* pool, GateJob& job) {
        pool->AddJob(&job, false);
        return WaitFor([&] { return job.fStarted.load(); });
    };
    Journal j;
    CL_Blob input = Bytes("dropped");
    auto request = [&](CL_TCPClient* on) {
        return new CL_TCPClient::ExecuteJob(on, 1, input, Journal::Success, Journal::Error,
                                            Journal::Progress, nullptr, &j, 0);
    };
    ASSERT_TRUE(hold(pools[0], held[0]));
    CL_TCPClient::ExecuteJob* dropped = request(&client);
    ASSERT_TRUE(hold(pools[0], held[1]));
    pools[0]->AddJob(dropped, false);
    ASSERT_TRUE(hold(pools[1], held[2]));
    CL_Job probe;
    pools[1]->AddJob(&probe, false);
    std::vector<std::thread> destroyers;
    for (CL_Dispatcher* pool : pools)
        destroyers.emplace_back([pool] { delete pool; });
    ASSERT_TRUE(WaitFor([&] { return dropped->Dropped() && probe.Dropped(); }));
    delete request(&late);
    gate.Release(3);
    for (std::thread& destroyer : destroyers)
        destroyer.join();
    EXPECT_EQ(j.Completions(), 0);
    EXPECT_TRUE(j.ReportsOf(CL_PROGRESS_COMPLETE).empty());
    delete dropped;
}

TEST(TCPClientJobs, SharedDispatcherAndProgressWithoutCallbackJobs) {
    CL_Init();
    CL_Dispatcher dispatcher(2, 8);
    scripted::Peer peer;
    peer.Start("handshake; recv DATA; reply DATA echo; wait-close 5000");
    {
        CL_TCPClient client(&dispatcher);
        CL_Blob output;
        ASSERT_EQ(client.Connect(ClientSettings(peer.Port(), 0, 3000), output, 0), 0);
        Journal j;
        CL_Blob input = Bytes("shared");
        client.Execute(1, input, Journal::Success, Journal::Error, nullptr, nullptr, &j, 0);
        client.WaitForJobs();
        EXPECT_EQ(j.fSuccesses, 1);
        EXPECT_EQ(j.fOutput, "shared");
        EXPECT_TRUE(j.fReports.empty());
        client.Disconnect();
    }
    ASSERT_EQ(peer.Join(), "");
}

// A client may be deleted from its operation's last callback, or by another thread as
// soon as that callback has run, when its jobs run on a dispatcher it does not own: the
// job and its progress job then finish without reading the client (ASan reports it
// otherwise). Rounds repeat each case, as the window is narrow.
struct LastCallbackCase {
    const char* name;
    bool connect;      // Connect, else Execute on a connected client
    bool fails;        // refused port / request on a disconnected client
    bool inCallback;   // deleted inside the callback, else right after it by the test
};

class TCPClientLastCallback : public ::testing::TestWithParam<LastCallbackCase> {};


TEST_P(TCPClientLastCallback, ClientDeletedAtTheEndOfItsOperation) {
    const LastCallbackCase& param = GetParam();
    CL_Init();
    CL_Dispatcher dispatcher(2, 8);
    scripted::Peer peer;
    peer.Start("loop");
    RefusingPort refusing;
    ASSERT_NE(refusing.Port(), 0);

    for (int round = 0; round < 10; round++) {
        CallbackRecorder owner;
        CL_TCPClient* client = new CL_TCPClient(&dispatcher);
        std::atomic<CL_TCPClient*> owned{client};
        if (param.inCallback) owner.fOnCompletion = [&] { delete owned.exchange(nullptr); };
        if (param.connect) {
            client->Connect(ClientSettings(param.fails ? refusing.Port() : peer.Port(), 0, 3000),
                            CallbackRecorder::Success, CallbackRecorder::Error,
                            CallbackRecorder::Progress, &owner, 0);
        } else {
            CL_Blob output;
            ASSERT_EQ(client->Connect(ClientSettings(peer.Port(), 0, 3000), output, 0), 0);
            if (param.fails) client->Disconnect();
            CL_Blob input = Bytes(scripted::PatternBytes(20000));
            client->Execute(3, input, CallbackRecorder::Success, CallbackRecorder::Error,
                            CallbackRecorder::Progress, nullptr, &owner, 0);
        }
        if (!param.inCallback) {
            WaitFor([&] { return owner.Completions() > 0; }, 3000);
            delete owned.exchange(nullptr);
        }
        ASSERT_TRUE(dispatcher.WaitForJobs(30000));
        EXPECT_EQ(owned.load(), nullptr);
        EXPECT_EQ(owner.Completions(), 1) << "round " << round;
        EXPECT_EQ(owner.fErrors.load(), param.fails ? 1 : 0) << "round " << round;
        // The final COMPLETE report comes before the result: at least one call.
        EXPECT_GE(owner.fProgressCalls.load(), 1);
    }
    peer.Stop();
}

INSTANTIATE_TEST_SUITE_P(
    Operations, TCPClientLastCallback,
    ::testing::Values(LastCallbackCase{"ExecuteInCallback", false, false, true},
                      LastCallbackCase{"ExecuteFailsInCallback", false, true, true},
                      LastCallbackCase{"ConnectInCallback", true, false, true},
                      LastCallbackCase{"ConnectRefusedInCallback", true, true, true},
                      LastCallbackCase{"ExecuteAfterCallback", false, false, false},
                      LastCallbackCase{"ConnectAfterCallback", true, false, false}),
    [](const ::testing::TestParamInfo<LastCallbackCase>& info) { return std::string(info.param.name); });

}  // namespace
