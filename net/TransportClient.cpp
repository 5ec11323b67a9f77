#include <algorithm>
#include <atomic>
#include <cassert>
#include <iostream>
#include <mutex>
#include <thread>

#include "TransportSession.h"
#include "TransportTls.h"

#ifdef _WIN32
#include <winsock2.h>
#endif

namespace _NET {
namespace Transport {

using namespace detail;
using std::chrono::milliseconds;

void InitNetSystem()
{
#ifdef _WIN32
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
#endif
}

namespace {

struct ParsedUrl {
    std::string host;
    std::string port;
    std::string target;
    bool tls = false;
};

// ws://host[:port][/path] or wss://...; host may be a bracketed IPv6
// literal. An empty `error` means success.
ParsedUrl ParseUrl(const std::string& url, std::string& error)
{
    ParsedUrl out;
    const std::string::size_type scheme_end = url.find("://");
    if (scheme_end == std::string::npos) {
        error = "not a ws:// or wss:// URL";
        return out;
    }
    std::string scheme = url.substr(0, scheme_end);
    for (char& c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "ws" && scheme != "wss") {
        error = "unsupported scheme \"" + scheme + "\"; use ws:// or wss://";
        return out;
    }
    out.tls = scheme == "wss";
    const std::string rest = url.substr(scheme_end + 3);
    const std::string::size_type path_start = rest.find_first_of("/?");
    const std::string authority = rest.substr(0, path_start);
    out.target = path_start == std::string::npos ? "/" : rest.substr(path_start);
    if (out.target[0] == '?')
        out.target = "/" + out.target;

    std::string::size_type port_sep = std::string::npos;
    if (!authority.empty() && authority[0] == '[') {
        const auto close = authority.find(']');
        if (close == std::string::npos) {
            error = "bad IPv6 address";
            return out;
        }
        out.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') {
                error = "bad host";
                return out;
            }
            port_sep = close + 1;
        }
    } else {
        port_sep = authority.rfind(':');
        out.host = authority.substr(0, port_sep);
    }
    out.port = port_sep == std::string::npos ? (out.tls ? "443" : "80") : authority.substr(port_sep + 1);
    if (out.host.empty()) {
        error = "no host";
        return out;
    }
    if (out.port.empty() || out.port.size() > 5 ||
        out.port.find_first_not_of("0123456789") != std::string::npos || std::stoi(out.port) == 0 ||
        std::stoi(out.port) > 65535) {
        error = "bad port";
        return out;
    }
    return out;
}

}  // namespace

class ClientSocket::Impl : public std::enable_shared_from_this<Impl> {
public:
    Impl()
        : work_(asio::make_work_guard(ioc_)), resolver_(ioc_), retryTimer_(ioc_), pingTimer_(ioc_)
    {
    }

    // Configuration (before the thread starts).
    std::string url_;
    milliseconds pingInterval_{10000};
    milliseconds minWait_{250};
    milliseconds maxWait_{1000};
    milliseconds handshakeTimeout_{5000};
    std::size_t backlogLimit_ = 0;

    std::mutex mutex_;          // guards callback_ and the thread handle
    OnEvent callback_;
    std::thread thread_;
    bool started_ = false;
    bool stopRequested_ = false;
    std::mutex stopMutex_;      // one stop() at a time
    std::atomic<bool> open_{false};
    // Bytes of delivered messages whose holds are still alive.
    std::atomic<std::size_t> backlog_{0};

    struct OUTGOING {
        std::string data;
        bool binary;
        std::uint64_t link;
    };
    std::mutex outboxMutex_;   // guards outbox_ and flushPosted_
    std::vector<OUTGOING> outbox_;
    bool flushPosted_ = false;

    asio::io_context ioc_;

