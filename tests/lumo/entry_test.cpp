// Dynamic values: setters, the conversion matrix grouped by source type, keyed and
// indexed access, comparison, checksums and replacing a value from inside itself.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "lumo/entry.h"

namespace {

constexpr int64 kEpoch = 210866803200000LL;
constexpr int64 kDay = 86400000LL;

CLU_Entry Text(const std::string& s) {
    CLU_Entry e;
    e.Set(s);
    return e;
}

template <class T>
CLU_Entry Make(T value) {
    CLU_Entry e;
    e.Set(value);
    return e;
}

CL_Decimal Dec(const char* text) {
    return CL_Decimal(std::string(text));
}

}  // namespace

TEST(EntrySet, IntegerWidthsAndNullText) {
    EXPECT_EQ(Make(static_cast<signed char>(-1)).fInteger, -1);
    EXPECT_EQ(Make(static_cast<unsigned char>(255)).fInteger, 255);
    EXPECT_EQ(Make(0xFFFFFFFFu).fInteger, 4294967295LL);
    EXPECT_EQ(Make(0xFFFFFFFFFFFFFFFFull).fInteger, -1);
    EXPECT_EQ(Make(static_cast<int64>(-7)).fType, CLU_INTEGER);
    CLU_Entry e;
    e.Set(static_cast<const char*>(nullptr));
    EXPECT_EQ(e.fType, CLU_TEXT);
    EXPECT_EQ(e.fString, "");
}

TEST(EntrySet, InitialValuesByType) {
    EXPECT_EQ(CLU_Entry(CLU_DATE).fDate.ToRaw(), kEpoch);
    EXPECT_EQ(CLU_Entry(CLU_TIMESTAMP).fTimeStamp.ToRaw(), kEpoch);
    EXPECT_EQ(CLU_Entry(CLU_TIME).fTime.ToRaw(), 0);
    EXPECT_TRUE(CLU_Entry(CLU_LIST).IsEmpty());
    EXPECT_EQ(CLU_Entry(static_cast<CLU_Type>('x')).fType, CLU_NULL);
}

TEST(EntrySet, MoveLeavesNull) {
    CLU_Entry a = Text("abc");
    CLU_Entry b(std::move(a));
    EXPECT_EQ(a.fType, CLU_NULL);
    EXPECT_EQ(b.fString, "abc");
}

TEST(EntrySet, ReplaceWithValueFromInsideItself) {
    CLU_List inner;
    inner.Append("deep");
    CLU_List outer;
    outer.Append(inner).Append(2);
    CLU_Entry e;
    e.Set(outer);
    e = *e.Get(0);  // the list held at index 0 of e itself
    ASSERT_EQ(e.fType, CLU_LIST);
    EXPECT_EQ(e.fList.GetString(0), "deep");

    CLU_Entry t;
    t.Set("k", "v");
    t.Set(*t.Get("k"));
    EXPECT_EQ(t.fType, CLU_TEXT);
    EXPECT_EQ(t.fString, "v");

    CLU_Entry m = Text("x");
    m = std::move(*const_cast<CLU_Entry*>(&m));
    EXPECT_EQ(m.fString, "x");
}

TEST(EntrySet, KeyedSetAndCompareWithValueFromInsideTheConvertedValue) {
    // The entry becomes a table first; the value given lives in what it was.
    const std::string longText(100, 'x');
    CLU_Entry text = Text(longText);
    text.Set("k", text.fString);
    ASSERT_EQ(text.fType, CLU_TABLE);
    EXPECT_EQ(text.fTable.GetString("text"), longText);
    EXPECT_EQ(text.fTable.GetString("k"), longText);

    CLU_List inner;
    inner.Append(std::string(50, 'y'));
    CLU_Entry pairs;
    {
        CLU_List list;  // the entry holds the only reference once this goes
        list.Append("a").Append(inner);
        pairs.Set(list);
    }
    pairs.Set("copy", *pairs.Get(1));
    ASSERT_EQ(pairs.fType, CLU_TABLE);
    EXPECT_EQ(pairs.fTable.Count(), 2u);
    ASSERT_NE(pairs.fTable.GetList("copy"), nullptr);
    EXPECT_EQ(*pairs.fTable.GetList("copy"), inner);
    EXPECT_EQ(*pairs.fTable.GetList("a"), inner);

    // Comparing with a blob held inside the table that is converted away.
    CLU_Entry holder;
    {
        CLU_Table table;
        table.Set("b", CL_Blob(std::string(40, 'z')));
        holder.Set(table);
    }
    CL_Blob* blob = holder.GetBlob("b", nullptr);
    ASSERT_NE(blob, nullptr);
    EXPECT_FALSE(holder == *blob);
    EXPECT_EQ(holder.fType, CLU_BLOB);
}

