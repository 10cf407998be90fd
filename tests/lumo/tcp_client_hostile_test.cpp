// The TCP RPC client against hostile and broken peers (scripted over loopback): time-outs
// that count only a request's own silence, chunks that stall or trickle, headers that
// cannot be framed, writes that go out in part, replies beyond the reply limit, and
// cancels that must reach the server without holding up the other requests.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "lumo/clock.h"
#include "lumo/init.h"
#include "lumo/ipc_tcp.h"
#include "lumo/table.h"
#include "support/callback_recorder.h"
#include "support/client_settings.h"
#include "support/loopback.h"
#include "support/sanitizer.h"
#include "support/scripted_peer.h"
#include "support/wait_for.h"

namespace {

using R = CallbackRecorder;

// A request that ought to end within its own time-out is given this long before the
// test gives up on it (its peer keeps the wait alive far longer).
constexpr uint32 kPatience = 8000;

// A client connected to a scripted peer that runs `script` after the handshake.
struct Session {
    scripted::Peer peer;
    CL_TCPClient client;
    explicit Session(const std::string& script, uint16 flags = 0, uint32 timeout = 3000,
                     const CLU_Table& extra = CLU_Table()) {
        peer.Start("handshake " + std::to_string(flags) + ";" + script);
        CLU_Table settings = ClientSettings(peer.Port(), flags, timeout);
        for (auto it = extra.begin(); it != extra.end(); ++it) settings.Set(it.key(), it.value());
        CL_Blob output;
        EXPECT_EQ(client.Connect(settings, output, 0), CL_OK);
    }
    ~Session() {
        client.Disconnect();
        peer.Stop();
    }
    // Runs one asynchronous request to its end, waiting at most kPatience; a request
    // still running then is ended, so that it never reports to a record that is gone.
    bool Run(R* record, const std::string& input, uint32 timeout) {
        CL_Blob blob = Bytes(input);
        client.Execute(7, blob, R::Success, R::Error, R::Progress, nullptr, record, timeout);
        return Finish(record);
    }
    // Waits at most kPatience for a request started elsewhere, ending it as Run does.
    bool Finish(R* record) {
        if (record->Wait(1, kPatience)) return true;
        client.Disconnect();
        record->Wait(1, kPatience);
        return false;
    }
};

// A second server to reconnect to: answers one echo.
struct EchoPeer {
    scripted::Peer peer;
    EchoPeer() { peer.Start("handshake; recv DATA; reply DATA echo; wait-close 5000"); }
    // Reconnects `client` here and runs one echo through it.
    void ExpectReconnectWorks(CL_TCPClient& client) {
        CL_Blob output;
        ASSERT_EQ(client.Connect(ClientSettings(peer.Port(), 0, 3000), output, 0), CL_OK);
        CL_Blob input = Bytes("again"), result;
        EXPECT_EQ(client.Execute(1, input, result, nullptr, 0), CL_OK);
        EXPECT_EQ(result.Raw(), "again");
        client.Disconnect();
        EXPECT_EQ(peer.Join(), "");
    }
};

std::string Repeat(const std::string& step, int times) {
    std::string out;
    for (int i = 0; i < times; i++) out += step;
    return out;
}

// A PING for a request the client never made, as raw bytes.
std::string ForeignPing() {
    CL_PacketHeader header;
    CL_MakePing(&header, nullptr, 999999, 10.0, nullptr);
    return "raw " + scripted::ToHex(&header, sizeof(header)) + ";";
}

// The descriptor of this process's TCP socket connected to 127.0.0.1:`port`; -1 if none.
int DescriptorConnectedTo(uint16 port) {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    int found = -1;
    while (dirent* entry = readdir(dir)) {
        int fd = atoi(entry->d_name);
        if (fd <= 2) continue;
        sockaddr_in peer;
        socklen_t length = sizeof(peer);
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == port) {
            found = fd;
            break;
        }
    }
    closedir(dir);
    return found;
}

// `check` as this thread's cancel check while the scope lives.
struct CheckScope {
    explicit CheckScope(std::function<CL_Status()> check) : fCheck(std::move(check)) {}
    std::function<CL_Status()> fCheck;
    CL_CancelScope fScope{[](void* self) { return static_cast<CheckScope*>(self)->fCheck(); },
                          this};
};

