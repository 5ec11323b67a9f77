#include "TransportSession.h"

namespace _NET {
namespace Transport {
namespace detail {

void ApplyLinkOptions(WsStream& ws, std::chrono::milliseconds handshake_timeout)
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

Session::Session(WsStream&& ws, OnLinkEvent on_event)
    : ws_(std::move(ws)), lastReceived_(std::chrono::steady_clock::now()), onEvent_(std::move(on_event))
{
    // Pings, pongs and close frames count as signs of life too.
    ws_.control_callback([this](websocket::frame_type, beast::string_view) {
        lastReceived_ = std::chrono::steady_clock::now();
    });
}

void Session::Start()
{
    DoRead();
}

void Session::DoRead()
{
    // Read in pieces so that an oversized message can be refused with a
    // proper closing handshake (code 1009) while its rest is drained.
    ws_.async_read_some(buffer_, READ_CHUNK, [self = shared_from_this()](const beast::error_code& ec, std::size_t) {
        if (ec) {
            self->Finish(ec);
            return;
        }
        self->lastReceived_ = std::chrono::steady_clock::now();
        if (self->discarding_) {
            self->buffer_.consume(self->buffer_.size());
            if (self->ws_.is_message_done())
                self->discarding_ = false;
        } else if (self->buffer_.size() > MAX_MESSAGE_SIZE) {
            self->buffer_.consume(self->buffer_.size());
            self->discarding_ = !self->ws_.is_message_done();
            self->Close(static_cast<std::uint16_t>(websocket::close_code::too_big), "Message too big");
        } else if (self->ws_.is_message_done()) {
            const auto data = self->buffer_.cdata();
            Event event;
            event.type = EventType::Message;
            event.str.assign(static_cast<const char*>(data.data()), data.size());
            event.binary = self->ws_.got_binary();
            self->buffer_.consume(self->buffer_.size());
            if (!self->closing_)
                self->onEvent_(std::move(event));
        }
        if (!self->finished_)
            self->DoRead();
    });
}

void Session::Write(std::string data, bool binary)
{
    if (finished_ || closing_)
        return;
    writes_.emplace_back(std::move(data), binary);
    if (!writing_)
        DoWrite();
}

void Session::DoWrite()
{
    if (writes_.empty() || finished_) {
        writing_ = false;
        return;
    }
    writing_ = true;
    ws_.binary(writes_.front().second);
    ws_.async_write(asio::buffer(writes_.front().first),
                    [self = shared_from_this()](const beast::error_code& ec, std::size_t) {
                        if (!self->writes_.empty())
                            self->writes_.pop_front();
                        if (ec) {
                            // The read loop sees the broken link and ends it.
                            self->writes_.clear();
                            self->writing_ = false;
                            return;
                        }
                        self->DoWrite();
                    });
}

void Session::Close(std::uint16_t code, const std::string& reason)
{
    if (finished_ || closing_)
        return;
    closing_ = true;
    sentCode_ = code;
    sentReason_ = reason;
    websocket::close_reason cr;
    cr.code = code;
    cr.reason.assign(reason.data(), std::min<std::size_t>(reason.size(), cr.reason.max_size()));
    // The pending read completes once the peer's close frame arrives or the
    // handshake time-out drops the link.
    ws_.async_close(cr, [self = shared_from_this()](const beast::error_code&) {});
}

void Session::Ping()
{
    if (finished_ || closing_ || pinging_)
        return;
    pinging_ = true;
    ws_.async_ping({}, [self = shared_from_this()](const beast::error_code&) { self->pinging_ = false; });
}

void Session::Abort()
{
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(ws_).socket().close(ignored);
}

void Session::Finish(const beast::error_code& ec)
{
    if (finished_)
        return;
    finished_ = true;
    std::uint16_t code = CLOSE_ABNORMAL;
    std::string reason = ec.message();
    if (closing_) {
        code = sentCode_;
        reason = sentReason_;
    } else if (ec == websocket::error::closed) {
        code = static_cast<std::uint16_t>(ws_.reason().code);
        reason = std::string(ws_.reason().reason.c_str());
    }
    writes_.clear();
    if (ws_.is_open())
        Abort();
    Event event;
    event.type = EventType::Close;
    event.closeCode = code;
    event.closeReason = reason;
    onEvent_(std::move(event));
}

}  // namespace detail
}  // namespace Transport
}  // namespace _NET
