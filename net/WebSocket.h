#pragma once
// The WebSocket messaging layer: one interface for every connection (an
// outgoing client connection or a listener's peer), the listener, and the
// JSON message envelope with its request processor.

#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>

#include "Core/CoreJson.h"
#include "Core/CoreObj.h"

namespace _NET {

struct IWebSocket : public IRoot {
    enum OPCODE : _UINT32 { Text = 0, Binary = 1 };

    typedef std::function<void(_OBJ<IWebSocket> connection, bool connected)> ON_CONNECTION;
    typedef std::function<void(_OBJ<IWebSocket> connection, const _STRING& data, OPCODE opcode)> ON_MSG;

    virtual bool isConnected() = 0;
    virtual void Send(const _STRING& data, OPCODE opcode) = 0;
    virtual void Disconnect() = 0;

    // A client connection to url that connects, and reconnects after every
    // loss, in the background; its events run as tasks of _GCD::SERIAL.
    static _OBJ<IWebSocket> Connect(const _STRING& url, ON_CONNECTION on_connection, ON_MSG on_msg);
};

struct IWebSocketListener : public IRoot {
    virtual void Stop() = 0;

    // Listens on every IPv4 interface; empty when the port cannot be
    // listened on. Callbacks run on each client's own transport thread.
    static _OBJ<IWebSocketListener> New(unsigned short port, IWebSocket::ON_CONNECTION on_connection,
                                        IWebSocket::ON_MSG on_msg);

    // The certificate chain (the server's certificate first) and the
    // private key, in PEM, of a listener that serves wss:// only.
    struct TLS_IDENTITY {
        _STRING CertificateChainPem;
        _STRING PrivateKeyPem;
    };
    // As New, over TLS only. Empty when the identity is not a certificate
    // with its key or the port cannot be listened on; *error then says why.
    static _OBJ<IWebSocketListener> NewSecure(unsigned short port, IWebSocket::ON_CONNECTION on_connection,
                                              IWebSocket::ON_MSG on_msg, const TLS_IDENTITY& identity,
                                              _STRING* error = nullptr);
};

struct IWebSocketJsonProcessor : public IRoot {
    typedef std::function<std::optional<_JSON>(_OBJ<IWebSocket> connection, const _JSON& request)> FUNCTOR;

    virtual void Execute(_OBJ<IWebSocket> socket, const _STRING& data) = 0;
    virtual _OBJ<IWebSocketJsonProcessor> Case(const _STRING& cmd, FUNCTOR functor) = 0;

    static _OBJ<IWebSocketJsonProcessor> New();
};

// For serving programs: what a listener's peer handle stands for. Every
// handle the listener gives for one client has the same key (until the
// client is gone); `address` is the client's "a.b.c.d:port". False for
// handles of other connections, and once the client is gone.
bool DescribePeer(const _OBJ<IWebSocket>& peer, const void*& key, _STRING& address);

// Sends one text message on a listener's peer handle; `delivered` learns
// whether the client has it (true: it answered a ping sent right after the
// message, so its WebSocket layer has read the message) or not, because
// the link went first (false). Called on the client's thread, or at once
// with false when the client is gone already. Other connections send as
// with Send and report true.
void SendTextThen(const _OBJ<IWebSocket>& socket, const _STRING& text, std::function<void(bool delivered)> delivered);

// Sends {"_DATA":data,"_ID":packet_id,"_MAGIC":"SERVER_MSG","_TYPE":type}.
void PostServerMsg(_OBJ<IWebSocket> socket, const _STRING& type, const _JSON& data, _INT packet_id);

// Compact, key-ordered, strict UTF-8 serialisation used by every message.
_STRING SerializeJson(const _JSON& value);

// Objects and arrays nested deeper than this are refused by ParseJson: the
// protocol needs 3 levels, and nothing a peer sends may make us recurse
// deeper than this.
constexpr int MAX_JSON_DEPTH = 128;
struct JSON_TOO_DEEP : std::runtime_error {
    JSON_TOO_DEEP() : std::runtime_error("JSON nested deeper than 128 levels") {}
};
// Strict parsing: no comments, at most MAX_JSON_DEPTH levels; errors raise.
_JSON ParseJson(const _STRING& text);

// A client connection stops reading from its socket while the messages it
// has handed to SERIAL and that are not yet handled hold more than this many
// bytes, and reads on once they hold no more: TCP then holds the server back
// and nothing is lost.
constexpr std::size_t RECEIVE_BACKLOG_LIMIT = 64u * 1024u * 1024u;

// The transport's network system has been initialised (shared by Connect and
// IWebSocketListener::New).
extern bool flagIxWebSocket_Initialized_;

}  // namespace _NET
