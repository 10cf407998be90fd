#include <gtest/gtest.h>
#include <sched.h>

#include <chrono>
#include <climits>
#include <string>

#include "lumo/thread.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Seen {
    std::string fName;
    CL_ThreadID fId = 0;
    int fPolicy = -1;
    int32 fResult = 0;
};

int32 Observe(void* param) {
    Seen* seen = static_cast<Seen*>(param);
    seen->fId = CL_Thread::CurrentID();
    seen->fName = CL_Thread::GetName(seen->fId);
    sched_param sp;
    pthread_getschedparam(pthread_self(), &seen->fPolicy, &sp);
    return seen->fResult;
}

Seen RunNamed(const std::string& name, uint32 priority = 1) {
    Seen seen;
    CL_ThreadID id = CL_Thread::Spawn(name, priority, 1, Observe, &seen);
    EXPECT_NE(id, 0u);
    CL_Thread::Wait(id);
    EXPECT_EQ(seen.fId, id);
    return seen;
}

TEST(Thread, NamesFitTheFifteenByteLimit) {
    EXPECT_EQ(RunNamed("dispatch controller").fName, "dispatc.troller");
    EXPECT_EQ(RunNamed("dispatch worker 12").fName, "dispatc.rker 12");
    EXPECT_EQ(RunNamed("abcdefghijklmno").fName, "abcdefghijklmno");
    EXPECT_EQ(RunNamed("abcdefghijklmnop").fName, "abcdefg.jklmnop");
    EXPECT_EQ(RunNamed("timer").fName, "timer");
    // Bytes, not characters: a two-byte letter may be cut (the system keeps the bytes).
    EXPECT_EQ(RunNamed("\xc3\xa8"
                       "abcdefghijklmnopq")
                  .fName.size(),
              15u);

    CL_ThreadID self = CL_Thread::CurrentID();
    std::string old = CL_Thread::GetName(self);
    CL_Thread::SetName(self, "Power listener");
    EXPECT_EQ(CL_Thread::GetName(self), "Power listener");
    CL_Thread::SetName(self, old);
}

TEST(Thread, ExitValuesComeBackThroughWait) {
    for (int32 value : {0, 1, -1, -7, INT32_MAX, INT32_MIN}) {
        Seen seen;
        seen.fResult = value;
        CL_ThreadID id = CL_Thread::Spawn("exit value", 1, 1, Observe, &seen);
        ASSERT_NE(id, 0u);
        EXPECT_EQ(CL_Thread::Wait(id), value);
    }
}

TEST(Thread, PrioritySelectsSchedulingPolicy) {
    EXPECT_EQ(RunNamed("batch", 0).fPolicy, SCHED_BATCH);
    EXPECT_EQ(RunNamed("normal", 1).fPolicy, SCHED_OTHER);
    EXPECT_EQ(RunNamed("server", 2).fPolicy, SCHED_OTHER);
}

int32 SignalAndReturn(void* param) {
    static_cast<CL_Semaphore*>(param)->Release(1);
    return 0;
}

TEST(Thread, DetachedThreadRunsToItsEnd) {
    CL_Semaphore done(0);
    CL_ThreadID id = CL_Thread::Spawn("detached", 1, 1, SignalAndReturn, &done);
    ASSERT_NE(id, 0u);
    CL_Thread::Detach(id);
    EXPECT_EQ(done.Acquire(1, 5000), 0);
}

TEST(Thread, SpawnWithoutProcedureGivesZero) {
    EXPECT_EQ(CL_Thread::Spawn("none", 1, 1, nullptr, nullptr), 0u);
}

TEST(Thread, SleepZeroIsAPauseOtherwiseSleeps) {
    auto start = Clock::now();
    for (int i = 0; i < 1000; ++i)
        CL_Thread::Sleep(0);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
              500);
    start = Clock::now();
    CL_Thread::Sleep(25);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
              25);
}

}  // namespace
