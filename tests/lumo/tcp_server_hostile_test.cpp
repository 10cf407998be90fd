// The server with the hostile peer program (tests/tools/hostile_peer.cpp) at it: every
// kind of peer at once for a few seconds, the program ending by itself with its totals,
// the stalling peers cut off at the server's time-out, and a well-behaved client served
// all along; and its readers of large replies past the cap of unread replies.
#include <gtest/gtest.h>

#include <malloc.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "lumo/net/tcp_server_records.h"
#include "support/address_space_cap.h"
#include "support/child_process.h"
#include "support/private_network.h"
#include "support/raw_client.h"
#include "support/sanitizer.h"
#include "support/wait_for.h"

namespace {

const bool kIsolated = EnterPrivateNetwork();
using Impl = CL_TCPServer::Impl;

// The totals line "hostile_peer MODE: connections=N cut=N ..." as numbers by name.
std::map<std::string, long long> Totals(const std::string& line) {
    std::map<std::string, long long> totals;
    size_t at = line.find(": ");
    while (at != std::string::npos && at < line.size()) {
        size_t start = line.find_first_not_of(": ", at);
        size_t equals = line.find('=', start);
        if (start == std::string::npos || equals == std::string::npos) break;
        size_t end = line.find(' ', equals);
        totals[line.substr(start, equals - start)] =
            atoll(line.substr(equals + 1, end - equals - 1).c_str());
        at = end;
    }
    return totals;
}

TEST(HostilePeers, EveryKindAtOnceWhileAClientIsServed) {
    const uint32 timeOut = 300;
    TestServer test(CL_IPC_COMPRESS, CL_LOG_LEVEL_WARNING, timeOut);
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    std::string program = ToolsDir() + "/hostile_peer";
    ASSERT_EQ(access(program.c_str(), X_OK), 0) << program;

    struct Run {
        std::string fMode;
        std::vector<std::string> fExtra;
        pid_t fPid = -1;
        int fOut = -1;
    };
    std::vector<Run> runs = {
        {"stall", {"--no-auth"}}, {"stall", {}},
        {"stream", {"--rate", "2000000", "--size", "100000000"}},
        {"nonread", {"--rate", "50"}}, {"bomb", {"--size", "8000000"}},
        {"trickle", {}},
    };
    for (Run& run : runs) {
        std::vector<std::string> argv = {program, run.fMode, "--port", std::to_string(test.fPort),
                                         "--count", "3", "--duration", "3", "--timeout-ms",
                                         std::to_string(timeOut)};
        argv.insert(argv.end(), run.fExtra.begin(), run.fExtra.end());
        run.fPid = SpawnWithPipe(argv, &run.fOut);
        ASSERT_GT(run.fPid, 0);
    }
    // Served while they run, and after.
    for (int i = 0; i < 5; i++) {
        CL_Thread::Sleep(300);
        EXPECT_EQ(client.Call(rpc_test::kEcho, CLU_Table().Set("i", i)), CL_PACKET_TYPE_DATA);
    }
    for (Run& run : runs) {
        std::string line = ReadLine(run.fOut, 15);
        close(run.fOut);
        EXPECT_TRUE(ExitedWithZero(WaitChild(run.fPid, 5))) << run.fMode;
        ASSERT_EQ(line.rfind("hostile_peer " + run.fMode + ": ", 0), 0u) << line;
        std::map<std::string, long long> totals = Totals(line);
        EXPECT_GE(totals["connections"], 3) << line;
        // Cut off by the dispatcher alone; a stall after the handshake first waits for
        // a worker, which the other peers keep busy.
        if (run.fMode == "stall" && !run.fExtra.empty()) {
            EXPECT_GE(totals["cut"], 3) << line;
        }
        if (run.fMode == "bomb" || run.fMode == "nonread") {
            EXPECT_GT(totals["requests"], 0) << line;
        }
    }
    EXPECT_EQ(client.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
}

// Three peers ask for 128 MiB replies at once, past a cap of 256 MiB (the request limit
// 1 MiB), the time-out 5 s, beside a peer that reads nothing, cut within about a second
// of the cap being passed; when it asks a receive buffer of 1 MiB (2 MiB given), which
// its socket fills past what shows a peer reading, it goes as a reader idle for 2 s,
// within 2.5 s. Read at 32 MiB/s in bursts, at which they would read what they hold
// within the time-out, all three are whole; at 8 MiB/s, one is cut once the cap has
// been passed for 2 s, and the other two (read at full speed then) are whole.
TEST(HostilePeers, ReadersPastTheCapAreCutOnlyWhenTooSlowForTheTimeOut) {
#if ZELMO_SANITIZER_HEAP
    GTEST_SKIP() << "450 MiB of replies with their payloads: too much for a sanitizer's heap";
#endif
    struct Row {
        uint32 fRate, fBurst;
        int fBuffer;  // the non-reader's receive buffer as it asks it (0: the default)
    };
    for (auto [rate, burst, buffer] : {Row{32u << 20, 32u << 20, 0}, {8u << 20, 0, 0},
                                       {32u << 20, 32u << 20, 1 << 20}}) {
        TestServer test(0, CL_LOG_LEVEL_INFO, 5000, 1 << 20);
        RawClient deaf;
        ASSERT_TRUE(StartAndAuthorise(test, deaf));
        // The kernel doubles what is asked, within twice net.core.rmem_max.
        int fd = deaf.fSocket.GetDescriptor(), got = 0;
        socklen_t length = sizeof(got);
        if (buffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
        getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &got, &length);
        if (got < 2 * buffer) printf("The non-reader's receive buffer is only %d bytes.\n", got);
        deaf.SendData(rpc_test::kPattern, Flat(CLU_Table().Set("bytes", 64 << 20)));
        ASSERT_TRUE(WaitFor([&] { return test.fServer.GetQueuedOutput() > 0; }, 20000));
        int out = -1;
        pid_t pid = SpawnWithPipe(
            {ToolsDir() + "/hostile_peer", "read", "--port", std::to_string(test.fPort), "--count",
             "3", "--reply-bytes", std::to_string(128 << 20), "--rate", std::to_string(rate),
             "--command", std::to_string(rpc_test::kPattern), "--replies", "1",
             "--fast-after-cut", "--duration", "30", "--burst", std::to_string(burst)},
            &out);
        ASSERT_GT(pid, 0);
        std::string cut = "[Dispatcher] [" + std::to_string(deaf.fClientID) + "] Client disconnesso";
        EXPECT_TRUE(WaitFor([&] { return test.fServer.GetQueuedOutput() > (256u << 20); }, 20000));
        uint32 past = CL_GetTime();
        // Gone as an idle reader over the budget before the cap was passed (the readers'
        // replies slow to make on a busy machine), or, seen to read, once the rest may be
        // back within it, it is logged as at silence.
        bool pastCap = !buffer && !test.fLog.HasPrefix(cut);
        if (pastCap) cut += " a causa delle risposte non lette oltre il limite";
        EXPECT_TRUE(WaitFor(
            [&] { return pastCap ? test.fLog.Has(CL_LOG_LEVEL_INFO, cut) : test.fLog.HasPrefix(cut); },
            10000));
        // Measured: 0.2 to 0.4 s; with the large buffer, seen to read at once, 1.8 to 1.9 s.
        EXPECT_LE(CL_GetTime() - past, buffer ? 2500u : 1500u) << "receive buffer " << got;
        std::string line = ReadLine(out, 40);
        close(out);
        EXPECT_TRUE(ExitedWithZero(WaitChild(pid, 5)));
        std::map<std::string, long long> totals = Totals(line);
        EXPECT_EQ(totals["cut"], rate < 32u << 20 ? 1 : 0) << line;
        EXPECT_EQ(totals["whole"], 3 - totals["cut"]) << line;
    }
}

// Twelve peers each send a million empty requests behind a long one of their own: the
// heap grows by no more than the input budget and a peer's allowance (the sanitizers'
// heaps are not counted), the input counted passes its budget by a chunk a client at
// most, and a kept client, which holds none, has a one-chunk request served within a
// second; once the peers have gone, what their requests held goes back to the system,
// also while the kept client has a request queued behind a long one of its own.
TEST(HostilePeers, AMillionEmptyRequestsFromEachOfTwelvePeers) {
    TestServer test(0, CL_LOG_LEVEL_WARNING, 0, 32 << 20);
    RawClient kept, peers[12];
    ASSERT_TRUE(StartAndAuthorise(test, kept));
    // Workers for the peers' long requests and one to spare, at once.
    test.fServer.Lock();
    Impl::Of(test.fServer).fLoad = CL_SERVER_MAX_WORKERS;
    test.fServer.Unlock();
    ASSERT_TRUE(WaitFor([&] { return test.fServer.GetWorkerCount() >= 14; }));
    CL_Blob flood = kept.EmptyRequests(1000000);
    auto heap = [] {
        struct mallinfo2 info = mallinfo2();
        return int64_t(info.uordblks + info.hblkhd);
    };
    const int64_t before = heap(), budget = int64_t(test.fServer.GetInputBudget());
    const long backUnder = ResidentKiB() + budget / 4 / 1024;
    std::vector<std::thread> senders;
    for (RawClient& peer : peers) {
        ASSERT_TRUE(Authorise(test, peer));
        peer.SendData(rpc_test::kSleep, Flat(CLU_Table().Set("ms", 60000)));
        senders.emplace_back([&] { peer.SendRaw(flood.GetDataForRead(), flood.GetSize()); });
    }
    int64_t grown = 0, most = 0;
    auto full = [&] {
        grown = std::max(grown, heap() - before);
        most = std::max(most, int64_t(test.fServer.GetQueuedInput()));
        return most >= budget;
    };
    EXPECT_TRUE(WaitFor(full, 30000));
    uint32 start = CL_GetTime();
    CLU_Table chunk = CLU_Table().Set("text", std::string(CL_IPC_CHUNK_SIZE - 100, 'k'));
    EXPECT_EQ(kept.Call(rpc_test::kRawEcho, chunk), CL_PACKET_TYPE_DATA);
    EXPECT_LT(CL_GetTime() - start, 1000u);
    for (int i = 0; i < 50; i++, CL_Thread::Sleep(20))
        full();
    EXPECT_LT(grown, budget + (64 << 20));
    EXPECT_LE(most, budget + 13 * int64_t(CL_IPC_CHUNK_SIZE + Impl::Incoming().Held()));
    ASSERT_TRUE(kept.Next(CL_PACKET_TYPE_PING,
                          kept.SendData(rpc_test::kSleep, Flat(CLU_Table().Set("ms", 60000)))));
    kept.SendData(rpc_test::kEcho, CL_Blob());
    ASSERT_TRUE(WaitFor([&] {
        CL_AutoLocker lock(Impl::Of(test.fServer).fLock);
        Impl::Client* client = Impl::Of(test.fServer).FindClient(kept.fClientID);
        return client && client->fQueuedBytes > 0;
    }));
    for (RawClient& peer : peers)
        shutdown(peer.fSocket.GetDescriptor(), SHUT_RDWR);
    for (std::thread& sender : senders)
        sender.join();
    for (RawClient& peer : peers)
        peer.fSocket.Close();
    EXPECT_TRUE(ZELMO_SANITIZER_HEAP || WaitFor([&] { return ResidentKiB() < backUnder; }, 10000));
}

// ABORT_ALL over as many empty requests as a client's allowance admits, their answers
// read a packet at a time: each one is answered ABORT, the running one too, and the
// connection stays.
TEST(HostilePeers, AbortAllOverAWholeAllowance) {
    TestServer test(0, CL_LOG_LEVEL_WARNING);
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    client.SendData(rpc_test::kSleep, Flat(CLU_Table().Set("ms", 60000)));
    const uint32 kQueued = uint32(Impl::Client::kMaxQueuedBytes / Impl::Incoming().Held()) - 1;
    CL_Blob flood = client.EmptyRequests(kQueued);
    ASSERT_EQ(client.SendRaw(flood.GetDataForRead(), flood.GetSize()), CL_OK);
    client.Abort(0, true, true);
    // The queued ones in their order (from 4), then the running one (3).
    for (uint32 i = 0; i <= kQueued; i++)
        ASSERT_TRUE(client.Next(CL_PACKET_TYPE_ABORT, i < kQueued ? i + 4 : 3)) << i;
    EXPECT_EQ(client.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
}

TEST(HostilePeers, ProgramExplainsItselfAndRefusesOtherHosts) {
    std::string program = ToolsDir() + "/hostile_peer";
    EXPECT_EQ(RunQuiet({program, "--help"}), 0);
    EXPECT_EQ(RunQuiet({program, "stall", "--port", "1", "--host", "10.1.2.3"}), 2);
    EXPECT_EQ(RunQuiet({program, "stall"}), 2);  // no port
    EXPECT_EQ(RunQuiet({program, "dance", "--port", "1"}), 2);
    EXPECT_EQ(RunQuiet({program, "stall", "--port", "1", "--duration", "0"}), 2);
}

}  // namespace
