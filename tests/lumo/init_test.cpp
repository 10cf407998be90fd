// Library start-up and exit, each case in a forked child so that it starts from an
// uninitialised library and ends through the real exit path.

#include "lumo/init.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "lumo/clock.h"
#include "lumo/entry.h"
#include "lumo/power.h"
#include "lumo/regex.h"
#include "lumo/thread.h"

namespace {

// Exit status of a child running body; body's result becomes the exit code unless
// the child ends another way. A child still running after 30 seconds (a hang at exit)
// is killed and answers -1.
int InChild(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0) exit(body());
    for (int i = 0; i < 15000; i++) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done < 0) return -1;
        if (done == pid) {
            if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        usleep(2000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

int CountThreads(const char* wanted) {
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return -1;
    while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name == wanted) count++;
    }
    closedir(dir);
    return count;
}

// Checks made by a handler registered before CL_Init, so it runs after the library's.
void CustomPipeHandler(int) {}

void CheckAfterDispose() {
    struct sigaction now;
    sigaction(SIGPIPE, nullptr, &now);
    if (now.sa_handler != CustomPipeHandler) _exit(21);
    if (CountThreads("Power listener") != 0) _exit(22);
    // Start-up after exit handling does nothing and still answers 0.
    if (CL_Init() != 0) _exit(23);
    _exit(0);
}

int32 Ignore(int32, void*) {
    return 0;
}

// Private system bus for the listener to stay connected to; it ends with this process
// however that ends.
class SystemBus {
public:
    SystemBus() {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_t parent = getpid();
        fPid = fork();
        if (fPid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(127);
            dup2(fds[1], 1);
            int devnull = open("/dev/null", O_WRONLY);
            if (devnull >= 0) dup2(devnull, 2);
            execl("/usr/bin/dbus-daemon", "dbus-daemon",
                  "--config-file=" ZELMO_TEST_DATA "/dbus-system.conf", "--print-address=1",
                  "--nofork", (char*)nullptr);
            _exit(127);
        }
        close(fds[1]);
        // The address line, waiting at most 10 seconds for the daemon to print it.
        struct pollfd p = {fds[0], POLLIN, 0};
        char c = 0;
        while (poll(&p, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n')
            fAddress += c;
        if (c != '\n') fAddress.clear();
        close(fds[0]);
    }
    ~SystemBus() {
        if (fPid > 0) {
            kill(fPid, SIGTERM);
            bool reaped = false;
            for (int i = 0; i < 2500 && !reaped; i++) {
                reaped = waitpid(fPid, nullptr, WNOHANG) != 0;
                if (!reaped) usleep(2000);
            }
            if (!reaped) {
                kill(fPid, SIGKILL);
                waitpid(fPid, nullptr, 0);
            }
        }
    }
    const std::string& Address() const { return fAddress; }

private:
    pid_t fPid = -1;
    std::string fAddress;
};

}  // namespace

TEST(Init, ClockCountsFromTheFirstCallOnly) {
    EXPECT_EQ(0, InChild([] {
                  if (CL_GetTime() != 0 || CL_GetNanoTime() != 0) return 1;
                  if (CL_Init() != 0) return 2;
                  if (CL_GetTime() > 1000) return 3;
                  usleep(60000);
                  // A second call keeps the base: the clock goes on counting from the first.
                  if (CL_Init() != 0) return 4;
                  if (CL_GetTime() < 60) return 5;
                  return 0;
              }));
}

TEST(Init, ConcurrentFirstCallsAllAnswerZero) {
    EXPECT_EQ(0, InChild([] {
                  std::vector<std::thread> threads;
                  std::atomic<int> failures{0};
                  for (int i = 0; i < 4; i++)
                      threads.emplace_back([&] {
                          if (CL_Init() != 0) failures++;
                      });
                  for (auto& t : threads)
                      t.join();
                  return failures.load() == 0 && CL_Init() == 0 ? 0 : 1;
              }));
}

TEST(Init, BrokenPipeIsAnErrorNotASignal) {
    EXPECT_EQ(0, InChild([] {
                  CL_Init();
                  int fds[2];
                  if (pipe(fds) != 0) return 1;
                  close(fds[0]);
                  ssize_t n = write(fds[1], "x", 1);
                  return n == -1 && errno == EPIPE ? 0 : 2;
              }));
    // Without start-up the same write ends the process with the signal.
    EXPECT_EQ(1000 + SIGPIPE, InChild([] {
                  signal(SIGPIPE, SIG_DFL);
                  int fds[2];
                  if (pipe(fds) != 0) return 1;
                  close(fds[0]);
                  (void)!write(fds[1], "x", 1);
                  return 0;
              }));
}

TEST(Init, ThreadStateIsReady) {
    EXPECT_EQ(0, InChild([] {
                  CL_Init();
                  if (CLU_Entry::GetFlattenedVersion() != 2) return 1;
                  CL_TLS_Entry key = CL_Thread::GetLocalStorageEntry();
                  CL_Init();
                  return CL_Thread::GetLocalStorageEntry() == key ? 0 : 2;
              }));
}

TEST(Init, EnginesWorkAndAreReleasedAtExit) {
    EXPECT_EQ(0, InChild([] {
                  CL_Init();
                  CL_RegEx re("a+b");
                  if (!re.IsOk() || re.Match("aaab") != 0 || re.Match("ba") == 0) return 1;
                  // The shared pattern cache is in use from start-up on.
                  return CL_RegEx::sCache != nullptr ? 0 : 2;
              }));
}

TEST(Init, ExitHandlerRestoresSignalAndStopsListener) {
    SystemBus bus;
    ASSERT_FALSE(bus.Address().empty());
    std::string address = bus.Address();
    EXPECT_EQ(0, InChild([&] {
                  setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
                  signal(SIGPIPE, CustomPipeHandler);
                  atexit(CheckAfterDispose);
                  CL_Init();
                  if (CL_AddPowerCallback(Ignore, nullptr) != 0) return 11;
                  // Give the listener time to connect, so that exit has to stop a live one.
                  for (int i = 0; i < 100 && CountThreads("Power listener") != 1; i++)
                      usleep(10000);
                  usleep(100000);
                  if (CountThreads("Power listener") != 1) return 12;
                  return 0;  // exit() runs the library's handler, then CheckAfterDispose
              }));
}

// The library's process-wide locks stay usable while the process exits, since
// threads that are not joined may still take them.
TEST(Init, ExitWhileAThreadUsesTheCallbackTable) {
    EXPECT_EQ(0, InChild([] {
                  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/zelmo-bus", 1);
                  CL_Init();
                  std::thread([] {
                      for (;;) {
                          CL_AddPowerCallback(Ignore, nullptr);
                          CL_PowerCallbackRecord records[16];
                          int32 count = 0;
                          CL_GetPowerCallbacks(records, &count);
                          CL_RemovePowerCallback(Ignore);
                      }
                  }).detach();
                  usleep(20000);
                  return 0;
              }));
}
