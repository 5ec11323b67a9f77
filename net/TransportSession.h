#pragma once
// One open WebSocket link shared by the client and the server side of the
// transport: queued writes, a read loop, pings and the closing handshake.
// Every member runs on the thread of the link's io_context.

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "Transport.h"

namespace _NET {
namespace Transport {
namespace detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
typedef websocket::stream<beast::tcp_stream> WsStream;

constexpr std::uint16_t CLOSE_ABNORMAL = 1006;
constexpr std::size_t READ_CHUNK = 1024 * 1024;

// Limits every link has, whatever its role.
void ApplyLinkOptions(WsStream& ws, std::chrono::milliseconds handshake_timeout);

class Session : public std::enable_shared_from_this<Session> {
public:
    // Receives the link's Message events, and its one Close event.
    typedef std::function<void(Event&& event)> OnLinkEvent;

    Session(WsStream&& ws, OnLinkEvent on_event);

    // Starts the read loop. The Close event comes exactly once, when it ends.
    void Start();
    void Write(std::string data, bool binary);
    void Close(std::uint16_t code, const std::string& reason);
    void Ping();
    // Drops the TCP link at once.
    void Abort();

    std::chrono::steady_clock::time_point LastReceived() const { return lastReceived_; }

private:
    void DoRead();
    void DoWrite();
    void Finish(const beast::error_code& ec);

    WsStream ws_;
    beast::flat_buffer buffer_;
    std::deque<std::pair<std::string, bool>> writes_;
    bool writing_ = false;
    bool closing_ = false;
    bool pinging_ = false;
    bool discarding_ = false;   // the rest of an oversized message
    bool finished_ = false;
    std::uint16_t sentCode_ = 0;
    std::string sentReason_;
    std::chrono::steady_clock::time_point lastReceived_;
    OnLinkEvent onEvent_;
};

}  // namespace detail
}  // namespace Transport
}  // namespace _NET