// A client (with workers for an operation that waits and for its progress job) whose
// connection a blocking Connect to a peer that shakes hands holds: that Connect, on a
// thread of its own, is held at its first look at a cancel (before its socket exists)
// until Release, and the client's other operations wait for it. The record cancels
// from its first progress call on.
class HeldClient {
public:
    scripted::Peer peer;
    CL_Dispatcher dispatcher{4, 8};
    CL_TCPClient client{&dispatcher};
    R record;

    HeldClient() {
        peer.Start("handshake; wait-close 5000");
        record.fCancelFrom = 0;
        fThread = std::thread([this] {
            CheckScope scope([this] {
                fHeld = true;
                while (!fReleased) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                return CL_OK;
            });
            CL_Blob output;
            fStatus = client.Connect(ClientSettings(peer.Port(), 0, 3000), output, 0);
        });
        WaitFor([&] { return fHeld.load(); });
    }
    ~HeldClient() {
        fReleased = true;
        if (fThread.joinable()) fThread.join();
    }
    // Once the operation started meanwhile has made progress, lets the held Connect go on
    // (to succeed); the operation's end code.
    CL_Status Release() {
        EXPECT_TRUE(WaitFor([&] { return record.fProgressCalls.load() > 0; }));
        fReleased = true;
        if (fThread.joinable()) fThread.join();
        EXPECT_EQ(fStatus, CL_OK);
        EXPECT_TRUE(record.Wait(1, kPatience));
        client.WaitForJobs();
        return record.fCode.load();
    }

private:
    std::atomic<bool> fHeld{false}, fReleased{false};
    CL_Status fStatus = CL_ERROR;
    std::thread fThread;
};

// ---- Time-outs count the server's silence towards the client -------------------------------

struct NoiseCase {
    const char* name;
    std::string script;  // after the request; keeps going far longer than kPatience
};

class SilenceTest : public ::testing::TestWithParam<NoiseCase> {};

// Whatever comes on the connection that is no news of a request the client sent (and
// not answered yet), a request that hears nothing of its own ends with CL_TIMEOUT.
TEST_P(SilenceTest, OtherTrafficDoesNotKeepTheRequestWaiting) {
    Session s("recv DATA;" + GetParam().script, 0, 3000);
    R record;
    ASSERT_TRUE(s.Run(&record, "mine", 600));
    EXPECT_EQ(record.fErrors.load(), 1);
    EXPECT_EQ(record.fCode.load(), CL_TIMEOUT);
}

INSTANTIATE_TEST_SUITE_P(
    Noise, SilenceTest,
    ::testing::Values(
        NoiseCase{"RepliesOfAnotherSequence",
                  "hold DATA bytes:500000 seq=999999;" + Repeat("send 2 1; sleep 200;", 60)},
        NoiseCase{"PingsOfAnotherSequence", Repeat(ForeignPing() + "sleep 200;", 100)},
        NoiseCase{"TricklingBytes", "hold DATA bytes:20000 seq=999999; trickle 2 300"},
        // Bytes of a chunk not yet whole are no news, not even of the request itself.
        NoiseCase{"OwnReplyOneByteASecond", "hold DATA bytes:20000; trickle 2 1000"}),
    [](const auto& info) { return std::string(info.param.name); });

// With nothing else outstanding, a silent server ends the request after its whole
// time-out and not much later.
TEST(TCPClientSilence, SilenceEndsTheRequestAfterItsTimeOut) {
    Session s("recv DATA; wait-close 10000", 0, 3000);
    const uint32 timeout = 1500;
    R record;
    uint32 start = CL_GetTime();
    ASSERT_TRUE(s.Run(&record, "unanswered", timeout));
    uint32 elapsed = CL_GetTime() - start;
    EXPECT_EQ(record.fCode.load(), CL_TIMEOUT);
    EXPECT_GE(elapsed, timeout);
    EXPECT_LT(elapsed, 2 * timeout);
}

struct QueuedCase {
    const char* name;
    uint32 firstTimeOut;  // of the long request, sent first
    std::string script;   // after both requests came; the first is request 2
};