    void Launch()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (started_ || stopRequested_)
            return;
        started_ = true;
        thread_ = std::thread([self = shared_from_this()] {
            self->Connect();
            for (;;) {
                try {
                    self->ioc_.run();
                    return;
                } catch (const std::exception& e) {
                    // Out of memory while receiving, or the like: that
                    // link ends, the socket carries on.
                    self->Recover(e.what());
                }
            }
        });
    }

    void Post(std::function<void(Impl&)> fn)
    {
        asio::post(ioc_, [weak = weak_from_this(), fn = std::move(fn)] {
            if (auto self = weak.lock())
                fn(*self);
        });
    }

    // ---- everything below runs on the socket's thread ----

    void Deliver(Event& event)
    {
        OnEvent callback;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            callback = callback_;
        }
        if (callback)
            callback(event);
    }

    // The hold of a delivered message: its bytes count against the backlog
    // until the last copy of the hold is gone.
    void Hold(Event& event)
    {
        if (backlogLimit_ == 0)
            return;
        const std::size_t bytes = event.str.size();
        backlog_ += bytes;
        event.hold = std::shared_ptr<void>(nullptr, [weak = weak_from_this(), bytes](void*) {
            if (auto self = weak.lock())
                self->Release(bytes);
        });
    }

    // Any thread. The release that brings the backlog down to the limit
    // lets the link read on.
    void Release(std::size_t bytes)
    {
        const std::size_t before = backlog_.fetch_sub(bytes);
        if (before > backlogLimit_ && before - bytes <= backlogLimit_)
            Post([](Impl& impl) {
                if (impl.session_)
                    impl.session_->Resume();
            });
    }

    bool MayRead() const { return backlog_.load() <= backlogLimit_; }

    void Recover(const std::string& what)
    {
        std::cerr << "WebSocket: " << what << " on the connection to " << hostHeader_ << "; the link is dropped"
                  << std::endl;
        if (session_) {
            session_->Fail(what);
        } else if (tcp_ || plain_ || secure_) {
            Fail(what);
        }
    }

    void Fail(const std::string& text)
    {
        CloseConnecting();
        Event event;
        event.type = EventType::Error;
        event.str = text;
        Deliver(event);
        ScheduleRetry();
    }

    void Connect()
    {
        if (stopped_)
            return;
        std::string error;
        const ParsedUrl url = ParseUrl(url_, error);
        if (!error.empty()) {
            if (!reportedUrl_) {
                std::cerr << "WebSocket: cannot connect to \"" << url_ << "\": " << error << std::endl;
                reportedUrl_ = true;
            }
            Fail(error);
            return;
        }
        hostHeader_ = url.host.find(':') != std::string::npos ? "[" + url.host + "]:" + url.port
                                                                : url.host + ":" + url.port;
        host_ = url.host;
        target_ = url.target;
        tls_ = url.tls;
        resolver_.async_resolve(
            url.host, url.port,
            [self = shared_from_this()](const beast::error_code& ec, tcp::resolver::results_type results) {
                if (self->stopped_)
                    return;
                if (ec) {
                    self->Fail(ec.message());
                    return;
                }
                self->ConnectTo(results);
            });
    }

    // The streams of an attempt are shared with the handlers of their
    // pending operations, so that closing an attempt never destroys a
    // stream an operation still works on.
    void ConnectTo(const tcp::resolver::results_type& results)
    {
        auto tcp_stream = std::make_shared<beast::tcp_stream>(ioc_);
        tcp_ = tcp_stream;
        tcp_stream->expires_after(handshakeTimeout_);
        tcp_stream->async_connect(results, [self = shared_from_this(), tcp_stream](const beast::error_code& ec,
                                                                                   const tcp::endpoint&) {
            if (self->stopped_ || self->tcp_ != tcp_stream)
                return;
            if (ec) {
                self->Fail(ec.message());
                return;
            }
            beast::error_code ignored;
            tcp_stream->socket().set_option(tcp::no_delay(true), ignored);
            if (self->tls_) {
                self->TlsHandshake(std::move(*tcp_stream));
            } else {
                self->plain_ = std::make_shared<PlainWs>(std::move(*tcp_stream));
                self->tcp_.reset();
                self->WsHandshake(self->plain_);
            }
        });
    }

    void TlsHandshake(beast::tcp_stream&& tcp_stream)
    {
        try {
            tlsContext_ = ClientContext();
        } catch (const std::exception& e) {
            ReportTls(e.what());
            Fail(e.what());
            return;
        }
        auto secure = std::make_shared<TlsWs>(std::move(tcp_stream), *tlsContext_);
        secure_ = secure;
        tcp_.reset();
        ExpectPeer(secure->next_layer().next_layer().native_handle(), host_);
        beast::get_lowest_layer(*secure).expires_after(handshakeTimeout_);
        secure->next_layer().next_layer().async_handshake(ssl::stream_base::client, [self = shared_from_this(),
                                                                        secure](const beast::error_code& ec) {
            if (self->stopped_ || self->secure_ != secure)
                return;
            if (ec) {
                const std::string reason = DescribeHandshakeFailure(secure->next_layer().next_layer().native_handle(), ec);
                // A root may be imported while we retry: trust is read again.
                if (reason.rfind("certificate verify failed", 0) == 0)
                    StaleClientContext();
                self->ReportTls(reason);
                self->Fail(reason);
                return;
            }
            self->WsHandshake(secure);
        });
    }

    // Once per distinct reason until a link opens.
    void ReportTls(const std::string& reason)
    {
        if (reason == reportedTls_)
            return;
        reportedTls_ = reason;
        std::cerr << "TLS: " << reason << " (" << hostHeader_ << ")" << std::endl;
    }

    template <class Ws>
    void WsHandshake(const std::shared_ptr<Ws>& ws)
    {
        beast::get_lowest_layer(*ws).expires_never();
        ApplyLinkOptions(*ws, handshakeTimeout_);
        ws->async_handshake(hostHeader_, target_, [self = shared_from_this(), ws](const beast::error_code& ec) {
            if (self->stopped_ || !self->IsConnecting(ws.get()))
                return;
            if (ec) {
                self->Fail(ec.message());
                return;
            }
            self->Opened(std::move(*ws));
        });
    }

    bool IsConnecting(const void* stream) const { return stream == plain_.get() || stream == secure_.get(); }

    // Ends the attempt in progress, if any.
    void CloseConnecting()
    {
        beast::error_code ignored;
        if (tcp_)
            tcp_->socket().close(ignored);
        if (plain_)
            beast::get_lowest_layer(*plain_).socket().close(ignored);
        if (secure_)
            beast::get_lowest_layer(*secure_).socket().close(ignored);
        tcp_.reset();
        plain_.reset();
        secure_.reset();
    }

    template <class Ws>
    void Opened(Ws&& ws)
    {
        const std::uint64_t link = ++links_;
        Session::MayRead may_read;
        if (backlogLimit_ != 0)
            may_read = [weak = weak_from_this()] {
                auto self = weak.lock();
                return !self || self->MayRead();
            };
        session_ = MakeSession(
            std::move(ws), link,
            [weak = weak_from_this()](Event&& event) {
                if (auto self = weak.lock()) {
                    if (event.type == EventType::Close) {
                        self->Closed(event);
                    } else {
                        self->Hold(event);
                        self->Deliver(event);
                    }
                }
            },
            std::move(may_read));
        plain_.reset();
        secure_.reset();
        retries_ = 0;
        reportedTls_.clear();
        open_ = true;
        Event event;
        event.type = EventType::Open;
        event.link = link;
        Deliver(event);
        session_->Start();
        SchedulePing();
    }

    void Closed(Event& event)
    {
        open_ = false;
        session_.reset();
        pingTimer_.cancel();
        Deliver(event);
        if (stopped_)
            work_.reset();
        else
            ScheduleRetry();
    }

    void SchedulePing()
    {
        pingTimer_.expires_after(pingInterval_);
        pingTimer_.async_wait([self = shared_from_this()](const beast::error_code& ec) {
            if (ec || !self->session_ || self->stopped_)
                return;
            // While reading is paused nothing can arrive: no verdict then.
            const auto silent = std::chrono::steady_clock::now() - self->session_->LastReceived();
            if (!self->session_->Paused() && silent > 2 * self->pingInterval_) {
                self->session_->Abort();   // lost: the read loop ends and reports Close
                return;
            }
            self->session_->Ping();
            self->SchedulePing();
        });
    }

    void ScheduleRetry()
    {
        if (stopped_)
            return;
        // 100 ms doubling per attempt, kept within [min, max].
        milliseconds wait = retries_ < 26 ? milliseconds(100LL << retries_) : maxWait_;
        ++retries_;
        if (wait > maxWait_)
            wait = maxWait_;
        if (wait < minWait_)
            wait = minWait_;
        retryTimer_.expires_after(wait);
        retryTimer_.async_wait([self = shared_from_this()](const beast::error_code& ec) {
            if (!ec)
                self->Connect();
        });
    }

    // Any thread: messages wait in the outbox, and one task posted to the
    // socket's thread takes all there are, so a burst of sends costs one
    // wake-up of that thread, not one each.
    void Queue(const std::string& data, bool binary, std::uint64_t link)
    {
        bool post;
        {
            std::lock_guard<std::mutex> lock(outboxMutex_);
            outbox_.push_back(OUTGOING{data, binary, link});
            post = !flushPosted_;
            flushPosted_ = true;
        }
        if (post)
            Post([](Impl& impl) { impl.Flush(); });
    }

    void Flush()
    {
        std::vector<OUTGOING> batch;
        {
            std::lock_guard<std::mutex> lock(outboxMutex_);
            batch.swap(outbox_);
            flushPosted_ = false;
        }
        for (OUTGOING& m : batch)
            if (session_ && !stopped_ && (m.link == 0 || m.link == session_->Link()))
                session_->Write(std::move(m.data), m.binary);
    }

    void DoStop(std::uint16_t code, const std::string& reason)
    {
        if (stopped_)
            return;
        stopped_ = true;
        beast::error_code ignored;
        retryTimer_.cancel();
        pingTimer_.cancel();
        resolver_.cancel();
        CloseConnecting();
        if (session_)
            session_->Close(code, reason);   // Closed() then releases the loop
        else
            work_.reset();
    }

