// Paths and files on real files in temporary folders; access errors through a child
// that drops to an unprivileged user, a full disk on a small tmpfs in a private mount
// namespace.

#include "lumo/files.h"

#include <fcntl.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>

#include "lumo/blob.h"
#include "lumo/timestamp.h"
#include "support/child_process.h"

namespace {

// Sets or clears an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : fName(name) {
        const char* old = getenv(name);
        fHad = old != nullptr;
        if (fHad) fOld = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (fHad)
            setenv(fName.c_str(), fOld.c_str(), 1);
        else
            unsetenv(fName.c_str());
    }

private:
    std::string fName, fOld;
    bool fHad;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void Put(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// Exit code of a child: 0 passed, 1 failed, 77 could not set up its environment.
int ChildCode(const std::function<int()>& body) {
    return RunInChild(body);
}

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/zelmo-files-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        fDir = dir;
    }
    void TearDown() override { EXPECT_EQ(0, CL_DeleteTree(fDir, true, true)); }
    std::string P(const std::string& name) const { return fDir + "/" + name; }

    std::string fDir;
};

int32 AbortAtOnce(uint64, uint64, void*) {
    return 7;
}

int32 CountProgress(uint64 copied, uint64 total, void* param) {
    auto* calls = static_cast<std::vector<std::pair<uint64, uint64>>*>(param);
    calls->push_back({copied, total});
    return 0;
}

}  // namespace

TEST(Paths, StandardLocationsFromEnvironment) {
    ScopedEnv data("XDG_DATA_HOME", nullptr), config("XDG_CONFIG_HOME", "/nonexistent-config"),
        cache("XDG_CACHE_HOME", "/c/");
    {
        ScopedEnv home("HOME", nullptr);
        EXPECT_EQ("/usr/share/", CL_GetPath(CL_USER_HOME_PATH));
    }
    ScopedEnv home("HOME", "/home/u");
    EXPECT_EQ("/home/u/", CL_GetPath(CL_USER_HOME_PATH));
    EXPECT_EQ("/c//", CL_GetPath(CL_USER_CACHE_PATH));
    EXPECT_EQ("/home/u/.local/share/data/", CL_GetPath(CL_USER_APPLICATION_SUPPORT_PATH));
    EXPECT_EQ("/home/u/.local/share/log/", CL_GetPath(CL_USER_LOG_PATH));
    EXPECT_EQ("/nonexistent-config/", CL_GetPath(CL_USER_PREFERENCES_PATH));
    EXPECT_EQ("/home/u/Documents/", CL_GetPath(CL_USER_DOCUMENTS_PATH));
    EXPECT_EQ("/home/u/Pictures/", CL_GetPath(CL_USER_IMAGES_PATH));
    EXPECT_EQ("/tmp/", CL_GetPath(CL_TEMP_PATH));
    EXPECT_EQ("/etc/", CL_GetPath(CL_SYSTEM_PREFERENCES_PATH));
    EXPECT_EQ("/usr/share/fonts/truetype/", CL_GetPath(CL_SYSTEM_FONTS_PATH));
    EXPECT_EQ("/usr/share/", CL_GetPath(CL_SYSTEM_IMAGES_PATH));
    EXPECT_EQ("/var/cache/", CL_GetPath(CL_SYSTEM_CACHE_PATH));
    {
        ScopedEnv empty("XDG_DATA_HOME", "");
        EXPECT_EQ("/home/u/.local/share/data/", CL_GetPath(CL_USER_APPLICATION_SUPPORT_PATH));
    }
    ScopedEnv set("XDG_DATA_HOME", "/d");
    EXPECT_EQ("/d/log/", CL_GetPath(CL_USER_LOG_PATH));
}

TEST(Paths, ExecutableLocations) {
    char exe[1024];
    ssize_t len = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    ASSERT_GT(len, 0);
    std::string full(exe, (size_t)len);
    std::string dir = full.substr(0, full.rfind('/'));
    EXPECT_EQ(full, CL_GetPath(CL_EXECUTABLE_NAME));
    EXPECT_EQ(dir + "/", CL_GetPath(CL_EXECUTABLE_PATH));
    EXPECT_EQ(dir + "/", CL_GetPath(CL_RESOURCE_PATH));
    EXPECT_EQ(dir + "/", CL_GetPath((CL_PathSpecifier)99));
}

