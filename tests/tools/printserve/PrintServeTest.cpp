// printserve as a user runs it from a command line: bad input, a busy
// port, and a client that greets and receives the given images as "Print"
// server messages. (The gateway's HTTP side: tests/gateway.)

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "Codec/Base64.h"
#include "NetTestSupport.h"
#include "Transport.h"
#include "WebSocket.h"

namespace {

// A PNG's signature and header chunk (a 1x1 image), and some more bytes.
const std::string PNG_BYTES = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0\x1f\x15\xc4\x89", 33) +
                              "rest of a picture";

std::string WriteFile(const std::string& name, const std::string& bytes)
{
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// Runs printserve with its standard error joined to its output, with a job
// database of its own and the HTTP side on a free port.
std::unique_ptr<ChildProcess> Start(const std::string& args)
{
    static int run = 0;
    const std::string db = ::testing::TempDir() + "printserve-" + std::to_string(getpid()) + "-" +
                           std::to_string(++run) + ".db";
    std::remove(db.c_str());
    return std::make_unique<ChildProcess>(std::vector<std::string>{
        "sh", "-c", std::string("exec \"") + PRINTSERVE + "\" --http 0 --db " + db + " " + args + " 2>&1"});
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
        {"--port 0 " + png, 2, "printserve: port 0 is out of range\n"},
        {"--port abc " + png, 2, "printserve: the argument ('abc') for option '--port' is invalid\n"},
        {"--cert " + png + " " + png, 2, "printserve: --cert and --key go together\n"},
        {"--cert " + png + " --key " + png + " " + png, 2, "printserve: cannot use the certificate: "},
        {"--ttl soon " + png, 2, "printserve: --ttl soon is not a duration (90s, 30m, 24h, 7d)\n"},
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
    EXPECT_NE(line.find(" event=started ws_port=" + std::to_string(port) + " tls=no "), std::string::npos) << line;
    EXPECT_NE(line.find(" files=2"), std::string::npos) << line;

    Greeter other(port, "Garage");
    ASSERT_TRUE(other.messages.WaitCount(R"({"_ID":"g","_OK":true})", 1));
    EXPECT_EQ(other.messages.Events().size(), 1u) << "nothing printed for another name";

    // The reply, and the two jobs one after the other (each once the
    // client has the one before).
    Greeter kitchen(port, "K\xc3\xbc" "che");
    ASSERT_TRUE(kitchen.messages.WaitUntil([](const std::vector<std::string>& e) { return e.size() >= 3; }));
    std::vector<_JSON> prints;
    for (const auto& m : kitchen.messages.Events())
        if (_NET::ParseJson(m).contains("_TYPE"))
            prints.push_back(_NET::ParseJson(m));
    ASSERT_EQ(prints.size(), 2u);
    EXPECT_EQ(kitchen.messages.Count(R"({"_ID":"g","_OK":true})"), 1u);
    const _JSON& print1 = prints[0];
    const _JSON& print2 = prints[1];
    EXPECT_EQ(print1["_TYPE"], "Print");
    EXPECT_EQ(print1["_MAGIC"], "SERVER_MSG");
    EXPECT_EQ(print1["_ID"], 1);
    EXPECT_EQ(print2["_ID"], 2);
    EXPECT_EQ(*_CODEC::BASE64::Decode(print1["_DATA"]["Data"].get<std::string>()), PNG_BYTES);
    EXPECT_EQ(*_CODEC::BASE64::Decode(print2["_DATA"]["Data"].get<std::string>()), PNG_BYTES + "2");

    // A job counts as sent once the client has answered the ping behind it:
    // wait for the last one before the clients go (else it stays queued).
    const std::string second_sent = " event=job_sent id=2 printer=K\xc3\xbc" "che ";
    std::string all;
    while (all.find(second_sent) == std::string::npos && child->ReadLine(line))
        all += line + "\n";
    other.socket.stop();
    kitchen.socket.stop();

    child->Signal(SIGTERM);
    all += AllOutput(*child);
    EXPECT_EQ(child->Wait(), 0);
    EXPECT_NE(all.find(" event=stopped\n"), std::string::npos) << all;
    EXPECT_NE(all.find(" event=client_greeted name=Garage "), std::string::npos) << all;
    EXPECT_NE(all.find(" event=job_queued id=1 printer=K\xc3\xbc" "che bytes=" + std::to_string(PNG_BYTES.size()) +
                       " file=" + first + "\n"),
              std::string::npos) << all;
    EXPECT_NE(all.find(second_sent), std::string::npos) << all;
}

}  // namespace