private:
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    tcp::resolver resolver_;
    asio::steady_timer retryTimer_;
    asio::steady_timer pingTimer_;
    // The attempt in progress: TCP, then a plain or a TLS WebSocket stream.
    std::shared_ptr<beast::tcp_stream> tcp_;
    std::shared_ptr<PlainWs> plain_;
    std::shared_ptr<TlsWs> secure_;
    std::shared_ptr<ssl::context> tlsContext_;
    std::string reportedTls_;   // the TLS failure reported last
    std::shared_ptr<Session> session_;
    std::string hostHeader_;
    std::string host_;
    std::string target_;
    bool tls_ = false;
    unsigned retries_ = 0;
    std::uint64_t links_ = 0;
    bool stopped_ = false;
    bool reportedUrl_ = false;
};

ClientSocket::ClientSocket() : impl_(std::make_shared<Impl>()) {}

ClientSocket::~ClientSocket()
{
    stop();
}

void ClientSocket::setUrl(const std::string& url) { impl_->url_ = url; }

void ClientSocket::setOnMessageCallback(const OnEvent& callback)
{
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    impl_->callback_ = callback;
}

void ClientSocket::setPingInterval(milliseconds interval) { impl_->pingInterval_ = interval; }
void ClientSocket::setMinWaitBetweenReconnectionRetries(milliseconds wait) { impl_->minWait_ = wait; }
void ClientSocket::setMaxWaitBetweenReconnectionRetries(milliseconds wait) { impl_->maxWait_ = wait; }
void ClientSocket::setHandshakeTimeout(milliseconds timeout) { impl_->handshakeTimeout_ = timeout; }
void ClientSocket::setReceiveBacklogLimit(std::size_t bytes) { impl_->backlogLimit_ = bytes; }

