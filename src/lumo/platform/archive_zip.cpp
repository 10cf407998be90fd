// Zip back-end of the archive over minizip, and the one-entry zip writers. A change
// rewrites the whole archive into a temporary file beside it, copying the other
// entries without recompressing them, and then renames that file over the archive, so
// that a failure at any step leaves the old archive as it was.
#include <errno.h>
#include <fcntl.h>
#include <minizip/unzip.h>
#include <minizip/zip.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <vector>

#include "lumo/archive.h"
#include "lumo/blob.h"
#include "lumo/files.h"
#include "lumo/status.h"
#include "lumo/timestamp.h"
#include "lumo/utf8.h"

namespace {

constexpr uint32 kChunk = 65536;
constexpr int kDeflate = 8;
constexpr uLong kFlagEncrypted = 0x1;
constexpr uLong kFlagUTF8 = 0x800;
constexpr unsigned kZip64ExtraTag = 0x0001;

// Entry date of a timestamp. The zip date field holds the years 1980 to 2107 only.
tm_zip ZipDate(const CL_TimeStamp& time) {
    int day = 1, month = 1, year = 1980, hour = 0, minute = 0, second = 0;
    time.GetFields(&day, &month, &year, &hour, &minute, &second);
    tm_zip date = {};
    if (year < 1980) {
        day = month = 1;
        year = 1980;
        hour = minute = second = 0;
    } else if (year > 2107) {
        day = 31;
        month = 12;
        year = 2107;
        hour = 23;
        minute = second = 59;
    }
    date.tm_sec = static_cast<uInt>(second);
    date.tm_min = static_cast<uInt>(minute);
    date.tm_hour = static_cast<uInt>(hour);
    date.tm_mday = static_cast<uInt>(day);
    date.tm_mon = static_cast<uInt>(month - 1);
    date.tm_year = static_cast<uInt>(year);
    return date;
}

// General-purpose flag of a new entry: names that are not plain ASCII are UTF-8.
uLong NameFlag(const std::string& name) {
    for (unsigned char c : name)
        if (c >= 0x80) return kFlagUTF8;
    return 0;
}

// Writes one new entry holding data; false on any failure.
bool AddEntry(zipFile zip, const std::string& name, const CL_Blob& data, const CL_TimeStamp& time,
              int level) {
    zip_fileinfo info = {};
    info.tmz_date = ZipDate(time);
    uint32 size = data.GetSize();
    if (zipOpenNewFileInZip4_64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, kDeflate,
                                level, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0,
                                0, NameFlag(name), 0) != ZIP_OK)
        return false;
    bool ok = size == 0 || zipWriteInFileInZip(zip, data.GetDataForRead(), size) == ZIP_OK;
    return zipCloseFileInZip(zip) == ZIP_OK && ok;
}

