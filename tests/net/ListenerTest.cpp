// The listener and its peer handles: against the independent `ws` client and
// against our own transport client.

#include <atomic>
#include <fstream>
#include <set>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <gtest/gtest.h>

#include "NetTestSupport.h"
#include "Transport.h"
#include "WebSocket.h"

using namespace _NET;
using Clock = std::chrono::steady_clock;

namespace {

int ThreadCount()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0)
            return std::stoi(line.substr(8));
    return -1;
}

// An echo listener; "!disconnect" makes it close that client.
struct EchoListener {
    Recorder events;
    std::mutex mutex;
    std::vector<_OBJ<IWebSocket>> handles;   // kept, so that addresses stay distinct
    std::atomic<int> closeHandleConnected{-1};
    _OBJ<IWebSocketListener> listener;
    int port;

    explicit EchoListener(int p = FreePort()) : port(p)
    {
        listener = IWebSocketListener::New(
            static_cast<unsigned short>(port),
            [this](_OBJ<IWebSocket> c, bool connected) {
                Remember(c);
                if (!connected)
                    closeHandleConnected = c->isConnected();
                events.Add(connected ? "open" : "close");
            },
            [this](_OBJ<IWebSocket> c, const _STRING& data, IWebSocket::OPCODE op) {
                Remember(c);
                if (data == "!disconnect")
                    c->Disconnect();
                else
                    c->Send(data, op);
                events.Add("msg");
            });
    }

    void Remember(const _OBJ<IWebSocket>& c)
    {
        std::lock_guard<std::mutex> lock(mutex);
        handles.push_back(c);
    }

    std::string Url() const { return "ws://127.0.0.1:" + std::to_string(port) + "/"; }
};

TEST(Listener, InteroperatesWithAnIndependentClient)
{
    EchoListener server;
    ASSERT_TRUE(server.listener.isValid());
    ChildProcess client({"env", "NODE_PATH=" ZP_NODE_MODULES, "node", ZP_PEERS_DIR "/ws_client.js", server.Url()});
    std::string report, line;
    while (client.ReadLine(line))
        report += line + "\n";
    EXPECT_EQ(client.Wait(), 0) << report;
    EXPECT_EQ(report.find("FAIL"), std::string::npos) << report;
    EXPECT_NE(report.find("OK abrupt reset"), std::string::npos) << report;
    // The reset client's close event arrives too.
    EXPECT_TRUE(server.events.WaitCount("close", 2));
}

TEST(Listener, EventsOfOneClientArriveInOrderEachWithItsOwnHandle)
{
    EchoListener server;
    ASSERT_TRUE(server.listener.isValid());
    Recorder client_events;
    {
        Transport::ClientSocket client;
        client.setUrl(server.Url());
        client.setOnMessageCallback([&](const Transport::Event& e) {
            if (e.type == Transport::EventType::Message)
                client_events.Add((e.binary ? "bin:" : "txt:") + e.str);
            if (e.type == Transport::EventType::Open)
                client_events.Add("open");
        });
        client.start();
        ASSERT_TRUE(client_events.WaitCount("open", 1));
        client.send("one");
        client.sendBinary("two");
        ASSERT_TRUE(client_events.WaitCount("bin:two", 1));
        EXPECT_EQ(client_events.Events(), (std::vector<std::string>{"open", "txt:one", "bin:two"}));
    }
    ASSERT_TRUE(server.events.WaitCount("close", 1));
    EXPECT_EQ(server.events.Events(), (std::vector<std::string>{"open", "msg", "msg", "close"}));
    EXPECT_EQ(server.closeHandleConnected, 1) << "isConnected() is true on the close event's handle";
    std::lock_guard<std::mutex> lock(server.mutex);
    std::set<IWebSocket*> distinct;
    for (const auto& h : server.handles)
        distinct.insert(h.__Ptr());
    EXPECT_EQ(distinct.size(), 4u) << "a new handle per event";
}

