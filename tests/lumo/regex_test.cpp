// Regular expressions: the pattern cache, group reporting, whole matches, template and
// callback replacement, empty-match stepping and hostile subjects.
#include "lumo/regex.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

class RegExEnvironment : public ::testing::Environment {
public:
    void SetUp() override { CL_RegEx::Init(); }
    void TearDown() override { CL_RegEx::Cleanup(); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new RegExEnvironment);

std::vector<std::string> AllTexts(CL_RegEx& re, const std::string& text, int group = 0) {
    CL_Array<CL_Match> matches;
    re.FindAll(text, &matches);
    std::vector<std::string> out;
    for (const CL_Match& m : matches)
        out.push_back(m.GetText(group));
    return out;
}

TEST(RegExCache, SamePatternIsCompiledOnceAndSurvivesEviction) {
    const std::string first = "first-(\\d+)";
    CL_RegEx a(first);
    CL_RegEx b(first);
    ASSERT_TRUE(a.IsOk());
    EXPECT_TRUE(CL_RegEx::sCache->Exists(first));
    uint32 before = CL_RegEx::sCache->Count();
    CL_RegEx c(first);
    EXPECT_EQ(CL_RegEx::sCache->Count(), before);

    // 256 newer patterns push the first one out; objects holding it keep working.
    for (int i = 0; i < 256; i++)
        CL_RegEx filler("filler" + std::to_string(i));
    EXPECT_FALSE(CL_RegEx::sCache->Exists(first));
    EXPECT_LE(CL_RegEx::sCache->Count(), 256u);
    CL_Match m;
    const std::string subject = "x first-42 y";
    ASSERT_EQ(a.Find(subject, &m), 0);
    EXPECT_EQ(m.GetText(1), "42");
    EXPECT_EQ(b.GetPattern(), first);
}

TEST(RegExCache, FailedPatternIsCachedWithItsError) {
    CL_RegEx bad("(");
    EXPECT_FALSE(bad.IsOk());
    int pos = -1;
    EXPECT_FALSE(bad.GetError(&pos).empty());
    EXPECT_EQ(pos, 1);
    EXPECT_TRUE(CL_RegEx::sCache->Exists("("));

    CL_Match m;
    EXPECT_EQ(bad.Find(std::string("((("), &m), -1);
    EXPECT_EQ(bad.Match("("), -1);
    CL_Array<CL_Match> all;
    bad.FindAll("(((", &all);
    EXPECT_EQ(all.Count(), 0u);
    EXPECT_EQ(bad.Replace("(((", "x"), "(((");

    CL_RegEx none;
    EXPECT_FALSE(none.IsOk());
    pos = 7;
    EXPECT_EQ(none.GetError(&pos), "");
    EXPECT_EQ(pos, 7);
    EXPECT_EQ(none.GetPattern(), "");
    EXPECT_EQ(none.Find(std::string("a"), &m), -1);
}

TEST(RegExCache, PrivateCompilationOutsideTheCacheWindow) {
    CL_RegEx held("kept(\\w)");
    CL_RegEx::Cleanup();
    EXPECT_EQ(CL_RegEx::sCache, nullptr);
    CL_RegEx own("a.b");
    EXPECT_TRUE(own.IsOk());
    // The newline convention is still "any" without the shared context.
    EXPECT_EQ(own.Match("a\rb"), 500);
    EXPECT_EQ(own.Match("axb"), 0);
    CL_Match m;
    EXPECT_EQ(held.Find(std::string("keptZ"), &m), 0);
    CL_RegEx::Init();
    ASSERT_NE(CL_RegEx::sCache, nullptr);
}

TEST(RegExFind, GroupsOffsetsAndUnsetGroups) {
    CL_RegEx re("(a)|(b)(c)?");
    CL_Match m;
    std::string text = "xxbz";
    ASSERT_EQ(re.Find(text, &m), 0);
    EXPECT_EQ(m.Count(), 3);  // group 3 unset at the end is not counted
    EXPECT_EQ(m.GetStart(0), 2);
    EXPECT_EQ(m.GetEnd(0), 3);
    EXPECT_EQ(m.GetStart(1), -1);
    EXPECT_EQ(m.GetEnd(1), -1);
    EXPECT_EQ(m.GetText(1), "");
    EXPECT_EQ(m.GetText(2), "b");
    EXPECT_EQ(m.GetTextSize(2), 1u);
    EXPECT_EQ(m.GetStart(5), -1);
    EXPECT_EQ(m.GetText(-1), "");

    // Continuing from the previous match, in place.
    CL_RegEx digits("\\d+");
    std::string nums = "a1b22c333";
    CL_Match cur;
    ASSERT_EQ(digits.Find(nums, &cur), 0);
    ASSERT_EQ(digits.Find(nums, &cur, &cur), 0);
    EXPECT_EQ(cur.GetText(0), "22");
    ASSERT_EQ(digits.Find(nums, &cur, &cur), 0);
    EXPECT_EQ(cur.GetText(0), "333");
    EXPECT_EQ(digits.Find(nums, &cur, &cur), 500);
}

TEST(RegExFind, GroupLimit) {
    CL_RegEx nine("(a)(b)(c)(d)(e)(f)(g)(h)(i)");
    CL_Match m;
    const std::string letters = "abcdefghi";
    ASSERT_EQ(nine.Find(letters, &m), 0);
    EXPECT_EQ(m.Count(), 10);
    EXPECT_EQ(m.GetText(9), "i");

    CL_RegEx ten("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)");
    EXPECT_EQ(ten.Find(std::string("abcdefghij"), &m), 501);
    CL_RegEx tenUnset("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)?");
    EXPECT_EQ(tenUnset.Find(std::string("abcdefghi"), &m), 0);
    EXPECT_EQ(m.Count(), 10);

    // A whole-text test needs no groups: Match answers where Find gives 501.
    EXPECT_EQ(ten.Match("abcdefghij"), 0);
    EXPECT_EQ(ten.Match("abcdefghijk"), 500);
    CL_RegEx nested("^\\s*((((a)|(b)):){2}((c)|(d))(x)?(%.+)?)\\s*$");
    EXPECT_EQ(nested.Find(std::string("a:b:d%z"), &m), 501);
    EXPECT_EQ(nested.Match("a:b:d%z"), 0);
    EXPECT_EQ(nested.Match(" a:a:c "), 0);
    EXPECT_EQ(nested.Match("a:b:e"), 500);
}

TEST(RegExFind, EndOfTextAndWholeMatch) {
    CL_RegEx re("c");
    CL_Match m;
    std::string text = "abc";
    ASSERT_EQ(re.Find(text, &m), 0);
    EXPECT_EQ(re.Find(text, &m, &m), 500);
    EXPECT_EQ(re.Find(std::string(""), &m), 500);

    EXPECT_EQ(CL_RegEx("b").Match("abc"), 500);
    EXPECT_EQ(CL_RegEx("a.c").Match("abc"), 0);
    EXPECT_EQ(CL_RegEx("z").Match("abc"), 500);
    EXPECT_EQ(CL_RegEx("ab").Match("abc"), 500);
}

TEST(RegExFind, EmptyMatchesStepOneWholeCharacter) {
    CL_RegEx re("x*");
    std::string text =
        "a\xC3\xA9\xE2\x82\xAC"
        "b";  // a, e-acute, euro sign, b
    CL_Array<CL_Match> all;
    re.FindAll(text, &all);
    ASSERT_EQ(all.Count(), 4u);
    int32 expected[] = {0, 1, 3, 6};
    for (uint32 i = 0; i < all.Count(); i++) {
        EXPECT_EQ(all[i].GetStart(0), expected[i]);
        EXPECT_EQ(all[i].GetTextSize(0), 0u);
    }
    // A loop of Find calls ends as well.
    CL_Match m;
    int found = 0;
    CL_Match* previous = nullptr;
    while (re.Find(text, &m, previous) == 0 && found < 100) {
        found++;
        previous = &m;
    }
    EXPECT_EQ(found, 4);
    // An empty previous match over a copy of the subject steps on as well.
    CL_Match first;
    ASSERT_EQ(re.Find(text, &first), 0);
    const std::string copy = text;
    ASSERT_EQ(re.Find(copy, &m, &first), 0);
    EXPECT_EQ(m.GetStart(0), 1);
    std::string broken = text;
    broken[1] = '\xFF';
    EXPECT_EQ(re.Find(broken, &m, &first), -1);

    EXPECT_EQ(re.Replace("ab", "-"), "-a-b");
    CL_RegEx mixed("b*");
    EXPECT_EQ(AllTexts(mixed, "abba"), (std::vector<std::string>{"", "bb", ""}));
}

TEST(RegExFind, AgreesWithPythonReOnSimpleCases) {
    // Expectations taken from Python's re.findall with the same patterns.
    CL_RegEx words("\\w+");
    EXPECT_EQ(AllTexts(words, "one, two;three"), (std::vector<std::string>{"one", "two", "three"}));
    CL_RegEx pairs("(\\w)=(\\d)");
    EXPECT_EQ(AllTexts(pairs, "a=1 b=2 c=x", 2), (std::vector<std::string>{"1", "2"}));
    CL_RegEx lazy("<.+?>");
    EXPECT_EQ(AllTexts(lazy, "<a><b>"), (std::vector<std::string>{"<a>", "<b>"}));
    CL_RegEx utf("\\w\\w");
    // \w is ASCII-only here without UCP, like Python's re.ASCII.
    EXPECT_EQ(AllTexts(utf,
                       "ab\xC3\xA9"
                       "cd"),
              (std::vector<std::string>{"ab", "cd"}));
}

TEST(RegExReplace, Templates) {
    CL_RegEx digits("\\d+");
    EXPECT_EQ(digits.Replace("a12b345c", "[\\0]"), "a[12]b[345]c");
    EXPECT_EQ(digits.Replace("a12b345c", "[\\0]", 1), "a[12]b345c");
    EXPECT_EQ(digits.Replace("a12b345c", "#", 0), "a#b#c");
    EXPECT_EQ(digits.Replace("a12b345c", "#", -3), "a#b#c");
    EXPECT_EQ(digits.Replace("none", "#"), "none");

    CL_RegEx swap("(\\w+)@(\\w+)");
    EXPECT_EQ(swap.Replace("x user@host y", "\\2 at \\1"), "x host at user y");
    // "\10" is group 1 followed by a zero.
    EXPECT_EQ(swap.Replace("u@h", "\\10"), "u0");
    // A reference to a group the pattern lacks stays as written.
    EXPECT_EQ(swap.Replace("u@h", "\\3\\x"), "\\3\\x");

    CL_RegEx alt("(a)|(b)");
    EXPECT_EQ(alt.Replace("ab", "<\\1\\2>"), "<a><b>");
}

TEST(RegExReplace, InsertedTextIsNotExpandedAgain) {
    // Group 1 captures a literal backslash sequence; it must come out as it is.
    CL_RegEx re("(\\S+) (\\S+)");
    EXPECT_EQ(re.Replace("\\2 b", "\\1-\\2"), "\\2-b");
    EXPECT_EQ(re.Replace("\\0 z", "\\1"), "\\0");
}

std::string Upper(CL_Match* match, void* data) {
    ++*static_cast<int*>(data);
    std::string s = match->GetText(0);
    for (char& c : s)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

TEST(RegExReplace, Callback) {
    CL_RegEx re("[a-z]+");
    int calls = 0;
    EXPECT_EQ(re.Replace("ab 12 cd", Upper, 0, &calls), "AB 12 CD");
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(re.Replace("ab 12 cd", Upper, 1, &calls), "AB 12 cd");
    EXPECT_EQ(re.Replace("ab", nullptr, 0, nullptr), "ab");
}

TEST(RegExHostile, InvalidUtf8AtEveryEntryPoint) {
    CL_RegEx re("b");
    const std::string bad[] = {
        std::string("a\xFF"
                    "b"),      // byte never valid
        std::string("b\xC3"),  // truncated sequence
        std::string("\xC0\x80"
                    "b"),              // overlong NUL
        std::string("b\xED\xA0\x80"),  // surrogate
        std::string("\xF4\x90\x80\x80"
                    "b"),  // past U+10FFFF
    };
    for (const std::string& text : bad) {
        CL_Match m;
        EXPECT_EQ(re.Find(text, &m), -1) << text.size();
        EXPECT_EQ(re.Match(text), -1);
        CL_Array<CL_Match> all;
        re.FindAll(text, &all);
        EXPECT_EQ(all.Count(), 0u);
        EXPECT_EQ(re.Replace(text, "x"), text);
    }

    // A previous match from another subject does not vouch for this one.
    std::string good = "abab";
    CL_Match m;
    ASSERT_EQ(re.Find(good, &m), 0);
    std::string other =
        "ab\xFF"
        "b";
    EXPECT_EQ(re.Find(other, &m, &m), -1);

    // An offset moved into the middle of a character is refused.
    std::string utf =
        "\xC3\xA9"
        "b\xC3\xA9"
        "b";
    ASSERT_EQ(re.Find(utf, &m), 0);
    m.fEnd[0] = 4;
    EXPECT_EQ(re.Find(utf, &m, &m), -1);
}

TEST(RegExHostile, InvalidPatternBytesAndOverlongSubjects) {
    CL_RegEx badPattern(std::string("a\xFF"));
    EXPECT_FALSE(badPattern.IsOk());
    EXPECT_FALSE(badPattern.GetError().empty());

    // Subjects of 2 GiB and more are refused before any byte is read.
    const char small[4] = "abc";
    std::string_view huge(small, size_t(1) << 31);
    CL_RegEx re("a");
    CL_Match m;
    EXPECT_EQ(re.Find(huge, &m), -1);
}

TEST(RegExHostile, DeepBacktrackingEndsWithAResult) {
    CL_RegEx re("(a|b)*c");
    std::string text(100000, 'a');
    for (size_t i = 1; i < text.size(); i += 2)
        text[i] = 'b';
    CL_Match m;
    CL_Status status = re.Find(text, &m);
    EXPECT_TRUE(status == 500 || status == -1) << status;
    text.push_back('c');
    status = re.Find(text, &m);
    EXPECT_TRUE(status == 0 || status == -1) << status;
}

TEST(RegExConcurrency, SharedPatternsAcrossThreads) {
    std::vector<std::thread> threads;
    std::vector<int> counts(8, 0);
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([t, &counts] {
            for (int i = 0; i < 50; i++) {
                CL_RegEx re("(\\d+)-" + std::to_string(i % 5));
                CL_Array<CL_Match> all;
                re.FindAll("1-0 22-1 333-2 4-3 5-4", &all);
                counts[t] += static_cast<int>(all.Count());
            }
        });
    }
    for (auto& th : threads)
        th.join();
    for (int c : counts)
        EXPECT_EQ(c, 50);
}

}  // namespace
