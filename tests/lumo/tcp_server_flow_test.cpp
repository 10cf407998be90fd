// How work flows through the server's threads: peers that send slowly or never read
// hold no worker, a request wakes one worker, a worker bound to a client sleeps beside
// a dead client it may not delete, a client closed while its handler runs sees its
// connection end at once, compressed requests within the inflating budget are served
// side by side, and the server's getters may be called while it starts, stops and
// resumes.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lumo/power.h"
#include "support/private_network.h"
#include "support/raw_client.h"
#include "support/wait_for.h"

namespace {

const bool kIsolated = EnterPrivateNetwork();

enum : CL_Command {
    kLargeReply = 20,  // "size": that many bytes back
    kGate = 21,        // runs until the gate opens (20 s at most)
    kPin = 22,         // binds the client to the worker that runs it
};

std::atomic<bool> sGateOpen{false};
std::atomic<long> sPinnedThread{0};
std::atomic<int> sAborts{0};
std::atomic<int> sDisconnects{0};

CL_Status Execute(CL_Command command, CL_Blob& input, CL_Blob& output, CL_ClientContext* context,
                  uint32 id) {
    switch (command) {
        case kLargeReply: {
            uint32 size = uint32(rpc_test::ReadTable(input).GetInteger("size"));
            output.SetSize(size);
            memset(output.GetDataForWrite(), 'r', size);
            output.Seek(0, CL_SEEK_SET);
            return CL_OK;
        }
        case kGate:
            for (int i = 0; i < 2000 && !sGateOpen; i++)
                CL_Thread::Sleep(10);
            output.Clear();
            return CL_OK;
        case kPin:
            context->PinToThread();
            sPinnedThread = long(syscall(SYS_gettid));
            output.Clear();
            return CL_OK;
        default:
            return rpc_test::Execute(command, input, output, context, id);
    }
}

void CountAborts(CL_ClientContext*, uint32) {
    sAborts++;
}

void CountDisconnects(CL_ClientContext* context) {
    sDisconnects++;
    delete context;
}

// A server with these handlers and a time-out long enough that a worker held by a peer
// would stay held for the whole test.
struct FlowServer : TestServer {
    FlowServer() : TestServer(0, CL_LOG_LEVEL_DEBUG_VERBOSE, 20000) {
        fCallbacks.fExecute = Execute;
        sGateOpen = false;
    }
    ~FlowServer() { sGateOpen = true; }
};

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The server's worker threads, by the names the kernel keeps ("server worker 1", or
// "server .rker 12" once the name is shortened).
std::vector<std::string> WorkerTasks() {
    std::vector<std::string> tasks;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return tasks;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::string task = std::string("/proc/self/task/") + entry->d_name;
        std::string name = ReadText(task + "/comm");
        if (name.rfind("server ", 0) == 0 && name.find("rker") != std::string::npos)
            tasks.push_back(task);
    }
    closedir(dir);
    return tasks;
}

// Times the workers went to sleep: each wake-up ends in one.
double WorkerSleeps() {
    double sleeps = 0;
    for (const std::string& task : WorkerTasks()) {
        std::string status = ReadText(task + "/status");
        size_t at = status.find("\nvoluntary_ctxt_switches:");
        if (at != std::string::npos) sleeps += atof(status.c_str() + at + 25);
    }
    return sleeps;
}

// CPU time of one thread so far, in nanoseconds.
double ThreadCpuNs(long tid) {
    return atof(ReadText("/proc/self/task/" + std::to_string(tid) + "/schedstat").c_str());
}

// A well-behaved client, new, shakes hands and is answered while the peers hold on:
// the read waits of RawClient bound how long that may take.
::testing::AssertionResult FreshClientIsServed(TestServer& test) {
    RawClient client;
    ::testing::AssertionResult authorised = Authorise(test, client);
    if (!authorised) return authorised;
    CLU_Table output;
    int32 type = client.Call(rpc_test::kEcho, CLU_Table().Set("fresh", 1), &output);
    if (type != CL_PACKET_TYPE_DATA) return ::testing::AssertionFailure() << "reply " << type;
    return ::testing::AssertionSuccess();
}