// Name, extra field and comment of the current entry, with buffers sized from the
// entry itself so that long names are never cut.
bool CurrentEntry(unzFile unz, unz_file_info64* info, std::string* name,
                  std::vector<char>* extra = nullptr, std::string* comment = nullptr) {
    if (unzGetCurrentFileInfo64(unz, info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
        return false;
    std::vector<char> nameBuf(info->size_filename + 1);
    std::vector<char> extraBuf(info->size_file_extra + 1);
    std::vector<char> commentBuf(info->size_file_comment + 1);
    if (unzGetCurrentFileInfo64(unz, info, nameBuf.data(), nameBuf.size(), extraBuf.data(),
                                extraBuf.size(), commentBuf.data(), commentBuf.size()) != UNZ_OK)
        return false;
    name->assign(nameBuf.data(), info->size_filename);
    if (extra) extra->assign(extraBuf.begin(), extraBuf.begin() + info->size_file_extra);
    if (comment) comment->assign(commentBuf.data(), info->size_file_comment);
    return true;
}

// Drops the zip64 block from a copied extra field: the writer adds its own when the
// entry needs one, and two would make the entry unreadable. Every block's length is
// checked against the bytes left before it is trusted; false when one does not fit,
// which makes the whole entry untrustworthy.
bool DropZip64(std::vector<char>* extra) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(extra->data());
    size_t size = extra->size();
    std::vector<char> kept;
    kept.reserve(size);
    size_t at = 0;
    while (at < size) {
        if (size - at < 4) return false;
        unsigned tag = bytes[at] | (bytes[at + 1] << 8);
        size_t length = bytes[at + 2] | (bytes[at + 3] << 8);
        if (length > size - at - 4) return false;
        if (tag != kZip64ExtraTag)
            kept.insert(kept.end(), extra->begin() + at, extra->begin() + at + 4 + length);
        at += 4 + length;
    }
    extra->swap(kept);
    return true;
}

// Copies the current entry of unz into zip as it is stored, compressed bytes and all.
bool CopyRawEntry(unzFile unz, zipFile zip) {
    unz_file_info64 info;
    std::string name, comment;
    std::vector<char> central;
    if (!CurrentEntry(unz, &info, &name, &central, &comment)) return false;
    // The writer takes the name as a C string: one holding a NUL would be cut short and
    // the resource renamed.
    if (name.find('\0') != std::string::npos) return false;
    int method = 0, level = 0;
    if (unzOpenCurrentFile2(unz, &method, &level, 1) != UNZ_OK) return false;

    bool ok = false;
    std::vector<char> local;
    int localSize = unzGetLocalExtrafield(unz, nullptr, 0);
    if (localSize >= 0) {
        local.resize(static_cast<size_t>(localSize));
        if (localSize == 0 ||
            unzGetLocalExtrafield(unz, local.data(), static_cast<unsigned>(localSize)) == localSize)
            ok = true;
    }
    if (!DropZip64(&local) || !DropZip64(&central)) ok = false;

    zip_fileinfo zi = {};
    zi.tmz_date.tm_sec = info.tmu_date.tm_sec;
    zi.tmz_date.tm_min = info.tmu_date.tm_min;
    zi.tmz_date.tm_hour = info.tmu_date.tm_hour;
    zi.tmz_date.tm_mday = info.tmu_date.tm_mday;
    zi.tmz_date.tm_mon = info.tmu_date.tm_mon;
    zi.tmz_date.tm_year = info.tmu_date.tm_year;
    zi.dosDate = info.dosDate;
    zi.internal_fa = info.internal_fa;
    zi.external_fa = info.external_fa;
    int zip64 = info.uncompressed_size >= 0xFFFFFFFFu || info.compressed_size >= 0xFFFFFFFFu;
    ok = ok && zipOpenNewFileInZip4_64(
                   zip, name.c_str(), &zi, local.empty() ? nullptr : local.data(),
                   static_cast<uInt>(local.size()), central.empty() ? nullptr : central.data(),
                   static_cast<uInt>(central.size()), comment.empty() ? nullptr : comment.c_str(),
                   method, level, 1, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0,
                   info.version, info.flag & (kFlagEncrypted | kFlagUTF8), zip64) == ZIP_OK;
    if (ok) {
        // The compressed bytes go across in chunks, and must add up to the size the
        // entry declares.
        std::vector<char> buffer(kChunk);
        uint64 copied = 0;
        int n;
        while ((n = unzReadCurrentFile(unz, buffer.data(), kChunk)) > 0) {
            copied += static_cast<uint64>(n);
            if (zipWriteInFileInZip(zip, buffer.data(), static_cast<unsigned>(n)) != ZIP_OK) {
                ok = false;
                break;
            }
        }
        if (n < 0 || copied != info.compressed_size) ok = false;
        if (zipCloseFileInZipRaw64(zip, info.uncompressed_size, info.crc) != ZIP_OK) ok = false;
    }
    if (unzCloseCurrentFile(unz) != UNZ_OK) ok = false;
    return ok;
}

// Reads the current entry whole. The blob grows with the bytes that really come, not
// with the size the entry claims, and the entry must end exactly at that size with a
// matching CRC.
bool ReadEntry(unzFile unz, uint64 declared, CL_Blob* data) {
    data->Clear();
    if (declared > CL_Blob::kMaxSize) return false;
    if (unzOpenCurrentFile(unz) != UNZ_OK) return false;
    std::vector<char> buffer(kChunk);
    uint64 total = 0;
    bool ok = true;
    int n;
    while ((n = unzReadCurrentFile(unz, buffer.data(), kChunk)) > 0) {
        total += static_cast<uint64>(n);
        if (total > declared ||
            data->Write(buffer.data(), static_cast<uint32>(n)) != static_cast<uint32>(n)) {
            ok = false;
            break;
        }
    }
    if (n < 0 || total != declared) ok = false;
    // Only after the whole entry was read does closing it check the CRC.
    if (unzCloseCurrentFile(unz) != UNZ_OK) ok = false;
    if (!ok) data->Clear();
    data->Rewind();
    return ok;
}

// True for a zip archive of no entries: its end record alone, as the writer leaves
// it when the last entry goes. The reader refuses to open such a file.
bool IsEmptyZip(const std::string& path) {
    constexpr off_t kEndRecord = 22;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || st.st_size < kEndRecord || st.st_size > kEndRecord + 0xFFFF)
        return false;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return false;
    unsigned char end[kEndRecord];
    bool read = fread(end, 1, sizeof(end), file) == sizeof(end);
    fclose(file);
    auto word = [&](int at) { return end[at] | end[at + 1] << 8; };
    return read && memcmp(end, "PK\x05\x06", 4) == 0 && word(8) == 0 && word(10) == 0 &&
           word(20) == st.st_size - kEndRecord;
}

