// The message text of a status code: the client library's own codes, the server's
// message table, then the base library's texts.
#include "qpx/zelmo_client/errors.h"

#include "lumo/status.h"
#include "lumo/translator.h"
#include "qpx/common/message_texts.h"

namespace {

const char* Translate(const char* text) {
    return CL_Translator::Get().Translate(text, nullptr);
}

// The server message that is only a placeholder for the server's own text.
constexpr int kBareMessage = 6100;

}  // namespace

const char* QPX::GetError(int code) {
    switch (code) {
        case CL_OK:
            return Translate("Nessun errore");
        case CL_INTERNAL_ERROR:
            return Translate("Errore interno");
        // The client library reports out of memory as a generic failure.
        case CL_ERROR:
        case CL_OUT_OF_MEMORY:
            return Translate("Errore generico");
        default:
            break;
    }
    if (const char* text = QPX_MessageText(code))
        return code == kBareMessage ? text : Translate(text);
    if (const char* text = CL_GetError(code)) return text;
    return Translate("Errore sconosciuto");
}
