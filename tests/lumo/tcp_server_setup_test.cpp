// The server interface and the TCP server's life: base-class behaviour, client
// contexts, the log filter, settings, port selection, Start and Stop with requests
// running, identity, and the suspend and resume callbacks.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "lumo/digest.h"
#include "lumo/power.h"
#include "lumo/net/server_log.h"
#include "lumo/uuid.h"
#include "support/private_network.h"
#include "support/raw_client.h"
#include "support/wait_for.h"

namespace {

const bool kIsolated = EnterPrivateNetwork();

void RecordAbortForClearing(CL_ClientContext*, uint32) {}

// Moves the library's clocks on by `days` (back when negative), as if that long had
// passed; other threads may read them meanwhile.
void MoveClockOn(double days) {
    std::atomic_ref<uint64>(sTimerBase).fetch_sub(uint64(int64_t(days * 864e11)));
}

TEST(ServerInterface, BaseClassServesNothing) {
    CL_Server server;
    CLU_Table info;
    info.Set("old", 1);
    server.GetInfo(info);
    EXPECT_EQ(info.Count(), 1u);
    EXPECT_EQ(info.GetInteger("loglevel"), CL_LOG_LEVEL_INFO);
    EXPECT_EQ(server.Start(), CL_ERROR);
    EXPECT_EQ(server.GetClientInfo(1, info), CL_ERROR);
    EXPECT_EQ(server.CloseClient(1), CL_ERROR);
    CLU_UUID uuid;
    server.GetUUID(uuid);
    EXPECT_TRUE(uuid.IsNull());
    CL_LinkedList<uint32> ids;
    ids.Append(5);
    server.GetClientsList(&ids);
    EXPECT_EQ(ids.Count(), 0u);
}

TEST(ServerInterface, LogPassesOnlyLevelsUpToTheLogLevel) {
    CL_Server server;
    server.Log(0, "no callback yet %d", 1);  // must not crash
    LogRecorder log;
    CL_ServerCallbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.fLog = LogRecorder::Callback;
    server.SetCallbacks(&callbacks, &log);
    for (uint32 level = 0; level <= CL_LOG_LEVEL_MAX; level++)
        server.Log(level, "line %u", level);
    server.Log(CL_LOG_LEVEL_ERROR, std::string("plain"));
    EXPECT_EQ(log.fLines.size(), 6u);  // 0..4 and the plain line
    EXPECT_TRUE(log.Has(0, "line 0"));
    EXPECT_TRUE(log.Has(4, "line 4"));
    EXPECT_FALSE(log.Contains("line 5"));
    EXPECT_TRUE(log.Has(2, "plain"));
}

// Clearing the table, or setting one without a log, leaves no old callback behind.
TEST(ServerInterface, ReplacedOrClearedCallbacksAreGone) {
    CL_Server server;
    LogRecorder log;
    CL_ServerCallbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.fLog = LogRecorder::Callback;
    callbacks.fAbort = RecordAbortForClearing;
    server.SetCallbacks(&callbacks, &log);
    server.Log(CL_LOG_LEVEL_ERROR, "first");
    server.SetCallbacks(nullptr, nullptr);
    CL_ServerCallbacks now = server.GetCallbacks();
    ASSERT_EQ(now.fLog, nullptr);
    EXPECT_EQ(now.fAbort, nullptr);
    EXPECT_EQ(server.GetCallbackUserData(), nullptr);
    server.Log(CL_LOG_LEVEL_ERROR, "after clearing");

    server.SetCallbacks(&callbacks, &log);
    CL_ServerCallbacks noLog;
    memset(&noLog, 0, sizeof(noLog));
    server.SetCallbacks(&noLog, &log);
    server.Log(CL_LOG_LEVEL_ERROR, "after replacing");
    EXPECT_EQ(server.GetCallbacks().fAbort, nullptr);
    EXPECT_TRUE(log.Has(CL_LOG_LEVEL_ERROR, "first"));
    EXPECT_FALSE(log.Contains("after"));
}

// A line about one client repeated past the limit is held back; the next line after
// the window says how many were, at their level. Lines that name no client, lines of
// other texts and of the levels outside the limit pass, and the lines that pass are
// unchanged.
TEST(ServerInterface, RepeatedLinesAreHeldBackAndCounted) {
    CL_Init();  // the clock
    CL_Server server;
    server.SetLogLevel(CL_LOG_LEVEL_MAX);
    LogRecorder log;
    CL_ServerCallbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.fLog = LogRecorder::Callback;
    server.SetCallbacks(&callbacks, &log);
    CL_LogLimiter& limiter = CL_LogLimiter::Of(server);
    // A window far longer than the loops below take.
    limiter.SetRate(5, 60000);
    for (int i = 0; i < 40; i++) {
        server.Log(CL_LOG_LEVEL_ERROR, "[Dispatcher] [%d] bad header", i);
        server.Log(CL_LOG_LEVEL_WARNING, std::string("[Worker 3] [7:") + std::to_string(i) + "] x");
        server.Log(CL_LOG_LEVEL_WARNING, std::string("same text"));
        server.Log(CL_LOG_LEVEL_INFO, "[Server] Nuova connessione %d", i);
        server.Log(CL_LOG_LEVEL_INFO, "[Dispatcher] Lanciato %d", i);
        server.Log(CL_LOG_LEVEL_DEBUG, "[Worker %d] [%d] verbose", 1, i);
        server.Log(CL_LOG_LEVEL_CRITICAL, "[Worker %d] [%d:%d] critical", 1, 2, i);
    }
    server.Log(CL_LOG_LEVEL_ERROR, "[Worker %d] [%d] another text", 1, 2);
    EXPECT_EQ(log.Count("bad header"), 5);
    EXPECT_TRUE(log.Has(CL_LOG_LEVEL_ERROR, "[Dispatcher] [4] bad header"));
    EXPECT_FALSE(log.Contains("[Dispatcher] [5] bad header"));
    // A finished text is its own tally.
    EXPECT_EQ(log.Count("[Worker 3] [7:"), 40);
    for (const char* free : {"same text", "Nuova connessione", "Lanciato", "verbose", "critical"})
        EXPECT_EQ(log.Count(free), 40) << free;
    EXPECT_TRUE(log.Contains("another text"));
    EXPECT_FALSE(log.Contains("Omesse"));

    // The window ends: the next line, of any text, first reports what was held back.
    limiter.SetRate(5, 1);
    CL_Thread::Sleep(5);
    server.Log(CL_LOG_LEVEL_INFO, "later");
    EXPECT_TRUE(log.Has(CL_LOG_LEVEL_ERROR,
                        "Omesse 35 righe di log uguali a \"[Dispatcher] [%d] bad header\""));
    EXPECT_TRUE(log.Has(CL_LOG_LEVEL_INFO, "later"));
    // Reported once.
    server.Log(CL_LOG_LEVEL_INFO, "once more");
    EXPECT_EQ(log.Count("Omesse"), 1);

    // A text quiet for any gap up to the clock's wrap has its window over: first the
    // count held back before the gap, then 5 of the next 30 lines; a line 2 h later too.
    // So has a text that filled its window and held nothing back: its next 5 lines pass.
    for (int days : {1, 12, 24, 25, 30, 40, 49}) {
        const std::string name = "quiet " + std::to_string(days);
        const std::string text = "[Dispatcher] [%d] " + name;
        const std::string full = "[Worker 1] [%d] full " + std::to_string(days);
        auto say = [&](int lines, double after) {
            MoveClockOn(after);
            for (int i = 0; i < lines; i++) server.Log(CL_LOG_LEVEL_ERROR, text.c_str(), i);
            for (int i = 0; i < 5; i++)
                server.Log(CL_LOG_LEVEL_WARNING, full.c_str(), i);
        };
        limiter.SetRate(5, 60000);
        log.Clear();
        say(10, 0);
        say(30, days);
        say(1, 1 / 12.0);
        for (const char* held : {"Omesse 5 ", "Omesse 25 "})
            EXPECT_EQ(log.Count(held + ("righe di log uguali a \"" + text)), 1) << days;
        EXPECT_EQ(log.Count(name), 5 + 1 + 5 + 1 + 1) << days;
        EXPECT_EQ(log.Count("] full "), 3 * 5) << days;
        EXPECT_EQ(log.Count("Omesse"), 2) << days;
        MoveClockOn(-days - 1 / 12.0);
    }

    // No limit at all.
    limiter.SetRate(0, 0);
    log.Clear();
    for (int i = 0; i < 40; i++)
        server.Log(CL_LOG_LEVEL_ERROR, "[Dispatcher] [%d] unlimited", i);
    EXPECT_EQ(log.Count("unlimited"), 40);
}

TEST(ClientContext, RequestRecords) {
    CL_ClientContext context(7, nullptr);
    EXPECT_TRUE(context.HasAborted(1));  // never started
    EXPECT_FALSE(context.SetAborted(1, true));
    context.StartRequest(1);
    EXPECT_FALSE(context.HasAborted(1));
    double completeness = 0;
    std::string message = "x";
    context.GetProgress(1, &completeness, &message);
    EXPECT_EQ(completeness, -1.0);
    EXPECT_EQ(message, "");
    context.SetProgress(1, 42.5, "half");
    context.GetProgress(1, &completeness, &message);
    EXPECT_EQ(completeness, 42.5);
    EXPECT_EQ(message, "half");
    context.SetAborted(1, true);
    context.StartRequest(1);  // a fresh record replaces the aborted one
    EXPECT_FALSE(context.HasAborted(1));
    CL_TimeStamp before = context.GetLastRequestTime();
    context.EndRequest(1, false);
    EXPECT_TRUE(context.HasAborted(1));  // ended
    EXPECT_EQ(context.GetNumRequests(), 0u);
    EXPECT_EQ(context.GetLastRequestTime().ToRaw(), before.ToRaw());
    context.StartRequest(2);
    context.EndRequest(2, true);
    EXPECT_EQ(context.GetNumRequests(), 1u);
}

std::vector<uint32> sAborted;
void RecordAbort(CL_ClientContext*, uint32 id) {
    sAborted.push_back(id);
}

// Progress reported after a cancellation does not undo it.
TEST(ClientContext, ProgressKeepsTheCancel) {
    CL_ClientContext context(3, nullptr);
    context.StartRequest(5);
    EXPECT_TRUE(context.SetProgress(5, 10.0, "going"));
    ASSERT_TRUE(context.SetAborted(5, true));
    EXPECT_FALSE(context.SetProgress(5, 20.0, "still going"));
    EXPECT_TRUE(context.HasAborted(5));
    double completeness = 0;
    std::string message;
    context.GetProgress(5, &completeness, &message);
    EXPECT_EQ(completeness, 20.0);
    EXPECT_EQ(message, "still going");
    context.StartRequest(6);
    context.AbortAll(nullptr);
    context.SetProgress(6, 50.0, "half");
    EXPECT_TRUE(context.HasAborted(6));
}

TEST(ClientContext, AbortAllMarksEveryRecord) {
    CL_ClientContext context(1, nullptr);
    sAborted.clear();
    context.AbortAll(RecordAbort);
    EXPECT_TRUE(sAborted.empty());
    context.StartRequest(3);
    context.StartRequest(9);
    context.AbortAll(nullptr);
    EXPECT_TRUE(context.HasAborted(3));
    EXPECT_TRUE(context.HasAborted(9));
    context.StartRequest(4);
    context.AbortAll(RecordAbort);
    EXPECT_EQ(sAborted.size(), 3u);
}

TEST(ClientContext, PinRequestsArePerThread) {
    CL_ClientContext context(1, nullptr);
    EXPECT_FALSE(context.IsPinToThreadSet());
    context.PinToThread();
    EXPECT_TRUE(context.IsPinToThreadSet());
    EXPECT_TRUE(context.IsPinToThread());
    bool otherSet = true;
    std::thread other([&] { otherSet = context.IsPinToThreadSet(); });
    other.join();
    EXPECT_FALSE(otherSet);
    context.ClearPinToThread();
    EXPECT_FALSE(context.IsPinToThreadSet());
    EXPECT_TRUE(context.IsPinToThread());
    context.UnpinFromThread();
    EXPECT_TRUE(context.IsPinToThreadSet());
    EXPECT_FALSE(context.IsPinToThread());
    EXPECT_EQ(context.GetPinnedThread(), 0u);
    uint32 a = CL_ClientContext::GetNextID();
    EXPECT_EQ(CL_ClientContext::GetNextID(), a + 1);
}

TEST(TCPServerSetup, SettingsAreReadAndConverted) {
    CL_Init();
    CL_TCPServer server;
    CLU_Table settings;
    settings.Set("listener_port", std::string("4242"));
    settings.Set("timeout", 0);
    settings.Set("flags", (long long)(CL_IPC_COMPRESS | CL_IPC_AES_CRYPTING | 0x10000));
    settings.Set("log_level", 6);
    server.Setup(settings);
    EXPECT_EQ(settings.GetType("listener_port"), CLU_INTEGER);  // converted in place
    EXPECT_EQ(server.GetTimeOut(), CL_SERVER_DEFAULT_TIMEOUT);
    EXPECT_EQ(server.GetFlags(), CL_IPC_COMPRESS | CL_IPC_AES_CRYPTING);
    EXPECT_EQ(server.GetLogLevel(), 6u);
    CLU_Table info;
    info.Set("kept", true);
    server.GetInfo(info);
    EXPECT_TRUE(info.GetBool("kept"));
    EXPECT_EQ(info.GetInteger("log_level"), 6);
    EXPECT_EQ(info.GetInteger("responder_port"), CL_SERVER_FIRST_RESPONDER_PORT);
    CLU_Table empty;
    server.Setup(empty);
    EXPECT_EQ(server.GetLogLevel(), 0u);
    EXPECT_EQ(server.GetTimeOut(), CL_SERVER_DEFAULT_TIMEOUT);
}

TEST(TCPServerSetup, StartAnswersOnLoopbackAndStopsCleanly) {
    TestServer test(0, CL_LOG_LEVEL_DEBUG_VERBOSE);
    ASSERT_EQ(test.Start(), 0);
    EXPECT_EQ(test.Start(), 0);  // already running: nothing more
    EXPECT_EQ(test.fServer.GetListenerPort(), test.fPort);
    EXPECT_EQ(test.fServer.GetWorkerCount(), CL_SERVER_MIN_WORKERS);
    char started[160];
    snprintf(started, sizeof(started),
             "Server ID 0x%016llX avviato in ascolto sulla porta %d, livello di log %d",
             (unsigned long long)test.fServer.GetID(), int(test.fPort), 6);
    EXPECT_TRUE(test.fLog.Has(CL_LOG_LEVEL_INFO, started));
    RawClient client;
    ASSERT_TRUE(client.Connect(test.fPort));
    ASSERT_EQ(client.ServerInfo(), 0);
    EXPECT_EQ(client.fServerID, test.fServer.GetID());
    EXPECT_EQ(client.fServerID & 0xFFFF, test.fPort);
    CLU_Table info;
    test.fServer.GetInfo(info);
    EXPECT_EQ(info.GetString("host"), "127.0.0.1");
    EXPECT_EQ(info.GetInteger("port"), test.fPort);
    test.fServer.Stop();
    EXPECT_TRUE(test.fLog.Has(CL_LOG_LEVEL_INFO, "Server fermato"));
    EXPECT_TRUE(client.Closed());
    test.fLog.Clear();
    test.fServer.Stop();  // stopped: nothing logged
    EXPECT_FALSE(test.fLog.Contains("Server fermato"));
    // And it starts again on the same port.
    ASSERT_EQ(test.Start(), 0);
    RawClient again;
    ASSERT_TRUE(again.Connect(test.fPort));
    EXPECT_EQ(again.ServerInfo(), 0);

    // Started again weeks after a stop, or up to a minute short of the clock's wrap, with
    // the dispatcher's clocks that old or seemingly ahead: its periodic work is due at
    // once and goes on, PINGs about a request included.
    const double wrap = 4294967296 / 864e5;
    double moved = 0;
    for (double days : {25.0, 40.0, wrap - 59 / 864e2, wrap - 30 / 864e2}) {
        test.fServer.Stop();
        MoveClockOn(days);
        moved += days;
        ASSERT_EQ(test.Start(), 0);
        RawClient late;
        ASSERT_TRUE(late.Connect(test.fPort) && late.Auth(0) == 0);
        uint32 pings = 0;
        EXPECT_EQ(late.Call(rpc_test::kSleep, CLU_Table().Set("ms", 1000), nullptr, &pings),
                  CL_PACKET_TYPE_DATA);
        EXPECT_GE(pings, 5u) << days;
    }
    test.fServer.Stop();
    MoveClockOn(-moved);
}

// The server's end of `client`'s connection, found among this process's descriptors
// by its two ports; -1 when there is none.
int ServerEndOf(RawClient& client, uint16 serverPort) {
    sockaddr_in mine;
    socklen_t length = sizeof(mine);
    if (getsockname(client.fSocket.GetDescriptor(), reinterpret_cast<sockaddr*>(&mine), &length) !=
        0)
        return -1;
    for (int fd = 0; fd < 4096; fd++) {
        if (fd == client.fSocket.GetDescriptor()) continue;
        sockaddr_in local, peer;
        socklen_t localLength = sizeof(local), peerLength = sizeof(peer);
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
            getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0)
            continue;
        if (local.sin_family == AF_INET && ntohs(local.sin_port) == serverPort &&
            peer.sin_port == mine.sin_port)
            return fd;
    }
    return -1;
}