TEST(EntryConvert, FromText) {
    CLU_Entry e = Text("12abc");
    EXPECT_TRUE(e.Convert(CLU_INTEGER, false));
    EXPECT_EQ(e.fInteger, 12);

    e = Text("abc");
    EXPECT_FALSE(e.Convert(CLU_INTEGER, false));
    EXPECT_EQ(e.fType, CLU_TEXT);
    EXPECT_EQ(e.fString, "abc");
    EXPECT_FALSE(e.Convert(CLU_INTEGER, true));
    EXPECT_EQ(e.fType, CLU_INTEGER);
    EXPECT_EQ(e.fInteger, 0);

    e = Text("1.5");
    EXPECT_TRUE(e.Convert(CLU_FLOAT, false));
    EXPECT_EQ(e.fFloat, 1.5);
    e = Text("1.5x");
    EXPECT_FALSE(e.Convert(CLU_FLOAT, false));
    EXPECT_EQ(e.fString, "1.5x");
    EXPECT_FALSE(e.Convert(CLU_FLOAT, true));
    EXPECT_EQ(e.fFloat, 0.0);

    for (const char* yes : {"YES", "On", "1", "t", "y", "TRUE"}) {
        e = Text(yes);
        EXPECT_TRUE(e.Convert(CLU_BOOL, false));
        EXPECT_TRUE(e.fBool) << yes;
    }
    for (const char* no : {"no", "0", "", "2"}) {
        e = Text(no);
        EXPECT_TRUE(e.Convert(CLU_BOOL, false));
        EXPECT_FALSE(e.fBool) << no;
    }

    e = Text("2024-03-05");
    e.Convert(CLU_TIMESTAMP, true);
    EXPECT_EQ(e.fTimeStamp.ToString(CL_DATE_ISO_FORMAT), "2024-03-05");
    e = Text("bad date");
    e.Convert(CLU_DATE, true);
    EXPECT_EQ(e.fDate.ToRaw(), 0);
    e = Text("\xFF\xFE");  // not UTF-8: unparsable
    e.Convert(CLU_TIME, true);
    EXPECT_EQ(e.fTime.ToRaw(), -1);
    e = Text("abc");
    e.Convert(CLU_BLOB, true);
    EXPECT_EQ(e.fBlob.GetSize(), 3u);
    EXPECT_EQ(e.fBlob.Tell(), 0u);
    EXPECT_FALSE(Text("abc").Convert(static_cast<CLU_Type>('x'), true));
}

TEST(EntryConvert, FromIntegerExactIn64Bits) {
    CLU_Entry e = Make(static_cast<int64>(4294967296LL));
    e.Convert(CLU_DECIMAL, true);
    EXPECT_EQ(e.fDecimal.ToString(-1, false), "4294967296");
    e = Make(-1);
    e.Convert(CLU_DECIMAL, true);
    EXPECT_EQ(e.fDecimal.ToString(-1, false), "-1");
    e = Make(42);
    e.Convert(CLU_BLOB, true);
    ASSERT_EQ(e.fBlob.GetSize(), 8u);
    EXPECT_EQ(e.fBlob.GetDataForRead()[0], 0x2A);
    e = Make(kEpoch + 3723000);
    e.Convert(CLU_TIME, true);
    EXPECT_EQ(e.fTime.ToRaw(), 3723000);
    e = Make(kEpoch + 3723000);
    e.Convert(CLU_DATE, true);
    EXPECT_EQ(e.fDate.ToRaw(), kEpoch);
    e = Make(7);
    e.Set("k", 1);
    EXPECT_EQ(e.fType, CLU_TABLE);
    EXPECT_EQ(e.fTable.GetInteger("integer", 0), 7);
    EXPECT_EQ(e.fTable.GetInteger("k", 0), 1);
    e = Make(static_cast<int64>(-123456789012LL));
    e.Convert(CLU_TEXT, true);
    EXPECT_EQ(e.fString, "-123456789012");
}

