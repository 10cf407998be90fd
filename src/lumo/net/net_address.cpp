// IPv4/IPv6 endpoints: construction from numbers and texts, name resolution, the
// numeric-address test and the cached list of this machine's addresses.
#include <arpa/inet.h>
#include <ctype.h>
#include <ifaddrs.h>
#include <netdb.h>

#include <cstring>

#include "lumo/clock.h"
#include "lumo/regex.h"
#include "lumo/socket.h"
#include "lumo/thread.h"
#include "lumo/utf8.h"

namespace {

// The address in a getaddrinfo list to use for a host: the first IPv4 entry that is
// not 0.0.0.0, else the first IPv6 entry that is not ::.
const addrinfo* PickAddress(const addrinfo* list) {
    for (const addrinfo* p = list; p; p = p->ai_next) {
        if (p->ai_family != AF_INET || !p->ai_addr) continue;
        if (reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr != 0) return p;
    }
    for (const addrinfo* p = list; p; p = p->ai_next) {
        if (p->ai_family != AF_INET6 || !p->ai_addr) continue;
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(p->ai_addr)->sin6_addr;
        if (!IN6_IS_ADDR_UNSPECIFIED(&a)) return p;
    }
    return nullptr;
}

std::string NameOf(const sockaddr* address, socklen_t length) {
    char host[1025];
    if (getnameinfo(address, length, host, sizeof(host), nullptr, 0, 0) != 0) return "";
    host[sizeof(host) - 1] = 0;
    return host;
}

const char kIPPattern[] =
    R"PAT(((^\s*((([0-9]|[1-9][0-9]|1[0-9]{2}|2[0-4][0-9]|25[0-5])\.){3}([0-9]|[1-9][0-9]|1[0-9]{2}|2[0-4][0-9]|25[0-5]))\s*$)|(^\s*((([0-9a-f]{1,4}:){7}([0-9a-f]{1,4}|:))|(([0-9a-f]{1,4}:){6}(:[0-9a-f]{1,4}|((25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)(\.(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)){3})|:))|(([0-9a-f]{1,4}:){5}(((:[0-9a-f]{1,4}){1,2})|:((25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)(\.(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)){3})|:))|(([0-9a-f]{1,4}:){4}(((:[0-9a-f]{1,4}){1,3})|((:[0-9a-f]{1,4})?:((25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)(\.(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)){3}))|:))|(([0-9a-f]{1,4}:){3}(((:[0-9a-f]{1,4}){1,4})|((:[0-9a-f]{1,4}){0,2}:((25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)(\.(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)){3}))|:))|(([0-9a-f]{1,4}:){2}(((:[0-9a-f]{1,4}){1,5})|((:[0-9a-f]{1,4}){0,3}:((25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)(\.(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)){3}))|:))|(([0-9a-f]{1,4}:){1}(((:[0-9a-f]{1,4}){1,6})|((:[0-9a-f]{1,4}){0,4}:((25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)(\.(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)){3}))|:))|(:(((:[0-9a-f]{1,4}){1,7})|((:[0-9a-f]{1,4}){0,5}:((25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)(\.(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)){3}))|:)))(%.+)?\s*$)))PAT";

// Process-wide list of local addresses, refreshed at most every 5 s. Several server
// threads may refresh it at once, so it is read and replaced under its lock.
struct LocalAddressCache {
    CL_Mutex fLock;
    CL_Array<CL_NetAddress> fList;
    uint32 fTime = 0;
    bool fValid = false;
};

LocalAddressCache& LocalCache() {
    static LocalAddressCache* cache = new LocalAddressCache;  // outlives static destructors
    return *cache;
}

}  // namespace

CL_NetAddress::CL_NetAddress() : fLocal(LOCAL_NONE) {
    memset(&fIPv6, 0, sizeof(fIPv6));
}

CL_NetAddress::CL_NetAddress(Special special, uint16 port) : CL_NetAddress() {
    switch (special) {
        case ANY:
            fIPv4.sin_family = AF_INET;
            fIPv4.sin_addr.s_addr = htonl(INADDR_ANY);
            break;
        case ANY6:
            fIPv6.sin6_family = AF_INET6;
            fIPv6.sin6_addr = in6addr_any;
            break;
        case LOOPBACK:
            fIPv4.sin_family = AF_INET;
            fIPv4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            fLocal = LOCAL_TRUE;
            break;
        case LOOPBACK6:
            fIPv6.sin6_family = AF_INET6;
            fIPv6.sin6_addr = in6addr_loopback;
            fLocal = LOCAL_TRUE;
            break;
        default:
            return;
    }
    SetPort(port);
}

CL_NetAddress::CL_NetAddress(uint32 ip, uint16 port) : CL_NetAddress() {
    SetIP(ip);
    SetPort(port);
}

CL_NetAddress::CL_NetAddress(uint64 ip, uint16 port) : CL_NetAddress() {
    SetIP(ip);
    SetPort(port);
}

