// Recognising a JSON Web Token among passwords: base64url parts whose header and
// payload are JSON objects; nothing is verified.
#include "qpx/common/jwt.h"

#include <picojson.h>

namespace {

int Base64URLValue(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
}

bool IsJSONObject(const std::string& text) {
    picojson::value value;
    std::string error;
    auto end = picojson::parse(value, text.begin(), text.end(), &error);
    if (!error.empty() || !value.is<picojson::object>()) return false;
    // Nothing but white space may follow the object.
    for (; end != text.end(); ++end)
        if (*end != ' ' && *end != '\t' && *end != '\n' && *end != '\r') return false;
    return true;
}

}  // namespace

bool QPX_DecodeBase64URL(const std::string& text, std::string* bytes) {
    // Tokens may keep their padding.
    size_t length = text.size();
    while (length > 0 && text[length - 1] == '=')
        --length;
    if (length % 4 == 1) return false;
    bytes->clear();
    bytes->reserve(length / 4 * 3 + 2);
    uint32_t bits = 0;
    int count = 0;
    for (size_t i = 0; i < length; ++i) {
        int v = Base64URLValue(static_cast<unsigned char>(text[i]));
        if (v < 0) return false;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes->push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return true;
}

bool QPX_IsJWT(const std::string& text) {
    size_t first = text.find('.');
    if (first == std::string::npos) return false;
    size_t second = text.find('.', first + 1);
    if (second == std::string::npos) return false;
    std::string header, payload, signature;
    return QPX_DecodeBase64URL(text.substr(0, first), &header) && IsJSONObject(header) &&
           QPX_DecodeBase64URL(text.substr(first + 1, second - first - 1), &payload) &&
           IsJSONObject(payload) && QPX_DecodeBase64URL(text.substr(second + 1), &signature);
}
