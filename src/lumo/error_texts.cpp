// Texts of the base library's status codes. They are the Italian source texts that
// the translator looks up; every caller passes them through CL_Translator.
#include <cstddef>

#include "lumo/translator.h"

namespace {

struct ErrorText {
    int32 fCode;
    const char* fText;
};

// Sorted by code.
const ErrorText kErrorTexts[] = {
    {-1, "Errore generico"},
    {0, "Nessun errore"},
    {1, "Errore interno"},
    {2, "Memoria esaurita"},
    {3, "Accesso negato"},
    {4, "Tempo scaduto"},
    {5, "Operazione interrotta"},
    {6, "Oggetto non inizializzato"},
    {7, "Operazione annullata"},
    {8, "Troppi file aperti"},
    {9, "File non trovato"},
    {10, "Errore di input/output"},
    {11, "Il file già esiste"},
    {12, "La risorsa non è disponibile"},
    {13, "Disco pieno"},
    {14, "L'operazione sarebbe bloccante"},
    {15, "Risorsa non valida"},
    {16, "Pipe terminata"},
    {17, "Oggetto non trovato"},
    {100, "Impossibile creare il socket"},
    {101, "Protocollo non supportato"},
    {102, "Indirizzo dell'host non valido"},
    {103, "Connessione rifiutata"},
    {104, "La rete non è raggiungibile"},
    {105, "L'host non è raggiungibile"},
    {106, "Indirizzo già in uso"},
    {107, "Impossibile connettersi"},
    {108, "Impossibile configurare il socket"},
    {109, "Impossibile effettuare il bind del socket"},
    {110, "Impossibile mettere il socket in ascolto"},
    {111, "Versione di Winsock non supportata"},
    {112, "Errore in lettura dal socket"},
    {113, "Errore in scrittura sul socket"},
    {114, "Non connesso"},
    {115, "La connessione è stata persa"},
    {116, "Connessione già stabilita"},
    {117, "Socket non valido"},
    {118, "Nessuna interfaccia di rete trovata"},
    {200, "Richiesta di esecuzione non valida"},
    {201, "Risposta dal server non valida"},
    {202, "Autorizzazione fallita"},
    {203, "Dati di autorizzazione troppo grandi"},
    {204, "La richiesta di esecuzione è fallita sul server"},
    {205, "Richiesta di esecuzione annullata dall'utente"},
    {206, "Porta di ascolto non disponibile"},
    {207, "Porta di risposta non disponibile"},
    {208, "Client ID non trovato"},
    {209, "Non registrare la richiesta al server"},
    {212, "Completa la richiesta con successo senza commit/rollback di transazione"},
    {300, "Archivio non trovato"},
    {301, "Indice delle risorse non valido nell'archivio"},
    {302, "Definizione della risorsa non valida"},
    {303, "Risorsa non trovata nell'archivio"},
    {304, "Impossibile leggere la risorsa"},
    {305, "Il nome del file di risorsa è in conflitto con un altro file nell'archivio"},
    {306, "Impossibile scrivere la risorsa"},
    {307, "Archivio non caricato"},
    {400, "Flusso dati corrotto"},
    {401, "Flusso dati terminato"},
    {500, "Nessun risultato"},
    {501, "Espressione regolare troppo complessa"},
};

}  // namespace

const char* CL_GetError(int32 code) {
    size_t lo = 0, hi = sizeof(kErrorTexts) / sizeof(kErrorTexts[0]);
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (kErrorTexts[mid].fCode < code)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == sizeof(kErrorTexts) / sizeof(kErrorTexts[0]) || kErrorTexts[lo].fCode != code)
        return nullptr;
    return CL_Translator::Get().Translate(kErrorTexts[lo].fText, nullptr);
}
