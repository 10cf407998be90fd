// Asynchronous jobs of the TCP RPC client against the scripted peer: progress from
// PINGs, cancelling from the progress callback, several requests sharing one
// connection with interleaved chunked replies, Interrupt, and destruction while jobs
// still run.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lumo/init.h"
#include "lumo/ipc_tcp.h"
#include "lumo/table.h"
#include "tools/scripted_peer.h"

namespace {

CLU_Table Settings(uint16 port, uint32 connFlags, uint32 timeout) {
    CL_Init();
    CLU_Table settings;
    settings.Set("host", std::string("127.0.0.1"));
    settings.Set("port", (long long)port);
    settings.Set("timeout", (long long)timeout);
    settings.Set("conn_flags", (long long)connFlags);
    return settings;
}

CL_Blob Bytes(const std::string& text) { return CL_Blob(text.data(), uint32(text.size()), true); }

// Everything one asynchronous request reported, in order.
struct Journal {
    struct Report {
        CL_ProgressType state;
        double completeness;
        std::string message;
    };
    std::mutex lock;
    std::vector<Report> reports;
    std::vector<std::string> events;  // "progress", "success", "error"
    int successes = 0;
    int errors = 0;
    CL_Status code = 0;
    std::string output;
    int cancelAfter = -1;  // the progress callback answers 1 on this call
    int progressCalls = 0;
    int callsAfterCancel = 0;