class QueuedBehindTest : public ::testing::TestWithParam<QueuedCase> {};

// The server works on the first request while the second waits behind it: news of the
// first, waited for or not, keeps the second waiting far beyond its own time-out.
TEST_P(QueuedBehindTest, NewsOfAnEarlierRequestKeepsTheLaterOneWaiting) {
    const QueuedCase& test = GetParam();
    Session s("recv DATA; recv DATA; use 2;" + test.script +
              "use 3; reply DATA echo; wait-close 5000");
    R first;
    CL_Blob input = Bytes("long");
    s.client.Execute(7, input, R::Success, R::Error, nullptr, nullptr, &first, test.firstTimeOut);
    ASSERT_TRUE(WaitFor([&] { return s.peer.GetReceived().size() >= 3; }));
    // A first request that timed out still runs on the server, ahead of the second.
    if (test.firstTimeOut < 1000) {
        ASSERT_TRUE(s.Finish(&first));
    }
    R second;
    ASSERT_TRUE(s.Run(&second, "queued", 600));
    EXPECT_EQ(second.fSuccesses.load(), 1);
    EXPECT_EQ(second.fOutput, "queued");
    ASSERT_TRUE(s.Finish(&first));
    EXPECT_EQ(first.fCode.load(), test.firstTimeOut < 1000 ? CL_TIMEOUT : CL_OK);
}

INSTANTIATE_TEST_SUITE_P(
    News, QueuedBehindTest,
    ::testing::Values(
        QueuedCase{"Pings", 20000, Repeat("ping 10 busy; sleep 250;", 8) + "reply DATA echo;"},
        QueuedCase{"PingsOfARequestThatTimedOut", 300,
                   Repeat("ping 10 busy; sleep 250;", 8) + "reply DATA echo;"},
        QueuedCase{"ChunksOfAReply", 20000,
                   "hold DATA bytes:60000;" + Repeat("send 2 1; sleep 250;", 8)}),
    [](const auto& info) { return std::string(info.param.name); });

// Its own PINGs are news of the request: each gives the time-out back.
TEST(TCPClientSilence, OwnPingsKeepTheRequestWaiting) {
    Session s("recv DATA;" + Repeat("ping 10 busy; sleep 300;", 5) + "reply DATA echo;"
              "wait-close 5000");
    R record;
    ASSERT_TRUE(s.Run(&record, "slow", 500));
    EXPECT_EQ(record.fSuccesses.load(), 1);
    EXPECT_EQ(record.fOutput, "slow");
}

// Interrupt ends the waiting requests at once; once the late reply the server still
// sends for one has come whole, PINGs about it keep no later request waiting beyond
// its own time-out.
TEST(TCPClientSilence, LateRepliesOfInterruptedRequestsHoldNothing) {
    Session s("recv DATA; recv ABORT_ALL; use 2; reply DATA bytes:50000;" +
              Repeat("ping 10 late; sleep 200;", 60));
    R first;
    CL_Blob input = Bytes("first");
    s.client.Execute(7, input, R::Success, R::Error, nullptr, nullptr, &first, 20000);
    ASSERT_TRUE(WaitFor([&] { return s.peer.GetReceived().size() >= 3; }));
    EXPECT_EQ(s.client.Interrupt(), CL_OK);
    ASSERT_TRUE(s.Finish(&first));
    EXPECT_EQ(first.fCode.load(), CL_IPC_EXECUTE_ABORTED);
    ASSERT_TRUE(WaitFor([&] { return s.peer.GetReceived().size() >= 4; }));
    R later;
    ASSERT_TRUE(s.Run(&later, "later", 600));
    EXPECT_EQ(later.fCode.load(), CL_TIMEOUT);
}

// ---- Chunks that cannot be framed -----------------------------------------------------------

