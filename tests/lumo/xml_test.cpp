// XML documents and XSLT: load options, node kinds, building and saving, transforms
// checked against xsltproc/xmllint output, and hostile documents (malformed text,
// entity bombs, external entities, stylesheets that write files).
#include "lumo/xml.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

const std::string kData = std::string(ZELMO_TEST_DATA) + "/xml/";

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool LoadText(CL_XML_Document& doc, const std::string& text, unsigned int flags = 0) {
    CL_Blob blob(text);
    return doc.Load(blob, flags);
}

std::string SaveText(const CL_XML_Document& doc) {
    CL_Blob out;
    EXPECT_TRUE(doc.Save(out));
    return out.Raw();
}

TEST(XmlLoad, BlankTextNodesFollowTheOption) {
    const std::string text = "<r> <e/> </r>";
    CL_XML_Document doc;
    ASSERT_TRUE(LoadText(doc, text));
    EXPECT_EQ(doc.GetRoot().GetChildren().GetType(), CL_XML_Node::ELEMENT);
    EXPECT_EQ(doc.GetRoot().GetChildren().GetName(), "e");
    ASSERT_TRUE(LoadText(doc, text, CL_XML_KEEP_BLANKS));
    CL_XML_Node first = doc.GetRoot().GetChildren();
    EXPECT_EQ(first.GetType(), CL_XML_Node::TEXT);
    EXPECT_EQ(first.GetName(), "");
    EXPECT_EQ(first.GetNext().GetName(), "e");
}

TEST(XmlLoad, MalformedTextKeepsThePreviousDocument) {
    CL_XML_Document doc;
    ASSERT_TRUE(LoadText(doc, "<ok/>"));
    EXPECT_TRUE(doc.GetError().empty());
    const char* bad[] = {"<a", "", "<a></b>", "<a>&undefined;</a>", "not xml", "<a x='1' x='2'/>"};
    for (const char* text : bad) {
        EXPECT_FALSE(LoadText(doc, text)) << text;
        EXPECT_FALSE(doc.GetError().empty()) << text;
        EXPECT_EQ(doc.GetRoot().GetName(), "ok");
    }
    // Invalid UTF-8 is refused too.
    EXPECT_FALSE(LoadText(doc, std::string("<a>\xFF</a>")));
    EXPECT_EQ(doc.GetRoot().GetName(), "ok");
}

TEST(XmlLoad, TextEndsAtANul) {
    // Callers hand over text followed by its terminating NUL.
    CL_XML_Document doc;
    ASSERT_TRUE(LoadText(doc, std::string("<a>x</a>\0", 9)));
    EXPECT_EQ(doc.GetRoot().GetNodeContent(), "x");
    EXPECT_FALSE(LoadText(doc, std::string("<a>\0</a>", 8)));
    EXPECT_FALSE(doc.GetError().empty());
    EXPECT_EQ(doc.GetRoot().GetNodeContent(), "x");
}

TEST(XmlLoad, CdataAndNodeKinds) {
    const std::string text = "<?xml version='1.0'?><r><![CDATA[x<y]]><!--c--><?pi data?>t</r>";
    CL_XML_Document doc;
    ASSERT_TRUE(LoadText(doc, text));
    CL_XML_Node n = doc.GetRoot().GetChildren();
    EXPECT_EQ(n.GetType(), CL_XML_Node::UNKNOWN);
    EXPECT_EQ(n.GetNodeContent(), "x<y");
    n = n.GetNext();
    EXPECT_EQ(n.GetType(), CL_XML_Node::COMMENT);
    n = n.GetNext();
    EXPECT_EQ(n.GetType(), CL_XML_Node::DECLARATION);
    EXPECT_EQ(n.GetName(), "");
    n = n.GetNext();
    EXPECT_EQ(n.GetType(), CL_XML_Node::TEXT);
    EXPECT_TRUE(n.GetNext().IsNull());
    EXPECT_TRUE(n.GetChildren().IsNull());
    EXPECT_EQ(n.GetParent(), doc.GetRoot());

    ASSERT_TRUE(LoadText(doc, text, CL_XML_MERGE_CDATA));
    EXPECT_EQ(doc.GetRoot().GetChildren().GetType(), CL_XML_Node::TEXT);
    EXPECT_EQ(doc.GetRoot().GetLineNumber(), 1);
}

