// Recognition of JSON Web Tokens among passwords: a token goes to the server as it
// is, while any other password is hashed.
#pragma once

#include <string>

// Unpadded base64url (RFC 4648 section 5) to bytes; false on a character outside the
// alphabet or an impossible length.
bool QPX_DecodeBase64URL(const std::string& text, std::string* bytes);

// Whether `text` is header.payload.signature in base64url, header and payload JSON
// objects. No signature or claim is checked.
bool QPX_IsJWT(const std::string& text);