TEST(Listener, DisconnectOnAHandleClosesThatClient)
{
    EchoListener server;
    Recorder client_events;
    Transport::ClientSocket client;
    client.setUrl(server.Url());
    client.setOnMessageCallback([&](const Transport::Event& e) {
        if (e.type == Transport::EventType::Close)
            client_events.Add("close:" + std::to_string(e.closeCode) + " " + e.closeReason);
        if (e.type == Transport::EventType::Open)
            client_events.Add("open");
    });
    client.start();
    ASSERT_TRUE(client_events.WaitCount("open", 1));
    client.send("!disconnect");
    EXPECT_TRUE(client_events.WaitCount("close:1000 Normal closure", 1));
    EXPECT_TRUE(server.events.WaitCount("close", 1));
    client.stop();
}

TEST(Listener, APortInUseGivesAnEmptyListenerAndNoThread)
{
    EchoListener first;
    ASSERT_TRUE(first.listener.isValid());
    const int threads = ThreadCount();
    ::testing::internal::CaptureStdout();
    _OBJ<IWebSocketListener> second = IWebSocketListener::New(
        static_cast<unsigned short>(first.port), nullptr, nullptr);
    EXPECT_FALSE(second.isValid());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(ThreadCount(), threads);
}

TEST(Listener, StopWithClientsSendingClosesThemAndEndsCallbacks)
{
    EchoListener server;
    std::vector<std::unique_ptr<Transport::ClientSocket>> clients;
    Recorder opened;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<Transport::ClientSocket>());
        clients.back()->setUrl(server.Url());
        clients.back()->setOnMessageCallback([&](const Transport::Event& e) {
            if (e.type == Transport::EventType::Open)
                opened.Add("open");
        });
        clients.back()->start();
    }
    ASSERT_TRUE(opened.WaitCount("open", 4));
    std::atomic<bool> sending{true};
    std::vector<std::thread> senders;
    for (auto& c : clients)
        senders.emplace_back([&, client = c.get()] {
            while (sending)
                client->send("spam");
        });
    std::this_thread::sleep_for(100ms);
    server.listener->Stop();
    const size_t after_stop = server.events.Events().size();
    EXPECT_EQ(server.events.Count("close"), 4u);
    std::this_thread::sleep_for(300ms);
    sending = false;
    for (auto& t : senders)
        t.join();
    EXPECT_EQ(server.events.Events().size(), after_stop) << "no callback after Stop";

    // New connections are refused.
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::socket probe(ioc);
    boost::system::error_code ec;
    probe.connect({boost::asio::ip::make_address_v4("127.0.0.1"), static_cast<unsigned short>(server.port)}, ec);
    EXPECT_TRUE(ec);
    for (auto& c : clients)
        c->stop();
}

TEST(Listener, KeptHandlesOutliveTheirClientSafely)
{
    std::mutex m;
    std::vector<_OBJ<IWebSocket>> kept;
    Recorder events;
    const int port = FreePort();
    _OBJ<IWebSocketListener> listener = IWebSocketListener::New(
        static_cast<unsigned short>(port),
        [&](_OBJ<IWebSocket> c, bool connected) {
            std::lock_guard<std::mutex> lock(m);
            kept.push_back(c);
            events.Add(connected ? "open" : "close");
        },
        nullptr);
    ASSERT_TRUE(listener.isValid());
    {
        Recorder client_events;
        Transport::ClientSocket client;
        client.setUrl("ws://127.0.0.1:" + std::to_string(port) + "/");
        client.setOnMessageCallback([&](const Transport::Event& e) {
            client_events.Add(e.type == Transport::EventType::Open ? "open" : "other");
        });
        client.start();
        ASSERT_TRUE(client_events.WaitCount("open", 1));
        client.send("discarded: no message callback");
    }
    ASSERT_TRUE(events.WaitCount("close", 1));
    std::this_thread::sleep_for(100ms);   // the transport forgets the client
    std::lock_guard<std::mutex> lock(m);
    for (auto& handle : kept) {
        handle->Send("to nobody", IWebSocket::Text);
        handle->Disconnect();
        EXPECT_TRUE(handle->isConnected());
    }
}

