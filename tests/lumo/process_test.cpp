// Child processes through pipes and a pseudo-terminal, exit codes and signals, waits
// with time-outs, the one-call form, and dynamic libraries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <string>

#include "lumo/blob.h"
#include "lumo/init.h"
#include "lumo/process.h"

namespace {

std::string Tool() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    std::string exe(buf, n > 0 ? static_cast<size_t>(n) : 0);
    return exe.substr(0, exe.rfind('/')) + "/../tools/process_child";
}

std::string RunTool(const std::string& args, int32* code = nullptr, const std::string& input = "",
                    const std::string& dir = "") {
    std::string output;
    int32 result = 12345;
    EXPECT_EQ(CL_OK, CL_ExecuteProcess(Tool() + " " + args, true, &result, input, &output, dir));
    if (code) *code = result;
    return output;
}

// Reads until the end of the output (or until `until` shows up).
std::string Drain(CL_Process* p, const std::string& until = "") {
    CL_Blob data;
    while (p->Read(&data, 5000) == 0) {
        std::string text(reinterpret_cast<const char*>(data.GetDataForRead()), data.GetSize());
        if (!until.empty() && text.find(until) != std::string::npos) break;
    }
    return std::string(reinterpret_cast<const char*>(data.GetDataForRead()), data.GetSize());
}

class ProcessTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        CL_Init();
        ASSERT_EQ(0, access(Tool().c_str(), X_OK)) << Tool();
    }
};

TEST_F(ProcessTest, CommandLineSplitting) {
    // Quotes group and vanish; a quote after a backslash is kept with the backslash.
    EXPECT_EQ("[a b]\n[c\\\"d]\n", RunTool("args \"a b\" c\\\"d"));
    EXPECT_EQ("[x]\n", RunTool("args   x"));
    EXPECT_EQ("[x]\n", RunTool("args x   "));
    EXPECT_EQ("[in side]\n[]\n[x]\n", RunTool("args in\" \"side \"\" x"));
    EXPECT_EQ("[y]\n", RunTool("args y \"\""));  // a trailing empty argument is dropped
    // A leading blank makes an empty program name, which cannot run.
    int32 code = 0;
    std::string output;
    EXPECT_EQ(CL_OK, CL_ExecuteProcess(" " + Tool() + " exit 0", true, &code, "", &output, ""));
    EXPECT_EQ(-1, code);
}

TEST_F(ProcessTest, ExitCodesAndSignals) {
    int32 code = 0;
    RunTool("exit 3", &code);
    EXPECT_EQ(3, code);
    RunTool("exit 255", &code);
    EXPECT_EQ(255, code);
    RunTool("kill 15", &code);
    EXPECT_EQ(static_cast<int32>(0x8000000F), code);
    RunTool("kill 9", &code);
    EXPECT_EQ(static_cast<int32>(0x80000009), code);

    // A missing program and a missing working folder both start and end as -1.
    CL_Process p;
    ASSERT_EQ(CL_OK, CL_ExecuteProcess("/nonexistent/program arg", &p));
    EXPECT_EQ(CL_OK, p.Wait(CL_WAIT_FOREVER));
    EXPECT_EQ(-1, p.GetExitCode());
    p.Terminate();
    ASSERT_EQ(CL_OK, CL_ExecuteProcess(Tool() + " exit 0", &p, "/nonexistent/folder"));
    EXPECT_EQ(CL_OK, p.Wait(CL_WAIT_FOREVER));
    EXPECT_EQ(-1, p.GetExitCode());
    p.Terminate();
}

TEST_F(ProcessTest, WaitTimeoutsAndReaping) {
    CL_Process empty;
    EXPECT_EQ(CL_OK, empty.Wait(100));
    EXPECT_EQ(CL_OK, empty.Wait(CL_WAIT_FOREVER));
    EXPECT_FALSE(empty.IsAlive());

    CL_Process p;
    ASSERT_EQ(CL_OK, CL_ExecuteProcess(Tool() + " sleep 1000", &p));
    EXPECT_TRUE(p.IsAlive());
    EXPECT_EQ(CL_TIMEOUT, p.Wait(100));
    EXPECT_EQ(CL_TIMEOUT, p.Wait(0));
    p.Terminate();
    EXPECT_FALSE(p.IsAlive());
    EXPECT_EQ(0, p.fPID);
    EXPECT_EQ(-1, p.fInputFD);
    EXPECT_EQ(-1, p.fOutputFD);
    p.Terminate();  // twice is harmless

    ASSERT_EQ(CL_OK, CL_ExecuteProcess(Tool() + " exit 7", &p));
    EXPECT_EQ(CL_OK, p.Wait(5000));
    EXPECT_EQ(7, p.GetExitCode());
    // Once reaped the id may be reused: the handle neither reports it alive nor
    // waits on it again.
    EXPECT_FALSE(p.IsAlive());
    EXPECT_EQ(CL_OK, p.Wait(CL_WAIT_FOREVER));
    EXPECT_EQ(7, p.GetExitCode());
    p.Terminate();
    EXPECT_EQ(7, p.GetExitCode());
}

