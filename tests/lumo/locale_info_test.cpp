#include "lumo/locale_info.h"

#include <gtest/gtest.h>

#include <locale.h>
#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "lumo/platform/locale_info_internal.h"

namespace {

bool Installed(const char* name) {
    locale_t loc = newlocale(LC_ALL_MASK, name, static_cast<locale_t>(0));
    if (loc) freelocale(loc);
    return loc != static_cast<locale_t>(0);
}

CL_LocaleInfo Get(const std::string& name) {
    CL_LocaleInfo info;
    CL_GetLocaleInfo(&info, name);
    return info;
}

std::string ProcessLocale() {
    const char* name = setlocale(LC_ALL, nullptr);
    return name ? name : "";
}

TEST(DatePattern, OrdersAndSeparators) {
    EXPECT_EQ(CL_BuildDatePattern("31/12/1999", "23:59:00"), "dd/mm/yyyy HH:MM:SS");
    EXPECT_EQ(CL_BuildDatePattern("12/31/99", "11:59:00 PM"), "mm/dd/yyyy HH:MM:SS");
    EXPECT_EQ(CL_BuildDatePattern("1999-12-31", "23:59:00"), "yyyy-mm-dd HH:MM:SS");
    EXPECT_EQ(CL_BuildDatePattern("31.12.99", "23.59.00"), "dd.mm.yyyy HH.MM.SS");
    EXPECT_EQ(CL_BuildDatePattern("99/31/12", "23:59"), "yyyy/dd/mm HH:MM:SS");
    EXPECT_EQ(CL_BuildDatePattern("31/99/12", "23h59"), "dd/yyyy/mm HHhMMhSS");
    EXPECT_EQ(CL_BuildDatePattern("12/99/31", "23:59"), "mm/yyyy/dd HH:MM:SS");
    EXPECT_EQ(CL_BuildDatePattern("12/31/1999", "23:59"), "mm/dd/yyyy HH:MM:SS");
}

TEST(DatePattern, FallsBackWhenUnusable) {
    // Missing markers, or a marker with nothing before it to take a separator from.
    EXPECT_EQ(CL_BuildDatePattern("", ""), "");
    EXPECT_EQ(CL_BuildDatePattern("31/12/1999", ""), "");
    EXPECT_EQ(CL_BuildDatePattern("31/12/1999", "59:23"), "");
    EXPECT_EQ(CL_BuildDatePattern("\xd9\xa3\xd9\xa1/12/99", "23:59"), "");
    // A separator that is part of a multi-byte character would leave a lone byte.
    EXPECT_EQ(CL_BuildDatePattern("31\xc2\xb7"
                                  "12\xc2\xb7"
                                  "1999",
                                  "23:59:00"),
              "");
    EXPECT_EQ(CL_BuildDatePattern("1999\xe5\xb9\xb4"
                                  "12\xe6\x9c\x88"
                                  "31\xe6\x97\xa5",
                                  "23:59"),
              "");
    EXPECT_EQ(CL_BuildDatePattern("31/12/1999",
                                  "23\xe6\x99\x82"
                                  "59\xe5\x88\x86"),
              "");
}

TEST(LocaleInfo, CLocale) {
    CL_LocaleInfo c = Get("C");
    EXPECT_EQ(c.fISOName, "C");
    EXPECT_EQ(c.fName, "Unknown");
    EXPECT_EQ(c.fDateFormat, "mm/dd/yyyy HH:MM:SS");
    // The thousands separators of "C" are empty and get the defaults.
    EXPECT_EQ(c.fDecimalSep, ".");
    EXPECT_EQ(c.fThousandSep, ".");
    EXPECT_EQ(c.fMonDecimalSep, ".");
    EXPECT_EQ(c.fMonThousandSep, ".");
    EXPECT_EQ(c.fFullWeekdayName[0], "Sunday");
    EXPECT_EQ(c.fAbbrWeekdayName[6], "Sat");
    EXPECT_EQ(c.fFullMonthName[8], "September");
    EXPECT_EQ(c.fAbbrMonthName[11], "Dec");
    EXPECT_EQ(Get("C"), c);
}

TEST(LocaleInfo, Italian) {
    if (!Installed("it_IT.UTF-8")) GTEST_SKIP() << "it_IT.UTF-8 not installed";
    CL_LocaleInfo it = Get("it_IT.UTF-8");
    EXPECT_EQ(it.fISOName, "it_IT");
    EXPECT_EQ(it.fName, "Italian");
    EXPECT_EQ(it.fDateFormat, "dd/mm/yyyy HH:MM:SS");
    EXPECT_EQ(it.fDecimalSep, ",");
    EXPECT_EQ(it.fThousandSep, ".");
    EXPECT_EQ(it.fMonDecimalSep, ",");
    EXPECT_EQ(it.fMonThousandSep, ".");
    EXPECT_EQ(it.fFullWeekdayName[0], "domenica");
    EXPECT_EQ(it.fAbbrWeekdayName[1], "lun");
    EXPECT_EQ(it.fFullMonthName[0], "gennaio");
    EXPECT_EQ(it.fAbbrMonthName[11], "dic");

    // "-" is retried as "_".
    CL_LocaleInfo dash = Get("it-IT.UTF-8");
    EXPECT_EQ(dash.fISOName, "it_IT");
    EXPECT_EQ(dash.fDecimalSep, ",");
    EXPECT_EQ(dash.fFullMonthName[0], "gennaio");
}

TEST(LocaleInfo, AmericanEnglish) {
    if (!Installed("en_US.UTF-8")) GTEST_SKIP() << "en_US.UTF-8 not installed";
    CL_LocaleInfo en = Get("en_US.UTF-8");
    EXPECT_EQ(en.fISOName, "en_US");
    EXPECT_EQ(en.fDateFormat, "mm/dd/yyyy HH:MM:SS");
    EXPECT_EQ(en.fDecimalSep, ".");
    EXPECT_EQ(en.fThousandSep, ",");
    EXPECT_EQ(en.fFullMonthName[1], "February");
}

TEST(LocaleInfo, UnknownNamesDescribeTheProcessLocale) {
    std::string before = ProcessLocale();
    CL_LocaleInfo two = Get("it");  // tried as it_IT after it fails
    EXPECT_EQ(two.fISOName, "it_IT");
    CL_LocaleInfo bogus = Get("xx-YY.UTF-8");
    EXPECT_EQ(bogus.fISOName, "xx_YY");
    EXPECT_EQ(bogus.fDateFormat, Get("C").fDateFormat);

    if (Installed("en_US.UTF-8")) {
        ASSERT_NE(setlocale(LC_ALL, "en_US.UTF-8"), nullptr);
        CL_LocaleInfo other = Get("qq_QQ");
        setlocale(LC_ALL, before.c_str());
        EXPECT_EQ(other.fISOName, "qq_QQ");
        EXPECT_EQ(other.fThousandSep, ",");
    }
    EXPECT_EQ(ProcessLocale(), before);
}

TEST(LocaleInfo, EmptyNameReadsLangOnceAndIsCachedApart) {
    const char* old = getenv("LANG");
    std::string saved = old ? old : "";
    bool it = Installed("it_IT.UTF-8");
    setenv("LANG", it ? "it_IT.UTF-8" : "C", 1);
    CL_LocaleInfo env = Get("");
    EXPECT_EQ(env.fISOName, it ? "it_IT" : "C");
    EXPECT_EQ(env.fDecimalSep, it ? "," : ".");
    // Later changes of LANG do not reach the cached entry.
    setenv("LANG", "C", 1);
    EXPECT_EQ(Get(""), env);
    if (old)
        setenv("LANG", saved.c_str(), 1);
    else
        unsetenv("LANG");
}

TEST(LocaleInfo, NullRecordIsIgnored) {
    CL_GetLocaleInfo(nullptr, "C");
}

// Reading another locale must not switch the process locale under other threads'
// feet: a thread printing numbers meanwhile always sees the process's own point.
TEST(LocaleInfo, OtherThreadsKeepTheirLocale) {
    if (!Installed("it_IT.UTF-8")) GTEST_SKIP() << "it_IT.UTF-8 not installed";
    std::string before = ProcessLocale();
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::thread printer([&] {
        char buf[32];
        while (!done.load()) {
            snprintf(buf, sizeof buf, "%.1f", 1.5);
            if (std::string(buf) != "1.5") ++wrong;
        }
    });
    const char* names[] = {"it_IT.utf8", "it_IT.UTF8",  "it_IT.utf-8", "it-IT.utf8",
                           "it-IT.UTF8", "it_IT.Utf-8", "it-IT.utf-8", "it_IT.uTf8"};
    for (const char* name : names) {
        EXPECT_EQ(Get(name).fDecimalSep, ",") << name;
        EXPECT_EQ(ProcessLocale(), before);
    }
    done = true;
    printer.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(LocaleInfo, ConcurrentCallsAgree) {
    CL_LocaleInfo results[4];
    std::thread threads[4];
    for (int i = 0; i < 4; ++i)
        threads[i] = std::thread([&results, i] { CL_GetLocaleInfo(&results[i], "POSIX"); });
    for (auto& t : threads)
        t.join();
    for (int i = 1; i < 4; ++i)
        EXPECT_EQ(results[i], results[0]);
    EXPECT_EQ(results[0].fISOName, "POSIX");
}

}  // namespace
