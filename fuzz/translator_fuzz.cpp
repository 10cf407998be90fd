// Fuzz target for gettext ".mo" catalogues. A catalogue loads or is refused without
// fault; a refused one leaves the catalogue loaded before in force; every look-up
// answers a text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lumo/blob.h"
#include "lumo/translator.h"

namespace {

// A small well-formed catalogue (little-endian) translating "Nessun errore".
CL_Blob Known() {
    const std::string source = "Nessun errore", target = "No error";
    std::string mo(28 + 16, '\0');
    auto put = [&](size_t at, uint32 v) { memcpy(&mo[at], &v, 4); };
    put(0, 0x950412de);
    put(8, 1);
    put(12, 28);
    put(16, 36);
    uint32 text = static_cast<uint32>(mo.size());
    put(28, static_cast<uint32>(source.size()));
    put(32, text);
    put(36, static_cast<uint32>(target.size()));
    put(40, text + static_cast<uint32>(source.size()) + 1);
    mo += source + '\0' + target + '\0';
    return CL_Blob(mo);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CL_Translator translator;
    if (!translator.Load(Known())) abort();
    if (strcmp(translator.Translate("Nessun errore"), "No error") != 0) abort();

    CL_Blob input(data, static_cast<uint32>(size));
    bool loaded = translator.Load(input);
    if (!loaded && strcmp(translator.Translate("Nessun errore"), "No error") != 0) abort();

    // Look-ups of texts cut from the input, with and without a context.
    std::string bytes(reinterpret_cast<const char*>(data), size);
    for (size_t at = 0; at < bytes.size() && at < 512; at += 37) {
        std::string piece = bytes.substr(at, 24);
        const char* text = piece.c_str();
        if (!translator.Translate(text) || !translator.Translate(text, "ctx")) abort();
        if (!translator.Translate(text, text)) abort();
    }
    return 0;
}