    static CL_Status Success(CL_Blob& result, void* data) {
        Journal* j = static_cast<Journal*>(data);
        std::lock_guard<std::mutex> guard(j->lock);
        j->successes++;
        j->output = result.Raw();
        j->events.push_back("success");
        return 0;
    }
    static CL_Status Error(CL_Status code, CL_Blob& partial, void* data) {
        Journal* j = static_cast<Journal*>(data);
        std::lock_guard<std::mutex> guard(j->lock);
        j->errors++;
        j->code = code;
        j->output = partial.Raw();
        j->events.push_back("error");
        return 0;
    }
    static CL_Status Progress(CL_ProgressType state, double completeness,
                              const std::string& message, CL_Blob*, void* data) {
        Journal* j = static_cast<Journal*>(data);
        std::lock_guard<std::mutex> guard(j->lock);
        if (j->cancelAfter >= 0 && j->progressCalls > j->cancelAfter) j->callsAfterCancel++;
        j->reports.push_back({state, completeness, message});
        j->events.push_back("progress");
        return j->progressCalls++ == j->cancelAfter ? 1 : 0;
    }
};

struct Connected {
    scripted::Peer peer;
    CL_TCPClient client;
    explicit Connected(const std::string& script, uint32 flags = 0, uint32 timeout = 3000) {
        peer.Start("handshake " + std::to_string(flags) + ";" + script);
        CL_Blob output;
        EXPECT_EQ(client.Connect(Settings(peer.Port(), flags, timeout), output, 0), 0);
    }
    // Waits (bounded) until the peer has read `count` packets.
    void AwaitReceived(size_t count) {
        for (int i = 0; i < 2000 && peer.GetReceived().size() < count; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
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

    ASSERT_EQ(j.successes, 1);
    EXPECT_EQ(j.errors, 0);
    EXPECT_EQ(j.output, std::string(30000, '\0'));
    ASSERT_GE(j.events.size(), 2u);
    EXPECT_EQ(j.events.back(), "success");
    const Journal::Report& last = j.reports.back();
    EXPECT_EQ(last.state, CL_PROGRESS_COMPLETE);
    EXPECT_EQ(last.completeness, 100.0);
    EXPECT_EQ(last.message, "");

    bool sawFirst = false, sawUnknownKeepingMessage = false, sawSecond = false;
    for (const Journal::Report& r : j.reports) {
        if (r.state != CL_PROGRESS_EXECUTE) continue;
        if (r.message == "first step" && r.completeness > 24.99 && r.completeness < 25.01)
            sawFirst = true;
        // A PING without a message keeps the last one.
        if (r.message == "first step" && r.completeness == CL_PROGRESS_INDEFINITE)
            sawUnknownKeepingMessage = true;
        if (r.message == "second step") sawSecond = true;
    }
    EXPECT_TRUE(sawFirst);
    EXPECT_TRUE(sawUnknownKeepingMessage);
    EXPECT_TRUE(sawSecond);
}

TEST(TCPClientJobs, ProgressCallbackCancelsWithAnAbortAtTheNextPing) {
    // PINGs keep coming until the ABORT does: the client sends it with the next one.
    Connected c("recv DATA; ping 10 a; ping-until ABORT 20 b; reply ABORT -;"
                "sleep 300; ping 30 c; wait-close 5000");
    Journal j;
    j.cancelAfter = 0;
    CL_Blob input = Bytes("long job");
    c.client.Execute(9, input, Journal::Success, Journal::Error, Journal::Progress, nullptr, &j, 0);
    c.client.WaitForJobs();
    c.client.Disconnect();
    ASSERT_EQ(c.peer.Join(), "");
    EXPECT_EQ(j.successes, 0);
    ASSERT_EQ(j.errors, 1);
    EXPECT_EQ(j.code, CL_IPC_EXECUTE_ABORTED);
    EXPECT_EQ(j.output, "");
    // Not called again once it asked to cancel, not even for the final report.
    EXPECT_EQ(j.callsAfterCancel, 0);
    EXPECT_EQ(j.progressCalls, 1);
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
        EXPECT_EQ(j.successes, 0);
        EXPECT_EQ(j.errors, 1);
        EXPECT_EQ(j.code, CL_IPC_EXECUTE_ABORTED);
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
    ASSERT_EQ(client.Connect(Settings(peer.Port(), 0, 3000), output, 0), 0);
    ASSERT_EQ(client.Execute(1, input, result, nullptr, 0), 0);
    ASSERT_EQ(client.Connect(Settings(peer.Port(), 0, 3000), output, 0), 0);
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
        ASSERT_EQ(client.Connect(Settings(peer.Port(), 1, 5000), output, 0), 0);
        for (auto& j : journals) {
            CL_Blob input = Bytes(scripted::PatternBytes(3000));
            client.Execute(1, input, Journal::Success, Journal::Error, Journal::Progress, nullptr,
                           &j, 0);
        }
        for (int i = 0; i < 500 && peer.GetReceived().size() < 4; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (auto& j : journals) {
        EXPECT_EQ(j.successes, 0);
        EXPECT_EQ(j.errors, 1);
    }
    ASSERT_EQ(peer.Join(), "");
}

TEST(TCPClientJobs, SharedDispatcherAndProgressWithoutCallbackJobs) {
    CL_Init();
    CL_Dispatcher dispatcher(2, 8);
    scripted::Peer peer;
    peer.Start("handshake; recv DATA; reply DATA echo; wait-close 5000");
    {
        CL_TCPClient client(&dispatcher);
        CL_Blob output;
        ASSERT_EQ(client.Connect(Settings(peer.Port(), 0, 3000), output, 0), 0);
        Journal j;
        CL_Blob input = Bytes("shared");
        client.Execute(1, input, Journal::Success, Journal::Error, nullptr, nullptr, &j, 0);
        client.WaitForJobs();
        EXPECT_EQ(j.successes, 1);
        EXPECT_EQ(j.output, "shared");
        EXPECT_TRUE(j.reports.empty());
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

struct LastCallbackOwner {
    std::atomic<CL_TCPClient*> client{nullptr};
    bool deleteInCallback = false;
    std::atomic<int> successes{0};
    std::atomic<int> errors{0};
    std::atomic<int> progressCalls{0};

    void Finish() {
        if (deleteInCallback) delete client.exchange(nullptr);
    }
    static CL_Status Success(CL_Blob&, void* data) {
        LastCallbackOwner* owner = static_cast<LastCallbackOwner*>(data);
        owner->Finish();
        owner->successes++;
        return 0;
    }
    static CL_Status Error(CL_Status, CL_Blob&, void* data) {
        LastCallbackOwner* owner = static_cast<LastCallbackOwner*>(data);
        owner->Finish();
        owner->errors++;
        return 0;
    }
    static CL_Status Progress(CL_ProgressType, double, const std::string&, CL_Blob*, void* data) {
        static_cast<LastCallbackOwner*>(data)->progressCalls++;
        return 0;
    }
};

TEST_P(TCPClientLastCallback, ClientDeletedAtTheEndOfItsOperation) {
    const LastCallbackCase& param = GetParam();
    CL_Init();
    CL_Dispatcher dispatcher(2, 8);
    scripted::Peer peer;
    peer.Start("loop");
    // Bound and not listening: a connection to it is refused at once.
    int refusing = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(refusing, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    socklen_t length = sizeof(address);
    getsockname(refusing, reinterpret_cast<sockaddr*>(&address), &length);
    const uint16 refusedPort = ntohs(address.sin_port);

    for (int round = 0; round < 10; round++) {
        LastCallbackOwner owner;
        owner.deleteInCallback = param.inCallback;
        CL_TCPClient* client = new CL_TCPClient(&dispatcher);
        owner.client = client;
        if (param.connect) {
            client->Connect(Settings(param.fails ? refusedPort : peer.Port(), 0, 3000),
                            LastCallbackOwner::Success, LastCallbackOwner::Error,
                            LastCallbackOwner::Progress, &owner, 0);
        } else {
            CL_Blob output;
            ASSERT_EQ(client->Connect(Settings(peer.Port(), 0, 3000), output, 0), 0);
            if (param.fails) client->Disconnect();
            CL_Blob input = Bytes(scripted::PatternBytes(20000));
            client->Execute(3, input, LastCallbackOwner::Success, LastCallbackOwner::Error,
                            LastCallbackOwner::Progress, nullptr, &owner, 0);
        }
        if (!param.inCallback) {
            for (int i = 0; i < 3000 && owner.successes + owner.errors == 0; i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            delete owner.client.exchange(nullptr);
        }
        ASSERT_TRUE(dispatcher.WaitForJobs(30000));
        EXPECT_EQ(owner.client.load(), nullptr);
        EXPECT_EQ(owner.successes + owner.errors, 1) << "round " << round;
        EXPECT_EQ(owner.errors.load(), param.fails ? 1 : 0) << "round " << round;
        // The final COMPLETE report comes before the result: at least one call.
        EXPECT_GE(owner.progressCalls.load(), 1);
    }
    close(refusing);
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
