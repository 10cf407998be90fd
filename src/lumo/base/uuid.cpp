// UUIDs: text form, parsing, and the generator. The generator's state is shared by
// the process and serialised by one lock; each issued time is strictly greater than
// the one before, so neither a burst within one clock reading nor a clock that steps
// back can repeat a layout.
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "lumo/blob.h"
#include "lumo/cipher.h"
#include "lumo/digest.h"
#include "lumo/socket.h"
#include "lumo/thread.h"
#include "lumo/uuid.h"

namespace {

// 100 ns intervals from the Gregorian reform (1582-10-15) to the Unix epoch.
constexpr uint64 kGregorianOffset = 0x01B21DD213814000ull;

CL_Mutex sUUIDLock;
CL_AtomicVar sInited;
uint8 sNodeID[6];
uint16 sClock;
uint64 sLastIssued;  // time of the last layout issued

uint64 ReadClock() {
    timeval now;
    gettimeofday(&now, nullptr);
    return uint64(now.tv_sec) * 10000000ull + uint64(now.tv_usec) * 10 + kGregorianOffset;
}

void FormatUUID(const uint8* data, char* out) {
    static const char kDigits[] = "0123456789ABCDEF";
    char* p = out;
    for (int i = 0; i < 16; i++) {
        *p++ = kDigits[data[i] >> 4];
        *p++ = kDigits[data[i] & 15];
        if (i == 3 || i == 5 || i == 7 || i == 9) *p++ = '-';
    }
    *p = 0;
}

// Runs once, under sUUIDLock.
void SetUpGenerator() {
    uint64 t = ReadClock();
    srand(uint32((t >> 32) ^ t));
    sClock = uint16(rand());
    uint8 mac[6];
    CL_Blob node;
    if (CL_NetInterface::GetPrimaryMAC(mac) == CL_OK) {
        node = CL_Blob(mac, 6, true);
    } else {
        char host[257];
        memset(host, 0, sizeof(host));
        gethostname(host, 256);
        host[256] = 0;
        node = CL_Blob(host, 256, true);
    }
    node.Seek(0, CL_SEEK_SET);
    CL_BlowfishCipher cipher;
    cipher.Encrypt(node, 0xFFFFFFFF);
    memcpy(sNodeID, node.GetDataForRead(), 6);
    sLastIssued = 0;
}

}  // namespace

CLU_UUID::CLU_UUID() {
    uint64 time;
    uint8 layout[16];
    {
        CL_AutoLocker guard(sUUIDLock);
        if (sInited.Get() == 0) {
            SetUpGenerator();
            sInited = int32(1);
        }
        uint64 t = ReadClock();
        // Never below or equal to the last issued time: a burst on one reading takes
        // t + 1, t + 2 ... and a clock that went back continues from where it was.
        time = t > sLastIssued ? t : sLastIssued + 1;
        sLastIssued = time;

        uint32 timeLow = uint32(time);
        uint16 timeMid = uint16(time >> 32);
        uint16 timeHi = uint16(((time >> 48) & 0x0FFF) + 0x1000);
        layout[0] = uint8(timeLow >> 24);
        layout[1] = uint8(timeLow >> 16);
        layout[2] = uint8(timeLow >> 8);
        layout[3] = uint8(timeLow);
        layout[4] = uint8(timeMid >> 8);
        layout[5] = uint8(timeMid);
        layout[6] = uint8(timeHi >> 8);
        layout[7] = uint8(timeHi);
        layout[8] = uint8(((sClock >> 8) & 0x3F) + 0x80);
        layout[9] = uint8(sClock);
        memcpy(layout + 10, sNodeID, 6);
    }
    char text[37];
    FormatUUID(layout, text);
    uint8 digest[20];
    CLU_SHA1(std::string(text, 36)).Get(digest);
    memcpy(fUUID.fData, digest, 16);
    fUUID.fData[6] = uint8((fUUID.fData[6] & 0x0F) | 0x50);
    fUUID.fData[8] = uint8((fUUID.fData[8] & 0x3F) | 0x80);
    fBuffer[0] = 0;
}

CLU_UUID::CLU_UUID(int) {
    memset(fUUID.fData, 0, 16);
    fBuffer[0] = 0;
}

CLU_UUID::CLU_UUID(const std::string& uuid) {
    memset(fUUID.fData, 0, 16);
    fBuffer[0] = 0;
    std::string digits;
    digits.reserve(32);
    for (char c : uuid) {
        if (c == '-') continue;
        if (digits.size() == 32) return;  // too long
        digits += c;
    }
    if (digits.size() != 32) return;
    CL_Blob bytes;
    if (!bytes.Decode(digits, CL_BLOB_CODING_BASE_16) || bytes.GetSize() != 16) return;
    memcpy(fUUID.fData, bytes.GetDataForRead(), 16);
}

CLU_UUID::CLU_UUID(CL_Blob& uuid) {
    memset(fUUID.fData, 0, 16);
    fBuffer[0] = 0;
    if (uuid.GetSize() >= 16) memcpy(fUUID.fData, uuid.GetDataForRead(), 16);
}

CLU_UUID::CLU_UUID(const CLU_UUID& copy) : CL_Object() {
    memcpy(fUUID.fData, copy.fUUID.fData, 16);
    memcpy(fBuffer, copy.fBuffer, sizeof(fBuffer));
}

CLU_UUID& CLU_UUID::operator=(const CLU_UUID& copy) {
    if (this != &copy) {
        memcpy(fUUID.fData, copy.fUUID.fData, 16);
        memcpy(fBuffer, copy.fBuffer, sizeof(fBuffer));
    }
    return *this;
}

bool CLU_UUID::operator==(const CLU_UUID& uuid) const {
    return memcmp(fUUID.fData, uuid.fUUID.fData, 16) == 0;
}

void CLU_UUID::GetRaw(CL_Blob& data) const {
    data.Clear();
    data.Append(fUUID.fData, 16);
    data.Seek(0, CL_SEEK_SET);
}

bool CLU_UUID::IsNull() const {
    for (int i = 0; i < 16; i++)
        if (fUUID.fData[i]) return false;
    return true;
}

const char* CLU_UUID::ConvertToString() const {
    if (fBuffer[0] == 0) FormatUUID(fUUID.fData, fBuffer);
    return fBuffer;
}
