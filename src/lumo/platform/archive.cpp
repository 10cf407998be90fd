// The archive front end: picks the directory or the zip back-end and keeps the status
// of the last operation.
#include "lumo/archive.h"

#include "lumo/blob.h"
#include "lumo/files.h"

CL_Archive::CL_Archive() : fFlags(OPEN_DEFAULT), fHandler(nullptr), fError(CL_OK) {}

CL_Archive::CL_Archive(const std::string& path, const std::string& name, Flags flags)
    : fFlags(flags), fName(name), fHandler(nullptr), fError(CL_OK) {
    Open(path, name, flags);
}

CL_Archive::~CL_Archive() {
    Close();
}

CL_Status CL_Archive::Open(const std::string& path, const std::string& name, Flags flags) {
    Close();
    fPath = CL_GetNativePath(path);
    if (!fPath.empty() && fPath.back() != '/') fPath += "/";
    fName = name;

    uint32 tried = flags;
    if (tried & AUTODETECT) {
        tried &= ~static_cast<uint32>(AUTODETECT | COMPRESSED);
        if (Open(path, name, static_cast<Flags>(tried)) == CL_OK) return CL_OK;
        // The failed attempt closed the archive; start again for the zip form.
        fPath = CL_GetNativePath(path);
        if (!fPath.empty() && fPath.back() != '/') fPath += "/";
        fName = name;
        tried |= COMPRESSED;
    }

    fFlags = tried;
    fHandler = (tried & COMPRESSED) ? ZipHandler::Init(this) : DirHandler::Init(this);
    if (!fHandler) {
        Close();
        fFlags = tried;
        fError = CL_ARCHIVE_NOT_FOUND;
        return fError;
    }
    fError = CL_OK;
    return CL_OK;
}

void CL_Archive::Close() {
    delete fHandler;
    fHandler = nullptr;
    fPath.clear();
    fName.clear();
    fError = CL_OK;
}

CL_Status CL_Archive::Read(CL_Blob* data, const std::string& name) {
    if (!fHandler) {
        fError = CL_ARCHIVE_NOT_LOADED;
    } else if (!data) {
        fError = CL_ARCHIVE_READ_FAILED;
    } else {
        fError = fHandler->Read(name, data);
    }
    return fError;
}

CL_Status CL_Archive::Write(CL_Blob* data, const std::string& name) {
    if (!fHandler)
        fError = CL_ARCHIVE_NOT_LOADED;
    else if (fFlags & READONLY)
        fError = CL_ACCESS_DENIED;
    else if (!data)
        fError = CL_ARCHIVE_WRITE_FAILED;
    else
        fError = fHandler->Write(name, data);
    return fError;
}

void CL_Archive::Remove(const std::string& name) {
    if (!fHandler || (fFlags & READONLY)) return;
    fHandler->Delete(name);
}
