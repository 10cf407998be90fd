// Server message table: which codes carry a text, which texts are shared, the rows callers
// rely on word for word, and that every text is valid UTF-8 with a pattern the server can fill.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "qpx/common/message_texts.h"

namespace {

constexpr int kFirstCode = 1999;
constexpr int kLastCode = 9500;

// Inclusive ranges of the codes that have a text.
const std::vector<std::pair<int, int>> kTextRanges = {
    {1999, 2007}, {2009, 2020}, {2030, 2030}, {2034, 2035}, {2037, 2055}, {2057, 2061},
    {2063, 2063}, {2065, 2075}, {2078, 2078}, {2084, 2089}, {2100, 2114}, {2116, 2120},
    {2200, 2218}, {2228, 2232}, {2400, 2400}, {2402, 2402}, {2408, 2408}, {2410, 2410},
    {2509, 2511}, {2700, 2719}, {3000, 3005}, {3050, 3054}, {3100, 3102}, {3200, 3203},
    {3300, 3300}, {4000, 4039}, {4041, 4044}, {5000, 5118}, {5120, 5184}, {5188, 5399},
    {5401, 5404}, {5408, 5477}, {5490, 5492}, {5500, 5505}, {5510, 5519}, {6000, 6020},
    {6100, 6100}, {6500, 6506}, {6600, 6613}, {6701, 6702}, {6706, 6707}, {6710, 6718},
    {7000, 7004}, {7100, 7109}, {7125, 7131}, {7135, 7136}, {7150, 7160}, {7175, 7175},
    {7200, 7201}, {7225, 7233}, {7250, 7252}, {7275, 7278}, {7300, 7305}, {7325, 7332},
    {7350, 7350}, {7375, 7385}, {7400, 7400}, {7425, 7430}, {7450, 7461}, {7475, 7481},
    {7500, 7503}, {7525, 7537}, {7540, 7545}, {7550, 7551}, {7575, 7578}, {7600, 7606},
    {7625, 7626}, {7630, 7636}, {7650, 7655}, {7675, 7675}, {7700, 7709}, {7725, 7727},
    {8012, 8014}, {8020, 8022}, {8099, 8099}, {9000, 9009}, {9100, 9103}, {9500, 9500},
};

// Codes that carry one and the same text.
const std::vector<std::vector<int>> kSharedTexts = {
    {2209, 2228}, {2215, 4001}, {5070, 5094}, {5091, 5261, 5281, 5302},
    {5160, 6100}, {6600, 6601}, {6602, 6603}, {6604, 6605},
    {6609, 6613}, {6611, 6612}, {7300, 7350}, {7326, 7327},
};

std::set<int> CodesWithText() {
    std::set<int> codes;
    for (const auto& [first, last] : kTextRanges)
        for (int code = first; code <= last; ++code)
            codes.insert(code);
    return codes;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        int extra;
        unsigned int cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (s.size() - i <= static_cast<size_t>(extra)) return false;
        for (int k = 1; k <= extra; ++k) {
            unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static const unsigned int kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

// The server fills texts with %s, %d and %lld only; %% is a literal percent sign.
bool HasOnlyKnownConversions(const std::string& s) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') continue;
        if (s.compare(i + 1, 1, "s") == 0 || s.compare(i + 1, 1, "d") == 0 ||
            s.compare(i + 1, 1, "%") == 0) {
            ++i;
        } else if (s.compare(i + 1, 3, "lld") == 0) {
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

TEST(MessageTextsHelpers, RejectMalformedInput) {
    EXPECT_TRUE(IsValidUtf8("Qualità è già"));
    EXPECT_FALSE(IsValidUtf8("\xC3"));
    EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));
    EXPECT_FALSE(IsValidUtf8("a\xE2\x82"));
    EXPECT_TRUE(HasOnlyKnownConversions("%s %d %lld 100%%"));
    EXPECT_FALSE(HasOnlyKnownConversions("%ld"));
    EXPECT_FALSE(HasOnlyKnownConversions("%5d"));
    EXPECT_FALSE(HasOnlyKnownConversions("fine %"));
}

TEST(MessageTexts, ExactlyTheListedCodesHaveText) {
    const std::set<int> expected = CodesWithText();
    ASSERT_EQ(expected.size(), 939u);
    int withText = 0;
    for (int code = kFirstCode; code <= kLastCode; ++code) {
        const bool has = QPX_MessageText(code) != nullptr;
        EXPECT_EQ(has, expected.count(code) == 1) << "code " << code;
        withText += has;
    }
    EXPECT_EQ(withText, 939);
}

class MessageTextsEmpty : public ::testing::TestWithParam<int> {};

TEST_P(MessageTextsEmpty, HasNoText) {
    EXPECT_EQ(QPX_MessageText(GetParam()), nullptr);
}

INSTANTIATE_TEST_SUITE_P(GapsAndOutOfRange, MessageTextsEmpty,
                         ::testing::Values(1998, 2008, 9501, 2021, 2401, 5119, 6099, 9499, 0, 1, 2,
                                           -1, 201, INT_MIN, INT_MAX));

TEST(MessageTexts, SharedCodesShareOneText) {
    std::set<int> shared;
    for (const auto& group : kSharedTexts) {
        const char* first = QPX_MessageText(group.front());
        ASSERT_NE(first, nullptr) << group.front();
        for (int code : group) {
            EXPECT_EQ(QPX_MessageText(code), first) << "code " << code;
            shared.insert(code);
        }
    }
    EXPECT_STREQ(QPX_MessageText(5160), "%s");

    // Every other code has a text of its own.
    std::map<std::string, int> owner;
    for (int code : CodesWithText()) {
        if (shared.count(code)) continue;
        auto [it, inserted] = owner.emplace(QPX_MessageText(code), code);
        EXPECT_TRUE(inserted) << "codes " << it->second << " and " << code << " repeat \""
                              << it->first << "\"";
    }
}

struct QuotedRow {
    int code;
    const char* text;
};

// clang-format off
const QuotedRow kQuotedRows[] = {
    {1999, "Errore fatale del server: %s"},
    {2000, "Inizializzazione dei driver di database da '%s'"},
    {2007, "Il server non è configurato"},
    {2011, "Il database è datato e necessita aggiornamento"},
    {2014, "Funzionalità non ancora implementata"},
    {2030, "Il server non supporta connessioni da client esterni"},
    {2043, "Sessione '%s' iniziata da %s"},
    {2044, "Sessione '%s' scaduta"},
    {2051, "[zelmo] Messaggio di prova"},
    {2053, "La chiave di proprietà inserita non è valida"},
    {2054, "Impossibile cancellare il database poichè appartiene ad un altro proprietario"},
    {2101, "'%s' non è un driver QPX valido"},
    {2103, "[%s] Il driver non supporta di ottenere la lista dei database"},
    {2207, "Database non trovato"},
    {2209, "Errore di esecuzione della query: %s"},
    {2229, "La connessione con il server %s è stata persa; si prega di riprovare l'operazione."},
    {2400, "Dizionario dei dati non trovato"},
    {2510, "Il database ha una versione troppo nuova per essere aperto dal server"},
    {2700, "[Scheduler] [%d] Impossibile ottenere la lista dei database per il driver '%s' (%s)"},
    {3100, "La richiesta non è una richiesta JSON-RPC valida"},
    {3200, "Console di amministrazione remota di Zelmo"},
    {4000, "Comando sconosciuto"},
    {4003, "Nessun database connesso"},
    {4004, "ID del client non trovato sul server"},
    {4005, "Operazione interrotta dall'utente"},
    {4008, "La parola chiave dell'utente non è valida"},
    {4009, "L'utente non è autenticato e non può eseguire l'operazione"},
    {4038, "L'operazione sul database è stata interrotta a causa del tempo di esecuzione eccessivo; si prega di riprovare"},
    {4039, "La password dell'utente è scaduta"},
    {4042, "Errore di autenticazione SSO: %s"},
    {5000, "Il tipo categoria specificato non è valido!"},
    {5015, "QV_CategorieMerceologiche.ref_GruppoCategorie non trovato!"},
    {5091, "Codice '%s' non trovato nella tabella %s (%s)!"},
    {6001, "Fattura"},
    {6500, "Cambiato lo stato del documento elettronico da '%s' a '%s'"},
    {6600, "Errore di invio documento elettronico all'intermediario: %s"},
    {7000, "Elaborazione non trovata!"},
    {7001, "Elaborazione fallita: %s!"},
    {8012, "%s: avviata elaborazione %s"},
    {9000, "Impossibile inizializzare i servizi cloud"},
    {9100, "[zelmo] Errore dei servizi cloud"},
};
// clang-format on

TEST(MessageTexts, RowsCallersRelyOnAreVerbatim) {
    for (const QuotedRow& row : kQuotedRows) {
        const char* text = QPX_MessageText(row.code);
        ASSERT_NE(text, nullptr) << "code " << row.code;
        EXPECT_STREQ(text, row.text) << "code " << row.code;
    }
}

TEST(MessageTexts, EveryTextIsWellFormed) {
    for (int code : CodesWithText()) {
        const char* text = QPX_MessageText(code);
        ASSERT_NE(text, nullptr) << "code " << code;
        const std::string s(text);
        EXPECT_FALSE(s.empty()) << "code " << code;
        EXPECT_TRUE(IsValidUtf8(s)) << "code " << code;
        EXPECT_TRUE(HasOnlyKnownConversions(s)) << "code " << code << ": " << s;
        EXPECT_EQ(s.find_first_of("\r\n\t"), std::string::npos) << "code " << code;
        EXPECT_NE(s.back(), ' ') << "code " << code;
    }
}

TEST(MessageTexts, SchedulerLinesCarryTheirPrefix) {
    for (int code = 2700; code <= 2719; ++code) {
        const std::string s(QPX_MessageText(code));
        EXPECT_EQ(s.rfind("[Scheduler] [%d] ", 0), 0u) << "code " << code << ": " << s;
        EXPECT_GT(s.size(), std::strlen("[Scheduler] [%d] ")) << "code " << code;
    }
}

TEST(MessageTexts, DocumentTypeNamesAreBareNames) {
    for (int code = 6000; code <= 6020; ++code) {
        const std::string s(QPX_MessageText(code));
        EXPECT_EQ(s.find('%'), std::string::npos) << "code " << code << ": " << s;
        EXPECT_EQ(s.find('!'), std::string::npos) << "code " << code << ": " << s;
    }
}

}  // namespace