// Replies are small writes that the client answers only after reading them: with
// Nagle's algorithm a reply would wait for the delayed ACK of the one before it.
TEST(TCPServerSetup, AcceptedConnectionsSendWithoutDelay) {
    TestServer test(0, CL_LOG_LEVEL_WARNING);
    ASSERT_EQ(test.Start(), 0);
    RawClient client;
    ASSERT_TRUE(client.Connect(test.fPort));
    ASSERT_EQ(client.ServerInfo(), 0);  // the server has made its record by now
    int fd = ServerEndOf(client, test.fPort);
    ASSERT_GE(fd, 0);
    int noDelay = 0;
    socklen_t size = sizeof(noDelay);
    ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
    EXPECT_NE(noDelay, 0);
}

TEST(TCPServerSetup, ThreadsLogWithTheirPrefixes) {
    TestServer test(0, CL_LOG_LEVEL_DEBUG_VERBOSE);
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    EXPECT_EQ(client.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
    // The long-lived threads announce themselves once they find the server running,
    // however late they were scheduled.
    EXPECT_TRUE(
        WaitFor([&] { return test.fLog.Has(CL_LOG_LEVEL_DEBUG, "[Dispatcher] Inizializzato"); }));
    EXPECT_TRUE(
        WaitFor([&] { return test.fLog.Has(CL_LOG_LEVEL_DEBUG, "[Server] Inizializzato"); }));
    EXPECT_TRUE(test.fLog.Has(CL_LOG_LEVEL_DEBUG, "[Worker 1] Inizializzato"));
    EXPECT_TRUE(test.fLog.Contains("Il client ha dati in arrivo, spostato nella coda di attesa"));
    char line[128];
    snprintf(line, sizeof(line),
             "[Server] Nuova connessione da 127.0.0.1; assegnata al client con ID %d",
             int(client.fClientID));
    EXPECT_TRUE(test.fLog.Has(CL_LOG_LEVEL_INFO, line));
    EXPECT_TRUE(test.fLog.Contains("Autorizzazione concessa"));
    EXPECT_TRUE(test.fLog.Contains("Ricevuta richiesta di esecuzione (comando 0001)"));
    std::lock_guard<std::mutex> lock(test.fLog.fMutex);
    for (auto& entry : test.fLog.fLines) {
        const std::string& text = entry.second;
        bool known = text.rfind("[Server]", 0) == 0 || text.rfind("[Dispatcher]", 0) == 0 ||
                     text.rfind("[Worker ", 0) == 0 || text.rfind("Server ", 0) == 0 ||
                     text.rfind("Impossibile monitorare", 0) == 0;
        EXPECT_TRUE(known) << text;
    }
}

TEST(TCPServerSetup, LogLevelFiltersServerLines) {
    TestServer test(0, CL_LOG_LEVEL_WARNING);
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    EXPECT_EQ(client.Call(rpc_test::kFail, CLU_Table().Set("code", 5)), CL_PACKET_TYPE_FAILED);
    EXPECT_TRUE(WaitFor([&] { return test.fLog.Contains("Richiesta di esecuzione fallita"); }));
    EXPECT_LE(test.fLog.MaxLevel(), uint32(CL_LOG_LEVEL_WARNING));
    EXPECT_FALSE(test.fLog.Contains("Esecuzione comando"));  // level 5
}

TEST(TCPServerSetup, BusyConfiguredPortFails) {
    CL_Init();
    uint16 port = FreeLoopbackPort();
    CL_Socket holder(port, CL_SOCKET_DOMAIN_INET, CL_SOCKET_TYPE_TCP);
    ASSERT_EQ(holder.Accept(nullptr, 0), 0);
    CL_TCPServer server;
    CLU_Table settings;
    settings.Set("listener_port", (long long)port);
    server.Setup(settings);
    EXPECT_EQ(server.Start(), CL_IPC_NO_LISTEN_PORT);
    EXPECT_FALSE(server.IsRunning());
}

// The address this process's socket of `type` (SOCK_STREAM listening, or SOCK_DGRAM) on
// `port` is bound to; empty when there is none.
std::string BoundAddress(uint16 port, int type) {
    for (int fd = 0; fd < 4096; fd++) {
        sockaddr_in local;
        socklen_t length = sizeof(local);
        int kind = 0, listening = 0;
        socklen_t size = sizeof(kind);
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
            local.sin_family != AF_INET || ntohs(local.sin_port) != port ||
            getsockopt(fd, SOL_SOCKET, SO_TYPE, &kind, &size) != 0 || kind != type)
            continue;
        size = sizeof(listening);
        if (type == SOCK_STREAM &&
            (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening))
            continue;
        return CL_NetAddress(reinterpret_cast<const sockaddr&>(local)).GetIP();
    }
    return "";
}

