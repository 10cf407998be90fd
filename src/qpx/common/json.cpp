// Values to and from JSON text on yajl: the generator writes, the callback parser
// reads into the value tree through a stack of the containers being filled.
#include <yajl/yajl_gen.h>
#include <yajl/yajl_parse.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

#include "qpx/common/json_number.h"
#include "qpx/zelmo_client/common.h"

namespace {

// ---- Writing ------------------------------------------------------------------------

void GenText(yajl_gen g, const std::string& text) {
    yajl_gen_string(g, reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

void GenNumber(yajl_gen g, const char* text, size_t length) {
    yajl_gen_number(g, text, length);
}

// Decimals print in fixed point; a value too long to print, or not a number at all,
// has no JSON form.
void GenDecimal(yajl_gen g, const CL_Decimal& value) {
    std::string text = value.ToString(-1, false);
    bool number = !text.empty() &&
                  (text[0] == '-' ? text.size() > 1 && isdigit(static_cast<unsigned char>(text[1]))
                                  : isdigit(static_cast<unsigned char>(text[0])));
    if (number)
        GenNumber(g, text.data(), text.size());
    else
        yajl_gen_null(g);
}

// The fewest digits that read back to the same double, positional for decimal
// exponents from -4 to 15 and scientific beyond, as Python's repr writes them.
void GenDouble(yajl_gen g, double value) {
    if (!std::isfinite(value)) {
        yajl_gen_null(g);
        return;
    }
    char sci[64];
    auto result = std::to_chars(sci, sci + sizeof(sci), value, std::chars_format::scientific);
    std::string text(sci, static_cast<size_t>(result.ptr - sci));
    size_t e = text.find('e');
    int exponent = std::stoi(text.substr(e + 1));
    if (exponent >= -4 && exponent < 16) {
        bool negative = text[0] == '-';
        std::string digits;
        for (size_t i = negative ? 1 : 0; i < e; ++i)
            if (text[i] != '.') digits.push_back(text[i]);
        std::string fixed = negative ? "-" : "";
        if (exponent < 0) {
            fixed += "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
        } else if (digits.size() <= static_cast<size_t>(exponent) + 1) {
            fixed += digits + std::string(static_cast<size_t>(exponent) + 1 - digits.size(), '0');
        } else {
            fixed += digits.substr(0, static_cast<size_t>(exponent) + 1) + "." +
                     digits.substr(static_cast<size_t>(exponent) + 1);
        }
        text = fixed;
    }
    GenNumber(g, text.data(), text.size());
}

// yajl refuses a container at its depth limit only after it has counted it, leaving
// its state broken: a container that deep is written as null instead.
constexpr int kMaxGenDepth = QPX_JSON_MAX_DEPTH;

void FormatEntry(yajl_gen g, const CLU_Entry& e, int depth);

void GenInteger(yajl_gen g, int64 value) {
    char buf[32];
    int n = snprintf(buf, sizeof(buf), "%lld", static_cast<long long>(value));
    GenNumber(g, buf, static_cast<size_t>(n));
}

void FormatList(yajl_gen g, const CLU_List& list, int depth) {
    if (depth >= kMaxGenDepth || yajl_gen_array_open(g) != yajl_gen_status_ok) {
        yajl_gen_null(g);
        return;
    }
    for (const CLU_Entry& item : list)
        FormatEntry(g, item, depth + 1);
    yajl_gen_array_close(g);
}

void FormatTable(yajl_gen g, const CLU_Table& table, int depth) {
    if (depth >= kMaxGenDepth || yajl_gen_map_open(g) != yajl_gen_status_ok) {
        yajl_gen_null(g);
        return;
    }
    for (auto it = table.begin(); it != table.end(); ++it) {
        GenText(g, it.key());
        FormatEntry(g, *it, depth + 1);
    }
    yajl_gen_map_close(g);
}

void FormatEntry(yajl_gen g, const CLU_Entry& e, int depth) {
    switch (e.GetType()) {
        case CLU_BOOL:
            yajl_gen_bool(g, e.fBool ? 1 : 0);
            break;
        case CLU_INTEGER:
            GenInteger(g, e.fInteger);
            break;
        case CLU_DECIMAL:
            GenDecimal(g, e.fDecimal);
            break;
        case CLU_FLOAT:
            GenDouble(g, e.fFloat);
            break;
        case CLU_TEXT:
            GenText(g, e.fString);
            break;
        case CLU_BLOB:
            GenText(g, e.fBlob.Encode(CL_BLOB_CODING_BASE_64));
            break;
        case CLU_DATE:
            GenText(g, e.fDate.ToString(CL_DATE_ISO_FORMAT));
            break;
        case CLU_TIME:
            GenText(g, e.fTime.ToString());
            break;
        case CLU_TIMESTAMP:
            GenText(g, e.fTimeStamp.ToString(CL_TIMESTAMP_ISO_FORMAT));
            break;
        case CLU_LIST:
            FormatList(g, e.fList, depth);
            break;
        case CLU_TABLE:
            FormatTable(g, e.fTable, depth);
            break;
        default:
            yajl_gen_null(g);
            break;
    }
}

// ---- Reading ------------------------------------------------------------------------

struct ParseContext {
    std::vector<CLU_Entry*> fStack;
    std::string fKey;
    int fDepth = 0;
    // Set when a callback stops the parse; replaces yajl's message.
    std::string fFailure;
};

ParseContext& Context(void* ctx) {
    return *static_cast<ParseContext*>(ctx);
}

void Store(ParseContext& c, const CLU_Entry& value) {
    CLU_Entry* top = c.fStack.back();
    if (top->GetType() == CLU_LIST)
        top->fList.Append(value);
    else if (top->GetType() == CLU_TABLE)
        top->fTable.Set(c.fKey, value);
    else
        *top = value;
}

// Opens a container under the top of the stack and makes it the new top.
int Open(void* ctx, CLU_Type type) {
    ParseContext& c = Context(ctx);
    if (c.fDepth >= QPX_JSON_MAX_DEPTH) {
        c.fFailure = "JSON nesting deeper than " + std::to_string(QPX_JSON_MAX_DEPTH) + " levels";
        return 0;
    }
    c.fDepth++;
    CLU_Entry* top = c.fStack.back();
    CLU_Entry empty(type);
    CLU_Entry* opened;
    if (top->GetType() == CLU_LIST) {
        top->fList.Append(empty);
        opened = const_cast<CLU_Entry*>(top->fList.Last());
    } else if (top->GetType() == CLU_TABLE) {
        top->fTable.Set(c.fKey, empty);
        opened = const_cast<CLU_Entry*>(top->fTable.Get(c.fKey));
    } else {
        *top = empty;
        opened = top;
    }
    c.fStack.push_back(opened);
    return 1;
}

int Close(void* ctx) {
    ParseContext& c = Context(ctx);
    if (!c.fStack.empty()) c.fStack.pop_back();
    if (c.fDepth > 0) c.fDepth--;
    return 1;
}

int OnNull(void* ctx) {
    Store(Context(ctx), CLU_Entry());
    return 1;
}

int OnBoolean(void* ctx, int value) {
    CLU_Entry e;
    e.Set(value != 0);
    Store(Context(ctx), e);
    return 1;
}

int OnNumber(void* ctx, const char* text, size_t length) {
    ParseContext& c = Context(ctx);
    CL_Decimal value;
    if (!QPX_JSONNumber(text, length, &value)) {
        c.fFailure = "JSON number out of range: " + std::string(text, length < 64 ? length : 64);
        return 0;
    }
    CLU_Entry e;
    e.Set(value);
    Store(c, e);
    return 1;
}

int OnString(void* ctx, const unsigned char* text, size_t length) {
    CLU_Entry e;
    e.Set(std::string(reinterpret_cast<const char*>(text), length));
    Store(Context(ctx), e);
    return 1;
}

int OnMapKey(void* ctx, const unsigned char* key, size_t length) {
    Context(ctx).fKey.assign(reinterpret_cast<const char*>(key), length);
    return 1;
}

int OnStartMap(void* ctx) {
    return Open(ctx, CLU_TABLE);
}

int OnStartArray(void* ctx) {
    return Open(ctx, CLU_LIST);
}

const yajl_callbacks kCallbacks = {
    OnNull,     OnBoolean, nullptr, nullptr,      OnNumber, OnString,
    OnStartMap, OnMapKey,  Close,   OnStartArray, Close,
};

bool Parse(const unsigned char* text, size_t length, CLU_Entry* root, std::string* error) {
    ParseContext context;
    context.fStack.push_back(root);
    yajl_handle h = yajl_alloc(&kCallbacks, nullptr, &context);
    if (!h) return false;
    yajl_config(h, yajl_allow_comments, 1);
    yajl_status status = yajl_parse(h, text, length);
    if (status == yajl_status_ok) status = yajl_complete_parse(h);
    bool ok = status == yajl_status_ok;
    if (ok) {
        root->Shrink();
    } else if (error) {
        if (!context.fFailure.empty()) {
            *error = context.fFailure;
        } else {
            unsigned char* message = yajl_get_error(h, 1, text, length);
            *error = message ? reinterpret_cast<const char*>(message) : "";
            if (message) yajl_free_error(h, message);
        }
    }
    yajl_free(h);
    return ok;
}

}  // namespace

std::string QPX::FormatJSON(const CLU_Entry& entry, bool beautify) {
    yajl_gen g = yajl_gen_alloc(nullptr);
    if (!g) return std::string();
    yajl_gen_config(g, yajl_gen_beautify, beautify ? 1 : 0);
    yajl_gen_config(g, yajl_gen_validate_utf8, 0);
    FormatEntry(g, entry, 0);
    const unsigned char* buf = nullptr;
    size_t length = 0;
    yajl_gen_get_buf(g, &buf, &length);
    std::string text(reinterpret_cast<const char*>(buf), length);
    yajl_gen_free(g);
    return text;
}

bool QPX::ParseJSON(const std::string& text, CLU_Entry* root, std::string* error) {
    return Parse(reinterpret_cast<const unsigned char*>(text.data()), text.size(), root, error);
}

bool QPX::ParseJSON(CL_Blob* blob, CLU_Entry* root, std::string* error) {
    return Parse(blob->GetDataForRead(), blob->GetSize(), root, error);
}

bool QPX::ParseJSON(const CL_Blob& blob, CLU_Entry* root, std::string* error) {
    return Parse(blob.GetDataForRead(), blob.GetSize(), root, error);
}
