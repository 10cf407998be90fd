// Waiting on sockets: CL_Safe_Select and CL_Safe_Poll resuming after signals with the
// time left, socket sets reduced to their ready members, the caller's lock released
// exactly once, unbound UDP sockets bound before the wait, and descriptors numbered
// beyond what an fd_set can hold.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "lumo/clock.h"
#include "lumo/socket.h"
#include "lumo/thread.h"
#include "support/loopback.h"

namespace {

std::atomic<int> sSignals{0};
void OnSignal(int) {
    sSignals++;
}

// Installs a SIGUSR1 handler without SA_RESTART, so waits see EINTR.
struct SignalGuard {
    SignalGuard() {
        struct sigaction action = {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, &fOld);
    }
    ~SignalGuard() { sigaction(SIGUSR1, &fOld, nullptr); }
    struct sigaction fOld;
};

// Sends SIGUSR1 to `target` after each delay (milliseconds from the start).
std::thread Interrupter(pthread_t target, std::vector<int> delays) {
    return std::thread([target, delays] {
        int slept = 0;
        for (int d : delays) {
            usleep((d - slept) * 1000);
            slept = d;
            pthread_kill(target, SIGUSR1);
        }
    });
}

TEST(SafeSelect, SignalsDoNotStretchOrShortenTheTimeOut) {
    CL_StartClock();
    SignalGuard guard;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    sSignals = 0;
    std::thread interrupter = Interrupter(pthread_self(), {150, 350});
    fd_set read;
    FD_ZERO(&read);
    FD_SET(fds[0], &read);
    timeval timeout = {0, 600000};
    uint32 start = CL_GetTime();
    int result = CL_Safe_Select(fds[0] + 1, &read, nullptr, nullptr, &timeout);
    uint32 elapsed = CL_GetTime() - start;
    interrupter.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(sSignals.load(), 2);
    EXPECT_GE(elapsed, 590u);
    EXPECT_LT(elapsed, 800u);
    EXPECT_EQ(timeout.tv_sec, 0);  // the caller's timeval is untouched
    EXPECT_EQ(timeout.tv_usec, 600000);

    // Data that arrives during the wait ends it with the ready count.
    std::thread writer([&] {
        usleep(50 * 1000);
        EXPECT_EQ(write(fds[1], "x", 1), 1);
    });
    FD_ZERO(&read);
    FD_SET(fds[0], &read);
    timeval longer = {5, 0};
    EXPECT_EQ(CL_Safe_Select(fds[0] + 1, &read, nullptr, nullptr, &longer), 1);
    EXPECT_TRUE(FD_ISSET(fds[0], &read));
    writer.join();
    // A failure other than EINTR: a closed descriptor.
    close(fds[1]);
    close(fds[0]);
    FD_ZERO(&read);
    FD_SET(fds[0], &read);
    timeval zero = {0, 0};
    EXPECT_EQ(CL_Safe_Select(fds[0] + 1, &read, nullptr, nullptr, &zero), -1);
}

TEST(SafeSelect, PollResumesWithTheTimeLeft) {
    CL_StartClock();
    SignalGuard guard;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    sSignals = 0;
    std::thread interrupter = Interrupter(pthread_self(), {100, 250});
    pollfd p = {fds[0], POLLIN, 0};
    uint32 start = CL_GetTime();
    EXPECT_EQ(CL_Safe_Poll(&p, 1, 400), 0);
    uint32 elapsed = CL_GetTime() - start;
    interrupter.join();
    EXPECT_EQ(sSignals.load(), 2);
    EXPECT_GE(elapsed, 390u);
    EXPECT_LT(elapsed, 600u);
    close(fds[0]);
    close(fds[1]);
}

TEST(SocketSelect, SetsKeepOnlyTheirReadySockets) {
    SocketPair a, b, c;
    ASSERT_EQ(a.fError, "");
    ASSERT_EQ(b.fError, "");
    ASSERT_EQ(c.fError, "");
    CL_Set<CL_Socket*> read;
    read.Add(a.fServer.get());
    read.Add(b.fServer.get());
    read.Add(c.fServer.get());
    ASSERT_EQ(b.fClient.Write("!", 1, 1000), 1u);
    uint32 count = 99;
    EXPECT_EQ(CL_Socket::Select(&read, nullptr, nullptr, &count, 1000, nullptr), 0);
    EXPECT_EQ(count, 1u);
    ASSERT_EQ(read.Count(), 1u);
    EXPECT_EQ(*read.begin(), b.fServer.get());

    // On a time-out every set comes back empty and the count is 0.
    CL_Set<CL_Socket*> quiet, except;
    quiet.Add(a.fServer.get());
    except.Add(c.fServer.get());
    count = 99;
    uint32 start = CL_GetTime();
    EXPECT_EQ(CL_Socket::Select(&quiet, nullptr, &except, &count, 80, nullptr), 4);
    EXPECT_GE(CL_GetTime() - start, 70u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(quiet.Count(), 0u);
    EXPECT_EQ(except.Count(), 0u);

    // Writable in the write set, in insertion order.
    CL_Set<CL_Socket*> write;
    write.Add(&c.fClient);
    write.Add(&a.fClient);
    EXPECT_EQ(CL_Socket::Select(nullptr, &write, nullptr, &count, 1000, nullptr), 0);
    EXPECT_EQ(count, 2u);
    ASSERT_EQ(write.Count(), 2u);
    EXPECT_EQ(*write.begin(), &c.fClient);

    // The single-socket form.
    EXPECT_EQ(CL_Socket::Select(b.fServer.get(), nullptr, nullptr, 1000, nullptr), 0);
    EXPECT_EQ(CL_Socket::Select(a.fServer.get(), nullptr, nullptr, 0, nullptr), 4);
}

TEST(SocketSelect, NothingToWaitOn) {
    CL_Socket unopened(CL_NetAddress(CL_NetAddress::LOOPBACK, 1), CL_SOCKET_TYPE_TCP);
    CL_Set<CL_Socket*> read;
    read.Add(&unopened);
    uint32 count = 77;
    EXPECT_EQ(CL_Socket::Select(&read, nullptr, nullptr, &count, 10, nullptr), -1);
    EXPECT_EQ(read.Count(), 0u);
    EXPECT_EQ(count, 77u);  // not written
    EXPECT_EQ(CL_Socket::Select(nullptr, nullptr, nullptr, &count, 10, nullptr), -1);
}

TEST(SocketSelect, UnusedUdpSocketIsBoundFirst) {
    CL_StartClock();
    CL_Socket probe(0, CL_SOCKET_DOMAIN_INET, CL_SOCKET_TYPE_UDP);
    ASSERT_EQ(probe.Accept(nullptr, 0), 0);
    uint16 port = BoundPort(probe);
    probe.Close();
    CL_Socket udp(port, CL_SOCKET_DOMAIN_INET, CL_SOCKET_TYPE_UDP);
    EXPECT_EQ(udp.GetDescriptor(), -1);
    std::thread sender([port] {
        usleep(50 * 1000);
        CL_Socket out(CL_NetAddress(CL_NetAddress::LOOPBACK, port), CL_SOCKET_TYPE_UDP);
        out.Write("ping", 4, 1000);
    });
    EXPECT_EQ(CL_Socket::Select(&udp, nullptr, nullptr, 2000, nullptr), 0);
    sender.join();
    EXPECT_EQ(BoundPort(udp), port);
    EXPECT_TRUE(fcntl(udp.GetDescriptor(), F_GETFL) & O_NONBLOCK);
    char buffer[8];
    EXPECT_EQ(udp.Read(buffer, sizeof(buffer), 100), 4u);
}

// The roles mean what select() makes of them: a peer that reset the connection makes
// the socket readable and writable, but not exceptional, so a wait on the exception
// role alone runs its whole time.
TEST(SocketSelect, ResetPeerIsNotAnExceptionalCondition) {
    SocketPair p;
    ASSERT_EQ(p.fError, "");
    linger abort = {1, 0};
    ASSERT_EQ(setsockopt(p.fClient.GetDescriptor(), SOL_SOCKET, SO_LINGER, &abort, sizeof(abort)),
              0);
    p.fClient.Close();  // sends a reset
    usleep(20 * 1000);

    CL_Set<CL_Socket*> except;
    except.Add(p.fServer.get());
    uint32 count = 99;
    uint32 start = CL_GetTime();
    EXPECT_EQ(CL_Socket::Select(nullptr, nullptr, &except, &count, 100, nullptr), 4);
    EXPECT_GE(CL_GetTime() - start, 90u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(except.Count(), 0u);

    CL_Set<CL_Socket*> read, write;
    read.Add(p.fServer.get());
    write.Add(p.fServer.get());
    except.Add(p.fServer.get());
    EXPECT_EQ(CL_Socket::Select(&read, &write, &except, &count, 1000, nullptr), 0);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(read.Count(), 1u);
    EXPECT_EQ(write.Count(), 1u);
    EXPECT_EQ(except.Count(), 0u);
}

// A peer that hangs up without sending anything makes the socket readable (the read
// sees the end of the stream) but not exceptional; so does a connection shut down in
// both directions, which poll() reports as a hang-up.
TEST(SocketSelect, HangUpWithoutDataIsReadable) {
    for (bool bothWays : {false, true}) {
        SCOPED_TRACE(bothWays ? "shut down both ways" : "peer closed");
        SocketPair p;
        ASSERT_EQ(p.fError, "");
        p.fClient.Close();
        if (bothWays) {
            ASSERT_EQ(shutdown(p.fServer->GetDescriptor(), SHUT_WR), 0);
        }
        CL_Set<CL_Socket*> read, except;
        read.Add(p.fServer.get());
        except.Add(p.fServer.get());
        uint32 count = 99;
        EXPECT_EQ(CL_Socket::Select(&read, nullptr, &except, &count, 5000, nullptr), 0);
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(read.Count(), 1u);
        EXPECT_EQ(except.Count(), 0u);
        EXPECT_EQ(CL_Socket::Select(p.fServer.get(), nullptr, nullptr, 5000, nullptr), 0);
        char byte;
        EXPECT_EQ(recv(p.fServer->GetDescriptor(), &byte, 1, MSG_DONTWAIT), 0);
    }
}

// Counts the lock calls the wait makes.
class CountingMutex : public CL_RecursiveMutex {
public:
    CL_Status Lock() override {
        fLocks++;
        return CL_RecursiveMutex::Lock();
    }
    void Unlock() override {
        fUnlocks++;
        CL_RecursiveMutex::Unlock();
    }
    std::atomic<int> fLocks{0};
    std::atomic<int> fUnlocks{0};
};

TEST(SocketSelect, LockReleasedOnceForTheWait) {
    SocketPair p;
    ASSERT_EQ(p.fError, "");
    CountingMutex lock;
    // Held once: another thread can take it while this one waits.
    lock.Lock();
    lock.fLocks = 0;
    std::atomic<bool> tookIt{false};
    std::thread other([&] {
        usleep(30 * 1000);
        lock.Lock();
        tookIt = true;
        lock.Unlock();
        p.fClient.Write("1", 1, 1000);
    });
    EXPECT_EQ(CL_Socket::Select(p.fServer.get(), nullptr, nullptr, 2000, &lock), 0);
    other.join();
    EXPECT_TRUE(tookIt);
    EXPECT_EQ(lock.fLocks.load(), 2);  // the other thread's and the wait's own
    EXPECT_EQ(lock.fUnlocks.load(), 2);
    EXPECT_EQ(lock.TryLock(), 0);  // still held by this thread (recursively)
    lock.CL_RecursiveMutex::Unlock();
    lock.CL_RecursiveMutex::Unlock();

    // Held twice: the wait releases one level only, so the lock stays held.
    char drain;
    p.fServer->Read(&drain, 1, 100);
    lock.CL_RecursiveMutex::Lock();
    lock.CL_RecursiveMutex::Lock();
    std::atomic<bool> blocked{true};
    std::thread tryer([&] {
        blocked = lock.TryLock() != 0;
        if (!blocked) lock.CL_RecursiveMutex::Unlock();
    });
    EXPECT_EQ(CL_Socket::Select(p.fServer.get(), nullptr, nullptr, 100, &lock), 4);
    tryer.join();
    EXPECT_TRUE(blocked);
    lock.CL_RecursiveMutex::Unlock();
    lock.CL_RecursiveMutex::Unlock();
}

TEST(SocketSelect, SignalsDuringASocketWait) {
    SocketPair p;
    ASSERT_EQ(p.fError, "");
    SignalGuard guard;
    sSignals = 0;
    std::thread interrupter = Interrupter(pthread_self(), {60, 120, 180});
    uint32 start = CL_GetTime();
    EXPECT_EQ(CL_Socket::Select(p.fServer.get(), nullptr, nullptr, 300, nullptr), 4);
    uint32 elapsed = CL_GetTime() - start;
    interrupter.join();
    EXPECT_EQ(sSignals.load(), 3);
    EXPECT_GE(elapsed, 290u);
    EXPECT_LT(elapsed, 500u);
    // A read with a time-out keeps its deadline through signals too.
    sSignals = 0;
    interrupter = Interrupter(pthread_self(), {50, 100});
    char buffer[4];
    start = CL_GetTime();
    EXPECT_EQ(p.fServer->Read(buffer, 4, 200), 0u);
    elapsed = CL_GetTime() - start;
    interrupter.join();
    EXPECT_EQ(p.fServer->GetIOError(false), 4);
    EXPECT_GE(elapsed, 190u);
    EXPECT_LT(elapsed, 400u);
}

// A process with many files open hands out socket descriptors beyond 1023; waiting
// on them must work rather than overflow an fd_set.
TEST(SocketSelect, DescriptorsBeyondFdSetSize) {
    rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    rlimit raised = limit;
    if (raised.rlim_cur < 1400) raised.rlim_cur = raised.rlim_max < 1400 ? raised.rlim_max : 1400;
    if (raised.rlim_cur < 1200 || setrlimit(RLIMIT_NOFILE, &raised) != 0)
        GTEST_SKIP() << "cannot open more than 1024 files here";
    std::vector<int> fillers;
    int base = open("/dev/null", O_RDONLY);
    ASSERT_GE(base, 0);
    int fd;
    while ((fd = dup(base)) >= 0 && fd < 1100)
        fillers.push_back(fd);
    if (fd >= 0) fillers.push_back(fd);
    {
        SocketPair p;
        ASSERT_EQ(p.fError, "");
        ASSERT_GE(p.fServer->GetDescriptor(), 1024);
        ASSERT_GE(p.fClient.GetDescriptor(), 1024);
        std::thread writer([&] {
            usleep(30 * 1000);
            p.fClient.Write("late", 4, 1000);
        });
        CL_Set<CL_Socket*> read;
        read.Add(p.fServer.get());
        uint32 count = 0;
        EXPECT_EQ(CL_Socket::Select(&read, nullptr, nullptr, &count, 2000, nullptr), 0);
        writer.join();
        EXPECT_EQ(count, 1u);
        char buffer[4];
        EXPECT_EQ(p.fServer->Read(buffer, 4, 1000), 4u);
        // Time-outs on such a descriptor work as well.
        EXPECT_EQ(p.fServer->Read(buffer, 4, 50), 0u);
        EXPECT_EQ(p.fServer->GetIOError(false), 4);
    }
    for (int f : fillers)
        close(f);
    close(base);
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace
