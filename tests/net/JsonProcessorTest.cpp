#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "WebSocket.h"

using namespace _NET;

namespace {

// A connection that keeps what is sent on it.
class Code_FakeSocket : public IWebSocket {
public:
    Code_FakeSocket() : __Ref_(0) {}
    virtual ~Code_FakeSocket() {}
    _IROOT_IMPLEMENTATION()
    bool isConnected() override { return true; }
    void Send(const _STRING& data, OPCODE opcode) override
    {
        sent.push_back(data);
        opcodes.push_back(opcode);
    }
    void Disconnect() override {}

    std::vector<_STRING> sent;
    std::vector<OPCODE> opcodes;

private:
    _COMREF __Ref_;
};

class JsonProcessor : public ::testing::Test {
protected:
    JsonProcessor() : fake(new Code_FakeSocket()), socket(fake), processor(IWebSocketJsonProcessor::New()) {}

    // Executes one text and returns the single reply.
    _STRING Reply(const _STRING& text)
    {
        const size_t before = fake->sent.size();
        processor->Execute(socket, text);
        EXPECT_EQ(fake->sent.size(), before + 1) << "exactly one reply";
        EXPECT_EQ(fake->opcodes.back(), IWebSocket::Text);
        return fake->sent.empty() ? "" : fake->sent.back();
    }

