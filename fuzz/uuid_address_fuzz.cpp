// Fuzz target for UUID text and numeric network-address text. A UUID reads from 32
// hex digits with dashes anywhere and nothing else, and its text reads back to it;
// an address that reads prints to text that reads back to the same address. Nothing
// here resolves a name.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "lumo/blob.h"
#include "lumo/init.h"
#include "lumo/socket.h"
#include "lumo/uuid.h"

namespace {

// The 32 digits, upper case, of a UUID text; empty when the text is not one.
std::string Digits(const std::string& text) {
    std::string digits;
    for (unsigned char c : text) {
        if (c == '-') continue;
        if (!isxdigit(c)) return "";
        digits += static_cast<char>(toupper(c));
    }
    return digits.size() == 32 ? digits : "";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CL_Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);

    CLU_UUID uuid(text);
    std::string printed = uuid.Get();
    std::string expected = Digits(text);
    std::string plain;
    for (char c : printed)
        if (c != '-') plain += c;
    if (!expected.empty() && plain != expected) abort();
    if (expected.empty() && !uuid.IsNull()) abort();
    if (CLU_UUID(printed) != uuid || printed.size() != 36) abort();

    CL_Blob raw(data, static_cast<uint32>(size));
    CLU_UUID fromBytes(raw);
    CL_Blob back;
    fromBytes.GetRaw(back);
    if (size >= 16 && back.Raw() != text.substr(0, 16)) abort();
    if (size < 16 && !fromBytes.IsNull()) abort();

    CL_NetAddress address(CL_NetAddress::LOOPBACK, 80);
    if (address.SetIP(text)) {
        CL_NetAddress again(CL_NetAddress::LOOPBACK, 80);
        if (!again.SetIP(address.GetIP()) || !(again == address)) abort();
        (void)static_cast<std::string>(address);
    }
    (void)CL_NetAddress::IsIP(text);
    return 0;
}
