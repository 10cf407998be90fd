// CL_Decimal rules that the differential test against Python cannot see: the 32-bit and
// millionth integer forms, failure values, the text limits and separators, printing.
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include <locale.h>

#include "lumo/decimal.h"
#include "lumo/base/decnum/decnum.h"
#include "lumo/locale_info.h"

namespace {

std::string S(const CL_Decimal& d) {
    return d.ToString(-1, false);
}

class DecimalTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { CL_Decimal::Init(); }
};

TEST_F(DecimalTest, ParsingAcceptsCommaAndReportsFailures) {
    EXPECT_EQ(S(CL_Decimal(std::string("1,5"))), "1.5");
    EXPECT_EQ(S(CL_Decimal(std::string("1.5"))), "1.5");
    EXPECT_EQ(S(CL_Decimal(std::string("-0.000120"))), "-0.00012");

    for (const char* bad : {"1.5.0", "abc", "", " 1", "1e", "--1"}) {
        CL_Decimal d(7);
        bool invalid = false, overflow = true;
        EXPECT_FALSE(d.FromString(bad, &invalid, &overflow)) << bad;
        EXPECT_TRUE(invalid) << bad;
        EXPECT_FALSE(overflow) << bad;
        EXPECT_EQ(S(d), "0") << bad;
    }
    // Too long, too many digits (even trailing zeros) or out of range: overflow too.
    for (const std::string& bad :
         {std::string(1025, '1'), std::string(39, '9'), "1" + std::string(38, '0'),
          std::string("1e-1000000000000000030"), std::string("1e1000000000000000000"),
          std::string("1e100000"), std::string("1e-100037")}) {
        CL_Decimal d(7);
        bool invalid = false, overflow = false;
        EXPECT_FALSE(d.FromString(bad, &invalid, &overflow));
        EXPECT_TRUE(invalid);
        EXPECT_TRUE(overflow);
        EXPECT_EQ(S(d), "0");
    }
    // 1024 characters is still accepted.
    std::string longest = "0." + std::string(1021, '0') + "1";
    ASSERT_EQ(longest.size(), 1024u);
    CL_Decimal d;
    EXPECT_TRUE(d.FromString(longest, nullptr, nullptr));
    EXPECT_EQ(d.Compare(CL_Decimal(std::string("1e-1022"))), 0);
    // Null flag pointers and a null text.
    EXPECT_FALSE(d.FromRawString(nullptr, 3));
    EXPECT_EQ(S(d), "0");
}

TEST_F(DecimalTest, RawTextLength) {
    const char* text = "12.5xyz";
    EXPECT_EQ(S(CL_Decimal(text, 4)), "12.5");
    // A length negative as a 32-bit number reads up to the NUL.
    EXPECT_EQ(S(CL_Decimal("42.25", static_cast<unsigned long>(-1))), "42.25");
    EXPECT_EQ(S(CL_Decimal("42.25", 0xFFFFFFFFul)), "42.25");
    // The text ends at an embedded NUL.
    EXPECT_EQ(S(CL_Decimal(std::string("3\0"
                                       "9",
                                       3))),
              "3");
}

TEST_F(DecimalTest, IntegerForms) {
    EXPECT_EQ(S(CL_Decimal(1500000LL)), "1.5");
    EXPECT_EQ(S(CL_Decimal(1500000ULL)), "1.5");
    EXPECT_EQ(S(CL_Decimal::FromScaledInt64(-2500000)), "-2.5");
    EXPECT_EQ(S(CL_Decimal::FromInt64(5)), "5");
    EXPECT_EQ(S(CL_Decimal::FromInt64(LLONG_MIN)), "-9223372036854775808");
    // long and unsigned long keep their low 32 bits.
    EXPECT_EQ(S(CL_Decimal(4294967297L)), "1");
    EXPECT_EQ(S(CL_Decimal(4294967295L)), "-1");
    EXPECT_EQ(S(CL_Decimal(4294967297UL)), "1");
    EXPECT_EQ(S(CL_Decimal(4294967295UL)), "4294967295");
    EXPECT_EQ(S(CL_Decimal(INT_MIN)), "-2147483648");
    EXPECT_EQ(S(CL_Decimal(UINT_MAX)), "4294967295");

    CL_Decimal d;
    d = 2500000LL;
    EXPECT_EQ(S(d), "2.5");
    d = 7;
    EXPECT_EQ(S(d), "7");
}