TEST(XmlLoad, FilesAndTheirErrors) {
    CL_XML_Document doc(kData + "orders.xml", 0);
    EXPECT_EQ(doc.GetRoot().GetName(), "orders");
    EXPECT_EQ(SaveText(doc), ReadAll(kData + "orders.formatted.xml"));

    CL_XML_Document missing;
    EXPECT_FALSE(missing.Load(kData + "no-such-file.xml", 0));
    EXPECT_NE(missing.GetError().find("no-such-file.xml"), std::string::npos);
    // A "path" that is a URL is a file name, never fetched.
    EXPECT_FALSE(missing.Load("http://127.0.0.1:9/x.xml", 0));
    EXPECT_TRUE(missing.GetRoot().IsNull());
}

TEST(XmlBuild, SaveIsIndentedUtf8WithDeclaration) {
    CL_XML_Document doc;
    CL_XML_Node root = doc.CreateNode(CL_XML_Node::ELEMENT, "root");
    doc.SetRoot(root);
    root.AddChild(doc.CreateNode(CL_XML_Node::ELEMENT, "child"));
    EXPECT_EQ(SaveText(doc),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>\n  <child/>\n</root>\n");

    CL_XML_Node item = root.AddChild(doc.CreateNode(CL_XML_Node::ELEMENT, "item"));
    item.AddAttribute("name", "a&b \"q\"");
    item.AddChild(doc.CreateNode(CL_XML_Node::TEXT, "caff\xC3\xA8 <1>"));
    EXPECT_EQ(SaveText(doc),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>\n  <child/>\n"
              "  <item name=\"a&amp;b &quot;q&quot;\">caff\xC3\xA8 &lt;1&gt;</item>\n</root>\n");

    // Saved text loads back to the same content.
    CL_XML_Document back;
    ASSERT_TRUE(LoadText(back, SaveText(doc)));
    std::string value;
    CL_XML_Node loaded = back.GetRoot().GetChildren().GetNext();
    ASSERT_TRUE(loaded.GetAttribute("name", &value));
    EXPECT_EQ(value, "a&b \"q\"");
    EXPECT_EQ(loaded.GetNodeContent(), "caff\xC3\xA8 <1>");
}

// Text that is not UTF-8 does not save cleanly, and malformed documents do not load;
// either way libxml2's complaint is kept for GetError, never printed.
TEST(XmlBuild, DiagnosticsStayOffStderr) {
    CL_XML_Document doc;
    CL_XML_Node root = doc.CreateNode(CL_XML_Node::ELEMENT, "root");
    doc.SetRoot(root);
    root.AddChild(doc.CreateNode(CL_XML_Node::TEXT, "bad \xFF\xFE bytes"));
    ::testing::internal::CaptureStderr();
    std::string saved = SaveText(doc);
    CL_XML_Document other;
    bool loaded = LoadText(other, "<a><b></a>");
    std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed, "");
    EXPECT_FALSE(loaded);
    EXPECT_FALSE(other.GetError().empty());
}

