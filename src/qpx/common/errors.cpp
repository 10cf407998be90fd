#include "qpx/zelmo_client/errors.h"

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
        case 0:
            return Translate("Nessun errore");
        case 1:
            return Translate("Errore interno");
        case -1:
        case 2:
            return Translate("Errore generico");
        default:
            break;
    }
    if (const char* text = QPX_MessageText(code))
        return code == kBareMessage ? text : Translate(text);
    if (const char* text = CL_GetError(code)) return text;
    return Translate("Errore sconosciuto");
}