TEST_F(DecimalTest, ConversionsOutFloorAndFailureValues) {
    EXPECT_EQ(static_cast<int>(CL_Decimal(std::string("-1.5"))), -2);
    EXPECT_EQ(static_cast<int>(CL_Decimal(std::string("2.999"))), 2);
    EXPECT_EQ(static_cast<int>(CL_Decimal(std::string("3000000000"))), INT_MAX);
    EXPECT_EQ(static_cast<int>(CL_Decimal(std::string("-2147483648"))), INT_MIN);
    EXPECT_EQ(static_cast<int>(CL_Decimal(std::string("-2147483649"))), INT_MAX);
    EXPECT_EQ(static_cast<long>(CL_Decimal(std::string("NaN"))), 2147483647L);

    EXPECT_EQ(static_cast<long long>(CL_Decimal(std::string("1.5"))), 1500000LL);
    EXPECT_EQ(static_cast<long long>(CL_Decimal(std::string("-0.0000015"))), -2LL);
    EXPECT_EQ(static_cast<long long>(CL_Decimal(std::string("Infinity"))), LLONG_MAX);

    CL_Decimal small(std::string("-0.0000015"));
    EXPECT_EQ(small.ToScaledInt64(), -2);
    bool overflow = true;
    EXPECT_EQ(CL_Decimal(std::string("-7.5")).ToInt64(&overflow), -8);
    EXPECT_FALSE(overflow);
    CL_Decimal huge(std::string("1e19"));
    EXPECT_EQ(huge.ToInt64(&overflow), 0);
    EXPECT_TRUE(overflow);
    EXPECT_EQ(huge.ToInt64(), LLONG_MAX);
    EXPECT_EQ(CL_Decimal(std::string("9223372036854.775808")).ToScaledInt64(&overflow), 0);
    EXPECT_TRUE(overflow);
    EXPECT_EQ(CL_Decimal(std::string("-9223372036854.775808")).ToScaledInt64(&overflow), LLONG_MIN);
    EXPECT_FALSE(overflow);
    EXPECT_EQ(CL_Decimal(std::string("NaN")).ToScaledInt64(&overflow), 0);
    EXPECT_TRUE(overflow);

    EXPECT_DOUBLE_EQ(static_cast<double>(CL_Decimal(std::string("0.1"))), 0.1);
    EXPECT_TRUE(std::isinf(static_cast<double>(CL_Decimal(std::string("1e99999")))));
    EXPECT_TRUE(static_cast<bool>(CL_Decimal(std::string("0.001"))));
    EXPECT_TRUE(!CL_Decimal(std::string("-0.000")));
    EXPECT_TRUE(static_cast<bool>(CL_Decimal(std::string("NaN"))));
}

TEST_F(DecimalTest, DoublesPrintedWithSixDecimals) {
    EXPECT_EQ(S(CL_Decimal(0.1)), "0.1");
    EXPECT_EQ(S(CL_Decimal(-2.5)), "-2.5");
    EXPECT_EQ(S(CL_Decimal(1e-7)), "0");
    // More than 38 significant digits in the text: the constructor gives 0 ...
    EXPECT_EQ(S(CL_Decimal(1e40)), "0");
    // ... while assignment rounds half up to 38 digits.
    CL_Decimal d;
    d = 1e40;
    EXPECT_EQ(S(d), "10000000000000000303786028427003666891000");
    // The text of large doubles is longer than 256 characters and still read whole.
    d = 1e300;
    std::string text = S(d);
    EXPECT_EQ(text.size(), 301u);
    EXPECT_EQ(text.substr(0, 38), "10000000000000000525047602552044202487");
    d = -DBL_MAX;
    EXPECT_EQ(S(d).size(), 310u);
    EXPECT_EQ(S(d).substr(0, 6), "-17976");
}

