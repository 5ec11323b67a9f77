// Lifetime races of the client connection (meant for ThreadSanitizer and
// AddressSanitizer): references released while events are in flight, and
// Disconnect or release from inside a callback.

#include <atomic>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "../core/RunLoopHelper.h"
#include "ClientProbe.h"

using namespace _NET;

namespace {

TEST(Lifetime, ReleasingTheLastReferenceWhileMessagesAreInFlight)
{
    NodeWsServer server;
    WithRunLoop([&] {
        for (int round = 0; round < 10; ++round) {
            // Tasks may outlive this round: they share their counters.
            struct COUNTS {
                std::atomic<int> received{0};
                std::atomic<int> out_of_order{0};
            };
            auto counts = std::make_shared<COUNTS>();
            auto opened = std::make_shared<Recorder>();
            _OBJ<IWebSocket> ws = IWebSocket::Connect(
                server.Url(), [opened](_OBJ<IWebSocket>, bool c) { if (c) opened->Add("open"); },
                [counts](_OBJ<IWebSocket>, const _STRING& data, IWebSocket::OPCODE) {
                    if (data != std::to_string(counts->received))
                        ++counts->out_of_order;
                    ++counts->received;
                });
            ASSERT_TRUE(opened->WaitCount("open", 1));
            ws->Send("!flood 3000", IWebSocket::Text);
            while (counts->received < 50)
                std::this_thread::sleep_for(1ms);
            ws = nullptr;   // tasks already posted keep the connection alive
            std::this_thread::sleep_for(20ms);
            EXPECT_EQ(counts->out_of_order, 0);
            EXPECT_LE(counts->received, 3000);
        }
    });
}

TEST(Lifetime, DisconnectFromInsideACallback)
{
    NodeWsServer server;
    WithRunLoop([&] {
        ClientProbe probe;
        std::atomic<bool> disconnected{false};
        probe.ws = IWebSocket::Connect(
            server.Url(),
            [&](_OBJ<IWebSocket> c, bool connected) {
                probe.events.Add(connected ? "open" : "close");
                if (connected)
                    c->Send("!flood 100", IWebSocket::Text);
            },
            [&](_OBJ<IWebSocket> c, const _STRING&, IWebSocket::OPCODE) {
                if (!disconnected.exchange(true)) {
                    c->Disconnect();
                    probe.events.Add(c->isConnected() ? "still connected" : "disconnected");
                }
            });
        ASSERT_TRUE(probe.events.WaitCount("close", 1));
        std::this_thread::sleep_for(1200ms);
        EXPECT_EQ(probe.events.Events(), (std::vector<std::string>{"open", "disconnected", "close"}));
    });
}

TEST(Lifetime, TheLastReferenceReleasedInsideItsOwnCallback)
{
    NodeWsServer server;
    WithRunLoop([&] {
        std::mutex m;
        _OBJ<IWebSocket> holder;
        std::promise<void> released;
        {
            std::lock_guard<std::mutex> lock(m);
            holder = IWebSocket::Connect(
                server.Url(),
                [&](_OBJ<IWebSocket>, bool connected) {
                    if (!connected)
                        return;
                    std::lock_guard<std::mutex> lock(m);
                    holder = nullptr;   // the running task now holds the last reference
                    released.set_value();
                },
                nullptr);
        }
        ASSERT_EQ(released.get_future().wait_for(15s), std::future_status::ready);
        std::promise<void> drained;
        _GCD::Dispatch([&] { drained.set_value(); }, _GCD::SERIAL);
        drained.get_future().wait();
    });
}

TEST(Lifetime, ConnectionsReleasedAsTheRunLoopShutsDown)
{
    NodeWsServer server;
    for (int round = 0; round < 5; ++round) {
        _OBJ<IWebSocket> ws;
        Recorder opened;
        LoopHooks hooks;
        // Events arriving from here on are refused by the queue; the refused
        // task may hold the last reference on the transport thread.
        hooks.terminator = [&] { ws = nullptr; };
        WithRunLoop(
            [&] {
                ws = IWebSocket::Connect(
                    server.Url(), [&](_OBJ<IWebSocket>, bool c) { if (c) opened.Add("open"); },
                    [](_OBJ<IWebSocket>, const _STRING&, IWebSocket::OPCODE) {});
                ASSERT_TRUE(opened.WaitCount("open", 1));
                ws->Send("!flood 5000", IWebSocket::Text);
                std::this_thread::sleep_for(std::chrono::milliseconds(round * 3));
            },
            2, hooks);
        EXPECT_FALSE(ws.isValid());
    }
}

}  // namespace
