// Digests against the published vectors and Python's hashlib, including the padding
// boundaries and the 64-bit bit length.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
#include <vector>

#include "lumo/platform/digest_internal.h"
#include "lumo/blob.h"
#include "lumo/digest.h"

namespace {

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char((i * 7 + 3) & 255);
    return s;
}

struct Vector {
    const char* text;
    const char* md5;
    const char* sha1;
    const char* sha256;
};

TEST(Digest, PublishedVectors) {
    const Vector vectors[] = {
        {"", "D41D8CD98F00B204E9800998ECF8427E", "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709",
         "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"},
        {"abc", "900150983CD24FB0D6963F7D28E17F72", "A9993E364706816ABA3E25717850C26C9CD0D89D",
         "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "8215EF0796A20BCAAAE116D3876C664A", "84983E441C3BD26EBAAE4AA1F95129E5E54670F1",
         "248D6A61D20638B8E5C026930C3E6039A33CE45964FF2167F6ECEDD419DB06C1"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57EDF4A22BE3C955AC49DA2E2107B67A", "50ABF5706A150990A08B2C5EA40FA0E585554732",
         "F371BC4A311F2B009EEF952DD83CA80E2B60026C8E935592D0F9C308453C813E"},
    };
    for (const Vector& v : vectors) {
        EXPECT_EQ(CLU_MD5(std::string(v.text)).Get(), v.md5) << v.text;
        EXPECT_EQ(CLU_SHA1(std::string(v.text)).Get(), v.sha1) << v.text;
        EXPECT_EQ(CLU_SHA256(std::string(v.text)).Get(), v.sha256) << v.text;
    }
    std::string million(1000000, 'a');
    EXPECT_EQ(CLU_MD5(million).Get(), "7707D6AE4E027C70EEA2A935C2296F21");
    EXPECT_EQ(CLU_SHA1(million).Get(), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F");
    EXPECT_EQ(CLU_SHA256(million).Get(),
              "CDC76E5C9914FB9281A1C7E284D73E67F1809A48A497200E046D39CCC7112CD0");
}

// Lengths around the padding boundaries; expected values from hashlib.
TEST(Digest, PaddingBoundariesMatchHashlib) {
    const struct {
        size_t n;
        const char* md5;
        const char* sha1;
        const char* sha256;
    } cases[] = {
        {1, "8666683506AACD900BBD5A74AC4EDF68", "9842926AF7CA0A8CCA12604F945414F07B01E13D",
         "084FED08B978AF4D7D196A7446A86B58009E636B611DB16211B65A9AADFF29C5"},
        {55, "52C0E574E1198DE5FE3F8F11440DCB1B", "DDF57317EF34BFEE3B6DF83D359098930EB278BC",
         "E7313D333C272E639F790978283F9EB392E843D0F29B7016828BB1DAA4AAC70B"},
        {56, "46C9907FC908EE68B1E7B8E71286A518", "A0D492BB0FC889D0ECA3BC137066AB6F4F74F369",
         "4324D65F3C103567F5589C710BC08F8523F929A9272E3AF36FC968E52ABC6C27"},
        {63, "A62F6D59E837867693F042F5B8F5A236", "C55856749BEF509BDFE6BFEBFC7BF4E793E82132",
         "81C80242132F230C3BD41B3E63BBCFF16107339549214A99614FF26664625055"},
        {64, "7160B8FB5E9E4023D549C3971FBAEEAD", "BEDE92BE29C3874E1B54DDC77988D606FC857A8E",
         "39E3D7B6B5D075D37D053AD89B24B41BEF4F3C29760C84447CAB3F3BE1882241"},
        {65, "70BD662E7AEFBDA85A0F7244167B7897", "B05A80522B053D6DC7E0A517D0E70212C7DAD11F",
         "AACCA6FF74FDBB296D165A45CECFA04E5127BC008770FBBDD48006F2D2FAE95E"},
        {127, "ACCE2474D6CC8302120D09C818D17EF7", "34D5E582029E9B9B85B2FEBE31DA3DB7CDABAAEA",
         "A8D23E75D936F303D248888D9B165EE543F4CBAFCAD3C9DD2A79BD84FAA11D07"},
        {128, "10B2DA1A82F16D99A81A7203FE9F02CB", "A09133E6730FFE899EFB70204CB5646CD5DC24EE",
         "D2742F1F4AC6BB7CA2B239EE18402BA8B3F9F8E652D2A72973C2B9BA11C08CF6"},
        {1000, "10046F077F2082AC19676B8079F1CB1A", "4231A8A50A10FA9758DB8EC71FDEF855B751048A",
         "1E9BC38CBF860B9EC31918B065F9B52476C549A782E0E7990BED8CE3868D2371"},
    };
    for (const auto& c : cases) {
        std::string text = Pattern(c.n);
        CL_Blob blob(text);
        EXPECT_EQ(CLU_MD5(text).Get(), c.md5) << c.n;
        EXPECT_EQ(CLU_SHA1(text).Get(), c.sha1) << c.n;
        EXPECT_EQ(CLU_SHA256(text).Get(), c.sha256) << c.n;
        EXPECT_EQ(blob.MD5(), c.md5) << c.n;
        EXPECT_EQ(blob.SHA1(), c.sha1) << c.n;
        EXPECT_EQ(blob.SHA256(), c.sha256) << c.n;
    }
}

// SHA-256 has a second code path on processors with SHA instructions; the table
// code must agree with it (and with the vectors) whichever one the class uses.
TEST(Digest, PortableSHA256AgreesWithTheClass) {
    for (size_t n : {0, 3, 55, 56, 64, 65, 1000, 100000}) {
        std::string text = Pattern(n);
        uint8 portable[32], used[32];
        lumo_digest::SHA256Portable(reinterpret_cast<const uint8*>(text.data()), n, portable);
        CLU_SHA256(text).Get(used);
        EXPECT_EQ(0, memcmp(portable, used, 32)) << n;
    }
    uint8 out[32];
    lumo_digest::SHA256Portable(reinterpret_cast<const uint8*>("abc"), 3, out);
    EXPECT_EQ(out[0], 0xBA);
    EXPECT_EQ(out[31], 0xAD);
}

// SHA-1 likewise; lengths around block edges, several blocks per call and one MiB.
TEST(Digest, PortableSHA1AgreesWithTheClass) {
    for (size_t n : {0, 1, 3, 55, 56, 63, 64, 65, 119, 120, 128, 1000, 100000, 1 << 20}) {
        std::string text = Pattern(n);
        uint8 portable[20], used[20];
        lumo_digest::SHA1Portable(reinterpret_cast<const uint8*>(text.data()), n, portable);
        CLU_SHA1(text).Get(used);
        EXPECT_EQ(0, memcmp(portable, used, 20)) << n;
    }
    uint8 out[20];
    lumo_digest::SHA1Portable(reinterpret_cast<const uint8*>("abc"), 3, out);
    EXPECT_EQ(out[0], 0xA9);
    EXPECT_EQ(out[19], 0x9D);
}

TEST(Digest, PaddingCarriesTheFull64BitLength) {
    uint8 out[128];
    // 512 MiB is 2^32 bits: a 32-bit bit count would wrap to 0 here.
    uint64 size = uint64(1) << 29;
    ASSERT_EQ(lumo_digest::Pad(nullptr, 0, size, true, out), 64u);
    EXPECT_EQ(out[0], 0x80);
    const uint8 be[8] = {0, 0, 0, 1, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(out + 56, be, 8));
    ASSERT_EQ(lumo_digest::Pad(nullptr, 0, size, false, out), 64u);
    const uint8 le[8] = {0, 0, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(0, memcmp(out + 56, le, 8));

    // 56 tail bytes leave no room for the length: a second block follows.
    std::string tail(56, 'x');
    size = (uint64(5) << 32) + 56;
    ASSERT_EQ(lumo_digest::Pad(reinterpret_cast<const uint8*>(tail.data()), 56, size, true, out),
              128u);
    EXPECT_EQ(0, memcmp(out, tail.data(), 56));
    EXPECT_EQ(out[56], 0x80);
    uint64 bits = size * 8;
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(out[127 - i], uint8(bits >> (8 * i)));
    for (int i = 57; i < 120; ++i)
        EXPECT_EQ(out[i], 0) << i;
}

// The full-size run takes about a second per digest, so it is left out of the
// default suite (--gtest_also_run_disabled_tests runs it). Expected values: hashlib.
TEST(Digest, DISABLED_HalfGibibyteInput) {
    size_t size = (size_t(1) << 29) + 1;
    void* zeros =
        mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(zeros, MAP_FAILED);
    const uint8* data = static_cast<const uint8*>(zeros);
    uint8 out[32];
    auto hex = [](const uint8* d, int n) {
        std::string s;
        char buf[3];
        for (int i = 0; i < n; ++i) {
            snprintf(buf, sizeof(buf), "%02X", d[i]);
            s += buf;
        }
        return s;
    };
    lumo_digest::MD5(data, size, out);
    EXPECT_EQ(hex(out, 16), "EA3B62C6B93CB3625A1FD76777985F5A");
    lumo_digest::SHA1(data, size, out);
    EXPECT_EQ(hex(out, 20), "3E1BB536D18494C32E66EF9F479D65BBE0D863DE");
    lumo_digest::SHA256(data, size, out);
    EXPECT_EQ(hex(out, 32), "7C40FE5CE847740D0F0D0CDDE3949D6585804CDEC3AE61A15B923165699C8137");
    munmap(zeros, size);
}

TEST(Digest, BlobPositionAndSharingDoNotMatter) {
    CL_Blob blob(Pattern(200));
    CL_Blob shared = blob;
    std::string atEnd = CLU_SHA256(blob).Get();
    blob.Seek(77, CL_SEEK_SET);
    EXPECT_EQ(CLU_SHA256(blob).Get(), atEnd);
    EXPECT_EQ(blob.Tell(), 77u);
    EXPECT_EQ(blob.GetSize(), 200u);
    EXPECT_EQ(blob, shared);
    EXPECT_EQ(CLU_MD5(blob).Get(), CLU_MD5(Pattern(200)).Get());
}

TEST(Digest, RawBytesFollowTheStandardOrder) {
    uint8 raw[32];
    CLU_MD5(std::string("abc")).Get(raw);
    EXPECT_EQ(raw[0], 0x90);
    EXPECT_EQ(raw[15], 0x72);
    CLU_SHA1(std::string("abc")).Get(raw);
    EXPECT_EQ(raw[0], 0xA9);
    EXPECT_EQ(raw[19], 0x9D);
    CLU_SHA256(std::string("abc")).Get(raw);
    EXPECT_EQ(raw[0], 0xBA);
    EXPECT_EQ(raw[31], 0xAD);
    // Embedded NULs count: the string's length is what is hashed.
    EXPECT_EQ(CLU_MD5(std::string("a\0b", 3)).Get(), CLU_MD5(CL_Blob("a\0b", 3)).Get());
    EXPECT_NE(CLU_MD5(std::string("a\0b", 3)).Get(), CLU_MD5(std::string("a")).Get());
}

}  // namespace
