// Message translator over gettext catalogues, and the base error texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "lumo/blob.h"
#include "lumo/translator.h"

namespace {

// Catalogues made by GNU msgfmt (--endianness=little / big) from a .po with
// "Disco pieno" -> "Disk full", "Il file già esiste" -> "File exists" and
// "Aperto" under context "ctx" -> "Open (ctx)".
const uint8 kLittleEndianMo[] = {
    0xDE, 0x12, 0x04, 0x95, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x1C, 0x00, 0x00, 0x00,
    0x3C, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x5C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x70, 0x00, 0x00, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x71, 0x00, 0x00, 0x00, 0x13, 0x00, 0x00, 0x00,
    0x7D, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x91, 0x00, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00,
    0x9C, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0xC5, 0x00, 0x00, 0x00, 0x0B, 0x00, 0x00, 0x00,
    0xCF, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0xDB, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
    0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
    0x00, 0x44, 0x69, 0x73, 0x63, 0x6F, 0x20, 0x70, 0x69, 0x65, 0x6E, 0x6F, 0x00, 0x49, 0x6C, 0x20,
    0x66, 0x69, 0x6C, 0x65, 0x20, 0x67, 0x69, 0xC3, 0xA0, 0x20, 0x65, 0x73, 0x69, 0x73, 0x74, 0x65,
    0x00, 0x63, 0x74, 0x78, 0x04, 0x41, 0x70, 0x65, 0x72, 0x74, 0x6F, 0x00, 0x43, 0x6F, 0x6E, 0x74,
    0x65, 0x6E, 0x74, 0x2D, 0x54, 0x79, 0x70, 0x65, 0x3A, 0x20, 0x74, 0x65, 0x78, 0x74, 0x2F, 0x70,
    0x6C, 0x61, 0x69, 0x6E, 0x3B, 0x20, 0x63, 0x68, 0x61, 0x72, 0x73, 0x65, 0x74, 0x3D, 0x55, 0x54,
    0x46, 0x2D, 0x38, 0x0A, 0x00, 0x44, 0x69, 0x73, 0x6B, 0x20, 0x66, 0x75, 0x6C, 0x6C, 0x00, 0x46,
    0x69, 0x6C, 0x65, 0x20, 0x65, 0x78, 0x69, 0x73, 0x74, 0x73, 0x00, 0x4F, 0x70, 0x65, 0x6E, 0x20,
    0x28, 0x63, 0x74, 0x78, 0x29, 0x00,
};
const uint8 kBigEndianMo[] = {
    0x95, 0x04, 0x12, 0xDE, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x1C,
    0x00, 0x00, 0x00, 0x3C, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x5C, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x70, 0x00, 0x00, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x71, 0x00, 0x00, 0x00, 0x13,
    0x00, 0x00, 0x00, 0x7D, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x91, 0x00, 0x00, 0x00, 0x28,
    0x00, 0x00, 0x00, 0x9C, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0xC5, 0x00, 0x00, 0x00, 0x0B,
    0x00, 0x00, 0x00, 0xCF, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0xDB, 0x00, 0x00, 0x00, 0x01,
    0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x02,
    0x00, 0x44, 0x69, 0x73, 0x63, 0x6F, 0x20, 0x70, 0x69, 0x65, 0x6E, 0x6F, 0x00, 0x49, 0x6C, 0x20,
    0x66, 0x69, 0x6C, 0x65, 0x20, 0x67, 0x69, 0xC3, 0xA0, 0x20, 0x65, 0x73, 0x69, 0x73, 0x74, 0x65,
    0x00, 0x63, 0x74, 0x78, 0x04, 0x41, 0x70, 0x65, 0x72, 0x74, 0x6F, 0x00, 0x43, 0x6F, 0x6E, 0x74,
    0x65, 0x6E, 0x74, 0x2D, 0x54, 0x79, 0x70, 0x65, 0x3A, 0x20, 0x74, 0x65, 0x78, 0x74, 0x2F, 0x70,
    0x6C, 0x61, 0x69, 0x6E, 0x3B, 0x20, 0x63, 0x68, 0x61, 0x72, 0x73, 0x65, 0x74, 0x3D, 0x55, 0x54,
    0x46, 0x2D, 0x38, 0x0A, 0x00, 0x44, 0x69, 0x73, 0x6B, 0x20, 0x66, 0x75, 0x6C, 0x6C, 0x00, 0x46,
    0x69, 0x6C, 0x65, 0x20, 0x65, 0x78, 0x69, 0x73, 0x74, 0x73, 0x00, 0x4F, 0x70, 0x65, 0x6E, 0x20,
    0x28, 0x63, 0x74, 0x78, 0x29, 0x00,
};

CL_Blob FromArray(const uint8* data, size_t size) {
    return CL_Blob(data, static_cast<uint32>(size));
}

// A little-endian catalogue written field by field, to bend it out of shape.
std::string BuildMo(const std::vector<std::pair<std::string, std::string>>& entries,
                    uint32 revision = 0) {
    auto put = [](std::string& s, uint32 v) {
        for (int i = 0; i < 4; ++i)
            s += char(v >> (8 * i));
    };
    uint32 n = static_cast<uint32>(entries.size());
    uint32 sources = 28, translations = 28 + 8 * n, strings = 28 + 16 * n;
    std::string head, table1, table2, pool;
    for (const auto& e : entries) {
        put(table1, static_cast<uint32>(e.first.size()));
        put(table1, strings + static_cast<uint32>(pool.size()));
        pool += e.first + '\0';
    }
    for (const auto& e : entries) {
        put(table2, static_cast<uint32>(e.second.size()));
        put(table2, strings + static_cast<uint32>(pool.size()));
        pool += e.second + '\0';
    }
    put(head, 0x950412DE);
    put(head, revision);
    put(head, n);
    put(head, sources);
    put(head, translations);
    put(head, 0);
    put(head, 0);
    return head + table1 + table2 + pool;
}

void PutField(std::string& mo, size_t offset, uint32 v) {
    for (int i = 0; i < 4; ++i)
        mo[offset + i] = char(v >> (8 * i));
}

}  // namespace