TEST_F(ProcessTest, PipesReadAndWrite) {
    CL_Process p;
    ASSERT_EQ(CL_OK, CL_ExecuteProcess(Tool() + " silent", &p));
    CL_Blob data;
    EXPECT_EQ(CL_TIMEOUT, p.Read(&data, 0));
    EXPECT_EQ(0u, data.GetSize());
    EXPECT_EQ(CL_OK, p.Write(CL_Blob(), true));  // empty: nothing closed
    EXPECT_GE(p.fOutputFD, 0);
    p.Terminate();

    // Larger than one pipe buffer's worth in rounds, echoed back in 1024-byte reads.
    std::string text;
    for (int i = 0; i < 6000; ++i)
        text += "line " + std::to_string(i) + "\n";
    text.resize(60000);
    ASSERT_EQ(CL_OK, CL_ExecuteProcess(Tool() + " cat", &p));
    EXPECT_EQ(CL_OK, p.Write(CL_Blob(text), true));
    EXPECT_EQ(-1, p.fOutputFD);
    CL_Blob echoed;
    int reads = 0;
    while (p.Read(&echoed, 5000) == 0)
        ++reads;
    EXPECT_GE(reads, 59);
    EXPECT_EQ(text, echoed.Raw());
    EXPECT_EQ(CL_IO_ERROR, p.Read(&echoed, 0));
    EXPECT_EQ(CL_OK, p.Wait(CL_WAIT_FOREVER));
    EXPECT_EQ(0, p.GetExitCode());
    // Writing to a child that is gone fails instead of raising the broken-pipe signal.
    EXPECT_EQ(CL_IO_ERROR, p.Write(CL_Blob("late"), false));
    p.Terminate();
}

TEST_F(ProcessTest, DescriptorsAboveTheSelectLimit) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur <= FD_SETSIZE + 10)
        GTEST_SKIP() << "descriptor limit too low";
    CL_Process p;
    ASSERT_EQ(CL_OK, CL_ExecuteProcess(Tool() + " cat", &p));
    // Move both ends above what an fd_set holds.
    ASSERT_EQ(FD_SETSIZE + 3, dup2(p.fInputFD, FD_SETSIZE + 3));
    ASSERT_EQ(FD_SETSIZE + 4, dup2(p.fOutputFD, FD_SETSIZE + 4));
    close(p.fInputFD);
    close(p.fOutputFD);
    p.fInputFD = FD_SETSIZE + 3;
    p.fOutputFD = FD_SETSIZE + 4;
    CL_Blob data;
    EXPECT_EQ(CL_TIMEOUT, p.Read(&data, 10));
    EXPECT_EQ(CL_OK, p.Write(CL_Blob("ping"), true));
    EXPECT_EQ("ping", Drain(&p));
    p.Terminate();
}

