// Runs decimal operations read from stdin, one per line, and prints each result with the
// status bits it raised, for comparison against an independent decimal implementation.
//
//   parse TEXT | add A B | sub A B | mul A B | div A B | rem A B | pow A B | cmp A B
//   reduce A | abs A | minus A | rescale A EXP MODE
//   The arithmetic and the unary operations take an optional last word MODE, the
//   rounding: halfup (the default), halfeven, down, up, floor, ceiling.
//   fixed A DECIMALS GROUP (GROUP 0/1: "," every three digits) | floor64 A SCALE
//   clstr TEXT DECIMALS (CL_Decimal parse, then ToString)
//
// Output per line: the result's scientific text (or number) and the status in hex.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "lumo/decimal.h"
#include "lumo/base/decnum/decnum.h"

namespace {

decnum::Context Ctx(decnum::Rounding round = decnum::kRoundHalfUp) {
    decnum::Context c;
    c.round = round;
    return c;
}

decnum::Number Parse(const std::string& text, uint32* status) {
    decnum::Number n;
    decnum::FromString(&n, text.data(), text.size(), Ctx(), status);
    return n;
}

decnum::Rounding Mode(const std::string& word) {
    static const struct {
        const char* name;
        decnum::Rounding mode;
    } kModes[] = {{"halfeven", decnum::kRoundHalfEven},
                  {"down", decnum::kRoundDown},
                  {"up", decnum::kRoundUp},
                  {"floor", decnum::kRoundFloor},
                  {"ceiling", decnum::kRoundCeiling}};
    for (const auto& m : kModes)
        if (word == m.name) return m.mode;
    return decnum::kRoundHalfUp;
}

std::string Sci(const decnum::Number& n) {
    char buf[decnum::kSciBufferSize];
    return std::string(buf, decnum::ToSci(n, buf));
}

std::string Run(const std::vector<std::string>& w) {
    char hex[32];
    uint32 st = 0;
    decnum::Number r;
    const std::string& op = w[0];
    auto out = [&](const std::string& text) {
        snprintf(hex, sizeof(hex), " %x", st);
        return text + hex;
    };
    if (op == "parse" && w.size() == 2) {
        r = Parse(w[1], &st);
        return out(Sci(r));
    }
    if (op == "clstr" && w.size() == 3) {
        bool invalid = false, overflow = false;
        CL_Decimal d;
        d.FromString(w[1], &invalid, &overflow);
        return d.ToString(atoi(w[2].c_str()), false) + (invalid ? " I" : " -") +
               (overflow ? "O" : "-");
    }
    typedef void (*Binary)(decnum::Number*, const decnum::Number&, const decnum::Number&,
                           const decnum::Context&, uint32*);
    struct {
        const char* name;
        Binary fn;
    } static const kBinary[] = {{"add", decnum::Add},       {"sub", decnum::Subtract},
                                {"mul", decnum::Multiply},  {"div", decnum::Divide},
                                {"rem", decnum::Remainder}, {"pow", decnum::Power}};
    for (const auto& b : kBinary) {
        if (op == b.name && (w.size() == 3 || w.size() == 4)) {
            uint32 pst = 0;
            decnum::Number a = Parse(w[1], &pst), c = Parse(w[2], &pst);
            b.fn(&r, a, c, Ctx(w.size() == 4 ? Mode(w[3]) : decnum::kRoundHalfUp), &st);
            return out(Sci(r));
        }
    }
    if (op == "cmp" && w.size() == 3) {
        uint32 pst = 0;
        decnum::Number a = Parse(w[1], &pst), c = Parse(w[2], &pst);
        int32 result;
        if (!decnum::Compare(a, c, &result)) return "NaN";
        return std::to_string(result);
    }
    if ((op == "reduce" || op == "abs" || op == "minus") && (w.size() == 2 || w.size() == 3)) {
        uint32 pst = 0;
        decnum::Number a = Parse(w[1], &pst);
        const decnum::Context ctx = Ctx(w.size() == 3 ? Mode(w[2]) : decnum::kRoundHalfUp);
        if (op == "reduce")
            decnum::Reduce(&r, a, ctx, &st);
        else if (op == "abs")
            decnum::Abs(&r, a, ctx, &st);
        else
            decnum::Minus(&r, a, ctx, &st);
        return out(Sci(r));
    }
    if (op == "rescale" && w.size() == 4) {
        uint32 pst = 0;
        decnum::Rounding mode = Mode(w[3]);
        decnum::Number a;
        decnum::FromString(&a, w[1].data(), w[1].size(), Ctx(mode), &pst);
        decnum::Rescale(&r, a, strtoll(w[2].c_str(), nullptr, 10), Ctx(mode), &st);
        return out(Sci(r));
    }
    if (op == "fixed" && w.size() == 4) {
        uint32 pst = 0;
        decnum::Number a = Parse(w[1], &pst);
        char buf[4096];
        size_t n = decnum::FormatFixed(a, atoi(w[2].c_str()), decnum::kRoundFloor, ".",
                                       w[3] == "1" ? "," : nullptr, buf, sizeof(buf));
        if (n > sizeof(buf)) return "TOOLONG";
        return std::string(buf, n);
    }
    if (op == "floor64" && w.size() == 3) {
        uint32 pst = 0;
        decnum::Number a = Parse(w[1], &pst);
        int64 v;
        if (!decnum::FloorToInt64(a, atoi(w[2].c_str()), &v)) return "FAIL";
        return std::to_string(v);
    }
    return "BADOP";
}

}  // namespace

int main(int argc, char** argv) {
    const char* usage =
        "usage: decimal_driver < OPERATIONS\n"
        "Runs decimal operations read from stdin, one per line, and prints each result with\n"
        "the status bits it raised (in hex):\n"
        "  parse TEXT | add A B | sub A B | mul A B | div A B | rem A B | pow A B | cmp A B\n"
        "  reduce A | abs A | minus A | rescale A EXP MODE\n"
        "  fixed A DECIMALS GROUP | floor64 A SCALE | clstr TEXT DECIMALS\n"
        "The arithmetic and unary operations take an optional last word MODE, the rounding:\n"
        "halfup (the default), halfeven, down, up, floor, ceiling.\n";
    if (argc > 1) {
        bool help = !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h");
        if (!help) fprintf(stderr, "decimal_driver: unknown option %s\n", argv[1]);
        fputs(usage, help ? stdout : stderr);
        return help ? 0 : 2;
    }
    CL_Decimal::Init();
    std::string line;
    std::string output;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::vector<std::string> words;
        std::string word;
        while (in >> word)
            words.push_back(word);
        if (words.empty()) continue;
        output += Run(words);
        output += '\n';
    }
    fwrite(output.data(), 1, output.size(), stdout);
    CL_Decimal::Cleanup();
    return 0;
}
