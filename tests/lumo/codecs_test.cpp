// Text codecs: percent-encoding and query strings, quoted-printable bodies and
// encoded words (cross-checked with Python's urllib.parse, quopri and email.header),
// HTML to text and line breaks.
#include "lumo/codecs.h"

#include <gtest/gtest.h>

#include <string>

#include "lumo/regex.h"

namespace {

class CodecsEnvironment : public ::testing::Environment {
public:
    void SetUp() override { CL_RegEx::Init(); }
    void TearDown() override { CL_RegEx::Cleanup(); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new CodecsEnvironment);

TEST(URLCodec, Encode) {
    EXPECT_EQ(CL_URLEncode("a b", " ", false), "a%20b");
    EXPECT_EQ(CL_URLEncode("\xC3\xA9", "", false), "\xC3\xA9");
    EXPECT_EQ(CL_URLEncode("\xC3\xA9", "", true), "%C3%A9");
    EXPECT_EQ(CL_URLEncode("a\tb", "", false), "a%09b");
    EXPECT_EQ(CL_URLEncode(std::string("a\0b", 3), "", false), "a%00b");
    EXPECT_EQ(CL_URLEncode("a/b?c", nullptr, false), "a/b?c");
    // urllib.parse.quote("x&y=z", safe="") agrees for the reserved characters.
    EXPECT_EQ(CL_URLEncode("x&y=z", "&=", true), "x%26y%3Dz");
}

TEST(URLCodec, Decode) {
    EXPECT_EQ(CL_URLDecode("a%2"), "a");
    EXPECT_EQ(CL_URLDecode("a%"), "a");
    EXPECT_EQ(CL_URLDecode("%C3%A9"), "\xC3\xA9");
    EXPECT_EQ(CL_URLDecode("1+1"), "1+1");
    EXPECT_EQ(CL_URLDecode("%41%4a%4A"), "AJJ");
    EXPECT_EQ(CL_URLDecode("%a9"), "\xA9");
    EXPECT_EQ(CL_URLDecode("%zz"), "%");
    EXPECT_EQ(CL_URLDecode("%4z"), "@");
    EXPECT_EQ(CL_URLDecode("%z1"), "%");
    EXPECT_EQ(CL_URLDecode("%00x"), std::string("\0x", 2));
}

TEST(QueryString, FormatAndParse) {
    CL_HashMap<std::string, std::string> map;
    CL_ParseQueryString("a=1&b=x%20y&a=2", &map);
    EXPECT_EQ(map.Count(), 2u);
    EXPECT_EQ(map.Get("a"), "2");
    EXPECT_EQ(map.Get("b"), "x y");
    EXPECT_EQ(map.begin().key(), "a");

    CL_ParseQueryString("flag&k=v=w&&", &map);
    EXPECT_EQ(map.Count(), 3u);
    EXPECT_TRUE(map.Exists("flag"));
    EXPECT_EQ(map.Get("flag"), "");
    EXPECT_EQ(map.Get("k"), "v");
    // Adjacent separators give an empty part, hence the empty key; a trailing one
    // gives none.
    EXPECT_TRUE(map.Exists(""));
    CL_ParseQueryString("a=1&", &map);
    EXPECT_EQ(map.Count(), 1u);
    CL_ParseQueryString("", &map);
    EXPECT_EQ(map.Count(), 0u);

    CL_HashMap<std::string, std::string> out;
    out.Set("q", "caff\xC3\xA8 & t\xC3\xA8");
    out.Set("n", "1/2");
    std::string text = CL_FormatQueryString(out);
    EXPECT_EQ(text, "q=caff%C3%A8%20%26%20t%C3%A8&n=1%2F2");
    CL_HashMap<std::string, std::string> back;
    CL_ParseQueryString(text, &back);
    EXPECT_EQ(back.Get("q"), out.Get("q"));
    EXPECT_EQ(back.Get("n"), "1/2");
}

TEST(QuotedPrintable, HeaderWords) {
    EXPECT_EQ(CL_QuotedPrintableEncode("Caff\xC3\xA8", false), "Caff\xE8");
    std::string euro = CL_QuotedPrintableEncode("10 \xE2\x82\xAC_ok?", false);
    EXPECT_EQ(euro, "=?UTF-8?Q?10_=E2=82=AC=5Fok=3F?=");
    EXPECT_EQ(CL_QuotedPrintableDecode(euro), "10 \xE2\x82\xAC_ok?");
    std::string longText(76, 'x');
    EXPECT_EQ(CL_QuotedPrintableEncode(longText, false), longText);
    EXPECT_EQ(CL_QuotedPrintableEncode(std::string("\xFF"), false), "");
}

TEST(QuotedPrintable, Body) {
    std::string out = CL_QuotedPrintableEncode(std::string(200, 'a'), true);
    EXPECT_EQ(out, std::string(75, 'a') + "=\r\n" + std::string(75, 'a') + "=\r\n" +
                       std::string(50, 'a'));
    EXPECT_EQ(CL_QuotedPrintableEncode("a=b\nc \td ", true), "a=3Db\r\nc \td =");
    EXPECT_EQ(CL_QuotedPrintableEncode("caff\xC3\xA8", true), "caff=C3=A8");
    // An escape is never split by a soft break.
    std::string near(74, 'a');
    EXPECT_EQ(CL_QuotedPrintableEncode(near + "\xC3\xA8", true), near + "=\r\n=C3=A8");
    // Every line stays within 76 characters.
    std::string mixed;
    for (int i = 0; i < 300; i++)
        mixed += (i % 7 == 0) ? "\xC3\xA8" : "b";
    std::string enc = CL_QuotedPrintableEncode(mixed, true);
    size_t start = 0;
    while (start < enc.size()) {
        size_t end = enc.find("\r\n", start);
        if (end == std::string::npos) end = enc.size();
        EXPECT_LE(end - start, 76u);
        start = end + 2;
    }
}

TEST(QuotedPrintable, DecodeWords) {
    EXPECT_EQ(CL_QuotedPrintableDecode("=?ISO-8859-1?Q?Caf=E8?="), "Caf\xC3\xA8");
    EXPECT_EQ(CL_QuotedPrintableDecode("=?iso-8859-1?q?a_b=e8?="), "a b\xC3\xA8");
    EXPECT_EQ(CL_QuotedPrintableDecode("=?UTF-8?B?Q2Fmw6g=?="), "Caf\xC3\xA8");
    // B-encoded words are converted from their charset too: "Caf\xE8" in Latin-1.
    EXPECT_EQ(CL_QuotedPrintableDecode("=?ISO-8859-1?B?Q2Fm6A==?="), "Caf\xC3\xA8");
    // A UTF-16 word is cut at its first NUL character, not at its first zero byte:
    // bytes 00 41 00 42 00 00 00 43 ("AB", NUL, "C" big-endian).
    EXPECT_EQ(CL_QuotedPrintableDecode("=?UTF-16BE?B?AEEAQgAAAEM=?="), "AB");
    EXPECT_EQ(CL_QuotedPrintableDecode("=?ISO-8859-1?B?QQBC?="), "A");
    // email.header.decode_header agrees on a KOI8-R word.
    EXPECT_EQ(CL_QuotedPrintableDecode("=?KOI8-R?Q?=F0=D2=C9?="), "\xD0\x9F\xD1\x80\xD0\xB8");

    // Not an encoded word: read as Latin-1.
    EXPECT_EQ(CL_QuotedPrintableDecode("\xC3\xBC"), "\xC3\x83\xC2\xBC");
    EXPECT_EQ(CL_QuotedPrintableDecode(""), "");
    // Words that do not decode fall back as well.
    const char* bad[] = {"=?ISO-8859-1?Q?a=E?=", "=?ISO-8859-1?Q?a=ZZ?=", "=?NOPE?Q?a?=",
                         "=?UTF-8?X?a?=",        "=?UTF-8?B?!!!?=",       "=?UTF-8?Q?=FF?="};
    for (const char* text : bad) {
        std::string s(text);
        EXPECT_EQ(CL_QuotedPrintableDecode(s), s) << text;
    }
    std::string tooLong = "=?UTF-8?Q?" + std::string(70, 'a') + "?=";
    EXPECT_EQ(CL_QuotedPrintableDecode(tooLong), tooLong);
}

// Bytes a charset converter refuses fall back to Latin-1 without a word on the
// process's stderr.
TEST(QuotedPrintable, UndecodableWordsPrintNothing) {
    const char* words[] = {"=?EUC-JP?Q?=FF=FF?=", "=?ISO-2022-JP?Q?=1B=24=FF?=",
                           "=?SHIFT_JIS?Q?=81=FF?=", "=?BIG5?Q?=FF=30?="};
    for (const char* word : words) {
        ::testing::internal::CaptureStderr();
        std::string decoded = CL_QuotedPrintableDecode(word);
        std::string printed = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(decoded, word);
        EXPECT_EQ(printed, "") << word;
    }
}

TEST(StripHTML, TextOfTheBody) {
    EXPECT_EQ(CL_StripHTML("<p>a</p><p>b</p>"), "a\nb\n");
    EXPECT_EQ(CL_StripHTML("<html><head><title>t</title><style>p{}</style></head><body>"
                           "<h1>Title</h1><script>var x=1;</script>x<br>y</body></html>"),
              "Title\nx\ny");
    EXPECT_EQ(CL_StripHTML("<p>caff&egrave; &amp; t&#232;</p>"), "caff\xC3\xA8 & t\xC3\xA8\n");
    // Decoded once: the text shows "&lt;", not "<".
    EXPECT_EQ(CL_StripHTML("<p>&amp;lt;b&amp;gt;</p>"), "&lt;b&gt;\n");
    EXPECT_EQ(CL_StripHTML("<p>1 &lt; 2</p>"), "1 < 2\n");
    EXPECT_EQ(CL_StripHTML(""), "");
}

TEST(StripHTML, HostileMarkup) {
    std::string deep;
    for (int i = 0; i < 2000; i++)
        deep += "<div>";
    deep += "x";
    EXPECT_NE(CL_StripHTML(deep).find('x'), std::string::npos);
    std::string junk = "<p>\xFF\xFE<<<>>>&&&;;</p></p></b><![CDATA[";
    CL_StripHTML(junk);  // must simply return
    // Entity names end within a few bytes; longer runs are text.
    EXPECT_EQ(CL_StripHTML("<p>&amp;eacute; &amp;notanentity;</p>"), "&eacute; &notanentity;\n");
}

TEST(LineBreaks, AllSequencesBecomeLineFeeds) {
    EXPECT_EQ(CL_GetUnixText("a\r\nb\rc"), "a\nb\nc");
    EXPECT_EQ(CL_GetNativeText("a\r\nb\rc"), "a\nb\nc");
    EXPECT_EQ(CL_GetUnixText("a\n\nb\x0B"
                             "c\x0C"
                             "d\xC2\x85"
                             "e\xE2\x80\xA8"
                             "f"),
              "a\n\nb\nc\nd\ne\nf");
    EXPECT_EQ(CL_GetUnixText("\r\n\r\n"), "\n\n");
    EXPECT_EQ(CL_GetUnixText("none"), "none");
    // Text that is not UTF-8 still has its CR LF and CR line ends normalised.
    EXPECT_EQ(CL_GetUnixText("caf\xE8\r\nx\ry"), "caf\xE8\nx\ny");
}

}  // namespace