TEST_F(DecimalTest, FixedPointPrinting) {
    CL_Decimal a(std::string("1.239")), b(std::string("-1.231")), c(std::string("2.5"));
    EXPECT_EQ(a.ToString(2, false), "1.23");
    EXPECT_EQ(b.ToString(2, false), "-1.24");
    EXPECT_EQ(c.ToString(2, false), "2.50");
    EXPECT_EQ(c.ToString(-1, false), "2.5");
    EXPECT_EQ(CL_Decimal(std::string("2.99")).ToString(0, false), "2");
    EXPECT_EQ(CL_Decimal(std::string("1E+2")).ToString(-1, false), "100");
    EXPECT_EQ(CL_Decimal(std::string("0.00001")).ToString(-1, false), "0.00001");
    EXPECT_EQ(CL_Decimal(std::string("-0.001")).ToString(2, false), "-0.01");

    CL_Decimal one(1), zero(0), minusOne(-1);
    CL_Decimal q = one;
    q /= zero;
    EXPECT_EQ(q.ToString(2, false), "Infinity");
    q = minusOne;
    q /= zero;
    EXPECT_EQ(q.ToString(-1, false), "-Infinity");
    q = zero;
    q /= zero;
    EXPECT_EQ(q.ToString(2, false), "NaN");

    char* raw = a.ToRawString(1, false);
    ASSERT_NE(raw, nullptr);
    EXPECT_STREQ(raw, "1.2");
    free(raw);
}

// Every value held prints in full and reads back; texts beyond the range are refused as
// out of range, and results beyond it become infinite or round into it.
TEST_F(DecimalTest, EveryHeldValuePrintsInFull) {
    for (const char* text : {"1e2000000000", "1e-2000000000", "1e100000", "-1E+100000", "1e-100037",
                             "9.9999999999999999999999999999999999999E+99999"}) {
        CL_Decimal d(7);
        bool invalid = false, overflow = false;
        EXPECT_EQ(d.FromString(text, &invalid, &overflow), std::string(text).find("9.9") == 0)
            << text;
        if (!invalid) continue;
        EXPECT_TRUE(overflow) << text;
        EXPECT_EQ(S(d), "0") << text;
    }
    CL_Decimal largest(std::string(38, '9') + "E+99962");
    std::string all = S(largest);
    EXPECT_EQ(all, std::string(38, '9') + std::string(99962, '0'));
    CL_Decimal smallest(std::string("-1E-100036"));
    std::string tiny = S(smallest);
    EXPECT_EQ(tiny, "-0." + std::string(100035, '0') + "1");
    EXPECT_EQ(smallest.ToString(2, false), "-0.01");  // cut toward minus infinity
    EXPECT_EQ(CL_Decimal(std::string("1E-100036")).ToString(2, false), "0.00");
    // Localized with separators of three bytes each (the environment's locale is left to
    // the test of localized printing, which reads it first).
    CL_LocaleInfo wide;
    wide.fDecimalSep = "\xe2\x80\xa4";
    wide.fThousandSep = "\xe2\x80\xaf";
    for (const CL_Decimal& d : {largest, smallest}) {
        std::string full = S(d);
        EXPECT_EQ(CL_Decimal::FromPrintedString(full.data(), full.size()).Compare(d), 0);
        EXPECT_EQ(CL_Decimal(d.ToParsableString()).Compare(d), 0) << d.ToParsableString();
        EXPECT_FALSE(d.ToString(-1, wide).empty());
    }
    EXPECT_EQ(largest.ToString(-1, wide).size(), 99999 + 33333 * 3 + 1 + 3 + 2);
    EXPECT_EQ(largest.ToParsableString(), "9.9999999999999999999999999999999999999E+99999");
    EXPECT_EQ(smallest.ToParsableString(), "-1E-100036");

    // Results past the largest are infinite, below the smallest digit rounded into it.
    CL_Decimal over = largest;
    over *= CL_Decimal(10);
    EXPECT_EQ(S(over), "Infinity");
    over = -largest;
    over -= largest;
    EXPECT_EQ(S(over), "-Infinity");
    CL_Decimal under = smallest;
    under /= CL_Decimal(10);
    EXPECT_EQ(S(under), "-0");
    under = CL_Decimal(std::string("5E-100036"));
    under /= CL_Decimal(10);
    EXPECT_EQ(under.Compare(CL_Decimal(std::string("1E-100036"))), 0);
    EXPECT_EQ(S(CL_Decimal(decnum::MakeFinite(false, 1, 1000000000000000000LL))), "Infinity");
    EXPECT_EQ(S(CL_Decimal(decnum::MakeFinite(true, 1, -1000000000000000000LL))), "-0");
    CL_Decimal sum(std::string("9E+99999"));
    sum += CL_Decimal(std::string("1E+99999"));  // the quick path of sums
    EXPECT_EQ(S(sum), "Infinity");

    // Only a count of places past the text limit gives the empty text.
    EXPECT_EQ(CL_Decimal(1).ToString(INT_MAX, false), "");
    char* raw = CL_Decimal(1).ToRawString(INT_MAX, false);
    ASSERT_NE(raw, nullptr);
    EXPECT_STREQ(raw, "");
    free(raw);

    // Across the range, every magnitude prints and reads back both ways.
    for (long long e = CL_Decimal::kMinExponent; e <= CL_Decimal::kMaxExponent - 37; e += 997) {
        for (const char* coef : {"1", "-12345678901234567890123456789012345678"}) {
            std::string text = std::string(coef) + "E" + std::to_string(e);
            CL_Decimal d{text};
            ASSERT_NE(d.Compare(CL_Decimal(0)), 0) << text;
            std::string full = S(d);
            ASSERT_FALSE(full.empty()) << text;
            ASSERT_EQ(CL_Decimal::FromPrintedString(full.data(), full.size()).Compare(d), 0)
                << text;
            CL_Decimal back;
            ASSERT_TRUE(back.FromString(d.ToParsableString())) << text;
            ASSERT_EQ(back.Compare(d), 0) << text;
        }
    }
}

