// The client transport's own rules: handshake time-out, lost links detected
// by pings, and the waits between reconnection attempts.

#include <atomic>
#include <thread>

#include <boost/asio.hpp>
#include <gtest/gtest.h>

#include "NetTestSupport.h"
#include "Transport.h"

using namespace _NET::Transport;
using Clock = std::chrono::steady_clock;

namespace {

std::string Describe(const Event& e)
{
    switch (e.type) {
    case EventType::Open: return "open";
    case EventType::Close: return "close:" + std::to_string(e.closeCode);
    case EventType::Message: return "msg:" + e.str;
    case EventType::Error: return "error";
    default: return "other";
    }
}

TEST(Transport, ServerThatNeverAnswersTheHandshakeIsRetried)
{
    // Accepts TCP connections and never says a word.
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor acceptor(
        ioc, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), 0));
    std::atomic<int> accepted{0};
    std::vector<boost::asio::ip::tcp::socket> held;
    std::function<void()> accept = [&] {
        acceptor.async_accept([&](const boost::system::error_code& ec, boost::asio::ip::tcp::socket s) {
            if (ec)
                return;
            ++accepted;
            held.push_back(std::move(s));
            accept();
        });
    };
    accept();
    std::thread server([&] { ioc.run(); });

    Recorder events;
    ClientSocket client;
    client.setUrl("ws://127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()) + "/");
    client.setHandshakeTimeout(300ms);
    client.setMinWaitBetweenReconnectionRetries(50ms);
    client.setMaxWaitBetweenReconnectionRetries(100ms);
    client.setOnMessageCallback([&](const Event& e) { events.Add(Describe(e)); });
    client.start();
    EXPECT_TRUE(events.WaitCount("error", 3));
    EXPECT_GE(accepted, 3);
    EXPECT_EQ(events.Count("open"), 0u);

    const auto before_stop = Clock::now();
    client.stop();
    EXPECT_LT(Clock::now() - before_stop, 2s);
    boost::asio::post(ioc, [&] { acceptor.close(); });
    server.join();
}

TEST(Transport, LinkWhosePeerStopsAnsweringPingsIsLostAndReconnected)
{
    NodeWsServer server;
    Recorder events;
    ClientSocket client;
    client.setUrl(server.Url());
    client.setPingInterval(200ms);
    client.setOnMessageCallback([&](const Event& e) { events.Add(Describe(e)); });
    client.start();
    ASSERT_TRUE(events.WaitCount("open", 1));
    // While the peer answers, pings keep the link up.
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(events.Count("close:1006"), 0u);
    const auto muted = Clock::now();
    client.send("!mute");
    ASSERT_TRUE(events.WaitCount("close:1006", 1));
    // Lost after two intervals without a pong; the last one arrived at most
    // one interval before the peer fell silent.
    EXPECT_GE(Clock::now() - muted, 200ms);
    EXPECT_TRUE(events.WaitCount("open", 2));
    client.stop();
}

TEST(Transport, WaitsBetweenAttemptsGrowFromMinimumToMaximum)
{
    Recorder events;
    std::vector<Clock::time_point> failures;
    std::mutex m;
    ClientSocket client;
    client.setUrl("ws://127.0.0.1:" + std::to_string(FreePort()) + "/");
    client.setOnMessageCallback([&](const Event& e) {
        if (e.type == EventType::Error) {
            std::lock_guard<std::mutex> lock(m);
            failures.push_back(Clock::now());
        }
        events.Add(Describe(e));
    });
    client.start();
    ASSERT_TRUE(events.WaitCount("error", 7, 20s));
    client.stop();
    std::lock_guard<std::mutex> lock(m);
    // 100 ms doubling, within [250, 1000]: 250 250 400 800 1000 1000.
    const int expected[] = {250, 250, 400, 800, 1000, 1000};
    for (int i = 0; i < 6; ++i) {
        const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(failures[i + 1] - failures[i]);
        EXPECT_GE(gap.count(), expected[i] - 20) << "wait " << i;
    }
}

TEST(Transport, StopOnAnOpenLinkDeliversCloseBeforeReturningAndEndsEvents)
{
    NodeWsServer server;
    Recorder events;
    ClientSocket client;
    client.setUrl(server.Url());
    client.setOnMessageCallback([&](const Event& e) { events.Add(Describe(e)); });
    client.start();
    ASSERT_TRUE(events.WaitCount("open", 1));
    EXPECT_TRUE(client.send("echo me"));
    ASSERT_TRUE(events.WaitCount("msg:echo me", 1));
    client.stop(4002, "test over");
    EXPECT_EQ(events.Count("close:4002"), 1u);
    const size_t after = events.Events().size();
    EXPECT_FALSE(client.send("late"));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(events.Events().size(), after);
}

}  // namespace
