// UTF-8 checking and conversion, case mapping, comparison and string helpers.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "lumo/blob.h"
#include "lumo/utf8.h"
#include "lumo/base/utf8_internal.h"

namespace {

std::string U8(uint32 cp) {
    return CL_ToUTF8(std::wstring(1, static_cast<wchar_t>(cp)));
}

uint32 Single(const std::string& s) {
    std::wstring w = CL_FromUTF8(s);
    return w.size() == 1 ? static_cast<uint32>(w[0]) : 0xFFFFFFFFu;
}

// The corpus that Python's strict decoder judged: every string of 1 and 2 bytes,
// then 3- and 4-byte strings over every second byte and a set of edge bytes.
template <class F>
void ForEachCorpusString(F f) {
    const uint8 edge[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xFF};
    std::string s;
    for (int a = 0; a < 256; ++a)
        f(std::string(1, char(a)));
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 256; ++b)
            f(std::string{char(a), char(b)});
    for (int a = 0xE0; a < 0xF0; ++a)
        for (int b = 0; b < 256; ++b)
            for (uint8 c : edge)
                f(std::string{char(a), char(b), char(c)});
    for (int a = 0xF0; a < 0xF8; ++a)
        for (int b = 0; b < 256; ++b)
            for (uint8 c : edge)
                for (uint8 d : edge)
                    f(std::string{char(a), char(b), char(c), char(d)});
}

}  // namespace

TEST(Utf8Check, AgreesWithPythonStrictDecoder) {
    // Figures from CPython 3.13: bytes.decode("utf-8", "strict") over the corpus;
    // the CRCs cover one accept flag per string and the UTF-32LE of the accepted ones.
    std::vector<uint8> flags;
    std::vector<uint8> points;
    uint32 count = 0, accepted = 0;
    ForEachCorpusString([&](const std::string& s) {
        ++count;
        CL_Blob blob(s);
        bool ok = CL_CheckUTF8(&blob);
        ASSERT_EQ(lumo_utf8::IsWellFormedVector(s.data(), s.size()), ok) << count;
        std::wstring w = CL_FromUTF8(s);
        ASSERT_EQ(ok, !w.empty()) << count;
        flags.push_back(ok);
        if (!ok) return;
        ++accepted;
        for (wchar_t c : w)
            for (int i = 0; i < 4; ++i)
                points.push_back(uint8(uint32(c) >> (8 * i)));
        ASSERT_EQ(CL_ToUTF8(w), s);
    });
    EXPECT_EQ(count, 409856u);
    EXPECT_EQ(accepted, 33408u);
    EXPECT_EQ(crc32(0, flags.data(), flags.size()), 0xc7158f9fu);
    EXPECT_EQ(crc32(0, points.data(), points.size()), 0x748dd8ceu);
}

// Repairing code walks text a sequence at a time; the walk must accept exactly the
// texts the whole-text check accepts, and the shared encoder must give CL_ToUTF8's bytes.
TEST(Utf8Check, SequenceWalkAgreesWithWholeCheck) {
    ForEachCorpusString([&](const std::string& s) {
        const uint8* p = reinterpret_cast<const uint8*>(s.data());
        size_t i = 0;
        while (i < s.size()) {
            uint32 len = lumo_utf8::SequenceLength(p + i, s.size() - i);
            if (len == 0) break;
            i += len;
        }
        CL_Blob blob(s);
        ASSERT_EQ(i == s.size(), CL_CheckUTF8(&blob)) << CL_Blob(s).Encode(CL_BLOB_CODING_BASE_16);
    });
    for (uint32 cp : {0x41u, 0x7Fu, 0x80u, 0xFFu, 0x7FFu, 0x800u, 0xFFFDu, 0x10000u, 0x10FFFFu}) {
        std::string out;
        lumo_utf8::AppendUTF8(out, cp);
        EXPECT_EQ(U8(cp), out) << cp;
    }
    std::string none;
    lumo_utf8::AppendUTF8(none, 0x110000);
    EXPECT_TRUE(none.empty());
}

TEST(Utf8Check, EmptyAndTruncated) {
    CL_Blob empty;
    EXPECT_TRUE(CL_CheckUTF8(&empty));
    EXPECT_FALSE(CL_CheckUTF8(nullptr));
    EXPECT_TRUE(CL_FromUTF8("abc\xC3").empty());
    EXPECT_TRUE(CL_FromUTF8("").empty());
    EXPECT_EQ(CL_FromUTF8("a\xC3\xA8z"), L"a\u00E8z");
}

