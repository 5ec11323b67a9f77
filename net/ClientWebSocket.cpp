// The outgoing client connection: the transport's events become tasks of the
// SERIAL queue.

#include <iostream>
#include <mutex>

#include "Gcd/Gcd.h"
#include "Transport.h"
#include "WebSocket.h"

namespace _NET {

bool flagIxWebSocket_Initialized_ = false;

namespace {

// A counted reference for a task, unless the object is already being
// destroyed (count 0): events raised during destruction are not posted.
bool TryAddRef(_COMREF& ref)
{
    _COMREF n = __atomic_load_n(&ref, __ATOMIC_SEQ_CST);
    while (n > 0) {
        if (__atomic_compare_exchange_n(&ref, &n, n + 1, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
            return true;
    }
    return false;
}

}  // namespace

class Code_ClientWebSocket : public IWebSocket {
public:
    Code_ClientWebSocket(ON_CONNECTION on_connection, ON_MSG on_msg)
        : __Ref_(0),
          pIxSocket_(new Transport::ClientSocket()),
          isConnected_(false),
          Lambda_Connection_(std::move(on_connection)),
          Lambda_Msg_(std::move(on_msg))
    {
    }

    virtual ~Code_ClientWebSocket()
    {
        if (pIxSocket_)
            Disconnect();
        delete pIxSocket_;
    }

    _IROOT_IMPLEMENTATION()

    bool isConnected() override
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        return isConnected_;
    }

    void Send(const _STRING& data, OPCODE opcode) override
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        if (!pIxSocket_)
            return;
        if (opcode == Binary)
            pIxSocket_->sendBinary(data);
        else
            pIxSocket_->send(data);
    }

    void Disconnect() override
    {
        Transport::ClientSocket* socket;
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            isConnected_ = false;
            socket = pIxSocket_;
        }
        // Not under Mutex_: while the close handshake completes, the
        // transport thread still delivers the close event through
        // Proc_Callback, which takes Mutex_.
        if (socket)
            socket->stop(1000, "Normal closure");
    }

    void _Connect(const _STRING& url)
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        Url_ = url;
        pIxSocket_->setUrl(Url_);
        // The transport never offers per-message compression.
        pIxSocket_->setOnMessageCallback([this](const Transport::Event& event) { Proc_Callback(event); });
        pIxSocket_->setPingInterval(std::chrono::seconds(10));
        pIxSocket_->setMaxWaitBetweenReconnectionRetries(std::chrono::milliseconds(1000));
        pIxSocket_->setMinWaitBetweenReconnectionRetries(std::chrono::milliseconds(250));
        pIxSocket_->start();
    }

private:
    // Runs on the transport's thread; it only posts, it never calls user code.
    void Proc_Callback(const Transport::Event& event)
    {
        _GCD::LAMBDA task;
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            switch (event.type) {
            case Transport::EventType::Message:
                if (Lambda_Msg_ && TryAddRef(__Ref_)) {
                    task = [self = _OBJ<IWebSocket>(this), callback = Lambda_Msg_, text = event.str,
                            kind = event.binary ? Binary : Text] { callback(self, text, kind); };
                    __Release();
                }
                break;
            case Transport::EventType::Open:
                std::cout << "send greetings" << std::endl;
                isConnected_ = true;
                if (Lambda_Connection_ && TryAddRef(__Ref_)) {
                    task = [self = _OBJ<IWebSocket>(this), callback = Lambda_Connection_] { callback(self, true); };
                    __Release();
                }
                break;
            case Transport::EventType::Close:
                std::cout << "disconnected" << std::endl;
                isConnected_ = false;
                if (Lambda_Connection_ && TryAddRef(__Ref_)) {
                    task = [self = _OBJ<IWebSocket>(this), callback = Lambda_Connection_] { callback(self, false); };
                    __Release();
                }
                break;
            default:
                break;   // errors, pings, pongs, fragments: nothing
            }
        }
        // Posted outside the lock. The local copy may hold the last reference
        // (when the queue refuses the task or has already run it); nothing
        // below touches this object.
        if (task)
            _GCD::Dispatch(task, _GCD::SERIAL);
    }

    _COMREF __Ref_;
    std::mutex Mutex_;
    Transport::ClientSocket* pIxSocket_;
    _STRING Url_;
    bool isConnected_;
    ON_CONNECTION Lambda_Connection_;
    ON_MSG Lambda_Msg_;
};

_OBJ<IWebSocket> IWebSocket::Connect(const _STRING& url, ON_CONNECTION on_connection, ON_MSG on_msg)
{
    if (!flagIxWebSocket_Initialized_) {
        Transport::InitNetSystem();
        flagIxWebSocket_Initialized_ = true;
    }
    Code_ClientWebSocket* connection = new Code_ClientWebSocket(std::move(on_connection), std::move(on_msg));
    // Counted before it starts, so that its first events can be posted.
    _OBJ<IWebSocket> result(connection);
    connection->_Connect(url);
    return result;
}

}  // namespace _NET
