// Paths and files: the well-known folders of the user and of the system, path
// normalisation, file status, whole-file reads and writes, copies with progress,
// directory trees, temporary files, wildcard listings, memory maps and mount data.
#pragma once

#include <dirent.h>

#include <cstdio>
#include <string>

#include "lumo/allocator.h"
#include "lumo/base_types.h"

class CL_Blob;
class CL_TimeStamp;

// Well-known locations answered by CL_GetPath.
enum CL_PathSpecifier {
    CL_EXECUTABLE_NAME = 0,
    CL_EXECUTABLE_PATH,
    CL_APPLICATION_PATH,
    CL_RESOURCE_PATH,
    CL_TEMP_PATH,
    CL_USER_HOME_PATH,
    CL_USER_APPLICATION_SUPPORT_PATH,
    CL_USER_DOCUMENTS_PATH,
    CL_USER_IMAGES_PATH,
    CL_USER_PREFERENCES_PATH,
    CL_USER_LOG_PATH,
    CL_USER_CACHE_PATH,
    CL_SYSTEM_APPLICATION_SUPPORT_PATH,
    CL_SYSTEM_DOCUMENTS_PATH,
    CL_SYSTEM_IMAGES_PATH,
    CL_SYSTEM_PREFERENCES_PATH,
    CL_SYSTEM_FONTS_PATH,
    CL_SYSTEM_LOG_PATH,
    CL_SYSTEM_LIBRARY_PATH,
    CL_SYSTEM_CACHE_PATH,
};

// File status word of CL_StatFile: the kind in the low byte (0 when the path cannot
// be examined) plus the access bits of the calling process.
enum : uint32 {
    CL_FILE_KIND_MASK = 0xFF,
    CL_FILE_REGULAR = 1,
    CL_FILE_DIRECTORY = 2,
    CL_FILE_SYMLINK = 3,
    CL_FILE_SOCKET = 4,
    CL_FILE_OTHER = 5,
    CL_FILE_READABLE = 0x100,
    CL_FILE_WRITABLE = 0x200,
    CL_FILE_EXECUTABLE = 0x400,
};

// Open mode bits of CL_OpenFile.
enum : uint32 {
    CL_OPEN_READ = 1,
    CL_OPEN_WRITE = 2,
    CL_OPEN_CREATE = 4,
    CL_OPEN_APPEND = 8,
    CL_OPEN_BINARY = 16,
};

// Progress of the copy operations: bytes copied so far, total bytes, parameter.
// CL_OK continues; any other status aborts the copy and becomes its result.
typedef CL_Status (*CL_CopyProgress)(uint64 copied, uint64 total, void* param);

// Capacity and kind of the file system that holds a path. A plain record.
struct CL_FilesystemInfo {
    uint32 fBlockSize;        // fragment size
    uint32 fPreferredIOSize;  // preferred transfer size
    uint64 fBytesAvailable;   // free for unprivileged users
    uint64 fBytesFree;
    uint64 fBytesTotal;
    int32 fFlags;  // 1 read-only, 2 not a network file system, 4 not a FAT/NTFS/HFS+ family
    std::string fDevice;
    std::string fType;
};

// Paths.
std::string CL_GetPath(CL_PathSpecifier specifier);
std::string CL_GetNativePath(const std::string& path);
std::string CL_GetPathBaseName(const std::string& path);
std::string CL_GetAbsolutePath(const std::string& path);
bool CL_EnsurePath(const std::string& dirName, bool create);
std::string CL_GetTempFileName();
CL_Status CL_Which(const std::string& executable, std::string* path);

// The file functions keep no state of their own: any thread.
// Files: CL_OK, CL_ACCESS_DENIED, CL_FILE_NOT_FOUND, CL_IO_ERROR, CL_DISK_FULL or
// CL_OUT_OF_MEMORY unless said otherwise.
uint32 CL_StatFile(const std::string& path, uint64* size = nullptr, CL_TimeStamp* aTime = nullptr,
                   CL_TimeStamp* mTime = nullptr, CL_TimeStamp* cTime = nullptr);
CL_Status CL_OpenFile(const std::string& path, uint32 mode, FILE** handle, uint32 perms = 0644);
CL_Status CL_ReadFile(const std::string& path, CL_Blob* data);
CL_Status CL_WriteFile(const std::string& path, const CL_Blob& data);
CL_Status CL_RenameFile(const std::string& oldPath, const std::string& newPath);
CL_Status CL_DeleteFile(const std::string& path);
CL_Status CL_TruncateFile(const std::string& path, uint64 size);
CL_Status CL_LockFile(FILE* file, bool exclusive);
CL_Status CL_UnlockFile(FILE* file);
CL_Status CL_CopyFile(const std::string& fromPath, const std::string& toPath, bool lock = false,
                      CL_CopyProgress progress = nullptr, void* progressParam = nullptr);
CL_Status CL_MoveFile(const std::string& fromPath, const std::string& toPath,
                      CL_CopyProgress progress = nullptr, void* progressParam = nullptr);
CL_Status CL_CopyTree(const std::string& fromPath, const std::string& toPath);
CL_Status CL_DeleteTree(const std::string& path, bool recursive, bool removeRoot);
CL_Status CL_GetFilesystemInfo(const std::string& path, CL_FilesystemInfo* info);

// Lists the entries of one directory whose names match a simple wildcard pattern
// ("?" one character, "*" the rest of the name part, then an optional extension).
// One thread at a time.
class CL_DirectoryWalker : public CL_Object {
public:
    CL_DirectoryWalker(const std::string& path, const std::string& pattern);
    ~CL_DirectoryWalker();
    CL_DirectoryWalker(const CL_DirectoryWalker&) = delete;
    CL_DirectoryWalker& operator=(const CL_DirectoryWalker&) = delete;

    bool IsOpened() const { return fHandle != nullptr; }
    // Next matching name ("" at the end); stat receives 2 for a directory, else 1.
    std::string Fetch(uint32* stat = nullptr);

private:
    bool Matches(const char* name) const;

    std::string fPath;
    std::string fPattern;
    std::string fExtension;
    DIR* fHandle;           // owned, closed by the destructor
    struct dirent* fEntry;  // the system's, valid until the next Fetch
};

// A shared mapping of a range of an open file; unmapped when the range is empty or
// outside the file. The FILE stays the caller's; the mapping keeps a descriptor of
// its own. Any thread may use the bytes; the owner guards what they mean.
class CL_FileMemoryMap : public CL_Object {
public:
    CL_FileMemoryMap(FILE* file, uint32 writable, uint64 size = 0, uint64 offset = 0);
    ~CL_FileMemoryMap();
    CL_FileMemoryMap(const CL_FileMemoryMap&) = delete;
    CL_FileMemoryMap& operator=(const CL_FileMemoryMap&) = delete;

    void* GetData() const { return fData; }
    uint64 GetSize() const { return fSize; }
    bool IsMapped() const { return fData != nullptr; }
    // Writes the mapped range back synchronously.
    void Flush();

private:
    void* fData;  // owned mapping, unmapped by the destructor
    uint64 fSize;
    int32 fFD;
};
