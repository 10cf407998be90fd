// Power events and sleep inhibition against two private message buses: one stands
// in for the system bus (suspend and resume signals sent with dbus-send), one for the
// session bus (a stand-in inhibition service records the calls it receives).

#include "lumo/power.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lumo/files.h"
#include "support/child_process.h"

namespace {

// The two private buses, started once for the whole program before any connection.
class Buses : public ::testing::Environment {
public:
    void SetUp() override {
        sSystem = std::make_unique<PrivateBus>(ZELMO_TEST_DATA "/dbus-system.conf");
        sSession = std::make_unique<PrivateBus>(ZELMO_TEST_DATA "/dbus-session.conf");
        setenv("DBUS_SYSTEM_BUS_ADDRESS", sSystem->Address().c_str(), 1);
        setenv("DBUS_SESSION_BUS_ADDRESS", sSession->Address().c_str(), 1);
    }
    void TearDown() override {
        sSystem.reset();
        sSession.reset();
    }

    static std::unique_ptr<PrivateBus> sSystem, sSession;
};
std::unique_ptr<PrivateBus> Buses::sSystem, Buses::sSession;

const auto* const kBuses = ::testing::AddGlobalTestEnvironment(new Buses);

bool BusesUp() {
    return Buses::sSystem && !Buses::sSystem->Address().empty() && Buses::sSession &&
           !Buses::sSession->Address().empty();
}

void SendSignal(const std::string& path, const std::string& member, const std::string& arg = "") {
    std::vector<std::string> argv = {"/usr/bin/dbus-send", "--system", "--type=signal", path,
                                     member};
    if (!arg.empty()) argv.push_back(arg);
    RunQuiet(argv);
}

// The power listener's threads, polled for `expected` within bounds.
int WaitListenerThreads(int expected) {
    return WaitThreads("Power listener", expected);
}

// Records the events that reach it, with the name of the calling thread.
struct Recorder {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<int32> events;
    std::vector<std::string> threads;

    static int32 Callback(int32 event, void* param) {
        Recorder* self = static_cast<Recorder*>(param);
        char name[32] = {0};
        pthread_getname_np(pthread_self(), name, sizeof(name));
        std::lock_guard<std::mutex> guard(self->lock);
        self->events.push_back(event);
        self->threads.push_back(name);
        self->changed.notify_all();
        return 0;
    }
    bool WaitFor(size_t count, int ms) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(ms),
                                [&] { return events.size() >= count; });
    }
    size_t Size() {
        std::lock_guard<std::mutex> guard(lock);
        return events.size();
    }
};

int32 ReturnZero(int32, void*) {
    return 0;
}
int32 ReturnParam(int32, void* param) {
    return (int32)(intptr_t)param;
}
int32 ReturnOther(int32, void* param) {
    return (int32)(intptr_t)param;
}

}  // namespace

TEST(PowerCallbacks, TableHoldsSixteenInOrder) {
    ASSERT_TRUE(BusesUp());
    for (intptr_t i = 0; i < 16; i++)
        ASSERT_EQ(0, CL_AddPowerCallback(ReturnZero, (void*)i));
    EXPECT_EQ(-1, CL_AddPowerCallback(ReturnParam, nullptr));

    CL_PowerCallbackRecord records[16];
    int32 count = 0;
    CL_GetPowerCallbacks(records, &count);
    ASSERT_EQ(16, count);
    for (intptr_t i = 0; i < 16; i++) {
        EXPECT_EQ(&ReturnZero, records[i].fCallback);
        EXPECT_EQ((void*)i, records[i].fParam);
    }
    EXPECT_EQ(1, WaitListenerThreads(1));
    for (int i = 0; i < 16; i++)
        ASSERT_EQ(0, CL_RemovePowerCallback(ReturnZero));
    EXPECT_EQ(-1, CL_RemovePowerCallback(ReturnZero));
    // Removing the last record ends the listener.
    EXPECT_EQ(0, WaitListenerThreads(0));
}

TEST(PowerCallbacks, InvocationGivesLastNonZeroResult) {
    EXPECT_EQ(0, _CL_InvokePowerCallbacks(1));

    ASSERT_EQ(0, CL_AddPowerCallback(ReturnZero, nullptr));
    ASSERT_EQ(0, CL_AddPowerCallback(ReturnParam, (void*)5));
    ASSERT_EQ(0, CL_AddPowerCallback(ReturnZero, nullptr));
    EXPECT_EQ(5, _CL_InvokePowerCallbacks(1));
    ASSERT_EQ(0, CL_RemovePowerCallback(ReturnZero));
    ASSERT_EQ(0, CL_RemovePowerCallback(ReturnZero));
    ASSERT_EQ(0, CL_RemovePowerCallback(ReturnParam));

    ASSERT_EQ(0, CL_AddPowerCallback(ReturnParam, (void*)3));
    ASSERT_EQ(0, CL_AddPowerCallback(ReturnOther, (void*)7));
    EXPECT_EQ(7, _CL_InvokePowerCallbacks(2));
    ASSERT_EQ(0, CL_RemovePowerCallback(ReturnParam));
    ASSERT_EQ(0, CL_RemovePowerCallback(ReturnOther));
}