// "loopback_only" binds the listener and the discovery responder to 127.0.0.1, also
// when the server starts again; a server set up without it listens on every interface.
TEST(TCPServerSetup, LoopbackOnlyBindsLoopbackAlone) {
    CL_Init();
    for (int loopbackOnly : {0, 1}) {
        SCOPED_TRACE(loopbackOnly);
        const std::string expected = loopbackOnly ? "127.0.0.1" : "0.0.0.0";
        CL_TCPServer server;
        CLU_Table settings;
        settings.Set("listener_port", (long long)FreeLoopbackPort());
        settings.Set("ip", std::string("127.0.0.1"));
        if (loopbackOnly) settings.Set("loopback_only", std::string("1"));
        server.Setup(settings);
        for (int start = 0; start < 2; start++) {
            ASSERT_EQ(server.Start(), CL_OK);
            EXPECT_EQ(BoundAddress(server.GetListenerPort(), SOCK_STREAM), expected);
            EXPECT_EQ(BoundAddress(server.GetResponderPort(), SOCK_DGRAM), expected);
            RawClient client;
            ASSERT_TRUE(client.Connect(server.GetListenerPort()));
            EXPECT_EQ(client.ServerInfo(), 0);
            server.Stop();
        }
    }
}

TEST(TCPServerSetup, BadAddressFails) {
    CL_Init();
    CL_TCPServer server;
    CLU_Table settings;
    settings.Set("listener_port", (long long)FreeLoopbackPort());
    settings.Set("ip", std::string("no-such-host.invalid"));
    server.Setup(settings);
    CL_Status status = server.Start();
    EXPECT_TRUE(status == CL_BAD_HOST_ADDRESS || status == CL_NO_NET_INTERFACE) << status;
    EXPECT_FALSE(server.IsRunning());
}

