// What the server takes from a client, and keeps for it, is bounded: before its AUTH
// is granted a connection may only shake hands; a request over the size limit is
// answered FAILED at its first chunk; a compressed payload is inflated only where
// compression was granted and never past the limit; the input read and not yet taken
// by a worker stays within a budget, and connections not yet let in have one of their
// own; replies a client never reads cut it off, and those of all clients hold requests
// back past their own budget; a peer's thousands of waiting requests get their PINGs
// in bounded batches and cost the other clients nothing.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "lumo/compress.h"
#include "lumo/net/countdown.h"
#include "lumo/net/tcp_server_records.h"
#include "support/private_network.h"
#include "support/raw_client.h"
#include "support/wait_for.h"

namespace {

const bool kIsolated = EnterPrivateNetwork();

std::atomic<int> sExecuted{0};
CL_Status CountingExecute(CL_Command command, CL_Blob& input, CL_Blob& output,
                          CL_ClientContext* context, uint32 id) {
    sExecuted++;
    return rpc_test::Execute(command, input, output, context, id);
}

// The settings TestServer gives, with a request limit.
void LimitRequests(TestServer& test, uint32 limit, uint16 flags = 0, uint32 timeOut = 0) {
    CLU_Table settings;
    settings.Set("listener_port", (long long)test.fPort);
    settings.Set("flags", (long long)flags);
    settings.Set("log_level", (long long)CL_LOG_LEVEL_DEBUG_VERBOSE);
    settings.Set("timeout", (long long)timeOut);
    settings.Set("ip", std::string("127.0.0.1"));
    settings.Set("max_request_size", (long long)limit);
    test.fServer.Setup(settings);
}

// Whether the connection ends within a few seconds, read in large pieces.
bool ReadsToTheEnd(RawClient& client) {
    std::vector<char> buffer(1 << 16);
    uint32 start = CL_GetTime();
    while (CL_GetTime() - start < 10000) {
        if (!client.Readable(100)) continue;
        ssize_t k = recv(client.fSocket.GetDescriptor(), buffer.data(), buffer.size(), 0);
        if (k == 0) return true;
        if (k < 0 && errno != EAGAIN && errno != EINTR) return true;
    }
    return false;
}

CL_Blob Bytes(uint32 size, char fill) {
    CL_Blob blob(size);
    memset(blob.GetDataForWrite(), fill, size);
    blob.Seek(0, CL_SEEK_SET);
    return blob;
}

// The first chunk of a DATA request that announces `size` payload bytes.
CL_Blob FirstChunk(uint32 sequence, uint32 size) {
    CL_PacketHeader header;
    CL_MakeDataRequest(&header, sequence, rpc_test::kRawEcho, 0);
    header.fSize = size;
    CL_Blob wire(&header, sizeof(header), true);
    wire.Seek(0, CL_SEEK_END);
    wire.Append(Bytes(CL_IPC_CHUNK_SIZE, 'a'));
    return wire;
}

TEST(TCPServerLimits, OnlyTheHandshakeBeforeAuth) {
    TestServer test;
    test.fCallbacks.fExecute = CountingExecute;
    ASSERT_EQ(test.Start(), 0);
    sExecuted = 0;
    // The handshake and the cancels pass; a request closes the connection.
    RawClient early;
    ASSERT_TRUE(early.Connect(test.fPort));
    ASSERT_EQ(early.ServerInfo(), 0);
    CL_PacketHeader header;
    CL_MakeAbortAllRequest(&header);
    ASSERT_EQ(early.Send(header, CL_Blob()), 0);
    ASSERT_EQ(early.ServerInfo(), 0);
    early.SendData(rpc_test::kEcho, Flat(CLU_Table()));
    EXPECT_TRUE(early.Closed());

    // An AUTH larger than a handshake needs.
    RawClient bulky;
    ASSERT_TRUE(bulky.Connect(test.fPort));
    CLU_Table table;
    table.Set("padding", std::string(100000, 'p'));
    EXPECT_NE(bulky.Auth(0, table), CL_OK);
    EXPECT_TRUE(bulky.Closed());

    // A request of almost 2 GiB is refused at its first chunk: nothing of it is kept.
    RawClient huge;
    ASSERT_TRUE(huge.Connect(test.fPort));
    CL_Blob first = FirstChunk(1, 0x7FFFFF00u);
    ASSERT_EQ(huge.SendRaw(first.GetDataForRead(), first.GetSize()), 0);
    EXPECT_TRUE(huge.Closed());
    EXPECT_TRUE(WaitFor([&] { return test.fServer.GetQueuedInput() == 0; }));

    EXPECT_TRUE(WaitFor([&] { return test.fLog.Count("Ricevuta una richiesta non valida") == 3; }));
    EXPECT_EQ(sExecuted.load(), 0);
    // The server serves others as ever.
    RawClient good;
    ASSERT_TRUE(Authorise(test, good));
    EXPECT_EQ(good.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
}

// A request over max_request_size is answered FAILED at its first chunk, without its
// handler; the chunks that follow are dropped as they come and the connection goes on.
TEST(TCPServerLimits, RequestOverTheLimitFailsAndTheConnectionStays) {
    TestServer test(CL_IPC_COMPRESS | CL_IPC_AES_CRYPTING);
    LimitRequests(test, 64 << 10, CL_IPC_COMPRESS | CL_IPC_AES_CRYPTING);
    EXPECT_EQ(test.fServer.GetMaxRequestSize(), 64u << 10);
    test.fCallbacks.fExecute = CountingExecute;
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    sExecuted = 0;
    CL_Blob large = Bytes(200000, 'L');
    CL_PacketHeader header;
    uint32 sequence = client.fSequence++;
    CL_MakeDataRequest(&header, sequence, rpc_test::kRawEcho, client.fFlags);
    CL_Blob wire;
    header.fData.fCheckSum = large.CheckSum();
    CL_BuildPacket(header, large, &wire);
    ASSERT_EQ(client.SendRaw(wire.GetDataForRead(), wire.GetSize()), 0);
    CL_Blob reply;
    ASSERT_EQ(client.ReadReply(&header, &reply), 0);
    EXPECT_EQ(header.fSequence, sequence);
    EXPECT_EQ(header.fType, CL_PACKET_TYPE_FAILED);
    EXPECT_EQ(reply.GetSize(), 0u);
    EXPECT_TRUE(test.fLog.Contains("oltre il limite"));
    CLU_Table small;
    small.Set("text", std::string(30000, 's'));
    CLU_Table output;
    EXPECT_EQ(client.Call(rpc_test::kEcho, small, &output), CL_PACKET_TYPE_DATA);
    EXPECT_EQ(output, small);
    EXPECT_EQ(sExecuted.load(), 1);
    // At the limit exactly: served; one byte past it: refused, as sent or as inflated.
    const uint16 granted = client.fFlags;
    for (uint16 flags : {uint16(granted & ~CL_IPC_COMPRESS), granted}) {
        client.fFlags = flags;
        for (uint32 size : {64u << 10, (64u << 10) + 1}) {
            uint32 sequence = client.SendData(rpc_test::kRawEcho, Bytes(size, 'e'));
            uint16 type = size == (64u << 10) ? CL_PACKET_TYPE_DATA : CL_PACKET_TYPE_FAILED;
            ASSERT_TRUE(client.Next(type, sequence)) << flags;
        }
    }
    EXPECT_TRUE(WaitFor([&] { return test.fServer.GetQueuedInput() == 0; }));
}

// Sends `plain` compressed as a DATA request, as a client granted compression would;
// the type of the reply.
int32 CallCompressed(RawClient& client, const CL_Blob& plain) {
    uint32 sequence = client.SendCompressed(rpc_test::kRawEcho, plain);
    CL_PacketHeader header;
    CL_Blob reply;
    if (client.ReadReply(&header, &reply) != CL_OK) return -1;
    EXPECT_EQ(header.fSequence, sequence);
    return header.fType;
}

TEST(TCPServerLimits, CompressedRequestsNeedGrantedCompression) {
    CL_Blob plain = Bytes(50000, 'c');
    for (uint16 flags : {uint16(0), uint16(CL_IPC_COMPRESS)}) {
        TestServer test(flags);
        test.fCallbacks.fExecute = CountingExecute;
        RawClient client;
        ASSERT_TRUE(StartAndAuthorise(test, client));
        sExecuted = 0;
        int32 expected = flags ? CL_PACKET_TYPE_DATA : CL_PACKET_TYPE_FAILED;
        EXPECT_EQ(CallCompressed(client, plain), expected) << flags;
        EXPECT_EQ(sExecuted.load(), flags ? 1 : 0);
    }
}

// A few kilobytes that inflate to far more than the limit stop inflating at it.
TEST(TCPServerLimits, InflatingStopsAtTheLimit) {
    TestServer test(CL_IPC_COMPRESS);
    LimitRequests(test, 1 << 20, CL_IPC_COMPRESS);
    test.fCallbacks.fExecute = CountingExecute;
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    sExecuted = 0;
    CL_Blob bomb = Bytes(16 << 20, 0);
    ASSERT_LT(Compressed(bomb).GetSize(), 64u << 10);
    EXPECT_EQ(CallCompressed(client, bomb), CL_PACKET_TYPE_FAILED);
    EXPECT_EQ(CallCompressed(client, Bytes(1 << 20, 0)), CL_PACKET_TYPE_DATA);
    EXPECT_EQ(CallCompressed(client, Bytes((1 << 20) + 1, 0)), CL_PACKET_TYPE_FAILED);
    EXPECT_EQ(sExecuted.load(), 1);
}

// What the inflations under way may make has a budget of bytes: a compressed payload
// whose reach fits what is left exactly is started; one byte past it, it waits, with
// PINGs and without a worker, while a payload that cannot inflate far and a plain one
// are served; once there is room it is served too.
TEST(TCPServerLimits, InflationsShareABudget) {
    TestServer test(CL_IPC_COMPRESS);
    LimitRequests(test, 2 << 20, CL_IPC_COMPRESS);
    RawClient client, plain;
    ASSERT_TRUE(StartAndAuthorise(test, client, CL_IPC_COMPRESS));
    ASSERT_TRUE(Authorise(test, plain));
    plain.fFlags &= uint16(~CL_IPC_COMPRESS);
    CL_TCPServer::Impl& impl = CL_TCPServer::Impl::Of(test.fServer);
    const uint64 budget = impl.GetInflateBudget();
    ASSERT_EQ(budget, uint64(2) << 20);
    CL_Blob payload = Bytes(200 << 10, 'i');
    CL_TCPServer::Impl::Incoming probe;
    CL_MakeDataRequest(&probe.fHeader, 1, rpc_test::kRawEcho, CL_IPC_COMPRESS);
    // What an n-byte payload may inflate to: zlib makes at most 1032 bytes of each
    // compressed byte; nothing when that cannot pass 64 KiB, at most the request limit.
    for (uint32 n : {1u, 63u, 64u, 200u, 2032u, 2033u, 4096u}) {
        probe.fInput = Bytes(n, 'z');
        uint64 most = uint64(n) * 1032;
        uint64 expected = most <= (64u << 10) ? 0 : std::min<uint64>(most, 2u << 20);
        EXPECT_EQ(impl.InflateReach(probe), expected) << n;
    }
    probe.fInput = Compressed(payload);
    const uint64 reach = impl.InflateReach(probe);
    ASSERT_EQ(reach, uint64(probe.fInput.GetSize()) * 1032);
    ASSERT_GT(reach, CL_TCPServer::Impl::kFreeInflation);
    ASSERT_LT(reach, budget);
    // Inflations under way that no client holds.
    impl.fInflating += budget - reach;
    EXPECT_EQ(CallCompressed(client, payload), CL_PACKET_TYPE_DATA);
    impl.fInflating += 1;
    uint32 held = client.SendCompressed(rpc_test::kRawEcho, payload);
    ASSERT_TRUE(client.Next(CL_PACKET_TYPE_PING, held));
    EXPECT_EQ(CallCompressed(plain, Bytes(30, 's')), CL_PACKET_TYPE_DATA);
    EXPECT_EQ(plain.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
    impl.fInflating -= budget - reach + 1;
    ASSERT_TRUE(client.Next(CL_PACKET_TYPE_DATA, held));
    EXPECT_EQ(impl.fInflating.load(), 0u);
}

// What keeps a client let in from being read, at both sides of each limit: with a
// request of its own waiting, the unread replies of all clients past half their budget,
// or the input past its budget (not a connection not yet let in: it has its own); a first
// request whose payload may inflate past what the inflations under way left. The oldest
// gatherer, read past the input budget, is never a connection not yet let in nor a gather
// stamped after now, which is not overdue either, while one a millisecond past the
// time-out is.
TEST(TCPServerLimits, ReadingStopsAtBothSidesOfItsLimits) {
    TestServer test(CL_IPC_COMPRESS, CL_LOG_LEVEL_WARNING);
    LimitRequests(test, 4 << 20, CL_IPC_COMPRESS);
    RawClient client, other;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    ASSERT_TRUE(Authorise(test, other));
    CL_TCPServer::Impl& impl = CL_TCPServer::Impl::Of(test.fServer);
    const uint64 half = impl.GetOutputBudget() / 2, inflating = impl.GetInflateBudget();
    const uint64 reach = 1 << 20, input = impl.GetInputBudget();
    struct Case {
        uint64 fQueued, fUnread, fReach, fInflating;
        bool fRead;
        uint64 fInput = 0;
        bool fLetIn = true;
    } cases[] = {
        {1, 0, 0, 0, true, input - 1},
        {1, 0, 0, 0, false, input},
        {0, 0, 0, 0, true, input},
        {1, 0, 0, 0, true, input, false},
        {0, half + 1, 0, 0, true},
        {1, half, 0, 0, true},
        {1, half + 1, 0, 0, false},
        {1, 0, reach, inflating - reach, true},
        {1, 0, reach, inflating - reach + 1, false},
        {1, 0, reach, 0, true},
    };
    test.fServer.Lock();
    CL_TCPServer::Impl::Client* record = impl.FindClient(client.fClientID);
    for (const Case& c : cases) {
        impl.fInputBytes = c.fInput;
        record->fAuthorized = c.fLetIn;
        record->fQueuedBytes = c.fQueued;
        record->fHeadReach = c.fReach;
        impl.fOutputBytes = c.fUnread;
        impl.fInflating = c.fInflating;
        EXPECT_EQ(impl.MayRead(record, nullptr, 0), c.fRead) << "case " << &c - cases;
    }
    record->fQueuedBytes = 0;
    record->fHeadReach = 0;
    impl.fOutputBytes = 0;
    impl.fInflating = 0;
    CL_TCPServer::Impl::Client* second = impl.FindClient(other.fClientID);
    const uint32 now = CL_GetTime(), limit = impl.fTimeOut;
    CL_TCPServer::Impl::Incoming older, newer;
    older.fStarted = now - 5000;
    newer.fStarted = now - 10;
    record->fGathers.Set(1, &older);
    second->fGathers.Set(1, &newer);
    record->fAuthorized = false;
    EXPECT_EQ(impl.OldestGatherer(), second);
    record->fAuthorized = true;
    older.fStarted = now + 1000;
    EXPECT_EQ(impl.OldestGatherer(), second);
    for (uint32 stamp : {now - limit - 1, now - limit, now + 1}) {
        older.fLastChunk = stamp;
        EXPECT_EQ(impl.Overdue(record, now), stamp == now - limit - 1 ? CL_TIMEOUT : CL_OK);
    }
    record->fGathers.Remove(1);
    second->fGathers.Remove(1);
    test.fServer.Unlock();
    EXPECT_EQ(client.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
}

// The chunks of a DATA request (or one of `type`) for `payload` from `first` on: `count`
// of them (0: all).
CL_Blob Chunks(uint32 sequence, const CL_Blob& payload, uint32 first, uint32 count,
               CL_PacketType type = CL_PACKET_TYPE_DATA) {
    CL_PacketHeader header;
    CL_MakeDataRequest(&header, sequence, rpc_test::kRawEcho, 0);
    header.fType = uint16(type);
    header.fData.fCheckSum = payload.CheckSum();
    CL_Blob wire;
    uint32 offset = first * CL_IPC_CHUNK_SIZE;
    for (uint32 k = 0; (count == 0 || k < count) && offset < payload.GetSize(); k++)
        offset += CL_AppendChunk(header, payload, offset, &wire);
    return wire;
}

// What one client may gather at once, at both sides of each limit: requests gathered
// side by side (at most 8), and their bytes with the chunk being added (at most the
// request limit); a second first chunk of a request being gathered breaks it.
TEST(TCPServerLimits, GatheringAtBothSidesOfItsLimits) {
    const uint32 kLimit = 10 * CL_IPC_CHUNK_SIZE;
    const uint32 kGathers = CL_TCPServer::Impl::kMaxGathers;
    ASSERT_EQ(kGathers, 8u);
    // Sends the steps, each a (sequence, payload, first chunk, chunk count) or an ABORT
    // (count 0 with no payload); the sequences answered, in order, or empty when the
    // connection was cut.
    struct Step {
        uint32 fSequence;
        uint32 fSize;  // 0: an ABORT of fSequence
        uint32 fFirst, fCount;
    };
    struct Case {
        const char* fName;
        std::vector<Step> fSteps;
        std::vector<uint32> fAnswered;
    };
    std::vector<Case> cases = {
        {"eight side by side", {}, {}},
        {"nine side by side", {}, {}},
        {"bytes at the limit", {{1, kLimit, 0, 9}, {2, CL_IPC_CHUNK_SIZE + 1, 0, 1}, {1, 0, 0, 0},
                                {2, CL_IPC_CHUNK_SIZE + 1, 1, 0}}, {1, 2}},
        {"a byte past it", {{1, kLimit, 0, 9}, {2, CL_IPC_CHUNK_SIZE + 1, 0, 1},
                            {2, CL_IPC_CHUNK_SIZE + 1, 1, 0}}, {}},
        {"first chunk twice", {{1, 20000, 0, 1}, {1, 20000, 0, 1}}, {}},
    };
    for (uint32 n = 1; n <= kGathers + 1; n++) {
        if (n <= kGathers) cases[0].fSteps.push_back({n, CL_IPC_CHUNK_SIZE + 1, 0, 1});
        cases[1].fSteps.push_back({n, CL_IPC_CHUNK_SIZE + 1, 0, 1});
    }
    for (uint32 n = 1; n <= kGathers; n++) {
        cases[0].fSteps.push_back({n, CL_IPC_CHUNK_SIZE + 1, 1, 0});
        cases[0].fAnswered.push_back(n);
    }
    TestServer test(0, CL_LOG_LEVEL_WARNING);
    LimitRequests(test, kLimit);
    ASSERT_EQ(test.Start(), 0);
    for (const Case& c : cases) {
        RawClient client;
        ASSERT_TRUE(Authorise(test, client));
        for (const Step& step : c.fSteps) {
            if (step.fSize == 0) {
                client.Abort(client.fSequence + step.fSequence);
                continue;
            }
            CL_Blob payload = Bytes(step.fSize, char('a' + step.fSequence));
            CL_Blob wire = Chunks(client.fSequence + step.fSequence, payload, step.fFirst, step.fCount);
            ASSERT_EQ(client.SendRaw(wire.GetDataForRead(), wire.GetSize()), 0) << c.fName;
        }
        if (c.fAnswered.empty()) {
            EXPECT_TRUE(client.Closed()) << c.fName;
            continue;
        }
        for (uint32 sequence : c.fAnswered) {
            CL_PacketHeader header;
            CL_Blob reply;
            ASSERT_EQ(client.ReadReply(&header, &reply), 0) << c.fName;
            EXPECT_EQ(header.fSequence, client.fSequence + sequence) << c.fName;
        }
        EXPECT_EQ(client.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA) << c.fName;
    }
}

// Unread replies keep a client's next request from being started, also by the worker
// that serves it already: its own past a few megabytes; those of all clients past the
// budget when it has some of its own, past the cap (twice the budget) when it has none.
// At one byte under each limit the request is served; at the backlog, or one byte past
// the budget or the cap, it waits, with PINGs, until the replies are read. (The counts
// are set by hand: what the kernel takes of real replies is not the test's to choose,
// and bytes that no client holds cut nobody off.)
TEST(TCPServerLimits, OwnUnreadRepliesAtBothSidesOfTheBacklog) {
    TestServer test(0, CL_LOG_LEVEL_DEBUG_VERBOSE);
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    CL_TCPServer::Impl& impl = CL_TCPServer::Impl::Of(test.fServer);
    auto unread = [&](uint64 own, uint64 all) {
        test.fServer.Lock();
        impl.FindClient(client.fClientID)->fBacklog = own;
        test.fServer.Unlock();
        impl.fOutputBytes = all;
    };
    const uint64 kBacklog = CL_TCPServer::Impl::kMaxBacklog;
    const uint64 kBudget = test.fServer.GetOutputBudget(), kCap = impl.GetOutputCap();
    ASSERT_EQ(kCap, 2 * kBudget);
    struct Case {
        uint64 fOwn, fAll;
        bool fHeld;
    } cases[] = {
        {kBacklog - 1, 0, false}, {kBacklog, 0, true}, {1, kBudget, false}, {1, kBudget + 1, true},
        {0, kBudget + 1, false},  {0, kCap, false},    {0, kCap + 1, true},
    };
    for (const Case& c : cases) {
        // The next request waits behind a running one, while the counts are set. The
        // running one is under way first (the counts would hold it back too), and ends
        // only then, cancelled in its record: a client held back is not read.
        test.fLog.Clear();
        uint32 running = client.SendData(rpc_test::kSleep, Flat(CLU_Table().Set("ms", 60000)));
        uint32 next = client.SendData(rpc_test::kEcho, Flat(CLU_Table()));
        ASSERT_TRUE(WaitFor([&] {
            return test.fLog.Count("dati in arrivo") == 2 && test.fLog.Contains("(comando 0004)");
        })) << "the first request under way, the second queued";
        unread(c.fOwn, c.fAll);
        test.fServer.Lock();
        impl.FindClient(client.fClientID)->fContext->SetAborted(running, true);
        test.fServer.Unlock();
        ASSERT_TRUE(client.Next(CL_PACKET_TYPE_ABORT, running));
        if (c.fHeld) {
            ASSERT_TRUE(client.Next(CL_PACKET_TYPE_PING, next)) << c.fOwn << " " << c.fAll;
            unread(0, 0);
        }
        ASSERT_TRUE(client.Next(CL_PACKET_TYPE_DATA, next)) << c.fOwn << " " << c.fAll;
        unread(0, 0);
    }
}

// Runs until the gate opens (or 20 s pass), then answers with a few bytes.
std::atomic<bool> sGateOpen{false};
CL_Status GatedExecute(CL_Command command, CL_Blob& input, CL_Blob& output,
                       CL_ClientContext* context, uint32 id) {
    if (command == rpc_test::kSleep) {
        for (int i = 0; i < 2000 && !sGateOpen; i++)
            CL_Thread::Sleep(10);
    }
    output.Clear();
    output += int32(input.GetSize());
    (void)context, (void)id;
    return CL_OK;
}

// Counts the AUTHs it judges, and lets each in once the gate opens (or 20 s pass).
std::atomic<uint32> sHeldAuths{0};
CL_Status GatedConnect(CL_ClientContext*, void*) {
    sHeldAuths++;
    for (int i = 0; i < 2000 && !sGateOpen; i++)
        CL_Thread::Sleep(10);
    return CL_OK;
}

// Holds every worker of `test` in GatedExecute's sleep, each for a client of its own.
::testing::AssertionResult HoldWorkers(TestServer& test,
                                       std::vector<std::unique_ptr<RawClient>>* held) {
    for (uint32 i = 0; i < CL_SERVER_MIN_WORKERS; i++) {
        held->emplace_back(new RawClient());
        ::testing::AssertionResult authorised = Authorise(test, *held->back());
        if (!authorised) return authorised;
    }
    for (auto& client : *held)
        client->SendData(rpc_test::kSleep, CL_Blob());
    return ::testing::AssertionSuccess();
}

// With every worker held up, clients that keep sending fill the server only up to its
// input budget (and one request more, the oldest one being gathered, which always may
// go on); TCP holds the rest back. Once the workers are free every request is answered.
TEST(TCPServerLimits, QueuedInputStaysWithinItsBudget) {
    TestServer test(0, CL_LOG_LEVEL_WARNING);
    const uint32 kLimit = 256 << 10;
    LimitRequests(test, kLimit);
    test.fServer.SetLogLevel(CL_LOG_LEVEL_WARNING);
    test.fCallbacks.fExecute = GatedExecute;
    sGateOpen = false;
    ASSERT_EQ(test.Start(), 0);
    uint64 budget = test.fServer.GetInputBudget();
    ASSERT_EQ(budget, uint64(1) << 20);
    const int kSenders = 4, kRequests = 8;
    std::vector<std::unique_ptr<RawClient>> senders, held;
    for (int i = 0; i < kSenders; i++) {
        senders.emplace_back(new RawClient());
        ASSERT_TRUE(Authorise(test, *senders.back()));
    }
    ASSERT_TRUE(HoldWorkers(test, &held));
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kSenders; i++)
        threads.emplace_back([&, i] {
            RawClient& client = *senders[i];
            for (int r = 0; r < kRequests; r++)
                client.SendData(rpc_test::kRawEcho, Bytes(200000, char('a' + r)));
            for (int r = 0; r < kRequests; r++) {
                CL_PacketHeader header;
                CL_Blob reply;
                if (client.ReadReply(&header, &reply, nullptr, 30000) != CL_OK) return;
                if (header.fType == CL_PACKET_TYPE_DATA) answered++;
            }
        });
    uint64 most = 0;
    for (int i = 0; i < 150; i++) {
        most = std::max(most, test.fServer.GetQueuedInput());
        CL_Thread::Sleep(10);
    }
    EXPECT_GE(most, budget / 2);
    // One read of each client in a pass, taken apart once all are read.
    const uint64 kSlack = kSenders * (CL_IPC_CHUNK_SIZE + 32);
    EXPECT_LE(most, budget + kLimit + kSlack);
    sGateOpen = true;
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(answered.load(), kSenders * kRequests);
    EXPECT_TRUE(WaitFor([&] { return test.fServer.GetQueuedInput() == 0; }));
}

// A client the server stops reading from, because its input is over budget, is not
// cut off for the chunks the server does not take: it is served once workers are free.
// Its clock waits only while it has sent what the server leaves unread: held back by
// its own unread replies, it still times out on part of a chunk it then stalls on.
TEST(TCPServerLimits, ClientsHeldBackByTheServerDoNotTimeOut) {
    TestServer test(0, CL_LOG_LEVEL_WARNING, 300);
    const uint32 kLimit = 256 << 10;
    LimitRequests(test, kLimit, 0, 300);
    test.fServer.SetLogLevel(CL_LOG_LEVEL_INFO);
    test.fCallbacks.fExecute = GatedExecute;
    sGateOpen = false;
    ASSERT_EQ(test.Start(), 0);
    RawClient sender;
    ASSERT_TRUE(Authorise(test, sender));
    std::vector<std::unique_ptr<RawClient>> held;
    ASSERT_TRUE(HoldWorkers(test, &held));
    const int kRequests = 8;
    std::thread send([&] {
        for (int r = 0; r < kRequests; r++)
            sender.SendData(rpc_test::kRawEcho, Bytes(200000, char('a' + r)));
    });
    ASSERT_TRUE(
        WaitFor([&] { return test.fServer.GetQueuedInput() >= test.fServer.GetInputBudget(); }));
    // Several time-outs long, the server reads nothing more of the sender.
    CL_Thread::Sleep(1000);
    EXPECT_FALSE(test.fLog.Contains("tempo scaduto"));
    sGateOpen = true;
    send.join();
    int answered = 0;
    for (int r = 0; r < kRequests; r++) {
        CL_PacketHeader header;
        CL_Blob reply;
        if (sender.ReadReply(&header, &reply, nullptr, 10000) != CL_OK) break;
        if (header.fType == CL_PACKET_TYPE_DATA) answered++;
    }
    EXPECT_EQ(answered, kRequests);
    CL_Blob first = FirstChunk(sender.fSequence++, 2 * CL_IPC_CHUNK_SIZE);
    ASSERT_EQ(sender.SendRaw(first.GetDataForRead(), 100), 0);
    CL_TCPServer::Impl& impl = CL_TCPServer::Impl::Of(test.fServer);
    ASSERT_TRUE(WaitFor([&] {
        CL_AutoLocker lock(impl.fLock);
        CL_TCPServer::Impl::Client* record = impl.FindClient(sender.fClientID);
        return record->fPartial && (record->fBacklog = CL_TCPServer::Impl::kMaxBacklog);
    }));
    EXPECT_TRUE(sender.Closed(5000));
}

// Connections not yet let in that gather AUTH requests and then send nothing have a
// budget of their own: the gathers past it are refused, the newest, their connections
// closed; the reading of clients let in goes on, so that a kept client and a fresh one
// are served at once although the gatherers alone would fill the input budget, and so
// is a newcomer with large options, for whom the largest gatherers make room if they can. The
// gatherers are cut once silent for the time-out, however little the server reads.
TEST(TCPServerLimits, UnauthorisedGatherersHaveABudgetOfTheirOwn) {
    const uint32 kTimeOut = 8000;
    TestServer test(0, CL_LOG_LEVEL_WARNING, kTimeOut);
    LimitRequests(test, 1 << 20, 0, kTimeOut);
    test.fServer.SetLogLevel(CL_LOG_LEVEL_WARNING);
    test.fCallbacks.fConnect = GatedConnect;
    sGateOpen = true;
    RawClient kept;
    ASSERT_TRUE(StartAndAuthorise(test, kept));
    CL_TCPServer::Impl& impl = CL_TCPServer::Impl::Of(test.fServer);
    const uint64 budget = CL_TCPServer::Impl::kHandshakeBudget;
    const uint32 kAuth = CL_SERVER_MAX_HANDSHAKE_REQUEST, kGathers = CL_TCPServer::Impl::kMaxGathers;
    // Each gather 7 of its 9 chunks; connections that would fill the budget exactly.
    const uint32 kEach = kGathers * kAuth, kFilling = uint32(budget / kEach), kSlow = 12000;
    ASSERT_EQ(uint64(kFilling) * kGathers * kAuth, budget);
    ASSERT_GT(uint64(kFilling) * kGathers * 7 * CL_IPC_CHUNK_SIZE, 2 * test.fServer.GetInputBudget());
    CL_Blob payload = Bytes(kAuth, 'g'), wire;
    for (uint32 g = 1; g <= kGathers; g++)
        wire.Append(Chunks(g, payload, 0, 7, CL_PACKET_TYPE_AUTH));
    std::vector<std::unique_ptr<RawClient>> peers;
    std::atomic<bool> done{false};
    std::atomic<uint64> most{0};
    std::thread watch([&] {
        while (!done) {
            most = std::max<uint64>(most, impl.fHandshakeBytes);
            CL_Thread::Sleep(1);
        }
    });
    auto send = [](RawClient& c, const CL_Blob& w) { c.SendRaw(w.GetDataForRead(), w.GetSize()); };
    // A slow client's first chunk of AUTH: closing it cannot make room for a 64 KiB one
    // beside bytes added for whole requests, and it leaves none for the last peer's last gather.
    // Nor is room made by closing a connection whose 64 KiB gather goes beside an AUTH a
    // worker serves (every worker is held in the connect callback) or one waiting whole.
    RawClient slow;
    ASSERT_TRUE(slow.Connect(test.fPort));
    send(slow, Chunks(1, Bytes(kSlow, 's'), 0, 1, CL_PACKET_TYPE_AUTH));
    ASSERT_TRUE(WaitFor([&] { return impl.fHandshakeBytes == kSlow; }));
    sHeldAuths = 0;
    sGateOpen = false;
    const CL_Blob gather(wire.GetDataForRead(), sizeof(CL_PacketHeader) + CL_IPC_CHUNK_SIZE);
    const uint32 workers = test.fServer.GetWorkerCount(), whole = Flat(CLU_Table()).GetSize();
    CL_Blob served = Chunks(9, Flat(CLU_Table()), 0, 0, CL_PACKET_TYPE_AUTH);
    served.Append(gather);
    std::vector<std::unique_ptr<RawClient>> held;
    auto hold = [&](const CL_Blob& w) {
        held.emplace_back(new RawClient());
        if (!held.back()->Connect(test.fPort)) return false;
        send(*held.back(), w);
        return true;
    };
    for (uint32 i = 0; i <= workers; i++)
        ASSERT_TRUE(hold(served));
    ASSERT_TRUE(WaitFor([&] {
        return sHeldAuths == workers &&
               impl.fHandshakeBytes == kSlow + (workers + 1) * kAuth + whole;
    }));
    const uint64 topUp = budget - impl.fHandshakeBytes;
    impl.fHandshakeBytes += topUp;
    ASSERT_TRUE(hold(gather));
    EXPECT_TRUE(held.back()->Closed());
    // A 64 KiB AUTH's first chunk makes room for a newcomer's 12,000 bytes, not the slow
    // client, which holds as many bytes and has waited longer; what it held leaves the
    // count at once, while no worker is free to delete its record.
    impl.fHandshakeBytes -= topUp;
    ASSERT_TRUE(hold(gather));
    RawClient& attacker = *held.back();
    ASSERT_TRUE(WaitFor([&] { return impl.fHandshakeBytes == budget - topUp + kAuth; }));
    impl.fHandshakeBytes += topUp - kAuth;
    ASSERT_TRUE(hold(Chunks(1, Bytes(kSlow, 'n'), 0, 1, CL_PACKET_TYPE_AUTH)));
    EXPECT_TRUE(attacker.Closed());
    EXPECT_TRUE(WaitFor([&] { return impl.fHandshakeBytes == budget - kAuth + kSlow; }));
    EXPECT_EQ(test.fLog.Count("per far posto"), 1);
    impl.fHandshakeBytes -= topUp - kAuth;
    sGateOpen = true;
    held.clear();
    ASSERT_TRUE(WaitFor([&] { return impl.fHandshakeBytes == kSlow; }));
    for (uint32 i = 0; i < kFilling; i++) {
        peers.emplace_back(new RawClient());
        ASSERT_TRUE(peers.back()->Connect(test.fPort));
        peers.back()->SendRaw(wire.GetDataForRead(), wire.GetSize());
        if (i + 1 == kFilling)
            EXPECT_TRUE(peers.back()->Closed()) << i;
        else
            ASSERT_TRUE(WaitFor([&] { return impl.fHandshakeBytes == kSlow + (i + 1) * kEach; }));
    }
    ASSERT_TRUE(WaitFor([&] { return impl.fHandshakeBytes == kSlow + budget - kEach; }));
    EXPECT_EQ(test.fLog.Count("dei client non autorizzati"), 2);
    uint32 start = CL_GetTime();
    EXPECT_EQ(kept.Call(rpc_test::kEcho, CLU_Table().Set("kept", 1)), CL_PACKET_TYPE_DATA);
    EXPECT_LT(CL_GetTime() - start, 1000u);
    start = CL_GetTime();
    RawClient fresh;
    ASSERT_TRUE(Authorise(test, fresh));
    EXPECT_EQ(fresh.Call(rpc_test::kEcho, CLU_Table().Set("fresh", 1)), CL_PACKET_TYPE_DATA);
    EXPECT_LT(CL_GetTime() - start, 1000u);
    // A newcomer's AUTH closes the first peer only: not the slow client, which has waited
    // longest, nor the kept client, whose gather is the largest.
    CL_Blob large = Bytes(600000, 'k');
    send(kept, Chunks(kept.fSequence, large, 0, 1));
    impl.fHandshakeBytes += kEach - kSlow;
    EXPECT_EQ(impl.fHandshakeBytes.load(), budget);
    RawClient newcomer;
    EXPECT_TRUE(Authorise(test, newcomer, 0, CLU_Table().Set("note", std::string(12000, 'n'))));
    EXPECT_TRUE(peers[0]->Closed());
    EXPECT_EQ(test.fLog.Count("per far posto"), 2);
    send(kept, Chunks(kept.fSequence, large, 1, 0));
    EXPECT_TRUE(kept.Next(CL_PACKET_TYPE_DATA, kept.fSequence++));
    impl.fHandshakeBytes -= kEach - kSlow;
    EXPECT_TRUE(WaitFor([&] { return impl.fHandshakeBytes == 0; }, kTimeOut + 10000));
    done = true;
    watch.join();
    // And a step of the fresh client's handshake, which always goes: one chunk at most.
    EXPECT_LE(most.load(), budget + CL_IPC_CHUNK_SIZE);
    for (auto& peer : peers)
        EXPECT_TRUE(peer->Closed(1000));
    EXPECT_EQ(kept.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
}

// A connection that reads what comes only as `ReadSome` lets it.
struct SlowReader : RawClient {
    // Up to `max` bytes that have come, appended to `into`; false once the connection ended.
    bool ReadSome(std::vector<uint8>* into, size_t max) {
        if (!Readable(100)) return true;
        size_t at = into->size();
        into->resize(at + max);
        ssize_t k = recv(fSocket.GetDescriptor(), into->data() + at, max, 0);
        into->resize(at + (k > 0 ? size_t(k) : 0));
        return k > 0 || (k < 0 && (errno == EAGAIN || errno == EINTR));
    }
};

// Large replies for a client that never reads them: they wait in the server, which
// cuts the client off once a chunk of them has not gone out for the time-out, and
// frees them.
TEST(TCPServerLimits, UnreadRepliesTimeOut) {
    TestServer test(0, CL_LOG_LEVEL_DEBUG, 500);
    RawClient deaf;
    ASSERT_TRUE(StartAndAuthorise(test, deaf));
    deaf.SendData(rpc_test::kRawEcho, Bytes(16 << 20, 'd'));
    ASSERT_TRUE(WaitFor([&] { return test.fServer.GetQueuedOutput() > 0; }, 10000));
    RawClient other;
    ASSERT_TRUE(Authorise(test, other));
    EXPECT_EQ(other.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
    char line[128];
    snprintf(line, sizeof(line),
             "[Dispatcher] [%d] Client disconnesso a causa di tempo scaduto sulla connessione",
             int(deaf.fClientID));
    EXPECT_TRUE(WaitFor([&] { return test.fLog.Has(CL_LOG_LEVEL_INFO, line); }, 10000));
    EXPECT_TRUE(WaitFor([&] { return test.fServer.GetQueuedOutput() == 0; }));
    // What the kernel already held still comes, then the end.
    EXPECT_TRUE(ReadsToTheEnd(deaf));
}

// A peer that reads its reply at `rate` bytes a second through a receive buffer set
// before it connects, small enough that its socket takes bytes from the server every
// time it has read a little.
struct PacedReader {
    explicit PacedReader(uint32 rate) : fRate(rate) {}
    ~PacedReader() {
        if (fFD >= 0) close(fFD);
    }
    // Connects, shakes hands and asks for a reply of `bytes`; false when that fails.
    bool Start(uint16 port, int receiveBuffer, uint32 bytes) {
        fFD = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        setsockopt(fFD, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
        // The handshake's reads wait 10 s at most.
        timeval limit = {10, 0};
        setsockopt(fFD, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fFD, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) return false;
        CL_PacketHeader header;
        CL_MakeServerInfoRequest(&header, 1);
        if (!Exchange(header, CL_Blob(), &header)) return false;
        CL_MakeAuthRequest(&header, 2, 0);
        if (!Exchange(header, Flat(CLU_Table()), &header) || header.fType != CL_PACKET_TYPE_AUTH)
            return false;
        fClientID = header.fConnection.fID;
        CL_MakeDataRequest(&header, 3, rpc_test::kPattern, 0);
        CL_Blob input = Flat(CLU_Table().Set("bytes", (long long)bytes));
        CL_Cipher plain;
        CL_EncodePayload(&header, input, 0, &plain, false);
        fStart = CL_GetTime();
        return Send(header, input);
    }
    // Reads what its pace allows by now, without waiting.
    void ReadDue() {
        uint64 due = uint64(fRate) * (CL_GetTime() - fStart) / 1000;
        char buffer[1 << 16];
        while (!fEnded && fRead < due) {
            ssize_t k =
                recv(fFD, buffer, std::min<uint64>(due - fRead, sizeof(buffer)), MSG_DONTWAIT);
            if (k > 0) fRead += uint64(k);
            if (k == 0 || (k < 0 && errno != EAGAIN && errno != EINTR)) fEnded = true;
            if (k <= 0) break;
        }
    }

    const uint32 fRate;
    int fFD = -1;
    uint32 fClientID = 0;
    uint32 fStart = 0;
    uint64 fRead = 0;
    bool fEnded = false;

private:
    bool Send(const CL_PacketHeader& header, const CL_Blob& payload) {
        CL_Blob wire;
        CL_BuildPacket(header, payload, &wire);
        return send(fFD, wire.GetDataForRead(), wire.GetSize(), MSG_NOSIGNAL) ==
               ssize_t(wire.GetSize());
    }
    // Sends a handshake request and reads its one-chunk reply, past PINGs for 10 s.
    bool Exchange(const CL_PacketHeader& request, const CL_Blob& payload, CL_PacketHeader* reply) {
        if (!Send(request, payload)) return false;
        uint32 start = CL_GetTime();
        do {
            if (CL_GetTime() - start > 10000) return false;
            if (recv(fFD, reply, sizeof(*reply), MSG_WAITALL) != ssize_t(sizeof(*reply)))
                return false;
            std::vector<char> bytes(CL_ChunkPayloadSize(*reply) + 1);
            ssize_t size = ssize_t(bytes.size() - 1);
            if (size > 0 && recv(fFD, bytes.data(), size_t(size), MSG_WAITALL) != size)
                return false;
        } while (reply->fType == CL_PACKET_TYPE_PING);
        return true;
    }
};

// Over a 1 MiB budget, peers that read 16 MiB replies slowly but steadily keep them:
// any byte their sockets take counts, whether or not the server was told the socket
// was ready. A peer that reads nothing beside them is cut off within a few seconds.
TEST(TCPServerLimits, SlowReadersKeepTheirRepliesOverTheBudget) {
    TestServer test(0, CL_LOG_LEVEL_INFO);
    LimitRequests(test, 1 << 20);
    test.fServer.SetLogLevel(CL_LOG_LEVEL_INFO);
    ASSERT_EQ(test.Start(), 0);
    ASSERT_EQ(test.fServer.GetOutputBudget(), uint64(1) << 20);
    const uint32 kReply = 16 << 20;
    // Receive buffers of an eighth of a second's reading: measured on loopback, their
    // sockets took bytes every 0.2 to 0.5 s.
    std::vector<std::unique_ptr<PacedReader>> readers;
    for (uint32 rate : {2u << 10, 16u << 10, 128u << 10}) {
        readers.emplace_back(new PacedReader(rate));
        ASSERT_TRUE(readers.back()->Start(test.fPort, int(std::max(512u, rate / 8)), kReply));
    }
    RawClient deaf;
    ASSERT_TRUE(Authorise(test, deaf));
    uint32 start = CL_GetTime(), waits = 0, cutAfter = 0;
    deaf.SendData(rpc_test::kPattern, Flat(CLU_Table().Set("bytes", kReply)));
    auto cutLine = [](uint32 id) {
        return "[Dispatcher] [" + std::to_string(id) +
               "] Client disconnesso a causa di tempo scaduto sulla connessione";
    };
    // The non-reader's time is counted from when its reply waits: making it takes long
    // under the sanitizers.
    CL_TCPServer::Impl& impl = CL_TCPServer::Impl::Of(test.fServer);
    while (CL_GetTime() - start < 10000) {
        for (auto& reader : readers)
            reader->ReadDue();
        if (!waits) {
            test.fServer.Lock();
            CL_TCPServer::Impl::Client* record = impl.FindClient(deaf.fClientID);
            if (record && record->fBacklog > 0) {
                waits = CL_GetTime();
                // A clock read before its reply began to wait (`start`) does not cut it at once.
                CL_TCPServer::Impl::DispatcherState state(start - 1);
                impl.DropStuckOutputs(start - 1, &state);
                EXPECT_EQ(impl.FindClient(deaf.fClientID), record);
            }
            test.fServer.Unlock();
        }
        if (waits && !cutAfter && test.fLog.Has(CL_LOG_LEVEL_INFO, cutLine(deaf.fClientID)))
            cutAfter = CL_GetTime() - waits;
        CL_Thread::Sleep(20);
    }
    // Measured: 2.1 s.
    EXPECT_GT(cutAfter, 0u);
    EXPECT_LE(cutAfter, 5000u);
    for (auto& reader : readers) {
        EXPECT_FALSE(reader->fEnded) << reader->fRate;
        EXPECT_FALSE(test.fLog.Has(CL_LOG_LEVEL_INFO, cutLine(reader->fClientID))) << reader->fRate;
        // Still reading, at its pace or not far behind.
        EXPECT_GE(reader->fRead, uint64(reader->fRate) * 5) << reader->fRate;
    }
    RecordProperty("non_reader_cut_ms", int(cutAfter));
}

// A sink that takes at most fTake bytes a write and keeps them, with fUnsent of them
// not yet passed on.
struct TakingSink : CL_TCPServer::Impl::Sink {
    CL_Status Write(const uint8* data, uint32 size, uint32* sent) override {
        *sent = std::min(size, fTake);
        fBytes.insert(fBytes.end(), data, data + *sent);
        return CL_OK;
    }
    uint32 Unsent() override { return fUnsent; }
    uint32 fTake = 0;
    uint32 fUnsent = 0;
    std::vector<uint8> fBytes;
};

CL_Blob Wire(const CL_Blob& payload, uint32 sequence) {
    CL_PacketHeader header;
    CL_MakeDataRequest(&header, sequence, rpc_test::kRawEcho, 0);
    CL_Blob wire;
    CL_BuildPacket(header, payload, &wire);
    return wire;
}

// A client's output: what the socket does not take at once waits, and goes out later
// once, in order, whatever the sizes of the writes; its time-out's clock is the waiting
// chunk's, which moves only when a chunk has gone out, while any byte taken, or the
// socket's unsent count falling at a look, counts as moving; a clock read before the
// stamps finds it neither; the counts follow the bytes held: a packet whole until it
// has gone out, one dropped until it is freed.
TEST(TCPServerOutput, WritesInPartsAndTimesChunks) {
    std::atomic<uint64> total{0}, live{0}, mine{0};
    auto output = std::make_unique<CL_TCPServer::Impl::Output>(&total, &live, &mine);
    TakingSink sink;
    CL_Blob first = Wire(Bytes(20000, 'f'), 1);  // chunks of 8192, 8192 and 3712 bytes
    CL_Blob second = Wire(CL_Blob(), 2);
    bool queued = false;
    sink.fTake = 5000;
    sink.fUnsent = 4000;
    ASSERT_EQ(output->Send(sink, first, 100, &queued), CL_OK);
    EXPECT_TRUE(queued);
    EXPECT_EQ(output->GetSince(), 100u);
    EXPECT_EQ(output->GetMoved(), 100u);
    // A worker posts without the server lock: its stamp may be later than the clock.
    EXPECT_EQ(CL_Elapsed(2, 0xFFFFFFFFu), 3u);
    EXPECT_EQ(output->IdleFor(99), 0u);
    EXPECT_FALSE(output->IsOverdue(99, 0));
    EXPECT_TRUE(output->IsOverdue(101, 0));
    EXPECT_EQ(total.load(), first.GetSize());
    EXPECT_EQ(live.load(), total.load());
    EXPECT_EQ(mine.load(), total.load());
    ASSERT_EQ(output->Send(sink, second, 150, &queued), CL_OK);
    EXPECT_TRUE(queued);
    EXPECT_EQ(sink.fBytes.size(), 5000u);  // nothing passes what waits
    EXPECT_EQ(total.load(), first.GetSize() + second.GetSize());
    sink.fTake = 3000;                      // 8000: the first chunk not yet out
    ASSERT_EQ(output->WriteQueued(sink, 200), CL_OK);
    EXPECT_EQ(output->GetSince(), 100u);
    EXPECT_EQ(output->GetMoved(), 200u);
    // Looks at the socket: it took nothing, then its unsent count fell by a byte.
    sink.fTake = 0;
    ASSERT_EQ(output->Probe(sink, 250), CL_OK);
    EXPECT_EQ(output->GetMoved(), 200u);
    sink.fUnsent = 3999;
    ASSERT_EQ(output->Probe(sink, 260), CL_OK);
    EXPECT_EQ(output->GetMoved(), 260u);
    EXPECT_EQ(output->GetSince(), 100u);
    sink.fTake = 200;                       // 8200: out, the second began
    ASSERT_EQ(output->Probe(sink, 300), CL_OK);
    EXPECT_EQ(output->GetSince(), 300u);
    EXPECT_EQ(output->GetMoved(), 300u);
    EXPECT_EQ(total.load(), first.GetSize() + second.GetSize());
    // Its peer reads once bytes go after a look found none going for 300 ms, not after
    // one at 299 ms.
    sink.fTake = 0;
    ASSERT_EQ(output->Probe(sink, 350), CL_OK);
    ASSERT_EQ(output->Probe(sink, 599), CL_OK);
    sink.fUnsent = 3998;
    ASSERT_EQ(output->Probe(sink, 600), CL_OK);
    EXPECT_FALSE(output->PeerReads());
    ASSERT_EQ(output->Probe(sink, 900), CL_OK);
    sink.fUnsent = 3997;
    ASSERT_EQ(output->Probe(sink, 910), CL_OK);
    EXPECT_TRUE(output->PeerReads());
    sink.fTake = 1u << 20;
    ASSERT_EQ(output->WriteQueued(sink, 950), CL_OK);
    EXPECT_TRUE(output->IsEmpty());
    EXPECT_EQ(total.load(), 0u);
    EXPECT_EQ(mine.load(), 0u);
    std::vector<uint8> expected = Bytes(first), tail = Bytes(second);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_TRUE(sink.fBytes == expected);
    // Its pace: what the peer took (written less unsent) between looks 2 s apart or more,
    // 100 KiB each 100 ms here, of every write; past 1 MiB since the first, its peer reads.
    CL_Blob large = Wire(Bytes(4 << 20, 'l'), 3);
    sink.fTake = sink.fUnsent = 100 << 10;
    ASSERT_EQ(output->Send(sink, large, 1000, &queued), CL_OK);
    sink.fUnsent = 0;
    uint64 pace = 0;
    for (uint32 now = 1100; now <= 3000; now += 100) {
        EXPECT_FALSE(output->GetPace(&pace)) << now;
        ASSERT_EQ(output->Probe(sink, now), CL_OK);
        EXPECT_EQ(output->PeerReads(), now >= 2100) << now;
    }
    ASSERT_TRUE(output->GetPace(&pace));
    EXPECT_EQ(pace, 1000u << 10);
    // A later wait counts its 1 MiB from its own first write, not from the first ever.
    sink.fTake = 8 << 20;
    ASSERT_EQ(output->WriteQueued(sink, 3100), CL_OK);
    sink.fTake = sink.fUnsent = 100 << 10;
    ASSERT_EQ(output->Send(sink, large, 3200, &queued), CL_OK);
    EXPECT_FALSE(output->PeerReads());
    // What waits when the client goes stays counted, not live, until it is freed.
    EXPECT_EQ(total.load(), large.GetSize());
    output->Drop();
    EXPECT_EQ(total.load(), large.GetSize());
    EXPECT_EQ(live.load(), 0u);
    EXPECT_EQ(mine.load(), 0u);
    output.reset();
    EXPECT_EQ(total.load(), 0u);
    EXPECT_EQ(live.load(), 0u);
}

// Which clients the rules cut off, at both sides of each limit: over the budget those
// whose replies took no bytes for 2 s, past the cap those unseen to read for 500 ms,
// the largest first; once the cap has been passed for a while, those whose pace would
// not read what they hold within the time-out, the slowest to finish first, never one
// without a pace; each only as far as brings the rest back within the limit. Those cut
// while the rest was past the cap are told apart, for their log line.
TEST(TCPServerOutput, CutsTheLargestIdleOnlyAsFarAsNeeded) {
    const uint64 M = 1 << 20, kBudget = 10 * M, kCap = 20 * M;
    const uint32 kTimeOut = 5000;
    struct Output {
        uint64 fBytes;
        uint32 fIdle;  // ms
        uint64 fPace = CL_TCPServer::Impl::PendingOutput::kNoPace;
        bool fPeerReads = false;
    };
    struct Case {
        const char* fName;
        uint64 fLive;
        bool fCapOverdue;
        std::vector<Output> fOutputs;
        std::set<uint64> fCut;
        std::set<uint64> fPastCap = {};
    };
    const std::vector<Case> cases = {
        {"within the budget", kBudget, false, {{6 * M, 9000}, {4 * M, 9000}}, {}},
        {"a byte over it", kBudget + 1, false, {{3 * M, 5000}, {6 * M, 5000}, {M, 5000}}, {6 * M}},
        {"idle just under 2 s", kBudget + 1, false, {{6 * M, 1999}}, {}},
        {"idle 2 s", kBudget + 1, false, {{6 * M, 2000}}, {6 * M}},
        {"largest first, only enough",
         kBudget + 5 * M,
         false,
         {{2 * M, 2000}, {4 * M, 3000}, {3 * M, 9000}, {M, 2500}},
         {4 * M, 3 * M}},
        {"readers stay", kBudget + 5 * M, false, {{8 * M, 100}, {2 * M, 2000}}, {2 * M}},
        {"at the cap", kCap, false, {{12 * M, 1000}, {8 * M, 1000}}, {}},
        {"past it, idle 499 ms", kCap + 1, false, {{12 * M, 499}, {8 * M, 499}}, {}},
        {"past it, idle 500 ms", kCap + 1, false, {{12 * M, 500}, {8 * M, 500}}, {12 * M},
         {12 * M}},
        {"past it, then over the budget",
         kCap + 1,
         false,
         {{8 * M, 600}, {6 * M, 100}, {4 * M, 3000}, {2 * M, 2000}},
         {8 * M, 4 * M},
         {8 * M}},
        {"past it for long, no pace", kCap + 1, true, {{12 * M, 0}, {8 * M, 0}}, {}},
        {"within the time-out", kCap + 1, true, {{12 * M, 0, 12 * M / 5 + 1}}, {}},
        {"just past it", kCap + 1, true, {{12 * M, 0, 12 * M / 5}}, {12 * M}, {12 * M}},
        {"past it, not for long", kCap + 1, false, {{12 * M, 0, 1}}, {}},
        {"at the cap for long", kCap, true, {{12 * M, 0, 1}}, {}},
        {"slowest first, only enough",
         kCap + 5 * M,
         true,
         {{12 * M, 0, 2 * M}, {8 * M, 0, M / 2}, {4 * M, 0, M / 10}, {6 * M, 0, 6 * M}},
         {8 * M, 4 * M},
         {8 * M, 4 * M}},
        {"the idle first", kCap + 1, true, {{12 * M, 600}, {8 * M, 0, M / 10}}, {12 * M},
         {12 * M}},
        {"past it, readers idle under 2 s kept", kCap + 13 * M, false,
         {{12 * M, 2000, M, true}, {8 * M, 1999, M, true}, {4 * M, 500}}, {12 * M, 4 * M},
         {12 * M, 4 * M}},
    };
    for (const Case& c : cases) {
        std::vector<CL_TCPServer::Impl::PendingOutput> outputs;
        for (const Output& output : c.fOutputs)
            outputs.push_back(
                {nullptr, output.fBytes, output.fIdle, output.fPace, false, output.fPeerReads});
        CL_TCPServer::Impl::ChooseCuts(&outputs, c.fLive, kBudget, kCap, c.fCapOverdue, kTimeOut);
        std::set<uint64> cut, pastCap;
        for (const auto& output : outputs) {
            if (output.fCut) cut.insert(output.fBytes);
            if (output.fCut && output.fPastCap) pastCap.insert(output.fBytes);
        }
        EXPECT_EQ(cut, c.fCut) << c.fName;
        EXPECT_EQ(pastCap, c.fPastCap) << c.fName;
    }
}

// A reply whose first write goes out in part, to a client that reads slowly, arrives
// whole: every byte once, in order; what the server counts of it falls as it is read.
TEST(TCPServerLimits, PartlyWrittenReplyArrivesWhole) {
    TestServer test(0, CL_LOG_LEVEL_WARNING);
    SlowReader reader;
    ASSERT_TRUE(StartAndAuthorise(test, reader));
    // More than the kernel's buffers on both sides hold.
    const uint32 kSize = 24 << 20;
    uint32 sequence = reader.SendData(rpc_test::kPattern, Flat(CLU_Table().Set("bytes", kSize)));
    ASSERT_TRUE(WaitFor([&] { return test.fServer.GetQueuedOutput() > 0; }, 10000));
    // The chunks as they come, a PING among them now and then.
    std::vector<uint8> wire;
    CL_PayloadDecoder decoder(nullptr, false);
    size_t at = 0;
    bool framed = true;
    uint64 posted = test.fServer.GetQueuedOutput(), fell = 0;
    EXPECT_TRUE(WaitFor([&] {
        if (uint64 queued = test.fServer.GetQueuedOutput(); queued > 0 && queued < posted) fell++;
        reader.ReadSome(&wire, 64 << 10);
        while (framed && wire.size() - at >= sizeof(CL_PacketHeader)) {
            CL_PacketHeader header;
            memcpy(&header, wire.data() + at, sizeof(header));
            uint32 size = CL_ChunkPayloadSize(header);
            if (wire.size() - at < sizeof(header) + size) break;
            CL_Blob chunk(wire.data() + at + sizeof(header), size, true);
            framed = header.fMagic == CL_IPC_MAGIC &&
                     (header.fType == CL_PACKET_TYPE_PING || decoder.Add(header, chunk) == CL_OK);
            at += sizeof(header) + size;
        }
        return !framed || decoder.IsComplete();
    }, 60000));
    ASSERT_TRUE(framed) << at;
    EXPECT_GT(fell, 0u) << posted;
    EXPECT_EQ(at, wire.size());
    ASSERT_TRUE(decoder.IsComplete());
    EXPECT_EQ(decoder.GetHeader().fSequence, sequence);
    const CL_Blob& payload = decoder.GetResult();
    ASSERT_EQ(payload.GetSize(), kSize);
    uint32 wrong = 0;
    for (uint32 i = 0; i < kSize; i++)
        wrong += payload.GetDataForRead()[i] != rpc_test::PatternByte(i);
    EXPECT_EQ(wrong, 0u);
}

// The unread replies of all clients have a budget and a cap: past the budget a client
// that has read all its own replies is still served; at the cap, twice the budget but
// never less than 256 MiB, a request is started; one byte past it, requests of clients
// let in wait, with PINGs, while the handshake goes on.
TEST(TCPServerLimits, UnreadRepliesHoldRequestsBackPastTheirBudget) {
    TestServer test(0, CL_LOG_LEVEL_WARNING);
    LimitRequests(test, 4 << 20);
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    uint64 budget = test.fServer.GetOutputBudget();
    ASSERT_EQ(budget, uint64(4) << 20);
    CL_TCPServer::Impl& impl = CL_TCPServer::Impl::Of(test.fServer);
    const uint64 cap = impl.GetOutputCap();
    ASSERT_EQ(cap, uint64(256) << 20);
    // Bytes no client holds, so that nobody is cut off for them.
    std::atomic<uint64>& unread = impl.fOutputBytes;
    unread += budget + 1;
    EXPECT_EQ(client.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
    unread += cap - budget - 1;
    EXPECT_EQ(client.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
    unread += 1;
    uint32 held = client.SendData(rpc_test::kEcho, Flat(CLU_Table().Set("held", 1)));
    CL_PacketHeader ping;
    ASSERT_TRUE(client.Next(CL_PACKET_TYPE_PING, held, &ping));
    EXPECT_EQ(ping.fPing.fCompleteness, CL_IPC_COMPLETENESS_UNKNOWN);
    RawClient fresh;
    EXPECT_TRUE(Authorise(test, fresh));
    unread -= 1;
    ASSERT_TRUE(client.Next(CL_PACKET_TYPE_DATA, held));
    unread -= cap;
}

// Whether the client `id` has its turn among those held back past the cap.
bool HasHeldTurn(TestServer& test, uint32 id) {
    CL_TCPServer::Impl& impl = CL_TCPServer::Impl::Of(test.fServer);
    CL_AutoLocker lock(impl.fLock);
    CL_TCPServer::Impl::Client* client = impl.FindClient(id);
    return client && client->fHeldTurn != 0;
}

// Requests held back past the cap are taken in the order they were held, not the latest
// first: peers that keep sending new requests as room is made cannot overtake them. Two
// long requests keep all workers but one busy, so that the order shows.
TEST(TCPServerLimits, RequestsHeldPastTheCapAreTakenInTheirOrder) {
    TestServer test(0, CL_LOG_LEVEL_WARNING);
    LimitRequests(test, 4 << 20);
    RawClient busy[2], older, newer;
    ASSERT_TRUE(StartAndAuthorise(test, older));
    for (RawClient& client : busy) {
        ASSERT_TRUE(Authorise(test, client));
        client.SendData(rpc_test::kSleep, Flat(CLU_Table().Set("ms", 4000)));
    }
    ASSERT_TRUE(Authorise(test, newer));
    CL_TCPServer::Impl& impl = CL_TCPServer::Impl::Of(test.fServer);
    ASSERT_TRUE(WaitFor([&] {
        CL_AutoLocker lock(impl.fLock);
        return impl.fIdleWorkers.Count() == impl.fWorkerList.Count() - 2;
    }));
    const uint64 past = impl.GetOutputCap() + 1;
    impl.fOutputBytes += past;
    const CLU_Table work = CLU_Table().Set("ms", 300);
    uint32 first = older.SendData(rpc_test::kSleep, Flat(work));
    ASSERT_TRUE(WaitFor([&] { return HasHeldTurn(test, older.fClientID); }));
    uint32 second = newer.SendData(rpc_test::kSleep, Flat(work));
    ASSERT_TRUE(WaitFor([&] { return HasHeldTurn(test, newer.fClientID); }));
    impl.fOutputBytes -= past;
    std::chrono::steady_clock::time_point olderDone, newerDone;
    std::thread reader([&] {
        EXPECT_TRUE(newer.Next(CL_PACKET_TYPE_DATA, second));
        newerDone = std::chrono::steady_clock::now();
    });
    EXPECT_TRUE(older.Next(CL_PACKET_TYPE_DATA, first));
    olderDone = std::chrono::steady_clock::now();
    reader.join();
    EXPECT_LT(olderDone, newerDone);
}

// The waiting list at both sides of each rule: a client held back past the cap keeps
// the turn it was first given however often it is listed again, and comes before one
// held later though listed last; a worker that takes it takes its turn too. A client
// the worker leaves with a request queued waits again, one left with none does not,
// also when it was listed meanwhile.
TEST(TCPServerLimits, HeldTurnsAndTheWaitingListAroundAWorker) {
    using Impl = CL_TCPServer::Impl;
    TestServer test(0, CL_LOG_LEVEL_WARNING);
    RawClient a, b;
    ASSERT_TRUE(StartAndAuthorise(test, a));
    ASSERT_TRUE(Authorise(test, b));
    Impl& impl = Impl::Of(test.fServer);
    // The workers that answered the AUTHs are done with them.
    ASSERT_TRUE(WaitFor([&] {
        CL_AutoLocker lock(impl.fLock);
        return impl.fIdleWorkers.Count() == impl.fWorkerList.Count();
    }));
    CL_AutoLocker lock(impl.fLock);
    Impl::Client *A = impl.FindClient(a.fClientID), *B = impl.FindClient(b.fClientID);
    Impl::Worker* worker = impl.fWorkerList.GetFirst();
    auto queue = [&](Impl::Client* client, bool add) {
        CL_AutoLocker own(Impl::ClientLock(client));
        add ? client->QueueRequest(new Impl::Incoming()) : delete client->TakeRequest();
    };
    auto hold = [&] {
        impl.fOutputBytes += impl.GetOutputCap() + 1;
        impl.KillStarvedClients(CL_GetTime());
        impl.fOutputBytes -= impl.GetOutputCap() + 1;
    };
    auto next = [&] {
        Impl::ClientList::iterator it = impl.FindWaitingClient(worker);
        return it == impl.fWaitingList.end() ? nullptr : *it;
    };
    queue(A, true);
    queue(B, true);
    impl.ListWaiting(A);
    hold();
    impl.ListWaiting(B);
    impl.ListWaiting(A);
    hold();
    impl.ListWaiting(B);
    ASSERT_EQ(next(), A);
    impl.TakeWaitingClient(impl.FindWaitingClient(worker));
    impl.FinishServing(worker, A, Impl::kServeDone, CL_OK);
    EXPECT_TRUE(A->fWaiting && impl.fWaitingList.Exists(A));
    hold();
    ASSERT_EQ(next(), B);
    impl.TakeWaitingClient(impl.FindWaitingClient(worker));
    impl.ListWaiting(B);
    queue(B, false);
    impl.FinishServing(worker, B, Impl::kServeDone, CL_OK);
    EXPECT_FALSE(B->fWaiting || impl.fWaitingList.Exists(B));
    queue(A, false);
    impl.UnlistWaiting(A);
}

// PINGs of a client's waiting requests, read until the front one has had `passes` of
// them; the sequences they named. False when a packet other than a PING came, or when
// the front's did not come within 10 s.
bool ReadWaitingPings(RawClient& client, uint32 front, uint32 passes, std::set<uint32>* named) {
    CL_PacketHeader header;
    CL_Blob payload;
    uint32 start = CL_GetTime();
    while (passes > 0) {
        if (CL_GetTime() - start > 10000 || client.Read(&header, &payload, 10000) != CL_OK)
            return false;
        if (header.fType != CL_PACKET_TYPE_PING) return false;
        named->insert(header.fSequence);
        if (header.fSequence == front) passes--;
    }
    return true;
}

// A peer that queues thousands of empty requests behind a long one and reads all that
// comes: their PINGs come from the front of the queue, a bounded batch in each pass,
// not one for each of them; another client is let in meanwhile.
TEST(TCPServerLimits, ThousandsOfWaitingRequestsArePingedFromTheFront) {
    TestServer test(0, CL_LOG_LEVEL_WARNING);
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    uint32 running = client.SendData(rpc_test::kSleep, Flat(CLU_Table().Set("ms", 60000)));
    const uint32 kFlood = 8000;
    uint32 front = running + 1, last = running;
    for (uint32 i = 0; i < kFlood; i++)
        last = client.SendData(rpc_test::kRawEcho, CL_Blob());
    std::set<uint32> named;
    ASSERT_TRUE(ReadWaitingPings(client, front, 10, &named));
    EXPECT_GE(*named.begin(), running);
    EXPECT_LE(*named.rbegin(), last);
    EXPECT_LT(named.size(), kFlood / 2);
    RawClient fresh;
    EXPECT_TRUE(Authorise(test, fresh));
    client.Abort(running);
    ASSERT_TRUE(client.Next(CL_PACKET_TYPE_ABORT, running));
}

// Requests of the client `id` queued for the workers.
size_t QueuedRequests(TestServer& test, uint32 id) {
    CL_TCPServer::Impl& impl = CL_TCPServer::Impl::Of(test.fServer);
    CL_AutoLocker lock(impl.fLock);
    CL_TCPServer::Impl::Client* client = impl.FindClient(id);
    if (!client) return 0;
    CL_AutoLocker own(CL_TCPServer::Impl::ClientLock(client));
    return client->fQueuedRequests.Count();
}

// A connection's reader that drops all that comes, until it is stopped.
struct Drain {
    explicit Drain(RawClient& client)
        : fThread([this, &client] {
              std::vector<char> buffer(1 << 16);
              while (!fStop)
                  if (client.Readable(20))
                      recv(client.fSocket.GetDescriptor(), buffer.data(), buffer.size(), MSG_DONTWAIT);
          }) {}
    ~Drain() {
        fStop = true;
        fThread.join();
    }
    std::atomic<bool> fStop{false};
    std::thread fThread;
};

// A peer that queues a hundred thousand empty requests behind a long one, then sends a
// stream of ABORTs for numbers it never used, costs the others nothing: a kept client's
// request and a fresh connection's handshake are served at once all along. One
// ABORT_ALL ends the whole queue.
TEST(TCPServerLimits, AHundredThousandQueuedRequestsCostTheOthersNothing) {
    TestServer test(0, CL_LOG_LEVEL_WARNING);
    RawClient kept, flooder;
    ASSERT_TRUE(StartAndAuthorise(test, kept));
    ASSERT_TRUE(Authorise(test, flooder));
    uint32 running = flooder.SendData(rpc_test::kSleep, Flat(CLU_Table().Set("ms", 60000)));
    ASSERT_TRUE(flooder.Next(CL_PACKET_TYPE_PING, running));
    const uint32 kQueued = 100000, kAborts = 20000;
    CL_Blob flood = flooder.EmptyRequests(kQueued), aborts;
    for (uint32 i = 0; i < kAborts; i++) {
        CL_PacketHeader header;
        CL_MakeAbortRequest(&header, 0x70000000u + i);
        CL_BuildPacket(header, CL_Blob(), &aborts);
    }
    Drain drain(flooder);
    ASSERT_EQ(flooder.SendRaw(flood.GetDataForRead(), flood.GetSize()), 0);
    ASSERT_TRUE(WaitFor([&] { return QueuedRequests(test, flooder.fClientID) == kQueued; }, 30000));
    auto othersServed = [&](const char* when) {
        uint32 start = CL_GetTime();
        EXPECT_EQ(kept.Call(rpc_test::kEcho, CLU_Table().Set("kept", 1)), CL_PACKET_TYPE_DATA);
        EXPECT_LT(CL_GetTime() - start, 1000u) << when;
        start = CL_GetTime();
        RawClient fresh;
        EXPECT_TRUE(Authorise(test, fresh));
        EXPECT_LT(CL_GetTime() - start, 1000u) << when;
    };
    othersServed("queued");
    ASSERT_EQ(flooder.SendRaw(aborts.GetDataForRead(), aborts.GetSize()), 0);
    othersServed("aborts");
    EXPECT_EQ(QueuedRequests(test, flooder.fClientID), kQueued);
    flooder.Abort(0, true, true);
    EXPECT_TRUE(WaitFor([&] { return QueuedRequests(test, flooder.fClientID) == 0; }));
    EXPECT_EQ(kept.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
}

// Peers that ask for large replies and never read them: what waits for them stays
// within the cap and the replies being made, the ones whose replies take no bytes are
// cut off, and a client that reads is answered meanwhile. What the replies of those
// cut off held goes back to the system.
TEST(TCPServerLimits, NonReadersStayWithinTheOutputBudget) {
    TestServer test(0, CL_LOG_LEVEL_INFO);
    LimitRequests(test, 4 << 20);
    test.fServer.SetLogLevel(CL_LOG_LEVEL_INFO);
    RawClient good;
    ASSERT_TRUE(StartAndAuthorise(test, good));
    // Replies larger than the kernel's buffers take.
    const uint32 kPeers = 40, kReply = 8 << 20;
    std::vector<std::unique_ptr<RawClient>> peers;
    for (uint32 i = 0; i < kPeers; i++) {
        peers.emplace_back(new RawClient());
        ASSERT_TRUE(Authorise(test, *peers.back()));
        peers.back()->SendData(rpc_test::kPattern, Flat(CLU_Table().Set("bytes", kReply)));
    }
    std::atomic<bool> done{false};
    std::atomic<uint64> most{0}, workers{0};
    std::thread watch([&] {
        while (!done) {
            most = std::max<uint64>(most, test.fServer.GetQueuedOutput());
            workers = std::max<uint64>(workers, test.fServer.GetWorkerCount());
            CL_Thread::Sleep(2);
        }
    });
    ASSERT_TRUE(WaitFor([&] { return test.fLog.Contains("tempo scaduto"); }, 20000));
    EXPECT_EQ(good.Call(rpc_test::kEcho, CLU_Table().Set("during", 1)), CL_PACKET_TYPE_DATA);
    done = true;
    watch.join();
    EXPECT_LE(most.load(), CL_TCPServer::Impl::Of(test.fServer).GetOutputCap() + workers * kReply);
    char line[128];
    snprintf(line, sizeof(line), "[Dispatcher] [%d] Client disconnesso", int(good.fClientID));
    EXPECT_FALSE(test.fLog.Contains(line));
    EXPECT_TRUE(WaitFor([&] { return CL_TCPServer::Impl::Of(test.fServer).fTrims > 0; }));
}

// The replies of clients closed with them unread go back at once, each 8 MiB past a
// quarter of the 4 MiB budget, while another client's requests keep freeing input,
// whose trims wait for a second without any asked for: they came only 10 s after the
// last trim.
TEST(TCPServerLimits, UnreadRepliesOfClosedClientsGoBackAtOnce) {
    TestServer test(0, CL_LOG_LEVEL_WARNING, 0, 4 << 20);
    RawClient churn;
    ASSERT_TRUE(StartAndAuthorise(test, churn));
    CL_TCPServer::Impl& impl = CL_TCPServer::Impl::Of(test.fServer);
    std::atomic<bool> done{false};
    std::atomic<uint32> echoes{0};
    struct Joined {
        std::atomic<bool>& fDone;
        std::thread fThread;
        ~Joined() {
            fDone = true;
            fThread.join();
        }
    } freeing{done, std::thread([&] {
                  CL_Blob input = Bytes(2 << 20, 'c');
                  uint32 start = CL_GetTime();
                  while (!done && CL_GetTime() - start < 30000 &&
                         churn.Next(CL_PACKET_TYPE_DATA,
                                    churn.SendData(rpc_test::kRawEcho, input)))
                      echoes++;
              })};
    EXPECT_TRUE(WaitFor([&] { return impl.fTrims == 1; }));
    for (int i = 0; i < 3; i++) {
        RawClient deaf;
        ASSERT_TRUE(Authorise(test, deaf));
        deaf.SendData(rpc_test::kPattern, Flat(CLU_Table().Set("bytes", 8 << 20)));
        ASSERT_TRUE(WaitFor([&] {
            CL_AutoLocker lock(impl.fLock);
            CL_TCPServer::Impl::Client* record = impl.FindClient(deaf.fClientID);
            return record && record->fBacklog > 0;
        }));
        uint32 trims = impl.fTrims;
        ASSERT_EQ(test.fServer.CloseClient(deaf.fClientID), CL_OK);
        EXPECT_TRUE(WaitFor([&] { return impl.fTrims > trims; })) << i << ", " << echoes << " echoes";
    }
    EXPECT_GT(echoes.load(), 0u);
}

}  // namespace