// Only a missing or empty file, or an empty zip, has no entries to keep: one that
// exists but does not open as a zip (damaged, unreadable) would lose them all in a
// rewrite.
bool HoldsNoEntries(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return errno == ENOENT;
    return st.st_size == 0 || IsEmptyZip(path);
}

// Replaceable file functions that make minizip write into a blob at its position.
voidpf BlobOpen(voidpf opaque, const char*, int) {
    return opaque;
}
uLong BlobRead(voidpf, voidpf stream, void* buf, uLong size) {
    if (size > CL_Blob::kMaxSize) return 0;
    return static_cast<CL_Blob*>(stream)->Read(buf, static_cast<uint32>(size));
}
uLong BlobWrite(voidpf, voidpf stream, const void* buf, uLong size) {
    if (size > CL_Blob::kMaxSize) return 0;
    return static_cast<CL_Blob*>(stream)->Write(buf, static_cast<uint32>(size));
}
long BlobTell(voidpf, voidpf stream) {
    return static_cast<CL_Blob*>(stream)->Tell();
}
long BlobSeek(voidpf, voidpf stream, uLong offset, int origin) {
    if (origin < 0 || origin > 2 || offset > static_cast<uLong>(INT32_MAX)) return -1;
    static_cast<CL_Blob*>(stream)->Seek(static_cast<int32>(offset),
                                        static_cast<CL_SeekType>(origin));
    return 0;
}
int BlobClose(voidpf, voidpf) {
    return 0;
}
int BlobTestError(voidpf, voidpf) {
    return 0;
}

}  // namespace

CL_Archive::ZipHandler::ZipHandler(CL_Archive* archive)
    : Handler(archive), fZipFile(CL_GetNativePath(archive->fPath + archive->fName + ".sla")) {}

CL_Archive::Handler* CL_Archive::ZipHandler::Init(CL_Archive* archive) {
    ZipHandler* handler = new ZipHandler(archive);
    if (!handler) return nullptr;
    bool ok;
    // A readable zip archive opens as it is, with CREATE too: creating makes what is
    // missing and never empties an archive. Otherwise CREATE starts an empty file.
    unzFile unz = unzOpen64(handler->fZipFile.c_str());
    ok = unz != nullptr || IsEmptyZip(handler->fZipFile);
    if (unz) unzClose(unz);
    if (!ok && (archive->fFlags & CREATE)) {
        FILE* file = fopen(handler->fZipFile.c_str(), "w");
        ok = file && fclose(file) == 0;
    }
    if (!ok) {
        delete handler;
        return nullptr;
    }
    return handler;
}

