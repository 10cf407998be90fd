// Values as XML and text dumps: the exact saved form, round trips of every type,
// plain XML read as nested tables, the explicit layout, locale independence, the
// containers' ends and hostile documents.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>

#include "lumo/base/decnum/decnum.h"
#include "lumo/entry.h"
#include "lumo/xml.h"

namespace {

std::string SaveTable(const CLU_Table& table) {
    CL_XML_Document doc;
    doc.SetRoot(table.SaveXML(&doc, CLU_XML_STANDARD));
    CL_Blob out;
    doc.Save(out);
    return out.Raw();
}

// Loads `text` and reads its root element as a table, as the Python module does.
bool LoadTable(const std::string& text, CLU_Table* table,
               CLU_XML_Variant variant = CLU_XML_STANDARD) {
    CL_XML_Document doc;
    CL_Blob blob(text);
    if (!doc.Load(blob, 0)) return false;
    CL_XML_Node root = doc.GetRoot();
    if (root.IsNull()) return false;
    return table->LoadXML(&doc, root, variant);
}

CLU_Table EveryType() {
    CL_Decimal decimal;
    decimal.FromString("-12345678901234567890.123456789");
    CLU_List list;
    list.Append(true).Append(7).Append("item");
    CLU_Table inner;
    inner.Set("deep", 1.25);
    CLU_Table table;
    table.Set("null", CLU_Null)
        .Set("yes", true)
        .Set("no", false)
        .Set("int", static_cast<int64>(-9223372036854775807LL - 1))
        .Set("dec", decimal)
        .Set("float", 1.5)
        .Set("date", CL_Date(29, 2, 2024))
        .Set("time", CL_Time(23, 59, 58, 0))
        .Set("stamp", CL_TimeStamp(31, 12, 1999, 23, 59, 59, 0))
        .Set("text", "caff\xC3\xA8 <&> \"q\"")
        .Set("empty", "")
        .Set("blob", CL_Blob(std::string("\x00\x01\xFE\xFF", 4)))
        .Set("list", list)
        .Set("table", inner);
    return table;
}

TEST(ValueXmlSave, ExactForm) {
    CLU_Table table;
    table.Set("a", 1).Set("b", CLU_Null);
    EXPECT_EQ(SaveTable(table),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<table>\n"
              "  <integer name=\"a\">1</integer>\n  <null name=\"b\"/>\n</table>\n");

    CLU_Table nested;
    CLU_List list;
    list.Append("x").Append(CL_Blob(std::string("\xAB\x01", 2)));
    nested.Set("l", list).Set("t", "");
    EXPECT_EQ(SaveTable(nested),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<table>\n"
              "  <list name=\"l\">\n    <text>x</text>\n    <blob>AB01</blob>\n  </list>\n"
              "  <text name=\"t\"/>\n</table>\n");
    EXPECT_EQ(SaveTable(CLU_Table()), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<table/>\n");
}

TEST(ValueXmlSave, RoundTripOfEveryType) {
    CLU_Table table = EveryType();
    CLU_Table back;
    ASSERT_TRUE(LoadTable(SaveTable(table), &back));
    EXPECT_EQ(back.Count(), table.Count());
    for (auto it = table.begin(); it != table.end(); ++it) {
        const CLU_Entry* loaded = back.Get(it.key());
        ASSERT_NE(loaded, nullptr) << it.key();
        EXPECT_TRUE(*loaded == *it) << it.key() << "\n" << loaded->Dump(0);
    }
    // Keys keep their order.
    auto a = table.begin();
    for (auto b = back.begin(); b != back.end(); ++a, ++b)
        EXPECT_EQ(a.key(), b.key());
    // Texts lose outer white space; floats keep what "%g" writes.
    CLU_Table lossy;
    lossy.Set("s", "  padded \n").Set("f", 3.14159265358979);
    CLU_Table lossyBack;
    ASSERT_TRUE(LoadTable(SaveTable(lossy), &lossyBack));
    EXPECT_EQ(lossyBack.GetString("s"), "padded");
    EXPECT_DOUBLE_EQ(lossyBack.GetFloat("f"), 3.14159);
}

// Every decimal saves to text that loads back to the same value: digits where the text
// rules take them, the scientific form where they would not (more than 38 digits or
// 1024 bytes of text, or none at all for exponents beyond the printable).
TEST(ValueXmlSave, DecimalsOfEveryMagnitudeRoundTrip) {
    struct Case {
        const char* value;
        const char* saved;  // null: any text
    };
    const Case cases[] = {
        {"123.456", "123.456"},
        {"-0.000001", "-0.000001"},
        {"12345678901234567890123456789012345678", "12345678901234567890123456789012345678"},
        {"1E+40", "1E+40"},
        {"-1.5E+39", "-1.5E+39"},
        {"12345678901234567890123456789012345678E+50",
         "1.2345678901234567890123456789012345678E+87"},
        {"-1E+1000", "-1E+1000"},
        {"1E-1000", nullptr},
        {"1E-1030", "1E-1030"},
        {"7E-100000", "7E-100000"},
        {"9.9999999999999999999999999999999999999E+999999999999999999", nullptr},
        {"1E-999999999999999999", nullptr},
        {"-Infinity", "-Infinity"},
        {"NaN", "NaN"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        decnum::Number number;
        uint32 status = 0;
        decnum::FromString(&number, c.value, strlen(c.value), CL_Decimal::GetContext(), &status);
        ASSERT_EQ(0u, status);
        CL_Decimal decimal(number);
        CLU_Table table;
        table.Set("d", decimal);
        std::string text = SaveTable(table);
        if (c.saved) {
            EXPECT_NE(text.find(std::string(">") + c.saved + "</decimal>"), std::string::npos)
                << text;
        }
        CLU_Table back;
        ASSERT_TRUE(LoadTable(text, &back));
        ASSERT_EQ(back.GetType("d"), CLU_DECIMAL);
        CL_Decimal loaded = back.GetDecimal("d");
        if (number.IsNaN()) {
            EXPECT_TRUE(loaded.GetNumber().IsNaN());
        } else {
            EXPECT_EQ(0, loaded.Compare(decimal));
            char want[decnum::kSciBufferSize], got[decnum::kSciBufferSize];
            EXPECT_EQ(std::string(want, decnum::ToSci(decimal.GetNumber(), want)),
                      std::string(got, decnum::ToSci(loaded.GetNumber(), got)));
        }
    }
}

// Large values saved as all their digits, beyond the 38 the text rules take, still
// load when only trailing zeros make them long; other over-long digits do not.
TEST(ValueXmlLoad, LongDigitStringsOfLargeDecimals) {
    CLU_Table t;
    ASSERT_TRUE(
        LoadTable("<t><decimal name='big'>-1500000000000000000000000000000000000000</decimal>"
                  "<decimal name='point'>10000000000000000000000000000000000000000.000</decimal>"
                  "<decimal name='digits'>100000000000000000000000000000000000001</decimal>"
                  "<decimal name='comma'>10000000000000000000000000000000000000000,0</decimal></t>",
                  &t));
    EXPECT_EQ(0, t.GetDecimal("big").Compare(CL_Decimal("-1.5E+39")));
    EXPECT_EQ(0, t.GetDecimal("point").Compare(CL_Decimal("1E+40")));
    EXPECT_EQ(t.GetType("digits"), CLU_DECIMAL);
    EXPECT_EQ(0, t.GetDecimal("digits").Compare(CL_Decimal(0)));
    EXPECT_EQ(0, t.GetDecimal("comma").Compare(CL_Decimal(0)));
}

TEST(ValueXmlSave, FloatsIgnoreTheProcessLocale) {
    const char* previous = setlocale(LC_NUMERIC, nullptr);
    std::string saved = previous ? previous : "C";
    if (!setlocale(LC_NUMERIC, "it_IT.UTF-8") && !setlocale(LC_NUMERIC, "it_IT.utf8"))
        GTEST_SKIP() << "no Italian locale installed";
    CLU_Table table;
    table.Set("f", 1.5);
    std::string text = SaveTable(table);
    CLU_Table back;
    bool loaded = LoadTable("<t><float name=\"f\">2.25</float></t>", &back);
    CLU_Entry entry;
    entry.Set(0.5);
    std::string dump = entry.Dump(0);
    setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_NE(text.find(">1.5<"), std::string::npos) << text;
    ASSERT_TRUE(loaded);
    EXPECT_EQ(back.GetType("f"), CLU_FLOAT);
    EXPECT_DOUBLE_EQ(back.GetFloat("f"), 2.25);
    EXPECT_EQ(dump, "0.500000 [f]");
}

TEST(ValueXmlLoad, ScalarsFromText) {
    CLU_Table t;
    ASSERT_TRUE(
        LoadTable("<t><integer name=\"n\">-5</integer><integer>12x</integer>"
                  "<BOOL name='b1'> YES </BOOL><bool name='b2'>2</bool>"
                  "<string name='s'> hi </string><float name='f'>abc</float>"
                  "<decimal name='d'>1.5.5</decimal><blob name='x'>zz</blob>"
                  "<date name='bad'>nonsense</date><time name='tm'>xx</time></t>",
                  &t));
    EXPECT_EQ(t.GetType("n"), CLU_INTEGER);
    EXPECT_EQ(t.GetInteger("n"), -5);
    EXPECT_TRUE(t.Exists("integer"));
    EXPECT_EQ(t.GetType("integer"), CLU_NULL);
    EXPECT_TRUE(t.GetBool("b1"));
    EXPECT_EQ(t.GetType("b2"), CLU_BOOL);
    EXPECT_FALSE(t.GetBool("b2", true));
    EXPECT_EQ(t.GetString("s"), "hi");
    EXPECT_EQ(t.GetType("f"), CLU_NULL);
    EXPECT_EQ(t.GetType("d"), CLU_DECIMAL);
    EXPECT_EQ(t.GetType("x"), CLU_BLOB);
    EXPECT_EQ(t.GetType("bad"), CLU_DATE);
    EXPECT_EQ(t.GetType("tm"), CLU_TIME);
}

TEST(ValueXmlLoad, PlainXmlAsNestedTables) {
    CLU_Table t;
    ASSERT_TRUE(LoadTable("<root><a>1</a><b><c>x</c></b><skip/></root>", &t));
    EXPECT_EQ(t.Count(), 2u);
    EXPECT_EQ(t.GetString("a"), "1");
    CLU_Table* b = t.GetTable("b");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->GetString("c"), "x");

    // The same key twice keeps the later value in the earlier place.
    ASSERT_TRUE(LoadTable("<r><k>1</k><j>2</j><k>3</k></r>", &t));
    EXPECT_EQ(t.GetString("k"), "3");
    EXPECT_EQ(t.begin().key(), "k");
}

TEST(ValueXmlLoad, ContainersEndWithWhatWasLoaded) {
    CLU_Table t;
    EXPECT_TRUE(LoadTable("<table><integer name='a'>1</integer><!-- trailing --></table>", &t));
    EXPECT_EQ(t.GetInteger("a"), 1);
    EXPECT_TRUE(LoadTable("<t><a>1</a><empty/></t>", &t));
    EXPECT_EQ(t.Count(), 1u);
    EXPECT_TRUE(LoadTable("<t><!-- only a comment --></t>", &t));
    EXPECT_EQ(t.Count(), 0u);
    EXPECT_TRUE(LoadTable("<table/>", &t));
    EXPECT_TRUE(t.Empty());

    EXPECT_TRUE(
        LoadTable("<t><list name='l'><integer>1</integer><text>two</text><!--c--></list>"
                  "</t>",
                  &t));
    CLU_List* l = t.GetList("l");
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->Count(), 2u);
    EXPECT_EQ(l->GetString(1), "two");

    // Nested the same way as at the top.
    EXPECT_TRUE(LoadTable("<t><table name='in'><text name='x'>1</text><!--c--></table></t>", &t));
    EXPECT_EQ(t.GetTable("in")->GetString("x"), "1");
}

TEST(ValueXmlLoad, ExplicitVariant) {
    CLU_Table t;
    ASSERT_TRUE(
        LoadTable("<t><item name=\"k\"><text>v</text></item><other/></t>", &t, CLU_XML_EXPLICIT));
    EXPECT_EQ(t.Count(), 1u);
    EXPECT_EQ(t.GetString("k"), "v");
    EXPECT_FALSE(LoadTable("<t><item name=\"k\"/></t>", &t, CLU_XML_EXPLICIT));
    EXPECT_FALSE(LoadTable("<t><item name=\"k\"><!--c--></item></t>", &t, CLU_XML_EXPLICIT));
    ASSERT_TRUE(
        LoadTable("<t><i name='n'><table><i name='m'><integer>4</integer></i></table>"
                  "</i></t>",
                  &t, CLU_XML_EXPLICIT));
    EXPECT_EQ(t.GetTable("n")->GetInteger("m"), 4);
    EXPECT_TRUE(
        LoadTable("<t><a name='x'><text>1</text></a></t>", &t, static_cast<CLU_XML_Variant>(7)));
    EXPECT_TRUE(t.Empty());
}

TEST(ValueXmlLoad, EntryAndListEntryPoints) {
    CL_XML_Document doc;
    CL_Blob blob(std::string("<r><!--x--><e/><integer>3</integer></r>"));
    ASSERT_TRUE(doc.Load(blob, CL_XML_KEEP_BLANKS));
    CL_XML_Node node = doc.GetRoot().GetChildren();
    CLU_Entry entry;
    ASSERT_TRUE(entry.LoadXML(&doc, node, CLU_XML_STANDARD));
    EXPECT_EQ(entry.GetType(), CLU_INTEGER);
    EXPECT_EQ(node.GetName(), "integer");
    node = node.GetNext();
    EXPECT_FALSE(entry.LoadXML(&doc, node, CLU_XML_STANDARD));
    EXPECT_EQ(entry.GetType(), CLU_NULL);

    CLU_List list;
    CL_XML_Node none;
    EXPECT_TRUE(list.LoadXML(&doc, none, CLU_XML_STANDARD));
    EXPECT_EQ(list.Count(), 0u);
}

TEST(ValueXmlLoad, HostileDocuments) {
    CLU_Table t;
    std::string deep;
    for (int i = 0; i < 5000; i++)
        deep += "<a>";
    EXPECT_FALSE(LoadTable(deep, &t));
    std::string nested;
    for (int i = 0; i < 200; i++)
        nested += "<table name='n'>";
    nested += "<text name='x'>leaf</text>";
    for (int i = 0; i < 200; i++)
        nested += "</table>";
    EXPECT_TRUE(LoadTable(nested, &t));
    EXPECT_FALSE(LoadTable("<t><a>1</a>", &t));
    EXPECT_FALSE(LoadTable("", &t));
    // Huge numbers do not parse rather than wrap.
    ASSERT_TRUE(
        LoadTable("<t><integer name='i'>99999999999999999999</integer>"
                  "<float name='f'>1e999999</float></t>",
                  &t));
    EXPECT_EQ(t.GetType("i"), CLU_NULL);
}

TEST(ValueDump, Layout) {
    CLU_List l;
    l.Append(true);
    CLU_Table t;
    t.Set("a", 1).Set("l", l);
    EXPECT_EQ(t.Dump(0), "a: 1 [i]\nl: \n\t0 -> true\n");

    CLU_Table inner;
    inner.Set("q", "say \"hi\"").Set("n", CLU_Null);
    CLU_Table outer;
    outer.Set("in", inner).Set("f", 0.25).Set("b", CL_Blob(std::string("AB")));
    std::string dump = outer.Dump(1);
    EXPECT_EQ(dump.substr(0, 41), "\tin: \n\t\tq: \"say \\\"hi\\\"\"\n\t\tn: (null)\n\tf: 0");
    EXPECT_NE(dump.find("\tf: 0.250000 [f]\n"), std::string::npos);
    EXPECT_NE(dump.find("\tb: {2}:\n"), std::string::npos);
    EXPECT_EQ(CLU_Table().Dump(0), "");
    EXPECT_EQ(CLU_List().Dump(3), "");
}

}  // namespace