TEST_F(ProcessTest, ChildStartsClean) {
    // The parent ignores the broken-pipe signal (start-up does) and blocks another on
    // this thread; neither reaches the child, nor do descriptors without close-on-exec.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    int leaked = open("/dev/null", O_RDONLY);
    EXPECT_EQ("pipe=default mask=empty\n", RunTool("signals"));
    EXPECT_EQ("0\n", RunTool("fds"));
    close(leaked);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

TEST_F(ProcessTest, OneCallForm) {
    int32 code = 99;
    EXPECT_EQ("hello\nworld", RunTool("cat", &code, "hello\nworld"));
    EXPECT_EQ(0, code);
    EXPECT_EQ("/tmp", RunTool("cwd", &code, "", "/tmp"));
    EXPECT_EQ("", RunTool("exit 4", &code));
    EXPECT_EQ(4, code);

    // A child that ends without reading its input is not an error.
    std::string big(200000, 'x');
    EXPECT_EQ("", RunTool("exit 5", &code, big));
    EXPECT_EQ(5, code);
    // Nor does it cut the output short: all of it is collected, not one read's worth.
    std::string spewed = RunTool("spew 5000", &code, big);
    EXPECT_EQ(5000u, spewed.size());
    EXPECT_EQ(std::string::npos, spewed.find_first_not_of('x'));
    EXPECT_EQ(0, code);

    // Without waiting the child is killed at once; null outputs are allowed.
    EXPECT_EQ(CL_OK, CL_ExecuteProcess(Tool() + " silent", false, nullptr, "", nullptr, ""));
    EXPECT_EQ(CL_OK, CL_ExecuteProcess(Tool() + " exit 1", true, nullptr, "", nullptr, ""));
}

TEST_F(ProcessTest, PseudoTerminal) {
    CL_Process p;
    ASSERT_EQ(CL_OK, CL_ExecuteProcess(Tool() + " tty", &p, "", true));
    EXPECT_EQ(p.fInputFD, p.fOutputFD);
    EXPECT_EQ(CL_OK, p.SetWindowSize(100, 40));
    // Closing the input of a terminal keeps the shared descriptor for reading.
    EXPECT_EQ(CL_OK, p.Write(CL_Blob("go\n"), true));
    EXPECT_EQ(-1, p.fOutputFD);
    EXPECT_GE(p.fInputFD, 0);
    std::string out = Drain(&p, "100x40");
    EXPECT_NE(std::string::npos, out.find("tty 100x40")) << out;
    EXPECT_EQ(CL_OK, p.Wait(CL_WAIT_FOREVER));
    EXPECT_EQ(0, p.GetExitCode());
    p.Terminate();
    EXPECT_EQ(-1, p.fInputFD);

    CL_Process pipes;
    ASSERT_EQ(CL_OK, CL_ExecuteProcess(Tool() + " silent", &pipes));
    EXPECT_EQ(CL_IO_ERROR, pipes.SetWindowSize(80, 25));
    pipes.Terminate();

    // Restarting a handle releases the child it held.
    ASSERT_EQ(CL_OK, CL_ExecuteProcess(Tool() + " silent", &p, "", true));
    int32 first = p.fPID;
    ASSERT_EQ(CL_OK, CL_ExecuteProcess(Tool() + " exit 2", &p));
    EXPECT_NE(first, p.fPID);
    EXPECT_NE(0, kill(first, 0));
    EXPECT_EQ(CL_OK, p.Wait(CL_WAIT_FOREVER));
    EXPECT_EQ(2, p.GetExitCode());
    p.Terminate();
}

TEST(DynamicLibraryTest, CanonicalNames) {
    using L = CL_DynamicLibrary;
    EXPECT_EQ("dir/libfoo.so", L::CanonicalizeName("dir/foo.so.1", L::LIBRARY));
    EXPECT_EQ("dir/libfoo.so", L::CanonicalizeName("dir\\foo.so.1", L::LIBRARY));
    EXPECT_EQ("foo.so", L::CanonicalizeName("foo", L::PLUGIN));
    EXPECT_EQ("liblibfoo.so", L::CanonicalizeName("libfoo", L::LIBRARY));
    EXPECT_EQ("/a.b/libc.so", L::CanonicalizeName("/a.b/c.d", L::LIBRARY));
    EXPECT_EQ(".so", L::Extension(L::PLUGIN));
}

TEST(DynamicLibraryTest, LoadAndLookUp) {
    CL_DynamicLibrary lib;
    bool found = true;
    EXPECT_EQ(nullptr, lib.GetSymbol("zlibVersion", &found));
    EXPECT_TRUE(found);  // untouched without a library

    EXPECT_FALSE(lib.Load("/nonexistent/libnothing.so"));
    EXPECT_FALSE(CL_DynamicLibrary::GetError().empty());
    EXPECT_EQ("", CL_DynamicLibrary::GetError());  // consumed

    std::string name = CL_DynamicLibrary::CanonicalizeName("/usr/lib/x86_64-linux-gnu/z",
                                                           CL_DynamicLibrary::LIBRARY);
    if (access(name.c_str(), R_OK) != 0) GTEST_SKIP() << name << " not installed";
    ASSERT_TRUE(lib.Load(name)) << CL_DynamicLibrary::GetError();
    auto version = reinterpret_cast<const char* (*)()>(lib.GetSymbol("zlibVersion", &found));
    ASSERT_TRUE(found);
    EXPECT_EQ('1', version()[0]);
    EXPECT_EQ(nullptr, lib.GetSymbol("no_such_symbol_here", &found));
    EXPECT_FALSE(found);
    lib.Unload();
    EXPECT_EQ(nullptr, lib.fHandle);
    lib.Unload();
}

}  // namespace