TEST_F(FilesTest, UserDirectoriesFile) {
    ScopedEnv home("HOME", "/home/u"), config("XDG_CONFIG_HOME", fDir.c_str());
    Put(P("user-dirs.dirs"),
        "# comment\n"
        "XDG_PICTURES_DIR=\n"
        "XDG_DOCUMENTS_DIR=\"$HOME/Documenti\"\n"
        "XDG_DOCUMENTS_DIR=\"/second\"\n");
    EXPECT_EQ("/home/u/Documenti/", CL_GetPath(CL_USER_DOCUMENTS_PATH));
    // The empty line is skipped and nothing else names the key: the fallback applies.
    EXPECT_EQ("/home/u/Pictures/", CL_GetPath(CL_USER_IMAGES_PATH));
    Put(P("user-dirs.dirs"), "XDG_PICTURES_DIR=\"\"\nXDG_DOCUMENTS_DIR=/plain\n");
    EXPECT_EQ("/home/u/Pictures/", CL_GetPath(CL_USER_IMAGES_PATH));
    EXPECT_EQ("/plain/", CL_GetPath(CL_USER_DOCUMENTS_PATH));
}

TEST_F(FilesTest, AbsolutePathNormalisation) {
    char old[1024];
    ASSERT_NE(nullptr, getcwd(old, sizeof(old)));
    ASSERT_EQ(0, chdir(fDir.c_str()));
    std::string cwd = CL_GetAbsolutePath(".");
    EXPECT_EQ(cwd + "/a/c", CL_GetAbsolutePath("a/./b/../c"));
    EXPECT_EQ("", CL_GetAbsolutePath("/"));
    EXPECT_EQ("/../x", CL_GetAbsolutePath("/../x"));
    EXPECT_EQ("/x/y", CL_GetAbsolutePath("//x///y/"));
    {
        ScopedEnv home("HOME", "/home/u");
        EXPECT_EQ("/home/u/docs", CL_GetAbsolutePath("~/docs"));
        EXPECT_EQ("/home/u", CL_GetAbsolutePath("~"));
        // Only a leading "~" names the home folder.
        EXPECT_EQ(cwd + "/a~b/c~", CL_GetAbsolutePath("a~b/c~"));
        EXPECT_EQ("/x/~/y", CL_GetAbsolutePath("/x/~/y"));
    }
    ASSERT_EQ(0, chdir(old));
}

TEST(Paths, NativePathAndBaseName) {
    EXPECT_EQ("a/b/c", CL_GetNativePath("a\\b/c"));
    EXPECT_EQ("file.txt", CL_GetPathBaseName("dir\\file.txt"));
    EXPECT_EQ("name", CL_GetPathBaseName("name"));
    EXPECT_EQ("", CL_GetPathBaseName("dir/"));
}

TEST_F(FilesTest, EnsurePath) {
    char old[1024];
    ASSERT_NE(nullptr, getcwd(old, sizeof(old)));
    ASSERT_EQ(0, chdir(fDir.c_str()));
    EXPECT_FALSE(CL_EnsurePath("x/y/z", false));
    EXPECT_TRUE(CL_EnsurePath("x/y/z", true));
    EXPECT_EQ(CL_FILE_DIRECTORY, CL_StatFile(P("x/y/z")) & CL_FILE_KIND_MASK);
    EXPECT_TRUE(CL_EnsurePath("x/y/z/", false));
    EXPECT_TRUE(CL_EnsurePath("", false));
    EXPECT_TRUE(CL_EnsurePath("///", false));
    ASSERT_EQ(0, chdir(old));

    EXPECT_TRUE(CL_EnsurePath(P("abs\\deep\\er"), true));
    EXPECT_EQ(CL_FILE_DIRECTORY, CL_StatFile(P("abs/deep/er")) & CL_FILE_KIND_MASK);
    // A regular file in the way is not a folder, last component or not.
    Put(P("plain"), "x");
    EXPECT_FALSE(CL_EnsurePath(P("plain"), true));
    EXPECT_FALSE(CL_EnsurePath(P("plain"), false));
    EXPECT_FALSE(CL_EnsurePath(P("plain/sub"), true));
}

TEST(Paths, TemporaryFileName) {
    std::string a = CL_GetTempFileName(), b = CL_GetTempFileName();
    EXPECT_NE(a, b);
    EXPECT_EQ(0u, a.find("/tmp/tmp.qv."));
    EXPECT_EQ(strlen("/tmp/tmp.qv.XXXXXX"), a.size());
    struct stat st;
    ASSERT_EQ(0, stat(a.c_str(), &st));
    EXPECT_EQ(0, st.st_size);
    EXPECT_EQ(0600u, st.st_mode & 0777);
    unlink(a.c_str());
    unlink(b.c_str());
}

