// The client connection against an independent `ws` server: interoperability,
// reconnection, ordering and the console lines.

#include <future>

#include <gtest/gtest.h>

#include "../core/RunLoopHelper.h"
#include "ClientProbe.h"

using namespace _NET;

namespace {

std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7) & 0xff);
    return s;
}

TEST(Client, InteroperatesWithAnIndependentServer)
{
    NodeWsServer server;
    ASSERT_GT(server.Port(), 0);
    WithRunLoop([&] {
        ClientProbe probe;
        probe.Connect(server.Url());
        ASSERT_TRUE(probe.events.WaitCount("open", 1));

        probe.ws->Send("hello", IWebSocket::Text);
        probe.ws->Send(std::string("\x00\x01\xff", 3), IWebSocket::Binary);
        probe.ws->Send("", IWebSocket::Text);
        probe.ws->Send("", IWebSocket::Binary);
        ASSERT_TRUE(probe.events.WaitCount("bin:", 1));
        auto events = probe.events.Events();
        ASSERT_GE(events.size(), 5u);
        EXPECT_EQ(events[1], "txt:hello");
        EXPECT_EQ(events[2], std::string("bin:\x00\x01\xff", 7));
        EXPECT_EQ(events[3], "txt:");
        EXPECT_EQ(events[4], "bin:");

        const std::string mib(1 << 20, 'm');
        probe.ws->Send(mib, IWebSocket::Text);
        ASSERT_TRUE(probe.events.WaitCount("txt:len=1048576", 1));
        EXPECT_EQ(probe.LastMessage(), mib);

        const std::string big = Pattern(20 << 20);
        probe.ws->Send(big, IWebSocket::Binary);
        ASSERT_TRUE(probe.events.WaitCount("bin:len=20971520", 1, 60s));
        EXPECT_TRUE(probe.LastMessage() == big);

        probe.ws->Send("!fragmented 7 100000", IWebSocket::Text);   // one message in 7 frames
        ASSERT_TRUE(probe.events.WaitCount("txt:len=100000", 1));

        probe.ws->Send("!ping", IWebSocket::Text);   // answered by the transport
        EXPECT_TRUE(probe.events.WaitCount("txt:pong-received", 1));
    });
}

TEST(Client, ServerCloseAndResetAreFollowedByReconnection)
{
    NodeWsServer server;
    WithRunLoop([&] {
        ClientProbe probe;
        probe.Connect(server.Url());
        ASSERT_TRUE(probe.events.WaitCount("open", 1));
        IWebSocket* const object = probe.ws.__Ptr();

        probe.ws->Send("!close 4001 going", IWebSocket::Text);
        ASSERT_TRUE(probe.events.WaitCount("open", 2));
        probe.ws->Send("!reset", IWebSocket::Text);
        ASSERT_TRUE(probe.events.WaitCount("open", 3));
        EXPECT_EQ(probe.events.Events(), (std::vector<std::string>{"open", "close", "open", "close", "open"}));
        EXPECT_EQ(probe.lastConnection.load(), object);
        EXPECT_TRUE(probe.ws->isConnected());
    });
}

TEST(Client, AnOversizedMessageClosesWith1009AndTheClientReconnects)
{
    NodeWsServer server;
    WithRunLoop([&] {
        ClientProbe probe;
        probe.Connect(server.Url());
        ASSERT_TRUE(probe.events.WaitCount("open", 1));
        probe.ws->Send("!big 67108865 binary", IWebSocket::Text);   // 64 MiB + 1
        ASSERT_TRUE(probe.events.WaitCount("open", 2, 60s));
        probe.ws->Send("!stats", IWebSocket::Text);
        ASSERT_TRUE(probe.events.WaitUntil([](const std::vector<std::string>& e) {
            return !e.empty() && e.back().rfind("txt:{", 0) == 0;
        }));
        EXPECT_NE(probe.events.Events().back().find("\"lastCloseCode\":1009"), std::string::npos)
            << probe.events.Events().back();
        probe.ws->Send("!big 67108864 binary", IWebSocket::Text);   // exactly the limit is accepted
        EXPECT_TRUE(probe.events.WaitCount("bin:len=67108864", 1, 60s));
    });
}

