// Scripted server end of the TCP RPC for tests: listens on 127.0.0.1 (port 0), takes
// one connection at a time and follows a script, byte for byte, including every fault
// a peer can commit. Used in-process by the C++ tests and benchmarks, and through the
// program rpc_scripted_peer (tests/tools/rpc_scripted_peer.cpp) by other languages.
//
// A script is a list of steps, one per line or separated by ';'; '#' starts a comment.
// Numbers are decimal or 0x hexadecimal. TYPE is a packet type name (SERVER_INFO,
// PING, AUTH, NO_AUTH, DATA, FAILED, ABORT, ABORT_ALL) or number; "any" matches all.
//
//   accept                  take the next connection (the first is taken on demand)
//   handshake [FLAGS] [CLIENT] [SERVER]
//                           answer SERVER_INFO with server id SERVER and AUTH with the
//                           granted FLAGS and client id CLIENT (defaults 0, 7,
//                           0x1122334455660000); the AUTH reply's payload is the table
//                           {"server": "scripted", "client": CLIENT}
//   recv TYPE               read one whole packet (all its chunks); it becomes the
//                           current request; a different type ends the script
//   reply TYPE PAYLOAD [OPTION...]
//                           reply to the current request, encoded as the connection
//                           flags say (checksum, compression, cipher) and chunked
//   ping PERCENT|unknown [TEXT]
//                           a PING for the current request, with TEXT as message
//   ping-until TYPE PERCENT|unknown [TEXT]
//                           such a PING every 100 ms until the client sends something
//                           (at most 10 s), which is then read as `recv TYPE` reads it
//   hold TYPE PAYLOAD [OPTION...]
//                           build a reply as `reply` does but keep its chunks
//   send INDEX COUNT|all    write the next COUNT held chunks of request INDEX (the
//                           INDEX-th packet received, from 0)
//   bytes INDEX N|-N|all    write the next N bytes (with -N: all but the last N) of the
//                           held chunks of request INDEX, across chunk boundaries (a
//                           stall in the middle of one)
//   trickle INDEX MS [N]    write the next N (default all) held bytes of request INDEX
//                           one at a time, MS ms apart, until the client closes
//   bomb SIZE               a compressed DATA reply to the current request that
//                           inflates to SIZE zero bytes (checksum 0), built a
//                           megabyte at a time and ciphered chunk by chunk
//   use INDEX               the INDEX-th packet received becomes the current request
//   raw HEX                 write bytes as they are
//   sleep MS                pause
//   hang MS                 pause without reading, ended early by Stop (a server
//                           that takes nothing more)
//   close                   close the connection
//   wait-close [MS]         read and drop until the client closes (default 10000 ms)
//   serve [FLAGS]           until the client closes: handshake granting FLAGS, echo
//                           every DATA (FAILED "flags" for one whose flags are not
//                           the connection's or that does not decode), answer ABORT
//                           with ABORT
//   loop [FLAGS]            accept connections until the peer stops, serving each on
//                           a thread of its own as `serve` does
//
// PAYLOAD: "-" (none), "echo" (the current request's plain payload), text:WORD,
// hex:HEX, bytes:N (byte i is (i * 131 + 7) & 0xFF), zeros:N, table (the AUTH reply
// table above).
// OPTION (header fields set after encoding): magic=N, version=N, flags=N (every
// chunk), seq=N (every chunk), size=N (first chunk), csum=N, cmd=N, error=N (offset
// 24 of NO_AUTH), client=N and grant=N (an AUTH reply's client id and flags, which
// also key the cipher), server=N (a SERVER_INFO reply's id), plain (neither
// compressed nor ciphered), cut=N (write only the first N bytes).
//
// The program prints "PORT <n>" first, one "RECV ..." line per packet read (type,
// flags, sequence, size, the first header and the payload as on the wire in
// hexadecimal, and "plain=" for a DATA payload it could decode), then "DONE" or
// "FAIL <reason>", and exits 0 or 1.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lumo/blob.h"
#include "lumo/cipher.h"
#include "lumo/ipc.h"
#include "lumo/table.h"

