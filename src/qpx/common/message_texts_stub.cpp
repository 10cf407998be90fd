// Temporary: a few server texts until the full table is in the tree.
#include "qpx/common/message_texts.h"

const char* QPX_MessageText(int code) {
    switch (code) {
        case 2014: return "Funzionalità non ancora implementata";
        case 2044: return "Sessione '%s' scaduta";
        case 2209:
        case 2228: return "Errore di esecuzione della query: %s";
        case 4000: return "Comando sconosciuto";
        case 5160:
        case 6100: return "%s";
        default: return nullptr;
    }
}