// A bad "ip" while interfaces exist (loopback at least) is a bad host address.
TEST(TCPServerSetup, BadAddressWithInterfacesIsABadHost) {
    if (InBareNetwork()) GTEST_SKIP() << "runs where loopback is up";
    CL_Init();
    CL_NetInterface interfaces[4];
    ASSERT_GT(CL_NetInterface::Enumerate(interfaces, 4), 0u);
    CL_TCPServer server;
    CLU_Table settings;
    settings.Set("listener_port", (long long)FreeLoopbackPort());
    settings.Set("ip", std::string("no-such-host.invalid"));
    server.Setup(settings);
    EXPECT_EQ(server.Start(), CL_BAD_HOST_ADDRESS);
    EXPECT_FALSE(server.IsRunning());
}

// With no interface at all the same address is missing an interface: the case runs
// again in a namespace whose loopback stays down.
TEST(TCPServerSetup, BadAddressWithoutInterfacesIsNoInterface) {
    if (!InBareNetwork()) {
        bool passed = false;
        if (!RunWithoutNetwork("TCPServerSetup.BadAddressWithoutInterfacesIsNoInterface", &passed))
            GTEST_SKIP() << "needs a network namespace of its own";
        EXPECT_TRUE(passed);
        return;
    }
    CL_Init();
    CL_NetInterface interfaces[4];
    ASSERT_EQ(CL_NetInterface::Enumerate(interfaces, 4), 0u);
    CL_TCPServer server;
    CLU_Table settings;
    settings.Set("listener_port", 52999);
    settings.Set("ip", std::string("no-such-host.invalid"));
    server.Setup(settings);
    EXPECT_EQ(server.Start(), CL_NO_NET_INTERFACE);
    EXPECT_FALSE(server.IsRunning());
}

