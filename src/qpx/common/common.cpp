// Password hashing and the machine identity of the client library: the hash the server
// expects for a password, and a UUID for this machine from what it offers.
#include "qpx/zelmo_client/common.h"

#include <dbus/dbus.h>

#include <cstdlib>

#include "lumo/cipher.h"
#include "lumo/socket.h"
#include "lumo/status.h"
#include "qpx/common/machine_id.h"

namespace {

// The cipher keyed with the empty key; only encrypts, which leaves it unchanged, so
// every thread may share it.
CL_BlowfishCipher& PasswordCipher() {
    static CL_BlowfishCipher* sCipher = new CL_BlowfishCipher;
    return *sCipher;
}

}  // namespace

std::string QPX::GetPassword(const std::string& password) {
    CL_Blob blob;
    blob += password;
    blob += blob.CheckSum();
    blob.Seek(0, CL_SEEK_SET);
    PasswordCipher().Encrypt(blob, 0xFFFFFFFFu);
    return blob.MD5();
}

CLU_UUID QPX_ComputerUUIDFrom(const char* override, const char* machineID, const uint8* mac) {
    if (override) return CLU_UUID(std::string(override));
    CL_Blob id;
    if (machineID) id.Decode(machineID, CL_BLOB_CODING_BASE_16);
    if (id.GetSize() == 0 && mac) {
        id.SetSize(6);
        id.Seek(0, CL_SEEK_SET);
        id.Write(mac, 6);
    }
    if (id.GetSize() == 0) {
        id.Seek(0, CL_SEEK_SET);
        id += static_cast<uint8>(0);
    }
    // Repeat the identity until it fills a UUID.
    CL_Blob copy(id.GetDataForRead(), id.GetSize(), true);
    copy.Seek(0, CL_SEEK_SET);
    id.Seek(0, CL_SEEK_END);
    while (id.GetSize() < 16)
        id += copy;
    id.Seek(0, CL_SEEK_SET);
    return CLU_UUID(id);
}

CLU_UUID QPX::GetComputerUUID() {
    const char* override = getenv("ZELMO_MACHINE_UUID");
    if (override) return QPX_ComputerUUIDFrom(override, nullptr, nullptr);
    std::string machineID;
    if (char* id = dbus_try_get_local_machine_id(nullptr)) {
        machineID = id;
        dbus_free(id);
    }
    uint8 mac[6];
    bool haveMAC = machineID.empty() && CL_NetInterface::GetPrimaryMAC(mac) == CL_OK;
    return QPX_ComputerUUIDFrom(nullptr, machineID.empty() ? nullptr : machineID.c_str(),
                                haveMAC ? mac : nullptr);
}