// The parsable form: all the digits while the text rules take them (38 digits, 1024
// bytes), the scientific form beyond; every form reads back to the same value.
TEST_F(DecimalTest, ParsableFormReadsBack) {
    const struct {
        const char* value;
        const char* text;
    } cases[] = {
        {"12.5", "12.5"},
        {"-0", "-0"},
        {"1E+37", "10000000000000000000000000000000000000"},
        {"1E+38", "1E+38"},
        {"-12345678901234567890123456789012345678E+1",
         "-1.2345678901234567890123456789012345678E+38"},
        {"1.5E-1021", nullptr},  // all 1024 bytes of its digits
        {"1E-1023", "1E-1023"},
        {"-2.5E-1022", "-2.5E-1022"},
        {"NaN", "NaN"},
        {"-Infinity", "-Infinity"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        CL_Decimal d{std::string(c.value)};
        std::string text = d.ToParsableString();
        if (c.text) {
            EXPECT_EQ(text, c.text);
        } else {
            EXPECT_EQ(text, S(d));
        }
        EXPECT_LE(text.size(), 1024u);
        CL_Decimal back;
        ASSERT_TRUE(back.FromString(text)) << text;
        if (d.GetNumber().IsNaN())
            EXPECT_TRUE(back.GetNumber().IsNaN());
        else
            EXPECT_EQ(back.Compare(d), 0);
    }
    // Printed digits read back through their leading and trailing zeros alike.
    const struct {
        std::string printed;
        const char* value;
    } printed[] = {
        {"0." + std::string(50, '0') + "125", "125E-53"},
        {"-123" + std::string(50, '0'), "-123E+50"},
        {"1" + std::string(38, '0') + ".000", "1E+38"},
        {"-0.000", "0"},
    };
    for (const auto& p : printed) {
        SCOPED_TRACE(p.printed);
        CL_Decimal back = CL_Decimal::FromPrintedString(p.printed.data(), p.printed.size());
        EXPECT_EQ(back.Compare(CL_Decimal(std::string(p.value))), 0) << S(back);
    }
}

TEST_F(DecimalTest, LocalizedPrintingUsesSeparators) {
    CL_LocaleInfo it;
    it.fDecimalSep = ",";
    it.fThousandSep = ".";
    CL_Decimal d(std::string("1234567.891"));
    EXPECT_EQ(d.ToString(2, it), "1.234.567,89");
    EXPECT_EQ(CL_Decimal(std::string("-1234.5")).ToString(-1, it), "-1.234,50");
    EXPECT_EQ(CL_Decimal(std::string("123")).ToString(0, it), "123");
    CL_LocaleInfo narrow;
    narrow.fDecimalSep = ".";
    narrow.fThousandSep = "\xe2\x80\xaf";  // narrow no-break space
    EXPECT_EQ(d.ToString(1, narrow),
              "1\xe2\x80\xaf"
              "234\xe2\x80\xaf"
              "567.8");
    // A thousands separator equal to the decimal one (the "C" locale's record has "."
    // for both) is written as the other of "," and ".", so that the number reads as itself.
    CL_LocaleInfo c;
    CL_GetLocaleInfo(&c, "C");
    ASSERT_EQ(c.fThousandSep, c.fDecimalSep);
    EXPECT_EQ(d.ToString(2, c), "1,234,567.89");
    EXPECT_EQ(CL_Decimal(std::string("-1234.5")).ToString(-1, c), "-1,234.50");
    CL_LocaleInfo commas;
    commas.fDecimalSep = commas.fThousandSep = ",";
    EXPECT_EQ(d.ToString(2, commas), "1.234.567,89");

    // The environment's locale is read on the first localized call (this test makes the
    // only ones): a real Italian locale, when installed, shows separators other than C's.
    locale_t italian = newlocale(LC_ALL_MASK, "it_IT.UTF-8", static_cast<locale_t>(0));
    if (italian) {
        freelocale(italian);
        setenv("LANG", "it_IT.UTF-8", 1);
    }
    CL_LocaleInfo env;
    CL_GetLocaleInfo(&env, "");
    EXPECT_EQ(CL_Decimal(3).ToString(-1, true), "3" + env.fDecimalSep + "00");
    EXPECT_EQ(d.ToString(2, true), d.ToString(2, env));
    if (!italian) GTEST_SKIP() << "it_IT.UTF-8 not installed; checked the C locale only";
    EXPECT_EQ(d.ToString(2, true), "1.234.567,89");
    EXPECT_EQ(CL_Decimal(std::string("-0.5")).ToString(-1, true), "-0,50");
    EXPECT_EQ(CL_Decimal(std::string("999.999")).ToString(0, true), "999");
    EXPECT_EQ(CL_Decimal(std::string("1000")).ToString(1, true), "1.000,0");
}

TEST_F(DecimalTest, StepAndDecimalRounding) {
    auto D = [](const char* t) { return CL_Decimal(std::string(t)); };
    EXPECT_EQ(S(D("7.3").Round(D("0.5"))), "7.5");
    EXPECT_EQ(S(D("7.3").Floor(D("0.5"))), "7");
    EXPECT_EQ(S(D("7.3").Ceil(D("0.5"))), "7.5");
    EXPECT_EQ(S(D("1.25").Round(D("0.1"))), "1.3");
    EXPECT_EQ(S(D("12.345").Round(D("0.05"))), "12.35");
    EXPECT_EQ(S(D("2.5").Round(CL_Decimal(1))), "3");
    EXPECT_EQ(S(D("-2.5").Round(CL_Decimal(1))), "-3");
    EXPECT_EQ(S(D("-12.345").Floor(CL_Decimal(1))), "-13");
    EXPECT_EQ(S(D("12.301").Ceil(D("0.10"))), "12.4");

    EXPECT_EQ(S(D("1.005").Round(2)), "1.01");
    EXPECT_EQ(S(D("-1.001").Floor(2)), "-1.01");
    EXPECT_EQ(S(D("1.001").Ceil(2)), "1.01");
    EXPECT_EQ(S(D("15").Round(-1)), "20");
    EXPECT_EQ(S(D("1.5").Round(40)), "NaN");

    EXPECT_EQ(S(D("-1.25").Fractional()), "-0.25");
    EXPECT_EQ(S(D("1.25").Fractional()), "0.25");
    EXPECT_EQ(S(D("3").Fractional()), "0");

    EXPECT_EQ(S(D("2.5").Multiply(CL_Decimal(3), CL_Decimal(1), CL_Decimal::ROUND)), "8");
    EXPECT_EQ(S(D("10").Divide(CL_Decimal(4), CL_Decimal(1), CL_Decimal::ROUND)), "3");
    EXPECT_EQ(S(D("10").Divide(CL_Decimal(4), CL_Decimal(1), CL_Decimal::NONE)), "2.5");
    EXPECT_EQ(S(D("10").Divide(CL_Decimal(4), 0, CL_Decimal::FLOOR)), "2");
    EXPECT_EQ(S(D("10").Divide(CL_Decimal(4), 0, CL_Decimal::CEIL)), "3");
    EXPECT_EQ(S(D("10").Divide(CL_Decimal(4), 0, static_cast<CL_Decimal::RoundType>(9))), "2.5");
}

TEST_F(DecimalTest, CompoundOperatorsAndOperandForms) {
    CL_Decimal d(1);
    d += 2;
    EXPECT_EQ(S(d), "3");
    d += 1500000LL;  // millionths
    EXPECT_EQ(S(d), "4.5");
    d -= 4294967297L;  // low 32 bits: 1
    EXPECT_EQ(S(d), "3.5");
    d *= 2.5;
    EXPECT_EQ(S(d), "8.75");
    d /= 4u;
    EXPECT_EQ(S(d), "2.1875");
    d %= 1;
    EXPECT_EQ(S(d), "0.1875");
    d = CL_Decimal(-7);
    d %= 2;
    EXPECT_EQ(S(d), "-1");
    d %= 0;
    EXPECT_EQ(S(d), "NaN");
    d = CL_Decimal(10);
    d %= 1e40;  // through the strict double constructor: 0, so NaN
    EXPECT_EQ(S(d), "NaN");
    d = CL_Decimal(1);
    d /= CL_Decimal(3);
    EXPECT_EQ(S(d), "0.33333333333333333333333333333333333333");

    CL_Decimal e(5);
    EXPECT_EQ(S(e++), "5");
    EXPECT_EQ(S(e), "6");
    EXPECT_EQ(S(--e), "5");
    EXPECT_EQ(S(e--), "5");
    EXPECT_EQ(S(e), "4");

    EXPECT_EQ(S(-CL_Decimal(std::string("1.5"))), "-1.5");
    CL_Decimal negZero = -CL_Decimal(0);
    EXPECT_TRUE(negZero.GetNumber().neg);
    EXPECT_EQ(negZero.Compare(CL_Decimal(0)), 0);
    EXPECT_EQ(S(CL_Decimal(std::string("-2.5")).Abs()), "2.5");
    EXPECT_EQ(S(CL_Decimal(2).Pow(CL_Decimal(10))), "1024");
    EXPECT_EQ(S(CL_Decimal(2).Pow(CL_Decimal(std::string("0.5")))),
              "1.4142135623730950488016887242096980786");
}

TEST_F(DecimalTest, Compare) {
    CL_Decimal a(std::string("1.5")), b(std::string("1.50")), nan(std::string("NaN"));
    EXPECT_EQ(a.Compare(b), 0);
    EXPECT_EQ(a.Compare(CL_Decimal(2)), -1);
    EXPECT_EQ(CL_Decimal(2).Compare(a), 1);
    EXPECT_EQ(a.Compare(nan), 2147483647);
    EXPECT_EQ(nan.Compare(a), 2147483647);
    EXPECT_EQ(CL_Decimal(std::string("-Infinity")).Compare(a), -1);
}

TEST_F(DecimalTest, CopiesAndInitAreSafe) {
    CL_Decimal a(std::string("123.456"));
    CL_Decimal b(a);
    CL_Decimal c(std::move(a));
    CL_Decimal& self = b;
    b = self;
    EXPECT_EQ(S(b), "123.456");
    EXPECT_EQ(S(c), "123.456");
    CL_Decimal::Init();
    CL_Decimal::Init();
    EXPECT_EQ(CL_Decimal::GetContext().emax, decnum::kDefaultEmax);
    EXPECT_EQ(CL_Decimal::GetContext().round, decnum::kRoundHalfUp);
}

}  // namespace

