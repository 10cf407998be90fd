// Periodic timer: tick numbering, reset, stop, a null function, calls back into the
// timer from its own function, and destruction while running.

#include "lumo/timer.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "lumo/clock.h"

namespace {

struct Calls {
    std::mutex lock;
    std::vector<uint32> ticks;
    std::vector<uint32> times;
    std::string thread;
    std::atomic<uint32> count{0};

    static void Record(uint32 tick, void* param) {
        Calls* self = static_cast<Calls*>(param);
        char name[32] = {0};
        pthread_getname_np(pthread_self(), name, sizeof(name));
        std::lock_guard<std::mutex> guard(self->lock);
        self->ticks.push_back(tick);
        self->times.push_back(CL_GetTime());
        self->thread = name;
        self->count++;
    }
    void WaitCount(uint32 n) {
        for (int i = 0; i < 500 && count < n; i++)
            CL_Thread::Sleep(5);
    }
};

class TimerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { CL_StartClock(); }
};

}  // namespace

TEST_F(TimerTest, TicksCountPeriodsFromStart) {
    Calls calls;
    CL_Timer timer(20, Calls::Record, &calls);
    CL_Thread::Sleep(30);
    EXPECT_EQ(0u, calls.count.load());  // not started: nothing is called
    uint32 start = CL_GetTime();
    timer.Start();
    calls.WaitCount(3);
    timer.Stop();
    std::lock_guard<std::mutex> guard(calls.lock);
    ASSERT_GE(calls.ticks.size(), 3u);
    for (size_t i = 0; i < calls.ticks.size(); i++)
        EXPECT_EQ(i, calls.ticks[i]);
    // Each call comes a whole period after the previous one began.
    EXPECT_GE(calls.times[0] - start, 20u);
    for (size_t i = 1; i < calls.times.size(); i++)
        EXPECT_GE(calls.times[i] - calls.times[i - 1], 20u);
    EXPECT_EQ("timer", calls.thread);
}

namespace {

struct ResetProbe {
    CL_Timer* timer = nullptr;
    std::vector<uint32> ticks;
    std::atomic<uint32> count{0};
    static void OnTick(uint32 tick, void* param) {
        ResetProbe* self = static_cast<ResetProbe*>(param);
        self->ticks.push_back(tick);
        // Reset inside the third call: the next period begins after it, with tick 0.
        if (self->ticks.size() == 3) self->timer->Reset();
        if (self->ticks.size() == 5) self->timer->Stop();
        self->count++;
    }
};

}  // namespace

TEST_F(TimerTest, ResetFromTheFunctionRestartsTicks) {
    ResetProbe probe;
    CL_Timer timer(5, ResetProbe::OnTick, &probe);
    probe.timer = &timer;
    timer.Start();
    for (int i = 0; i < 500 && probe.count < 5; i++)
        CL_Thread::Sleep(5);
    CL_Thread::Sleep(30);
    EXPECT_EQ((std::vector<uint32>{0, 1, 2, 0, 1}), probe.ticks);
}

TEST_F(TimerTest, StopAndNullFunction) {
    Calls calls;
    CL_Timer timer;
    timer.Start();  // no function yet: periods run and call nothing
    CL_Thread::Sleep(20);
    timer.Set(10, Calls::Record, &calls);
    calls.WaitCount(2);
    timer.Stop();
    CL_Thread::Sleep(100);  // a period already begun may still end with its call
    uint32 stopped = calls.count;
    CL_Thread::Sleep(50);
    EXPECT_EQ(stopped, calls.count.load());
    // Set keeps the state; Start resumes with the tick restarted by Set.
    timer.Set(10, Calls::Record, &calls);
    timer.Start();
    calls.WaitCount(stopped + 1);
    timer.Stop();
    std::lock_guard<std::mutex> guard(calls.lock);
    EXPECT_EQ(0u, calls.ticks[stopped]);
}

namespace {

struct SlowCall {
    std::atomic<int> started{0}, finished{0};
    static void OnTick(uint32, void* param) {
        SlowCall* self = static_cast<SlowCall*>(param);
        self->started++;
        CL_Thread::Sleep(40);
        self->finished++;
    }
};

}  // namespace

TEST_F(TimerTest, DestructionWaitsForTheCallInProgress) {
    SlowCall slow;
    {
        CL_Timer timer(1, SlowCall::OnTick, &slow);
        timer.Start();
        for (int i = 0; i < 500 && slow.started == 0; i++)
            CL_Thread::Sleep(1);
    }
    EXPECT_GE(slow.started.load(), 1);
    EXPECT_EQ(slow.started.load(), slow.finished.load());
    int after = slow.finished;
    CL_Thread::Sleep(20);
    EXPECT_EQ(after, slow.finished.load());
}
