#include <atomic>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "TransportSession.h"
#include "TransportTls.h"

namespace _NET {
namespace Transport {

using namespace detail;
using std::chrono::milliseconds;

namespace {

// One client: its own io_context, run by its own thread from the opening
// handshake to the Close event.
class PeerBase : public ServerSocket::Peer {
public:
    virtual void Run() = 0;
};

template <class Ws>
class PeerImpl : public PeerBase, public std::enable_shared_from_this<PeerImpl<Ws>> {
public:
    PeerImpl(std::shared_ptr<asio::io_context> ioc, std::unique_ptr<Ws> ws, ServerSocket::OnClientEvent callback,
             milliseconds handshake_timeout)
        : ioc_(std::move(ioc)), ws_(std::move(ws)), callback_(std::move(callback)), handshakeTimeout_(handshake_timeout)
    {
        beast::error_code ec;
        const auto remote = beast::get_lowest_layer(*ws_).socket().remote_endpoint(ec);
        if (!ec)
            address_ = remote.address().to_string() + ":" + std::to_string(remote.port());
    }

    bool send(const std::string& text) override { return Queue(text, false, {}); }
    bool sendBinary(const std::string& data) override { return Queue(data, true, {}); }
    bool sendThen(const std::string& text, std::function<void(bool)> written) override
    {
        return Queue(text, false, std::move(written));
    }
    std::string address() const override { return address_; }

    void close(std::uint16_t code, const std::string& reason) override
    {
        asio::post(*ioc_, [weak = this->weak_from_this(), code, reason] {
            auto self = weak.lock();
            if (!self)
                return;
            if (self->session_) {
                self->session_->Close(code, reason);
            } else if (self->ws_) {
                beast::error_code ignored;
                beast::get_lowest_layer(*self->ws_).socket().close(ignored);
            }
        });
    }

    // Runs on the client's thread until the client is gone.
    void Run() override
    {
        beast::error_code ignored;
        beast::get_lowest_layer(*ws_).socket().set_option(tcp::no_delay(true), ignored);
        if constexpr (std::is_same<Ws, TlsWs>::value) {
            // The TLS handshake falls under the handshake time-out too.
            beast::get_lowest_layer(*ws_).expires_after(handshakeTimeout_);
            ws_->next_layer().next_layer().async_handshake(ssl::stream_base::server,
                                              [self = this->shared_from_this()](const beast::error_code& ec) {
                                                  if (ec) {
                                                      self->Drop();
                                                      return;
                                                  }
                                                  self->Accept();
                                              });
        } else {
            Accept();
        }
        for (;;) {
            try {
                ioc_->run();
                return;
            } catch (const std::exception& e) {
                // Out of memory while receiving, or a callback that threw:
                // this client's link ends, the others carry on.
                std::cerr << "WebSocket listener: " << e.what() << "; a client's link is dropped" << std::endl;
                if (session_)
                    session_->Fail(e.what());
                else
                    Drop();
            }
        }
    }

private:
    void Accept()
    {
        beast::get_lowest_layer(*ws_).expires_never();
        ApplyLinkOptions(*ws_, handshakeTimeout_);
        ws_->async_accept([self = this->shared_from_this()](const beast::error_code& ec) {
            if (ec) {
                self->Drop();
                return;
            }
            self->Opened();
        });
    }

    // A client that never opened: dropped without a callback.
    void Drop()
    {
        beast::error_code ignored;
        if (ws_)
            beast::get_lowest_layer(*ws_).socket().close(ignored);
    }

    bool Queue(const std::string& data, bool binary, std::function<void(bool)> written)
    {
        if (!open_)
            return false;
        asio::post(*ioc_, [weak = this->weak_from_this(), data, binary, written = std::move(written)]() mutable {
            auto self = weak.lock();
            if (self && self->session_)
                self->session_->Write(std::move(data), binary, std::move(written));
            else if (written)
                written(false);
        });
        return true;
    }

    void Deliver(const Event& event)
    {
        if (callback_)
            callback_(this->shared_from_this(), event);
    }