TEST(Listener, AtMost128ClientsAtOnce)
{
    EchoListener server;
    std::vector<std::unique_ptr<Transport::ClientSocket>> clients;
    Recorder opened;
    for (int i = 0; i < 129; ++i) {
        clients.push_back(std::make_unique<Transport::ClientSocket>());
        clients.back()->setUrl(server.Url());
        clients.back()->setOnMessageCallback([&](const Transport::Event& e) {
            if (e.type == Transport::EventType::Open)
                opened.Add("open");
        });
        clients.back()->start();
    }
    ASSERT_TRUE(server.events.WaitCount("open", 128, 60s));
    std::this_thread::sleep_for(1500ms);   // the 129th keeps being turned away
    EXPECT_EQ(server.events.Count("open"), 128u);
    EXPECT_EQ(opened.Count("open"), 128u);
    clients[0]->stop();   // one leaves: the last one gets in
    EXPECT_TRUE(server.events.WaitCount("open", 129, 10s));
    for (auto& c : clients)
        c->stop();
    server.listener->Stop();
}

TEST(Listener, AClientThatNeverCompletesTheHandshakeIsDroppedAfterThreeSeconds)
{
    EchoListener server;
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::socket silent(ioc);
    silent.connect({boost::asio::ip::make_address_v4("127.0.0.1"), static_cast<unsigned short>(server.port)});
    const auto start = Clock::now();
    char byte;
    boost::system::error_code ec;
    silent.read_some(boost::asio::buffer(&byte, 1), ec);   // returns when the server drops it
    const auto waited = Clock::now() - start;
    EXPECT_TRUE(ec);
    EXPECT_GE(waited, 2900ms);
    EXPECT_LT(waited, 10s);
    EXPECT_TRUE(server.events.Events().empty());
}

// Out of file descriptors, accepting fails for as long as it lasts: the
// listener pauses between attempts instead of spinning, says so once, and
// admits clients again once descriptors are free.
TEST(Listener, AcceptFailuresPauseAndAreReportedOnce)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer runtimes need descriptors of their own (the native tree runs it)";
#endif
    EchoListener server;
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::socket waiting(ioc);
    waiting.open(boost::asio::ip::tcp::v4());   // its descriptor exists before the limit
    testing::internal::CaptureStderr();

    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    const int lowest_free = dup(0);
    ASSERT_GE(lowest_free, 0);
    close(lowest_free);
    rlimit none = old;
    none.rlim_cur = static_cast<rlim_t>(lowest_free);   // no new descriptor from here on
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    boost::system::error_code ec;
    waiting.connect({boost::asio::ip::make_address_v4("127.0.0.1"), static_cast<unsigned short>(server.port)}, ec);
    std::this_thread::sleep_for(1500ms);
    getrusage(RUSAGE_SELF, &after);
    setrlimit(RLIMIT_NOFILE, &old);

    const auto cpu = [](const rusage& u) {
        return std::chrono::seconds(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               std::chrono::microseconds(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
    };
    EXPECT_FALSE(ec);
    // Spinning would take one core for the whole 1.5 s.
    EXPECT_LT(cpu(after) - cpu(before), 300ms);
    const std::string said = testing::internal::GetCapturedStderr();
    size_t reports = 0;
    for (size_t at = said.find("cannot accept a client"); at != std::string::npos;
         at = said.find("cannot accept a client", at + 1))
        ++reports;
    EXPECT_EQ(reports, 1u) << said;

    Transport::ClientSocket client;
    Recorder opened;
    client.setUrl(server.Url());
    client.setOnMessageCallback([&](const Transport::Event& e) {
        if (e.type == Transport::EventType::Open)
            opened.Add("open");
    });
    client.start();
    EXPECT_TRUE(opened.WaitCount("open", 1, 10s));
    client.stop();
    server.listener->Stop();
}

}  // namespace