// One byte at a time, the reply's chunk takes far longer than the time-out: the request
// ends, and with it the connection, whose stream is stuck in that chunk.
TEST(TCPClientFraming, TricklingChunkEndsTheRequestAndTheConnection) {
    Session s("recv DATA; hold DATA bytes:3000; trickle 2 10", 0, 3000);
    R record;
    ASSERT_TRUE(s.Run(&record, "x", 600));
    EXPECT_EQ(record.fCode.load(), CL_TIMEOUT);
    EXPECT_EQ(s.client.GetID(), 0u);
    CL_Blob input = Bytes("y"), result;
    EXPECT_EQ(s.client.Execute(1, input, result, nullptr, 600), CL_NOT_CONNECTED);
    EchoPeer other;
    other.ExpectReconnectWorks(s.client);
}

// A peer that stops in the middle of a chunk and later starts a new packet: the
// stalled request drops the connection, so nothing of the new packet is taken as the
// old chunk's rest, and a reconnect on the same client works.
TEST(TCPClientFraming, StallInTheMiddleOfAChunkDropsTheConnection) {
    Session s("recv DATA; hold DATA bytes:5000; bytes 2 100; hang 1500; ping 50 new; hang 10000",
              0, 3000);
    R record;
    ASSERT_TRUE(s.Run(&record, "x", 500));
    EXPECT_EQ(record.fCode.load(), CL_TIMEOUT);
    // The peer's new packet has gone out (its sixth step, the handshake the first),
    // unless the closed connection refused it.
    WaitFor([&] { return s.peer.StepsDone() >= 6; }, 3000);
    CL_Blob input = Bytes("y"), result;
    EXPECT_EQ(s.client.Execute(1, input, result, nullptr, 500), CL_NOT_CONNECTED);
    EchoPeer other;
    other.ExpectReconnectWorks(s.client);
}

// A header with a wrong magic: everything after it is unframed, so the connection goes
// instead of failing every later request with the same header.
TEST(TCPClientFraming, WrongMagicDropsTheConnection) {
    Session s("recv DATA; reply DATA echo magic=0x1234; hang 5000");
    CL_Blob input = Bytes("x"), result;
    EXPECT_EQ(s.client.Execute(1, input, result, nullptr, 0), CL_PROTOCOL_NOT_SUPPORTED);
    EXPECT_EQ(s.client.GetID(), 0u);
    EXPECT_EQ(s.client.Execute(1, input, result, nullptr, 500), CL_NOT_CONNECTED);
    EchoPeer other;
    other.ExpectReconnectWorks(s.client);
}

// A request that goes out in part (the server reads nothing) leaves a frame the server
// could never finish: the connection is dropped.
TEST(TCPClientFraming, RequestSentInPartDropsTheConnection) {
    Session s("hang 20000");
    CL_Blob input = Bytes(scripted::PatternBytes(32u << 20)), result;
    EXPECT_EQ(s.client.Execute(1, input, result, nullptr, 500), CL_TIMEOUT);
    EXPECT_EQ(s.client.GetID(), 0u);
    CL_Blob small = Bytes("y");
    EXPECT_EQ(s.client.Execute(1, small, result, nullptr, 500), CL_NOT_CONNECTED);
}

// A reply whose last byte comes after a pause: each chunk is taken only once whole.
TEST(TCPClientFraming, LastByteAfterAPause) {
    for (uint16 flags : {uint16(0), uint16(CL_IPC_COMPRESS | CL_IPC_AES_CRYPTING)}) {
        Session s("recv DATA; hold DATA bytes:9000; bytes 2 -1; sleep 400; bytes 2 all;"
                  "recv DATA; hold DATA bytes:300; bytes 3 -1; sleep 400; bytes 3 all;"
                  "wait-close 5000",
                  flags);
        CL_Blob input = Bytes("x"), result;
        ASSERT_EQ(s.client.Execute(1, input, result, nullptr, 3000), CL_OK) << flags;
        EXPECT_EQ(result.Raw(), scripted::PatternBytes(9000)) << flags;
        ASSERT_EQ(s.client.Execute(1, input, result, nullptr, 3000), CL_OK) << flags;
        EXPECT_EQ(result.Raw(), scripted::PatternBytes(300)) << flags;
    }
}

// ---- Replies --------------------------------------------------------------------------------

