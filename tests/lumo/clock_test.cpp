#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "lumo/clock.h"
#include "lumo/net/countdown.h"
#include "lumo/thread.h"

namespace {

TEST(Clock, ReadsZeroUntilStartedThenCountsFromZero) {
    // Runs first in this executable: nothing has set the base yet.
    if (sTimerFrequency == 0) {
        EXPECT_EQ(CL_GetTime(), 0u);
        EXPECT_EQ(CL_GetMicroTime(), 0u);
        EXPECT_EQ(CL_GetNanoTime(), 0u);
    }
    CL_StartClock();
    EXPECT_LT(CL_GetTime(), 1000u);
    uint64 n1 = CL_GetNanoTime();
    uint64 u1 = CL_GetMicroTime();
    CL_Thread::Sleep(20);
    uint64 n2 = CL_GetNanoTime();
    uint64 u2 = CL_GetMicroTime();
    EXPECT_GE(n2 - n1, 19000000u);
    EXPECT_GE(u2 - u1, 19000u);
    EXPECT_LT(u2 - u1, 10000000u);
    EXPECT_GE(CL_GetTime(), 19u);
}

TEST(Clock, MillisecondsWrapAndDifferencesStayCorrect) {
    CL_StartClock();
    uint64 savedBase = sTimerBase;
    // Move the base back so that the millisecond count sits just below 2^32.
    sTimerBase = savedBase - (uint64(0xFFFFFFFFu) - 30u) * 1000000u;
    uint32 before = CL_GetTime();
    EXPECT_GT(before, 0xFFFFFF00u);
    CL_Thread::Sleep(60);
    uint32 after = CL_GetTime();
    EXPECT_LT(after, before);  // wrapped
    uint32 elapsed = after - before;
    EXPECT_GE(elapsed, 59u);
    EXPECT_LT(elapsed, 10000u);
    // The 64-bit clocks do not wrap there.
    EXPECT_GT(CL_GetMicroTime(), uint64(0xFFFFFFFFu) * 1000u);
    sTimerBase = savedBase;

    // The server's elapsed times: every gap up to the wrap, from any reading, is the
    // plain difference; a stamp up to a minute later than `now` is no time at all.
    const uint64 day = 86400000;
    const uint64 gaps[] = {0,        1,        60000,    0x7FFFFFFF, 0x80000000,
                           25 * day, 40 * day, 49 * day, 0xFFFFFFFFu - kClockLead};
    for (uint32 now : {0u, 100u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFF0u}) {
        for (uint64 gap : gaps)
            EXPECT_EQ(CL_Elapsed(now, uint32(now - gap)), gap) << now << " " << gap;
        for (uint32 lead : {1u, kClockLead})
            EXPECT_EQ(CL_Elapsed(now, now + lead), 0u) << now << " " << lead;
    }
}

TEST(Clock, LongElapsedTimesDoNotOverflow) {
    CL_StartClock();
    uint64 savedBase = sTimerBase;
    // About 300 years of elapsed nanoseconds: the product with 1000000 would overflow.
    const uint64 years300 = 300ull * 365 * 24 * 3600 * 1000000000ull;
    sTimerBase = savedBase - years300;
    uint64 micros = CL_GetMicroTime();
    EXPECT_GE(micros, years300 / 1000);
    EXPECT_LT(micros - years300 / 1000, 60000000u);
    sTimerBase = savedBase;
}

TEST(Random, FillsBuffersOfAnySize) {
    uint8 buffer[1000];
    memset(buffer, 0, sizeof(buffer));
    EXPECT_EQ(CL_GetRandomBytes(buffer, sizeof(buffer)), CL_OK);
    int zeros = 0;
    for (uint8 b : buffer)
        zeros += b == 0;
    EXPECT_LT(zeros, 40);  // about 4 expected
    EXPECT_EQ(CL_GetRandomBytes(nullptr, 0), CL_OK);
    uint32 a = CL_GetRandom(), b = CL_GetRandom(), c = CL_GetRandom();
    EXPECT_FALSE(a == b && b == c);
}

TEST(Environment, SetReadAndDelete) {
    bool found = true;
    CL_DeleteEnv("LUMO_TEST_VARIABLE");
    EXPECT_EQ(CL_GetEnv("LUMO_TEST_VARIABLE", &found), "");
    EXPECT_FALSE(found);
    CL_SetEnv("LUMO_TEST_VARIABLE", "");
    EXPECT_EQ(CL_GetEnv("LUMO_TEST_VARIABLE", &found), "");
    EXPECT_TRUE(found);
    CL_SetEnv("LUMO_TEST_VARIABLE", "one");
    CL_SetEnv("LUMO_TEST_VARIABLE", "two");
    EXPECT_EQ(CL_GetEnv("LUMO_TEST_VARIABLE"), "two");
    CL_DeleteEnv("LUMO_TEST_VARIABLE");
    EXPECT_EQ(CL_GetEnv("LUMO_TEST_VARIABLE", &found), "");
    EXPECT_FALSE(found);
}

TEST(DebugLog, WritesOnlyWhileOpen) {
    char dir[] = "/tmp/lumo_debuglog_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof(old)), nullptr);
    ASSERT_EQ(chdir(dir), 0);

    EXPECT_EQ(debug_printf("early %d", 1), -1);
    debug_open();
    EXPECT_EQ(debug_printf("value %d;", 42), 9);
    EXPECT_EQ(debug_printf("%s", "end"), 3);
    debug_close();
    EXPECT_EQ(debug_printf("late"), -1);
    debug_close();  // a second close does nothing

    FILE* f = fopen("stderr.log", "r");
    ASSERT_NE(f, nullptr);
    char text[64] = {0};
    size_t got = fread(text, 1, sizeof(text) - 1, f);
    fclose(f);
    EXPECT_EQ(std::string(text, got), "value 42;end");

    unlink("stderr.log");
    ASSERT_EQ(chdir(old), 0);
    rmdir(dir);
}

}  // namespace