TEST(Paths, TemporaryFileNameFallback) {
    // With no room in /tmp the name is made from the application folder and the clock,
    // and no file is created.
    int code = ChildCode([] {
        if (unshare(CLONE_NEWNS) != 0) return 77;
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        if (mount("zelmo-ro", "/tmp", "tmpfs", MS_RDONLY, "size=16k") != 0) return 77;
        setenv("HOME", "/nonexistent-home", 1);
        unsetenv("XDG_DATA_HOME");
        std::string name = CL_GetTempFileName();
        std::string prefix = "/nonexistent-home/.local/share/data//_tmp_";
        if (name.size() != prefix.size() + 8 || name.compare(0, prefix.size(), prefix) != 0)
            return 1;
        for (size_t i = prefix.size(); i < name.size(); i++)
            if (!strchr("0123456789ABCDEF", name[i])) return 1;
        return access(name.c_str(), F_OK) != 0 ? 0 : 1;
    });
    if (code == 77) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(0, code);
}

TEST_F(FilesTest, WhichSearchesPath) {
    ASSERT_TRUE(CL_EnsurePath(P("bin1"), true));
    ASSERT_TRUE(CL_EnsurePath(P("bin2/"), true));
    Put(P("bin2/tool"), "");
    std::string list = ":" + P("bin1") + ":" + P("bin2/") + ":";
    ScopedEnv path("PATH", list.c_str());
    std::string found;
    EXPECT_EQ(CL_OK, CL_Which("tool", &found));
    EXPECT_EQ(P("bin2/tool"), found);
    EXPECT_EQ(CL_FILE_NOT_FOUND, CL_Which("missing-tool", &found));
    ScopedEnv none("PATH", nullptr);
    EXPECT_EQ(CL_FILE_NOT_FOUND, CL_Which("tool", &found));
}

TEST_F(FilesTest, StatFileKindsSizesAndTimes) {
    Put(P("f"), "hello");
    ASSERT_EQ(0, mkfifo(P("fifo").c_str(), 0600));
    ASSERT_EQ(0, symlink(P("f").c_str(), P("link").c_str()));
    ASSERT_EQ(0, mkdir(P("d").c_str(), 0755));
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", P("sock").c_str());
    ASSERT_EQ(0, bind(sock, (struct sockaddr*)&addr, sizeof(addr)));
    close(sock);

    uint64 size = 0;
    EXPECT_EQ(CL_FILE_REGULAR, CL_StatFile(P("f"), &size) & CL_FILE_KIND_MASK);
    EXPECT_EQ(5u, size);
    EXPECT_EQ(CL_FILE_REGULAR, CL_StatFile(P("link")) & CL_FILE_KIND_MASK);
    EXPECT_EQ(CL_FILE_DIRECTORY, CL_StatFile(P("d")) & CL_FILE_KIND_MASK);
    EXPECT_EQ(CL_FILE_OTHER, CL_StatFile(P("fifo")) & CL_FILE_KIND_MASK);
    EXPECT_EQ(CL_FILE_SOCKET, CL_StatFile(P("sock")) & CL_FILE_KIND_MASK);
    EXPECT_EQ(0u, CL_StatFile(P("missing"), &size));
    uint32 status = CL_StatFile(P("f"));
    EXPECT_TRUE(status & CL_FILE_READABLE);
    EXPECT_TRUE(status & CL_FILE_WRITABLE);
    EXPECT_TRUE(CL_StatFile("/bin/sh") & CL_FILE_EXECUTABLE);

    // Whole-second times (nanoseconds 0) are real times, not null.
    struct timespec times[2] = {{1600000000, 0}, {1700000000, 250000000}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, P("f").c_str(), times, 0));
    CL_TimeStamp a, m, c;
    CL_StatFile(P("f"), nullptr, &a, &m, &c);
    EXPECT_EQ(210866803200000LL + 1600000000LL * 1000, a.ToRaw());
    EXPECT_EQ(210866803200000LL + 1700000000LL * 1000 + 250, m.ToRaw());
    // The epoch itself (both parts 0) is the one time that reads as null.
    struct timespec epoch[2] = {{0, 0}, {0, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, P("f").c_str(), epoch, 0));
    CL_StatFile(P("f"), nullptr, &a, &m, nullptr);
    EXPECT_EQ(0, a.ToRaw());
    EXPECT_EQ(0, m.ToRaw());
}

