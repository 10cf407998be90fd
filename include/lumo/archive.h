// Archives: named stores of resources (blobs addressed by a relative name) kept either
// as a directory tree or as one zip file "<name>.sla", behind one interface; and the
// one-entry zip writers CL_ZipFile.
#pragma once

#include <string>

#include "lumo/allocator.h"
#include "lumo/base_types.h"

class CL_Blob;
class CL_TimeStamp;

// A store of resources in a folder: the directory "<path>/<name>/" or the zip file
// "<path>/<name>.sla". Status codes: CL_OK, CL_ACCESS_DENIED (read-only),
// CL_ARCHIVE_NOT_FOUND, CL_ARCHIVE_READ_FAILED, CL_ARCHIVE_WRITE_FAILED and
// CL_ARCHIVE_NOT_LOADED (not open).
// One thread at a time: the last status and the back-end are unguarded. Archive
// objects over the same folder do not coordinate with each other either.
class CL_Archive : public CL_Object {
public:
    enum Flags : uint32 {
        NORMAL = 0,
        CREATE = 1,      // opening creates what is missing
        COMPRESSED = 2,  // the zip form; otherwise the directory form
        READONLY = 4,    // writes answer CL_ACCESS_DENIED, removals are refused
        AUTODETECT = 8,  // the directory form when present, else the zip form
        OPEN_DEFAULT = 8,
    };
    friend constexpr Flags operator|(Flags a, Flags b) {
        return static_cast<Flags>(static_cast<uint32>(a) | static_cast<uint32>(b));
    }

    // Back-end of one archive form; used only by its archive, on the archive's thread.
    class Handler : public CL_Object {
    public:
        explicit Handler(CL_Archive* archive) : fArchive(archive) {}
        virtual ~Handler() {}
        Handler(const Handler&) = delete;
        Handler& operator=(const Handler&) = delete;

        virtual CL_Status Read(const std::string& name, CL_Blob* data) = 0;
        virtual CL_Status Write(const std::string& name, CL_Blob* data) = 0;
        virtual void Delete(const std::string& name) = 0;

    protected:
        CL_Archive* fArchive;  // the archive that owns this back-end
    };

    // Resources as entries of one zip file; every change rewrites the file.
    class ZipHandler : public Handler {
    public:
        // Null when the file is not a readable zip and, with CREATE, cannot be made an
        // empty one. A readable zip is kept as it is, CREATE or not.
        static Handler* Init(CL_Archive* archive);

        CL_Status Read(const std::string& name, CL_Blob* data) override;
        CL_Status Write(const std::string& name, CL_Blob* data) override;
        void Delete(const std::string& name) override;

    private:
        explicit ZipHandler(CL_Archive* archive);
        // Writes the archive anew without the entry called name (compared without
        // regard to case) and, when data is given, with it as a new entry.
        CL_Status Replace(const std::string& name, CL_Blob* data);

        std::string fZipFile;
    };

    // Resources as files under the folder "<path>/<name>/".
    class DirHandler : public Handler {
    public:
        // Null when the folder is missing and cannot (or may not) be created.
        static Handler* Init(CL_Archive* archive);

        CL_Status Read(const std::string& name, CL_Blob* data) override;
        CL_Status Write(const std::string& name, CL_Blob* data) override;
        void Delete(const std::string& name) override;

    private:
        explicit DirHandler(CL_Archive* archive);

        std::string fBaseDir;
    };

    CL_Archive();
    CL_Archive(const std::string& path, const std::string& name, Flags flags = OPEN_DEFAULT);
    ~CL_Archive();
    CL_Archive(const CL_Archive&) = delete;
    CL_Archive& operator=(const CL_Archive&) = delete;

    // CL_OK, or CL_ARCHIVE_NOT_FOUND with the archive closed.
    CL_Status Open(const std::string& path, const std::string& name, Flags flags = OPEN_DEFAULT);
    void Close();
    // Replaces data's content by the resource and rewinds it.
    CL_Status Read(CL_Blob* data, const std::string& name);
    CL_Status Write(CL_Blob* data, const std::string& name);
    void Remove(const std::string& name);
    CL_Status GetError() const { return fError; }

    uint32 GetFlags() const { return fFlags; }
    bool IsOpen() const { return fHandler != nullptr; }

private:
    uint32 fFlags;
    std::string fPath;  // folder holding the archive, ending in "/" when not empty
    std::string fName;
    Handler* fHandler;  // owned; null while closed
    CL_Status fError;
};

// Writes a zip file (or the bytes of one, into dest at its position) holding data as
// its one entry dataFileName, deflated at level 9 and dated modTime. True only when
// the entry and the archive were written and closed without error.
bool CL_ZipFile(const std::string& fileName, const CL_Blob& data, const std::string& dataFileName,
                const CL_TimeStamp& modTime);
bool CL_ZipFile(CL_Blob* dest, const CL_Blob& data, const std::string& dataFileName,
                const CL_TimeStamp& modTime);
