// Directory listings with a simple wildcard pattern, and memory-mapped file views.

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "lumo/files.h"

CL_DirectoryWalker::CL_DirectoryWalker(const std::string& path, const std::string& pattern)
    : fPath(path), fHandle(nullptr), fEntry(nullptr) {
    while (fPath.size() > 1 && fPath.back() == '/')
        fPath.pop_back();
    size_t dot = pattern.rfind('.');
    if (dot == std::string::npos) {
        fPattern = pattern;
    } else {
        fPattern = pattern.substr(0, dot);
        fExtension = pattern.substr(dot + 1);
        if (fExtension == "*") fExtension.clear();
    }
    fHandle = opendir(fPath.empty() ? "." : fPath.c_str());
}

CL_DirectoryWalker::~CL_DirectoryWalker() {
    if (fHandle) closedir(fHandle);
}

bool CL_DirectoryWalker::Matches(const char* name) const {
    size_t nameLen = strlen(name);
    size_t m = fPattern.size();
    bool star = false;
    for (size_t i = 0; i < m; i++) {
        char p = fPattern[i];
        if (p == '*') {
            star = true;
            break;
        }
        if (i >= nameLen) return false;
        if (p != '?' && p != name[i]) return false;
    }
    if (!star) {
        if (fExtension.empty()) return nameLen == m || name[m] == '.';
        return nameLen > m && name[m] == '.' && fExtension == name + m + 1;
    }
    const char* dot = strrchr(name, '.');
    if (!dot) return fExtension.empty();
    if (fExtension.empty()) return true;
    return dot[1] != '\0' && fExtension == dot + 1;
}

std::string CL_DirectoryWalker::Fetch(uint32* stat) {
    if (!fHandle) return std::string();
    while ((fEntry = readdir(fHandle)) != nullptr) {
        if (!Matches(fEntry->d_name)) continue;
        if (stat) *stat = fEntry->d_type == DT_DIR ? 2 : 1;
        return fEntry->d_name;
    }
    return std::string();
}

CL_FileMemoryMap::CL_FileMemoryMap(FILE* file, uint32 writable, uint64 size, uint64 offset)
    : fData(nullptr), fSize(0), fFD(-1) {
    if (!file) return;
    int fd = fileno(file);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_size <= 0) return;
    uint64 fileSize = (uint64)st.st_size;
    if (size == 0) {
        if (offset >= fileSize) return;
        size = fileSize - offset;
    } else if (offset > fileSize || size > fileSize - offset) {
        return;
    }
    fFD = dup(fd);
    if (fFD < 0) return;
    int prot = PROT_READ | (writable ? PROT_WRITE : 0);
    void* data = mmap(nullptr, (size_t)size, prot, MAP_SHARED, fFD, (off_t)offset);
    if (data == MAP_FAILED) {
        close(fFD);
        fFD = -1;
        return;
    }
    fData = data;
    fSize = size;
}

CL_FileMemoryMap::~CL_FileMemoryMap() {
    if (fFD >= 0) close(fFD);
    if (fData) munmap(fData, (size_t)fSize);
}

void CL_FileMemoryMap::Flush() {
    if (fData) msync(fData, (size_t)fSize, MS_SYNC);
}
