// Well-known folders, path normalisation, directory creation, temporary file names
// and the executable search.

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lumo/clock.h"
#include "lumo/files.h"

namespace {

// Environment value only when set and not empty.
std::string NonEmptyEnv(const char* name) {
    const char* value = getenv(name);
    return value && *value ? std::string(value) : std::string();
}

std::string HomePath() {
    const char* home = getenv("HOME");
    return home ? std::string(home) : std::string("/usr/share");
}

// Splits the process's executable link into folder and name; falls back to the
// home folder and "unknown" when the link cannot be read.
void ExecutableParts(const std::string& home, std::string* dir, std::string* name) {
    char link[64];
    snprintf(link, sizeof(link), "/proc/%d/exe", (int)getpid());
    struct stat st;
    char target[1024];
    ssize_t len = -1;
    if (lstat(link, &st) == 0) len = readlink(link, target, sizeof(target) - 1);
    if (len <= 0) {
        *dir = home;
        *name = "unknown";
        return;
    }
    std::string full(target, (size_t)len);
    size_t slash = full.rfind('/');
    if (slash == std::string::npos) {
        dir->clear();
        *name = full;
    } else {
        *dir = full.substr(0, slash);
        *name = full.substr(slash + 1);
    }
}

// Value of one key of the XDG user-dirs file, "" when missing or empty.
std::string UserDir(const std::string& configHome, const std::string& home, const char* key) {
    std::string file = configHome + "/user-dirs.dirs";
    FILE* f = fopen(file.c_str(), "r");
    if (!f) return std::string();
    size_t keyLen = strlen(key);
    std::string value;
    char line[1024];
    while (fgets(line, sizeof(line), f)) {
        if (strncmp(line, key, keyLen) != 0) continue;
        std::string rest(line + keyLen);
        if (!rest.empty() && rest.back() == '\n') rest.pop_back();
        if (rest.empty()) continue;
        if (rest.size() > 1 && rest.front() == '"' && rest.back() == '"')
            rest = rest.substr(1, rest.size() - 2);
        if (rest.compare(0, 5, "$HOME") == 0) rest = home + rest.substr(5);
        value = rest;
        break;
    }
    fclose(f);
    return value;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string CL_GetPath(CL_PathSpecifier specifier) {
    std::string home = HomePath();
    std::string exeDir, exeName;
    ExecutableParts(home, &exeDir, &exeName);
    if (specifier == CL_EXECUTABLE_NAME) return exeDir + "/" + exeName;

    std::string dataHome = NonEmptyEnv("XDG_DATA_HOME");
    if (dataHome.empty()) dataHome = home + "/.local/share";
    std::string configHome = NonEmptyEnv("XDG_CONFIG_HOME");
    if (configHome.empty()) configHome = home + "/.config";
    std::string cacheHome = NonEmptyEnv("XDG_CACHE_HOME");
    if (cacheHome.empty()) cacheHome = home + "/.cache";

    std::string location;
    switch (specifier) {
        case CL_TEMP_PATH:
            location = "/tmp";
            break;
        case CL_USER_HOME_PATH:
            location = home;
            break;
        case CL_USER_APPLICATION_SUPPORT_PATH:
            location = dataHome + "/data";
            break;
        case CL_USER_DOCUMENTS_PATH:
            location = UserDir(configHome, home, "XDG_DOCUMENTS_DIR=");
            if (location.empty()) location = home + "/Documents";
            break;
        case CL_USER_IMAGES_PATH:
            location = UserDir(configHome, home, "XDG_PICTURES_DIR=");
            if (location.empty()) location = home + "/Pictures";
            break;
        case CL_USER_PREFERENCES_PATH:
            location = configHome;
            break;
        case CL_USER_LOG_PATH:
            location = dataHome + "/log";
            break;
        case CL_USER_CACHE_PATH:
            location = cacheHome;
            break;
        case CL_SYSTEM_APPLICATION_SUPPORT_PATH:
        case CL_SYSTEM_DOCUMENTS_PATH:
        case CL_SYSTEM_IMAGES_PATH:
            location = "/usr/share";
            break;
        case CL_SYSTEM_PREFERENCES_PATH:
            location = "/etc";
            break;
        case CL_SYSTEM_FONTS_PATH:
            location = "/usr/share/fonts/truetype";
            break;
        case CL_SYSTEM_LOG_PATH:
            location = "/var/log";
            break;
        case CL_SYSTEM_LIBRARY_PATH:
            location = "/usr/lib";
            break;
        case CL_SYSTEM_CACHE_PATH:
            location = "/var/cache";
            break;
        default:
            location = exeDir;
            break;
    }
    if (location.empty()) location = ".";
    location += "/";
    return location;
}

std::string CL_GetNativePath(const std::string& path) {
    std::string native(path);
    for (char& c : native)
        if (c == '\\') c = '/';
    return native;
}

std::string CL_GetPathBaseName(const std::string& path) {
    std::string native = CL_GetNativePath(path);
    size_t slash = native.rfind('/');
    return slash == std::string::npos ? native : native.substr(slash + 1);
}

std::string CL_GetAbsolutePath(const std::string& path) {
    std::string text = path;
    // Only a leading "~" names the home folder; a "~" inside a name is an ordinary
    // character.
    const char* home = getenv("HOME");
    if (home && !text.empty() && text[0] == '~' && (text.size() == 1 || text[1] == '/'))
        text = std::string(home) + text.substr(1);

    if (text.empty() || text[0] != '/') {
        char cwd[1024];
        std::string base = getcwd(cwd, sizeof(cwd)) ? std::string(cwd) : std::string(".");
        if (base.empty() || base.back() != '/') base += "/";
        text = base + text;
    }

    std::vector<std::string> kept;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('/', start);
        if (end == std::string::npos) end = text.size();
        std::string part = text.substr(start, end - start);
        if (part.empty() || part == ".") {
            // dropped
        } else if (part == "..") {
            if (!kept.empty())
                kept.pop_back();
            else
                kept.push_back(part);
        } else {
            kept.push_back(part);
        }
        start = end + 1;
    }
    std::string result;
    for (const std::string& part : kept)
        result += "/" + part;
    return result;
}

bool CL_EnsurePath(const std::string& dirName, bool create) {
    std::string path = CL_GetNativePath(dirName);
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    if (!path.empty() && (CL_StatFile(path) & CL_FILE_KIND_MASK) == CL_FILE_DIRECTORY) return true;

    std::string prefix;
    size_t pos = 0;
    while (pos < path.size() && path[pos] == '/')
        prefix += path[pos++];
    std::string rest = path.substr(pos);
    if (!create) return rest.empty();

    size_t start = 0;
    bool first = true;
    while (start < rest.size()) {
        size_t end = rest.find('/', start);
        if (end == std::string::npos) end = rest.size();
        std::string part = rest.substr(start, end - start);
        start = end + 1;
        if (part.empty()) continue;
        if (!first) prefix += "/";
        first = false;
        prefix += part;
        if (mkdir(prefix.c_str(), 0755) != 0) {
            if (errno != EEXIST) return false;
            // Something that is not a folder already holds this name.
            if (!IsDirectory(prefix)) return false;
        }
    }
    return true;
}

std::string CL_GetTempFileName() {
    char name[1024];
    snprintf(name, sizeof(name), "%stmp.qv.XXXXXX", CL_GetPath(CL_TEMP_PATH).c_str());
    int fd = mkstemp(name);
    if (fd >= 0) {
        close(fd);
        return name;
    }
    snprintf(name, sizeof(name), "%s/_tmp_%08X",
             CL_GetPath(CL_USER_APPLICATION_SUPPORT_PATH).c_str(), (unsigned)CL_GetTime());
    return name;
}

CL_Status CL_Which(const std::string& executable, std::string* path) {
    std::string list = CL_GetEnv("PATH");
    size_t start = 0;
    while (start <= list.size() && !list.empty()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        std::string candidate = list.substr(start, end - start);
        start = end + 1;
        if (!candidate.empty() && candidate.back() != '/') candidate += "/";
        candidate += executable;
        if (CL_StatFile(candidate) != 0) {
            if (path) *path = candidate;
            return CL_OK;
        }
        if (end == list.size()) break;
    }
    return CL_FILE_NOT_FOUND;
}
