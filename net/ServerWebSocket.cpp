// The listener and its peer connections: every client event is handed to the
// callbacks directly, on that client's own transport thread.

#include <cassert>
#include <memory>
#include <mutex>

#include "Transport.h"
#include "WebSocket.h"

namespace _NET {

namespace {

// A short-lived handle on one client, made for each of its events. It holds
// the transport connection weakly: once the transport has forgotten the
// client, Send and Disconnect do nothing.
class Code_PeerWebSocket : public IWebSocket {
public:
    explicit Code_PeerWebSocket(std::weak_ptr<Transport::ServerSocket::Peer> socket)
        : __Ref_(0), pIxSocket_(std::move(socket))
    {
    }
    virtual ~Code_PeerWebSocket() {}

    _IROOT_IMPLEMENTATION()

    bool isConnected() override { return true; }

    void Send(const _STRING& data, OPCODE opcode) override
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        if (auto socket = pIxSocket_.lock()) {
            if (opcode == Binary)
                socket->sendBinary(data);
            else
                socket->send(data);
        }
    }

    void Disconnect() override
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        if (auto socket = pIxSocket_.lock())
            socket->close(1000, "Normal closure");
    }

    // The transport's client: the same for every handle of one client.
    std::shared_ptr<Transport::ServerSocket::Peer> Client() const { return pIxSocket_.lock(); }

    bool SendThen(const _STRING& text, std::function<void(bool)> written)
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        auto socket = pIxSocket_.lock();
        return socket && socket->sendThen(text, std::move(written));
    }

private:
    _COMREF __Ref_;
    std::mutex Mutex_;
    std::weak_ptr<Transport::ServerSocket::Peer> pIxSocket_;
};

class Code_ServerWebSocket : public IWebSocketListener {
public:
    typedef IWebSocket::ON_CONNECTION ON_CONNECTION;
    typedef IWebSocket::ON_MSG ON_MSG;
    typedef IWebSocketListener::TLS_IDENTITY TLS_IDENTITY;

    Code_ServerWebSocket() : __Ref_(0), pIxServerSocket_(nullptr) {}

    virtual ~Code_ServerWebSocket()
    {
        if (pIxServerSocket_) {
            pIxServerSocket_->stop();
            delete pIxServerSocket_;
        }
    }

    _IROOT_IMPLEMENTATION()

    void Stop() override
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        if (pIxServerSocket_)
            pIxServerSocket_->stop();
    }

    bool _Listen(unsigned short port, ON_CONNECTION c, ON_MSG m, const TLS_IDENTITY* identity = nullptr,
                 _STRING* error = nullptr)
    {
        assert(!pIxServerSocket_);
        std::lock_guard<std::mutex> lock(Mutex_);
        Lambda_Connection_ = std::move(c);
        Lambda_Msg_ = std::move(m);
        pIxServerSocket_ = new Transport::ServerSocket(port, "0.0.0.0", 5, 128, std::chrono::seconds(3));
        pIxServerSocket_->setOnClientMessageCallback(
            [this](const std::shared_ptr<Transport::ServerSocket::Peer>& peer, const Transport::Event& event) {
                Proc_Callback(peer, event);
            });
        std::pair<bool, std::string> result(true, std::string());
        if (identity)
            result = pIxServerSocket_->setTls(identity->CertificateChainPem, identity->PrivateKeyPem);
        if (result.first)
            result = pIxServerSocket_->listen();
        if (!result.first) {
            if (error)
                *error = result.second;
            return false;
        }
        pIxServerSocket_->start();
        return true;
    }

private:
    void Proc_Callback(const std::shared_ptr<Transport::ServerSocket::Peer>& peer, const Transport::Event& event)
    {
        _OBJ<IWebSocket> handle(new Code_PeerWebSocket(peer));
        switch (event.type) {
        case Transport::EventType::Open:
            if (Lambda_Connection_)
                Lambda_Connection_(handle, true);
            break;
        case Transport::EventType::Close:
            if (Lambda_Connection_)
                Lambda_Connection_(handle, false);
            break;
        case Transport::EventType::Message:
            if (Lambda_Msg_)
                Lambda_Msg_(handle, event.str, event.binary ? IWebSocket::Binary : IWebSocket::Text);
            break;
        default:
            break;
        }
    }

    _COMREF __Ref_;
    std::mutex Mutex_;
    Transport::ServerSocket* pIxServerSocket_;
    ON_CONNECTION Lambda_Connection_;
    ON_MSG Lambda_Msg_;
};

}  // namespace

bool DescribePeer(const _OBJ<IWebSocket>& peer, const void*& key, _STRING& address)
{
    const auto* handle = dynamic_cast<const Code_PeerWebSocket*>(peer.__Ptr());
    const auto client = handle ? handle->Client() : nullptr;
    if (!client)
        return false;
    key = client.get();
    address = client->address();
    return true;
}

void SendTextThen(const _OBJ<IWebSocket>& socket, const _STRING& text, std::function<void(bool)> written)
{
    auto* handle = dynamic_cast<Code_PeerWebSocket*>(socket.__Ptr());
    if (!handle) {
        socket->Send(text, IWebSocket::Text);
        written(true);
        return;
    }
    auto callback = std::make_shared<std::function<void(bool)>>(std::move(written));
    if (!handle->SendThen(text, [callback](bool ok) { (*callback)(ok); }))
        (*callback)(false);
}

_OBJ<IWebSocketListener> IWebSocketListener::New(unsigned short port, IWebSocket::ON_CONNECTION on_connection,
                                                 IWebSocket::ON_MSG on_msg)
{
    if (!flagIxWebSocket_Initialized_) {
        Transport::InitNetSystem();
        flagIxWebSocket_Initialized_ = true;
    }
    _OBJ<IWebSocketListener> listener(new Code_ServerWebSocket());
    if (!static_cast<Code_ServerWebSocket*>(listener.__Ptr())->_Listen(port, std::move(on_connection),
                                                                        std::move(on_msg)))
        return _OBJ<IWebSocketListener>();   // the failed listener is destroyed here
    return listener;
}

_OBJ<IWebSocketListener> IWebSocketListener::NewSecure(unsigned short port, IWebSocket::ON_CONNECTION on_connection,
                                                       IWebSocket::ON_MSG on_msg, const TLS_IDENTITY& identity,
                                                       _STRING* error)
{
    if (!flagIxWebSocket_Initialized_) {
        Transport::InitNetSystem();
        flagIxWebSocket_Initialized_ = true;
    }
    _OBJ<IWebSocketListener> listener(new Code_ServerWebSocket());
    if (!static_cast<Code_ServerWebSocket*>(listener.__Ptr())
             ->_Listen(port, std::move(on_connection), std::move(on_msg), &identity, error))
        return _OBJ<IWebSocketListener>();
    return listener;
}

}  // namespace _NET
