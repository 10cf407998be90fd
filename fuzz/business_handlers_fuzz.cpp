// Fuzz target for the stand-in business server's request handlers: one connection per
// input, let in with a connection table the input builds, then requests whose command
// and table (keys the handlers read, values of every type, texts made of the query
// language's words and the data set's names) the input also builds, or whose payload
// is raw input bytes. Every reply must read back as a table, and no request may change
// the rows that every request shares. Requests that would work a while find themselves
// cancelled (they have no request record), replies are kept small and the store starts
// afresh for each input, so that a run tries many.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "lumo/init.h"
#include "support/business_handlers.h"
#include "support/flat_table.h"

namespace {

// The fuzz input, read front to back; past its end every read gives 0.
struct Input {
    const uint8_t* fData;
    size_t fSize;
    size_t fPos;

    bool More() const { return fPos < fSize; }
    uint8_t Byte() { return fPos < fSize ? fData[fPos++] : 0; }
    std::string Bytes(size_t n) {
        n = std::min(n, fSize - fPos);
        std::string s(reinterpret_cast<const char*>(fData + fPos), n);
        fPos += n;
        return s;
    }
    int64 Int64() {
        uint64 v = 0;
        for (int i = 0; i < 8; i++)
            v = v << 8 | Byte();
        return int64(v);
    }
};

// clang-format off
const char* const kKeys[] = {
    "QUERY", "DRIVER", "NAME", "PASSWORD", "DESC", "BACKUP", "BACKUP_NAME", "POSITION",
    "OVERWRITE", "CHANGE_UUID", "CONFIGURED", "QUICK", "FULL", "CLIENT_ID", "USERNAME",
    "NEW_PASSWORD", "LIMIT", "FULL_COLUMNS_LIST", "COLLAPSE_BLOBS", "CLEAR", "ms", "step",
    "progress", "message", "code", "transport", "rows", "bytes", "sid",
};
const char* const kWords[] = {
    "SELECT", "FROM", "WHERE", "LIMIT", "UPDATE", "DELETE", "SET", "*", ",", "=", ";", "'",
    "customers", "products", "numbers", "slow_report", "nope", "id", "name", "city", "code",
    "picture", "n", "label", "'Anna Rossi'", "2", "-1", "5000", "sqlite", "postgres",
    "firebird", "demo", "archive", "accounting", "demo-monday", "accounting-q1", "manager",
    "admin", "guest", "temp", "secret", "old", " ", "\t",
};
// clang-format on
constexpr size_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);

CLU_Table Table(Input& in, int depth);

// A text of words, a NUL now and then among them.
std::string Words(Input& in) {
    std::string text;
    for (int n = in.Byte() % 12; n > 0; n--) {
        const uint8_t w = in.Byte();
        const size_t word = (w & 0x7F) % (kWordCount + 1);
        text += word == kWordCount ? std::string(1, '\0') : std::string(kWords[word]);
        if (w & 0x80) text += ' ';
    }
    return text;
}

CLU_Entry Value(Input& in, int depth) {
    CLU_Entry e;
    switch (in.Byte() % 11) {
        case 0:
            break;
        case 1:
            e.Set((in.Byte() & 1) != 0);
            break;
        case 2:
            e.Set(int(int8_t(in.Byte())));
            break;
        case 3:
            e.Set(in.Int64());
            break;
        case 4:
            e.Set(double(in.Int64()) / 64.0);
            break;
        case 5:
            e.Set(in.Bytes(in.Byte()));
            break;
        case 6:
            e.Set(Words(in));
            break;
        case 7: {
            CLU_List list;
            for (int n = depth > 0 ? in.Byte() % 6 : 0; n > 0; n--)
                list.Append(Value(in, depth - 1));
            e.Set(list);
            break;
        }
        case 8:
            e.Set(Table(in, depth - 1));
            break;
        case 9: {
            const std::string bytes = in.Bytes(in.Byte());
            e.Set(CL_Blob(bytes.data(), uint32(bytes.size()), true));
            break;
        }
        default:
            e.Set(QPX::GetPassword(kWords[in.Byte() % kWordCount]));
            break;
    }
    return e;
}

CLU_Table Table(Input& in, int depth) {
    CLU_Table table;
    if (depth < 0) return table;
    for (int n = in.Byte() % 8; n > 0; n--) {
        const uint8_t k = in.Byte();
        const std::string key = k < 0xF0 ? kKeys[k % std::size(kKeys)] : in.Bytes(k & 15);
        table.Set(key, Value(in, depth));
    }
    return table;
}

// The rows every request shares, flattened.
std::vector<uint8> SharedRows() {
    CLU_List rows;
    for (const business::DataTable& table : business::Tables())
        rows.Append(table.fRows);
    return FlatBytes(rows);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CL_TCPServer* server = [] {
        CL_Init();
        business::TheSettings().fMaxRows = 2000;
        business::TheSettings().fMaxBlobBytes = 1 << 16;
        return new CL_TCPServer;
    }();
    static const std::vector<uint8> shared = SharedRows();
    {
        business::Store& store = business::TheStore();
        std::lock_guard<std::mutex> guard(store.fLock);
        business::FillStore(store);
    }
    business::AddUsers();

    Input in{data, size, 0};
    CL_ClientContext* context = new CL_ClientContext(7, server);
    CLU_Table connection = Table(in, 1);
    if (business::Connect(context, &connection) != CL_OK) abort();
    for (uint32 id = 1; id <= 16 && in.More(); id++) {
        const uint8_t pick = in.Byte();
        const size_t handlers = std::size(business::kHandlers);
        const CL_Command command = pick % (handlers + 1) < handlers
                                       ? business::kHandlers[pick % (handlers + 1)].fCommand
                                       : CL_Command(900 + pick);
        CL_Blob input;
        if (pick & 0x80) {
            const std::string raw = in.Bytes(size_t(in.Byte()) * 4);
            input = CL_Blob(raw.data(), uint32(raw.size()), true);
        } else {
            input = Flat(Table(in, 2));
        }
        CL_Blob output;
        business::Execute(command, input, output, context, id);
        output.Seek(0, CL_SEEK_SET);
        CLU_Table reply;
        if (!reply.Unflatten(output) || output.Tell() != output.GetSize()) abort();
    }
    business::Disconnect(context);  // frees the session and the context
    if (SharedRows() != shared) abort();
    return 0;
}