namespace scripted {

// One packet as the peer read it.
struct Received {
    CL_PacketHeader fHeader;             // the first chunk's
    std::vector<CL_PacketHeader> fChunks;  // every chunk's header
    std::string fWire;                   // the payload bytes as they came
    std::string fPlain;                  // deciphered and inflated (DATA), else fWire
    bool fDecoded = false;
};

inline std::string ToHex(const void* data, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    const uint8* p = static_cast<const uint8*>(data);
    for (size_t i = 0; i < n; i++) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

inline std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

inline std::string PatternBytes(uint32 n) {
    std::string out(n, '\0');
    for (uint32 i = 0; i < n; i++) out[i] = char((i * 131 + 7) & 0xFF);
    return out;
}

inline uint64 Number(const std::string& text) { return std::stoull(text, nullptr, 0); }

inline int TypeNumber(const std::string& name) {
    static const std::map<std::string, int> names = {
        {"DISCOVER", 1}, {"SERVER_INFO", 2}, {"PING", 3},     {"AUTH", 4},      {"NO_AUTH", 5},
        {"DATA", 6},     {"FAILED", 7},      {"ABORT", 8},    {"ABORT_ALL", 9}, {"any", -1}};
    auto it = names.find(name);
    return it != names.end() ? it->second : int(Number(name));
}

inline CL_Blob ReplyTable(uint32 clientID) {
    CLU_Table table;
    table.Set("server", std::string("scripted"));
    table.Set("client", (long long)clientID);
    CL_Blob blob;
    table.Flatten(blob);
    blob.Seek(0, CL_SEEK_SET);
    return blob;
}

class Peer {
public:
    // port 0: a free one.
    explicit Peer(uint16 port = 0) {
        fListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fListener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in address;
        memset(&address, 0, sizeof(address));
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        bind(fListener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        listen(fListener, 64);
        socklen_t length = sizeof(address);
        getsockname(fListener, reinterpret_cast<sockaddr*>(&address), &length);
        fPort = ntohs(address.sin_port);
    }
    ~Peer() {
        Stop();
        if (fListener >= 0) close(fListener);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    uint16 Port() const { return fPort; }
    // Receive buffer of the connections accepted from now on (before any is made, so
    // that the window they open is that small).
    void SetReceiveBuffer(int bytes) {
        setsockopt(fListener, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
    }
    // Where each received packet is reported as it comes (the program prints it).
    void SetLogger(std::function<void(const Received&)> logger) { fLogger = std::move(logger); }

    // Runs the script on a thread of its own.
    void Start(const std::string& script) {
        fThread = std::thread([this, script] { fResult = Run(script); });
    }
    // Waits for the script started by Start: "" when it ran through, else the reason.
    std::string Join() {
        if (fThread.joinable()) fThread.join();
        return fResult;
    }
    // Ends a loop or a wait and joins.
    void Stop() {
        fStop = true;
        if (fThread.joinable()) fThread.join();
        std::lock_guard<std::mutex> guard(fServeLock);
        for (auto& server : fServers)
            if (server.joinable()) server.join();
        fServers.clear();
    }

    // Steps of the script run through so far.
    int StepsDone() const { return fSteps.load(); }

    std::vector<Received> GetReceived() {
        std::lock_guard<std::mutex> guard(fReceivedLock);
        return fReceived;
    }

    // Runs the script in the calling thread: "" when it ran through, else the reason.
    std::string Run(const std::string& script) {
        Connection connection;
        std::string steps = script;
        for (char& c : steps)
            if (c == ';') c = '\n';
        std::istringstream lines(steps);
        std::string line;
        while (std::getline(lines, line)) {
            size_t hash = line.find('#');
            if (hash != std::string::npos) line.resize(hash);
            std::istringstream words(line);
            std::vector<std::string> args;
            std::string word;
            while (words >> word) args.push_back(word);
            if (args.empty()) continue;
            std::string error;
            try {
                error = Step(connection, args);
            } catch (const std::exception& e) {
                error = std::string("bad step: ") + e.what();
            }
            if (!error.empty()) {
                connection.Close();
                return line + ": " + error;
            }
            fSteps++;
        }
        connection.Close();
        return "";
    }

private:
    struct Held {
        std::vector<std::string> fChunks;
        size_t fNext = 0;
        size_t fOffset = 0;  // bytes of chunk fNext already written

        // The next `n` bytes still held (fewer when fewer are left).
        std::string Take(size_t n) {
            std::string out;
            while (n > 0 && fNext < fChunks.size()) {
                const std::string& chunk = fChunks[fNext];
                size_t k = std::min(n, chunk.size() - fOffset);
                out.append(chunk, fOffset, k);
                fOffset += k;
                n -= k;
                if (fOffset == chunk.size()) {
                    fNext++;
                    fOffset = 0;
                }
            }
            return out;
        }
        size_t Left() const {
            size_t n = 0;
            for (size_t i = fNext; i < fChunks.size(); i++) n += fChunks[i].size();
            return n - fOffset;
        }
    };

    // One accepted connection and what the script knows about it.
    struct Connection {
        int fSocket = -1;
        uint16 fFlags = 0;
        uint32 fClientID = 7;
        uint64 fServerID = 0x1122334455660000ull;
        std::unique_ptr<CL_Cipher> fCipher;
        std::vector<Received> fRequests;
        int fCurrent = -1;
        std::map<int, Held> fHeld;

        ~Connection() { Close(); }
        void Close() {
            if (fSocket >= 0) close(fSocket);
            fSocket = -1;
        }
        void Rekey() {
            fCipher.reset(CL_NewConnectionCipher(fFlags, fClientID, fServerID));
        }
    };

    bool AcceptInto(Connection& connection, uint32 ms) {
        connection.Close();
        connection.fRequests.clear();
        connection.fHeld.clear();
        connection.fCurrent = -1;
        connection.fFlags = 0;
        connection.fCipher.reset();
        pollfd p = {fListener, POLLIN, 0};
        uint32 waited = 0;
        while (waited < ms && !fStop) {
            int r = poll(&p, 1, 50);
            if (r > 0) break;
            waited += 50;
        }
        if (!(p.revents & POLLIN)) return false;
        connection.fSocket = accept4(fListener, nullptr, nullptr, SOCK_CLOEXEC);
        int on = 1;
        setsockopt(connection.fSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        return connection.fSocket >= 0;
    }

    // Reads exactly n bytes: 1 done, 0 the client closed, -1 time-out or error.
    int ReadAll(int fd, void* buffer, size_t n, uint32 ms) {
        uint8* at = static_cast<uint8*>(buffer);
        uint32 waited = 0;
        while (n > 0) {
            pollfd p = {fd, POLLIN, 0};
            int r = poll(&p, 1, 50);
            if (r == 0) {
                waited += 50;
                if (waited >= ms || fStop) return -1;
                continue;
            }
            ssize_t k = recv(fd, at, n, 0);
            // A client that closes with replies still unread resets the connection.
            if (k == 0 || (k < 0 && errno == ECONNRESET)) return 0;
            if (k < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                return -1;
            }
            at += k;
            n -= size_t(k);
        }
        return 1;
    }

    bool WriteAll(int fd, const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t k = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (k < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            done += size_t(k);
        }
        return true;
    }

    // Reads one packet, all its chunks: "" or the reason it could not.
    std::string ReadPacket(Connection& c, Received* out, uint32 ms = 10000, bool record = true) {
        if (c.fSocket < 0 && !AcceptInto(c, ms)) return "no connection";
        CL_PacketHeader header;
        int r = ReadAll(c.fSocket, &header, sizeof(header), ms);
        if (r == 0) return "client closed";
        if (r < 0) return "nothing came";
        out->fHeader = header;
        out->fChunks.push_back(header);
        uint32 n = CL_ChunkPayloadSize(header);
        for (;;) {
            std::string chunk(n, '\0');
            if (n && ReadAll(c.fSocket, chunk.data(), n, ms) != 1) return "payload cut short";
            out->fWire += chunk;
            if (header.fSize <= CL_IPC_CHUNK_SIZE) break;
            uint32 left = header.fSize - n;
            if (ReadAll(c.fSocket, &header, sizeof(header), ms) != 1) return "chunk missing";
            if (header.fSize != left) return "chunk size does not continue the packet";
            out->fChunks.push_back(header);
            n = CL_ChunkPayloadSize(header);
        }
        out->fPlain = out->fWire;
        if (out->fHeader.fType == CL_PACKET_TYPE_DATA) {
            CL_Blob payload(out->fWire.data(), uint32(out->fWire.size()), true);
            if (CL_DecodePayload(out->fHeader, payload, c.fCipher.get()) == 0) {
                out->fPlain = payload.Raw();
                out->fDecoded = true;
            }
        }
        if (!record) return "";
        {
            std::lock_guard<std::mutex> guard(fReceivedLock);
            fReceived.push_back(*out);
        }
        if (fLogger) fLogger(*out);
        return "";
    }

    std::string Payload(Connection& c, const std::string& form, CL_Blob* out) {
        out->Clear();
        std::string bytes;
        if (form == "-") {
        } else if (form == "echo") {
            if (c.fCurrent < 0) return "no request to echo";
            bytes = c.fRequests[size_t(c.fCurrent)].fPlain;
        } else if (form == "table") {
            *out = ReplyTable(c.fClientID);
            return "";
        } else if (form.rfind("text:", 0) == 0) {
            bytes = form.substr(5);
        } else if (form.rfind("hex:", 0) == 0) {
            bytes = FromHex(form.substr(4));
        } else if (form.rfind("bytes:", 0) == 0) {
            bytes = PatternBytes(uint32(Number(form.substr(6))));
        } else if (form.rfind("zeros:", 0) == 0) {
            bytes = std::string(Number(form.substr(6)), '\0');
        } else {
            return "unknown payload " + form;
        }
        out->Set(bytes.data(), uint32(bytes.size()));
        out->Seek(0, CL_SEEK_SET);
        return "";
    }

    // The wire chunks of a reply to the current request.
    std::string BuildReply(Connection& c, const std::vector<std::string>& args,
                           std::vector<std::string>* chunks) {
        if (args.size() < 3) return "reply needs a type and a payload";
        if (c.fCurrent < 0) return "no request to answer";
        const CL_PacketHeader& request = c.fRequests[size_t(c.fCurrent)].fHeader;
        int type = TypeNumber(args[1]);
        std::map<std::string, std::string> options;
        bool plain = false;
        for (size_t i = 3; i < args.size(); i++) {
            size_t eq = args[i].find('=');
            if (eq == std::string::npos) {
                if (args[i] == "plain") plain = true;
                continue;
            }
            options[args[i].substr(0, eq)] = args[i].substr(eq + 1);
        }
        if (options.count("client")) c.fClientID = uint32(Number(options["client"]));
        if (options.count("server")) c.fServerID = Number(options["server"]);
        CL_Blob payload;
        std::string error = Payload(c, args[2], &payload);
        if (!error.empty()) return error;

        CL_PacketHeader header;
        bool encode = false;
        switch (type) {
            case CL_PACKET_TYPE_SERVER_INFO:
                CL_MakeServerInfoReply(request, c.fServerID, &header);
                break;
            case CL_PACKET_TYPE_AUTH: {
                uint16 grant = uint16(options.count("grant") ? Number(options["grant"]) : c.fFlags);
                CL_MakeAuthReply(request, grant, c.fClientID, &header);
                header.fType = CL_PACKET_TYPE_AUTH;
                break;
            }
            case CL_PACKET_TYPE_NO_AUTH:
                CL_MakeNoAuthReply(request, uint32(options.count("error") ? Number(options["error"]) : 0),
                                   &header);
                break;
            case CL_PACKET_TYPE_PING:
                CL_MakePing(&header, nullptr, request.fSequence, -1.0, nullptr);
                break;
            default:
                CL_MakeReply(request, CL_PacketType(type), c.fFlags, &header);
                encode = true;
                break;
        }
        if (encode) {
            header.fData.fCheckSum = payload.CheckSum();
            if (!plain) CL_EncodePayload(&header, payload, c.fFlags, c.fCipher.get(), true);
        }
        if (options.count("magic")) header.fMagic = uint32(Number(options["magic"]));
        if (options.count("version")) header.fVersion = uint32(Number(options["version"]));
        if (options.count("csum")) header.fData.fCheckSum = uint32(Number(options["csum"]));
        if (options.count("cmd")) header.fData.fCommand = uint32(Number(options["cmd"]));
        if (options.count("error")) header.fConnection.fError = uint32(Number(options["error"]));
        CL_Blob wire;
        uint32 offset = 0;
        do {
            uint32 start = wire.GetSize();
            offset += CL_AppendChunk(header, payload, offset, &wire);
            std::string chunk(reinterpret_cast<const char*>(wire.GetDataForRead()) + start,
                              wire.GetSize() - start);
            CL_PacketHeader* h = reinterpret_cast<CL_PacketHeader*>(chunk.data());
            if (options.count("flags")) h->fFlags = uint16(Number(options["flags"]));
            if (options.count("seq")) h->fSequence = uint32(Number(options["seq"]));
            if (options.count("size") && chunks->empty()) h->fSize = uint32(Number(options["size"]));
            chunks->push_back(chunk);
        } while (offset < payload.GetSize());
        if (options.count("cut")) {
            size_t keep = size_t(Number(options["cut"]));
            std::string all;
            for (auto& chunk : *chunks) all += chunk;
            chunks->assign(1, all.substr(0, keep));
        }
        if (type == CL_PACKET_TYPE_AUTH) {
            c.fFlags = uint16(header.fFlags & (CL_IPC_CRYPTING_MASK | CL_IPC_COMPRESS));
            c.Rekey();
        }
        return "";
    }

    // Whether the client has closed its end (only peeks).
    static bool PeerGone(int fd) {
        char byte;
        ssize_t k = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        return k == 0 || (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    }

    // One deflate step over `input`; the output it gives.
    static std::string Deflate(z_stream& z, const std::string& input, int flush) {
        std::string out(1u << 16, '\0'), all;
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
        z.avail_in = uInt(input.size());
        do {
            z.next_out = reinterpret_cast<Bytef*>(out.data());
            z.avail_out = uInt(out.size());
            deflate(&z, flush);
            all.append(out.data(), out.size() - z.avail_out);
        } while (z.avail_out == 0 || z.avail_in > 0);
        return all;
    }

    // A reply whose zlib stream inflates to `size` zeros (rounded up to whole
    // megabytes), valid to its end (the checksum of zeros is 0). Each megabyte is
    // flushed in full, so all but the first compress to the same bytes, made once and
    // repeated: the peer never deflates, nor holds, `size` bytes. The stream's check
    // value is written for all of them.
    std::string Bomb(Connection& c, uint64 size) {
        if (c.fCurrent < 0) return "no request to answer";
        constexpr uint64 kBlock = 1u << 20;
        uint64 blocks = std::max<uint64>((size + kBlock - 1) / kBlock, 1);
        z_stream z;
        memset(&z, 0, sizeof(z));
        if (deflateInit(&z, Z_BEST_COMPRESSION) != Z_OK) return "deflate failed";
        std::string zeros(kBlock, '\0');
        std::string compressed = Deflate(z, zeros, Z_FULL_FLUSH);
        std::string middle = Deflate(z, zeros, Z_FULL_FLUSH);
        for (uint64 i = 1; i < blocks; i++) compressed += middle;
        compressed += Deflate(z, std::string(), Z_FINISH);
        deflateEnd(&z);
        // Adler-32 of n zeros: the low sum stays 1, the high one is n.
        uint32 adler = uint32(((blocks * kBlock) % 65521) << 16) | 1u;
        for (int i = 0; i < 4; i++)
            compressed[compressed.size() - 4 + size_t(i)] = char(adler >> (24 - 8 * i));

        CL_PacketHeader header;
        CL_MakeReply(c.fRequests[size_t(c.fCurrent)].fHeader, CL_PACKET_TYPE_DATA, CL_IPC_COMPRESS,
                     &header);
        header.fData.fCheckSum = 0;
        header.fSize = uint32(compressed.size());
        std::string wire;
        for (size_t offset = 0; offset < compressed.size() || offset == 0;) {
            size_t n = std::min<size_t>(CL_IPC_CHUNK_SIZE, compressed.size() - offset);
            CL_PacketHeader chunk = CL_ChunkHeader(header, uint32(offset),
                                                   uint32(compressed.size() - offset));
            CL_Blob payload(compressed.data() + offset, uint32(n), true);
            // The client deciphers each chunk by itself.
            payload.Seek(0, CL_SEEK_SET);
            if (c.fCipher && n > 0) c.fCipher->Encrypt(payload, 0xFFFFFFFF);
            wire.append(reinterpret_cast<const char*>(&chunk), sizeof(chunk));
            wire.append(reinterpret_cast<const char*>(payload.GetDataForRead()), n);
            offset += n;
            if (n == 0) break;
        }
        // The client stops reading once it refuses the reply: a write it never takes
        // is no failure of the script.
        WriteAll(c.fSocket, wire);
        return "";
    }

    std::string Serve(Connection& c, uint16 flags) {
        for (;;) {
            Received packet;
            std::string error = ReadPacket(c, &packet, 0xFFFFFFFF, false);
            if (error == "client closed") return "";
            if (!error.empty()) return fStop ? "" : error;
            c.fRequests.push_back(packet);
            c.fCurrent = int(c.fRequests.size() - 1);
            std::vector<std::string> chunks;
            switch (packet.fHeader.fType) {
                case CL_PACKET_TYPE_SERVER_INFO:
                    error = BuildReply(c, {"reply", "SERVER_INFO", "-"}, &chunks);
                    break;
                case CL_PACKET_TYPE_AUTH:
                    error = BuildReply(c, {"reply", "AUTH", "table", "grant=" + std::to_string(flags)},
                                       &chunks);
                    break;
                case CL_PACKET_TYPE_DATA:
                    // A request encoded for another connection's flags is refused.
                    if ((packet.fHeader.fFlags & (CL_IPC_CRYPTING_MASK | CL_IPC_COMPRESS)) !=
                            c.fFlags ||
                        !packet.fDecoded)
                        error = BuildReply(c, {"reply", "FAILED", "text:flags"}, &chunks);
                    else
                        error = BuildReply(c, {"reply", "DATA", "echo"}, &chunks);
                    break;
                case CL_PACKET_TYPE_ABORT:
                    error = BuildReply(c, {"reply", "ABORT", "-"}, &chunks);
                    break;
                default:
                    break;
            }
            // Requests are not kept: a long run must not grow.
            c.fRequests.clear();
            c.fCurrent = -1;
            if (!error.empty()) return error;
            std::string all;
            for (auto& chunk : chunks) all += chunk;
            if (!all.empty() && !WriteAll(c.fSocket, all)) return "";
        }
    }

    // The steps that write held chunks: send, bytes and trickle.
    std::string HeldStep(Connection& c, const std::vector<std::string>& args) {
        const std::string& verb = args[0];
        auto arg = [&args](size_t i, const std::string& def) {
            return i < args.size() ? args[i] : def;
        };
        auto it = c.fHeld.find(int(Number(arg(1, "0"))));
        if (it == c.fHeld.end()) return "nothing held";
        Held& held = it->second;
        if (verb == "send") {
            size_t count = arg(2, "all") == "all" ? held.fChunks.size() : size_t(Number(args[2]));
            std::string all;
            // A chunk begun by "bytes" is finished first and counts as one.
            while (count-- > 0 && held.fNext < held.fChunks.size())
                all += held.Take(held.fChunks[held.fNext].size() - held.fOffset);
            return WriteAll(c.fSocket, all) ? "" : "write failed";
        }
        if (verb == "bytes") {
            std::string count = arg(2, "all");
            size_t n = held.Left();
            if (count[0] == '-') {
                size_t keep = size_t(Number(count.substr(1)));
                n = n > keep ? n - keep : 0;
            } else if (count != "all") {
                n = size_t(Number(count));
            }
            return WriteAll(c.fSocket, held.Take(n)) ? "" : "write failed";
        }
        uint32 ms = uint32(Number(arg(2, "1000")));
        size_t n = args.size() > 3 ? size_t(Number(args[3])) : held.Left();
        for (; n > 0 && held.Left() > 0 && !fStop; n--) {
            // Stops as soon as the client has closed (it resets the connection).
            if (!WriteAll(c.fSocket, held.Take(1))) return "";
            pollfd p = {c.fSocket, POLLIN, 0};
            if (poll(&p, 1, int(ms)) > 0 && PeerGone(c.fSocket)) return "";
        }
        return "";
    }

    std::string Step(Connection& c, const std::vector<std::string>& args) {
        const std::string& verb = args[0];
        auto arg = [&args](size_t i, const std::string& def) {
            return i < args.size() ? args[i] : def;
        };
        if (verb == "accept") return AcceptInto(c, 10000) ? "" : "no connection came";
        if (verb == "recv") {
            Received packet;
            std::string error = ReadPacket(c, &packet);
            if (!error.empty()) return error;
            int type = TypeNumber(arg(1, "any"));
            c.fRequests.push_back(packet);
            c.fCurrent = int(c.fRequests.size() - 1);
            if (type >= 0 && packet.fHeader.fType != type)
                return "got type " + std::to_string(packet.fHeader.fType);
            return "";
        }
        if (verb == "handshake") {
            c.fClientID = uint32(Number(arg(2, "7")));
            c.fServerID = Number(arg(3, "0x1122334455660000"));
            std::string error = Step(c, {"recv", "SERVER_INFO"});
            if (error.empty()) error = Step(c, {"reply", "SERVER_INFO", "-"});
            if (error.empty()) error = Step(c, {"recv", "AUTH"});
            if (error.empty()) error = Step(c, {"reply", "AUTH", "table", "grant=" + arg(1, "0")});
            return error;
        }
        if (verb == "reply" || verb == "hold") {
            std::vector<std::string> chunks;
            std::string error = BuildReply(c, args, &chunks);
            if (!error.empty()) return error;
            if (verb == "hold") {
                Held& held = c.fHeld[c.fCurrent];
                held.fChunks.insert(held.fChunks.end(), chunks.begin(), chunks.end());
                return "";
            }
            std::string all;
            for (auto& chunk : chunks) all += chunk;
            return WriteAll(c.fSocket, all) ? "" : "write failed";
        }
        if (verb == "send" || verb == "bytes" || verb == "trickle") return HeldStep(c, args);
        if (verb == "bomb") return Bomb(c, Number(arg(1, "0")));
        if (verb == "use") {
            int index = int(Number(arg(1, "0")));
            if (index < 0 || size_t(index) >= c.fRequests.size()) return "no such request";
            c.fCurrent = index;
            return "";
        }
        if (verb == "ping") {
            if (c.fCurrent < 0) return "no request";
            std::string percent = arg(1, "unknown");
            double value = percent == "unknown" ? -1.0 : std::stod(percent);
            CL_PacketHeader header;
            CL_Blob payload;
            std::string message;
            if (args.size() > 2) {
                for (size_t i = 2; i < args.size(); i++) message += (i > 2 ? " " : "") + args[i];
            }
            CL_MakePing(&header, &payload, c.fRequests[size_t(c.fCurrent)].fHeader.fSequence, value,
                        args.size() > 2 ? &message : nullptr);
            std::string wire(reinterpret_cast<const char*>(&header), sizeof(header));
            wire += payload.Raw();
            return WriteAll(c.fSocket, wire) ? "" : "write failed";
        }
        if (verb == "ping-until") {
            if (args.size() < 3) return "ping-until needs a type and a percentage";
            std::vector<std::string> ping(args.begin() + 1, args.end());
            ping[0] = "ping";
            for (int round = 0; round < 100 && !fStop; round++) {
                std::string error = Step(c, ping);
                if (!error.empty()) return error;
                pollfd p = {c.fSocket, POLLIN, 0};
                if (poll(&p, 1, 100) > 0) return Step(c, {"recv", args[1]});
            }
            return "nothing came";
        }
        if (verb == "raw") return WriteAll(c.fSocket, FromHex(arg(1, ""))) ? "" : "write failed";
        if (verb == "hang") {
            uint32 ms = uint32(Number(arg(1, "10000")));
            for (uint32 waited = 0; waited < ms && !fStop; waited += 20)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return "";
        }
        if (verb == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(Number(arg(1, "0"))));
            return "";
        }
        if (verb == "close") {
            c.Close();
            return "";
        }
        if (verb == "wait-close") {
            uint32 ms = uint32(Number(arg(1, "10000")));
            if (c.fSocket < 0 && !AcceptInto(c, ms)) return "no connection came";
            for (;;) {
                char scratch[4096];
                int r = ReadAll(c.fSocket, scratch, 1, ms);
                if (r == 0) return "";
                if (r < 0) return "client did not close";
            }
        }
        if (verb == "serve") return Serve(c, uint16(Number(arg(1, "0"))));
        if (verb == "loop") {
            uint16 flags = uint16(Number(arg(1, "0")));
            while (!fStop) {
                auto next = std::make_shared<Connection>();
                if (!AcceptInto(*next, 200)) continue;
                std::lock_guard<std::mutex> guard(fServeLock);
                fServers.emplace_back([this, next, flags] { Serve(*next, flags); });
            }
            return "";
        }
        return "unknown step";
    }

    int fListener = -1;
    uint16 fPort = 0;
    std::atomic<bool> fStop{false};
    std::atomic<int> fSteps{0};
    std::thread fThread;
    std::string fResult;
    std::mutex fReceivedLock;
    std::vector<Received> fReceived;
    std::function<void(const Received&)> fLogger;
    std::mutex fServeLock;
    std::vector<std::thread> fServers;
};

}  // namespace scripted
