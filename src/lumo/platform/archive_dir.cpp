// Directory back-end of the archive: one file per resource under "<path>/<name>/".
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lumo/archive.h"
#include "lumo/blob.h"
#include "lumo/files.h"

namespace {

// Resource names are relative to the archive's folder: a ".." part would reach files
// outside it.
bool Contained(const std::string& nativeName) {
    size_t start = 0;
    while (start <= nativeName.size()) {
        size_t end = nativeName.find('/', start);
        if (end == std::string::npos) end = nativeName.size();
        if (nativeName.compare(start, end - start, "..") == 0) return false;
        start = end + 1;
    }
    return true;
}

}  // namespace

CL_Archive::DirHandler::DirHandler(CL_Archive* archive)
    : Handler(archive), fBaseDir(archive->fPath + archive->fName + "/") {}

CL_Archive::Handler* CL_Archive::DirHandler::Init(CL_Archive* archive) {
    DirHandler* handler = new DirHandler(archive);
    if (!handler) return nullptr;
    if (!CL_EnsurePath(archive->fPath + archive->fName, (archive->fFlags & CREATE) != 0)) {
        delete handler;
        return nullptr;
    }
    return handler;
}

CL_Status CL_Archive::DirHandler::Read(const std::string& name, CL_Blob* data) {
    if (!Contained(CL_GetNativePath(name))) return CL_ARCHIVE_READ_FAILED;
    std::string path = fBaseDir + CL_GetNativePath(name);
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return CL_ARCHIVE_READ_FAILED;
    if (static_cast<uint64>(st.st_size) > CL_Blob::kMaxSize) return CL_ARCHIVE_READ_FAILED;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return CL_ARCHIVE_READ_FAILED;
    uint32 size = static_cast<uint32>(st.st_size);
    data->SetSize(size);
    if (data->GetSize() != size) {
        fclose(file);
        return CL_ARCHIVE_READ_FAILED;
    }
    size_t got = size ? fread(data->GetDataForWrite(), 1, size, file) : 0;
    fclose(file);
    data->Rewind();
    if (got != size) {
        data->SetSize(static_cast<uint32>(got));
        return CL_ARCHIVE_READ_FAILED;
    }
    return CL_OK;
}

CL_Status CL_Archive::DirHandler::Write(const std::string& name, CL_Blob* data) {
    if (!Contained(CL_GetNativePath(name))) return CL_ARCHIVE_WRITE_FAILED;
    std::string path = fBaseDir + CL_GetNativePath(name);
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && !CL_EnsurePath(path.substr(0, slash), true))
        return CL_ARCHIVE_WRITE_FAILED;
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return CL_ARCHIVE_WRITE_FAILED;
    uint32 size = data->GetSize();
    size_t put = size ? fwrite(data->GetDataForRead(), 1, size, file) : 0;
    // Buffered bytes reach the disk only at close, so its failure is a failed write.
    bool closed = fclose(file) == 0;
    return put == size && closed ? CL_OK : CL_ARCHIVE_WRITE_FAILED;
}

void CL_Archive::DirHandler::Delete(const std::string& name) {
    if (!Contained(CL_GetNativePath(name))) return;
    unlink((fBaseDir + CL_GetNativePath(name)).c_str());
}