TEST(XmlBuild, NodeOperations) {
    CL_XML_Document doc;
    CL_XML_Node root = doc.CreateNode(CL_XML_Node::ELEMENT, "r");
    doc.SetRoot(root);
    CL_XML_Node pi = doc.CreateNode(CL_XML_Node::DECLARATION, "pi");
    EXPECT_EQ(pi.GetType(), CL_XML_Node::DECLARATION);
    pi.Delete();
    EXPECT_TRUE(doc.CreateNode(CL_XML_Node::UNKNOWN, "x").IsNull());

    // Adjacent text nodes merge; the survivor is answered.
    CL_XML_Node t1 = root.AddChild(doc.CreateNode(CL_XML_Node::TEXT, "ab"));
    CL_XML_Node t2 = root.AddChild(doc.CreateNode(CL_XML_Node::TEXT, "cd"));
    EXPECT_EQ(t1, t2);
    EXPECT_EQ(root.GetNodeContent(), "abcd");
    t1.SetNodeContent(std::string("x\0y", 3).substr(0, 1));
    EXPECT_EQ(root.GetNodeContent(), "x");

    root.AddAttribute("k", "v");
    EXPECT_TRUE(root.HasAttribute("k"));
    std::string value = "untouched";
    EXPECT_FALSE(root.GetAttribute("missing", &value));
    EXPECT_EQ(value, "untouched");
    root.DeleteAttribute("k");
    EXPECT_FALSE(root.HasAttribute("k"));

    CL_XML_Node child = root.AddChild(doc.CreateNode(CL_XML_Node::ELEMENT, "c"));
    child.Detach();
    EXPECT_TRUE(child.GetParent().IsNull());
    root.AddChild(child);
    EXPECT_EQ(child.GetParent(), root);
    child.Delete();
    EXPECT_TRUE(child.IsNull());
    EXPECT_EQ(root.GetChildren().GetNext().IsNull(), true);

    // Appending a linked node moves it, also within its own parent; a node is never
    // linked below itself.
    CL_XML_Node box = root.AddChild(doc.CreateNode(CL_XML_Node::ELEMENT, "box"));
    CL_XML_Node inner = box.AddChild(doc.CreateNode(CL_XML_Node::ELEMENT, "inner"));
    root.AddChild(inner);
    EXPECT_EQ(inner.GetParent(), root);
    EXPECT_TRUE(box.GetChildren().IsNull());
    EXPECT_TRUE(inner.GetNext().IsNull());
    EXPECT_EQ(box.GetNext(), inner);
    inner.AddChild(root);
    inner.AddChild(inner);
    EXPECT_EQ(root.GetParent().fNode, reinterpret_cast<_xmlNode*>(doc.fDoc));
    EXPECT_TRUE(inner.GetChildren().IsNull());
    box.Delete();
    inner.Delete();

    // A text node already linked, appended again beside another text node, is merged
    // out of its old place rather than freed in it.
    CL_XML_Node mix = root.AddChild(doc.CreateNode(CL_XML_Node::ELEMENT, "mix"));
    CL_XML_Node head = mix.AddChild(doc.CreateNode(CL_XML_Node::TEXT, "h"));
    mix.AddChild(doc.CreateNode(CL_XML_Node::ELEMENT, "sep"));
    mix.AddChild(doc.CreateNode(CL_XML_Node::TEXT, "t"));
    CL_XML_Node merged = mix.AddChild(head);
    EXPECT_EQ(mix.GetNodeContent(), "th");
    EXPECT_EQ(mix.GetChildren().GetName(), "sep");
    EXPECT_EQ(merged.GetNodeContent(), "th");
    mix.Delete();

    // A replaced root is unlinked and left to the caller.
    CL_XML_Node other = doc.CreateNode(CL_XML_Node::ELEMENT, "other");
    doc.SetRoot(other);
    EXPECT_EQ(doc.GetRoot().GetName(), "other");
    root.Delete();

    CL_XML_Node null;
    EXPECT_EQ(null.GetName(), "");
    EXPECT_EQ(null.GetNodeContent(), "");
    EXPECT_FALSE(null.HasAttribute("a"));
    EXPECT_TRUE(null.AddChild(null).IsNull());
}

TEST(XmlBuild, CopyAndMove) {
    CL_XML_Document a;
    ASSERT_TRUE(LoadText(a, "<a><b/></a>"));
    CL_XML_Document b;
    b = a;
    b.GetRoot().GetChildren().Delete();
    EXPECT_FALSE(a.GetRoot().GetChildren().IsNull());
    b = b;
    EXPECT_EQ(b.GetRoot().GetName(), "a");
    CL_XML_Document c(std::move(b));
    EXPECT_EQ(c.GetRoot().GetName(), "a");
    EXPECT_EQ(b.fDoc, nullptr);
    b = std::move(c);
    EXPECT_EQ(b.GetRoot().GetName(), "a");
    CL_XML_Document d(a);
    EXPECT_EQ(SaveText(d), SaveText(a));
}

TEST(XmlEntities, SubstitutionFollowsTheOption) {
    const std::string text = "<!DOCTYPE r [<!ENTITY e \"val\">]><r>&e;</r>";
    CL_XML_Document doc;
    ASSERT_TRUE(LoadText(doc, text, CL_XML_SUBSTITUTE_ENTITIES));
    EXPECT_EQ(doc.GetRoot().GetChildren().GetType(), CL_XML_Node::TEXT);
    EXPECT_EQ(doc.GetRoot().GetNodeContent(), "val");
    ASSERT_TRUE(LoadText(doc, text));
    EXPECT_EQ(doc.GetRoot().GetChildren().GetType(), CL_XML_Node::UNKNOWN);
}