TEST(PowerCallbacks, RemovingTheMiddleKeepsOrder) {
    ASSERT_EQ(0, CL_AddPowerCallback(ReturnZero, (void*)1));
    ASSERT_EQ(0, CL_AddPowerCallback(ReturnParam, (void*)2));
    ASSERT_EQ(0, CL_AddPowerCallback(ReturnOther, (void*)3));
    ASSERT_EQ(0, CL_RemovePowerCallback(ReturnParam));
    EXPECT_EQ(-1, CL_RemovePowerCallback(ReturnParam));
    CL_PowerCallbackRecord records[16];
    int32 count = 0;
    CL_GetPowerCallbacks(records, &count);
    ASSERT_EQ(2, count);
    EXPECT_EQ(&ReturnZero, records[0].fCallback);
    EXPECT_EQ(&ReturnOther, records[1].fCallback);
    EXPECT_EQ((void*)3, records[1].fParam);
    ASSERT_EQ(0, CL_RemovePowerCallback(ReturnZero));
    ASSERT_EQ(0, CL_RemovePowerCallback(ReturnOther));
    EXPECT_EQ(0, WaitListenerThreads(0));
}

TEST(PowerEvents, SignalsReachCallbacksOnTheListener) {
    ASSERT_TRUE(BusesUp());
    Recorder rec;
    ASSERT_EQ(0, CL_AddPowerCallback(Recorder::Callback, &rec));
    // The listener subscribes asynchronously: repeat the first signal until it arrives.
    bool first = false;
    for (int i = 0; i < 50 && !first; i++) {
        SendSignal("/org/freedesktop/login1", "org.freedesktop.login1.Manager.PrepareForSleep",
                   "boolean:true");
        first = rec.WaitFor(1, 100);
    }
    ASSERT_TRUE(first);
    // Late copies of the probing signal may still arrive; let them settle.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // A forked child shares the listener's socket, not the listener: its stop (the exit
    // handler's) leaves this one running.
    EXPECT_EQ(0, RunInChild([] { return _QuitPowerThread(), 0; }));
    size_t base = rec.Size();

    SendSignal("/org/freedesktop/UPower", "org.freedesktop.UPower.Resuming");
    ASSERT_TRUE(rec.WaitFor(base + 1, 3000));
    SendSignal("/org/freedesktop/UPower", "org.freedesktop.UPower.Changed");
    SendSignal("/org/freedesktop/login1", "org.freedesktop.login1.Manager.PrepareForSleep",
               "boolean:false");
    ASSERT_TRUE(rec.WaitFor(base + 2, 3000));
    SendSignal("/org/freedesktop/UPower", "org.freedesktop.UPower.Sleeping");
    ASSERT_TRUE(rec.WaitFor(base + 3, 3000));
    // A signal of another interface, and one without its argument, give nothing.
    SendSignal("/org/other", "org.example.Other.Sleeping");
    SendSignal("/org/freedesktop/login1", "org.freedesktop.login1.Manager.PrepareForSleep");
    SendSignal("/org/freedesktop/UPower", "org.freedesktop.UPower.Resuming");
    ASSERT_TRUE(rec.WaitFor(base + 4, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    ASSERT_EQ(0, CL_RemovePowerCallback(Recorder::Callback));
    std::lock_guard<std::mutex> guard(rec.lock);
    ASSERT_EQ(base + 4, rec.events.size());
    EXPECT_EQ(1, rec.events[0]);
    EXPECT_EQ(2, rec.events[base]);
    EXPECT_EQ(2, rec.events[base + 1]);
    EXPECT_EQ(1, rec.events[base + 2]);
    EXPECT_EQ(2, rec.events[base + 3]);
    for (const std::string& name : rec.threads)
        EXPECT_EQ("Power listener", name);
}

TEST(PowerEvents, RegistrationRacingRemovalKeepsOneListener) {
    for (int round = 0; round < 4; round++) {
        ASSERT_EQ(0, CL_AddPowerCallback(ReturnZero, nullptr));
        // Let the listener connect in some rounds and not in others.
        std::this_thread::sleep_for(std::chrono::milliseconds(round * 30));
        std::thread remover([] { CL_RemovePowerCallback(ReturnZero); });
        std::thread adder([] { CL_AddPowerCallback(ReturnParam, nullptr); });
        remover.join();
        adder.join();
        int32 count = 0;
        CL_PowerCallbackRecord records[16];
        CL_GetPowerCallbacks(records, &count);
        ASSERT_EQ(1, count);
        EXPECT_EQ(1, WaitListenerThreads(1));
        ASSERT_EQ(0, CL_RemovePowerCallback(ReturnParam));
        EXPECT_EQ(0, WaitListenerThreads(0));
    }
}

// libdbus keeps the bus addresses it read first for the rest of the process, so this
// scenario runs in a fresh copy of the test program.
TEST(PowerEvents, NoSystemBusKeepsRegistrations) {
    if (!getenv("ZELMO_POWER_NO_BUS")) {
        pid_t pid = fork();
        if (pid == 0) {
            setenv("ZELMO_POWER_NO_BUS", "1", 1);
            setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/zelmo-bus", 1);
            int devnull = open("/dev/null", O_WRONLY);
            if (devnull >= 0) dup2(devnull, 1);
            execl("/proc/self/exe", "power_test",
                  "--gtest_filter=PowerEvents.NoSystemBusKeepsRegistrations", (char*)nullptr);
            _exit(127);
        }
        EXPECT_TRUE(ExitedWithZero(WaitChild(pid)));
        return;
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/zelmo-bus", 1);
    ASSERT_EQ(0, CL_AddPowerCallback(ReturnZero, nullptr));
    // The listener ends at once; the registration stands.
    EXPECT_EQ(0, WaitListenerThreads(0));
    CL_PowerCallbackRecord records[16];
    int32 count = 0;
    CL_GetPowerCallbacks(records, &count);
    EXPECT_EQ(1, count);
    EXPECT_EQ(0, CL_RemovePowerCallback(ReturnZero));
    // A new registration after the finished listener was joined starts a new one.
    EXPECT_EQ(0, CL_AddPowerCallback(ReturnZero, nullptr));
    EXPECT_EQ(0, CL_RemovePowerCallback(ReturnZero));
}

namespace {

// One inhibition scenario: a stand-in service owns `busName`; the body runs in a
// child process (the service search is made once per process).
class InhibitScenario {
public:
    explicit InhibitScenario(const char* busName) {
        char dir[] = "/tmp/zelmo-inhibit-XXXXXX";
        fDir = mkdtemp(dir) ? dir : "/tmp";
        fRecord = fDir + "/calls.txt";
        if (busName) {
            int fd = -1;
            fService =
                SpawnWithPipe({ToolsDir() + "/power_inhibit_service", busName, fRecord}, &fd);
            fReady = ReadLine(fd) == "ready";
            close(fd);
        } else {
            fReady = true;
        }
    }
    ~InhibitScenario() {
        StopChild(fService);
        unlink(fRecord.c_str());
        rmdir(fDir.c_str());
    }
    bool Ready() const { return fReady; }

    // Runs body in a child; true when it exited with 0.
    template <class F>
    bool InChild(F body) {
        return RunInChild([&] { return body() ? 0 : 1; }) == 0;
    }

    std::vector<std::string> Calls() {
        std::vector<std::string> lines;
        std::ifstream in(fRecord);
        std::string line;
        while (std::getline(in, line))
            lines.push_back(line);
        return lines;
    }
    // Waits until the record holds `count` calls (releases are not acknowledged).
    std::vector<std::string> WaitCalls(size_t count) {
        for (int i = 0; i < 100 && Calls().size() < count; i++)
            usleep(20000);
        return Calls();
    }
    const std::string& Record() const { return fRecord; }

private:
    std::string fDir, fRecord;
    pid_t fService = -1;
    bool fReady = false;
};

}  // namespace

TEST(SleepInhibition, GnomeSessionManagerNested) {
    ASSERT_TRUE(BusesUp());
    InhibitScenario scenario("org.gnome.SessionManager");
    ASSERT_TRUE(scenario.Ready());
    std::string exe = CL_GetPath(CL_EXECUTABLE_NAME);
    EXPECT_TRUE(scenario.InChild([&] {
        CL_InhibitSleep(true);
        CL_InhibitSleep(true);
        CL_InhibitSleep(false);
        // Still held: only the Inhibit has been sent.
        if (scenario.Calls().size() != 1) return false;
        CL_InhibitSleep(false);
        CL_InhibitSleep(false);
        _CL_CloseInhibitConnection();
        return true;
    }));
    std::vector<std::string> calls = scenario.WaitCalls(2);
    usleep(100000);
    calls = scenario.Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ("Inhibit org.gnome.SessionManager /org/gnome/SessionManager s:" + exe +
                  " u:0 s:Processing u:12",
              calls[0]);
    EXPECT_EQ("Uninhibit org.gnome.SessionManager /org/gnome/SessionManager u:4242", calls[1]);
}

TEST(SleepInhibition, ScreenSaverTakesTwoArguments) {
    ASSERT_TRUE(BusesUp());
    InhibitScenario scenario("org.freedesktop.ScreenSaver");
    ASSERT_TRUE(scenario.Ready());
    std::string exe = CL_GetPath(CL_EXECUTABLE_NAME);
    EXPECT_TRUE(scenario.InChild([&] {
        CL_InhibitSleep(true);
        CL_InhibitSleep(false);
        // A second round reuses the connection and the service found.
        CL_InhibitSleep(true);
        CL_InhibitSleep(false);
        return true;
    }));
    std::vector<std::string> calls = scenario.WaitCalls(4);
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ("Inhibit org.freedesktop.ScreenSaver /ScreenSaver s:" + exe + " s:Processing",
              calls[0]);
    EXPECT_EQ("UnInhibit org.freedesktop.ScreenSaver /ScreenSaver u:4242", calls[1]);
    EXPECT_EQ(calls[0], calls[2]);
    EXPECT_EQ(calls[1], calls[3]);
}

TEST(SleepInhibition, NoServiceIsSilent) {
    ASSERT_TRUE(BusesUp());
    InhibitScenario scenario(nullptr);
    EXPECT_TRUE(scenario.InChild([&] {
        CL_InhibitSleep(true);
        CL_InhibitSleep(false);
        CL_InhibitSleep(false);
        CL_InhibitSleep(true);
        CL_InhibitSleep(false);
        _CL_CloseInhibitConnection();
        return true;
    }));
    EXPECT_TRUE(scenario.Calls().empty());
}

TEST(SleepInhibition, ExecutablePathThatIsNotUtf8) {
    ASSERT_TRUE(BusesUp());
    InhibitScenario scenario("org.mate.SessionManager");
    ASSERT_TRUE(scenario.Ready());
    // Place a copy of the client under a folder whose name is not valid UTF-8.
    char base[] = "/tmp/zelmo-exe-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(base));
    std::string dir = std::string(base) + "/bad\xff\xfe";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    std::string client = dir + "/client";
    ASSERT_EQ(0, CL_CopyFile(ToolsDir() + "/power_inhibit_client", client));
    chmod(client.c_str(), 0755);
    EXPECT_EQ(0, RunQuiet({client}));
    std::vector<std::string> calls = scenario.WaitCalls(2);
    unlink(client.c_str());
    rmdir(dir.c_str());
    rmdir(base);
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ("Inhibit org.mate.SessionManager /org/mate/SessionManager s:" + std::string(base) +
                  "/bad?"
                  "?/client u:0 s:Processing u:12",
              calls[0]);
    EXPECT_EQ("Uninhibit org.mate.SessionManager /org/mate/SessionManager u:4242", calls[1]);
}

TEST(SleepInhibition, PowerManagementUsesItsInhibitInterface) {
    ASSERT_TRUE(BusesUp());
    InhibitScenario scenario("org.freedesktop.PowerManagement");
    ASSERT_TRUE(scenario.Ready());
    std::string exe = CL_GetPath(CL_EXECUTABLE_NAME);
    EXPECT_TRUE(scenario.InChild([&] {
        CL_InhibitSleep(true);
        CL_InhibitSleep(false);
        return true;
    }));
    std::vector<std::string> calls = scenario.WaitCalls(2);
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(
        "Inhibit org.freedesktop.PowerManagement.Inhibit "
        "/org/freedesktop/PowerManagement/Inhibit s:" +
            exe + " s:Processing",
        calls[0]);
    EXPECT_EQ(
        "UnInhibit org.freedesktop.PowerManagement.Inhibit "
        "/org/freedesktop/PowerManagement/Inhibit u:4242",
        calls[1]);
}

TEST(SleepInhibition, FirstServiceInTableOrderIsUsed) {
    ASSERT_TRUE(BusesUp());
    // Both session managers are present: MATE comes before GNOME.
    InhibitScenario gnome("org.gnome.SessionManager");
    InhibitScenario mate("org.mate.SessionManager");
    ASSERT_TRUE(gnome.Ready());
    ASSERT_TRUE(mate.Ready());
    EXPECT_TRUE(mate.InChild([&] {
        CL_InhibitSleep(true);
        CL_InhibitSleep(false);
        return true;
    }));
    std::vector<std::string> calls = mate.WaitCalls(2);
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(0u, calls[0].find("Inhibit org.mate.SessionManager "));
    EXPECT_EQ(0u, calls[1].find("Uninhibit org.mate.SessionManager "));
    EXPECT_TRUE(gnome.Calls().empty());
}
