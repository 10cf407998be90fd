// Named server operations in both forms: the exact request table the server gets
// (keys, types and values), the command code, the time-outs, reply decoding
// and the database and user state they keep.
#include <gtest/gtest.h>

#include <functional>

#include "lumo/status.h"
#include "qpx/zelmo_client/client.h"
#include "qpx/zelmo_client/common.h"
#include "support/callback_recorder.h"
#include "support/mock_rpc.h"
#include "support/operation_cases.h"

namespace {

using R = CallbackRecorder;

using namespace op_cases;

class OperationsTest : public ::testing::Test {
protected:
    OperationsTest() : fRPC(new MockRPC), fClient(new QPX_Client(fRPC)) {}
    ~OperationsTest() override { delete fClient; }

    void Reply(const CLU_Table& table) { fRPC->Push(MockRPC::TableReply(table)); }
    void Open() {
        CLU_Table info;
        info.Set("uuid", std::string("U-1"));
        CLU_Table reply;
        reply.Set("INFO", info);
        Reply(reply);
        CLU_Table got;
        ASSERT_EQ(fClient->OpenDatabase("drv", "db", &got), CL_OK);
        Reply(CLU_Table());
        ASSERT_EQ(fClient->Authenticate("dom\\u", "pw", &got), CL_OK);
    }