// The short printer agrees with ToString wherever it answers, and the printed text
// reads back to the same number, also past 38 digits of trailing zeros.
TEST_F(DecimalTest, ShortStringAndPrintedStringAgreeWithTheGeneralForms) {
    const char* const texts[] = {"0",
                                 "-0",
                                 "1",
                                 "-1",
                                 "123.45",
                                 "-0.000001",
                                 "1E+20",
                                 "1E+21",
                                 "18446744073709551615",
                                 "18446744073709551616",
                                 "1E-40",
                                 "1.5E-41",
                                 "99999999999999999999999999999999999999",
                                 "-12345678901234567890.123",
                                 "7E+300",
                                 "NaN",
                                 "-Infinity"};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        CL_Decimal d{std::string(text)};
        char out[CL_Decimal::kShortStringRoom];
        size_t n = d.ToShortString(out);
        std::string full = S(d);
        if (n) {
            EXPECT_EQ(std::string(out, n), full);
        }
        CL_Decimal back = CL_Decimal::FromPrintedString(full.data(), full.size());
        EXPECT_EQ(S(back), full);
    }
    char room[CL_Decimal::kShortStringRoom];
    EXPECT_EQ(CL_Decimal(std::string("1E+20")).ToShortString(room), 21u);
    EXPECT_EQ(CL_Decimal(std::string("1E+21")).ToShortString(room), 0u);
    std::string wide = "1" + std::string(40, '0');
    EXPECT_EQ(S(CL_Decimal::FromPrintedString(wide.data(), wide.size())), wide);
    EXPECT_EQ(S(CL_Decimal(wide)), "0");  // the text constructor refuses 41 digits
}