// Receive progress runs from 0 to 100 as the chunks of a reply arrive.
TEST(TCPClientReplies, ReceiveProgressWhileTheReplyArrives) {
    Session s("recv DATA; hold DATA bytes:40000;" + Repeat("send 2 1; sleep 300;", 3) +
              "send 2 all; wait-close 5000");
    R record;
    ASSERT_TRUE(s.Run(&record, "x", 3000));
    ASSERT_EQ(record.fSuccesses.load(), 1);
    EXPECT_EQ(record.fOutput, scripted::PatternBytes(40000));
    std::vector<R::Report> receiving = record.ReportsOf(CL_PROGRESS_RECEIVE);
    bool between = false;
    double last = 0.0;
    for (const R::Report& report : receiving) {
        if (report.fCompleteness > 0.0 && report.fCompleteness < 100.0) between = true;
        EXPECT_GE(report.fCompleteness, last);
        last = report.fCompleteness;
    }
    EXPECT_TRUE(between);
}

// A reply that fails on its first chunk leaves none of its chunks behind.
TEST(TCPClientReplies, NothingQueuedAfterAFailedReply) {
    Session s("recv DATA; hold DATA bytes:30000 plain; send 2 all; ping 10 late;"
              "recv DATA; reply DATA echo; wait-close 5000",
              CL_IPC_COMPRESS);
    CL_Blob input = Bytes("x"), result;
    EXPECT_EQ(s.client.Execute(1, input, result, nullptr, 3000), CL_IPC_BAD_REPLY);
    EXPECT_EQ(s.client.GetQueuedPacketCount(), 0u);
    CL_Blob second = Bytes("second");
    ASSERT_EQ(s.client.Execute(1, second, result, nullptr, 3000), CL_OK);
    EXPECT_EQ(result.Raw(), "second");
    EXPECT_EQ(s.client.GetQueuedPacketCount(), 0u);
}

class ReplyLimitTest : public ::testing::TestWithParam<uint16> {};

// "reply_limit" bounds the plain reply, compressed or not: up to it is fine, a byte
// more fails with 201.
TEST_P(ReplyLimitTest, UpToTheLimitAndNotAByteMore) {
    CLU_Table extra;
    extra.Set("reply_limit", 100000LL);
    Session s("recv DATA; reply DATA zeros:100000; recv DATA; reply DATA zeros:100001; hang 5000",
              GetParam(), 3000, extra);
    EXPECT_EQ(s.client.GetReplyLimit(), 100000u);
    CL_Blob input = Bytes("x"), result;
    ASSERT_EQ(s.client.Execute(1, input, result, nullptr, 0), CL_OK);
    EXPECT_EQ(result.GetSize(), 100000u);
    EXPECT_EQ(s.client.Execute(1, input, result, nullptr, 0), CL_IPC_BAD_REPLY);
}

INSTANTIATE_TEST_SUITE_P(Flags, ReplyLimitTest,
                         ::testing::Values(uint16(0), uint16(CL_IPC_COMPRESS),
                                           uint16(CL_IPC_COMPRESS | CL_IPC_AES_CRYPTING)));

// A stream that would inflate to 1 GiB is refused once it passes the limit, long
// before its end; one that stays below it is taken whole.
TEST(TCPClientReplies, InflatingBombStopsAtTheLimit) {
    CLU_Table extra;
    extra.Set("reply_limit", (long long)(4u << 20));
    Session s("recv DATA; bomb 3145728; recv DATA; bomb 1073741824; hang 10000",
              CL_IPC_COMPRESS | CL_IPC_TEA_CRYPTING, 3000, extra);
    R below;
    ASSERT_TRUE(s.Run(&below, "x", 5000));
    ASSERT_EQ(below.fSuccesses.load(), 1);
    EXPECT_EQ(below.fOutput, std::string(3u << 20, '\0'));
    R record;
    ASSERT_TRUE(s.Run(&record, "x", 5000));
    EXPECT_EQ(record.fCode.load(), CL_IPC_BAD_REPLY);
}