TEST(XmlEntities, ExternalEntitiesAreNeverRead) {
    char path[] = "/tmp/lumo_xml_secretXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "TOPSECRET", 9), 9);
    close(fd);
    const std::string general =
        std::string("<!DOCTYPE r [<!ENTITY x SYSTEM \"file://") + path + "\">]><r>&x;</r>";
    const std::string parameter =
        std::string("<!DOCTYPE r [<!ENTITY % p SYSTEM \"") + path + "\"> %p;]><r/>";
    const std::string dtd = std::string("<!DOCTYPE r SYSTEM \"") + path + "\"><r/>";
    for (unsigned int flags : {0u, 4u, 1u | 2u | 4u}) {
        for (const std::string& text : {general, parameter, dtd}) {
            CL_XML_Document doc;
            LoadText(doc, text, flags);
            EXPECT_EQ(SaveText(doc).find("TOPSECRET"), std::string::npos) << flags;
            EXPECT_EQ(doc.GetRoot().GetNodeContent().find("TOPSECRET"), std::string::npos);
        }
    }
    unlink(path);
}

TEST(XmlEntities, DtdLoadingReadsTheDtdButNoExternalEntity) {
    char dir[] = "/tmp/lumo_xml_dtdXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string base = std::string(dir) + "/";
    std::ofstream(base + "secret.txt") << "TOPSECRET";
    std::ofstream(base + "pe.ent") << "<!ENTITY fromPE \"pe-value\">";
    std::ofstream(base + "r.dtd") << "<!ELEMENT r ANY>\n"
                                     "<!ENTITY hello \"world\">\n"
                                     "<!ENTITY ext SYSTEM \"secret.txt\">\n"
                                     "<!ENTITY % pe SYSTEM \"pe.ent\">\n%pe;\n";
    std::ofstream(base + "plain.xml") << "<!DOCTYPE r SYSTEM \"r.dtd\"><r>&hello;&fromPE;</r>";
    std::ofstream(base + "ext.xml") << "<!DOCTYPE r SYSTEM \"r.dtd\" [<!ENTITY loc SYSTEM "
                                       "\"secret.txt\">]><r>&ext;&loc;</r>";
    for (unsigned int flags : {8u | 4u, 16u | 4u, 8u | 16u, 8u | 16u | 4u}) {
        CL_XML_Document doc;
        ASSERT_TRUE(doc.Load(base + "plain.xml", flags)) << flags << doc.GetError();
        EXPECT_EQ(doc.GetRoot().GetNodeContent(), "worldpe-value") << flags;
        CL_XML_Document ext;
        ext.Load(base + "ext.xml", flags);
        EXPECT_EQ(SaveText(ext).find("TOPSECRET"), std::string::npos) << flags;
        EXPECT_EQ(ext.GetRoot().GetNodeContent().find("TOPSECRET"), std::string::npos) << flags;
    }
    for (const char* name : {"secret.txt", "pe.ent", "r.dtd", "plain.xml", "ext.xml"})
        unlink((base + name).c_str());
    rmdir(dir);
}

TEST(XmlEntities, ExpansionBombsAreRefused) {
    std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">";
    bomb += "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">";
    for (int i = 2; i <= 9; i++) {
        std::string prev = "&lol" + std::to_string(i - 1) + ";";
        bomb += "<!ENTITY lol" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; k++)
            bomb += prev;
        bomb += "\">";
    }
    bomb += "]><lolz>&lol9;</lolz>";
    for (unsigned int flags : {0u, 4u}) {
        CL_XML_Document doc;
        bool loaded = LoadText(doc, bomb, flags);
        if (loaded) {
            // Whatever loads must not expand to the billion-byte text.
            EXPECT_LT(doc.GetRoot().GetNodeContent().size(), 10u * 1000 * 1000);
        } else {
            EXPECT_FALSE(doc.GetError().empty());
        }
    }
    // Deep nesting is refused by the parser's depth limit rather than the stack.
    std::string deep;
    for (int i = 0; i < 100000; i++)
        deep += "<a>";
    CL_XML_Document doc;
    EXPECT_FALSE(LoadText(doc, deep));
}

