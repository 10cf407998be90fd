// The stand-in business server's own bookkeeping: a connection's request log keeps only
// the last requests however many come, and a connection keeps one session however
// often it is let in.
#include <gtest/gtest.h>

#include "support/business_handlers.h"
#include "support/private_network.h"
#include "support/raw_client.h"

namespace {

const bool kIsolated = EnterPrivateNetwork();

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

}  // namespace
