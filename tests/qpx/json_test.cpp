// JSON conversion: yajl's exact output forms, the mapping of every value type, the
// parse rules and their failures, and Python's json as the oracle on random documents.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "qpx/zelmo_client/common.h"

namespace {

std::string Format(const CLU_Entry& e, bool beautify = false) {
    return QPX::FormatJSON(e, beautify);
}

template <class T>
CLU_Entry Value(const T& v) {
    CLU_Entry e;
    e.Set(v);
    return e;
}

bool Parse(const std::string& text, CLU_Entry* root, std::string* error = nullptr) {
    return QPX::ParseJSON(text, root, error);
}

TEST(FormatJSONTest, ScalarsAsTheValueModelPrintsThem) {
    EXPECT_EQ(Format(CLU_Entry()), "null");
    EXPECT_EQ(Format(Value(true)), "true");
    EXPECT_EQ(Format(Value(5LL)), "5");
    EXPECT_EQ(Format(Value(-9223372036854775807LL - 1)), "-9223372036854775808");
    EXPECT_EQ(Format(Value(CL_Decimal(std::string("1.50")))), "1.5");
    EXPECT_EQ(Format(Value(CL_Decimal(std::string("-0.001")))), "-0.001");
    EXPECT_EQ(Format(Value(std::string("a\"b\\c/\n\t\x01"))), "\"a\\\"b\\\\c/\\n\\t\\u0001\"");
    EXPECT_EQ(Format(Value(std::string("\xc3\xa9\xe2\x82\xac"))), "\"\xc3\xa9\xe2\x82\xac\"");
    // Texts go out as they are, without a UTF-8 check.
    EXPECT_EQ(Format(Value(std::string("\xff"))), "\"\xff\"");
}

TEST(FormatJSONTest, BlobsDatesAndTimesAsStrings) {
    EXPECT_EQ(Format(Value(CL_Blob("hello", 5, true))), "\"aGVsbG8=\"");
    EXPECT_EQ(Format(Value(CL_Blob())), "\"\"");
    CL_Date date;
    date.SetFields(7, 12, 2026, 0, 0, 0, 0);
    EXPECT_EQ(Format(Value(date)), "\"2026-12-07\"");
    CL_TimeStamp ts;
    ts.SetFields(7, 12, 2026, 10, 5, 9, 42);
    EXPECT_EQ(Format(Value(ts)), "\"2026-12-07 10:05:09.042\"");
    CL_Time time;
    time.FromString(std::string_view("08:30:00"));
    EXPECT_EQ(Format(Value(time)), "\"08:30:00\"");
}

// Doubles in their shortest round-trip form; large ones are not lost, and non-finite
// ones, which JSON cannot spell, become null.
TEST(FormatJSONTest, DoublesAreShortestRoundTripAndNonFiniteIsNull) {
    EXPECT_EQ(Format(Value(0.1)), "0.1");
    EXPECT_EQ(Format(Value(1e38)), "1e+38");
    EXPECT_EQ(Format(Value(-2.5e300)), "-2.5e+300");
    EXPECT_EQ(Format(Value(123456789.0)), "123456789");
    EXPECT_EQ(Format(Value(5.31652058774973e16)), "5.31652058774973e+16");
    EXPECT_EQ(Format(Value(5e-324)), "5e-324");
    EXPECT_EQ(Format(Value(-0.00012)), "-0.00012");
    EXPECT_EQ(Format(Value(1.5e-5)), "1.5e-05");
    EXPECT_EQ(Format(Value(1234.5)), "1234.5");
    EXPECT_EQ(Format(Value(1e16)), "1e+16");
    EXPECT_EQ(Format(Value(NAN)), "null");
    EXPECT_EQ(Format(Value(INFINITY)), "null");
    EXPECT_EQ(Format(Value(-INFINITY)), "null");
    CLU_List list;
    list.Append(NAN);
    list.Append(1.0);
    EXPECT_EQ(Format(Value(list)), "[null,1]");
}

TEST(FormatJSONTest, ContainersKeepInsertionOrder) {
    CLU_Table t;
    t.Set("b", 1);
    t.Set("a", std::string("x"));
    CLU_List inner;
    inner.Append(true);
    inner.Append(CLU_Null);
    t.Set("l", inner);
    t.Set("e", CLU_Table());
    t.Set("z", CLU_List());
    EXPECT_EQ(Format(Value(t)), "{\"b\":1,\"a\":\"x\",\"l\":[true,null],\"e\":{},\"z\":[]}");
}

TEST(FormatJSONTest, BeautifiedLayoutIsYajls) {
    CLU_Table t;
    t.Set("b", 1);
    CLU_List l;
    l.Append(true);
    t.Set("l", l);
    t.Set("e", CLU_List());
    EXPECT_EQ(Format(Value(t), true),
              "{\n    \"b\": 1,\n    \"l\": [\n        true\n    ],\n    \"e\": [\n\n    ]\n}\n");
    EXPECT_EQ(Format(Value(std::string("x")), true), "\"x\"\n");
}

// Past the generator's nesting limit the text stays well-formed.
TEST(FormatJSONTest, DeepValuesStayWellFormed) {
    CLU_List list;
    for (int i = 0; i < 200; ++i) {
        CLU_List outer;
        outer.Append(list);
        list = outer;
    }
    std::string text = Format(Value(list));
    EXPECT_NE(text.find("[null]"), std::string::npos);
    CLU_Entry back;
    std::string error;
    EXPECT_TRUE(Parse(text, &back, &error)) << error;
}

TEST(ParseJSONTest, ValuesAndTypes) {
    CLU_Entry root;
    ASSERT_TRUE(Parse("42", &root));
    EXPECT_EQ(root.GetType(), CLU_DECIMAL);
    EXPECT_EQ(root.fDecimal.ToString(), "42");

    ASSERT_TRUE(Parse("{\"a\":[1,true,null],\"s\":\"t\\u00e9\"}", &root));
    ASSERT_EQ(root.GetType(), CLU_TABLE);
    CLU_List* a = root.fTable.GetList("a");
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->Count(), 3u);
    EXPECT_EQ(a->GetType(0), CLU_DECIMAL);
    EXPECT_EQ(a->GetType(1), CLU_BOOL);
    EXPECT_EQ(a->GetType(2), CLU_NULL);
    EXPECT_EQ(root.fTable.GetString("s"), "t\xc3\xa9");
}