TEST(EntryConvert, FromDecimal) {
    CLU_Entry e = Make(Dec("86400"));
    e.Convert(CLU_DATE, true);
    EXPECT_EQ(e.fDate.ToRaw(), 210866889600000LL);
    e = Make(Dec("9999999999.9"));  // beyond 32 bits: exact, floored
    e.Convert(CLU_INTEGER, true);
    EXPECT_EQ(e.fInteger, 9999999999LL);
    e = Make(Dec("-1.5"));
    e.Convert(CLU_INTEGER, true);
    EXPECT_EQ(e.fInteger, -2);
    e = Make(Dec("1E+30"));
    e.Convert(CLU_INTEGER, true);
    EXPECT_EQ(e.fInteger, INT64_MAX);
    e = Make(Dec("4102444800"));  // 2100-01-01 in seconds
    e.Convert(CLU_TIMESTAMP, true);
    EXPECT_EQ(e.fTimeStamp.ToString(CL_DATE_ISO_FORMAT), "2100-01-01");
    e = Make(Dec("3723"));
    e.Convert(CLU_TIME, true);
    EXPECT_EQ(e.fTime.ToRaw(), 3723000);
    e = Make(Dec("1.25"));
    e.Convert(CLU_BLOB, true);
    EXPECT_EQ(e.fBlob.Raw(), std::string("1.25\0", 5));
}

TEST(EntryConvert, FromDatesAndTimes) {
    CLU_Entry e = Make(CL_Date(kEpoch + kDay));
    e.Convert(CLU_DECIMAL, true);
    EXPECT_EQ(e.fDecimal.ToString(-1, false), "86400");
    // After 2038 the seconds still fit: date -> decimal -> date is exact.
    CL_Date future(5, 6, 2200);
    e = Make(future);
    e.Convert(CLU_DECIMAL, true);
    e.Convert(CLU_DATE, true);
    EXPECT_EQ(e.fDate.ToRaw(), future.ToRaw());

    e = Make(CL_Time(3723000));
    e.Convert(CLU_DECIMAL, true);
    EXPECT_EQ(e.fDecimal.ToString(-1, false), "3723");
    e = Make(CL_Time(3723000));
    e.Convert(CLU_DATE, true);
    EXPECT_EQ(e.fDate.ToRaw(), 0);
    e = Make(CL_TimeStamp(kEpoch + 3723000));
    e.Convert(CLU_INTEGER, true);
    EXPECT_EQ(e.fInteger, 210866806923000LL);
    e = CLU_Entry();
    e.Convert(CLU_TIME, true);
    EXPECT_EQ(e.fTime.ToRaw(), -1);
    e = Make(true);
    e.Convert(CLU_DATE, true);
    EXPECT_EQ(e.fDate.ToRaw(), 0);
    e = Make(CL_Date(kEpoch));
    e.Convert(CLU_TABLE, true);
    e.Convert(CLU_DATE, true);
    EXPECT_EQ(e.fDate.ToRaw(), kEpoch);
}

TEST(EntryConvert, FromContainersAndBlobs) {
    CLU_Table t;
    t.Set("integer", 5);
    CLU_Entry e = Make(t);
    e.Convert(CLU_INTEGER, true);
    EXPECT_EQ(e.fInteger, 5);
    e = Make(CLU_Table());
    e.Convert(CLU_INTEGER, true);
    EXPECT_EQ(e.fInteger, 0);
    CLU_Table ts;
    ts.Set("timestamp", CL_TimeStamp(kEpoch + 5));
    e = Make(ts);
    e.Convert(CLU_TIMESTAMP, true);
    EXPECT_EQ(e.fTimeStamp.ToRaw(), kEpoch + 5);

    CLU_List pairs;
    pairs.Append("a").Append(1).Append("b").Append(2);
    e = Make(pairs);
    e.Convert(CLU_TABLE, true);
    EXPECT_EQ(e.fTable.Count(), 2u);
    EXPECT_EQ(e.fTable.GetInteger("b", 0), 2);
    CLU_List odd;
    odd.Append(1).Append("x").Append("last");
    e = Make(odd);
    e.Convert(CLU_TABLE, true);
    EXPECT_EQ(e.fTable.GetString("1"), "x");
    EXPECT_TRUE(e.fTable.Exists("last"));
    EXPECT_EQ(odd.GetType(0), CLU_INTEGER);  // the list itself is untouched

    CLU_Table ba;
    ba.Set("b", 2).Set("a", 1);
    e = Make(ba);
    e.Convert(CLU_LIST, true);
    ASSERT_EQ(e.fList.Count(), 4u);
    EXPECT_EQ(e.fList.GetString(0), "b");
    EXPECT_EQ(e.fList.GetInteger(1), 2);

    uint8 bytes[8] = {42, 0, 0, 0, 0, 0, 0, 0};
    CL_Blob blob(bytes, 8, true);  // positioned at its end
    e = Make(blob);
    e.Convert(CLU_INTEGER, true);
    EXPECT_EQ(e.fInteger, 42);
    e = Make(CL_Blob(bytes, 3, true));
    e.Convert(CLU_INTEGER, true);
    EXPECT_EQ(e.fInteger, 0);

    CLU_Table nested;
    nested.Set("x", "y");
    e = Make(nested);
    e.Convert(CLU_BLOB, true);
    e.Convert(CLU_TABLE, true);
    EXPECT_EQ(e.fTable, nested);

    e = Make(3.0);
    e.Convert(CLU_LIST, true);
    EXPECT_EQ(e.fList.Count(), 1u);
    EXPECT_EQ(e.fList.GetFloat(0), 3.0);
}

