// Flattened value format: byte layouts of both versions, per-thread version choice,
// round trips, and reading truncated and hostile input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lumo/base/decnum/decnum.h"
#include "lumo/entry.h"
#include "support/flat_table.h"

namespace {

CL_Blob BlobOf(const std::vector<uint8>& bytes) {
    CL_Blob blob(bytes.data(), static_cast<uint32>(bytes.size()), true);
    blob.Rewind();
    return blob;
}

// Restores the thread's version when a test changes it.
struct VersionScope {
    explicit VersionScope(uint32 v) { CLU_Entry::SetFlattenedVersion(v); }
    ~VersionScope() { CLU_Entry::SetFlattenedVersion(2); }
};

}  // namespace

TEST(FlattenLayout, EmptyContainersAreFourZeroBytes) {
    EXPECT_EQ(FlatBytes(CLU_Table()), (std::vector<uint8>{0, 0, 0, 0}));
    EXPECT_EQ(FlatBytes(CLU_List()), (std::vector<uint8>{0, 0, 0, 0}));
}

TEST(FlattenLayout, TableWithOneIntegerVersion2) {
    CLU_Table t;
    t.Set("a", 1);
    EXPECT_EQ(FlatBytes(t),
              (std::vector<uint8>{1, 0, 0, 0, 0x61, 0, 0x69, 1, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(FlattenLayout, KeysInAscendingByteOrder) {
    CLU_Table t;
    t.Set("b", CLU_Null)
        .Set("a", CLU_Null)
        .Set("B", CLU_Null)
        .Set("ab", CLU_Null)
        .Set("\xC3", CLU_Null);
    std::vector<uint8> want{5,   0,   0, 0,   'B', 0, 'N', 'a',  0, 'N',
                            'a', 'b', 0, 'N', 'b', 0, 'N', 0xC3, 0, 'N'};
    EXPECT_EQ(FlatBytes(t), want);
    // Insertion order is still what iteration gives.
    CLU_Table::iterator it = t.begin();
    EXPECT_EQ(it.key(), "b");
}

TEST(FlattenLayout, ScalarsInBothVersions) {
    CLU_Entry text;
    text.Set("abc");
    CLU_Entry null;
    CLU_Entry yes;
    yes.Set(true);
    std::vector<uint8> textBytes{0x73, 3, 0, 0, 0, 'a', 'b', 'c'};
    EXPECT_EQ(FlatBytes(text), textBytes);
    EXPECT_EQ(FlatBytes(null), std::vector<uint8>{0x4E});
    EXPECT_EQ(FlatBytes(yes), (std::vector<uint8>{0x62, 0xFB}));
    VersionScope v1(1);
    EXPECT_EQ(FlatBytes(text), textBytes);
}

TEST(FlattenLayout, DateInVersions1And2) {
    CLU_Entry date;
    date.Set(CL_Date(210866803200000LL));
    EXPECT_EQ(FlatBytes(date),
              (std::vector<uint8>{0x45, 0x00, 0x50, 0xE6, 0x40, 0xC8, 0xBF, 0x00, 0x00}));
    std::vector<uint8> old;
    {
        VersionScope v1(1);
        old = FlatBytes(date);
    }
    EXPECT_EQ(old, (std::vector<uint8>{0x44, 0x00, 0x12, 0xA4, 0x18, 0x31, 0x00, 0x00, 0x00}));
    CL_Blob blob = BlobOf(old);
    CLU_Entry back;
    ASSERT_TRUE(back.Unflatten(blob));
    EXPECT_EQ(back, date);
}

TEST(FlattenLayout, Version1RoundsSecondsTowardZeroAndMillionthsDown) {
    VersionScope v1(1);
    CLU_Entry time;
    time.Set(CL_Time(1234));
    EXPECT_EQ(FlatBytes(time), (std::vector<uint8>{'H', 1, 0, 0, 0, 0, 0, 0, 0}));
    CL_Blob blob = BlobOf(FlatBytes(time));
    CLU_Entry back;
    ASSERT_TRUE(back.Unflatten(blob));
    EXPECT_EQ(back.fTime.ToRaw(), 1000);

    CLU_Entry dec;
    dec.Set(CL_Decimal(std::string("-1.2345678")));
    std::vector<uint8> bytes = FlatBytes(dec);
    ASSERT_EQ(bytes[0], 'd');
    int64 millionths;
    memcpy(&millionths, &bytes[1], 8);
    EXPECT_EQ(millionths, -1234568);  // floor
    CL_Blob decBlob = BlobOf(bytes);
    ASSERT_TRUE(back.Unflatten(decBlob));
    EXPECT_EQ(back.fDecimal.ToString(-1, false), "-1.234568");

    CLU_Entry ts;
    ts.Set(CL_TimeStamp(210866803201999LL));
    bytes = FlatBytes(ts);
    ASSERT_EQ(bytes[0], 't');
    int64 seconds;
    memcpy(&seconds, &bytes[1], 8);
    EXPECT_EQ(seconds, 210866803201LL);
}

TEST(FlattenLayout, SmallTableVersion1ByteForByte) {
    CLU_List dates;
    dates.Append(CL_Date(210866803200000LL));
    CLU_Table t;
    t.Set("t", CL_TimeStamp(210866803201999LL))
        .Set("l", dates)
        .Set("d", CL_Decimal(std::string("1.5")));
    VersionScope v1(1);
    std::vector<uint8> want{3,   0,    0,    0,    'd',  0,    'd',  0x60, 0xE3, 0x16, 0,
                            0,   0,    0,    0,    'l',  0,    'L',  1,    0,    0,    0,
                            'D', 0x00, 0x12, 0xA4, 0x18, 0x31, 0x00, 0x00, 0x00, 't',  0,
                            't', 0x01, 0x12, 0xA4, 0x18, 0x31, 0x00, 0x00, 0x00};
    EXPECT_EQ(FlatBytes(t), want);
}

TEST(FlattenLayout, DecimalVersion2IsFullTextWithNul) {
    CLU_Entry dec;
    dec.Set(CL_Decimal(std::string("12.50")));
    EXPECT_EQ(FlatBytes(dec), (std::vector<uint8>{'e', '1', '2', '.', '5', 0}));
}

TEST(FlattenVersion, PerThreadAndResetToTwo) {
    EXPECT_EQ(CLU_Entry::GetFlattenedVersion(), 2u);
    CLU_Entry::SetFlattenedVersion(1);
    uint32 other = 0;
    std::vector<uint8> otherBytes;
    std::thread t([&] {
        other = CLU_Entry::GetFlattenedVersion();
        CLU_Entry d;
        d.Set(CL_Date(210866803200000LL));
        otherBytes = FlatBytes(d);
    });
    t.join();
    EXPECT_EQ(other, 2u);
    EXPECT_EQ(otherBytes[0], 'E');
    EXPECT_EQ(CLU_Entry::GetFlattenedVersion(), 1u);
    EXPECT_EQ(CLU_Entry::SetFlattenedVersion(0), 1u);
    EXPECT_EQ(CLU_Entry::GetFlattenedVersion(), 2u);
    EXPECT_EQ(CLU_Entry::SetFlattenedVersion(2), 2u);
}

TEST(FlattenRoundTrip, NestedValuesBothVersions) {
    CLU_Table inner;
    inner.Set("x", 1.5).Set("y", CL_Blob(std::string("\x01\x02\x00", 3)));
    CLU_List list;
    list.Append(1).Append("two").Append(inner).Append(CLU_Null).Append(false);
    CLU_Table t;
    t.Set("list", list)
        .Set("int", static_cast<int64>(-5000000000LL))
        .Set("dec", CL_Decimal(std::string("-12345678901234567890.123456")))
        .Set("ts", CL_TimeStamp(212000000000123LL))
        .Set("date", CL_Date(212000000000000LL - 212000000000000LL % 86400000))
        .Set("time", CL_Time(3723004))
        .Set("text", std::string("a\0b", 3));
    for (uint32 version : {2u, 1u}) {
        VersionScope scope(version);
        CL_Blob blob;
        t.Flatten(blob);
        blob.Rewind();
        CLU_Table back;
        ASSERT_TRUE(back.Unflatten(blob));
        EXPECT_EQ(blob.Tell(), blob.GetSize());
        if (version == 2) {
            EXPECT_EQ(back, t);
        } else {
            EXPECT_EQ(back.GetInteger("int", 0), -5000000000LL);
            EXPECT_EQ(back.GetTime("time", CL_Time()).ToRaw(), 3723000);
            EXPECT_EQ(back.GetTimeStamp("ts", CL_TimeStamp()).ToRaw(), 212000000000000LL);
            EXPECT_EQ(back.GetString("text"), std::string("a\0b", 3));
        }
    }
}

TEST(FlattenRoundTrip, TrailingZeroDecimalBeyond38DigitsReadsBack) {
    std::string big = "1" + std::string(40, '0');
    std::vector<uint8> bytes{'e'};
    for (char c : big)
        bytes.push_back(static_cast<uint8>(c));
    bytes.push_back(0);
    CL_Blob blob = BlobOf(bytes);
    CLU_Entry e;
    ASSERT_TRUE(e.Unflatten(blob));
    ASSERT_EQ(e.fType, CLU_DECIMAL);
    EXPECT_EQ(e.fDecimal.Compare(CL_Decimal(std::string("1E+40"))), 0);
    EXPECT_EQ(e.fDecimal.ToString(-1, false), big);
}

TEST(FlattenRoundTrip, TextEndingInNulComesBackWhole) {
    CLU_Entry e;
    e.Set(std::string("a\0", 2));
    EXPECT_EQ(FlatBytes(e), (std::vector<uint8>{'s', 3, 0, 0, 0, 'a', 0, 0}));
    CL_Blob blob = BlobOf(FlatBytes(e));
    CLU_Entry back;
    ASSERT_TRUE(back.Unflatten(blob));
    EXPECT_EQ(back, e);
}

TEST(FlattenRoundTrip, KeyWithEmbeddedNulIsCutAndFramingHolds) {
    CLU_Table t;
    t.Set(std::string("k\0hidden", 8), 7).Set("z", 9);
    CL_Blob blob;
    t.Flatten(blob);
    blob.Rewind();
    CLU_Table back;
    ASSERT_TRUE(back.Unflatten(blob));
    EXPECT_EQ(back.Count(), 2u);
    EXPECT_EQ(back.GetInteger("k", 0), 7);
    EXPECT_EQ(back.GetInteger("z", 0), 9);
}

TEST(FlattenRead, ShortDataRules) {
    // Count 3, two integers: the third entry reads as NULL and the read succeeds.
    std::vector<uint8> bytes{3, 0, 0, 0, 'i', 1, 0, 0, 0, 0, 0, 0, 0, 'i', 2, 0, 0, 0, 0, 0, 0, 0};
    CL_Blob blob = BlobOf(bytes);
    CLU_List list;
    ASSERT_TRUE(list.Unflatten(blob));
    ASSERT_EQ(list.Count(), 3u);
    EXPECT_EQ(list.GetType(2), CLU_NULL);

    CL_Blob zero = BlobOf({0});
    CLU_Entry e;
    e.Set(5);
    EXPECT_TRUE(e.Unflatten(zero));
    EXPECT_EQ(e.fType, CLU_NULL);

    CL_Blob shortInt = BlobOf({'i', 1, 2});
    EXPECT_TRUE(e.Unflatten(shortInt));
    EXPECT_EQ(e.fType, CLU_INTEGER);
    EXPECT_EQ(e.fInteger, 0);
    EXPECT_EQ(shortInt.Tell(), 1u);

    // A table that runs out early: the missing key reads as empty, its value NULL.
    CL_Blob shortTable = BlobOf({2, 0, 0, 0, 'k', 0, 'i', 7, 0, 0, 0, 0, 0, 0, 0});
    CLU_Table table;
    ASSERT_TRUE(table.Unflatten(shortTable));
    EXPECT_EQ(table.Count(), 2u);
    EXPECT_EQ(table.GetInteger("k", 0), 7);
    EXPECT_TRUE(table.Exists(""));
    EXPECT_EQ(table.GetType(""), CLU_NULL);

    CL_Blob nulText = BlobOf({'s', 2, 0, 0, 0, 'a', 0});
    EXPECT_TRUE(e.Unflatten(nulText));
    EXPECT_EQ(e.fString, "a");
}

TEST(FlattenRead, UnknownTagFailsAndListKeepsNull) {
    CL_Blob blob = BlobOf({2, 0, 0, 0, 'i', 1, 0, 0, 0, 0, 0, 0, 0, 'x', 'N'});
    CLU_List list;
    EXPECT_FALSE(list.Unflatten(blob));
    ASSERT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.GetType(1), CLU_NULL);
    CL_Blob single = BlobOf({'x'});
    CLU_Entry e;
    EXPECT_FALSE(e.Unflatten(single));
    EXPECT_EQ(e.fType, CLU_NULL);
}

TEST(FlattenRead, HostileCountsAndLengthsFailCleanly) {
    CLU_List list;
    CLU_Table table;
    CLU_Entry e;
    CL_Blob negative = BlobOf({0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_FALSE(list.Unflatten(negative));
    CL_Blob negativeTable = BlobOf({0x00, 0x00, 0x00, 0x80});
    EXPECT_FALSE(table.Unflatten(negativeTable));
    CL_Blob huge = BlobOf({0xFF, 0xFF, 0xFF, 0x7F, 'N', 'N'});
    EXPECT_FALSE(list.Unflatten(huge));
    CL_Blob hugeTable = BlobOf({0x00, 0x00, 0x00, 0x10, 'k', 0, 'N'});
    EXPECT_FALSE(table.Unflatten(hugeTable));
    CL_Blob longText = BlobOf({'s', 0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b'});
    EXPECT_FALSE(e.Unflatten(longText));
    CL_Blob cutText = BlobOf({'s', 4, 0, 0, 0, 'a', 'b'});
    EXPECT_FALSE(e.Unflatten(cutText));
    CL_Blob longBlob = BlobOf({'B', 9, 0, 0, 0, 1, 2});
    EXPECT_FALSE(e.Unflatten(longBlob));
    EXPECT_EQ(longBlob.Tell(), 5u);
}

TEST(FlattenRead, DeepNestingIsRefused) {
    std::vector<uint8> bytes;
    for (int i = 0; i < 100000; i++) {
        bytes.push_back('L');
        bytes.insert(bytes.end(), {1, 0, 0, 0});
    }
    bytes.push_back('N');
    CL_Blob blob = BlobOf(bytes);
    CLU_Entry e;
    EXPECT_FALSE(e.Unflatten(blob));

    // A few hundred levels less than the limit read fine.
    std::vector<uint8> ok;
    for (int i = 0; i < 200; i++) {
        ok.push_back('T');
        ok.insert(ok.end(), {1, 0, 0, 0, 'k', 0});
    }
    ok.push_back('i');
    ok.insert(ok.end(), 8, 0);
    CL_Blob okBlob = BlobOf(ok);
    EXPECT_TRUE(e.Unflatten(okBlob));
    EXPECT_EQ(okBlob.Tell(), okBlob.GetSize());
}

namespace {

// `levels` lists and tables nested inside each other (alternating, a list outermost),
// an integer inside.
CLU_Entry Nested(int levels) {
    CLU_Entry e;
    e.Set(7);
    for (int i = 0; i < levels; i++) {
        CLU_Entry outer;
        if ((levels - 1 - i) % 2) {
            CLU_Table t;
            t.Set("k", e);
            outer.Set(t);
        } else {
            CLU_List l;
            l.Append(e);
            outer.Set(l);
        }
        e = std::move(outer);
    }
    return e;
}

}  // namespace

// Writers and readers share one limit: what is written reads back, and a value one
// level deeper is refused by both, the writer leaving the blob untouched.
TEST(FlattenNesting, WriterAndReaderAgreeOnTheLimit) {
    for (int levels : {CLU_MAX_FLATTEN_DEPTH - 1, CLU_MAX_FLATTEN_DEPTH}) {
        SCOPED_TRACE(levels);
        CLU_Entry value = Nested(levels);
        CL_Blob blob;
        value.Flatten(blob);
        ASSERT_GT(blob.GetSize(), 0u);
        blob.Rewind();
        CLU_Entry back;
        EXPECT_TRUE(back.Unflatten(blob));
        EXPECT_TRUE(back == value);

        // The outermost list on its own is the first level too.
        CL_Blob listBlob;
        value.fList.Flatten(listBlob);
        std::vector<uint8> whole = Bytes(blob);
        EXPECT_EQ(Bytes(listBlob), std::vector<uint8>(whole.begin() + 1, whole.end()));
        listBlob.Rewind();
        CLU_List list;
        EXPECT_TRUE(list.Unflatten(listBlob));
    }

    CLU_Entry deep = Nested(CLU_MAX_FLATTEN_DEPTH + 1);
    for (int version : {1, 2}) {
        SCOPED_TRACE(version);
        uint32 old = CLU_Entry::SetFlattenedVersion(version);
        CL_Blob blob = BlobOf({1, 2, 3});
        blob.Seek(0, CL_SEEK_END);
        deep.Flatten(blob);
        EXPECT_EQ(Bytes(blob), std::vector<uint8>({1, 2, 3}));
        EXPECT_EQ(blob.Tell(), 3u);
        // Written over existing bytes: size and position stay.
        blob.Seek(1, CL_SEEK_SET);
        deep.Flatten(blob);
        EXPECT_EQ(blob.GetSize(), 3u);
        EXPECT_EQ(blob.Tell(), 1u);
        CL_Blob listBlob;
        deep.fList.Flatten(listBlob);
        EXPECT_EQ(listBlob.GetSize(), 0u);
        CLU_Entry::SetFlattenedVersion(old);
    }

    // A table says whether it went out. It is the first level itself: a chain of
    // 255 levels inside it goes whole, one of 256 is refused.
    for (int inside : {CLU_MAX_FLATTEN_DEPTH - 1, CLU_MAX_FLATTEN_DEPTH}) {
        SCOPED_TRACE(inside);
        CLU_Table table;
        table.Set("deep", Nested(inside));
        CL_Blob blob = BlobOf({1, 2, 3});
        blob.Seek(0, CL_SEEK_END);
        const bool whole = table.TryFlatten(blob);
        EXPECT_EQ(whole, inside < CLU_MAX_FLATTEN_DEPTH);
        EXPECT_EQ(blob.GetSize() > 3, whole);
        EXPECT_EQ(blob.Tell(), blob.GetSize());
    }

    // The same value written by hand, one level past the limit, is refused on reading.
    CL_Blob limit;
    Nested(CLU_MAX_FLATTEN_DEPTH).Flatten(limit);
    std::vector<uint8> bytes = Bytes(limit);
    std::vector<uint8> deeper{'L', 1, 0, 0, 0};
    deeper.insert(deeper.end(), bytes.begin(), bytes.end());
    CL_Blob deeperBlob = BlobOf(deeper);
    CLU_Entry e;
    EXPECT_FALSE(e.Unflatten(deeperBlob));
}

TEST(FlattenRead, DuplicateKeysKeepFirstPlaceAndLaterValue) {
    CL_Blob blob = BlobOf({3,   0, 0,   0,   'b', 0,   'i', 1, 0, 0, 0, 0, 0, 0, 0,
                           'a', 0, 'N', 'b', 0,   'i', 2,   0, 0, 0, 0, 0, 0, 0});
    CLU_Table t;
    ASSERT_TRUE(t.Unflatten(blob));
    EXPECT_EQ(t.Count(), 2u);
    EXPECT_EQ(t.begin().key(), "b");
    EXPECT_EQ(t.GetInteger("b", 0), 2);
}

TEST(FlattenRead, ReadingIntoSharedListLeavesCopyAlone) {
    CLU_List list;
    list.Append(1);
    CLU_List copy(list);
    CL_Blob blob = BlobOf({1, 0, 0, 0, 'N'});
    ASSERT_TRUE(list.Unflatten(blob));
    EXPECT_EQ(list.GetType(0), CLU_NULL);
    EXPECT_EQ(copy.GetType(0), CLU_INTEGER);
}

// ---- Direct decimal texts and long lists ---------------------------------------

namespace {

// Same kind, sign, coefficient and exponent: equal values with other exponents
// (1.5 and 1.50) would print alike and hide a difference.
bool SameNumber(const CL_Decimal& a, const CL_Decimal& b) {
    decnum::Number x = a.GetNumber(), y = b.GetNumber();
    return x.kind == y.kind && x.neg == y.neg && x.coef == y.coef && x.exp == y.exp;
}

std::vector<uint8> DecimalPayload(const std::string& text) {
    // Built with its size known: g++ 12 misreads an insert into a one-byte vector.
    std::vector<uint8> bytes(text.size() + 2, 0);
    bytes[0] = 'e';
    memcpy(bytes.data() + 1, text.data(), text.size());
    return bytes;
}

std::vector<uint8> ListOfIntegers(uint32 count, uint32 present) {
    std::vector<uint8> bytes(4);
    memcpy(bytes.data(), &count, 4);
    for (uint32 i = 0; i < present; i++) {
        bytes.push_back('i');
        int64 v = i;
        bytes.insert(bytes.end(), reinterpret_cast<uint8*>(&v), reinterpret_cast<uint8*>(&v) + 8);
    }
    return bytes;
}

}  // namespace

TEST(FlattenDecimal, TextsReadAsTheTextConstructorReadsThem) {
    const char* texts[] = {
        "0",
        "-0",
        "0.000",
        "-0.0",
        "7",
        "-7",
        "007.50",
        "12.5",
        "-12.50",
        "100",
        "1000000",
        "0.001",
        "-0.0000000001",
        "9999999999999999999",
        "-9999999999999999999",
        "18446744073709551616",
        "99999999999999999999.5",
        "1234567890.123456789",
        "123456789012345678901234567890",
        "1E+5",
        "1e-3",
        ".5",
        "5.",
        "+5",
        "1,5",
        "1.2.3",
        "--1",
        "-",
        "",
        "12a",
        " 1",
        "1 ",
        "0.1000000000000000000000000000000000000000001",
    };
    for (const char* text : texts) {
        CL_Blob blob = BlobOf(DecimalPayload(text));
        CLU_Entry e;
        ASSERT_TRUE(e.Unflatten(blob)) << text;
        ASSERT_EQ(e.fType, CLU_DECIMAL) << text;
        EXPECT_TRUE(SameNumber(e.fDecimal, CL_Decimal(std::string(text)))) << text;
        EXPECT_EQ(blob.Tell(), blob.GetSize()) << text;
    }
}

TEST(FlattenDecimal, WrittenTextIsThePrintedText) {
    std::vector<CL_Decimal> values;
    for (const char* text :
         {"0", "-0", "12.50", "-0.001", "1E+20", "1E+21", "123E+18", "1E-40", "-1E-41", "5E-39",
          "18446744073709551615", "18446744073709551616", "-12345678901234567890.5", "1E+40",
          "0.00000000000000000000000000000000000001"})
        values.push_back(CL_Decimal(std::string(text)));
    values.push_back(CL_Decimal(1500000LL));  // millionths: 1.500000, not reduced
    values.push_back(CL_Decimal(-1LL));       // -0.000001
    values.push_back(CL_Decimal(0LL));        // zero with exponent -6
    CL_Decimal product(std::string("1.10"));
    product *= CL_Decimal(std::string("-3.000"));
    values.push_back(product);
    for (const CL_Decimal& d : values) {
        CLU_Entry e;
        e.Set(d);
        std::string text = d.ToString(-1, false);
        std::vector<uint8> want = DecimalPayload(text);
        EXPECT_EQ(FlatBytes(e), want) << text;
        CL_Blob blob = BlobOf(want);
        CLU_Entry back;
        ASSERT_TRUE(back.Unflatten(blob));
        EXPECT_EQ(back.fDecimal.Compare(d), 0) << text;
    }
}

TEST(FlattenLongList, ReadsWholeShortAndFailingLists) {
    // Longer than the lists read straight into their array (64 items).
    const uint32 n = 64 * 3 + 1;
    CL_Blob whole = BlobOf(ListOfIntegers(n, n));
    CLU_List list;
    list.Append("old");
    ASSERT_TRUE(list.Unflatten(whole));
    ASSERT_EQ(list.Count(), n);
    EXPECT_EQ(list.GetInteger(0), 0);
    EXPECT_EQ(list.GetInteger(static_cast<int32>(n - 1)), static_cast<int64>(n - 1));
    EXPECT_EQ(whole.Tell(), whole.GetSize());

    // Running out early: the rest reads as NULL and the read succeeds.
    std::vector<uint8> bytes = ListOfIntegers(n, 10);
    bytes.resize(bytes.size() + n);  // room for the count check, read as NULL tags
    CL_Blob cut = BlobOf(bytes);
    ASSERT_TRUE(list.Unflatten(cut));
    ASSERT_EQ(list.Count(), n);
    EXPECT_EQ(list.GetType(10), CLU_NULL);

    // An unknown tag: the items so far and the failed one stay.
    bytes = ListOfIntegers(n, 100);
    bytes.push_back('x');
    bytes.resize(bytes.size() + n, 'N');
    CL_Blob bad = BlobOf(bytes);
    EXPECT_FALSE(list.Unflatten(bad));
    ASSERT_EQ(list.Count(), 101u);
    EXPECT_EQ(list.GetInteger(99), 99);
    EXPECT_EQ(list.GetType(100), CLU_NULL);
}

TEST(FlattenLongList, NestedLongListsRoundTripAndFree) {
    // Long lists inside long lists share the reader's and the destructor's stack.
    CLU_List outer;
    for (int i = 0; i < 150; i++) {
        CLU_List inner;
        for (int j = 0; j < 70 + i % 3; j++)
            inner.Append(i * 1000 + j);
        CLU_Table row;
        row.Set("inner", inner).Set("n", i);
        outer.Append(i % 2 ? CLU_Entry().Set(inner) : CLU_Entry().Set(row));
    }
    CL_Blob blob;
    outer.Flatten(blob);
    blob.Rewind();
    {
        CLU_List back;
        ASSERT_TRUE(back.Unflatten(blob));
        EXPECT_EQ(back, outer);
        CLU_List shared(back);
        back.Clear();
        EXPECT_EQ(shared, outer);
    }
    // The same on a thread of its own, which ends with its stack in use before.
    std::thread([&] {
        CL_Blob copy(blob);
        copy.Rewind();
        CLU_List back;
        EXPECT_TRUE(back.Unflatten(copy));
        EXPECT_EQ(back.Count(), outer.Count());
    }).join();
}

// A time read with a negative count keeps its remainder of one day, so it is written
// back as it came.
TEST(FlattenRead, NegativeTimesKeepTheirRemainder) {
    const struct {
        std::vector<uint8> bytes;
        int raw;
    } cases[] = {
        {{'I', 0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, -5},
        {{'H', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, -1000},
        {{'I', 0x05, 0x5C, 0x26, 0x05, 0, 0, 0, 0}, 5},  // one day and 5 ms
    };
    for (const auto& c : cases) {
        CL_Blob blob = BlobOf(c.bytes);
        CLU_Entry e;
        ASSERT_TRUE(e.Unflatten(blob));
        ASSERT_EQ(e.fType, CLU_TIME);
        EXPECT_EQ(e.fTime.ToRaw(), c.raw);
        CL_Blob again;
        e.Flatten(again);
        CL_Blob back = again;
        back.Rewind();
        CLU_Entry e2;
        ASSERT_TRUE(e2.Unflatten(back));
        EXPECT_EQ(e2.fTime.ToRaw(), c.raw);
    }
}

// ---- Lists read into one block and the entry cache ------------------------------

namespace {

CLU_List RowOf(int64 seed) {
    CLU_List row;
    row.Append(seed).Append(std::string("name ") + std::to_string(seed)).Append(seed * 0.5);
    row.Append(CL_Decimal("12.5")).Append(true).Append(std::string(40, 'x'));
    CLU_List tags;
    tags.Append(seed % 3).Append(seed % 5).Append(seed % 7);
    row.Append(tags);
    return row;
}

// Short lists read their items into the block of their storage; every way of using
// the list afterwards must behave as with a list built by appends.
TEST(FlattenShortList, ListsReadIntoOneBlockBehaveLikeBuiltOnes) {
    for (uint32 count : {4u, 5u, 8u, 9u, 64u}) {
        CLU_List built;
        for (uint32 i = 0; i < count; i++)
            built.Append(RowOf(i));
        CL_Blob blob;
        built.Flatten(blob);
        blob.Rewind();
        CLU_List read;
        ASSERT_TRUE(read.Unflatten(blob));
        ASSERT_TRUE(read == built) << count;

        // A copy shares, then parts on the first change; growth past the block's room.
        CLU_List copy(read);
        for (uint32 i = 0; i < 30; i++)
            copy.Append(static_cast<int64>(i));
        EXPECT_EQ(copy.Count(), count + 30);
        EXPECT_TRUE(read == built);
        for (uint32 i = 0; i < 30; i++)
            read.Append(static_cast<int64>(i));
        EXPECT_TRUE(read == copy);
        read.Remove(0);
        EXPECT_EQ(read.Count(), count + 29);
        read.Shrink();
        EXPECT_EQ(read.GetInteger(static_cast<int32>(read.Count()) - 1), 29);

        // Reading again into a list whose storage another handle shares.
        CLU_List shared(read);
        blob.Rewind();
        ASSERT_TRUE(read.Unflatten(blob));
        EXPECT_TRUE(read == built);
        EXPECT_EQ(shared.Count(), count + 29);
    }
}

// Entries a thread frees are handed out again, also past the old bound of 65536, and
// a released cache gives its blocks back.
TEST(EntryCache, FreedEntriesAreReusedByTheSameThread) {
    std::thread([] {
        constexpr uint32 kCount = 120000;
        std::vector<CLU_Entry*> first(kCount);
        for (auto& e : first)
            e = CLU_Entry::Allocate(CLU_INTEGER);
        std::vector<const void*> addresses(first.begin(), first.end());
        std::sort(addresses.begin(), addresses.end());
        for (auto* e : first)
            CLU_Entry::Deallocate(e);
        uint32 reused = 0;
        std::vector<CLU_Entry*> second(kCount);
        for (auto& e : second) {
            e = CLU_Entry::Allocate(CLU_TEXT);
            reused += std::binary_search(addresses.begin(), addresses.end(), e) ? 1 : 0;
            EXPECT_EQ(e->GetType(), CLU_TEXT);
        }
        EXPECT_EQ(reused, kCount);
        // An entry handed out by the cache is an ordinary heap block: delete works.
        delete second.back();
        second.pop_back();
        for (auto* e : second)
            CLU_Entry::Deallocate(e);
        CLU_Entry::ClearFreeList();
    }).join();
}

}  // namespace
