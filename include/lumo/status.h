// Status codes of the base library. One list gives every code its name and its
// Italian source text; CL_GetError looks the texts up through the translator.
#pragma once

#include <cstdint>

// Constants only: nothing here holds state.
// X(name, code, text), sorted by code.
#define CL_STATUS_LIST(X)                                                              \
    X(CL_ERROR, -1, "Errore generico")                                                 \
    X(CL_OK, 0, "Nessun errore")                                                       \
    X(CL_INTERNAL_ERROR, 1, "Errore interno")                                          \
    X(CL_OUT_OF_MEMORY, 2, "Memoria esaurita")                                         \
    X(CL_ACCESS_DENIED, 3, "Accesso negato")                                           \
    X(CL_TIMEOUT, 4, "Tempo scaduto")                                                  \
    X(CL_INTERRUPTED, 5, "Operazione interrotta")                                      \
    X(CL_NOT_INITIALIZED, 6, "Oggetto non inizializzato")                              \
    X(CL_CANCELLED, 7, "Operazione annullata")                                         \
    X(CL_TOO_MANY_FILES, 8, "Troppi file aperti")                                      \
    X(CL_FILE_NOT_FOUND, 9, "File non trovato")                                        \
    X(CL_IO_ERROR, 10, "Errore di input/output")                                       \
    X(CL_FILE_EXISTS, 11, "Il file già esiste")                                        \
    X(CL_UNAVAILABLE, 12, "La risorsa non è disponibile")                              \
    X(CL_DISK_FULL, 13, "Disco pieno")                                                 \
    X(CL_WOULD_BLOCK, 14, "L'operazione sarebbe bloccante")                            \
    X(CL_INVALID_RESOURCE, 15, "Risorsa non valida")                                   \
    X(CL_BROKEN_PIPE, 16, "Pipe terminata")                                            \
    X(CL_NOT_FOUND, 17, "Oggetto non trovato")                                         \
    X(CL_SOCKET_CREATE_FAILED, 100, "Impossibile creare il socket")                    \
    X(CL_PROTOCOL_NOT_SUPPORTED, 101, "Protocollo non supportato")                     \
    X(CL_BAD_HOST_ADDRESS, 102, "Indirizzo dell'host non valido")                      \
    X(CL_CONNECTION_REFUSED, 103, "Connessione rifiutata")                             \
    X(CL_NETWORK_UNREACHABLE, 104, "La rete non è raggiungibile")                      \
    X(CL_HOST_UNREACHABLE, 105, "L'host non è raggiungibile")                          \
    X(CL_ADDRESS_IN_USE, 106, "Indirizzo già in uso")                                  \
    X(CL_CANNOT_CONNECT, 107, "Impossibile connettersi")                               \
    X(CL_SOCKET_SETUP_FAILED, 108, "Impossibile configurare il socket")                \
    X(CL_BIND_FAILED, 109, "Impossibile effettuare il bind del socket")                \
    X(CL_LISTEN_FAILED, 110, "Impossibile mettere il socket in ascolto")               \
    X(CL_WINSOCK_VERSION, 111, "Versione di Winsock non supportata")                   \
    X(CL_SOCKET_READ_ERROR, 112, "Errore in lettura dal socket")                       \
    X(CL_SOCKET_WRITE_ERROR, 113, "Errore in scrittura sul socket")                    \
    X(CL_NOT_CONNECTED, 114, "Non connesso")                                           \
    X(CL_CONNECTION_LOST, 115, "La connessione è stata persa")                         \
    X(CL_ALREADY_CONNECTED, 116, "Connessione già stabilita")                          \
    X(CL_INVALID_SOCKET, 117, "Socket non valido")                                     \
    X(CL_NO_NET_INTERFACE, 118, "Nessuna interfaccia di rete trovata")                 \
    X(CL_IPC_BAD_REQUEST, 200, "Richiesta di esecuzione non valida")                   \
    X(CL_IPC_BAD_REPLY, 201, "Risposta dal server non valida")                         \
    X(CL_IPC_AUTH_FAILED, 202, "Autorizzazione fallita")                               \
    X(CL_IPC_AUTH_TOO_LARGE, 203, "Dati di autorizzazione troppo grandi")              \
    X(CL_IPC_EXECUTE_FAILED, 204, "La richiesta di esecuzione è fallita sul server")   \
    X(CL_IPC_EXECUTE_ABORTED, 205, "Richiesta di esecuzione annullata dall'utente")    \
    X(CL_IPC_NO_LISTEN_PORT, 206, "Porta di ascolto non disponibile")                  \
    X(CL_IPC_NO_RESPONDER_PORT, 207, "Porta di risposta non disponibile")              \
    X(CL_IPC_NO_CLIENT_ID, 208, "Client ID non trovato")                               \
    X(CL_IPC_DONT_COUNT, 209, "Non registrare la richiesta al server")                 \
    X(CL_IPC_NO_TRANSACTION, 212,                                                      \
      "Completa la richiesta con successo senza commit/rollback di transazione")       \
    X(CL_ARCHIVE_NOT_FOUND, 300, "Archivio non trovato")                               \
    X(CL_ARCHIVE_BAD_INDEX, 301, "Indice delle risorse non valido nell'archivio")      \
    X(CL_ARCHIVE_BAD_RESOURCE, 302, "Definizione della risorsa non valida")            \
    X(CL_ARCHIVE_RESOURCE_NOT_FOUND, 303, "Risorsa non trovata nell'archivio")         \
    X(CL_ARCHIVE_READ_FAILED, 304, "Impossibile leggere la risorsa")                   \
    X(CL_ARCHIVE_NAME_CONFLICT, 305,                                                   \
      "Il nome del file di risorsa è in conflitto con un altro file nell'archivio")    \
    X(CL_ARCHIVE_WRITE_FAILED, 306, "Impossibile scrivere la risorsa")                 \
    X(CL_ARCHIVE_NOT_LOADED, 307, "Archivio non caricato")                             \
    X(CL_STREAM_CORRUPT, 400, "Flusso dati corrotto")                                  \
    X(CL_STREAM_END, 401, "Flusso dati terminato")                                     \
    X(CL_REGEX_NO_MATCH, 500, "Nessun risultato")                                      \
    X(CL_REGEX_TOO_COMPLEX, 501, "Espressione regolare troppo complessa")

#define CL_STATUS_ENUMERATOR(name, code, text) name = code,
enum : int32_t { CL_STATUS_LIST(CL_STATUS_ENUMERATOR) };
#undef CL_STATUS_ENUMERATOR