TEST(XmlTransform, AgreesWithXsltproc) {
    CL_XML_Document input(kData + "orders.xml", 0);
    CL_XML_Document sheet(kData + "orders.xsl", CL_XML_SUBSTITUTE_ENTITIES);
    CL_Blob out;
    ASSERT_TRUE(input.Transform(sheet, &out));
    EXPECT_EQ(out.Raw(), ReadAll(kData + "orders.expected.xml"));

    CL_XML_Document text(kData + "text.xsl", 0);
    ASSERT_TRUE(input.Transform(text, &out));
    EXPECT_EQ(out.Raw(), ReadAll(kData + "text.expected.txt"));
    // The stylesheet object is not consumed.
    ASSERT_TRUE(input.Transform(text, &out));
    EXPECT_EQ(out.Raw(), ReadAll(kData + "text.expected.txt"));
}

TEST(XmlTransform, InvalidStylesheetLeavesOutputAlone) {
    CL_XML_Document input;
    ASSERT_TRUE(LoadText(input, "<a/>"));
    CL_XML_Document sheet;
    ASSERT_TRUE(LoadText(sheet,
                         "<xsl:stylesheet version='1.0' "
                         "xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
                         "<xsl:template match='/'><xsl:value-of/></xsl:template>"
                         "</xsl:stylesheet>"));
    CL_Blob out("previous");
    EXPECT_FALSE(input.Transform(sheet, &out));
    EXPECT_EQ(out.Raw(), "previous");
    EXPECT_FALSE(input.Transform(sheet, &out));
    CL_XML_Document notXslt;
    ASSERT_TRUE(LoadText(notXslt, "<plain/>"));
    EXPECT_FALSE(input.Transform(notXslt, &out));
    EXPECT_EQ(out.Raw(), "previous");
}

TEST(XmlTransform, StylesheetsMayNotWriteFiles) {
    char dir[] = "/tmp/lumo_xslt_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string target = std::string(dir) + "/sub/written.txt";
    CL_XML_Document input;
    ASSERT_TRUE(LoadText(input, "<a/>"));
    CL_XML_Document sheet;
    ASSERT_TRUE(LoadText(sheet,
                         "<xsl:stylesheet version='1.0' "
                         "xmlns:xsl='http://www.w3.org/1999/XSL/Transform' "
                         "xmlns:exsl='http://exslt.org/common' extension-element-prefixes='exsl'>"
                         "<xsl:template match='/'><exsl:document href='" +
                             target +
                             "'><x>pwned</x></exsl:document><ok/></xsl:template>"
                             "</xsl:stylesheet>"));
    CL_Blob out;
    input.Transform(sheet, &out);
    EXPECT_NE(access(target.c_str(), F_OK), 0);
    rmdir((std::string(dir) + "/sub").c_str());
    rmdir(dir);
}

}  // namespace

// ---- Queries, dumps, validation and building by name --------------------------
// Expected node sets are those of `xmllint --xpath` on the same file (element paths
// also agree with Python's xml.etree); the dump is `xmllint --format`'s output and
// validity that of `xmllint --valid`.

namespace {

// What a query found: each node's name (or "@" for an attribute) and its content.
std::string Describe(const CL_Array<CL_XML_Node>& nodes) {
    std::string out;
    for (const CL_XML_Node& n : nodes) {
        if (!out.empty()) out += "|";
        std::string name = n.GetType() == CL_XML_Node::UNKNOWN ? "@" : n.GetName();
        out += name + "=" + n.GetNodeContent();
    }
    return out;
}

}  // namespace

TEST(XmlQuery, XPathFromTheDocumentAndFromANode) {
    CL_XML_Document doc(kData + "catalog.xml", 0);
    ASSERT_EQ(doc.GetRoot().GetName(), "catalog");
    const struct {
        const char* xpath;
        const char* found;
    } cases[] = {
        {"//book/@id", "@=b1|@=b2|@=b3"},
        {"/catalog/book[price]/title", "title=Il nome della rosa|title=Città invisibili"},
        {"//book[@lang='it']", "book=Se una notte"},
        {"//price/text()", "=12.50|=9"},
        {"/catalog/book[2]/following-sibling::book/price", "price=9"},
        {"//nothing", ""},
        {"count(//book)", ""},  // a number, not a node set
        {"//book[", ""},        // does not parse
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xpath);
        CL_Array<CL_XML_Node> all = doc.FindAll(c.xpath);
        EXPECT_EQ(Describe(all), c.found);
        CL_XML_Node first = doc.Find(c.xpath);
        EXPECT_EQ(first, all.GetFirst());
        EXPECT_EQ(first.IsNull(), all.Count() == 0);
    }

    // Relative paths start from the node.
    CL_XML_Node second = doc.Find("/catalog/book[2]");
    EXPECT_EQ(second.GetAttribute("id", ""), "b2");
    EXPECT_EQ(Describe(second.FindAll("title")), "title=Se una notte");
    EXPECT_EQ(Describe(second.FindAll("../book/price")), "price=12.50|price=9");
    EXPECT_EQ(second.Find("@lang").GetNodeContent(), "it");
    EXPECT_TRUE(second.Find("price").IsNull());
    EXPECT_TRUE(CL_XML_Node().Find("//book").IsNull());
    EXPECT_EQ(CL_XML_Node().FindAll("//book").Count(), 0u);
    EXPECT_FALSE(doc.GetError().empty());  // the expression that did not parse
}