// Without the setting the limit is 256 MiB: a reply that announces 1 GiB fails at its
// first chunk, and so does one that inflates to it.
TEST(TCPClientReplies, DefaultLimitRefusesAGibibyte) {
    Session s("recv DATA; reply DATA bytes:8160 plain size=0x40000000; hang 10000", 0);
    EXPECT_EQ(s.client.GetReplyLimit(), CL_TCPClient::kDefaultReplyLimit);
    EXPECT_EQ(CL_TCPClient::kDefaultReplyLimit, 256u << 20);
    R record;
    ASSERT_TRUE(s.Run(&record, "x", 5000));
    EXPECT_EQ(record.fCode.load(), CL_IPC_BAD_REPLY);
#if !ZELMO_SANITIZER_HEAP
    // 256 MiB inflated before the refusal: too much for a sanitizer's heap.
    Session bomb("recv DATA; bomb 1073741824; hang 20000", CL_IPC_COMPRESS);
    R inflated;
    ASSERT_TRUE(bomb.Run(&inflated, "x", 10000));
    EXPECT_EQ(inflated.fCode.load(), CL_IPC_BAD_REPLY);
#endif
}

// ---- Cancelling and interrupting ---------------------------------------------------------

// The server sends exactly one PING after the cancel and then waits for the ABORT:
// the cancel reaches it without a second PING.
TEST(TCPClientCancel, OnePingAndTheAbortGoesOut) {
    CL_Init();
    CL_Dispatcher dispatcher(4, 8);
    Session s("recv DATA; sleep 500; ping 10 working; recv ABORT; reply ABORT -; wait-close 5000");
    s.client.SetDispatcher(&dispatcher);
    R record;
    record.fCancelIf = [&] { return s.peer.GetReceived().size() >= 3; };
    ASSERT_TRUE(s.Run(&record, "long", 20000));
    EXPECT_EQ(record.fCode.load(), CL_IPC_EXECUTE_ABORTED);
    std::vector<scripted::Received> got = s.peer.GetReceived();
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(got[3].fHeader.fType, CL_PACKET_TYPE_ABORT);
    EXPECT_EQ(got[3].fHeader.fSequence, got[2].fHeader.fSequence);
    s.client.WaitForJobs();
}

// A peer that reads nothing more: once the socket's buffers are full, Interrupt gives
// up after the client's time-out instead of holding the connection's lock for ever.
TEST(TCPClientCancel, InterruptIsBoundedByTheTimeOut) {
    bool filled = false;
    for (int attempt = 0; attempt < 3 && !filled; attempt++) {
        scripted::Peer peer;
        peer.SetReceiveBuffer(2048);
        peer.Start("handshake; hang 30000");
        CL_TCPClient client;
        CL_Blob output;
        ASSERT_EQ(client.Connect(ClientSettings(peer.Port(), 0, 1000), output, 0), CL_OK);
        int fd = DescriptorConnectedTo(peer.Port());
        ASSERT_GE(fd, 0);
        int small = 1;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
        // Bare requests until the buffers hold no more: each waits 10 ms for its reply.
        CL_Blob empty, result;
        for (int i = 0; i < 400 && client.GetID() != 0; i++)
            client.Execute(1, empty, result, nullptr, 10);
        // A request cut short dropped the connection: try again.
        if (client.GetID() == 0) {
            peer.Stop();
            continue;
        }
        filled = true;
        std::atomic<bool> returned{false};
        CL_Status status = CL_OK;
        std::thread interrupter([&] {
            status = client.Interrupt();
            returned = true;
        });
        EXPECT_TRUE(WaitFor([&] { return returned.load(); }, kPatience));
        peer.Stop();  // frees a write that would wait for ever
        interrupter.join();
        EXPECT_EQ(status, CL_TIMEOUT);
    }
    EXPECT_TRUE(filled);
}

// A request cancelled before it goes out (here while a Connect holds the connection)
// ends with 205, and nothing of it reaches the server.
TEST(TCPClientCancel, RequestCancelledBeforeSendingSendsNothing) {
    HeldClient s;
    CL_Blob input = Bytes("never sent");
    s.client.Execute(7, input, R::Success, R::Error, R::Progress, nullptr, &s.record, 0);
    EXPECT_EQ(s.Release(), CL_IPC_EXECUTE_ABORTED);
    s.client.Disconnect();
    ASSERT_EQ(s.peer.Join(), "");
    EXPECT_EQ(s.peer.GetReceived().size(), 2u);  // SERVER_INFO and AUTH alone
}