TEST(Utf8Convert, ToUtf8Encodings) {
    EXPECT_EQ(U8(0x41), "A");
    EXPECT_EQ(U8(0xE8), "\xC3\xA8");
    EXPECT_EQ(U8(0x20AC), "\xE2\x82\xAC");
    EXPECT_EQ(U8(0x1F600), "\xF0\x9F\x98\x80");
    EXPECT_EQ(U8(0x10FFFF), "\xF4\x8F\xBF\xBF");
    EXPECT_EQ(CL_ToUTF8(std::wstring(L"ok") + wchar_t(0xD800)), "");
    EXPECT_EQ(CL_ToUTF8(std::wstring(L"ok") + wchar_t(0x110000)), "");
    EXPECT_EQ(CL_ToUTF8(std::wstring(1, wchar_t(-1))), "");
}

TEST(Utf8Case, IllFormedBytesAndNul) {
    EXPECT_EQ(CL_StringToLower("A\xC3"), "a^");
    EXPECT_EQ(CL_StringToLower("\xC3"
                               "A"),
              "^");
    EXPECT_EQ(CL_StringToLower("\xED\xA0\x80"), "^^");
    EXPECT_EQ(CL_StringToLower(std::string("AB\0CD", 5)), "ab");
    EXPECT_EQ(CL_StringToUpper(""), "");
    EXPECT_EQ(CL_StringToUpper("Perch\xC3\xA9 s\xC3\xAC"), "PERCH\xC3\x89 S\xC3\x8C");
}

TEST(Utf8Case, Unicode21Table) {
    EXPECT_EQ(CL_StringToUpper(U8(0xFF)), U8(0xFF));
    EXPECT_EQ(CL_StringToUpper(U8(0xB5)), U8(0xB5));
    EXPECT_EQ(CL_StringToLower(U8(0x178)), U8(0xFF));
    EXPECT_EQ(CL_StringToLower(U8(0x130)), "i");
    EXPECT_EQ(CL_StringToUpper(U8(0x131)), "I");
    EXPECT_EQ(CL_StringToUpper(U8(0x17F)), "S");
    EXPECT_EQ(CL_StringToUpper(U8(0x345)), U8(0x399));
    EXPECT_EQ(CL_StringToUpper(U8(0x1FBE)), U8(0x399));
    EXPECT_EQ(CL_StringToUpper(U8(0x3C2)), U8(0x3A3));
    EXPECT_EQ(CL_StringToUpper(U8(0x3F2)), U8(0x3A3));
    EXPECT_EQ(CL_StringToUpper(U8(0x3D0)), U8(0x392));
    EXPECT_EQ(CL_StringToUpper(U8(0x1E9B)), U8(0x1E60));
    EXPECT_EQ(CL_StringToUpper(U8(0x1F80)), U8(0x1F88));
    EXPECT_EQ(CL_StringToUpper(U8(0x1FF3)), U8(0x1FFC));
    EXPECT_EQ(CL_StringToLower(U8(0x1C5)), U8(0x1C6));
    EXPECT_EQ(CL_StringToLower(U8(0x10A0)), U8(0x10D0));
    EXPECT_EQ(CL_StringToLower(U8(0x24B6)), U8(0x24D0));
    EXPECT_EQ(CL_StringToUpper(U8(0x24E9)), U8(0x24CF));
    // Letters that came after Unicode 2.1 keep their form.
    for (uint32 cp :
         {0x180u, 0x1F6u, 0x218u, 0x233u, 0x10D0u, 0x1C90u, 0x2C00u, 0x2C80u, 0x2126u}) {
        EXPECT_EQ(CL_StringToLower(U8(cp)), U8(cp)) << std::hex << cp;
        EXPECT_EQ(CL_StringToUpper(U8(cp)), U8(cp)) << std::hex << cp;
    }
    // Past the cached range nothing is mapped.
    EXPECT_EQ(CL_StringToLower(U8(0xFF21)), U8(0xFF21));
}

TEST(Utf8Case, MappingCounts) {
    uint32 lowered = 0, uppered = 0, highestLower = 0, highestUpper = 0;
    for (uint32 cp = 1; cp < 0x4000; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        std::string s = U8(cp);
        if (Single(CL_StringToLower(s)) != cp) ++lowered, highestLower = cp;
        if (Single(CL_StringToUpper(s)) != cp) ++uppered, highestUpper = cp;
    }
    EXPECT_EQ(lowered, 680u);
    EXPECT_EQ(uppered, 653u);
    EXPECT_EQ(highestLower, 0x24CFu);
    EXPECT_EQ(highestUpper, 0x24E9u);
}