TEST(XmlQuery, DumpIsTheIndentedText) {
    CL_XML_Document doc(kData + "catalog.xml", 0);
    EXPECT_EQ(doc.Dump(), ReadAll(kData + "catalog.formatted.xml"));
    EXPECT_EQ(doc.Dump(), SaveText(doc));
    EXPECT_EQ(doc.Find("//book[@id='b2']").Dump(),
              "<book id=\"b2\" lang=\"it\">\n  <title>Se una notte</title>\n</book>");
    EXPECT_EQ(doc.Find("//price").Dump(), "<price>12.50</price>");
    EXPECT_EQ(CL_XML_Node().Dump(), "");
}

TEST(XmlQuery, ValidityAgainstTheDocumentsDtd) {
    const struct {
        const char* file;
        bool valid;
    } cases[] = {
        {"catalog.xml", true},
        {"catalog_invalid.xml", false},  // children out of order
        {"orders.xml", false},           // no DTD at all
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        CL_XML_Document doc(kData + c.file, 0);
        EXPECT_EQ(doc.IsValid(), c.valid);
        EXPECT_EQ(doc.GetError().empty(), c.valid);
    }
    // A change after loading is seen: an undeclared attribute breaks the DTD.
    CL_XML_Document doc(kData + "catalog.xml", 0);
    doc.Find("//title").SetAttribute("x", "1");
    EXPECT_FALSE(doc.IsValid());
    // A DTD named but not loaded is never fetched, so nothing validates against it.
    CL_XML_Document external;
    ASSERT_TRUE(LoadText(external, "<!DOCTYPE a SYSTEM \"missing.dtd\"><a/>"));
    EXPECT_FALSE(external.IsValid());
}

TEST(XmlBuild, AttributesAndChildrenByName) {
    CL_XML_Document doc;
    CL_XML_Node root = doc.EnsureChild("config");
    ASSERT_FALSE(root.IsNull());
    EXPECT_EQ(doc.EnsureChild("config"), root);
    EXPECT_TRUE(doc.EnsureChild("other").IsNull());  // one root only
    EXPECT_TRUE(root.TagIsEqual("config"));
    EXPECT_FALSE(root.TagIsEqual("Config"));

    root.SetAttribute("mode", "fast");
    root.SetAttribute("mode", "safe");  // replaced, not doubled
    EXPECT_EQ(root.GetAttribute("mode", "none"), "safe");
    EXPECT_EQ(root.GetAttribute("missing", "none"), "none");
    EXPECT_EQ(root.GetAttribute("missing", ""), "");

    CL_XML_Node server = root.EnsureChild(doc, "server");
    EXPECT_EQ(root.EnsureChild(doc, "server"), server);
    root.AddChild(doc, CL_XML_Node::COMMENT, " ports ");
    CL_XML_Node port = server.AddChild(doc, CL_XML_Node::ELEMENT, "port");
    port.AddChild(doc, CL_XML_Node::TEXT, "51965");
    EXPECT_TRUE(root.AddChild(doc, CL_XML_Node::UNKNOWN, "x").IsNull());
    EXPECT_TRUE(CL_XML_Node().EnsureChild(doc, "x").IsNull());
    EXPECT_FALSE(port.TagIsEqual("server"));
    EXPECT_FALSE(port.GetChildren().TagIsEqual(""));  // a text node has no tag

    EXPECT_EQ(doc.Dump(),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<config mode=\"safe\">\n"
              "  <server>\n"
              "    <port>51965</port>\n"
              "  </server>\n"
              "  <!-- ports -->\n"
              "</config>\n");
    EXPECT_EQ(doc.Find("/config/server/port").GetNodeContent(), "51965");
}
