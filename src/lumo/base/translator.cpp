// Catalogue loading and lookup of the message translator.
#include "lumo/translator.h"

#include <cstring>
#include <string>

#include "lumo/base/byte_order.h"
#include "lumo/blob.h"

namespace {

constexpr uint32 kMagic = 0x950412DE;
constexpr uint32 kMagicSwapped = 0xDE120495;

// Bounds-checked view of a catalogue's bytes in its own byte order.
class Catalogue {
public:
    Catalogue(const uint8* data, uint32 size, bool swap) : fData(data), fSize(size), fSwap(swap) {
        // A string is terminated inside the data exactly when it starts at or before
        // the last NUL; one scan serves every entry, however many point at one string.
        fEnd = fSize;
        while (fEnd > 0 && fData[fEnd - 1] != 0)
            --fEnd;
    }

    // A field past the end reads as 0, as a short catalogue's header does.
    uint32 Field(uint64 offset) const {
        if (offset + 4 > fSize) return 0;
        return fSwap ? lumo_bytes::LoadBE(fData + offset) : lumo_bytes::LoadLE(fData + offset);
    }
    // The string at `offset`, or null when it is not a NUL-terminated string inside the data.
    const char* String(uint32 offset) const {
        if (offset >= fEnd) return nullptr;
        return reinterpret_cast<const char*>(fData + offset);
    }

private:
    const uint8* fData;
    uint32 fSize;
    uint32 fEnd;  // just past the last NUL, 0 when there is none
    bool fSwap;
};

}  // namespace

CL_Translator::CL_Translator() : fData(new CL_Blob()) {}

CL_Translator::~CL_Translator() {
    fDict.Clear();
    delete fData;
}

CL_Translator& CL_Translator::Get() {
    static CL_Translator sTranslator;
    return sTranslator;
}

const char* CL_Translator::Translate(const char* text, const char* context) const {
    if (!text || fDict.Count() == 0) return text;
    if (!context) {
        const char* found = fDict.Get(text);
        return found ? found : text;
    }
    size_t contextLength = strlen(context);
    size_t textLength = strlen(text);
    size_t need = contextLength + 1 + textLength + 1;
    char stackKey[512];
    std::string heapKey;
    char* key = stackKey;
    if (need >= sizeof(stackKey)) {
        heapKey.resize(need);
        key = heapKey.data();
    }
    memcpy(key, context, contextLength);
    key[contextLength] = '\x04';
    memcpy(key + contextLength + 1, text, textLength + 1);
    const char* found = fDict.Get(key);
    return found ? found : text;
}

bool CL_Translator::Load(const CL_Blob& data) {
    CL_Blob copy(data);
    copy.Rewind();
    const uint8* bytes = copy.GetDataForRead();
    uint32 size = copy.GetSize();
    Catalogue probe(bytes, size, false);
    uint32 magic = probe.Field(0);
    if (magic != kMagic && magic != kMagicSwapped) return false;
    Catalogue mo(bytes, size, magic == kMagicSwapped);
    if (mo.Field(4) != 0) return false;
    uint32 count = mo.Field(8);
    uint64 sources = mo.Field(12);
    uint64 translations = mo.Field(16);

    // Check every entry before touching the dictionary, so a malformed catalogue
    // leaves the earlier one in force. The tables must fit in the data, which also
    // bounds the count by the data's size.
    if (count) {
        uint64 tableBytes = uint64(count) * 8;
        if (sources + tableBytes > size || translations + tableBytes > size) return false;
        for (uint32 i = 0; i < count; ++i) {
            if (!mo.String(mo.Field(sources + 4 + 8 * uint64(i))) ||
                !mo.String(mo.Field(translations + 4 + 8 * uint64(i))))
                return false;
        }
    }

    fDict.Clear();
    *fData = copy;
    // The strings point into fData's storage, which this translator now shares.
    Catalogue held(fData->GetDataForRead(), fData->GetSize(), magic == kMagicSwapped);
    for (uint32 i = 0; i < count; ++i) {
        const char* key = held.String(held.Field(sources + 4 + 8 * uint64(i)));
        const char* value = held.String(held.Field(translations + 4 + 8 * uint64(i)));
        fDict.Set(key, value);
    }
    fDict.Shrink();
    return true;
}
