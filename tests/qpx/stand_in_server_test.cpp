// The stand-in business server's own bookkeeping: a connection's request log keeps only
// the last requests however many come, and a connection keeps one session however
// often it is let in; a reply too deep to flatten fails with a reason.
#include <gtest/gtest.h>

#include "support/business_handlers.h"
#include "support/flat_table.h"
#include "support/private_network.h"
#include "support/raw_client.h"

namespace {

const bool kIsolated = EnterPrivateNetwork();

// The reply of the stand-in's handlers to `request`, called as the server calls them.
CLU_Table Call(CL_ClientContext* context, CL_Command command, const CLU_Table& request) {
    CL_Blob input = Flat(request), output;
    business::Execute(command, input, output, context, 1);
    return Unflat(output);
}

// A context of `server` that the stand-in's connect check has let in, with a session;
// business::Disconnect frees both.
CL_ClientContext* LetIn(CL_TCPServer& server) {
    CL_ClientContext* context = new CL_ClientContext(9, &server);
    CLU_Table connection;
    EXPECT_EQ(business::Connect(context, &connection), CL_OK);
    return context;
}

TEST(StandInServer, RequestLogKeepsTheLastRequests) {
    TestServer test;
    test.fCallbacks.fExecute = business::Execute;
    test.fCallbacks.fConnect = business::Connect;
    test.fCallbacks.fDisconnect = business::Disconnect;
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client, 0, CLU_Table().Set("sid", std::string("s1"))));
    const int sent = int(business::kKeptRequests) * 3 + 5;
    for (int i = 0; i < sent; i++)
        ASSERT_EQ(client.Call(business::kEcho, CLU_Table().Set("i", i)), CL_PACKET_TYPE_DATA);

    CLU_Table reply;
    ASSERT_EQ(client.Call(business::kRequestLog, CLU_Table().Set("CLEAR", true), &reply),
              CL_PACKET_TYPE_DATA);
    CLU_List* requests = reply.GetList("REQUESTS");
    ASSERT_NE(requests, nullptr);
    ASSERT_EQ(requests->Count(), uint32(business::kKeptRequests));
    // Oldest first, ending with the last one sent.
    CLU_Table* first = requests->GetTable(0);
    CLU_Table* last = requests->GetTable(int32(requests->Count()) - 1);
    ASSERT_TRUE(first && last);
    EXPECT_EQ(first->GetTable("REQUEST")->GetInteger("i"), sent - int(business::kKeptRequests));
    EXPECT_EQ(last->GetInteger("COMMAND"), business::kEcho);
    EXPECT_EQ(last->GetTable("REQUEST")->GetInteger("i"), sent - 1);
    EXPECT_EQ(reply.GetTable("CONNECTION")->GetString("sid"), "s1");

    // Cleared.
    ASSERT_EQ(client.Call(business::kRequestLog, CLU_Table(), &reply), CL_PACKET_TYPE_DATA);
    ASSERT_NE(reply.GetList("REQUESTS"), nullptr);
    EXPECT_EQ(reply.GetList("REQUESTS")->Count(), 0u);
}

TEST(StandInServer, OneSessionPerConnection) {
    CL_Init();
    CL_TCPServer server;
    CL_ClientContext* served = new CL_ClientContext(9, &server);
    CLU_Table first, second;
    first.Set("sid", std::string("a"));
    second.Set("sid", std::string("b"));
    ASSERT_EQ(business::Connect(served, &first), CL_OK);
    void* session = served->GetData();
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(business::Connect(served, &second), CL_OK);
    EXPECT_EQ(served->GetData(), session);
    EXPECT_EQ(static_cast<business::Session*>(session)->fConnection.GetString("sid"), "b");
    business::Disconnect(served);  // deletes the session and the context
}

// A reply the flattened format cannot carry fails with a reason instead of going out as
// an empty DATA: a request as deep as the format carries echoes whole, and the request
// log that holds it nests it deeper. So does a BLOB larger than the largest.
TEST(StandInServer, RepliesThatCannotBeMadeFailWithAReason) {
    CL_Init();
    CL_TCPServer server;
    CL_ClientContext* context = LetIn(server);
    CLU_Table whole = NestedTables(CLU_MAX_FLATTEN_DEPTH);
    CL_Blob input = Flat(whole), output;
    ASSERT_EQ(business::Execute(business::kEcho, input, output, context, 1), CL_OK);
    EXPECT_TRUE(Unflat(output) == whole);
    input = Flat(CLU_Table());
    EXPECT_EQ(business::Execute(business::kRequestLog, input, output, context, 2), CL_ERROR);
    EXPECT_EQ(Unflat(output).GetString("ERROR"), "the reply nests deeper than 256 levels");
    // A BLOB larger than the largest is refused rather than cut to it.
    const long long most = business::TheSettings().fMaxBlobBytes;
    CLU_Table reply = Call(context, business::kBlob, CLU_Table().Set("bytes", 2 * most));
    EXPECT_EQ(reply.GetInteger("ERRNO", 0), business::kErrBadParameters);
    EXPECT_EQ(reply.GetString("ERROR"), "a BLOB reply holds at most 67108864 bytes, not 134217728");
    business::Disconnect(context);
}