struct WaitsEndCase {
    const char* name;
    std::function<void(Session&)> end;
    CL_Status expected;
};

class WaitsEndTest : public ::testing::TestWithParam<WaitsEndCase> {};

// However the waits of a connection end, every request waiting on it ends at once,
// far inside its time-out: the one reading the socket and those asleep meanwhile.
TEST_P(WaitsEndTest, EveryWaitingRequestEnds) {
    Session s("recv DATA; recv DATA; recv DATA; recv DATA; hang 20000");
    R records[4];
    for (R& record : records) {
        CL_Blob input = Bytes("waiting");
        s.client.Execute(7, input, R::Success, R::Error, nullptr, nullptr, &record, 60000);
    }
    ASSERT_TRUE(WaitFor([&] { return s.peer.GetReceived().size() >= 6; }));
    GetParam().end(s);
    for (R& record : records) {
        EXPECT_TRUE(record.Wait(1, kPatience));
        EXPECT_EQ(record.fCode.load(), GetParam().expected);
    }
    s.peer.Stop();
    s.client.WaitForJobs();
}

INSTANTIATE_TEST_SUITE_P(
    Ends, WaitsEndTest,
    ::testing::Values(
        WaitsEndCase{"Interrupt", [](Session& s) { s.client.Interrupt(); }, CL_IPC_EXECUTE_ABORTED},
        WaitsEndCase{"Disconnect", [](Session& s) { s.client.Disconnect(); }, CL_NOT_CONNECTED},
        WaitsEndCase{"PeerCloses", [](Session& s) { s.peer.Stop(); }, CL_NOT_CONNECTED}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The client's dispatcher ----------------------------------------------------------------

// A dispatcher given to a client with one of its own: the own one lives on while its
// job runs, which ends normally afterwards.
TEST(TCPClientDispatcher, SetDispatcherKeepsTheOwnOneWhileItsJobsRun) {
    CL_Init();
    CL_Dispatcher shared(2, 8);
    Session s("recv DATA; sleep 1500; reply DATA echo; wait-close 5000");
    R record;
    CL_Blob input = Bytes("running");
    s.client.Execute(7, input, R::Success, R::Error, nullptr, nullptr, &record, 10000);
    ASSERT_TRUE(WaitFor([&] { return s.peer.GetReceived().size() >= 3; }));
    s.client.SetDispatcher(&shared);
    // Returned while the job still waits for its reply: nothing waited for it.
    EXPECT_EQ(record.Completions(), 0);
    ASSERT_TRUE(s.Finish(&record));
    EXPECT_EQ(record.fSuccesses.load(), 1);
    EXPECT_EQ(record.fOutput, "running");
}

// ---- Handshake ---------------------------------------------------------------------------------

// The blocking Connect hears of a cancel from its thread's cancel scope: one that comes
// while the handshake waits for a silent server ends it with 7 at once, far inside its
// time-out.
TEST(TCPClientHandshakeCancel, CancelScopeEndsABlockingConnect) {
    scripted::Peer peer;
    peer.Start("recv SERVER_INFO; wait-close 15000");
    CL_TCPClient client;
    std::atomic<int> checks{0};
    R record;
    std::thread caller([&] {
        CheckScope scope([&] {
            checks++;
            return peer.GetReceived().empty() ? CL_OK : CL_CANCELLED;
        });
        CL_Blob output;
        CL_Status status = client.Connect(ClientSettings(peer.Port(), 0, 60000), output, 60000);
        status == CL_OK ? R::Success(output, &record) : R::Error(status, output, &record);
    });
    bool ended = record.Wait(1, kPatience);
    EXPECT_TRUE(ended);
    if (!ended) client.Disconnect();
    caller.join();
    EXPECT_EQ(record.fCode.load(), CL_CANCELLED);
    EXPECT_GT(checks.load(), 0);
    EXPECT_EQ(client.GetID(), 0u);
    peer.Stop();
}

// A request or a Connect made from inside a handshake's own cancel check (a signal
// handler's, say) is refused: nothing goes into the handshake, which goes on.
TEST(TCPClientHandshakeCancel, OperationsFromInsideTheCancelCheckAreRefused) {
    scripted::Peer peer;
    peer.Start("handshake; wait-close 5000");
    CL_TCPClient client;
    std::vector<CL_Status> statuses;
    CL_Blob output;
    {
        CheckScope scope([&] {
            if (!statuses.empty()) return CL_OK;
            CL_Blob input = Bytes("inside"), inner;
            statuses.push_back(client.Execute(7, input, inner, nullptr, 1000));
            statuses.push_back(client.Connect(ClientSettings(peer.Port(), 0), inner, 1000));
            return CL_OK;
        });
        EXPECT_EQ(client.Connect(ClientSettings(peer.Port(), 0, 3000), output, 0), CL_OK);
    }
    EXPECT_EQ(statuses, std::vector<CL_Status>({CL_NOT_CONNECTED, CL_NOT_CONNECTED}));
    client.Disconnect();
    ASSERT_EQ(peer.Join(), "");
    EXPECT_EQ(peer.GetReceived().size(), 2u);
}

// A Connect cancelled while it waits for another thread's Connect, before its socket
// exists: it ends with 7 and its server never sees a connection.
TEST(TCPClientHandshakeCancel, CancelBeforeTheSocketExistsIsApplied) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    uint16 port = BindLoopback(listener);
    ASSERT_TRUE(port != 0 && listen(listener, 4) == 0);
    HeldClient s;
    s.client.Connect(ClientSettings(port, 0, 3000), R::Success, R::Error, R::Progress, &s.record,
                     0);
    EXPECT_EQ(s.Release(), CL_CANCELLED);
    EXPECT_LT(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC), 0);
    close(listener);
    ASSERT_EQ(s.peer.Join(), "");
}