TEST(EntryConvert, FromFloat) {
    CLU_Entry e = Make(1e300);
    e.Convert(CLU_INTEGER, true);
    EXPECT_EQ(e.fInteger, INT64_MAX);
    e = Make(std::nan(""));
    e.Convert(CLU_INTEGER, true);
    EXPECT_EQ(e.fInteger, 0);
    e = Make(-2.7);
    e.Convert(CLU_INTEGER, true);
    EXPECT_EQ(e.fInteger, -2);
    e = Make(0.5);
    e.Convert(CLU_TEXT, true);
    EXPECT_EQ(e.fString, "0.5");
}

namespace {

// A copy of `e` converted with force; the source stays as it was.
CLU_Entry To(const CLU_Entry& e, CLU_Type type) {
    CLU_Entry copy(e);
    copy.Convert(type, true);
    EXPECT_EQ(copy.fType, type);
    return copy;
}

std::string Raw(const CLU_Entry& e) {
    return e.fType == CLU_BLOB ? e.fBlob.Raw() : std::string("<not a blob>");
}

std::string LittleEndian(int64 v) {
    std::string out;
    for (int i = 0; i < 8; i++)
        out += static_cast<char>(static_cast<uint64>(v) >> (8 * i));
    return out;
}

}  // namespace

TEST(EntryConvert, FromNull) {
    CLU_Entry null;
    EXPECT_FALSE(To(null, CLU_BOOL).fBool);
    EXPECT_EQ(To(null, CLU_INTEGER).fInteger, 0);
    EXPECT_EQ(To(null, CLU_FLOAT).fFloat, 0.0);
    EXPECT_EQ(To(null, CLU_DECIMAL).fDecimal.ToString(-1, false), "0");
    EXPECT_EQ(To(null, CLU_DATE).fDate.ToRaw(), 0);
    EXPECT_EQ(To(null, CLU_TIMESTAMP).fTimeStamp.ToRaw(), 0);
    EXPECT_EQ(To(null, CLU_TEXT).fString, "");
    EXPECT_EQ(To(null, CLU_BLOB).fBlob.GetSize(), 0u);
    EXPECT_EQ(To(null, CLU_LIST).fList.Count(), 0u);
    EXPECT_EQ(To(null, CLU_TABLE).fTable.Count(), 0u);
    EXPECT_TRUE(Make(5).Convert(CLU_NULL, false));
}

TEST(EntryConvert, FromBool) {
    CLU_Entry yes = Make(true), no = Make(false);
    EXPECT_EQ(To(yes, CLU_INTEGER).fInteger, 1);
    EXPECT_EQ(To(yes, CLU_FLOAT).fFloat, 1.0);
    EXPECT_EQ(To(yes, CLU_DECIMAL).fDecimal.ToString(-1, false), "1");
    EXPECT_EQ(To(yes, CLU_TIME).fTime.ToRaw(), -1);
    EXPECT_EQ(To(yes, CLU_TIMESTAMP).fTimeStamp.ToRaw(), 0);
    EXPECT_EQ(To(yes, CLU_TEXT).fString, "true");
    EXPECT_EQ(To(no, CLU_TEXT).fString, "false");
    CLU_Entry blob = To(yes, CLU_BLOB);
    EXPECT_EQ(Raw(blob), std::string("\x01", 1));
    EXPECT_EQ(blob.fBlob.Tell(), 1u);  // at its end
    EXPECT_EQ(To(no, CLU_BLOB).fBlob.GetSize(), 0u);
    EXPECT_TRUE(To(yes, CLU_LIST).fList.GetBool(0));
    EXPECT_TRUE(To(yes, CLU_TABLE).fTable.GetBool("boolean", false));
}

