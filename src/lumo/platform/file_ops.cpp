// File status, opening, whole-file reads and writes, renames, locks, copies and
// moves with progress, directory trees and file-system information.

#include <errno.h>
#include <fcntl.h>
#include <mntent.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "lumo/blob.h"
#include "lumo/files.h"
#include "lumo/timestamp.h"

namespace {

constexpr int64 kUnixEpochMsecs = 210866803200000LL;

// A file-system time as a timestamp; null only when the time is missing altogether.
CL_TimeStamp ToTimeStamp(const struct statx_timestamp& t, bool present) {
    if (!present || (t.tv_sec == 0 && t.tv_nsec == 0)) return CL_TimeStamp(0LL);
    return CL_TimeStamp(
        (long long)(kUnixEpochMsecs + (int64)t.tv_sec * 1000 + (int64)(t.tv_nsec / 1000000)));
}

bool Denied(int err) {
    return err == EPERM || err == EACCES;
}

CL_Status AccessOrMissing(int err) {
    return Denied(err) ? CL_ACCESS_DENIED : CL_FILE_NOT_FOUND;
}

// Mapping of the simple path calls: access denied, not found, anything else.
CL_Status PathError(int err) {
    if (Denied(err)) return CL_ACCESS_DENIED;
    if (err == ENOENT) return CL_FILE_NOT_FOUND;
    return CL_IO_ERROR;
}

CL_Status CopyError(int err) {
    return (err == ENOSPC || err == EDQUOT) ? CL_DISK_FULL : CL_IO_ERROR;
}

std::string StripTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string TextAfterLastSlash(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// True when folder `dir` is `path` or one of its ancestors, compared by whole
// components.
bool FolderHolds(const char* dir, const std::string& path) {
    size_t len = strlen(dir);
    while (len > 1 && dir[len - 1] == '/')
        len--;
    if (len == 1 && dir[0] == '/') return !path.empty() && path[0] == '/';
    if (path.compare(0, len, dir, len) != 0) return false;
    return path.size() == len || path[len] == '/';
}

}  // namespace

uint32 CL_StatFile(const std::string& path, uint64* size, CL_TimeStamp* aTime, CL_TimeStamp* mTime,
                   CL_TimeStamp* cTime) {
    struct statx stx;
    if (statx(AT_FDCWD, path.c_str(), AT_STATX_FORCE_SYNC, STATX_BASIC_STATS | STATX_BTIME, &stx) !=
        0)
        return 0;
    if (size) *size = stx.stx_size;
    if (aTime) *aTime = ToTimeStamp(stx.stx_atime, (stx.stx_mask & STATX_ATIME) != 0);
    if (mTime) *mTime = ToTimeStamp(stx.stx_mtime, (stx.stx_mask & STATX_MTIME) != 0);
    if (cTime) *cTime = ToTimeStamp(stx.stx_btime, (stx.stx_mask & STATX_BTIME) != 0);

    uint32 status;
    switch (stx.stx_mode & S_IFMT) {
        case S_IFREG:
            status = CL_FILE_REGULAR;
            break;
        case S_IFDIR:
            status = CL_FILE_DIRECTORY;
            break;
        case S_IFLNK:
            status = CL_FILE_SYMLINK;
            break;
        case S_IFSOCK:
            status = CL_FILE_SOCKET;
            break;
        default:
            status = CL_FILE_OTHER;
            break;
    }
    if (access(path.c_str(), R_OK) == 0) status |= CL_FILE_READABLE;
    if (access(path.c_str(), W_OK) == 0) status |= CL_FILE_WRITABLE;
    if (access(path.c_str(), X_OK) == 0) status |= CL_FILE_EXECUTABLE;
    return status;
}

CL_Status CL_OpenFile(const std::string& path, uint32 mode, FILE** handle, uint32 perms) {
    if (mode & (CL_OPEN_CREATE | CL_OPEN_APPEND)) mode |= CL_OPEN_WRITE;
    if (!(mode & (CL_OPEN_READ | CL_OPEN_WRITE))) mode |= CL_OPEN_READ;
    bool read = mode & CL_OPEN_READ, write = mode & CL_OPEN_WRITE;
    bool create = mode & CL_OPEN_CREATE, append = mode & CL_OPEN_APPEND;

    std::string text;
    if (!write)
        text = "r";
    else if (append)
        text = read ? "a+" : "a";
    else
        text = (read || create) ? "w+" : "w";
    // Read and write on an existing file must not create or truncate it.
    bool appendOnOpen = false;
    if (!create && read && write) {
        appendOnOpen = append;
        text = "r+";
    }
    if (mode & CL_OPEN_BINARY) text += "b";

    FILE* file = fopen(path.c_str(), text.c_str());
    if (!file) return AccessOrMissing(errno);
    int fd = fileno(file);
    if (appendOnOpen) {
        // "r+" keeps a missing file an error; the descriptor flag makes writes append.
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags | O_APPEND) != 0) {
            int err = errno;
            fclose(file);
            return AccessOrMissing(err);
        }
    }
    if (create && fchmod(fd, perms) != 0) {
        int err = errno;
        fclose(file);
        return AccessOrMissing(err);
    }
    *handle = file;
    return CL_OK;
}