CL_Status CL_Archive::ZipHandler::Read(const std::string& name, CL_Blob* data) {
    unzFile unz = unzOpen64(fZipFile.c_str());
    if (!unz) return IsEmptyZip(fZipFile) ? CL_ARCHIVE_READ_FAILED : CL_ARCHIVE_NOT_LOADED;
    std::string wanted = CL_GetNativePath(name);
    CL_Status status = CL_ARCHIVE_READ_FAILED;
    for (int r = unzGoToFirstFile(unz); r == UNZ_OK; r = unzGoToNextFile(unz)) {
        unz_file_info64 info;
        std::string entry;
        if (!CurrentEntry(unz, &info, &entry)) break;
        if (CL_GetNativePath(entry) != wanted) continue;
        // A damaged entry does not end the search: a later one of the same name may do.
        if (ReadEntry(unz, info.uncompressed_size, data)) {
            status = CL_OK;
            break;
        }
    }
    unzClose(unz);
    return status;
}

CL_Status CL_Archive::ZipHandler::Write(const std::string& name, CL_Blob* data) {
    return Replace(name, data);
}

void CL_Archive::ZipHandler::Delete(const std::string& name) {
    Replace(name, nullptr);
}

CL_Status CL_Archive::ZipHandler::Replace(const std::string& name, CL_Blob* data) {
    CL_TimeStamp now = CL_TimeStamp::Now();
    std::string key = CL_GetNativePath(name);

    // The new archive is written beside the old one: a rename within one folder
    // replaces it in one step and never crosses file systems.
    std::string temp = fZipFile + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) return CL_ARCHIVE_WRITE_FAILED;
    struct stat st;
    fchmod(fd, stat(fZipFile.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644);
    close(fd);

    unzFile unz = unzOpen64(fZipFile.c_str());
    if (!unz && !HoldsNoEntries(fZipFile)) {
        unlink(temp.c_str());
        return CL_ARCHIVE_WRITE_FAILED;
    }
    zipFile zip = zipOpen64(temp.c_str(), APPEND_STATUS_CREATE);
    if (!zip) {
        if (unz) unzClose(unz);
        unlink(temp.c_str());
        return CL_ARCHIVE_WRITE_FAILED;
    }
    bool ok = true;
    if (unz) {
        int r;
        for (r = unzGoToFirstFile(unz); r == UNZ_OK && ok; r = unzGoToNextFile(unz)) {
            unz_file_info64 info;
            std::string entry;
            if (!CurrentEntry(unz, &info, &entry)) {
                ok = false;
                break;
            }
            if (CL_StringCaseCompare(CL_GetNativePath(entry), key) == 0) continue;
            ok = CopyRawEntry(unz, zip);
        }
        if (ok && r != UNZ_END_OF_LIST_OF_FILE) ok = false;
        unzClose(unz);
    }
    if (ok && data) ok = AddEntry(zip, key, *data, now, Z_DEFAULT_COMPRESSION);
    if (zipClose(zip, nullptr) != ZIP_OK) ok = false;
    if (!ok || rename(temp.c_str(), fZipFile.c_str()) != 0) {
        unlink(temp.c_str());
        return CL_ARCHIVE_WRITE_FAILED;
    }
    return CL_OK;
}

bool CL_ZipFile(const std::string& fileName, const CL_Blob& data, const std::string& dataFileName,
                const CL_TimeStamp& modTime) {
    zipFile zip = zipOpen64(fileName.c_str(), APPEND_STATUS_CREATE);
    if (!zip) return false;
    bool ok = AddEntry(zip, dataFileName, data, modTime, 9);
    return zipClose(zip, nullptr) == ZIP_OK && ok;
}

bool CL_ZipFile(CL_Blob* dest, const CL_Blob& data, const std::string& dataFileName,
                const CL_TimeStamp& modTime) {
    if (!dest) return false;
    zlib_filefunc_def functions = {BlobOpen, BlobRead,  BlobWrite,     BlobTell,
                                   BlobSeek, BlobClose, BlobTestError, dest};
    zipFile zip = zipOpen2("", APPEND_STATUS_CREATE, nullptr, &functions);
    if (!zip) return false;
    bool ok = AddEntry(zip, dataFileName, data, modTime, 9);
    return zipClose(zip, nullptr) == ZIP_OK && ok;
}