// Peers that send the first chunk of a request and then nothing hold no worker: the
// dispatcher gathers requests, and a worker sees only whole ones.
TEST(TCPServerFlow, SlowSendersHoldNoWorker) {
    FlowServer test;
    RawClient kept;
    ASSERT_TRUE(StartAndAuthorise(test, kept));
    const uint32 kPeers = 2 * CL_SERVER_MIN_WORKERS;
    std::vector<std::unique_ptr<RawClient>> peers;
    CL_Blob payload(3 * CL_IPC_CHUNK_SIZE);
    for (uint32 i = 0; i < kPeers; i++) {
        peers.emplace_back(new RawClient());
        ASSERT_TRUE(Authorise(test, *peers.back()));
        CL_PacketHeader header;
        CL_MakeDataRequest(&header, peers.back()->fSequence++, rpc_test::kRawEcho, 0);
        CL_Blob first;
        CL_AppendChunk(header, payload, 0, &first);
        ASSERT_EQ(peers.back()->SendRaw(first.GetDataForRead(), first.GetSize()), 0);
    }
    ASSERT_TRUE(
        WaitFor([&] { return test.fLog.Count("Il client ha dati in arrivo") >= int(kPeers); }));
    EXPECT_EQ(kept.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
    EXPECT_TRUE(FreshClientIsServed(test));
}

// Peers that ask for replies larger than the socket buffers and never read them hold no
// worker: what the socket does not take waits in the server.
TEST(TCPServerFlow, NonReadersHoldNoWorker) {
    FlowServer test;
    RawClient kept;
    ASSERT_TRUE(StartAndAuthorise(test, kept));
    const uint32 kPeers = CL_SERVER_MIN_WORKERS + 1;
    std::vector<std::unique_ptr<RawClient>> peers;
    for (uint32 i = 0; i < kPeers; i++) {
        peers.emplace_back(new RawClient());
        ASSERT_TRUE(Authorise(test, *peers.back()));
        peers.back()->SendData(kLargeReply, Flat(CLU_Table().Set("size", 32 << 20)));
    }
    ASSERT_TRUE(
        WaitFor([&] { return test.fServer.GetQueuedOutput() > kPeers * (16u << 20); }, 20000));
    EXPECT_EQ(kept.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
    EXPECT_TRUE(FreshClientIsServed(test));
}

// A request wakes one worker, not every idle one: the workers go to sleep about once
// per request (the load test and the benchmark count the rest).
TEST(TCPServerFlow, ARequestWakesOneWorker) {
    TestServer test(0, CL_LOG_LEVEL_WARNING);
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    ASSERT_EQ(WorkerTasks().size(), size_t(CL_SERVER_MIN_WORKERS));
    const int kRequests = 300;
    double before = WorkerSleeps();
    for (int i = 0; i < kRequests; i++)
        ASSERT_EQ(client.Call(rpc_test::kEcho, CLU_Table().Set("i", i)), CL_PACKET_TYPE_DATA);
    double sleeps = WorkerSleeps() - before;
    EXPECT_LT(sleeps, 1.6 * kRequests);
}

// A worker bound to a client must not spin while the last dead client is one it may
// not delete and the other workers are busy: it sleeps until work it may do comes. (A
// worker spinning there would hold the server lock for good, so the test watches it
// through the log and the kernel only, and leaves such a server running.)
TEST(TCPServerFlow, BoundWorkerSleepsBesideADeadClient) {
    std::unique_ptr<FlowServer> test(new FlowServer());
    RawClient bound, first, second;
    ASSERT_TRUE(StartAndAuthorise(*test, bound));
    ASSERT_TRUE(Authorise(*test, first));
    ASSERT_TRUE(Authorise(*test, second));
    EXPECT_EQ(bound.Call(kPin, CLU_Table()), CL_PACKET_TYPE_DATA);
    ASSERT_TRUE(WaitFor([&] { return test->fLog.Contains("legato al thread"); }));
    long pinned = sPinnedThread;
    first.SendData(kGate, CL_Blob());
    second.SendData(kGate, CL_Blob());
    ASSERT_TRUE(WaitFor([&] { return test->fLog.Count("(comando 0021)") == 2; }));
    // A connection that closes at once: its record waits for a worker free to delete it.
    {
        RawClient gone;
        ASSERT_TRUE(gone.Connect(test->fPort));
        ASSERT_TRUE(WaitFor([&] { return test->fLog.Count("[Server] Nuova connessione") == 4; }));
    }
    ASSERT_TRUE(WaitFor([&] { return test->fLog.Contains("Il client ha chiuso la connessione"); }));
    double before = ThreadCpuNs(pinned);
    CL_Thread::Sleep(500);
    double spent = ThreadCpuNs(pinned) - before;
    if (spent >= 100e6) {
        ADD_FAILURE() << "the bound worker ran " << spent / 1e6 << " ms of 500";
        (void)test.release();
        return;
    }
    sGateOpen = true;
    CL_PacketHeader header;
    CL_Blob reply;
    EXPECT_EQ(first.ReadReply(&header, &reply), CL_OK);
    EXPECT_EQ(second.ReadReply(&header, &reply), CL_OK);
    EXPECT_EQ(bound.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
    CL_LinkedList<uint32> ids;
    EXPECT_TRUE(WaitFor([&] {
        test->fServer.GetClientsList(&ids);
        return ids.Count() == 3;
    }));
}

// Closing a client whose handler still runs ends its connection at once: the client
// learns of it before the handler returns, and the record goes once it has.
TEST(TCPServerFlow, CloseWhileTheHandlerRuns) {
    FlowServer test;
    test.fCallbacks.fAbort = CountAborts;
    test.fCallbacks.fDisconnect = CountDisconnects;
    sAborts = 0;
    sDisconnects = 0;
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    client.SendData(kGate, CL_Blob());
    ASSERT_TRUE(WaitFor([&] { return test.fLog.Contains("(comando 0021)"); }));
    EXPECT_EQ(test.fServer.CloseClient(client.fClientID), CL_OK);
    EXPECT_EQ(sAborts.load(), 1);
    EXPECT_TRUE(client.Closed());
    EXPECT_EQ(sDisconnects.load(), 0);
    sGateOpen = true;
    EXPECT_TRUE(WaitFor([&] { return sDisconnects.load() == 1; }));
}

// Requests whose compressed payloads inflate within the budget of bytes being inflated
// are served side by side, however many: what bounds them is bytes, not their number.
// Light requests of others are served meanwhile.
TEST(TCPServerFlow, CompressedRequestsWithinTheBudgetRunSideBySide) {
    TestServer test(CL_IPC_COMPRESS, CL_LOG_LEVEL_DEBUG_VERBOSE, 20000);
    test.fCallbacks.fExecute = Execute;
    sGateOpen = false;
    RawClient kept;
    ASSERT_TRUE(StartAndAuthorise(test, kept, CL_IPC_COMPRESS));
    ASSERT_NE(kept.fFlags & CL_IPC_COMPRESS, 0);
    std::mt19937 random(7);
    CL_Blob noise(64 << 10);
    for (uint32 i = 0; i < noise.GetSize(); i++)
        noise.GetDataForWrite()[i] = char(random());
    const int kHeavy = 4;
    std::vector<std::unique_ptr<RawClient>> heavy;
    for (int i = 0; i < kHeavy; i++) {
        heavy.emplace_back(new RawClient());
        ASSERT_TRUE(Authorise(test, *heavy.back(), CL_IPC_COMPRESS));
        heavy.back()->SendCompressed(kGate, noise);
    }
    EXPECT_TRUE(WaitFor([&] { return test.fLog.Count("(comando 0021)") == kHeavy; }));
    EXPECT_EQ(kept.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
    sGateOpen = true;
    for (auto& client : heavy) {
        CL_PacketHeader header;
        CL_Blob reply;
        EXPECT_EQ(client->ReadReply(&header, &reply), CL_OK);
        EXPECT_EQ(header.fType, CL_PACKET_TYPE_DATA);
    }
    EXPECT_EQ(test.fLog.Count("(comando 0021)"), kHeavy);
}

// The getters read what Start, Setup and the resume event write, with no lock to take:
// a thread may read them all the while.
TEST(TCPServerFlow, GettersWhileTheServerChanges) {
    TestServer test(0, CL_LOG_LEVEL_WARNING);
    ASSERT_EQ(test.Start(), 0);
    std::atomic<bool> done{false};
    std::atomic<uint64> seen{0};
    std::thread reader([&] {
        while (!done) {
            CLU_Table info;
            test.fServer.GetInfo(info);
            seen += test.fServer.GetID() + test.fServer.GetResponderPort() +
                    test.fServer.GetTimeOut() + test.fServer.GetListenerPort() +
                    uint64(info.GetInteger("port"));
        }
    });
    for (int round = 0; round < 3; round++) {
        CL_TCPServer::PowerCallback(CL_POWER_EVENT_RESUME, &test.fServer);
        CLU_Table settings;
        settings.Set("listener_port", (long long)test.fPort);
        settings.Set("ip", std::string("127.0.0.1"));
        settings.Set("timeout", (long long)(1000 + round));
        test.fServer.Setup(settings);
        EXPECT_EQ(test.fServer.Start(), 0);
    }
    done = true;
    reader.join();
    EXPECT_GT(seen.load(), 0u);
    EXPECT_EQ(test.fServer.GetTimeOut(), 1002u);
    CLU_Table info;
    test.fServer.GetInfo(info);
    EXPECT_EQ(info.GetInteger("port"), test.fPort);
}

}  // namespace