    void Opened()
    {
        session_ = MakeSession(std::move(*ws_), 0, [weak = this->weak_from_this()](Event&& event) {
            if (auto self = weak.lock()) {
                if (event.type == EventType::Close) {
                    self->open_ = false;
                    self->session_.reset();
                }
                self->Deliver(event);
            }
        });
        ws_.reset();
        open_ = true;
        Event event;
        event.type = EventType::Open;
        Deliver(event);
        session_->Start();
    }

    std::shared_ptr<asio::io_context> ioc_;   // the client's own; its socket lives on it
    std::unique_ptr<Ws> ws_;
    std::shared_ptr<Session> session_;
    std::atomic<bool> open_{false};
    ServerSocket::OnClientEvent callback_;
    milliseconds handshakeTimeout_;
    std::string address_ = "?";
};

}  // namespace

class ServerSocket::Impl {
public:
    Impl(std::uint16_t port, std::string host, int backlog, std::size_t max_connections, milliseconds handshake)
        : port_(port),
          host_(std::move(host)),
          backlog_(backlog),
          maxConnections_(max_connections),
          handshakeTimeout_(handshake),
          acceptor_(acceptIoc_),
          acceptTimer_(acceptIoc_)
    {
    }

    std::pair<bool, std::string> Listen()
    {
        beast::error_code ec;
        const auto address = asio::ip::make_address_v4(host_, ec);
        if (ec)
            return {false, "bad bind address " + host_};
        const tcp::endpoint endpoint(address, port_);
        acceptor_.open(endpoint.protocol(), ec);
#ifndef _WIN32
        // Lets a restarted server rebind at once. Not on Windows, where the
        // option would let two servers share the port.
        if (!ec)
            acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
#endif
        if (!ec)
            acceptor_.bind(endpoint, ec);
        if (!ec)
            acceptor_.listen(backlog_, ec);
        if (ec) {
            beast::error_code ignored;
            acceptor_.close(ignored);
            return {false, ec.message()};
        }
        return {true, std::string()};
    }

    void Start()
    {
        if (!acceptor_.is_open() || acceptThread_.joinable())
            return;
        Accept();
        acceptThread_ = std::thread([this] { acceptIoc_.run(); });
    }

    void Stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return;
            stopping_ = true;
        }
        asio::post(acceptIoc_, [this] {
            beast::error_code ignored;
            acceptor_.close(ignored);
            acceptTimer_.cancel();
        });
        if (acceptThread_.joinable())
            acceptThread_.join();
        else {
            beast::error_code ignored;
            acceptor_.close(ignored);
        }
        std::map<PeerBase*, Entry> peers;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            peers.swap(peers_);
        }
        for (auto& item : peers)
            item.second.peer->close(1001, "Going away");
        for (auto& item : peers)
            item.second.thread.join();
    }

    std::uint16_t Port() const
    {
        beast::error_code ec;
        const auto endpoint = acceptor_.local_endpoint(ec);
        return ec ? 0 : endpoint.port();
    }

    OnClientEvent callback_;
    std::shared_ptr<ssl::context> tls_;   // set: wss:// only

