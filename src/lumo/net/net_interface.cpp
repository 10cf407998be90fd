// The machine's IPv4 interfaces through the SIOCGIF* ioctls, cached for 5 s, and
// the primary MAC address derived once per process from the first listing.
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "lumo/clock.h"
#include "lumo/socket.h"
#include "lumo/thread.h"

namespace {

constexpr uint32 kRecordSize = sizeof(ifreq);
static_assert(sizeof(ifreq) == 40, "interface request record");
// The kernel never lists this many; it only bounds a misbehaving answer.
constexpr uint32 kMaxListBytes = 4u << 20;

struct InterfaceCache {
    CL_RecursiveMutex fLock;
    CL_Array<CL_NetInterface> fList;
    uint32 fTime = 0;
    bool fValid = false;  // an enumeration has happened
};

InterfaceCache& Cache() {
    static InterfaceCache* cache = new InterfaceCache;  // outlives static destructors
    return *cache;
}

// One interface query on the probe socket; false leaves the request unusable.
bool Query(int probe, unsigned long request, const char* name, ifreq* out) {
    memset(out, 0, sizeof(*out));
    memcpy(out->ifr_name, name, IFNAMSIZ);
    out->ifr_name[IFNAMSIZ - 1] = 0;
    return ioctl(probe, request, out) == 0;
}

// Reads the interface list into a growing buffer; false when the ioctl fails.
bool ReadList(int probe, uint32 max, char** buffer, uint32* length) {
    uint64 size = uint64(max ? max : 1) * kRecordSize;
    if (size > kMaxListBytes) size = kMaxListBytes;
    for (;;) {
        char* data = static_cast<char*>(calloc(1, size));
        if (!data) return false;
        ifconf conf;
        conf.ifc_len = int(size);
        conf.ifc_buf = data;
        if (ioctl(probe, SIOCGIFCONF, &conf) != 0 || conf.ifc_len < 0) {
            free(data);
            return false;
        }
        if (uint64(conf.ifc_len) < size || size + 10 * kRecordSize > kMaxListBytes) {
            *buffer = data;
            *length = uint32(conf.ifc_len) > size ? uint32(size) : uint32(conf.ifc_len);
            return true;
        }
        free(data);
        size += 10 * kRecordSize;
    }
}

CL_Mutex sPrimaryLock;
std::atomic<uint32> sNetInterfaceInited{0};
uint8 sMAC[6];

}  // namespace

CL_NetInterface::CL_NetInterface() : fName(nullptr), fFeatures(CL_NIC_NONE) {
    memset(fMAC, 0, sizeof(fMAC));
}

CL_NetInterface::CL_NetInterface(const CL_NetInterface& copy)
    : CL_Object(),
      fName(nullptr),
      fAddress(copy.fAddress),
      fNetmask(copy.fNetmask),
      fBroadcast(copy.fBroadcast),
      fFeatures(copy.fFeatures) {
    memcpy(fMAC, copy.fMAC, sizeof(fMAC));
    SetName(copy.fName);
}

CL_NetInterface& CL_NetInterface::operator=(const CL_NetInterface& copy) {
    if (this == &copy) return *this;
    SetName(copy.fName);
    memcpy(fMAC, copy.fMAC, sizeof(fMAC));
    fAddress = copy.fAddress;
    fNetmask = copy.fNetmask;
    fBroadcast = copy.fBroadcast;
    fFeatures = copy.fFeatures;
    return *this;
}

CL_NetInterface::~CL_NetInterface() {
    free(fName);
}

void CL_NetInterface::SetName(const char* name) {
    char* copy = name ? strdup(name) : nullptr;
    free(fName);
    fName = copy;
}

void CL_NetInterface::GetMAC(uint8* out) const {
    if (out) memcpy(out, fMAC, sizeof(fMAC));
}