TEST(EntryConvert, ToTextAndBlob) {
    EXPECT_EQ(To(Make(CL_Date(29, 2, 2024)), CLU_TEXT).fString, "2024-02-29");
    EXPECT_EQ(To(Make(CL_Time(3723004)), CLU_TEXT).fString, "01:02:03.004");
    EXPECT_EQ(To(Make(CL_TimeStamp(31, 12, 1999, 23, 59, 58, 7)), CLU_TEXT).fString,
              "1999-12-31 23:59:58.007");
    EXPECT_EQ(To(Make(Dec("-12.50")), CLU_TEXT).fString, "-12.5");
    EXPECT_EQ(To(Make(1e21), CLU_TEXT).fString, "1e+21");

    EXPECT_EQ(Raw(To(Make(CL_Time(-1)), CLU_BLOB)), LittleEndian(-1));
    EXPECT_EQ(Raw(To(Make(CL_Date(kEpoch)), CLU_BLOB)), LittleEndian(kEpoch));
    EXPECT_EQ(Raw(To(Make(CL_TimeStamp(kEpoch + 5)), CLU_BLOB)), LittleEndian(kEpoch + 5));
    double d = 1.5;
    int64 bits;
    memcpy(&bits, &d, 8);
    CLU_Entry blob = To(Make(d), CLU_BLOB);
    EXPECT_EQ(Raw(blob), LittleEndian(bits));
    EXPECT_EQ(blob.fBlob.Tell(), 8u);
    CLU_List list;
    list.Append(1);
    CLU_Entry flat = To(Make(list), CLU_BLOB);
    EXPECT_EQ(Raw(flat), std::string("\x01\x00\x00\x00i\x01\0\0\0\0\0\0\0", 13));
}

TEST(EntryConvert, FromBlobReadsFromItsFirstByte) {
    double d = 1.5;
    int64 bits;
    memcpy(&bits, &d, 8);
    CL_Blob eight(LittleEndian(bits));  // positioned at its end
    CLU_Entry blob = Make(eight);
    EXPECT_EQ(To(blob, CLU_FLOAT).fFloat, 1.5);
    EXPECT_EQ(To(blob, CLU_INTEGER).fInteger, bits);
    EXPECT_EQ(To(blob, CLU_TIMESTAMP).fTimeStamp.ToRaw(), bits);
    EXPECT_EQ(To(blob, CLU_DATE).fDate.ToRaw(), bits / kDay * kDay);
    EXPECT_EQ(To(blob, CLU_TIME).fTime.ToRaw(), bits % kDay);
    EXPECT_TRUE(To(blob, CLU_BOOL).fBool);
    EXPECT_EQ(To(blob, CLU_TEXT).fString, LittleEndian(bits));
    EXPECT_FALSE(To(Make(CL_Blob()), CLU_BOOL).fBool);
    EXPECT_EQ(To(Make(CL_Blob(std::string("12.5"))), CLU_DECIMAL).fDecimal.ToString(-1, false),
              "12.5");

    // Lists and tables read the flattened form; a failed read still converts.
    CLU_Table table;
    table.Set("k", "v");
    CLU_Entry flat = To(Make(table), CLU_BLOB);
    EXPECT_EQ(To(flat, CLU_TABLE).fTable, table);
    CLU_Entry junk = Make(CL_Blob(std::string("\x01\x00\x00\x00x", 5)));
    EXPECT_TRUE(junk.Convert(CLU_LIST, false));
    EXPECT_EQ(junk.fList.Count(), 1u);
    EXPECT_EQ(junk.fList.GetType(0), CLU_NULL);
}

