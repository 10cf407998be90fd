// The archive front end: picks the directory or the zip back-end and keeps the status
// of the last operation.
#include "lumo/archive.h"

#include "lumo/blob.h"
#include "lumo/files.h"

CL_Archive::CL_Archive() : fFlags(OPEN_DEFAULT), fHandler(nullptr), fError(0) {}

CL_Archive::CL_Archive(const std::string& path, const std::string& name, Flags flags)
    : fFlags(flags), fName(name), fHandler(nullptr), fError(0) {
    Open(path, name, flags);
}

CL_Archive::~CL_Archive() {
    Close();
}

int32 CL_Archive::Open(const std::string& path, const std::string& name, Flags flags) {
    Close();
    fPath = CL_GetNativePath(path);
    if (!fPath.empty() && fPath.back() != '/') fPath += "/";
    fName = name;

    uint32 tried = flags;
    if (tried & AUTODETECT) {
        tried &= ~static_cast<uint32>(AUTODETECT | COMPRESSED);
        if (Open(path, name, static_cast<Flags>(tried)) == 0) return 0;
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
        fError = 300;
        return fError;
    }
    fError = 0;
    return 0;
}

void CL_Archive::Close() {
    delete fHandler;
    fHandler = nullptr;
    fPath.clear();
    fName.clear();
    fError = 0;
}

int32 CL_Archive::Read(CL_Blob* data, const std::string& name) {
    if (!fHandler) {
        fError = 307;
    } else if (!data) {
        fError = 304;
    } else {
        fError = fHandler->Read(name, data);
    }
    return fError;
}

int32 CL_Archive::Write(CL_Blob* data, const std::string& name) {
    if (!fHandler)
        fError = 307;
    else if (fFlags & READONLY)
        fError = 3;
    else if (!data)
        fError = 306;
    else
        fError = fHandler->Write(name, data);
    return fError;
}

void CL_Archive::Remove(const std::string& name) {
    if (!fHandler || (fFlags & READONLY)) return;
    fHandler->Delete(name);
}