TEST(Utf8Compare, CaseInsensitive) {
    EXPECT_EQ(CL_StringCaseCompare("abc", "ABD"), -1);
    EXPECT_EQ(CL_StringCaseCompare("a", ""), 65);
    EXPECT_EQ(CL_StringCaseCompare("", ""), 0);
    EXPECT_EQ(CL_StringCaseCompare("Caff\xC3\xA8", "CAFF\xC3\x88"), 0);
    EXPECT_NE(CL_StringCaseCompare(U8(0xDF), "SS"), 0);
    EXPECT_LT(CL_StringCaseCompare("ab", "abc"), 0);
    EXPECT_EQ(CL_StringCaseCompare(std::string("x\0a", 3), std::string("X\0b", 3)), 0);
    EXPECT_EQ(CL_StringCaseCompare("a\xC3", 2, "A^", 2), 0);
    EXPECT_EQ(CL_StringCaseCompare(nullptr, 0, "", 0), 0);
}

TEST(StringFormat, StackAndHeapPaths) {
    EXPECT_EQ(CL_StringFormat("%d-%s", 42, "x"), "42-x");
    std::string s1023 = CL_StringFormat("%s", std::string(1023, 'a').c_str());
    EXPECT_EQ(s1023.size(), 1023u);
    std::string s1024 = CL_StringFormat("%s%d", std::string(1023, 'b').c_str(), 7);
    EXPECT_EQ(s1024, std::string(1023, 'b') + "7");
    std::string big = CL_StringFormat("%05d|%s", 3, std::string(5000, 'c').c_str());
    EXPECT_EQ(big.size(), 5006u);
    EXPECT_EQ(big.substr(0, 6), "00003|");
    EXPECT_EQ(CL_StringFormat("%s", ""), "");
}

TEST(StringNumbers, WholeStringOnly) {
    int i = 5;
    EXPECT_FALSE(CL_StringToNumber("12 ", &i));
    EXPECT_FALSE(CL_StringToNumber("", &i));
    EXPECT_FALSE(CL_StringToNumber("x", &i));
    EXPECT_EQ(i, 5);
    EXPECT_TRUE(CL_StringToNumber(" 12", &i));
    EXPECT_EQ(i, 12);
    EXPECT_TRUE(CL_StringToNumber("+12", &i));
    EXPECT_TRUE(CL_StringToNumber("0x1F", &i, 16));
    EXPECT_EQ(i, 31);
    EXPECT_TRUE(CL_StringToNumber("4294967297", &i));  // low 32 bits kept
    EXPECT_EQ(i, 1);
    unsigned int u = 0;
    EXPECT_TRUE(CL_StringToNumber("-1", &u));
    EXPECT_EQ(u, 4294967295u);
    long long ll = 0;
    EXPECT_TRUE(CL_StringToNumber("99999999999999999999", &ll));
    EXPECT_EQ(ll, INT64_MAX);
    unsigned long long ull = 0;
    EXPECT_TRUE(CL_StringToNumber("-1", &ull));
    EXPECT_EQ(ull, UINT64_MAX);
    int64 l = 0;
    EXPECT_TRUE(CL_StringToNumber("-9000000000", &l));
    EXPECT_EQ(l, -9000000000LL);
    double d = 0;
    EXPECT_TRUE(CL_StringToDouble("2.5", &d));
    EXPECT_EQ(d, 2.5);
    EXPECT_FALSE(CL_StringToDouble("2.5x", &d));
    EXPECT_FALSE(CL_StringToNumber(std::string("1\0"
                                               "2",
                                               3),
                                   &i));
}