TEST(ParseJSONTest, CommentsRepeatedKeysAndBlobs) {
    CLU_Entry root;
    EXPECT_TRUE(Parse("/* lead */ [1, // one\n 2]", &root));
    EXPECT_EQ(Format(root), "[1,2]");
    root = CLU_Entry();
    ASSERT_TRUE(Parse("{\"k\":1,\"j\":0,\"k\":[2]}", &root));
    EXPECT_EQ(Format(root), "{\"k\":[2],\"j\":0}");
    root = CLU_Entry();
    CL_Blob blob("garbage[3]", 10, true);
    blob.Seek(0, CL_SEEK_SET);
    CL_Blob json("[3]", 3, true);
    EXPECT_TRUE(QPX::ParseJSON(json, &root, nullptr));
    EXPECT_EQ(Format(root), "[3]");
    EXPECT_TRUE(QPX::ParseJSON(&json, &root, nullptr));
    EXPECT_FALSE(QPX::ParseJSON(blob, &root, nullptr));
}

TEST(ParseJSONTest, RootThatHoldsAContainerReceivesTheValueInside) {
    CLU_Entry root;
    CLU_List list;
    list.Append(1);
    root.Set(list);
    ASSERT_TRUE(Parse("\"x\"", &root));
    EXPECT_EQ(root.fList.Count(), 2u);
    CLU_Table table;
    root.Set(table);
    ASSERT_TRUE(Parse("5", &root));
    EXPECT_TRUE(root.fTable.Exists(""));
}

struct BadCase {
    const char* fText;
    const char* fMessagePart;
};

class ParseFailureTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(ParseFailureTest, ReportsTheParsersMessage) {
    CLU_Entry root;
    std::string error;
    EXPECT_FALSE(Parse(GetParam().fText, &root, &error));
    EXPECT_NE(error.find(GetParam().fMessagePart), std::string::npos) << error;
    EXPECT_FALSE(Parse(GetParam().fText, &root, nullptr));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseFailureTest,
    ::testing::Values(BadCase{"{\"a\":1", "premature EOF"}, BadCase{"[1] x", "trailing garbage"},
                      BadCase{"[1,]", "parse error"}, BadCase{"\"\xff\"", "invalid bytes in UTF8"},
                      BadCase{"nul", "invalid string"}, BadCase{"", "premature EOF"},
                      BadCase{"1 2", "trailing garbage"},
                      BadCase{"1e999999999999999999999", "out of range"},
                      BadCase{"-1e100000", "out of range"},
                      BadCase{"1e-99999999999999999999999", "out of range"}));

TEST(ParseJSONTest, UnclosedObjectLeavesWhatWasRead) {
    CLU_Entry root;
    EXPECT_FALSE(Parse("{\"a\":1,\"b\":[2", &root));
    ASSERT_EQ(root.GetType(), CLU_TABLE);
    EXPECT_TRUE(root.fTable.Exists("a"));
}