// Default candidates are fixed ports: only inside the test's own network namespace.
TEST(TCPServerSetup, DefaultPortProbingSkipsBusyCandidates) {
    if (!InPrivateNetwork()) GTEST_SKIP() << "needs a private network namespace";
    CL_Init();
    CL_Socket holder(CL_SERVER_FIRST_LISTENER_PORT, CL_SOCKET_DOMAIN_INET, CL_SOCKET_TYPE_TCP);
    ASSERT_EQ(holder.Accept(nullptr, 0), 0);
    CL_TCPServer server;
    CLU_Table settings;
    server.Setup(settings);
    ASSERT_EQ(server.Start(), 0);
    EXPECT_EQ(server.GetListenerPort(), CL_SERVER_FIRST_LISTENER_PORT + 20);
    EXPECT_EQ(server.GetID() & 0xFFFF, uint64(CL_SERVER_FIRST_LISTENER_PORT + 20));
}

TEST(TCPServerSetup, UUIDFollowsTheId) {
    TestServer test;
    ASSERT_EQ(test.Start(), 0);
    CLU_UUID a, b;
    test.fServer.GetUUID(a);
    test.fServer.GetUUID(b);
    EXPECT_EQ(a, b);
    CL_Blob id;
    id += test.fServer.GetID();
    std::string digest = CLU_MD5(id.Encode(CL_BLOB_CODING_BASE_16)).Get();
    std::string text = a.Get();
    text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
    EXPECT_EQ(text, digest);
    // Another port, another id, another UUID.
    test.fServer.Stop();
    CLU_Table settings;
    settings.Set("listener_port", (long long)FreeLoopbackPort());
    test.fServer.Setup(settings);
    ASSERT_EQ(test.fServer.Start(), 0);
    CLU_UUID c;
    test.fServer.GetUUID(c);
    EXPECT_NE(a, c);
}