// Exact results of fractional powers round once from their exact value (half up).
TEST_F(DecimalTest, FractionalPowersWithExactResults) {
    const struct {
        const char* base;
        const char* exponent;
        const char* expected;
    } cases[] = {
        {"33894731509734389492325625", "1.5", "197332354208946653798914372538078421880"},
        {"4.0", "0.5", "2"},
        {"1", "12.3", "1"},
        {"0.000001", "0.5", "0.001"},
        {"16", "-1.25", "0.03125"},
        {"2", "0.5", "1.4142135623730950488016887242096980786"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.base);
        EXPECT_EQ(S(CL_Decimal(std::string(c.base)).Pow(CL_Decimal(std::string(c.exponent)))),
                  c.expected);
    }
}

namespace {

// The machine-word paths of sum, difference and quotient against the general ones:
// the same operands scaled by a power of ten have coefficients past 64 bits, so the
// engine takes its wide path for them, and the results must be the same numbers.
using decnum::Number;
using decnum::uint128;

uint128 Pow10(int k) {
    uint128 v = 1;
    while (k-- > 0)
        v *= 10;
    return v;
}

Number Scaled(const Number& n, int by) {
    return decnum::MakeFinite(n.neg, n.coef * Pow10(by), n.exp - by);
}

struct Rng {
    uint64 fState = 88172645463325252ull;
    uint64 Next() {
        fState ^= fState << 13;
        fState ^= fState >> 7;
        fState ^= fState << 17;
        return fState;
    }
    // A coefficient of 1 to 19 digits, sometimes with trailing zeros.
    uint64 Coef() {
        int digits = 1 + static_cast<int>(Next() % 19);
        uint64 c = Next() % static_cast<uint64>(Pow10(digits));
        if (c == 0) c = 1;
        if (Next() % 4 == 0) c = c / 1000 * 1000 + (c % 1000 == 0 ? 0 : 1000);
        return c ? c : 1;
    }
};

void ExpectSame(const Number& quick, const Number& wide, int scale, const char* what) {
    ASSERT_EQ(quick.kind, wide.kind) << what;
    ASSERT_EQ(quick.neg, wide.neg) << what;
    // The wide operands sat `scale` places lower; an exact result may keep that.
    uint128 qc = quick.coef;
    int64 qe = quick.exp;
    uint128 wc = wide.coef;
    int64 we = wide.exp;
    while (qe > we && qc <= (~uint128(0)) / 10) {
        qc *= 10;
        --qe;
    }
    while (we > qe && wc <= (~uint128(0)) / 10) {
        wc *= 10;
        --we;
    }
    ASSERT_TRUE(qc == wc && qe == we) << what << " scale " << scale;
}

TEST(DecimalEngine, QuickSumsAgreeWithTheWidePath) {
    Rng rng;
    const decnum::Context ctx;
    for (int i = 0; i < 200000; ++i) {
        Number a = decnum::MakeFinite(rng.Next() & 1, rng.Coef(), int64(rng.Next() % 41) - 20);
        Number b = decnum::MakeFinite(rng.Next() & 1, rng.Coef(), int64(rng.Next() % 41) - 20);
        if (i % 7 == 0) b = decnum::MakeFinite(!a.neg, a.coef, a.exp);  // cancels
        for (bool subtract : {false, true}) {
            uint32 s1 = 0, s2 = 0;
            Number quick, wide;
            auto op = subtract ? decnum::Subtract : decnum::Add;
            op(&quick, a, b, ctx, &s1);
            // 19 more places put both coefficients past 64 bits (a sum then needs at
            // most 39 digits, where the wide path rounds: skip those).
            Number as = Scaled(a, 19), bs = Scaled(b, 19);
            op(&wide, as, bs, ctx, &s2);
            if (s2 & decnum::kRounded) continue;
            ExpectSame(quick, wide, 19, subtract ? "subtract" : "add");
            ASSERT_EQ(s1, s2);
        }
    }
}

TEST(DecimalEngine, QuickQuotientsAgreeWithTheWidePath) {
    Rng rng;
    for (decnum::Rounding round :
         {decnum::kRoundHalfUp, decnum::kRoundHalfEven, decnum::kRoundFloor, decnum::kRoundDown}) {
        decnum::Context ctx;
        ctx.round = round;
        for (int i = 0; i < 100000; ++i) {
            Number a = decnum::MakeFinite(rng.Next() & 1, rng.Coef(), int64(rng.Next() % 21) - 10);
            Number b = decnum::MakeFinite(rng.Next() & 1, rng.Coef(), int64(rng.Next() % 21) - 10);
            if (i % 5 == 0) {
                // An exact quotient: a = b * small.
                uint128 product = b.coef * (1 + rng.Next() % 1000);
                if ((product >> 64) == 0) a.coef = product;
            }
            uint32 s1 = 0, s2 = 0;
            Number quick, wide;
            decnum::Divide(&quick, a, b, ctx, &s1);
            // Scaling both sides keeps the quotient and its ideal exponent.
            int digits = std::max(decnum::Digits(a.coef), decnum::Digits(b.coef));
            int by = 38 - digits;
            decnum::Divide(&wide, Scaled(a, by), Scaled(b, by), ctx, &s2);
            ASSERT_EQ(quick.coef, wide.coef) << i;
            ASSERT_EQ(quick.exp, wide.exp) << i;
            ASSERT_EQ(quick.neg, wide.neg);
            ASSERT_EQ(s1, s2);
        }
    }
}

}  // namespace

namespace {

// Every digit count a 64-bit coefficient can have, odd and even, at exponents on both
// sides of the point: the short form must print what the general one prints.
TEST(DecimalShortString, EveryDigitCountAndPlace) {
    for (int digits = 1; digits <= 20; digits++) {
        std::string coef;
        for (int i = 0; i < digits; i++)
            coef += static_cast<char>('1' + (i * 7 + digits) % 9);
        if (digits == 20) coef = "18446744073709551615";
        for (int exp = -25; exp <= 5; exp++) {
            for (const char* sign : {"", "-"}) {
                std::string text = std::string(sign) + coef + "E" + std::to_string(exp);
                CL_Decimal d{text};
                char out[CL_Decimal::kShortStringRoom];
                size_t n = d.ToShortString(out);
                ASSERT_NE(n, 0u) << text;
                ASSERT_EQ(std::string(out, n), d.ToString(-1, false)) << text;
            }
        }
    }
}

}  // namespace