TEST(StringHelpers, ReplaceJoinSplitStrip) {
    EXPECT_EQ(CL_StringReplace("aaa", "a", "aa", true), "aaaaaa");
    EXPECT_EQ(CL_StringReplace("aaa", "a", "b", false), "baa");
    EXPECT_EQ(CL_StringReplace("abc", "", "x", true), "abc");
    EXPECT_EQ(CL_StringReplace("a.b.c", ".", "", true), "abc");

    CL_Array<std::string> parts;
    EXPECT_EQ(CL_StringJoin(parts, ","), "");
    parts.Append("");
    parts.Append("");
    parts.Append("b");
    EXPECT_EQ(CL_StringJoin(parts, ","), "b");
    CL_Array<std::string> p2;
    p2.Append("a");
    p2.Append("");
    p2.Append("b");
    EXPECT_EQ(CL_StringJoin(p2, ","), "a,,b");

    CL_Array<std::string> out;
    CL_StringSplit("a,,b", ",", &out);
    ASSERT_EQ(out.Count(), 3u);
    EXPECT_EQ(out[0], "a");
    EXPECT_EQ(out[1], "");
    EXPECT_EQ(out[2], "b");
    CL_StringSplit("a,b,", ",", &out);
    EXPECT_EQ(out.Count(), 2u);
    CL_StringSplit(",a", ",", &out);
    ASSERT_EQ(out.Count(), 2u);
    EXPECT_EQ(out[0], "");
    CL_StringSplit("", ",", &out);
    EXPECT_EQ(out.Count(), 0u);
    CL_StringSplit("abc", "", &out);
    ASSERT_EQ(out.Count(), 1u);
    EXPECT_EQ(out[0], "abc");
    CL_StringSplit("a::b", "::", &out);
    EXPECT_EQ(out.Count(), 2u);

    std::string src = "key=value=x";
    EXPECT_EQ(CL_StringTokenize(&src, "="), "key");
    EXPECT_EQ(src, "value=x");
    EXPECT_EQ(CL_StringTokenize(&src, ";"), "value=x");
    EXPECT_EQ(src, "");

    EXPECT_EQ(CL_StringStripped(" \t\n "), "");
    EXPECT_EQ(CL_StringStripped(""), "");
    EXPECT_EQ(CL_StringStripped("\r\n a b \v\f"), "a b");
}

namespace {

// One class of input per row: the sequence, whether it is well-formed, and its code
// point when it is.
struct SequenceCase {
    const char* fName;
    std::string fBytes;
    bool fWellFormed;
    uint32 fCodePoint;
};

std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes)
        s += char(b);
    return s;
}

std::vector<SequenceCase> SequenceCases() {
    return {
        {"ascii_nul", Bytes({0x00}), true, 0x00},
        {"ascii_del", Bytes({0x7F}), true, 0x7F},
        {"two_lowest", Bytes({0xC2, 0x80}), true, 0x80},
        {"two_highest", Bytes({0xDF, 0xBF}), true, 0x7FF},
        {"three_e0_lowest", Bytes({0xE0, 0xA0, 0x80}), true, 0x800},
        {"three_e1_ec", Bytes({0xE1, 0x80, 0x80}), true, 0x1000},
        {"three_before_surrogates", Bytes({0xED, 0x9F, 0xBF}), true, 0xD7FF},
        {"three_after_surrogates", Bytes({0xEE, 0x80, 0x80}), true, 0xE000},
        {"three_highest", Bytes({0xEF, 0xBF, 0xBF}), true, 0xFFFF},
        {"four_f0_lowest", Bytes({0xF0, 0x90, 0x80, 0x80}), true, 0x10000},
        {"four_f1_f3", Bytes({0xF3, 0xBF, 0xBF, 0xBF}), true, 0xFFFFF},
        {"four_highest", Bytes({0xF4, 0x8F, 0xBF, 0xBF}), true, 0x10FFFF},
        {"lone_trail_80", Bytes({0x80}), false, 0},
        {"lone_trail_bf", Bytes({0xBF}), false, 0},
        {"overlong_c0", Bytes({0xC0, 0x80}), false, 0},
        {"overlong_c1", Bytes({0xC1, 0xBF}), false, 0},
        {"overlong_e0", Bytes({0xE0, 0x9F, 0xBF}), false, 0},
        {"surrogate_low", Bytes({0xED, 0xA0, 0x80}), false, 0},
        {"surrogate_high", Bytes({0xED, 0xBF, 0xBF}), false, 0},
        {"overlong_f0", Bytes({0xF0, 0x8F, 0xBF, 0xBF}), false, 0},
        {"above_10ffff", Bytes({0xF4, 0x90, 0x80, 0x80}), false, 0},
        {"lead_f5", Bytes({0xF5, 0x80, 0x80, 0x80}), false, 0},
        {"lead_f8_five", Bytes({0xF8, 0x88, 0x80, 0x80, 0x80}), false, 0},
        {"lead_fc_six", Bytes({0xFC, 0x84, 0x80, 0x80, 0x80, 0x80}), false, 0},
        {"lead_ff", Bytes({0xFF}), false, 0},
        {"two_ascii_trail", Bytes({0xC3, 0x41}), false, 0},
        {"two_lead_trail", Bytes({0xC3, 0xC3}), false, 0},
        {"three_bad_third", Bytes({0xE1, 0x80, 0x41}), false, 0},
        {"four_bad_third", Bytes({0xF1, 0x80, 0xC0, 0x80}), false, 0},
        {"four_bad_fourth", Bytes({0xF1, 0x80, 0x80, 0x7F}), false, 0},
        {"cut_two", Bytes({0xC3}), false, 0},
        {"cut_three", Bytes({0xE2, 0x82}), false, 0},
        {"cut_four", Bytes({0xF0, 0x9F, 0x98}), false, 0},
    };
}

