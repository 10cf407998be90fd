// Archives in both forms: resources written, read, replaced and deleted; the zip form
// checked against Python's zipfile, which also supplies archives for it to read.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>

#include "lumo/archive.h"
#include "lumo/blob.h"
#include "lumo/files.h"
#include "lumo/init.h"
#include "lumo/status.h"
#include "lumo/timestamp.h"

namespace {

const char* kPython = ZELMO_PYTHON;

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Entries of a folder, "." and ".." left out.
int CountFiles(const std::string& dir) {
    int count = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) ++count;
        closedir(d);
    }
    return count;
}

void Spit(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

void PutLE(std::string* out, uint32 value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A zip archive of one stored entry, with the given extra fields in its local header
// and in its directory record, byte by byte as a foreign writer could make it.
std::string StoredZip(const std::string& name, const std::string& data,
                      const std::string& localExtra, const std::string& centralExtra) {
    uint32 crc = CL_Blob(data).CRC32();
    auto common = [&](std::string* out, const std::string& extra) {
        PutLE(out, 20, 2);    // version needed
        PutLE(out, 0, 2);     // flags
        PutLE(out, 0, 2);     // stored
        PutLE(out, 0, 2);     // time
        PutLE(out, 0x21, 2);  // 1980-01-01
        PutLE(out, crc, 4);
        PutLE(out, static_cast<uint32>(data.size()), 4);
        PutLE(out, static_cast<uint32>(data.size()), 4);
        PutLE(out, static_cast<uint32>(name.size()), 2);
        PutLE(out, static_cast<uint32>(extra.size()), 2);
    };
    std::string zip = "PK\x03\x04";
    common(&zip, localExtra);
    zip += name + localExtra + data;
    uint32 directory = static_cast<uint32>(zip.size());
    zip += "PK\x01\x02";
    PutLE(&zip, 20, 2);  // version made by
    common(&zip, centralExtra);
    PutLE(&zip, 0, 2);  // comment length
    PutLE(&zip, 0, 2);  // disk
    PutLE(&zip, 0, 2);  // internal attributes
    PutLE(&zip, 0, 4);  // external attributes
    PutLE(&zip, 0, 4);  // local header offset
    zip += name + centralExtra;
    uint32 directorySize = static_cast<uint32>(zip.size()) - directory;
    zip += "PK\x05\x06";
    PutLE(&zip, 0, 4);  // disks
    PutLE(&zip, 1, 2);
    PutLE(&zip, 1, 2);
    PutLE(&zip, directorySize, 4);
    PutLE(&zip, directory, 4);
    PutLE(&zip, 0, 2);  // comment length
    return zip;
}

class ArchiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        CL_Init();
        char tmpl[] = "/tmp/lumo_archive_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        fDir = tmpl;
    }
    void TearDown() override { CL_DeleteTree(fDir, true, true); }

    // Runs a Python script with the test folder as its argument; its standard output.
    std::string Python(const std::string& script) {
        if (access(kPython, X_OK) != 0) return "no python";
        std::string file = fDir + "/script.py";
        Spit(file, script);
        std::string output;
        FILE* pipe = popen((std::string(kPython) + " " + file + " " + fDir).c_str(), "r");
        if (!pipe) return "no pipe";
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0)
            output.append(buf, n);
        EXPECT_EQ(0, pclose(pipe)) << output;
        unlink(file.c_str());
        return output;
    }

    // One line per entry, in order: name, method, size, CRC check, content, comment,
    // extra field and date.
    std::string Listing(const std::string& zipPath) {
        return Python(
            "import sys, zipfile\n"
            "z = zipfile.ZipFile(sys.argv[1] + '/" +
            zipPath +
            "')\n"
            "assert z.testzip() is None\n"
            "for i in z.infolist():\n"
            "    d = z.read(i)\n"
            "    c = d.decode('latin-1') if len(d) < 40 else 'len=%d' % len(d)\n"
            "    print(i.filename, i.compress_type, i.file_size, c, i.comment.decode(),\n"
            "          i.extra.hex(), '%04d-%02d-%02d %02d:%02d:%02d' % i.date_time, sep='|')\n");
    }

    std::string fDir;
};