std::atomic<int> sAbortCalls{0};
void CountAbort(CL_ClientContext*, uint32) {
    sAbortCalls++;
}
std::atomic<int> sDisconnects{0};
void CountDisconnect(CL_ClientContext* context) {
    EXPECT_EQ(context->GetCipher(), nullptr);
    sDisconnects++;
    delete context;
}

TEST(TCPServerSetup, StopCancelsRunningRequestsAndHandsContextsOver) {
    TestServer test;
    test.fCallbacks.fAbort = CountAbort;
    test.fCallbacks.fDisconnect = CountDisconnect;
    ASSERT_EQ(test.Start(), 0);
    sAbortCalls = 0;
    sDisconnects = 0;
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 3; i++) {
        clients.emplace_back(new RawClient);
        ASSERT_TRUE(Authorise(test, *clients.back()));
        clients.back()->SendData(rpc_test::kSleep, Flat(CLU_Table().Set("ms", 60000)));
    }
    // Every request is executing before the stop.
    ASSERT_TRUE(WaitFor(
        [&] { return test.fLog.Count("Ricevuta richiesta di esecuzione (comando 0004)") == 3; }));
    uint32 start = CL_GetTime();
    test.fServer.Stop();
    EXPECT_LT(CL_GetTime() - start, 30000u);
    EXPECT_EQ(sAbortCalls.load(), 3);
    EXPECT_EQ(sDisconnects.load(), 3);
    for (auto& client : clients)
        EXPECT_TRUE(client->Closed());
}

