// A worker's answer to an AUTH request: the connection table the connect callback
// judges, the refusal (NO_AUTH) or the grant, which sets up the connection cipher and
// answers with the reply table. A connection is let in once: a repeated AUTH fails.
#include "lumo/cipher.h"
#include "lumo/entry.h"
#include "lumo/table.h"
#include "tcp_server_records.h"

using Impl = CL_TCPServer::Impl;

bool Impl::Authorize(Exchange& x) {
    fServer.Log(CL_LOG_LEVEL_DEBUG, T("[Worker %d] [%d:%d] Ricevuta richiesta di autorizzazione"),
        int(x.fWorker->fID), int(x.fClient->fID), int(x.fSequence));
    // An authorised connection keeps its callback's verdict, cipher and flags: a second
    // AUTH fails, in the connection's own cipher and compression like any failure.
    if (x.fClient->fAuthorized) {
        fServer.Log(CL_LOG_LEVEL_WARNING,
            T("[Worker %d] [%d:%d] Autorizzazione già concessa, la richiesta ripetuta è "
              "rifiutata"),
            int(x.fWorker->fID), int(x.fClient->fID), int(x.fSequence));
        x.fOutput.Clear();
        CL_MakeReply(x.fHeader, CL_PACKET_TYPE_FAILED, fServer.GetFlags(), &x.fReply);
        CL_EncodePayload(&x.fReply, x.fOutput, fServer.GetFlags(), x.fClient->fContext->GetCipher(), true);
        return true;
    }
    x.fClient->fContext->SetFlags(x.fHeader.fConnection.fFlags);
    CLU_Table payload;
    x.fInput.Seek(0, CL_SEEK_SET);
    payload.Unflatten(x.fInput);
    CLU_Table table;
    BuildConnectionTable(x, payload, &table);
    CL_Status refusal = AdmitClient(x, table);
    x.fOutput.Clear();
    if (refusal != CL_OK) {
        CL_MakeNoAuthReply(x.fHeader, uint32(refusal), &x.fReply);
        x.fClient->fAuthorized = false;
        return true;
    }
    GrantAccess(x, payload, table);
    return true;
}

// What the connect callback sees of the connection: the peer, the client id, the AUTH
// payload and the connection flags. The peer's address and the id are the server's
// own: a payload that names them too does not replace them.
void Impl::BuildConnectionTable(Exchange& x, const CLU_Table& payload, CLU_Table* table) {
    Client* client = x.fClient;
    std::string ip = client->fPeer.GetIP();
    if (ip == CL_NetAddress::LocalHost().GetIP()) {
        CL_AutoLocker lock(fLock);
        ip = fAddress.GetIP();
    }
    table->Set("client_host", ip);
    table->Set("client_port", (long long)client->fPeer.GetPort());
    table->Set("client_id", (long long)client->fID);
    table->Update(payload);
    table->Set("client_host", ip);
    table->Set("client_port", (long long)client->fPeer.GetPort());
    table->Set("client_id", (long long)client->fID);
    table->Set("flags", (long long)x.fHeader.fConnection.fFlags);
}

// CL_OK to let the client in, else the refusal code its NO_AUTH reply carries.
CL_Status Impl::AdmitClient(Exchange& x, CLU_Table& table) {
    int w = int(x.fWorker->fID);
    int c = int(x.fClient->fID);
    int n = int(x.fSequence);
    uint32 version = x.fHeader.fVersion;
    if (version > CL_IPC_VERSION) {
        fServer.Log(CL_LOG_LEVEL_WARNING,
            T("[Worker %d] [%d:%d] Autorizzazione negata a causa di versione del protocollo di "
              "comunicazione non supportata (%d.%d.%d)"),
            w, c, n, CL_VersionMajor(version), CL_VersionMinor(version), CL_VersionPatch(version));
        return CL_PROTOCOL_NOT_SUPPORTED;
    }
    // One copy of the callback: the table may be replaced meanwhile.
    CL_ConnectCB connect = fServer.GetCallbacks().fConnect;
    if (!connect) {
        fServer.Log(CL_LOG_LEVEL_DEBUG,
            T("[Worker %d] [%d:%d] Salto l'autorizzazione, il server è pubblico"), w, c, n);
        return CL_OK;
    }
    CL_Status refusal = connect(x.fClient->fContext.get(), &table);
    if (refusal != CL_OK)
        fServer.Log(CL_LOG_LEVEL_WARNING, T("[Worker %d] [%d:%d] Autorizzazione fallita"), w, c, n);
    return refusal;
}

// The AUTH reply with the server's flags and the client id, the connection cipher,
// the client's chat port and protocol version, and the reply table.
void Impl::GrantAccess(Exchange& x, const CLU_Table& payload, CLU_Table& table) {
    Client* client = x.fClient;
    fServer.Log(CL_LOG_LEVEL_DEBUG, T("[Worker %d] [%d:%d] Autorizzazione concessa"),
        int(x.fWorker->fID), int(client->fID), int(x.fSequence));
    CL_MakeAuthReply(x.fHeader, fServer.GetFlags(), client->fID, &x.fReply);
    CL_Cipher* cipher = CL_NewConnectionCipher(fServer.GetFlags(), client->fID, fID);
    CL_Cipher* old = client->fContext->GetCipher();
    client->fContext->SetCipher(cipher);
    delete old;
    uint16 chatPort = uint16(payload.GetInteger("chat_port"));
    {
        CL_AutoLocker lock(fLock);
        client->fChatPort = chatPort;
        client->fProtocolVersion = x.fHeader.fVersion;
        client->fAuthorized = true;
    }
    table.Set("host", payload.GetString("host"));
    table.Set("tenant_key", payload.GetString("tenant_key"));
    table.Set("chat_port", (long long)chatPort);
    // The AUTH reply itself is always in format version 2; what follows is in the
    // version the client's protocol reads.
    CLU_Entry::SetFlattenedVersion(2);
    table.Flatten(x.fOutput);
    CLU_Entry::SetFlattenedVersion(x.fHeader.fVersion < CL_IPC_VERSION ? 1 : 2);
    x.fOutput.Seek(0, CL_SEEK_SET);
}