TEST(Client, TenThousandMessagesArriveOnceEachInOrder)
{
    NodeWsServer server;
    WithRunLoop([&] {
        std::vector<std::string> received;   // touched only by the SERIAL thread
        std::atomic<int> count{0};
        Recorder opened;
        _OBJ<IWebSocket> ws = IWebSocket::Connect(
            server.Url(), [&](_OBJ<IWebSocket>, bool connected) { if (connected) opened.Add("open"); },
            [&](_OBJ<IWebSocket>, const _STRING& data, IWebSocket::OPCODE) {
                received.push_back(data);
                ++count;
            });
        ASSERT_TRUE(opened.WaitCount("open", 1));
        ws->Send("!flood 10000", IWebSocket::Text);
        const auto end = std::chrono::steady_clock::now() + 30s;
        while (count < 10000 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(5ms);
        std::this_thread::sleep_for(100ms);
        ASSERT_EQ(count, 10000);
        // Read on the SERIAL thread, after every message task.
        std::promise<bool> in_order;
        _GCD::Dispatch([&] {
            bool ok = received.size() == 10000;
            for (size_t i = 0; ok && i < received.size(); ++i)
                ok = received[i] == std::to_string(i);
            in_order.set_value(ok);
        }, _GCD::SERIAL);
        EXPECT_TRUE(in_order.get_future().get());
    });
}

TEST(Client, ConsoleLinesAndStateAroundOpenAndDisconnect)
{
    NodeWsServer server;
    WithRunLoop([&] {
        ::testing::internal::CaptureStdout();
        ClientProbe probe;
        probe.Connect(server.Url());
        ASSERT_TRUE(probe.events.WaitCount("open", 1));
        EXPECT_TRUE(probe.ws->isConnected());
        probe.ws->Disconnect();
        const std::string out = ::testing::internal::GetCapturedStdout();
        // Both lines were written before Disconnect returned.
        EXPECT_EQ(out, "send greetings\ndisconnected\n");
        EXPECT_FALSE(probe.ws->isConnected());
        EXPECT_TRUE(probe.events.WaitCount("close", 1));
        std::this_thread::sleep_for(1500ms);   // longer than the longest retry wait
        EXPECT_EQ(probe.events.Count("open"), 1u) << "no reconnection after Disconnect";
        probe.ws->Send("dropped", IWebSocket::Text);
    });
}

TEST(Client, NeverOpenedConnectionIsQuietAndDisconnectEndsIt)
{
    WithRunLoop([&] {
        ::testing::internal::CaptureStdout();
        ClientProbe probe;
        probe.Connect("ws://127.0.0.1:" + std::to_string(FreePort()) + "/");
        EXPECT_FALSE(probe.ws->isConnected());
        probe.ws->Send("nobody listens", IWebSocket::Text);
        std::this_thread::sleep_for(700ms);   // a few failed attempts
        probe.ws->Disconnect();
        probe.ws->Disconnect();
        std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(probe.events.Events().empty());
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    });
}

TEST(Client, ServerDownAtStartThenUpThenRestartedTwice)
{
    const int port = FreePort();
    WithRunLoop([&] {
        ClientProbe probe;
        probe.Connect("ws://127.0.0.1:" + std::to_string(port) + "/");
        std::this_thread::sleep_for(800ms);
        EXPECT_TRUE(probe.events.Events().empty()) << "no callback while the server is down";
        NodeWsServer server(port);
        ASSERT_EQ(server.Port(), port);
        ASSERT_TRUE(probe.events.WaitCount("open", 1));
        for (int restart = 0; restart < 2; ++restart) {
            probe.ws->Send("!restart 300", IWebSocket::Text);
            ASSERT_TRUE(server.WaitRelisten());
            ASSERT_TRUE(probe.events.WaitCount("open", restart + 2));
        }
        EXPECT_EQ(probe.events.Events(),
                  (std::vector<std::string>{"open", "close", "open", "close", "open"}));
    });
}

TEST(Client, AnUnsupportedSchemeIsReportedOnceAndRetriedWithoutCrashing)
{
    WithRunLoop([&] {
        ::testing::internal::CaptureStderr();
        ClientProbe probe;
        probe.Connect("http://127.0.0.1:1/");
        std::this_thread::sleep_for(700ms);
        probe.ws->Disconnect();
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("unsupported scheme \"http\""), std::string::npos) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << "reported once: " << err;
        EXPECT_TRUE(probe.events.Events().empty());
    });
}

}  // namespace