TEST_F(FilesTest, OpenFileModes) {
    FILE* f = nullptr;
    EXPECT_EQ(CL_FILE_NOT_FOUND, CL_OpenFile(P("missing"), CL_OPEN_READ, &f));
    EXPECT_EQ(CL_FILE_NOT_FOUND, CL_OpenFile(P("missing"), CL_OPEN_READ | CL_OPEN_APPEND, &f));
    EXPECT_FALSE(Exists(P("missing")));

    // Append alone creates and appends.
    ASSERT_EQ(CL_OK, CL_OpenFile(P("a"), CL_OPEN_APPEND, &f));
    fputs("one", f);
    fclose(f);
    ASSERT_EQ(CL_OK, CL_OpenFile(P("a"), CL_OPEN_APPEND, &f));
    fputs("two", f);
    fclose(f);
    EXPECT_EQ("onetwo", Slurp(P("a")));

    // Read with append keeps the start and appends at the end.
    ASSERT_EQ(CL_OK, CL_OpenFile(P("a"), CL_OPEN_READ | CL_OPEN_APPEND, &f));
    char buf[4] = {0};
    ASSERT_EQ(3u, fread(buf, 1, 3, f));
    EXPECT_STREQ("one", buf);
    fseek(f, 0, SEEK_SET);
    fputs("!", f);
    fclose(f);
    EXPECT_EQ("onetwo!", Slurp(P("a")));

    // Read with write overwrites in place; write alone truncates.
    ASSERT_EQ(CL_OK, CL_OpenFile(P("a"), CL_OPEN_READ | CL_OPEN_WRITE, &f));
    fputs("ON", f);
    fclose(f);
    EXPECT_EQ("ONetwo!", Slurp(P("a")));
    ASSERT_EQ(CL_OK, CL_OpenFile(P("a"), CL_OPEN_WRITE, &f));
    fclose(f);
    EXPECT_EQ("", Slurp(P("a")));

    // Create sets the permission bits given.
    ASSERT_EQ(CL_OK, CL_OpenFile(P("c"), CL_OPEN_CREATE | CL_OPEN_BINARY, &f, 0640));
    fclose(f);
    struct stat st;
    ASSERT_EQ(0, stat(P("c").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
}

TEST_F(FilesTest, OpenFileModeTable) {
    // Every combination of read, write, create and append: the stream's access mode,
    // whether writes append, whether a missing file is created and an existing one
    // emptied.
    struct Row {
        uint32 mode;
        int access;
        bool append, creates, truncates;
    };
    const Row rows[] = {
        {0, O_RDONLY, false, false, false}, {1, O_RDONLY, false, false, false},
        {2, O_WRONLY, false, true, true},   {3, O_RDWR, false, false, false},
        {4, O_RDWR, false, true, true},     {5, O_RDWR, false, true, true},
        {6, O_RDWR, false, true, true},     {7, O_RDWR, false, true, true},
        {8, O_WRONLY, true, true, false},   {9, O_RDWR, true, false, false},
        {10, O_WRONLY, true, true, false},  {11, O_RDWR, true, false, false},
        {12, O_WRONLY, true, true, false},  {13, O_RDWR, true, true, false},
        {14, O_WRONLY, true, true, false},  {15, O_RDWR, true, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode);
        std::string path = P("m" + std::to_string(row.mode));
        FILE* f = nullptr;
        if (row.creates) {
            ASSERT_EQ(CL_OK, CL_OpenFile(path, row.mode, &f));
            fclose(f);
        } else {
            EXPECT_EQ(CL_FILE_NOT_FOUND, CL_OpenFile(path, row.mode, &f));
            EXPECT_FALSE(Exists(path));
        }
        Put(path, "abc");
        ASSERT_EQ(CL_OK, CL_OpenFile(path, row.mode | CL_OPEN_BINARY, &f));
        int flags = fcntl(fileno(f), F_GETFL);
        EXPECT_EQ(row.access, flags & O_ACCMODE);
        EXPECT_EQ(row.append, (flags & O_APPEND) != 0);
        fclose(f);
        EXPECT_EQ(row.truncates ? "" : "abc", Slurp(path));
    }
}

TEST_F(FilesTest, ReadAndWriteWholeFiles) {
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = (char)(i * 7 + i / 251);
    CL_Blob out(big.data(), (uint32)big.size(), true);
    ASSERT_EQ(CL_OK, CL_WriteFile(P("big"), out));
    struct stat st;
    ASSERT_EQ(0, stat(P("big").c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777);

    CL_Blob in("stale contents");
    ASSERT_EQ(CL_OK, CL_ReadFile(P("big"), &in));
    ASSERT_EQ(big.size(), in.GetSize());
    EXPECT_EQ(0u, in.Tell());
    EXPECT_EQ(0, memcmp(big.data(), in.GetDataForRead(), big.size()));

    ASSERT_EQ(CL_OK, CL_WriteFile(P("empty"), CL_Blob()));
    ASSERT_EQ(CL_OK, CL_ReadFile(P("empty"), &in));
    EXPECT_EQ(0u, in.GetSize());

    EXPECT_EQ(CL_FILE_NOT_FOUND, CL_ReadFile(P("missing"), &in));
    // A folder opens but cannot be read: an error, not an empty file.
    ASSERT_EQ(0, mkdir(P("d").c_str(), 0755));
    EXPECT_EQ(CL_IO_ERROR, CL_ReadFile(P("d"), &in));
}

TEST_F(FilesTest, RenameDeleteTruncate) {
    Put(P("f"), "0123456789");
    EXPECT_EQ(CL_OK, CL_TruncateFile(P("f"), 4));
    EXPECT_EQ("0123", Slurp(P("f")));
    EXPECT_EQ(CL_OK, CL_RenameFile(P("f"), P("g")));
    EXPECT_FALSE(Exists(P("f")));
    EXPECT_EQ(CL_FILE_NOT_FOUND, CL_RenameFile(P("f"), P("h")));
    EXPECT_EQ(CL_FILE_NOT_FOUND, CL_TruncateFile(P("f"), 0));
    EXPECT_EQ(CL_OK, CL_DeleteFile(P("g")));
    EXPECT_EQ(CL_FILE_NOT_FOUND, CL_DeleteFile(P("g")));
    ASSERT_EQ(0, mkdir(P("d").c_str(), 0755));
    EXPECT_EQ(CL_IO_ERROR, CL_DeleteFile(P("d")));
}

TEST_F(FilesTest, LockFile) {
    Put(P("f"), "x");
    FILE* a = nullptr;
    ASSERT_EQ(CL_OK, CL_OpenFile(P("f"), CL_OPEN_READ, &a));
    EXPECT_EQ(CL_OK, CL_LockFile(a, true));
    // Another open file description cannot take it while it is held.
    int other = open(P("f").c_str(), O_RDONLY);
    EXPECT_NE(0, flock(other, LOCK_EX | LOCK_NB));
    EXPECT_EQ(CL_OK, CL_UnlockFile(a));
    EXPECT_EQ(0, flock(other, LOCK_SH | LOCK_NB));
    EXPECT_EQ(CL_OK, CL_LockFile(a, false));
    close(other);
    fclose(a);
}

TEST_F(FilesTest, AccessErrorsForAnUnprivilegedUser) {
    Put(P("secret"), "x");
    ASSERT_EQ(0, chmod(P("secret").c_str(), 0600));
    ASSERT_EQ(0, chmod(fDir.c_str(), 0755));
    ASSERT_EQ(0, mkdir(P("locked").c_str(), 0700));
    std::string dir = fDir;
    int code = ChildCode([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) return 77;
        FILE* f = nullptr;
        bool ok = CL_OpenFile(dir + "/secret", CL_OPEN_READ, &f) == 3;
        ok = ok && CL_DeleteFile(dir + "/secret") == 3;
        ok = ok && CL_RenameFile(dir + "/secret", dir + "/other") == 3;
        ok = ok && CL_TruncateFile(dir + "/secret", 0) == 3;
        CL_Blob blob;
        ok = ok && CL_ReadFile(dir + "/secret", &blob) == 3;
        ok = ok && CL_WriteFile(dir + "/new", blob) == 3;
        ok = ok && CL_CopyFile(dir + "/secret", "/tmp") == 3;
        uint32 status = CL_StatFile(dir + "/secret");
        ok = ok && (status & CL_FILE_KIND_MASK) == CL_FILE_REGULAR &&
             !(status & CL_FILE_READABLE) && !(status & CL_FILE_WRITABLE);
        ok = ok && CL_DeleteTree(dir + "/locked", false, true) == 3;
        ok = ok && CL_DeleteTree(dir + "/locked", true, true) == 9;
        return ok ? 0 : 1;
    });
    if (code == 77) GTEST_SKIP() << "cannot drop to an unprivileged user here";
    EXPECT_EQ(0, code);
}

TEST_F(FilesTest, CopyFileIntoFolderWithProgress) {
    std::string data(150000, 'q');
    Put(P("f.txt"), data);
    ASSERT_EQ(0, chmod(P("f.txt").c_str(), 0640));
    ASSERT_EQ(0, mkdir(P("d").c_str(), 0755));
    std::vector<std::pair<uint64, uint64>> calls;
    ASSERT_EQ(CL_OK, CL_CopyFile(P("f.txt"), P("d/"), true, CountProgress, &calls));
    EXPECT_EQ(data, Slurp(P("d/f.txt")));
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(150000u, calls.back().first);
    EXPECT_EQ(150000u, calls.back().second);
    // The copy keeps the source's permission bits.
    struct stat st;
    ASSERT_EQ(0, stat(P("d/f.txt").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
}

TEST_F(FilesTest, CopyFileFailuresLeaveNoDestination) {
    Put(P("src"), "payload");
    EXPECT_EQ(CL_CANCELLED, CL_CopyFile(P("src"), P("dst"), false, AbortAtOnce, nullptr));
    EXPECT_FALSE(Exists(P("dst")));
    EXPECT_EQ(CL_FILE_NOT_FOUND, CL_CopyFile(P("missing"), P("dst")));
    EXPECT_FALSE(Exists(P("dst")));

    // A source that cannot be read is an error, not an empty copy.
    ASSERT_EQ(0, mkdir(P("dir").c_str(), 0755));
    EXPECT_EQ(CL_IO_ERROR, CL_CopyFile(P("dir"), P("dst")));
    EXPECT_FALSE(Exists(P("dst")));

    // Copying a file onto itself, directly or through a link, leaves it intact.
    EXPECT_EQ(CL_IO_ERROR, CL_CopyFile(P("src"), P("src")));
    ASSERT_EQ(0, symlink(P("src").c_str(), P("alias").c_str()));
    EXPECT_EQ(CL_IO_ERROR, CL_CopyFile(P("src"), P("alias")));
    EXPECT_EQ("payload", Slurp(P("src")));
    EXPECT_EQ(CL_IO_ERROR, CL_MoveFile(P("alias"), P("src/")));
    EXPECT_EQ("payload", Slurp(P("src")));
}

TEST_F(FilesTest, MoveFileAcrossFileSystems) {
    Put(P("m"), "moving");
    ASSERT_EQ(CL_OK, CL_MoveFile(P("m"), P("n")));
    EXPECT_FALSE(Exists(P("m")));
    EXPECT_EQ("moving", Slurp(P("n")));

    // /dev/shm is another file system: the move copies and deletes the source.
    char shm[] = "/dev/shm/zelmo-move-XXXXXX";
    if (!mkdtemp(shm)) GTEST_SKIP() << "no /dev/shm";
    std::string target = std::string(shm) + "/n";
    std::vector<std::pair<uint64, uint64>> calls;
    EXPECT_EQ(CL_OK, CL_MoveFile(P("n"), target, CountProgress, &calls));
    EXPECT_FALSE(Exists(P("n")));
    EXPECT_EQ("moving", Slurp(target));
    EXPECT_FALSE(calls.empty());
    // A source that cannot be read fails the copy and is not deleted.
    ASSERT_EQ(0, mkdir(P("dir").c_str(), 0755));
    EXPECT_EQ(CL_IO_ERROR, CL_MoveFile(P("dir"), std::string(shm) + "/dir"));
    EXPECT_EQ(CL_FILE_DIRECTORY, CL_StatFile(P("dir")) & CL_FILE_KIND_MASK);
    EXPECT_FALSE(Exists(std::string(shm) + "/dir"));
    EXPECT_EQ(CL_OK, CL_DeleteTree(shm, true, true));
}

TEST_F(FilesTest, DiskFullOnSmallFileSystem) {
    std::string big(300000, 'z');
    Put(P("big"), big);
    ASSERT_EQ(0, mkdir(P("mnt").c_str(), 0755));
    std::string dir = fDir;
    int code = ChildCode([&] {
        if (unshare(CLONE_NEWNS) != 0) return 77;
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        std::string mnt = dir + "/mnt";
        if (mount("zelmo-small", mnt.c_str(), "tmpfs", 0, "size=64k") != 0) return 77;
        bool ok = true;
        CL_Status copy = CL_CopyFile(dir + "/big", mnt + "/copy");
        if (copy != 13) fprintf(stderr, "copy answered %d\n", copy);
        ok = ok && copy == 13 && access((mnt + "/copy").c_str(), F_OK) != 0;
        // The move fails the same way and keeps the source.
        ok = ok && CL_MoveFile(dir + "/big", mnt + "/moved") == 13;
        ok = ok && access((mnt + "/moved").c_str(), F_OK) != 0;
        ok = ok && Slurp(dir + "/big").size() == 300000;
        CL_Blob blob(std::string(300000, 'w'));
        ok = ok && CL_WriteFile(mnt + "/written", blob) == 10;

        // Fill the file system: a small copy then fails only when its buffered bytes
        // are flushed at the close of the destination.
        {
            int fd = open((mnt + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
            if (fd < 0) return 1;
            char block[4096] = {0};
            while (write(fd, block, sizeof(block)) > 0) {
            }
            close(fd);
        }
        Put(dir + "/small", "small");
        ok = ok && CL_CopyFile(dir + "/small", mnt + "/small") == 13;
        ok = ok && access((mnt + "/small").c_str(), F_OK) != 0;
        ok = ok && CL_WriteFile(mnt + "/small2", CL_Blob(std::string("tiny"))) == 10;
        unlink((mnt + "/filler").c_str());

        // Mount points are matched by whole path components.
        CL_FilesystemInfo inside, sibling;
        ok = ok && CL_GetFilesystemInfo(mnt, &inside) == 0 && inside.fType == "tmpfs" &&
             inside.fDevice == "zelmo-small" && inside.fFlags == (2 | 4) && inside.fBytesTotal > 0;
        if (mkdir((mnt + "x").c_str(), 0755) != 0) return 1;
        ok = ok && CL_GetFilesystemInfo(mnt + "x", &sibling) == 0 &&
             sibling.fDevice != "zelmo-small";
        rmdir((mnt + "x").c_str());
        // A read-only mount on top gives its own flags.
        if (mount("zelmo-ro", mnt.c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0) return 1;
        ok = ok && CL_GetFilesystemInfo(mnt, &inside) == 0 && inside.fDevice == "zelmo-ro" &&
             inside.fFlags == (1 | 2 | 4);
        return ok ? 0 : 1;
    });
    if (code == 77) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(0, code);
}

TEST_F(FilesTest, FilesystemInfo) {
    CL_FilesystemInfo info;
    ASSERT_EQ(CL_OK, CL_GetFilesystemInfo(fDir, &info));
    EXPECT_GT(info.fBlockSize, 0u);
    EXPECT_GT(info.fPreferredIOSize, 0u);
    EXPECT_GT(info.fBytesTotal, 0u);
    EXPECT_LE(info.fBytesFree, info.fBytesTotal);
    EXPECT_FALSE(info.fType.empty());
    EXPECT_EQ(CL_IO_ERROR, CL_GetFilesystemInfo(P("missing"), &info));
    EXPECT_EQ(0u, info.fBytesTotal);
    EXPECT_TRUE(info.fType.empty());
}

TEST_F(FilesTest, DirectoryWalkerPatterns) {
    for (const char* name :
         {"abc", "abc.log", "abcd", "abc.txt", "a.txt", "a.txt.bak", "notes", "x."})
        Put(P(name), "");
    ASSERT_EQ(0, mkdir(P("sub.txt").c_str(), 0755));

    auto list = [&](const char* pattern) {
        std::set<std::string> names;
        CL_DirectoryWalker walker(fDir + "/", pattern);
        EXPECT_TRUE(walker.IsOpened());
        for (std::string n = walker.Fetch(); !n.empty(); n = walker.Fetch())
            names.insert(n);
        return names;
    };
    EXPECT_EQ((std::set<std::string>{"abc.txt", "a.txt", "sub.txt"}), list("*.txt"));
    EXPECT_EQ((std::set<std::string>{"abc", "abc.log", "abc.txt"}), list("a?c"));
    EXPECT_EQ((std::set<std::string>{"abc.txt"}), list("abc.txt"));
    EXPECT_EQ(11u, list("*.*").size());  // with "." and ".."
    EXPECT_EQ(list("*.*"), list("*"));

    CL_DirectoryWalker kinds(fDir, "sub.*");
    uint32 kind = 0;
    EXPECT_EQ("sub.txt", kinds.Fetch(&kind));
    EXPECT_EQ(2u, kind);
    EXPECT_EQ("", kinds.Fetch(&kind));

    CL_DirectoryWalker missing(P("missing"), "*");
    EXPECT_FALSE(missing.IsOpened());
    EXPECT_EQ("", missing.Fetch());
}

TEST_F(FilesTest, CopyAndDeleteTrees) {
    ASSERT_TRUE(CL_EnsurePath(P("src/a/b"), true));
    Put(P("src/top.txt"), "top");
    Put(P("src/a/b/leaf"), "leaf");
    ASSERT_TRUE(CL_EnsurePath(P("dst"), true));
    ASSERT_EQ(CL_OK, CL_CopyTree(P("src"), P("dst")));
    EXPECT_EQ("top", Slurp(P("dst/src/top.txt")));
    EXPECT_EQ("leaf", Slurp(P("dst/src/a/b/leaf")));

    EXPECT_EQ(CL_FILE_NOT_FOUND, CL_CopyTree(P("src"), P("nowhere")));
    EXPECT_EQ(CL_IO_ERROR, CL_CopyTree(P("src"), P("src/top.txt")));

    // Emptying keeps the root; then the root goes too.
    EXPECT_EQ(CL_OK, CL_DeleteTree(P("dst/src/"), true, false));
    EXPECT_EQ(CL_FILE_DIRECTORY, CL_StatFile(P("dst/src")) & CL_FILE_KIND_MASK);
    EXPECT_FALSE(Exists(P("dst/src/a")));
    EXPECT_EQ(CL_OK, CL_DeleteTree(P("dst/src"), false, true));
    EXPECT_EQ(CL_OK, CL_DeleteTree(P("dst"), false, true));
    EXPECT_FALSE(Exists(P("dst")));
    EXPECT_EQ(CL_FILE_NOT_FOUND, CL_DeleteTree(P("dst"), true, true));
    EXPECT_EQ(CL_FILE_NOT_FOUND, CL_DeleteTree(P("dst"), false, true));
    EXPECT_EQ(CL_OK, CL_DeleteTree(P("dst"), false, false));
    // A non-empty folder cannot be removed without recursion.
    EXPECT_EQ(CL_IO_ERROR, CL_DeleteTree(P("src"), false, true));
}

TEST_F(FilesTest, CopyTreeIntoItselfIsRefused) {
    ASSERT_TRUE(CL_EnsurePath(P("src/a"), true));
    Put(P("src/a/leaf"), "leaf");
    Put(P("src/top"), "top");
    // Into itself, into a folder below it, and onto itself through its parent.
    EXPECT_EQ(CL_IO_ERROR, CL_CopyTree(P("src"), P("src")));
    EXPECT_EQ(CL_IO_ERROR, CL_CopyTree(P("src"), P("src/a")));
    EXPECT_EQ(CL_IO_ERROR, CL_CopyTree(P("src/"), P("src")));
    EXPECT_EQ(CL_IO_ERROR, CL_CopyTree(P("src"), fDir));
    EXPECT_FALSE(Exists(P("src/src")));
    EXPECT_FALSE(Exists(P("src/a/src")));
    EXPECT_EQ("leaf", Slurp(P("src/a/leaf")));
    EXPECT_EQ("top", Slurp(P("src/top")));
    // A sibling whose name only begins like the source is not inside it.
    ASSERT_TRUE(CL_EnsurePath(P("srcx"), true));
    EXPECT_EQ(CL_OK, CL_CopyTree(P("src"), P("srcx")));
    EXPECT_EQ("leaf", Slurp(P("srcx/src/a/leaf")));
}

TEST_F(FilesTest, DeleteTreeRemovesLinksNotWhatTheyName) {
    ASSERT_TRUE(CL_EnsurePath(P("keep"), true));
    Put(P("keep/precious"), "x");
    ASSERT_TRUE(CL_EnsurePath(P("tree/sub"), true));
    ASSERT_EQ(0, symlink(P("keep").c_str(), P("tree/sub/link").c_str()));
    ASSERT_EQ(0, symlink(P("keep/precious").c_str(), P("tree/file-link").c_str()));
    EXPECT_EQ(CL_OK, CL_DeleteTree(P("tree"), true, true));
    EXPECT_FALSE(Exists(P("tree")));
    EXPECT_EQ("x", Slurp(P("keep/precious")));
}

TEST_F(FilesTest, MemoryMaps) {
    Put(P("m"), "0123456789");
    FILE* f = nullptr;
    ASSERT_EQ(CL_OK, CL_OpenFile(P("m"), CL_OPEN_READ | CL_OPEN_WRITE, &f));
    {
        CL_FileMemoryMap map(f, 1);
        ASSERT_TRUE(map.IsMapped());
        EXPECT_EQ(10u, map.GetSize());
        EXPECT_EQ(0, memcmp("0123456789", map.GetData(), 10));
        static_cast<char*>(map.GetData())[0] = 'X';
        map.Flush();
    }
    EXPECT_EQ("X123456789", Slurp(P("m")));
    {
        CL_FileMemoryMap tooLong(f, 0, 11, 0);
        EXPECT_FALSE(tooLong.IsMapped());
        CL_FileMemoryMap pastEnd(f, 0, 0, 10);
        EXPECT_FALSE(pastEnd.IsMapped());
        CL_FileMemoryMap unaligned(f, 0, 2, 3);
        EXPECT_FALSE(unaligned.IsMapped());
        CL_FileMemoryMap part(f, 0, 4, 0);
        ASSERT_TRUE(part.IsMapped());
        EXPECT_EQ(4u, part.GetSize());
    }
    fclose(f);
    Put(P("empty"), "");
    ASSERT_EQ(CL_OK, CL_OpenFile(P("empty"), CL_OPEN_READ, &f));
    CL_FileMemoryMap empty(f, 0);
    EXPECT_FALSE(empty.IsMapped());
    fclose(f);
}
