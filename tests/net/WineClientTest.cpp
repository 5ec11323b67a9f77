// The client connection under Wine against the independent `ws` server that
// the test's wrapper started (its port in ZP_WS_PORT): connect, receive,
// reconnect after a server restart.

#include <algorithm>
#include <cstdlib>

#include <gtest/gtest.h>

#include "core/RunLoopHelper.h"
#include "net/ClientProbe.h"

using namespace _NET;

TEST(WineClient, ConnectsReceivesAndReconnectsAfterARestart)
{
    const char* port = std::getenv("ZP_WS_PORT");
    ASSERT_NE(port, nullptr) << "run through with-ws-server.sh";
    WithRunLoop([&] {
        ClientProbe probe;
        probe.Connect(std::string("ws://127.0.0.1:") + port + "/");
        ASSERT_TRUE(probe.events.WaitCount("open", 1));
        probe.ws->Send("hello from wine", IWebSocket::Text);
        probe.ws->Send(std::string("\x00\x80\xff", 3), IWebSocket::Binary);
        ASSERT_TRUE(probe.events.WaitCount("txt:hello from wine", 1));
        ASSERT_TRUE(probe.events.WaitCount(std::string("bin:\x00\x80\xff", 7), 1));
        probe.ws->Send("!big 2000000 binary", IWebSocket::Text);
        ASSERT_TRUE(probe.events.WaitCount("bin:len=2000000", 1));

        probe.ws->Send("!restart 300", IWebSocket::Text);
        ASSERT_TRUE(probe.events.WaitCount("open", 2));
        probe.ws->Send("after restart", IWebSocket::Text);
        ASSERT_TRUE(probe.events.WaitCount("txt:after restart", 1));
        const auto events = probe.events.Events();
        EXPECT_EQ(events[0], "open");
        EXPECT_EQ(std::count(events.begin(), events.end(), "close"), 1);
        probe.ws->Disconnect();
    });
}