TEST(Translator, WithoutCatalogueReturnsSamePointer) {
    CL_Translator t;
    const char* text = "Disco pieno";
    EXPECT_EQ(t.Translate(text, nullptr), text);
    EXPECT_EQ(t.Translate(text, "ctx"), text);
    EXPECT_EQ(t.Translate(nullptr, nullptr), nullptr);
}

TEST(Translator, BothByteOrdersGiveSameTranslations) {
    for (CL_Blob mo : {FromArray(kLittleEndianMo, sizeof(kLittleEndianMo)),
                       FromArray(kBigEndianMo, sizeof(kBigEndianMo))}) {
        CL_Translator t;
        ASSERT_TRUE(t.Load(mo));
        EXPECT_STREQ(t.Translate("Disco pieno", nullptr), "Disk full");
        EXPECT_STREQ(t.Translate("Il file già esiste", nullptr), "File exists");
        const char* open = "Aperto";
        EXPECT_EQ(t.Translate(open, nullptr), open);  // only found under its context
        EXPECT_STREQ(t.Translate(open, "ctx"), "Open (ctx)");
        EXPECT_EQ(t.Translate(open, "other"), open);
    }
}

TEST(Translator, CatalogueOutlivesCallersBlob) {
    CL_Translator t;
    {
        CL_Blob mo(BuildMo({{"uno", "one"}, {"due", "two"}}));
        ASSERT_TRUE(t.Load(mo));
        mo.SetSize(0);
        mo.Write("garbage", 7);
    }
    EXPECT_STREQ(t.Translate("uno", nullptr), "one");
    EXPECT_STREQ(t.Translate("due", nullptr), "two");
}

TEST(Translator, LaterDuplicateWinsAndLongContextKeys) {
    std::string context(600, 'c');
    CL_Translator t;
    ASSERT_TRUE(t.Load(CL_Blob(BuildMo({{"a", "first"},
                                        {"a", "second"},
                                        {context + "\x04"
                                                   "b",
                                         "long"}}))));
    EXPECT_STREQ(t.Translate("a", nullptr), "second");
    EXPECT_STREQ(t.Translate("b", context.c_str()), "long");
}