// A cancel during an asynchronous Connect reaches the connection being opened: a
// handshake blocked in writing to a server that reads nothing ends at once.
TEST(TCPClientHandshakeCancel, CancelEndsAHandshakeBlockedInAWrite) {
    scripted::Peer peer;
    peer.Start("recv SERVER_INFO; reply SERVER_INFO -; hang 30000");
    CL_TCPClient client;
    CLU_Table settings = ClientSettings(peer.Port(), 0, 30000);
    // An AUTH request far larger than the socket buffers.
    settings.Set("padding", scripted::PatternBytes(32u << 20));
    R record;
    record.fCancelIf = [&] { return !peer.GetReceived().empty(); };
    client.Connect(settings, R::Success, R::Error, R::Progress, &record, 30000);
    bool ended = record.Wait(1, kPatience);
    EXPECT_TRUE(ended);
    peer.Stop();
    client.WaitForJobs();
    EXPECT_EQ(record.fErrors.load(), 1);
    EXPECT_EQ(record.fCode.load(), CL_CANCELLED);
    EXPECT_EQ(client.GetID(), 0u);
}

// The blocking form hears of it through its thread's cancel check, asked between the
// steps of that write: here the check cancels once SERVER_INFO has been answered.
TEST(TCPClientHandshakeCancel, CancelScopeEndsAHandshakeBlockedInAWrite) {
    scripted::Peer peer;
    peer.Start("recv SERVER_INFO; reply SERVER_INFO -; hang 30000");
    CL_TCPClient client;
    CLU_Table settings = ClientSettings(peer.Port(), 0, 30000);
    settings.Set("padding", scripted::PatternBytes(32u << 20));
    std::atomic<int> checks{0};
    R record;
    std::thread caller([&] {
        CheckScope scope([&] {
            checks++;
            return client.GetServerID() == 0 ? CL_OK : CL_CANCELLED;
        });
        CL_Blob output;
        CL_Status status = client.Connect(settings, output, 30000);
        status == CL_OK ? R::Success(output, &record) : R::Error(status, output, &record);
    });
    EXPECT_TRUE(record.Wait(1, kPatience));
    peer.Stop();  // frees a write that would wait out its time-out
    caller.join();
    EXPECT_EQ(record.fCode.load(), CL_CANCELLED);
    EXPECT_GT(checks.load(), 0);
    EXPECT_EQ(client.GetID(), 0u);
}

}  // namespace