CL_Status CL_ReadFile(const std::string& path, CL_Blob* data) {
    uint64 size = 0;
    if (CL_StatFile(path, &size) == 0) return CL_FILE_NOT_FOUND;
    uint64 chunk = size;
    if (chunk > 1048576) chunk = 1048576;
    if (chunk < 65536) chunk = 65536;
    data->SetSize(0);
    data->Seek(0, CL_SEEK_SET);

    FILE* file = nullptr;
    CL_Status status = CL_OpenFile(path, CL_OPEN_READ | CL_OPEN_BINARY, &file);
    if (status != CL_OK) return status;

    uint64 total = 0;
    status = CL_OK;
    for (;;) {
        uint64 want = total + chunk;
        // A blob holds at most 2^31 - 1 bytes.
        if (want > 0x7FFFFFFFu) want = 0x7FFFFFFFu;
        if (want <= total) {
            status = CL_IO_ERROR;
            break;
        }
        data->SetCapacity((uint32)want);
        uint8* at = data->GetCapacity() < want ? nullptr : data->GetDataForWrite();
        if (!at) {
            status = CL_OUT_OF_MEMORY;
            break;
        }
        size_t request = (size_t)(want - total);
        size_t got = fread(at + total, 1, request, file);
        total += got;
        if (got < request) {
            if (ferror(file)) status = CL_IO_ERROR;
            break;
        }
    }
    data->SetSize((uint32)total);
    data->Seek(0, CL_SEEK_SET);
    fclose(file);
    return status;
}

CL_Status CL_WriteFile(const std::string& path, const CL_Blob& data) {
    FILE* file = nullptr;
    CL_Status status = CL_OpenFile(path, CL_OPEN_CREATE | CL_OPEN_BINARY, &file, 0644);
    if (status != CL_OK) return status;
    uint32 size = data.GetSize();
    if (size > 0 && fwrite(data.GetDataForRead(), 1, size, file) != size) {
        status = Denied(errno) ? CL_ACCESS_DENIED : CL_IO_ERROR;
    }
    // Buffered bytes reach the disk only at the close, which can fail too.
    if (fclose(file) != 0 && status == CL_OK)
        status = Denied(errno) ? CL_ACCESS_DENIED : CL_IO_ERROR;
    return status;
}

CL_Status CL_RenameFile(const std::string& oldPath, const std::string& newPath) {
    return rename(oldPath.c_str(), newPath.c_str()) == 0 ? CL_OK : PathError(errno);
}

CL_Status CL_DeleteFile(const std::string& path) {
    return unlink(path.c_str()) == 0 ? CL_OK : PathError(errno);
}

CL_Status CL_TruncateFile(const std::string& path, uint64 size) {
    if (size > (uint64)INT64_MAX) return CL_IO_ERROR;
    return truncate(path.c_str(), (off_t)size) == 0 ? CL_OK : PathError(errno);
}

CL_Status CL_LockFile(FILE* file, bool exclusive) {
    if (!file) return CL_IO_ERROR;
    return flock(fileno(file), exclusive ? LOCK_EX : LOCK_SH) == 0 ? CL_OK : CL_IO_ERROR;
}

CL_Status CL_UnlockFile(FILE* file) {
    if (!file) return CL_IO_ERROR;
    return flock(fileno(file), LOCK_UN) == 0 ? CL_OK : CL_IO_ERROR;
}