private:
    struct Entry {
        std::shared_ptr<PeerBase> peer;
        std::thread thread;
    };

    void Accept()
    {
        // Each client's socket is accepted straight onto the io_context its
        // own thread will run.
        std::shared_ptr<asio::io_context> ioc;
        try {
            ioc = std::make_shared<asio::io_context>(1);
        } catch (const std::exception& e) {
            Pause("cannot prepare for a client", e.what());
            return;
        }
        acceptor_.async_accept(*ioc, [this, ioc](const beast::error_code& ec, tcp::socket socket) {
            if (ec == asio::error::operation_aborted || !acceptor_.is_open())
                return;
            if (ec) {
                Pause("cannot accept a client", ec.message());
                return;
            }
            try {
                Admit(ioc, std::move(socket));
            } catch (const std::exception& e) {
                // No thread or no memory for the client: it is dropped.
                Pause("cannot admit a client", e.what());
                return;
            }
            acceptDelay_ = milliseconds(0);
            Accept();
        });
    }

    // Out of sockets, handles, threads or memory: accepting at once again
    // would fail again at full speed. Wait 100 ms, doubling to 1 s while it
    // lasts; each kind of failure is reported once.
    void Pause(const std::string& what, const std::string& why)
    {
        if (reported_.insert(what + ": " + why).second)
            std::cerr << "WebSocket listener: " << what << ": " << why << " (retrying)" << std::endl;
        acceptDelay_ = acceptDelay_ < milliseconds(100) ? milliseconds(100)
                                                         : std::min(acceptDelay_ * 2, milliseconds(1000));
        acceptTimer_.expires_after(acceptDelay_);
        acceptTimer_.async_wait([this](const beast::error_code& ec) {
            if (!ec && acceptor_.is_open())
                Accept();
        });
    }

    void Admit(const std::shared_ptr<asio::io_context>& ioc, tcp::socket&& socket)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || peers_.size() >= maxConnections_) {
            beast::error_code ignored;
            socket.close(ignored);   // not admitted, no callback
            return;
        }
        std::shared_ptr<PeerBase> peer;
        if (tls_)
            peer = std::make_shared<PeerImpl<TlsWs>>(ioc, std::make_unique<TlsWs>(std::move(socket), *tls_), callback_,
                                                     handshakeTimeout_);
        else
            peer = std::make_shared<PeerImpl<PlainWs>>(ioc, std::make_unique<PlainWs>(std::move(socket)), callback_,
                                                       handshakeTimeout_);
        PeerBase* key = peer.get();
        // The entry first: once the thread runs, nothing here may fail.
        auto entry = peers_.emplace(key, Entry{peer, std::thread()}).first;
        try {
            entry->second.thread = std::thread([this, peer] {
                peer->Run();
                // The accept thread joins this thread once it is done.
                asio::post(acceptIoc_, [this, key = peer.get()] { Reap(key); });
            });
        } catch (...) {
            peers_.erase(entry);
            throw;
        }
    }

    void Reap(PeerBase* key)
    {
        Entry entry;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = peers_.find(key);
            if (it == peers_.end())
                return;
            entry = std::move(it->second);
            peers_.erase(it);
        }
        entry.thread.join();
    }

    std::uint16_t port_;
    std::string host_;
    int backlog_;
    std::size_t maxConnections_;
    milliseconds handshakeTimeout_;
    asio::io_context acceptIoc_;
    tcp::acceptor acceptor_;
    asio::steady_timer acceptTimer_;
    milliseconds acceptDelay_{0};
    std::set<std::string> reported_;   // accept failures already reported
    std::thread acceptThread_;
    std::mutex mutex_;
    bool stopping_ = false;
    std::map<PeerBase*, Entry> peers_;
};

ServerSocket::ServerSocket(std::uint16_t port, const std::string& host, int backlog, std::size_t maxConnections,
                           milliseconds handshakeTimeout)
    : impl_(std::make_unique<Impl>(port, host, backlog, maxConnections, handshakeTimeout))
{
}

ServerSocket::~ServerSocket()
{
    stop();
}

void ServerSocket::setOnClientMessageCallback(const OnClientEvent& callback)
{
    impl_->callback_ = callback;
}

std::pair<bool, std::string> ServerSocket::setTls(const std::string& chain_pem, const std::string& key_pem)
{
    std::string error;
    auto context = MakeServerContext(chain_pem, key_pem, error);
    if (!context)
        return {false, error};
    impl_->tls_ = context;
    return {true, std::string()};
}

std::pair<bool, std::string> ServerSocket::listen()
{
    return impl_->Listen();
}

void ServerSocket::start()
{
    impl_->Start();
}

void ServerSocket::stop()
{
    impl_->Stop();
}

std::uint16_t ServerSocket::port() const
{
    return impl_->Port();
}

}  // namespace Transport
}  // namespace _NET
