// Message translation: a process-wide translator over a gettext ".mo" catalogue, and
// the texts of the base library's status codes, which pass through it. Without a
// catalogue the Italian source texts are what users see.
#pragma once

#include "lumo/allocator.h"
#include "lumo/containers.h"
#include "lumo/base_types.h"

class CL_Blob;

// Maps a source text, optionally qualified by a context, to its translation in the
// loaded catalogue. Translate runs lock-free on any thread; Load must not overlap it.
class CL_Translator : public CL_Object {
public:
    CL_Translator();
    ~CL_Translator();
    CL_Translator(const CL_Translator&) = delete;
    CL_Translator& operator=(const CL_Translator&) = delete;

    // The process-wide translator, created on first use.
    static CL_Translator& Get();

    // The translation of `text` (under `context` when not null), or `text` itself.
    const char* Translate(const char* text, const char* context = nullptr) const;

    // Takes a catalogue in the gettext .mo layout, either byte order. A malformed
    // catalogue is rejected and the one loaded before stays in force.
    bool Load(const CL_Blob& data);

private:
    CL_Blob* fData;       // owned: the catalogue's bytes
    CL_CStringMap fDict;  // texts pointing into fData
};

// Text of a base-library status code, translated; null for a code without one.
const char* CL_GetError(CL_Status code);