// A query's text ends at its end or at its first NUL; what cannot be read is refused with
// the query error. A WHERE clause leaves the rows' values as they were; UPDATE and DELETE
// count the rows it selects.
TEST(StandInServer, QueriesAreReadUpToTheirEndOrTheirFirstNul) {
    CL_Init();
    CL_TCPServer server;
    CL_ClientContext* context = LetIn(server);
    Call(context, QPX_CMD_OPEN_DATABASE, CLU_Table().Set("DRIVER", "sqlite").Set("NAME", "demo"));
    using namespace std::string_literals;
    const struct {
        std::string fQuery;
        int64 fRows;         // -1: refused
        const char* fError;  // the end of the refusal's text
    } cases[] = {
        {"SELECT name FROM customers", 6, ""},
        {"SELECT name FROM customers\0"s, 6, ""},
        {"SELECT name FROM customers\0 WHERE id = 1"s, 6, ""},
        {"SELECT name\0 FROM customers"s, -1, "missing FROM"},
        {"\0"s, -1, "empty query"},
        {"\0\0SELECT * FROM customers"s, -1, "empty query"},
        {"SELECT name FROM customers WHERE name = 'Anna Rossi'", 1, ""},
        {"SELECT name FROM customers WHERE id = 2", 1, ""},
        {"SELECT name FROM customers WHERE id = 2 LIMIT", -1, "syntax error near 'LIMIT'"},
        {"SELECT 'name FROM customers", -1, "missing FROM"},
        {"UPDATE customers SET city = 'Roma' WHERE name = 'Anna Rossi'", 1, ""},
        {"DELETE FROM customers WHERE city = 'Milano'", 2, ""},
        {"DELETE FROM customers WHERE town = 'Milano'", -1, "no such column: town"},
        {"SELECT name FROM customers WHERE town = 'Milano'", -1, "no such column: town"},
        // The three read WHERE alike: one "column = literal", then at most a closing ';'.
        {"delete from customers where city = 'Milano';", 2, ""},
        {"update customers set city = 'Roma' where city = 'Milano' ;;", 2, ""},
        {"UPDATE customers SET x = 1 WHERE id = 1 AND id = 2", -1, "syntax error near 'AND'"},
        {"DELETE FROM customers WHERE id = 1 OR id = 2", -1, "syntax error near 'OR'"},
        {"DELETE FROM customers WHERE city = 'Milano' LIMIT 1", -1, "syntax error near 'LIMIT'"},
        {"UPDATE customers SET x = 1 garbage", -1, "syntax error near 'garbage'"},
        {"SELECT name FROM customers WHERE id = 1 WHERE id = 2", -1, "syntax error near 'WHERE'"},
        {"SELECT name FROM customers; WHERE id = 1", -1, "syntax error near 'WHERE'"},
        {"DELETE FROM customers WHERE name = 'Anna Rossi", -1, "syntax error near 'WHERE'"},
        {"SELECT name FROM customers WHERE id =", -1, "syntax error near 'WHERE'"},
        {"DELETE FROM customers WHERE id =", -1, "syntax error near 'WHERE'"},
        {"UPDATE customers SET city = 'Roma' WHERE id =", -1, "syntax error near 'WHERE'"},
    };
    for (const auto& c : cases) {
        CLU_Table reply = Call(context, QPX_CMD_QUERY_DATABASE, CLU_Table().Set("QUERY", c.fQuery));
        if (c.fRows < 0) {
            EXPECT_EQ(reply.GetInteger("ERRNO", 0), business::kErrQueryFailed) << c.fQuery;
            EXPECT_TRUE(reply.GetString("ERROR").ends_with(c.fError)) << reply.GetString("ERROR");
        } else {
            EXPECT_EQ(reply.GetInteger("AFFECTED_ROWS", -1), c.fRows) << c.fQuery;
        }
    }
    CLU_Table rows =
        Call(context, QPX_CMD_QUERY_DATABASE, CLU_Table().Set("QUERY", "SELECT id FROM customers"));
    ASSERT_NE(rows.GetList("RESULT_SET"), nullptr);
    EXPECT_EQ(rows.GetList("RESULT_SET")->GetList(0)->GetType(0), CLU_INTEGER);
    business::Disconnect(context);
}

}  // namespace
