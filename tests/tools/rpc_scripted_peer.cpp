// Scripted RPC server end for tests in any language: listens on 127.0.0.1, prints
// "PORT <n>", follows the script and ends with "DONE" (exit 0) or "FAIL <reason>"
// (exit 1). The script language is described at the top of scripted_peer.h.
//
//   rpc_scripted_peer -f SCRIPT-FILE
//   rpc_scripted_peer 'handshake 0x101; recv DATA; ping 50 working; reply DATA echo'
//
// Each packet read is printed as one line:
//   RECV type=T flags=0xF seq=N size=S header=HEX payload=HEX [plain=HEX]
#include <cstdio>
#include <fstream>
#include <sstream>

#include "lumo/init.h"
#include "support/scripted_peer.h"

int main(int argc, char** argv) {
    const char* usage =
        "usage: rpc_scripted_peer -f SCRIPT-FILE\n"
        "       rpc_scripted_peer 'STEP; STEP...' ...   (each argument one or more steps)\n"
        "Listens on 127.0.0.1, prints \"PORT <n>\", follows the script (its steps are\n"
        "described at the top of scripted_peer.h), prints a \"RECV ...\" line for each\n"
        "packet read and ends with \"DONE\" (exit 0) or \"FAIL <reason>\" (exit 1).\n";
    std::string first = argc > 1 ? argv[1] : "";
    if (first == "--help" || first == "-h") {
        fputs(usage, stdout);
        return 0;
    }
    if (argc == 1 || (first[0] == '-' && !(first == "-f" && argc == 3))) {
        if (argc > 1) fprintf(stderr, "rpc_scripted_peer: unknown option %s\n", first.c_str());
        fputs(usage, stderr);
        return 2;
    }
    CL_Init();
    std::string script;
    if (first == "-f") {
        std::ifstream file(argv[2]);
        if (!file) {
            fprintf(stderr, "cannot read %s\n", argv[2]);
            return 2;
        }
        std::stringstream text;
        text << file.rdbuf();
        script = text.str();
    } else {
        for (int i = 1; i < argc; i++) script += std::string(argv[i]) + "\n";
    }
    scripted::Peer peer;
    printf("PORT %u\n", unsigned(peer.Port()));
    fflush(stdout);
    peer.SetLogger([](const scripted::Received& packet) {
        const CL_PacketHeader& h = packet.fHeader;
        printf("RECV type=%u flags=0x%x seq=%u size=%u header=%s payload=%s", unsigned(h.fType),
               unsigned(h.fFlags), unsigned(h.fSequence), unsigned(h.fSize),
               scripted::ToHex(&h, sizeof(h)).c_str(),
               scripted::ToHex(packet.fWire.data(), packet.fWire.size()).c_str());
        if (packet.fDecoded)
            printf(" plain=%s", scripted::ToHex(packet.fPlain.data(), packet.fPlain.size()).c_str());
        printf("\n");
        fflush(stdout);
    });
    std::string result = peer.Run(script);
    if (result.empty()) {
        printf("DONE\n");
        return 0;
    }
    printf("FAIL %s\n", result.c_str());
    return 1;
}
