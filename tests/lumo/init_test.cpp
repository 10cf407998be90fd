// Library start-up and exit, each case in a forked child so that it starts from an
// uninitialised library and ends through the real exit path.

#include "lumo/init.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "lumo/clock.h"
#include "lumo/entry.h"
#include "lumo/power.h"
#include "lumo/regex.h"
#include "lumo/thread.h"
#include "support/child_process.h"

namespace {

// Each case runs in a child that ends through exit(), so that the exit handlers run:
// the exit code, 1000 plus the signal that ended it, or -1 when it hung for 30 seconds.
int InChild(const std::function<int()>& body) {
    return RunInChild(body, true);
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
    // A private system bus for the listener to stay connected to.
    PrivateBus bus(ZELMO_TEST_DATA "/dbus-system.conf");
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
