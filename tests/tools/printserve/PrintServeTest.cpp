// printserve as a user runs it: bad input, a busy port, and a client that
// greets and receives the images as "Print" server messages.

#include <fstream>

#include <gtest/gtest.h>

#include "Codec/Base64.h"
#include "NetTestSupport.h"
#include "Transport.h"
#include "WebSocket.h"

namespace {

const std::string PNG_BYTES = std::string("\x89PNG\r\n\x1a\n", 8) + "rest of a picture";

std::string WriteFile(const std::string& name, const std::string& bytes)
{
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// Runs printserve with its standard error joined to its output.
std::unique_ptr<ChildProcess> Start(const std::string& args)
{
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{"sh", "-c", std::string("exec \"") + PRINTSERVE + "\" " + args + " 2>&1"});
}

std::string AllOutput(ChildProcess& child)
{
    std::string all, line;
    while (child.ReadLine(line))
        all += line + "\n";
    return all;
}

TEST(PrintServe, BadInputGetsAClearMessageAndAnErrorStatus)
{
    const std::string text = WriteFile("not-a-picture.png", "hello");
    const std::string png = WriteFile("label.png", PNG_BYTES);
    const struct {
        std::string args;
        int status;
        std::string message;
    } cases[] = {
        {"/nonexistent/label.png", 2, "printserve: cannot read /nonexistent/label.png\n"},
        {text, 2, "printserve: " + text + " is not a PNG image\n"},
        {"", 2, "printserve: no PNG file given\n"},
        {"--port 0 " + png, 2, "printserve: port 0 is out of range\n"},
        {"--port abc " + png, 2, "printserve: the argument ('abc') for option '--port' is invalid\n"},
        {"--cert " + png + " " + png, 2, "printserve: --cert and --key go together\n"},
        {"--cert " + png + " --key " + png + " " + png, 2, "printserve: cannot read the certificate chain: "},
    };
    for (const auto& c : cases) {
        auto child = Start(c.args);
        const std::string out = AllOutput(*child);
        EXPECT_EQ(child->Wait(), c.status) << c.args;
        EXPECT_EQ(out.substr(0, c.message.size()), c.message) << out;
    }
}

TEST(PrintServe, ABusyPortIsReported)
{
    const int port = FreePort();
    _OBJ<_NET::IWebSocketListener> busy = _NET::IWebSocketListener::New(static_cast<unsigned short>(port), nullptr, nullptr);
    ASSERT_TRUE(busy.isValid());
    auto child = Start("--port " + std::to_string(port) + " " + WriteFile("label.png", PNG_BYTES));
    const std::string out = AllOutput(*child);
    EXPECT_EQ(child->Wait(), 3);
    EXPECT_EQ(out, "printserve: cannot listen on port " + std::to_string(port) + " (is it in use?)\n");
}

// A client that greets with `name` and records what comes back.
struct Greeter {
    Recorder messages;
    _NET::Transport::ClientSocket socket;

    Greeter(int port, const std::string& name)
    {
        socket.setUrl("ws://127.0.0.1:" + std::to_string(port) + "/");
        socket.setOnMessageCallback([this, name](const _NET::Transport::Event& e) {
            if (e.type == _NET::Transport::EventType::Open)
                socket.send(_NET::SerializeJson({{"_CMD", "Initialize"}, {"Name", name}, {"_ID", "g"}}));
            if (e.type == _NET::Transport::EventType::Message)
                messages.Add(e.str);
        });
        socket.start();
    }
};

TEST(PrintServe, SendsEveryImageToEachGreetingClientOrOnlyTheNamedOne)
{
    const int port = FreePort();
    const std::string first = WriteFile("first.png", PNG_BYTES);
    const std::string second = WriteFile("second.png", PNG_BYTES + "2");
    auto child = Start("--port " + std::to_string(port) + " --to K\xc3\xbc" "che " + first + " " + second);
    std::string line;
    ASSERT_TRUE(child->ReadLine(line));
    EXPECT_EQ(line, "listening on port " + std::to_string(port) + " with 2 image(s) for \"K\xc3\xbc" "che\"; Ctrl-C stops");

    Greeter other(port, "Garage");
    ASSERT_TRUE(other.messages.WaitCount(R"({"_ID":"g","_OK":true})", 1));
    EXPECT_EQ(other.messages.Events().size(), 1u) << "nothing printed for another name";

    Greeter kitchen(port, "K\xc3\xbc" "che");
    ASSERT_TRUE(kitchen.messages.WaitCount(R"({"_ID":"g","_OK":true})", 1));
    const auto got = kitchen.messages.Events();
    ASSERT_EQ(got.size(), 3u);
    const _JSON print1 = _NET::ParseJson(got[0]);
    const _JSON print2 = _NET::ParseJson(got[1]);
    EXPECT_EQ(print1["_TYPE"], "Print");
    EXPECT_EQ(print1["_MAGIC"], "SERVER_MSG");
    EXPECT_EQ(print1["_ID"], 1);
    EXPECT_EQ(print2["_ID"], 2);
    EXPECT_EQ(*_CODEC::BASE64::Decode(print1["_DATA"]["Data"].get<std::string>()), PNG_BYTES);
    EXPECT_EQ(*_CODEC::BASE64::Decode(print2["_DATA"]["Data"].get<std::string>()), PNG_BYTES + "2");
    other.socket.stop();
    kitchen.socket.stop();

    child->Signal(SIGTERM);
    const std::string all = AllOutput(*child);
    EXPECT_EQ(child->Wait(), 0);
    EXPECT_NE(all.find("stopped\n"), std::string::npos) << all;
    EXPECT_NE(all.find("client \"Garage\" greeted\n"), std::string::npos) << all;
    EXPECT_NE(all.find("sent " + first + " (" + std::to_string(PNG_BYTES.size()) + " bytes) to \"K\xc3\xbc" "che\" as packet 1\n"),
              std::string::npos) << all;
    EXPECT_NE(all.find("as packet 2\n"), std::string::npos) << all;
}

}  // namespace
