#pragma once
// The WebSocket transport under the messaging layer (Boost.Beast over
// Boost.Asio): a client socket that connects and reconnects by itself on a
// thread of its own, and a server whose every client has a thread of its own.
// Events are delivered on those threads; sends may come from any thread.
//
// Limits and behaviour:
//  - ws:// and wss:// (TLS 1.2 or newer, SNI, the server's certificate
//    verified against the trusted roots and its name, RFC 2818 rules, IP
//    literals against IP addresses). A failed TLS handshake is reported on
//    standard error once per distinct reason until a link opens, and retried
//    like any failed attempt.
//  - No compression is offered or accepted.
//  - Incoming messages of more than MAX_MESSAGE_SIZE bytes close the link
//    with code 1009.
//  - Client: a ping every ping interval; a link on which nothing arrives for
//    two ping intervals is treated as lost. After a failed attempt or a lost
//    link it reconnects, waiting 100 ms * 2^n clamped to [min, max] wait.
//    With a receive backlog limit it stops reading while the messages it has
//    delivered and that are still held exceed the limit (TCP then holds the
//    peer back) and reads on once they fall to it.
//  - Server: IPv4, a listen backlog, a cap on simultaneous clients (more are
//    closed at once), an opening-handshake time-out. Accept errors (out of
//    sockets, handles or memory) are reported once per kind and retried
//    after a pause of 100 ms doubling to 1 s.
//  - Running out of memory (or any other exception) on a socket's thread
//    ends that link, reported on standard error, never the process.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace _NET {
namespace Transport {

constexpr std::size_t MAX_MESSAGE_SIZE = 64u * 1024u * 1024u;

enum class EventType { Open, Close, Message, Error, Ping, Pong, Fragment };

struct Event {
    EventType type = EventType::Error;
    std::string str;                // message payload, or error text
    bool binary = false;            // Message: a binary message
    std::uint16_t closeCode = 0;    // Close: the code received or sent
    std::string closeReason;        // Close: the reason received or sent
    // Open, Close, Message: the link the event belongs to, numbered from 1
    // by each client socket in the order its links open (0 on the server).
    std::uint64_t link = 0;
    // Message of a client socket with a receive backlog limit: the
    // message's bytes count against the backlog until the last copy of
    // this is released.
    std::shared_ptr<void> hold;
};

// The receiver may move the payload and the hold out of the event.
typedef std::function<void(Event&)> OnEvent;

// Once per process, before the first socket (harmless to repeat).
void InitNetSystem();

// Certificates (PEM) that client sockets trust besides the system's roots
// (on Windows the ROOT stores, natively OpenSSL's default paths), from the
// next connection attempt on. False when the text holds no certificate.
bool AddTrustedCertificates(const std::string& pem);

class ClientSocket {
public:
    ClientSocket();
    ~ClientSocket();   // stops

    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;

    // Configuration, before start().
    void setUrl(const std::string& url);
    void setOnMessageCallback(const OnEvent& callback);
    void setPingInterval(std::chrono::milliseconds interval);
    void setMinWaitBetweenReconnectionRetries(std::chrono::milliseconds wait);
    void setMaxWaitBetweenReconnectionRetries(std::chrono::milliseconds wait);
    void setHandshakeTimeout(std::chrono::milliseconds timeout);
    // 0 (the default): no limit.
    void setReceiveBacklogLimit(std::size_t bytes);

    // Starts connecting on the socket's own thread.
    void start();

    // Queue one message; false when no link is open. With a link number
    // the message goes out only while that link is the open one; with 0 on
    // whichever link is open when it is written.
    bool send(const std::string& text, std::uint64_t link = 0);
    bool sendBinary(const std::string& data, std::uint64_t link = 0);

    // Sends the close frame on an open link (its Close event is delivered
    // before stop returns), ends reconnection and joins the thread. Not from
    // the socket's own thread (its event callback).
    void stop(std::uint16_t code = 1000, const std::string& reason = "Normal closure");

private:
    class Impl;
    std::shared_ptr<Impl> impl_;
};

class ServerSocket {
public:
    // One connected client. A handle may outlive the connection: then its
    // operations do nothing.
    class Peer {
    public:
        virtual ~Peer() = default;
        virtual bool send(const std::string& text) = 0;
        virtual bool sendBinary(const std::string& data) = 0;
        // As send; `delivered` is called on the client's thread with true
        // once the client has the message (it answered a ping sent right
        // after it), or with false when the link went first. False (and no
        // call) when it is closed.
        virtual bool sendThen(const std::string& text, std::function<void(bool)> delivered) = 0;
        // The client's address, "a.b.c.d:port".
        virtual std::string address() const = 0;
        // Starts the closing handshake; the Close event follows on the
        // client's thread.
        virtual void close(std::uint16_t code, const std::string& reason) = 0;
    };

    typedef std::function<void(const std::shared_ptr<Peer>&, const Event&)> OnClientEvent;

    ServerSocket(std::uint16_t port, const std::string& host = "0.0.0.0", int backlog = 5,
                 std::size_t maxConnections = 128,
                 std::chrono::milliseconds handshakeTimeout = std::chrono::seconds(3));
    ~ServerSocket();   // stops

    ServerSocket(const ServerSocket&) = delete;
    ServerSocket& operator=(const ServerSocket&) = delete;

    void setOnClientMessageCallback(const OnClientEvent& callback);

    // Serves wss:// only, with this certificate chain and private key (PEM),
    // from the next listen() on; false and the reason when they are no pair
    // or cannot be read. A client's TLS handshake falls under the handshake
    // time-out.
    std::pair<bool, std::string> setTls(const std::string& chain_pem, const std::string& key_pem);

    // Binds and listens; false and the reason when that fails.
    std::pair<bool, std::string> listen();
    // Accepts on a thread of its own.
    void start();
    // Stops accepting, closes every client and joins every thread. Not from
    // a client's own callback.
    void stop();

    // The port actually bound (useful with port 0).
    std::uint16_t port() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Transport
}  // namespace _NET