CL_NetAddress::CL_NetAddress(const sockaddr& address) : CL_NetAddress() {
    memcpy(&fAddr, &address, sizeof(sockaddr));
}

CL_NetAddress::CL_NetAddress(const sockaddr_in6& address) : CL_NetAddress() {
    memcpy(&fIPv6, &address, sizeof(sockaddr_in6));
}

CL_NetAddress::CL_NetAddress(const CL_NetAddress& copy) : CL_Object(), fLocal(LOCAL_NONE) {
    memcpy(&fIPv6, &copy.fIPv6, sizeof(fIPv6));
}

CL_NetAddress::CL_NetAddress(const std::string& text) : CL_NetAddress() {
    if (!SetIP(text)) SetHostName(text);
}

CL_NetAddress& CL_NetAddress::operator=(const CL_NetAddress& copy) {
    if (this != &copy) {
        memcpy(&fIPv6, &copy.fIPv6, sizeof(fIPv6));
        fLocal = copy.fLocal;
    }
    return *this;
}

bool CL_NetAddress::operator==(const CL_NetAddress& other) const {
    if (fAddr.sa_family != other.fAddr.sa_family) return false;
    if (fAddr.sa_family == AF_INET)
        return fIPv4.sin_port == other.fIPv4.sin_port &&
               fIPv4.sin_addr.s_addr == other.fIPv4.sin_addr.s_addr;
    if (fAddr.sa_family == AF_INET6)
        return fIPv6.sin6_port == other.fIPv6.sin6_port &&
               memcmp(&fIPv6.sin6_addr, &other.fIPv6.sin6_addr, 16) == 0;
    return true;
}

void CL_NetAddress::SetIP(uint32 ip) {
    uint16 port = GetPort();
    memset(&fIPv6, 0, sizeof(fIPv6));
    fIPv4.sin_family = AF_INET;
    fIPv4.sin_addr.s_addr = htonl(ip);
    fIPv4.sin_port = htons(port);
    ResetCache();
}

void CL_NetAddress::SetIP(uint64 ip) {
    uint16 port = GetPort();
    memset(&fIPv6, 0, sizeof(fIPv6));
    fIPv6.sin6_family = AF_INET6;
    for (int i = 0; i < 6; i++)
        fIPv6.sin6_addr.s6_addr[i] = uint8(ip >> (8 * i));
    fIPv6.sin6_port = htons(port);
    ResetCache();
}

bool CL_NetAddress::SetIP(const std::string& text) {
    ResetCache();
    in_addr a4;
    in6_addr a6;
    uint16 port = GetPort();
    if (inet_pton(AF_INET, text.c_str(), &a4) == 1) {
        memset(&fIPv6, 0, sizeof(fIPv6));
        fIPv4.sin_family = AF_INET;
        fIPv4.sin_addr = a4;
        fIPv4.sin_port = htons(port);
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), &a6) == 1) {
        memset(&fIPv6, 0, sizeof(fIPv6));
        fIPv6.sin6_family = AF_INET6;
        fIPv6.sin6_addr = a6;
        fIPv6.sin6_port = htons(port);
        return true;
    }
    return false;
}

bool CL_NetAddress::SetHostName(const std::string& text) {
    uint16 port = 0;
    std::string host = text;
    size_t colon = text.find(':');
    if (colon != std::string::npos && colon + 1 < text.size()) {
        // Only a whole number counts as a port, so IPv6 texts such as fe80::1 pass whole.
        unsigned int value = 0;
        if (CL_StringToNumber(text.substr(colon + 1), &value, 10)) {
            port = uint16(value & 0xFFFF);
            host = text.substr(0, colon);
        }
    }
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, nullptr, &list) != 0 || !list) return false;
    const addrinfo* chosen = PickAddress(list);
    if (!chosen || chosen->ai_addrlen > sizeof(fIPv6)) {
        freeaddrinfo(list);
        return false;
    }
    memset(&fIPv6, 0, sizeof(fIPv6));
    memcpy(&fIPv6, chosen->ai_addr, chosen->ai_addrlen);
    freeaddrinfo(list);
    if (fAddr.sa_family == AF_INET6) {
        fIPv6.sin6_flowinfo = 0;
        fIPv6.sin6_scope_id = 0;
    }
    SetPort(port);
    ResetCache();
    return true;
}

void CL_NetAddress::SetPort(uint16 port) {
    if (fAddr.sa_family == AF_INET)
        fIPv4.sin_port = htons(port);
    else if (fAddr.sa_family == AF_INET6)
        fIPv6.sin6_port = htons(port);
}

uint16 CL_NetAddress::GetPort() const {
    if (fAddr.sa_family == AF_INET) return ntohs(fIPv4.sin_port);
    if (fAddr.sa_family == AF_INET6) return ntohs(fIPv6.sin6_port);
    return 0;
}

