#include "TransportSession.h"

#include <map>

namespace _NET {
namespace Transport {
namespace detail {

namespace {

template <class Ws>
class SessionOf : public Session, public std::enable_shared_from_this<SessionOf<Ws>> {
public:
    SessionOf(Ws&& ws, std::uint64_t link, OnLinkEvent on_event, MayRead may_read);

    void Start() override;
    void Resume() override;
    void Write(std::string data, bool binary, std::function<void(bool)> delivered) override;
    void Close(std::uint16_t code, const std::string& reason) override;
    void Ping() override;
    void Abort() override;
    void Fail(const std::string& reason) override;

    std::uint64_t Link() const override { return link_; }
    bool Paused() const override { return paused_; }
    std::chrono::steady_clock::time_point LastReceived() const override { return lastReceived_; }

private:
    using std::enable_shared_from_this<SessionOf<Ws>>::shared_from_this;

    void ReadOn();
    void DoRead();
    void DoWrite();
    void Finish(const beast::error_code& ec);
    void DropMessage();

    Ws ws_;
    const std::uint64_t link_;
    // The message being received, handed out whole to the receiver. Room
    // for the refusal check: more than MAX_MESSAGE_SIZE is refused.
    MessageBuffer buffer_{MAX_MESSAGE_SIZE + READ_CHUNK};
    struct OUTGOING {
        std::string Data;
        bool Binary;
        std::function<void(bool)> Written;
    };
    void DropWrites();
    void SendPing(const std::string& payload);
    void NextPing();
    void Ponged(beast::string_view payload);