CL_Status CL_CopyFile(const std::string& fromPath, const std::string& toPath, bool lock,
                      CL_CopyProgress progress, void* progressParam) {
    std::string dest = toPath;
    while (!dest.empty() && dest.back() == '/')
        dest.pop_back();
    if ((CL_StatFile(dest) & CL_FILE_KIND_MASK) == CL_FILE_DIRECTORY)
        dest += "/" + TextAfterLastSlash(fromPath);

    uint64 size = 0;
    CL_StatFile(fromPath, &size);
    FILE* source = nullptr;
    CL_Status status = CL_OpenFile(fromPath, CL_OPEN_READ | CL_OPEN_BINARY, &source);
    if (status != CL_OK) return status;

    struct stat sourceStat;
    if (fstat(fileno(source), &sourceStat) != 0) {
        fclose(source);
        return CL_IO_ERROR;
    }
    // Opening the destination truncates it: copying a file onto itself would empty it.
    struct stat destStat;
    if (stat(dest.c_str(), &destStat) == 0 && destStat.st_dev == sourceStat.st_dev &&
        destStat.st_ino == sourceStat.st_ino) {
        fclose(source);
        return CL_IO_ERROR;
    }

    if (lock) {
        status = CL_LockFile(source, true);
        if (status != CL_OK) {
            fclose(source);
            return status;
        }
    }

    FILE* target = nullptr;
    status = CL_OpenFile(dest, CL_OPEN_CREATE | CL_OPEN_BINARY, &target, sourceStat.st_mode & 0777);
    if (status != CL_OK) {
        if (lock) CL_UnlockFile(source);
        fclose(source);
        return status;
    }

    size_t bufferSize = size > 1048576 ? 1048576 : (size < 1024 ? 1024 : (size_t)size);
    char* buffer = (char*)malloc(bufferSize);
    if (!buffer) status = CL_OUT_OF_MEMORY;

    uint64 total = 0;
    while (status == CL_OK) {
        size_t got = fread(buffer, 1, bufferSize, source);
        if (got == 0) {
            // End of file and a read error look alike here; only the former is done.
            if (ferror(source)) status = CL_IO_ERROR;
            break;
        }
        size_t put = fwrite(buffer, 1, got, target);
        if (put != got) {
            status = CopyError(errno);
            break;
        }
        total += put;
        if (progress) status = progress(total, size, progressParam);
    }
    free(buffer);

    if (fclose(target) != 0 && status == CL_OK) status = CopyError(errno);
    if (status != CL_OK) CL_DeleteFile(dest);
    if (lock) CL_UnlockFile(source);
    fclose(source);
    return status;
}

CL_Status CL_MoveFile(const std::string& fromPath, const std::string& toPath,
                      CL_CopyProgress progress, void* progressParam) {
    if (CL_RenameFile(fromPath, toPath) == CL_OK) return CL_OK;
    CL_Status status = CL_CopyFile(fromPath, toPath, false, progress, progressParam);
    if (status != CL_OK) return status;
    status = CL_DeleteFile(fromPath);
    if (status != CL_OK) {
        std::string dest = toPath;
        while (!dest.empty() && dest.back() == '/')
            dest.pop_back();
        if ((CL_StatFile(dest) & CL_FILE_KIND_MASK) == CL_FILE_DIRECTORY)
            dest += "/" + TextAfterLastSlash(fromPath);
        CL_DeleteFile(dest);
    }
    return status;
}

namespace {

CL_Status CopyContents(const std::string& from, const std::string& to) {
    CL_DirectoryWalker walker(from, "*.*");
    if (!walker.IsOpened()) return CL_IO_ERROR;
    for (;;) {
        uint32 kind = 0;
        std::string name = walker.Fetch(&kind);
        if (name.empty()) return CL_OK;
        if (name == "." || name == "..") continue;
        std::string source = from + "/" + name, target = to + "/" + name;
        CL_Status status;
        if (kind == 2) {
            status = CL_EnsurePath(target, true) ? CopyContents(source, target) : CL_IO_ERROR;
        } else {
            status = CL_CopyFile(source, target, false, nullptr, nullptr);
        }
        if (status != CL_OK) return status;
    }
}

}  // namespace