// Numbers past 38 significant digits are rounded half up, not lost.
TEST(ParseJSONTest, LongNumbersRoundToThirtyEightDigits) {
    struct Case {
        const char* fIn;
        const char* fOut;
    };
    for (const Case& c : {Case{"123456789012345678901234567890123456789",
                               "123456789012345678901234567890123456790"},
                          Case{"99999999999999999999999999999999999999.5",
                               "100000000000000000000000000000000000000"},
                          Case{"-1.00000000000000000000000000000000000049",
                               "-1.0000000000000000000000000000000000005"},
                          Case{"-1.00000000000000000000000000000000000041",
                               "-1.0000000000000000000000000000000000004"},
                          Case{"0.000000000000000000000000000000000000000000012345",
                               "0.000000000000000000000000000000000000000000012345"},
                          Case{"1234567890123456789012345678901234567850e-2",
                               "12345678901234567890123456789012345679"},
                          Case{"1.5E+3", "1500"}, Case{"-0", "0"}, Case{"0e10", "0"}}) {
        CLU_Entry root;
        std::string error;
        ASSERT_TRUE(Parse(c.fIn, &root, &error)) << c.fIn << " " << error;
        EXPECT_EQ(Format(root), c.fOut) << c.fIn;
    }
}

TEST(ParseJSONTest, NestingIsBounded) {
    std::string ok(QPX_JSON_MAX_DEPTH, '['), deep(QPX_JSON_MAX_DEPTH + 1, '[');
    ok += std::string(QPX_JSON_MAX_DEPTH, ']');
    deep += std::string(QPX_JSON_MAX_DEPTH + 1, ']');
    CLU_Entry root;
    std::string error;
    EXPECT_TRUE(Parse(ok, &root, &error)) << error;
    EXPECT_EQ(Format(root), ok);
    EXPECT_FALSE(Parse(deep, &root, &error));
    EXPECT_NE(error.find("nesting"), std::string::npos);
}

// ---- Python's json as the oracle ------------------------------------------------------

class OracleTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/qpx_json_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        fDir = dir;
    }
    void TearDown() override { std::system(("rm -rf '" + fDir + "'").c_str()); }

    int Oracle(const std::string& args) {
        std::string cmd =
            std::string(ZELMO_PYTHON) + " " + ZELMO_TOOLS_DIR + "/json_oracle.py " + args;
        return std::system(cmd.c_str());
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static void Write(const std::string& path, const std::string& text) {
        std::ofstream out(path, std::ios::binary);
        out << text;
    }

    std::string fDir;
};

TEST_F(OracleTest, RandomDocumentsBothWays) {
    for (int seed : {1, 2, 3}) {
        std::string docs = fDir + "/docs", compact = fDir + "/compact", pretty = fDir + "/pretty";
        ASSERT_EQ(Oracle("generate 400 " + std::to_string(seed) + " " + docs), 0);
        std::string all = Read(docs), outCompact, outPretty;
        size_t start = 0, count = 0;
        while (start <= all.size()) {
            size_t end = all.find('\0', start);
            if (end == std::string::npos) end = all.size();
            CLU_Entry root;
            std::string error;
            std::string doc = all.substr(start, end - start);
            ASSERT_TRUE(Parse(doc, &root, &error)) << doc << "\n" << error;
            if (count++) {
                outCompact += '\0';
                outPretty += '\0';
            }
            outCompact += Format(root, false);
            outPretty += Format(root, true);
            start = end + 1;
        }
        Write(compact, outCompact);
        Write(pretty, outPretty);
        EXPECT_EQ(Oracle("check " + docs + " " + compact + " " + pretty), 0) << "seed " << seed;
    }
}

TEST_F(OracleTest, RandomDoublesAreShortestRoundTrip) {
    std::mt19937_64 rng(7);
    std::string lines;
    char hex[64];
    auto add = [&](double v) {
        snprintf(hex, sizeof(hex), "%a", v);
        lines += std::string(hex) + " " + Format(Value(v)) + "\n";
    };
    for (double v : {0.0, -0.0, 1e38, 1.7976931348623157e308, 5e-324, 0.1, 1.0 / 3, double(NAN),
                     double(INFINITY), -double(INFINITY)})
        add(v);
    for (int i = 0; i < 2000; ++i) {
        uint64_t bits = rng();
        double v;
        memcpy(&v, &bits, sizeof v);
        add(v);
    }
    std::string path = fDir + "/doubles";
    Write(path, lines);
    EXPECT_EQ(Oracle("doubles " + path), 0);
}

}  // namespace
