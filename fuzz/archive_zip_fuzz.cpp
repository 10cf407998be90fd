// Fuzz target for zip archives: the input is written as an archive file and opened.
// Every entry is read; a resource written is read back as written, and the entries
// that read before still read the same; a removed resource is gone. A rewrite that
// fails leaves the file exactly as it was, with no temporary file beside it.
#include <dirent.h>
#include <minizip/unzip.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "lumo/archive.h"
#include "lumo/blob.h"
#include "lumo/files.h"
#include "lumo/init.h"
#include "lumo/status.h"
#include "lumo/utf8.h"

namespace {

std::string sDir;

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int CountFiles() {
    int count = 0;
    if (DIR* d = opendir(sDir.c_str())) {
        while (struct dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) ++count;
        closedir(d);
    }
    return count;
}

// Names of the archive's first entries, as minizip lists them; entries that claim
// more than 1 MiB are left out to keep each run short.
std::map<std::string, bool> Names(const std::string& path) {
    std::map<std::string, bool> names;
    unzFile unz = unzOpen64(path.c_str());
    if (!unz) return names;
    int r = unzGoToFirstFile(unz);
    for (int i = 0; r == UNZ_OK && i < 16; i++, r = unzGoToNextFile(unz)) {
        unz_file_info64 info;
        char name[256];
        if (unzGetCurrentFileInfo64(unz, &info, name, sizeof(name), nullptr, 0, nullptr, 0) !=
            UNZ_OK)
            break;
        if (info.size_filename >= sizeof(name)) continue;
        names[std::string(name, info.size_filename)] = info.uncompressed_size <= (1u << 20);
    }
    unzClose(unz);
    return names;
}

// What each listed entry reads as now; entries that do not read are left out.
std::map<std::string, std::string> Contents(CL_Archive& archive,
                                            const std::map<std::string, bool>& names) {
    std::map<std::string, std::string> contents;
    for (const auto& [name, small] : names) {
        if (!small) continue;
        CL_Blob data;
        CL_Status status = archive.Read(&data, name);
        if (status == CL_OK)
            contents[name] = data.Raw();
        else if (status != CL_ARCHIVE_READ_FAILED || data.GetSize() != 0)
            abort();
    }
    return contents;
}

void CheckUnchangedOrRead(CL_Archive& archive, const std::string& before,
                          const std::map<std::string, std::string>& contents,
                          const std::string& changed) {
    if (CountFiles() != 1) abort();
    if (Slurp(sDir + "/fz.sla") == before) return;
    for (const auto& [name, bytes] : contents) {
        if (CL_StringCaseCompare(CL_GetNativePath(name), CL_GetNativePath(changed)) == 0) continue;
        CL_Blob data;
        if (archive.Read(&data, name) != CL_OK || data.Raw() != bytes) abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CL_Init();
    char dir[] = "/tmp/fuzz_archive_zip_XXXXXX";
    if (!mkdtemp(dir)) abort();
    sDir = dir;
    atexit([] {
        unlink((sDir + "/fz.sla").c_str());
        rmdir(sDir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = sDir + "/fz.sla";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    CL_Archive archive(sDir, "fz", CL_Archive::COMPRESSED);
    if (archive.GetError() != CL_OK) {
        unlink(path.c_str());
        return 0;
    }
    std::map<std::string, bool> names = Names(path);
    std::map<std::string, std::string> contents = Contents(archive, names);

    // A new resource, then the removal of the first listed one.
    const std::string added = "fuzz/added.bin";
    CL_Blob payload(std::string(reinterpret_cast<const char*>(data), size > 300 ? 300 : size));
    std::string before = Slurp(path);
    CL_Status status = archive.Write(&payload, added);
    if (status == CL_OK) {
        CL_Blob back;
        if (archive.Read(&back, added) != CL_OK || back.Raw() != payload.Raw()) abort();
    } else if (status != CL_ARCHIVE_WRITE_FAILED || Slurp(path) != before) {
        abort();
    }
    CheckUnchangedOrRead(archive, before, contents, added);

    if (!names.empty()) {
        const std::string& gone = names.begin()->first;
        before = Slurp(path);
        contents = Contents(archive, Names(path));
        archive.Remove(gone);
        if (Slurp(path) != before) {
            CL_Blob back;
            if (archive.Read(&back, gone) != CL_ARCHIVE_READ_FAILED) abort();
        }
        CheckUnchangedOrRead(archive, before, contents, gone);
    }
    archive.Close();
    unlink(path.c_str());
    return 0;
}
