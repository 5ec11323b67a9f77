// The outgoing client connection: the transport's events become tasks of the
// SERIAL queue.
//
// Event tasks and links. Every event task carries the number of the link it
// was raised for and reaches the connection only through the connection's
// task guard (no task touches a destroyed connection). A "connected" task
// whose link is no longer the open one when it runs is dropped, together
// with that link's "disconnected" task: after the link dropped and came back
// while SERIAL was busy, only the newest link is announced. Whatever a
// callback sends goes to the link of the event it is handling, so a greeting
// never lands on a newer link than the one it was made for.

#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "Gcd/Gcd.h"
#include "Gcd/TaskGuard.h"
#include "Transport.h"
#include "WebSocket.h"

namespace _NET {

bool flagIxWebSocket_Initialized_ = false;

namespace {

// A counted reference, unless the object is already being destroyed
// (count 0).
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
        Guard_.Close();
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
        // From inside one of this connection's callbacks: the link of its event.
        const std::uint64_t link = CallbackThread_ == std::this_thread::get_id() ? CallbackLink_ : 0;
        if (opcode == Binary)
            pIxSocket_->sendBinary(data, link);
        else
            pIxSocket_->send(data, link);
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
        pIxSocket_->setOnMessageCallback([this](Transport::Event& event) { Proc_Callback(event); });
        pIxSocket_->setPingInterval(std::chrono::seconds(10));
        pIxSocket_->setMaxWaitBetweenReconnectionRetries(std::chrono::milliseconds(1000));
        pIxSocket_->setMinWaitBetweenReconnectionRetries(std::chrono::milliseconds(250));
        pIxSocket_->setReceiveBacklogLimit(RECEIVE_BACKLOG_LIMIT);
        pIxSocket_->start();
    }

private:
    enum class TASK_KIND { Open, Close, Message };

    // Runs on the transport's thread; it only posts, it never calls user code.
    void Proc_Callback(Transport::Event& event)
    {
        _GCD::LAMBDA task;
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            switch (event.type) {
            case Transport::EventType::Message:
                if (Lambda_Msg_) {
                    // The text is moved, never copied, on its way to the
                    // callback; the hold keeps it counted against the
                    // receive backlog until the task is gone.
                    task = [guard = Guard_, self = this, link = event.link,
                            text = std::make_shared<const _STRING>(std::move(event.str)), hold = std::move(event.hold),
                            kind = event.binary ? Binary : Text] {
                        RunTask(self, guard, TASK_KIND::Message, link, [&](const _OBJ<IWebSocket>& connection) {
                            self->Lambda_Msg_(connection, *text, kind);
                        });
                    };
                }
                break;
            case Transport::EventType::Open:
                std::cout << "send greetings" << std::endl;
                isConnected_ = true;
                OpenLink_ = event.link;
                if (Lambda_Connection_)
                    task = [guard = Guard_, self = this, link = event.link] {
                        RunTask(self, guard, TASK_KIND::Open, link, [&](const _OBJ<IWebSocket>& connection) {
                            self->Lambda_Connection_(connection, true);
                        });
                    };
                break;
            case Transport::EventType::Close:
                std::cout << "disconnected" << std::endl;
                isConnected_ = false;
                OpenLink_ = 0;
                if (Lambda_Connection_)
                    task = [guard = Guard_, self = this, link = event.link] {
                        RunTask(self, guard, TASK_KIND::Close, link, [&](const _OBJ<IWebSocket>& connection) {
                            self->Lambda_Connection_(connection, false);
                        });
                    };
                break;
            default:
                break;   // errors, pings, pongs, fragments: nothing
            }
        }
        if (task)
            _GCD::Dispatch(std::move(task), _GCD::SERIAL);
    }

    // On the SERIAL thread. The guard keeps tasks off a destroyed
    // connection; the counted reference handed to the callback keeps it
    // alive while the callback runs.
    // `self` is touched only once the guard has let the task in.
    template <class Call>
    static void RunTask(Code_ClientWebSocket* self, const _GCD::TASK_GUARD& guard, TASK_KIND kind,
                        std::uint64_t link, Call&& call)
    {
        guard.Run([&] {
            if (!TryAddRef(self->__Ref_))
                return;   // its destruction has begun
            _OBJ<IWebSocket> connection(self);
            self->__Release();
            if (kind == TASK_KIND::Open) {
                std::lock_guard<std::mutex> lock(self->Mutex_);
                if (self->OpenLink_ != link)
                    return;   // a newer link opened, or none is open: stale
                self->AnnouncedLink_ = link;
            } else if (kind == TASK_KIND::Close) {
                if (self->AnnouncedLink_ != link)
                    return;   // its "connected" was dropped as stale
                self->AnnouncedLink_ = 0;
            }
            {
                std::lock_guard<std::mutex> lock(self->Mutex_);
                self->CallbackThread_ = std::this_thread::get_id();
                self->CallbackLink_ = link;
            }
            struct END {
                Code_ClientWebSocket* Self;
                ~END()
                {
                    std::lock_guard<std::mutex> lock(Self->Mutex_);
                    Self->CallbackThread_ = std::thread::id();
                }
            } end{self};
            call(connection);
        });
    }

    _COMREF __Ref_;
    std::mutex Mutex_;
    Transport::ClientSocket* pIxSocket_;
    _STRING Url_;
    bool isConnected_;
    ON_CONNECTION Lambda_Connection_;
    ON_MSG Lambda_Msg_;
    _GCD::TASK_GUARD Guard_;
    std::uint64_t OpenLink_ = 0;        // the transport's open link (Mutex_)
    std::uint64_t AnnouncedLink_ = 0;   // the link whose "connected" ran (tasks only)
    std::thread::id CallbackThread_;    // the thread running a callback (Mutex_)
    std::uint64_t CallbackLink_ = 0;    // the link of that callback's event (Mutex_)
};

_OBJ<IWebSocket> IWebSocket::Connect(const _STRING& url, ON_CONNECTION on_connection, ON_MSG on_msg)
{
    if (!flagIxWebSocket_Initialized_) {
        Transport::InitNetSystem();
        flagIxWebSocket_Initialized_ = true;
    }
    Code_ClientWebSocket* connection = new Code_ClientWebSocket(std::move(on_connection), std::move(on_msg));
    _OBJ<IWebSocket> result(connection);
    connection->_Connect(url);
    return result;
}

}  // namespace _NET
