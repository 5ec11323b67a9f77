#pragma once
// A client connection made by IWebSocket::Connect whose events are recorded:
// "open", "close", "txt:<text>" / "bin:<bytes>" (long payloads as "len=N").

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "Gcd/Gcd.h"
#include "NetTestSupport.h"
#include "WebSocket.h"

struct ClientProbe {
    Recorder events;
    std::mutex mutex;
    _STRING lastMessage;
    std::atomic<int> wrongThread{0};
    std::atomic<_NET::IWebSocket*> lastConnection{nullptr};
    _OBJ<_NET::IWebSocket> ws;

    // The callbacks refer to this probe: end the connection and let every
    // event task already posted run before the members go.
    ~ClientProbe()
    {
        if (ws.isValid())
            ws->Disconnect();
        ws = nullptr;
        std::promise<void> drained;
        if (_GCD::Dispatch([&] { drained.set_value(); }, _GCD::SERIAL) != _GCD::TASK_ID_INVALID)
            drained.get_future().wait();
    }

    void Connect(const std::string& url)
    {
        ws = _NET::IWebSocket::Connect(
            url,
            [this](_OBJ<_NET::IWebSocket> c, bool connected) {
                lastConnection = c.__Ptr();
                events.Add(connected ? "open" : "close");
            },
            [this](_OBJ<_NET::IWebSocket> c, const _STRING& data, _NET::IWebSocket::OPCODE op) {
                lastConnection = c.__Ptr();
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    lastMessage = data;
                }
                const std::string shown = data.size() > 64 ? "len=" + std::to_string(data.size()) : data;
                events.Add((op == _NET::IWebSocket::Binary ? "bin:" : "txt:") + shown);
            });
    }

    _STRING LastMessage()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return lastMessage;
    }
};