    std::deque<OUTGOING> writes_;
    bool writing_ = false;
    bool reading_ = false;
    bool paused_ = false;
    bool closing_ = false;
    bool pinging_ = false;
    std::deque<std::string> pings_;   // waiting to go out, one at a time
    std::uint64_t ackPings_ = 0;
    // Pings sent after a message whose sender waits for its delivery.
    std::map<std::string, std::function<void(bool)>> awaitingPong_;
    bool discarding_ = false;   // the rest of an oversized message
    bool finished_ = false;
    std::uint16_t sentCode_ = 0;
    std::string sentReason_;
    std::string failReason_;
    std::chrono::steady_clock::time_point lastReceived_;
    OnLinkEvent onEvent_;
    MayRead mayRead_;
};

template <class Ws>
SessionOf<Ws>::SessionOf(Ws&& ws, std::uint64_t link, OnLinkEvent on_event, MayRead may_read)
    : ws_(std::move(ws)),
      link_(link),
      lastReceived_(std::chrono::steady_clock::now()),
      onEvent_(std::move(on_event)),
      mayRead_(std::move(may_read))
{
    // Pings, pongs and close frames count as signs of life too.
    ws_.control_callback([this](websocket::frame_type kind, beast::string_view payload) {
        lastReceived_ = std::chrono::steady_clock::now();
        if (kind == websocket::frame_type::pong)
            Ponged(payload);
    });
}

template <class Ws>
void SessionOf<Ws>::Start()
{
    DoRead();
}

// The text of an unwanted message is dropped, and its memory with it.
template <class Ws>
void SessionOf<Ws>::DropMessage()
{
    buffer_.Release();
}

template <class Ws>
void SessionOf<Ws>::ReadOn()
{
    if (finished_)
        return;
    // Never pause while closing (the peer's close frame must be read) or
    // while the rest of an oversized message is being drained.
    if (mayRead_ && !closing_ && !discarding_ && !mayRead_()) {
        paused_ = true;
        return;
    }
    DoRead();
}

template <class Ws>
void SessionOf<Ws>::Resume()
{
    if (!paused_ || finished_)
        return;
    paused_ = false;
    // Nothing was read while paused: the peer gets a fresh interval.
    lastReceived_ = std::chrono::steady_clock::now();
    DoRead();
}

template <class Ws>
void SessionOf<Ws>::DoRead()
{
    // Read in pieces so that an oversized message can be refused with a
    // proper closing handshake (code 1009) while its rest is drained.
    reading_ = true;
    ws_.async_read_some(buffer_, READ_CHUNK, [self = shared_from_this()](const beast::error_code& ec, std::size_t) {
        self->reading_ = false;
        if (ec) {
            self->Finish(ec);
            return;
        }
        self->lastReceived_ = std::chrono::steady_clock::now();
        if (self->discarding_) {
            self->DropMessage();
            if (self->ws_.is_message_done())
                self->discarding_ = false;
        } else if (self->buffer_.size() > MAX_MESSAGE_SIZE) {
            self->DropMessage();
            self->discarding_ = !self->ws_.is_message_done();
            self->Close(static_cast<std::uint16_t>(websocket::close_code::too_big), "Message too big");
        } else if (self->ws_.is_message_done()) {
            Event event;
            event.type = EventType::Message;
            event.link = self->link_;
            event.binary = self->ws_.got_binary();
            event.str = self->buffer_.Take();
            if (!self->closing_)
                self->onEvent_(std::move(event));
        }
        self->ReadOn();
    });
}

template <class Ws>
void SessionOf<Ws>::Write(std::string data, bool binary, std::function<void(bool)> delivered)
{
    if (finished_ || closing_) {
        if (delivered)
            delivered(false);
        return;
    }
    writes_.push_back(OUTGOING{std::move(data), binary, std::move(delivered)});
    if (!writing_)
        DoWrite();
}

// What is queued goes with the link; whoever waits for it learns so.
template <class Ws>
void SessionOf<Ws>::DropWrites()
{
    std::deque<OUTGOING> dropped;
    dropped.swap(writes_);
    std::map<std::string, std::function<void(bool)>> unanswered;
    unanswered.swap(awaitingPong_);
    for (OUTGOING& w : dropped)
        if (w.Written)
            w.Written(false);
    for (auto& waiter : unanswered)
        waiter.second(false);
}

// Beast sends one ping at a time: the others wait their turn.
template <class Ws>
void SessionOf<Ws>::SendPing(const std::string& payload)
{
    if (finished_ || closing_)
        return;
    pings_.push_back(payload);
    if (!pinging_)
        NextPing();
}

template <class Ws>
void SessionOf<Ws>::NextPing()
{
    if (pings_.empty() || finished_ || closing_) {
        pinging_ = false;
        return;
    }
    pinging_ = true;
    websocket::ping_data data(pings_.front().data(), pings_.front().size());
    pings_.pop_front();
    ws_.async_ping(data, [self = shared_from_this()](const beast::error_code& ec) {
        if (ec) {
            self->pinging_ = false;
            return;   // the read loop sees the broken link and ends it
        }
        self->NextPing();
    });
}

template <class Ws>
void SessionOf<Ws>::Ponged(beast::string_view payload)
{
    const auto waiter = awaitingPong_.find(std::string(payload));
    if (waiter == awaitingPong_.end())
        return;
    auto delivered = std::move(waiter->second);
    awaitingPong_.erase(waiter);
    delivered(true);
}

template <class Ws>
void SessionOf<Ws>::DoWrite()
{
    if (writes_.empty() || finished_) {
        writing_ = false;
        return;
    }
    writing_ = true;
    // More messages queued behind this one: gather it with them (unless its
    // sender waits to learn that it has been written).
    ws_.next_layer().Cork(writes_.size() > 1 && !writes_.front().Written);
    ws_.binary(writes_.front().Binary);
    ws_.async_write(asio::buffer(writes_.front().Data),
                    [self = shared_from_this()](const beast::error_code& ec, std::size_t) {
                        std::function<void(bool)> delivered;
                        if (!self->writes_.empty()) {
                            delivered = std::move(self->writes_.front().Written);
                            self->writes_.pop_front();
                        }
                        if (delivered) {
                            if (ec) {
                                delivered(false);
                            } else {
                                // Delivered once the peer answers this ping.
                                const std::string payload = "ack" + std::to_string(++self->ackPings_);
                                self->awaitingPong_[payload] = std::move(delivered);
                                self->SendPing(payload);
                            }
                        }
                        if (ec) {
                            // The read loop sees the broken link and ends it.
                            self->DropWrites();
                            self->writing_ = false;
                            return;
                        }
                        self->DoWrite();
                    });
}

template <class Ws>
void SessionOf<Ws>::Close(std::uint16_t code, const std::string& reason)
{
    if (finished_ || closing_)
        return;
    closing_ = true;
    ws_.next_layer().Cork(false);
    sentCode_ = code;
    sentReason_ = reason;
    websocket::close_reason cr;
    cr.code = code;
    cr.reason.assign(reason.data(), std::min<std::size_t>(reason.size(), cr.reason.max_size()));
    // A pending read completes once the peer's close frame arrives or the
    // handshake time-out drops the link. Without one (reading paused), the
    // close itself reads up to the peer's close frame and ends the link.
    ws_.async_close(cr, [self = shared_from_this()](const beast::error_code& ec) {
        if (!self->reading_)
            self->Finish(ec ? ec : beast::error_code(websocket::error::closed));
    });
}

template <class Ws>
void SessionOf<Ws>::Ping()
{
    if (finished_ || closing_ || pinging_)
        return;
    SendPing(std::string());
}

template <class Ws>
void SessionOf<Ws>::Abort()
{
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(ws_).socket().close(ignored);
    // No read to see the broken link: end it here.
    if (!reading_ && !finished_)
        Finish(asio::error::operation_aborted);
}

template <class Ws>
void SessionOf<Ws>::Fail(const std::string& reason)
{
    if (finished_)
        return;
    failReason_ = reason;
    Abort();
    // Whatever read may still be outstanding ends in a Finish that finds
    // the link finished already.
    Finish(asio::error::operation_aborted);
}

template <class Ws>
void SessionOf<Ws>::Finish(const beast::error_code& ec)
{
    if (finished_)
        return;
    finished_ = true;
    paused_ = false;
    std::uint16_t code = CLOSE_ABNORMAL;
    std::string reason = failReason_.empty() ? ec.message() : failReason_;
    if (!failReason_.empty()) {
        // dropped by us: abnormal, with our reason
    } else if (closing_) {
        code = sentCode_;
        reason = sentReason_;
    } else if (ec == websocket::error::closed) {
        code = static_cast<std::uint16_t>(ws_.reason().code);
        reason = std::string(ws_.reason().reason.c_str());
    }
    DropWrites();
    DropMessage();
    if (ws_.is_open())
        Abort();
    Event event;
    event.type = EventType::Close;
    event.link = link_;
    event.closeCode = code;
    event.closeReason = reason;
    onEvent_(std::move(event));
}

}  // namespace

std::shared_ptr<Session> MakeSession(PlainWs&& ws, std::uint64_t link, Session::OnLinkEvent on_event,
                                     Session::MayRead may_read)
{
    return std::make_shared<SessionOf<PlainWs>>(std::move(ws), link, std::move(on_event), std::move(may_read));
}

std::shared_ptr<Session> MakeSession(TlsWs&& ws, std::uint64_t link, Session::OnLinkEvent on_event,
                                     Session::MayRead may_read)
{
    return std::make_shared<SessionOf<TlsWs>>(std::move(ws), link, std::move(on_event), std::move(may_read));
}

}  // namespace detail
}  // namespace Transport
}  // namespace _NET