void CL_NetAddress::SetDomain(CL_SocketDomain domain) {
    // The family field takes the system's value, never the enumeration's.
    switch (domain) {
        case CL_SOCKET_DOMAIN_INET:
            fAddr.sa_family = AF_INET;
            break;
        case CL_SOCKET_DOMAIN_INET6:
            fAddr.sa_family = AF_INET6;
            break;
        default:
            fAddr.sa_family = 0;
            break;
    }
    ResetCache();
}

CL_SocketDomain CL_NetAddress::GetDomain() const {
    if (fAddr.sa_family == AF_INET) return CL_SOCKET_DOMAIN_INET;
    if (fAddr.sa_family == AF_INET6) return CL_SOCKET_DOMAIN_INET6;
    return CL_SOCKET_DOMAIN_NONE;
}

socklen_t CL_NetAddress::GetLength() const {
    if (fAddr.sa_family == AF_INET) return sizeof(sockaddr_in);
    if (fAddr.sa_family == AF_INET6) return sizeof(sockaddr_in6);
    return 0;
}

std::string CL_NetAddress::GetHostName() const {
    socklen_t length = GetLength();
    if (!length) return "";
    return NameOf(&fAddr, length);
}

std::string CL_NetAddress::GetIP() const {
    char text[INET6_ADDRSTRLEN];
    if (fAddr.sa_family == AF_INET) {
        if (!inet_ntop(AF_INET, &fIPv4.sin_addr, text, sizeof(text))) return "";
        return text;
    }
    if (fAddr.sa_family == AF_INET6) {
        if (!inet_ntop(AF_INET6, &fIPv6.sin6_addr, text, sizeof(text))) return "";
        return text;
    }
    return "";
}

CL_NetAddress::operator std::string() const {
    if (fAddr.sa_family == AF_INET) return GetIP() + ":" + std::to_string(GetPort());
    if (fAddr.sa_family == AF_INET6) return "[" + GetIP() + "]:" + std::to_string(GetPort());
    return "";
}

bool CL_NetAddress::IsLocal() {
    if (fLocal != LOCAL_NONE) return fLocal == LOCAL_TRUE;
    CL_Array<CL_NetAddress> list;
    if (GetLocalAddresses(&list) != CL_OK) return false;
    fLocal = LOCAL_FALSE;
    std::string mine = GetIP();
    for (uint32 i = 0; i < list.Count(); i++) {
        if (list[i].GetIP() == mine) {
            fLocal = LOCAL_TRUE;
            break;
        }
    }
    return fLocal == LOCAL_TRUE;
}

std::string CL_NetAddress::Lookup(const std::string& text) {
    if (text.empty() || !isalpha(static_cast<unsigned char>(text[0]))) {
        sockaddr_in a4;
        sockaddr_in6 a6;
        memset(&a4, 0, sizeof(a4));
        memset(&a6, 0, sizeof(a6));
        if (inet_pton(AF_INET, text.c_str(), &a4.sin_addr) == 1) {
            a4.sin_family = AF_INET;
            return NameOf(reinterpret_cast<sockaddr*>(&a4), sizeof(a4));
        }
        if (inet_pton(AF_INET6, text.c_str(), &a6.sin6_addr) == 1) {
            a6.sin6_family = AF_INET6;
            return NameOf(reinterpret_cast<sockaddr*>(&a6), sizeof(a6));
        }
        return text;
    }
    addrinfo* list = nullptr;
    if (getaddrinfo(text.c_str(), nullptr, nullptr, &list) != 0 || !list) return "";
    const addrinfo* chosen = PickAddress(list);
    std::string result;
    char buffer[INET6_ADDRSTRLEN];
    if (chosen && chosen->ai_family == AF_INET) {
        if (inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(chosen->ai_addr)->sin_addr, buffer,
                      sizeof(buffer)))
            result = buffer;
    } else if (chosen) {
        if (inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(chosen->ai_addr)->sin6_addr,
                      buffer, sizeof(buffer)))
            result = buffer;
    }
    freeaddrinfo(list);
    return result;
}

CL_NetAddress CL_NetAddress::LocalHost() {
    return CL_NetAddress(LOOPBACK, 0);
}

CL_Status CL_NetAddress::GetLocalAddresses(CL_Array<CL_NetAddress>* list) {
    if (!list) return CL_ERROR;
    uint32 now = CL_GetTime();
    list->Clear();
    list->Append(LocalHost());
    LocalAddressCache& cache = LocalCache();
    CL_AutoLocker guard(cache.fLock);
    if (cache.fValid && uint32(now - cache.fTime) <= 4999) {
        *list = cache.fList;
        return CL_OK;
    }
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return CL_ERROR;
    for (ifaddrs* p = interfaces; p; p = p->ifa_next) {
        if (p->ifa_addr && p->ifa_addr->sa_family == AF_INET)
            list->Append(CL_NetAddress(*p->ifa_addr));
    }
    freeifaddrs(interfaces);
    cache.fList = *list;
    cache.fTime = now;
    cache.fValid = true;
    return CL_OK;
}

bool CL_NetAddress::IsIP(const std::string& text) {
    return CL_RegEx(kIPPattern).Match(text) == CL_OK;
}