TEST(EntryAccess, IndexedAndKeyedOnOtherTypes) {
    CLU_Entry e = Make(5);
    EXPECT_EQ(e.GetInteger(0), 0);
    EXPECT_EQ(e.fType, CLU_INTEGER);
    EXPECT_EQ(e.GetInteger("k", 9), 9);
    EXPECT_TRUE(e.IsNull(0));
    EXPECT_TRUE(e.IsEmpty("k"));
    EXPECT_FALSE(e.Exists("k"));
    ASSERT_NE(e.Get(0), nullptr);  // becomes a list of one item
    EXPECT_EQ(e.fType, CLU_LIST);
    EXPECT_EQ(e.Get(3), nullptr);
}

TEST(EntryCompare, TypesAndContainment) {
    EXPECT_FALSE(Make(1) == Make(1.0));
    EXPECT_TRUE(CLU_Entry() == CLU_Entry());
    EXPECT_FALSE(Make(5) >= Make(3));
    EXPECT_TRUE(Make(Dec("1.5")) == Make(Dec("1.50")));
    EXPECT_FALSE(Make(std::nan("")) == Make(std::nan("")));
    // Texts compare whole: a shared prefix is not equality, whichever side is longer.
    EXPECT_TRUE(Text("ab") == Text("ab"));
    EXPECT_FALSE(Text("ab") == Text("abc"));
    EXPECT_FALSE(Text("abc") == Text("ab"));
    EXPECT_FALSE(Text("") == Text("a"));
    CLU_Table t;
    t.Set("integer", 4);
    CLU_Entry e = Make(4);
    EXPECT_TRUE(e == t);
    EXPECT_EQ(e.fType, CLU_TABLE);
}

TEST(EntryQuery, IsNumberAndEmpty) {
    for (const char* yes : {"0", "-5", "123", "9223372036854775807"})
        EXPECT_TRUE(Text(yes).IsNumber()) << yes;
    for (const char* no : {"012", "01", "00", "1.5", " 1", "+1", "", "-", "99999999999999999999"})
        EXPECT_FALSE(Text(no).IsNumber()) << no;
    EXPECT_TRUE(Make(Dec("1")).IsNumber());
    EXPECT_TRUE(CLU_Entry().IsEmpty());
    EXPECT_FALSE(Make(0).IsEmpty());
    EXPECT_TRUE(Make(CL_Blob()).IsEmpty());
}

TEST(EntryCheckSum, Folds) {
    EXPECT_EQ(Make(static_cast<int64>(0x0000000100000002LL)).CheckSum(), 3u);
    EXPECT_EQ(Make(CL_Time::Invalid()).CheckSum(), 0u);
    EXPECT_EQ(Text("abc").CheckSum(), 0x439C2F4Bu);
    EXPECT_EQ(Make(1.5).CheckSum(), 1500u);
    EXPECT_EQ(Make(-1.5).CheckSum(), 0u);
    EXPECT_EQ(Make(1e20).CheckSum(), 4294967295u);
    EXPECT_EQ(Make(true).CheckSum(), 1u);
    EXPECT_EQ(Make(CLU_List()).CheckSum(), 0u);
}

TEST(EntryMemory, Usage) {
    EXPECT_EQ(Make(1).GetMemoryUsage(), 40u);
    EXPECT_EQ(Text("short").GetMemoryUsage(), 55u);
    EXPECT_GE(Text(std::string(100, 'x')).GetMemoryUsage(), 140u);
}

namespace {

struct ConvertCase {
    const char* name;
    CLU_Entry source;
    CLU_Type target;
    CLU_Entry expected;
};

CLU_List ListOf(const CLU_Entry& first) {
    CLU_List list;
    list.Append(first);
    list.Append("second");
    return list;
}

CLU_Table TableOf(const std::string& key, const CLU_Entry& value) {
    CLU_Table table;
    table.Set(key, value);
    table.Set("other", 1);
    return table;
}

}  // namespace