    MockRPC* fRPC;
    QPX_Client* fClient;
};

TEST_F(OperationsTest, EveryOperationSendsItsExactRequestInBothForms) {
    for (const OpCase& c : Cases()) {
        c.fSync(*fClient);
        MockRPC::Request sent = fRPC->Last();
        EXPECT_EQ(sent.fCommand, c.fCommand) << c.fName;
        EXPECT_FALSE(sent.fAsync);
        EXPECT_EQ(fRPC->LastTimeout(), 10000u) << c.fName;
        ExpectSame(sent.fTable, c.fRequest, c.fName);

        c.fAsync(*fClient);
        fRPC->Drain();
        sent = fRPC->Last();
        EXPECT_EQ(sent.fCommand, c.fCommand) << c.fName;
        EXPECT_TRUE(sent.fAsync);
        EXPECT_FALSE(sent.fHadIdle) << c.fName;
        EXPECT_EQ(fRPC->LastTimeout(), kAsyncTimeout) << c.fName;
        ExpectSame(sent.fTable, c.fAsyncDiffers ? c.fAsyncRequest : c.fRequest, c.fName);
    }
}

TEST_F(OperationsTest, DataDictionarySendsAnEmptyPayload) {
    CLU_Table dict;
    fClient->GetDataDictionary(&dict);
    EXPECT_EQ(fRPC->Last().fCommand, static_cast<uint32>(QPX_CMD_GET_DATA_DICTIONARY));
    EXPECT_EQ(fRPC->Last().fPayload.GetSize(), 0u);
    fClient->GetDataDictionary(nullptr, nullptr, nullptr, nullptr, 0);
    fRPC->Drain();
    EXPECT_TRUE(fRPC->Last().fAsync);
    EXPECT_EQ(fRPC->Last().fPayload.GetSize(), 0u);
}

// ---- Reply decoding -----------------------------------------------------------------

TEST_F(OperationsTest, TableResultsInBothForms) {
    struct Case {
        const char* fKey;
        std::function<QPX_Status(CLU_Table*)> fSync;
        std::function<void(R*)> fAsync;
    };
    QPX_Client& q = *fClient;
    std::vector<Case> cases = {
        {"DATABASES", [&](CLU_Table* o) { return q.ListDatabases("d", true, o); },
         [&](R* r) { q.ListDatabases("d", true, R::Success, R::Error, nullptr, r, 0); }},
        {"CLIENT_INFO", [&](CLU_Table* o) { return q.GetClientInfo(3u, o); },
         [&](R* r) { q.GetClientInfo(3u, R::Success, R::Error, nullptr, r, 0); }},
        {"DICTIONARY", [&](CLU_Table* o) { return q.GetDataDictionary(o); },
         [&](R* r) { q.GetDataDictionary(R::Success, R::Error, nullptr, r, 0); }},
        {"USERINFO", [&](CLU_Table* o) { return q.Authenticate("a\\b", "c", o); },
         [&](R* r) { q.Authenticate("a\\b", "c", R::Success, R::Error, nullptr, r, 0); }},
        {"INFO", [&](CLU_Table* o) { return q.OpenDatabase("d", "n", o); },
         [&](R* r) { q.CreateDatabase("p", "d", "n", "x", R::Success, R::Error, nullptr, r, 0); }},
    };
    for (const Case& c : cases) {
        CLU_Table inner;
        inner.Set("k", std::string("v"));
        CLU_Table reply;
        reply.Set(c.fKey, inner);
        Reply(reply);
        CLU_Table out;
        EXPECT_EQ(c.fSync(&out), CL_OK) << c.fKey;
        EXPECT_EQ(out.GetString("k"), "v") << c.fKey;
        Reply(reply);
        R r;
        c.fAsync(&r);
        fRPC->Drain();
        EXPECT_EQ(r.fSuccesses, 1) << c.fKey;
        EXPECT_EQ(r.fTable.GetString("k"), "v") << c.fKey;

        // A success reply without the key gives an empty table in both forms.
        Reply(CLU_Table());
        out.Set("stale", 1);
        EXPECT_EQ(c.fSync(&out), CL_OK);
        EXPECT_TRUE(out.Empty()) << c.fKey;
        Reply(CLU_Table());
        R empty;
        empty.fTable.Set("stale", 1);
        c.fAsync(&empty);
        fRPC->Drain();
        EXPECT_EQ(empty.fSuccesses, 1);
        EXPECT_TRUE(empty.fTable.Empty()) << c.fKey;
    }
}

TEST_F(OperationsTest, ListResultsInBothForms) {
    struct Case {
        const char* fKey;
        std::function<QPX_Status(CLU_List*)> fSync;
        std::function<void(R*)> fAsync;
    };
    QPX_Client& q = *fClient;
    std::vector<Case> cases = {
        {"DRIVERS", [&](CLU_List* o) { return q.ListDrivers(false, o); },
         [&](R* r) { q.ListDrivers(false, R::Success, R::Error, nullptr, r, 0); }},
        {"BACKUPS", [&](CLU_List* o) { return q.ListBackups(0, o); },
         [&](R* r) { q.ListBackups(0, R::Success, R::Error, nullptr, r, 0); }},
        {"CLIENT_LIST", [&](CLU_List* o) { return q.GetClientList(true, true, o); },
         [&](R* r) { q.GetClientList(true, true, R::Success, R::Error, nullptr, r, 0); }},
        {"HITS", [&](CLU_List* o) { return q.FullTextSearch("x", o, 0); },
         [&](R* r) { q.FullTextSearch("x", 0, R::Success, R::Error, nullptr, r, 0); }},
    };
    for (const Case& c : cases) {
        CLU_Table reply;
        reply.Set(c.fKey, Names());
        Reply(reply);
        CLU_List out;
        EXPECT_EQ(c.fSync(&out), CL_OK);
        EXPECT_TRUE(out == Names()) << c.fKey;
        Reply(reply);
        R r;
        c.fAsync(&r);
        fRPC->Drain();
        EXPECT_EQ(r.fSuccesses, 1);
        EXPECT_TRUE(r.fList == Names()) << c.fKey;
        Reply(CLU_Table());
        R empty;
        empty.fList.Append(1);
        c.fAsync(&empty);
        fRPC->Drain();
        EXPECT_EQ(empty.fList.Count(), 0u) << c.fKey;
    }
}

TEST_F(OperationsTest, ListDriversConvertsATextEntryToAList) {
    CLU_Table reply;
    reply.Set("DRIVERS", std::string("sqlite"));
    Reply(reply);
    CLU_List drivers;
    ASSERT_EQ(fClient->ListDrivers(true, &drivers), CL_OK);
    CLU_Entry expected;
    expected.Set(std::string("sqlite"));
    expected.Convert(CLU_LIST, true);
    EXPECT_TRUE(drivers == expected.fList);
}

TEST_F(OperationsTest, ServerRefusalWritesNoOutAndKeepsTheConnection) {
    CLU_Table reply;
    reply.Set("ERRNO", 4003);
    reply.Set("DATABASES", CLU_Table().Set("x", 1));
    Reply(reply);
    CLU_Table out;
    out.Set("mine", 1);
    EXPECT_EQ(fClient->ListDatabases("d", false, &out), 4003);
    EXPECT_TRUE(out.Exists("mine"));
    EXPECT_EQ(fRPC->Disconnects(), 0);
    Reply(reply);
    R r;
    fClient->ListDatabases("d", false, R::Success, R::Error, nullptr, &r, 0);
    fRPC->Drain();
    EXPECT_EQ(r.fSuccesses, 0);
    EXPECT_EQ(r.fErrors, 1);
    EXPECT_EQ(r.fCode, 4003);
}

TEST_F(OperationsTest, CreateDatabaseWritesTheUUIDWhateverTheStatus) {
    CLU_Table reply;
    reply.Set("uuid", std::string("00112233445566778899AABBCCDDEEFF"));
    Reply(reply);
    CLU_UUID uuid;
    EXPECT_EQ(fClient->CreateDatabase("p", "d", "n", "x", &uuid), CL_OK);
    EXPECT_EQ(uuid.Get(), "00112233-4455-6677-8899-AABBCCDDEEFF");
    CLU_Table refusal;
    refusal.Set("ERRNO", 2054);
    Reply(refusal);
    EXPECT_EQ(fClient->CreateDatabase("p", "d", "n", "x", &uuid), 2054);
    EXPECT_TRUE(uuid.IsNull());
}

CLU_Table UpgradeReply(std::initializer_list<int> rowSizes) {
    CLU_List rows;
    int n = 0;
    for (int size : rowSizes) {
        CLU_List row;
        for (int i = 0; i < size; ++i)
            row.Append(std::string(1, char('a' + n)) + std::to_string(i));
        rows.Append(row);
        n++;
    }
    CLU_Table reply;
    reply.Set("LOG", rows);
    reply.Set("OLD_VERSION", 3);
    reply.Set("NEW_VERSION", 5);
    return reply;
}

TEST_F(OperationsTest, UpgradeLogTakesTheFourthElementOfEachRow) {
    Reply(UpgradeReply({4, 3, 5}));
    CLU_List log;
    uint32 oldVersion = 0, newVersion = 0;
    ASSERT_EQ(fClient->UpgradeDatabase("p", "d", "n", &log, &oldVersion, &newVersion), CL_OK);
    ASSERT_EQ(log.Count(), 3u);
    EXPECT_EQ(log.GetString(0), "a3");
    EXPECT_EQ(log.GetString(1), "");
    EXPECT_EQ(log.GetString(2), "c3");
    EXPECT_EQ(oldVersion, 3u);
    EXPECT_EQ(newVersion, 5u);

    Reply(UpgradeReply({}));
    ASSERT_EQ(fClient->UpgradeDatabase("p", "d", "n", &log, &oldVersion, &newVersion), CL_OK);
    EXPECT_EQ(log.Count(), 0u);

    Reply(UpgradeReply({4, 4}));
    R r;
    fClient->UpgradeDatabase("p", "d", "n", R::Success, R::Error, nullptr, &r, 0);
    fRPC->Drain();
    ASSERT_EQ(r.fSuccesses, 1);
    std::vector<std::string> keys;
    for (auto it = r.fTable.begin(); it != r.fTable.end(); ++it)
        keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"log", "old_version", "new_version"}));
    CLU_List* asyncLog = r.fTable.GetList("log");
    ASSERT_NE(asyncLog, nullptr);
    EXPECT_EQ(asyncLog->GetString(0), "a3");
    EXPECT_EQ(asyncLog->GetString(1), "b3");
    EXPECT_EQ(r.fTable.GetType("old_version"), CLU_INTEGER);
    EXPECT_EQ(r.fTable.GetInteger("new_version"), 5);
}