class Utf8Sequences : public ::testing::TestWithParam<SequenceCase> {};

// Each sequence at every offset of ASCII runs that cross the 8- and 16-byte steps, at
// the end and followed by more text, through the vector, word and reference paths.
TEST_P(Utf8Sequences, SameAnswerOnEveryPathAndOffset) {
    const SequenceCase& c = GetParam();
    for (size_t before = 0; before < 40; before++) {
        for (const std::string& after :
             {std::string(), std::string("tail text of ascii"), U8(0xE9) + "x" + U8(0x4E2D)}) {
            std::string text = std::string(before, 'a') + c.fBytes + after;
            const bool expected = c.fWellFormed;
            ASSERT_EQ(lumo_utf8::IsWellFormed(text.data(), text.size()), expected) << before;
            ASSERT_EQ(lumo_utf8::IsWellFormedPortable(text.data(), text.size()), expected);
            ASSERT_EQ(lumo_utf8::IsWellFormedVector(text.data(), text.size()), expected);
            ASSERT_EQ(lumo_utf8::IsWellFormedReference(text.data(), text.size()), expected);
            CL_Blob blob(text);
            ASSERT_EQ(CL_CheckUTF8(&blob), expected);
            std::wstring wide = CL_FromUTF8(text);
            ASSERT_EQ(lumo_utf8::Decode(text, false), wide);
            if (!expected) {
                ASSERT_TRUE(wide.empty());
                continue;
            }
            ASSERT_EQ(wide.size(), before + 1 + (after.empty() ? 0 : CL_FromUTF8(after).size()));
            ASSERT_EQ(static_cast<uint32>(wide[before]), c.fCodePoint);
            ASSERT_EQ(CL_ToUTF8(wide), text);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Classes, Utf8Sequences, ::testing::ValuesIn(SequenceCases()),
                         [](const auto& info) { return std::string(info.param.fName); });

TEST(Utf8Check, RandomMixesAgreeWithTheReferenceDecoder) {
    std::mt19937 rng(5);
    const std::string pieces[] = {"a",
                                  "plain ascii run ",
                                  U8(0xE8),
                                  U8(0x20AC),
                                  U8(0x1F600),
                                  U8(0x7FF),
                                  std::string(1, '\x80'),
                                  std::string(1, '\xC3'),
                                  std::string(1, '\xED'),
                                  std::string(1, '\xF4'),
                                  std::string(1, '\xFF')};
    for (int round = 0; round < 20000; round++) {
        std::string text;
        int count = rng() % 12;
        for (int i = 0; i < count; i++) {
            // Mostly well-formed pieces, so that failures land at varied depths.
            uint32 pick = rng() % 100 < 90 ? rng() % 6 : 6 + rng() % 5;
            text += pieces[pick];
        }
        bool expected = lumo_utf8::IsWellFormedReference(text.data(), text.size());
        ASSERT_EQ(lumo_utf8::IsWellFormed(text.data(), text.size()), expected) << round;
        ASSERT_EQ(lumo_utf8::IsWellFormedPortable(text.data(), text.size()), expected);
        ASSERT_EQ(lumo_utf8::IsWellFormedVector(text.data(), text.size()), expected);
        std::wstring wide = lumo_utf8::Decode(text, true);
        ASSERT_EQ(lumo_utf8::Decode(text, false), wide);
        if (expected)
            ASSERT_EQ(CL_ToUTF8(wide), text);
        else
            ASSERT_TRUE(wide.empty());
    }
}

}  // namespace