// A list converts through its first item, a table through the key named after the
// target type; every scalar target reads its own key and falls back to its default.
TEST(EntryConvert, ContainersAndTextToEveryScalar) {
    const CLU_Entry ts = Make(CL_TimeStamp(kEpoch + 3 * kDay + 5));
    const CLU_Entry date = Make(CL_Date(kEpoch));
    const CLU_Entry time = Make(CL_Time(3723004));
    const CLU_Entry dec = Make(Dec("2.5"));
    const ConvertCase cases[] = {
        {"list bool", Make(ListOf(Make(true))), CLU_BOOL, Make(true)},
        {"list integer", Make(ListOf(Make(9))), CLU_INTEGER, Make(int64(9))},
        {"list float", Make(ListOf(Make(2.5))), CLU_FLOAT, Make(2.5)},
        {"list decimal", Make(ListOf(dec)), CLU_DECIMAL, dec},
        {"list date", Make(ListOf(date)), CLU_DATE, date},
        {"list time", Make(ListOf(time)), CLU_TIME, time},
        {"list timestamp", Make(ListOf(ts)), CLU_TIMESTAMP, ts},
        {"list text", Make(ListOf(Text("a"))), CLU_TEXT, Text("a")},
        {"table bool", Make(TableOf("boolean", Make(true))), CLU_BOOL, Make(true)},
        {"table float", Make(TableOf("float", Make(0.25))), CLU_FLOAT, Make(0.25)},
        {"table decimal", Make(TableOf("decimal", dec)), CLU_DECIMAL, dec},
        {"table date", Make(TableOf("date", date)), CLU_DATE, date},
        {"table time", Make(TableOf("time", time)), CLU_TIME, time},
        {"table text", Make(TableOf("text", Text("t"))), CLU_TEXT, Text("t")},
        {"table without time", Make(TableOf("x", time)), CLU_TIME, Make(CL_Time::Invalid())},
        {"table without date", Make(TableOf("x", date)), CLU_DATE, Make(CL_Date(0LL))},
        {"text yes", Text("YES"), CLU_BOOL, Make(true)},
        {"text on", Text("On"), CLU_BOOL, Make(true)},
        {"text t", Text("t"), CLU_BOOL, Make(true)},
        {"text no", Text("no"), CLU_BOOL, Make(false)},
        {"text 2", Text("2"), CLU_BOOL, Make(false)},
        {"text leading integer", Text("12abc"), CLU_INTEGER, Make(int64(12))},
        {"text empty integer", Text(""), CLU_INTEGER, Make(int64(0))},
        {"text empty float", Text(""), CLU_FLOAT, Make(0.0)},
        {"text exponent float", Text("1e3"), CLU_FLOAT, Make(1000.0)},
        {"text date", Text("2024-02-29"), CLU_DATE, Make(CL_Date(29, 2, 2024))},
        {"text bad date", Text("nope"), CLU_DATE, Make(CL_Date(0LL))},
        {"text time", Text("01:02:03.004"), CLU_TIME, time},
        {"text short timestamp", Text("1970-01-04"), CLU_TIMESTAMP,
         Make(CL_TimeStamp(kEpoch + 3 * kDay))},
        {"text timestamp", Text("1970-01-04 00:00:00.005"), CLU_TIMESTAMP, ts},
        {"timestamp date", ts, CLU_DATE, Make(CL_Date(kEpoch + 3 * kDay))},
        {"timestamp time", ts, CLU_TIME, Make(CL_Time(5))},
        {"timestamp decimal", ts, CLU_DECIMAL, Make(Dec("259200"))},
        {"time timestamp", time, CLU_TIMESTAMP, Make(CL_TimeStamp(3723004LL))},
        {"time decimal", time, CLU_DECIMAL, Make(Dec("3723"))},
        {"time float", time, CLU_FLOAT, Make(3723004.0)},
        {"date timestamp", date, CLU_TIMESTAMP, Make(CL_TimeStamp(kEpoch))},
        {"date time", date, CLU_TIME, Make(CL_Time::Invalid())},
        {"decimal time", Make(Dec("86401.7")), CLU_TIME, Make(CL_Time(1000))},
        {"decimal timestamp", Make(Dec("1.9")), CLU_TIMESTAMP, Make(CL_TimeStamp(kEpoch + 1000))},
        {"decimal bool", Make(Dec("0.000")), CLU_BOOL, Make(false)},
        {"float time", Make(kDay + 7.9), CLU_TIME, Make(CL_Time(7))},
        {"float date", Make(kDay * 2 + 7.9), CLU_DATE, Make(CL_Date(kDay * 2))},
        {"float decimal", Make(1.25), CLU_DECIMAL, Make(Dec("1.25"))},
        {"integer float", Make(-3), CLU_FLOAT, Make(-3.0)},
    };
    for (const ConvertCase& c : cases) {
        SCOPED_TRACE(c.name);
        CLU_Entry e(c.source);
        EXPECT_TRUE(e.Convert(c.target, false));
        EXPECT_EQ(e.fType, c.target);
        EXPECT_TRUE(e == c.expected) << e.Dump(0) << " vs " << c.expected.Dump(0);
    }
}