TEST_F(OperationsTest, QueryResultsAndErrors) {
    CLU_Table reply;
    reply.Set("AFFECTED_ROWS", -2);
    reply.Set("COLUMNS_LIST", Names());
    CLU_List rows;
    rows.Append(Names());
    reply.Set("RESULT_SET", rows);
    Reply(reply);
    uint32 affected = 0;
    CLU_List columns, set;
    ASSERT_EQ(fClient->QueryDatabase("q", &affected, &columns, &set, false, false, false, nullptr),
              CL_OK);
    EXPECT_EQ(affected, 0xFFFFFFFEu);
    EXPECT_TRUE(columns == Names());
    EXPECT_EQ(set.Count(), 1u);

    Reply(reply);
    R r;
    fClient->QueryDatabase("q", R::Success, R::Error, nullptr, true, false, false, &r, 0);
    fRPC->Drain();
    EXPECT_EQ(r.fSuccesses, 1);
    EXPECT_EQ(r.fAffected, 0xFFFFFFFEu);
    EXPECT_TRUE(r.fColumns == Names());
    EXPECT_EQ(r.fRows.Count(), 1u);

    CLU_Table failure;
    failure.Set("ERRNO", 2209);
    failure.Set("ERROR", std::string("sintassi"));
    Reply(failure);
    std::string error;
    affected = 9;
    EXPECT_EQ(fClient->QueryDatabase("q", &affected, &columns, &set, false, false, false, &error),
              2209);
    EXPECT_EQ(error, "sintassi");
    EXPECT_EQ(affected, 9u);
}

// ---- Database and user state ---------------------------------------------------------

