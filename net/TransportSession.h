#pragma once
// One open WebSocket link shared by the client and the server side of the
// transport, over TCP or TLS: queued writes, a read loop that may pause,
// pings and the closing handshake. Every member runs on the thread of the
// link's io_context.

#include <chrono>
#include <algorithm>
#include <deque>
#include <stdexcept>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "CorkedStream.h"
#include "Transport.h"

namespace _NET {
namespace Transport {
namespace detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
// Under the WebSocket stream a layer that gathers small writes (see
// CorkedStream.h), over TCP or over TLS.
typedef websocket::stream<CorkedStream<beast::tcp_stream>> PlainWs;
typedef beast::ssl_stream<beast::tcp_stream> TlsStream;
typedef websocket::stream<CorkedStream<TlsStream>> TlsWs;

constexpr std::uint16_t CLOSE_ABNORMAL = 1006;
constexpr std::size_t READ_CHUNK = 1024 * 1024;

// Limits every link has, whatever its role.
template <class Ws>
void ApplyLinkOptions(Ws& ws, std::chrono::milliseconds handshake_timeout)
{
    websocket::stream_base::timeout timeouts;
    timeouts.handshake_timeout = handshake_timeout;   // opening and closing handshakes
    timeouts.idle_timeout = websocket::stream_base::none();
    timeouts.keep_alive_pings = false;
    ws.set_option(timeouts);
    ws.read_message_max(0);   // the session enforces the limit itself
    ws.auto_fragment(false);
    websocket::permessage_deflate no_compression;
    no_compression.client_enable = false;
    no_compression.server_enable = false;
    ws.set_option(no_compression);
}

// The text of the message being received: a dynamic buffer (Asio's v1
// rules) over a string that is handed out whole once the message is done.
// It grows geometrically and keeps what it has zeroed once, so a large
// message costs one pass of zeroing, not one per read. A small message is
// copied out and the string kept for the next; a large one is moved out,
// and its memory goes with it.
class MessageBuffer {
public:
    typedef asio::const_buffer const_buffers_type;
    typedef asio::mutable_buffer mutable_buffers_type;

    explicit MessageBuffer(std::size_t max_size) : max_(max_size) {}

    std::size_t size() const { return size_; }
    std::size_t max_size() const { return max_; }
    std::size_t capacity() const { return text_.size(); }
    const_buffers_type data() const { return {text_.data(), size_}; }
    mutable_buffers_type prepare(std::size_t n)
    {
        if (n > max_ - size_)
            throw std::length_error("message too long");
        if (text_.size() < size_ + n)
            text_.resize(std::max(size_ + n, std::min(max_, 2 * text_.size())));
        return {&text_[size_], n};
    }
    void commit(std::size_t n) { size_ += std::min(n, text_.size() - size_); }
    void consume(std::size_t n)
    {
        if (n >= size_) {
            size_ = 0;
        } else {
            text_.erase(0, n);
            size_ -= n;
        }
    }
    std::string Take()
    {
        std::string out;
        if (size_ < 64 * 1024 && text_.size() > 2 * size_) {
            out.assign(text_.data(), size_);
        } else {
            text_.resize(size_);
            out.swap(text_);
        }
        size_ = 0;
        return out;
    }
    // Empty, and its memory released.
    void Release()
    {
        std::string().swap(text_);
        size_ = 0;
    }

private:
    std::string text_;
    std::size_t size_ = 0;
    std::size_t max_;
};

// One open link, over TCP or over TLS.
class Session {
public:
    // Receives the link's Message events, and its one Close event.
    typedef std::function<void(Event&& event)> OnLinkEvent;
    // Asked before each read: false pauses reading until Resume().
    typedef std::function<bool()> MayRead;

    virtual ~Session() = default;

    // Starts the read loop. The Close event comes exactly once, when it ends.
    virtual void Start() = 0;
    // Reads on after a pause; nothing when not paused.
    virtual void Resume() = 0;
    // `delivered`, when given, learns whether the peer has the message: true
    // once the peer answered a ping sent right after it (its WebSocket layer
    // has read everything before the ping), false when the link went first.
    // Such a message is never held back to be gathered with later ones.
    virtual void Write(std::string data, bool binary, std::function<void(bool)> delivered = {}) = 0;
    virtual void Close(std::uint16_t code, const std::string& reason) = 0;
    virtual void Ping() = 0;
    // Drops the TCP link at once.
    virtual void Abort() = 0;
    // Drops the TCP link at once; the Close event carries `reason`.
    virtual void Fail(const std::string& reason) = 0;

    virtual std::uint64_t Link() const = 0;
    virtual bool Paused() const = 0;
    virtual std::chrono::steady_clock::time_point LastReceived() const = 0;
};

std::shared_ptr<Session> MakeSession(PlainWs&& ws, std::uint64_t link, Session::OnLinkEvent on_event,
                                     Session::MayRead may_read = Session::MayRead());
std::shared_ptr<Session> MakeSession(TlsWs&& ws, std::uint64_t link, Session::OnLinkEvent on_event,
                                     Session::MayRead may_read = Session::MayRead());

}  // namespace detail
}  // namespace Transport
}  // namespace _NET
