// Computer description, memory figures of hosts and of cgroup v1 and v2 containers
// (fixture trees under data/computer), processor use, low memory and stack traces.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "lumo/computer.h"
#include "lumo/platform/computer_internal.h"
#include "lumo/files.h"
#include "lumo/init.h"

namespace {

constexpr uint64 KiB = 1024;
constexpr uint64 kHostTotal = 16000000 * KiB;
constexpr uint64 kHostSwap = 2000000 * KiB;

std::string Fixture(const std::string& name) {
    return std::string(ZELMO_TEST_DATA) + "/computer/" + name;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Spit(const std::string& path, const std::string& text, mode_t mode = 0644) {
    CL_EnsurePath(path.substr(0, path.rfind('/')), true);
    std::ofstream(path, std::ios::trunc) << text;
    chmod(path.c_str(), mode);
}

class ComputerTest : public ::testing::Test {
protected:
    void SetUp() override { CL_Init(); }
    void TearDown() override {
        CL_SetSystemRoot("");
        if (!fTemp.empty()) CL_DeleteTree(fTemp, true, true);
    }
    // A scratch root for trees that the test writes itself.
    std::string Temp() {
        if (fTemp.empty()) {
            char tmpl[] = "/tmp/lumo_computer_XXXXXX";
            EXPECT_NE(nullptr, mkdtemp(tmpl));
            fTemp = tmpl;
        }
        return fTemp;
    }
    CL_MemoryInfo Memory(const std::string& root) {
        CL_SetSystemRoot(root);
        CL_MemoryInfo info;
        info.fUsed = 12345;  // must be cleared
        CL_GetMemoryInfo(&info);
        return info;
    }
    std::string fTemp;
};

TEST_F(ComputerTest, KernelVersion) {
    EXPECT_EQ(393527u, CL_ParseOSVersion("6.1.55"));
    EXPECT_EQ(331520u, CL_ParseOSVersion("5.15.0-91-generic"));
    EXPECT_EQ(0x030000u, CL_ParseOSVersion("3"));
    EXPECT_EQ(0u, CL_ParseOSVersion(""));
    // Parts above 255 stop at 255 instead of spilling into the next part.
    EXPECT_EQ(0x04FFFFu, CL_ParseOSVersion("4.300.1000"));
    EXPECT_EQ(0xFF0000u, CL_ParseOSVersion("70000.0.0"));
}

TEST_F(ComputerTest, SystemDescription) {
#if defined(__x86_64__)
    const std::string family = ", x86, 64 bit";
#elif defined(__aarch64__)
    const std::string family = ", ARM, 64 bit";
#else
    const std::string family;
#endif
    std::string root = Temp();
    CL_SetSystemRoot(root);
    // Neither the command nor the file: the statuses of both are reported.
    std::string spec = CL_DescribeOS("Linux", "6.1.55");
    EXPECT_EQ("Linux generic (status: 9, exit code: -1) (kernel 6.1.55)", spec.substr(0, 56))
        << spec;

    Spit(root + "/etc/lsb-release",
         "DISTRIB_ID=Ubuntu\nDISTRIB_DESCRIPTION \t= \t\"Ubuntu 22.04.3 LTS\"\nOTHER=1\n");
    spec = CL_DescribeOS("Linux", "5.15.0-91-generic");
    EXPECT_EQ(0u, spec.find("Linux Ubuntu 22.04.3 LTS (kernel 5.15.0-91-generic)")) << spec;
    if (!family.empty()) {
        EXPECT_EQ("Linux Ubuntu 22.04.3 LTS (kernel 5.15.0-91-generic)" + family, spec);
    }

    // The command wins when it answers in its own format.
    Spit(root + "/usr/bin/lsb_release",
         "#!/bin/sh\n[ \"$1\" = -d ] || exit 2\nprintf 'Description:\\tTest Linux 12\\nmore\\n'\n",
         0755);
    spec = CL_DescribeOS("Linux", "6.1.55");
    EXPECT_EQ(0u, spec.find("Linux Test Linux 12 (kernel 6.1.55)")) << spec;

    // A failing command's output is searched when the file is missing.
    unlink((root + "/etc/lsb-release").c_str());
    Spit(root + "/usr/bin/lsb_release", "#!/bin/sh\necho 'DISTRIB_DESCRIPTION=\"Out 1\"'\nexit 3\n",
         0755);
    spec = CL_DescribeOS("Linux", "6.1.55");
    EXPECT_EQ(0u, spec.find("Linux Out 1 (kernel 6.1.55)")) << spec;

    // Without uname only the family is added.
    EXPECT_EQ("Linux" + family, CL_DescribeOS("", ""));
}

TEST_F(ComputerTest, ComputerInfoOfThisMachine) {
    CL_ComputerInfo info;
    CL_GetComputerInfo(&info);
    EXPECT_FALSE(info.fHostName.empty());
    EXPECT_FALSE(info.fUserLoginName.empty());
    EXPECT_GE(info.fNumCPUs, 1u);
    EXPECT_GT(info.fOSVersion, 0x020600u);
    EXPECT_EQ(0u, info.fOSSpec.find("Linux ")) << info.fOSSpec;
    EXPECT_NE(std::string::npos, info.fOSSpec.find(" (kernel ")) << info.fOSSpec;
    EXPECT_NE("(none)", info.fDomainName);
    CL_ComputerInfo again;
    CL_GetComputerInfo(&again);
    EXPECT_EQ(info.fOSSpec, again.fOSSpec);
    EXPECT_EQ(info.fOSVersion, again.fOSVersion);
}

TEST_F(ComputerTest, HostMemory) {
    CL_MemoryInfo m = Memory(Fixture("host"));
    EXPECT_FALSE(CL_IsRunningInContainer());
    EXPECT_EQ(kHostTotal, m.fTotalPhysical);
    EXPECT_EQ(9000000 * KiB, m.fAvailablePhysical);
    EXPECT_EQ((16000000 - 2000000 - 4000000 - 500000) * KiB, m.fUsed);
    EXPECT_EQ(kHostSwap, m.fTotalSwap);
    EXPECT_EQ(1500000 * KiB, m.fAvailableSwap);
    EXPECT_EQ(250u * static_cast<uint64>(sysconf(_SC_PAGESIZE)), m.fUsedProcess);

    // Without MemAvailable the physical figures stay 0; swap is still read.
    std::string root = Temp();
    Spit(root + "/proc/meminfo", "MemTotal: 1000 kB\nSwapTotal: 10 kB\n");
    m = Memory(root);
    EXPECT_EQ(0u, m.fTotalPhysical);
    EXPECT_EQ(0u, m.fUsed);
    EXPECT_EQ(10 * KiB, m.fTotalSwap);
    EXPECT_EQ(0u, m.fUsedProcess);
    // Nothing readable at all: zeros.
    m = Memory(root + "/nothing");
    EXPECT_EQ(0u, m.fTotalPhysical + m.fTotalSwap + m.fUsed + m.fAvailableSwap);
}

TEST_F(ComputerTest, CgroupV1Memory) {
    CL_MemoryInfo m = Memory(Fixture("v1"));
    EXPECT_TRUE(CL_IsRunningInContainer());
    EXPECT_EQ(2147483648u, m.fTotalPhysical);
    EXPECT_EQ(536870912u, m.fUsed);
    EXPECT_EQ(2147483648u - 536870912u, m.fAvailablePhysical);
    EXPECT_EQ(1073741824u, m.fTotalSwap);  // memory+swap limit less the memory limit
    EXPECT_EQ(536870912u + 1073741824u - 641728512u, m.fAvailableSwap);

    // The "no limit" value is no amount of memory: the host's totals stay in force.
    m = Memory(Fixture("v1-unlimited"));
    EXPECT_TRUE(CL_IsRunningInContainer());
    EXPECT_EQ(kHostTotal, m.fTotalPhysical);
    EXPECT_EQ(kHostSwap, m.fTotalSwap);
    EXPECT_EQ(536870912u, m.fUsed);
    EXPECT_EQ(kHostTotal - 536870912u, m.fAvailablePhysical);
    EXPECT_EQ(kHostSwap, m.fAvailableSwap);
}

TEST_F(ComputerTest, CgroupV2Memory) {
    CL_MemoryInfo m = Memory(Fixture("v2"));
    EXPECT_TRUE(CL_IsRunningInContainer());
    EXPECT_EQ(kHostTotal, m.fTotalPhysical);
    EXPECT_EQ(1073741824u, m.fUsed);
    EXPECT_EQ(kHostTotal - 1073741824u, m.fAvailablePhysical);
    EXPECT_EQ(kHostSwap, m.fTotalSwap);
    EXPECT_EQ(kHostSwap - 10485760u, m.fAvailableSwap);

    // Use above the limit gives nothing available rather than a wrapped figure.
    m = Memory(Fixture("v2-limited"));
    EXPECT_EQ(1073741824u, m.fTotalPhysical);
    EXPECT_EQ(1200000000u, m.fUsed);
    EXPECT_EQ(0u, m.fAvailablePhysical);
    EXPECT_EQ(0u, m.fTotalSwap);
    EXPECT_EQ(0u, m.fAvailableSwap);
}

TEST_F(ComputerTest, UnlimitedSwapIsTheHostsSwap) {
    // A memory limit with swap unlimited ("max" in v2, the no-limit value in v1): the
    // container may use the host's swap, not none and not 2^63 bytes of it.
    std::string v2 = Temp() + "/v2";
    Spit(v2 + "/.dockerenv", "");
    Spit(v2 + "/proc/meminfo", Slurp(Fixture("v2/proc/meminfo")));
    Spit(v2 + "/sys/fs/cgroup/memory.max", "1073741824\n");
    Spit(v2 + "/sys/fs/cgroup/memory.swap.max", "max\n");
    Spit(v2 + "/sys/fs/cgroup/memory.current", "100000000\n");
    Spit(v2 + "/sys/fs/cgroup/memory.swap.current", "1048576\n");
    CL_MemoryInfo m = Memory(v2);
    EXPECT_EQ(1073741824u, m.fTotalPhysical);
    EXPECT_EQ(1073741824u - 100000000u, m.fAvailablePhysical);
    EXPECT_EQ(kHostSwap, m.fTotalSwap);
    EXPECT_EQ(kHostSwap - 1048576u, m.fAvailableSwap);

    std::string v1 = Temp() + "/v1";
    Spit(v1 + "/.dockerenv", "");
    Spit(v1 + "/proc/meminfo", Slurp(Fixture("v1/proc/meminfo")));
    Spit(v1 + "/sys/fs/cgroup/memory/memory.limit_in_bytes", "1073741824\n");
    Spit(v1 + "/sys/fs/cgroup/memory/memory.memsw.limit_in_bytes", "9223372036854771712\n");
    m = Memory(v1);
    EXPECT_EQ(1073741824u, m.fTotalPhysical);
    EXPECT_EQ(kHostSwap, m.fTotalSwap);
}

TEST_F(ComputerTest, SwapFiguresNeverWrap) {
    std::string root = Temp();
    Spit(root + "/.dockerenv", "");
    Spit(root + "/proc/meminfo", "MemTotal: 4000000 kB\nMemAvailable: 1 kB\nSwapTotal: 1000 kB\n");
    Spit(root + "/sys/fs/cgroup/memory/memory.limit_in_bytes", "1000000\n");
    // A memory+swap limit below the memory limit, and usage above both.
    Spit(root + "/sys/fs/cgroup/memory/memory.memsw.limit_in_bytes", "500000\n");
    Spit(root + "/sys/fs/cgroup/memory/memory.usage_in_bytes", "100\n");
    Spit(root + "/sys/fs/cgroup/memory/memory.memsw.usage_in_bytes", "999999999\n");
    CL_MemoryInfo m = Memory(root);
    EXPECT_EQ(1000000u, m.fTotalPhysical);
    EXPECT_EQ(0u, m.fTotalSwap);
    EXPECT_EQ(0u, m.fAvailableSwap);
    EXPECT_EQ(1000000u - 100u, m.fAvailablePhysical);

    // MemFree + Cached + Buffers above MemTotal on a host.
    std::string host = root + "/host";
    Spit(host + "/proc/meminfo",
         "MemTotal: 100 kB\nMemFree: 90 kB\nMemAvailable: 95 kB\nBuffers: 20 kB\nCached: 20 kB\n");
    m = Memory(host);
    EXPECT_EQ(0u, m.fUsed);
}

TEST_F(ComputerTest, LowMemoryFromFigures) {
    CL_SetSystemRoot(Fixture("host"));
    bool critical = true;
    EXPECT_FALSE(CL_IsMemoryLow(&critical));
    EXPECT_TRUE(critical);  // not written when memory is not low

    CL_SetSystemRoot(Fixture("v2-limited"));
    critical = false;
    EXPECT_TRUE(CL_IsMemoryLow(&critical));
    EXPECT_TRUE(critical);
    EXPECT_TRUE(CL_IsMemoryLow());

    std::string root = Temp();
    Spit(root + "/proc/meminfo", "MemTotal: 1000000 kB\nMemAvailable: 40000 kB\n");
    CL_SetSystemRoot(root);
    critical = true;
    EXPECT_TRUE(CL_IsMemoryLow(&critical));  // 96% used, but 40 MB still free
    EXPECT_FALSE(critical);
    Spit(root + "/proc/meminfo", "MemTotal: 1000000 kB\nMemAvailable: 50000 kB\n");
    EXPECT_FALSE(CL_IsMemoryLow(&critical));  // exactly 95% is not low

    // Pressure events registered: nothing fired, so memory is not low.
    std::string events = root + "/events";
    Spit(events + "/proc/meminfo", "MemTotal: 1000000 kB\nMemAvailable: 1 kB\n");
    Spit(events + "/sys/fs/cgroup/memory/cgroup.event_control", "");
    Spit(events + "/sys/fs/cgroup/memory/memory.pressure_level", "");
    CL_SetSystemRoot(events);
    critical = true;
    EXPECT_FALSE(CL_IsMemoryLow(&critical));
    EXPECT_FALSE(critical);
}

TEST_F(ComputerTest, ProcessorUse) {
    std::string root = Temp();
    Spit(root + "/.dockerenv", "");
    Spit(root + "/sys/fs/cgroup/cpu.stat", "usage_usec 1000\n");
    CL_SetSystemRoot(root);
    EXPECT_EQ(0.0, CL_GetCPUUsage());
    usleep(2000);
    Spit(root + "/sys/fs/cgroup/cpu.stat", "usage_usec 999999999999\n");
    EXPECT_EQ(100.0, CL_GetCPUUsage());
    usleep(2000);
    // A counter that went back measures no use.
    Spit(root + "/sys/fs/cgroup/cpu.stat", "usage_usec 5\n");
    EXPECT_EQ(0.0, CL_GetCPUUsage());
    // An unreadable source answers 0 and keeps the previous sample.
    unlink((root + "/sys/fs/cgroup/cpu.stat").c_str());
    EXPECT_EQ(0.0, CL_GetCPUUsage());

    CL_SetSystemRoot(Fixture("v1"));
    EXPECT_EQ(0.0, CL_GetCPUUsage());
    CL_SetSystemRoot(Fixture("host"));
    EXPECT_EQ(0.0, CL_GetCPUUsage());
    EXPECT_EQ(0.0, CL_GetCPUUsage());  // same counters: nothing used

    CL_SetSystemRoot("");
    EXPECT_EQ(0.0, CL_GetCPUUsage());
    volatile uint64 sink = 0;
    for (uint64 i = 0; i < 3000000; ++i)
        sink = sink + i;
    double use = CL_GetCPUUsage();
    EXPECT_GE(use, 0.0);
    EXPECT_LE(use, 100.0);
}

__attribute__((noinline)) std::string TraceHere() {
    std::string trace = CL_GetStackTrace(0);
    asm volatile("");
    return trace;
}

TEST_F(ComputerTest, StackTrace) {
    std::string trace = TraceHere();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ("0    ", trace.substr(0, 5));
    EXPECT_EQ(std::string::npos, trace.find("CL_GetStackTrace")) << trace;
    EXPECT_EQ('\n', trace.back());
    // With addr2line installed the frames in this program get source positions.
    if (access("/usr/bin/addr2line", X_OK) == 0) {
        EXPECT_NE(std::string::npos, trace.find("computer_test.cpp:")) << trace;
    }
    std::string shorter = CL_GetStackTrace(1);
    EXPECT_LT(shorter.size(), trace.size() + 200);
}

}  // namespace