CL_Status CL_CopyTree(const std::string& fromPath, const std::string& toPath) {
    std::string name = TextAfterLastSlash(fromPath);
    std::string target = toPath + "/" + name;
    uint32 kind = CL_StatFile(toPath);
    if (kind == 0) return CL_FILE_NOT_FOUND;
    if ((kind & CL_FILE_KIND_MASK) != CL_FILE_DIRECTORY) return CL_IO_ERROR;
    // A target inside the source would be listed while it is being filled: the copy
    // would descend into its own output until paths or descriptors ran out.
    char* source = realpath(fromPath.c_str(), nullptr);
    char* folder = realpath(toPath.c_str(), nullptr);
    bool inside = false;
    if (source && folder) {
        std::string realTarget = folder;
        if (realTarget.back() != '/') realTarget += "/";
        inside = FolderHolds(source, realTarget + name);
    }
    free(source);
    free(folder);
    if (inside) return CL_IO_ERROR;
    if (!CL_EnsurePath(target, true)) return CL_ACCESS_DENIED;
    return CopyContents(fromPath, target);
}

CL_Status CL_DeleteTree(const std::string& path, bool recursive, bool removeRoot) {
    std::string root = StripTrailingSlashes(path);
    if (recursive) {
        CL_DirectoryWalker walker(root, "*.*");
        if (!walker.IsOpened()) return CL_FILE_NOT_FOUND;
        for (;;) {
            uint32 kind = 0;
            std::string name = walker.Fetch(&kind);
            if (name.empty()) break;
            if (name == "." || name == "..") continue;
            std::string child = root + "/" + name;
            CL_Status status = kind == 2 ? CL_DeleteTree(child, true, true) : CL_DeleteFile(child);
            if (status != CL_OK) return status;
        }
    }
    if (!removeRoot) return CL_OK;
    if (rmdir(root.c_str()) == 0) return CL_OK;
    return errno == ENOTDIR ? CL_FILE_NOT_FOUND : PathError(errno);
}

CL_Status CL_GetFilesystemInfo(const std::string& path, CL_FilesystemInfo* info) {
    info->fBlockSize = 0;
    info->fPreferredIOSize = 0;
    info->fBytesAvailable = info->fBytesFree = info->fBytesTotal = 0;
    info->fFlags = 0;
    info->fDevice.clear();
    info->fType.clear();

    struct statfs fs;
    if (statfs(path.c_str(), &fs) != 0) return CL_IO_ERROR;
    info->fPreferredIOSize = (uint32)fs.f_bsize;
    info->fBlockSize = (uint32)fs.f_frsize;
    bool readOnly = (fs.f_flags & ST_RDONLY) != 0;

    // Mount points are compared with the resolved absolute path.
    std::string absolute;
    if (char* real = realpath(path.c_str(), nullptr)) {
        absolute = real;
        free(real);
    } else {
        absolute = CL_GetAbsolutePath(path);
    }

    static const char* const kTables[] = {"/etc/mtab", "/proc/self/mounts", "/proc/mounts",
                                          "/etc/fstab"};
    FILE* table = nullptr;
    for (const char* name : kTables)
        if ((table = setmntent(name, "r")) != nullptr) break;
    int32 flags = 0;
    if (table) {
        struct mntent entry;
        char line[1024];
        // The last applying entry is the mount on top; its kind gives the flags.
        while (getmntent_r(table, &entry, line, sizeof(line))) {
            if (!FolderHolds(entry.mnt_dir, absolute)) continue;
            info->fDevice = entry.mnt_fsname;
            info->fType = entry.mnt_type;
            flags = 0;
            if (info->fType != "nfs") flags |= 2;
            if (info->fType != "vfat" && info->fType != "msdos" && info->fType != "ntfs" &&
                info->fType != "hfsplus")
                flags |= 4;
        }
        endmntent(table);
    }
    info->fFlags = flags | (readOnly ? 1 : 0);

    uint64 fragment = (uint64)fs.f_frsize;
    info->fBytesAvailable = (uint64)fs.f_bavail * fragment;
    info->fBytesFree = (uint64)fs.f_bfree * fragment;
    info->fBytesTotal = (uint64)fs.f_blocks * fragment;
    return CL_OK;
}