TEST_F(ArchiveTest, DirectoryForm) {
    CL_Archive missing(fDir, "absent", CL_Archive::NORMAL);
    EXPECT_EQ(CL_ARCHIVE_NOT_FOUND, missing.GetError());
    EXPECT_FALSE(missing.IsOpen());
    CL_Blob data("x");
    EXPECT_EQ(CL_ARCHIVE_NOT_LOADED, missing.Write(&data, "a"));
    EXPECT_EQ(CL_ARCHIVE_NOT_LOADED, missing.Read(&data, "a"));
    missing.Remove("a");

    // CREATE makes every missing level.
    CL_Archive archive(fDir + "/deep/er", "pack", CL_Archive::CREATE);
    ASSERT_EQ(CL_OK, archive.GetError());
    EXPECT_TRUE(archive.IsOpen());
    struct stat st;
    EXPECT_EQ(0, stat((fDir + "/deep/er/pack").c_str(), &st));

    CL_Blob image(std::string("\x89PNG\0\1\2", 7));
    EXPECT_EQ(CL_OK, archive.Write(&image, "img\\logo.png"));
    EXPECT_EQ(std::string("\x89PNG\0\1\2", 7), Slurp(fDir + "/deep/er/pack/img/logo.png"));
    CL_Blob back("junk that is longer");
    EXPECT_EQ(CL_OK, archive.Read(&back, "img/logo.png"));
    EXPECT_EQ(image.Raw(), back.Raw());
    EXPECT_EQ(0u, back.Tell());
    CL_Blob empty;
    EXPECT_EQ(CL_OK, archive.Write(&empty, "empty"));
    EXPECT_EQ(CL_OK, archive.Read(&back, "empty"));
    EXPECT_EQ(0u, back.GetSize());

    EXPECT_EQ(CL_ARCHIVE_READ_FAILED, archive.Read(&back, "img/other.png"));
    EXPECT_EQ(CL_ARCHIVE_READ_FAILED, archive.GetError());
    archive.Remove("img/logo.png");
    EXPECT_EQ(CL_ARCHIVE_READ_FAILED, archive.Read(&back, "img/logo.png"));

    // Names stay inside the archive's folder.
    Spit(fDir + "/deep/er/outside", "secret");
    EXPECT_EQ(CL_ARCHIVE_READ_FAILED, archive.Read(&back, "../outside"));
    EXPECT_EQ(CL_ARCHIVE_WRITE_FAILED, archive.Write(&image, "img/../../outside"));
    archive.Remove("../outside");
    EXPECT_EQ("secret", Slurp(fDir + "/deep/er/outside"));

    archive.Close();
    EXPECT_EQ(CL_ARCHIVE_NOT_LOADED, archive.Read(&back, "empty"));

    CL_Archive readOnly(fDir + "/deep/er", "pack", CL_Archive::READONLY);
    ASSERT_EQ(CL_OK, readOnly.GetError());
    EXPECT_EQ(CL_ACCESS_DENIED, readOnly.Write(&image, "new"));
    EXPECT_EQ(CL_ACCESS_DENIED, readOnly.GetError());
    readOnly.Remove("empty");
    EXPECT_EQ(CL_OK, readOnly.Read(&back, "empty"));
}

TEST_F(ArchiveTest, AutodetectPrefersTheDirectory) {
    CL_Archive archive;
    EXPECT_EQ(CL_ARCHIVE_NOT_FOUND, archive.Open(fDir, "pack"));
    EXPECT_FALSE(archive.IsOpen());

    ASSERT_TRUE(CL_ZipFile(fDir + "/pack.sla", CL_Blob("zipped"), "res", CL_TimeStamp::Now()));
    EXPECT_EQ(CL_OK, archive.Open(fDir, "pack"));
    EXPECT_EQ(uint32(CL_Archive::COMPRESSED), archive.GetFlags());
    CL_Blob data;
    EXPECT_EQ(CL_OK, archive.Read(&data, "res"));
    EXPECT_EQ("zipped", data.Raw());

    ASSERT_TRUE(CL_EnsurePath(fDir + "/pack", true));
    Spit(fDir + "/pack/res", "plain");
    EXPECT_EQ(CL_OK,
              archive.Open(fDir + "/", "pack", CL_Archive::AUTODETECT | CL_Archive::READONLY));
    EXPECT_EQ(uint32(CL_Archive::READONLY), archive.GetFlags());
    EXPECT_EQ(CL_OK, archive.Read(&data, "res"));
    EXPECT_EQ("plain", data.Raw());

    // A file that is not a zip archive does not open without CREATE.
    Spit(fDir + "/bad.sla", "not a zip");
    EXPECT_EQ(CL_ARCHIVE_NOT_FOUND, archive.Open(fDir, "bad", CL_Archive::COMPRESSED));
}