TEST_F(OperationsTest, OpenAndAuthenticateRecordTheStateInBothForms) {
    Open();
    CLU_Table db = fClient->GetDatabase();
    EXPECT_EQ(db.GetString("driver"), "drv");
    EXPECT_EQ(db.GetString("name"), "db");
    EXPECT_EQ(db.GetString("uuid"), "U-1");
    EXPECT_EQ(fClient->GetUser().GetString("name"), "dom\\u");
    EXPECT_EQ(fClient->GetUser().GetString("password"), "pw");

    // Asynchronous, without success callbacks: the state still changes.
    CLU_Table info;
    info.Set("uuid", std::string("U-2"));
    CLU_Table reply;
    reply.Set("INFO", info);
    Reply(reply);
    fClient->OpenDatabase("drv2", "db2", nullptr, nullptr, nullptr, nullptr, 0);
    Reply(CLU_Table());
    fClient->Authenticate("user", "old", "new", nullptr, nullptr, nullptr, nullptr, 0);
    fRPC->Drain();
    db = fClient->GetDatabase();
    EXPECT_EQ(db.GetString("driver"), "drv2");
    EXPECT_EQ(db.GetString("name"), "db2");
    EXPECT_EQ(db.GetString("uuid"), "U-2");
    EXPECT_EQ(fClient->GetUser().GetString("name"), "user");
    EXPECT_EQ(fClient->GetUser().GetString("password"), "old");
}

TEST_F(OperationsTest, SynchronousCloseClearsTheStateEvenWhenRefused) {
    Open();
    CLU_Table refusal;
    refusal.Set("ERRNO", 4003);
    Reply(refusal);
    EXPECT_EQ(fClient->CloseDatabase(false), 4003);
    EXPECT_TRUE(fClient->GetDatabase().Empty());
    EXPECT_TRUE(fClient->GetUser().Empty());
}

TEST_F(OperationsTest, AsynchronousCloseKeepsTheStateWhenRefused) {
    Open();
    CLU_Table refusal;
    refusal.Set("ERRNO", 4003);
    Reply(refusal);
    R r;
    fClient->CloseDatabase(false, R::Success, R::Error, nullptr, &r, 0);
    fRPC->Drain();
    EXPECT_EQ(r.fErrors, 1);
    EXPECT_FALSE(fClient->GetDatabase().Empty());
    Reply(CLU_Table());
    fClient->CloseDatabase(false, R::Success, R::Error, nullptr, &r, 0);
    fRPC->Drain();
    EXPECT_EQ(r.fSuccesses, 1);
    EXPECT_TRUE(fClient->GetDatabase().Empty());
    EXPECT_TRUE(fClient->GetUser().Empty());
}

TEST_F(OperationsTest, FailedOperationsLeaveTheStateAlone) {
    Open();
    CLU_Table refusal;
    refusal.Set("ERRNO", 4008);
    Reply(refusal);
    CLU_Table out;
    EXPECT_EQ(fClient->Authenticate("x\\y", "z", &out), 4008);
    Reply(refusal);
    EXPECT_EQ(fClient->OpenDatabase("a", "b", &out), 4008);
    EXPECT_EQ(fClient->GetUser().GetString("name"), "dom\\u");
    EXPECT_EQ(fClient->GetDatabase().GetString("name"), "db");
}

TEST_F(OperationsTest, SuccessOnlyOperationsCallTheirCallbackOnce) {
    QPX_Client& q = *fClient;
    std::vector<std::function<void(R*)>> ops = {
        [&](R* r) {
            q.DeleteDatabase("p", "d", "n", nullptr, R::Success, R::Error, nullptr, r, 0);
        },
        [&](R* r) {
            q.BackupDatabase("p", "d", "n", "b", false, false, 0, false, R::Success, R::Error,
                             nullptr, r, 0);
        },
        [&](R* r) {
            q.RestoreDatabase("p", "d", "n", "b", false, false, 0, false, R::Success, R::Error,
                              nullptr, r, 0);
        },
        [&](R* r) { q.DeleteBackup(0, "p", "b", R::Success, R::Error, nullptr, r, 0); },
        [&](R* r) { q.OptimizeDatabase("p", "d", "n", R::Success, R::Error, nullptr, r, 0); },
        [&](R* r) { q.RepairDatabase("p", "d", "n", "o", R::Success, R::Error, nullptr, r, 0); },
        [&](R* r) {
            q.IndexDatabase("p", "d", "n", true, true, R::Success, R::Error, nullptr, r, 0);
        },
        [&](R* r) { q.KillClient(1u, "p", R::Success, R::Error, nullptr, r, 0); },
    };
    for (auto& op : ops) {
        R r;
        op(&r);
        fRPC->Drain();
        EXPECT_EQ(r.fSuccesses, 1);
        EXPECT_EQ(r.fErrors, 0);
    }
}

}  // namespace