TEST(TCPServerPower, StoppingOneServerKeepsTheOthersRegistration) {
    TestServer a;
    TestServer b;
    ASSERT_EQ(a.Start(), 0);
    ASSERT_EQ(b.Start(), 0);
    CL_PowerCallbackRecord records[CL_MAX_POWER_CALLBACKS];
    int32 count = 0;
    CL_GetPowerCallbacks(records, &count);
    int mine = 0;
    for (int32 i = 0; i < count; i++)
        if (records[i].fParam == &a.fServer || records[i].fParam == &b.fServer) mine++;
    EXPECT_EQ(mine, 2);
    // Stopping the one started last must leave the first one's record alone.
    b.fServer.Stop();
    CL_GetPowerCallbacks(records, &count);
    bool aFound = false, bFound = false;
    for (int32 i = 0; i < count; i++) {
        if (records[i].fParam == &a.fServer) aFound = true;
        if (records[i].fParam == &b.fServer) bFound = true;
    }
    EXPECT_TRUE(aFound);
    EXPECT_FALSE(bFound);
}

TEST(TCPServerPower, SuspendClosesEveryConnectionAndResumeLogs) {
    TestServer test(0, CL_LOG_LEVEL_DEBUG_VERBOSE);
    test.fCallbacks.fDisconnect = CountDisconnect;
    ASSERT_EQ(test.Start(), 0);
    sDisconnects = 0;
    EXPECT_EQ(CL_TCPServer::PowerCallback(1, &test.fServer), 0);  // no clients: at once
    RawClient one, two;
    ASSERT_TRUE(Authorise(test, one, CL_IPC_TEA_CRYPTING));
    ASSERT_TRUE(Authorise(test, two));
    EXPECT_EQ(CL_TCPServer::PowerCallback(1, &test.fServer), 0);
    EXPECT_EQ(sDisconnects.load(), 2);  // all deleted before it returned
    CL_LinkedList<uint32> ids;
    test.fServer.GetClientsList(&ids);
    EXPECT_EQ(ids.Count(), 0u);
    EXPECT_TRUE(one.Closed());
    CL_TCPServer::PowerCallback(2, &test.fServer);
    char line[160];
    snprintf(line, sizeof(line),
             "Server riavviato a seguito di ripristino del sistema (indirizzo: 127.0.0.1:%d)",
             int(test.fPort));
    EXPECT_TRUE(test.fLog.Has(CL_LOG_LEVEL_WARNING, line));
    // Still serving after the resume.
    RawClient three;
    EXPECT_TRUE(Authorise(test, three));
}

}  // namespace