TEST_F(ArchiveTest, ZipWrittenReplacedAndDeleted) {
    CL_Archive archive(fDir, "pack", CL_Archive::CREATE | CL_Archive::COMPRESSED);
    ASSERT_EQ(CL_OK, archive.GetError());
    EXPECT_EQ(0, Slurp(fDir + "/pack.sla").size());
    chmod((fDir + "/pack.sla").c_str(), 0640);

    CL_Blob logo("old logo");
    EXPECT_EQ(CL_OK, archive.Write(&logo, "img/logo.png"));
    std::string big;
    for (int i = 0; i < 20000; ++i)
        big += "row " + std::to_string(i % 97) + ";";
    CL_Blob bigBlob(big);
    EXPECT_EQ(CL_OK, archive.Write(&bigBlob, "data\\big.txt"));
    CL_Blob gone("to be removed");
    EXPECT_EQ(CL_OK, archive.Write(&gone, "gone"));

    // Writing replaces an entry whose name differs only in case; reading is exact.
    CL_Blob newLogo("new logo");
    EXPECT_EQ(CL_OK, archive.Write(&newLogo, "Img/Logo.png"));
    CL_Blob back;
    EXPECT_EQ(CL_ARCHIVE_READ_FAILED, archive.Read(&back, "img/logo.png"));
    EXPECT_EQ(CL_OK, archive.Read(&back, "Img/Logo.png"));
    EXPECT_EQ("new logo", back.Raw());
    EXPECT_EQ(CL_OK, archive.Read(&back, "data/big.txt"));
    EXPECT_EQ(big, back.Raw());

    archive.Remove("GONE");
    EXPECT_EQ(CL_ARCHIVE_READ_FAILED, archive.Read(&back, "gone"));
    archive.Remove("never there");

    std::string listing = Listing("pack.sla");
    std::istringstream lines(listing);
    std::string first, second, extra;
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_EQ(0, first.find("data/big.txt|8|" + std::to_string(big.size()) + "|len=")) << listing;
    EXPECT_EQ(0, second.find("Img/Logo.png|8|8|new logo||")) << listing;
    EXPECT_FALSE(std::getline(lines, extra)) << listing;

    // The rewrite kept the file's mode and left no temporary file behind.
    struct stat st;
    ASSERT_EQ(0, stat((fDir + "/pack.sla").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
    EXPECT_EQ(1, CountFiles(fDir));

    CL_Archive readOnly(fDir, "pack", CL_Archive::COMPRESSED | CL_Archive::READONLY);
    EXPECT_EQ(CL_ACCESS_DENIED, readOnly.Write(&logo, "x"));
    readOnly.Remove("Img/Logo.png");
    EXPECT_EQ(CL_OK, readOnly.Read(&back, "Img/Logo.png"));
}

TEST_F(ArchiveTest, ZipFromPythonKeepsEntriesAsStored) {
    std::string made = Python(
        "import sys, zipfile\n"
        "with zipfile.ZipFile(sys.argv[1] + '/py.sla', 'w') as z:\n"
        "    i = zipfile.ZipInfo('stored.bin', (2001, 2, 3, 4, 5, 6))\n"
        "    i.compress_type = zipfile.ZIP_STORED\n"
        "    i.comment = b'kept'\n"
        "    i.extra = bytes.fromhex('cafe0400deadbeef')\n"
        "    z.writestr(i, bytes(range(256)))\n"
        "    i = zipfile.ZipInfo('città.txt', (2020, 12, 31, 23, 59, 58))\n"
        "    i.compress_type = zipfile.ZIP_DEFLATED\n"
        "    z.writestr(i, 'caffè ' * 1000)\n"
        "    z.writestr('Dir/Old.txt', 'old')\n"
        "print('ok')\n");
    if (made == "no python") GTEST_SKIP() << "no Python 3.13";
    ASSERT_EQ("ok\n", made);

    CL_Archive archive(fDir, "py", CL_Archive::COMPRESSED);
    ASSERT_EQ(CL_OK, archive.GetError());
    CL_Blob data;
    ASSERT_EQ(CL_OK, archive.Read(&data, "stored.bin"));
    ASSERT_EQ(256u, data.GetSize());
    for (uint32 i = 0; i < 256; ++i)
        EXPECT_EQ(i, data.GetDataForRead()[i]);
    ASSERT_EQ(CL_OK, archive.Read(&data, "città.txt"));
    EXPECT_EQ(7000u, data.GetSize());

    CL_Blob fresh("fresh");
    EXPECT_EQ(CL_OK, archive.Write(&fresh, "dir\\old.txt"));
    CL_Blob named("ü");
    EXPECT_EQ(CL_OK, archive.Write(&named, "grüße"));
    // The untouched entries keep method, comment, extra field and date; the new ones
    // are deflated, with UTF-8 names marked as such.
    std::string listing = Listing("py.sla");
    std::istringstream lines(listing);
    std::string line[5];
    for (std::string& l : line)
        std::getline(lines, l);
    EXPECT_EQ("stored.bin|0|256|len=256|kept|cafe0400deadbeef|2001-02-03 04:05:06", line[0]);
    EXPECT_EQ("città.txt|8|7000|len=7000|||2020-12-31 23:59:58", line[1]);
    EXPECT_EQ(0u, line[2].find("dir/old.txt|8|5|fresh|||")) << listing;
    EXPECT_EQ(0u, line[3].find("grüße|8|2|")) << listing;
    EXPECT_EQ("", line[4]);
}

TEST_F(ArchiveTest, DamagedZipEntries) {
    // Two entries named alike: the first stored copy is damaged afterwards (its CRC
    // no longer matches), so reading must skip it and find the second.
    std::string made = Python(
        "import sys, zipfile, warnings\n"
        "warnings.simplefilter('ignore')\n"
        "p = sys.argv[1] + '/bad.sla'\n"
        "with zipfile.ZipFile(p, 'w', zipfile.ZIP_STORED) as z:\n"
        "    z.writestr('twice', 'AAAAAAAA')\n"
        "    z.writestr('twice', 'BBBBBBBB')\n"
        "    z.writestr('big', 'C' * 1000)\n"
        "b = bytearray(open(p, 'rb').read())\n"
        "b[b.index(b'AAAAAAAA')] = ord('Z')\n"
        "open(p, 'wb').write(b)\n"
        "print('ok')\n");
    if (made == "no python") GTEST_SKIP() << "no Python 3.13";
    ASSERT_EQ("ok\n", made);
    CL_Archive archive(fDir, "bad", CL_Archive::COMPRESSED);
    ASSERT_EQ(CL_OK, archive.GetError());
    CL_Blob data;
    EXPECT_EQ(CL_OK, archive.Read(&data, "twice"));
    EXPECT_EQ("BBBBBBBB", data.Raw());

    // An entry whose central record claims more compressed bytes than the file holds:
    // the rewrite fails and the archive stays exactly as it was.
    std::string patched = Python(
        "import sys, struct\n"
        "p = sys.argv[1] + '/bad.sla'\n"
        "b = bytearray(open(p, 'rb').read())\n"
        "c = b.rindex(b'PK\\x01\\x02')\n"
        "struct.pack_into('<I', b, c + 20, 0x7ffffff0)\n"
        "open(p, 'wb').write(b)\n"
        "print('ok')\n");
    ASSERT_EQ("ok\n", patched);
    std::string before = Slurp(fDir + "/bad.sla");
    CL_Blob fresh("fresh");
    EXPECT_EQ(CL_ARCHIVE_WRITE_FAILED, archive.Write(&fresh, "new"));
    EXPECT_EQ(CL_ARCHIVE_WRITE_FAILED, archive.GetError());
    EXPECT_EQ(before, Slurp(fDir + "/bad.sla"));
    EXPECT_EQ(CL_ARCHIVE_READ_FAILED, archive.Read(&data, "big"));
    EXPECT_EQ(0u, data.GetSize());
    EXPECT_EQ(1, CountFiles(fDir));
}

TEST_F(ArchiveTest, ExistingZipKeptWhole) {
    {
        CL_Archive archive(fDir, "pack", CL_Archive::CREATE | CL_Archive::COMPRESSED);
        CL_Blob kept("kept");
        ASSERT_EQ(CL_OK, archive.Write(&kept, "res"));
    }
    // CREATE makes what is missing: an archive already there keeps its resources.
    CL_Archive archive(fDir, "pack", CL_Archive::CREATE | CL_Archive::COMPRESSED);
    ASSERT_EQ(CL_OK, archive.GetError());
    CL_Blob data;
    EXPECT_EQ(CL_OK, archive.Read(&data, "res"));
    EXPECT_EQ("kept", data.Raw());
    // A file that is no zip archive is still made anew.
    Spit(fDir + "/junk.sla", "not a zip");
    CL_Archive junk(fDir, "junk", CL_Archive::CREATE | CL_Archive::COMPRESSED);
    ASSERT_EQ(CL_OK, junk.GetError());
    EXPECT_EQ("", Slurp(fDir + "/junk.sla"));

    // An archive that no longer opens as a zip (its directory record cut off) is not
    // rewritten as if it were empty: the change fails and the file stays as it was.
    std::string whole = Slurp(fDir + "/pack.sla");
    Spit(fDir + "/pack.sla", whole.substr(0, whole.size() - 22));
    std::string before = Slurp(fDir + "/pack.sla");
    CL_Blob fresh("fresh");
    EXPECT_EQ(CL_ARCHIVE_WRITE_FAILED, archive.Write(&fresh, "new"));
    archive.Remove("res");
    EXPECT_EQ(before, Slurp(fDir + "/pack.sla"));
    EXPECT_EQ(2, CountFiles(fDir));
}

// Removing the last resource leaves a zip of no entries, which the archive keeps
// using: it reopens, reads nothing and takes new resources.
TEST_F(ArchiveTest, ZipWithoutEntriesStaysUsable) {
    {
        CL_Archive archive(fDir, "pack", CL_Archive::CREATE | CL_Archive::COMPRESSED);
        CL_Blob only("only");
        ASSERT_EQ(CL_OK, archive.Write(&only, "res"));
        archive.Remove("res");
        CL_Blob data;
        EXPECT_EQ(CL_ARCHIVE_READ_FAILED, archive.Read(&data, "res"));
    }
    EXPECT_EQ(22u, Slurp(fDir + "/pack.sla").size());
    CL_Archive archive(fDir, "pack", CL_Archive::COMPRESSED);
    ASSERT_EQ(CL_OK, archive.GetError());
    CL_Blob data;
    EXPECT_EQ(CL_ARCHIVE_READ_FAILED, archive.Read(&data, "res"));
    CL_Blob fresh("fresh");
    EXPECT_EQ(CL_OK, archive.Write(&fresh, "new"));
    EXPECT_EQ(CL_OK, archive.Read(&data, "new"));
    EXPECT_EQ("fresh", data.Raw());
    EXPECT_EQ(1, CountFiles(fDir));
}

TEST_F(ArchiveTest, OneEntryZipFiles) {
    CL_TimeStamp when(15, 6, 2023, 10, 20, 30, 0);
    std::string text(5000, 'q');
    ASSERT_TRUE(CL_ZipFile(fDir + "/one.zip", CL_Blob(text), "report.txt", when));

    CL_Blob memory("prefix");
    memory.Clear();
    ASSERT_TRUE(CL_ZipFile(&memory, CL_Blob(text), "report.txt", when));
    ASSERT_GT(memory.GetSize(), 4u);
    EXPECT_EQ(std::string("PK\x03\x04", 4), memory.Raw().substr(0, 4));
    Spit(fDir + "/mem.zip", memory.Raw());

    // A date before the zip epoch is written as its first day instead of wrapping.
    ASSERT_TRUE(
        CL_ZipFile(fDir + "/old.zip", CL_Blob(""), "old", CL_TimeStamp(1, 1, 1970, 0, 0, 0, 0)));
    EXPECT_FALSE(CL_ZipFile(fDir + "/no/such/folder.zip", CL_Blob("x"), "x", when));

    std::string expected = "report.txt|8|5000|len=5000|||2023-06-15 10:20:30\n";
    std::string one = Listing("one.zip");
    if (one == "no python") GTEST_SKIP() << "no Python 3.13";
    EXPECT_EQ(expected, one);
    EXPECT_EQ(expected, Listing("mem.zip"));
    EXPECT_EQ("old|8|0||||1980-01-01 00:00:00\n", Listing("old.zip"));
}

// Extra fields whose blocks claim more bytes than the field holds: the archive still
// reads, but a rewrite refuses it and leaves the file as it was, with no temporary
// file behind.
struct LyingExtra {
    const char* label;
    std::string local;
    std::string central;
};

std::string Bytes(std::initializer_list<unsigned char> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

class ZipExtraFieldTest : public ArchiveTest, public ::testing::WithParamInterface<LyingExtra> {};

TEST_P(ZipExtraFieldTest, RewriteRefusesTheArchive) {
    const LyingExtra& c = GetParam();
    Spit(fDir + "/lying.sla", StoredZip("res", "payload", c.local, c.central));
    std::string before = Slurp(fDir + "/lying.sla");
    CL_Archive archive(fDir, "lying", CL_Archive::COMPRESSED);
    ASSERT_EQ(0, archive.GetError());
    CL_Blob data;
    ASSERT_EQ(0, archive.Read(&data, "res"));
    EXPECT_EQ("payload", data.Raw());

    CL_Blob fresh("fresh");
    EXPECT_EQ(CL_ARCHIVE_WRITE_FAILED, archive.Write(&fresh, "other"));
    archive.Remove("other");
    EXPECT_EQ(before, Slurp(fDir + "/lying.sla"));
    EXPECT_EQ(1, CountFiles(fDir));
    EXPECT_EQ(0, archive.Read(&data, "res"));
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, ZipExtraFieldTest,
    ::testing::Values(
        LyingExtra{"LocalHuge", Bytes({0x34, 0x12, 0xff, 0x7f, 'X', 'X', 'X', 'X'}), ""},
        LyingExtra{"LocalNegative", Bytes({0x34, 0x12, 0xfc, 0xff, 'X', 'X', 'X', 'X'}), ""},
        LyingExtra{"LocalOneOver", Bytes({0x34, 0x12, 0x05, 0x00, 'X', 'X', 'X', 'X'}), ""},
        LyingExtra{"LocalCutHeader", Bytes({0x34, 0x12, 0x00, 0x00, 0x01, 0x00}), ""},
        LyingExtra{"CentralHuge", "", Bytes({0x34, 0x12, 0xff, 0x7f, 'X', 'X', 'X', 'X'})},
        LyingExtra{"CentralSecondBlock", "",
                   Bytes({0x34, 0x12, 0x00, 0x00, 0x01, 0x00, 0xff, 0xff})}),
    [](const ::testing::TestParamInfo<LyingExtra>& info) { return info.param.label; });

// An entry whose name holds a NUL cannot be written again under that name: a rewrite
// refuses the archive rather than rename the resource.
TEST_F(ArchiveTest, ZipRewriteKeepsNamesWithNulOrFails) {
    const std::string name("res\0tail", 8);
    Spit(fDir + "/nul.sla", StoredZip(name, "payload", "", ""));
    std::string before = Slurp(fDir + "/nul.sla");
    CL_Archive archive(fDir, "nul", CL_Archive::COMPRESSED);
    ASSERT_EQ(CL_OK, archive.GetError());
    CL_Blob data;
    ASSERT_EQ(CL_OK, archive.Read(&data, name));
    CL_Blob fresh("fresh");
    EXPECT_EQ(CL_ARCHIVE_WRITE_FAILED, archive.Write(&fresh, "other"));
    EXPECT_EQ(before, Slurp(fDir + "/nul.sla"));
    EXPECT_EQ(CL_OK, archive.Read(&data, name));
    EXPECT_EQ("payload", data.Raw());
    EXPECT_EQ(1, CountFiles(fDir));
}

// Well-formed extra fields go across a rewrite, except for the zip64 block, which the
// writer makes afresh when an entry needs one.
TEST_F(ArchiveTest, ZipRewriteKeepsExtraBlocksButZip64) {
    std::string zip64 = Bytes({0x01, 0x00, 0x08, 0x00, 7, 0, 0, 0, 0, 0, 0, 0});
    std::string mine = Bytes({0xfe, 0xca, 0x02, 0x00, 'o', 'k'});
    std::string empty = Bytes({0x34, 0x12, 0x00, 0x00});
    Spit(fDir + "/good.sla", StoredZip("res", "payload", zip64 + mine, mine + zip64 + empty));
    CL_Archive archive(fDir, "good", CL_Archive::COMPRESSED);
    ASSERT_EQ(0, archive.GetError());
    CL_Blob fresh("fresh");
    ASSERT_EQ(0, archive.Write(&fresh, "other"));
    CL_Blob data;
    ASSERT_EQ(0, archive.Read(&data, "res"));
    EXPECT_EQ("payload", data.Raw());
    std::string listing = Listing("good.sla");
    if (listing == "no python") GTEST_SKIP() << "no Python 3.13";
    EXPECT_EQ(0u, listing.find("res|0|7|payload||feca02006f6b34120000|")) << listing;
}

}  // namespace