void ClientSocket::start()
{
    impl_->Launch();
}

bool ClientSocket::send(const std::string& text, std::uint64_t link)
{
    if (!impl_->open_)
        return false;
    impl_->Queue(text, false, link);
    return true;
}

bool ClientSocket::sendBinary(const std::string& data, std::uint64_t link)
{
    if (!impl_->open_)
        return false;
    impl_->Queue(data, true, link);
    return true;
}

void ClientSocket::stop(std::uint16_t code, const std::string& reason)
{
    Impl& impl = *impl_;
    std::thread::id socket_thread;
    {
        std::lock_guard<std::mutex> lock(impl.mutex_);
        impl.stopRequested_ = true;
        socket_thread = impl.thread_.get_id();
    }
    // Its own event callback cannot wait for its own thread.
    assert(socket_thread != std::this_thread::get_id());
    std::lock_guard<std::mutex> stop_lock(impl.stopMutex_);
    impl.Post([code, reason](Impl& i) { i.DoStop(code, reason); });
    // Launch no longer touches the handle once a stop was requested.
    if (impl.thread_.joinable())
        impl.thread_.join();
    std::lock_guard<std::mutex> lock(impl.mutex_);
    impl.callback_ = nullptr;
}

}  // namespace Transport
}  // namespace _NET