    Code_FakeSocket* fake;
    _OBJ<IWebSocket> socket;
    _OBJ<IWebSocketJsonProcessor> processor;
};

TEST_F(JsonProcessor, ServerMessageMembersInKeyOrderCompact)
{
    PostServerMsg(socket, "Print", _JSON::object(), 7);
    ASSERT_EQ(fake->sent.size(), 1u);
    EXPECT_EQ(fake->sent[0], R"({"_DATA":{},"_ID":7,"_MAGIC":"SERVER_MSG","_TYPE":"Print"})");
    PostServerMsg(socket, "Print", {{"Data", "K\xc3\xbc"}}, -1);
    EXPECT_EQ(fake->sent[1], "{\"_DATA\":{\"Data\":\"K\xc3\xbc\"},\"_ID\":-1,\"_MAGIC\":\"SERVER_MSG\",\"_TYPE\":\"Print\"}");
}

TEST_F(JsonProcessor, EveryFailureRowAnswersOkFalse)
{
    processor->Case("Throws", [](_OBJ<IWebSocket>, const _JSON&) -> std::optional<_JSON> {
        throw std::runtime_error("handler failed");
    });
    processor->Case("NoValue", [](_OBJ<IWebSocket>, const _JSON&) -> std::optional<_JSON> { return std::nullopt; });

    EXPECT_EQ(Reply("not json"), R"({"_OK":false})");
    EXPECT_EQ(Reply(R"({"_CMD":"NoValue","_ID":1} // comment)"), R"({"_OK":false})");
    EXPECT_EQ(Reply(""), R"({"_OK":false})");
    EXPECT_EQ(Reply("[1,2]"), R"({"_OK":false})");
    EXPECT_EQ(Reply("5"), R"({"_OK":false})");
    EXPECT_EQ(Reply(R"({"_ID":3})"), R"({"_ID":3,"_OK":false})");
    EXPECT_EQ(Reply(R"({"_CMD":5,"_ID":3})"), R"({"_ID":3,"_OK":false})");
    EXPECT_EQ(Reply(R"({"_CMD":"Unknown","_ID":5})"), R"({"_ID":5,"_OK":false})");
    EXPECT_EQ(Reply(R"({"_CMD":"NoValue","_ID":"x"})"), R"({"_ID":"x","_OK":false})");
    EXPECT_EQ(Reply(R"({"_CMD":"Throws","_ID":{"a":[1]}})"), R"({"_ID":{"a":[1]},"_OK":false})");
    EXPECT_EQ(Reply(R"({"_CMD":"Throws"})"), R"({"_OK":false})");
}

TEST_F(JsonProcessor, HandlerReplyGetsTheRequestIdAndHandlerArgumentsArrive)
{
    _OBJ<IWebSocket> seen_socket;
    processor->Case("Initialize", [&](_OBJ<IWebSocket> s, const _JSON& request) -> std::optional<_JSON> {
        seen_socket = s;
        return _JSON{{"Name", request.at("Name")}, {"_ID", "handler's own"}, {"_OK", true}};
    });
    EXPECT_EQ(Reply(R"({"_CMD":"Initialize","Name":"K\u00fcche","_ID":9})"),
              "{\"Name\":\"K\xc3\xbc" "che\",\"_ID\":9,\"_OK\":true}");
    EXPECT_TRUE(seen_socket == socket);
    // Without "_ID" in the request the handler's own member stays.
    EXPECT_EQ(Reply(R"({"_CMD":"Initialize","Name":"a"})"), R"({"Name":"a","_ID":"handler's own","_OK":true})");
}

TEST_F(JsonProcessor, NamesAreExactAndASecondCaseReplacesTheFirst)
{
    _OBJ<IWebSocketJsonProcessor> chained =
        processor->Case("Cmd", [](_OBJ<IWebSocket>, const _JSON&) -> std::optional<_JSON> { return _JSON(1); });
    EXPECT_TRUE(chained == processor);
    chained->Case("Cmd", [](_OBJ<IWebSocket>, const _JSON&) -> std::optional<_JSON> { return _JSON(2); });
    EXPECT_EQ(Reply(R"({"_CMD":"Cmd"})"), "2");
    EXPECT_EQ(Reply(R"({"_CMD":"cmd","_ID":1})"), R"({"_ID":1,"_OK":false})");
}

TEST_F(JsonProcessor, RepliesThatCannotCarryTheIdOrBeSerialisedStillAnswer)
{
    processor->Case("Array", [](_OBJ<IWebSocket>, const _JSON&) -> std::optional<_JSON> { return _JSON::array({1}); });
    processor->Case("Null", [](_OBJ<IWebSocket>, const _JSON&) -> std::optional<_JSON> { return _JSON(); });
    processor->Case("BadUtf8", [](_OBJ<IWebSocket>, const _JSON&) -> std::optional<_JSON> {
        return _JSON{{"text", "\xff\xfe"}};
    });
    EXPECT_EQ(Reply(R"({"_CMD":"Array","_ID":5})"), R"({"_ID":5,"_OK":false})");
    EXPECT_EQ(Reply(R"({"_CMD":"Array"})"), "[1]");
    EXPECT_EQ(Reply(R"({"_CMD":"Null","_ID":5})"), R"({"_ID":5})");
    EXPECT_EQ(Reply(R"({"_CMD":"BadUtf8","_ID":[5]})"), R"({"_ID":[5],"_OK":false})");
    EXPECT_EQ(Reply(R"({"_CMD":"BadUtf8"})"), R"({"_OK":false})");
}

// Nesting is bounded: 128 levels are a request like any other, deeper ones
// (a million levels is 2 MB of text) are the parse failure's reply.
TEST_F(JsonProcessor, NestingDeeperThanTheLimitIsAParseFailure)
{
    processor->Case("Echo", [](_OBJ<IWebSocket>, const _JSON&) -> std::optional<_JSON> { return _JSON{{"_OK", true}}; });
    const auto nested = [](size_t levels) { return std::string(levels, '[') + std::string(levels, ']'); };
    // The request object and 127 arrays in its "_ID": 128 levels.
    EXPECT_EQ(Reply(R"({"_CMD":"Echo","_ID":)" + nested(127) + "}"), R"({"_ID":)" + nested(127) + R"(,"_OK":true})");
    EXPECT_EQ(Reply(R"({"_CMD":"Echo","_ID":)" + nested(128) + "}"), R"({"_OK":false})");
    EXPECT_EQ(Reply(R"({"_CMD":"Echo","_ID":)" + nested(1000000) + "}"), R"({"_OK":false})");
    EXPECT_EQ(Reply(R"({"_CMD":"Echo","x":{"y":)" + nested(1000000) + "}}"), R"({"_OK":false})");
}

}  // namespace