TEST(Translator, RejectsMalformedAndKeepsEarlierCatalogue) {
    CL_Translator t;
    ASSERT_TRUE(t.Load(CL_Blob(BuildMo({{"uno", "one"}}))));
    std::string good = BuildMo({{"due", "two"}});

    std::vector<std::string> bad;
    bad.push_back(BuildMo({{"due", "two"}}, 1));  // revision 1
    bad.push_back("\x01\x02\x03\x04 not a catalogue");
    std::string offsetOut = good;
    PutField(offsetOut, 28 + 4, 100000);  // source string outside the data
    bad.push_back(offsetOut);
    std::string noNul = good;
    noNul.pop_back();  // last string runs into the end
    bad.push_back(noNul);
    std::string hugeCount = good;
    PutField(hugeCount, 8, 0x20000000);  // tables far beyond the data
    bad.push_back(hugeCount);
    std::string wrapTable = good;
    PutField(wrapTable, 16, 0xFFFFFFF8);  // offset that wraps in 32 bits
    bad.push_back(wrapTable);
    std::string translationOut = good;
    PutField(translationOut, 36 + 4, 0xFFFFFFFF);
    bad.push_back(translationOut);

    for (size_t i = 0; i < bad.size(); ++i) {
        EXPECT_FALSE(t.Load(CL_Blob(bad[i]))) << i;
        EXPECT_STREQ(t.Translate("uno", nullptr), "one") << i;
    }
    EXPECT_TRUE(t.Load(CL_Blob(good)));
    EXPECT_STREQ(t.Translate("due", nullptr), "two");
    const char* uno = "uno";
    EXPECT_EQ(t.Translate(uno, nullptr), uno);
}

TEST(Translator, StringsMustEndInsideTheData) {
    std::string good = BuildMo({{"uno", "one"}, {"due", ""}});
    // The empty translation is the data's last byte: an offset on it is a string,
    // one past it is outside.
    uint32 last = static_cast<uint32>(good.size() - 1);
    std::string onLast = good;
    PutField(onLast, 28 + 8 + 4, last);  // source of entry 1 -> ""
    CL_Translator t;
    ASSERT_TRUE(t.Load(CL_Blob(onLast)));
    EXPECT_STREQ(t.Translate("uno", nullptr), "one");
    EXPECT_STREQ(t.Translate("", nullptr), "");
    std::string pastLast = good;
    PutField(pastLast, 28 + 8 + 4, last + 1);
    EXPECT_FALSE(t.Load(CL_Blob(pastLast)));
    // Many entries may share one string.
    std::vector<std::pair<std::string, std::string>> same(200, {"k", "v"});
    ASSERT_TRUE(t.Load(CL_Blob(BuildMo(same))));
    EXPECT_STREQ(t.Translate("k", nullptr), "v");
}

TEST(Translator, EmptyAndShortCatalogues) {
    CL_Translator t;
    ASSERT_TRUE(t.Load(CL_Blob(BuildMo({{"uno", "one"}}))));
    ASSERT_TRUE(t.Load(CL_Blob(BuildMo({}))));
    const char* uno = "uno";
    EXPECT_EQ(t.Translate(uno, nullptr), uno);
    // A header cut after the revision reads as a catalogue of no strings.
    std::string cut = BuildMo({{"uno", "one"}}).substr(0, 8);
    EXPECT_TRUE(t.Load(CL_Blob(cut)));
    EXPECT_FALSE(t.Load(CL_Blob()));
}

TEST(ErrorTexts, CodesAndGaps) {
    EXPECT_STREQ(CL_GetError(13), "Disco pieno");
    EXPECT_STREQ(CL_GetError(-1), "Errore generico");
    EXPECT_STREQ(CL_GetError(0), "Nessun errore");
    EXPECT_STREQ(CL_GetError(11), "Il file gi\xC3\xA0 esiste");
    EXPECT_STREQ(CL_GetError(115), "La connessione \xC3\xA8 stata persa");
    EXPECT_STREQ(CL_GetError(212),
                 "Completa la richiesta con successo senza commit/rollback di transazione");
    EXPECT_STREQ(CL_GetError(501), "Espressione regolare troppo complessa");
    for (int32 code : {-2, 18, 99, 119, 210, 211, 213, 308, 402, 502, 1999, INT32_MIN, INT32_MAX})
        EXPECT_EQ(CL_GetError(code), nullptr) << code;
    int32 withText = 0;
    for (int32 code = -10; code < 1000; ++code)
        withText += CL_GetError(code) != nullptr;
    EXPECT_EQ(withText, 61);
}

TEST(ErrorTexts, PassThroughTheProcessTranslator) {
    CL_Translator& t = CL_Translator::Get();
    EXPECT_EQ(&t, &CL_Translator::Get());
    ASSERT_TRUE(t.Load(FromArray(kLittleEndianMo, sizeof(kLittleEndianMo))));
    EXPECT_STREQ(CL_GetError(13), "Disk full");
    EXPECT_STREQ(CL_GetError(11), "File exists");
    EXPECT_STREQ(CL_GetError(14), "L'operazione sarebbe bloccante");
    ASSERT_TRUE(t.Load(CL_Blob(BuildMo({}))));
    EXPECT_STREQ(CL_GetError(13), "Disco pieno");
}
