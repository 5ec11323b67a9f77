#pragma once
// One open WebSocket link shared by the client and the server side of the
// transport: queued writes, a read loop that may pause, pings and the
// closing handshake. Every member runs on the thread of the link's
// io_context.

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
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
    // Asked before each read: false pauses reading until Resume().
    typedef std::function<bool()> MayRead;

    Session(WsStream&& ws, std::uint64_t link, OnLinkEvent on_event, MayRead may_read = MayRead());

    // Starts the read loop. The Close event comes exactly once, when it ends.
    void Start();
    // Reads on after a pause; nothing when not paused.
    void Resume();
    void Write(std::string data, bool binary);
    void Close(std::uint16_t code, const std::string& reason);
    void Ping();
    // Drops the TCP link at once.
    void Abort();
    // Drops the TCP link at once; the Close event carries `reason`.
    void Fail(const std::string& reason);

    std::uint64_t Link() const { return link_; }
    bool Paused() const { return paused_; }
    std::chrono::steady_clock::time_point LastReceived() const { return lastReceived_; }

private:
    typedef asio::dynamic_string_buffer<char, std::char_traits<char>, std::allocator<char>> MessageBuffer;

    void ReadOn();
    void DoRead();
    void DoWrite();
    void Finish(const beast::error_code& ec);
    void DropMessage();

    WsStream ws_;
    const std::uint64_t link_;
    // The message being received, moved out whole to the receiver.
    std::string message_;
    std::optional<MessageBuffer> buffer_;
    std::deque<std::pair<std::string, bool>> writes_;
    bool writing_ = false;
    bool reading_ = false;
    bool paused_ = false;
    bool closing_ = false;
    bool pinging_ = false;
    bool discarding_ = false;   // the rest of an oversized message
    bool finished_ = false;
    std::uint16_t sentCode_ = 0;
    std::string sentReason_;
    std::string failReason_;
    std::chrono::steady_clock::time_point lastReceived_;
    OnLinkEvent onEvent_;
    MayRead mayRead_;
};

}  // namespace detail
}  // namespace Transport
}  // namespace _NET