namespace {

// The interface name of a record: its alias suffix (":1") cut off, NUL-padded.
void RecordName(const ifreq& record, char* name) {
    memcpy(name, record.ifr_name, IFNAMSIZ);
    name[IFNAMSIZ - 1] = 0;
    char* colon = strchr(name, ':');
    if (colon) memset(colon, 0, size_t(name + IFNAMSIZ - colon));
}

// What the kernel tells of one interface beside its address. A query that fails
// leaves its field empty rather than reading whatever the request record held.
struct InterfaceDetails {
    CL_NetAddress fNetmask;
    CL_NetAddress fBroadcast;
    uint32 fFeatures = CL_NIC_NONE;
    uint8 fMAC[6] = {0};
};

InterfaceDetails QueryDetails(int probe, const char* name) {
    InterfaceDetails details;
    ifreq query;
    if (Query(probe, SIOCGIFNETMASK, name, &query))
        details.fNetmask = CL_NetAddress(query.ifr_netmask);
    uint32 flags = 0;
    if (Query(probe, SIOCGIFFLAGS, name, &query)) flags = uint16(query.ifr_flags);
    if (flags & IFF_UP) details.fFeatures |= CL_NIC_UP;
    if (flags & IFF_BROADCAST) {
        details.fFeatures |= CL_NIC_CAN_BROADCAST;
        if (Query(probe, SIOCGIFBRDADDR, name, &query))
            details.fBroadcast = CL_NetAddress(query.ifr_broadaddr);
    }
    if (flags & IFF_MULTICAST) details.fFeatures |= CL_NIC_CAN_MULTICAST;
    if (flags & IFF_LOOPBACK)
        details.fFeatures |= CL_NIC_IS_LOOPBACK;
    else if (Query(probe, SIOCGIFHWADDR, name, &query))
        memcpy(details.fMAC, query.ifr_hwaddr.sa_data, 6);
    return details;
}

// Copies up to `max` interfaces of the listing; how many.
uint32 CopyListing(const CL_Array<CL_NetInterface>& list, CL_NetInterface* out, uint32 max) {
    uint32 n = list.Count() < max ? list.Count() : max;
    for (uint32 i = 0; i < n; i++)
        out[i] = list[i];
    return n;
}

}  // namespace

uint32 CL_NetInterface::Enumerate(CL_NetInterface* out, uint32 max) {
    if (!out) max = 0;  // nowhere to write: as a caller with no room
    InterfaceCache& cache = Cache();
    CL_AutoLocker guard(cache.fLock);
    uint32 now = CL_GetTime();
    if (cache.fValid && uint32(now - cache.fTime) <= 4999) return CopyListing(cache.fList, out, max);

    int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return 0;
    char* buffer = nullptr;
    uint32 length = 0;
    if (!ReadList(probe, max, &buffer, &length)) {
        close(probe);
        return 0;
    }
    uint32 n = 0;
    char previous[IFNAMSIZ] = {0};
    for (uint32 offset = 0; offset + kRecordSize <= length && n < max; offset += kRecordSize) {
        ifreq record;
        memcpy(&record, buffer + offset, sizeof(record));
        if (record.ifr_addr.sa_family != AF_INET) continue;
        char name[IFNAMSIZ];
        RecordName(record, name);
        if (n > 0 && memcmp(name, previous, IFNAMSIZ) == 0) continue;
        memcpy(previous, name, IFNAMSIZ);

        InterfaceDetails details = QueryDetails(probe, name);
        CL_NetInterface& item = out[n++];
        item = CL_NetInterface();
        item.SetName(name);
        item.fAddress = CL_NetAddress(record.ifr_addr);
        item.fNetmask = details.fNetmask;
        item.fBroadcast = details.fBroadcast;
        item.fFeatures = details.fFeatures;
        memcpy(item.fMAC, details.fMAC, sizeof(item.fMAC));
    }
    free(buffer);
    close(probe);
    cache.fTime = now;
    cache.fValid = true;
    cache.fList.Clear();
    for (uint32 i = 0; i < n; i++)
        cache.fList.Append(out[i]);
    return n;
}

CL_Status CL_NetInterface::GetPrimaryMAC(uint8* out) {
    // The address is published only after it is complete: the first callers wait on
    // the lock instead of reading a half-written or not yet computed address.
    if (sNetInterfaceInited.load(std::memory_order_acquire) == 0) {
        CL_AutoLocker guard(sPrimaryLock);
        if (sNetInterfaceInited.load(std::memory_order_relaxed) == 0) {
            uint8 mac[6] = {0};
            CL_NetInterface list[16];
            uint32 n = Enumerate(list, 16);
            for (uint32 i = 0; i < n; i++) {
                if (!(list[i].fFeatures & CL_NIC_IS_LOOPBACK)) {
                    memcpy(mac, list[i].fMAC, 6);
                    break;
                }
            }
            memcpy(sMAC, mac, 6);
            sNetInterfaceInited.store(1, std::memory_order_release);
        }
    }
    static const uint8 zero[6] = {0};
    if (memcmp(sMAC, zero, 6) == 0) return CL_NO_NET_INTERFACE;
    if (out) memcpy(out, sMAC, 6);
    return CL_OK;
}
