// Tables to and from XML beside libxml2's own parse and save of the same document,
// and regex find-all beside PCRE2's own match loop over the same 10 MB text.
#include <benchmark/benchmark.h>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "lumo/entry.h"
#include "lumo/regex.h"
#include "lumo/xml.h"

// The three libxml2 calls compared against; the library's headers stay private to lumo.
extern "C" {
_xmlDoc* xmlReadMemory(const char* buffer, int size, const char* url, const char* encoding,
                       int options);
void xmlFreeDoc(_xmlDoc* doc);
void xmlDocDumpFormatMemoryEnc(_xmlDoc* doc, unsigned char** mem, int* size, const char* encoding,
                               int format);
}

namespace {

constexpr int kNoBlanks = 1 << 8;  // XML_PARSE_NOBLANKS
constexpr int kNoNet = 1 << 11;    // XML_PARSE_NONET

// About 5 MB of XML: rows of mixed scalar types.
const CLU_Table& BigTable() {
    static CLU_Table table = [] {
        CLU_Table t;
        CL_Decimal price;
        price.FromString("1234.5678");
        for (int i = 0; i < 22000; i++) {
            CLU_Table row;
            row.Set("id", i)
                .Set("name", "article number " + std::to_string(i))
                .Set("price", price)
                .Set("when", CL_TimeStamp(1, 1 + i % 12, 2000 + i % 25, 12, 30, 15, 0))
                .Set("ok", i % 2 == 0)
                .Set("ratio", i / 7.0);
            char key[16];
            snprintf(key, sizeof(key), "r%05d", i);
            t.Set(key, row);
        }
        return t;
    }();
    return table;
}

const CL_Blob& BigXml() {
    static CL_Blob xml = [] {
        CL_XML_Document doc;
        doc.SetRoot(BigTable().SaveXML(&doc, CLU_XML_STANDARD));
        CL_Blob out;
        doc.Save(out);
        return out;
    }();
    return xml;
}

void BM_TableSaveXML(benchmark::State& state) {
    const CLU_Table& table = BigTable();
    for (auto _ : state) {
        CL_XML_Document doc;
        doc.SetRoot(table.SaveXML(&doc, CLU_XML_STANDARD));
        CL_Blob out;
        doc.Save(out);
        benchmark::DoNotOptimize(out.GetSize());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * BigXml().GetSize());
}
BENCHMARK(BM_TableSaveXML)->Unit(benchmark::kMillisecond);

void BM_LibxmlSave(benchmark::State& state) {
    CL_Blob xml(BigXml());
    CL_XML_Document doc;
    doc.Load(xml, 0);
    for (auto _ : state) {
        unsigned char* text = nullptr;
        int size = 0;
        xmlDocDumpFormatMemoryEnc(doc.fDoc, &text, &size, "UTF-8", 1);
        benchmark::DoNotOptimize(size);
        free(text);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * BigXml().GetSize());
}
BENCHMARK(BM_LibxmlSave)->Unit(benchmark::kMillisecond);

void BM_TableLoadXML(benchmark::State& state) {
    CL_Blob xml(BigXml());
    for (auto _ : state) {
        CL_XML_Document doc;
        doc.Load(xml, 0);
        CL_XML_Node root = doc.GetRoot();
        CLU_Table table;
        table.LoadXML(&doc, root, CLU_XML_STANDARD);
        benchmark::DoNotOptimize(table.Count());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * xml.GetSize());
}
BENCHMARK(BM_TableLoadXML)->Unit(benchmark::kMillisecond);

void BM_LibxmlParse(benchmark::State& state) {
    const CL_Blob& xml = BigXml();
    for (auto _ : state) {
        _xmlDoc* doc =
            xmlReadMemory(reinterpret_cast<const char*>(xml.GetDataForRead()),
                          static_cast<int>(xml.GetSize()), "<memory>", nullptr, kNoBlanks | kNoNet);
        benchmark::DoNotOptimize(doc);
        xmlFreeDoc(doc);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * xml.GetSize());
}
BENCHMARK(BM_LibxmlParse)->Unit(benchmark::kMillisecond);

const char kPattern[] = "(\\w+)@(\\w+)\\.com";

// About 10 MB of words with an address every few lines, and some non-ASCII text.
const std::string& BigText() {
    static std::string text = [] {
        std::string t;
        t.reserve(10 << 20);
        for (int i = 0; t.size() < (10u << 20); i++) {
            t += "line " + std::to_string(i) + " caff\xC3\xA8 lorem ipsum dolor sit amet ";
            if (i % 5 == 0)
                t += "user" + std::to_string(i) + "@host" + std::to_string(i % 97) + ".com";
            t += '\n';
        }
        return t;
    }();
    return text;
}

void BM_RegExFindAll(benchmark::State& state) {
    CL_RegEx::Init();
    const std::string& text = BigText();
    CL_RegEx re(kPattern);
    size_t found = 0;
    for (auto _ : state) {
        CL_Array<CL_Match> matches;
        re.FindAll(text, &matches);
        found = matches.Count();
        benchmark::DoNotOptimize(found);
    }
    state.counters["matches"] = static_cast<double>(found);
    state.SetBytesProcessed(int64_t(state.iterations()) * text.size());
}
BENCHMARK(BM_RegExFindAll)->Unit(benchmark::kMillisecond);

// PCRE2's own loop: the same compiled options and JIT, UTF checked once.
void BM_PCRE2Loop(benchmark::State& state) {
    const std::string& text = BigText();
    pcre2_compile_context* context = pcre2_compile_context_create(nullptr);
    pcre2_set_newline(context, PCRE2_NEWLINE_ANY);
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kPattern), PCRE2_ZERO_TERMINATED,
                                     PCRE2_UTF, &error, &offset, context);
    pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
    size_t found = 0;
    for (auto _ : state) {
        found = 0;
        PCRE2_SIZE start = 0;
        uint32_t options = 0;
        while (pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), start,
                           options, data, nullptr) > 0) {
            const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
            found++;
            start = ovector[1] > ovector[0] ? ovector[1] : ovector[1] + 1;
            options = PCRE2_NO_UTF_CHECK;
            if (start >= text.size()) break;
        }
        benchmark::DoNotOptimize(found);
    }
    state.counters["matches"] = static_cast<double>(found);
    state.SetBytesProcessed(int64_t(state.iterations()) * text.size());
    pcre2_match_data_free(data);
    pcre2_code_free(code);
    pcre2_compile_context_free(context);
}
BENCHMARK(BM_PCRE2Loop)->Unit(benchmark::kMillisecond);

}  // namespace
